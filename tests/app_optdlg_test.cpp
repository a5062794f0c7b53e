// The options dialog driven through its controls in the real window: its
// look and place, the colour panels with the colour dialog, Cancel and OK,
// the numeric edits, and what reaches the settings file at close.
#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QColorDialog>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QToolButton>
#include <memory>

#include "app/ini_file.h"
#include "app/mainform.h"
#include "app/optdlg.h"
#include "preview/image_io.h"
#include "preview/pview.h"
#include "test_util.h"
#include "widgets/colorpanel.h"
#include "widgets/updownedit.h"
#include "window_harness.h"

namespace {

constexpr char kObj[] = "v -1 -1 0\nv 1 -1 0\nv 0 1 0\nv 0.5 0.5 1\nf 1 2 3\nf 2 4 3\n";

QColor SceneColor(const float rgb[3]) { return QColor::fromRgbF(rgb[0], rgb[1], rgb[2]).toRgb(); }

class OptionsDialog : public testing::Test {
 protected:
  void SetUp() override {
    QApplication::setAttribute(Qt::AA_DontUseNativeDialogs);
    static int serial = 0;
    dir_ = QString::fromStdString(TempDir()) + QStringLiteral("/opt%1").arg(++serial);
    QDir().mkpath(dir_);
    ini_ = dir_ + "/tarnelle.ini";
  }
  void TearDown() override {
    if (w_) w_->close();
    w_.reset();
  }

  void WriteFile(const QString& path, const QByteArray& bytes) {
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(bytes);
  }
  TMainForm& Start(const QByteArray& ini = {}) {
    if (!ini.isEmpty()) WriteFile(ini_, ini);
    MainFormOptions o;
    o.exePath = (dir_ + "/tarnelle").toStdString();
    o.iniPath = ini_.toStdString();
    o.readPlugins = false;
    w_ = std::make_unique<TMainForm>(o);
    w_->show();
    EXPECT_TRUE(QTest::qWaitForWindowExposed(w_.get()));
    EXPECT_TRUE(WaitFor([&] { return w_->PreviewReady(); }));
    return *w_;
  }
  IniFile CloseAndReadIni() {
    w_->close();
    w_.reset();
    IniFile ini;
    ini.Load(ini_.toStdString());
    return ini;
  }

  // Opens the dialog with trigger and runs act on it; act must close it.
  // colours: what to do in each colour dialog that act opens, in order.
  bool WithDialog(const std::function<void()>& trigger, const std::function<void(TOptDlg*)>& act,
                  const std::vector<std::function<void(QColorDialog*)>>& colours = {}) {
    ModalSteps s;
    s.Then<TOptDlg>(act);
    for (const auto& c : colours) s.Then<QColorDialog>(c);
    s.Start();
    trigger();
    return s.Done();
  }
  void Open(const std::function<void(TOptDlg*)>& act,
            const std::vector<std::function<void(QColorDialog*)>>& colours = {}) {
    EXPECT_TRUE(WithDialog([this] { w_->ToolButton("tbOption")->click(); }, act, colours));
  }
  // A colour dialog step: checks its preset, then picks want (or cancels).
  static std::function<void(QColorDialog*)> Pick(QColor preset, QColor want) {
    return [preset, want](QColorDialog* d) {
      EXPECT_EQ(d->currentColor(), preset);
      if (!want.isValid()) {
        d->reject();
        return;
      }
      d->setCurrentColor(want);
      d->accept();
    };
  }
  static void Type(TUpDownEdit* e, const char* text) {
    e->Edit()->selectAll();
    QTest::keyClicks(e->Edit(), QString::fromUtf8(text));
  }

  QString dir_, ini_;
  std::unique_ptr<TMainForm> w_;
};

}  // namespace

TEST_F(OptionsDialog, LooksAsDesignedAndOpensAtTheToolBar) {
  TMainForm& w = Start();
  int opened = 0;
  auto check = [&](TOptDlg* d) {
    ++opened;
    EXPECT_EQ(d->windowTitle(), "Tarnelle 設定");
    EXPECT_TRUE(d->windowFlags().testFlag(Qt::Tool));
    EXPECT_FALSE(d->windowFlags().testFlag(Qt::WindowCloseButtonHint));
    EXPECT_FALSE(d->windowFlags().testFlag(Qt::WindowMinMaxButtonsHint));
    EXPECT_EQ(d->size(), QSize(240, 278));
    const QWidget* right = w.findChild<QWidget*>(QStringLiteral("RightPanel"));
    EXPECT_EQ(d->frameGeometry().topLeft(), right->mapToGlobal(QPoint(4, 0)));
    QStringList texts;
    for (const QLabel* l : d->findChildren<QLabel*>()) texts << l->text();
    for (const QGroupBox* g : d->findChildren<QGroupBox*>()) texts << g->title();
    texts.sort();
    QStringList want = {"背景",         "ｵﾌﾞｼﾞｪｸﾄ", "エッジ検出角度",   "度",
                        "JPEG保存品質", "％",       "プレビューカラー", "圧縮ファイル参照"};
    want.sort();
    EXPECT_EQ(texts, want);
    EXPECT_EQ(d->CacheOn->text(), "キャッシュを利用する");
    EXPECT_EQ(d->ChkExe->text(), "exeファイルも含める");
    EXPECT_EQ(d->OkBtn->text(), "OK");
    EXPECT_TRUE(d->OkBtn->isDefault());
    EXPECT_EQ(d->CanBtn->text(), "Cancel");
    // The settings of a missing file.
    EXPECT_EQ(d->Angle->Position(), 120.0);
    EXPECT_EQ(d->Angle->Edit()->text(), "120");
    EXPECT_TRUE(d->Angle->Edit()->alignment() & Qt::AlignRight);
    EXPECT_EQ(d->Quality->Position(), 50.0);
    EXPECT_FALSE(d->CacheOn->isChecked());
    EXPECT_FALSE(d->ChkExe->isChecked());
    EXPECT_EQ(d->ColBk->Color(), QColor(0, 77, 102));
    EXPECT_EQ(d->ColObj->Color(), QColor(222, 222, 222));
  };
  Open([&](TOptDlg* d) {
    check(d);
    QTest::keyClick(d, Qt::Key_Escape);
  });
  EXPECT_TRUE(WithDialog([&] { w.MenuAction("mOption")->trigger(); },
                         [&](TOptDlg* d) {
                           check(d);
                           d->CanBtn->click();
                         }));
  EXPECT_EQ(opened, 2);
  EXPECT_FALSE(w.OptDlg()->isVisible());
}

TEST_F(OptionsDialog, CancelRestoresColoursAndOkAppliesThem) {
  TMainForm& w = Start("[Pview]\nbackcol=1,2,3\nobjcol=40,50,60\n");
  const QColor back(1, 2, 3), object(40, 50, 60);
  // The first opening takes the stored colours; a cancelled colour dialog
  // changes nothing, a confirmed one only the panel, and Cancel undoes it.
  Open(
      [&](TOptDlg* d) {
        EXPECT_EQ(d->ColBk->Color(), back);
        EXPECT_EQ(d->ColObj->Color(), object);
        QTest::mouseClick(d->ColBk, Qt::LeftButton);
        EXPECT_EQ(d->ColBk->Color(), back);
        QTest::mouseClick(d->ColBk, Qt::LeftButton);
        EXPECT_EQ(d->ColBk->Color(), QColor(200, 10, 10));
        EXPECT_EQ(SceneColor(w.Preview()->SceneState().background), back);
        d->CanBtn->click();
      },
      {Pick(back, QColor()), Pick(back, QColor(200, 10, 10))});
  EXPECT_EQ(SceneColor(w.Preview()->SceneState().background), back);
  EXPECT_EQ(w.CurrentSettings().backColor, Rgb(1, 2, 3));

  // The next opening shows the old colour; OK recolours the preview at once.
  Open(
      [&](TOptDlg* d) {
        EXPECT_EQ(d->ColBk->Color(), back);
        QTest::mouseClick(d->ColObj, Qt::LeftButton);
        d->OkBtn->click();
      },
      {Pick(object, QColor(10, 20, 30))});
  EXPECT_EQ(SceneColor(w.Preview()->SceneState().object), QColor(10, 20, 30));
  EXPECT_EQ(SceneColor(w.Preview()->SceneState().background), back);
  EXPECT_EQ(w.CurrentSettings().objectColor, Rgb(10, 20, 30));

  const IniFile ini = CloseAndReadIni();
  EXPECT_EQ(ini.ReadString("Pview", "backcol", ""), "1,2,3");
  EXPECT_EQ(ini.ReadString("Pview", "objcol", ""), "10,20,30");
}

TEST_F(OptionsDialog, ValuesApplyOnlyAfterOkAndTakeEffectOnNextUse) {
  TMainForm& w = Start("[Option]\ncache=1\n");
  WriteFile(dir_ + "/model.obj", kObj);
  w.OpenPath(dir_ + "/model.obj");
  ASSERT_TRUE(WaitForLoad(w));
  const int loads = w.LoadCount();

  // Cancel keeps everything, whatever was changed.
  Open([&](TOptDlg* d) {
    EXPECT_TRUE(d->CacheOn->isChecked());
    Type(d->Angle, "90");
    Type(d->Quality, "10");
    d->CacheOn->click();
    d->ChkExe->click();
    d->CanBtn->click();
  });
  AppSettings s = w.CurrentSettings();
  EXPECT_EQ(s.angle, 120.0);
  EXPECT_EQ(s.quality, 50);
  EXPECT_TRUE(s.cache);
  EXPECT_FALSE(s.archiveExe);

  Open([&](TOptDlg* d) {
    EXPECT_EQ(d->Angle->Position(), 120.0);  // what Cancel left is shown again
    Type(d->Angle, "45");
    Type(d->Quality, "75");
    d->CacheOn->click();
    d->ChkExe->click();
    d->OkBtn->click();
  });
  s = w.CurrentSettings();
  EXPECT_EQ(s.angle, 45.0);
  EXPECT_EQ(s.quality, 75);
  EXPECT_FALSE(s.cache);
  EXPECT_TRUE(s.archiveExe);
  EXPECT_EQ(w.Settings().angle, 45.0f);  // what the next load gets
  EXPECT_EQ(w.LoadCount(), loads);       // nothing reloaded

  // The next JPEG save uses quality 75: the very bytes libjpeg makes of the
  // panel's frame at 75.
  if (w.Preview()->GLReady()) {
    const QString path = dir_ + "/view.jpg";
    w.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&w));
    ModalSteps save;
    save.Then<QFileDialog>([&](QFileDialog* d) { FillSaveDialog(d, path, 1); });
    save.Start();
    QTest::keyClick(&w, Qt::Key_S, Qt::ControlModifier);
    ASSERT_TRUE(save.Done());
    QByteArray want;
    std::string error;
    ASSERT_TRUE(EncodeImage(w.Preview()->GrabImage(), ImageFileKind::kJpeg, 75, want, error));
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    EXPECT_TRUE(f.readAll() == want);
  }

  // ".exe" is not kept while archive browsing is off.
  const IniFile ini = CloseAndReadIni();
  EXPECT_EQ(ini.ReadInteger("Option", "angle", -1), 45);
  EXPECT_EQ(ini.ReadInteger("Option", "quality", -1), 75);
  EXPECT_EQ(ini.ReadInteger("Option", "cache", -1), 0);
  EXPECT_EQ(ini.ReadInteger("Option", "arcfolder", -1), 0);
}

TEST_F(OptionsDialog, NumericEditsStayWithinTheirLimits) {
  TMainForm& w = Start();
  Open([&](TOptDlg* d) {
    struct Case {
      TUpDownEdit* edit;
      const char* typed;
      double position;
    } cases[] = {
        {d->Angle, "250", 180},
        {d->Angle, "0", 0},
        {d->Angle, "4a5", 45},
        {d->Quality, "150", 100},
        {d->Quality, "999999999999", 100},
        {d->Quality, "-7", 7},
    };
    for (const Case& c : cases) {
      Type(c.edit, c.typed);
      EXPECT_EQ(c.edit->Position(), c.position) << c.typed;
    }
    // The buttons and arrow keys step by one and stop at the limits.
    Type(d->Angle, "180");
    d->Angle->UpButton()->click();
    EXPECT_EQ(d->Angle->Position(), 180.0);
    d->Angle->DownButton()->click();
    EXPECT_EQ(d->Angle->Position(), 179.0);
    EXPECT_EQ(d->Angle->Edit()->text(), "179");
    Type(d->Quality, "0");
    QTest::keyClick(d->Quality->Edit(), Qt::Key_Down);
    EXPECT_EQ(d->Quality->Position(), 0.0);
    QTest::keyClick(d->Quality->Edit(), Qt::Key_Up);
    EXPECT_EQ(d->Quality->Position(), 1.0);
    // Typing past the limit and pressing Enter confirms the clamped value.
    Type(d->Angle, "500");
    QTest::keyClick(d->Angle->Edit(), Qt::Key_Return);
  });
  EXPECT_EQ(w.CurrentSettings().angle, 180.0);
  EXPECT_EQ(w.CurrentSettings().quality, 1);
  Open([&](TOptDlg* d) {
    EXPECT_EQ(d->Angle->Edit()->text(), "180");
    d->CanBtn->click();
  });
  EXPECT_EQ(TUpDownEdit::FormatNumber(1234567.4), "1,234,567");
}

TEST_F(OptionsDialog, CacheOffDeletesTheCacheFolderOnOkOnly) {
  TMainForm& w = Start("[Option]\ncache=1\n");
  const QString cache = dir_ + "/Cache";
  ASSERT_TRUE(QDir().mkpath(cache + "/tmp"));
  WriteFile(cache + "/models.zip_a.obj", kObj);

  Open([](TOptDlg* d) {
    d->CacheOn->click();
    d->CanBtn->click();
  });
  EXPECT_TRUE(QFile::exists(cache + "/models.zip_a.obj"));
  EXPECT_TRUE(w.CurrentSettings().cache);

  Open([](TOptDlg* d) {
    d->CacheOn->click();
    d->OkBtn->click();
  });
  EXPECT_FALSE(QDir(cache).exists());
  EXPECT_FALSE(w.CurrentSettings().cache);
}

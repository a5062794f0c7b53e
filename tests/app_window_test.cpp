// The main window driven as a user would: settings file in and out, menus,
// tool bar, folder tree, format filter, file list, keys and wheel.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QCursor>
#include <QDir>
#include <QFileSystemModel>
#include <QListView>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QRegularExpression>
#include <QScreen>
#include <QScrollBar>
#include <QTest>
#include <QTextBrowser>
#include <QToolButton>
#include <QToolTip>
#include <QWheelEvent>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>

#include "app/aboutbox.h"
#include "app/ini_file.h"
#include "app/mainform.h"
#include "app/manualwindow.h"
#include "app/optdlg.h"
#include "preview/pview.h"
#include "test_util.h"
#include "widgets/filelist.h"
#include "widgets/foldertree.h"
#include "widgets/updownedit.h"
#include "window_harness.h"

namespace fs = std::filesystem;

namespace {

constexpr char kStl[] =
    "solid t\nfacet normal 0 0 1\nouter loop\nvertex 0 0 0\nvertex 1 0 0\nvertex 0 1 0\n"
    "endloop\nendfacet\nendsolid t\n";
constexpr char kObj[] = "v 0 0 0\nv 1 0 0\nv 0 1 0\nv 1 1 1\nf 1 2 3\nf 2 4 3\n";

QStringList LogLines(const TMainForm& w) {
  return w.Memo()->toPlainText().split('\n', Qt::SkipEmptyParts);
}

// Accepts the next modal message box and tells what it said.
struct MessageCatcher {
  QString title, text;
  int seen = 0;
  QObject alive;  // its timers die with the catcher, so none outlives its test
  void Arm() {
    QTimer::singleShot(20, &alive, [this] { Poll(0); });
  }
  void Poll(int tries) {
    if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
      title = box->windowTitle();
      text = box->text();
      ++seen;
      box->accept();
    } else if (tries < 200) {
      QTimer::singleShot(20, &alive, [this, tries] { Poll(tries + 1); });
    }
  }
};

class MainWindow : public testing::Test {
 protected:
  void SetUp() override {
    static int serial = 0;
    dir_ = QString::fromStdString(TempDir()) + QStringLiteral("/win%1").arg(++serial);
    models_ = dir_ + "/models";
    fs::create_directories(models_.toStdString());
    Write("cube.stl", kStl);
    Write("upper.STL", kStl);
    Write("tri.obj", kObj);
    Write("readme.txt", "not a model\n");
    Write("noext", "x");
    ini_ = dir_ + "/tarnelle.ini";
    help_ = dir_ + "/missing.html";
  }
  void TearDown() override {
    if (w_) w_->close();
    w_.reset();
  }

  void Write(const char* name, const std::string& bytes) {
    FILE* f = fopen((models_ + "/" + name).toLocal8Bit().constData(), "wb");
    ASSERT_TRUE(f);
    fwrite(bytes.data(), 1, bytes.size(), f);
    fclose(f);
  }
  void WriteIni(const std::string& text) {
    FILE* f = fopen(ini_.toLocal8Bit().constData(), "wb");
    ASSERT_TRUE(f);
    fwrite(text.data(), 1, text.size(), f);
    fclose(f);
  }
  IniFile ReadIni() const {
    IniFile ini;
    ini.Load(ini_.toStdString());
    return ini;
  }

  TMainForm& Start(const QString& commandLineFile = {}) {
    MainFormOptions o;
    o.exePath = (dir_ + "/tarnelle").toStdString();
    o.iniPath = ini_.toStdString();
    o.helpPath = help_.toStdString();
    o.readPlugins = false;
    o.commandLineFile = commandLineFile.toStdString();
    w_ = std::make_unique<TMainForm>(o);
    w_->show();
    EXPECT_TRUE(QTest::qWaitForWindowExposed(w_.get()));
    EXPECT_TRUE(WaitFor([&] { return w_->PreviewReady(); }));
    EXPECT_TRUE(WaitForLoad(*w_));
    return *w_;
  }
  void CloseWindow() {
    w_->close();
    w_.reset();
  }
  void ShowModels() {
    w_->FolderTree()->SelectPath(models_);
    ASSERT_EQ(w_->FileList()->Folder(), models_);
  }
  void Click(const QString& name, Qt::MouseButton button = Qt::LeftButton) {
    TFileList* list = w_->FileList();
    const int row = list->RowOf(name);
    ASSERT_GE(row, 0) << name.toStdString();
    QTest::mouseClick(list->CurrentView()->viewport(), button, {}, list->ItemRect(row).center());
    EXPECT_TRUE(WaitForLoad(*w_));
  }
  QStringList Listed() const {
    QStringList names;
    for (int r = 0; r < w_->FileList()->Count(); ++r) names << w_->FileList()->Caption(r);
    names.sort();
    return names;
  }
  QString Model(const char* name) const { return models_ + "/" + name; }

  QString dir_, models_, ini_, help_;
  std::unique_ptr<TMainForm> w_;
};

TEST_F(MainWindow, StartsWithDefaultsWithoutASettingsFile) {
  TMainForm& w = Start();
  EXPECT_EQ(w.size(), QSize(631, 542));
  EXPECT_EQ(w.LeftPanel()->width(), 185);
  EXPECT_EQ(w.ListArea()->height(), 96);
  EXPECT_FALSE(w.MenuAction("mSavePos")->isChecked());
  EXPECT_FALSE(w.MenuAction("mSaveFolder")->isChecked());
  EXPECT_EQ(w.FileList()->ViewStyle(), 2);
  EXPECT_TRUE(w.ToolButton("ToolButton3")->isChecked());
  EXPECT_EQ(w.RenderType(), 0);
  EXPECT_TRUE(w.MenuAction("mRType0")->isChecked());
  EXPECT_TRUE(w.MenuAction("dRType0")->isChecked());
  EXPECT_EQ(w.CullMode(), 0);
  EXPECT_TRUE(w.MenuAction("mCull0")->isChecked());
  EXPECT_FALSE(w.MenuAction("mAutoRot")->isChecked());
  EXPECT_FALSE(w.ToolButton("tbAutoRot")->isChecked());
  EXPECT_FALSE(w.MenuAction("mArcFolder")->isChecked());
  EXPECT_TRUE(w.MenuAction("mTextures")->isChecked());
  EXPECT_TRUE(w.Preview()->Textures());
  const AppSettings s = w.CurrentSettings();
  EXPECT_EQ(s.backColor, Rgb(0, 77, 102));
  EXPECT_EQ(s.objectColor, Rgb(222, 222, 222));
  EXPECT_EQ(s.angle, 120.0);
  EXPECT_EQ(s.quality, 50);
  EXPECT_FALSE(s.cache);
  // The preview got the colours when the window was shown.
  EXPECT_FLOAT_EQ(w.Preview()->SceneState().background[2], 102.0f / 255.0f);
  EXPECT_EQ(w.Settings().angle, 120.0f);
  // The first node of the tree, and the caption naming it.
  EXPECT_EQ(w.FolderTree()->SelectedPath(), "/");
  EXPECT_EQ(w.windowTitle(), "Tarnelle - /");
  // The filter: all files, all formats, then one entry per reader.
  QComboBox* f = w.FilterList();
  ASSERT_EQ(f->count(), static_cast<int>(w.Readers().size()) + 2);
  EXPECT_EQ(f->itemText(0), "すべてのファイル");
  EXPECT_EQ(f->itemText(1), "対応する全形式");
  EXPECT_EQ(f->currentIndex(), 1);
  EXPECT_TRUE(f->toolTip().contains("*.stl") && f->toolTip().contains("*.obj"));
  EXPECT_EQ(f->itemText(2), QString::fromStdString(w.Readers()[0].name));
  EXPECT_EQ(w.LoadCount(), 0);
  EXPECT_TRUE(w.CurrentPath().empty());
  // The home folder is one key away.
  QTest::keyClick(w.FolderTree(), Qt::Key_Home, Qt::AltModifier);
  EXPECT_EQ(w.FolderTree()->SelectedPath(), QDir::homePath());
  EXPECT_EQ(w.windowTitle(), "Tarnelle - " + QDir::homePath());
  w.Reload();  // nothing loaded yet: nothing to reload
  EXPECT_EQ(w.LoadCount(), 0);
  EXPECT_TRUE(w.Memo()->toPlainText().isEmpty());
}

TEST_F(MainWindow, StoredPlacementIsRestoredOnlyWhenWhole) {
  WriteIni("[Option]\nwinpos=10,20,800,600,200,150\n");
  {
    TMainForm& w = Start();
    EXPECT_EQ(w.pos(), QPoint(10, 20));
    EXPECT_EQ(w.size(), QSize(800, 600));
    EXPECT_EQ(w.LeftPanel()->width(), 200);
    EXPECT_EQ(w.ListArea()->height(), 150);
    EXPECT_TRUE(w.MenuAction("mSavePos")->isChecked());
    CloseWindow();
  }
  EXPECT_EQ(ReadIni().ReadString("Option", "winpos", ""), "10,20,800,600,200,150");

  WriteIni("[Option]\nwinpos=1,2,3\n");
  {
    TMainForm& w = Start();
    EXPECT_EQ(w.size(), QSize(631, 542));
    EXPECT_EQ(w.LeftPanel()->width(), 185);
    EXPECT_FALSE(w.MenuAction("mSavePos")->isChecked());
    CloseWindow();
  }
  EXPECT_EQ(ReadIni().ReadString("Option", "winpos", ""), "0");

  // Unchecking the item forgets the placement at close.
  WriteIni("[Option]\nwinpos=10,20,800,600,200,150\n");
  Start();
  w_->MenuAction("mSavePos")->trigger();
  CloseWindow();
  EXPECT_EQ(ReadIni().ReadString("Option", "winpos", ""), "0");
}

TEST_F(MainWindow, GarbledSettingsKeepTheGoodKeys) {
  std::string text =
      "junk line without equals\n"
      "[Option]\n"
      "viewtype=3\n"
      "\x01\x02\xff\xfe garbage\n"
      "winpos=-20000,-20000,700,500,150,80\n"
      "rendtype=99999999999999\n"
      "culling=-3\n"
      "angle=banana\n"
      "verclean=1\n"
      "lastpath=/no/such/folder/at/all\n"
      "[Pview]\n"
      "backcol=\xff\xff\n"
      "objcol=1,2,3\n";
  text[text.find(" garbage")] = '\0';
  WriteIni(text);
  TMainForm& w = Start();
  EXPECT_EQ(w.FileList()->ViewStyle(), 3);
  EXPECT_EQ(w.RenderType(), 0);
  EXPECT_EQ(w.CullMode(), 0);
  EXPECT_TRUE(w.MenuAction("mVerClean")->isChecked());
  EXPECT_EQ(w.CurrentSettings().angle, 120.0);
  EXPECT_EQ(w.CurrentSettings().backColor, Rgb(0, 77, 102));
  EXPECT_EQ(w.CurrentSettings().objectColor, Rgb(1, 2, 3));
  // A window stored off every screen opens where it can be seen.
  const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
  EXPECT_TRUE(screen.intersects(w.frameGeometry()));
  EXPECT_EQ(w.size(), QSize(700, 500));
  // A remembered folder that is gone selects what is left of it.
  EXPECT_EQ(w.FolderTree()->SelectedPath(), "/");
  CloseWindow();
  const std::string after = ReadIni().Text();
  EXPECT_NE(after.find("junk line without equals"), std::string::npos);
  EXPECT_NE(after.find("garbage"), std::string::npos);
}

TEST_F(MainWindow, EverySettingRoundTrips) {
  WriteIni("; kept\n[Mine]\nkey=value;with;semicolons\n[Option]\nextra=1\nlastpath=" +
           models_.toStdString() + "\n[Pview]\nobjcol=300,0,0\n");
  TMainForm& w = Start();
  EXPECT_TRUE(w.MenuAction("mSaveFolder")->isChecked());
  EXPECT_EQ(w.FolderTree()->SelectedPath(), models_);
  EXPECT_EQ(w.CurrentSettings().objectColor, Rgb(44, 0, 0));
  w.MenuAction("mSavePos")->trigger();
  w.MenuAction("dRType3")->trigger();
  w.MenuAction("mCull2")->trigger();
  QTest::mouseClick(w.ToolButton("tbAutoRot"), Qt::LeftButton);
  EXPECT_TRUE(w.MenuAction("mAutoRot")->isChecked());
  EXPECT_TRUE(w.Preview()->AutoRotation());
  MessageCatcher box;
  box.Arm();
  w.MenuAction("mPluginFirst")->trigger();
  EXPECT_EQ(box.seen, 1);
  w.MenuAction("mVerClean")->trigger();
  w.MenuAction("mPolWise")->trigger();
  w.MenuAction("mTextures")->trigger();
  EXPECT_FALSE(w.Preview()->Textures());
  QTest::mouseClick(w.ToolButton("ToolButton4"), Qt::LeftButton);
  EXPECT_EQ(w.FileList()->ViewStyle(), 3);
  const QPoint pos = w.pos();
  const QSize size = w.size();
  const int leftW = w.LeftPanel()->width(), listH = w.ListArea()->height();
  CloseWindow();

  const IniFile ini = ReadIni();
  const std::pair<const char*, std::string> want[] = {
      {"winpos", QStringLiteral("%1,%2,%3,%4,%5,%6")
                     .arg(pos.x())
                     .arg(pos.y())
                     .arg(size.width())
                     .arg(size.height())
                     .arg(leftW)
                     .arg(listH)
                     .toStdString()},
      {"viewtype", "3"},
      {"lastpath", models_.toStdString()},
      {"rendtype", "3"},
      {"culling", "2"},
      {"autorot", "1"},
      {"pluginorder", "1"},
      {"verclean", "1"},
      {"polwise", "1"},
      {"arcfolder", "0"},
      {"angle", "120"},
      {"quality", "50"},
      {"cache", "0"},
      {"textures", "0"},
      {"extra", "1"},
  };
  for (const auto& [key, value] : want)
    EXPECT_EQ(ini.ReadString("Option", key, "<missing>"), value) << key;
  EXPECT_EQ(ini.ReadString("Pview", "backcol", ""), "0,77,102");
  EXPECT_EQ(ini.ReadString("Pview", "objcol", ""), "44,0,0");
  EXPECT_EQ(ini.ReadString("Mine", "key", ""), "value;with;semicolons");
  EXPECT_EQ(ini.Text().rfind("; kept\n", 0), 0u);

  // And the next start restores them.
  TMainForm& again = Start();
  EXPECT_EQ(again.RenderType(), 3);
  EXPECT_EQ(again.CullMode(), 2);
  EXPECT_TRUE(again.MenuAction("mCull2")->isChecked());
  EXPECT_TRUE(again.MenuAction("mAutoRot")->isChecked());
  EXPECT_TRUE(again.MenuAction("mPluginFirst")->isChecked());
  EXPECT_TRUE(again.MenuAction("mPolWise")->isChecked());
  EXPECT_FALSE(again.MenuAction("mTextures")->isChecked());
  EXPECT_FALSE(again.Preview()->Textures());
  EXPECT_TRUE(again.ToolButton("ToolButton4")->isChecked());
  EXPECT_EQ(again.size(), size);
  EXPECT_EQ(again.LeftPanel()->width(), leftW);
}

// Menu text, shortcut, kind and the separators' places, menu by menu.
TEST_F(MainWindow, MenusAsDesigned) {
  TMainForm& w = Start();
  struct Item {
    const char* text;  // "-" for a separator
    const char* shortcut;
    bool checkable;
  };
  const std::vector<std::pair<const char*, std::vector<Item>>> menus = {
      {"ﾌｧｲﾙ(&F)",
       {{"開 く(&O)", "Ctrl+O", false},
        {"ﾋﾞｭｰｲﾒｰｼﾞ保存", "Ctrl+S", false},
        {"再読み込み", "F5", false},
        {"-", "", false},
        {"終了(&X)", "", false}}},
      {"表示(&D)",
       {{"回転アニメーション", "", true}, {"レンダータイプ", "", false}, {"片面表示", "", false}}},
      {"ビュー(&V)",
       {{"正面", "", false},
        {"裏面", "", false},
        {"右側面", "", false},
        {"左側面", "", false},
        {"上面", "", false},
        {"下面", "", false},
        {"-", "", false},
        {"カメラリセット", "", false}}},
      {"ｵﾌﾟｼｮﾝ(&O)",
       {{"サイズ・位置を保存", "", true},
        {"フォルダ記憶", "", true},
        {"プラグイン優先", "", true},
        {"圧縮ファイル参照", "", true},
        {"サムネイル表示", "", true},
        {"テクスチャ表示", "", true},
        {"-", "", false},
        {"頂点共有化", "", true},
        {"面方向の補正", "", true},
        {"-", "", false},
        {"環境設定...", "", false}}},
      {"Help(&H)",
       {{"ヘルプ(&H)", "F1", false},
        {"プレビュー操作(&M)", "", false},
        {"-", "", false},
        {"バージョン情報(&A)", "", false}}},
  };
  const QList<QAction*> top = w.menuBar()->actions();
  ASSERT_EQ(top.size(), static_cast<int>(menus.size()));
  for (size_t m = 0; m < menus.size(); ++m) {
    EXPECT_EQ(top[m]->text(), QString::fromUtf8(menus[m].first));
    const QList<QAction*> items = top[m]->menu()->actions();
    ASSERT_EQ(items.size(), static_cast<int>(menus[m].second.size())) << menus[m].first;
    for (int i = 0; i < items.size(); ++i) {
      const Item& want = menus[m].second[static_cast<size_t>(i)];
      if (std::string(want.text) == "-") {
        EXPECT_TRUE(items[i]->isSeparator()) << menus[m].first << " " << i;
        continue;
      }
      EXPECT_EQ(items[i]->text(), QString::fromUtf8(want.text));
      EXPECT_EQ(items[i]->shortcut().toString(), QString::fromUtf8(want.shortcut)) << want.text;
      EXPECT_EQ(items[i]->isCheckable(), want.checkable) << want.text;
    }
  }
  const char* const rtypes[] = {"フラット", "スムース", "隠線ワイヤー", "ワイヤー", "ポイント"};
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(w.MenuAction(QStringLiteral("mRType%1").arg(i).toLatin1().constData())->text(),
              QString::fromUtf8(rtypes[i]));
    EXPECT_EQ(w.MenuAction(QStringLiteral("dRType%1").arg(i).toLatin1().constData())->text(),
              QString::fromUtf8(rtypes[i]));
  }
  const char* const culls[] = {"両面", "片面１", "片面２"};
  for (int i = 0; i < 3; ++i)
    EXPECT_EQ(w.MenuAction(QStringLiteral("mCull%1").arg(i).toLatin1().constData())->text(),
              QString::fromUtf8(culls[i]));
  EXPECT_EQ(w.MenuAction("mExit")->statusTip(), "ｱﾌﾟﾘｹｰｼｮﾝの終了");
  EXPECT_EQ(w.MenuAction("mPluginFirst")->statusTip(), "変更は次回起動から有効");
  EXPECT_EQ(w.MenuAction("mDelete")->shortcut().toString(), "Del");

  const std::pair<const char*, const char*> hints[] = {{"ToolButton6", "ファイルを開く"},
                                                       {"ToolButton8", "ﾋﾞｭｰｲﾒｰｼﾞ保存"},
                                                       {"ToolButton10", "再読み込み"},
                                                       {"tbOption", "環境設定"},
                                                       {"tbRType", "レンダータイプ"},
                                                       {"tbAutoRot", "回転アニメーション"},
                                                       {"tbView", "カメラ方向"},
                                                       {"ToolButton1", "大きいアイコン"},
                                                       {"ToolButton2", "小さいアイコン"},
                                                       {"ToolButton3", "一覧"},
                                                       {"ToolButton4", "詳細"}};
  int lastX = -1;
  for (const auto& [name, hint] : hints) {
    QToolButton* b = w.ToolButton(name);
    ASSERT_TRUE(b) << name;
    EXPECT_EQ(b->toolTip(), QString::fromUtf8(hint));
    EXPECT_GT(b->x(), lastX) << name;  // left to right in this order
    lastX = b->x();
  }
  EXPECT_EQ(w.ToolButton("tbRType")->menu()->actions().size(), 5);
  EXPECT_EQ(w.ToolButton("tbView")->menu()->actions().size(), 6);
}

TEST_F(MainWindow, ClickLoadsOnceAndReloadLoadsAgain) {
  TMainForm& w = Start();
  ShowModels();
  EXPECT_EQ(w.windowTitle(), "Tarnelle - " + models_);
  Click("cube.stl");
  const QStringList want = {"----------", "STL format: " + Model("cube.stl"),
                            " > 頂点数 = 3, ポリゴン数 = 1"};
  EXPECT_EQ(LogLines(w), want);
  EXPECT_EQ(w.LoadCount(), 1);
  EXPECT_TRUE(w.TrimPending());
  EXPECT_EQ(w.Preview()->SceneState().polygonCount, 1);
  EXPECT_TRUE(WaitFor([&] { return !w.TrimPending(); }, 2000));

  Click("cube.stl");  // the file already shown
  EXPECT_EQ(w.LoadCount(), 1);
  w.OpenPath(Model("cube.stl"));  // the Open command with the same file
  EXPECT_EQ(w.LoadCount(), 1);

  w.MenuAction("mReload")->trigger();
  EXPECT_EQ(w.LoadCount(), 2);
  ASSERT_TRUE(WaitForLoad(w));
  EXPECT_EQ(LogLines(w), want + want);

  // With several selected, a click loads the first in list order.
  TFileList* list = w.FileList();
  QTest::mouseClick(list->CurrentView()->viewport(), Qt::LeftButton, Qt::ControlModifier,
                    list->ItemRect(list->RowOf("upper.STL")).center());
  EXPECT_EQ(list->SelectedRows().size(), 2u);
  EXPECT_EQ(w.LoadCount(), 2);  // cube.stl is first and already shown
  QTest::mouseClick(list->CurrentView()->viewport(), Qt::LeftButton, Qt::ControlModifier,
                    list->ItemRect(list->RowOf("cube.stl")).center());
  EXPECT_EQ(w.LoadCount(), 3);
  ASSERT_TRUE(WaitForLoad(w));
  EXPECT_EQ(w.CurrentPath(), Model("upper.STL").toStdString());

  // Toggling vertex sharing does not reload; the next load uses it.
  w.MenuAction("mVerClean")->trigger();
  EXPECT_EQ(w.LoadCount(), 3);
  EXPECT_TRUE(w.Settings().shareVertices);

  Click("tri.obj");
  EXPECT_EQ(w.LoadCount(), 4);
  EXPECT_EQ(LogLines(w).mid(9, 2), QStringList({"----------", "Wavefront: " + Model("tri.obj")}));
  EXPECT_EQ(w.Preview()->SceneState().polygonCount, 2);
}

TEST_F(MainWindow, OnlyALeftPressLetsClickOrEnterLoad) {
  TMainForm& w = Start();
  ShowModels();
  TFileList* list = w.FileList();
  QAbstractItemView* view = list->CurrentView();
  Click("cube.stl", Qt::RightButton);
  ASSERT_EQ(list->SelectedRows().size(), 1u);
  EXPECT_EQ(list->Caption(list->SelectedRows()[0]), "cube.stl");
  EXPECT_EQ(w.LoadCount(), 0);
  QTest::keyClick(view, Qt::Key_Return);
  EXPECT_EQ(w.LoadCount(), 0);
  QTest::mouseClick(view->viewport(), Qt::MiddleButton, {},
                    list->ItemRect(list->RowOf("tri.obj")).center());
  QTest::keyClick(view, Qt::Key_Return);
  EXPECT_EQ(w.LoadCount(), 0);

  // After a left press, moving with the keys loads nothing; Enter loads.
  Click("cube.stl");
  EXPECT_EQ(w.LoadCount(), 1);
  view->setFocus();
  list->SelectRow(list->RowOf("tri.obj"));
  EXPECT_EQ(w.LoadCount(), 1);
  QTest::keyClick(view, Qt::Key_Return);
  EXPECT_EQ(w.LoadCount(), 2);
  ASSERT_TRUE(WaitForLoad(w));
  EXPECT_EQ(w.CurrentPath(), Model("tri.obj").toStdString());
  QTest::keyClick(view, Qt::Key_Enter);  // the same file again
  EXPECT_EQ(w.LoadCount(), 2);
}

TEST_F(MainWindow, FormatFilterChoosesTheListedFiles) {
  TMainForm& w = Start();
  ShowModels();
  EXPECT_EQ(Listed(), QStringList({"cube.stl", "tri.obj", "upper.STL"}));
  QComboBox* f = w.FilterList();
  const int stl = f->findText("STL format");
  ASSERT_GE(stl, 2);
  f->setCurrentIndex(stl);
  EXPECT_EQ(Listed(), QStringList({"cube.stl", "upper.STL"}));
  EXPECT_EQ(f->toolTip(), "*.stl");
  EXPECT_EQ(w.Settings().filterIndex, stl);
  f->setCurrentIndex(0);
  EXPECT_EQ(Listed(), QStringList({"cube.stl", "noext", "readme.txt", "tri.obj", "upper.STL"}));
  EXPECT_EQ(f->toolTip(), "*.*");

  // Every view style lists the same; details has the five columns.
  for (int style = 0; style < 4; ++style) {
    QTest::mouseClick(
        w.ToolButton(QStringLiteral("ToolButton%1").arg(style + 1).toLatin1().constData()),
        Qt::LeftButton);
    EXPECT_EQ(w.FileList()->ViewStyle(), style);
    EXPECT_EQ(w.FileList()->Count(), 5);
  }
  QAbstractItemModel* m = w.FileList()->DetailView()->model();
  ASSERT_EQ(m->columnCount(), 5);
  const char* const heads[] = {"ファイル名", "サイズ", "ﾀｲﾌﾟ", "更新日付", ""};
  for (int c = 0; c < 5; ++c)
    EXPECT_EQ(m->headerData(c, Qt::Horizontal).toString(), QString::fromUtf8(heads[c]));
  const int row = w.FileList()->RowOf("upper.STL");
  EXPECT_EQ(m->index(row, 4).data().toString(), ".STL");
  // A click in the details view loads like any other.
  Click("upper.STL");
  EXPECT_EQ(w.CurrentPath(), Model("upper.STL").toStdString());
}

// Another folder starts at its first file in every view, however far the
// one before was scrolled; the same folder read again keeps its place.
TEST_F(MainWindow, AnotherFolderStartsAtItsFirstFile) {
  const QString other = dir_ + "/other";
  QDir().mkpath(other);
  for (int i = 0; i < 60; ++i) {
    const std::string name = QStringLiteral("m%1.stl").arg(i, 2, 10, QChar('0')).toStdString();
    std::ofstream((models_ + "/").toStdString() + name) << kStl;
    std::ofstream((other + "/o").toStdString() + name) << kStl;
  }
  TMainForm& w = Start();
  TFileList* list = w.FileList();
  for (int style : {3, 2, 1, 0}) {
    SCOPED_TRACE(style);
    w.SetViewStyle(style);
    ShowModels();
    QAbstractItemView* v = list->CurrentView();
    // The list style flows in columns and scrolls sideways.
    QScrollBar* bar = style == 2 ? v->horizontalScrollBar() : v->verticalScrollBar();
    v->doItemsLayout();
    ASSERT_GT(bar->maximum(), 0);
    bar->setValue(bar->maximum());
    w.FolderTree()->SelectPath(other);
    ASSERT_EQ(list->Folder(), other);
    v->doItemsLayout();
    QApplication::processEvents();
    EXPECT_EQ(bar->value(), 0);
    const QRect first = v->visualRect(v->model()->index(0, 0));
    EXPECT_TRUE(v->viewport()->rect().contains(first))
        << first.x() << "," << first.y() << " " << first.width() << "x" << first.height();
    // Read again (a change on disk): still where the user left it.
    bar->setValue(bar->maximum() / 2);
    const int kept = bar->value();
    ASSERT_GT(kept, 0);
    list->Refresh();
    v->doItemsLayout();
    QApplication::processEvents();
    EXPECT_EQ(bar->value(), kept);
  }
}

// The small-icon view keeps a long name inside its cell, shortened in the
// middle, with the whole name as its tooltip.
TEST_F(MainWindow, SmallIconsElideLongNamesInTheirCells) {
  // Wide enough for several columns; the long name sorts last, alone in
  // its row, with only empty cells to its right.
  WriteIni("[Option]\nwinpos=0,0,1200,542,185,96\nthumbnails=0\n");
  const QString longName = "zz_assimp__3DS_Cartoon_Character_with_an_extremely_long_name_" +
                           QString(40, 'x') + "_Object.3ds";
  Write(longName.toLatin1().constData(), "x");
  TMainForm& w = Start();
  ShowModels();
  QTest::mouseClick(w.ToolButton("ToolButton2"), Qt::LeftButton);
  TFileList* list = w.FileList();
  ASSERT_EQ(list->ViewStyle(), 1);
  QListView* view = list->IconView();
  view->doItemsLayout();
  QApplication::processEvents();
  const int row = list->RowOf(longName);
  ASSERT_EQ(row, list->Count() - 1);
  const QModelIndex index = view->model()->index(row, 0);
  const QRect item = view->visualRect(index);
  const int cellRight = item.left() + view->gridSize().width();
  for (int r = 0; r < row; ++r)
    ASSERT_NE(view->visualRect(view->model()->index(r, 0)).top(), item.top()) << "not alone";
  ASSERT_LT(cellRight + 40, view->viewport()->width());
  EXPECT_LE(item.right(), cellRight);
  // Nothing is drawn to the right of its cell.
  const QImage shot = view->viewport()->grab().toImage();
  const QRgb empty = shot.pixel(shot.width() - 2, item.center().y());
  int drawn = 0;
  for (int x = cellRight + 1; x < shot.width() - 2; ++x)
    for (int y = item.top() + 1; y < item.bottom(); ++y) drawn += shot.pixel(x, y) != empty;
  EXPECT_EQ(drawn, 0) << "the name runs on past its cell";
  // Its start is drawn in the cell.
  const QImage cell = shot.copy(item);
  int inked = 0;
  for (int x = 0; x < cell.width(); ++x)
    for (int y = 0; y < cell.height(); ++y) inked += cell.pixel(x, y) != empty;
  EXPECT_GT(inked, 0);
  // The pointer resting on it shows the whole name.
  QHelpEvent tip(QEvent::ToolTip, item.center(), view->viewport()->mapToGlobal(item.center()));
  QApplication::sendEvent(view->viewport(), &tip);
  EXPECT_TRUE(WaitFor([] { return QToolTip::isVisible(); }, 2000));
  EXPECT_EQ(QToolTip::text(), longName);
  QToolTip::hideText();
}

// F1 shows the manual in the program's own window without asking a
// desktop launcher first, and the manual tells of what the window offers.
TEST_F(MainWindow, F1ShowsAManualThatAgreesWithTheWindow) {
  help_ = dir_ + "/tarnelle.html";
  fs::copy_file(TARNELLE_BINARY_DIR "/app/tarnelle.html", help_.toStdString());
  static QStringList* messages = nullptr;
  QStringList seen;
  messages = &seen;
  const QtMessageHandler previous =
      qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString& text) {
        if (messages) *messages << text;
      });
  TMainForm& w = Start();
  // No other command takes the key.
  QAction* help = w.MenuAction("mHelp");
  EXPECT_EQ(help->shortcut(), QKeySequence(Qt::Key_F1));
  for (const QAction* a : w.findChildren<QAction*>()) {
    if (a == help) continue;
    EXPECT_NE(a->shortcut(), QKeySequence(Qt::Key_F1)) << a->objectName().toStdString();
  }
  w.activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&w));
  w.FileList()->CurrentView()->setFocus();
  QTest::keyClick(QApplication::focusWidget(), Qt::Key_F1);
  const bool shown = WaitFor([&] { return w.ManualWindow() && w.ManualWindow()->isVisible(); });
  qInstallMessageHandler(previous);
  messages = nullptr;
  ASSERT_TRUE(shown);
  for (const QString& m : seen) EXPECT_FALSE(m.contains("launcher")) << m.toStdString();

  const QString text = w.ManualWindow()->Browser()->toPlainText();
  auto plain = [](QString caption) { return caption.remove(QRegularExpression("\\(&.\\)")); };
  // Every item of the options and help menus, and the four view styles.
  for (const char* menu : {"mOptionMenu", "mHelpMenu"})
    for (const QAction* a : w.findChild<QMenu*>(menu)->actions()) {
      if (a->isSeparator()) continue;
      EXPECT_TRUE(text.contains(plain(a->text()))) << a->text().toStdString();
    }
  for (int i = 1; i <= 4; ++i) {
    const QString hint =
        w.ToolButton(QStringLiteral("ToolButton%1").arg(i).toLatin1().constData())->toolTip();
    EXPECT_TRUE(text.contains(hint)) << hint.toStdString();
  }
  EXPECT_TRUE(text.contains("サムネイル"));
  // The JPEG quality range the options dialog takes.
  TUpDownEdit* quality = w.OptDlg()->Quality;
  quality->SetPosition(-1e9);
  const double low = quality->Position();
  quality->SetPosition(1e9);
  const double high = quality->Position();
  EXPECT_TRUE(text.contains(QStringLiteral("JPEG保存品質")));
  EXPECT_TRUE(text.contains(QStringLiteral("（%1〜%2").arg(low).arg(high)))
      << low << " to " << high;
}

TEST_F(MainWindow, SpaceStepsRenderTypeOnlyInThePreview) {
  TMainForm& w = Start();
  w.activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&w));
  w.FileList()->CurrentView()->setFocus();
  ASSERT_TRUE(WaitFor([&] { return QApplication::focusWidget() == w.FileList()->CurrentView(); }));
  QTest::keyClick(QApplication::focusWidget(), Qt::Key_Space);
  EXPECT_EQ(w.RenderType(), 0);

  w.Preview()->setFocus();
  ASSERT_TRUE(WaitFor([&] { return QApplication::focusWidget() == w.Preview(); }));
  for (int want : {1, 2, 3, 4, 0}) {
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Space);
    EXPECT_EQ(w.RenderType(), want);
    EXPECT_EQ(w.Preview()->RenderType(), want);
    EXPECT_TRUE(
        w.MenuAction(QStringLiteral("mRType%1").arg(want).toLatin1().constData())->isChecked());
    EXPECT_TRUE(
        w.MenuAction(QStringLiteral("dRType%1").arg(want).toLatin1().constData())->isChecked());
  }
  // A click on the tool button steps too.
  QTest::mouseClick(w.ToolButton("tbRType"), Qt::LeftButton, {}, QPoint(4, 4));
  EXPECT_EQ(w.RenderType(), 1);
}

// At start the tree shows its names from the left when the selected folder
// fits so; only a folder too deep for the panel scrolls it sideways.
TEST_F(MainWindow, FolderTreeStartsScrolledToTheLeft) {
  TMainForm& w = Start(models_ + "/cube.stl");
  TFolderTree* tree = w.FolderTree();
  QScrollBar* bar = tree->horizontalScrollBar();
  // Folder contents arrive over time; each time the selection is shown again.
  QTest::qWait(300);
  const QRect node = tree->visualRect(tree->currentIndex());
  ASSERT_TRUE(node.isValid());
  if (node.left() + bar->value() + 40 > tree->viewport()->width())
    GTEST_SKIP() << "the test folder lies too deep for the panel: " << models_.toStdString();
  EXPECT_EQ(bar->value(), 0);
}

// A folder deeper than the panel is wide: its node is brought into view,
// and a shallow one scrolls the tree back to the left.
TEST_F(MainWindow, FolderTreeBringsADeepFolderIntoView) {
  QString deep = models_;
  for (int i = 0; i < 12; ++i) deep += QStringLiteral("/level%1").arg(i);
  ASSERT_TRUE(QDir().mkpath(deep));
  TMainForm& w = Start(models_ + "/cube.stl");
  TFolderTree* tree = w.FolderTree();
  QScrollBar* bar = tree->horizontalScrollBar();
  QTest::qWait(300);
  // Only the test's folder in the tree, so that folders other programs make
  // meanwhile change nothing.
  tree->setRootIndex(tree->FsModel()->index(dir_));
  tree->SelectPath(deep);
  // Rows and the column's width arrive over time: wait until the node is
  // laid out, then it must be in view.
  const bool laidOut =
      WaitFor([&] { return tree->visualRect(tree->currentIndex()).isValid(); }, 20000);
  if (!laidOut) GTEST_SKIP() << "the file system model did not lay out the deep folder within 20 s";
  const QRect shown = tree->visualRect(tree->currentIndex());
  EXPECT_GE(shown.left(), 0);
  EXPECT_LT(shown.left(), tree->viewport()->width());
  // And back: a shallow folder scrolls the tree to the left again.
  tree->SelectPath(models_);
  EXPECT_TRUE(WaitFor([&] { return bar->value() == 0; }));
}

// The submenu and the drop-down draw a check mark on the current type's
// row, and on no other: the mark column of the other rows looks the same.
TEST_F(MainWindow, RenderTypeMenusShowTheCurrentTypeChecked) {
  TMainForm& w = Start();
  QMenu* sub = w.findChild<QMenu*>(QStringLiteral("mRenderType"));
  QMenu* drop = w.ToolButton("tbRType")->menu();
  ASSERT_TRUE(sub && drop);
  for (int type : {3, 0}) {
    w.SetRenderType(type);
    for (QMenu* menu : {sub, drop}) {
      SCOPED_TRACE(type);
      // The pointer away from the menu: no row is highlighted.
      QCursor::setPos(w.screen()->geometry().bottomRight() - QPoint(2, 2));
      menu->popup(w.mapToGlobal(QPoint(20, 20)));
      ASSERT_TRUE(QTest::qWaitForWindowExposed(menu));
      const QImage shot = menu->grab().toImage();
      const QList<QAction*> items = menu->actions();
      ASSERT_EQ(items.size(), 5);
      auto markColumn = [&](int i) {
        // The mark's column, left of the text, inside the menu's frame.
        const QRect row = menu->actionGeometry(items[i]);
        const QRect mark(row.left() + 3, row.top() + 3, 16, row.height() - 6);
        return shot.copy(
            QRect(mark.topLeft() * shot.devicePixelRatio(), mark.size() * shot.devicePixelRatio()));
      };
      const QImage checked = markColumn(type);
      for (int i = 0; i < 5; ++i) {
        if (i == type) continue;
        EXPECT_EQ(markColumn(i), markColumn(type == 0 ? 1 : 0)) << "row " << i;
        EXPECT_NE(markColumn(i), checked) << "row " << i;
      }
      menu->hide();
    }
  }
}

TEST_F(MainWindow, WheelZoomsThePreviewWhenItHasTheFocus) {
  TMainForm& w = Start();
  ShowModels();
  Click("cube.stl");
  w.activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&w));
  QWidget* target = w.FileList()->CurrentView()->viewport();
  auto wheel = [&] {
    QWheelEvent e(QPointF(5, 5), target->mapToGlobal(QPointF(5, 5)), QPoint(), QPoint(0, 120),
                  Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false);
    QApplication::sendEvent(target, &e);
  };
  const float z0 = w.Preview()->SceneState().camera.eyeZ;
  w.FileList()->CurrentView()->setFocus();
  ASSERT_TRUE(WaitFor([&] { return QApplication::focusWidget() == w.FileList()->CurrentView(); }));
  wheel();
  EXPECT_EQ(w.Preview()->SceneState().camera.eyeZ, z0);
  w.Preview()->setFocus();
  ASSERT_TRUE(WaitFor([&] { return QApplication::focusWidget() == w.Preview(); }));
  wheel();
  const Camera& c = w.Preview()->SceneState().camera;
  EXPECT_FLOAT_EQ(c.eyeZ, z0 + 120 * c.moveStep * 0.1f);
}

TEST_F(MainWindow, CommandLineFileSelectsItsFolderAndLoadsOnce) {
  WriteIni("[Option]\nlastpath=/\n");  // the argument's folder wins
  TMainForm& w = Start(Model("tri.obj"));
  EXPECT_EQ(w.FolderTree()->SelectedPath(), models_);
  EXPECT_EQ(w.windowTitle(), "Tarnelle - " + models_);
  EXPECT_EQ(w.LoadCount(), 1);
  EXPECT_EQ(LogLines(w).value(1), "Wavefront: " + Model("tri.obj"));
  w.FolderTree()->SelectPath(dir_);
  w.FolderTree()->SelectPath(models_);
  EXPECT_EQ(w.LoadCount(), 1);
}

TEST_F(MainWindow, CommandLinePathThatDoesNotExist) {
  TMainForm& w = Start(Model("gone.stl"));
  EXPECT_EQ(w.FolderTree()->SelectedPath(), models_);
  EXPECT_EQ(LogLines(w), QStringList({"----------", "file: " + Model("gone.stl"),
                                      "...ファイルがオープンできませんでした。"}));
  EXPECT_EQ(w.CurrentPath(), Model("gone.stl").toStdString());
}

TEST_F(MainWindow, UnreadableOrVanishedFolderListsNothing) {
  TMainForm& w = Start();
  const QString locked = dir_ + "/locked";
  fs::create_directories((locked + "/inner").toStdString());
  Write("../locked/a.stl", kStl);
  w.FolderTree()->SelectPath(locked);
  if (geteuid() != 0) {  // root reads every folder
    chmod(locked.toLocal8Bit().constData(), 0);
    w.FileList()->Refresh();
    EXPECT_EQ(w.FileList()->Count(), 0);
    chmod(locked.toLocal8Bit().constData(), 0755);
  }
  w.FileList()->Refresh();
  EXPECT_EQ(w.FileList()->Count(), 1);
  fs::remove_all(locked.toStdString());
  w.FileList()->Refresh();
  EXPECT_EQ(w.FileList()->Count(), 0);
  EXPECT_TRUE(w.Memo()->toPlainText().isEmpty());
}

TEST_F(MainWindow, PluginOrderWarnsEveryTime) {
  TMainForm& w = Start();
  for (bool want : {true, false}) {
    MessageCatcher box;
    box.Arm();
    w.MenuAction("mPluginFirst")->trigger();
    EXPECT_EQ(box.seen, 1);
    EXPECT_EQ(box.title, "Tarnelle Warning");
    EXPECT_EQ(box.text, "この変更は次回起動から有効になります。");
    EXPECT_EQ(w.MenuAction("mPluginFirst")->isChecked(), want);
  }
}

TEST_F(MainWindow, AboutBoxOpensOnTheAskedPage) {
  TMainForm& w = Start();
  for (const auto& [item, page] : {std::pair{"mOperation", 0}, std::pair{"mVersion", 1}}) {
    int seenPage = -1;
    QString version;
    QTimer::singleShot(100, [&] {
      seenPage = w.AboutBox()->Page();
      version = w.AboutBox()->VersionText();
      w.AboutBox()->accept();
    });
    w.MenuAction(item)->trigger();
    EXPECT_EQ(seenPage, page);
    EXPECT_EQ(version, "Version: 1.69");
    EXPECT_EQ(w.AboutBox()->windowTitle(), "About Tarnelle");
  }
  // A missing manual: no message, nothing opened.
  MessageCatcher box;
  box.Arm();
  w.MenuAction("mHelp")->trigger();
  QTest::qWait(100);
  EXPECT_EQ(box.seen, 0);
}

TEST_F(MainWindow, CullingAutoRotationAndViewsReachThePreview) {
  TMainForm& w = Start();
  ShowModels();
  Click("tri.obj");
  w.MenuAction("mCull1")->trigger();
  EXPECT_EQ(w.Preview()->CullMode(), 1);
  Click("cube.stl");  // the next load keeps the mode
  EXPECT_EQ(w.Preview()->CullMode(), 1);
  w.MenuAction("mAutoRot")->trigger();
  EXPECT_TRUE(w.ToolButton("tbAutoRot")->isChecked());
  EXPECT_TRUE(w.Preview()->AutoRotation());
  QTest::mouseClick(w.ToolButton("tbAutoRot"), Qt::LeftButton);
  EXPECT_FALSE(w.MenuAction("mAutoRot")->isChecked());
  EXPECT_FALSE(w.Preview()->AutoRotation());
  // A preset turns the model, the reset brings back the front view.
  w.MenuAction("mView4")->trigger();
  const Mat4 top = w.Preview()->SceneState().camera.rotation;
  w.MenuAction("mCameraReset")->trigger();
  const Mat4 front = w.Preview()->SceneState().camera.rotation;
  EXPECT_NE(top.m[5], front.m[5]);
  EXPECT_FLOAT_EQ(front.m[5], 1.0f);
  w.MenuAction("dView4")->trigger();
  EXPECT_EQ(w.Preview()->SceneState().camera.rotation.m[5], top.m[5]);
  QTest::mouseClick(w.ToolButton("tbView"), Qt::LeftButton, {}, QPoint(4, 4));
  EXPECT_FLOAT_EQ(w.Preview()->SceneState().camera.rotation.m[5], 1.0f);
}

// A picture of the window for a person to look at: Japanese text must
// render and nothing may overlap.
TEST_F(MainWindow, Screenshot) {
  TMainForm& w = Start(Model("tri.obj"));
  w.FilterList()->setCurrentIndex(1);
  QTest::qWait(300);
  const QPixmap shot = w.screen()->grabWindow(w.winId());
  ASSERT_FALSE(shot.isNull());
  EXPECT_TRUE(shot.save(QStringLiteral(TARNELLE_BINARY_DIR "/app_window.png")));

  // The details view with its columns, and both pages of the About box.
  w.FolderTree()->SelectPath(models_);
  QTest::mouseClick(w.ToolButton("ToolButton4"), Qt::LeftButton);
  QTest::qWait(100);
  EXPECT_TRUE(w.screen()->grabWindow(w.winId()).save(
      QStringLiteral(TARNELLE_BINARY_DIR "/app_window_details.png")));
  for (const auto& [item, file] : {std::pair{"mOperation", "/app_about_operation.png"},
                                   std::pair{"mVersion", "/app_about_version.png"}}) {
    bool saved = false;
    QTimer::singleShot(200, [&, f = file] {
      saved = w.AboutBox()->grab().save(QStringLiteral(TARNELLE_BINARY_DIR) + f);
      w.AboutBox()->accept();
    });
    w.MenuAction(item)->trigger();
    EXPECT_TRUE(saved) << file;
  }
}

// Run by its own test entry with QT_XCB_GL_INTEGRATION=none: no OpenGL
// at all. The window still starts, loads and logs.
TEST_F(MainWindow, WithoutOpenGLTheWindowWorksOn) {
  const char* integration = getenv("QT_XCB_GL_INTEGRATION");
  if (!integration || std::string(integration) != "none")
    GTEST_SKIP() << "needs QT_XCB_GL_INTEGRATION=none";
  MessageCatcher box;
  box.Arm();
  TMainForm& w = Start(Model("cube.stl"));
  EXPECT_TRUE(WaitFor([&] { return box.seen == 1; }));
  EXPECT_EQ(box.title, "Tarnelle Error");
  EXPECT_TRUE(w.Preview()->GLFailed());
  EXPECT_EQ(w.LoadCount(), 1);
  EXPECT_EQ(LogLines(w).value(1), "STL format: " + Model("cube.stl"));
  Click("tri.obj");
  EXPECT_EQ(w.LoadCount(), 2);
  QTest::keyClick(w.Preview(), Qt::Key_Space);
  EXPECT_EQ(w.RenderType(), 1);
}

}  // namespace

// File operations through the real window: the list's context menu and its
// folder dialogs, overwrite questions, progress with Cancel, the trash,
// dragging out of the list and drops on the tree and the window.
#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QDir>
#include <QDrag>
#include <QDragEnterEvent>
#include <QFileDialog>
#include <QFileSystemModel>
#include <QImage>
#include <QMenu>
#include <QMessageBox>
#include <QMimeData>
#include <QPlainTextEdit>
#include <QPointer>
#include <QProgressDialog>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>
#include <QTreeView>
#include <QUrl>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <thread>

#include "app/fileoperation.h"
#include "app/mainform.h"
#include "test_util.h"
#include "widgets/filelist.h"
#include "widgets/foldertree.h"
#include "window_harness.h"
#include "xtest_pointer.h"

namespace fs = std::filesystem;

namespace {

constexpr char kStl[] =
    "solid t\nfacet normal 0 0 1\nouter loop\nvertex 0 0 0\nvertex 1 0 0\nvertex 0 1 0\n"
    "endloop\nendfacet\nendsolid t\n";

void Put(const QString& path, const std::string& bytes) {
  fs::create_directories(fs::path(path.toStdString()).parent_path());
  std::ofstream(path.toStdString(), std::ios::binary) << bytes;
}

std::string Get(const QString& path) {
  std::ifstream f(path.toStdString(), std::ios::binary);
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}

QStringList Entries(const QString& dir) {
  return QDir(dir).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot, QDir::Name);
}

// Handles modal dialogs in turn as they come up. A step returns false to
// be offered the same dialog again later (e.g. a progress dialog that is
// to be cancelled half-way).
class ModalScript {
 public:
  using Step = std::function<bool(QWidget*)>;
  explicit ModalScript(std::vector<Step> steps) : steps_(std::move(steps)) {
    QObject::connect(&timer_, &QTimer::timeout, [this] { Poll(); });
    timer_.start(0);
  }
  bool Done() const { return next_ == steps_.size(); }
  int Unexpected() const { return unexpected_; }

 private:
  void Poll() {
    QWidget* w = QApplication::activeModalWidget();
    if (!w || w == handled_) return;
    if (next_ == steps_.size()) {
      // Nothing more was expected: close it so the test cannot hang.
      ++unexpected_;
      handled_ = w;
      if (auto* d = qobject_cast<QDialog*>(w)) d->reject();
      return;
    }
    if (steps_[next_](w)) {
      handled_ = w;
      ++next_;
    }
  }
  std::vector<Step> steps_;
  size_t next_ = 0;
  int unexpected_ = 0;
  QPointer<QWidget> handled_;
  QTimer timer_;
};

// A step answering a folder dialog: records its title and starting folder,
// then chooses folder (or cancels when it is empty).
ModalScript::Step ChooseFolder(const QString& folder, QString* title, QString* start) {
  return [=](QWidget* w) {
    auto* d = qobject_cast<QFileDialog*>(w);
    if (!d) return false;
    *title = d->windowTitle();
    *start = d->directory().absolutePath();
    if (folder.isEmpty()) {
      d->reject();
    } else {
      d->setDirectory(folder);
      QMetaObject::invokeMethod(d, "accept");  // a protected slot
    }
    return true;
  };
}

// A step clicking one button of a message box, recording its caption and text.
ModalScript::Step Press(QMessageBox::StandardButton button, QString* caption = nullptr,
                        QString* text = nullptr) {
  return [=](QWidget* w) {
    auto* box = qobject_cast<QMessageBox*>(w);
    if (!box) return false;
    if (caption) *caption = box->windowTitle();
    if (text) *text = box->text();
    box->button(button)->click();
    return true;
  };
}

class FileOpsWindow : public testing::Test {
 protected:
  void SetUp() override {
    static int serial = 0;
    dir_ = QString::fromStdString(TempDir()) + QStringLiteral("/fops%1").arg(++serial);
    models_ = dir_ + "/models";
    dest_ = dir_ + "/dest";
    for (const char* n : {"a.stl", "b.stl", "c.stl", "cube.stl"}) Put(models_ + "/" + n, kStl);
    QDir().mkpath(dest_);
    // The trash and everything else under home stay inside the test's
    // folder; the data folder does not exist yet.
    for (const char* var : {"HOME", "XDG_DATA_HOME"}) saved_.emplace_back(var, qgetenv(var));
    qputenv("HOME", (dir_ + "/home").toLocal8Bit());
    qputenv("XDG_DATA_HOME", (dir_ + "/home/data").toLocal8Bit());
    QDir().mkpath(dir_ + "/home");
  }
  void TearDown() override {
    if (w_) w_->close();
    w_.reset();
    for (const auto& [var, value] : saved_) qputenv(var, value);
  }

  TMainForm& Start() {
    MainFormOptions o;
    o.exePath = (dir_ + "/tarnelle").toStdString();
    o.iniPath = (dir_ + "/tarnelle.ini").toStdString();
    o.helpPath = (dir_ + "/missing.html").toStdString();
    o.readPlugins = false;
    w_ = std::make_unique<TMainForm>(o);
    w_->show();
    EXPECT_TRUE(QTest::qWaitForWindowExposed(w_.get()));
    EXPECT_TRUE(WaitFor([&] { return w_->PreviewReady(); }));
    w_->FolderTree()->SelectPath(models_);
    EXPECT_EQ(w_->FileList()->Folder(), models_);
    return *w_;
  }
  void Select(const QStringList& names) {
    TFileList* list = w_->FileList();
    QItemSelectionModel* sm = list->DetailView()->selectionModel();
    sm->clearSelection();
    for (const QString& n : names) {
      const int row = list->RowOf(n);
      ASSERT_GE(row, 0) << n.toStdString();
      sm->select(sm->model()->index(row, 0),
                 QItemSelectionModel::Select | QItemSelectionModel::Rows);
    }
  }
  // Times the list was read afresh.
  std::unique_ptr<QSignalSpy> RefreshSpy() {
    return std::make_unique<QSignalSpy>(w_->FileList()->DetailView()->model(),
                                        &QAbstractItemModel::modelReset);
  }
  void Trigger(const char* action) { w_->MenuAction(action)->trigger(); }
  QStringList LastLog(int n) const {
    const QStringList lines = w_->Memo()->toPlainText().split('\n', Qt::SkipEmptyParts);
    return lines.mid(std::max<qsizetype>(0, lines.size() - n));
  }

  QString dir_, models_, dest_;
  std::vector<std::pair<const char*, QByteArray>> saved_;
  std::unique_ptr<TMainForm> w_;
};

TEST_F(FileOpsWindow, ContextMenuCopyAndMoveShareTheLastFolder) {
  TMainForm& w = Start();
  struct Item {
    const char* name;
    const char* text;
    const char* hint;
  };
  for (const Item& i : {Item{"mCopy", "コピー(&C)", "コピー"},
                        Item{"mMove", "移動(&M)", "切り取り"}, Item{"mDelete", "削除(&D)", ""}}) {
    QAction* a = w.MenuAction(i.name);
    ASSERT_TRUE(a) << i.name;
    EXPECT_EQ(a->text(), QString::fromUtf8(i.text));
    EXPECT_EQ(a->statusTip(), QString::fromUtf8(i.hint));
    EXPECT_TRUE(a->isEnabled());
  }
  const QString dest2 = dir_ + "/dest2";
  QDir().mkpath(dest2);

  // Nothing selected: no dialog; move still shows the folder afresh.
  {
    ModalScript none({});
    auto refreshed = RefreshSpy();
    Trigger("mCopy");
    EXPECT_EQ(refreshed->count(), 0);
    Trigger("mMove");
    EXPECT_EQ(refreshed->count(), 1);
    EXPECT_EQ(none.Unexpected(), 0);
  }

  QString title, start;
  Select({"a.stl", "b.stl"});
  {
    ModalScript script({ChooseFolder(dest_, &title, &start)});
    auto refreshed = RefreshSpy();
    Trigger("mCopy");
    EXPECT_TRUE(script.Done());
    EXPECT_EQ(title, "コピー先フォルダ");
    EXPECT_EQ(refreshed->count(), 0);  // a copy leaves the list as it is
  }
  EXPECT_EQ(Entries(dest_), (QStringList{"a.stl", "b.stl"}));
  EXPECT_EQ(w.FileOperation()->LastDestination(), dest_);

  // The second copy starts at the first one's folder; cancelled, nothing happens.
  Select({"c.stl"});
  {
    ModalScript script({ChooseFolder({}, &title, &start)});
    Trigger("mCopy");
    EXPECT_TRUE(script.Done());
    EXPECT_EQ(start, dest_);
  }
  // Move shares it; its cancelled dialog still refreshes the list.
  {
    ModalScript script({ChooseFolder({}, &title, &start)});
    auto refreshed = RefreshSpy();
    Trigger("mMove");
    EXPECT_TRUE(script.Done());
    EXPECT_EQ(title, "移動先フォルダ");
    EXPECT_EQ(start, dest_);
    EXPECT_EQ(refreshed->count(), 1);
  }
  Select({"c.stl"});
  {
    ModalScript script({ChooseFolder(dest2, &title, &start)});
    auto refreshed = RefreshSpy();
    Trigger("mMove");
    EXPECT_TRUE(script.Done());
    EXPECT_EQ(refreshed->count(), 1);
  }
  EXPECT_EQ(Entries(dest2), QStringList{"c.stl"});
  EXPECT_EQ(w.FileList()->RowOf("c.stl"), -1);
  EXPECT_EQ(w.FileOperation()->LastDestination(), dest2);
}

TEST_F(FileOpsWindow, OverwriteQuestionAnswers) {
  TMainForm& w = Start();
  struct Case {
    const char* name;
    std::vector<QMessageBox::StandardButton> buttons;
    const char* a;  // afterwards in dest
    const char* b;
    const char* summary;  // the log line of a drop (%1: dest)
  };
  const Case cases[] = {
      {"yes, no",
       {QMessageBox::Yes, QMessageBox::No},
       "new",
       "old",
       "1 個の項目を %1 にコピーしました。 1 個は上書きしませんでした。"},
      {"yes to all", {QMessageBox::YesToAll}, "new", "new", "2 個の項目を %1 にコピーしました。"},
      {"no, yes",
       {QMessageBox::No, QMessageBox::Yes},
       "old",
       "new",
       "1 個の項目を %1 にコピーしました。 1 個は上書きしませんでした。"},
      {"cancel",
       {QMessageBox::Cancel},
       "old",
       "old",
       "0 個の項目を %1 にコピーしました。 途中で中止しました。"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Put(models_ + "/a.stl", "new");
    Put(models_ + "/b.stl", "new");
    Put(dest_ + "/a.stl", "old");
    Put(dest_ + "/b.stl", "old");
    std::vector<ModalScript::Step> steps;
    QString caption, text;
    for (QMessageBox::StandardButton b : c.buttons) steps.push_back(Press(b, &caption, &text));
    ModalScript script(steps);
    const FileOpResult r =
        w.FileOperation()->Run(FileOpKind::Copy, {models_ + "/a.stl", models_ + "/b.stl"}, dest_);
    EXPECT_TRUE(script.Done());
    EXPECT_EQ(script.Unexpected(), 0);
    EXPECT_EQ(caption, "Tarnelle");
    EXPECT_TRUE(text.contains("b.stl") || text.contains("a.stl")) << text.toStdString();
    EXPECT_EQ(Get(dest_ + "/a.stl"), c.a);
    EXPECT_EQ(Get(dest_ + "/b.stl"), c.b);
    EXPECT_EQ(Entries(dest_), (QStringList{"a.stl", "b.stl"}));
    EXPECT_EQ(QString::fromStdString(
                  FileOpSummaryText(FileOpKind::Copy, r, QFile::encodeName(dest_).toStdString())),
              QString::fromUtf8(c.summary).arg(dest_));
  }
}

TEST_F(FileOpsWindow, FailuresAreReportedWithNameAndReason) {
  TMainForm& w = Start();
  QString caption, text;
  // Onto itself, and a file that is gone: one message names both.
  ModalScript script({Press(QMessageBox::Ok, &caption, &text)});
  w.FileOperation()->Run(FileOpKind::Copy, {models_ + "/a.stl", models_ + "/gone.stl"}, models_);
  EXPECT_TRUE(script.Done());
  EXPECT_EQ(caption, "Tarnelle Error");
  EXPECT_TRUE(text.contains(models_ + "/a.stl: " + QString::fromUtf8(kFileOpSameFile)))
      << text.toStdString();
  EXPECT_TRUE(text.contains(models_ + "/gone.stl: " + QString::fromUtf8(strerror(ENOENT))))
      << text.toStdString();
  EXPECT_EQ(Get(models_ + "/a.stl"), kStl);
}

TEST_F(FileOpsWindow, ProgressDialogCancelsACopyHalfWay) {
  TMainForm& w = Start();
  std::string big(24 * kFileOpChunk, 'x');
  Put(models_ + "/big.stl", big);
  w.FileOperation()->SetProgressDelay(0);
  bool sawPartial = false;
  ModalScript script({[&](QWidget* m) {
    auto* p = qobject_cast<QProgressDialog*>(m);
    if (!p || p->value() < 250) return false;
    // Half-way: the copy is being written under a hidden name.
    const QStringList now = Entries(dest_);
    sawPartial = now.size() == 1 && now[0].startsWith(".tarnelle-copy-");
    p->findChild<QPushButton*>()->click();
    return true;
  }});
  const FileOpResult r = w.FileOperation()->Run(FileOpKind::Copy, {models_ + "/big.stl"}, dest_);
  EXPECT_TRUE(script.Done());
  EXPECT_TRUE(r.cancelled);
  EXPECT_TRUE(sawPartial);
  EXPECT_TRUE(Entries(dest_).isEmpty());
  EXPECT_EQ(Get(models_ + "/big.stl").size(), big.size());
  EXPECT_EQ(script.Unexpected(), 0);  // no failure message for a cancel
}

TEST_F(FileOpsWindow, DeleteSendsTheSelectedFilesToTheTrashAfterOneConfirmation) {
  TMainForm& w = Start();
  const QString trash = dir_ + "/home/data/Trash";
  // One file is named; "No" keeps it.
  Select({"cube.stl"});
  QString caption, text;
  // The Delete key works while the list has the focus.
  w.activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&w));
  w.FileList()->CurrentView()->setFocus();
  {
    ModalScript script({Press(QMessageBox::No, &caption, &text)});
    QTest::keyClick(w.FileList()->CurrentView(), Qt::Key_Delete);
    EXPECT_TRUE(script.Done());
  }
  EXPECT_TRUE(text.contains("cube.stl")) << text.toStdString();
  EXPECT_TRUE(QFileInfo::exists(models_ + "/cube.stl"));

  Select({"a.stl", "b.stl", "c.stl"});
  {
    ModalScript script({Press(QMessageBox::Yes, &caption, &text)});
    auto refreshed = RefreshSpy();
    QTest::keyClick(w.FileList()->CurrentView(), Qt::Key_Delete);
    EXPECT_TRUE(script.Done());
    EXPECT_EQ(script.Unexpected(), 0);
    EXPECT_EQ(refreshed->count(), 1);
  }
  EXPECT_EQ(caption, "Tarnelle");
  EXPECT_TRUE(text.contains("3")) << text.toStdString();
  EXPECT_EQ(Entries(models_), QStringList{"cube.stl"});
  EXPECT_EQ(Entries(trash + "/files"), (QStringList{"a.stl", "b.stl", "c.stl"}));
  EXPECT_EQ(Entries(trash + "/info"),
            (QStringList{"a.stl.trashinfo", "b.stl.trashinfo", "c.stl.trashinfo"}));
  EXPECT_EQ(w.FileList()->Count(), 1);
}

TEST_F(FileOpsWindow, WithoutATrashFilesGoOnlyAfterASecondQuestion) {
  TMainForm& w = Start();
  // The data folder cannot be made: a file stands in its way.
  Put(dir_ + "/home/blocker", "");
  qputenv("XDG_DATA_HOME", (dir_ + "/home/blocker/data").toLocal8Bit());
  QString caption, text;
  Select({"a.stl"});
  {
    ModalScript script({Press(QMessageBox::Yes), Press(QMessageBox::No, &caption, &text)});
    w.MenuAction("mDelete")->trigger();
    EXPECT_TRUE(script.Done());
  }
  EXPECT_EQ(caption, "Tarnelle Warning");
  EXPECT_TRUE(text.contains(models_ + "/a.stl")) << text.toStdString();
  EXPECT_TRUE(QFileInfo::exists(models_ + "/a.stl"));
  EXPECT_FALSE(QFileInfo::exists(models_ + "/files"));
  Select({"a.stl"});
  {
    ModalScript script({Press(QMessageBox::Yes), Press(QMessageBox::Yes)});
    w.MenuAction("mDelete")->trigger();
    EXPECT_TRUE(script.Done());
  }
  EXPECT_FALSE(QFileInfo::exists(models_ + "/a.stl"));
}

// Sends a mouse event with the given buttons held to a widget.
void Mouse(QWidget* target, QEvent::Type type, QPoint pos, Qt::MouseButton button,
           Qt::MouseButtons held) {
  QMouseEvent e(type, pos, target->mapToGlobal(pos), button, held, Qt::NoModifier);
  QApplication::sendEvent(target, &e);
}

TEST_F(FileOpsWindow, DragOutCarriesTheSelectedFilesAndOnlyTheLeftButtonDrags) {
  TMainForm& w = Start();
  TFileList* list = w.FileList();
  QList<QUrl> dragged;
  Qt::DropActions offered;
  int drags = 0;
  list->SetDragRunner([&](QDrag& drag, Qt::DropActions actions) {
    ++drags;
    dragged = drag.mimeData()->urls();
    offered = actions;
    return Qt::CopyAction;  // (a real drag consumes the release)
  });
  Select({"a.stl", "c.stl"});
  QWidget* vp = list->CurrentView()->viewport();
  const QPoint at = list->ItemRect(list->RowOf("c.stl")).center();
  const QPoint away = at + QPoint(QApplication::startDragDistance() + 5, 0);

  Mouse(vp, QEvent::MouseButtonPress, at, Qt::RightButton, Qt::RightButton);
  if (QWidget* popup = QApplication::activePopupWidget()) popup->close();
  Mouse(vp, QEvent::MouseMove, away, Qt::NoButton, Qt::RightButton);
  Mouse(vp, QEvent::MouseButtonRelease, away, Qt::RightButton, Qt::NoButton);
  EXPECT_EQ(drags, 0);
  EXPECT_TRUE(list->DragWithOtherButton());

  Select({"a.stl", "c.stl"});
  Mouse(vp, QEvent::MouseButtonPress, at, Qt::LeftButton, Qt::LeftButton);
  Mouse(vp, QEvent::MouseMove, away, Qt::NoButton, Qt::LeftButton);
  EXPECT_EQ(drags, 1);
  EXPECT_FALSE(list->DragWithOtherButton());
  EXPECT_EQ(dragged, (QList<QUrl>{QUrl::fromLocalFile(models_ + "/a.stl"),
                                  QUrl::fromLocalFile(models_ + "/c.stl")}));
  EXPECT_EQ(offered, Qt::CopyAction | Qt::MoveAction);
  // A drag loads nothing.
  EXPECT_EQ(w.LoadCount(), 0);
}

// Drags files over a widget and drops them there, as another program would.
struct DragDrop {
  QMimeData mime;
  explicit DragDrop(const QList<QUrl>& urls) { mime.setUrls(urls); }
  bool Enter(QWidget* target, QPoint pos, Qt::KeyboardModifiers mods = {}) {
    QDragEnterEvent e(pos, Qt::CopyAction | Qt::MoveAction, &mime, Qt::LeftButton, mods);
    QApplication::sendEvent(target, &e);
    return e.isAccepted();
  }
  bool Move(QWidget* target, QPoint pos, Qt::KeyboardModifiers mods = {}) {
    QDragMoveEvent e(pos, Qt::CopyAction | Qt::MoveAction, &mime, Qt::LeftButton, mods);
    QApplication::sendEvent(target, &e);
    return e.isAccepted();
  }
  void Leave(QWidget* target) {
    QDragLeaveEvent e;
    QApplication::sendEvent(target, &e);
  }
  Qt::DropAction Drop(QWidget* target, QPoint pos, Qt::KeyboardModifiers mods = {}) {
    QDropEvent e(pos, Qt::CopyAction | Qt::MoveAction, &mime, Qt::LeftButton, mods);
    QApplication::sendEvent(target, &e);
    return e.isAccepted() ? e.dropAction() : Qt::IgnoreAction;
  }
};

TEST_F(FileOpsWindow, DropOnATreeFolderMovesWithShiftAloneAndCopiesOtherwise) {
  TMainForm& w = Start();
  TFolderTree* tree = w.FolderTree();
  QWidget* vp = tree->viewport();
  const QString src = dir_ + "/incoming";
  for (int n = 1; n <= 4; ++n) Put(src + QStringLiteral("/drop%1.stl").arg(n), kStl);
  // Only the test's folder is shown, so that rows of the rest of the
  // file system arriving meanwhile move nothing and empty space remains.
  tree->setRootIndex(tree->FsModel()->index(dir_));
  QPoint destAt;
  const auto findDest = [&] {
    return WaitFor([&] {
      const QModelIndex i = tree->FsModel()->index(dest_);
      destAt = tree->visualRect(i).center();
      return i.isValid() && !tree->visualRect(i).isEmpty() && tree->indexAt(destAt) == i;
    });
  };
  ASSERT_TRUE(WaitFor([&] { return tree->FsModel()->index(src).isValid(); }));
  struct Case {
    Qt::KeyboardModifiers mods;
    bool moves;
  };
  const Case cases[] = {{Qt::ShiftModifier, true},
                        {Qt::ControlModifier | Qt::ShiftModifier, false},
                        {Qt::NoModifier, false},
                        {Qt::ControlModifier, false}};
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(int(c.mods));
    const QString name = QStringLiteral("drop%1.stl").arg(++n);
    DragDrop dd({QUrl::fromLocalFile(src + "/" + name)});
    ASSERT_TRUE(findDest());
    EXPECT_TRUE(dd.Enter(vp, destAt, c.mods));
    EXPECT_EQ(tree->DropTargetPath().toStdString(), dest_.toStdString());
    auto refreshed = RefreshSpy();
    EXPECT_EQ(dd.Drop(vp, destAt, c.mods), c.moves ? Qt::MoveAction : Qt::CopyAction);
    EXPECT_TRUE(tree->DropTargetPath().isEmpty());
    EXPECT_TRUE(WaitFor([&] { return QFileInfo::exists(dest_ + "/" + name); }));
    EXPECT_EQ(QFileInfo::exists(src + "/" + name), !c.moves);
    // The log says what became of the drop, in a block of its own.
    EXPECT_TRUE(WaitFor([&] {
      return LastLog(2) == QStringList({"----------", "1 個の項目を " + dest_ +
                                                          (c.moves ? " に移動しました。"
                                                                   : " にコピーしました。")});
    })) << LastLog(2).join('|').toStdString();
    // After a move the list is shown afresh.
    EXPECT_TRUE(WaitFor([&] { return refreshed->count() >= (c.moves ? 1 : 0); }));
  }
  EXPECT_EQ(w.LoadCount(), 0);
  EXPECT_EQ(Entries(dest_), (QStringList{"drop1.stl", "drop2.stl", "drop3.stl", "drop4.stl"}));

  // The highlight follows the pointer and goes when the drag leaves; over
  // empty space there is nothing to drop onto.
  DragDrop dd({QUrl::fromLocalFile(models_ + "/a.stl")});
  ASSERT_TRUE(findDest());
  const QRect row = tree->visualRect(tree->FsModel()->index(dest_));
  const QImage plain = vp->grab(row).toImage();
  EXPECT_TRUE(dd.Enter(vp, destAt));
  EXPECT_EQ(tree->DropTargetPath(), dest_);
  EXPECT_NE(vp->grab(row).toImage(), plain);  // drawn as highlighted
  dd.Leave(vp);
  EXPECT_TRUE(tree->DropTargetPath().isEmpty());
  EXPECT_EQ(vp->grab(row).toImage(), plain);
  const QPoint empty(2, vp->height() - 2);
  ASSERT_FALSE(tree->indexAt(empty).isValid());
  EXPECT_TRUE(dd.Enter(vp, destAt));
  EXPECT_FALSE(dd.Move(vp, empty));
  EXPECT_TRUE(tree->DropTargetPath().isEmpty());
  EXPECT_EQ(dd.Drop(vp, empty), Qt::IgnoreAction);
  QTest::qWait(50);
  EXPECT_FALSE(QFileInfo::exists(dest_ + "/a.stl"));
}

TEST_F(FileOpsWindow, DropOnTheWindowLoadsTheFirstFile) {
  TMainForm& w = Start();
  Put(dir_ + "/other/x.stl", kStl);
  struct Case {
    const char* name;
    QList<QUrl> urls;
    bool loads;
  };
  const Case cases[] = {
      {"folder", {QUrl::fromLocalFile(dest_), QUrl::fromLocalFile(models_ + "/a.stl")}, false},
      {"web address", {QUrl("https://example.org/a.stl")}, false},
      {"two files",
       {QUrl::fromLocalFile(dir_ + "/other/x.stl"), QUrl::fromLocalFile(models_ + "/b.stl")},
       true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    DragDrop dd(c.urls);
    const QPoint centre = w.rect().center();
    EXPECT_EQ(dd.Enter(&w, centre), c.loads);
    EXPECT_EQ(dd.Drop(&w, centre) != Qt::IgnoreAction, c.loads);
    QTest::qWait(20);
  }
  ASSERT_TRUE(WaitFor([&] { return w.LoadCount() == 1; }));
  ASSERT_TRUE(WaitForLoad(w));
  EXPECT_EQ(QString::fromStdString(w.CurrentPath()), dir_ + "/other/x.stl");
  EXPECT_TRUE(w.FileOperation()->LastDestination().isEmpty());
  EXPECT_TRUE(Entries(dest_).isEmpty());  // nothing was copied anywhere
}

}  // namespace

// Real mouse gestures from the X server: a press on a file's name and a move
// beyond the drag distance drags it, in every view, onto a tree folder,
// with slow steps and with quick ones. Slow steps enter the tree beside
// the names first, where no folder takes the files.
TEST_F(FileOpsWindow, DraggingWithRealMouseEventsCopiesOntoATreeFolder) {
  if (QGuiApplication::platformName() != QLatin1String("xcb"))
    GTEST_SKIP() << "needs an X display, not " << QGuiApplication::platformName().toStdString();
  XTestPointer probe;
  if (!probe.ok()) GTEST_SKIP() << "the X server has no XTest extension";
  TMainForm& w = Start();
  w.activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&w));
  TFolderTree* tree = w.FolderTree();
  TFileList* list = w.FileList();
  // Only the test's folder in the tree: folders that other programs make
  // meanwhile must not move the target row.
  tree->setRootIndex(tree->FsModel()->index(dir_));
  struct Gesture {
    const char* what;
    int steps, stepMs, releaseMs;
  };
  const Gesture gestures[] = {{"50 ms steps", 12, 50, 100}, {"quick moves", 3, 0, 100}};
  // The real drag, counted.
  int drags = 0;
  list->SetDragRunner([&](QDrag& drag, Qt::DropActions actions) {
    ++drags;
    return drag.exec(actions, Qt::CopyAction);
  });
  int n = 0;
  for (int style : {3, 2, 1, 0}) {
    for (const Gesture& g : gestures) {
      SCOPED_TRACE(testing::Message() << "view " << style << ", " << g.what);
      const QString name = QStringLiteral("drag%1.stl").arg(++n);
      Put(models_ + "/" + name, kStl);
      w.SetViewStyle(style);
      ASSERT_TRUE(WaitFor([&] { return list->RowOf(name) >= 0; }));
      list->DetailView()->selectionModel()->clear();
      QAbstractItemView* view = list->CurrentView();
      const QPoint from = view->viewport()->mapToGlobal(list->ItemRect(list->RowOf(name)).center());
      QPoint to;
      ASSERT_TRUE(WaitFor([&] {
        const QModelIndex i = tree->FsModel()->index(dest_);
        tree->scrollTo(i);
        const QRect r = tree->visualRect(i);
        // On the folder's name, inside the tree however it is scrolled.
        const int x = std::clamp(r.left() + 30, 4, tree->viewport()->width() - 4);
        to = tree->viewport()->mapToGlobal(QPoint(x, r.center().y()));
        return i.isValid() && !r.isEmpty() &&
               tree->indexAt(tree->viewport()->mapFromGlobal(to)) == i;
      }));
      const int loads = w.LoadCount();
      XTestPointer pointer;
      pointer.Drag(from.x(), from.y(), to.x(), to.y(), g.steps, g.stepMs, g.releaseMs);
      EXPECT_TRUE(WaitFor([&] { return pointer.Done(); }));
      EXPECT_TRUE(WaitFor([&] { return QFileInfo::exists(dest_ + "/" + name); }, 3000))
          << "not copied";
      EXPECT_EQ(drags, n);
      EXPECT_TRUE(QFileInfo::exists(models_ + "/" + name));
      EXPECT_TRUE(WaitFor([&] {
        return LastLog(2) ==
               QStringList({"----------", "1 個の項目を " + dest_ + " にコピーしました。"});
      })) << LastLog(2).join('|').toStdString();
      EXPECT_EQ(w.LoadCount(), loads) << "the pressed file was loaded";
      QTest::qWait(100);
    }
  }
}

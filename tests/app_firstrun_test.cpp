// What a new user meets in the first hour: the log memo follows every load,
// icon captions stay readable, deep folders scroll sideways, and only
// folders with something under them get an expand arrow.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QApplication>
#include <QDialogButtonBox>
#include <QFileSystemModel>
#include <QListView>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QScrollBar>
#include <QTest>
#include <QTextBlock>
#include <QTextBrowser>
#include <filesystem>
#include <functional>
#include <memory>

#include "app/mainform.h"
#include "app/manualwindow.h"
#include "app/toolkit_language.h"
#include "test_util.h"
#include "widgets/filelist.h"
#include "widgets/foldertree.h"
#include "widgets/subfolder_probe.h"
#include "window_harness.h"

namespace fs = std::filesystem;

namespace {

constexpr char kObj[] = "v 0 0 0\nv 1 0 0\nv 0 1 0\nf 1 2 3\n";

std::string FreshDir(const std::string& name) {
  const std::string dir = TempDir() + "/" + name;
  fs::remove_all(dir);
  fs::create_directories(dir);
  return dir;
}

void Touch(const std::string& path, const std::string& bytes = "x") {
  FILE* f = fopen(path.c_str(), "wb");
  ASSERT_TRUE(f) << path;
  fwrite(bytes.data(), 1, bytes.size(), f);
  fclose(f);
}

// The end of the memo's text lies inside its viewport, whole.
bool LastLineSeen(QPlainTextEdit* memo) {
  QTextCursor end(memo->document());
  end.movePosition(QTextCursor::End);
  const QRect r = memo->cursorRect(end);
  return r.top() >= 0 && r.bottom() <= memo->viewport()->height();
}

TEST(FirstRun, MemoShowsEveryNewLineAndWrapsLongOnes) {
  const std::string dir = FreshDir("memo");
  const std::string longName = std::string(150, 'n') + ".obj";
  for (const std::string& name : {std::string("a.obj"), std::string("b.obj"), longName})
    Touch(dir + "/" + name, kObj);
  Touch(dir + "/points.obj", "v 1 2 3\n");
  MainFormOptions o;
  o.exePath = dir + "/tarnelle";
  o.iniPath = dir + "/tarnelle.ini";  // no settings file: the designed placement
  o.readPlugins = false;
  o.commandLineFile = dir + "/a.obj";
  TMainForm w(o);
  w.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&w));
  ASSERT_TRUE(WaitFor([&] { return w.PreviewReady(); }));
  QPlainTextEdit* memo = w.Memo();
  EXPECT_TRUE(LastLineSeen(memo));
  for (const std::string& name : {std::string("b.obj"), longName, std::string("points.obj"),
                                  std::string("a.obj"), std::string("b.obj")}) {
    w.OpenPath(QString::fromStdString(dir + "/" + name));
    ASSERT_TRUE(WaitForLoad(w));
    QTest::qWait(20);
    EXPECT_TRUE(LastLineSeen(memo)) << name;
    // Long paths wrap: nothing to scroll sideways, nothing hidden under a bar.
    EXPECT_EQ(memo->horizontalScrollBar()->maximum(), 0) << name;
    EXPECT_FALSE(memo->horizontalScrollBar()->isVisible()) << name;
  }
  EXPECT_EQ(memo->document()->lastBlock().text(), " > 頂点数 = 3, ポリゴン数 = 1");
  w.close();
}

TEST(FirstRun, IconCaptionsNeverOverlapAndStayReadable) {
  const std::string dir = FreshDir("icons");
  const std::vector<std::string> names = {"assimp__STL_sphereWithHole.stl",
                                          "assimp__STL_Spider_ascii.stl",
                                          "cura__meshes_UltimakerRobot_support.stl",
                                          "a.stl",
                                          std::string(120, 'w') + ".stl",
                                          "threejs__ascii_pr2_head_pan.stl",
                                          "trimesh__models_multibody.stl"};
  for (const std::string& n : names) Touch(dir + "/" + n);
  TFileList list;
  list.resize(440, 600);
  list.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&list));
  list.SetFolder(QString::fromStdString(dir));
  ASSERT_EQ(list.Count(), static_cast<int>(names.size()));
  const QFontMetrics fm(list.IconView()->font());
  for (int style : {0, 1}) {
    SCOPED_TRACE(style);
    list.SetViewStyle(style);
    EXPECT_EQ(list.IconView()->textElideMode(), Qt::ElideMiddle);
    // Everything fits in the view: the rectangles share one origin.
    QListView* view = list.IconView();
    view->doItemsLayout();
    ASSERT_EQ(view->verticalScrollBar()->maximum(), 0);
    std::vector<QRect> rects;
    for (int r = 0; r < list.Count(); ++r)
      rects.push_back(view->visualRect(view->model()->index(r, 0)));
    for (size_t i = 0; i < rects.size(); ++i) {
      for (size_t j = i + 1; j < rects.size(); ++j)
        EXPECT_FALSE(rects[i].intersects(rects[j])) << i << " " << j;
      // Names of a usual length are shown whole; only very long ones lose
      // their middle.
      const QString caption = list.Caption(static_cast<int>(i));
      if (caption.size() <= 32) {
        const int text = fm.horizontalAdvance(caption);
        EXPECT_GE(rects[i].width(), text) << caption.toStdString();
      }
    }
  }
}

TEST(FirstRun, DeepFolderScrollsSidewaysToTheSelectedNode) {
  std::string deep = FreshDir("deep");
  for (int i = 0; i < 300; ++i) deep += "/d";
  fs::create_directories(deep);
  TFolderTree tree;
  tree.resize(185, 400);
  tree.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&tree));
  ASSERT_TRUE(tree.SelectPath(QString::fromStdString(deep)));
  EXPECT_EQ(tree.SelectedPath().toStdString(), deep);
  QScrollBar* bar = tree.horizontalScrollBar();
  auto nodeSeen = [&] {
    const QRect r = tree.visualRect(tree.currentIndex());
    return bar->isVisible() && bar->maximum() > 0 && r.left() >= 0 &&
           r.left() < tree.viewport()->width() && r.top() >= 0 &&
           r.bottom() <= tree.viewport()->height();
  };
  EXPECT_TRUE(WaitFor(nodeSeen)) << "scroll bar max " << bar->maximum() << ", node at "
                                 << tree.visualRect(tree.currentIndex()).left();
  // Back at the top, the first node is in view again.
  tree.SelectFirstNode();
  EXPECT_TRUE(WaitFor([&] { return tree.visualRect(tree.currentIndex()).left() >= 0; }));
}

TEST(FirstRun, OnlyFoldersWithSomethingUnderThemHaveChildren) {
  const std::string dir = FreshDir("arrows");
  for (const char* sub : {"empty", "files", "sub/inner", "hidden/.git", "link_target/x", "zips"})
    fs::create_directories(dir + "/" + sub);
  for (int i = 0; i < 50; ++i) Touch(dir + "/files/f" + std::to_string(i) + ".stl");
  fs::create_directories(dir + "/haslink");
  fs::create_directory_symlink(dir + "/link_target", dir + "/haslink/to_dir");
  Touch(dir + "/zips/models.zip");
  const std::string many = FreshDir("arrows_many");
  for (int i = 0; i < 20; ++i) Touch(many + "/f" + std::to_string(i));

  // The plain probe, with a file predicate as archive browsing would use.
  auto zip = [](std::string_view n) { return n.size() > 4 && n.substr(n.size() - 4) == ".zip"; };
  const struct {
    std::string path;
    FileNodePredicate pred;
    int maxEntries;
    bool expected;
  } cases[] = {
      {dir + "/empty", {}, 4096, false},
      {dir + "/files", {}, 4096, false},
      {dir + "/sub", {}, 4096, true},
      {dir + "/hidden", {}, 4096, false},
      {dir + "/haslink", {}, 4096, true},
      {dir + "/zips", {}, 4096, false},
      {dir + "/zips", zip, 4096, true},
      {dir + "/missing", {}, 4096, false},
      {many, {}, 10, true},  // too many entries to read: an arrow rather than a wait
  };
  for (const auto& c : cases)
    EXPECT_EQ(HasChildNodes(c.path, c.pred, c.maxEntries), c.expected) << c.path;

  // The tree asks it for folders it has not read yet, and reads what it has.
  TFolderTree tree;
  tree.resize(200, 300);
  tree.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&tree));
  ASSERT_TRUE(tree.SelectPath(QString::fromStdString(dir + "/empty")));
  QFileSystemModel* m = tree.FsModel();
  auto children = [&](const char* sub) {
    return m->hasChildren(m->index(QString::fromStdString(dir + "/" + sub)));
  };
  EXPECT_FALSE(children("empty"));
  EXPECT_FALSE(children("files"));
  EXPECT_TRUE(children("sub"));
  EXPECT_FALSE(children("zips"));
  tree.SetFileNodePredicate(zip);
  EXPECT_TRUE(children("zips"));
  // An expanded folder lists what the arrow promised.
  const QModelIndex sub = m->index(QString::fromStdString(dir + "/sub"));
  tree.expand(sub);
  EXPECT_TRUE(WaitFor([&] { return m->rowCount(sub) == 1; }));
  EXPECT_TRUE(children("sub"));
}

// The manual in our own window: all of it on the screen, wherever the main
// window is, and it covers what the window offers.
TEST(FirstRun, HelpAlwaysAnswers) {
  const std::string dir = FreshDir("help");
  std::filesystem::copy_file(TARNELLE_BINARY_DIR "/app/tarnelle.html", dir + "/tarnelle.html");
  MainFormOptions o;
  o.exePath = dir + "/tarnelle";
  o.iniPath = dir + "/tarnelle.ini";
  o.helpPath = dir + "/tarnelle.html";
  o.readPlugins = false;
  TMainForm w(o);
  w.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&w));
  // The main window in the bottom right corner.
  const QRect free = w.screen()->availableGeometry();
  w.move(free.bottomRight() - QPoint(w.frameGeometry().width(), w.frameGeometry().height()));
  w.MenuAction("mHelp")->trigger();
  TManualWindow* help = w.ManualWindow();
  ASSERT_NE(help, nullptr);
  ASSERT_TRUE(QTest::qWaitForWindowExposed(help));
  EXPECT_TRUE(free.contains(help->frameGeometry()))
      << help->frameGeometry().x() << "," << help->frameGeometry().y() << " "
      << help->frameGeometry().width() << "x" << help->frameGeometry().height();
  const QString text = help->Browser()->toPlainText();
  for (const char* topic : {"プレビュー操作", "圧縮ファイル参照", "ﾋﾞｭｰｲﾒｰｼﾞ保存", "環境設定",
                            "exeファイルも含める", "再読み込み", "JPEG保存品質"})
    EXPECT_TRUE(text.contains(QString::fromUtf8(topic))) << topic;
  w.close();
}

TEST(FirstRun, ToolkitDialogsSpeakJapanese) {
  ASSERT_TRUE(InstallToolkitTranslations()) << "the toolkit's translations are not installed";
  QDialogButtonBox box(QDialogButtonBox::Open | QDialogButtonBox::Cancel);
  EXPECT_EQ(box.button(QDialogButtonBox::Open)->text(), "開く");
  EXPECT_EQ(box.button(QDialogButtonBox::Cancel)->text(), "キャンセル");
}

}  // namespace

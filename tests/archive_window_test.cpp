// Archive browsing in the main window, driven as a user would: the menu
// item, archive nodes in the tree, the member list, extraction, the cache.
#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QFileSystemModel>
#include <QFontMetrics>
#include <QHeaderView>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPointer>
#include <QStackedWidget>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>

#include "app/archivebrowser.h"
#include "app/ini_file.h"
#include "app/mainform.h"
#include "archive/members.h"
#include "tests/archive_fixtures.h"
#include "tests/test_util.h"
#include "widgets/filelist.h"
#include "widgets/foldertree.h"
#include "window_harness.h"

namespace fs = std::filesystem;

namespace {

constexpr char kTri[] = "v 0 0 0\nv 1 0 0\nv 0 1 0\nf 1 2 3\n";
constexpr char kQuad[] = "v 0 0 0\nv 1 0 0\nv 0 1 0\nv 1 1 1\nf 1 2 3\nf 2 4 3\n";

// Accepts the next modal message boxes and keeps what they said.
struct MessageCatcher {
  QStringList texts;
  bool armed = false;
  QPointer<QMessageBox> last;
  QObject context;  // pending polls end with the catcher
  void Arm() {
    armed = true;
    QTimer::singleShot(20, &context, [this] { Poll(0); });
  }
  void Poll(int tries) {
    if (!armed) return;
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    if (box && box != last && box->isVisible()) {
      last = box;  // each box is answered once
      texts << box->windowTitle() + ": " + box->text();
      QTimer::singleShot(0, box, [box] { box->accept(); });
    }
    if (tries < 400) QTimer::singleShot(20, &context, [this, tries] { Poll(tries + 1); });
  }
};

class ArchiveWindow : public testing::Test {
 protected:
  void SetUp() override {
    static int serial = 0;
    dir_ = TempDir() + "/arcwin" + std::to_string(++serial);
    models_ = dir_ + "/models";
    fs::create_directories(models_);
    ini_ = dir_ + "/tarnelle.ini";
  }
  void TearDown() override {
    catcher_.armed = false;
    if (w_) w_->close();
    w_.reset();
  }
  void Modules(std::initializer_list<const char*> names) {
    for (const char* m : names)
      fs::create_symlink(std::string(TARNELLE_ARCHIVER_DIR) + "/" + m, dir_ + "/" + m);
  }
  void Ini(const std::string& text) {
    FILE* f = fopen(ini_.c_str(), "wb");
    ASSERT_TRUE(f);
    fwrite(text.data(), 1, text.size(), f);
    fclose(f);
  }
  TMainForm& Start(const std::string& commandLineFile = {}) {
    MainFormOptions o;
    o.commandLineFile = commandLineFile;
    o.exePath = dir_ + "/tarnelle";
    o.iniPath = ini_;
    o.helpPath = dir_ + "/missing.html";
    o.readPlugins = false;
    o.archiverSystemSearch = false;
    catcher_.Arm();
    w_ = std::make_unique<TMainForm>(o);
    w_->show();
    EXPECT_TRUE(QTest::qWaitForWindowExposed(w_.get()));
    EXPECT_TRUE(WaitFor([&] { return w_->PreviewReady(); }));
    return *w_;
  }
  QTreeWidget* Members() const { return w_->MemberList(); }
  bool MembersShown() const {
    return static_cast<QStackedWidget*>(w_->ListArea())->currentWidget() == Members();
  }
  QStringList MemberNames() const {
    QStringList names;
    for (int i = 0; i < Members()->topLevelItemCount(); ++i)
      names << Members()->topLevelItem(i)->text(0);
    return names;
  }
  QStringList SortedMemberNames() const {
    QStringList names = MemberNames();
    names.sort();
    return names;
  }
  void SelectInTree(const std::string& path) {
    w_->FolderTree()->SelectPath(QString::fromStdString(path));
    ASSERT_EQ(w_->FolderTree()->SelectedPath().toStdString(), path);
  }
  void ClickMember(const QString& name) {
    const auto found = Members()->findItems(name, Qt::MatchExactly, 0);
    ASSERT_EQ(found.size(), 1) << name.toStdString();
    Members()->scrollToItem(found[0]);
    QTest::mouseClick(Members()->viewport(), Qt::LeftButton, {},
                      Members()->visualItemRect(found[0]).center());
    EXPECT_TRUE(WaitForLoad(*w_));
  }
  QStringList LastLog(int n) const {
    const QStringList lines = w_->Memo()->toPlainText().split('\n', Qt::SkipEmptyParts);
    return lines.mid(std::max<qsizetype>(0, lines.size() - n));
  }
  std::string CacheDir() const { return dir_ + "/Cache"; }

  std::string dir_, models_, ini_;
  MessageCatcher catcher_;
  std::unique_ptr<TMainForm> w_;
};

}  // namespace

TEST_F(ArchiveWindow, BrowsesEveryKindOfArchiveAndLoadsMembers) {
  Modules({"Unlha32.so", "7-zip32.so", "Unzip32.so", "Tar32.so"});
  const std::vector<FixtureEntry> entries = {
      {"models/tri.obj", kTri}, {"readme", "x"}, {"quad.obj", kQuad}};
  WriteArchive(models_ + "/a.zip", "zip", "", entries);
  WriteArchive(models_ + "/a.7z", "7z", "", entries);
  WriteArchive(models_ + "/a.tar.gz", "tar", "gzip", entries);
  fs::copy_file(std::string(TARNELLE_FIXTURES) + "/lzh/lv2.lzh", models_ + "/a.lzh");
  TMainForm& w = Start();
  // Switched on from the menu: the modules load, the tree shows archives.
  QAction* item = w.MenuAction("mArcFolder");
  ASSERT_TRUE(item->isEnabled());
  item->trigger();
  EXPECT_TRUE(item->isChecked());
  EXPECT_TRUE(catcher_.texts.isEmpty()) << catcher_.texts.join('\n').toStdString();
  EXPECT_TRUE(w.FolderTree()->ArchiveMode());

  const struct {
    const char* archive;
    const char* member;
    int polygons;
  } cases[] = {{"a.zip", "models/tri.obj", 1},
               {"a.7z", "quad.obj", 2},
               {"a.tar.gz", "models/tri.obj", 1},
               {"a.lzh", "models/cube.obj", 1}};
  for (const auto& c : cases) {
    const std::string archive = models_ + "/" + c.archive;
    SelectInTree(archive);
    ASSERT_TRUE(MembersShown()) << c.archive;
    EXPECT_TRUE(w.FileList()->Folder().isEmpty());
    if (std::string(c.archive) != "a.lzh") {
      EXPECT_EQ(MemberNames(), QStringList({"models/tri.obj", "quad.obj"}));
    }
    const int loads = w.LoadCount();
    ClickMember(c.member);
    ASSERT_EQ(w.LoadCount(), loads + 1) << c.archive;
    EXPECT_EQ(LastLog(3)[1].toStdString(), "Wavefront: " + archive + "//" + c.member);
    EXPECT_EQ(
        LastLog(1)[0],
        QStringLiteral(" > 頂点数 = %1, ポリゴン数 = %2").arg(c.polygons + 2).arg(c.polygons));
  }
  // With the cache off the extracted copy is gone after loading.
  EXPECT_TRUE(fs::is_empty(CacheDir() + "/tmp"));
  EXPECT_EQ(std::distance(fs::directory_iterator(CacheDir()), fs::directory_iterator()), 1);
  // A plain folder is listed as before.
  SelectInTree(models_);
  EXPECT_FALSE(MembersShown());
  EXPECT_EQ(w.FileList()->Folder().toStdString(), models_);
  // "フォルダ記憶" while an archive is listed keeps the folder that holds it.
  SelectInTree(models_ + "/a.zip");
  w.MenuAction("mSaveFolder")->setChecked(true);
  // Closing removes the cache folder.
  w.close();
  EXPECT_FALSE(fs::exists(CacheDir()));
  IniFile ini;
  ini.Load(ini_);
  EXPECT_EQ(ini.ReadInteger("Option", "arcfolder", -1), 1);
  EXPECT_EQ(ini.ReadString("Option", "lastpath", ""), models_);
}

TEST_F(ArchiveWindow, KeysSortingAndTheCache) {
  Modules({"Unlha32.so", "7-zip32.so", "Tar32.so"});
  WriteArchive(models_ + "/one.zip", "zip", "",
               {{"b.obj", kTri}, {"big.obj", kQuad + std::string(1000, ' ')}, {"a.obj", kQuad}});
  WriteArchive(models_ + "/two.zip", "zip", "", {{"b.obj", kQuad}});
  Ini("[Option]\narcfolder=2\ncache=1\n");
  TMainForm& w = Start();
  EXPECT_TRUE(w.MenuAction("mArcFolder")->isChecked());
  SelectInTree(models_ + "/one.zip");
  ASSERT_TRUE(MembersShown());
  EXPECT_EQ(MemberNames(), QStringList({"b.obj", "big.obj", "a.obj"}));

  // Header clicks: the first on the name sorts descending; sizes as numbers.
  QHeaderView* header = Members()->header();
  auto clickHeader = [&](int section) {
    QTest::mouseClick(header->viewport(), Qt::LeftButton, {},
                      QPoint(header->sectionViewportPosition(section) + 5, header->height() / 2));
  };
  clickHeader(0);
  EXPECT_EQ(MemberNames(), QStringList({"big.obj", "b.obj", "a.obj"}));
  clickHeader(1);
  EXPECT_EQ(MemberNames(), QStringList({"b.obj", "a.obj", "big.obj"}));  // 32, 48, 1048 bytes
  clickHeader(1);
  EXPECT_EQ(MemberNames(), QStringList({"big.obj", "a.obj", "b.obj"}));
  EXPECT_EQ(w.ArchiveBrowser()->SortKey(), -2);

  // Arrow keys move the selection only; Enter extracts and loads.
  ClickMember("big.obj");
  EXPECT_EQ(w.LoadCount(), 1);
  Members()->setFocus();
  QTest::keyClick(Members(), Qt::Key_Down);
  EXPECT_EQ(Members()->currentItem()->text(0), "a.obj");
  EXPECT_EQ(w.LoadCount(), 1);
  QTest::keyClick(Members(), Qt::Key_Return);
  EXPECT_EQ(w.LoadCount(), 2);
  ASSERT_TRUE(WaitForLoad(w));
  EXPECT_EQ(LastLog(2)[0].toStdString(), "Wavefront: " + models_ + "/one.zip//a.obj");

  // Cache on: the same member again runs no archiver; the file stays.
  const int runs = w.ArchiveBrowser()->Cache().commandRuns;
  QTest::keyClick(Members(), Qt::Key_Return);
  EXPECT_EQ(w.LoadCount(), 3);
  ASSERT_TRUE(WaitForLoad(w));
  EXPECT_EQ(w.ArchiveBrowser()->Cache().commandRuns, runs);
  EXPECT_TRUE(fs::exists(CacheDir() + "/a.obj"));
  // The same member path in another archive shows that archive's model.
  ClickMember("b.obj");
  EXPECT_EQ(LastLog(1)[0], " > 頂点数 = 3, ポリゴン数 = 1");
  SelectInTree(models_ + "/two.zip");
  ClickMember("b.obj");
  EXPECT_EQ(LastLog(1)[0], " > 頂点数 = 4, ポリゴン数 = 2");
  EXPECT_EQ(w.ArchiveBrowser()->Cache().commandRuns, runs + 2);

  // A member that vanished from the archive: the message, no load.
  WriteArchive(models_ + "/two.zip", "zip", "", {{"other.obj", kQuad}});
  const int loads = w.LoadCount();
  ClickMember("b.obj");
  EXPECT_TRUE(WaitFor([&] { return !catcher_.texts.isEmpty(); }));
  EXPECT_EQ(catcher_.texts.value(0), "Tarnelle: ファイルの解凍に失敗しました。");
  EXPECT_EQ(w.LoadCount(), loads);

  // The options dialog's cache deletion removes the folder at once.
  ASSERT_TRUE(fs::exists(CacheDir()));
  w.DeleteArchiveCache();
  EXPECT_FALSE(fs::exists(CacheDir()));

  // Switching browsing off while members are listed: the list goes, the
  // modules are released, a click reaches nothing.
  SelectInTree(models_ + "/one.zip");
  Members()->setCurrentItem(Members()->topLevelItem(0));
  w.MenuAction("mArcFolder")->trigger();
  EXPECT_FALSE(w.MenuAction("mArcFolder")->isChecked());
  EXPECT_FALSE(MembersShown());
  for (const ArchiverSlot& s : w.ArchiveBrowser()->Table().archivers) EXPECT_FALSE(s.Loaded());
  emit w.ArchiveBrowser()->MemberActivated();
  EXPECT_EQ(w.LoadCount(), loads);
  w.close();
  IniFile ini;
  ini.Load(ini_);
  EXPECT_EQ(ini.ReadInteger("Option", "arcfolder", -1), 0);  // the ".exe" choice is not kept
}

TEST_F(ArchiveWindow, MissingModulesAreNamed) {
  {
    Modules({"Unzip32.so"});
    Ini("[Option]\narcfolder=2\n");
    TMainForm& w = Start();
    EXPECT_EQ(catcher_.texts,
              QStringList({"Tarnelle: Unlha32.so, Tar32.soが見つかりませんでした。"}));
    EXPECT_TRUE(w.MenuAction("mArcFolder")->isChecked());
    w.close();
    IniFile ini;
    ini.Load(ini_);
    EXPECT_EQ(ini.ReadInteger("Option", "arcfolder", -1), 2);
    w_.reset();
  }
  // Tar32 alone cannot serve browsing: the item ends unchecked and disabled.
  fs::remove(dir_ + "/Unzip32.so");
  Modules({"Tar32.so"});
  catcher_.texts.clear();
  TMainForm& w = Start();
  EXPECT_EQ(catcher_.texts,
            QStringList({"Tarnelle: Unlha32.so, 7-zip32/Unzip32.soが見つかりませんでした。"}));
  EXPECT_FALSE(w.MenuAction("mArcFolder")->isChecked());
  EXPECT_FALSE(w.MenuAction("mArcFolder")->isEnabled());
  EXPECT_FALSE(w.FolderTree()->ArchiveMode());
  w.close();
  IniFile ini;
  ini.Load(ini_);
  EXPECT_EQ(ini.ReadInteger("Option", "arcfolder", -1), 0);
}

// Archives are reachable and members reload: a folder of archives only
// gets its arrow, a file no module reads says so, F5 extracts again (cache
// off) or reuses the copy (cache on) under the member's name, and the
// window starts on ARCHIVE//MEMBER as --info does.
TEST_F(ArchiveWindow, ArchivesAreReachableAndMembersReload) {
  Modules({"Unlha32.so", "7-zip32.so", "Tar32.so"});
  fs::create_directories(models_ + "/only");
  WriteArchive(models_ + "/only/a.zip", "zip", "", {{"sub/tri.obj", kTri}});
  WriteTemp("arcwin-fake.zip", "not an archive at all");
  fs::copy_file(TempDir() + "/arcwin-fake.zip", models_ + "/fake.zip");
  const std::string archive = models_ + "/only/a.zip";
  const std::string member = archive + "//sub/tri.obj";
  for (const int cache : {0, 1}) {
    SCOPED_TRACE(cache);
    Ini("[Option]\narcfolder=1\ncache=" + std::to_string(cache) + "\n");
    // Started on a member: loaded under its name, its folder selected.
    TMainForm& w = Start(member);
    ASSERT_TRUE(WaitForLoad(w));
    EXPECT_EQ(LastLog(2)[0].toStdString(), "Wavefront: " + member);
    EXPECT_EQ(LastLog(1)[0], " > 頂点数 = 3, ポリゴン数 = 1");

    QFileSystemModel* m = w.FolderTree()->FsModel();
    EXPECT_TRUE(m->hasChildren(m->index(QString::fromStdString(models_ + "/only"))));

    SelectInTree(archive);
    ASSERT_TRUE(MembersShown());
    ClickMember("sub/tri.obj");
    const int runs = w.ArchiveBrowser()->Cache().commandRuns;
    w.MenuAction("mReload")->trigger();
    ASSERT_TRUE(WaitForLoad(w));
    EXPECT_EQ(LastLog(2)[0].toStdString(), "Wavefront: " + member);
    EXPECT_EQ(LastLog(1)[0], " > 頂点数 = 3, ポリゴン数 = 1");
    EXPECT_EQ(w.ArchiveBrowser()->Cache().commandRuns, runs + (cache ? 0 : 1));

    // Every column shows its whole text.
    const QFontMetrics fm(Members()->font());
    for (int c = 0; c < 4; ++c) {
      const QString text = Members()->topLevelItem(0)->text(c);
      EXPECT_GE(Members()->header()->sectionSize(c), fm.horizontalAdvance(text)) << c;
    }

    SelectInTree(models_ + "/fake.zip");
    EXPECT_EQ(LastLog(1)[0].toStdString(),
              models_ + "/fake.zip: 読める圧縮ファイルではありません。");
    EXPECT_EQ(Members()->topLevelItemCount(), 0);
    EXPECT_TRUE(catcher_.texts.isEmpty()) << catcher_.texts.join('\n').toStdString();
    w.close();
    w_.reset();
  }
  // Without archive browsing the folder of archives has nothing to expand.
  Ini("[Option]\narcfolder=0\n");
  TMainForm& w = Start();
  QFileSystemModel* m = w.FolderTree()->FsModel();
  EXPECT_FALSE(m->hasChildren(m->index(QString::fromStdString(models_ + "/only"))));
}

// A .tgz of two members cut in the second one.
void WriteCutTgz(const std::string& path) {
  const std::string noise = NoiseBytes(100000);
  const std::string whole = path + ".whole.tgz";
  WriteArchive(whole, "tar", "gzip", {{"a.obj", noise}, {"b.obj", noise}});
  std::ifstream in(whole, std::ios::binary);
  std::string cut(150000, '\0');
  in.read(cut.data(), static_cast<std::streamsize>(cut.size()));
  std::ofstream(path, std::ios::binary) << cut;
  fs::remove(whole);
}

// What the log says about archives that are not whole: a truncated one
// lists what survives and says so; an encrypted member is not extracted
// and says why; a size past 4 GiB shows whole.
TEST_F(ArchiveWindow, DamagedArchivesAndBigMembersAreNamed) {
  Modules({"Unlha32.so", "7-zip32.so", "Tar32.so"});
  WriteCutTgz(models_ + "/cut.tgz");
  WriteArchive(models_ + "/locked.zip", "zip", "", {{"tri.obj", kTri}}, "secret");
  WriteTemp("arcwin-big.tar", TarHeader("big.obj", 5000000000ULL) + std::string(1024, '\0'));
  fs::copy_file(TempDir() + "/arcwin-big.tar", models_ + "/big.tar");
  Ini("[Option]\narcfolder=1\n");
  TMainForm& w = Start();

  SelectInTree(models_ + "/cut.tgz");
  ASSERT_TRUE(MembersShown());
  EXPECT_EQ(MemberNames(), QStringList({"a.obj", "b.obj"}));
  EXPECT_EQ(LastLog(1)[0].toStdString(), IncompleteListText(models_ + "/cut.tgz"));

  SelectInTree(models_ + "/locked.zip");
  const int loads = w.LoadCount();
  const auto found = Members()->findItems("tri.obj", Qt::MatchExactly, 0);
  ASSERT_EQ(found.size(), 1);
  QTest::mouseClick(Members()->viewport(), Qt::LeftButton, {},
                    Members()->visualItemRect(found[0]).center());
  EXPECT_EQ(LastLog(1)[0].toStdString(),
            models_ + "/locked.zip//tri.obj: 暗号化されているため解凍できません。");
  EXPECT_EQ(w.LoadCount(), loads);

  SelectInTree(models_ + "/big.tar");
  ASSERT_EQ(Members()->topLevelItemCount(), 1);
  EXPECT_EQ(Members()->topLevelItem(0)->text(1), "5000000000");
  EXPECT_TRUE(catcher_.texts.isEmpty()) << catcher_.texts.join('\n').toStdString();
}

// The format filter applies to a listed archive at once, as to a folder.
TEST_F(ArchiveWindow, FilterChangeRelistsTheArchive) {
  Modules({"Unlha32.so", "7-zip32.so", "Tar32.so"});
  WriteArchive(models_ + "/a.zip", "zip", "",
               {{"tri.obj", kTri}, {"readme.txt", "x"}, {"part.stl", "solid x\nendsolid x\n"}});
  Ini("[Option]\narcfolder=1\n");
  TMainForm& w = Start();
  SelectInTree(models_ + "/a.zip");
  ASSERT_TRUE(MembersShown());
  ASSERT_EQ(SortedMemberNames(), QStringList({"part.stl", "tri.obj"}));
  QComboBox* filter = w.FilterList();
  const struct {
    int index;
    QStringList names;
  } cases[] = {{0, {"part.stl", "readme.txt", "tri.obj"}},
               {filter->findText("STL format"), {"part.stl"}},
               {1, {"part.stl", "tri.obj"}}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.index);
    ASSERT_GE(c.index, 0);
    filter->setCurrentIndex(c.index);
    EXPECT_TRUE(MembersShown());
    EXPECT_EQ(SortedMemberNames(), c.names);
  }
  // A member of the new list still loads.
  filter->setCurrentIndex(0);
  ClickMember("tri.obj");
  EXPECT_EQ(LastLog(2)[0].toStdString(), "Wavefront: " + models_ + "/a.zip//tri.obj");
}

// Messages outside a load (a refused member, a file no module reads, a
// list cut short) each start a block of their own after a load's lines.
TEST_F(ArchiveWindow, ArchiveMessagesStartTheirOwnLogBlock) {
  Modules({"Unlha32.so", "7-zip32.so", "Tar32.so"});
  WriteArchive(models_ + "/a.zip", "zip", "", {{"tri.obj", kTri}});
  WriteTemp("arcwin-sparse.tar", GnuSparseTar("big.obj", 1ULL << 40, std::string(512, 'x')));
  fs::copy_file(TempDir() + "/arcwin-sparse.tar", models_ + "/sparse.tar");
  WriteTemp("arcwin-fake2.zip", "not an archive at all");
  fs::copy_file(TempDir() + "/arcwin-fake2.zip", models_ + "/fake.zip");
  WriteCutTgz(models_ + "/cut.tgz");
  Ini("[Option]\narcfolder=1\n");
  Start();
  const struct {
    const char* what;
    std::function<void()> act;
    std::string line;
  } cases[] = {
      {"refused member",
       [&] {
         SelectInTree(models_ + "/sparse.tar");
         const auto found = Members()->findItems("big.obj", Qt::MatchExactly, 0);
         ASSERT_EQ(found.size(), 1);
         QTest::mouseClick(Members()->viewport(), Qt::LeftButton, {},
                           Members()->visualItemRect(found[0]).center());
       },
       models_ + "/sparse.tar//big.obj: 展開後のサイズが大きすぎるため解凍しませんでした。"},
      {"file no module reads", [&] { SelectInTree(models_ + "/fake.zip"); },
       UnlistedArchiveText(models_ + "/fake.zip")},
      {"list cut short", [&] { SelectInTree(models_ + "/cut.tgz"); },
       IncompleteListText(models_ + "/cut.tgz")},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    // A load's block first.
    SelectInTree(models_ + "/a.zip");
    ClickMember("tri.obj");
    ASSERT_EQ(LastLog(1)[0], " > 頂点数 = 3, ポリゴン数 = 1");
    c.act();
    EXPECT_EQ(LastLog(2), QStringList({"----------", QString::fromStdString(c.line)}));
  }
  EXPECT_TRUE(catcher_.texts.isEmpty()) << catcher_.texts.join('\n').toStdString();
}

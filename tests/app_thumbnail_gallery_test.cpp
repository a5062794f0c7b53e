// Model thumbnails in the file list's icon views, made by real
// "tarnelle --thumbnail" children into a private freedesktop cache.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QAction>
#include <QFile>
#include <QFileIconProvider>
#include <QImageReader>
#include <QListView>
#include <QSet>
#include <QSignalSpy>
#include <QTest>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>

#include "app/ini_file.h"
#include "app/mainform.h"
#include "app/thumbnail_cache.h"
#include "app/thumbnail_gallery.h"
#include "test_util.h"
#include "widgets/filelist.h"
#include "window_harness.h"

namespace fs = std::filesystem;

namespace {

const std::string kSamples = TARNELLE_SOURCE_DIR "/samples";

QImage IconImage(TFileList& list, const QString& name) {
  const int row = list.RowOf(name);
  if (row < 0) return {};
  QAbstractItemModel* m = list.IconView()->model();
  const QIcon icon = m->data(m->index(row, 0), Qt::DecorationRole).value<QIcon>();
  return icon.pixmap(64, 64).toImage().convertToFormat(QImage::Format_ARGB32);
}

std::map<std::string, std::string> Tags(const std::string& png) {
  QFile f(QString::fromStdString(png));
  return f.open(QIODevice::ReadOnly) ? PngTextTags(f.readAll())
                                     : std::map<std::string, std::string>{};
}

// Waits until the list's thumbnails are idle: the last listing handed
// over, nothing queued, running or left to read.
bool WaitIdle(FileListThumbnails& thumbs, int ms = 60000) {
  if (thumbs.Idle()) return true;
  QSignalSpy idle(&thumbs, &FileListThumbnails::WentIdle);
  return idle.wait(ms) || thumbs.Idle();
}

int Colours(const QImage& image) {
  QSet<QRgb> set;
  for (int y = 0; y < image.height(); ++y)
    for (int x = 0; x < image.width(); ++x) set.insert(image.pixel(x, y));
  return static_cast<int>(set.size());
}

class Gallery : public testing::Test {
 protected:
  void SetUp() override {
    if (!fs::exists(kSamples + "/torus_binary.stl")) GTEST_SKIP() << "no samples in " << kSamples;
    static int serial = 0;
    dir_ = TempDir() + "/gallery" + std::to_string(++serial);
    models_ = dir_ + "/models";
    fs::create_directories(models_);
    // Every program of the test shares this cache, as a desktop would.
    cache_ = dir_ + "/cache";
    setenv("XDG_CACHE_HOME", cache_.c_str(), 1);
    fs::copy_file(kSamples + "/torus_binary.stl", models_ + "/torus.stl");
    fs::copy_file(kSamples + "/icosphere.obj", models_ + "/ball.obj");
    std::ofstream(models_ + "/broken.stl") << "solid broken\nfacet normal 0 0 1\n garbage\n";
  }
  void TearDown() override { unsetenv("XDG_CACHE_HOME"); }

  // A list in large-icon view wired to a gallery of real children.
  void Show(bool enabled) {
    host_ = std::make_unique<QWidget>();
    host_->resize(600, 400);
    list_ = new TFileList(host_.get());
    list_->resize(600, 400);
    gallery_ = new ThumbnailGallery(list_);
    gallery_->SetProgram(QStringLiteral(TARNELLE_BINARY_DIR "/app/tarnelle"));
    thumbs_ = new FileListThumbnails(list_, gallery_);
    thumbs_->SetEnabled(enabled);
    list_->SetViewStyle(0);
    list_->SetFolder(Q(models_));
    host_->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(host_.get()));
  }
  bool Settled() {
    if (!gallery_->Idle()) return false;
    for (int r = 0; r < list_->Count(); ++r)
      if (gallery_->StateOf(Path(list_->Caption(r))) == ThumbnailGallery::State::kPending)
        return false;
    return true;
  }
  QString Path(const QString& name) const { return Q(models_) + "/" + name; }
  static QString Q(const std::string& s) { return QString::fromStdString(s); }
  ThumbSource Source(const std::string& name) const {
    ThumbSource s;
    EXPECT_TRUE(StatThumbSource(models_ + "/" + name, s));
    return s;
  }

  std::string dir_, models_, cache_;
  std::unique_ptr<QWidget> host_;
  TFileList* list_ = nullptr;
  ThumbnailGallery* gallery_ = nullptr;
  FileListThumbnails* thumbs_ = nullptr;
};

TEST_F(Gallery, LargeIconsShowModelPicturesFromTheSharedCache) {
  Show(true);
  ASSERT_TRUE(WaitFor([&] { return Settled(); }, 60000));
  const QImage generic = QFileIconProvider()
                             .icon(QFileIconProvider::File)
                             .pixmap(64, 64)
                             .toImage()
                             .convertToFormat(QImage::Format_ARGB32);
  const std::string root = cache_ + "/thumbnails";
  EXPECT_EQ(gallery_->CacheRoot(), root);
  for (const char* name : {"torus.stl", "ball.obj"}) {
    SCOPED_TRACE(name);
    EXPECT_EQ(gallery_->StateOf(Path(name)), ThumbnailGallery::State::kReady);
    const QImage shown = IconImage(*list_, name);
    EXPECT_NE(shown, generic);
    EXPECT_GT(Colours(shown), 3);  // a shaded model, not a flat symbol
    // The cache file: the freedesktop name of the file's URI, the three
    // tags of the file as it is, private to the user.
    const ThumbSource src = Source(name);
    EXPECT_EQ(src.uri, "file://" + fs::canonical(models_ + "/" + name).string());
    const std::string png = root + "/normal/" + Md5Hex(src.uri) + ".png";
    auto tags = Tags(png);
    EXPECT_EQ(tags["Thumb::URI"], src.uri);
    EXPECT_EQ(tags["Thumb::MTime"], std::to_string(src.mtime));
    EXPECT_EQ(tags["Thumb::Size"], std::to_string(src.size));
    EXPECT_EQ(QImageReader(Q(png)).size(), QSize(128, 128));
    struct stat st {};
    ASSERT_EQ(stat(png.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
  }
  // The broken file: the failure icon, and a record under fail/.
  EXPECT_EQ(gallery_->StateOf(Path("broken.stl")), ThumbnailGallery::State::kFailed);
  EXPECT_EQ(IconImage(*list_, "broken.stl"),
            thumbs_->FailureIcon().pixmap(64, 64).toImage().convertToFormat(QImage::Format_ARGB32));
  const ThumbSource broken = Source("broken.stl");
  EXPECT_EQ(FailPath(root, broken.uri),
            root + "/fail/" + FailFolderName() + "/" + Md5Hex(broken.uri) + ".png");
  EXPECT_TRUE(ThumbnailMatches(FailPath(root, broken.uri), broken));
  // Nothing but finished pictures in the cache folder.
  for (const auto& e : fs::directory_iterator(root + "/normal"))
    EXPECT_EQ(e.path().extension(), ".png") << e.path();

  // A second list over the same folder takes every picture from the cache.
  // One child draws all three, the broken one included.
  EXPECT_EQ(gallery_->ProcessesStarted(), 1);
  list_->SetViewStyle(1);  // small icons: a new request
  ASSERT_TRUE(WaitFor([&] { return Settled(); }, 20000));
  ThumbnailGallery fresh;
  fresh.SetProgram(QStringLiteral(TARNELLE_BINARY_DIR "/app/tarnelle"));
  fresh.Request({Path("torus.stl"), Path("ball.obj"), Path("broken.stl")});
  ASSERT_TRUE(WaitFor([&] { return fresh.Idle(); }, 20000));
  EXPECT_EQ(fresh.ProcessesStarted(), 0);
  EXPECT_EQ(fresh.StateOf(Path("torus.stl")), ThumbnailGallery::State::kReady);
  EXPECT_EQ(fresh.StateOf(Path("broken.stl")), ThumbnailGallery::State::kFailed);
}

// A file of the shown folder written in place, replaced by a rename or
// given a new time gets a new picture while the folder stays shown.
TEST_F(Gallery, AChangedFileGetsANewThumbnail) {
  Show(true);
  ASSERT_TRUE(WaitFor([&] { return Settled(); }, 60000));
  const std::string file = models_ + "/torus.stl";
  const auto bytes = [](const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  };
  const std::string cube = bytes(kSamples + "/cube.stl"), torus = bytes(file);
  const struct {
    const char* name;
    std::function<void()> change;
  } cases[] = {
      // Nothing the folder itself records changes.
      {"written in place",
       [&] { std::ofstream(file, std::ios::binary | std::ios::trunc) << cube; }},
      {"replaced by a rename",
       [&] {
         std::ofstream(models_ + "/.new", std::ios::binary) << torus;
         fs::rename(models_ + "/.new", file);
       }},
      {"written, then given a later time",
       [&] {
         std::ofstream(file, std::ios::binary | std::ios::trunc) << cube;
         fs::last_write_time(file, fs::last_write_time(file) + std::chrono::seconds(5));
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const QImage before = gallery_->Picture(Path("torus.stl"));
    ASSERT_FALSE(before.isNull());
    c.change();
    const ThumbSource now = Source("torus.stl");
    ASSERT_TRUE(WaitFor(
        [&] {
          return Settled() &&
                 gallery_->StateOf(Path("torus.stl")) == ThumbnailGallery::State::kReady &&
                 gallery_->Picture(Path("torus.stl")) != before;
        },
        60000));
    auto tags = Tags(ThumbnailPath(cache_ + "/thumbnails", now.uri, 128));
    EXPECT_EQ(tags["Thumb::MTime"], std::to_string(now.mtime));
    EXPECT_EQ(tags["Thumb::Size"], std::to_string(now.size));
    EXPECT_EQ(IconImage(*list_, "torus.stl"),
              QIcon(QPixmap::fromImage(gallery_->Picture(Path("torus.stl"))))
                  .pixmap(64, 64)
                  .toImage()
                  .convertToFormat(QImage::Format_ARGB32));
  }
}

TEST_F(Gallery, SwitchedOffShowsGenericIconsAndStartsNoProcess) {
  Show(false);
  ASSERT_TRUE(WaitIdle(*thumbs_));
  EXPECT_EQ(gallery_->ProcessesStarted(), 0);
  EXPECT_FALSE(fs::exists(cache_ + "/thumbnails"));
  const QImage generic = IconImage(*list_, "broken.stl");
  EXPECT_EQ(IconImage(*list_, "torus.stl"), generic);
  EXPECT_EQ(IconImage(*list_, "ball.obj"), generic);
  // The list and details views never ask for pictures either.
  thumbs_->SetEnabled(true);
  list_->SetViewStyle(3);
  ASSERT_TRUE(WaitIdle(*thumbs_));
  EXPECT_EQ(gallery_->ProcessesStarted(), 0);
}

// A folder far larger than the screen: pictures are made for the visible
// items and a screen around them, the rest when the list is scrolled there;
// the decoded pictures of items scrolled away are dropped beyond the
// cache's bound and read again from the disk cache, not drawn again.
TEST_F(Gallery, ALargeFolderIsDrawnOnlyWhereItIsShown) {
  for (int i = 0; i < 2000; ++i) {
    char name[32];
    snprintf(name, sizeof name, "/m%04d.obj", i);
    std::ofstream(models_ + name) << "v 0 0 0\nv 1 0 0\nv 0 1 0\nf 1 2 3\n";
  }
  Show(true);
  gallery_->SetCacheBytes(0);
  const auto made = [&] {
    int n = 0;
    for (int r = 0; r < list_->Count(); ++r)
      n += gallery_->StateOf(Path(list_->Caption(r))) != ThumbnailGallery::State::kPending;
    return n;
  };
  const auto drawn = [&] {
    std::error_code ec;
    int n = 0;
    for (const auto& e : fs::directory_iterator(cache_ + "/thumbnails/normal", ec)) {
      (void)e;
      ++n;
    }
    return n;
  };
  // Every visible item has its picture (or the failure icon).
  const auto shown = [&](int& screen) {
    int first = 0, last = -1;
    if (!list_->VisibleRows(first, last)) return false;
    screen = last - first + 1;
    for (int r = first; r <= last; ++r)
      if (gallery_->StateOf(Path(list_->Caption(r))) == ThumbnailGallery::State::kPending)
        return false;
    return true;
  };
  ASSERT_TRUE(WaitIdle(*thumbs_));
  int screen = 0;
  ASSERT_TRUE(shown(screen));
  ASSERT_GT(screen, 4);
  EXPECT_LE(made(), 2 * screen);
  EXPECT_LE(drawn(), 2 * screen);
  const QString top = Path(list_->Caption(0));

  list_->IconView()->scrollToBottom();
  ASSERT_TRUE(WaitIdle(*thumbs_));
  ASSERT_TRUE(shown(screen));
  EXPECT_LE(drawn(), 5 * screen);  // the first screens and the last ones
  // Scrolled away: dropped from memory.
  EXPECT_EQ(gallery_->StateOf(top), ThumbnailGallery::State::kPending);
  const int before = drawn(), processes = gallery_->ProcessesStarted();

  list_->IconView()->scrollToTop();
  ASSERT_TRUE(WaitIdle(*thumbs_));
  ASSERT_TRUE(shown(screen));
  EXPECT_EQ(drawn(), before);
  EXPECT_EQ(gallery_->ProcessesStarted(), processes);
  EXPECT_LE(made(), 3 * screen);
}

// A worker that dies on a file or answers garbage, or whose reader kills
// the drawing process on it: that file fails and is recorded, the ones
// before it keep their pictures, and the ones after it are drawn by a new
// worker, or by the same one, which replaced its drawer.
TEST_F(Gallery, ACrashCostsOneThumbnail) {
  fs::copy_file(kSamples + "/cube.stl", models_ + "/crash.stl");
  std::ofstream(models_ + "/x.crash") << "\n";
  // Workers that draw as --thumbnail does, but on a "crash" file die, or
  // answer what no worker answers (and are then ended by the window).
  const auto wrapper = [&](const char* name, const char* onCrash) {
    const std::string path = dir_ + "/" + name;
    std::ofstream(path) << "#!/bin/bash\n"
                           "while IFS= read -r -d '' in && IFS= read -r -d '' out; do\n"
                           "  case \"$in\" in *crash*) "
                        << onCrash
                        << ";; esac\n"
                           "  if " TARNELLE_BINARY_DIR
                           "/app/tarnelle --thumbnail $2 \"$in\" \"$out\" >/dev/null 2>&1\n"
                           "  then echo ok; else echo failed; fi\n"
                           "done\n";
    fs::permissions(path, fs::perms::owner_all);
    return path;
  };
  // A copy of tarnelle with a plug-in that crashes in its Load.
  const std::string tree = dir_ + "/tree";
  fs::create_directories(tree + "/Plugin");
  fs::copy_file(TARNELLE_BINARY_DIR "/app/tarnelle", tree + "/tarnelle");
  fs::create_symlink(TARNELLE_HOSTILE_PLUGINS "/tp_hostile_crash.so",
                     tree + "/Plugin/tp_hostile_crash.so");
  const struct {
    const char* what;
    std::string program, crash;
    int processes;
  } cases[] = {
      {"the worker dies", wrapper("crashing", "kill -SEGV $$"), "crash.stl", 2},
      {"the worker answers garbage", wrapper("babbling", "echo 'ok ok ok'; exec sleep 30"),
       "crash.stl", 2},
      {"the reader kills the drawer", tree + "/tarnelle", "x.crash", 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    fs::remove_all(cache_);
    host_ = std::make_unique<QWidget>();
    list_ = new TFileList(host_.get());
    gallery_ = new ThumbnailGallery(list_);
    gallery_->SetProgram(Q(c.program));
    gallery_->Request({Path("ball.obj"), Path(Q(c.crash)), Path("torus.stl")});
    ASSERT_TRUE(WaitFor([&] { return gallery_->Idle(); }, 60000));
    EXPECT_EQ(gallery_->StateOf(Path("ball.obj")), ThumbnailGallery::State::kReady);
    EXPECT_EQ(gallery_->StateOf(Path(Q(c.crash))), ThumbnailGallery::State::kFailed);
    EXPECT_EQ(gallery_->StateOf(Path("torus.stl")), ThumbnailGallery::State::kReady);
    EXPECT_EQ(gallery_->ProcessesStarted(), c.processes);
    const ThumbSource crashed = Source(c.crash);
    EXPECT_TRUE(ThumbnailMatches(FailPath(cache_ + "/thumbnails", crashed.uri), crashed));
  }
}

// A child that cannot work here at all (no OpenGL driver) fails its files
// without a record under fail/: the files are not to blame, and they are
// not tried again while they stay as they are.
TEST_F(Gallery, AFailureOfTheEnvironmentIsNotRecordedAgainstTheFiles) {
  const std::string wrapper = dir_ + "/thumbnailer-without-opengl";
  std::ofstream(wrapper)
      << "#!/bin/sh\n"
         "__EGL_VENDOR_LIBRARY_FILENAMES=/nonexistent/none.json exec " TARNELLE_BINARY_DIR
         "/app/tarnelle \"$@\"\n";
  fs::permissions(wrapper, fs::perms::owner_all);
  host_ = std::make_unique<QWidget>();
  list_ = new TFileList(host_.get());
  gallery_ = new ThumbnailGallery(list_);
  gallery_->SetProgram(Q(wrapper));
  const QStringList files{Path("ball.obj"), Path("torus.stl")};
  gallery_->Request(files);
  ASSERT_TRUE(WaitFor([&] { return gallery_->Idle(); }, 60000));
  for (const QString& f : files)
    EXPECT_EQ(gallery_->StateOf(f), ThumbnailGallery::State::kFailed) << f.toStdString();
  EXPECT_FALSE(fs::exists(cache_ + "/thumbnails/fail"));
  EXPECT_EQ(gallery_->ProcessesStarted(), 1);
  gallery_->Request(files);
  ASSERT_TRUE(WaitFor([&] { return gallery_->Idle(); }, 60000));
  EXPECT_EQ(gallery_->ProcessesStarted(), 1);
}

// The main window: the "ｵﾌﾟｼｮﾝ" item and its key in the settings file.
TEST_F(Gallery, TheOptionMenuItemSwitchesThumbnailsAndIsKept) {
  const std::string ini = dir_ + "/tarnelle.ini";
  std::ofstream(ini) << "[Option]\nviewtype=0\nthumbnails=0\nlastpath=" << models_ << "\n";
  MainFormOptions o;
  o.exePath = dir_ + "/tarnelle";
  o.iniPath = ini;
  o.helpPath = dir_ + "/missing.html";
  o.readPlugins = false;
  o.thumbnailer = TARNELLE_BINARY_DIR "/app/tarnelle";
  auto w = std::make_unique<TMainForm>(o);
  w->show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(w.get()));
  ASSERT_EQ(w->FileList()->Folder(), Q(models_));
  QAction* item = w->MenuAction("mThumbnails");
  ASSERT_NE(item, nullptr);
  EXPECT_FALSE(item->isChecked());
  ASSERT_TRUE(WaitIdle(*w->Thumbnails()));
  ThumbnailGallery* gallery = w->Thumbnails()->Gallery();
  EXPECT_EQ(gallery->ProcessesStarted(), 0);

  item->trigger();
  EXPECT_TRUE(item->isChecked());
  ASSERT_TRUE(WaitFor(
      [&] {
        return gallery->Idle() &&
               gallery->StateOf(Path("ball.obj")) == ThumbnailGallery::State::kReady;
      },
      60000));
  EXPECT_GT(gallery->ProcessesStarted(), 0);
  w->close();
  w.reset();
  IniFile saved;
  saved.Load(ini);
  EXPECT_EQ(saved.ReadInteger("Option", "thumbnails", -1), 1);
}

// The pool: a few workers at most, one per processor, and no more than the
// free memory holds at each worker's cap.
TEST(ThumbnailPool, ChildrenFollowProcessorsAndFreeMemory) {
  constexpr uint64_t kGiB = uint64_t{1} << 30;
  const struct {
    int processors;
    uint64_t available;
    int children;
  } cases[] = {
      {1, 64 * kGiB, 1}, {2, 64 * kGiB, 2}, {4, 64 * kGiB, 4}, {32, 64 * kGiB, 4},
      {32, 9 * kGiB, 2}, {32, 3 * kGiB, 1}, {32, 0, 4},        {0, 64 * kGiB, 1},
  };
  for (const auto& c : cases)
    EXPECT_EQ(ThumbnailGallery::ChildLimit(c.processors, c.available), c.children)
        << c.processors << " processors, " << c.available << " bytes";
  EXPECT_GE(ThumbnailGallery::MaxProcesses(), 1);
  EXPECT_LE(ThumbnailGallery::MaxProcesses(), ThumbnailGallery::kMaxChildren);
}

}  // namespace

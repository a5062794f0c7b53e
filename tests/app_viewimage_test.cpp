// Saving the preview's picture from the real window: the save dialog, the
// format chosen by its filter, the pixels and size of the file, and the
// warning with nothing lost when the file cannot be written.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileSystemModel>
#include <QImageReader>
#include <QLineEdit>
#include <QMessageBox>
#include <QMimeDatabase>
#include <QPushButton>
#include <QTest>
#include <QToolButton>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <memory>
#include <thread>

#include "app/mainform.h"
#include "preview/file_dialog_types.h"
#include "preview/glpanel.h"
#include "preview/image_io.h"
#include "preview/pview.h"
#include "preview/viewimage.h"
#include "test_util.h"
#include "window_harness.h"

namespace fs = std::filesystem;

namespace {

constexpr char kObj[] = "v -1 -1 0\nv 1 -1 0\nv 0 1 0\nv 0.5 0.5 1\nf 1 2 3\nf 2 4 3\n";

QByteArray ReadAll(const QString& path) {
  QFile f(path);
  return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

QStringList FilesIn(const QString& dir) {
  return QDir(dir).entryList(QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot | QDir::Hidden,
                             QDir::Name);
}

// A tmpfs of its own on a folder, taken down again at the end.
class Tmpfs {
 public:
  Tmpfs(const QString& dir, unsigned long flags, const char* options) : dir_(dir.toStdString()) {
    ok_ = mount("tmpfs", dir_.c_str(), "tmpfs", flags, options) == 0;
  }
  ~Tmpfs() {
    if (ok_) umount2(dir_.c_str(), MNT_DETACH);
  }
  bool ok() const { return ok_; }

 private:
  std::string dir_;
  bool ok_ = false;
};

// Files beyond limit bytes cannot grow (EFBIG): a full disk for one test
// where no tmpfs can be mounted.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t limit) {
    getrlimit(RLIMIT_FSIZE, &old_);
    oldHandler_ = signal(SIGXFSZ, SIG_IGN);
    rlimit r = old_;
    r.rlim_cur = limit;
    setrlimit(RLIMIT_FSIZE, &r);
  }
  ~FileSizeLimit() {
    setrlimit(RLIMIT_FSIZE, &old_);
    signal(SIGXFSZ, oldHandler_);
  }

 private:
  rlimit old_{};
  sighandler_t oldHandler_;
};

class SaveImage : public testing::Test {
 protected:
  void SetUp() override {
    QApplication::setAttribute(Qt::AA_DontUseNativeDialogs);
    static int serial = 0;
    dir_ = QString::fromStdString(TempDir()) + QStringLiteral("/save%1").arg(++serial);
    out_ = dir_ + "/out";
    QDir().mkpath(out_);
    const QString model = dir_ + "/model.obj";
    QFile f(model);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(kObj);
    f.close();
    MainFormOptions o;
    o.exePath = (dir_ + "/tarnelle").toStdString();
    o.iniPath = (dir_ + "/tarnelle.ini").toStdString();
    o.readPlugins = false;
    w_ = std::make_unique<TMainForm>(o);
    w_->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(w_.get()));
    // Ctrl+S reaches the window only while it is active.
    w_->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(w_.get()));
    ASSERT_TRUE(WaitFor([&] { return w_->PreviewReady(); }));
    if (!w_->Preview()->GLReady()) GTEST_SKIP() << "no OpenGL on this display";
    w_->OpenPath(model);
    ASSERT_TRUE(WaitForLoad(*w_));
  }
  void TearDown() override {
    if (w_) w_->close();
    w_.reset();
  }

  // The panel's frame as the file should hold it.
  QImage Frame() const { return w_->Preview()->GrabImage().convertToFormat(QImage::Format_RGB888); }
  QSize PanelPixels() const {
    TGLPanel* p = w_->Preview()->Panel();
    return p->size() * p->devicePixelRatio();
  }

  // Opens the save dialog through trigger, picks filter, types path and
  // accepts as a user does; boxes handle the message boxes that follow,
  // in order. True when every step ran.
  bool SaveThroughDialog(const std::function<void()>& trigger, const QString& path, int filter,
                         const std::vector<std::function<void(QMessageBox*)>>& boxes = {}) {
    ModalSteps s;
    s.Then<QFileDialog>([&](QFileDialog* d) {
      EXPECT_EQ(d->acceptMode(), QFileDialog::AcceptSave);
      EXPECT_TRUE(d->defaultSuffix().isEmpty());
      EXPECT_FALSE(d->testOption(QFileDialog::DontConfirmOverwrite));
      auto* types = d->findChild<QComboBox*>(QStringLiteral("fileTypeCombo"));
      EXPECT_TRUE(types && types->count() == 3 && types->itemText(0) == "Bitmapイメージ" &&
                  types->itemText(1) == "JPEGイメージ" && types->itemText(2) == "PNGイメージ");
      FillSaveDialog(d, path, filter);
    });
    for (const auto& box : boxes) s.Then<QMessageBox>(box);
    s.Start();
    trigger();
    return s.Done();
  }
  void SaveKey() {
    // Shortcuts reach only the active window; a closed dialog may have
    // left none active.
    w_->activateWindow();
    EXPECT_TRUE(QTest::qWaitForWindowActive(w_.get()));
    QTest::keyClick(w_.get(), Qt::Key_S, Qt::ControlModifier);
  }

  // Expects the failure box; the wait cursor is gone by the time it shows.
  std::function<void(QMessageBox*)> ExpectWarning() {
    return [this](QMessageBox* box) {
      ++warnings_;
      EXPECT_EQ(box->windowTitle(), "Tarnelle Warning");
      EXPECT_EQ(box->text(), "イメージの保存に失敗しました。");
      EXPECT_EQ(box->standardButtons(), QMessageBox::Ok);
      EXPECT_EQ(QApplication::overrideCursor(), nullptr);
      Press(box, QMessageBox::Ok);
    };
  }
  // Saves through the code the dialog's result runs, with the warning
  // expected.
  void SaveExpectingFailure(const QString& path, int filter) {
    ModalSteps s;
    s.Then<QMessageBox>(ExpectWarning());
    s.Start();
    EXPECT_FALSE(ViewImageExport::Save(w_.get(), *w_->Preview(), path, filter, 50))
        << path.toStdString();
    EXPECT_TRUE(s.Done()) << path.toStdString();
  }

  QString dir_, out_;
  std::unique_ptr<TMainForm> w_;
  int warnings_ = 0;
};

}  // namespace

TEST_F(SaveImage, TheFilterAloneChoosesTheFormat) {
  // Cancelling writes nothing and says nothing.
  ModalSteps cancel;
  cancel.Then<QFileDialog>([](QFileDialog* d) { d->reject(); });
  cancel.Start();
  w_->ToolButton("ToolButton8")->click();
  EXPECT_TRUE(cancel.Done());
  EXPECT_TRUE(FilesIn(out_).isEmpty());

  const QImage frame = Frame();
  ASSERT_EQ(frame.size(), PanelPixels());
  struct Case {
    const char* name;
    int filter;
    const char* format;  // what the bytes are
    std::function<void()> trigger;
  };
  const std::vector<Case> cases = {
      {"view.jpg", 0, "bmp", [this] { SaveKey(); }},
      {"pic.bmp", 1, "jpeg", [this] { w_->ToolButton("ToolButton8")->click(); }},
      {"noext", 2, "png", [this] { w_->MenuAction("mSaveImage")->trigger(); }},
      {"shot.png", 0, "bmp", [this] { SaveKey(); }},
  };
  QStringList written;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const QString path = out_ + "/" + c.name;
    ASSERT_TRUE(SaveThroughDialog(c.trigger, path, c.filter));
    written << c.name;
    written.sort();
    // The exact name: no extension added, no temporary file left.
    EXPECT_EQ(FilesIn(out_), written);
    QImageReader reader(path);
    reader.setDecideFormatFromContent(true);
    EXPECT_EQ(reader.format().toStdString(), c.format);
    const QByteArray bytes = ReadAll(path);
    if (std::string(c.format) == "jpeg") {
      // libjpeg at the default quality 50 and nothing else changed.
      QByteArray want;
      std::string error;
      ASSERT_TRUE(EncodeImage(frame, ImageFileKind::kJpeg, 50, want, error));
      EXPECT_TRUE(bytes == want);
      continue;
    }
    if (std::string(c.format) == "bmp") {
      ASSERT_GT(bytes.size(), 30);
      EXPECT_EQ(bytes[28], 24);  // bits per pixel
    }
    // What the panel shows, pixel for pixel.
    EXPECT_TRUE(reader.read().convertToFormat(QImage::Format_RGB888) == frame);
  }
  EXPECT_EQ(warnings_, 0);

  // Saving over an existing file asks first.
  int asked = 0;
  ASSERT_TRUE(SaveThroughDialog([this] { SaveKey(); }, out_ + "/noext", 0, {[&](QMessageBox* box) {
                                  ++asked;
                                  Press(box, QMessageBox::Yes);
                                }}));
  EXPECT_EQ(asked, 1);
  QImageReader again(out_ + "/noext");
  again.setDecideFormatFromContent(true);
  EXPECT_EQ(again.format().toStdString(), "bmp");
  EXPECT_EQ(FilesIn(out_), written);
}

TEST_F(SaveImage, PictureSizeFollowsThePanel) {
  const QString first = out_ + "/a.bmp", second = out_ + "/b.bmp";
  ASSERT_TRUE(SaveThroughDialog([this] { SaveKey(); }, first, 0));
  const QSize before = PanelPixels();
  w_->resize(w_->width() + 120, w_->height() + 90);
  ASSERT_TRUE(WaitFor([&] { return PanelPixels() != before; }));
  ASSERT_TRUE(SaveThroughDialog([this] { SaveKey(); }, second, 0));
  EXPECT_EQ(QImage(first).size(), before);
  EXPECT_EQ(QImage(second).size(), PanelPixels());
  EXPECT_TRUE(QImage(second).convertToFormat(QImage::Format_RGB888) == Frame());
}

TEST_F(SaveImage, JpegQualityChangesTheFile) {
  const QString low = out_ + "/q50.jpg", high = out_ + "/q100.jpg";
  ASSERT_TRUE(ViewImageExport::Save(w_.get(), *w_->Preview(), low, 1, 50));
  ASSERT_TRUE(ViewImageExport::Save(w_.get(), *w_->Preview(), high, 1, 100));
  EXPECT_GT(QFileInfo(high).size(), QFileInfo(low).size());
}

// Each failure shows the warning and leaves the folder as it was: an older
// file keeps its bytes and no partial picture or temporary file remains.
TEST_F(SaveImage, FailedSavesWarnAndLoseNothing) {
  const QByteArray old = "older picture";
  auto writeOld = [&](const QString& path) {
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(old);
  };

  // A read-only file, through the real dialog: asked to overwrite, then warned.
  const QString readOnly = out_ + "/locked.bmp";
  writeOld(readOnly);
  ASSERT_EQ(chmod(readOnly.toLocal8Bit().constData(), 0444), 0);
  ASSERT_TRUE(
      SaveThroughDialog([this] { SaveKey(); }, readOnly, 0,
                        {[](QMessageBox* box) { Press(box, QMessageBox::Yes); }, ExpectWarning()}));
  EXPECT_EQ(ReadAll(readOnly), old);
  EXPECT_EQ(FilesIn(out_), QStringList{"locked.bmp"});

  // A folder as the target (the dialog itself would open it instead).
  const QString folder = out_ + "/folder.png";
  QDir().mkpath(folder);
  SaveExpectingFailure(folder, 2);
  EXPECT_TRUE(QFileInfo(folder).isDir());
  EXPECT_TRUE(FilesIn(folder).isEmpty());

  // The folder vanished while the dialog was open.
  const QString gone = out_ + "/gone";
  QDir().mkpath(gone);
  ModalSteps vanish;
  vanish
      .Then<QFileDialog>([&](QFileDialog* d) {
        QDir(gone).removeRecursively();
        FillSaveDialog(d, gone + "/view.jpg", 1);
      })
      .Then<QMessageBox>(ExpectWarning());
  vanish.Start();
  SaveKey();
  EXPECT_TRUE(vanish.Done());
  EXPECT_FALSE(QFileInfo::exists(gone));

  // A full disk: a 64 KiB tmpfs where one can be mounted, else a file-size
  // limit that makes the write fail the same way.
  const QString small = out_ + "/small";
  QDir().mkpath(small);
  Tmpfs disk(small, 0, "size=64k");
  std::unique_ptr<FileSizeLimit> limit;
  if (!disk.ok()) limit = std::make_unique<FileSizeLimit>(64 * 1024);
  const QString kept = small + "/view.bmp";
  writeOld(kept);
  ASSERT_GT(Frame().sizeInBytes(), 64 * 1024);
  SaveExpectingFailure(kept, 0);
  limit.reset();
  EXPECT_EQ(ReadAll(kept), old);
  EXPECT_EQ(FilesIn(small), QStringList{"view.bmp"});
  EXPECT_EQ(warnings_, 4);
}

TEST_F(SaveImage, UnwritableFolderWarns) {
  const QString locked = out_ + "/locked";
  QDir().mkpath(locked);
  // Permissions do not stop root: a read-only tmpfs does.
  std::unique_ptr<Tmpfs> readOnly;
  if (geteuid() == 0) {
    readOnly = std::make_unique<Tmpfs>(locked, MS_RDONLY, "size=64k");
    if (!readOnly->ok()) GTEST_SKIP() << "running as root and no read-only tmpfs can be mounted";
  } else {
    ASSERT_EQ(chmod(locked.toLocal8Bit().constData(), 0555), 0);
  }
  ASSERT_TRUE(SaveThroughDialog([this] { SaveKey(); }, locked + "/view.bmp", 0, {ExpectWarning()}));
  EXPECT_TRUE(FilesIn(locked).isEmpty());
  if (!readOnly) chmod(locked.toLocal8Bit().constData(), 0755);
}

// Sees whether anything opens a FIFO for reading while it lives, and lets
// such a reader go at once (it gets end of file) instead of hanging.
class FifoWatch {
 public:
  explicit FifoWatch(const QString& path) : path_(path.toLocal8Bit()) {
    ok_ = mkfifo(path_.constData(), 0644) == 0;
    thread_ = std::thread([this] {
      while (!stop_) {
        const int fd = open(path_.constData(), O_WRONLY | O_NONBLOCK);
        if (fd >= 0) {
          opened_ = true;
          close(fd);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
      }
    });
  }
  ~FifoWatch() {
    stop_ = true;
    thread_.join();
  }
  bool ok() const { return ok_; }
  bool Opened() const { return opened_; }

 private:
  QByteArray path_;
  bool ok_ = false;
  std::atomic<bool> stop_{false}, opened_{false};
  std::thread thread_;
};

// Sets a file's access time a day before its modification time, so that a
// read moves it (relatime); returns that access time.
time_t BackdateAccess(const QString& path) {
  struct stat st {};
  stat(path.toLocal8Bit().constData(), &st);
  const timespec times[2] = {{st.st_mtime - 86400, 0}, {0, UTIME_OMIT}};
  utimensat(AT_FDCWD, path.toLocal8Bit().constData(), times, 0);
  return st.st_mtime - 86400;
}
time_t AccessTime(const QString& path) {
  struct stat st {};
  stat(path.toLocal8Bit().constData(), &st);
  return st.st_atime;
}

// The file dialogs' icons and type names come from names alone: a FIFO, or
// a file such as /proc/kmsg, blocks whoever reads it.
TEST(FileDialogTypes, FilesAreNeverOpened) {
  const QString dir = QString::fromStdString(TempDir());
  NameOnlyIconProvider provider;
  const QString pipe = dir + "/pipe";
  {
    FifoWatch fifo(pipe);
    ASSERT_TRUE(fifo.ok());
    EXPECT_FALSE(provider.type(QFileInfo(pipe)).isEmpty());
    provider.icon(QFileInfo(pipe));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(fifo.Opened());
  }
  // Regular files: typed by name (a.png is a PNG image whatever it holds),
  // and never read, which a read's access time would show.
  const QString png = dir + "/a.png", plain = dir + "/kmsg", control = dir + "/control";
  for (const QString& path : {png, plain, control}) {
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write("\x89PNG\r\n\x1a\n not really");
  }
  const time_t before = BackdateAccess(control);
  {
    QFile f(control);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    f.readAll();
  }
  if (AccessTime(control) == before) GTEST_SKIP() << "reads leave no access time on " << TempDir();
  for (const QString& path : {png, plain}) {
    const time_t set = BackdateAccess(path);
    const QString type = provider.type(QFileInfo(path));
    provider.icon(QFileInfo(path));
    EXPECT_EQ(AccessTime(path), set) << path.toStdString() << " was read";
    if (path == png) {
      EXPECT_EQ(type, QMimeDatabase().mimeTypeForName("image/png").comment());
    }
  }
}

// The dialog comes back to the folder of the last picture written, never to
// one that failed, with the filter chosen last.
TEST_F(SaveImage, DialogKeepsTheLastGoodFolderAndTheLastFilter) {
  const QString good = out_ + "/good", bad = out_ + "/bad";
  QDir().mkpath(good);
  QDir().mkpath(bad);
  ASSERT_TRUE(SaveThroughDialog([this] { SaveKey(); }, good + "/a.png", 2));
  // Permissions do not stop root: a read-only tmpfs does.
  std::unique_ptr<Tmpfs> readOnly;
  if (geteuid() == 0) {
    readOnly = std::make_unique<Tmpfs>(bad, MS_RDONLY, "size=64k");
    if (!readOnly->ok()) GTEST_SKIP() << "running as root and no read-only tmpfs can be mounted";
  } else {
    ASSERT_EQ(chmod(bad.toLocal8Bit().constData(), 0555), 0);
  }
  ASSERT_TRUE(SaveThroughDialog([this] { SaveKey(); }, bad + "/b.jpg", 1, {ExpectWarning()}));

  // The next dialog: in good/, JPEG still chosen; only a name is typed.
  ModalSteps s;
  s.Then<QFileDialog>([&](QFileDialog* d) {
    EXPECT_EQ(QDir(d->directory()).canonicalPath(), QDir(good).canonicalPath());
    auto* types = d->findChild<QComboBox*>(QStringLiteral("fileTypeCombo"));
    EXPECT_TRUE(types && types->currentIndex() == 1);
    EXPECT_NE(dynamic_cast<NameOnlyIconProvider*>(d->iconProvider()), nullptr);
    auto* name = d->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
    auto* buttons = d->findChild<QDialogButtonBox*>(QStringLiteral("buttonBox"));
    if (!name || !buttons) return d->reject();
    name->setText(QStringLiteral("c"));
    buttons->button(QDialogButtonBox::Save)->click();
  });
  s.Start();
  SaveKey();
  ASSERT_TRUE(s.Done());
  QImageReader reader(good + "/c");
  reader.setDecideFormatFromContent(true);
  EXPECT_EQ(reader.format().toStdString(), "jpeg");
  if (!readOnly) chmod(bad.toLocal8Bit().constData(), 0755);
}

// Without OpenGL there is no picture: the command warns and writes nothing.
TEST(SaveImageNoGL, WarnsAndWritesNothing) {
  const char* integration = getenv("QT_XCB_GL_INTEGRATION");
  if (!integration || std::string(integration) != "none")
    GTEST_SKIP() << "needs QT_XCB_GL_INTEGRATION=none";
  const QString dir = QString::fromStdString(TempDir()) + "/nogl";
  QDir().mkpath(dir);
  MainFormOptions o;
  o.exePath = (dir + "/tarnelle").toStdString();
  o.iniPath = (dir + "/tarnelle.ini").toStdString();
  o.readPlugins = false;
  QStringList titles;
  ModalSteps s;
  auto record = [&](QMessageBox* box) {
    titles << box->windowTitle();
    Press(box, QMessageBox::Ok);
  };
  s.Then<QMessageBox>(record).Then<QMessageBox>(record);
  s.Start();
  TMainForm w(o);
  w.show();
  ASSERT_TRUE(WaitFor([&] { return s.StepsDone() == 1 && w.PreviewReady(); }));
  ASSERT_TRUE(w.Preview()->GLFailed());
  EXPECT_FALSE(ViewImageExport::Save(&w, *w.Preview(), dir + "/view.bmp", 0, 50));
  EXPECT_TRUE(s.Done());
  EXPECT_EQ(titles, QStringList({"Tarnelle Error", "Tarnelle Warning"}));
  EXPECT_FALSE(QFileInfo::exists(dir + "/view.bmp"));
  w.close();
}

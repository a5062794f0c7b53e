// tarnelle --thumbnail SIZE IN OUT, as file managers run it: a square PNG
// of every sample, nothing at all for files that do not load, readers
// that can neither write nor connect, and a failure of the environment
// told apart from one of the file.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <QImage>
#include <QSet>
#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <vector>

#include "app/thumbnail_cache.h"
#include "tests/test_util.h"

namespace fs = std::filesystem;

namespace {

bool Exists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

std::string ReadFile(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

TEST(Thumbnail, EverySampleGivesASquarePictureOfTheModel) {
  std::vector<std::string> samples;
  for (const auto& e : fs::directory_iterator(TARNELLE_SAMPLES))
    if (e.is_regular_file()) samples.push_back(e.path().string());
  if (samples.empty()) GTEST_SKIP() << "no samples in " << TARNELLE_SAMPLES;
  const QRgb background = qRgb(0, 77, 102);  // the default background colour
  for (const std::string& sample : samples) {
    SCOPED_TRACE(sample);
    const std::string out = TempDir() + "/thumb.png";
    unlink(out.c_str());
    const RunResult r = RunTarnelle({"--thumbnail", "128", sample, out});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(r.out.empty()) << r.out;
    QImage image(QString::fromStdString(out), "PNG");
    ASSERT_FALSE(image.isNull());
    EXPECT_EQ(image.width(), 128);
    EXPECT_EQ(image.height(), 128);
    // The model covers a fair part of the picture and is shaded, not one
    // flat colour.
    QSet<QRgb> colours;
    int modelPixels = 0;
    for (int y = 0; y < image.height(); ++y)
      for (int x = 0; x < image.width(); ++x) {
        const QRgb c = image.pixel(x, y) | 0xff000000u;
        colours.insert(c);
        if (c != background) ++modelPixels;
      }
    EXPECT_GT(modelPixels, 128 * 128 / 20);
    EXPECT_GT(colours.size(), 3);
    EXPECT_EQ(image.pixel(0, 0) | 0xff000000u, background);
  }
}

TEST(Thumbnail, FilesThatDoNotLoadLeaveNoPicture) {
  const std::string samples = TARNELLE_SAMPLES;
  if (!Exists(samples + "/torus_binary.stl")) GTEST_SKIP() << "no samples in " << samples;
  const std::string stl = ReadFile(samples + "/torus_binary.stl");
  const std::string cob = ReadFile(samples + "/torus_binary.cob");
  std::string garbage;
  for (uint32_t i = 0, x = 12345; i < 4096; ++i, x = x * 1103515245u + 12345u)
    garbage.push_back(static_cast<char>(x >> 24));
  // A file over the size limit is turned away before it is read: a sparse
  // one costs nothing to make.
  const std::string huge = TempDir() + "/huge.stl";
  const int fd = open(huge.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(ftruncate(fd, (200LL << 20) + 1), 0);
  close(fd);
  const std::vector<std::string> inputs = {
      WriteTemp("truncated.stl", stl.substr(0, stl.size() / 2)),
      WriteTemp("truncated.cob", cob.substr(0, cob.size() / 2)),
      WriteTemp("garbage.mqo", garbage),
      WriteTemp("empty.stl", ""),
      huge,
      TempDir() + "/missing.stl",
      TempDir(),
  };
  for (const std::string& in : inputs) {
    SCOPED_TRACE(in);
    const std::string out = TempDir() + "/none.png";
    unlink(out.c_str());
    const RunResult r = RunTarnelle({"--thumbnail", "128", in, out});
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_FALSE(Exists(out));
    EXPECT_FALSE(r.err.empty());
  }
}

TEST(Thumbnail, BadArgumentsAreAUsageError) {
  const std::string obj = WriteTemp("thumb_tri.obj", "v 0 0 0\nv 1 0 0\nv 0 1 0\nf 1 2 3\n");
  const std::string out = TempDir() + "/bad.png";
  const std::vector<std::vector<std::string>> cases = {
      {"--thumbnail", "0", obj, out},   {"--thumbnail", "5000", obj, out},
      {"--thumbnail", "12x", obj, out}, {"--thumbnail", "128", obj},
      {"--thumbnail", "-1", obj, out},  {"--thumbnail", "128", obj, out, "extra"},
  };
  for (const auto& args : cases) {
    unlink(out.c_str());
    const RunResult r = RunTarnelle(args);
    EXPECT_EQ(r.status, 2) << args[1];
    EXPECT_FALSE(Exists(out));
  }
}

TEST(Thumbnail, PictureCarriesTheFreedesktopTags) {
  const std::string sample = std::string(TARNELLE_SAMPLES) + "/icosphere.obj";
  if (!Exists(sample)) GTEST_SKIP() << "no samples in " << TARNELLE_SAMPLES;
  const std::string out = TempDir() + "/tagged.png";
  const RunResult r = RunTarnelle({"--thumbnail", "64", sample, out});
  ASSERT_EQ(r.status, 0) << r.err;
  struct stat st {};
  ASSERT_EQ(stat(sample.c_str(), &st), 0);
  auto tags = PngTextTags(QByteArray::fromStdString(ReadFile(out)));
  EXPECT_EQ(tags["Thumb::URI"], "file://" + fs::canonical(sample).string());
  EXPECT_EQ(tags["Thumb::MTime"], std::to_string(st.st_mtim.tv_sec));
  EXPECT_EQ(tags["Thumb::Size"], std::to_string(st.st_size));
  ASSERT_EQ(stat(out.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
}

// The file list hands one child several files: each gets its own picture
// (the same as alone), a bad one in between costs only itself, and every
// file is reported on stdout once done.
TEST(Thumbnail, SeveralFilesInOneRunEachGetTheirOwnPicture) {
  const std::string a = std::string(TARNELLE_SAMPLES) + "/icosphere.obj";
  const std::string b = std::string(TARNELLE_SAMPLES) + "/torus_binary.stl";
  if (!Exists(a) || !Exists(b)) GTEST_SKIP() << "no samples in " << TARNELLE_SAMPLES;
  const std::string dir = TempDir() + "/batch";
  fs::create_directories(dir);
  const std::string bad = WriteTemp("batch_bad.obj", "v 0 0 0\nf 1 2 3\n");
  for (const char* n : {"1.png", "2.png", "3.png", "alone.png"}) unlink((dir + "/" + n).c_str());
  const RunResult r =
      RunTarnelle({"--thumbnail", "64", a, dir + "/1.png", bad, dir + "/2.png", b, dir + "/3.png"});
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_EQ(r.out, "0 ok\n1 failed\n2 ok\n");
  EXPECT_TRUE(Exists(dir + "/1.png"));
  EXPECT_FALSE(Exists(dir + "/2.png"));
  ASSERT_EQ(RunTarnelle({"--thumbnail", "64", b, dir + "/alone.png"}).status, 0);
  EXPECT_EQ(QImage(QString::fromStdString(dir + "/3.png")),
            QImage(QString::fromStdString(dir + "/alone.png")));
}

// A copy of tarnelle in a folder of its own, with these plug-ins in its
// Plugin folder (it finds them from its own path).
std::string InstallTree(const char* name, const std::vector<std::string>& plugins) {
  const std::string dir = TempDir() + "/" + name;
  fs::create_directories(dir + "/Plugin");
  fs::copy_file(std::string(TARNELLE_BINARY_DIR) + "/app/tarnelle", dir + "/tarnelle",
                fs::copy_options::overwrite_existing);
  for (const std::string& p : plugins) {
    const std::string link = dir + "/Plugin/" + fs::path(p).filename().string();
    if (!fs::exists(link)) fs::create_symlink(p, link);
  }
  return dir;
}

std::string Hostile(const char* kind) {
  return std::string(TARNELLE_HOSTILE_PLUGINS) + "/tp_hostile_" + kind + ".so";
}

// Reader code a crafted file runs stands in as plug-ins: in the thumbnailer
// they run behind the sandbox. They cannot write a file beside the model or
// elsewhere, connect, kill the process that started them, change a file's
// metadata, read outside the model's folders, forge the "N ok" lines or a
// reply on the pipe; one that crashes or spins costs its own file only:
// the files after it in the same run still get their pictures.
TEST(Thumbnail, HostileReadersAreContainedAndCostOnlyTheirOwnFile) {
  const std::string good = std::string(TARNELLE_SAMPLES) + "/cube.stl";
  if (!Exists(good)) GTEST_SKIP() << "no samples in " << TARNELLE_SAMPLES;
  const char* kinds[] = {"write", "socket", "kill",  "meta", "read",
                         "print", "forge",  "crash", "spin"};
  std::vector<std::string> plugins;
  for (const char* k : kinds) plugins.push_back(Hostile(k));
  const std::string dir = InstallTree("hostile", plugins);
  // Readable: the models' folder and the one above it; the rest of the
  // temporary folder is outside.
  const std::string models = TempDir() + "/hostile/models";
  fs::create_directories(models);
  const std::string beside = models + "/written.txt", elsewhere = TempDir() + "/written.txt";
  const std::string secret = WriteTemp("secret.txt", "the secret\n");
  fs::permissions(secret, fs::perms::owner_read | fs::perms::owner_write);
  LoopbackListener listener;
  ASSERT_GT(listener.port, 0);
  // What standard error says of each: the reader's own message in the
  // load log, or the parent's word on how the drawing process ended.
  struct Case {
    const char* name;
    std::string firstLine;
    bool fromReader;
    std::string said;
  };
  const Case cases[] = {
      {"beside.write", beside, true, "...write refused: "},
      {"elsewhere.write", elsewhere, true, "...write refused: "},
      {"port.socket", std::to_string(listener.port), true, "...socket refused: "},
      {"parent.kill", "parent", true, "...kill refused: "},
      {"secret.meta", secret, true, "...meta refused"},
      {"secret.read", secret, true, "...read refused: "},
      {"lines.print", "", true, "...printed"},
      {"reply.forge", "", false, "tarnelle: the reader sent a malformed reply"},
      {"x.crash", "", false, "tarnelle: the reader ended with signal 11 (Segmentation fault)"},
      {"x.spin", "", false, "tarnelle: thumbnail time limit reached"},
  };
  const std::string out = TempDir() + "/hostile-out";
  fs::create_directories(out);
  // Each hostile file followed by a good one.
  std::vector<std::string> args = {"--thumbnail", "64"};
  std::string lines;
  int n = 0;
  for (const Case& c : cases) {
    std::ofstream(models + "/" + c.name) << c.firstLine << "\n";
    args.insert(args.end(), {models + "/" + c.name, out + "/" + std::to_string(n) + ".png", good,
                             out + "/" + std::to_string(n + 1) + ".png"});
    lines += std::to_string(n) + " failed\n" + std::to_string(n + 1) + " ok\n";
    n += 2;
  }
  const RunResult r = RunExecutable(dir + "/tarnelle", args);
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_EQ(r.out, lines);
  for (const Case& c : cases) {
    const std::string path = models + "/" + c.name;
    const std::string line = c.fromReader ? "file: " + path + "\n" + c.said : c.said + ": " + path;
    EXPECT_NE(r.err.find(line), std::string::npos) << line << "\n" << r.err;
  }
  // What the reader printed itself goes nowhere.
  EXPECT_EQ(r.err.find("stderr line"), std::string::npos);
  EXPECT_FALSE(Exists(beside));
  EXPECT_FALSE(Exists(elsewhere));
  EXPECT_FALSE(listener.Contacted());
  EXPECT_EQ(fs::status(secret).permissions(), fs::perms::owner_read | fs::perms::owner_write);
  EXPECT_EQ(r.err.find("the secret"), std::string::npos);
  for (int i = 0; i < n; i += 2) {
    EXPECT_FALSE(Exists(out + "/" + std::to_string(i) + ".png")) << i;
    EXPECT_EQ(QImage(QString::fromStdString(out + "/" + std::to_string(i + 1) + ".png")),
              QImage(QString::fromStdString(out + "/1.png")))
        << i + 1;
  }
}

// The file list's worker: requests one after another on standard input,
// an answer line each. A reader that crashes or forges a reply costs its
// own file; the worker goes on with a new drawer, into another folder too.
TEST(Thumbnail, TheWorkerGoesOnAfterAReaderKilledItsDrawer) {
  const std::string good = std::string(TARNELLE_SAMPLES) + "/cube.stl";
  if (!Exists(good)) GTEST_SKIP() << "no samples in " << TARNELLE_SAMPLES;
  const std::string dir = InstallTree("worker", {Hostile("crash"), Hostile("forge")});
  const std::string models = dir + "/models", out = dir + "/out";
  fs::create_directories(models);
  fs::create_directories(out);
  fs::copy_file(good, models + "/a.stl", fs::copy_options::overwrite_existing);
  for (const char* name : {"x.crash", "reply.forge"}) std::ofstream(models + "/" + name) << "\n";
  const struct {
    std::string in;
    bool ok;
  } requests[] = {
      {models + "/a.stl", true},
      {models + "/x.crash", false},
      {models + "/a.stl", true},
      {models + "/reply.forge", false},
      {good, true},
      {models + "/missing.stl", false},
      {models + "/a.stl", true},
  };
  std::string input, answers;
  for (size_t i = 0; i < std::size(requests); ++i) {
    input += requests[i].in + '\0' + out + "/" + std::to_string(i) + ".png" + '\0';
    answers += requests[i].ok ? "ok\n" : "failed\n";
  }
  const std::string feed = WriteTemp("worker-requests", input);
  const RunResult r = RunExecutable(
      "/bin/sh", {"-c", "exec \"$0\" --thumbnail-worker 64 < \"$1\"", dir + "/tarnelle", feed});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, answers);
  ASSERT_EQ(RunTarnelle({"--thumbnail", "64", good, out + "/alone.png"}).status, 0);
  const QImage alone(QString::fromStdString(out + "/alone.png"));
  for (size_t i = 0; i < std::size(requests); ++i) {
    const QString png = QString::fromStdString(out + "/" + std::to_string(i) + ".png");
    EXPECT_EQ(Exists(png.toStdString()), requests[i].ok) << i;
    if (requests[i].ok) {
      EXPECT_EQ(QImage(png), alone) << i;
    }
  }
}

// A worker's drawer reads below one folder: one for a file elsewhere is a
// new drawer, and a reader there cannot read what the folder before held.
TEST(Thumbnail, AWorkersNextFolderCannotReadTheFolderBefore) {
  const std::string good = std::string(TARNELLE_SAMPLES) + "/cube.stl";
  if (!Exists(good)) GTEST_SKIP() << "no samples in " << TARNELLE_SAMPLES;
  const std::string dir = InstallTree("worker-folders", {Hostile("read")});
  const std::string first = dir + "/a/deep", second = dir + "/b/deep", out = dir + "/out";
  for (const std::string& d : {first, second, out}) fs::create_directories(d);
  fs::copy_file(good, first + "/a.stl", fs::copy_options::overwrite_existing);
  const std::string secret = first + "/secret.txt";
  std::ofstream(secret) << "the secret\n";
  std::ofstream(second + "/x.read") << secret << "\n";
  const std::string input = first + "/a.stl" + '\0' + out + "/0.png" + '\0' + second + "/x.read" +
                            '\0' + out + "/1.png" + '\0';
  const std::string feed = WriteTemp("worker-folder-requests", input);
  const RunResult r = RunExecutable(
      "/bin/sh", {"-c", "exec \"$0\" --thumbnail-worker 64 < \"$1\"", dir + "/tarnelle", feed});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "ok\nfailed\n");
  EXPECT_NE(r.err.find("...read refused: "), std::string::npos) << r.err;
  EXPECT_EQ(r.err.find("the secret"), std::string::npos) << r.err;
}

// No OpenGL, or an OUT that cannot be written, says nothing about IN: a
// status of its own, and in a run of several files no line for the files
// not finished.
TEST(Thumbnail, AFailureOfTheEnvironmentHasAStatusOfItsOwn) {
  const std::string good = std::string(TARNELLE_SAMPLES) + "/cube.stl";
  if (!Exists(good)) GTEST_SKIP() << "no samples in " << TARNELLE_SAMPLES;
  const std::string dir = TempDir() + "/environment";
  fs::create_directories(dir);
  struct Case {
    const char* what;
    std::vector<std::string> args;
    std::vector<std::string> env;
    std::string out;
  };
  const std::string nowhere = dir + "/missing/x.png";
  const Case cases[] = {
      {"no OpenGL",
       {"--thumbnail", "64", good, dir + "/a.png"},
       // The OpenGL dispatch finds no driver at all.
       {"__EGL_VENDOR_LIBRARY_FILENAMES=" + dir + "/none.json"},
       ""},
      {"no OpenGL, several files",
       {"--thumbnail", "64", good, dir + "/a.png", good, dir + "/b.png"},
       {"__EGL_VENDOR_LIBRARY_FILENAMES=" + dir + "/none.json"},
       ""},
      {"OUT not writable", {"--thumbnail", "64", good, nowhere}, {}, ""},
      {"the second OUT not writable",
       {"--thumbnail", "64", good, dir + "/a.png", good, nowhere, good, dir + "/b.png"},
       {},
       "0 ok\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    fs::remove(dir + "/a.png");
    fs::remove(dir + "/b.png");
    const RunResult r = RunTarnelle(c.args, c.env);
    EXPECT_EQ(r.status, 3) << r.err;
    EXPECT_EQ(r.out, c.out);
    EXPECT_FALSE(r.err.empty());
    EXPECT_EQ(Exists(dir + "/a.png"), !c.out.empty());
    EXPECT_FALSE(Exists(dir + "/b.png"));
  }
  EXPECT_FALSE(fs::exists(dir + "/missing"));
}

TEST(ThumbnailCache, NamesFollowTheSharedRules) {
  // The example of the freedesktop thumbnail rules.
  EXPECT_EQ(Md5Hex("file:///home/jens/photos/me.png"), "c6ee772d9e49320e97ec29a7eb5b1697");
  const std::pair<std::string, std::string> uris[] = {
      {"/tmp/plain-name_1.stl", "file:///tmp/plain-name_1.stl"},
      {"/a b/c%d#e?f", "file:///a%20b/c%25d%23e%3Ff"},
      {"/x/\xc3\xbc;[]{}\"<>", "file:///x/%C3%BC%3B%5B%5D%7B%7D%22%3C%3E"},
      {"/k/!$&'()*+,=:@~", "file:///k/!$&'()*+,=:@~"},
  };
  for (const auto& [path, uri] : uris) EXPECT_EQ(FileUri(path), uri) << path;
  const std::string md5 = Md5Hex("file:///m.stl");
  EXPECT_EQ(ThumbnailPath("/r", "file:///m.stl", 128), "/r/normal/" + md5 + ".png");
  EXPECT_EQ(ThumbnailPath("/r", "file:///m.stl", 256), "/r/large/" + md5 + ".png");
  EXPECT_EQ(FailPath("/r", "file:///m.stl"), "/r/fail/" + FailFolderName() + "/" + md5 + ".png");
  EXPECT_EQ(FailFolderName().rfind("tarnelle-", 0), 0u);

  const char* old = getenv("XDG_CACHE_HOME");
  const std::string keep = old ? old : "";
  setenv("XDG_CACHE_HOME", "/c", 1);
  EXPECT_EQ(ThumbnailCacheRoot(), "/c/thumbnails");
  setenv("XDG_CACHE_HOME", "relative", 1);  // not absolute: ignored
  EXPECT_EQ(ThumbnailCacheRoot(), std::string(getenv("HOME")) + "/.cache/thumbnails");
  if (old)
    setenv("XDG_CACHE_HOME", keep.c_str(), 1);
  else
    unsetenv("XDG_CACHE_HOME");
}

TEST(ThumbnailCache, AThumbnailMatchesOnlyTheFileAsItWas) {
  const std::string file = WriteTemp("model.stl", "solid x\nendsolid x\n");
  ThumbSource src;
  ASSERT_TRUE(StatThumbSource(file, src));
  const std::string folder = TempDir() + "/cache/normal";
  ASSERT_TRUE(MakeCacheFolder(folder));
  const std::string png = folder + "/" + Md5Hex(src.uri) + ".png";
  QImage picture(8, 8, QImage::Format_RGB32);
  picture.fill(Qt::red);
  std::string error;
  ASSERT_TRUE(WriteThumbnail(picture, src, png, error)) << error;
  QImage read;
  EXPECT_TRUE(ThumbnailMatches(png, src, &read));
  EXPECT_EQ(read.pixel(3, 3), QColor(Qt::red).rgb());
  struct stat st {};
  ASSERT_EQ(stat(png.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  size_t files = 0;
  for (const auto& e : fs::directory_iterator(folder)) files += e.is_regular_file();
  EXPECT_EQ(files, 1u);  // no temporary file left behind

  struct Case {
    const char* what;
    ThumbSource source;
  };
  ThumbSource otherTime = src, otherSize = src, otherUri = src;
  otherTime.mtime += 1;
  otherSize.size += 1;
  otherUri.uri += "x";
  for (const Case& c : {Case{"mtime", otherTime}, Case{"size", otherSize}, Case{"uri", otherUri}})
    EXPECT_FALSE(ThumbnailMatches(png, c.source)) << c.what;
  // Other programs may leave out the size; URI and time still decide.
  QImage untagged = picture;
  untagged.setText("Thumb::URI", QString::fromStdString(src.uri));
  untagged.setText("Thumb::MTime", QString::number(src.mtime));
  ASSERT_TRUE(untagged.save(QString::fromStdString(png), "PNG"));
  EXPECT_TRUE(ThumbnailMatches(png, src));
  EXPECT_TRUE(ThumbnailMatches(png, otherSize));
  EXPECT_FALSE(ThumbnailMatches(png, otherTime));
  // A file that is no PNG at all matches nothing.
  std::ofstream(png) << "not a png";
  EXPECT_FALSE(ThumbnailMatches(png, src));

  const std::string root = TempDir() + "/cache";
  ASSERT_TRUE(RecordThumbnailFailure(root, src, error)) << error;
  EXPECT_TRUE(ThumbnailMatches(FailPath(root, src.uri), src));
  EXPECT_FALSE(ThumbnailMatches(FailPath(root, src.uri), otherTime));
}

// Cached pictures are read on the window's thread: their tags are parsed
// within bounds, whatever another program wrote.
std::string Chunk(const char* type, const std::string& data) {
  std::string c;
  for (int shift = 24; shift >= 0; shift -= 8) c += static_cast<char>(data.size() >> shift & 0xFF);
  c += type;
  c += data;
  c += std::string(4, '\0');  // the reader does not check the sum
  return c;
}

std::string Deflated(size_t zeros) {
  z_stream z{};
  deflateInit(&z, Z_BEST_COMPRESSION);
  std::vector<unsigned char> in(1 << 20, 0), out(1 << 20);
  std::string packed;
  for (size_t left = zeros;;) {
    const size_t n = std::min(left, in.size());
    left -= n;
    z.next_in = in.data();
    z.avail_in = static_cast<uInt>(n);
    int rc;
    do {
      z.next_out = out.data();
      z.avail_out = static_cast<uInt>(out.size());
      rc = deflate(&z, left == 0 ? Z_FINISH : Z_NO_FLUSH);
      packed.append(reinterpret_cast<char*>(out.data()), out.size() - z.avail_out);
    } while (z.avail_out == 0);
    if (left == 0 && rc == Z_STREAM_END) break;
  }
  deflateEnd(&z);
  return packed;
}

long MaxRssKb() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return u.ru_maxrss;
}

TEST(ThumbnailCache, TagsAreReadWithinBounds) {
  const std::string sig("\x89PNG\r\n\x1a\n", 8);
  const std::string uri = "file:///models/a.stl";
  // A compressed tag is read; one that inflates to 256 MiB is dropped
  // without being inflated.
  std::string small = "Thumb::URI" + std::string(2, '\0');
  uLongf packedSize = compressBound(uri.size());
  std::string packed(packedSize, '\0');
  ASSERT_EQ(compress(reinterpret_cast<Bytef*>(packed.data()), &packedSize,
                     reinterpret_cast<const Bytef*>(uri.data()), uri.size()),
            Z_OK);
  small += packed.substr(0, packedSize);
  auto tags =
      PngTextTags(QByteArray::fromStdString(sig + Chunk("zTXt", small) + Chunk("IEND", "")));
  EXPECT_EQ(tags["Thumb::URI"], uri);
  const std::string bomb = "Thumb::URI" + std::string(2, '\0') + Deflated(size_t{256} << 20);
  const QByteArray png = QByteArray::fromStdString(sig + Chunk("zTXt", bomb) + Chunk("IEND", ""));
  const long before = MaxRssKb();
  tags = PngTextTags(png);
  EXPECT_EQ(tags.count("Thumb::URI"), 0u);
  EXPECT_LT(MaxRssKb() - before, 64 * 1024) << "the tag was inflated";

  // Times beyond a 64-bit number are refused, not wrapped (19 nines wrap
  // to the time below).
  const std::string file = WriteTemp("times.stl", "solid x\nendsolid x\n");
  ThumbSource src;
  ASSERT_TRUE(StatThumbSource(file, src));
  const std::string path = TempDir() + "/times.png";
  struct Case {
    const char* text;
    int64_t mtime;
    bool matches;
  };
  for (const Case& c : {Case{"9999999999999999999", INT64_C(-8446744073709551617), false},
                        Case{"9223372036854775808", INT64_MIN, false},
                        Case{"-9223372036854775808", INT64_MIN, true},
                        Case{"9223372036854775807", INT64_MAX, true}}) {
    SCOPED_TRACE(c.text);
    QImage picture(4, 4, QImage::Format_RGB32);
    picture.fill(Qt::blue);
    picture.setText("Thumb::URI", QString::fromStdString(src.uri));
    picture.setText("Thumb::MTime", c.text);
    ASSERT_TRUE(picture.save(QString::fromStdString(path), "PNG"));
    ThumbSource at = src;
    at.mtime = c.mtime;
    EXPECT_EQ(ThumbnailMatches(path, at), c.matches);
  }
}

}  // namespace

// tarnelle --thumbnail SIZE IN OUT, as file managers run it: a square PNG
// of every sample, and nothing at all for files that do not load.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QImage>
#include <QSet>
#include <filesystem>
#include <fstream>
#include <sstream>

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

}  // namespace

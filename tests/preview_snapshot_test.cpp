// tarnelle --snapshot: headless pictures written without any display.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QImage>
#include <QImageReader>
#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "tests/preview_fixtures.h"
#include "tests/test_util.h"

namespace {

// A square facing the viewer (counter-clockwise from +z).
const char kSquareObj[] = "v -1 -1 0\nv 1 -1 0\nv 1 1 0\nv -1 1 0\nf 1 2 3 4\n";

// Runs tarnelle with no display in its environment.
RunResult RunHeadless(const std::vector<std::string>& args) {
  const char* display = getenv("DISPLAY");
  const std::string saved = display ? display : "";
  unsetenv("DISPLAY");
  unsetenv("WAYLAND_DISPLAY");
  RunResult r = RunTarnelle(args);
  if (display) setenv("DISPLAY", saved.c_str(), 1);
  return r;
}

long FileSize(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? static_cast<long>(st.st_size) : -1;
}

TEST(PreviewSnapshot, WritesEachFormatAtTheGivenSize) {
  const std::string obj = WriteTemp("snap_square.obj", kSquareObj);
  const std::string dir = TempDir();
  struct Case {
    const char* name;
    const char* format;
    int tol;
  } cases[] = {{"a.png", "png", 0}, {"b.BMP", "bmp", 0}, {"c.jpg", "jpeg", 12}};
  const QRgb lit = Rgb(LitFacing(200 / 255.0), LitFacing(100 / 255.0), LitFacing(50 / 255.0));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string out = dir + "/" + c.name;
    RunResult r = RunHeadless(
        {"--snapshot", out, "--size=96x64", "--background=10,20,30", "--object=200,100,50", obj});
    ASSERT_EQ(r.status, 0) << r.err;
    QImageReader reader(QString::fromStdString(out));
    EXPECT_EQ(reader.format().toStdString(), c.format);
    const QImage img = reader.read();
    ASSERT_FALSE(img.isNull()) << reader.errorString().toStdString();
    EXPECT_EQ(img.size(), QSize(96, 64));
    EXPECT_TRUE(Near(img.pixel(2, 2), qRgb(10, 20, 30), c.tol));
    EXPECT_TRUE(Near(img.pixel(48, 32), lit, c.tol))
        << QColor(img.pixel(48, 32)).name().toStdString();
  }
}

TEST(PreviewSnapshot, OptionsSteerTheScene) {
  const std::string obj = WriteTemp("snap_square2.obj", kSquareObj);
  const std::string out = TempDir() + "/opt.png";
  const QRgb bg = qRgb(0, 77, 102);
  // Wire: unlit lines in the object colour, the middle empty.
  RunResult r = RunHeadless({"--snapshot", out, "--size=80x60", "--render-type=3", obj});
  ASSERT_EQ(r.status, 0) << r.err;
  QImage img(QString::fromStdString(out));
  EXPECT_TRUE(Near(img.pixel(40, 30), bg));
  int lines = 0;
  for (int x = 0; x < 80; ++x)
    for (int y = 0; y < 60; ++y)
      if (!Near(img.pixel(x, y), bg)) {
        ++lines;
        EXPECT_TRUE(Near(img.pixel(x, y), qRgb(222, 222, 222)));
      }
  EXPECT_GT(lines, 50);
  // Culling front faces leaves only the background.
  r = RunHeadless({"--snapshot", out, "--size=80x60", "--cull=1", obj});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(CountNotBackground(QImage(QString::fromStdString(out)), bg, 0), 0);
  // Seen from the back (two-sided lighting) it is as bright as the front.
  r = RunHeadless({"--snapshot", out, "--size=80x60", "--view=1", obj});
  ASSERT_EQ(r.status, 0) << r.err;
  const double o = 222 / 255.0;
  EXPECT_TRUE(Near(QImage(QString::fromStdString(out)).pixel(40, 30),
                   Rgb(LitFacing(o), LitFacing(o), LitFacing(o))));
}

TEST(PreviewSnapshot, JpegQualityChangesTheFile) {
  const std::string obj = WriteTemp("snap_square3.obj", kSquareObj);
  const std::string q50 = TempDir() + "/q50.jpg", q100 = TempDir() + "/q100.jpg";
  ASSERT_EQ(RunHeadless({"--snapshot", q50, "--render-type=2", obj}).status, 0);
  ASSERT_EQ(RunHeadless({"--snapshot", q100, "--quality=100", "--render-type=2", obj}).status, 0);
  EXPECT_GT(FileSize(q100), FileSize(q50));
  EXPECT_GT(FileSize(q50), 0);
}

TEST(PreviewSnapshot, ModelsWithoutPolygonsAndFailures) {
  const std::string dir = TempDir();
  // Loaded but no polygons: the background alone, success.
  const std::string points = WriteTemp("snap_points.obj", "v 0 0 0\nv 1 1 1\n");
  const std::string out = dir + "/empty.png";
  RunResult r = RunHeadless({"--snapshot", out, "--size=32x32", points});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(CountNotBackground(QImage(QString::fromStdString(out)), qRgb(0, 77, 102), 0), 0);

  const std::string obj = WriteTemp("snap_square4.obj", kSquareObj);
  // Unknown picture type, unwritable path: status 1 with a reason.
  r = RunHeadless({"--snapshot", dir + "/x.gif", obj});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("x.gif"), std::string::npos) << r.err;
  EXPECT_EQ(FileSize(dir + "/x.gif"), -1);
  for (const char* name : {"/no/such/dir/x.png", "/no/such/dir/x.jpg"}) {
    r = RunHeadless({"--snapshot", name, obj});
    EXPECT_EQ(r.status, 1) << name;
    EXPECT_NE(r.err.find(name), std::string::npos) << r.err;
  }
  // A file that does not load: status 1 and no picture, nor a change to one
  // that was there.
  r = RunHeadless({"--snapshot", dir + "/missing.png", dir + "/missing.obj"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(FileSize(dir + "/missing.png"), -1);
  const std::string kept = WriteTemp("kept.png", "an earlier picture");
  r = RunHeadless({"--snapshot", kept, WriteTemp("snap_bad.obj", "v 0 0 0\nv 1 2\n")});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(FileSize(kept), 18);
}

TEST(PreviewSnapshot, NoPartialPictureIsLeftBehind) {
  const std::string dir = TempDir() + "/partial";
  ASSERT_EQ(mkdir(dir.c_str(), 0700), 0);
  const std::string obj = WriteTemp("snap_square5.obj", kSquareObj);
  // A good picture replaces the old file; one that cannot be put in place
  // (a folder holds the name) fails and leaves no temporary file.
  const std::string out = dir + "/a.png";
  WriteTemp("partial/a.png", "old");
  ASSERT_EQ(RunHeadless({"--snapshot", out, "--size=16x16", obj}).status, 0);
  EXPECT_FALSE(QImage(QString::fromStdString(out)).isNull());
  ASSERT_EQ(mkdir((dir + "/b.png").c_str(), 0700), 0);
  const RunResult r = RunHeadless({"--snapshot", dir + "/b.png", "--size=16x16", obj});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("b.png"), std::string::npos) << r.err;
  std::vector<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(dir))
    names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"a.png", "b.png"}));
}

}  // namespace

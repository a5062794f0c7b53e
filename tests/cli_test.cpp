// The headless command line: log lines, dumps and exit statuses.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "tests/test_util.h"

namespace {

const char kTriangle[] = "v 0 0 0\nv 1 0 0\nv 0 1 0\nf 1 2 3\n";

TEST(CommandLine, InfoPrintsTheLogOfEachFile) {
  const std::string good = WriteTemp("tri.obj", kTriangle);
  const std::string bad = WriteTemp("bad.obj", "v 0 0 0\nv 1 2\n");
  const std::string none = WriteTemp("points.obj", "v 1 2 3\nv 4 5 6\n");
  RunResult r = RunTarnelle({"--info", good, none, bad});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "----------\nWavefront: " + good + "\n > 頂点数 = 3, ポリゴン数 = 1\n" +
                       "----------\nWavefront: " + none +
                       "\n...ポリゴンデータが見つかりませんでした。\n" +
                       "----------\nfile: " + bad + "\n...データエラー (line:2)\n");
  r = RunTarnelle({"--info", good, none});
  EXPECT_EQ(r.status, 0);  // loaded, with or without polygons
  r = RunTarnelle({"--info", WriteTemp("x.unknown", "hello")});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("...対応形式が見つかりませんでした。"), std::string::npos);
}

TEST(CommandLine, DumpAndRaw) {
  const std::string path = WriteTemp("col.stl", [] {
    std::string s(80, ' ');
    PutU32(s, 1);
    for (int i = 0; i < 3; ++i) PutF32(s, 0);
    const float v[9] = {0.1f, 0, 0, 1, 0, 0, 0, 1, 0};
    for (float f : v) PutF32(s, f);
    PutU16(s, 0xFC00);
    return s;
  }());
  RunResult r = RunTarnelle({"--dump", "--raw", path});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "----------\nSTL format: " + path + "\n > 頂点数 = 3, ポリゴン数 = 1\n" +
                       "model 3 1\nv 0.100000001 0 0\nv 1 0 0\nv 0 1 0\nf 3 0 1 2 m 1 c 1 0 0\n");
  // Without --raw the prepared model follows, with its normals.
  r = RunTarnelle({"--dump", path});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out.rfind("model 3 1\n", std::string::npos) != std::string::npos, true);

  r = RunTarnelle({"--dump", "/nonexistent/x.obj"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(
      r.out,
      "----------\nfile: /nonexistent/x.obj\n...ファイルがオープンできませんでした。\nmodel 0 0\n");
}

TEST(CommandLine, FilterTimeAndUsage) {
  // A binary STL under a foreign extension is recognised by nobody, but
  // loads when its reader is chosen in the filter.
  std::string stl(80, ' ');
  PutU32(stl, 0);
  const std::string path = WriteTemp("model.dat", stl);
  RunResult r = RunTarnelle({"--info", path});
  EXPECT_EQ(r.status, 1);
  for (int item = 2; item < 12; ++item) {
    r = RunTarnelle({"--info", "--filter=" + std::to_string(item), "--no-plugins", path});
    if (r.out.find("STL format: ") != std::string::npos) break;
  }
  EXPECT_EQ(r.status, 0);

  r = RunTarnelle({"--info", "--time", WriteTemp("t.obj", kTriangle)});
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.err.find("time: read "), std::string::npos);
  EXPECT_NE(r.err.find(" ms, vertices 3, polygons 1\n"), std::string::npos);
  EXPECT_EQ(r.out.find("time:"), std::string::npos);

  r = RunTarnelle({"--help"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out.rfind("usage: tarnelle", 0), 0u);

  for (const auto& args : std::vector<std::vector<std::string>>{{"--info"},
                                                                {"--bogus", "--info", "x"},
                                                                {"--dump", "a", "b"},
                                                                {"--info", "--cull=7", "x"},
                                                                {"--info", "--textures=2", "x"},
                                                                {"--snapshot"}}) {
    r = RunTarnelle(args);
    EXPECT_EQ(r.status, 2) << args[0];
    EXPECT_TRUE(r.out.empty());
    EXPECT_NE(r.err.find("usage:"), std::string::npos);
  }
}

// Without any display: the viewer must not get as far as the toolkit.
const std::vector<std::string> kNoDisplay = {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"};

TEST(CommandLine, ArgumentsAreCheckedBeforeTheWindow) {
  RunResult r = RunTarnelle({"--version"}, kNoDisplay);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "tarnelle 1.69\n");

  // Usage errors: 2 with the usage, display or not.
  for (const auto& args : std::vector<std::vector<std::string>>{
           {"--bogus"}, {"a.obj", "b.obj"}, {"--share", "a.obj"}, {"--size=0x1", "--info", "a"}}) {
    r = RunTarnelle(args, kNoDisplay);
    EXPECT_EQ(r.status, 2) << args[0];
    EXPECT_TRUE(r.out.empty());
    EXPECT_NE(r.err.find("usage:"), std::string::npos) << r.err;
  }
}

TEST(CommandLine, ViewerWithoutADisplaySaysSoInOneLine) {
  if (!TARNELLE_TEST_VIEWER) GTEST_SKIP() << "this build has no viewer window";
  // One line naming what works without a display, and status 1.
  const std::string tri = WriteTemp("view.obj", kTriangle);
  std::vector<std::string> badDisplay = kNoDisplay;
  badDisplay.push_back("DISPLAY=:32109");  // no X server listens there
  for (const auto& env : {kNoDisplay, badDisplay}) {
    for (const auto& args : std::vector<std::vector<std::string>>{{}, {tri}}) {
      const RunResult r = RunTarnelle(args, env);
      EXPECT_EQ(r.status, 1) << env.back();
      EXPECT_TRUE(r.out.empty());
      EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
      for (const char* mode : {"--info", "--dump", "--snapshot"})
        EXPECT_NE(r.err.find(mode), std::string::npos) << r.err;
      EXPECT_EQ(r.err.find("usage:"), std::string::npos) << r.err;
    }
  }
}

TEST(CommandLine, OptionsMayFollowTheFiles) {
  const std::string tri = WriteTemp("after.obj", kTriangle);
  const RunResult before = RunTarnelle({"--dump", "--angle=10", "--share", tri}, kNoDisplay);
  ASSERT_EQ(before.status, 0) << before.err;
  for (const auto& args : std::vector<std::vector<std::string>>{
           {tri, "--dump", "--angle=10", "--share"}, {"--dump", tri, "--share", "--angle=10"}}) {
    const RunResult r = RunTarnelle(args, kNoDisplay);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, before.out);
  }
  // After "--" everything is a file name.
  const RunResult r = RunTarnelle({"--info", "--", "--share"}, kNoDisplay);
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("file: --share\n"), std::string::npos) << r.out;
}

}  // namespace

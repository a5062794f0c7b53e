// The sample OFF plug-in, loaded by the tarnelle executable from its Plugin
// folder.
#include <gtest/gtest.h>

#include <string>

#include "tests/test_util.h"

namespace {

std::string WithPath(std::string text, const std::string& path) {
  for (size_t at; (at = text.find("PATH")) != std::string::npos;) text.replace(at, 4, path);
  return text;
}

TEST(OffPlugin, ReadsFilesAndReportsTheirErrors) {
  struct Case {
    const char* name;
    const char* data;
    int status;
    const char* dump;  // standard output of --dump --raw, PATH for the file
  } cases[] = {
      {"colours.off",
       "# by hand\nOFF\n4 3 6\n\n0 0 0\n1 0 0  # a comment\n0 1 0\n0 0 1\n"
       "3 0 1 2 255 0 0\n3 0 2 3 0.5 0.25 1.0 0.5\n4 0 1 3 2\n",
       0,
       "----------\nObject File Format: PATH\n > 頂点数 = 4, ポリゴン数 = 3\nmodel 4 3\n"
       "v 0 0 0\nv 1 0 0\nv 0 1 0\nv 0 0 1\n"
       "f 3 0 1 2 m 1 c 1 0 0\nf 3 0 2 3 m 1 c 0.5 0.25 1\nf 4 0 1 3 2 m -1\n"},
      // Counts on the header line, CR LF, colours per vertex averaged per face.
      {"vertex.OFF",
       "COFF 3 1 0\r\n0 0 0 255 0 0 255\r\n1 0 0 0 255 0 255\r\n0 1 0 0 0 255 255\r\n"
       "3 0 1 2\r\n",
       0,
       "----------\nObject File Format: PATH\n > 頂点数 = 3, ポリゴン数 = 1\nmodel 3 1\n"
       "v 0 0 0\nv 1 0 0\nv 0 1 0\nf 3 0 1 2 m 1 c 0.333333343 0.333333343 0.333333343\n"},
      // Normals skipped, a colour-map number ignored, a two-corner face left out.
      {"normals.off",
       "\xEF\xBB\xBFNOFF\n3 2 0\n0 0 0 0 0 1\n1 0 0 0 0 1\n0 1 0 0 0 1\n3 0 1 2 7\n2 0 1\n", 0,
       "----------\nObject File Format: PATH\n > 頂点数 = 3, ポリゴン数 = 1\nmodel 3 1\n"
       "v 0 0 0\nv 1 0 0\nv 0 1 0\nf 3 0 1 2 m -1\n"},
      {"badindex.off", "OFF\n3 2 0\n0 0 0\n1 0 0\n0 1 0\n3 0 1 2\n3 0 1 3\n", 1,
       "----------\nfile: PATH\n...7 行目: 頂点番号 3 は範囲外です（頂点数 3）。\n"
       "model 3 1\nv 0 0 0\nv 1 0 0\nv 0 1 0\nf 3 0 1 2 m -1\n"},
      {"negative.off", "OFF\n3 1 0\n0 0 0\n1 0 0\n0 1 0\n3 0 -1 2\n", 1,
       "----------\nfile: PATH\n...6 行目: 頂点番号 -1 は範囲外です（頂点数 3）。\n"
       "model 3 0\nv 0 0 0\nv 1 0 0\nv 0 1 0\n"},
      // Counts far beyond the data: nothing is sized from them.
      {"huge.off", "OFF\n2000000000 2000000000 0\n0 0 0\n", 1,
       "----------\nfile: PATH\n...ファイルが途中で終わっています。\nmodel 1 0\nv 0 0 0\n"},
      {"short.off", "OFF\n3 1 0\n0 0 0\n1 0 0\n0 1 0\n9999999999 0 1 2\n", 1,
       "----------\nfile: PATH\n...6 行目: 面のデータが正しくありません。\n"
       "model 3 0\nv 0 0 0\nv 1 0 0\nv 0 1 0\n"},
      {"counts.off", "OFF\n-3 1 0\n", 1,
       "----------\nfile: PATH\n...頂点数または面数が正しくありません。\nmodel 0 0\n"},
      {"binary.off", "OFF BINARY\n", 1,
       "----------\nfile: PATH\n...バイナリ形式の OFF ファイルには対応していません。\nmodel 0 0\n"},
      {"fourd.off", "4OFF\n1 0 0\n0 0 0 1\n", 1,
       "----------\nfile: PATH\n...この種類の OFF ファイルには対応していません。\nmodel 0 0\n"},
  };
  for (const Case& c : cases) {
    const std::string path = WriteTemp(c.name, c.data);
    const RunResult r = RunTarnelle({"--dump", "--raw", path});
    EXPECT_EQ(r.status, c.status) << c.name << "\n" << r.err;
    EXPECT_EQ(r.out, WithPath(c.dump, path)) << c.name;
  }
}

TEST(OffPlugin, NotReadWithoutPlugins) {
  const std::string path = WriteTemp("plain.off", "OFF\n3 1 0\n0 0 0\n1 0 0\n0 1 0\n3 0 1 2\n");
  const RunResult with = RunTarnelle({"--info", path});
  EXPECT_EQ(with.status, 0);
  EXPECT_EQ(with.out,
            "----------\nObject File Format: " + path + "\n > 頂点数 = 3, ポリゴン数 = 1\n");
  const RunResult without = RunTarnelle({"--info", "--no-plugins", path});
  EXPECT_EQ(without.status, 1);
  EXPECT_EQ(without.out, "----------\nfile: " + path + "\n...対応形式が見つかりませんでした。\n");
}

}  // namespace

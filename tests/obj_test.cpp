// The OBJ reader: faces, references, recognition and damaged files.
#include "readers/obj.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/test_util.h"

namespace {

const char kFourVertices[] = "v 0 0 0\nv 1 0 0\nv 1 1 0\nv 0 1 0\n";

TEST(ObjReader, FaceLines) {
  using V = std::vector<std::vector<int32_t>>;
  const struct {
    std::string faces;
    V polygons;
  } cases[] = {
      {"f 1/2/3 2/5/6 3/8/9\n", {{0, 1, 2}}},
      {"f -3 -2 -1\n", {{1, 2, 3}}},
      {"f 1 2 3 4 1\n", {{0, 1, 2, 3, 0}}},
      {"f 1//1  2//2   3//3\n", {{0, 1, 2}}},
      {"f 1 2 5\n", {}},           // names a vertex not read yet
      {"f 1 2\n", {}},             // fewer than three corners
      {"f 1\t2\t3\n", {}},         // tabs do not separate
      {"f 0 1 2\n", {}},           // zero is no reference
      {"f -5 1 2\n", {}},          // before the first vertex
      {"f 4294967297 1 2\n", {}},  // would wrap to 1 in 32 bits
      {"f\n", {}},
      {"f 1 2 3 \\\n4\n", {}},      // a continuation token reads as 0
      {"fo 1 2 3\n", {{0, 1, 2}}},  // any character after the "f"
      {"  f 2 3 4\n", {{1, 2, 3}}},
      {"f 9 1 2\rf 1 2 3\r\nf 2 3 4", {{0, 1, 2}, {1, 2, 3}}},  // any line end, or none
      {"f", {}},
      {"f ", {}},
  };
  for (const auto& c : cases) {
    PolygonModel m;
    std::string text = kFourVertices;
    text += c.faces;
    const std::string path = WriteTemp("f.obj", text);
    ASSERT_TRUE(ObjLoadInto(path.c_str(), m)) << c.faces;
    V got;
    for (int p = 0; p < m.PolygonCount(); ++p) got.emplace_back(m.index(p), m.index(p) + m.nv(p));
    EXPECT_EQ(got, c.polygons) << c.faces;
  }
}

TEST(ObjReader, FacesSeeOnlyEarlierVertices) {
  PolygonModel m;
  const std::string path = WriteTemp("late.obj", "v 0 0 0\nv 1 0 0\nf 1 2 3\nv 0 1 0\nf 1 2 3\n");
  ASSERT_TRUE(ObjLoadInto(path.c_str(), m));
  EXPECT_EQ(m.PolygonCount(), 1);
  EXPECT_EQ(m.material(0), -1);
}

TEST(ObjReader, VertexLines) {
  PolygonModel m;
  std::string path = WriteTemp(
      "v.obj", "# c\nvn 0 0 1\nvt 0 0\nv 1 2 3 4\nv\t5 6 7\ng x\nusemtl m\nv 1e2 -2 .5\n");
  ASSERT_TRUE(ObjLoadInto(path.c_str(), m));
  ASSERT_EQ(m.VertexCount(), 3);
  EXPECT_EQ(m.vertices[0], (Float3{1, 2, 3}));
  EXPECT_EQ(m.vertices[2], (Float3{100, -2, 0.5f}));

  PolygonModel bad;
  path = WriteTemp("bad.obj", "v 0 0 0\r\nv 1 0 0\r\nv 1 2\r\nv 3 3 3\r\n");
  EXPECT_FALSE(ObjLoadInto(path.c_str(), bad));
  EXPECT_STREQ(ObjGetErrMsg(), "データエラー (line:3)");
  EXPECT_EQ(bad.VertexCount(), 2);  // what came before the bad line stays
}

TEST(ObjReader, LongLinesAreReadWhole) {
  // A face line longer than any fixed buffer still counts all its corners.
  std::string s;
  for (int i = 0; i < 2000; ++i) s.append("v ").append(std::to_string(i)).append(" 0 0\n");
  s += "f";
  for (int i = 1; i <= 2000; ++i) s.append(" ").append(std::to_string(i));
  s += "\nv 1 2 3\n";
  PolygonModel m;
  ASSERT_TRUE(ObjLoadInto(WriteTemp("long.obj", s).c_str(), m));
  ASSERT_EQ(m.PolygonCount(), 1);
  EXPECT_EQ(m.nv(0), 2000);
  EXPECT_EQ(m.VertexCount(), 2001);

  // 100 MB on one line: no crash, no vertex.
  PolygonModel big;
  EXPECT_TRUE(ObjLoadInto(WriteTemp("big.obj", std::string(100 << 20, 'x')).c_str(), big));
  EXPECT_EQ(big.VertexCount(), 0);
}

TEST(ObjReader, IsSupport) {
  const struct {
    std::string text;
    int32_t answer;
  } cases[] = {
      {"# comment\nmtllib a.mtl\nv 1 2 3\nv 4 5 6\n", 1},
      {"# c\n\n   \nv 1 2 3\r\nx", 1},
      {"v 1 2 3\n", -1},  // the last byte read is never examined
      {"v 1 2 3\n\n", 1},
      {"", -1},
      {"\nv 1 2 3\n\n", -1},  // the first line is empty
      {"solid x\nfacet normal 0 0 1\nouter loop\nvertex 1 2 3\n", -1},
      {"x 1 2 3\nv 1 2 3\n\n", -1},
      {"vn 0 0 1\nv 1 2 3\n\n", 1},
      {std::string(2000, '#') + "\nv 1 2 3\n\n", -1},  // no complete line in 1023 bytes
  };
  for (const auto& c : cases)
    EXPECT_EQ(ObjIsSupport(WriteTemp("s.obj", c.text).c_str()), c.answer) << c.text;
  EXPECT_EQ(ObjIsSupport("/nonexistent.obj"), 0);
  PolygonModel m;
  EXPECT_FALSE(ObjLoadInto("/nonexistent.obj", m));
  EXPECT_STREQ(ObjGetErrMsg(), "ファイルがオープンできませんでした。");
  EXPECT_TRUE(ObjLoadInto(WriteTemp("empty.obj", "").c_str(), m));
  EXPECT_EQ(m.VertexCount(), 0);
}

// UTF-16 of ASCII text, with its byte-order mark.
std::string Utf16(const std::string& text, bool le) {
  std::string s = le ? "\xFF\xFE" : "\xFE\xFF";
  for (char c : text) s += le ? std::string{c, '\0'} : std::string{'\0', c};
  return s;
}

TEST(ObjReader, Utf16WithAByteOrderMark) {
  const std::string text = "# square\r\nv 0 0 0\r\nv 1 0 0\r\nv 1 1 0\r\nf 1 2 3\r\n";
  for (bool le : {true, false}) {
    const std::string path = WriteTemp("utf16.obj", Utf16(text, le));
    EXPECT_EQ(ObjIsSupport(path.c_str()), 1) << le;
    PolygonModel m;
    ASSERT_TRUE(ObjLoadInto(path.c_str(), m)) << le;
    EXPECT_EQ(m.VertexCount(), 3);
    EXPECT_EQ(m.PolygonCount(), 1);
    EXPECT_EQ(m.vertices[2].y, 1.0f);
    // Errors count the lines as the text has them.
    EXPECT_FALSE(ObjLoadInto(WriteTemp("bad.obj", Utf16(text + "v 1 x\r\n", le)).c_str(), m));
    EXPECT_STREQ(ObjGetErrMsg(), "データエラー (line:6)");
  }
  // IsSupport looks at as many characters as it does bytes of other files:
  // the last one read is never examined.
  const std::string pad = "#" + std::string(1000, ' ') + "\n";
  EXPECT_EQ(ObjIsSupport(WriteTemp("a.obj", Utf16(pad + "v 1 2 3\n\n", true)).c_str()), 1);
  EXPECT_EQ(ObjIsSupport(WriteTemp("b.obj", Utf16(pad + "v 1 2 3\n", true)).c_str()), -1);
  EXPECT_EQ(
      ObjIsSupport(WriteTemp("c.obj", Utf16(pad + "vvvvvvvvvvvvvvvvvvvvvvvvvvvv", true)).c_str()),
      -1);
  // Cut inside a unit: the odd byte is dropped, what came before is read.
  PolygonModel m;
  EXPECT_TRUE(ObjLoadInto(WriteTemp("cut.obj", Utf16("v 1 2 3\n", true) + "v").c_str(), m));
  EXPECT_EQ(m.VertexCount(), 1);
}

}  // namespace

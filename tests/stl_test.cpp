// The STL reader: text and binary forms, colours and damaged files.
#include "readers/stl.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/test_util.h"

namespace {

std::string TextFacet(float x, const char* eol = "\n") {
  std::string s;
  auto add = [&](const std::string& l) { s += l + eol; };
  add(" facet normal 0 0 1");
  add("  outer loop");
  add("   vertex " + std::to_string(x) + " 0 0");
  add("   vertex 1 0 0");
  add("   vertex 0 1 0");
  add("  endloop");
  add(" endfacet");
  return s;
}

std::string TextStl(int facets, const char* eol = "\n") {
  std::string s = std::string("solid cube") + eol;
  for (int i = 0; i < facets; ++i) s += TextFacet(static_cast<float>(i), eol);
  return s + "endsolid cube" + eol;
}

// A binary file of n facets; facet k has its first x at k and attribute attr(k).
std::string BinaryStl(int n, const std::string& header = "binary", unsigned attr = 0,
                      int count = -1) {
  std::string s = header;
  s.resize(80, ' ');
  PutU32(s, static_cast<unsigned>(count < 0 ? n : count));
  for (int k = 0; k < n; ++k) {
    for (int i = 0; i < 3; ++i) PutF32(s, 0);
    const float v[9] = {static_cast<float>(k), 0, 0, 1, 0, 0, 0, 1, 0};
    for (float f : v) PutF32(s, f);
    PutU16(s, attr);
  }
  return s;
}

struct Loaded {
  bool ok;
  PolygonModel model;
  std::string msg;
};
Loaded Load(const std::string& bytes, const char* name = "t.stl") {
  Loaded r;
  const std::string path = WriteTemp(name, bytes);
  r.ok = StlLoadInto(path.c_str(), r.model);
  r.msg = StlGetErrMsg();
  return r;
}

TEST(StlReader, TextFacetsGetVerticesOfTheirOwnWhateverTheLineEnds) {
  for (const char* eol : {"\n", "\r\n", "\r"}) {
    Loaded r = Load(TextStl(12, eol));
    ASSERT_TRUE(r.ok) << r.msg;
    EXPECT_EQ(r.model.VertexCount(), 36);
    EXPECT_EQ(r.model.PolygonCount(), 12);
    EXPECT_EQ(r.model.index(11)[2], 35);
    EXPECT_EQ(r.model.vertices[33].x, 11.0f);
    EXPECT_EQ(r.model.material(0), -1);
  }
}

TEST(StlReader, KeywordsInAnyCaseAndSeveralSolids) {
  std::string s =
      "SOLID a\nFacet Normal 0 0 1\n OUTER LOOP\nVERTEX 1 2 3\nVertex 4 5 6\n"
      "vertex 7 8 9\nvertex 9 9 9\nENDLOOP\nENDFACET\nENDSOLID\n";
  s += TextStl(2);
  Loaded r = Load(s);
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.model.PolygonCount(), 3);  // the fourth vertex line of a loop is ignored
  EXPECT_EQ(r.model.vertices[2], (Float3{7, 8, 9}));
}

TEST(StlReader, TextErrorsNameTheLine) {
  Loaded r = Load("solid x\nfacet normal 0 0 1\nouter loop\nvertex 1 2\nendloop\n");
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.msg, "データエラー (line:4)");
  // Only "solid" marks text: an empty solid loads with nothing in it.
  r = Load("solid empty\nendsolid empty\n");
  EXPECT_TRUE(r.ok);
  EXPECT_EQ(r.model.PolygonCount(), 0);
}

TEST(StlReader, BinaryColoursFromTheAttributeWord) {
  const struct {
    unsigned attr;
    int material;
    Float3 color;
  } cases[] = {
      {0x8000, 1, {0, 0, 0}}, {0xFFFF, 1, {1, 1, 1}}, {0xFC00, 1, {1, 0, 0}},
      {0x801F, 1, {0, 1, 0}}, {0x83E0, 1, {0, 0, 1}}, {0x7FFF, -1, {0, 0, 0}},
  };
  for (const auto& c : cases) {
    Loaded r = Load(BinaryStl(2, "binary", c.attr));
    ASSERT_TRUE(r.ok) << r.msg;
    ASSERT_EQ(r.model.PolygonCount(), 2);
    EXPECT_EQ(r.model.material(1), c.material) << std::hex << c.attr;
    if (c.material >= 0) {
      EXPECT_EQ(r.model.color(1), c.color) << std::hex << c.attr;
    }
  }
}

TEST(StlReader, BinaryCountsAndTruncation) {
  Loaded r = Load(BinaryStl(0));
  EXPECT_TRUE(r.ok);
  EXPECT_EQ(r.model.VertexCount(), 0);

  r = Load(BinaryStl(0, "binary", 0, -5));  // a negative count reads nothing
  EXPECT_TRUE(r.ok);

  r = Load(std::string(82, 'b'));
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.msg, "データエラー(number of fases)");

  // Three facets promised, two and a half there: the first two stay, and
  // the cut facet's complete vertex was added before the short read.
  std::string cut = BinaryStl(3);
  cut.resize(84 + 50 * 2 + 12 + 12 + 5);
  r = Load(cut);
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.msg, "データエラー(#2)");
  EXPECT_EQ(r.model.PolygonCount(), 2);
  EXPECT_EQ(r.model.VertexCount(), 7);

  // A count far beyond the file fails at the end of the data, quickly.
  r = Load(BinaryStl(1, "binary", 0, 0x7FFFFFFF));
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.msg, "データエラー(#1)");
  EXPECT_EQ(r.model.PolygonCount(), 1);
}

TEST(StlReader, BinaryWithSolidInItsHeader) {
  // The size fits the binary layout exactly: read as binary.
  Loaded r = Load(BinaryStl(4, "solid from a binary exporter"));
  ASSERT_TRUE(r.ok) << r.msg;
  EXPECT_EQ(r.model.PolygonCount(), 4);
  EXPECT_EQ(r.model.vertices[9].x, 3.0f);
  // One stray byte more: taken as a text file without facets.
  r = Load(BinaryStl(4, "solid from a binary exporter") + "x");
  EXPECT_TRUE(r.ok);
  EXPECT_EQ(r.model.PolygonCount(), 0);
}

TEST(StlReader, IsSupportAndOpenFailure) {
  EXPECT_EQ(StlIsSupport(WriteTemp("a.stl", TextStl(1)).c_str()), 1);
  EXPECT_EQ(StlIsSupport(WriteTemp("b.stl", BinaryStl(3)).c_str()), 0);
  EXPECT_EQ(StlIsSupport(WriteTemp("c.stl", "solid x\nendsolid\n").c_str()), 0);
  // "facet" must come after the "solid" line, within 50 lines.
  EXPECT_EQ(StlIsSupport(WriteTemp("d.stl", "solid facet\nendsolid\n").c_str()), 0);
  EXPECT_EQ(StlIsSupport(WriteTemp("e.stl", "solid\n" + std::string(49, '\n') + "facet\n").c_str()),
            0);
  EXPECT_EQ(StlIsSupport("/nonexistent/x.stl"), 0);
  PolygonModel m;
  EXPECT_FALSE(StlLoadInto("/nonexistent/x.stl", m));
  EXPECT_STREQ(StlGetErrMsg(), "ファイルがオープンできませんでした。");
}

TEST(StlReader, GarbageNeverCrashes) {
  std::string junk;
  uint32_t x = 12345;
  for (int i = 0; i < 200000; ++i) {
    x = x * 1103515245 + 12345;
    junk.push_back(static_cast<char>(x >> 24));
  }
  Loaded r = Load(junk);
  EXPECT_LE(r.model.VertexCount(), 3 * static_cast<int>(junk.size() / 50));
  // A single 20 MB line after "solid".
  r = Load("solid x\n" + std::string(20 << 20, 'v'));
  EXPECT_TRUE(r.ok);
  EXPECT_EQ(r.model.PolygonCount(), 0);
}

TEST(StlReader, Utf16TextWithAByteOrderMark) {
  auto utf16 = [](const std::string& text, bool le) {
    std::string s = le ? "\xFF\xFE" : "\xFE\xFF";
    for (char c : text) s += le ? std::string{c, '\0'} : std::string{'\0', c};
    return s;
  };
  for (bool le : {true, false}) {
    const std::string path = WriteTemp("utf16.stl", utf16(TextStl(2, "\r\n"), le));
    EXPECT_EQ(StlIsSupport(path.c_str()), 1) << le;
    Loaded r = Load(utf16(TextStl(2, "\r\n"), le));
    EXPECT_TRUE(r.ok) << le;
    EXPECT_EQ(r.model.PolygonCount(), 2);
    EXPECT_EQ(r.model.vertices[3].x, 1.0f);
    // Errors name the line; a file cut in the middle keeps what it had.
    r = Load(utf16("solid x\nfacet\nouter loop\nvertex 1 2\n", le));
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.msg, "データエラー (line:4)");
    const std::string cut = utf16(TextStl(1), le);
    r = Load(cut.substr(0, cut.size() - 41));
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.model.PolygonCount(), 1);
  }
}

}  // namespace

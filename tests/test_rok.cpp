// The ROK reader: edge rings, colours, damaged files and its line rules.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "readers/rok.h"
#include "tests/test_util.h"

namespace {

// Rewriting an existing file waits for its old blocks to be flushed; the
// loops over many cuts write a new file each time instead.
std::string WriteFresh(const std::string& name, std::string_view bytes) {
  std::remove((TempDir() + "/" + name).c_str());
  return WriteTemp(name, bytes);
}

using Lines = std::vector<std::string>;
using Rings = std::vector<std::vector<int32_t>>;

std::string Join(const Lines& lines, const char* eol = "\n") {
  std::string s;
  for (const std::string& l : lines) s += l + eol;
  return s;
}

void Append(Lines& to, const Lines& from) { to.insert(to.end(), from.begin(), from.end()); }

Lines Point(const std::string& x, const std::string& y, const std::string& z) {
  return {"0", "0", "0", "0", "0", x, y, z};
}
Lines Edge(const std::string& p, const std::string& q) { return {p, q, "0", "0"}; }
Lines Face(const std::string& color, const Lines& edges) {
  Lines l{std::to_string(edges.size()), color, "0"};
  Append(l, edges);
  return l;
}
Lines Color(int r, int g, int b) {
  return {std::to_string(r), std::to_string(g), std::to_string(b), "0", "0", "0", "0"};
}

// The four corners of the unit square, as POINT records.
Lines SquarePoints() {
  Lines l{"POINT"};
  Append(l, Point("0", "0", "0"));
  Append(l, Point("1", "0", "0"));
  Append(l, Point("1", "1", "0"));
  Append(l, Point("0", "1", "0"));
  return l;
}

// ROKU4, the square's points, then edges, faces and an optional palette.
std::string Model(const std::vector<Lines>& edges, const std::vector<Lines>& faces,
                  const std::vector<Lines>* palette = nullptr) {
  Lines l{"ROKU4"};
  Append(l, SquarePoints());
  l.push_back("LINE0");
  for (const Lines& e : edges) Append(l, e);
  l.push_back("FACE0");
  for (const Lines& f : faces) Append(l, f);
  l.push_back("END00");
  if (palette) {
    Append(l, {"PALC0", "0", "0"});
    for (const Lines& c : *palette) Append(l, c);
    l.push_back("ENDP0");
  }
  return Join(l);
}

const std::vector<Lines> kSquareEdges = {Edge("1", "2"), Edge("2", "3"), Edge("3", "4"),
                                         Edge("4", "1")};

Rings PolygonsOf(const PolygonModel& m) {
  Rings r;
  for (int p = 0; p < m.PolygonCount(); ++p) r.emplace_back(m.index(p), m.index(p) + m.nv(p));
  return r;
}

std::string Fixture(const char* name) { return std::string(TARNELLE_FIXTURES) + "/rok/" + name; }

TEST(RokReader, EdgeRingsBecomeVertexRings) {
  const struct {
    const char* what;
    std::vector<Lines> edges;
    Lines face;
    std::vector<int32_t> polygon;
  } cases[] = {
      {"square", kSquareEdges, {"1", "2", "3", "4"}, {0, 1, 2, 3}},
      {"follows its first edge",
       {Edge("2", "1"), Edge("2", "3"), Edge("3", "4"), Edge("4", "1")},
       {"1", "4", "3", "2"},
       {1, 0, 3, 2}},
      {"closing edge not looked at", kSquareEdges, {"1", "2", "3", "1"}, {0, 1, 2, 3}},
      {"triangle", {Edge("1", "2"), Edge("2", "3"), Edge("3", "1")}, {"1", "2", "3"}, {0, 1, 2}},
      {"two corners", kSquareEdges, {"2", "2"}, {1, 2}},
      {"one corner", kSquareEdges, {"3"}, {2}},
  };
  for (const auto& c : cases) {
    PolygonModel m;
    const std::string path = WriteTemp("ring.rok", Model(c.edges, {Face("0", c.face)}));
    ASSERT_TRUE(RokLoadInto(path.c_str(), m)) << c.what;
    EXPECT_EQ(PolygonsOf(m), Rings{c.polygon}) << c.what;
    EXPECT_STREQ(RokGetErrMsg(), "") << c.what;
  }
}

TEST(RokReader, FacesWithManyCorners) {
  // Far more corners than any fixed face buffer would hold.
  constexpr int kN = 300;
  Lines l{"ROKU4", "POINT"};
  for (int i = 0; i < kN; ++i) Append(l, Point(std::to_string(i), "0", "0"));
  l.push_back("LINE0");
  for (int i = 0; i < kN; ++i)
    Append(l, Edge(std::to_string(i + 1), std::to_string((i + 1) % kN + 1)));
  Lines ring;
  std::vector<int32_t> expect;
  for (int i = 0; i < kN; ++i) {
    ring.push_back(std::to_string(i + 1));
    expect.push_back(i);
  }
  l.push_back("FACE0");
  Append(l, Face("0", ring));
  l.push_back("END00");
  PolygonModel m;
  const std::string path = WriteTemp("many.rok", Join(l));
  ASSERT_TRUE(RokLoadInto(path.c_str(), m));
  EXPECT_EQ(PolygonsOf(m), Rings{expect});
}

TEST(RokReader, HandWrittenModels) {
  {
    PolygonModel m;
    ASSERT_TRUE(RokLoadInto(Fixture("square.rok").c_str(), m));
    ASSERT_EQ(m.VertexCount(), 4);
    EXPECT_EQ(m.vertices[2], (Float3{1, -1, -0.0f}));
    EXPECT_EQ(PolygonsOf(m), (Rings{{0, 1, 2, 3}}));
    EXPECT_EQ(m.material(0), -1);
  }
  const Rings cube = {{0, 1, 3, 2}, {4, 5, 7, 6}, {0, 1, 5, 4},
                      {3, 2, 6, 7}, {2, 0, 4, 6}, {1, 3, 7, 5}};
  {
    PolygonModel m;
    ASSERT_TRUE(RokLoadInto(Fixture("cube.rok").c_str(), m));
    ASSERT_EQ(m.VertexCount(), 8);
    for (int i = 0; i < 8; ++i)  // a half turn about x
      EXPECT_EQ(m.vertices[i], (Float3{float(i & 1), -float(i >> 1 & 1), -float(i >> 2 & 1)}));
    EXPECT_EQ(PolygonsOf(m), cube);
    for (int p = 0; p < 6; ++p) EXPECT_EQ(m.material(p), -1);
  }
  {
    PolygonModel m;
    ASSERT_TRUE(RokLoadInto(Fixture("cube_palette.rok").c_str(), m));
    EXPECT_EQ(PolygonsOf(m), cube);
    const Float3 colors[] = {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}, {1, 1, 0}, {0, 1, 1}, {1, 0, 1}};
    for (int p = 0; p < 6; ++p) {
      EXPECT_EQ(m.material(p), p);
      EXPECT_EQ(m.color(p), colors[p]);
    }
  }
}

TEST(RokReader, PointCoordinates) {
  const struct {
    const char *x, *y, *z;
    Float3 v;
  } cases[] = {
      {"1.0", "2.0", "3.0", {1, -2, -3}},
      {"-1.5e1", " 4", "abc", {-15, -4, -0.0f}},  // not a number reads as 0
      {"", "0x10", "7x", {0, -16, -7}},
  };
  for (const auto& c : cases) {
    Lines l{"ROKU4", "POINT"};
    Append(l, Point(c.x, c.y, c.z));
    Append(l, {"FACE0", "END00"});
    PolygonModel m;
    const std::string path = WriteTemp("p.rok", Join(l));
    ASSERT_TRUE(RokLoadInto(path.c_str(), m));
    ASSERT_EQ(m.VertexCount(), 1);
    EXPECT_EQ(m.vertices[0], c.v) << c.x << " " << c.y << " " << c.z;
  }
  Lines l{"ROKU4", "POINT"};
  Append(l, Point("1e999", "-1e999", "1e-999"));
  Append(l, {"FACE0", "END00"});
  PolygonModel m;
  const std::string path = WriteTemp("p.rok", Join(l));
  ASSERT_TRUE(RokLoadInto(path.c_str(), m));
  ASSERT_EQ(m.VertexCount(), 1);
  EXPECT_TRUE(std::isinf(m.vertices[0].x) && m.vertices[0].x > 0);
  EXPECT_TRUE(std::isinf(m.vertices[0].y) && m.vertices[0].y > 0);
  EXPECT_EQ(m.vertices[0].z, 0.0f);
}

TEST(RokReader, DataErrors) {
  const std::string sq = Join(SquarePoints());
  const std::string edges = "LINE0\n" + Join(kSquareEdges[0]) + Join(kSquareEdges[1]) +
                            Join(kSquareEdges[2]) + Join(kSquareEdges[3]);
  const struct {
    const char* what;
    std::string body;  // after the ROKU4 line
  } cases[] = {
      {"colour number 14", sq + edges + "FACE0\n" + Join(Face("14", {"1", "2", "3"})) + "END00\n"},
      {"edge beyond those read",
       sq + edges + "FACE0\n" + Join(Face("0", {"1", "2", "5"})) + "END00\n"},
      {"edge read later", sq + "LINE0\n" + Join(Edge("1", "2")) + "FACE0\n" +
                              Join(Face("0", {"1", "2"})) + edges + "FACE0\nEND00\n"},
      {"END00 among the points", sq + "END00\n"},
      {"END00 before any section", "END00\n"},
      {"end of file among the edges", sq + edges},
      {"end of file before any section", ""},
      {"colour 2^31", sq + edges + "FACE0\n" + Join(Face("2147483648", {"1"})) + "END00\n"},
  };
  for (const auto& c : cases) {
    PolygonModel m;
    const std::string path = WriteTemp("bad.rok", "ROKU4\n" + c.body);
    EXPECT_FALSE(RokLoadInto(path.c_str(), m)) << c.what;
    EXPECT_STREQ(RokGetErrMsg(), "データエラー．") << c.what;
  }

  // What was read stays, corners still edge numbers (0-based).
  PolygonModel m;
  const std::string path = WriteTemp(
      "bad.rok", "ROKU4\n" + sq + "LINE0\n" + Join(Edge("3", "4")) + Join(Edge("4", "1")) +
                     "FACE0\n" + Join(Face("0", {"2", "1"})) + Join(Face("13", {"3"})) + "END00\n");
  EXPECT_FALSE(RokLoadInto(path.c_str(), m));
  EXPECT_EQ(m.VertexCount(), 4);
  EXPECT_EQ(PolygonsOf(m), (Rings{{1, 0}}));
}

TEST(RokReader, EndOfFileInsideTheFacesEndsThem) {
  // The last face is cut: the records still count as read.
  const std::string path =
      WriteTemp("cut.rok", "ROKU4\n" + Join(SquarePoints()) + "LINE0\n" + Join(kSquareEdges[0]) +
                               Join(kSquareEdges[1]) + Join(kSquareEdges[2]) + "FACE0\n" +
                               Join(Face("0", {"1", "2", "3"})) + "4\n0\n0\n1\n2\n");
  PolygonModel m;
  ASSERT_TRUE(RokLoadInto(path.c_str(), m));
  EXPECT_EQ(PolygonsOf(m), (Rings{{0, 1, 2}}));
}

TEST(RokReader, UnusableFacesAreLeftOut) {
  // The square's edges come first (1-4), a case's own edges after them.
  const struct {
    const char* what;
    std::vector<Lines> edges;
    Lines face;
  } cases[] = {
      {"edge number 0", {}, Face("0", {"1", "0", "3", "4"})},
      {"negative edge number", {}, Face("0", {"1", "2", "-3", "4"})},
      {"edge number below 32 bits", {}, Face("0", {"-2147483649", "2", "3", "4"})},
      {"point number 0",
       {Edge("0", "2"), Edge("2", "3"), Edge("3", "0")},
       Face("0", {"5", "6", "7"})},
      {"point not read",
       {Edge("1", "2"), Edge("2", "9"), Edge("9", "1")},
       Face("0", {"5", "6", "7"})},
      {"point beyond 32 bits",
       {Edge("1", "2"), Edge("2", "4294967298"), Edge("4294967298", "1")},
       Face("0", {"5", "6", "7"})},
      {"no corners", {}, {"0", "0", "0"}},
      {"negative corner count", {}, {"-2147483649", "0", "0"}},
  };
  for (const auto& c : cases) {
    std::vector<Lines> edges = kSquareEdges;
    edges.insert(edges.end(), c.edges.begin(), c.edges.end());
    // A good face after the bad one shows that the records stay in step.
    const std::string path =
        WriteTemp("out.rok", Model(edges, {c.face, Face("0", {"1", "2", "3", "4"})}));
    PolygonModel m;
    ASSERT_TRUE(RokLoadInto(path.c_str(), m)) << c.what;
    EXPECT_EQ(PolygonsOf(m), (Rings{{0, 1, 2, 3}})) << c.what;
  }
}

TEST(RokReader, Palette) {
  const std::vector<Lines> three = {Color(255, 0, 0), Color(0, 255, 0), Color(0, 0, 51)};
  std::vector<Lines> fifteen;
  for (int i = 0; i < 15; ++i) fifteen.push_back(Color(i, 0, 255 - i));
  const auto faces = [](std::initializer_list<const char*> colors) {
    std::vector<Lines> f;
    for (const char* c : colors) f.push_back(Face(c, {"1", "2", "3", "4"}));
    return f;
  };
  const Float3 none{0, 0, 0};
  const struct {
    const char* what;
    std::vector<Lines> faces;
    const std::vector<Lines>* palette;
    std::vector<int32_t> materials;
    std::vector<Float3> colors;
  } cases[] = {
      {"three colours",
       faces({"0", "1", "2"}),
       &three,
       {0, 1, 2},
       {{1, 0, 0}, {0, 1, 0}, {0, 0, 0.2f}}},
      {"no palette", faces({"0", "5"}), nullptr, {-1, -1}, {none, none}},
      {"colour not in the palette", faces({"3", "13"}), &three, {-1, -1}, {none, none}},
      {"negative colour", faces({"-1"}), &three, {-1}, {none}},
      {"fifteen colours: the first fourteen",
       faces({"0", "13"}),
       &fifteen,
       {0, 13},
       {{0, 0, 1}, {13 / 255.0f, 0, 242 / 255.0f}}},
  };
  for (const auto& c : cases) {
    const std::string path = WriteTemp("pal.rok", Model(kSquareEdges, c.faces, c.palette));
    PolygonModel m;
    ASSERT_TRUE(RokLoadInto(path.c_str(), m)) << c.what;
    ASSERT_EQ(m.PolygonCount(), static_cast<int32_t>(c.materials.size())) << c.what;
    for (int p = 0; p < m.PolygonCount(); ++p) {
      EXPECT_EQ(m.material(p), c.materials[p]) << c.what;
      EXPECT_EQ(m.color(p), c.colors[p]) << c.what;
    }
  }
}

TEST(RokReader, PaletteSectionRules) {
  const std::string model = Model(kSquareEdges, {Face("1", {"1", "2", "3", "4"})});
  const struct {
    const char* what;
    std::string palette;
    int32_t material;
    Float3 color;
  } cases[] = {
      {"lines before PALC0 ignored",
       "255\nx\nPALC0\n9\n9\n" + Join(Color(0, 0, 0)) + Join(Color(255, 255, 0)) + "ENDP0\n",
       1,
       {1, 1, 0}},
      {"ENDP0 before the colour",
       "PALC0\n9\n9\n" + Join(Color(0, 0, 0)) + "ENDP0\n" + Join(Color(255, 255, 0)),
       -1,
       {0, 0, 0}},
      {"end of file ends it",
       "PALC0\n9\n9\n" + Join(Color(0, 0, 0)) + "51\n102\n153\n",
       1,
       {0.2f, 0.4f, 0.6f}},
      {"ENDP0 before PALC0",
       "ENDP0\nPALC0\n9\n9\n" + Join(Color(0, 0, 0)) + Join(Color(0, 0, 0)),
       -1,
       {0, 0, 0}},
  };
  for (const auto& c : cases) {
    const std::string path = WriteTemp("pal.rok", model + c.palette);
    PolygonModel m;
    ASSERT_TRUE(RokLoadInto(path.c_str(), m)) << c.what;
    ASSERT_EQ(m.PolygonCount(), 1) << c.what;
    EXPECT_EQ(m.material(0), c.material) << c.what;
    EXPECT_EQ(m.color(0), c.color) << c.what;
  }
}

TEST(RokReader, LineEnds) {
  Lines l{"ROKU4", "POINT"};
  Append(l, Point("1", "2", "3"));
  Append(l, Point("4", "5", "6"));
  Append(l, {"FACE0", "END00"});
  // CR alone ends a line as LF does.
  for (const char* eol : {"\n", "\r"}) {
    PolygonModel m;
    const std::string path = WriteTemp("eol.rok", Join(l, eol));
    ASSERT_TRUE(RokLoadInto(path.c_str(), m));
    EXPECT_EQ(m.vertices, (std::vector<Float3>{{1, -2, -3}, {4, -5, -6}}));
  }
  // CR LF ends a line and then an empty one, so an eight-line record spans
  // four of the file's lines and takes its fields from the wrong ones.
  PolygonModel m;
  const std::string path = WriteTemp("crlf.rok", Join(l, "\r\n"));
  ASSERT_TRUE(RokLoadInto(path.c_str(), m));
  EXPECT_EQ(m.vertices, (std::vector<Float3>{{0, 0, 0}, {2, 0, -3}, {0, 0, 0}, {5, 0, -6}}));

  // A line holds 127 characters; the rest of a longer one is a further line.
  for (size_t len : {127, 128, 130}) {
    Lines p{"ROKU4", "POINT", "0", "0", "0", "0", std::string(len, '7'), "1", "2", "3"};
    Append(p, {"FACE0", "END00"});
    PolygonModel n;
    const std::string q = WriteTemp("long.rok", Join(p));
    ASSERT_TRUE(RokLoadInto(q.c_str(), n));
    ASSERT_GE(n.VertexCount(), 1);
    if (len == 127)
      EXPECT_EQ(n.vertices[0], (Float3{1, -2, -3})) << len;
    else  // the piece after 127 characters is line 6
      EXPECT_EQ(n.vertices[0].x, std::stof(std::string(len - 127, '7'))) << len;
  }
}

TEST(RokReader, RecognitionAndOpening) {
  const struct {
    std::string bytes;
    int32_t support;
  } cases[] = {
      {"ROKU4\nPOINT\n", 1},  {"ROKU4\n", 1},  {"ROKU4x", 1},
      {"ROKU4", -1},  // the end mark overwrites the last byte
      {"ROKU3\nPOINT\n", -1}, {"rOKU4\n", -1}, {"", -1},
  };
  for (const auto& c : cases) {
    const std::string path = WriteTemp("r.rok", c.bytes);
    EXPECT_EQ(RokIsSupport(path.c_str()), c.support) << c.bytes;
  }
  const std::string missing = TempDir() + "/missing.rok";
  EXPECT_EQ(RokIsSupport(missing.c_str()), -1);
  PolygonModel m;
  EXPECT_FALSE(RokLoadInto(missing.c_str(), m));
  EXPECT_STREQ(RokGetErrMsg(), "ファイルがオープンできませんでした。");

  // A first line without ROKU4 is not an error: nothing is read.
  for (const char* text : {"ROKU3\nPOINT\n0\n0\n0\n0\n0\n1\n2\n3\nFACE0\nEND00\n", "", "\n"}) {
    const std::string path = WriteTemp("r.rok", text);
    PolygonModel n;
    EXPECT_TRUE(RokLoadInto(path.c_str(), n));
    EXPECT_EQ(n.VertexCount(), 0);
    EXPECT_STREQ(RokGetErrMsg(), "");
  }
}

TEST(RokReader, Corpus) {
  const auto files = CorpusFiles("rok");
  if (files.empty()) GTEST_SKIP() << CorpusSkipReason("rok");
  for (const std::string& f : files) {
    PolygonModel m;
    const bool ok = RokLoadInto(f.c_str(), m);
    if (!ok) {
      EXPECT_STRNE(RokGetErrMsg(), "") << f;
    }
    // The corpus holds a bare palette without the ROKU4 line.
    EXPECT_EQ(RokIsSupport(f.c_str()), -1) << f;
    EXPECT_TRUE(ok) << f;
    EXPECT_EQ(m.PolygonCount(), 0) << f;
  }
}

TEST(RokReader, DamagedFiles) {
  // Every cut of a good file loads or fails with the data error.
  std::string whole;
  {
    FILE* f = fopen(Fixture("cube_palette.rok").c_str(), "rb");
    ASSERT_TRUE(f);
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0) whole.append(buf, n);
    fclose(f);
  }
  for (size_t cut = 0; cut <= whole.size(); ++cut) {
    PolygonModel m;
    const std::string path = WriteFresh("cut.rok", whole.substr(0, cut));
    if (!RokLoadInto(path.c_str(), m)) {
      EXPECT_STREQ(RokGetErrMsg(), "データエラー．") << cut;
      continue;
    }
    // Loaded: every corner names a vertex that was read.
    for (int p = 0; p < m.PolygonCount(); ++p)
      for (int i = 0; i < m.nv(p); ++i)
        EXPECT_TRUE(m.index(p)[i] >= 0 && m.index(p)[i] < m.VertexCount()) << cut;
  }

  // A line of megabytes inside the records, and corner counts far beyond the
  // file: no stall, no allocation beyond what the file holds.
  const std::string mega(4 << 20, '5');
  const std::string cases[] = {
      "ROKU4\nPOINT\n" + mega + "\nFACE0\nEND00\n",
      "ROKU4\n" + Join(SquarePoints()) + "LINE0\n1\n2\n0\n0\nFACE0\n2147483647\n0\n0\n1\n1\n",
      "ROKU4\n" + Join(SquarePoints()) + "LINE0\n1\n2\n0\n0\nFACE0\n99999999999999999999\n0\n0\n" +
          mega + "\n",
  };
  for (const std::string& text : cases) {
    PolygonModel m;
    const std::string path = WriteTemp("huge.rok", text);
    const bool ok = RokLoadInto(path.c_str(), m);
    if (!ok) {
      EXPECT_STREQ(RokGetErrMsg(), "データエラー．");
    }
    EXPECT_EQ(m.PolygonCount(), 0);
  }
}

}  // namespace

// The DXF reader: its chunked line reading, the main loop, 3DFACE and the
// POLYLINE kinds, and the line numbers of its failures.
#include "readers/dxf.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "tests/test_util.h"

namespace {

using Group = std::pair<int, std::string>;

// Groups as code and value lines, each ended by eol.
std::string Groups(const std::vector<Group>& groups, const char* eol = "\n") {
  std::string s;
  for (const auto& [code, value] : groups) s += std::to_string(code) + eol + value + eol;
  return s;
}

// A file with the given entity groups inside an ENTITIES section.
std::string Entities(const std::vector<Group>& body, const char* eol = "\n") {
  std::vector<Group> g = {{0, "SECTION"}, {2, "ENTITIES"}};
  g.insert(g.end(), body.begin(), body.end());
  g.push_back({0, "ENDSEC"});
  g.push_back({0, "EOF"});
  return Groups(g, eol);
}

std::vector<Group> Face(std::vector<std::vector<std::string>> corners) {
  std::vector<Group> g = {{0, "3DFACE"}, {8, "0"}};
  for (size_t k = 0; k < corners.size(); ++k)
    for (int a = 0; a < 3; ++a)
      g.push_back({10 * (a + 1) + static_cast<int>(k), corners[k][static_cast<size_t>(a)]});
  return g;
}

std::vector<Group> Cat(std::vector<std::vector<Group>> parts) {
  std::vector<Group> g;
  for (const auto& p : parts) g.insert(g.end(), p.begin(), p.end());
  return g;
}

// A POLYLINE with header groups, then one VERTEX per entry of vertices.
std::vector<Group> Polyline(std::vector<Group> header, std::vector<std::vector<Group>> vertices) {
  std::vector<Group> g = {{0, "POLYLINE"}, {8, "0"}};
  g.insert(g.end(), header.begin(), header.end());
  for (const auto& v : vertices) {
    g.push_back({0, "VERTEX"});
    g.insert(g.end(), v.begin(), v.end());
  }
  g.push_back({0, "SEQEND"});
  return g;
}

std::vector<Group> Vertex(float x, float y, float z, int flags) {
  return {{10, std::to_string(x)},
          {20, std::to_string(y)},
          {30, std::to_string(z)},
          {70, std::to_string(flags)}};
}

std::vector<Group> FaceRecord(std::vector<std::string> corners) {
  std::vector<Group> g = {{70, "128"}};
  for (size_t k = 0; k < corners.size(); ++k) g.push_back({71 + static_cast<int>(k), corners[k]});
  return g;
}

// An M x N mesh header and its vertices (vertex (i, j) at x = i, y = j).
std::vector<Group> Mesh(int flags, int m, int n, int vertices = -1) {
  std::vector<std::vector<Group>> v;
  if (vertices < 0) vertices = m * n;
  for (int k = 0; k < vertices; ++k)
    v.push_back(
        Vertex(static_cast<float>(k / (n ? n : 1)), static_cast<float>(k % (n ? n : 1)), 0, 64));
  return Polyline(
      {{66, "1"}, {70, std::to_string(flags)}, {71, std::to_string(m)}, {72, std::to_string(n)}},
      v);
}

struct Loaded {
  bool ok;
  PolygonModel model;
  std::string msg;
};
Loaded Load(const std::string& bytes) {
  Loaded r;
  const std::string path = WriteTemp("t.dxf", bytes);
  r.ok = DxfLoadInto(path.c_str(), r.model);
  r.msg = DxfGetErrMsg();
  return r;
}

std::string LineError(int line) { return "データエラー (line:" + std::to_string(line) + ")"; }

std::vector<int32_t> Corners(const PolygonModel& m, int p) {
  return std::vector<int32_t>(m.index(p), m.index(p) + m.nv(p));
}

TEST(DxfReader, FacesInAnyCaseAnySectionAndAnyLineEnd) {
  const auto quad = Face({{"0", "0", "0"}, {"1", "0", "0"}, {"1", "1", "0"}, {"0", "1", "0"}});
  const auto tri = Face({{"0", "0", "1"}, {"1", "0", "1"}, {"1", "1", "1"}, {"1", "1", "1"}});
  for (const char* eol : {"\n", "\r\n", "\r"}) {
    Loaded r = Load(Entities(Cat({quad, tri}), eol));
    ASSERT_TRUE(r.ok) << r.msg;
    ASSERT_EQ(r.model.PolygonCount(), 2);
    EXPECT_EQ(r.model.VertexCount(), 7);  // the repeated fourth corner is not added
    EXPECT_EQ(Corners(r.model, 0), (std::vector<int32_t>{0, 1, 2, 3}));
    EXPECT_EQ(Corners(r.model, 1), (std::vector<int32_t>{4, 5, 6}));
    EXPECT_EQ(r.model.vertices[6], (Float3{1, 1, 1}));
    EXPECT_EQ(r.model.material(0), -1);
  }
  // Lower-case names, and a face inside a block definition, read alike.
  std::vector<Group> g = {{0, "section"}, {2, "blocks"}, {0, "block"}};
  g = Cat({g, Face({{"1", "2", "3"}, {"4", "5", "6"}, {"7", "8", "9"}})});
  g = Cat({g, {{0, "endblk"}, {0, "endsec"}, {0, "eof"}}});
  Loaded r = Load(Groups(g));
  ASSERT_TRUE(r.ok) << r.msg;
  ASSERT_EQ(r.model.PolygonCount(), 1);
  EXPECT_EQ(r.model.vertices[2], (Float3{7, 8, 9}));
}

TEST(DxfReader, FailuresNameTheLastLineRead) {
  const auto tri = Face({{"0", "0", "0"}, {"1", "0", "0"}, {"1", "1", "0"}});
  const struct {
    const char* what;
    std::string file;
    int line;  // 0: loads
  } cases[] = {
      // SECTION, ENTITIES, 3DFACE, 8, then two corners: the face ends at
      // the code line after them (line 21).
      {"two corners", Entities(Face({{"0", "0", "0"}, {"1", "0", "0"}})), 21},
      {"a corner without its z",
       Entities({{0, "3DFACE"},
                 {12, "2"},
                 {22, "2"},
                 {10, "0"},
                 {20, "0"},
                 {30, "0"},
                 {11, "1"},
                 {21, "1"},
                 {31, "1"}}),
       23},
      {"coordinate that is no number", Entities(Face({{"0", "0", "0"}, {"x", "0", "0"}})), 16},
      {"no number on a repeated code", Entities(Cat({tri, {{10, "0"}, {10, "-"}}})), 30},
      {"numbers out of range still scan",
       Entities(Face({{"1e999", "-1e999", "1e-999"}, {"1", "0", "0"}, {"1", "1", "0"}})), 0},
      {"no EOF group", Groups({{0, "SECTION"}, {2, "ENTITIES"}, {0, "ENDSEC"}}), 6},
      {"EOF without a line end", Groups({{0, "SECTION"}, {0, "ENDSEC"}}) + "0\nEOF", 0},
      {"EOF without a line end after CR LF",
       Groups({{0, "SECTION"}, {0, "ENDSEC"}}, "\r\n") + "0\r\neof", 0},
      {"a cut EOF name without a line end", Groups({{0, "SECTION"}, {0, "ENDSEC"}}) + "0\nEO", 6},
      {"a last code line without a line end", Groups({{0, "SECTION"}, {0, "ENDSEC"}}) + "0", 5},
      {"end of file inside a face", Groups(Cat({{{0, "SECTION"}}, tri})), 24},
      {"SECTION in a section", Groups({{0, "SECTION"}, {0, "SECTION"}}), 4},
      {"ENDSEC outside", Groups({{0, "ENDSEC"}}), 2},
      {"ENTITIES outside", Groups({{2, "ENTITIES"}}), 2},
      {"BLOCKS outside", Groups({{0, "SECTION"}, {0, "ENDSEC"}, {2, "blocks"}}), 6},
      {"other names outside are fine", Groups({{2, "HEADER"}, {0, "EOF"}}), 0},
      {"header 66 other than 1", Entities(Polyline({{66, "0"}}, {})), 10},
      {"spline-fit header", Entities(Polyline({{70, "12"}}, {})), 10},
      {"curve-fit header on a 2D polyline",
       Entities(Polyline({{70, "2"}}, {{{10, "0"}, {20, "0"}}})), 10},
      {"curve-fit vertex", Entities(Polyline({{70, "8"}}, {{{70, "2"}}})), 14},
      {"curve-fit vertex after a 2D vertex",
       Entities(Polyline({{70, "0"}}, {{{10, "0"}}, {{70, "1"}}})), 18},
      {"coordinate that is no number in a 2D polyline",
       Entities(Polyline({{70, "0"}}, {{{10, "0"}}, {{20, "y"}}})), 18},
      {"other entity inside a 2D polyline",
       Entities(Cat({{{0, "POLYLINE"}, {70, "0"}, {0, "VERTEX"}, {10, "0"}, {0, "LINE"}}})), 14},
      {"mesh vertex without bit 64", Entities(Polyline({{70, "16"}}, {Vertex(0, 0, 0, 32)})), 22},
      {"face index that is no number", Entities(Polyline({{70, "64"}}, {{{71, "a"}}})), 14},
      {"other entity inside a polyline",
       Entities(Cat({{{0, "POLYLINE"}, {70, "8"}}, Vertex(0, 0, 0, 32), {{0, "LINE"}}})), 18},
  };
  for (const auto& c : cases) {
    Loaded r = Load(c.file);
    if (c.line == 0) {
      EXPECT_TRUE(r.ok) << c.what << ": " << r.msg;
      EXPECT_EQ(r.msg, "") << c.what;
    } else {
      EXPECT_FALSE(r.ok) << c.what;
      EXPECT_EQ(r.msg, LineError(c.line)) << c.what;
    }
  }
  Loaded r = Load("");
  EXPECT_EQ(r.msg, LineError(0));
  PolygonModel m;
  EXPECT_FALSE(DxfLoadInto("/nonexistent/x.dxf", m));
  EXPECT_STREQ(DxfGetErrMsg(), "ファイルがオープンできませんでした。");
  EXPECT_EQ(DxfIsSupport("/nonexistent/x.dxf"), 0);
  EXPECT_STREQ(DxfGetErrMsg(), "");
}

// Exporters write the corner codes in other orders than 10, 11, 12, 13 per
// axis: each code names its corner and axis, wherever it stands.
TEST(DxfReader, FaceCornersAreTakenByTheirCodesInAnyOrder) {
  const std::vector<std::vector<std::string>> quad = {
      {"0", "0", "0"}, {"1", "0", "0"}, {"1", "1", "0.5"}, {"0", "1", "0.5"}};
  const Loaded inOrder = Load(Entities(Face(quad)));
  ASSERT_TRUE(inOrder.ok) << inOrder.msg;
  auto coded = [&](std::vector<int> codes) {
    std::vector<Group> g = {{0, "3DFACE"}, {8, "0"}, {70, "0"}};
    for (int c : codes)
      g.push_back({c, quad[static_cast<size_t>(c % 10)][static_cast<size_t>(c / 10 - 1)]});
    return Entities(g);
  };
  const struct {
    const char* what;
    std::vector<int> codes;
  } orders[] = {
      {"corners from the last", {13, 23, 33, 12, 22, 32, 11, 21, 31, 10, 20, 30}},
      {"axis by axis", {10, 11, 12, 13, 20, 21, 22, 23, 30, 31, 32, 33}},
      {"scattered", {33, 10, 22, 11, 13, 31, 20, 12, 32, 23, 21, 30}},
  };
  for (const auto& o : orders) {
    const Loaded r = Load(coded(o.codes));
    ASSERT_TRUE(r.ok) << o.what << ": " << r.msg;
    EXPECT_EQ(r.model.vertices, inOrder.model.vertices) << o.what;
    EXPECT_EQ(r.model.indexPool, inOrder.model.indexPool) << o.what;
    EXPECT_EQ(r.model.polyStart, inOrder.model.polyStart) << o.what;
  }
  // A fourth corner short of an axis does not count; a repeated code
  // replaces the value; codes of no corner (14) are passed over.
  const Loaded r = Load(Entities({{0, "3DFACE"},
                                  {13, "5"},
                                  {23, "5"},
                                  {10, "9"},
                                  {20, "0"},
                                  {30, "0"},
                                  {11, "1"},
                                  {21, "0"},
                                  {31, "0"},
                                  {12, "1"},
                                  {22, "1"},
                                  {32, "0"},
                                  {10, "0"},
                                  {14, "x"},
                                  {34, "x"}}));
  ASSERT_TRUE(r.ok) << r.msg;
  ASSERT_EQ(r.model.PolygonCount(), 1);
  ASSERT_EQ(r.model.VertexCount(), 3);
  EXPECT_EQ(r.model.vertices, (std::vector<Float3>{{0, 0, 0}, {1, 0, 0}, {1, 1, 0}}));
}

TEST(DxfReader, FacesBeforeAFailureStay) {
  const auto tri = Face({{"0", "0", "0"}, {"1", "0", "0"}, {"1", "1", "0"}});
  Loaded r = Load(Groups(Cat({{{0, "SECTION"}}, tri, tri, {{0, "ENDSEC"}}})));
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.model.PolygonCount(), 2);
  EXPECT_EQ(r.model.VertexCount(), 6);
}

TEST(DxfReader, PolygonMeshesClosedInMAndN) {
  const struct {
    int flags, m, n, vertices, quads;
    std::vector<int32_t> last;
  } cases[] = {
      {16, 3, 3, -1, 4, {4, 5, 8, 7}},
      {17, 3, 3, -1, 6, {7, 8, 2, 1}},  // closed in M: the last row joins the first
      {48, 3, 3, -1, 6, {5, 3, 6, 8}},  // closed in N
      {49, 3, 3, -1, 9, {8, 6, 0, 2}},  // closed in both
      {16, 2, 4, -1, 3, {2, 3, 7, 6}},
      // Fewer vertices than M x N: only quads over delivered vertices.
      {16, 3, 3, 7, 2, {1, 2, 5, 4}},
      {49, 3, 3, 0, 0, {}},
      // Sizes far beyond the vertices neither hang nor name missing vertices.
      {49, 2147483647, 2147483647, 4, 0, {}},
      {49, 2147483647, 2, 4, 2, {1, 0, 2, 3}},
      {49, -5, 3, 9, 0, {}},
  };
  for (const auto& c : cases) {
    Loaded r = Load(Entities(Cat({Face({{"9", "9", "9"}, {"9", "9", "8"}, {"9", "8", "8"}}),
                                  Mesh(c.flags, c.m, c.n, c.vertices)})));
    ASSERT_TRUE(r.ok) << r.msg;
    const int base = 3;  // after the face's vertices
    EXPECT_EQ(r.model.VertexCount(), base + (c.vertices < 0 ? c.m * c.n : c.vertices));
    ASSERT_EQ(r.model.PolygonCount(), 1 + c.quads) << c.flags << " " << c.m << "x" << c.n;
    if (c.quads == 0) continue;
    std::vector<int32_t> last = Corners(r.model, c.quads);
    for (int32_t& i : last) i -= base;
    EXPECT_EQ(last, c.last) << c.flags << " " << c.m << "x" << c.n;
    EXPECT_EQ(r.model.DropInvalidPolygons(), 0u);
  }
}

TEST(DxfReader, PolyfaceMeshes) {
  const auto four = std::vector<std::vector<Group>>{Vertex(0, 0, 0, 192), Vertex(1, 0, 0, 192),
                                                    Vertex(1, 1, 0, 192), Vertex(0, 1, 0, 192)};
  const struct {
    std::vector<std::string> corners;
    std::vector<int32_t> polygon;  // empty: left out
  } cases[] = {
      {{"1", "2", "3"}, {3, 4, 5}},
      {{"1", "2", "3", "4"}, {3, 4, 5, 6}},
      {{"1", "2", "3", "3"}, {3, 4, 5}},       // a fourth equal to the third
      {{"-1", "2", "-4", "3"}, {3, 4, 6, 5}},  // negative numbers mark hidden edges
      {{"0", "1", "2"}, {}},
      {{"1", "2", "5"}, {}},  // beyond the polyline's vertices
      {{"1", "2", "-2147483649"}, {}},
  };
  for (const auto& c : cases) {
    auto vertices = four;
    vertices.push_back(FaceRecord(c.corners));
    // A face before the polyline moves its base to 3.
    Loaded r = Load(Entities(Cat({Face({{"9", "9", "9"}, {"9", "9", "8"}, {"9", "8", "8"}}),
                                  Polyline({{66, "1"}, {70, "64"}}, vertices)})));
    ASSERT_TRUE(r.ok) << r.msg;
    EXPECT_EQ(r.model.VertexCount(), 7);
    ASSERT_EQ(r.model.PolygonCount(), c.polygon.empty() ? 1 : 2) << c.corners[2];
    if (!c.polygon.empty()) {
      EXPECT_EQ(Corners(r.model, 1), c.polygon);
    }
  }
  // Corner numbers carry over from the previous face record, except the
  // fourth; a face record outside a polyface mesh adds nothing.
  auto vertices = four;
  vertices.push_back(FaceRecord({"1", "2", "3", "4"}));
  vertices.push_back({{70, "128"}, {71, "2"}});
  Loaded r = Load(Entities(Polyline({{70, "64"}}, vertices)));
  ASSERT_EQ(r.model.PolygonCount(), 2);
  EXPECT_EQ(Corners(r.model, 1), (std::vector<int32_t>{1, 1, 2}));
  r = Load(Entities(Polyline({{70, "8"}}, {Vertex(0, 0, 0, 32), FaceRecord({"1", "1", "1"})})));
  ASSERT_TRUE(r.ok) << r.msg;
  EXPECT_EQ(r.model.PolygonCount(), 0);
}

// Polylines of no three-dimensional kind are drawing lines beside the
// faces: read to their SEQEND, they add nothing, and the file goes on.
TEST(DxfReader, TwoDimensionalPolylinesArePassedOver) {
  const auto before = Face({{"9", "9", "9"}, {"9", "9", "8"}, {"9", "8", "8"}});
  const auto after = Face({{"1", "1", "1"}, {"2", "1", "1"}, {"2", "2", "1"}});
  const auto four = std::vector<std::vector<Group>>{Vertex(0, 0, 0, 192), Vertex(1, 0, 0, 192),
                                                    Vertex(1, 1, 0, 192), Vertex(0, 1, 0, 192)};
  auto polyface = [&](std::vector<Group> last) {
    auto v = four;
    v.push_back(FaceRecord({"1", "2", "3", "4"}));
    v.push_back(std::move(last));
    v.push_back(FaceRecord({"1", "2", "3"}));
    return Polyline({{66, "1"}, {70, "64"}}, v);
  };
  const struct {
    const char* what;
    std::vector<Group> polyline;
  } cases[] = {
      {"2D polyline",
       Polyline({{66, "1"}, {70, "1"}, {30, "2"}},
                {{{10, "0"}, {20, "0"}, {70, "0"}}, {{10, "1"}, {42, "0.5"}}, {{20, "1"}}})},
      {"3D polyline whose vertices give no flags",
       Polyline({{66, "1"}, {70, "8"}}, {{{10, "0"}, {20, "0"}, {30, "0"}}, {{10, "1"}}})},
      // What the polyline had added before its odd vertex is taken back.
      {"polyface with a vertex of no kind", polyface({{10, "5"}, {70, "0"}})},
      {"mesh with a vertex of no kind", Polyline({{66, "1"}, {70, "16"}, {71, "2"}, {72, "2"}},
                                                 {Vertex(0, 0, 0, 64), Vertex(1, 0, 0, 64),
                                                  Vertex(0, 1, 0, 64), Vertex(1, 1, 0, 0)})},
      {"2D polyline without VERTEX", Polyline({{70, "0"}}, {})},
  };
  for (const auto& c : cases) {
    const Loaded r = Load(Entities(Cat({before, c.polyline, after})));
    ASSERT_TRUE(r.ok) << c.what << ": " << r.msg;
    ASSERT_EQ(r.model.VertexCount(), 6) << c.what;
    ASSERT_EQ(r.model.PolygonCount(), 2) << c.what;
    EXPECT_EQ(Corners(r.model, 1), (std::vector<int32_t>{3, 4, 5})) << c.what;
    EXPECT_EQ(r.model.vertices[3], (Float3{1, 1, 1})) << c.what;
  }
  // The same polyface with a face record in place of the odd vertex keeps
  // everything.
  const Loaded r = Load(Entities(Cat({before, polyface(FaceRecord({"2", "3", "4"})), after})));
  ASSERT_TRUE(r.ok) << r.msg;
  EXPECT_EQ(r.model.VertexCount(), 10);
  EXPECT_EQ(r.model.PolygonCount(), 5);
}

TEST(DxfReader, PolylineValuesCarryOverAndElevationRaisesZ) {
  // A 3D polyline adds its vertices and no polygon. The header's z is the
  // elevation; a vertex without a coordinate keeps the last one read.
  Loaded r = Load(Entities(
      Polyline({{10, "0"}, {20, "0"}, {30, "5"}, {70, "9"}}, {Vertex(1, 2, 3, 32), {{10, "7"}}})));
  ASSERT_TRUE(r.ok) << r.msg;
  EXPECT_EQ(r.model.PolygonCount(), 0);
  ASSERT_EQ(r.model.VertexCount(), 2);
  EXPECT_EQ(r.model.vertices[0], (Float3{1, 2, 8}));
  EXPECT_EQ(r.model.vertices[1], (Float3{7, 2, 8}));
}

// The line reading as the format has always been read: fgets into 512
// bytes, the chunk's text up to its first NUL, then character by character;
// a last line without a line end counts unless its text is empty.
std::vector<std::string> ReferenceLines(const std::string& path) {
  std::vector<std::string> out;
  FILE* f = fopen(path.c_str(), "rb");
  char buf[512] = {};
  int len = 0, pos = -1;
  for (;;) {
    std::string line;
    bool more = true;
    for (;;) {
      if (++pos >= len) {
        if (!fgets(buf, sizeof buf, f)) {
          more = false;
          break;
        }
        len = static_cast<int>(strlen(buf));
        pos = 0;
      }
      const char c = buf[pos];
      if (c == '\r' || c == '\n') break;
      line.push_back(c);
      if (line.size() == 511) break;
    }
    if (!more) {
      const size_t text = strnlen(line.c_str(), line.size());
      if (text > 0) out.push_back(line.substr(0, text));
      break;
    }
    if (buf[pos] == '\r' && buf[pos + 1] == '\n') ++pos;
    out.push_back(line.substr(0, strnlen(line.c_str(), line.size())));
  }
  fclose(f);
  return out;
}

TEST(DxfReader, LinesSplitAt511CharactersAndFollowTheChunks) {
  const std::string d511(511, '1');
  const struct {
    const char* what;
    std::string file;
    int line;  // 0: loads
  } cases[] = {
      // The 512th character starts the next line: here the code 0 of EOF.
      {"split after 511", "999\n" + d511 + "0\nEOF\n", 0},
      {"a split one character later would differ", "999\n" + d511 + "10\nEOF\n", 4},
      // A 511-character line's own line end gives an empty line (code 0).
      {"exactly 511", "999\n" + d511 + "\nEOF\n", 0},
      // A CR LF whose CR ends a chunk is two line ends.
      {"CR LF across chunks", "999\n" + std::string(510, '1') + "\r\n0\nEOF\n", 5},
      {"CR LF inside a chunk", "999\n" + std::string(509, '1') + "\r\n0\nEOF\n", 0},
      // The rest of a long extended-data line is skipped, however long.
      {"long extended data", "1001\n" + std::string(2000, 'x') + "\n0\nEOF\n", 0},
      {"rest of extended data skipped", "1001\n" + d511 + "0\nEOF\n", 4},
      // A NUL hides the rest of its chunk, so the line goes on in the next.
      {"NUL", std::string("999\nab\0cd\n0\nEOF\n", 16), 3},
      // The same split at the end of a file without a line end.
      {"split in the last line", "999\n" + d511 + "0\nEOF", 0},
  };
  for (const auto& c : cases) {
    Loaded r = Load(c.file);
    if (c.line == 0) {
      EXPECT_TRUE(r.ok) << c.what << ": " << r.msg;
    } else {
      EXPECT_EQ(r.msg, LineError(c.line)) << c.what;
    }
  }
  // A last line without a line end is a line unless it is empty.
  const struct {
    std::string file;
    std::vector<std::string> lines;
  } tails[] = {
      {"a\nb", {"a", "b"}},
      {"a\n", {"a"}},
      {"a\r\n", {"a"}},
      {"a\r", {"a"}},
      {"a\n" + std::string(600, 'x'), {"a", std::string(511, 'x'), std::string(89, 'x')}},
      {"a\n" + d511, {"a", d511}},
      {std::string("a\n\0b", 4), {"a"}},
      {std::string("a\nb\0c", 5), {"a", "b"}},
      {"", {}},
  };
  for (const auto& t : tails) {
    const std::string path = WriteTemp("tail.dxf", t.file);
    EXPECT_EQ(DxfSplitLines(path.c_str()), t.lines) << t.file.size();
  }
}

TEST(DxfReader, LineReadingMatchesTheReferenceOnRandomFiles) {
  std::mt19937 rng(7);
  const char* ends[] = {"\n", "\r\n", "\r", "\n\r", ""};
  for (int round = 0; round < 12; ++round) {
    std::string s;
    // Large rounds cross the reader's block boundaries many times.
    const size_t target = round < 8 ? 20000 : 2500000;
    while (s.size() < target) {
      const int kind = static_cast<int>(rng() % 10);
      size_t len = kind < 6 ? rng() % 12 : kind < 9 ? rng() % 1100 : 505 + rng() % 12;
      for (size_t i = 0; i < len; ++i) {
        const unsigned r = rng() % 400;
        s.push_back(r == 0 ? '\0' : static_cast<char>('a' + r % 26));
      }
      s += ends[rng() % (round % 2 ? 5 : 3)];
    }
    if (round % 3 == 0) s += "tail without end";
    const std::string path = WriteTemp("lines.dxf", s);
    const std::vector<std::string> want = ReferenceLines(path);
    const std::vector<std::string> got = DxfSplitLines(path.c_str());
    ASSERT_EQ(got.size(), want.size()) << "round " << round;
    for (size_t i = 0; i < want.size(); ++i) ASSERT_EQ(got[i], want[i]) << round << ":" << i;
  }
  // A CR LF split by a chunk end, and a NUL, just before the reader's first
  // block of 1 MiB ends.
  for (size_t before : {1, 2, 100, 300, 509, 510, 511, 512, 513}) {
    for (const std::string& line :
         {std::string(510, '1') + "\r\n", std::string(200, '2') + "\r\r\n",
          std::string("a\0b", 3) + std::string(508, '3') + "\r\n"}) {
      std::string s;
      while (s.size() + 100 < (1u << 20) - before) s += std::string(99, 'f') + "\n";
      s += std::string((1u << 20) - before - s.size() - 1, 'g') + "\n";
      s += line + "after\n";
      const std::string path = WriteTemp("block.dxf", s);
      EXPECT_EQ(DxfSplitLines(path.c_str()), ReferenceLines(path)) << before;
    }
  }
}

TEST(DxfReader, HostileInputEndsQuickly) {
  // A megabyte-long line, a truncated mesh, huge sizes without vertices.
  const auto start = std::chrono::steady_clock::now();
  Loaded r = Load(Entities({{999, std::string(3 << 20, '7')}}));
  if (!r.ok) {
    EXPECT_EQ(r.msg.rfind("データエラー (line:", 0), 0u);
  }
  r = Load(Entities(Mesh(49, 2147483647, 2147483647, 0)));
  EXPECT_TRUE(r.ok) << r.msg;
  EXPECT_EQ(r.model.PolygonCount(), 0);
  const std::string whole = Entities(Cat({Mesh(49, 4, 4), Mesh(16, 3, 3)}));
  for (size_t cut = 0; cut < whole.size(); cut += 7) {
    r = Load(whole.substr(0, cut));
    // Only the line end of the final EOF may be missing.
    if (cut + 1 == whole.size()) {
      EXPECT_TRUE(r.ok) << r.msg;
      continue;
    }
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.msg.rfind("データエラー (line:", 0), 0u) << cut;
    EXPECT_EQ(r.model.DropInvalidPolygons(), 0u) << cut;
  }
  // A sanity bound for a hang, not a speed test.
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(60));
}

// The binary form of the same groups: the sentinel, then each code in 2
// bytes (1 byte, 255 escaping wider codes, when narrow) and its value in the
// form the code's range gives.
std::string Binary(const std::vector<Group>& groups, bool narrow = false) {
  std::string s("AutoCAD Binary DXF\r\n\x1a\0", 22);
  for (const auto& [code, value] : groups) {
    if (!narrow) {
      PutU16(s, static_cast<unsigned>(code));
    } else if (code < 255) {
      s.push_back(static_cast<char>(code));
    } else {
      s.push_back('\xFF');
      PutU16(s, static_cast<unsigned>(code));
    }
    if ((code >= 10 && code <= 59) || (code >= 1010 && code <= 1059)) {
      const double d = std::stod(value);
      char b[8];
      memcpy(b, &d, 8);
      s.append(b, 8);
    } else if ((code >= 60 && code <= 79) || (code >= 1060 && code <= 1070)) {
      PutU16(s, static_cast<unsigned>(std::stoi(value)));
    } else if (code == 1071 || (code >= 90 && code <= 99)) {
      PutU32(s, static_cast<unsigned>(std::stol(value)));
    } else if (code == 290) {
      s.push_back(static_cast<char>(std::stoi(value)));
    } else if (code == 310 || code == 1004) {
      s.push_back(static_cast<char>(value.size()));
      s += value;
    } else {
      s += value;
      s.push_back('\0');
    }
  }
  return s;
}

TEST(DxfReader, BinaryFilesReadAsTheirTextForm) {
  // Groups of every value form, faces and each polyline kind.
  const std::vector<Group> header = {
      {0, "SECTION"}, {2, "HEADER"}, {9, "$ACADVER"}, {1, "AC1015"}, {9, "$EXTMIN"}, {10, "-1.5"},
      {20, "0"},      {30, "1e300"}, {90, "70000"},   {290, "1"},    {999, "note"},  {0, "ENDSEC"},
  };
  const std::vector<Group> xdata = {{1001, "APP"},    {1004, "\x01\x02\xff"},
                                    {1040, "2.5"},    {1070, "-3"},
                                    {1071, "123456"}, {310, std::string(200, '\x1a')}};
  const auto face =
      Cat({Face({{"0.1", "0", "0"}, {"1", "0", "0"}, {"1", "1", "0"}, {"0", "1", "0"}}), xdata});
  std::vector<Group> all = header;
  const auto body = Cat({face, Mesh(49, 3, 3), Mesh(16, 2, 2),
                         Polyline({{70, "64"}, {71, "4"}, {72, "1"}},
                                  {Vertex(0, 0, 0, 192), Vertex(1, 0, 0, 192), Vertex(1, 1, 0, 192),
                                   FaceRecord({"1", "2", "-3"})})});
  const std::string text = Groups(all) + Entities(body);
  all = Cat({all, {{0, "SECTION"}, {2, "ENTITIES"}}, body, {{0, "ENDSEC"}, {0, "EOF"}}});
  const Loaded want = Load(text);
  ASSERT_TRUE(want.ok) << want.msg;
  for (bool narrow : {false, true}) {
    const Loaded r = Load(Binary(all, narrow));
    ASSERT_TRUE(r.ok) << narrow << ": " << r.msg;
    ASSERT_EQ(r.model.VertexCount(), want.model.VertexCount());
    ASSERT_EQ(r.model.PolygonCount(), want.model.PolygonCount());
    for (int32_t v = 0; v < r.model.VertexCount(); ++v)
      EXPECT_EQ(r.model.vertices[v], want.model.vertices[v]) << v;
    for (int32_t p = 0; p < r.model.PolygonCount(); ++p)
      EXPECT_EQ(Corners(r.model, p), Corners(want.model, p)) << p;
  }
  EXPECT_EQ(want.model.vertices[0].x, 0.1f);  // the double read as a float

  // Errors name the line the text form would have.
  const auto noEof = std::vector<Group>(all.begin(), all.end() - 1);
  const Loaded textError = Load(Groups(noEof));
  ASSERT_FALSE(textError.ok);
  const Loaded binaryError = Load(Binary(noEof));
  EXPECT_FALSE(binaryError.ok);
  EXPECT_EQ(binaryError.msg, textError.msg);
}

TEST(DxfReader, DamagedBinaryFilesFailCleanly) {
  const auto tri = Face({{"0", "0", "0"}, {"1", "0", "0"}, {"1", "1", "0"}});
  const std::vector<Group> groups =
      Cat({{{0, "SECTION"}, {2, "ENTITIES"}}, tri, Mesh(16, 3, 3), {{0, "ENDSEC"}, {0, "EOF"}}});
  for (bool narrow : {false, true}) {
    const std::string whole = Binary(groups, narrow);
    // Every cut fails with a line number, and keeps what it had read.
    for (size_t cut = 0; cut < whole.size(); ++cut) {
      Loaded r = Load(whole.substr(0, cut));
      EXPECT_FALSE(r.ok) << cut;
      EXPECT_EQ(r.msg.rfind("データエラー (line:", 0), 0u) << cut;
      EXPECT_EQ(r.model.DropInvalidPolygons(), 0u) << cut;
    }
  }
  struct Case {
    const char* what;
    std::string bytes;
    std::string msg;
  } cases[] = {
      // A code of no known range: its value's size is unknown.
      {"unknown code", Binary({{0, "SECTION"}, {200, "x"}, {0, "EOF"}}), LineError(3)},
      // A string without its NUL runs to the end of the file; only a line's
      // worth is kept.
      {"endless string",
       Binary({{0, "SECTION"}}) + std::string("\0\0", 2) + std::string(8 << 20, 'S'), LineError(3)},
      {"sentinel only", std::string("AutoCAD Binary DXF\r\n\x1a\0", 22), LineError(0)},
      {"chunk longer than the file", Binary({{0, "SECTION"}}) + "\x36\x01\xff", LineError(3)},
  };
  for (const Case& c : cases) {
    const Loaded r = Load(c.bytes);
    EXPECT_FALSE(r.ok) << c.what;
    EXPECT_EQ(r.msg, c.msg) << c.what;
  }
}

// Every corpus file loads, also those with corner codes out of order, 2D
// polylines or vertices without flags. Where no POLYLINE adds polygons (none
// at all, or only 2D and 3D polylines), the polygons are the 3DFACEs.
TEST(DxfReader, CorpusFilesLoadWithTheirFaces) {
  const auto manifest = ReadManifest();
  const auto files = CorpusFiles("dxf");
  if (files.empty()) GTEST_SKIP() << CorpusSkipReason("dxf");
  for (const std::string& path : files) {
    Loaded r;
    r.ok = DxfLoadInto(path.c_str(), r.model);
    r.msg = DxfGetErrMsg();
    EXPECT_TRUE(r.ok) << path << ": " << r.msg;
    EXPECT_EQ(r.model.DropInvalidPolygons(), 0u) << path;
    const std::string rel = "dxf/" + path.substr(path.rfind('/') + 1);
    const auto row = manifest.find(rel);
    ASSERT_NE(row, manifest.end()) << rel;
    const std::string& notes = row->second.at("notes");
    const long lines = std::max(0L, NoteValue(notes, "2D-polyline")) +
                       std::max(0L, NoteValue(notes, "3D-polyline"));
    if (NoteValue(notes, "POLYLINE") == lines) {
      EXPECT_EQ(r.model.PolygonCount(), NoteValue(notes, "3DFACE")) << path;
    }
  }
}

}  // namespace

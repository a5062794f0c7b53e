#include "readers/lwo.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "core/pipeline.h"
#include "readers/builtin.h"
#include "tests/test_util.h"

namespace {

constexpr char kDataError[] = "データエラー．";

// Big-endian builders for IFF files.
std::string Be16(unsigned v) {
  return {static_cast<char>((v >> 8) & 0xFF), static_cast<char>(v & 0xFF)};
}
std::string Be32(unsigned v) { return Be16(v >> 16) + Be16(v & 0xFFFF); }
std::string BeF(float f) {
  unsigned u;
  memcpy(&u, &f, 4);
  return Be32(u);
}

std::string Chunk(const char* id, const std::string& body) {
  return std::string(id, 4) + Be32(static_cast<unsigned>(body.size())) + body;
}
std::string Sub(const char* id, const std::string& body) {
  return std::string(id, 4) + Be16(static_cast<unsigned>(body.size())) + body;
}
std::string Form(const char* type, const std::string& chunks) {
  return "FORM" + Be32(static_cast<unsigned>(chunks.size() + 4)) + std::string(type, 4) + chunks;
}
// A zero-terminated name padded to an even length.
std::string Name(const std::string& s) {
  std::string out = s + std::string(1, '\0');
  if (out.size() % 2) out.push_back('\0');
  return out;
}

std::string Pnts(const std::vector<Float3>& points) {
  std::string s;
  for (const Float3& p : points) s += BeF(p.x) + BeF(p.y) + BeF(p.z);
  return Chunk("PNTS", s);
}

// Variable-length index: two bytes below 0xFF00, else 0xFF and three bytes.
std::string Vx(unsigned v) { return v < 0xFF00 ? Be16(v) : Be32(0xFF000000u | v); }

std::string Pols(const std::vector<std::vector<unsigned>>& polygons, const char* type = "FACE") {
  std::string s(type, 4);
  for (const auto& p : polygons) {
    s += Be16(static_cast<unsigned>(p.size()));
    for (unsigned i : p) s += Vx(i);
  }
  return Chunk("POLS", s);
}

std::string Tags(const std::vector<std::string>& tags) {
  std::string s;
  for (const std::string& t : tags) s += Name(t);
  return Chunk("TAGS", s);
}

std::string Ptag(const std::vector<std::pair<unsigned, unsigned>>& map, const char* type = "SURF") {
  std::string s(type, 4);
  for (const auto& [polygon, tag] : map) s += Vx(polygon) + Be16(tag);
  return Chunk("PTAG", s);
}

std::string Colr(float r, float g, float b) {
  return Sub("COLR", BeF(r) + BeF(g) + BeF(b) + Be16(0));
}

std::string Surf(const std::string& name, const std::string& subs, const std::string& source = {}) {
  return Chunk("SURF", Name(name) + Name(source) + subs);
}

const std::vector<Float3> kQuad = {{1, 2, 3}, {4, 5, 6}, {7, 8, 9}, {1, 1, 1}};

struct Loaded {
  bool ok;
  std::string msg;
  PolygonModel model;
};

Loaded Load(const std::string& bytes) {
  Loaded r;
  const std::string path = WriteTemp("t.lwo", bytes);
  r.ok = LwoLoadInto(path.c_str(), r.model);
  r.msg = LwoGetErrMsg();
  return r;
}

std::vector<int32_t> Corners(const PolygonModel& m, int32_t p) {
  return std::vector<int32_t>(m.index(p), m.index(p) + m.nv(p));
}

TEST(Lwo, IsSupportAcceptsOnlyTheThreeKnownForms) {
  struct Case {
    const char* what;
    std::string bytes;
    int32_t expected;
  } cases[] = {
      {"LWOB", Form("LWOB", ""), 1},
      {"LWO2", Form("LWO2", Pnts(kQuad)), 1},
      {"LWO3", Form("LWO3", ""), 1},
      {"layered object", Form("LWLO", ""), -1},
      {"another IFF form", Form("ILBM", ""), -1},
      {"not FORM", "FORX" + Be32(4) + "LWO2", -1},
      {"cut in the form type", std::string("FORM\0\0\0\4LW", 10), -1},
      {"empty", "", -1},
  };
  for (const Case& c : cases) {
    const std::string path = WriteTemp("support.lwo", c.bytes);
    EXPECT_EQ(LwoIsSupport(path.c_str()), c.expected) << c.what;
  }
  EXPECT_EQ(LwoIsSupport((TempDir() + "/missing.lwo").c_str()), -1);
}

TEST(Lwo, Version2PointsPolygonsAndSurfaceColours) {
  const Loaded r =
      Load(Form("LWO2", Tags({"Red", "Unused"}) + Chunk("LAYR", std::string(18, '\0')) +
                            Pnts(kQuad) + Chunk("BBOX", std::string(24, '\0')) +
                            Pols({{0, 1, 2}, {0, 1, 2, 3}}) + Ptag({{0, 0}}) +
                            Surf("Red", Sub("DIFF", BeF(1) + Be16(0)) + Colr(0.5f, 0.25f, 1.0f))));
  ASSERT_TRUE(r.ok) << r.msg;
  ASSERT_EQ(r.model.VertexCount(), 4);
  EXPECT_EQ(r.model.vertices[0], (Float3{1, 2, -3}));
  ASSERT_EQ(r.model.PolygonCount(), 2);
  EXPECT_EQ(Corners(r.model, 0), (std::vector<int32_t>{0, 1, 2}));
  EXPECT_EQ(Corners(r.model, 1), (std::vector<int32_t>{0, 1, 2, 3}));
  EXPECT_EQ(r.model.material(0), 1);
  EXPECT_EQ(r.model.color(0), (Float3{0.5f, 0.25f, 1.0f}));
  EXPECT_EQ(r.model.material(1), -1);
}

// ---- Texture coordinates and images ----

std::string Vmap(const char* type, unsigned dim, const std::string& name,
                 const std::vector<std::pair<unsigned, Float2>>& values, bool perPolygon = false,
                 unsigned polygon = 0) {
  std::string s = std::string(type, 4) + Be16(dim) + Name(name);
  for (const auto& [vert, uv] : values)
    s += Vx(vert) + (perPolygon ? Vx(polygon) : std::string()) + BeF(uv.u) + BeF(uv.v);
  return Chunk(perPolygon ? "VMAD" : "VMAP", s);
}

// A texture block mapping an image onto a channel with a projection.
std::string Blok(const char* channel, unsigned projection, unsigned clip) {
  const std::string header =
      Sub("IMAP", Name("\x80") + Sub("CHAN", channel) + Sub("ENAB", Be16(1)) +
                      Sub("OPAC", std::string(6, '\0')));
  return Sub("BLOK", header + Sub("TMAP", Sub("CNTR", std::string(14, '\0'))) +
                         Sub("PROJ", Be16(projection)) + Sub("IMAG", Vx(clip)) +
                         Sub("VMAP", Name("UV")));
}

std::string Clip(unsigned index, const std::string& file) {
  return Chunk("CLIP", Be32(index) + Sub("STIL", Name(file)));
}

TEST(Lwo, Version2TextureCoordinatesAndSurfaceImages) {
  const std::string clips = Clip(1, "images/wood.png") + Clip(2, "other.jpg");
  const std::string geometry =
      Tags({"Wood", "Bump", "Flat"}) + Pnts(kQuad) +
      Vmap("TXUV", 2, "UV", {{0, {0, 0}}, {1, {1, 0}}, {2, {1, 1}}, {3, {0, 1}}, {99, {5, 5}}}) +
      Vmap("TXUV", 2, "Second", {{0, {7, 7}}}) + Vmap("WGHT", 1, "W", {}) +
      Pols({{0, 1, 2}, {0, 2, 3}, {1, 2, 3}}) + Ptag({{0, 0}, {1, 1}, {2, 2}}) +
      Vmap("TXUV", 2, "UV", {{2, {0.5f, 0.5f}}, {3, {0.25f, 0.25f}}}, true, 1);
  const std::string surfaces =
      Surf("Wood", Colr(1, 0.5f, 0) + Blok("COLR", 5, 1)) +
      Surf("Bump", Colr(0, 0, 1) + Blok("BUMP", 5, 2)) +  // not the colour channel
      Surf("Flat", Colr(0, 1, 0) + Blok("COLR", 1, 2));   // planar: colour only
  const Loaded r = Load(Form("LWO2", clips + geometry + surfaces));
  ASSERT_TRUE(r.ok) << r.msg;
  const SurfaceAppearance& a = r.model.appearance;
  ASSERT_EQ(a.materials.size(), 3u);
  EXPECT_EQ(a.materials[0].texture, "images/wood.png");
  EXPECT_EQ(std::vector<float>(a.materials[0].color, a.materials[0].color + 3),
            (std::vector<float>{1, 0.5f, 0}));
  EXPECT_EQ(a.materials[1].texture, "");
  EXPECT_EQ(a.materials[2].texture, "");
  EXPECT_EQ(a.polygonMaterial, (std::vector<int32_t>{0, 1, 2}));
  const std::vector<Float2> want = {{0, 0},         {1, 0}, {1, 1}, {0, 0}, {0.5f, 0.5f},
                                    {0.25f, 0.25f}, {1, 0}, {1, 1}, {0, 1}};
  EXPECT_EQ(a.cornerUV, want);
  // The flat colours stay as they were.
  EXPECT_EQ(r.model.color(0), (Float3{1, 0.5f, 0}));
  EXPECT_EQ(r.model.material(0), 1);
}

TEST(Lwo, Version2PolygonsLeftOutTakeTheirAppearanceWithThem) {
  // The first polygon names a point that is not there; the second has the
  // surface, the last none; the coordinates must stay with their corners.
  const Loaded r = Load(
      Form("LWO2", Tags({"S"}) + Pnts(kQuad) +
                       Vmap("TXUV", 2, "UV", {{0, {0, 0}}, {1, {1, 0}}, {2, {1, 1}}, {3, {0, 1}}}) +
                       Pols({{0, 1, 9}, {1, 2, 3}, {0, 1, 2}}) + Ptag({{1, 0}}) +
                       Surf("S", Colr(1, 0, 0))));
  ASSERT_TRUE(r.ok) << r.msg;
  ASSERT_EQ(r.model.PolygonCount(), 2);
  const SurfaceAppearance& a = r.model.appearance;
  EXPECT_EQ(a.polygonMaterial, (std::vector<int32_t>{0, -1}));
  EXPECT_EQ(a.cornerUV, (std::vector<Float2>{{1, 0}, {1, 1}, {0, 1}, {0, 0}, {1, 0}, {1, 1}}));
}

TEST(Lwo, Version2DamagedMapsAndClipsNeverFailTheLoad) {
  const std::string base = Tags({"S"}) + Pnts(kQuad) + Pols({{0, 1, 2}}) + Ptag({{0, 0}});
  const std::string surf = Surf("S", Colr(1, 1, 1) + Blok("COLR", 5, 1));
  const struct {
    const char* what;
    std::string chunks;
  } cases[] = {
      {"a map cut inside a value", Chunk("VMAP", "TXUV" + Be16(2) + Name("UV") + Be16(0) + "ab")},
      {"a map without its name", Chunk("VMAP", "TXUV" + Be16(2) + "UV")},
      {"a map naming points and polygons that are not there",
       Vmap("TXUV", 2, "UV", {{0xFFFFF, {1, 1}}}, true, 0xFFFFF) +
           Vmap("TXUV", 2, "UV", {{0xFFFFF, {1, 1}}})},
      {"an empty clip", Chunk("CLIP", "")},
      {"a still name without its zero byte", Chunk("CLIP", Be32(1) + Sub("STIL", "abc"))},
      {"a clip sub-chunk running past the clip", Chunk("CLIP", Be32(1) + "STIL" + Be16(100) + "x")},
  };
  for (const auto& c : cases) {
    const Loaded r = Load(Form("LWO2", base + c.chunks + surf));
    ASSERT_TRUE(r.ok) << c.what << ": " << r.msg;
    EXPECT_EQ(r.model.PolygonCount(), 1) << c.what;
  }
  // A texture block cut short inside its surface.
  const Loaded r = Load(
      Form("LWO2", base + Surf("S", Colr(1, 1, 1) + Sub("BLOK", std::string("IMAP\0\x40", 6)))));
  ASSERT_TRUE(r.ok) << r.msg;
}

TEST(Lwo, Version2TagWithoutAColouredSurfaceIsADataError) {
  const std::string head = Tags({"Skin"}) + Pnts(kQuad) + Pols({{0, 1, 2}}) + Ptag({{0, 0}});
  struct Case {
    const char* what;
    std::string surfaces;
  } cases[] = {
      {"no SURF chunk", Surf("Other", Colr(1, 0, 0))},
      {"SURF without COLR", Surf("Skin", Sub("DIFF", BeF(1) + Be16(0)))},
      {"name compared case-sensitively", Surf("skin", Colr(1, 0, 0))},
      {"unknown source and no sub-chunks", Surf("Skin", "", "Base")},
      {"unknown source and no COLR", Surf("Skin", Sub("DIFF", BeF(1) + Be16(0)), "Base")},
  };
  for (const Case& c : cases) {
    const Loaded r = Load(Form("LWO2", head + c.surfaces));
    EXPECT_FALSE(r.ok) << c.what;
    EXPECT_EQ(r.msg, kDataError) << c.what;
  }
}

TEST(Lwo, Version2SurfaceTakesItsSourceColour) {
  const Loaded r =
      Load(Form("LWO2", Tags({"Base", "Copy"}) + Pnts(kQuad) + Pols({{0, 1, 2}, {1, 2, 3}}) +
                            Ptag({{0, 1}, {1, 0}}) + Surf("Base", Colr(0, 1, 0)) +
                            Surf("Copy", Colr(1, 0, 0), "Base")));
  ASSERT_TRUE(r.ok) << r.msg;
  EXPECT_EQ(r.model.material(0), 2);
  EXPECT_EQ(r.model.color(0), (Float3{0, 1, 0}));
  EXPECT_EQ(r.model.material(1), 1);
}

// Exporters write sources that name no surface, or the surface itself:
// such a surface is read like one without a source.
TEST(Lwo, Version2SurfaceWithAnUnknownSourceTakesItsOwnColour) {
  struct Case {
    const char* what;
    std::string surfaces;
    Float3 skin;
  } cases[] = {
      {"source names no surface",
       Surf("Skin", Sub("DIFF", BeF(1) + Be16(0)) + Colr(0.5f, 0.25f, 1), "Unknown"),
       {0.5f, 0.25f, 1}},
      {"source names the surface itself", Surf("Skin", Colr(0, 0, 1), "Skin"), {0, 0, 1}},
      {"source defined only after it",
       Surf("Skin", Colr(0, 1, 1), "Base") + Surf("Base", Colr(1, 0, 0)),
       {0, 1, 1}},
  };
  for (const Case& c : cases) {
    const Loaded r = Load(Form("LWO2", Tags({"Skin"}) + Pnts(kQuad) + Pols({{0, 1, 2}, {1, 2, 3}}) +
                                           Ptag({{0, 0}}) + c.surfaces));
    ASSERT_TRUE(r.ok) << c.what << ": " << r.msg;
    ASSERT_EQ(r.model.PolygonCount(), 2) << c.what;
    EXPECT_EQ(r.model.material(0), 1) << c.what;
    EXPECT_EQ(r.model.color(0), c.skin) << c.what;
    EXPECT_EQ(r.model.material(1), -1) << c.what;
  }
}

TEST(Lwo, Version2PolygonWordsIndicesAndLayers) {
  // Flag bits in the count word are ignored.
  std::string flagged = "FACE" + Be16(0x0403) + Be16(0) + Be16(1) + Be16(2);
  const Loaded r1 = Load(Form("LWO2", Pnts(kQuad) + Chunk("POLS", flagged)));
  ASSERT_TRUE(r1.ok);
  ASSERT_EQ(r1.model.PolygonCount(), 1);
  EXPECT_EQ(Corners(r1.model, 0), (std::vector<int32_t>{0, 1, 2}));

  // The second layer's indices count from its own points, here through the
  // 4-byte form FF 01 00 05.
  std::vector<Float3> many(65542, Float3{0, 0, 0});
  many[65541] = {5, 6, 7};
  const std::string longForm = "FACE" + Be16(3) + Be16(0) + Be16(1) + Be32(0xFF010005);
  const Loaded r2 = Load(Form("LWO2", Pnts({{1, 1, 1}, {2, 2, 2}}) + Pols({{1, 0, 1}, {0, 1, 0}}) +
                                          Pnts(many) + Chunk("POLS", longForm) + Tags({"A"}) +
                                          Ptag({{0, 0}}) + Surf("A", Colr(1, 1, 0))));
  ASSERT_TRUE(r2.ok) << r2.msg;
  ASSERT_EQ(r2.model.PolygonCount(), 3);
  EXPECT_EQ(Corners(r2.model, 2), (std::vector<int32_t>{2, 3, 65543}));
  EXPECT_EQ(r2.model.vertices[65543], (Float3{5, 6, -7}));
  // The PTAG after the second POLS numbers that chunk's polygons.
  EXPECT_EQ(r2.model.material(0), -1);
  EXPECT_EQ(r2.model.material(2), 1);
}

// Chunks far larger than the reading window, with records of mixed sizes
// falling across its edges.
TEST(Lwo, Version2LongChunksReadWhole) {
  const unsigned kPoints = 70000, kPolygons = 120000;
  std::vector<Float3> points(kPoints);
  for (unsigned i = 0; i < kPoints; ++i) points[i] = {static_cast<float>(i), 1, 2};
  std::vector<std::vector<unsigned>> polygons(kPolygons);
  std::vector<std::pair<unsigned, unsigned>> tags;
  uint32_t x = 12345;
  for (unsigned p = 0; p < kPolygons; ++p) {
    polygons[p].resize(3 + p % 3);
    for (unsigned& i : polygons[p]) {
      x = x * 1103515245u + 12345u;
      i = (x >> 8) % kPoints;
    }
    tags.push_back({p, p % 2});
  }
  const Loaded r = Load(Form("LWO2", Tags({"A", "B"}) + Pnts(points) + Pols(polygons) + Ptag(tags) +
                                         Surf("A", Colr(1, 0, 0)) + Surf("B", Colr(0, 1, 0))));
  ASSERT_TRUE(r.ok) << r.msg;
  ASSERT_EQ(r.model.VertexCount(), static_cast<int32_t>(kPoints));
  EXPECT_EQ(r.model.vertices[kPoints - 1], (Float3{kPoints - 1.0f, 1, -2}));
  ASSERT_EQ(r.model.PolygonCount(), static_cast<int32_t>(kPolygons));
  for (unsigned p = 0; p < kPolygons; ++p) {
    const std::vector<int32_t> want(polygons[p].begin(), polygons[p].end());
    ASSERT_EQ(Corners(r.model, p), want) << p;
    ASSERT_EQ(r.model.material(p), static_cast<int32_t>(p % 2 + 1)) << p;
  }
}

TEST(Lwo, Version2PtagEntriesThatFitNoPolygonAreIgnored) {
  // PTAG polygon numbers may use the 4-byte form as well: FF 00 00 01 is 1.
  const std::string longNumber = "SURF" + Be32(0xFF000001) + Be16(0);
  const Loaded r = Load(Form(
      "LWO2", Tags({"A"}) + Pnts(kQuad) + Pols({{0, 1, 2}, {1, 2, 3}}) + Ptag({{0, 0}}, "PART") +
                  Ptag({{0, 7}, {5, 0}}) + Chunk("PTAG", longNumber) + Pols({{0, 1, 2}}, "BONE") +
                  Ptag({{0, 0}}) + Pols({{2, 3, 0}}) + Surf("A", Colr(0, 0, 1))));
  ASSERT_TRUE(r.ok) << r.msg;
  ASSERT_EQ(r.model.PolygonCount(), 3);
  // PART tags and tag 7 (beyond the tag list) leave polygon 0 untagged; the
  // polygon number 5 does not exist; the PTAG after the BONE chunk names
  // none of the later FACE polygons.
  EXPECT_EQ(r.model.material(0), -1);
  EXPECT_EQ(r.model.material(1), 1);
  EXPECT_EQ(r.model.color(1), (Float3{0, 0, 1}));
  EXPECT_EQ(r.model.material(2), -1);
}

TEST(Lwo, Version2PolygonNamingAMissingPointIsLeftOut) {
  const Loaded r = Load(Form("LWO2", Tags({"A"}) + Pnts(kQuad) +
                                         Pols({{0, 1, 9}, {0, 1, 2}, {3, 70000, 1}, {1, 2, 3}}) +
                                         Ptag({{1, 0}, {3, 0}}) + Surf("A", Colr(1, 0, 0))));
  ASSERT_TRUE(r.ok) << r.msg;
  ASSERT_EQ(r.model.PolygonCount(), 2);
  EXPECT_EQ(Corners(r.model, 0), (std::vector<int32_t>{0, 1, 2}));
  EXPECT_EQ(Corners(r.model, 1), (std::vector<int32_t>{1, 2, 3}));
  EXPECT_EQ(r.model.material(0), 1);
  EXPECT_EQ(r.model.material(1), 1);
}

// Version 1 POLS: count, indices and a signed surface word per polygon.
std::string Pols1(const std::vector<std::pair<std::vector<unsigned>, int>>& polygons) {
  std::string s;
  for (const auto& [corners, surface] : polygons) {
    s += Be16(static_cast<unsigned>(corners.size()));
    for (unsigned i : corners) s += Be16(i);
    s += Be16(static_cast<unsigned>(surface) & 0xFFFF);
  }
  return Chunk("POLS", s);
}

std::string Srfs(const std::vector<std::string>& names) {
  std::string s;
  for (const std::string& n : names) s += Name(n);
  return Chunk("SRFS", s);
}

std::string Surf1(const std::string& name, const std::string& subs) {
  return Chunk("SURF", Name(name) + subs);
}

TEST(Lwo, Version1SurfacesColoursAndPolygons) {
  const std::string rgb = Sub("COLR", std::string("\xFF\x80\x00\x00", 4));
  // Polygon 3 carries one detail polygon, which is read and dropped.
  std::string pols = Pols1({{{0, 1, 2}, 1}, {{0, 1}, 2}, {{1, 2, 3}, 2}, {{0, 2, 3}, -1}});
  std::string detail = Be16(1) + Be16(3) + Be16(0) + Be16(1) + Be16(3) + Be16(1);
  std::string tail = Pols1({{{3, 2, 1}, 0}, {{0, 1, 3}, 9}, {{0, 1, 7}, 1}});
  pols = Chunk("POLS", pols.substr(8) + detail + tail.substr(8));
  const Loaded r =
      Load(Form("LWOB", Pnts(kQuad) + pols + Srfs({"Orange", "Plain"}) + Surf1("Orange", rgb) +
                            Surf1("Plain", Sub("FLAG", Be16(0)) + rgb)));
  ASSERT_TRUE(r.ok) << r.msg;
  EXPECT_EQ(r.model.vertices[0], (Float3{1, 2, -3}));
  // Left out: the 2-corner polygon, the detail polygon and the polygon
  // naming point 7.
  ASSERT_EQ(r.model.PolygonCount(), 5);
  EXPECT_EQ(Corners(r.model, 1), (std::vector<int32_t>{1, 2, 3}));
  EXPECT_EQ(Corners(r.model, 2), (std::vector<int32_t>{0, 2, 3}));
  EXPECT_EQ(Corners(r.model, 3), (std::vector<int32_t>{3, 2, 1}));
  EXPECT_EQ(r.model.material(0), 1);
  EXPECT_EQ(r.model.color(0), (Float3{1.0f, 128 / 255.0f, 0.0f}));
  // A SURF whose first sub-chunk is not COLR leaves its surface black.
  EXPECT_EQ(r.model.material(1), 2);
  EXPECT_EQ(r.model.color(1), (Float3{0, 0, 0}));
  EXPECT_EQ(r.model.material(2), 1);  // the absolute value of -1
  EXPECT_EQ(r.model.material(3), -1);
  // Surface 9 has no entry: the object colour.
  EXPECT_EQ(r.model.material(4), -1);
}

TEST(Lwo, Version1NeverFailsAndStopsAtACutChunk) {
  const std::string bytes =
      Form("LWOB", Pnts(kQuad) + Pols1({{{0, 1, 2}, 1}, {{1, 2, 3}, 1}}) + Srfs({"A"}) +
                       Surf1("A", Sub("COLR", std::string(4, '\x40'))));
  for (size_t n = 0; n <= bytes.size(); ++n) {
    const Loaded r = Load(bytes.substr(0, n));
    EXPECT_TRUE(r.ok) << n;
    EXPECT_EQ(r.msg, "") << n;
    EXPECT_LE(r.model.PolygonCount(), 2) << n;
  }
  std::string huge = Form("LWOB", Pnts(kQuad) + "POLS" + Be32(0xFFFFFFFF) + Be16(3));
  const Loaded r = Load(huge);
  EXPECT_TRUE(r.ok);
  EXPECT_EQ(r.model.VertexCount(), 4);
  EXPECT_EQ(r.model.PolygonCount(), 0);
}

TEST(Lwo, Version2TruncationFailsInsideAChunkOnly) {
  std::vector<size_t> bounds;  // offsets where a chunk ends
  std::string chunks;
  for (const std::string& c : {Tags({"A"}), Pnts(kQuad), Pols({{0, 1, 2}, {1, 2, 3}}),
                               Ptag({{1, 0}}), Surf("A", Colr(1, 0, 0))}) {
    chunks += c;
    bounds.push_back(12 + chunks.size());
  }
  const std::string bytes = Form("LWO2", chunks);
  for (size_t n = 12; n < bytes.size(); ++n) {
    // Fewer than 4 bytes after a chunk cannot start another: the file ends.
    bool atBoundary = n < 16;
    for (size_t b : bounds) atBoundary = atBoundary || (n >= b && n < b + 4);
    const Loaded r = Load(bytes.substr(0, n));
    // A cut between the PTAG and the SURF chunk leaves a tag without a
    // colour.
    const bool ok = atBoundary && n < bounds[3];
    EXPECT_EQ(r.ok, ok) << n;
    EXPECT_EQ(r.msg, ok ? "" : kDataError) << n;
  }
  // A short header cannot name a version: nothing is read.
  for (size_t n = 0; n < 12; ++n) {
    const Loaded r = Load(bytes.substr(0, n));
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.model.VertexCount(), 0);
  }
}

TEST(Lwo, Version2CorruptChunksEndInADataError) {
  auto raw = [](const char* id, unsigned length, const std::string& body) {
    return std::string(id, 4) + Be32(length) + body;
  };
  struct Case {
    const char* what;
    std::string chunks;
    bool ok;
  } cases[] = {
      {"chunk length 0xFFFFFFFF", Pnts(kQuad) + raw("VMAP", 0xFFFFFFFF, "TXUV"), false},
      {"PNTS length 0xFFFFFFFF", raw("PNTS", 0xFFFFFFFF, std::string(24, '\0')), false},
      {"chunk length 0", Pnts(kQuad) + raw("CLIP", 0, "") + Pols({{0, 1, 2}}), true},
      // Five bytes skipped put the next "identifier" inside a chunk; its
      // length then runs past the end of the file.
      {"chunk length 5", raw("CLIP", 5, "") + Pnts(kQuad), false},
      {"chunk header cut", Pnts(kQuad) + "POLS\0\0", false},
      {"corner count beyond the chunk", Pnts(kQuad) + Chunk("POLS", "FACE" + Be16(1023) + Be16(0)),
       false},
      {"4-byte index cut", Pnts(kQuad) + Chunk("POLS", "FACE" + Be16(1) + Be16(0xFF01)), false},
      {"POLS shorter than its type", Pnts(kQuad) + Chunk("POLS", "FA"), true},
      {"PTAG record cut", Pnts(kQuad) + Pols({{0, 1, 2}}) + Chunk("PTAG", "SURF" + Be16(0)), false},
      {"surface name without a zero byte", Chunk("SURF", "NoZeroByte"), false},
      {"COLR cut", Chunk("SURF", Name("A") + Name("") + "COLR" + Be16(14) + BeF(1)), false},
      {"sub-chunk length past the SURF chunk", Surf("A", Sub("DIFF", "") + "SMAN\xFF\xFF"), true},
      {"tag without a zero byte", Chunk("TAGS", "Tag"), true},
  };
  for (const Case& c : cases) {
    const Loaded r = Load(Form("LWO2", c.chunks));
    EXPECT_EQ(r.ok, c.ok) << c.what;
    EXPECT_EQ(r.msg, c.ok ? "" : kDataError) << c.what;
  }
}

// LWO3: the chunks of LWO2; a surface is a FORM of type SURF whose
// sub-chunks, nested forms among them, have 32-bit lengths.
std::string Sub3(const char* id, const std::string& body) { return Chunk(id, body); }
std::string Surf3(const std::string& name, const std::string& subs,
                  const std::string& source = {}) {
  return Form("SURF", Name(name) + Name(source) + subs);
}
std::string Colr3(float r, float g, float b) {
  return Sub3("COLR", BeF(r) + BeF(g) + BeF(b) + Be16(0));
}
const std::string kNodes3 =
    Form("NODS", Sub3("NROT", std::string(8, '\0')) + Form("NNDS", Sub3("NSTA", Be16(0))));

TEST(Lwo, Version3ReadsTheVersion2ChunksAndSurfaceForms) {
  const Loaded r = Load(Form(
      "LWO3", Tags({"Red", "Nodal", "Copy"}) + Chunk("LAYR", std::string(18, '\0')) + Pnts(kQuad) +
                  Pols({{0, 1, 2}, {0, 1, 2, 3}, {1, 2, 3}, {0, 2, 3}}) +
                  Ptag({{0, 0}, {1, 1}, {2, 2}}) + Form("CLIP", Be32(1)) +
                  Surf3("Red", Sub3("VERS", Be32(950)) + kNodes3 + Colr3(0.5f, 0.25f, 1.0f)) +
                  // A surface made of nodes only has no base colour.
                  Surf3("Nodal", Sub3("VERS", Be32(950)) + kNodes3) + Surf3("Copy", "", "Red")));
  ASSERT_TRUE(r.ok) << r.msg;
  ASSERT_EQ(r.model.VertexCount(), 4);
  EXPECT_EQ(r.model.vertices[0], (Float3{1, 2, -3}));
  ASSERT_EQ(r.model.PolygonCount(), 4);
  EXPECT_EQ(Corners(r.model, 1), (std::vector<int32_t>{0, 1, 2, 3}));
  EXPECT_EQ(r.model.material(0), 1);
  EXPECT_EQ(r.model.color(0), (Float3{0.5f, 0.25f, 1.0f}));
  EXPECT_EQ(r.model.material(1), -1);  // drawn in the object colour
  EXPECT_EQ(r.model.material(2), 3);
  EXPECT_EQ(r.model.color(2), (Float3{0.5f, 0.25f, 1.0f}));
  EXPECT_EQ(r.model.material(3), -1);
  // A tag that names no surface at all is still a data error.
  const Loaded missing = Load(Form("LWO3", Tags({"Skin"}) + Pnts(kQuad) + Pols({{0, 1, 2}}) +
                                               Ptag({{0, 0}}) + Surf3("Other", Colr3(1, 0, 0))));
  EXPECT_FALSE(missing.ok);
  EXPECT_EQ(missing.msg, kDataError);
}

TEST(Lwo, Version3DamagedFilesFailCleanly) {
  const std::string chunks = Tags({"A"}) + Pnts(kQuad) + Pols({{0, 1, 2}}) + Ptag({{0, 0}}) +
                             Surf3("A", kNodes3 + Colr3(1, 0, 0));
  const std::string bytes = Form("LWO3", chunks);
  // Every cut: no crash, and a cut inside a chunk is a data error.
  for (size_t n = 12; n < bytes.size(); ++n) {
    const Loaded r = Load(bytes.substr(0, n));
    EXPECT_EQ(r.msg, r.ok ? "" : kDataError) << n;
  }
  auto raw = [](const char* id, unsigned length, const std::string& body) {
    return std::string(id, 4) + Be32(length) + body;
  };
  const std::string head = Tags({"A"}) + Pnts(kQuad) + Pols({{0, 1, 2}}) + Ptag({{0, 0}});
  struct Case {
    const char* what;
    std::string chunks;
    bool ok;
  } cases[] = {
      {"sub-chunk length 0xFFFFFFFF", Surf3("A", raw("VERS", 0xFFFFFFFF, "")), true},
      {"COLR cut", Surf3("A", raw("COLR", 14, BeF(1))), false},
      {"form length past the file", raw("FORM", 0xFFFFFFF0, "SURF"), false},
      {"form shorter than its type", raw("FORM", 2, "SU") + Surf3("A", Colr3(1, 0, 0)), true},
      {"surface name without a zero byte", Form("SURF", "NoZeroByte"), false},
  };
  for (const Case& c : cases) {
    const Loaded r = Load(Form("LWO3", head + c.chunks));
    EXPECT_EQ(r.ok, c.ok) << c.what;
    EXPECT_EQ(r.msg, c.ok ? "" : kDataError) << c.what;
  }
}

TEST(Lwo, FailsToOpenAMissingFile) {
  PolygonModel m;
  EXPECT_FALSE(LwoLoadInto((TempDir() + "/nothing.lwo").c_str(), m));
  EXPECT_STREQ(LwoGetErrMsg(), "ファイルがオープンできませんでした。");
}

// The pipeline offers a file to a reader only when its IsSupport does not
// answer -1: neither reader takes a file it rejects, whatever its name.
TEST(Lwo, PipelineSkipsFilesTheReadersReject) {
  struct Host : LoadHost {
    LoadSettings Settings() const override { return {}; }
    void AppendLog(const std::string& line) override { log.push_back(line); }
    std::vector<std::string> log;
  };
  std::string tds;  // MM, byte 28 at 1 and no chunk tree behind it
  PutU16(tds, 0x4D4D);
  PutU32(tds, 30);
  tds += std::string(24, '\0');
  tds[28] = 1;
  struct Case {
    const char* name;
    std::string bytes;
  } cases[] = {
      {"layered.lwo", Form("LWLO", Pnts(kQuad) + Pols({{0, 1, 2}}))},
      {"old.3ds", tds},
  };
  LoadPipeline pipeline;
  BuildReaderTable(pipeline.table, BuiltinReaders(), false, nullptr);
  for (const Case& c : cases) {
    Host host;
    const std::string path = WriteTemp(c.name, c.bytes);
    EXPECT_EQ(LoadModelFile(pipeline, host, path), LoadOutcome::kFailed) << c.name;
    ASSERT_EQ(host.log.size(), 3u) << c.name;
    EXPECT_EQ(host.log[2], kLogNoFormat) << c.name;
  }
  ReleaseReaderTable(pipeline.table);
}

TEST(Lwo, CorpusCountsMatchThePointAndPolygonChunks) {
  const auto manifest = ReadManifest();
  const auto files = CorpusFiles("lwo");
  if (files.empty()) GTEST_SKIP() << CorpusSkipReason("lwo");
  for (const std::string& path : files) {
    const std::string key = "lwo/" + path.substr(path.find_last_of('/') + 1);
    const auto row = manifest.find(key);
    ASSERT_NE(row, manifest.end()) << key;
    const std::string& variant = row->second.at("variant");
    const std::string& notes = row->second.at("notes");
    const bool readable = variant == "LWOB" || variant == "LWO2";
    EXPECT_EQ(LwoIsSupport(path.c_str()), readable ? 1 : -1) << key;
    if (!readable) continue;
    PolygonModel m;
    ASSERT_TRUE(LwoLoadInto(path.c_str(), m)) << key << ": " << LwoGetErrMsg();
    EXPECT_EQ(m.VertexCount(), NoteValue(notes, "points")) << key;
    EXPECT_EQ(m.PolygonCount(), NoteValue(notes, "FACE")) << key;
    // Colours are taken from the surfaces, in range.
    for (int32_t p = 0; p < m.PolygonCount(); ++p) {
      if (m.material(p) < 0) continue;
      const Float3 c = m.color(p);
      EXPECT_TRUE(c.x >= 0 && c.x <= 1 && c.y >= 0 && c.y <= 1 && c.z >= 0 && c.z <= 1) << key;
    }
  }
}

}  // namespace

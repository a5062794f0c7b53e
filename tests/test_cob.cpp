// The COB reader: text and binary twins, the text form's line rules and
// messages, and damaged binary files.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "readers/cob.h"
#include "tests/test_util.h"

namespace {

// Rewriting an existing file waits for its old blocks to be flushed; the
// loops over many cuts write a new file each time instead.
std::string WriteFresh(const std::string& name, std::string_view bytes) {
  std::remove((TempDir() + "/" + name).c_str());
  return WriteTemp(name, bytes);
}

// A scene written in both forms by the tests.
struct Face {
  int32_t material = 0;
  std::vector<int32_t> index;
  bool hole = false;
};
struct Object {
  int32_t id = 1;
  float transform[12] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0};
  std::vector<Float3> vertices;
  std::vector<Face> faces;
};
struct Material {
  int32_t parent = 1;
  int32_t number = 0;
  Float3 color{0, 0, 0};
};
struct Scene {
  std::vector<Object> objects;
  std::vector<Material> materials;  // written after every object
};

std::string Num(float v) {
  char buf[32];
  snprintf(buf, sizeof buf, "%.9g", v);
  return buf;
}

std::string TextCob(const Scene& s) {
  std::string t = "Caligari V00.01ALH             \n";
  for (const Object& o : s.objects) {
    t += "PolH V0.08 Id " + std::to_string(o.id) + " Parent 0 Size 00000999\n";
    t += "Name cube\ncenter 0 0 0\nx axis 1 0 0\ny axis 0 1 0\nz axis 0 0 1\nTransform\n";
    for (int r = 0; r < 3; ++r) {
      for (int c = 0; c < 4; ++c) t += Num(o.transform[4 * r + c]) + (c < 3 ? " " : "\n");
    }
    t += "0 0 0 1\n";
    t += "World Vertices " + std::to_string(o.vertices.size()) + "\n";
    for (const Float3& v : o.vertices) t += Num(v.x) + " " + Num(v.y) + " " + Num(v.z) + "\n";
    t += "Texture Vertices 1\n0.000000 0.000000\n";
    t += "Faces " + std::to_string(o.faces.size()) + "\n";
    for (const Face& f : o.faces) {
      t += (f.hole ? "Hole verts " : "Face verts ") + std::to_string(f.index.size()) +
           " flags 0 mat " + std::to_string(f.material) + "\n";
      for (int32_t i : f.index) {
        t += '<';
        t += std::to_string(i);
        t += ",0> ";
      }
      t += "\n";
    }
    t += "DrawFlags 0\nUnit V0.01 Id 5 Parent " + std::to_string(o.id) + " Size 00000002\n";
  }
  for (const Material& m : s.materials) {
    t += "Mat1 V0.06 Id 77 Parent " + std::to_string(m.parent) + " Size 00000085\n";
    t += "mat# " + std::to_string(m.number) + "\nshader: phong  facet: auto32\n";
    t += "rgb " + Num(m.color.x) + "," + Num(m.color.y) + "," + Num(m.color.z) + "\n";
    t += "alpha 1  ka 0.1  ks 0.1  exp 0  ior 1\n";
  }
  t += "END  V1.00 Id 0 Parent 0 Size       0\n";
  return t;
}

// Binary numbers in either byte order.
struct Out {
  bool big;
  std::string s;
  void U8(unsigned v) { s.push_back(static_cast<char>(v)); }
  void U16(unsigned v) {
    if (big) {
      U8(v >> 8 & 0xFF);
      U8(v & 0xFF);
    } else {
      U8(v & 0xFF);
      U8(v >> 8 & 0xFF);
    }
  }
  void U32(uint32_t v) {
    if (big) {
      U16(v >> 16);
      U16(v & 0xFFFF);
    } else {
      U16(v & 0xFFFF);
      U16(v >> 16);
    }
  }
  void F32(float f) {
    uint32_t u;
    memcpy(&u, &f, 4);
    U32(u);
  }
  void Chunk(const char* tag, int32_t id, int32_t parent, const std::string& data) {
    s.append(tag, 4);
    U16(0);
    U16(8);
    U32(static_cast<uint32_t>(id));
    U32(static_cast<uint32_t>(parent));
    U32(static_cast<uint32_t>(data.size()));
    s += data;
  }
};

std::string PolHData(const Object& o, bool big) {
  Out d{big, {}};
  d.U16(0);
  d.U16(4);
  d.s += "cube";
  for (int i = 0; i < 12; ++i) d.F32(i % 4 == 0 ? 0.0f : 1.0f);  // local axes
  for (float v : o.transform) d.F32(v);
  d.U32(static_cast<uint32_t>(o.vertices.size()));
  for (const Float3& v : o.vertices) {
    d.F32(v.x);
    d.F32(v.y);
    d.F32(v.z);
  }
  d.U32(1);
  d.F32(0);
  d.F32(0);
  d.U32(static_cast<uint32_t>(o.faces.size()));
  for (const Face& f : o.faces) {
    d.U8(f.hole ? 0x08 : 0);
    d.U16(static_cast<unsigned>(f.index.size()));
    if (!f.hole) d.U16(static_cast<unsigned>(f.material));
    for (int32_t i : f.index) {
      d.U32(static_cast<uint32_t>(i));
      d.U32(0);
    }
  }
  d.s += "tail";  // a newer version's extra fields, skipped by the chunk size
  return d.s;
}

std::string BinaryCob(const Scene& s, bool big) {
  Out o{big, std::string("Caligari V00.01B") + (big ? "H" : "L") + std::string(14, ' ') + "\n"};
  o.Chunk("Grou", 900, 0, "group");
  for (const Object& obj : s.objects) {
    o.Chunk("PolH", obj.id, 900, PolHData(obj, big));
    o.Chunk("Unit", 5, obj.id, "\x01\x00");
  }
  for (const Material& m : s.materials) {
    Out d{big, {}};
    d.U16(static_cast<unsigned>(m.number));
    d.s += "pa\x01";  // shader, facet, smoothing
    d.F32(m.color.x);
    d.F32(m.color.y);
    d.F32(m.color.z);
    d.s += "alpha and the rest";
    o.Chunk("Mat1", 77, m.parent, d.s);
  }
  o.Chunk("END ", 0, 0, "");
  return o.s;
}

// Two objects with the same material numbers: a unit square with a hole and a
// triangle, then a triangle moved and scaled; materials colour the first.
Scene TwoObjects() {
  Scene s;
  Object a;
  a.id = 101;
  a.vertices = {{0, 0, 0}, {1, 0, 0}, {1, 1, 0}, {0, 1, 0}, {0.5f, 0.5f, 1}};
  a.faces = {{1, {0, 1, 2, 3}, false},
             {0, {0, 1, 2}, true},
             {2, {0, 1, 4}, false},
             {1, {3, 2, 4}, false},
             {1, {0, 1, 5}, false}};  // vertex 5 was not read: left out
  Object b;
  b.id = 202;
  const float scale[12] = {2, 0, 0, 1, 0, 2, 0, 0, 0, 0, 2, 0};
  memcpy(b.transform, scale, sizeof scale);
  b.vertices = {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {0.25f, -3, 1e-3f}};
  b.faces = {{1, {0, 1, 2}, false}, {0, {1, 3, 2}, false}};
  s.objects = {a, b};
  s.materials = {{101, 1, {1, 0, 0}},
                 {101, 2, {0, 0.5f, 1}},
                 {101, 9, {1, 1, 1}},   // used by no face
                 {303, 0, {1, 1, 1}}};  // no such object
  return s;
}

struct Model {
  std::vector<Float3> v;
  std::vector<std::vector<int32_t>> f;
  std::vector<int32_t> material;
  std::vector<Float3> color;
  bool operator==(const Model&) const = default;
};

Model Snapshot(const PolygonModel& m) {
  Model s;
  s.v = m.vertices;
  for (int p = 0; p < m.PolygonCount(); ++p) {
    s.f.emplace_back(m.index(p), m.index(p) + m.nv(p));
    s.material.push_back(m.material(p));
    s.color.push_back(m.color(p));
  }
  return s;
}

std::string ReadAll(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

TEST(CobReader, TextAndBinaryTwinsGiveTheSameModel) {
  const Scene scene = TwoObjects();
  const struct {
    const char* what;
    std::string bytes;
  } forms[] = {
      {"text", TextCob(scene)},
      {"binary little-endian", BinaryCob(scene, false)},
      {"binary big-endian", BinaryCob(scene, true)},
  };
  const Model expect{{{0, 0, 0},
                      {1, 0, 0},
                      {1, 1, 0},
                      {0, 1, 0},
                      {0.5f, 0.5f, 1},  // first object
                      {1, 0, 0},
                      {3, 0, 0},
                      {1, 2, 0},
                      {1.5f, -6, 2e-3f}},  // 2 v + (1, 0, 0)
                     {{0, 1, 2, 3}, {0, 1, 4}, {3, 2, 4}, {5, 6, 7}, {6, 8, 7}},
                     {1, 1, 1, -1, -1},
                     {{1, 0, 0}, {0, 0.5f, 1}, {1, 0, 0}, {0, 0, 0}, {0, 0, 0}}};
  for (const auto& form : forms) {
    PolygonModel m;
    const std::string path = WriteTemp("twin.cob", form.bytes);
    EXPECT_EQ(CobIsSupport(path.c_str()), 1) << form.what;
    ASSERT_TRUE(CobLoadInto(path.c_str(), m)) << form.what << ": " << CobGetErrMsg();
    EXPECT_STREQ(CobGetErrMsg(), "") << form.what;
    EXPECT_EQ(Snapshot(m), expect) << form.what;
  }
}

TEST(CobReader, ByteOrderFollowsByte16) {
  // The little-endian file with 'H' at byte 16 reads every number swapped:
  // its first chunk's size becomes huge and the file ends inside it.
  std::string bytes = BinaryCob(TwoObjects(), false);
  bytes[16] = 'H';
  PolygonModel m;
  const std::string path = WriteTemp("swapped.cob", bytes);
  EXPECT_FALSE(CobLoadInto(path.c_str(), m));
  EXPECT_STREQ(CobGetErrMsg(), "データエラー．");
  // Any byte but 'H' means little-endian.
  for (char c : {'L', 'h', ' ', '\n'}) {
    bytes[16] = c;
    PolygonModel n;
    const std::string p = WriteTemp("order.cob", bytes);
    ASSERT_TRUE(CobLoadInto(p.c_str(), n)) << c;
    EXPECT_EQ(n.PolygonCount(), 5) << c;
  }
}

// The text of a file: the header line, then the given lines.
std::string Text(const std::string& body) { return "Caligari V00.01ALH\n" + body; }

const char kObject[] =
    "PolH V0.08 Id 7 Parent 0 Size 00000100\n"
    "World Vertices 4\n"
    "0 0 0\n1 0 0\n1 1 0\n0 1 0\n"
    "Texture Vertices 0\n";

TEST(CobReader, TextFaces) {
  using Rings = std::vector<std::vector<int32_t>>;
  const struct {
    const char* what;
    std::string faces;  // from the "Faces" line on
    Rings polygons;
  } cases[] = {
      {"triangle", "Faces 1\nFace verts 3 flags 0 mat 0\n<0,0> <1,1> <2,2>\n", {{0, 1, 2}}},
      {"only the first k tokens",
       "Faces 1\nFace verts 3 flags 0 mat 0\n<3,0> <1,1> <2,2> <0,0> junk\n",
       {{3, 1, 2}}},
      {"token tails are not checked", "Faces 1\nFace verts 2 flags 0 mat 0\n<2> <3,x>\n", {{2, 3}}},
      {"a hole counts as an entry",
       "Faces 2\nHole verts 3\n<0,0> <1,0> <2,0>\nFace verts 3 flags 0 mat 0\n<1,0> <2,0> <3,0>\n",
       {{1, 2, 3}}},
      {"vertex beyond those read", "Faces 1\nFace verts 3 flags 0 mat 0\n<0,0> <1,0> <4,0>\n", {}},
      {"negative vertex", "Faces 1\nFace verts 3 flags 0 mat 0\n<0,0> <-1,0> <2,0>\n", {}},
      {"no corners", "Faces 1\nFace verts 0 flags 0 mat 0\n\n", {}},
      {"negative face count", "Faces -2147483649\nFace verts 0 flags 0 mat 0\n", {}},
      {"huge index", "Faces 1\nFace verts 3 flags 0 mat 0\n<0,0> <1,0> <99999999999,0>\n", {}},
  };
  for (const auto& c : cases) {
    PolygonModel m;
    const std::string path = WriteTemp("faces.cob", Text(kObject + c.faces));
    ASSERT_TRUE(CobLoadInto(path.c_str(), m)) << c.what << ": " << CobGetErrMsg();
    EXPECT_EQ(Snapshot(m).f, c.polygons) << c.what;
  }
}

TEST(CobReader, TextFailures) {
  const std::string face = "Faces 1\nFace verts 3 flags 0 mat 0\n";
  const std::string mat = "Mat1 V0.06 Id 8 Parent 7 Size 00000085\n";
  const struct {
    std::string text;  // after the header line
    const char* message;
  } cases[] = {
      {"PolH V0.08 Parent 0\n", "PolH ヘッダ読込みエラー"},
      {"PolH Id 5\n", "PolH ヘッダ読込みエラー"},
      {"PolH V0.08 Id 5\nTransform\n1 0 0 0\n0 1 0\n0 0 1 0\n0 0 0 1\n",
       "Transformデータ読込みエラー"},
      {"PolH V0.08 Id 5\nTransform\n1 0 0 0\n0 1 0 0\n0 0 1 0\n", "Transformデータ読込みエラー"},
      {"PolH V0.08 Id 5\nTransform\n1 0 0 0\n", "Transformデータ読込みエラー"},
      {kObject + std::string("Faces \n"), "Faces ヘッダ読込みエラー"},
      {kObject + std::string("Faces x\n"), "Faces ヘッダ読込みエラー"},
      {kObject + face + "<0,0> <1,0>\n", "Face データ読込みエラー"},
      {kObject + face + "<0,0>\t<1,0>\t<2,0>\n", "Face データ読込みエラー"},  // tabs
      {kObject + face + "<0,0>  <1,0> <2,0>\n", "Face データ読込みエラー"},   // empty piece
      {kObject + face + "<0,0> 1,0 <2,0>\n", "Face データ読込みエラー"},
      {kObject + face, "Face データ読込みエラー"},
      {kObject + std::string("Faces 2\nFace verts 3 flags 0 mat 0\n<0,0> <1,0> <2,0>\n"),
       "Face データ読込みエラー"},
      {kObject + std::string("Faces 1\nFace verts 3 flags 0\n<0,0> <1,0> <2,0>\n"),
       "Face データ読込みエラー"},
      {kObject + std::string("Faces 1\nHole verts 3\n"), "Face データ読込みエラー"},
      {kObject + std::string("Faces 1\nEnd \n"), "Faces データ読込みエラー"},
      {kObject + std::string("Faces 1\nface verts 3 flags 0 mat 0\n"), "Faces データ読込みエラー"},
      {kObject + std::string("Faces 2147483647\nFace verts 2147483647 flags 0 mat 0\n<0,0>\n"),
       "Face データ読込みエラー"},
      {"Mat1 V0.06 Id 8 Size 00000085\nmat# 0\n", "Material ヘッダ読込みエラー"},
      {"PrTx V0.06 Id 8 Parent\nmat# 0\n", "Material ヘッダ読込みエラー"},
      {mat + "mat# x\n", "Material データ読込みエラー"},
      {mat, "Material データ読込みエラー"},
      {"PolH V0.08 Id 5\nWorld Vertices 2\n1 2 3\n1 2\n", "Vertex データ読込みエラー"},
      {"PolH V0.08 Id 5\nWorld Vertices 2\n1 2 3\n\n", "Vertex データ読込みエラー"},
      {"PolH V0.08 Id 5\nWorld Vertices 2\n1 2 3\n \t \n", "Vertex データ読込みエラー"},
      {"PolH V0.08 Id 5\nWorld Vertices 2\n1,2,3\n", "Vertex データ読込みエラー"},
      {mat + "mat# 0\nrgb 1,0\n", "rgb データ読込みエラー"},
      {mat + "mat# 0\nrgb 1 0 0\n", "rgb データ読込みエラー"},
  };
  for (const auto& c : cases) {
    PolygonModel m;
    const std::string path = WriteTemp("bad.cob", Text(c.text));
    EXPECT_FALSE(CobLoadInto(path.c_str(), m)) << c.text;
    EXPECT_STREQ(CobGetErrMsg(), c.message) << c.text;
  }
}

TEST(CobReader, TextSections) {
  const struct {
    const char* what;
    std::string text;  // after the header line
    int32_t vertices, polygons;
  } cases[] = {
      {"End stops the text",
       kObject + std::string("End \nFaces 1\nFace verts 3 flags 0 mat 0\n<0,0> <1,0> <2,0>\n"), 4,
       0},
      {"END in other case does not",
       kObject + std::string("END \nFaces 1\nFace verts 3 flags 0 mat 0\n<0,0> <1,0> <2,0>\n"), 4,
       1},
      {"no texture vertices: faces skipped",
       "PolH V0.08 Id 7\nWorld Vertices 3\n0 0 0\n1 0 0\n1 1 0\n"
       "Faces 1\nFace verts 3 flags 0 mat 0\n<0,0> <1,0> <2,0>\n",
       3, 0},
      {"a word ends the vertex list", "PolH V0.08 Id 7\nWorld Vertices 3\n0 0 0\nx 1 0 0\n1 1 0\n",
       1, 0},
      {"vertices only inside an object",
       "World Vertices 3\n0 0 0\nPolH V0.08 Id 7\nGrou V0.01 Id 9\nWorld Vertices 1\n1 1 1\n", 0,
       0},
      {"numbers out of range", "PolH V0.08 Id 7\nWorld Vertices 1\n1e999 -1e999 1e-999\n", 1, 0},
      {"an empty file body", "", 0, 0},
  };
  for (const auto& c : cases) {
    PolygonModel m;
    const std::string path = WriteTemp("sections.cob", Text(c.text));
    ASSERT_TRUE(CobLoadInto(path.c_str(), m)) << c.what << ": " << CobGetErrMsg();
    EXPECT_EQ(m.VertexCount(), c.vertices) << c.what;
    EXPECT_EQ(m.PolygonCount(), c.polygons) << c.what;
  }
}

TEST(CobReader, TextCountsReserveNoMoreThanTheFileHolds) {
  PolygonModel m;
  const std::string path = WriteTemp(
      "counts.cob", Text("PolH V0.08 Id 7\nWorld Vertices 2147483647\n0 0 0\n1 0 0\n0 1 0\n"
                         "Texture Vertices 0\nFaces 2147483647\n"
                         "Face verts 3 flags 0 mat 0\n<0,0> <1,0> <2,0>\n"));
  EXPECT_FALSE(CobLoadInto(path.c_str(), m));
  EXPECT_STREQ(CobGetErrMsg(), "Face データ読込みエラー");
  EXPECT_EQ(m.VertexCount(), 3);
  EXPECT_EQ(m.PolygonCount(), 1);
  EXPECT_LT(m.vertices.capacity(), 100u);
  EXPECT_LT(m.polyMaterial.capacity(), 100u);
  EXPECT_LT(m.indexPool.capacity(), 100u);
}

TEST(CobReader, TextLineEnds) {
  // A CR before each LF is dropped; the model is that of the LF file.
  const std::string lf = TextCob(TwoObjects());
  std::string crlf;
  for (char c : lf) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
  PolygonModel a, b;
  const std::string pa = WriteTemp("lf.cob", lf), pb = WriteTemp("crlf.cob", crlf);
  ASSERT_TRUE(CobLoadInto(pa.c_str(), a));
  ASSERT_TRUE(CobLoadInto(pb.c_str(), b)) << CobGetErrMsg();
  EXPECT_EQ(Snapshot(a), Snapshot(b));
  EXPECT_EQ(a.PolygonCount(), 5);

  // Lines of megabytes are read whole.
  const std::string mega(3 << 20, ' ');
  PolygonModel c;
  const std::string pc = WriteTemp(
      "long.cob",
      Text("PolH V0.08 Id 7\nName" + mega + "x\nWorld Vertices 1\n1 2 3" + mega +
           "\nTexture Vertices 0\nFaces 1\nFace verts 1 flags 0 mat 0\n<0,0>" + mega + "\n"));
  ASSERT_TRUE(CobLoadInto(pc.c_str(), c)) << CobGetErrMsg();
  EXPECT_EQ(c.vertices, (std::vector<Float3>{{1, 2, 3}}));
  EXPECT_EQ(c.PolygonCount(), 1);
}

TEST(CobReader, Recognition) {
  const struct {
    std::string first;
    int32_t support;
  } cases[] = {
      {"Caligari V00.01ALH             \n", 1},
      {"Caligari V00.01B", 1},
      {"Caligari V00.01A\r\n", 1},
      {"Caligari V00.01CLH\n", -1},
      {"Caligari V00.02ALH\n", -1},
      {"caligari V00.01ALH\n", -1},
      {"Caligari V00.01\nA\n", -1},
      {"Caligari V00.01", -1},
      {"", -1},
  };
  for (const auto& c : cases) {
    const std::string path = WriteTemp("h.cob", c.first);
    EXPECT_EQ(CobIsSupport(path.c_str()), c.support) << c.first;
    PolygonModel m;
    const bool ok = CobLoadInto(path.c_str(), m);
    EXPECT_EQ(ok, c.support == 1) << c.first;
    EXPECT_STREQ(CobGetErrMsg(), "") << c.first;  // not a COB file: no text
  }
  const std::string missing = TempDir() + "/missing.cob";
  EXPECT_EQ(CobIsSupport(missing.c_str()), -1);
  PolygonModel m;
  EXPECT_FALSE(CobLoadInto(missing.c_str(), m));
  EXPECT_STREQ(CobGetErrMsg(), "ファイルがオープンできませんでした。");
}

// Offsets into a binary file written by BinaryCob for one object.
std::string OneObject(bool big, const Object& o) {
  Scene s;
  s.objects = {o};
  return BinaryCob(s, big);
}

Object Square() {
  Object o;
  o.id = 5;
  o.vertices = {{0, 0, 0}, {1, 0, 0}, {1, 1, 0}, {0, 1, 0}};
  o.faces = {{0, {0, 1, 2, 3}, false}};
  return o;
}

void Patch32(std::string& s, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) s[at + i] = static_cast<char>(v >> (8 * i) & 0xFF);
}

TEST(CobReader, DamagedBinaryFiles) {
  // Every cut: either the cut falls between chunks and what was read loads,
  // or it falls inside one and the load fails with the data error.
  const std::string whole = BinaryCob(TwoObjects(), false);
  for (size_t cut = 16; cut <= whole.size(); ++cut) {
    PolygonModel m;
    const std::string path = WriteFresh("cut.cob", whole.substr(0, cut));
    if (!CobLoadInto(path.c_str(), m)) {
      EXPECT_STREQ(CobGetErrMsg(), "データエラー．") << cut;
    }
    for (int p = 0; p < m.PolygonCount(); ++p)
      for (int i = 0; i < m.nv(p); ++i)
        EXPECT_TRUE(m.index(p)[i] >= 0 && m.index(p)[i] < m.VertexCount()) << cut;
  }

  // Layout of the one-object file: header 32, Grou chunk 20 + 5, then the
  // PolH header; its data holds 4 + 4 ("cube") + 48 + 48 bytes before V.
  const std::string one = OneObject(false, Square());
  const size_t polh = 32 + 25, data = polh + 20, vCount = data + 104;
  const size_t tCount = vCount + 4 + 4 * 12, fCount = tCount + 4 + 8;
  ASSERT_EQ(one.substr(polh, 4), "PolH");
  const struct {
    const char* what;
    size_t at;
    uint32_t value;
    bool loads;
    int32_t vertices, polygons;
  } cases[] = {
      {"chunk size negative", polh + 16, 0xFFFFFFFF, false, 0, 0},
      {"chunk size beyond the file", polh + 16, 0x7FFFFFFF, false, 4, 1},
      {"vertex count 2^31-1", vCount, 0x7FFFFFFF, false, -1, 0},
      {"vertex count negative", vCount, 0x80000000, true, 0, 0},
      {"texture vertex count 2^31-1", tCount, 0x7FFFFFFF, false, 4, 0},
      {"face count 2^31-1", fCount, 0x7FFFFFFF, false, 4, 1},
      {"face count negative", fCount, 0xFFFFFFFE, true, 4, 0},
      {"vertex index outside", fCount + 4 + 5 + 8, 4, true, 4, 0},
      {"vertex index negative", fCount + 4 + 5 + 8, 0xFFFFFFFF, true, 4, 0},
  };
  for (const auto& c : cases) {
    std::string bytes = one;
    Patch32(bytes, c.at, c.value);
    PolygonModel m;
    const std::string path = WriteTemp("patched.cob", bytes);
    EXPECT_EQ(CobLoadInto(path.c_str(), m), c.loads) << c.what;
    EXPECT_STREQ(CobGetErrMsg(), c.loads ? "" : "データエラー．") << c.what;
    if (c.vertices >= 0) {
      EXPECT_EQ(m.VertexCount(), c.vertices) << c.what;
    }
    EXPECT_EQ(m.PolygonCount(), c.polygons) << c.what;
    // Nothing was reserved from the counts.
    EXPECT_LT(m.vertices.capacity(), 1000u) << c.what;
    EXPECT_LT(m.polyMaterial.capacity(), 1000u) << c.what;
  }
}

TEST(CobReader, BinaryChunks) {
  const Object sq = Square();
  const std::string one = OneObject(false, sq);
  const struct {
    const char* what;
    std::string tail;  // replaces the END chunk
    bool loads;
    int32_t material;
  } cases[] = {
      {"no end chunk", "", true, -1},
      {"a partial tag", "Ma", true, -1},
      {"only a tag", "Mat1", false, -1},
      {"End stops", std::string("End ") + std::string(16, '\0') + "Mat1", true, -1},
  };
  const size_t end = one.size() - 20;
  ASSERT_EQ(one.substr(end, 4), "END ");
  for (const auto& c : cases) {
    PolygonModel m;
    const std::string path = WriteTemp("chunks.cob", one.substr(0, end) + c.tail);
    EXPECT_EQ(CobLoadInto(path.c_str(), m), c.loads) << c.what;
    ASSERT_EQ(m.PolygonCount(), 1) << c.what;
    EXPECT_EQ(m.material(0), c.material) << c.what;
  }

  // A PrTx chunk colours like Mat1; material numbers are signed there, so
  // 65535 in a face never meets -1 in a material.
  Object o = sq;
  o.faces = {{0xFFFF, {0, 1, 2}, false}, {3, {0, 2, 3}, false}};
  Out tail{false, {}};
  for (int32_t number : {-1, 3}) {
    Out d{false, {}};
    d.U16(static_cast<unsigned>(number) & 0xFFFF);
    d.s += "abc";
    d.F32(0.25f);
    d.F32(0.5f);
    d.F32(0.75f);
    tail.Chunk("PrTx", 1, 5, d.s);
  }
  const std::string two = OneObject(false, o);
  PolygonModel m;
  const std::string path = WriteTemp("prtx.cob", two.substr(0, two.size() - 20) + tail.s);
  ASSERT_TRUE(CobLoadInto(path.c_str(), m));
  ASSERT_EQ(m.PolygonCount(), 2);
  EXPECT_EQ(m.material(0), -1);
  EXPECT_EQ(m.material(1), 1);
  EXPECT_EQ(m.color(1), (Float3{0.25f, 0.5f, 0.75f}));
}

// The model as a text COB file: one object, identity transform, one
// material number per colour.
std::string TextOf(const PolygonModel& m) {
  Scene s;
  Object o;
  o.id = 1;
  o.vertices = m.vertices;
  std::map<std::tuple<float, float, float>, int32_t> numbers;
  for (int p = 0; p < m.PolygonCount(); ++p) {
    Face f;
    f.index.assign(m.index(p), m.index(p) + m.nv(p));
    f.material = 0;
    if (m.material(p) >= 0) {
      const Float3 c = m.color(p);
      auto [it, fresh] = numbers.emplace(std::make_tuple(c.x, c.y, c.z), 0);
      if (fresh) it->second = static_cast<int32_t>(numbers.size());  // 0 stays uncoloured
      f.material = it->second;
    }
    o.faces.push_back(f);
  }
  s.objects = {o};
  for (const auto& [c, n] : numbers)
    s.materials.push_back({1, n, {std::get<0>(c), std::get<1>(c), std::get<2>(c)}});
  return TextCob(s);
}

TEST(CobReader, Corpus) {
  const auto manifest = ReadManifest();
  const auto files = CorpusFiles("cob");
  if (files.empty()) GTEST_SKIP() << CorpusSkipReason("cob");
  for (const std::string& f : files) {
    const std::string name = "cob/" + f.substr(f.rfind('/') + 1);
    PolygonModel m;
    EXPECT_EQ(CobIsSupport(f.c_str()), 1) << f;
    ASSERT_TRUE(CobLoadInto(f.c_str(), m)) << f << ": " << CobGetErrMsg();
    const auto row = manifest.find(name);
    ASSERT_NE(row, manifest.end()) << name;
    // The reference counts every face of every object, as we do.
    EXPECT_EQ(m.PolygonCount(), std::stol(row->second.at("assimp_faces"))) << name;
    int coloured = 0;
    for (int p = 0; p < m.PolygonCount(); ++p) coloured += m.material(p) >= 0;
    EXPECT_EQ(coloured, m.PolygonCount()) << name;  // every material has its chunk

    // The same model written as text reads back the same.
    PolygonModel t;
    const std::string path = WriteTemp("twin.cob", TextOf(m));
    ASSERT_TRUE(CobLoadInto(path.c_str(), t)) << name << ": " << CobGetErrMsg();
    EXPECT_TRUE(Snapshot(t) == Snapshot(m)) << name;
  }
}

TEST(CobReader, CorpusFilesCutShort) {
  // Cuts of a real file at many places: a load or the data error, never more.
  const auto files = CorpusFiles("cob");
  if (files.empty()) GTEST_SKIP() << CorpusSkipReason("cob");
  const std::string whole = ReadAll(files.front());
  const size_t step = whole.size() / 300 + 1;
  for (size_t cut = 0; cut < whole.size(); cut += step) {
    PolygonModel m;
    const std::string path = WriteFresh("cutreal.cob", whole.substr(0, cut));
    if (!CobLoadInto(path.c_str(), m) && cut >= 16) {
      EXPECT_STREQ(CobGetErrMsg(), "データエラー．") << cut;
    }
  }
}

}  // namespace

// The MQO reader: signature, objects, faces, materials and binary vertex
// blocks, and files that do not keep to the format.
#include "readers/mqo.h"

#include <gtest/gtest.h>

#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "readers/builtin.h"
#include "tests/test_util.h"

namespace {

struct Loaded {
  bool ok;
  PolygonModel model;
  std::string msg;
};
Loaded Load(const std::string& bytes) {
  Loaded r;
  const std::string path = WriteTemp("t.mqo", bytes);
  r.ok = MqoLoadInto(path.c_str(), r.model);
  r.msg = MqoGetErrMsg();
  return r;
}

const char kHead[] = "Metasequoia Document\r\nFormat Text Ver 1.0\r\n\r\n";

// An object with the eight corners of a unit cube and the given face lines.
std::string CubeObject(const std::string& name, const std::vector<std::string>& faces) {
  std::string s = "Object \"" + name + "\" {\n\tvisible 15\n\tvertex 8 {\n";
  for (int k = 0; k < 8; ++k)
    s += "\t\t" + std::to_string(k & 1) + " " + std::to_string((k >> 1) & 1) + " " +
         std::to_string(k >> 2) + "\n";
  s += "\t}\n\tface " + std::to_string(faces.size()) + " {\n";
  for (const std::string& f : faces) s += "\t\t" + f + "\n";
  return s + "\t}\n}\n";
}

std::vector<int32_t> Corners(const PolygonModel& m, int p) {
  return std::vector<int32_t>(m.index(p), m.index(p) + m.nv(p));
}

TEST(MqoReader, RecognisesOnlyTheExactSignatureLine) {
  const struct {
    std::string head;
    int want;
  } cases[] = {
      {"Metasequoia Document\r\n", 1},
      {"   \tMetasequoia Document\n", 1},
      {"Metasequoia Document", 1},
      {"Metasequoia Document \n", -1},
      {"metasequoia document\n", -1},
      {"Metasequoia\n Document\n", -1},
      {std::string(59, ' ') + "Metasequoia Document\n", 1},
      {std::string(60, ' ') + "Metasequoia Document\n", -1},  // cut by the 80-byte look
      {std::string("Metasequoia Document\0x", 22), 1},
      {"", -1},
  };
  for (const auto& c : cases) {
    const std::string path = WriteTemp("sig.mqo", c.head);
    EXPECT_EQ(MqoIsSupport(path.c_str()), c.want) << c.head;
  }
  EXPECT_EQ(MqoIsSupport("/nonexistent/x.mqo"), -1);
}

TEST(MqoReader, ObjectsOffsetTheirFacesAndOddCornerCountsAreSkipped) {
  const std::string body = CubeObject("a", {"3 V(0 1 2)"}) +
                           CubeObject("b", {"4 V(0 1 2 3)", "5 V(0 1 2 3 4)", "2 V(0 1)",
                                            "3 V(7 6 5) UV(0 0 1 0 1 1)"}) +
                           "Eof\n";
  for (bool crlf : {false, true}) {
    std::string f = body;
    if (crlf)
      for (size_t i = 0; (i = f.find('\n', i)) != std::string::npos; i += 2) f.insert(i, "\r");
    Loaded r = Load(kHead + f);
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.msg, "");
    EXPECT_EQ(r.model.VertexCount(), 16);
    ASSERT_EQ(r.model.PolygonCount(), 3);
    EXPECT_EQ(Corners(r.model, 0), (std::vector<int32_t>{0, 1, 2}));
    EXPECT_EQ(Corners(r.model, 1), (std::vector<int32_t>{8, 9, 10, 11}));
    EXPECT_EQ(Corners(r.model, 2), (std::vector<int32_t>{15, 14, 13}));
    EXPECT_EQ(r.model.vertices[15], (Float3{1, 1, 1}));
    EXPECT_EQ(r.model.material(1), -1);
  }
}

TEST(MqoReader, FacesTakeTheColourOfTheirMaterial) {
  const std::string materials =
      "Material 3 {\n"
      "\t\"red\" shader(3) col(1.000 0.000 0.000 1.000) dif(0.800)\n"
      "\t\"green\" col(0.0 0.5 0.0 1.000)\n"
      "\t\"plain\" dif(1.0)\n"
      "\t\"extra\" col(0 0 1 1)\n"
      "}\n";
  const struct {
    std::string face;
    int material;
    Float3 color;
  } cases[] = {
      {"3 V(0 1 2) M(1)", 1, {0, 0.5f, 0}},
      {"3 V(0 1 2) M(0) UV(0 0 1 0 1 1)", 0, {1, 0, 0}},
      {"3 V(0 1 2)", -1, {0, 0, 0}},
      {"3 V(0 1 2) M(2)", 2, {1, 1, 1}},   // a line without col( keeps its place, in white
      {"3 V(0 1 2) M(3)", -1, {0, 0, 0}},  // beyond the count of 3: the extra line is ignored
      {"3 V(0 1 2) M(-1)", -1, {0, 0, 0}},
      {"3 V(0 1 2) M(99999999999)", -1, {0, 0, 0}},
      {"3 V(0 1 2) M()", -1, {0, 0, 0}},
      // Lines are read whole: a reference far along a long line still counts.
      {"3 V(0 1 2) " + std::string(1000, ' ') + "M(1)", 1, {0, 0.5f, 0}},
  };
  for (const auto& c : cases) {
    Loaded r = Load(std::string(kHead) + materials + CubeObject("o", {c.face}));
    ASSERT_EQ(r.model.PolygonCount(), 1) << c.face;
    EXPECT_EQ(r.model.material(0), c.material) << c.face;
    if (c.material >= 0) {
      EXPECT_EQ(r.model.color(0), c.color) << c.face;
    }
  }
  // Without a material chunk every reference leaves the face uncoloured.
  Loaded r = Load(std::string(kHead) + CubeObject("o", {"3 V(0 1 2) M(0)"}));
  ASSERT_EQ(r.model.PolygonCount(), 1);
  EXPECT_EQ(r.model.material(0), -1);
  // A count that does not scan (indented chunk) caps nothing; a huge one
  // allocates nothing.
  for (const char* head : {"\tMaterial 1 {\n", "Material 2147483647 {\n"}) {
    r = Load(std::string(kHead) + head + "\t\"a\" col(1 0 0 1)\n\t\"b\" col(0 1 0 1)\n}\n" +
             CubeObject("o", {"3 V(0 1 2) M(1)"}));
    ASSERT_EQ(r.model.PolygonCount(), 1);
    EXPECT_EQ(r.model.material(0), 1) << head;
    EXPECT_EQ(r.model.color(0), (Float3{0, 1, 0})) << head;
  }
}

TEST(MqoReader, MaterialsWithImagesAndCornerCoordinates) {
  const std::string doc =
      std::string(kHead) +
      "Material 3 {\n"
      "\t\"skin\" shader(3) col(1.000 0.500 0.250 0.600) dif(0.800) tex(\"tex\\skin.png\")\n"
      "\t\"plain\" dif(1.0) aplane_tex(\"no.png\")\n"
      "\t\"bare\" col(0 0 1)\n"
      "}\n" +
      CubeObject("o",
                 {"3 V(0 1 2) M(0) UV(0 0 1 0 1 0.25)", "4 V(0 1 3 2) M(1) UV(0 1 1 1 1 0 0 0)",
                  "3 V(4 5 6) M(2) UV(0.5 0.5)",  // too few pairs: none
                  "3 V(4 5 7)"}) +
      "Material 1 {\n\"later\" col(0 1 0 1) tex(\"b.bmp\")\n}\n" +
      CubeObject("p", {"3 V(0 1 2) M(0)"});
  Loaded r = Load(doc);
  ASSERT_EQ(r.model.PolygonCount(), 5);
  const SurfaceAppearance& a = r.model.appearance;
  ASSERT_EQ(a.materials.size(), 4u);
  EXPECT_EQ(std::vector<float>(a.materials[0].color, a.materials[0].color + 3),
            (std::vector<float>{1, 0.5f, 0.25f}));
  EXPECT_EQ(a.materials[0].opacity, 0.6f);
  EXPECT_EQ(a.materials[0].texture, "tex\\skin.png");  // as the file spells it
  EXPECT_EQ(a.materials[1].texture, "");
  EXPECT_EQ(a.materials[1].opacity, 1.0f);
  EXPECT_EQ(a.materials[2].opacity, 1.0f);  // no fourth value
  EXPECT_EQ(a.materials[3].texture, "b.bmp");
  // A second material chunk's numbers count from its own first line.
  EXPECT_EQ(a.polygonMaterial, (std::vector<int32_t>{0, 1, 2, -1, 3}));
  // v counts up from the image's bottom in the appearance.
  const std::vector<Float2> want = {{0, 1}, {1, 1}, {1, 0.75f}, {0, 0}, {1, 0}, {1, 1}, {0, 1}};
  EXPECT_EQ(a.cornerUV, want);  // the rest is filled in by the pipeline
  // The flat colours are what they were.
  EXPECT_EQ(r.model.color(0), (Float3{1, 0.5f, 0.25f}));
  EXPECT_EQ(r.model.material(4), 0);
}

TEST(MqoReader, FacesNamingVerticesOutsideWhatWasReadAreLeftOut) {
  const std::vector<std::string> faces = {
      "3 V(0 1 8)",           "3 V(-1 0 1)", "4 V(0 1 2 2147483648)",
      "3 V(0 1 -2147483649)", "3 V(0 1)",    "3 V(a b c)",
      "3 v(0 1 2)",           "x V(0 1 2)",
      "3 V(5 6 7)",  // the only good one
  };
  Loaded r = Load(std::string(kHead) + CubeObject("o", faces));
  ASSERT_TRUE(r.ok);
  ASSERT_EQ(r.model.PolygonCount(), 1);
  EXPECT_EQ(Corners(r.model, 0), (std::vector<int32_t>{5, 6, 7}));
  // Indices count from the object's first vertex: 8 in the second object
  // would be the model's 17th vertex.
  r = Load(std::string(kHead) + CubeObject("a", {}) + CubeObject("b", {"3 V(0 7 8)"}));
  EXPECT_EQ(r.model.PolygonCount(), 0);
}

TEST(MqoReader, VertexLinesThatDoNotScanKeepThePreviousValues) {
  Loaded r =
      Load(std::string(kHead) +
           "Object \"o\" {\n vertex 4 {\n  1 2 3\n  4 x 6\n  junk\n  -1e999 1e999 7\n }\n}\n");
  ASSERT_EQ(r.model.VertexCount(), 4);
  EXPECT_EQ(r.model.vertices[1], (Float3{4, 2, 3}));
  EXPECT_EQ(r.model.vertices[2], (Float3{4, 2, 3}));
  EXPECT_EQ(r.model.vertices[3].x, -std::numeric_limits<float>::infinity());
  EXPECT_EQ(r.model.vertices[3].z, 7.0f);
}

std::string BinaryVertices(const std::vector<Float3>& v) {
  std::string s;
  for (const Float3& p : v) {
    PutF32(s, p.x);
    PutF32(s, p.y);
    PutF32(s, p.z);
  }
  return s;
}

TEST(MqoReader, BinaryVertexBlocksAreReadStraightFromTheFile) {
  // Floats whose bytes look like line ends, braces and spaces.
  const std::vector<Float3> v = {{1, 2, 3}, {1.0e-38f, 4.6006e-41f, 0.1f}, {-0.5f, 8e5f, 1e-45f}};
  std::string bin = BinaryVertices(v);
  bin[1] = '\n';
  bin[4] = '}';
  bin[13] = '\r';
  std::vector<Float3> want = v;
  memcpy(&want[0].x, bin.data(), 4);
  memcpy(&want[1].x, bin.data() + 12, 4);
  memcpy(&want[0].y, bin.data() + 4, 4);
  for (const char* eol : {"\n", "\r\n"}) {
    const std::string e = eol;
    const std::string file = std::string(kHead) + "Object \"o\" {" + e + "\tBVertex {" + e +
                             "\t\tVector 3 [36]" + e + bin + e + "\t}" + e + "\tface 1 {" + e +
                             "\t\t3 V(0 1 2)" + e + "\t}" + e + "}" + e + "Eof" + e;
    Loaded r = Load(file);
    ASSERT_TRUE(r.ok);
    ASSERT_EQ(r.model.VertexCount(), 3) << "eol " << e.size();
    for (int k = 0; k < 3; ++k) {
      EXPECT_EQ(memcmp(&r.model.vertices[k], &want[k], sizeof(Float3)), 0) << k;
    }
    ASSERT_EQ(r.model.PolygonCount(), 1);
    EXPECT_EQ(Corners(r.model, 0), (std::vector<int32_t>{0, 1, 2}));
  }
  // The CR of the "Vector" line ends the reader's first block of 1 MiB and
  // its LF begins the next: the LF is still part of the line end.
  std::string head = std::string(kHead) + "Object \"o\" {\r\n\tBVertex {\r\n";
  const std::string vector = "\t\tVector 3 [36]\r";
  head += std::string((1u << 20) - head.size() - vector.size() - 2, 'x') + "\r\n" + vector;
  ASSERT_EQ(head.size(), 1u << 20);
  Loaded big = Load(head + "\n" + BinaryVertices(v) + "\r\n\t}\r\n}\r\n");
  ASSERT_EQ(big.model.VertexCount(), 3);
  EXPECT_EQ(big.model.vertices[2].y, 8e5f);

  // A count beyond the file reads what is there and allocates nothing for
  // the rest; a negative count reads nothing.
  Loaded r = Load(std::string(kHead) + "Object \"o\" {\nBVertex {\nVector 2147483647 [0]\n" +
                  BinaryVertices(v) + "xyz");
  EXPECT_TRUE(r.ok);
  EXPECT_EQ(r.model.VertexCount(), 3);
  r = Load(std::string(kHead) + "Object \"o\" {\nBVertex {\nVector -5 [0]\n}\n}\n");
  EXPECT_EQ(r.model.VertexCount(), 0);
}

TEST(MqoReader, DamagedFilesLoadWhatTheyHold) {
  const std::string whole = std::string(kHead) + "Material 1 {\n\"m\" col(1 0 0 1)\n}\n" +
                            CubeObject("a", {"4 V(0 1 3 2) M(0)", "3 V(4 5 6)", "3 V(5 6 7)"}) +
                            "Object \"b\" {\nBVertex {\nVector 3 [36]\n" +
                            BinaryVertices({{1, 1, 1}, {2, 2, 2}, {3, 3, 3}}) +
                            "\n}\nface 1 {\n3 V(0 1 2)\n}\n}\nEof\n";
  for (size_t cut = 0; cut <= whole.size(); ++cut) {
    Loaded r = Load(whole.substr(0, cut));
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.model.DropInvalidPolygons(), 0u) << cut;
  }
  Loaded r = Load(whole);
  EXPECT_EQ(r.model.VertexCount(), 11);
  EXPECT_EQ(r.model.PolygonCount(), 4);
  // A line of megabytes is one line.
  r = Load(std::string(kHead) + "Object \"o\" {\nvertex 1 {\n" + std::string(4 << 20, ' ') +
           "1 2 3\n}\n}\n");
  ASSERT_EQ(r.model.VertexCount(), 1);
  EXPECT_EQ(r.model.vertices[0], (Float3{1, 2, 3}));

  PolygonModel m;
  EXPECT_FALSE(MqoLoadInto("/nonexistent/x.mqo", m));
  EXPECT_STREQ(MqoGetErrMsg(), "ファイルがオープンできませんでした。");
  EXPECT_EQ(m.VertexCount(), 0);
  MqoIsSupport("/nonexistent/x.mqo");
  EXPECT_STREQ(MqoGetErrMsg(), "");
}

TEST(MqoReader, CorpusFilesLoadWithTheirVertices) {
  const auto manifest = ReadManifest();
  const auto files = CorpusFiles("mqo");
  if (files.empty()) GTEST_SKIP() << CorpusSkipReason("mqo");
  for (const std::string& path : files) {
    EXPECT_EQ(MqoIsSupport(path.c_str()), 1) << path;
    PolygonModel m;
    ASSERT_TRUE(MqoLoadInto(path.c_str(), m)) << path;
    EXPECT_EQ(m.DropInvalidPolygons(), 0u) << path;
    const auto row = manifest.find("mqo/" + path.substr(path.rfind('/') + 1));
    if (row == manifest.end()) continue;
    const std::string& notes = row->second.at("notes");
    EXPECT_EQ(m.VertexCount(), NoteValue(notes, "sum_vertex")) << path;
    // The manifest counts faces of every corner count; only triangles and
    // quads are taken.
    EXPECT_LE(m.PolygonCount(), NoteValue(notes, "sum_face")) << path;
    EXPECT_GT(m.PolygonCount(), 0) << path;
  }
}

TEST(MqoReader, DxfAndMqoRowsOfTheReaderTable) {
  const auto table = BuiltinReaders();
  ASSERT_FALSE(table.empty());
  EXPECT_STREQ(table[0].name, "AutoCAD");
  EXPECT_STREQ(table[0].mask, "*.dxf");
  int mqo = -1, wavefront = -1, stl = -1;
  for (size_t i = 0; i < table.size(); ++i) {
    const std::string name = table[i].name;
    if (name == "Metasequoia") mqo = static_cast<int>(i);
    if (name == "Wavefront") wavefront = static_cast<int>(i);
    if (name == "STL format") stl = static_cast<int>(i);
  }
  ASSERT_GE(mqo, 0);
  EXPECT_STREQ(table[static_cast<size_t>(mqo)].mask, "*.mqo");
  EXPECT_LT(wavefront, mqo);
  EXPECT_LT(mqo, stl);
}

}  // namespace

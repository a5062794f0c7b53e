// The PLY reader: positions and face lists into the model, its messages,
// the corpus, and hostile files.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "readers/ply.h"
#include "tests/test_util.h"

namespace {

struct Loaded {
  bool ok = false;
  std::string msg;
  PolygonModel model;
};

Loaded Load(const std::string& bytes, const char* name = "reader.ply") {
  Loaded r;
  const std::string path = WriteTemp(name, bytes);
  r.ok = PlyLoadInto(path.c_str(), r.model);
  r.msg = PlyGetErrMsg();
  return r;
}

std::string Vertices(const PolygonModel& m) {
  std::string s;
  char buf[96];
  for (const Float3& v : m.vertices) {
    snprintf(buf, sizeof buf, "%s%g,%g,%g", s.empty() ? "" : " ", v.x, v.y, v.z);
    s += buf;
  }
  return s;
}

std::string Faces(const PolygonModel& m) {
  std::string s;
  for (int32_t p = 0; p < m.PolygonCount(); ++p) {
    if (p) s += " ";
    s += std::to_string(m.nv(p)) + ":";
    for (int32_t k = 0; k < m.nv(p); ++k) {
      if (k) s += ",";
      s += std::to_string(m.index(p)[k]);
    }
    if (m.material(p) != -1) s += "m" + std::to_string(m.material(p));
  }
  return s;
}

std::string Ascii(const std::string& elements, const std::string& body) {
  return "ply\nformat ascii 1.0\n" + elements + "end_header\n" + body;
}

const std::string kXyz = "property float x\nproperty float y\nproperty float z\n";
const std::string kFaces = "property list uchar int vertex_indices\n";

TEST(PlyReader, EdgeCases) {
  struct Case {
    const char* name;
    std::string file;
    bool ok;
    const char* msg;
    const char* vertices;  // null: not compared
    const char* faces;
  } cases[] = {
      {"triangles and quads keep their size",
       Ascii("element vertex 5\n" + kXyz + "element face 2\n" + kFaces,
             "0 0 0\n1 0 0\n1 1 0\n0 1 0\n0.5 2 -1\n3 0 1 2\n4 1 2 3 4\n"),
       true, "", "0,0,0 1,0,0 1,1,0 0,1,0 0.5,2,-1", "3:0,1,2 4:1,2,3,4"},
      {"large polygons keep every corner",
       Ascii("element vertex 12\n" + kXyz + "element face 4\n" + kFaces,
             "0 0 0\n1 0 0\n2 0 0\n3 0 0\n4 0 0\n5 0 0\n6 0 0\n7 0 0\n8 0 0\n9 0 0\n"
             "10 0 0\n11 0 0\n"
             "12 11 10 9 8 7 6 5 4 3 2 1 0\n9 0 1 2 3 4 5 6 7 8\n8 7 6 5 4 3 2 1 0\n"
             "3 9 10 11\n"),
       true, "", nullptr,
       "12:11,10,9,8,7,6,5,4,3,2,1,0 9:0,1,2,3,4,5,6,7,8 8:7,6,5,4,3,2,1,0 3:9,10,11"},
      {"index V - 1 is accepted, V fails and stops the read",
       Ascii("element vertex 3\n" + kXyz + "element face 3\n" + kFaces,
             "0 0 0\n1 0 0\n1 1 0\n3 0 1 2\n3 2 1 3\n3 0 1 2\n"),
       false, "頂点番号エラー", "0,0,0 1,0,0 1,1,0", "3:0,1,2"},
      {"a negative index fails",
       Ascii("element vertex 3\n" + kXyz + "element face 1\n" + kFaces,
             "0 0 0\n1 0 0\n1 1 0\n3 0 -1 2\n"),
       false, "頂点番号エラー", nullptr, ""},
      {"indices are tested before they become integers",
       Ascii("element vertex 3\n" + kXyz + "element face 2\n" +
                 "property list uchar double vertex_indices\n",
             "0 0 0\n1 0 0\n1 1 0\n3 0.9 1.5 2.99\n3 0 1 4294967296\n"),
       false, "頂点番号エラー", nullptr, "3:0,1,2"},
      {"a NaN index fails",
       Ascii("element vertex 3\n" + kXyz + "element face 1\n" +
                 "property list uchar float vertex_indices\n",
             "0 0 0\n1 0 0\n1 1 0\n3 0 nan 1\n"),
       false, "頂点番号エラー", nullptr, ""},
      {"faces under another list name add no polygon",
       Ascii("element vertex 3\n" + kXyz + "element face 1\n" +
                 "property list uchar int vertex_index\n",
             "0 0 0\n1 0 0\n1 1 0\n3 0 1 2\n"),
       true, "", "0,0,0 1,0,0 1,1,0", ""},
      {"without x every face index is out of range",
       Ascii("element vertex 3\nproperty float y\nproperty float z\nelement face 1\n" + kFaces,
             "0 0\n0 0\n1 0\n3 0 1 2\n"),
       false, "頂点番号エラー", nullptr, ""},
      {"normals and colours are ignored",
       Ascii("element vertex 2\n" + kXyz +
                 "property float nx\nproperty float ny\nproperty float nz\n"
                 "property uchar red\nproperty uchar green\nproperty uchar blue\n"
                 "element face 1\n" +
                 kFaces,
             "1 2 3 0 0 1 255 0 0\n4 5 6 0 1 0 0 255 0\n3 0 1 1\n"),
       true, "", "1,2,3 4,5,6", "3:0,1,1"},
      {"lists of length 0 or less add nothing",
       Ascii("element vertex 3\n" + kXyz + "element face 3\n" +
                 "property list char int vertex_indices\n",
             "0 0 0\n1 0 0\n1 1 0\n0\n-2\n3 0 1 2\n"),
       true, "", nullptr, "3:0,1,2"},
      {"faces may come before the vertices",
       Ascii("element face 1\n" + kFaces + "element vertex 3\n" + kXyz,
             "3 2 1 0\n0 0 0\n1 0 0\n1 1 0\n"),
       true, "", "0,0,0 1,0,0 1,1,0", "3:2,1,0"},
      {"a list longer than the file fails where the data ends",
       Ascii("element vertex 3\n" + kXyz + "element face 1\n" +
                 "property list uint int vertex_indices\n",
             "0 0 0\n1 0 0\n1 1 0\n4294967295 0 1 2\n"),
       false, "Error reading 'vertex_indices' of 'face' number 0", nullptr, ""},
      {"2^31 vertices in a short file",
       Ascii("element vertex 2147483648\n" + kXyz, "1 2 3\n4 5 6\n7 8"), false,
       "Error reading 'z' of 'vertex' number 2", "1,2,3 4,5,6", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Loaded r = Load(c.file);
    EXPECT_EQ(r.ok, c.ok);
    EXPECT_EQ(r.msg, c.msg);
    if (c.vertices) {
      EXPECT_EQ(Vertices(r.model), c.vertices);
    }
    EXPECT_EQ(Faces(r.model), c.faces);
  }
}

// A vertex is added when its z arrives, with the x and y read last, even
// from the file before.
TEST(PlyReader, ZBeforeXAndYTakesTheCoordinatesReadLast) {
  // The file before must not leak into this one: the first vertex starts from zero.
  ASSERT_TRUE(Load(Ascii("element vertex 1\n" + kXyz, "7 8 9\n")).ok);
  const Loaded r =
      Load(Ascii("element vertex 2\nproperty float z\nproperty float x\nproperty float y\n",
                 "3 1 2\n6 4 5\n"));
  EXPECT_TRUE(r.ok);
  EXPECT_EQ(Vertices(r.model), "0,0,3 1,2,6");
}

std::string Be32(uint32_t v) {
  std::string s;
  for (int i = 3; i >= 0; --i) s.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
  return s;
}

// The same square in the three encodings.
TEST(PlyReader, BinaryFilesGiveTheSameModel) {
  const float xyz[4][3] = {{0, 0, 0}, {1, 0, 0}, {1, 1, 0.5f}, {0, 1, -0.25f}};
  const std::string elements =
      "element vertex 4\n" + kXyz + "element face 2\nproperty list uchar uint vertex_indices\n";
  std::string le = "ply\nformat binary_little_endian 1.0\n" + elements + "end_header\n";
  std::string be = "ply\r\nformat binary_big_endian 1.0\r\n" + elements + "end_header\r\n";
  for (const auto& v : xyz) {
    for (float f : v) {
      PutF32(le, f);
      uint32_t u;
      memcpy(&u, &f, 4);
      be += Be32(u);
    }
  }
  for (const auto& face : {std::vector<uint32_t>{0, 1, 2}, std::vector<uint32_t>{0, 2, 3}}) {
    le.push_back(3);
    be.push_back(3);
    for (uint32_t i : face) {
      PutU32(le, i);
      be += Be32(i);
    }
  }
  for (const std::string& file : {le, be}) {
    const Loaded r = Load(file);
    EXPECT_TRUE(r.ok) << r.msg;
    EXPECT_EQ(Vertices(r.model), "0,0,0 1,0,0 1,1,0.5 0,1,-0.25");
    EXPECT_EQ(Faces(r.model), "3:0,1,2 3:0,2,3");
  }
}

TEST(PlyReader, TextureCoordinatesAndTheTextureFile) {
  auto uvs = [](const PolygonModel& m) {
    std::string s;
    char buf[64];
    for (const Float2& c : m.appearance.cornerUV) {
      snprintf(buf, sizeof buf, "%s%g,%g", s.empty() ? "" : " ", c.u, c.v);
      s += buf;
    }
    return s;
  };
  const std::string head = "ply\nformat ascii 1.0\ncomment made by hand\n";
  const struct {
    std::string text;
    std::string uv, texture;
  } cases[] = {
      {head + "comment TextureFile  maps/wood grain.png \nelement vertex 3\nproperty float x\n"
              "property float y\nproperty float z\nproperty float s\nproperty float t\n"
              "element face 1\nproperty list uchar int vertex_indices\nend_header\n"
              "0 0 0 0 0\n1 0 0 1 0\n0 1 0 0.5 1\n3 2 1 0\n",
       "0.5,1 1,0 0,0", "maps/wood grain.png"},
      {head + "element vertex 3\nproperty float texture_u\nproperty float x\nproperty float y\n"
              "property float z\nproperty float texture_v\nelement face 1\n"
              "property list uchar int vertex_indices\nend_header\n"
              "0.25 0 0 0 0.75\n1 1 0 0 1\n0 0 1 0 0\n3 0 1 2\n",
       "0.25,0.75 1,1 0,0", ""},
      // Per-face lists, before or after the corners; a list of the wrong
      // length gives none.
      {head + "comment TextureFile a.png\nelement vertex 3\nproperty float x\nproperty float y\n"
              "property float z\nelement face 3\nproperty list uchar float texcoord\n"
              "property list uchar int vertex_indices\nend_header\n"
              "0 0 0\n1 0 0\n0 1 0\n6 0 0 1 0 0 1 3 0 1 2\n4 1 1 1 1 3 0 1 2\n0 3 2 1 0\n",
       "0,0 1,0 0,1", "a.png"},
      {head + "element vertex 3\nproperty float x\nproperty float y\nproperty float z\n"
              "element face 2\nproperty list uchar int vertex_indices\n"
              "property list uchar float texcoord\nend_header\n"
              "0 0 0\n1 0 0\n0 1 0\n3 0 1 2 0\n3 2 1 0 6 1 1 0.5 0.5 0 0\n",
       "0,0 0,0 0,0 1,1 0.5,0.5 0,0", ""},
      // Only one of a pair: no coordinates.
      {head + "element vertex 3\nproperty float x\nproperty float y\nproperty float z\n"
              "property float u\nelement face 1\nproperty list uchar int vertex_indices\n"
              "end_header\n0 0 0 1\n1 0 0 1\n0 1 0 1\n3 0 1 2\n",
       "", ""},
  };
  for (const auto& c : cases) {
    const Loaded r = Load(c.text);
    ASSERT_TRUE(r.ok) << c.text << r.msg;
    EXPECT_EQ(uvs(r.model), c.uv) << c.text;
    const SurfaceAppearance& a = r.model.appearance;
    if (c.texture.empty()) {
      EXPECT_TRUE(a.materials.empty()) << c.text;
    } else {
      ASSERT_EQ(a.materials.size(), 1u) << c.text;
      EXPECT_EQ(a.materials[0].texture, c.texture);
      EXPECT_EQ(a.polygonMaterial, std::vector<int32_t>(r.model.PolygonCount(), 0));
    }
  }
}

TEST(PlyReader, Messages) {
  struct Case {
    const char* name;
    const char* bytes;  // null: no such file
    const char* msg;
  } cases[] = {
      {"missing file", nullptr, "ファイルオープン失敗"},
      {"not a PLY file", "solid cube\nendsolid\n", "ファイルオープン失敗"},
      {"bad header", "ply\nformat ascii 1.0\nelement vertex 1\nproperty int64 x\nend_header\n",
       "ヘッダー部エラー"},
      {"no end of the header", "ply\nformat ascii 1.0\nelement vertex 1\n", "ヘッダー部エラー"},
      {"cut body",
       "ply\nformat ascii 1.0\nelement vertex 2\nproperty float x\nproperty float y\n"
       "property float z\nend_header\n1 2 3\n4 5",
       "Error reading 'z' of 'vertex' number 1"},
      {"bad value",
       "ply\nformat ascii 1.0\nelement vertex 1\nproperty float x\nproperty float y\n"
       "property float z\nend_header\n1 2 three\n",
       "Error reading 'z' of 'vertex' number 0"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path =
        c.bytes ? WriteTemp("msg.ply", c.bytes) : TempDir() + "/no-such-file.ply";
    PolygonModel model;
    EXPECT_FALSE(PlyLoadInto(path.c_str(), model));
    EXPECT_STREQ(PlyGetErrMsg(), c.msg);
  }
  // A later load starts with an empty message.
  EXPECT_TRUE(Load(Ascii("element vertex 1\n" + kXyz, "1 2 3\n")).ok);
  EXPECT_STREQ(PlyGetErrMsg(), "");
}

TEST(PlyReader, LongLibraryMessagesAreCutToTheBuffer) {
  const std::string name(300, 'v');
  const Loaded r = Load(Ascii("element " + name + " 1\nproperty float x\n", ""));
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.msg.size(), 127u);
  EXPECT_EQ(r.msg, ("Error reading 'x' of '" + name).substr(0, 127));
}

TEST(PlyReader, IsSupportReadsTheHeaderOnlyAndKeepsTheMessage) {
  ASSERT_TRUE(Load("ply\nformat ascii 1.0\nend_header\n").ok);
  ASSERT_FALSE(Load("not ply").ok);
  const std::string good = WriteTemp("good.ply", Ascii("element vertex 1000\n" + kXyz, "1 2"));
  const std::string badHeader = WriteTemp("bad.ply", "ply\nformat ascii 1.0\nwhat\nend_header\n");
  const std::string notPly = WriteTemp("other.ply", "solid x\n");
  EXPECT_EQ(PlyIsSupport(good.c_str()), 1);  // a cut body is for Load to find
  EXPECT_EQ(PlyIsSupport(badHeader.c_str()), -1);
  EXPECT_EQ(PlyIsSupport(notPly.c_str()), -1);
  EXPECT_EQ(PlyIsSupport((TempDir() + "/missing.ply").c_str()), -1);
  EXPECT_STREQ(PlyGetErrMsg(), "ファイルオープン失敗");
}

// "elements: vertex=N,face=M" from the manifest notes; -1 when absent.
long ElementCount(const std::string& notes, const std::string& element) {
  const size_t at = notes.find("elements: ");
  if (at == std::string::npos) return -1;
  const std::string list = notes.substr(at + 10, notes.find(';', at) - at - 10);
  std::stringstream ss(list);
  std::string item;
  while (std::getline(ss, item, ',')) {
    if (item.rfind(element + "=", 0) == 0) return std::stol(item.substr(element.size() + 1));
  }
  return 0;
}

TEST(PlyReader, Corpus) {
  const auto files = CorpusFiles("ply");
  if (files.empty()) GTEST_SKIP() << CorpusSkipReason("ply");
  const auto manifest = ReadManifest();
  for (const std::string& path : files) {
    SCOPED_TRACE(path);
    PolygonModel model;
    const bool ok = PlyLoadInto(path.c_str(), model);
    const std::string key = "ply/" + path.substr(path.rfind('/') + 1);
    if (!ok) {
      EXPECT_STRNE(PlyGetErrMsg(), "");
      continue;
    }
    const auto row = manifest.find(key);
    ASSERT_NE(row, manifest.end());
    const std::string& notes = row->second.at("notes");
    EXPECT_EQ(model.VertexCount(), ElementCount(notes, "vertex"));
    EXPECT_EQ(model.PolygonCount(), ElementCount(notes, "face"));
    EXPECT_EQ(model.DropInvalidPolygons(), 0u);
  }
}

std::string Slurp(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

// Cut anywhere or with bytes changed, a file loads or fails with a message.
TEST(PlyReader, DamagedFilesFailCleanly) {
  const std::string dir = CorpusDir();
  const std::string cube = dir + "/ply/assimp__PLY_cube_binary.ply";
  const std::string pocket = dir + "/ply/trimesh__models_octagonal_pocket.ply";
  const std::string sphere = dir + "/ply/trimesh__models_sphere.ply";
  const std::string cubeBytes = Slurp(cube);
  if (cubeBytes.empty()) GTEST_SKIP() << CorpusSkipReason("ply");
  for (size_t cut = 0; cut < cubeBytes.size(); ++cut) {
    const Loaded r = Load(cubeBytes.substr(0, cut));
    EXPECT_FALSE(r.ok) << cut;
    EXPECT_FALSE(r.msg.empty()) << cut;
  }
  const std::string pocketBytes = Slurp(pocket), sphereBytes = Slurp(sphere);
  ASSERT_FALSE(pocketBytes.empty() || sphereBytes.empty()) << "corpus PLY files missing in " << dir;
  for (size_t cut = 400; cut < pocketBytes.size(); cut += 397) {
    const Loaded r = Load(pocketBytes.substr(0, cut));
    EXPECT_FALSE(r.ok) << cut;
    EXPECT_EQ(r.msg.rfind("Error reading '", 0), 0u) << cut << ": " << r.msg;
  }
  std::mt19937 rng(8);
  for (const std::string& bytes : {cubeBytes, sphereBytes.substr(0, 3000)}) {
    for (int round = 0; round < 400; ++round) {
      std::string damaged = bytes;
      for (int k = 0; k < 4; ++k) damaged[rng() % damaged.size()] = static_cast<char>(rng() & 0xFF);
      const Loaded r = Load(damaged);
      if (!r.ok) {
        EXPECT_FALSE(r.msg.empty());
      }
    }
  }
}

}  // namespace

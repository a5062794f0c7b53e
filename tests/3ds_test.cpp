#include "readers/3ds.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "core/pipeline.h"
#include "readers/builtin.h"
#include "tests/test_util.h"

namespace {

constexpr char kDataError[] = "データエラー．";

// Little-endian chunk builders: identifier, length counting the 6 header
// bytes, then the body.
std::string Chunk(unsigned id, const std::string& body) {
  std::string s;
  PutU16(s, id);
  PutU32(s, static_cast<unsigned>(body.size() + 6));
  return s + body;
}

std::string VertexList(const std::vector<Float3>& v) {
  std::string s;
  PutU16(s, static_cast<unsigned>(v.size()));
  for (const Float3& p : v) {
    PutF32(s, p.x);
    PutF32(s, p.y);
    PutF32(s, p.z);
  }
  return Chunk(0x4110, s);
}

struct Face {
  unsigned a, b, c;
};

std::string FaceList(const std::vector<Face>& faces, const std::string& subChunks = {}) {
  std::string s;
  PutU16(s, static_cast<unsigned>(faces.size()));
  for (const Face& f : faces) {
    PutU16(s, f.a);
    PutU16(s, f.b);
    PutU16(s, f.c);
    PutU16(s, 7);  // flags, ignored
  }
  return Chunk(0x4120, s + subChunks);
}

std::string Object(const std::string& name, const std::string& meshBody) {
  return Chunk(0x4000, name + std::string(1, '\0') + Chunk(0x4100, meshBody));
}

std::string U32(unsigned v) {
  std::string s;
  PutU32(s, v);
  return s;
}

// A file laid out as exporters write it: the version chunk, then the editor
// chunk opening with the mesh version, whose low byte lands at offset 28.
std::string File3ds(const std::string& editorBody, const std::string& afterEditor = {},
                    unsigned meshVersion = 3) {
  return Chunk(0x4D4D, Chunk(0x0002, U32(3)) +
                           Chunk(0x3D3D, Chunk(0x3D3E, U32(meshVersion)) + editorBody) +
                           afterEditor);
}

struct Loaded {
  bool ok;
  std::string msg;
  PolygonModel model;
};

Loaded Load(const std::string& bytes, const std::string& name = "t.3ds") {
  Loaded r;
  const std::string path = WriteTemp(name, bytes);
  r.ok = TdsLoadInto(path.c_str(), r.model);
  r.msg = TdsGetErrMsg();
  return r;
}

std::vector<int32_t> Corners(const PolygonModel& m) {
  return std::vector<int32_t>(m.indexPool.begin(), m.indexPool.end());
}

std::string F32(float v) {
  std::string s;
  PutF32(s, v);
  return s;
}

// Header bytes with any length, for chunks that lie about their size.
std::string Header(unsigned id, unsigned length) {
  std::string s;
  PutU16(s, id);
  PutU32(s, length);
  return s;
}

TEST(Tds, IsSupportTakesTheMeshVersionByteOrElseTheChunkStructure) {
  const std::string good = File3ds("");
  ASSERT_EQ(good[28], 3);
  std::string notMagic = good;
  notMagic[1] = 'N';
  // Exporters that open the editor chunk with the master scale (byte 28 is
  // then a byte of the float) or with a material, with or without the
  // version chunk before it.
  const std::string mesh = Object("A", VertexList({{1, 2, 3}, {4, 5, 6}, {7, 8, 9}}));
  const std::string scaleFirst =
      Chunk(0x4D4D, Chunk(0x0002, U32(3)) + Chunk(0x3D3D, Chunk(0x0100, F32(1)) + mesh));
  const std::string materialFirst = Chunk(
      0x4D4D, Chunk(0x3D3D, Chunk(0xAFFF, Chunk(0xA000, "mat" + std::string(1, '\0'))) + mesh));
  const std::string versionLater =
      Chunk(0x4D4D, Chunk(0x0001, "ab") + Chunk(0x0003, "") + Chunk(0x0002, U32(3)));
  std::string editorNinth;
  for (int i = 0; i < 8; ++i) editorNinth += Chunk(0x0005, "x");
  editorNinth = Chunk(0x4D4D, editorNinth + Chunk(0x3D3D, ""));
  // Bytes that start with MM and have byte 28 below 2 but no chunk tree.
  std::string garbage(40, '\x11');
  garbage[0] = garbage[1] = 'M';
  garbage[28] = 1;
  std::string negative = garbage;
  negative[28] = static_cast<char>(0x80);
  std::string tiff = "MM" + std::string("\0*\0\0\0\x08", 6) + std::string(64, '\0');
  // Byte 28 at 2 or more is taken at once, whatever follows it.
  std::string fastPath = garbage;
  fastPath[28] = 2;
  const std::string longMain =
      Header(0x4D4D, static_cast<unsigned>(scaleFirst.size() + 1)) + scaleFirst.substr(6);
  struct Case {
    const char* what;
    std::string bytes;
    int32_t expected;
  } fast[] =
      {
          {"version 3", good, 1},
          {"version 2", File3ds("", "", 2), 1},
          {"byte 28 decides alone when 2 or more", fastPath, 1},
          {"not MM", notMagic, -1},
          {"two bytes MM", "MM", -1},
          {"empty", "", -1},
      },
    structural[] = {
        {"master scale first", scaleFirst, 1},
        {"material first, no version chunk", materialFirst, 1},
        {"version chunk after other chunks", versionLater, 1},
        {"mesh version 1 in a sound tree", File3ds("", "", 1), 1},
        {"mesh version 0x80 in a sound tree", File3ds("", "", 0x80), 1},
        {"MM and garbage", garbage, -1},
        {"MM and garbage, byte 28 negative", negative, -1},
        {"big-endian TIFF", tiff, -1},
        {"main chunk longer than the file", longMain, -1},
        {"main chunk below a header", Header(0x4D4D, 5) + scaleFirst.substr(6), -1},
        {"sub-chunk below a header",
         Chunk(0x4D4D, Header(0x0001, 4) + std::string(24, '\0') + Chunk(0x3D3D, "")), -1},
        {"sub-chunk past its parent", Chunk(0x4D4D, Header(0x3D3D, 31) + std::string(24, '\0')),
         -1},
        {"editor ninth", editorNinth, -1},
        {"no chunk but the main chunk", Chunk(0x4D4D, std::string(24, '\0')), -1},
    };
  for (const Case& c : fast) {
    const std::string path = WriteTemp("support.3ds", c.bytes);
    EXPECT_EQ(TdsIsSupport(path.c_str()), c.expected) << c.what;
  }
  for (const Case& c : structural) {
    // Byte 28 says no: the structure decides.
    ASSERT_LT(c.bytes.size() > 28 ? static_cast<signed char>(c.bytes[28]) : 0, 2) << c.what;
    const std::string path = WriteTemp("support.3ds", c.bytes);
    EXPECT_EQ(TdsIsSupport(path.c_str()), c.expected) << c.what;
  }
  EXPECT_EQ(TdsIsSupport((TempDir() + "/missing.3ds").c_str()), 0);
}

// What the structural test is for: the pipeline offers such a file to the
// reader instead of refusing it.
TEST(Tds, ThePipelineLoadsAFileWhoseEditorOpensWithTheMasterScale) {
  struct Host : LoadHost {
    LoadSettings Settings() const override { return {}; }
    void AppendLog(const std::string& line) override { log.push_back(line); }
    std::vector<std::string> log;
  } host;
  const std::string bytes = Chunk(
      0x4D4D,
      Chunk(0x0002, U32(3)) +
          Chunk(0x3D3D, Chunk(0x0100, F32(1)) +
                            Object("A", VertexList({{1, 2, 3}, {4, 5, 6}, {7, 8, 9}, {0, 0, 1}}) +
                                            FaceList({{0, 1, 2}, {1, 2, 3}}))));
  LoadPipeline pipeline;
  BuildReaderTable(pipeline.table, BuiltinReaders(), false, nullptr);
  const std::string path = WriteTemp("scale.3ds", bytes);
  EXPECT_EQ(LoadModelFile(pipeline, host, path), LoadOutcome::kLoaded);
  ASSERT_EQ(host.log.size(), 3u);
  EXPECT_EQ(host.log[1], "3D StudioMAX: " + path);
  EXPECT_EQ(host.log[2], " > 頂点数 = 4, ポリゴン数 = 2");
  ReleaseReaderTable(pipeline.table);
}

TEST(Tds, TurnsZUpAndAppendsObjectsAfterEachOther) {
  const std::string bytes =
      File3ds(Object("A", VertexList({{1, 2, 3}, {4, 5, 6}, {7, 8, 9}, {0, 0, 1}}) +
                              FaceList({{0, 1, 2}, {1, 2, 3}})) +
              Object("B", VertexList({{1, 0, 0}, {0, 1, 0}, {0, 0, 1}}) + FaceList({{0, 1, 2}})));
  const Loaded r = Load(bytes);
  ASSERT_TRUE(r.ok) << r.msg;
  EXPECT_EQ(r.msg, "");
  ASSERT_EQ(r.model.VertexCount(), 7);
  EXPECT_EQ(r.model.vertices[0], (Float3{1, 3, -2}));
  EXPECT_EQ(r.model.vertices[5], (Float3{0, 0, -1}));
  ASSERT_EQ(r.model.PolygonCount(), 3);
  EXPECT_EQ(Corners(r.model), (std::vector<int32_t>{0, 1, 2, 1, 2, 3, 4, 5, 6}));
  for (int32_t p = 0; p < 3; ++p) {
    EXPECT_EQ(r.model.nv(p), 3);
    EXPECT_EQ(r.model.material(p), -1);
  }
}

TEST(Tds, ReadsListsLongerThanTheReadingWindow) {
  std::vector<Float3> vertices(65535);
  std::vector<Face> faces(65535);
  for (unsigned i = 0; i < 65535; ++i) {
    vertices[i] = {static_cast<float>(i), 1, 2};
    faces[i] = {i, (i * 7) % 65535, (i * 13) % 65535};
  }
  const Loaded r = Load(File3ds(Object("Big", VertexList(vertices) + FaceList(faces))));
  ASSERT_TRUE(r.ok) << r.msg;
  ASSERT_EQ(r.model.VertexCount(), 65535);
  EXPECT_EQ(r.model.vertices[65534], (Float3{65534, 2, -1}));
  ASSERT_EQ(r.model.PolygonCount(), 65535);
  for (int32_t p = 0; p < 65535; ++p) {
    const std::vector<int32_t> want{p, (p * 7) % 65535, (p * 13) % 65535};
    ASSERT_EQ(std::vector<int32_t>(r.model.index(p), r.model.index(p) + 3), want) << p;
  }
}

TEST(Tds, PassesOverEverythingButTheMeshes) {
  const std::string mesh = VertexList({{1, 2, 3}, {4, 5, 6}, {7, 8, 9}}) + FaceList({{0, 1, 2}});
  const Loaded plain = Load(File3ds(Object("A", mesh)));
  ASSERT_TRUE(plain.ok);

  const std::string material = Chunk(0xAFFF, Chunk(0xA000, "red" + std::string(1, '\0')));
  const std::string light =
      Chunk(0x4000, "Lamp" + std::string(1, '\0') + Chunk(0x4600, std::string(12, '\x01')));
  const std::string camera =
      Chunk(0x4000, "Cam" + std::string(1, '\0') + Chunk(0x4700, std::string(32, '\x02')));
  // Texture coordinates and local axes in the mesh, material and smoothing
  // groups inside the face list.
  const std::string busyMesh =
      VertexList({{1, 2, 3}, {4, 5, 6}, {7, 8, 9}}) + Chunk(0x4140, std::string(26, '\x03')) +
      Chunk(0x4160, std::string(48, '\x04')) +
      FaceList({{0, 1, 2}}, Chunk(0x4130, "red" + std::string(1, '\0') + "\x01\x00\x00\x00") +
                                Chunk(0x4150, std::string(4, '\x05')));
  const std::string keyframer = Chunk(0xB000, Chunk(0xB002, std::string(40, '\x06')));
  const Loaded busy = Load(File3ds(material + light + Object("A", busyMesh) + camera, keyframer));
  ASSERT_TRUE(busy.ok) << busy.msg;
  EXPECT_EQ(busy.model.vertices, plain.model.vertices);
  EXPECT_EQ(Corners(busy.model), Corners(plain.model));
}

// ---- Materials and mapping coordinates ----

std::string Z(const std::string& name) { return name + std::string(1, '\0'); }

std::string U16(unsigned v) {
  std::string s;
  PutU16(s, v);
  return s;
}

std::string Group(const std::string& name, const std::vector<unsigned>& faces,
                  unsigned count = ~0u) {
  std::string s = Z(name) + U16(count == ~0u ? static_cast<unsigned>(faces.size()) : count);
  for (unsigned f : faces) s += U16(f);
  return Chunk(0x4130, s);
}

std::string MapCoords(const std::vector<Float2>& uv, unsigned count = ~0u) {
  std::string s = U16(count == ~0u ? static_cast<unsigned>(uv.size()) : count);
  for (const Float2& c : uv) s += F32(c.u) + F32(c.v);
  return Chunk(0x4140, s);
}

const std::vector<Float3> kSquare = {{0, 0, 0}, {1, 0, 0}, {1, 1, 0}, {0, 1, 0}};

TEST(Tds, ReadsMaterialsFaceGroupsAndMappingCoordinates) {
  const std::string red =
      Chunk(0xAFFF, Chunk(0xA000, Z("Red")) +
                        Chunk(0xA020, Chunk(0x0011, std::string("\xFF\x00\x33", 3)) +
                                          Chunk(0x0012, "\x01\x01\x01")) +
                        Chunk(0xA050, Chunk(0x0030, U16(25))) +
                        Chunk(0xA200, Chunk(0xA351, U16(0)) + Chunk(0xA300, Z("BRICK.PNG"))));
  const std::string blue = Chunk(
      0xAFFF, Chunk(0xA000, Z("Blue")) + Chunk(0xA020, Chunk(0x0010, F32(0) + F32(0) + F32(1))) +
                  Chunk(0xA050, Chunk(0x0031, F32(50))));
  // The mapping coordinates come before the vertices, a material after the
  // object that uses it; the second object's faces have no group.
  const std::string mesh =
      MapCoords({{0, 0}, {1, 0}, {1, 1}, {0, 1}}) + VertexList(kSquare) +
      FaceList({{0, 1, 2}, {0, 2, 3}, {0, 2, 9}}, Group("Blue", {1}) + Group("Red", {0}));
  const std::string plain = VertexList(kSquare) + FaceList({{0, 1, 2}});
  const Loaded r = Load(File3ds(red + Object("A", mesh) + Object("B", plain) + blue));
  ASSERT_TRUE(r.ok) << r.msg;
  ASSERT_EQ(r.model.PolygonCount(), 3);
  const SurfaceAppearance& a = r.model.appearance;
  ASSERT_EQ(a.materials.size(), 2u);
  EXPECT_EQ(std::vector<float>(a.materials[0].color, a.materials[0].color + 3),
            (std::vector<float>{1, 0, 0.2f}));
  EXPECT_EQ(a.materials[0].opacity, 0.75f);
  EXPECT_EQ(a.materials[0].texture, "BRICK.PNG");
  EXPECT_EQ(std::vector<float>(a.materials[1].color, a.materials[1].color + 3),
            (std::vector<float>{0, 0, 1}));
  EXPECT_EQ(a.materials[1].opacity, 0.5f);
  EXPECT_EQ(a.materials[1].texture, "");
  EXPECT_EQ(a.polygonMaterial, (std::vector<int32_t>{0, 1}));  // the last polygon has none
  const std::vector<Float2> want = {{0, 0}, {1, 0}, {1, 1}, {0, 0}, {1, 1},
                                    {0, 1}, {0, 0}, {0, 0}, {0, 0}};
  EXPECT_EQ(a.cornerUV, want);
}

TEST(Tds, DamagedMaterialChunksNeverFailTheLoad) {
  const std::string mesh = VertexList(kSquare) + FaceList({{0, 1, 2}});
  const Loaded plain = Load(File3ds(Object("A", mesh)));
  ASSERT_TRUE(plain.ok);
  const struct {
    const char* what;
    std::string editor;
  } cases[] = {
      {"a group counting beyond its chunk",
       Object("A", VertexList(kSquare) + FaceList({{0, 1, 2}}, Group("m", {0}, 60000)))},
      {"a group naming faces that are not there",
       Object("A", VertexList(kSquare) + FaceList({{0, 1, 2}}, Group("m", {7, 65535})))},
      {"a group without its count",
       Object("A", VertexList(kSquare) + FaceList({{0, 1, 2}}, Chunk(0x4130, "m")))},
      {"mapping coordinates counting beyond their chunk",
       Object("A", MapCoords({{0.5f, 0.5f}}, 65535) + mesh)},
      {"mapping coordinates without a count", Object("A", Chunk(0x4140, "") + mesh)},
      {"a material whose sub-chunk is shorter than a header",
       Chunk(0xAFFF, Header(0xA000, 3) + "abc") + Object("A", mesh)},
      {"a colour chunk too short for its colour",
       Chunk(0xAFFF, Chunk(0xA020, Chunk(0x0010, "\x01\x02"))) + Object("A", mesh)},
      {"a material name without its zero byte",
       Chunk(0xAFFF, Chunk(0xA000, std::string(300, 'n'))) + Object("A", mesh)},
      {"a sub-chunk running past the material",
       Chunk(0xAFFF, Header(0xA200, 1000) + Header(0xA300, 900)) + Object("A", mesh)},
  };
  for (const auto& c : cases) {
    const Loaded r = Load(File3ds(c.editor));
    ASSERT_TRUE(r.ok) << c.what << ": " << r.msg;
    EXPECT_EQ(r.model.vertices, plain.model.vertices) << c.what;
    EXPECT_EQ(Corners(r.model), Corners(plain.model)) << c.what;
  }
}

TEST(Tds, ReadsLongObjectNamesToTheirZeroByte) {
  const Loaded r =
      Load(File3ds(Object("AVeryLongObjectName_0123456789",
                          VertexList({{1, 2, 3}, {4, 5, 6}, {7, 8, 9}}) + FaceList({{0, 1, 2}}))));
  ASSERT_TRUE(r.ok) << r.msg;
  EXPECT_EQ(r.model.PolygonCount(), 1);
}

TEST(Tds, LeavesOutFacesNamingVerticesThatWereNotRead) {
  const std::string bytes =
      File3ds(Object("early", FaceList({{0, 1, 2}})) +  // before any vertex list
              Object("A", VertexList({{1, 2, 3}, {4, 5, 6}, {7, 8, 9}}) +
                              FaceList({{0, 1, 2}, {0, 1, 3}, {65535, 0, 1}})) +
              Object("B", VertexList({{1, 0, 0}, {0, 1, 0}, {0, 0, 1}}) +
                              FaceList({{2, 1, 0}, {3, 1, 0}})));
  const Loaded r = Load(bytes);
  ASSERT_TRUE(r.ok) << r.msg;
  EXPECT_EQ(Corners(r.model), (std::vector<int32_t>{0, 1, 2, 5, 4, 3}));
}

TEST(Tds, StrayBytesAtTheEndOfAChunkArePassedOver) {
  const std::string mesh = VertexList({{1, 2, 3}, {4, 5, 6}, {7, 8, 9}}) + FaceList({{0, 1, 2}});
  const Loaded r =
      Load(File3ds(Chunk(0x4000, "A" + std::string(1, '\0') + Chunk(0x4100, mesh + "xyz"))));
  ASSERT_TRUE(r.ok) << r.msg;
  EXPECT_EQ(r.model.PolygonCount(), 1);
}

TEST(Tds, CorruptChunksEndInADataErrorNeverAStall) {
  const std::string good = VertexList({{1, 2, 3}, {4, 5, 6}, {7, 8, 9}}) + FaceList({{0, 1, 2}});
  auto withLength = [](unsigned id, unsigned length, const std::string& body) {
    std::string s;
    PutU16(s, id);
    PutU32(s, length);
    return s + body;
  };
  std::string manyVertices;  // claims 65535, holds one
  PutU16(manyVertices, 65535);
  PutF32(manyVertices, 1);
  PutF32(manyVertices, 2);
  PutF32(manyVertices, 3);
  std::string manyFaces;
  PutU16(manyFaces, 65535);
  PutU32(manyFaces, 0x00010000);
  PutU32(manyFaces, 0);

  struct Case {
    const char* what;
    std::string bytes;
    bool ok;
  } cases[] = {
      {"sub-chunk length 0", File3ds(withLength(0x4000, 0, "A")), false},
      {"sub-chunk length 5", File3ds(withLength(0xAFFF, 5, "AAAAAAAA")), false},
      {"skipped chunk length 0", File3ds(withLength(0xB000, 0, "")), false},
      {"main chunk length 0", withLength(0x4D4D, 0, Chunk(0x3D3D, "")), false},
      {"vertex count beyond the chunk",
       File3ds(Object("A", Chunk(0x4110, manyVertices) + FaceList({{0, 0, 0}}))), false},
      {"face count beyond the chunk",
       File3ds(Object("A", VertexList({{1, 2, 3}}) + Chunk(0x4120, manyFaces))), false},
      {"vertex list too short for its count", File3ds(Object("A", Chunk(0x4110, "\x01"))), false},
      {"object name without a zero byte", File3ds(Chunk(0x4000, "NoZeroByteHere")), false},
      {"entered chunk length 0xFFFFFFFF",
       File3ds("", withLength(0x3D3D, 0xFFFFFFFF, Object("A", good))), false},
      {"main chunk length 0xFFFFFFFF", withLength(0x4D4D, 0xFFFFFFFF, ""), false},
      // A skip past the end of the file is no read, so nothing fails.
      {"skipped chunk length 0xFFFFFFFF",
       File3ds(Object("A", good), withLength(0xB000, 0xFFFFFFFF, "")), true},
      {"empty file", "", false},
      {"one byte", "M", false},
  };
  for (const Case& c : cases) {
    const Loaded r = Load(c.bytes);
    EXPECT_EQ(r.ok, c.ok) << c.what;
    EXPECT_EQ(r.msg, c.ok ? "" : kDataError) << c.what;
  }
}

TEST(Tds, EveryTruncationIsADataError) {
  const std::string bytes = File3ds(
      Chunk(0xAFFF, Chunk(0xA000, "m" + std::string(1, '\0'))) +
          Object("A", VertexList({{1, 2, 3}, {4, 5, 6}, {7, 8, 9}}) +
                          FaceList({{0, 1, 2}}, Chunk(0x4150, "abcd"))) +
          Object("B", VertexList({{1, 0, 0}, {0, 1, 0}, {0, 0, 1}}) + FaceList({{0, 1, 2}})),
      Chunk(0xB000, "kf"));
  // A cut inside the last chunk's data, which is only skipped, reads
  // nothing past the end: that file still loads.
  const size_t lastChunkData = bytes.size() - 2;
  for (size_t n = 0; n < bytes.size(); ++n) {
    const Loaded r = Load(bytes.substr(0, n));
    const bool ok = n >= lastChunkData;
    EXPECT_EQ(r.ok, ok) << n;
    EXPECT_EQ(r.msg, ok ? "" : kDataError) << n;
    EXPECT_LE(r.model.PolygonCount(), 2) << n;
  }
  const Loaded whole = Load(bytes);
  ASSERT_TRUE(whole.ok);
  EXPECT_EQ(whole.model.PolygonCount(), 2);
}

TEST(Tds, FailsToOpenAMissingFile) {
  PolygonModel m;
  EXPECT_FALSE(TdsLoadInto((TempDir() + "/nothing.3ds").c_str(), m));
  EXPECT_STREQ(TdsGetErrMsg(), "ファイルがオープンできませんでした。");
  // IsSupport empties the message buffer.
  TdsIsSupport((TempDir() + "/nothing.3ds").c_str());
  EXPECT_STREQ(TdsGetErrMsg(), "");
}

// Every file is recognised, also one whose editor chunk opens with the
// master scale, and gives the counts of its lists.
TEST(Tds, CorpusFilesAreRecognisedAndCountsMatchTheLists) {
  const auto manifest = ReadManifest();
  const auto files = CorpusFiles("3ds");
  if (files.empty()) GTEST_SKIP() << CorpusSkipReason("3ds");
  for (const std::string& path : files) {
    const std::string key = "3ds/" + path.substr(path.find_last_of('/') + 1);
    EXPECT_EQ(TdsIsSupport(path.c_str()), 1) << key;
    PolygonModel m;
    ASSERT_TRUE(TdsLoadInto(path.c_str(), m)) << key << ": " << TdsGetErrMsg();
    const auto row = manifest.find(key);
    ASSERT_NE(row, manifest.end()) << key;
    const std::string& notes = row->second.at("notes");
    EXPECT_EQ(m.VertexCount(), NoteValue(notes, "sum_verts")) << key;
    EXPECT_EQ(m.PolygonCount(), NoteValue(notes, "sum_faces")) << key;
    EXPECT_EQ(m.DropInvalidPolygons(), 0u) << key;
  }
}

}  // namespace

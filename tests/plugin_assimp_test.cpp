// The reader plug-ins on assimp: every shipped module reads a real file of
// its format, the first bytes keep other files away, broken files fail with
// assimp's own text, and the built-in readers keep the formats they read.
// Real files come from Debian's assimp-testmodels package.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <limits.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "app/filebrowser.h"
#include "core/pipeline.h"
#include "core/plugin_host.h"
#include "core/plugin_loader.h"
#include "core/reader_table.h"
#include "readers/builtin.h"
#include "tests/test_util.h"

namespace fs = std::filesystem;

namespace {

struct Shipped {
  const char* ext;
  const char* name;
  const char* file;  // under the models folder
  int polygons;
};

// Every shipped module with at least one real file. The polygon counts were
// taken by hand with `assimp info FILE -r`, which counts faces as they are
// when nothing is triangulated; where a file draws one mesh at several
// places (marked "instances"), with `assimp info FILE -ptv`, which applies
// the node transforms as the plug-ins do.
constexpr Shipped kShipped[] = {
    {"3d", "Unreal 3D", "3D/box_d.3d", 12},
    {"3mf", "3D Manufacturing Format", "3MF/box.3mf", 12},
    {"ac", "AC3D", "AC/Wuson.ac", 3732},
    {"acc", "AC3D (acc)", "AC/Wuson.acc", 3732},
    {"amf", "Additive Manufacturing File", "AMF/test1.amf", 4},
    {"ase", "3ds Max ASCII Scene", "ASE/RotatingCube.ASE", 12},
    {"b3d", "Blitz3D", "B3D/WusonBlitz.b3d", 3732},
    {"blend", "Blender", "BLEND/4Cubes4Mats_248.blend", 24},
    {"blend", "Blender", "BLEND/BlenderDefault_250_Compressed.blend", 6},
    {"dae", "Collada", "Collada/COLLADA.dae", 6720},
    {"dae", "Collada", "Collada/cameras.dae", 36},  // a skinned mesh among cameras
    {"fbx", "Autodesk FBX", "FBX/cubes_nonames.fbx", 210},
    {"fbx", "Autodesk FBX", "FBX/boxWithCompressedCTypeArray.FBX", 6},
    {"glb", "glTF binary", "glTF2/BoxTextured-glTF-Binary/BoxTextured.glb", 12},
    {"gltf", "glTF", "glTF2/BoxTextured-glTF-Embedded/BoxTextured.gltf", 12},
    {"gltf", "glTF", "glTF/TwoBoxes/TwoBoxes.gltf", 24},  // instances
    {"hmp", "3D GameStudio terrain", "HMP/terrain.hmp", 1024},
    {"ifc", "IFC-STEP", "IFC/AC14-FZK-Haus.ifc", 16037},  // instances
    {"iqm", "Inter-Quake Model", "IQM/mrfixit.iqm", 2988},
    {"lws", "LightWave scene", "LWS/move_x.lws", 6},
    {"lxo", "Modo", "LWO/LXOB_Modo/sphereWithVertMap.lxo", 288},
    {"md2", "Quake II model", "MD2/faerie.md2", 654},
    {"md5mesh", "Doom 3 mesh", "MD5/SimpleCube.md5mesh", 12},
    {"mdc", "Return to Castle Wolfenstein model", "MDC/spider.mdc", 1368},
    {"mdl", "Quake, Half-Life and 3D GameStudio model", "MDL/MDL (HL1)/chrome_sphere.mdl", 480},
    {"ms3d", "MilkShape 3D", "MS3D/twospheres_withmats.ms3d", 240},
    {"nff", "Neutral File Format", "NFF/NFF/dodecahedron.nff", 36},
    {"ogex", "Open Game Engine Exchange", "OpenGEX/collada.ogex", 6722},
    {"q3o", "Quick3D object", "Q3D/earth.q3o", 2937},
    {"q3s", "Quick3D scene", "Q3D/WusonOrange.q3s", 3732},
    {"raw", "PovRay raw triangles", "RAW/Wuson.raw", 3732},
    {"sib", "Silo", "SIB/heffalump.sib", 374},  // instances
    {"smd", "Valve SMD", "SMD/holy_grailref.smd", 896},
    {"x", "DirectX", "X/BCN_Epileptic.X", 5126},
    {"x3d", "X3D", "X3D/ComputerKeyboard.x3d", 43},
    {"xgl", "XGL", "XGL/sample_official.xgl", 24},  // instances
    {"zae", "Collada archive", "Collada/duck.zae", 2144},
    {"zgl", "XGL (compressed)", "XGL/Wuson.zgl", 3732},
};

std::string ModelsDir() {
  const char* env = getenv("TARNELLE_ASSIMP_MODELS");
  return env && *env ? env : "/usr/share/assimp/models";
}

std::string Model(const std::string& file) { return ModelsDir() + "/" + file; }

#define REQUIRE_MODELS()                                                      \
  if (!fs::is_directory(ModelsDir()))                                         \
  GTEST_SKIP() << "assimp's sample models are not installed (" << ModelsDir() \
               << "; Debian package assimp-testmodels, or set TARNELLE_ASSIMP_MODELS)"

std::string ShippedPluginDir() { return std::string(TARNELLE_BINARY_DIR) + "/app/Plugin/"; }

std::string SelfPath() {
  char buf[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
}

std::string ReadAll(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(f), {});
}

// The blocks of --info output, one per file, each without its separator.
std::vector<std::string> Blocks(const std::string& out) {
  std::vector<std::string> blocks;
  const std::string sep = std::string(kLogSeparator) + "\n";
  size_t at = out.find(sep);
  while (at != std::string::npos) {
    const size_t next = out.find(sep, at + sep.size());
    blocks.push_back(out.substr(at + sep.size(), next - at - sep.size()));
    at = next;
  }
  return blocks;
}

struct TableGuard {
  ReaderTable table;
  ~TableGuard() { ReleaseReaderTable(table); }
};

TEST(AssimpPlugins, ShipsExactlyTheTestedFormatsAndListsThemInTheFilter) {
  std::set<std::string> expected, found;
  for (const Shipped& s : kShipped) expected.insert(std::string("assimp_") + s.ext + ".so");
  for (const auto& e : fs::directory_iterator(ShippedPluginDir())) {
    const std::string name = e.path().filename().string();
    if (name.rfind("assimp_", 0) == 0) found.insert(name);
  }
  EXPECT_EQ(found, expected);

  TableGuard t;
  const PluginSource source{ShippedPluginDir(), SelfPath()};
  BuildReaderTable(t.table, BuiltinReaders(), false, &source);
  const std::string filter = BuildFilterText(t.table);
  for (const Shipped& s : kShipped) {
    const std::string item = std::string("|") + s.name + "|*." + s.ext + "|";
    EXPECT_NE(filter.find(item), std::string::npos) << item;
  }
}

TEST(AssimpPlugins, EveryShippedFormatLoadsARealFile) {
  REQUIRE_MODELS();
  // One run for all files: its start-up reads the whole Plugin folder once.
  std::vector<std::string> args = {"--info"};
  for (const Shipped& s : kShipped) args.push_back(Model(s.file));
  const RunResult r = RunTarnelle(args);
  EXPECT_EQ(r.status, 0) << r.err;
  const std::vector<std::string> blocks = Blocks(r.out);
  ASSERT_EQ(blocks.size(), std::size(kShipped)) << r.out;
  for (size_t i = 0; i < blocks.size(); ++i) {
    const Shipped& s = kShipped[i];
    const std::string head = std::string(s.name) + ": " + Model(s.file) + "\n > 頂点数 = ";
    const std::string tail = ", ポリゴン数 = " + std::to_string(s.polygons) + "\n";
    EXPECT_EQ(blocks[i].substr(0, head.size()), head) << blocks[i];
    EXPECT_TRUE(blocks[i].size() > head.size() + tail.size() &&
                blocks[i].substr(blocks[i].size() - tail.size()) == tail)
        << s.file << ": " << blocks[i];
  }
}

TEST(AssimpPlugins, PolygonsTakeTheirMaterialsDiffuseColour) {
  REQUIRE_MODELS();
  // Four cubes of four materials (colours read by hand from the file's
  // materials); assimp's stand-in material of a file without any gives none.
  const RunResult cubes = RunTarnelle({"--dump", "--raw", Model("BLEND/4Cubes4Mats_248.blend")});
  ASSERT_EQ(cubes.status, 0) << cubes.err;
  std::map<std::string, int> colours;
  std::istringstream lines(cubes.out);
  for (std::string line; std::getline(lines, line);)
    if (line.rfind("f ", 0) == 0) ++colours[line.substr(line.find(" m "))];
  EXPECT_EQ(colours, (std::map<std::string, int>{
                         {" m 1 c 0.229976103 0.145078897 0.800000012", 6},
                         {" m 1 c 0.229976103 0.799999952 0.339129627", 6},
                         {" m 1 c 0.848512709 0.642333746 0.339129657", 6},
                         {" m 1 c 0.860640883 0.0480535068 0.0601817891", 6},
                     }));

  const RunResult box = RunTarnelle({"--dump", "--raw", Model("3MF/box.3mf")});
  ASSERT_EQ(box.status, 0) << box.err;
  EXPECT_NE(box.out.find("\nf 3 3 2 1 m -1\n"), std::string::npos) << box.out;
  EXPECT_EQ(box.out.find(" c "), std::string::npos) << box.out;
}

// The textured box as a glTF file beside its image, as a binary glTF with
// the image inside, as a glTF with the image in a data URI, and an FBX box
// with its image inside: one white material with the image, every polygon
// of it, coordinates for every corner; in this process and through the
// loader alike.
TEST(AssimpPlugins, MaterialsTexturesAndCoordinatesReachTheAppearance) {
  REQUIRE_MODELS();
  struct Case {
    const char* file;
    const char* ext;
    const char* texture;
    int polygons;
    bool glTFBox;           // the glTF box, whose coordinates and image are known
    size_t imageBytes = 0;  // of the one embedded PNG image; 0 for none
  } cases[] = {
      {"glTF2/BoxTextured-glTF/BoxTextured.gltf", "gltf", "CesiumLogoFlat.png", 12, true},
      {"glTF2/BoxTextured-glTF-Binary/BoxTextured.glb", "glb", "*0", 12, true, 2433},
      {"glTF2/BoxTextured-glTF-Embedded/BoxTextured.gltf", "gltf", "*0", 12, true, 2433},
      {"FBX/embedded_ascii/box_embedded_texture_fragmented.fbx", "fbx", "*0", 6, false, 968029},
  };
  const std::string png = ReadAll(Model("glTF2/BoxTextured-glTF/CesiumLogoFlat.png"));
  ASSERT_EQ(png.size(), 2433u);
  for (const bool viaLoader : {false, true}) {
    ReaderTable table;
    AddPluginReaders(table, ShippedPluginDir(), SelfPath(),
                     viaLoader ? std::string(TARNELLE_BINARY_DIR) + "/app/tarnelle-loader" : "-");
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(c.file) + (viaLoader ? " through the loader" : ""));
      const FormatReader* reader = nullptr;
      for (const FormatReader& r : table)
        if (r.mask == std::string("*.") + c.ext) reader = &r;
      ASSERT_TRUE(reader);
      PolygonModel m;
      if (viaLoader) {
        PluginLoaderSession session(table, Model(c.file));
        const PluginLoaderSession::Result res = session.Load(*reader, m);
        ASSERT_EQ(res.value, 1) << res.error;
      } else {
        CurrentModel = std::make_unique<PolygonModel>();
        ASSERT_EQ(reader->Load(Model(c.file).c_str()), 1);
        m = *CurrentModel;
        CurrentModel.reset();
      }
      const SurfaceAppearance& a = m.appearance;
      ASSERT_EQ(a.materials.size(), 1u);
      EXPECT_EQ((std::vector<float>{a.materials[0].color[0], a.materials[0].color[1],
                                    a.materials[0].color[2], a.materials[0].opacity}),
                (std::vector<float>{1, 1, 1, 1}));
      EXPECT_EQ(a.materials[0].texture, c.texture);
      EXPECT_EQ(a.polygonMaterial, std::vector<int32_t>(c.polygons, 0));
      ASSERT_EQ(a.cornerUV.size(), m.indexPool.size());
      ASSERT_EQ(a.images.size(), c.imageBytes ? 1u : 0u);
      if (c.imageBytes) {
        EXPECT_EQ(a.images[0].hint, "png");
        ASSERT_EQ(a.images[0].data.size(), c.imageBytes);
        EXPECT_EQ(std::string(a.images[0].data.begin(), a.images[0].data.begin() + 4), "\x89PNG");
      }
      if (!c.glTFBox) continue;
      if (c.imageBytes) {
        EXPECT_EQ(std::string(a.images[0].data.begin(), a.images[0].data.end()), png);
      }
      // As the file gives them (its accessor's bounds: u from 0 to 6, v
      // from 0 to 1), and not all at one place.
      std::set<std::pair<float, float>> distinct;
      float low[2] = {1e9f, 1e9f}, high[2] = {-1e9f, -1e9f};
      for (const Float2& uv : a.cornerUV) {
        distinct.insert({uv.u, uv.v});
        low[0] = std::min(low[0], uv.u);
        low[1] = std::min(low[1], uv.v);
        high[0] = std::max(high[0], uv.u);
        high[1] = std::max(high[1], uv.v);
      }
      EXPECT_EQ(low[0], 0.0f);
      EXPECT_EQ(high[0], 6.0f);
      EXPECT_NEAR(low[1], 0.0f, 1e-6f);
      EXPECT_NEAR(high[1], 1.0f, 1e-6f);
      EXPECT_GT(distinct.size(), 4u);
    }
    ReleaseReaderTable(table);
  }
}

// A mirrored placement reverses a polygon's corners: its texture
// coordinates go with them. (glTF's v runs downwards; assimp gives it
// upwards, as OpenGL has it.)
TEST(AssimpPlugins, TextureCoordinatesFollowReversedCorners) {
  const std::string path = WriteTemp(
      "mirrored.gltf",
      R"({"asset":{"version":"2.0"},"scene":0,"scenes":[{"nodes":[0,1]}],)"
      R"("nodes":[{"mesh":0},{"mesh":0,"scale":[-1,1,1]}],)"
      R"("meshes":[{"primitives":[{"attributes":{"POSITION":0,"TEXCOORD_0":1}}]}],)"
      R"("buffers":[{"byteLength":60,"uri":"data:application/octet-stream;base64,)"
      R"(AAAAAAAAAAAAAAAAAACAPwAAAAAAAAAAAAAAAAAAgD8AAAAAAAAAAAAAAAAAAIA/AAAAAAAAAAAAAIA/"}],)"
      R"("bufferViews":[{"buffer":0,"byteLength":36},{"buffer":0,"byteOffset":36,"byteLength":24}],)"
      R"("accessors":[{"bufferView":0,"componentType":5126,"count":3,"type":"VEC3",)"
      R"("min":[0,0,0],"max":[1,1,0]},)"
      R"({"bufferView":1,"componentType":5126,"count":3,"type":"VEC2"}]})");
  ReaderTable table;
  AddPluginReaders(table, ShippedPluginDir(), SelfPath(), "-");
  const FormatReader* gltf = nullptr;
  for (const FormatReader& r : table)
    if (r.mask == "*.gltf") gltf = &r;
  ASSERT_TRUE(gltf);
  CurrentModel = std::make_unique<PolygonModel>();
  ASSERT_EQ(gltf->Load(path.c_str()), 1);
  const PolygonModel& m = *CurrentModel;
  ASSERT_EQ(m.indexPool, (std::vector<int32_t>{0, 1, 2, 5, 4, 3}));
  EXPECT_EQ(m.appearance.cornerUV,
            (std::vector<Float2>{{0, 1}, {1, 1}, {0, 0}, {0, 0}, {1, 1}, {0, 1}}));
  CurrentModel.reset();
  ReleaseReaderTable(table);
}

TEST(AssimpPlugins, NodeTransformsPlaceEveryInstance) {
  // One triangle placed twice: moved, and mirrored, which reverses its
  // corners so that it still faces the same way.
  const std::string path =
      WriteTemp("instances.gltf",
                R"({"asset":{"version":"2.0"},"scene":0,"scenes":[{"nodes":[0,1]}],)"
                R"("nodes":[{"mesh":0,"translation":[0,0,5]},{"mesh":0,"scale":[-1,1,1]}],)"
                R"("meshes":[{"primitives":[{"attributes":{"POSITION":0}}]}],)"
                R"("buffers":[{"byteLength":36,"uri":"data:application/octet-stream;base64,)"
                R"(AAAAAAAAAAAAAAAAAACAPwAAAAAAAAAAAAAAAAAAgD8AAAAA"}],)"
                R"("bufferViews":[{"buffer":0,"byteLength":36}],)"
                R"("accessors":[{"bufferView":0,"componentType":5126,"count":3,"type":"VEC3",)"
                R"("min":[0,0,0],"max":[1,1,0]}]})");
  const RunResult r = RunTarnelle({"--dump", "--raw", path});
  EXPECT_EQ(r.status, 0) << r.err;
  // glTF's default material is white.
  EXPECT_EQ(r.out, "----------\nglTF: " + path +
                       "\n > 頂点数 = 6, ポリゴン数 = 2\nmodel 6 2\n"
                       "v 0 0 5\nv 1 0 5\nv 0 1 5\nv 0 0 0\nv -1 0 0\nv 0 1 0\n"
                       "f 3 0 1 2 m 1 c 1 1 1\nf 3 5 4 3 m 1 c 1 1 1\n");
}

TEST(AssimpPlugins, IsSupportLooksAtTheFirstBytes) {
  struct Case {
    const char* ext;
    std::string bytes;
    int expected;
  } cases[] = {
      {"glb", std::string("glTF\x02\0\0\0", 8), 1},
      {"glb", "GLTF", -1},
      {"glb", "", -1},
      {"gltf", "\xEF\xBB\xBF\r\n {\"asset\": {\"version\": \"2.0\"}}", 1},
      {"gltf", "{\"accessors\": []", 0},  // "asset" may come later
      {"gltf", "glTF", -1},
      {"fbx", std::string("Kaydara FBX Binary  \0\x1a\0", 23), 1},
      {"fbx", "; FBX 7.4.0 project file\nFBXHeaderExtension:  {\n", 1},
      {"fbx", "; some text\n", 0},
      {"fbx", std::string("\x01\0binary", 8), -1},
      {"blend", "BLENDER-v279", 1},
      {"blend", "\x1f\x8b\x08", 0},  // compressed: cannot tell unpacked
      {"blend", "blender", -1},
      {"ase", "*3DSMAX_ASCIIEXPORT", 0},  // no signature looked at
  };
  for (const Case& c : cases) {
    void* module = dlopen((ShippedPluginDir() + "assimp_" + c.ext + ".so").c_str(), RTLD_NOW);
    ASSERT_NE(module, nullptr) << dlerror();
    const auto isSupport = reinterpret_cast<int32_t (*)(const char*)>(dlsym(module, "IsSupport"));
    ASSERT_NE(isSupport, nullptr);
    const std::string path = WriteTemp(std::string("sig.") + c.ext, c.bytes);
    EXPECT_EQ(isSupport(path.c_str()), c.expected) << c.ext << " " << c.bytes;
    EXPECT_EQ(isSupport((path + ".missing").c_str()), 0) << c.ext;
    dlclose(module);
  }
}

constexpr char kGlbLength[] = "GLB のヘッダーの長さがファイルの大きさと合いません。";

// A few header bytes naming gigabytes: refused at once, before assimp
// would allocate or scan for them.
TEST(AssimpPlugins, HeaderLengthsPastTheEndAreRefused) {
  std::string glb = "glTF";
  PutU32(glb, 2);
  PutU32(glb, 22);  // the file's true size
  PutU32(glb, 0x7fffffff);
  glb += "JSON{}";
  std::string glbTotal = "glTF";
  PutU32(glbTotal, 2);
  PutU32(glbTotal, 0x7fffffff);
  std::string iqm("INTERQUAKEMODEL\0", 16);
  PutU32(iqm, 2);
  PutU32(iqm, 124);
  for (int i = 2; i < 27; ++i)
    PutU32(iqm, i == 5 ? 1 : i == 6 ? 0x7ffffff0 : 0);  // one mesh, far away
  std::string iqmSize = iqm.substr(0, 20);
  PutU32(iqmSize, 1u << 30);  // claims a gigabyte
  iqmSize += iqm.substr(24);
  const struct {
    const char* name;
    std::string bytes;
    std::string text;
  } cases[] = {
      {"chunk.glb", glb, "GLB のチャンクの長さがファイルの大きさを超えています。"},
      {"total.glb", glbTotal, kGlbLength},
      {"mesh.iqm", iqm, "IQM のヘッダーがファイルの外を指しています。"},
      {"size.iqm", iqmSize, "IQM のヘッダーがファイルの外を指しています。"},
  };
  for (const auto& c : cases) {
    const std::string path = WriteTemp(c.name, c.bytes);
    const RunResult r = RunTarnelle({"--info", path});
    EXPECT_EQ(r.status, 1) << c.name;
    EXPECT_EQ(r.out, "----------\nfile: " + path + "\n..." + c.text + "\n") << c.name;
  }
}

TEST(AssimpPlugins, BrokenFilesFailWithAssimpsText) {
  REQUIRE_MODELS();
  // A real file cut in half, and its first 24 bytes (the signature) followed
  // by noise. The texts are assimp's (5.2), but for a GLB whose header
  // lengths point past its end: that never reaches assimp.
  struct Case {
    const char* file;
    bool cut;  // else noise
    const char* text;
  } cases[] = {
      {"glTF2/BoxTextured-glTF-Binary/BoxTextured.glb", true, kGlbLength},
      {"glTF2/BoxTextured-glTF-Binary/BoxTextured.glb", false, kGlbLength},
      {"glTF2/BoxTextured-glTF-Embedded/BoxTextured.gltf", true, "No suitable reader found"},
      {"glTF2/BoxTextured-glTF-Embedded/BoxTextured.gltf", false, "No suitable reader found"},
      {"FBX/spider.fbx", true, "FBX-Tokenize "},
      {"FBX/spider.fbx", false, "FBX-Tokenize "},
      {"BLEND/BlenderDefault_250.blend", true, "BLEND: "},
      {"BLEND/BlenderDefault_250.blend", false, "BLEND: "},
  };
  std::mt19937 noise(16);
  for (const Case& c : cases) {
    const std::string real = ReadAll(Model(c.file));
    ASSERT_GT(real.size(), 48u) << c.file;
    std::string bytes = real.substr(0, c.cut ? real.size() / 2 : 24);
    if (!c.cut)
      for (int i = 0; i < 4000; ++i) bytes.push_back(static_cast<char>(noise()));
    const std::string ext = fs::path(c.file).extension().string();
    const std::string path = WriteTemp(std::string(c.cut ? "cut" : "noise") + ext, bytes);
    const RunResult r = RunTarnelle({"--info", path});
    EXPECT_EQ(r.status, 1) << c.file;
    const std::string head = "----------\nfile: " + path + "\n..." + c.text;
    EXPECT_EQ(r.out.substr(0, head.size()), head) << r.out;
  }

  // Without its signature a file is not offered to the module at all.
  const std::string plain = WriteTemp("plain.glb", "not a binary glTF file");
  EXPECT_EQ(RunTarnelle({"--info", plain}).out,
            "----------\nfile: " + plain + "\n" + kLogNoFormat + "\n");
}

TEST(AssimpPlugins, ErrorTextIsOneLineOfWholeUtf8Characters) {
  // assimp quotes the path in its text: a byte that is no UTF-8 becomes "?",
  // and a text longer than the buffer ends before a whole character.
  const std::string dir = TempDir() + "/" + std::string(80, 'x') + "/";
  std::string deep = dir;
  for (int i = 0; i < 80; ++i) deep += "あ";
  fs::create_directories(deep);
  const std::string odd = WriteTemp("odd\xff.gltf", "{ not json");
  const std::string longPath = deep + "/long.gltf";
  std::ofstream(longPath) << "{ not json";

  const RunResult r1 = RunTarnelle({"--info", odd});
  EXPECT_NE(r1.out.find("odd?.gltf"), std::string::npos) << r1.out;
  const RunResult r2 = RunTarnelle({"--info", longPath});
  const std::vector<std::string> blocks = Blocks(r2.out);
  ASSERT_EQ(blocks.size(), 1u);
  const size_t at = blocks[0].find("\n...");
  ASSERT_NE(at, std::string::npos);
  const std::string text = blocks[0].substr(at + 4, blocks[0].size() - at - 5);
  EXPECT_LE(text.size(), 255u);
  EXPECT_GT(text.size(), 200u);
  EXPECT_EQ(text.find('\n'), std::string::npos);
  // It ends with a whole "あ" (E3 81 82): the path part is a run of them.
  EXPECT_EQ(text.substr(text.size() - 3), "あ") << text;
}

TEST(AssimpPlugins, RefusesAFileAboveTheSizeLimitBeforeReadingIt) {
  // Sparse: no disk space taken, and assimp would take minutes on it.
  const std::string path = TempDir() + "/huge.ase";
  { std::ofstream(path) << "*3DSMAX_ASCIIEXPORT 200\n"; }
  fs::resize_file(path, (2ull << 30) + 1);
  const RunResult r = RunTarnelle({"--info", path});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "----------\nfile: " + path + "\n...ファイルが大きすぎます（2 GB まで）。\n");
  fs::remove(path);
}

TEST(AssimpPlugins, FileWithoutExtensionFoundByItsSignature) {
  REQUIRE_MODELS();
  const std::string path =
      WriteTemp("model", ReadAll(Model("glTF2/BoxTextured-glTF-Binary/BoxTextured.glb")));
  const RunResult r = RunTarnelle({"--info", path});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "----------\nglTF binary: " + path + "\n > 頂点数 = 24, ポリゴン数 = 12\n");
}

class RecordingHost : public LoadHost {
 public:
  std::vector<std::string> log;
  LoadSettings Settings() const override { return {}; }
  void AppendLog(const std::string& line) override { log.push_back(line); }
};

TEST(AssimpPlugins, BuiltinReadersWinUnlessPluginsComeFirst) {
  REQUIRE_MODELS();
  // Files that both the built-in reader and assimp read; the modules for
  // these formats exist only for this test.
  struct Case {
    const char* file;
    const char* builtin;
    const char* plugin;
  } cases[] = {
      {"STL/Spider_ascii.stl", "STL format", "STL (assimp)"},
      {"STL/Spider_binary.stl", "STL format", "STL (assimp)"},
      {"OBJ/spider.obj", "Wavefront", "OBJ (assimp)"},
      {"PLY/cube_binary.ply", "Stanford Univ. Polygon format", "PLY (assimp)"},
      {"3DS/fels.3ds", "3D StudioMAX", "3DS (assimp)"},
      {"LWO/LWO2/hierarchy.lwo", "LightWave3D", "LWO (assimp)"},
      {"DXF/wuson.dxf", "AutoCAD", "DXF (assimp)"},
      {"COB/spider_4_3_ascii.cob", "Caligari TrueSpace", "COB (assimp)"},
      {"COB/molecule.cob", "Caligari TrueSpace", "COB (assimp)"},
  };
  for (const bool pluginsFirst : {false, true}) {
    TableGuard t;
    const PluginSource source{TARNELLE_ASSIMP_FIXTURES, SelfPath()};
    BuildReaderTable(t.table, BuiltinReaders(), pluginsFirst, &source);
    ASSERT_EQ(t.table.size(), BuiltinReaders().size() + 7);
    LoadPipeline pipeline;
    pipeline.table = t.table;
    for (const Case& c : cases) {
      RecordingHost host;
      LoadModelFile(pipeline, host, Model(c.file));
      ASSERT_EQ(host.log.size(), 3u) << c.file;
      EXPECT_EQ(host.log[1],
                std::string(pluginsFirst ? c.plugin : c.builtin) + ": " + Model(c.file));
      EXPECT_EQ(host.log[2].rfind(" > 頂点数 = ", 0), 0u) << c.file << " " << host.log[2];
    }
    pipeline.table.clear();
    CurrentModel.reset();
  }
}

}  // namespace

// Plug-in readers: the handshake, the table entries and loads through the
// exported building functions, with fixture plug-ins built from
// plugin_fixture.c into TARNELLE_PLUGIN_FIXTURES.
#include "core/plugin_host.h"

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "core/pipeline.h"
#include "core/pobj_exports.h"
// Also compiled here so that the kit's declarations of the _Pobj functions
// cannot drift from the executable's.
#include "plugins/kit/tarnelle_plugin.h"
#include "readers/builtin.h"
#include "tests/test_util.h"

static_assert(TARNELLE_PLUGIN_VERSION == kPluginVersion);

namespace {

std::string SelfPath() {
  char buf[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
}

std::string Fixture(const std::string& name) {
  return std::string(TARNELLE_PLUGIN_FIXTURES) + "/" + name + ".so";
}

// A fresh plug-in folder holding links named link to the given fixtures.
std::string PluginDir(const std::vector<std::pair<std::string, std::string>>& links) {
  static int counter = 0;
  const std::string dir = TempDir() + "/plugins" + std::to_string(++counter) + "/";
  EXPECT_EQ(mkdir(dir.c_str(), 0700), 0);
  for (const auto& [link, fixture] : links)
    EXPECT_EQ(symlink(Fixture(fixture).c_str(), (dir + link).c_str()), 0) << link;
  return dir;
}

// Whether the fixture library is still mapped into the process.
bool Loaded(const std::string& fixture) {
  void* h = dlopen(Fixture(fixture).c_str(), RTLD_NOW | RTLD_NOLOAD);
  if (h) dlclose(h);
  return h != nullptr;
}

template <typename Fn>
Fn Export(const FormatReader& r, const char* name) {
  return reinterpret_cast<Fn>(dlsym(r.module, name));
}

class RecordingHost : public LoadHost {
 public:
  LoadSettings settings;
  std::vector<std::string> log;
  LoadSettings Settings() const override { return settings; }
  void AppendLog(const std::string& line) override { log.push_back(line); }
};

struct TableGuard {
  ReaderTable table;
  ~TableGuard() { ReleaseReaderTable(table); }
};

TEST(PluginHost, BrokenLibrariesLeaveNoTrace) {
  struct Case {
    const char* fixture;
    const char* why;
  } cases[] = {
      {"tp_no_ver", "no GetPluginVer"},    {"tp_wrong_ver", "another version"},
      {"tp_no_info", "no GetSupportInfo"}, {"tp_no_load", "no Load"},
      {"tp_no_issupport", "no IsSupport"}, {"tp_no_errmsg", "no GetErrMsg"},
      {"tp_null_name", "null name"},       {"tp_null_ext", "null extension"},
  };
  for (const Case& c : cases) {
    const std::string dir = PluginDir({{"p.so", c.fixture}});
    TableGuard t;
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    AddPluginReaders(t.table, dir, SelfPath());
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "") << c.why;
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "") << c.why;
    EXPECT_TRUE(t.table.empty()) << c.why;
    EXPECT_FALSE(Loaded(c.fixture)) << c.why;
  }

  // Not a library at all, a folder named like one, and no folder.
  const std::string dir = PluginDir({});
  FILE* junk = fopen((dir + "junk.so").c_str(), "wb");
  ASSERT_NE(junk, nullptr);
  fputs("not an ELF file", junk);
  fclose(junk);
  mkdir((dir + "sub.so").c_str(), 0700);
  TableGuard t;
  AddPluginReaders(t.table, dir, SelfPath());
  AddPluginReaders(t.table, dir + "missing/", SelfPath());
  AddPluginReaders(t.table, "", SelfPath());
  EXPECT_TRUE(t.table.empty());
  EXPECT_EQ(dlerror(), nullptr);
}

TEST(PluginHost, AcceptsLibrariesInNameOrder) {
  // Only ".so" files count, taken by name whatever order the folder has.
  const std::string dir = PluginDir({{"b.so", "tp_upper"},
                                     {"a.so", "tp_good"},
                                     {"c.so.off", "tp_starred"},
                                     {"0.so", "tp_no_ver"}});
  TableGuard t;
  AddPluginReaders(t.table, dir.substr(0, dir.size() - 1), SelfPath());  // without its "/"
  ASSERT_EQ(t.table.size(), 2u);
  EXPECT_EQ(t.table[0].name, "TestReader");
  EXPECT_EQ(t.table[0].mask, "*.tpl");
  EXPECT_EQ(t.table[1].name, "UpperCase");
  EXPECT_EQ(t.table[1].mask, "*.tpu");
  for (const FormatReader& r : t.table) {
    EXPECT_NE(r.module, nullptr);
    EXPECT_NE(r.IsSupport, nullptr);
    EXPECT_NE(r.Load, nullptr);
    EXPECT_NE(r.GetErrMsg, nullptr);
    // The handshake hands over the executable's full path.
    EXPECT_STREQ(Export<const char* (*)()>(r, "TestExePath")(), SelfPath().c_str());
  }
  EXPECT_FALSE(Loaded("tp_no_ver"));
  EXPECT_TRUE(Loaded("tp_good"));
  ReleaseReaderTable(t.table);
  EXPECT_FALSE(Loaded("tp_good"));
  EXPECT_FALSE(Loaded("tp_upper"));
}

// Loads through a table of the built-in readers and the given plug-ins.
class PluginLoad : public ::testing::Test {
 protected:
  void Build(const std::vector<std::pair<std::string, std::string>>& links,
             bool pluginsFirst = false) {
    const PluginSource source{PluginDir(links), SelfPath()};
    BuildReaderTable(guard.table, BuiltinReaders(), pluginsFirst, &source);
    pipeline.table = guard.table;
  }
  size_t IndexOf(const std::string& name) const {
    for (size_t i = 0; i < guard.table.size(); ++i)
      if (guard.table[i].name == name) return i;
    ADD_FAILURE() << name << " not in the table";
    return 0;
  }
  std::vector<std::string> Load(const std::string& path, int filter = 1) {
    host.log.clear();
    host.settings.filterIndex = filter;
    LoadModelFile(pipeline, host, path);
    return host.log;
  }
  void Reset() {
    pipeline.table.clear();
    ReleaseReaderTable(guard.table);
    CurrentModel.reset();
  }
  void TearDown() override { Reset(); }

  TableGuard guard;
  LoadPipeline pipeline;
  RecordingHost host;
};

constexpr char kTriangle[] = "#tp\nv 0 0 0\nv 1 0 0\nv 0 1 0\nf 3 0 1 2\n";
constexpr char kTriangleCounts[] = " > 頂点数 = 3, ポリゴン数 = 1";

TEST_F(PluginLoad, UpperCaseExtensionMatchesAnyCase) {
  Build({{"u.so", "tp_upper"}});
  for (const char* name : {"a.tpu", "b.TPU", "c.TpU"}) {
    const std::string path = WriteTemp(name, kTriangle);
    EXPECT_EQ(Load(path),
              (std::vector<std::string>{"----------", "UpperCase: " + path, kTriangleCounts}));
  }
}

TEST_F(PluginLoad, StarredExtensionOnlyByFallbackOrFilterItem) {
  Build({{"s.so", "tp_starred"}});
  const size_t index = IndexOf("Starred");
  EXPECT_EQ(guard.table[index].mask, "*.*.tps");
  EXPECT_FALSE(MatchMask("tps", guard.table[index].mask));

  // The "nv" line keeps the built-in OBJ reader from claiming the files.
  const std::string script = std::string("\nnv") + (kTriangle + 3);
  // Sure of the format: found in the fallback pass.
  const std::string sure = WriteTemp("sure.tps", "#tp" + script);
  EXPECT_EQ(Load(sure)[1], "Starred: " + sure);

  // Unsure (0): the fallback pass passes it by, its own filter item does not.
  const std::string unsure = WriteTemp("unsure.tps", "#t?" + script);
  EXPECT_EQ(Load(unsure),
            (std::vector<std::string>{"----------", "file: " + unsure, kLogNoFormat}));
  EXPECT_EQ(Load(unsure, static_cast<int>(index) + 2)[1], "Starred: " + unsure);
}

TEST_F(PluginLoad, PluginsFirstTriesTheObjPluginFirst) {
  // Valid OBJ as well ("#" lines are comments; "f 3 0 1 2" names vertex 0, so
  // the built-in reader keeps no face).
  const std::string path = WriteTemp("both.obj", kTriangle);
  Build({{"o.so", "tp_obj"}}, true);
  EXPECT_EQ(Load(path),
            (std::vector<std::string>{"----------", "TestObj: " + path, kTriangleCounts}));
  Reset();
  Build({{"o.so", "tp_obj"}}, false);
  EXPECT_EQ(Load(path)[1], "Wavefront: " + path);
}

TEST_F(PluginLoad, LoadFillsTheModelThroughTheExports) {
  Build({{"good.so", "tp_good"}});
  const std::string path = WriteTemp("calls.tpl",
                                     "#tp\n"
                                     "v 9 9 9\nv 8 8 8\nf 3 0 1 1\nclear\nnv\nnp\n"
                                     "v 0 0 0\nv 1 0 0\nv 0 1 0\nv 0 0 1\nnv\n"
                                     "f 3 0 1 2\nf 4 0 1 2 3\nf -1 0\nnp\n"
                                     "c -1 1 1 1\nc 2 1 1 1\nc 1 0.25 0.5 0.75\n");
  pipeline.prepareMesh = nullptr;
  EXPECT_EQ(Load(path), (std::vector<std::string>{"----------", "TestReader: " + path,
                                                  " > 頂点数 = 4, ポリゴン数 = 2"}));
  const FormatReader& r = guard.table[IndexOf("TestReader")];
  // Indices of the added vertices and polygons, counts; -1 for nv < 0.
  EXPECT_STREQ(Export<const char* (*)()>(r, "TestResults")(), "0 1 0 0 0 0 1 2 3 4 0 1 -1 2");

  const PolygonModel& m = *CurrentModel;
  ASSERT_EQ(m.PolygonCount(), 2);
  EXPECT_EQ(m.vertices[3], (Float3{0, 0, 1}));
  EXPECT_EQ(m.nv(0), 3);
  EXPECT_EQ(m.nv(1), 4);
  EXPECT_EQ(m.index(1)[3], 3);
  // Out-of-range colour calls changed nothing; the valid one gave polygon 1
  // a colour of its own.
  EXPECT_EQ(m.material(0), -1);
  EXPECT_EQ(m.material(1), 1);
  EXPECT_EQ(m.color(1), (Float3{0.25f, 0.5f, 0.75f}));
}

TEST_F(PluginLoad, FailuresAreLoggedWithThePluginsText) {
  Build({{"good.so", "tp_good"}});
  const std::string path = WriteTemp("fails.tpl", "#tp\nv 0 0 0\nfail 壊れたデータです。\n");
  EXPECT_EQ(Load(path),
            (std::vector<std::string>{"----------", "file: " + path, "...壊れたデータです。"}));
  // A null text counts as no reason: nobody else takes the file.
  const std::string silent = WriteTemp("silent.tpl", "#tp\nfailnull\n");
  EXPECT_EQ(Load(silent),
            (std::vector<std::string>{"----------", "file: " + silent, kLogNoFormat}));
}

TEST(PobjExports, SetPolygonColorKeepsAnOwnMaterial) {
  CurrentModel = std::make_unique<PolygonModel>();
  const int32_t tri[3] = {0, 1, 2};
  CurrentModel->AddPolygon(3, tri, 5, {0.1f, 0.2f, 0.3f});
  const float rgb[3] = {1, 0.5f, 0};
  _PobjSetPolygonColor(0, rgb);
  EXPECT_EQ(CurrentModel->material(0), 5);
  EXPECT_EQ(CurrentModel->color(0), (Float3{1, 0.5f, 0}));
  _PobjSetPolygonColor(0, nullptr);
  EXPECT_EQ(_PobjAddPolygon(3, nullptr), -1);
  EXPECT_EQ(_PobjGetNp(), 1);

  // Before the first load there is no model to act on.
  CurrentModel.reset();
  _PobjClearObject();
  _PobjSetPolygonColor(0, rgb);
  EXPECT_EQ(_PobjAddVertex(0, 0, 0), -1);
  EXPECT_EQ(_PobjAddPolygon(3, tri), -1);
  EXPECT_EQ(_PobjGetNv(), 0);
  EXPECT_EQ(_PobjGetNp(), 0);
}

// Every bad call of the appearance functions returns -1 and changes
// nothing; colours are clamped; an image's size is checked before its
// bytes are read.
TEST(PobjExports, AppearanceCallsCheckEveryArgument) {
  CurrentModel = std::make_unique<PolygonModel>();
  const int32_t tri[3] = {0, 1, 2};
  ASSERT_EQ(_PobjAddPolygon(3, tri), 0);
  EXPECT_EQ(_PobjSetMaterial(0, 2.0f, -1.0f, std::nanf(""), 5.0f, "a.png"), 0);
  const SurfaceMaterial& m0 = CurrentModel->appearance.materials.at(0);
  EXPECT_EQ((std::vector<float>{m0.color[0], m0.color[1], m0.color[2], m0.opacity}),
            (std::vector<float>{1, 0, 0, 1}));
  const float uv[8] = {0, 0, 1, 0, 1, 1, 0, 1};
  const uint8_t byte = 1;
  const std::string longName(4097, 'a');
  struct Case {
    const char* name;
    std::function<int32_t()> call;
  } cases[] = {
      {"material below 0", [] { return _PobjSetMaterial(-1, 1, 1, 1, 1, nullptr); }},
      {"material past the limit", [] { return _PobjSetMaterial(65536, 1, 1, 1, 1, nullptr); }},
      {"texture name too long", [&] { return _PobjSetMaterial(0, 1, 1, 1, 1, longName.c_str()); }},
      {"no such polygon", [] { return _PobjSetPolygonMaterial(1, 0); }},
      {"polygon below 0", [] { return _PobjSetPolygonMaterial(-1, 0); }},
      {"material not set", [] { return _PobjSetPolygonMaterial(0, 1); }},
      {"material below -1", [] { return _PobjSetPolygonMaterial(0, -2); }},
      {"more corners than the polygon's", [&] { return _PobjSetPolygonUV(0, 4, uv); }},
      {"fewer corners than the polygon's", [&] { return _PobjSetPolygonUV(0, 2, uv); }},
      {"coordinates of no polygon", [&] { return _PobjSetPolygonUV(1, 3, uv); }},
      {"no coordinates", [] { return _PobjSetPolygonUV(0, 3, nullptr); }},
      {"image without bytes", [] { return _PobjAddImage("png", nullptr, 5); }},
      {"image of 0 bytes", [&] { return _PobjAddImage("png", &byte, 0); }},
      {"image of fewer than 0 bytes", [&] { return _PobjAddImage("png", &byte, -1); }},
      // Past 256 MiB: refused before the one byte there is read beyond.
      {"image past the limit", [&] { return _PobjAddImage("png", &byte, INT32_MAX); }},
  };
  const SurfaceAppearance before = CurrentModel->appearance;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.call(), -1);
    const SurfaceAppearance& now = CurrentModel->appearance;
    EXPECT_EQ(now.materials.size(), before.materials.size());
    EXPECT_EQ(now.materials[0].texture, "a.png");
    EXPECT_TRUE(now.polygonMaterial.empty() && now.cornerUV.empty() && now.images.empty());
  }
  // 1024 images at most.
  for (int i = 0; i < 1024; ++i) ASSERT_EQ(_PobjAddImage(nullptr, &byte, 1), i);
  EXPECT_EQ(_PobjAddImage(nullptr, &byte, 1), -1);

  // Before the first load there is no model to act on.
  CurrentModel.reset();
  EXPECT_EQ(_PobjSetMaterial(0, 1, 1, 1, 1, nullptr), -1);
  EXPECT_EQ(_PobjSetPolygonMaterial(0, -1), -1);
  EXPECT_EQ(_PobjSetPolygonUV(0, 3, uv), -1);
  EXPECT_EQ(_PobjAddImage(nullptr, &byte, 1), -1);
}

}  // namespace

// The window's copy of the loader's model: a real model comes back byte for
// byte by either path, and a reply whose counts the loader does not back
// with memory is refused before the window allocates for it.
#include "core/loader_reply.h"

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "core/appearance_limits.h"
#include "core/appearance_wire.h"
#include "core/huge_pages.h"
#include "core/plugin_host.h"
#include "core/plugin_loader.h"
#include "tests/test_util.h"

namespace lp = loader_protocol;
namespace aw = appearance_wire;

namespace {

constexpr uint64_t kCap = 16ull << 30;
constexpr uint64_t kMiB = 1 << 20;

lp::ModelHeader Counts(uint64_t vertices, uint64_t polygons, uint64_t corners) {
  lp::ModelHeader h{};
  h.vertices = vertices;
  h.polygons = polygons;
  h.corners = corners;
  return h;
}

// A model of n polygons, triangles and quads, every field its own value;
// with look, an appearance too: three materials (one with an embedded
// image, one with a file), a material or none per polygon, coordinates per
// corner, two images.
PolygonModel MakeModel(int n, bool look = false) {
  PolygonModel m;
  const int nv = n + 3;
  for (int i = 0; i < nv; ++i) m.AddVertex(i * 0.5f, -i * 0.25f, i * 1e-3f);
  for (int p = 0; p < n; ++p) {
    const int32_t idx[4] = {p, p + 1, p + 2, p + 3};
    m.AddPolygon(p % 3 == 0 ? 4 : 3, idx, p % 5 - 1, {p * 0.125f, 1.0f / (p + 1), -p * 2.0f});
  }
  if (!look) return m;
  SurfaceAppearance& a = m.appearance;
  a.materials = {{{1.0f, 0.5f, 0.25f}, 1.0f, "*1"},
                 {{0.0f, 0.0f, 1.0f}, 0.5f, ""},
                 {{0.2f, 0.4f, 0.6f}, 0.0f, "textures/skin.png"}};
  for (int p = 0; p < n; ++p) a.polygonMaterial.push_back(p % 4 - 1);
  for (size_t c = 0; c < m.indexPool.size(); ++c) a.cornerUV.push_back({c * 0.5f, -1.0f * c});
  a.images = {{"png", {0x89, 'P', 'N', 'G', 0, 1, 2}}, {"", std::vector<uint8_t>(100000, 7)}};
  return m;
}

template <typename T>
bool SameBytes(const std::vector<T>& a, const std::vector<T>& b) {
  return a.size() == b.size() &&
         (a.empty() || memcmp(a.data(), b.data(), a.size() * sizeof(T)) == 0);
}

bool SameLook(const SurfaceAppearance& a, const SurfaceAppearance& b) {
  if (a.materials.size() != b.materials.size() || a.images.size() != b.images.size()) return false;
  for (size_t i = 0; i < a.materials.size(); ++i) {
    const SurfaceMaterial &x = a.materials[i], &y = b.materials[i];
    if (memcmp(x.color, y.color, sizeof x.color) != 0 || x.opacity != y.opacity ||
        x.texture != y.texture)
      return false;
  }
  for (size_t i = 0; i < a.images.size(); ++i)
    if (a.images[i].hint != b.images[i].hint || a.images[i].data != b.images[i].data) return false;
  return SameBytes(a.polygonMaterial, b.polygonMaterial) && SameBytes(a.cornerUV, b.cornerUV);
}

bool SameArrays(const PolygonModel& a, const PolygonModel& b) {
  return SameBytes(a.vertices, b.vertices) && SameBytes(a.polyStart, b.polyStart) &&
         SameBytes(a.indexPool, b.indexPool) && SameBytes(a.polyMaterial, b.polyMaterial) &&
         SameBytes(a.polyColor, b.polyColor) && SameLook(a.appearance, b.appearance);
}

// Empty, with nothing kept allocated.
bool Released(const PolygonModel& m) {
  const SurfaceAppearance& a = m.appearance;
  return m.vertices.capacity() == 0 && m.indexPool.capacity() == 0 &&
         m.polyMaterial.capacity() == 0 && m.polyColor.capacity() == 0 &&
         m.polyStart == std::vector<uint32_t>{0} && a.materials.capacity() == 0 &&
         a.polygonMaterial.capacity() == 0 && a.cornerUV.capacity() == 0 &&
         a.images.capacity() == 0;
}

// What a loader holding m sends: the counts, the table, and where each
// array lies in it, the images at imageAt.
struct Wire {
  lp::ModelHeader h{};
  std::vector<uint8_t> table;
};
Wire WireFor(const PolygonModel& m, const std::vector<uint64_t>& imageAt = {}) {
  Wire w;
  w.h = Counts(m.vertices.size(), static_cast<uint64_t>(m.PolygonCount()), m.indexPool.size());
  w.table = aw::EncodeTable(m.appearance, imageAt, w.h);
  return w;
}

lp::ModelHeader HeaderOf(const PolygonModel& m) { return WireFor(m).h; }

// The reply a loader holding m sends; the table lives in w.
lp::Reply ReplyFor(const PolygonModel& m, Wire& w) {
  std::vector<uint64_t> imageAt;
  for (const EmbeddedImage& i : m.appearance.images)
    imageAt.push_back(reinterpret_cast<uintptr_t>(i.data.data()));
  w = WireFor(m, imageAt);
  lp::Reply r{1, 0, w.h, {}};
  const void* where[lp::kArrays] = {m.vertices.data(),
                                    m.polyStart.data(),
                                    m.indexPool.data(),
                                    m.polyMaterial.data(),
                                    m.polyColor.data(),
                                    m.appearance.polygonMaterial.data(),
                                    m.appearance.cornerUV.data(),
                                    w.table.data()};
  for (int i = 0; i < lp::kArrays; ++i) r.where[i] = reinterpret_cast<uintptr_t>(where[i]);
  return r;
}

void Append(std::string& s, const void* p, size_t n) { s.append(static_cast<const char*>(p), n); }

template <typename T>
std::string Bytes(const std::vector<T>& v) {
  return std::string(reinterpret_cast<const char*>(v.data()), v.size() * sizeof(T));
}

// A memory file in pieces: the header, the arrays in their order, the
// images; a test may change any of them.
struct Parts {
  lp::ModelHeader h{};
  std::string arrays[lp::kArrays];
  std::string images;
  std::string Join() const {
    std::string s;
    Append(s, &h, sizeof h);
    for (const std::string& a : arrays) s += a;
    return s + images;
  }
};

// The memory file a loader holding m writes.
Parts PartsFor(const PolygonModel& m) {
  Wire w = WireFor(m);
  uint64_t at = lp::ModelBytes(w.h) - w.h.imageBytes;
  std::vector<uint64_t> imageAt;
  for (const EmbeddedImage& i : m.appearance.images) {
    imageAt.push_back(at);
    at += i.data.size();
  }
  w = WireFor(m, imageAt);
  Parts p{w.h,
          {Bytes(m.vertices), Bytes(m.polyStart), Bytes(m.indexPool), Bytes(m.polyMaterial),
           Bytes(m.polyColor), Bytes(m.appearance.polygonMaterial), Bytes(m.appearance.cornerUV),
           Bytes(w.table)},
          {}};
  for (const EmbeddedImage& i : m.appearance.images) p.images += Bytes(i.data);
  return p;
}

std::string FileFor(const PolygonModel& m) { return PartsFor(m).Join(); }

struct MemFile {
  int fd = memfd_create("loader-reply-test", MFD_CLOEXEC);
  ~MemFile() { close(fd); }
  // Writes bytes, then sets the size (a larger size leaves a hole).
  void Fill(const std::string& bytes, uint64_t size) const {
    ASSERT_EQ(ftruncate(fd, 0), 0);
    ASSERT_EQ(pwrite(fd, bytes.data(), bytes.size(), 0), static_cast<ssize_t>(bytes.size()));
    ASSERT_EQ(ftruncate(fd, static_cast<off_t>(size)), 0);
  }
};

// This process's peak virtual and resident sizes, in bytes.
struct Peaks {
  uint64_t virt = 0, resident = 0;
  // From here on: the resident peak starts again at the present size (the
  // virtual one cannot).
  static Peaks Start() {
    std::ofstream("/proc/self/clear_refs") << "5";
    return Now();
  }
  static Peaks Now() {
    Peaks p;
    std::ifstream in("/proc/self/status");
    std::string key;
    uint64_t kb;
    while (in >> key) {
      if (key == "VmPeak:" && in >> kb) p.virt = kb * 1024;
      if (key == "VmHWM:" && in >> kb) p.resident = kb * 1024;
    }
    return p;
  }
};

// Neither peak grew by more than a little since before: the claims below
// are of a gigabyte and more.
void ExpectNoGrowth(const Peaks& before) {
  const Peaks after = Peaks::Now();
  // The kernel's counters lag a little: the peak may read below its start.
  EXPECT_LT(std::max(after.resident, before.resident) - before.resident, 16 * kMiB);
  // Even untouched, a reservation shows here; the margin is for threads'
  // stacks and malloc arenas (the sanitizer's allocator maps its space up
  // front).
  EXPECT_LT(after.virt - before.virt, 512 * kMiB);
}

TEST(LoaderReply, ModelsRoundTripByteForByte) {
  const bool threads = PrefaultThreads();
  // Empty, small, and big enough for the second thread and whole huge
  // pages; the offsets of each array past a staging buffer's worth.
  // With and without an appearance.
  for (const int n : {0, 3, 400000})
    for (const bool look : {false, true}) {
      const PolygonModel source = MakeModel(n, look);
      MemFile file;
      file.Fill(FileFor(source), lp::ModelBytes(HeaderOf(source)));
      for (const bool twoThreads : {true, false}) {
        SCOPED_TRACE(std::to_string(n) + (twoThreads ? " polygons, two threads" : " polygons") +
                     (look ? ", appearance" : ""));
        SetPrefaultThreads(twoThreads && threads);
        PolygonModel read = MakeModel(2, true);  // replaced, appearance and all
        read.SetEdgeAngle(30);
        const double edgeCos = read.edgeCos;
        Wire wire;
        EXPECT_EQ(ReadLoaderModel(getpid(), ReplyFor(source, wire), kCap, read), LoaderRead::kDone);
        EXPECT_TRUE(SameArrays(read, source));
        EXPECT_EQ(read.edgeCos, edgeCos);
        PolygonModel copied = MakeModel(5);  // replaced, not appended to
        EXPECT_TRUE(CopyLoaderModel(file.fd, kCap, copied));
        EXPECT_TRUE(SameArrays(copied, source));
      }
    }
  SetPrefaultThreads(threads);
}

// A child holding next to nothing maps a gigabyte it never touches (reads
// of it see the shared zero page) and claims a model there: counts that
// agree with each other, addresses that read.
TEST(LoaderReply, ForgedRepliesAreRefusedBeforeAnyAllocation) {
  constexpr uint64_t kRegion = 1ull << 30;
  int pipeFds[2];
  ASSERT_EQ(pipe(pipeFds), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    void* p = mmap(nullptr, kRegion, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    const uint64_t at = p == MAP_FAILED ? 0 : reinterpret_cast<uintptr_t>(p);
    if (write(pipeFds[1], &at, sizeof at) != sizeof at) _exit(1);
    pause();
    _exit(0);
  }
  close(pipeFds[1]);
  uint64_t region = 0;
  ASSERT_EQ(read(pipeFds[0], &region, sizeof region), static_cast<ssize_t>(sizeof region));
  close(pipeFds[0]);
  ASSERT_NE(region, 0u);

  // All offsets 0 and no corners: in order. Every array lies inside the
  // region; together they are a gigabyte and more.
  const uint64_t everywhere[lp::kArrays] = {region, region, region, region,
                                            region, region, region, region};
  auto reply = [](const lp::ModelHeader& h, const uint64_t(&where)[lp::kArrays]) {
    lp::Reply r{1, 0, h, {}};
    memcpy(r.where, where, sizeof where);
    return r;
  };
  const lp::Reply zeroPage = reply(Counts(kRegion / 2 / 12, kRegion / 32, 0), everywhere);
  // small, but nothing there
  const lp::Reply bogus = reply(Counts(1000, 10, 30), {1, 2, 3, 4, 5, 6, 7, 8});
  const lp::Reply overCap = reply(Counts(kCap / 12, 0, 0), everywhere);
  // An image of 200 MiB, its record and bytes on the zero page.
  lp::ModelHeader image = Counts(0, 0, 0);
  image.images = 1;
  image.tableBytes = sizeof(aw::ImageRecord);
  image.imageBytes = 200 * kMiB;
  // Coordinates for 100M corners.
  lp::ModelHeader corners = Counts(0, 1, 100000000);
  corners.cornerUVs = corners.corners;
  struct Case {
    const char* name;
    pid_t pid;
    lp::Reply reply;
  } cases[] = {
      {"zero page", child, zeroPage},
      {"unmapped", child, bogus},
      {"unmapped, own pid", getpid(), bogus},
      {"over the cap", child, overCap},
      {"image on the zero page", child, reply(image, everywhere)},
      {"coordinates on the zero page", child, reply(corners, everywhere)},
  };
  const Peaks before = Peaks::Start();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    PolygonModel m = MakeModel(3);
    EXPECT_EQ(ReadLoaderModel(c.pid, c.reply, kCap, m), LoaderRead::kRefused);
    EXPECT_TRUE(Released(m));
  }
  ExpectNoGrowth(before);
  kill(child, SIGKILL);
  waitpid(child, nullptr, 0);
}

TEST(LoaderReply, MemoryFilesThatDoNotHoldTheirModelAreRefused) {
  const PolygonModel good = MakeModel(4);
  const lp::ModelHeader h = HeaderOf(good);
  auto withStarts = [&](std::vector<uint32_t> starts) {
    Parts p = PartsFor(good);
    p.arrays[lp::kPolyStart] = Bytes(starts);
    return p.Join();
  };
  ASSERT_EQ(good.polyStart, (std::vector<uint32_t>{0, 4, 7, 10, 14}));
  // A gigabyte's counts over a file of a gigabyte that holds only its header.
  const lp::ModelHeader sparse = Counts((1ull << 30) / 12, 0, 0);
  const std::string sparseHead(reinterpret_cast<const char*>(&sparse), sizeof sparse);
  struct Case {
    const char* name;
    std::string bytes;
    uint64_t size;
    uint64_t cap = kCap;
  } cases[] = {
      {"sparse", sparseHead, lp::ModelBytes(sparse)},
      {"over the cap", FileFor(good), lp::ModelBytes(h), lp::ModelBytes(h) - 1},
      {"one byte short", FileFor(good).substr(0, lp::ModelBytes(h) - 1), lp::ModelBytes(h) - 1},
      {"one byte over", FileFor(good) + "x", lp::ModelBytes(h) + 1},
      {"shorter than a header", "0123", 4},
      {"first offset not 0", withStarts({1, 4, 7, 10, 14}), lp::ModelBytes(h)},
      {"offsets out of order", withStarts({0, 7, 4, 10, 14}), lp::ModelBytes(h)},
      {"last offset short of the corners", withStarts({0, 4, 7, 10, 13}), lp::ModelBytes(h)},
      {"last offset past the corners", withStarts({0, 4, 7, 10, 15}), lp::ModelBytes(h)},
  };
  const Peaks before = Peaks::Start();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    MemFile file;
    file.Fill(c.bytes, c.size);
    PolygonModel m = MakeModel(3);
    EXPECT_FALSE(CopyLoaderModel(file.fd, c.cap, m));
    EXPECT_TRUE(Released(m));
  }
  ExpectNoGrowth(before);
}

// An appearance that does not hold together: each file is the size its
// counts give (holes only where the counts pass a limit), so only the
// appearance's own checks can refuse it.
TEST(LoaderReply, MemoryFilesWithABrokenAppearanceAreRefused) {
  const PolygonModel good = MakeModel(4, true);
  ASSERT_EQ(good.appearance.materials.size(), 3u);
  ASSERT_EQ(good.appearance.images.size(), 2u);
  // Where the records lie in the table: three materials, two images, then
  // the texts ("*1" first).
  constexpr size_t kImage0 = 3 * sizeof(aw::MaterialRecord);
  constexpr size_t kTexts = kImage0 + 2 * sizeof(aw::ImageRecord);
  auto edited = [&](auto edit) {
    Parts p = PartsFor(good);
    edit(p);
    return p.Join();
  };
  // The file of a model whose appearance is out of step with it.
  auto ofModel = [&](auto edit) {
    PolygonModel m = good;
    edit(m);
    return FileFor(m);
  };
  auto poke = [](std::string& s, size_t at, auto value) {
    memcpy(s.data() + at, &value, sizeof value);
  };
  const std::string cases[][2] = {
      {"coordinates one short of the corners",
       ofModel([](PolygonModel& m) { m.appearance.cornerUV.pop_back(); })},
      {"materials for half the polygons",
       ofModel([](PolygonModel& m) { m.appearance.polygonMaterial.resize(2); })},
      {"a material number past the materials",
       edited([&](Parts& p) { poke(p.arrays[lp::kPolygonMaterials], 4, int32_t{3}); })},
      {"a material number below -1",
       edited([&](Parts& p) { poke(p.arrays[lp::kPolygonMaterials], 0, int32_t{-2}); })},
      {"a texture name one byte longer than the texts",
       edited([&](Parts& p) { poke(p.arrays[lp::kTable], 16, uint32_t{3}); })},
      {"a texture name past its limit", edited([&](Parts& p) {
         poke(p.arrays[lp::kTable], 16, uint32_t{appearance_limits::kMaxTextureName + 1});
       })},
      {"a NUL in a texture name", edited([&](Parts& p) { p.arrays[lp::kTable][kTexts] = '\0'; })},
      {"a colour above 1", edited([&](Parts& p) { poke(p.arrays[lp::kTable], 0, 1.5f); })},
      {"an opacity that is not a number",
       edited([&](Parts& p) { poke(p.arrays[lp::kTable], 12, std::nanf("")); })},
      {"image sizes that do not add up",
       edited([&](Parts& p) { poke(p.arrays[lp::kTable], kImage0 + 8, uint64_t{8}); })},
      {"an image past the end of the file", edited([&](Parts& p) {
         poke(p.arrays[lp::kTable], kImage0, uint64_t{lp::ModelBytes(p.h)});
       })},
      {"more materials than the limit",
       edited([](Parts& p) { p.h.materials = appearance_limits::kMaxMaterials + 1; })},
      {"images past their limit",
       edited([](Parts& p) { p.h.imageBytes = appearance_limits::kMaxImageBytes + 1; })},
      {"a table larger than its records can fill",
       edited([](Parts& p) { p.h.tableBytes = 1 << 30; })},
  };
  // The untouched file reads, so each refusal is the edit's.
  {
    MemFile file;
    file.Fill(FileFor(good), lp::ModelBytes(HeaderOf(good)));
    PolygonModel m;
    ASSERT_TRUE(CopyLoaderModel(file.fd, kCap, m));
    ASSERT_TRUE(SameArrays(m, good));
  }
  const Peaks before = Peaks::Start();
  for (const auto& c : cases) {
    SCOPED_TRACE(c[0]);
    lp::ModelHeader h;
    memcpy(&h, c[1].data(), sizeof h);
    MemFile file;
    file.Fill(c[1], std::max<uint64_t>(c[1].size(), lp::ModelBytes(h)));
    PolygonModel m = MakeModel(3, true);
    EXPECT_FALSE(CopyLoaderModel(file.fd, kCap, m));
    EXPECT_TRUE(Released(m));
  }
  ExpectNoGrowth(before);
}

// A plug-in that answers on the loader's socket itself, claiming about
// 2 GiB of model at an address where nothing lies, costs one load with a
// clear line and none of this process's memory.
TEST(LoaderReply, AForgedReplyCostsOneLoad) {
  ReaderTable table;
  AddPluginReaders(table, std::string(TARNELLE_HOSTILE_PLUGINS), "tarnelle",
                   std::string(TARNELLE_APP_DIR) + "/tarnelle-loader");
  const FormatReader* forge = nullptr;
  for (const FormatReader& r : table)
    if (MatchMask("forge", r.mask)) forge = &r;
  ASSERT_TRUE(forge);
  const std::string path = WriteTemp("claims.forge", "\n");
  const Peaks before = Peaks::Start();
  PolygonModel model;
  {
    PluginLoaderSession session(table, path);
    const PluginLoaderSession::Result res = session.Load(*forge, model);
    EXPECT_FALSE(res.died) << res.error;
    EXPECT_EQ(res.value, 0);
    EXPECT_EQ(res.error, "プラグインの読み込みプロセスが不正な応答を返しました。");
  }
  EXPECT_TRUE(Released(model));
  ExpectNoGrowth(before);
  ReleaseReaderTable(table);
}

// A plug-in that answers on the loader's socket itself with a real
// triangle and a flawed appearance costs one load with a clear line and
// none of this process's memory; the same reply without the flaw loads,
// before and after them.
TEST(LoaderReply, AForgedAppearanceCostsOneLoad) {
  ReaderTable table;
  AddPluginReaders(table, std::string(TARNELLE_HOSTILE_PLUGINS), "tarnelle",
                   std::string(TARNELLE_APP_DIR) + "/tarnelle-loader");
  const FormatReader* look = nullptr;
  for (const FormatReader& r : table)
    if (MatchMask("look", r.mask)) look = &r;
  ASSERT_TRUE(look);
  auto load = [&](const std::string& flaw, PolygonModel& model) {
    const std::string path = WriteTemp("forged.look", flaw + "\n");
    PluginLoaderSession session(table, path);
    return session.Load(*look, model);
  };
  {
    PolygonModel model;
    const PluginLoaderSession::Result res = load("none", model);
    EXPECT_EQ(res.value, 1) << res.error;
    EXPECT_EQ(model.PolygonCount(), 1);
    ASSERT_EQ(model.appearance.images.size(), 1u);
    EXPECT_EQ(model.appearance.images[0].data.size(), 16u);
    EXPECT_EQ(model.appearance.cornerUV.size(), 3u);
  }
  const Peaks before = Peaks::Start();
  for (const char* flaw :
       {"uvs", "materials", "number", "table", "name", "sizes", "count", "held"}) {
    SCOPED_TRACE(flaw);
    PolygonModel model = MakeModel(3, true);
    const PluginLoaderSession::Result res = load(flaw, model);
    EXPECT_FALSE(res.died) << res.error;
    EXPECT_EQ(res.value, 0);
    EXPECT_EQ(res.error, "プラグインの読み込みプロセスが不正な応答を返しました。");
    EXPECT_TRUE(Released(model));
  }
  ExpectNoGrowth(before);
  PolygonModel again;
  EXPECT_EQ(load("none", again).value, 1);
  EXPECT_EQ(again.PolygonCount(), 1);
  ReleaseReaderTable(table);
}

// A fixture plug-in's appearance, built by script, comes back whole in this
// process and through the loader: materials set out of order, polygons and
// corners added after the appearance's arrays started, images with and
// without a hint.
TEST(LoaderReply, AnAppearanceArrivesWholeInProcessAndThroughTheLoader) {
  const std::string script =
      "#tp\nv 0 0 0\nv 1 0 0\nv 1 1 0\nv 0 1 0\nf 3 0 1 2\n"
      "m 2 0 0 1 0.5 tex/b.png\nm 0 1 0.5 0.25 1 *0\npm 0 2\nuv 0 3 0 0 1 0 1 1\n"
      "f 4 0 1 2 3\nuv 1 4 0 0 2 0 2 2 0 -1\nimg PNG 5 3\nimg bad.hint 3 250\n"
      "pm 1 1\npm 1 3\nuv 1 3 0 0 0 0 0 0\nf 3 1 2 3\n";
  SurfaceAppearance want;
  want.materials = {{{1.0f, 0.5f, 0.25f}, 1.0f, "*0"}, {}, {{0.0f, 0.0f, 1.0f}, 0.5f, "tex/b.png"}};
  want.polygonMaterial = {2, 1, -1};
  want.cornerUV = {{0, 0}, {1, 0}, {1, 1}, {0, 0}, {2, 0}, {2, 2}, {0, -1}, {0, 0}, {0, 0}, {0, 0}};
  want.images = {{"png", {3, 4, 5, 6, 7}}, {"", {250, 251, 252}}};
  const std::string path = WriteTemp("look.tpl", script);

  for (const bool viaLoader : {false, true}) {
    SCOPED_TRACE(viaLoader ? "through the loader" : "in this process");
    ReaderTable table;
    AddPluginReaders(table, TARNELLE_PLUGIN_FIXTURES, "tarnelle",
                     viaLoader ? std::string(TARNELLE_APP_DIR) + "/tarnelle-loader" : "-");
    const FormatReader* good = nullptr;
    for (const FormatReader& r : table)
      if (r.name == "TestReader") good = &r;
    ASSERT_TRUE(good);
    PolygonModel model;
    if (viaLoader) {
      PluginLoaderSession session(table, path);
      const PluginLoaderSession::Result res = session.Load(*good, model);
      ASSERT_FALSE(res.died) << res.error;
      EXPECT_EQ(res.value & 0xFF, 1) << res.error;
    } else {
      CurrentModel = std::make_unique<PolygonModel>();
      EXPECT_EQ(good->Load(path.c_str()) & 0xFF, 1);
      const auto results = reinterpret_cast<const char* (*)()>(dlsym(good->module, "TestResults"));
      ASSERT_TRUE(results);
      EXPECT_STREQ(results(), "0 1 2 3 0 2 0 0 0 1 1 0 1 1 -1 -1 2");
      model = *CurrentModel;
      CurrentModel.reset();
    }
    EXPECT_EQ(model.PolygonCount(), 3);
    EXPECT_TRUE(SameLook(model.appearance, want));
    ReleaseReaderTable(table);
  }
}

// A model made by the OFF plug-in in the loader process is the one it
// makes in this process.
TEST(LoaderReply, TheLoadersModelIsTheInProcessOne) {
  ReaderTable table;
  AddPluginReaders(table, std::string(TARNELLE_APP_DIR) + "/Plugin", "tarnelle",
                   std::string(TARNELLE_APP_DIR) + "/tarnelle-loader");
  const FormatReader* off = nullptr;
  for (const FormatReader& r : table)
    if (MatchMask("off", r.mask)) off = &r;
  if (!off) GTEST_SKIP() << "no OFF plug-in in " << TARNELLE_APP_DIR << "/Plugin";
  // 500,000 triangles, half of them coloured: well past the size that
  // takes the second thread.
  const int n = 500;
  std::string text =
      "OFF\n" + std::to_string(n * n) + " " + std::to_string(2 * (n - 1) * (n - 1)) + " 0\n";
  for (int i = 0; i < n; ++i)
    for (int j = 0; j < n; ++j)
      text +=
          std::to_string(i) + " " + std::to_string(j) + " " + std::to_string((i * j) % 7) + "\n";
  for (int i = 0; i + 1 < n; ++i)
    for (int j = 0; j + 1 < n; ++j) {
      const int a = i * n + j;
      text += "3 " + std::to_string(a) + " " + std::to_string(a + 1) + " " + std::to_string(a + n) +
              " 255 " + std::to_string(j % 256) + " 0\n";
      text += "3 " + std::to_string(a + 1) + " " + std::to_string(a + n + 1) + " " +
              std::to_string(a + n) + "\n";
    }
  const std::string path = WriteTemp("grid.off", text);

  PolygonModel viaLoader;
  {
    PluginLoaderSession session(table, path);
    const PluginLoaderSession::Result res = session.Load(*off, viaLoader);
    ASSERT_FALSE(res.died) << res.error;
    EXPECT_EQ(res.value & 0xFF, 1) << res.error;
  }
  CurrentModel = std::make_unique<PolygonModel>();
  EXPECT_EQ(off->Load(path.c_str()) & 0xFF, 1);
  EXPECT_EQ(viaLoader.PolygonCount(), 2 * (n - 1) * (n - 1));
  EXPECT_TRUE(SameArrays(viaLoader, *CurrentModel));
  CurrentModel.reset();
  ReleaseReaderTable(table);
}

}  // namespace

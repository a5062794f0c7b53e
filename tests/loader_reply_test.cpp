// The window's copy of the loader's model: a real model comes back byte for
// byte by either path, and a reply whose counts the loader does not back
// with memory is refused before the window allocates for it.
#include "core/loader_reply.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "core/huge_pages.h"
#include "core/plugin_host.h"
#include "core/plugin_loader.h"
#include "tests/test_util.h"

namespace lp = loader_protocol;

namespace {

constexpr uint64_t kCap = 16ull << 30;
constexpr uint64_t kMiB = 1 << 20;

// A model of n polygons, triangles and quads, every field its own value.
PolygonModel MakeModel(int n) {
  PolygonModel m;
  const int nv = n + 3;
  for (int i = 0; i < nv; ++i) m.AddVertex(i * 0.5f, -i * 0.25f, i * 1e-3f);
  for (int p = 0; p < n; ++p) {
    const int32_t idx[4] = {p, p + 1, p + 2, p + 3};
    m.AddPolygon(p % 3 == 0 ? 4 : 3, idx, p % 5 - 1, {p * 0.125f, 1.0f / (p + 1), -p * 2.0f});
  }
  return m;
}

template <typename T>
bool SameBytes(const std::vector<T>& a, const std::vector<T>& b) {
  return a.size() == b.size() &&
         (a.empty() || memcmp(a.data(), b.data(), a.size() * sizeof(T)) == 0);
}

bool SameArrays(const PolygonModel& a, const PolygonModel& b) {
  return SameBytes(a.vertices, b.vertices) && SameBytes(a.polyStart, b.polyStart) &&
         SameBytes(a.indexPool, b.indexPool) && SameBytes(a.polyMaterial, b.polyMaterial) &&
         SameBytes(a.polyColor, b.polyColor);
}

// Empty, with nothing kept allocated.
bool Released(const PolygonModel& m) {
  return m.vertices.capacity() == 0 && m.indexPool.capacity() == 0 &&
         m.polyMaterial.capacity() == 0 && m.polyColor.capacity() == 0 &&
         m.polyStart == std::vector<uint32_t>{0};
}

lp::ModelHeader HeaderOf(const PolygonModel& m) {
  return {m.vertices.size(), static_cast<uint64_t>(m.PolygonCount()), m.indexPool.size()};
}

// The reply a loader holding m sends.
lp::Reply ReplyFor(const PolygonModel& m) {
  lp::Reply r{1, 0, HeaderOf(m), {}};
  const void* where[5] = {m.vertices.data(), m.polyStart.data(), m.indexPool.data(),
                          m.polyMaterial.data(), m.polyColor.data()};
  for (int i = 0; i < 5; ++i) r.where[i] = reinterpret_cast<uintptr_t>(where[i]);
  return r;
}

void Append(std::string& s, const void* p, size_t n) { s.append(static_cast<const char*>(p), n); }

// The memory file a loader holding m writes.
std::string FileFor(const PolygonModel& m, const lp::ModelHeader& h) {
  std::string s;
  Append(s, &h, sizeof h);
  Append(s, m.vertices.data(), m.vertices.size() * 12);
  Append(s, m.polyStart.data(), m.polyStart.size() * 4);
  Append(s, m.indexPool.data(), m.indexPool.size() * 4);
  Append(s, m.polyMaterial.data(), m.polyMaterial.size() * 4);
  Append(s, m.polyColor.data(), m.polyColor.size() * 12);
  return s;
}

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
  EXPECT_LT(after.resident - before.resident, 16 * kMiB);
  // Even untouched, a reservation shows here; the margin is for threads'
  // stacks and malloc arenas (the sanitizer's allocator maps its space up
  // front).
  EXPECT_LT(after.virt - before.virt, 512 * kMiB);
}

TEST(LoaderReply, ModelsRoundTripByteForByte) {
  const bool threads = PrefaultThreads();
  // Empty, small, and big enough for the second thread and whole huge
  // pages; the offsets of each array past a staging buffer's worth.
  for (const int n : {0, 3, 400000}) {
    const PolygonModel source = MakeModel(n);
    MemFile file;
    file.Fill(FileFor(source, HeaderOf(source)), lp::ModelBytes(HeaderOf(source)));
    for (const bool twoThreads : {true, false}) {
      SCOPED_TRACE(std::to_string(n) + (twoThreads ? " polygons, two threads" : " polygons"));
      SetPrefaultThreads(twoThreads && threads);
      PolygonModel read;
      read.SetEdgeAngle(30);
      const double edgeCos = read.edgeCos;
      EXPECT_EQ(ReadLoaderModel(getpid(), ReplyFor(source), kCap, read), LoaderRead::kDone);
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
  const lp::Reply zeroPage{
      1, 0, {kRegion / 2 / 12, kRegion / 32, 0}, {region, region, region, region, region}};
  const lp::Reply bogus{1, 0, {1000, 10, 30}, {1, 2, 3, 4, 5}};  // small, but nothing there
  const lp::Reply overCap{1, 0, {kCap / 12, 0, 0}, {region, region, region, region, region}};
  struct Case {
    const char* name;
    pid_t pid;
    lp::Reply reply;
  } cases[] = {
      {"zero page", child, zeroPage},
      {"unmapped", child, bogus},
      {"unmapped, own pid", getpid(), bogus},
      {"over the cap", child, overCap},
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
    PolygonModel m = good;
    m.polyStart = std::move(starts);
    return FileFor(m, h);
  };
  ASSERT_EQ(good.polyStart, (std::vector<uint32_t>{0, 4, 7, 10, 14}));
  // A gigabyte's counts over a file of a gigabyte that holds only its header.
  const lp::ModelHeader sparse{(1ull << 30) / 12, 0, 0};
  const std::string sparseHead(reinterpret_cast<const char*>(&sparse), sizeof sparse);
  struct Case {
    const char* name;
    std::string bytes;
    uint64_t size;
    uint64_t cap = kCap;
  } cases[] = {
      {"sparse", sparseHead, lp::ModelBytes(sparse)},
      {"over the cap", FileFor(good, h), lp::ModelBytes(h), lp::ModelBytes(h) - 1},
      {"one byte short", FileFor(good, h).substr(0, lp::ModelBytes(h) - 1), lp::ModelBytes(h) - 1},
      {"one byte over", FileFor(good, h) + "x", lp::ModelBytes(h) + 1},
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

#include "core/loader_reply.h"

#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <functional>
#include <new>
#include <thread>
#include <vector>

#include "core/appearance_wire.h"
#include "core/fd_io.h"
#include "core/huge_pages.h"

namespace lp = loader_protocol;
namespace aw = appearance_wire;

namespace {

static_assert(sizeof(Float3) == 12, "the protocol sends vertices and colours as 12 bytes");

constexpr size_t kStagingBytes = 64 << 10;
// Below this a second thread costs more than it saves.
constexpr uint64_t kTwoThreadBytes = 4 << 20;
// The kernel's memory counters may lag behind by a few pages per CPU.
constexpr uint64_t kHeldSlack = 1 << 20;

// Where the arrays' bytes come from: the child's memory (at is an address)
// or the memory file (at is an offset).
struct Source {
  pid_t child = -1;
  int fd = -1;

  bool Get(void* dst, size_t n, uint64_t at) const {
    if (fd >= 0) return fd_io::PreadAll(fd, dst, n, static_cast<off_t>(at));
    char* p = static_cast<char*>(dst);
    while (n > 0) {
      iovec local{p, n};
      iovec remote{reinterpret_cast<void*>(static_cast<uintptr_t>(at)), n};
      const ssize_t r = process_vm_readv(child, &local, 1, &remote, 1, 0);
      if (r < 0 && errno == EINTR) continue;
      if (r <= 0) return false;
      p += r;
      n -= static_cast<size_t>(r);
      at += static_cast<uint64_t>(r);
    }
    return true;
  }
};

// Whether this process may read child's memory at all: ptrace rules may
// forbid it, and some kernels lack the call.
bool MayRead(pid_t child, uint64_t at) {
  char byte;
  iovec local{&byte, 1};
  iovec remote{reinterpret_cast<void*>(static_cast<uintptr_t>(at)), 1};
  return process_vm_readv(child, &local, 1, &remote, 1, 0) == 1 ||
         (errno != EPERM && errno != ENOSYS);
}

// Anonymous memory of pid, resident or swapped out: what a process cannot
// show without paying for it (file pages and the shared zero page cost it
// nothing). 0 when unknown.
uint64_t HeldBytes(pid_t pid) {
  char path[32];
  snprintf(path, sizeof path, "/proc/%d/status", static_cast<int>(pid));
  FILE* f = fopen(path, "re");
  if (!f) return 0;
  uint64_t kb = 0;
  char line[256];
  while (fgets(line, sizeof line, f)) {
    unsigned long long v = 0;
    if (sscanf(line, "RssAnon: %llu kB", &v) == 1 || sscanf(line, "VmSwap: %llu kB", &v) == 1)
      kb += v;
  }
  fclose(f);
  return kb * 1024;
}

bool CountsSound(const lp::ModelHeader& h, uint64_t cap) {
  // The first four bound ModelBytes far below overflow.
  return h.vertices <= INT32_MAX && h.polygons <= INT32_MAX && h.corners <= UINT32_MAX &&
         aw::CountsSound(h) && lp::ModelBytes(h) <= cap;
}

// One array's copy: room reserved on whole huge pages, then the bytes in
// pieces through a small staging buffer, appended. The array's memory is
// written once, where a resize would clear it first.
struct Job {
  uint64_t bytes = 0;
  std::function<bool(unsigned char* staging, const std::atomic<bool>& failed)> run;
};

template <typename T>
Job CopyJob(std::vector<T>& v, uint64_t count, uint64_t at, const Source& src) {
  return {count * sizeof(T),
          [&v, count, at, &src](unsigned char* staging, const std::atomic<bool>& failed) {
            ReserveWholeHugePages(v, count);
            // A byte array provides the elements the bytes read into it make.
            const T* piece = std::launder(reinterpret_cast<const T*>(staging));
            for (uint64_t done = 0; done < count;) {
              if (failed.load(std::memory_order_relaxed)) return false;
              const size_t k =
                  static_cast<size_t>(std::min<uint64_t>(count - done, kStagingBytes / sizeof(T)));
              if (!src.Get(staging, k * sizeof(T), at + done * sizeof(T))) return false;
              v.insert(v.end(), piece, piece + k);
              done += k;
            }
            return true;
          }};
}

// The appearance's materials and images from the table at at: nothing to
// read for a model without them.
bool CopyTable(const Source& src, const lp::ModelHeader& h, uint64_t at, SurfaceAppearance& out) {
  if (h.tableBytes == 0) return h.materials == 0 && h.images == 0 && h.imageBytes == 0;
  std::vector<uint8_t> table(h.tableBytes);
  std::vector<aw::ImageRecord> images;
  if (!src.Get(table.data(), table.size(), at) ||
      !aw::DecodeTable(table.data(), table.size(), h, out, images))
    return false;
  for (size_t i = 0; i < images.size(); ++i) {
    std::vector<uint8_t>& data = out.images[i].data;
    data.resize(images[i].bytes);
    if (!data.empty() && !src.Get(data.data(), data.size(), images[i].at)) return false;
  }
  return true;
}

// Fills model's arrays for h from src, the arrays starting at at (Array
// order), then its materials and images.
bool CopyArrays(const Source& src, const lp::ModelHeader& h, const uint64_t at[lp::kArrays],
                PolygonModel& model) {
  model.Clear();
  model.polyStart.clear();
  SurfaceAppearance& look = model.appearance;
  Job jobs[] = {CopyJob(model.vertices, h.vertices, at[lp::kVertices], src),
                CopyJob(model.polyStart, h.polygons + 1, at[lp::kPolyStart], src),
                CopyJob(model.indexPool, h.corners, at[lp::kIndexPool], src),
                CopyJob(model.polyMaterial, h.polygons, at[lp::kPolyMaterial], src),
                CopyJob(model.polyColor, h.polygons, at[lp::kPolyColor], src),
                CopyJob(look.polygonMaterial, h.polygonMaterials, at[lp::kPolygonMaterials], src),
                CopyJob(look.cornerUV, h.cornerUVs, at[lp::kCornerUVs], src)};
  // Two shares of about the same size, the biggest arrays first.
  std::sort(std::begin(jobs), std::end(jobs),
            [](const Job& a, const Job& b) { return a.bytes > b.bytes; });
  std::vector<Job*> mine, helpers;
  uint64_t mineBytes = 0, helperBytes = 0;
  for (Job& j : jobs) {
    const bool toMine = mineBytes <= helperBytes;
    (toMine ? mine : helpers).push_back(&j);
    (toMine ? mineBytes : helperBytes) += j.bytes;
  }
  std::atomic<bool> failed{false};
  auto runAll = [&failed](const std::vector<Job*>& list) {
    alignas(16) unsigned char staging[kStagingBytes];
    for (Job* j : list)
      if (!j->run(staging, failed)) {
        failed = true;
        return;
      }
  };
  // The same switch as the page-fault helpers: on with a second core.
  std::thread helper;
  if (mineBytes + helperBytes >= kTwoThreadBytes && PrefaultThreads()) {
    try {
      helper = std::thread(runAll, std::cref(helpers));
    } catch (...) {
      // Without a thread everything is copied here.
    }
  }
  if (!helper.joinable()) mine.insert(mine.end(), helpers.begin(), helpers.end());
  runAll(mine);
  if (helper.joinable()) helper.join();
  return !failed && CopyTable(src, h, at[lp::kTable], look) && aw::MaterialNumbersSound(look);
}

// Frees the arrays, not just empties them: a refused reply leaves nothing
// behind.
void Release(PolygonModel& model) {
  const double edgeCos = model.edgeCos;
  model = PolygonModel();
  model.edgeCos = edgeCos;
}

}  // namespace

bool LoaderOffsetsInOrder(const PolygonModel& model) {
  const std::vector<uint32_t>& starts = model.polyStart;
  return !starts.empty() && starts.size() == model.polyMaterial.size() + 1 &&
         starts.size() == model.polyColor.size() + 1 && starts.front() == 0 &&
         starts.back() == model.indexPool.size() && std::is_sorted(starts.begin(), starts.end());
}

LoaderRead ReadLoaderModel(pid_t child, const lp::Reply& reply, uint64_t cap, PolygonModel& model) {
  const lp::ModelHeader& h = reply.model;
  const uint64_t held = child > 0 ? HeldBytes(child) : 0;
  // Without the loader's memory counts or its memory, the memory file is
  // the way.
  if (held == 0 || !MayRead(child, reply.where[0])) {
    Release(model);
    return LoaderRead::kForbidden;
  }
  const bool ok = CountsSound(h, cap) && lp::ModelBytes(h) - sizeof h <= held + kHeldSlack &&
                  CopyArrays(Source{child, -1}, h, reply.where, model) &&
                  LoaderOffsetsInOrder(model);
  if (!ok) Release(model);
  return ok ? LoaderRead::kDone : LoaderRead::kRefused;
}

bool CopyLoaderModel(int memfd, uint64_t cap, PolygonModel& model) {
  const Source src{-1, memfd};
  struct stat st;
  lp::ModelHeader h{};
  // blocks count the pages the file really has; ftruncate adds none.
  bool ok = memfd >= 0 && fstat(memfd, &st) == 0 && static_cast<uint64_t>(st.st_size) >= sizeof h &&
            src.Get(&h, sizeof h, 0) && CountsSound(h, cap) &&
            lp::ModelBytes(h) == static_cast<uint64_t>(st.st_size) &&
            static_cast<uint64_t>(st.st_blocks) * 512 >= static_cast<uint64_t>(st.st_size);
  if (ok) {
    uint64_t sizes[lp::kArrays];
    lp::ArrayBytes(h, sizes);
    uint64_t at[lp::kArrays];
    uint64_t offset = sizeof h;
    for (int i = 0; i < lp::kArrays; ++i) {
      at[i] = offset;
      offset += sizes[i];
    }
    ok = CopyArrays(src, h, at, model) && LoaderOffsetsInOrder(model);
  }
  if (!ok) Release(model);
  return ok;
}

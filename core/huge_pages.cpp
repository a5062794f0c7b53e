#include "core/huge_pages.h"

#include <sys/mman.h>

#include <algorithm>
#include <cstdint>

#ifndef MADV_COLLAPSE
#define MADV_COLLAPSE 25
#endif
#ifndef MADV_POPULATE_WRITE
#define MADV_POPULATE_WRITE 23
#endif

namespace {

constexpr uintptr_t kHugePage = uintptr_t{2} << 20;
constexpr size_t kMinRange = size_t{4} << 20;
// glibc's malloc puts 16 bytes before a mapped chunk and needs the request
// plus 16 more rounded up to 16 to fit the mapping.
constexpr size_t kChunkOverhead = 32;

std::atomic<int> g_prefault{-1};  // -1: not decided yet

}  // namespace

void AdviseHugePages(const void* p, size_t bytes) {
  const uintptr_t begin = (reinterpret_cast<uintptr_t>(p) + kHugePage - 1) & ~(kHugePage - 1);
  const uintptr_t end = (reinterpret_cast<uintptr_t>(p) + bytes) & ~(kHugePage - 1);
  if (end > begin) madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
}

size_t WholeHugePagesRequest(size_t bytes) {
  if (bytes < kHugePage) return bytes;
  return (bytes + kChunkOverhead + kHugePage - 1) / kHugePage * kHugePage - kChunkOverhead;
}

void AdviseWholeHugePages(const void* p, size_t bytes) {
  const uintptr_t at = reinterpret_cast<uintptr_t>(p);
  // Only a mapping that starts on a huge page, just before p, may be
  // advised past both ends of [p, p + bytes).
  if (bytes < kHugePage || (at & (kHugePage - 1)) > kChunkOverhead) {
    AdviseHugePages(p, bytes);
    return;
  }
  const uintptr_t begin = at & ~(kHugePage - 1);
  const uintptr_t end = (at + bytes + kHugePage - 1) & ~(kHugePage - 1);
  madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
  // malloc wrote its header before the advice, so the first huge page is
  // already split into small ones: it is made huge again now, while it
  // holds just the header.
  madvise(reinterpret_cast<void*>(begin), kHugePage, MADV_COLLAPSE);
}

void SetPrefaultThreads(bool on) { g_prefault = on ? 1 : 0; }

bool PrefaultThreads() {
  int on = g_prefault;
  if (on < 0) {
    on = std::thread::hardware_concurrency() > 1 ? 1 : 0;
    g_prefault = on;
  }
  return on != 0;
}

void Prefault::Add(const void* p, size_t bytes) {
  if (bytes < kMinRange) return;
  // Whole pages only: the page holding the first byte may already be in use.
  const uintptr_t begin = (reinterpret_cast<uintptr_t>(p) + 4095) & ~uintptr_t{4095};
  const uintptr_t end = (reinterpret_cast<uintptr_t>(p) + bytes) & ~uintptr_t{4095};
  if (end > begin)
    ranges_.push_back({reinterpret_cast<char*>(begin), reinterpret_cast<char*>(end)});
}

void Prefault::Start() {
  if (ranges_.empty() || thread_.joinable() || !PrefaultThreads()) return;
  stop_ = false;
  try {
    thread_ = std::thread([this] { Run(); });
  } catch (...) {
    // Without a thread the pages are faulted in by use, as always.
  }
}

void Prefault::Stop() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
  ranges_.clear();
}

void Prefault::Run() {
  // Steps of one huge page, taken from every range in turn in proportion
  // to its size, so that arrays filled side by side stay ahead together.
  size_t largest = 0;
  for (const Range& r : ranges_) largest = std::max<size_t>(largest, r.end - r.begin);
  const size_t steps = (largest + kHugePage - 1) / kHugePage;
  for (size_t s = 0; s < steps; ++s) {
    for (Range& r : ranges_) {
      if (stop_.load(std::memory_order_relaxed)) return;
      const size_t size = static_cast<size_t>(r.end - r.begin);
      // This range's share of the step, ending on a huge page boundary.
      const size_t left = size * (steps - s - 1) / steps;
      uintptr_t low = reinterpret_cast<uintptr_t>(r.begin) + left;
      if (s + 1 < steps) low &= ~(kHugePage - 1);
      low = std::max(low, reinterpret_cast<uintptr_t>(r.begin));
      char* const from = reinterpret_cast<char*>(low);
      if (from >= r.end) continue;
      // Fails harmlessly where the memory has gone meanwhile.
      madvise(from, static_cast<size_t>(r.end - from), MADV_POPULATE_WRITE);
      r.end = from;
    }
  }
}

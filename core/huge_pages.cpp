#include "core/huge_pages.h"

#include <sys/mman.h>

#include <cstdint>

void AdviseHugePages(const void* p, size_t bytes) {
  constexpr uintptr_t kHugePage = uintptr_t{2} << 20;
  const uintptr_t begin = (reinterpret_cast<uintptr_t>(p) + kHugePage - 1) & ~(kHugePage - 1);
  const uintptr_t end = (reinterpret_cast<uintptr_t>(p) + bytes) & ~(kHugePage - 1);
  if (end > begin) madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
}

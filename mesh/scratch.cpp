#include "mesh/scratch.h"

#include <sys/mman.h>

#include <cstdlib>
#include <new>

namespace meshmem {
namespace {

constexpr size_t kHugePage = size_t{2} << 20;
constexpr size_t kMapFrom = size_t{1} << 20;  // smaller blocks come from the heap
constexpr size_t kPrefaultFrom = size_t{8} << 20;

}  // namespace

ScratchBlock::ScratchBlock(size_t bytes, bool prefault) {
  if (bytes < kMapFrom) {
    data_ = std::calloc(bytes ? bytes : 1, 1);
    if (!data_) throw std::bad_alloc();
    return;
  }
  // Map a huge page more than needed and cut it back so that the block
  // starts on a huge page boundary.
  const size_t length = (bytes + kHugePage - 1) & ~(kHugePage - 1);
  void* raw =
      mmap(nullptr, length + kHugePage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (raw == MAP_FAILED) throw std::bad_alloc();
  const uintptr_t r = reinterpret_cast<uintptr_t>(raw);
  const uintptr_t aligned = (r + kHugePage - 1) & ~(kHugePage - 1);
  if (aligned > r) munmap(raw, aligned - r);
  const uintptr_t tail = aligned + length, rawEnd = r + length + kHugePage;
  if (rawEnd > tail) munmap(reinterpret_cast<void*>(tail), rawEnd - tail);
  data_ = reinterpret_cast<void*>(aligned);
  mapped_ = length;
  madvise(data_, length, MADV_HUGEPAGE);
  if (prefault && PrefaultThreads() && bytes >= kPrefaultFrom) {
    prefault_ = std::make_unique<Prefault>();
    prefault_->Add(data_, bytes);
    prefault_->Start();
  }
}

ScratchBlock::~ScratchBlock() { Release(); }

ScratchBlock& ScratchBlock::operator=(ScratchBlock&& o) noexcept {
  if (this != &o) {
    Release();
    data_ = o.data_;
    mapped_ = o.mapped_;
    prefault_ = std::move(o.prefault_);
    o.data_ = nullptr;
    o.mapped_ = 0;
  }
  return *this;
}

void ScratchBlock::Release() {
  prefault_.reset();  // waits for the helper before the memory goes
  if (mapped_)
    munmap(data_, mapped_);
  else
    std::free(data_);
  data_ = nullptr;
  mapped_ = 0;
}

}  // namespace meshmem

// Memory for mesh preparation. A large model makes preparation touch
// hundreds of megabytes of fresh memory, and faulting that in 4 KB pages
// costs more than the work done in it; large blocks therefore ask for
// transparent huge pages, and scratch arrays come zero-filled from the
// kernel instead of being cleared again.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <type_traits>
#include <utility>
#include <vector>

#include "core/huge_pages.h"

namespace meshmem {

// A fixed-size array whose elements start with all bits zero. A large one is
// faulted in by a helper thread while the caller starts using it, unless
// prefault is false (for memory filled while both cores are busy anyway,
// or touched only in part).
class ScratchBlock {
 public:
  ScratchBlock() = default;
  explicit ScratchBlock(size_t bytes, bool prefault = true);
  ~ScratchBlock();
  ScratchBlock(ScratchBlock&& o) noexcept { *this = std::move(o); }
  ScratchBlock& operator=(ScratchBlock&& o) noexcept;
  ScratchBlock(const ScratchBlock&) = delete;
  ScratchBlock& operator=(const ScratchBlock&) = delete;
  void* data() const { return data_; }

 private:
  void Release();
  void* data_ = nullptr;
  size_t mapped_ = 0;  // bytes mapped; 0 when from the heap
  std::unique_ptr<Prefault> prefault_;
};

template <class T>
class ScratchArray {
  static_assert(std::is_trivially_copyable_v<T>);

 public:
  ScratchArray() = default;
  explicit ScratchArray(size_t n, bool prefault = true)
      : block_(n * sizeof(T), prefault), size_(n) {}
  T* data() const { return static_cast<T*>(block_.data()); }
  size_t size() const { return size_; }
  T& operator[](size_t i) const { return data()[i]; }
  T* begin() const { return data(); }
  T* end() const { return data() + size_; }

 private:
  ScratchBlock block_;
  size_t size_ = 0;
};

}  // namespace meshmem

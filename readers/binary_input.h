// Bounded reading and byte-order helpers for the binary chunk readers.
// Every reader checks its offsets against the file's size before it calls
// one of the loaders below.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "core/huge_pages.h"
#include "core/model.h"

struct FileBytes {
  std::unique_ptr<unsigned char[]> data;
  uint64_t size = 0;
};

// Reads the rest of f into out. The buffer grows as bytes arrive, starting
// from the size the file reports, so neither a lying size nor a file that
// changes under us can cause an allocation beyond what is really there
// (doubled at most). Returns false on a read error.
bool ReadWholeFile(FILE* f, FileBytes& out);

// The bytes of a file by position. A regular file is read through a
// window that stays in the cache, so no buffer the size of the file is
// allocated and parsing reads warm memory; anything else (a pipe) is read
// whole first. Every request is checked against the size: a short read (a
// file cut while it is read) gives null, never stale bytes.
class ByteSource {
 public:
  static constexpr size_t kWindow = size_t{256} << 10;

  explicit ByteSource(FILE* f);
  ByteSource(const ByteSource&) = delete;
  ByteSource& operator=(const ByteSource&) = delete;

  bool ok() const { return ok_; }  // false: a stream could not be read
  uint64_t size() const { return size_; }

  // How much a refill reads at least. A walk that only hops from header to
  // header sets it small.
  void SetReadAhead(size_t bytes) { readAhead_ = bytes; }

  // The n bytes at pos, valid until the next call, or null when they are not
  // all in the file. A request larger than the window grows it (up to the
  // file's size at most).
  const unsigned char* Get(uint64_t pos, uint64_t n) {
    if (pos >= start_ && n <= have_ && pos - start_ <= have_ - n)
      return buf_.get() + (pos - start_);
    return Fill(pos, n);
  }

  enum class Found { kYes, kNo, kReadError };
  // The position of the first byte c in [pos, lim), read window by window.
  Found Find(uint64_t pos, uint64_t lim, unsigned char c, uint64_t& at);

 private:
  const unsigned char* Fill(uint64_t pos, uint64_t n);

  int fd_ = -1;
  bool ok_ = true;
  bool whole_ = false;  // buf_ holds the whole stream
  uint64_t size_ = 0;
  uint64_t start_ = 0, have_ = 0;  // buf_ holds [start_, start_ + have_)
  std::unique_ptr<unsigned char[]> buf_;
  uint64_t cap_ = 0;
  size_t readAhead_;
};

inline uint16_t LoadLe16(const unsigned char* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
inline uint32_t LoadLe32(const unsigned char* p) {
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}
inline uint16_t LoadBe16(const unsigned char* p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }
inline uint32_t LoadBe32(const unsigned char* p) {
  return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | uint32_t{p[3]};
}
inline float FloatFromBits(uint32_t u) {
  float f;
  memcpy(&f, &u, 4);
  return f;
}
inline float LoadLeFloat(const unsigned char* p) { return FloatFromBits(LoadLe32(p)); }
inline float LoadBeFloat(const unsigned char* p) { return FloatFromBits(LoadBe32(p)); }

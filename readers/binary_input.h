// Whole-file reading and byte-order helpers for the binary chunk readers.
// Every reader checks its offsets against FileBytes::size before it calls
// one of the loaders below.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>

struct FileBytes {
  std::unique_ptr<unsigned char[]> data;
  uint64_t size = 0;
};

// Reads the rest of f into out. The buffer grows as bytes arrive, starting
// from the size the file reports, so neither a lying size nor a file that
// changes under us can cause an allocation beyond what is really there
// (doubled at most). Returns false on a read error.
bool ReadWholeFile(FILE* f, FileBytes& out);

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

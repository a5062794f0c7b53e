#include "header_check.h"

#include <initializer_list>

namespace {

constexpr char kBadGlbLength[] = "GLB のヘッダーの長さがファイルの大きさと合いません。";
constexpr char kBadGlbChunk[] = "GLB のチャンクの長さがファイルの大きさを超えています。";
constexpr char kBadIqm[] = "IQM のヘッダーがファイルの外を指しています。";

uint32_t U32(std::string_view s, size_t at) {
  const auto b = [&](size_t i) {
    return static_cast<uint32_t>(static_cast<unsigned char>(s[at + i]));
  };
  return b(0) | b(1) << 8 | b(2) << 16 | b(3) << 24;
}

// Binary glTF: a 12-byte header (magic, version, total length), then for
// version 2 chunks of (length, type, data padded to 4). Version 1 has one
// content length at 12.
const char* CheckGlb(std::string_view head, uint64_t fileSize) {
  if (head.size() < 12) return kBadGlbLength;
  const uint32_t version = U32(head, 4);
  const uint64_t total = U32(head, 8);
  if (total > fileSize || total < 12) return kBadGlbLength;
  if (version == 1) {
    if (head.size() < 20) return kBadGlbLength;
    return 20 + static_cast<uint64_t>(U32(head, 12)) > total ? kBadGlbChunk : nullptr;
  }
  // Only the chunks whose headers lie in the bytes at hand are walked; the
  // first (JSON) chunk is the one assimp reads whole.
  uint64_t at = 12;
  if (at + 8 > total) return kBadGlbChunk;
  while (at + 8 <= total && at + 8 <= head.size()) {
    const uint64_t len = U32(head, static_cast<size_t>(at));
    if (at + 8 + len > total) return kBadGlbChunk;
    at += 8 + ((len + 3) & ~uint64_t{3});
  }
  return nullptr;
}

// Inter-Quake Model: a 124-byte header of counts and offsets after the
// magic and version.
const char* CheckIqm(std::string_view head, uint64_t fileSize) {
  if (head.size() < 124) return kBadIqm;
  const auto field = [&](int i) { return static_cast<uint64_t>(U32(head, 16 + 4 * i)); };
  if (field(1) > fileSize) return kBadIqm;  // the file size it claims
  // (count, offset, bytes per record) of the arrays assimp reads.
  struct Array {
    int count, offset;
    uint64_t bytes;
  };
  for (const Array a :
       {Array{3, 4, 1}, Array{5, 6, 24}, Array{7, 9, 20}, Array{10, 11, 12}, Array{13, 14, 48},
        Array{15, 16, 88}, Array{17, 18, 20}, Array{23, 24, 1}}) {
    const uint64_t count = field(a.count), offset = field(a.offset);
    if (count == 0) continue;
    if (offset > fileSize || count * a.bytes > fileSize - offset) return kBadIqm;
  }
  return nullptr;
}

}  // namespace

const char* CheckHeaderLengths(std::string_view head, uint64_t fileSize) {
  if (head.substr(0, 4) == "glTF") return CheckGlb(head, fileSize);
  if (head.substr(0, 16) == std::string_view("INTERQUAKEMODEL\0", 16))
    return CheckIqm(head, fileSize);
  return nullptr;
}

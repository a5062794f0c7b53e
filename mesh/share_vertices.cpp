#include "mesh/share_vertices.h"

#include <algorithm>
#include <bit>

#include "core/load_progress.h"
#include "mesh/scratch.h"

namespace {

struct Key {
  uint32_t x, y, z;
};

inline uint32_t FoldedBits(float f) {
  const uint32_t u = std::bit_cast<uint32_t>(f);
  return u == 0x80000000u ? 0u : u;  // -0.0 equals +0.0
}

inline Key KeyOf(const Float3& p) { return {FoldedBits(p.x), FoldedBits(p.y), FoldedBits(p.z)}; }

inline bool SameKey(const Key& a, const Key& b) { return a.x == b.x && a.y == b.y && a.z == b.z; }

inline uint64_t HashOf(const Key& k) {
  uint64_t h =
      (static_cast<uint64_t>(k.x) | static_cast<uint64_t>(k.y) << 32) * 0x9E3779B97F4A7C15ull;
  h ^= static_cast<uint64_t>(k.z) * 0xC2B2AE3D27D4EB4Full;
  h ^= h >> 29;
  return h * 0xBF58476D1CE4E5B9ull;  // the slot comes from the top bits
}

// Open addressing with linear probing; a slot holds a new vertex index + 1
// (0 = empty) and the key is compared against the new vertex itself.
class PositionTable {
 public:
  explicit PositionTable(size_t expected) {
    int bits = 10;
    while ((size_t{1} << bits) < expected * 2 && bits < 40) ++bits;
    Resize(bits);
  }

  void Prefetch(uint64_t h) const { __builtin_prefetch(slots_.data() + (h >> shift_)); }

  // Index of the position with key k, or -1 after storing `next + 1` in the
  // first free slot (the caller then appends the vertex).
  int64_t FindOrInsert(const Key& k, uint64_t h, const Float3* verts, uint32_t next) {
    size_t i = h >> shift_;
    for (;;) {
      const uint32_t s = slots_[i];
      if (s == 0) {
        slots_[i] = next + 1;
        return -1;
      }
      if (SameKey(KeyOf(verts[s - 1]), k)) return s - 1;
      i = (i + 1) & mask_;
    }
  }

  // Keeps the load at or below one half.
  void GrowIfNeeded(size_t count, const Float3* verts) {
    if (count * 2 <= slots_.size()) return;
    Resize(64 - shift_ + 1);
    for (size_t v = 0; v < count; ++v) {
      size_t i = HashOf(KeyOf(verts[v])) >> shift_;
      while (slots_[i] != 0) i = (i + 1) & mask_;
      slots_[i] = static_cast<uint32_t>(v + 1);
    }
  }

 private:
  void Resize(int bits) {
    slots_ = meshmem::ScratchArray<uint32_t>(size_t{1} << bits);
    mask_ = slots_.size() - 1;
    shift_ = 64 - bits;
  }

  meshmem::ScratchArray<uint32_t> slots_;
  size_t mask_ = 0;
  int shift_ = 0;
};

}  // namespace

void ShareVertices(PolygonModel& model) {
  int32_t* pool = model.indexPool.data();
  const size_t corners = model.indexPool.size();
  const Float3* old = model.vertices.data();
  const size_t bound = std::min(corners, model.vertices.size());

  // Triangle soups use each position about six times; the table grows when
  // a model has more distinct positions than that.
  PositionTable table(bound / 4 + 16);
  std::vector<Float3> fresh;
  ReserveLarge(fresh, bound / 4 + 16);

  // Keys are computed well ahead of their corner so that the table slot is
  // on its way from memory by the time the corner is looked up.
  constexpr size_t kAhead = 64;
  struct Pending {
    Key key;
    uint64_t hash;
  };
  Pending ring[kAhead];
  auto prepare = [&](size_t c) {
    // Built in registers: storing the key and reading it back as one word
    // would defeat store forwarding.
    const Key k = KeyOf(old[pool[c]]);
    const uint64_t h = HashOf(k);
    table.Prefetch(h);
    ring[c % kAhead] = {k, h};
  };
  for (size_t c = 0; c < std::min(kAhead, corners); ++c) prepare(c);

  for (size_t c = 0; c < corners; ++c) {
    if ((c & kCancelStepMask) == 0) LoadCancelPoint(c, corners);
    const Pending p = ring[c % kAhead];
    const int32_t oldIndex = pool[c];
    if (c + kAhead < corners) prepare(c + kAhead);
    const uint32_t next = static_cast<uint32_t>(fresh.size());
    const int64_t found = table.FindOrInsert(p.key, p.hash, fresh.data(), next);
    if (found >= 0) {
      pool[c] = static_cast<int32_t>(found);
    } else {
      if (fresh.size() == fresh.capacity()) ReserveLarge(fresh, fresh.size() * 2);
      fresh.push_back(old[oldIndex]);
      pool[c] = static_cast<int32_t>(next);
      table.GrowIfNeeded(fresh.size(), fresh.data());
    }
  }
  model.vertices.swap(fresh);
}

#include "mesh/share_vertices.h"

#include <algorithm>
#include <bit>
#include <optional>

#include "core/load_progress.h"
#include "mesh/parallel.h"
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
  // prefault false leaves the clearing of the slots to the thread that
  // fills them (when both cores are busy anyway).
  explicit PositionTable(size_t expected, bool prefault = true) : prefault_(prefault) {
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

  // Index of the position with key k, or -1.
  int64_t Find(const Key& k, uint64_t h, const Float3* verts) const {
    size_t i = h >> shift_;
    for (;;) {
      const uint32_t s = slots_[i];
      if (s == 0) return -1;
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
    slots_ = meshmem::ScratchArray<uint32_t>(size_t{1} << bits, prefault_);
    mask_ = slots_.size() - 1;
    shift_ = 64 - bits;
  }

  meshmem::ScratchArray<uint32_t> slots_;
  size_t mask_ = 0;
  int shift_ = 0;
  bool prefault_ = true;
};

// Shares the positions of corners [c0, c1): appends each position not in
// the table to verts and renumbers the corners into verts. Reports the
// range as thousandths from..to of the stage.
void ShareRange(int32_t* pool, const Float3* old, size_t c0, size_t c1, PositionTable& table,
                std::vector<Float3>& verts, uint64_t from, uint64_t to) {
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
  for (size_t c = c0; c < std::min(c0 + kAhead, c1); ++c) prepare(c);

  const uint64_t steps = c1 - c0;
  for (size_t c = c0; c < c1; ++c) {
    if ((c & kCancelStepMask) == 0)
      LoadCancelPoint(from * steps + (to - from) * (c - c0), 1000 * steps);
    const Pending p = ring[c % kAhead];
    const int32_t oldIndex = pool[c];
    if (c + kAhead < c1) prepare(c + kAhead);
    const uint32_t next = static_cast<uint32_t>(verts.size());
    const int64_t found = table.FindOrInsert(p.key, p.hash, verts.data(), next);
    if (found >= 0) {
      pool[c] = static_cast<int32_t>(found);
    } else {
      if (verts.size() == verts.capacity()) ReserveLarge(verts, verts.size() * 2);
      verts.push_back(old[oldIndex]);
      pool[c] = static_cast<int32_t>(next);
      table.GrowIfNeeded(verts.size(), verts.data());
    }
  }
}

// Sharing on two threads, each sharing one half of the corners with a table
// of its own. The first half's numbering is already the final one. A
// position of the second half keeps the first half's number when the first
// half has it; the others follow in the order of the second half's first
// uses, which is their order of first use overall.
void ShareInTwo(PolygonModel& model) {
  int32_t* pool = model.indexPool.data();
  const size_t corners = model.indexPool.size();
  const Float3* old = model.vertices.data();
  const size_t bound = std::min(corners, model.vertices.size());
  const size_t half = corners / 2;

  std::optional<PositionTable> firstTable;
  std::vector<Float3> fresh, second;  // the first half's positions, the second's
  meshpar::RunHalves(true, [&](int h) {
    // Half the single table's guess each; a table grows when its half has
    // more distinct positions.
    const size_t expected = bound / 8 + 16;
    if (h == 0) {
      firstTable.emplace(expected, false);
      ReserveLarge(fresh, bound / 4 + 16);  // room for the second half's own
      ShareRange(pool, old, 0, half, *firstTable, fresh, 0, 500);
    } else {
      PositionTable table(expected, false);
      ReserveLarge(second, expected);
      ShareRange(pool, old, half, corners, table, second, 0, 500);
    }
  });

  // The first half's number of each of the second half's positions, or
  // kNew.
  constexpr uint32_t kNew = UINT32_MAX;
  const size_t n1 = second.size();
  // Every entry is written below: no clearing pass over fresh memory.
  meshmem::ScratchArray<uint32_t> renumber(n1, false);
  size_t added[2] = {0, 0};
  meshpar::RunHalves(true, [&](int h) {
    const size_t i0 = h == 0 ? 0 : n1 / 2, i1 = h == 0 ? n1 / 2 : n1;
    constexpr size_t kAhead = 32;
    auto hashOf = [&](size_t i) { return HashOf(KeyOf(second[i])); };
    for (size_t i = i0; i < std::min(i0 + kAhead, i1); ++i) firstTable->Prefetch(hashOf(i));
    size_t unmatched = 0;
    for (size_t i = i0; i < i1; ++i) {
      if ((i & kCancelStepMask) == 0) LoadCancelPoint(500, 1000);
      if (i + kAhead < i1) firstTable->Prefetch(hashOf(i + kAhead));
      const Key k = KeyOf(second[i]);
      const int64_t found = firstTable->Find(k, HashOf(k), fresh.data());
      renumber[i] = found >= 0 ? static_cast<uint32_t>(found) : kNew;
      unmatched += found < 0;
    }
    added[h] = unmatched;
  });
  firstTable.reset();

  ReserveLarge(fresh, fresh.size() + added[0] + added[1]);
  for (size_t i = 0; i < n1; ++i) {
    if ((i & kCancelStepMask) == 0) LoadCancelPoint(500, 1000);
    if (renumber[i] != kNew) continue;
    renumber[i] = static_cast<uint32_t>(fresh.size());
    fresh.push_back(second[i]);
  }
  second = {};

  // The second half's corners, renumbered in two quarters.
  const size_t quarter = half + (corners - half) / 2;
  meshpar::RunHalves(true, [&](int h) {
    const size_t c0 = h == 0 ? half : quarter, c1 = h == 0 ? quarter : corners;
    const uint64_t steps = corners - half;
    for (size_t c = c0; c < c1; ++c) {
      if ((c & kCancelStepMask) == 0) LoadCancelPoint(steps + (c - half), 2 * steps);
      pool[c] = static_cast<int32_t>(renumber[static_cast<uint32_t>(pool[c])]);
    }
  });
  model.vertices.swap(fresh);
}

}  // namespace

void ShareVertices(PolygonModel& model) {
  if (meshpar::UseHelper(model.indexPool.size())) {
    ShareInTwo(model);
    return;
  }
  const size_t corners = model.indexPool.size();
  const size_t bound = std::min(corners, model.vertices.size());
  // Triangle soups use each position about six times; the table grows when
  // a model has more distinct positions than that.
  PositionTable table(bound / 4 + 16);
  std::vector<Float3> fresh;
  ReserveLarge(fresh, bound / 4 + 16);
  ShareRange(model.indexPool.data(), model.vertices.data(), 0, corners, table, fresh, 0, 1000);
  model.vertices.swap(fresh);
}

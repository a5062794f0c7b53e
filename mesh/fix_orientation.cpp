#include "mesh/fix_orientation.h"

#include <algorithm>
#include <bit>

namespace {

// The set of worklist positions that hold a settled entry not yet handled,
// with a fast search for the first one at or after a position: one bit per
// position and one summary bit per non-zero word on each level above.
class PositionSet {
 public:
  explicit PositionSet(size_t n) {
    size_t words = (n + 63) / 64;
    for (;;) {
      levels_.emplace_back(std::max<size_t>(words, 1), 0);
      if (words <= 1) break;
      words = (words + 63) / 64;
    }
  }

  void Set(size_t i) {
    for (auto& level : levels_) {
      const uint64_t bit = uint64_t{1} << (i & 63);
      uint64_t& w = level[i >> 6];
      const bool wasEmpty = w == 0;
      w |= bit;
      if (!wasEmpty) return;
      i >>= 6;
    }
  }

  void Clear(size_t i) {
    for (auto& level : levels_) {
      uint64_t& w = level[i >> 6];
      w &= ~(uint64_t{1} << (i & 63));
      if (w != 0) return;
      i >>= 6;
    }
  }

  // The first member at or after i, or SIZE_MAX.
  size_t FindFrom(size_t i) const {
    size_t level = 0;
    // Climb until a word holds a member at or after the position.
    for (;;) {
      if (level == levels_.size()) return SIZE_MAX;
      const std::vector<uint64_t>& l = levels_[level];
      const size_t word = i >> 6;
      if (word >= l.size()) return SIZE_MAX;
      const uint64_t w = l[word] & (~uint64_t{0} << (i & 63));
      if (w != 0) {
        i = (word << 6) | static_cast<size_t>(std::countr_zero(w));
        break;
      }
      i = word + 1;  // the first word after this one, one level up
      ++level;
    }
    // Descend to the first set bit below.
    while (level > 0) {
      --level;
      i = (i << 6) | static_cast<size_t>(std::countr_zero(levels_[level][i]));
    }
    return i;
  }

 private:
  std::vector<std::vector<uint64_t>> levels_;
};

enum : uint8_t { kSettled = 1, kReversed = 2 };
enum : uint8_t { kBackward = 1, kLastInGroup = 2, kHandled = 4 };

// One edge record before grouping: the other end point, the corner (its
// position in the index pool, which is also its insertion order) and the
// polygon, whose top bit says the corner runs from the lower vertex.
struct Pending {
  uint32_t other;
  uint32_t corner;
  uint32_t polyFwd;
};

inline bool Before(const Pending& a, const Pending& b) {
  return a.other != b.other ? a.other < b.other : a.corner < b.corner;
}

}  // namespace

void FixOrientation(PolygonModel& model) {
  const int32_t np = model.PolygonCount();
  const size_t nvert = model.vertices.size();
  const uint32_t* start = model.polyStart.data();
  int32_t* pool = model.indexPool.data();

  // The worklist in polygon order.
  std::vector<uint32_t> order;
  for (int32_t p = 0; p < np; ++p)
    if (start[p + 1] - start[p] >= 3) order.push_back(static_cast<uint32_t>(p));
  if (order.empty()) return;
  const size_t entries = order.size();

  // The edge table: every corner's edge (a, b) filed under its lower end
  // point by a stable counting sort, then each bucket ordered by the higher
  // end point, insertion order kept. A run of equal end points is one
  // group; its first record fixes the key's direction.
  std::vector<uint32_t> offset(nvert + 1, 0);
  for (uint32_t p : order) {
    const int32_t* idx = pool + start[p];
    const uint32_t n = start[p + 1] - start[p];
    for (uint32_t j = 0; j < n; ++j) {
      const int32_t a = idx[j], b = idx[j + 1 == n ? 0 : j + 1];
      ++offset[std::min(a, b) + 1];
    }
  }
  for (size_t v = 0; v < nvert; ++v) offset[v + 1] += offset[v];
  const size_t records = offset[nvert];

  std::vector<uint32_t> groupOf(model.indexPool.size());  // first record of a corner's group
  std::vector<uint32_t> recPoly(records);
  std::vector<uint8_t> recFlags(records);
  {
    std::vector<Pending> pending(records);
    std::vector<uint32_t> fill(offset.begin(), offset.end() - 1);
    for (uint32_t p : order) {
      const uint32_t s = start[p], n = start[p + 1] - s;
      const int32_t* idx = pool + s;
      for (uint32_t j = 0; j < n; ++j) {
        const uint32_t a = static_cast<uint32_t>(idx[j]);
        const uint32_t b = static_cast<uint32_t>(idx[j + 1 == n ? 0 : j + 1]);
        const bool fwd = a <= b;
        pending[fill[fwd ? a : b]++] = {fwd ? b : a, s + j, p | (fwd ? 0x80000000u : 0u)};
      }
    }
    std::vector<uint32_t>().swap(fill);

    for (size_t v = 0; v < nvert; ++v) {
      Pending* first = pending.data() + offset[v];
      Pending* last = pending.data() + offset[v + 1];
      const size_t count = static_cast<size_t>(last - first);
      if (count > 24) {
        std::sort(first, last, Before);
      } else {
        for (Pending* i = first + 1; i < last; ++i) {
          const Pending x = *i;
          Pending* j = i;
          for (; j > first && Before(x, j[-1]); --j) *j = j[-1];
          *j = x;
        }
      }
      for (Pending* g = first; g < last;) {
        Pending* end = g + 1;
        while (end < last && end->other == g->other) ++end;
        const uint32_t g0 = static_cast<uint32_t>(g - pending.data());
        const bool loop = g->other == v;
        const uint32_t keyFwd = g->polyFwd & 0x80000000u;
        for (Pending* r = g; r < end; ++r) {
          const uint32_t i = static_cast<uint32_t>(r - pending.data());
          groupOf[r->corner] = g0;
          recPoly[i] = r->polyFwd & 0x7FFFFFFFu;
          // A record runs against the key when its direction differs from
          // the first record's; an edge from a vertex to itself is filed
          // against its first record every time after the first.
          const bool backward = loop ? r != g : (r->polyFwd & 0x80000000u) != keyFwd;
          recFlags[i] =
              static_cast<uint8_t>((backward ? kBackward : 0) | (r + 1 == end ? kLastInGroup : 0));
        }
        g = end;
      }
    }
  }
  std::vector<uint32_t>().swap(offset);

  std::vector<uint8_t> state(static_cast<size_t>(np), 0);
  std::vector<uint32_t> posOf(static_cast<size_t>(np), 0);
  for (size_t i = 0; i < entries; ++i) posOf[order[i]] = static_cast<uint32_t>(i);
  PositionSet settled(entries);

  state[order[0]] = kSettled;
  settled.Set(0);
  for (size_t c = 0; c < entries; ++c) {
    uint32_t p = order[c];
    if (state[p] & kSettled) {
      settled.Clear(c);
    } else {
      const size_t f = settled.FindFrom(c + 1);
      if (f != SIZE_MAX) {
        // The first settled entry further down takes the cursor's place.
        const uint32_t q = order[f];
        order[c] = q;
        order[f] = p;
        posOf[q] = static_cast<uint32_t>(c);
        posOf[p] = static_cast<uint32_t>(f);
        settled.Clear(f);
        p = q;
      } else {
        state[p] |= kSettled;  // the seed of a new group
      }
    }

    const uint32_t s = start[p], n = start[p + 1] - s;
    const bool reversed = state[p] & kReversed;
    for (uint32_t j = 0; j < n; ++j) {
      // After a reversal corner j's edge is the original edge n-2-j (the
      // closing edge stays last); both lie in the same group.
      const uint32_t k = !reversed ? j : (j + 1 < n ? n - 2 - j : n - 1);
      const uint32_t g = groupOf[s + k];
      if (recFlags[g] & kHandled) continue;
      uint32_t mine = g;
      while (recPoly[mine] != p) ++mine;
      // The direction this polygon now runs along the edge, relative to the key.
      const bool sBackward = ((recFlags[mine] & kBackward) != 0) != reversed;
      for (uint32_t r = g;; ++r) {
        const uint32_t q = recPoly[r];
        if (!(state[q] & kSettled)) {
          // Unsettled polygons are unreversed, so the record's direction is theirs.
          if (((recFlags[r] & kBackward) != 0) == sBackward) {
            std::reverse(pool + start[q], pool + start[q + 1]);
            state[q] |= kReversed;
          }
          state[q] |= kSettled;
          settled.Set(posOf[q]);
        }
        if (recFlags[r] & kLastInGroup) break;
      }
      recFlags[g] |= kHandled;
    }
  }
}

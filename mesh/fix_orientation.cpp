#include "mesh/fix_orientation.h"

#include <algorithm>
#include <atomic>
#include <bit>

#include "core/load_progress.h"
#include "mesh/corner_index.h"
#include "mesh/parallel.h"

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

constexpr uint32_t kSettled = 1, kReversed = 2;
constexpr uint32_t kBackward = 1, kLastInGroup = 2, kHandled = 4;

// A record of the edge table holds a polygon and its flags (kBackward: runs
// against the key; kLastInGroup; kHandled on a group's first); the records
// of one group are consecutive, in insertion order. A polygon's entry holds
// its place in the worklist and its state. Both take one 32-bit word when
// the polygon count leaves the top bits free (less memory to clear and to
// miss in), else two.
struct NarrowLayout {
  using Record = uint32_t;
  using Entry = uint32_t;
  static constexpr int kShift = 29;
  static constexpr uint32_t kLow = (uint32_t{1} << kShift) - 1;
  static bool Fits(size_t polygons) { return polygons <= kLow; }
  static Record MakeRecord(uint32_t poly, uint32_t flags) { return poly | flags << kShift; }
  static uint32_t Poly(Record r) { return r & kLow; }
  static uint32_t Flags(Record r) { return r >> kShift; }
  static void Mark(Record& r, uint32_t flags) { r |= flags << kShift; }
  static uint32_t Pos(Entry e) { return e & kLow; }
  static void SetPos(Entry& e, uint32_t pos) { e = (e & ~kLow) | pos; }
  static uint32_t State(Entry e) { return e >> kShift; }
  static void AddState(Entry& e, uint32_t state) { e |= state << kShift; }
};

std::atomic<bool> g_forceWide{false};

struct WideLayout {
  using Record = uint64_t;
  using Entry = uint64_t;
  static Record MakeRecord(uint32_t poly, uint32_t flags) {
    return poly | static_cast<uint64_t>(flags) << 32;
  }
  static uint32_t Poly(Record r) { return static_cast<uint32_t>(r); }
  static uint32_t Flags(Record r) { return static_cast<uint32_t>(r >> 32); }
  static void Mark(Record& r, uint32_t flags) { r |= static_cast<uint64_t>(flags) << 32; }
  static uint32_t Pos(Entry e) { return static_cast<uint32_t>(e); }
  static void SetPos(Entry& e, uint32_t pos) { e = (e & ~uint64_t{0xFFFFFFFFu}) | pos; }
  static uint32_t State(Entry e) { return static_cast<uint32_t>(e >> 32); }
  static void AddState(Entry& e, uint32_t state) { e |= static_cast<uint64_t>(state) << 32; }
};

// One edge record before grouping: the other end point, the corner the edge
// starts at (its position in the index pool, which is also its insertion
// order) and the polygon, whose top bit says the edge runs from the lower
// vertex.
struct Pending {
  uint32_t other;
  uint32_t corner;
  uint32_t polyFwd;
};

inline bool Before(const Pending& a, const Pending& b) {
  return a.other != b.other ? a.other < b.other : a.corner < b.corner;
}

template <class L>
void Orient(PolygonModel& model, const CornerIndex& index, std::vector<uint8_t>& reversedPolygons) {
  using Record = typename L::Record;
  const int32_t np = model.PolygonCount();
  const size_t nvert = model.vertices.size();
  const uint32_t* start = model.polyStart.data();
  int32_t* pool = model.indexPool.data();

  // The worklist in polygon order.
  size_t entries = 0;
  for (int32_t p = 0; p < np; ++p) entries += start[p + 1] - start[p] >= 3;
  meshmem::ScratchArray<uint32_t> order(entries);
  for (int32_t p = 0, i = 0; p < np; ++p)
    if (start[p + 1] - start[p] >= 3) order[i++] = static_cast<uint32_t>(p);

  // The edge table. Each corner's edge (a, b) is filed under its lower end
  // point: walking vertex v's corners finds the edges leaving v upwards and
  // those arriving from above. Ordered by the other end point, insertion
  // order (the corner's pool position) kept, a run of equal end points is
  // one group; its first record fixes the key's direction.
  const size_t records = index.refs.size();
  meshmem::ScratchArray<uint32_t> groupOf(
      model.indexPool.size());  // first record of a corner's group
  meshmem::ScratchArray<Record> recs(records);
  // Two ranges of vertices with about as many records each. The first
  // files its vertices' records from the front; the second walks its
  // vertices downwards and files from the back, so that every vertex's
  // records land where one pass over all vertices would put them.
  const size_t mid = std::upper_bound(index.offset.begin(), index.offset.begin() + nvert,
                                      index.offset[nvert] / 2) -
                     index.offset.begin();
  const size_t cut = std::min(mid, nvert);
  meshpar::RunHalves(meshpar::UseHelper(model.indexPool.size()), [&](int h) {
    const size_t v0 = h == 0 ? 0 : cut, v1 = h == 0 ? cut : nvert;
    uint32_t most = 0;
    for (size_t v = v0; v < v1; ++v) most = std::max(most, index.offset[v + 1] - index.offset[v]);
    std::vector<Pending> bucket(size_t{most} * 2);
    // The first record past the vertices filed so far (front), or the
    // first of them (back).
    uint32_t edge = h == 0 ? 0 : static_cast<uint32_t>(records);
    for (size_t i = 0; i < v1 - v0; ++i) {
      const size_t v = h == 0 ? v0 + i : v1 - 1 - i;
      if ((v & kCancelStepMask) == 0) LoadCancelPoint(i, 2 * (v1 - v0));
      Pending* const first = bucket.data();
      Pending* last = first;
      for (uint32_t j = index.offset[v]; j < index.offset[v + 1]; ++j) {
        const uint32_t k = index.refs[j].corner, p = index.refs[j].poly;
        const uint32_t s = start[p], e = start[p + 1];
        const uint32_t after = k + 1 == e ? s : k + 1, before = k == s ? e - 1 : k - 1;
        const uint32_t b = static_cast<uint32_t>(pool[after]);
        const uint32_t a = static_cast<uint32_t>(pool[before]);
        if (b >= v) *last++ = {b, k, p | 0x80000000u};
        if (a > v) *last++ = {a, before, p};
      }
      if (last - first > 24) {
        std::sort(first, last, Before);
      } else if (last - first > 1) {
        // (The bucket of a model with no edges is empty: first may be null.)
        for (Pending* x = first + 1; x < last; ++x) {
          const Pending y = *x;
          Pending* z = x;
          for (; z > first && Before(y, z[-1]); --z) *z = z[-1];
          *z = y;
        }
      }
      const uint32_t count = static_cast<uint32_t>(last - first);
      uint32_t next = h == 0 ? edge : edge - count;
      edge = h == 0 ? edge + count : edge - count;
      for (Pending* g = first; g < last;) {
        Pending* end = g + 1;
        while (end < last && end->other == g->other) ++end;
        const uint32_t g0 = next;
        const bool loop = g->other == v;
        const uint32_t keyFwd = g->polyFwd & 0x80000000u;
        for (Pending* r = g; r < end; ++r, ++next) {
          groupOf[r->corner] = g0;
          // A record runs against the key when its direction differs from
          // the first record's; an edge from a vertex to itself is filed
          // against its first record every time after the first.
          const bool backward = loop ? r != g : (r->polyFwd & 0x80000000u) != keyFwd;
          recs[next] =
              L::MakeRecord(r->polyFwd & 0x7FFFFFFFu,
                            (backward ? kBackward : 0) | (r + 1 == end ? kLastInGroup : 0));
        }
        g = end;
      }
    }
  });

  meshmem::ScratchArray<typename L::Entry> entry(static_cast<size_t>(np));
  for (size_t i = 0; i < entries; ++i) L::SetPos(entry[order[i]], static_cast<uint32_t>(i));
  PositionSet settled(entries);
  bool anyReversed = false;

  L::AddState(entry[order[0]], kSettled);
  settled.Set(0);
  for (size_t c = 0; c < entries; ++c) {
    if ((c & kCancelStepMask) == 0) LoadCancelPoint(entries + c, 2 * entries);
    uint32_t p = order[c];
    if (L::State(entry[p]) & kSettled) {
      settled.Clear(c);
    } else {
      const size_t f = settled.FindFrom(c + 1);
      if (f != SIZE_MAX) {
        // The first settled entry further down takes the cursor's place.
        const uint32_t q = order[f];
        order[c] = q;
        order[f] = p;
        L::SetPos(entry[q], static_cast<uint32_t>(c));
        L::SetPos(entry[p], static_cast<uint32_t>(f));
        settled.Clear(f);
        p = q;
      } else {
        L::AddState(entry[p], kSettled);  // the seed of a new group
      }
    }

    const uint32_t s = start[p], n = start[p + 1] - s;
    const bool reversed = L::State(entry[p]) & kReversed;
    for (uint32_t j = 0; j < n; ++j) {
      // After a reversal corner j's edge is the original edge n-2-j (the
      // closing edge stays last); both lie in the same group.
      const uint32_t k = !reversed ? j : (j + 1 < n ? n - 2 - j : n - 1);
      Record* group = recs.data() + groupOf[s + k];
      if (L::Flags(*group) & kHandled) continue;
      const Record* mine = group;
      while (L::Poly(*mine) != p) ++mine;
      // The direction this polygon now runs along the edge, relative to the key.
      const bool sBackward = ((L::Flags(*mine) & kBackward) != 0) != reversed;
      for (const Record* r = group;; ++r) {
        const uint32_t q = L::Poly(*r);
        typename L::Entry& other = entry[q];
        if (!(L::State(other) & kSettled)) {
          // Unsettled polygons are unreversed, so the record's direction is theirs.
          if (((L::Flags(*r) & kBackward) != 0) == sBackward) {
            std::reverse(pool + start[q], pool + start[q + 1]);
            L::AddState(other, kReversed);
            anyReversed = true;
          }
          L::AddState(other, kSettled);
          settled.Set(L::Pos(other));
        }
        if (L::Flags(*r) & kLastInGroup) break;
      }
      L::Mark(*group, kHandled);
    }
  }

  if (!anyReversed) return;
  reversedPolygons.resize(static_cast<size_t>(np));
  for (int32_t p = 0; p < np; ++p) reversedPolygons[p] = (L::State(entry[p]) & kReversed) != 0;
}

}  // namespace

void FixOrientation(PolygonModel& model) {
  CornerIndex index;
  BuildCornerIndex(model, index);
  std::vector<uint8_t> reversed;
  FixOrientation(model, index, reversed);
}

void FixOrientation(PolygonModel& model, const CornerIndex& index,
                    std::vector<uint8_t>& reversedPolygons) {
  reversedPolygons.clear();
  // Without a vertex used twice no two polygons share an edge.
  if (!index.shared) return;
  if (!g_forceWide && NarrowLayout::Fits(static_cast<size_t>(model.PolygonCount())))
    Orient<NarrowLayout>(model, index, reversedPolygons);
  else
    Orient<WideLayout>(model, index, reversedPolygons);
  // A reversed polygon's texture coordinates follow its corners.
  std::vector<Float2>& uv = model.appearance.cornerUV;
  if (reversedPolygons.empty() || uv.size() != model.indexPool.size()) return;
  const uint32_t* start = model.polyStart.data();
  for (size_t p = 0; p < reversedPolygons.size(); ++p)
    if (reversedPolygons[p]) std::reverse(uv.begin() + start[p], uv.begin() + start[p + 1]);
}

void SetWideOrientationRecords(bool wide) { g_forceWide = wide; }

#include "mesh/corner_index.h"

#include "core/load_progress.h"

void BuildCornerIndex(const PolygonModel& model, CornerIndex& index) {
  const size_t nvert = model.vertices.size();
  const int32_t np = model.PolygonCount();
  const uint32_t* start = model.polyStart.data();
  const int32_t* pool = model.indexPool.data();

  // Counts first; the prefix sums make each offset the end of its bucket,
  // and filling backwards moves it to the bucket's start while keeping the
  // order.
  index.offset = meshmem::ScratchArray<uint32_t>(nvert + 1);
  uint32_t* offset = index.offset.data();
  uint32_t most = 0;
  const uint64_t steps = 2 * static_cast<uint64_t>(np);
  for (int32_t p = 0; p < np; ++p) {
    if ((p & kCancelStepMask) == 0) LoadCancelPoint(static_cast<uint64_t>(p), steps);
    const uint32_t s = start[p], e = start[p + 1];
    if (e - s < 3) continue;
    for (uint32_t k = s; k < e; ++k) {
      const uint32_t c = ++offset[pool[k]];
      most = c > most ? c : most;
    }
  }
  index.shared = most > 1;
  index.refs = {};
  if (!index.shared) {
    index.offset = {};
    return;
  }

  uint32_t total = 0;
  for (size_t v = 0; v < nvert; ++v) offset[v] = total += offset[v];
  offset[nvert] = total;
  index.refs = meshmem::ScratchArray<CornerRef>(total);
  CornerRef* refs = index.refs.data();
  for (int32_t p = np; p-- > 0;) {
    if ((p & kCancelStepMask) == 0) LoadCancelPoint(steps - static_cast<uint64_t>(p), steps);
    const uint32_t s = start[p], e = start[p + 1];
    if (e - s < 3) continue;
    for (uint32_t k = e; k-- > s;) refs[--offset[pool[k]]] = {k, static_cast<uint32_t>(p)};
  }
}

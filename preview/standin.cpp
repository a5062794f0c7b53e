#include "preview/standin.h"

#include "mesh/simplify.h"

namespace {

// The polygons of model (no normals: the simplifier makes its own) in the
// colours of their appearance's materials; empty when no polygon has one.
PolygonModel InMaterialColours(const PolygonModel& model) {
  PolygonModel out;
  const SurfaceAppearance& a = model.appearance;
  const size_t count = static_cast<size_t>(model.PolygonCount());
  if (a.materials.empty() || a.polygonMaterial.size() < count) return out;
  out.vertices = model.vertices;
  out.polyStart = model.polyStart;
  out.indexPool = model.indexPool;
  out.polyMaterial = model.polyMaterial;
  out.polyColor = model.polyColor;
  for (size_t p = 0; p < count; ++p) {
    const int32_t k = a.polygonMaterial[p];
    if (k < 0 || static_cast<size_t>(k) >= a.materials.size()) continue;
    const float* c = a.materials[static_cast<size_t>(k)].color;
    out.polyColor[p] = {c[0], c[1], c[2]};
    if (out.polyMaterial[p] < 0) out.polyMaterial[p] = k;
  }
  return out;
}

}  // namespace

void StandInBuilder::Start(const PolygonModel& model, int32_t maxTriangles,
                           std::function<void()> done, bool materialColours) {
  Cancel();
  cancel_ = false;
  done_ = false;
  thread_ = std::thread([this, &model, maxTriangles, done = std::move(done), materialColours] {
    std::unique_ptr<PolygonModel> made;
    try {
      PolygonModel coloured;
      if (materialColours) coloured = InMaterialColours(model);
      const PolygonModel& from = coloured.PolygonCount() > 0 ? coloured : model;
      auto m = std::make_unique<PolygonModel>(SimplifyByClustering(from, maxTriangles, &cancel_));
      if (m->PolygonCount() > 0) made = std::move(m);
    } catch (...) {
      // Out of memory: the full model is drawn while moving as well.
    }
    const bool ready = made != nullptr;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      result_ = std::move(made);
      done_ = true;
    }
    if (ready && done && !cancel_) done();
  });
}

void StandInBuilder::Cancel() {
  cancel_ = true;
  if (thread_.joinable()) thread_.join();
  std::lock_guard<std::mutex> lock(mutex_);
  result_.reset();
  done_ = false;
}

std::unique_ptr<PolygonModel> StandInBuilder::Take() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!done_) return nullptr;
  }
  // The thread has nothing left to do but return.
  if (thread_.joinable()) thread_.join();
  std::lock_guard<std::mutex> lock(mutex_);
  done_ = false;
  return std::move(result_);
}

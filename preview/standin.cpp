#include "preview/standin.h"

#include <chrono>
#include <condition_variable>

#include "mesh/simplify_detail.h"

// One build's stop flag and how far its thread is.
struct StandInBuilder::Build {
  std::atomic<bool> cancel{false};
  std::atomic<bool> modelDone{false};  // the model is read no more
  std::mutex mutex;
  std::condition_variable changed;
  bool finished = false;

  void Finish() {
    std::lock_guard<std::mutex> lock(mutex);
    finished = true;
    changed.notify_all();
  }
};

namespace {

// Null when the model gave nothing or memory ran out: the full model is
// drawn instead.
std::unique_ptr<PolygonModel> Level(const PolygonModel& model, int32_t maxTriangles,
                                    const std::atomic<bool>& cancel,
                                    std::atomic<bool>* modelDone = nullptr) {
  try {
    auto m =
        std::make_unique<PolygonModel>(SimplifyForDetail(model, maxTriangles, &cancel, modelDone));
    if (m->PolygonCount() > 0 && !cancel) return m;
  } catch (...) {
  }
  if (modelDone) *modelDone = true;
  return nullptr;
}

}  // namespace

StandInBuilder::~StandInBuilder() {
  Cancel();
  Reap(true);
}

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
                           std::function<void()> done, int32_t detailTriangles,
                           std::function<void()> detailDone, bool materialColours) {
  Cancel();
  Reap(false);
  auto build = std::make_shared<Build>();
  build_ = build;
  thread_ = std::thread([this, build, &model, maxTriangles, detailTriangles, done = std::move(done),
                         detailDone = std::move(detailDone), materialColours] {
    // The thread's own copy in material colours, when the appearance has
    // them: both levels are simplified from it.
    PolygonModel coloured;
    if (materialColours) {
      try {
        coloured = InMaterialColours(model);
      } catch (...) {
        coloured = PolygonModel{};  // out of memory: flat colours after all
      }
    }
    const PolygonModel& from = coloured.PolygonCount() > 0 ? coloured : model;
    std::unique_ptr<PolygonModel> made = Level(from, maxTriangles, build->cancel);
    const bool ready = made != nullptr;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (build->cancel) return build->Finish();
      result_ = std::move(made);
      done_ = true;
    }
    if (ready && done) done();
    if (detailTriangles > maxTriangles && from.PolygonCount() > detailTriangles) {
      // Cancel waits only until the model is read no more.
      made = Level(from, detailTriangles, build->cancel, &build->modelDone);
      const bool detailReady = made != nullptr;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        if (build->cancel) return build->Finish();
        detail_ = std::move(made);
        detailDone_ = true;
      }
      if (detailReady && detailDone) detailDone();
    }
    build->Finish();
  });
}

void StandInBuilder::Cancel() {
  if (!build_) return;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    build_->cancel = true;
    result_.reset();
    detail_.reset();
    done_ = detailDone_ = false;
  }
  std::shared_ptr<Build> build = std::move(build_);
  bool finished;
  {
    std::unique_lock<std::mutex> lock(build->mutex);
    // The model being let go of is not signalled: looked at every millisecond.
    while (!build->changed.wait_for(lock, std::chrono::milliseconds(1),
                                    [&] { return build->finished || build->modelDone; })) {
    }
    finished = build->finished;
  }
  if (finished)
    thread_.join();
  else
    retired_.emplace_back(std::move(thread_), std::move(build));
}

void StandInBuilder::Reap(bool wait) {
  for (size_t i = 0; i < retired_.size();) {
    bool finished;
    {
      std::lock_guard<std::mutex> lock(retired_[i].second->mutex);
      finished = retired_[i].second->finished;
    }
    if (finished || wait) {
      retired_[i].first.join();
      retired_.erase(retired_.begin() + static_cast<ptrdiff_t>(i));
    } else {
      ++i;
    }
  }
}

std::unique_ptr<PolygonModel> StandInBuilder::Take() {
  // The thread may go on to the level of detail: it is not waited for.
  std::lock_guard<std::mutex> lock(mutex_);
  if (!done_) return nullptr;
  done_ = false;
  return std::move(result_);
}

std::unique_ptr<PolygonModel> StandInBuilder::TakeDetail() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!detailDone_) return nullptr;
  detailDone_ = false;
  return std::move(detail_);
}

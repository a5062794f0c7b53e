#include "preview/standin.h"

#include "mesh/simplify.h"

void StandInBuilder::Start(const PolygonModel& model, int32_t maxTriangles,
                           std::function<void()> done) {
  Cancel();
  cancel_ = false;
  done_ = false;
  thread_ = std::thread([this, &model, maxTriangles, done = std::move(done)] {
    std::unique_ptr<PolygonModel> made;
    try {
      auto m = std::make_unique<PolygonModel>(SimplifyByClustering(model, maxTriangles, &cancel_));
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

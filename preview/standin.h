// Builds the coarse stand-in of a model on a thread of its own, so that the
// window goes on while it is made. One build at a time; a new start or
// Cancel stops the running one and waits for its thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "core/model.h"

class StandInBuilder {
 public:
  StandInBuilder() = default;
  ~StandInBuilder() { Cancel(); }
  StandInBuilder(const StandInBuilder&) = delete;
  StandInBuilder& operator=(const StandInBuilder&) = delete;

  // Starts a stand-in of at most maxTriangles triangles. The model is read
  // on the thread: it must stay unchanged until Cancel or Take returns one.
  // done, when given, is called on the builder's thread once a stand-in is
  // ready to take (not after Cancel).
  // With materialColours, polygons with a material of the model's
  // appearance take that material's colour, as its appearance is drawn.
  void Start(const PolygonModel& model, int32_t maxTriangles, std::function<void()> done = nullptr,
             bool materialColours = false);
  // Stops a running build and waits for its thread; drops a finished one.
  void Cancel();
  // The finished stand-in, handed out once; null while it is being built,
  // after Cancel, or when the model gave nothing to draw.
  std::unique_ptr<PolygonModel> Take();

 private:
  std::thread thread_;
  std::atomic<bool> cancel_{false};
  std::mutex mutex_;
  bool done_ = false;
  std::unique_ptr<PolygonModel> result_;
};

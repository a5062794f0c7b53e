// Builds the coarse stand-in of a model, then its finer level of detail, on
// a thread of their own, so that the window goes on while they are made.
// One build at a time; a new start or Cancel stops the running one and
// waits until its thread no longer reads the model (a level's last step
// works on its own data and cannot be stopped: it is let finish aside and
// its thread joined later).
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "core/model.h"

class StandInBuilder {
 public:
  StandInBuilder() = default;
  ~StandInBuilder();
  StandInBuilder(const StandInBuilder&) = delete;
  StandInBuilder& operator=(const StandInBuilder&) = delete;

  // Starts a stand-in of at most maxTriangles triangles, then, when
  // detailTriangles is above it and below the model's polygon count, a
  // level of at most detailTriangles. The model is read on the thread: it
  // must stay unchanged until Cancel, or until TakeDetail returns one or
  // DetailDone is true. done and detailDone, when given, are called on the
  // builder's thread once each is ready to take (not after Cancel).
  // With materialColours, polygons with a material of the model's
  // appearance take that material's colour, as its appearance is drawn.
  void Start(const PolygonModel& model, int32_t maxTriangles, std::function<void()> done = nullptr,
             int32_t detailTriangles = 0, std::function<void()> detailDone = nullptr,
             bool materialColours = false);
  // Stops a running build and waits until it no longer reads the model;
  // drops finished ones.
  void Cancel();
  // The finished stand-in, handed out once; null while it is being built,
  // after Cancel, or when the model gave nothing to draw.
  std::unique_ptr<PolygonModel> Take();
  // The finished level of detail, handed out once, as Take.
  std::unique_ptr<PolygonModel> TakeDetail();

 private:
  struct Build;
  // Joins the set-aside threads that have finished (all when wait).
  void Reap(bool wait);

  std::thread thread_;
  std::shared_ptr<Build> build_;
  std::vector<std::pair<std::thread, std::shared_ptr<Build>>> retired_;
  std::mutex mutex_;
  bool done_ = false, detailDone_ = false;
  std::unique_ptr<PolygonModel> result_, detail_;
};

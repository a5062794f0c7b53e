// How a drawing is stopped part way and shares its model with the owner:
// the cancel flag, the model hold and the call between slices. The scene
// and the buffer objects both draw under it.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>

#include "preview/model_hold.h"

struct DrawControl {
  // Set from another thread to stop a frame or a buffer fill part way: the
  // drawing returns within one slice of the model, the picture unfinished.
  const std::atomic<bool>* cancel = nullptr;
  // When set, the model is held through this: the drawing lets the owner
  // take it between slices and stops once it has.
  ModelHold* hold = nullptr;
  // Called between slices of a frame drawn without buffers, on the drawing
  // thread: the picture so far may be read back.
  const std::function<void()>* onSlice = nullptr;
};

// Whether the drawing has been asked to stop (or its model taken); called
// between slices only. Once true, nothing of the model may be read.
inline bool DrawCancelled(const DrawControl& c) {
  if (c.hold && !c.hold->Yield()) return true;
  return c.cancel && c.cancel->load(std::memory_order_relaxed);
}
// Lets go of the model around a long driver call that does not read it.
class DrawAwayFromModel {
 public:
  explicit DrawAwayFromModel(const DrawControl& c) : hold_(c.hold) {
    if (hold_) hold_->LetGo();
  }
  ~DrawAwayFromModel() {
    if (hold_) hold_->Retake();
  }
  DrawAwayFromModel(const DrawAwayFromModel&) = delete;
  DrawAwayFromModel& operator=(const DrawAwayFromModel&) = delete;

 private:
  ModelHold* hold_;
};
// Between two slices of a drawing: false when it has been asked to stop.
inline bool DrawNextSlice(const DrawControl& c) {
  if (DrawCancelled(c)) return false;
  if (!c.onSlice) return true;
  (*c.onSlice)();
  return !DrawCancelled(c);
}
// Polygons (or indices of a buffer draw) between two looks at the cancel
// flag: a few milliseconds of drawing on a software renderer.
inline constexpr int32_t kDrawSlice = 1 << 16;

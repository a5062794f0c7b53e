// The X server's own pointer, moved through its XTest extension: events
// that come the way a user's mouse sends them. The gesture runs on a thread
// of its own with its own connection, because once a drag starts the
// window's thread stays inside it until the drop.
#pragma once

#include <atomic>
#include <thread>

class XTestPointer {
 public:
  XTestPointer();
  ~XTestPointer();
  XTestPointer(const XTestPointer&) = delete;
  XTestPointer& operator=(const XTestPointer&) = delete;

  // A display with the XTest extension.
  bool ok() const { return ok_; }
  // The last gesture has released its button.
  bool Done() const { return done_; }

  // Moves to (x0, y0), presses the left button, moves to (x1, y1) in steps
  // stepMs apart (0: all at once), waits releaseMs and releases there.
  // Screen coordinates.
  void Drag(int x0, int y0, int x1, int y1, int steps, int stepMs, int releaseMs);

 private:
  void* display_ = nullptr;
  bool ok_ = false;
  std::atomic<bool> done_{false};
  std::thread thread_;
};

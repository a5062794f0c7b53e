#include "xtest_pointer.h"

#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>

#include <chrono>

namespace {
Display* D(void* p) { return static_cast<Display*>(p); }
void Pause(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }
}  // namespace

XTestPointer::XTestPointer() : display_(XOpenDisplay(nullptr)) {
  int event, error, major, minor;
  ok_ = display_ && XTestQueryExtension(D(display_), &event, &error, &major, &minor);
}

XTestPointer::~XTestPointer() {
  if (thread_.joinable()) thread_.join();
  if (display_) XCloseDisplay(D(display_));
}

void XTestPointer::Drag(int x0, int y0, int x1, int y1, int steps, int stepMs, int releaseMs) {
  if (thread_.joinable()) thread_.join();
  done_ = false;
  thread_ = std::thread([=, this] {
    Display* d = D(display_);
    auto moveTo = [d](int x, int y) {
      XTestFakeMotionEvent(d, -1, x, y, CurrentTime);
      XFlush(d);
    };
    moveTo(x0, y0);
    Pause(100);
    XTestFakeButtonEvent(d, 1, True, CurrentTime);
    XFlush(d);
    Pause(stepMs);
    for (int i = 1; i <= steps; ++i) {
      moveTo(x0 + (x1 - x0) * i / steps, y0 + (y1 - y0) * i / steps);
      Pause(stepMs);
    }
    Pause(releaseMs);
    XTestFakeButtonEvent(d, 1, False, CurrentTime);
    XFlush(d);
    done_ = true;
  });
}

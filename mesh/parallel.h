// The second core for mesh preparation. Work is cut into two fixed halves
// whose results are joined in order, so the outcome is the same bit for bit
// whether the halves run side by side or one after the other.
#pragma once

#include <cstddef>
#include <exception>
#include <system_error>
#include <thread>

#include "core/load_progress.h"

namespace meshpar {

// Corners below which a model is prepared on one thread: starting a thread
// costs more than it saves there.
constexpr size_t kDefaultMinCorners = size_t{1} << 16;

// threads 1 keeps preparation on the calling thread; 2 lets models of at
// least minCorners corners use a helper; 0 restores the default (2 with two
// or more cores, else 1).
void SetThreads(int threads, size_t minCorners = kDefaultMinCorners);

// Whether a model of this many corners is prepared with a helper thread.
bool UseHelper(size_t corners);

// Runs half(0) on a helper thread and half(1) on this one when parallel,
// else half(0) then half(1) here. An exception from either is rethrown after
// both have ended (the first half's first).
template <class F>
void RunHalves(bool parallel, F&& half) {
  if (!parallel) {
    half(0);
    half(1);
    return;
  }
  std::exception_ptr first, second;
  std::thread helper;
  // The helper answers the same cancel as the thread that started it.
  LoadControl* control = InstalledLoadControl();
  try {
    helper = std::thread([&] {
      ScopedLoadControl scope(control);
      try {
        half(0);
      } catch (...) {
        first = std::current_exception();
      }
    });
  } catch (const std::system_error&) {
    // No thread to be had: the same halves, one after the other.
    half(0);
    half(1);
    return;
  }
  try {
    half(1);
  } catch (...) {
    second = std::current_exception();
  }
  helper.join();
  if (first) std::rethrow_exception(first);
  if (second) std::rethrow_exception(second);
}

}  // namespace meshpar

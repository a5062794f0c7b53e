#include "mesh/parallel.h"

#include <atomic>

namespace meshpar {
namespace {

std::atomic<int> g_threads{0};  // 0: not decided yet
std::atomic<size_t> g_minCorners{kDefaultMinCorners};

}  // namespace

void SetThreads(int threads, size_t minCorners) {
  g_threads = threads <= 0 ? 0 : threads > 1 ? 2 : 1;
  g_minCorners = minCorners;
}

bool UseHelper(size_t corners) {
  int threads = g_threads;
  if (threads == 0) {
    threads = std::thread::hardware_concurrency() > 1 ? 2 : 1;
    g_threads = threads;
  }
  return threads > 1 && corners >= g_minCorners;
}

}  // namespace meshpar

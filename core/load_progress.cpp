#include "core/load_progress.h"

#include <sys/stat.h>

#include <algorithm>

int LoadControl::Permille() const {
  const int s = stage.load(std::memory_order_relaxed);
  if (s > 0) {
    const int within = stagePermille.load(std::memory_order_relaxed);
    return 600 + (400 * (s - 1) + 400 * within / 1000) / kPrepareStages;
  }
  const int64_t t = total.load(std::memory_order_relaxed);
  const int64_t d = consumed.load(std::memory_order_relaxed);
  if (t <= 0 || d <= 0) return 0;
  return d >= t ? 600 : static_cast<int>(600 * d / t);
}

void ReportLoadBytes(LoadControl& c, int64_t consumed, int64_t total) {
  // A reader may open the file more than once (a probe, then the real
  // pass): the bar never goes back.
  if (total > 0) c.total.store(total, std::memory_order_relaxed);
  if (consumed > c.consumed.load(std::memory_order_relaxed))
    c.consumed.store(consumed, std::memory_order_relaxed);
  if (c.onCheckpoint) c.onCheckpoint(c);
}

bool LoadCheckpointFile(FILE* f) {
  LoadControl* c = InstalledLoadControl();
  if (!c) return true;
  struct stat st;
  const off_t at = f ? ftello(f) : -1;
  if (f && at >= 0 && fstat(fileno(f), &st) == 0 && S_ISREG(st.st_mode))
    ReportLoadBytes(*c, static_cast<int64_t>(at), static_cast<int64_t>(st.st_size));
  return !c->Cancelled();
}

void LoadCancelPointSlow(LoadControl& c, uint64_t done, uint64_t total) {
  if (total > 0) {
    const int p = static_cast<int>(1000 * std::min(done, total) / total);
    // Two threads may report halves of one loop: keep the furthest.
    int seen = c.stagePermille.load(std::memory_order_relaxed);
    while (p > seen && !c.stagePermille.compare_exchange_weak(seen, p, std::memory_order_relaxed)) {
    }
  }
  if (c.Cancelled()) throw LoadCancelledError{};
}

void LoadStageSlow(LoadControl& c, int k) {
  c.stagePermille.store(0, std::memory_order_relaxed);
  c.stage.store(k, std::memory_order_relaxed);
  if (c.onCheckpoint) c.onCheckpoint(c);
  if (c.Cancelled()) throw LoadCancelledError{};
}

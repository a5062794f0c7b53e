#include "core/load_progress.h"

#include <sys/stat.h>

int LoadControl::Permille() const {
  const int s = stage.load(std::memory_order_relaxed);
  if (s > 0) return 600 + 400 * (s - 1) / kPrepareStages;
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

void LoadStageSlow(LoadControl& c, int k) {
  c.stage.store(k, std::memory_order_relaxed);
  if (c.onCheckpoint) c.onCheckpoint(c);
  if (c.Cancelled()) throw LoadCancelledError{};
}

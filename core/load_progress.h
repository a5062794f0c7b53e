// Progress and cancel of a load that runs off the window's thread. The
// window installs a LoadControl for its worker thread; the shared input
// classes report at their block boundaries and stop there once the load is
// cancelled, and mesh preparation checks between its stages. With no
// control installed (the command line, thumbnails) every check is one
// thread-local read.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <functional>

struct LoadControl {
  static constexpr int kPrepareStages = 4;

  std::atomic<bool> cancelled{false};
  std::atomic<int64_t> consumed{0};   // bytes of the file read so far
  std::atomic<int64_t> total{0};      // the file's size, 0 while unknown
  std::atomic<int> stage{0};          // 0 reading, k > 0 preparation stage k
  std::atomic<int> stagePermille{0};  // how far the current stage got, 0 to 1000
  // Called on the loading thread at every check, before the cancel flag is
  // looked at (a watcher may cancel from there).
  std::function<void(LoadControl&)> onCheckpoint;

  void Cancel() { cancelled.store(true, std::memory_order_relaxed); }
  bool Cancelled() const { return cancelled.load(std::memory_order_relaxed); }
  // 0 to 1000: reading takes the first 60 %, the preparation stages the rest
  // (a tenth each, moving within the stage as its loops report).
  int Permille() const;
};

namespace load_progress_detail {
inline thread_local LoadControl* installed = nullptr;
}

// Installs a control for the calling thread while it lives.
class ScopedLoadControl {
 public:
  explicit ScopedLoadControl(LoadControl* c) : prev_(load_progress_detail::installed) {
    load_progress_detail::installed = c;
  }
  ~ScopedLoadControl() { load_progress_detail::installed = prev_; }
  ScopedLoadControl(const ScopedLoadControl&) = delete;
  ScopedLoadControl& operator=(const ScopedLoadControl&) = delete;

 private:
  LoadControl* prev_;
};

inline LoadControl* InstalledLoadControl() { return load_progress_detail::installed; }

inline bool LoadCancelled() {
  const LoadControl* c = load_progress_detail::installed;
  return c && c->Cancelled();
}

void ReportLoadBytes(LoadControl& c, int64_t consumed, int64_t total);

// A block boundary of a reader: records how far it got and returns false
// once the load is cancelled (the caller then acts as at the end of the
// file or on a failed read).
inline bool LoadCheckpoint(int64_t consumed, int64_t total) {
  LoadControl* c = load_progress_detail::installed;
  if (!c) return true;
  ReportLoadBytes(*c, consumed, total);
  return !c->Cancelled();
}

// The same for a stream: its position and size are looked up only when a
// control is installed.
bool LoadCheckpointFile(FILE* f);

// Thrown between preparation stages of a cancelled load; the pipeline
// catches it.
struct LoadCancelledError {};

// Inside the long loops of preparation, every so many steps: records that
// the current stage got done/total of the way (it never goes back) and
// throws LoadCancelledError once the load is cancelled, so that a cancel or
// a closing window never waits for a whole stage of a big model.
void LoadCancelPointSlow(LoadControl& c, uint64_t done, uint64_t total);
inline void LoadCancelPoint(uint64_t done = 0, uint64_t total = 0) {
  if (LoadControl* c = load_progress_detail::installed) LoadCancelPointSlow(*c, done, total);
}
// The step mask for LoadCancelPoint: a check every 65,536 steps costs
// nothing measurable and answers within a few milliseconds.
constexpr size_t kCancelStepMask = 0xFFFF;

// Marks the start of preparation stage k (1 to kPrepareStages); throws
// LoadCancelledError when the load is cancelled.
void LoadStageSlow(LoadControl& c, int k);
inline void LoadStage(int k) {
  if (LoadControl* c = load_progress_detail::installed) LoadStageSlow(*c, k);
}

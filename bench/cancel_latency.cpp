// How quickly a running load stops once it is cancelled: loads FILE on a
// worker thread under a LoadControl (as the window does), cancels it after
// each of the given delays and prints how long the load took to return
// after the cancel, and in which stage it was.
//   cancel_latency FILE [DELAY_MS...]   (default 100 300 600 1000 1500 2500)
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "core/load_progress.h"
#include "core/pipeline.h"
#include "core/reader_table.h"
#include "mesh/prepare_mesh.h"
#include "readers/builtin.h"

namespace {

using Clock = std::chrono::steady_clock;

class QuietHost : public LoadHost {
 public:
  LoadSettings Settings() const override {
    LoadSettings s;
    s.shareVertices = s.fixOrientation = true;
    return s;
  }
  void AppendLog(const std::string&) override {}
  void PreviewClearModel() override {}
  void PreviewSetModel(PolygonModel&, int) override {}
};

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: cancel_latency FILE [DELAY_MS...]\n");
    return 2;
  }
  std::vector<int> delays;
  for (int i = 2; i < argc; ++i) delays.push_back(atoi(argv[i]));
  if (delays.empty()) delays = {100, 300, 600, 1000, 1500, 2500};
  LoadPipeline pipeline;
  BuildReaderTable(pipeline.table, BuiltinReaders(), false, nullptr);
  pipeline.prepareMesh = PrepareMesh;
  QuietHost host;
  printf("delay_ms\tstage\tpermille\tstop_ms\toutcome\n");
  for (const int delay : delays) {
    LoadControl control;
    LoadOutcome outcome{};
    Clock::time_point returned;
    std::thread worker([&] {
      ScopedLoadControl scope(&control);
      outcome = LoadModelFile(pipeline, host, argv[1]);
      returned = Clock::now();
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(delay));
    const int stage = control.stage.load();
    const int permille = control.Permille();
    const Clock::time_point cancelled = Clock::now();
    control.Cancel();
    worker.join();
    const double ms = std::chrono::duration<double, std::milli>(returned - cancelled).count();
    printf("%d\t%d\t%d\t%.1f\t%s\n", delay, stage, permille, ms < 0 ? 0.0 : ms,
           outcome == LoadOutcome::kCancelled ? "cancelled" : "finished first");
  }
  ReleaseReaderTable(pipeline.table);
  return 0;
}

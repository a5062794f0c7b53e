// The cost of running plug-ins in the loader process:
//   loader_bench APPDIR FILE [RUNS] [PAUSE_MS] [PLUGINDIR]
//   (default 15 runs, 100 ms, APPDIR/Plugin)
// Loads FILE through the pipeline (no mesh preparation) with the plug-ins
// of PLUGINDIR run in-process and through APPDIR/tarnelle-loader,
// interleaved, with a pause between loads as between a user's clicks (the
// spare loader is started in it). Prints the median and fastest time of
// each and the loader's added cost.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "core/pipeline.h"
#include "core/plugin_host.h"
#include "core/plugin_loader.h"
#include "core/reader_table.h"

namespace {

struct QuietHost : LoadHost {
  LoadSettings Settings() const override { return {}; }
  void AppendLog(const std::string&) override {}
};

double LoadMs(LoadPipeline& pipeline, const std::string& file, bool& loaded) {
  QuietHost host;
  const auto t0 = std::chrono::steady_clock::now();
  loaded = LoadModelFile(pipeline, host, file) == LoadOutcome::kLoaded;
  const auto t1 = std::chrono::steady_clock::now();
  CurrentModel.reset();
  return std::chrono::duration<double, std::milli>(t1 - t0).count();
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    fputs("usage: loader_bench APPDIR FILE [RUNS] [PAUSE_MS] [PLUGINDIR]\n", stderr);
    return 2;
  }
  const std::string app = argv[1], file = argv[2];
  const int runs = argc > 3 ? std::max(1, atoi(argv[3])) : 15;
  const int pauseMs = argc > 4 ? std::max(0, atoi(argv[4])) : 100;
  const std::string plugins = argc > 5 ? argv[5] : app + "/Plugin";
  const std::string exe = app + "/tarnelle";
  LoadPipeline inProcess, isolated;
  AddPluginReaders(inProcess.table, plugins, exe, "-");
  AddPluginReaders(isolated.table, plugins, exe, app + "/tarnelle-loader");
  if (isolated.table.empty() || isolated.table[0].loaderPath.empty()) {
    fputs("loader_bench: no plug-ins or no loader in APPDIR\n", stderr);
    return 1;
  }
  // As the window does.
  PrestartPluginLoader(isolated.table);
  std::vector<double> a, b;
  bool okA = true, okB = true;
  for (int i = 0; i < runs; ++i) {
    bool loaded = false;
    std::this_thread::sleep_for(std::chrono::milliseconds(pauseMs));
    a.push_back(LoadMs(inProcess, file, loaded));
    okA &= loaded;
    std::this_thread::sleep_for(std::chrono::milliseconds(pauseMs));
    b.push_back(LoadMs(isolated, file, loaded));
    okB &= loaded;
  }
  if (!okA || !okB) {
    fprintf(stderr, "loader_bench: %s did not load (%s)\n", file.c_str(),
            okA ? "through the loader" : "in-process");
    return 1;
  }
  const double ma = Median(a), mb = Median(b);
  printf("in-process     median %8.3f ms  fastest %8.3f ms\n", ma,
         *std::min_element(a.begin(), a.end()));
  printf("loader process median %8.3f ms  fastest %8.3f ms\n", mb,
         *std::min_element(b.begin(), b.end()));
  printf("added          %+8.3f ms (%+.1f%%)\n", mb - ma, ma > 0 ? (mb - ma) / ma * 100 : 0.0);
  ReleaseReaderTable(inProcess.table);
  ReleaseReaderTable(isolated.table);
  return 0;
}

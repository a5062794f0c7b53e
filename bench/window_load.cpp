// Click-to-picture in the real window, and how long the window stops
// answering meanwhile: opens each FILE in turn (after a small model, so
// that every open is a new load) and measures from the request to the first
// frame that shows it, and the longest gap between the ticks of a 5 ms
// timer (the window's response) until the model is handed to the preview
// and until that first frame.
//   window_load [--sync] [--runs=N] SMALL FILE...
// --sync loads inside the request, as the window did before loads ran in
// the background.
#include <unistd.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "app/mainform.h"
#include "bench/stall_watch.h"
#include "preview/glpanel.h"
#include "preview/pview.h"

namespace {

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

void Spin(const std::function<bool()>& done) {
  // Sleeps until an event comes (the 5 ms ticker brings one at least), so
  // the waiting takes no processor from the load.
  while (!done()) QApplication::processEvents(QEventLoop::WaitForMoreEvents);
}

}  // namespace

int main(int argc, char** argv) {
  bool sync = false;
  int runs = 5;
  std::vector<std::string> files;
  for (int i = 1; i < argc; ++i) {
    if (!strcmp(argv[i], "--sync"))
      sync = true;
    else if (!strncmp(argv[i], "--runs=", 7))
      runs = atoi(argv[i] + 7);
    else
      files.push_back(argv[i]);
  }
  if (files.size() < 2) {
    fprintf(stderr, "usage: window_load [--sync] [--runs=N] SMALL FILE...\n");
    return 2;
  }
  QApplication app(argc, argv);
  MainFormOptions o;
  const std::string dir = "/tmp/window_load_" + std::to_string(getpid());
  o.exePath = dir + "/tarnelle";
  o.iniPath = dir + "/tarnelle.ini";
  o.readPlugins = false;
  o.backgroundLoad = !sync;
  TMainForm w(o);
  w.show();
  Spin([&] { return w.PreviewReady(); });

  // The newest frame: when it was shown and how many polygons it drew.
  QElapsedTimer clock;
  clock.start();
  qint64 frameTime = 0;
  int framePolygons = 0;
  QObject::connect(w.Preview()->Panel(), &QOpenGLWidget::frameSwapped, [&] {
    frameTime = clock.nsecsElapsed();
    framePolygons = w.Preview()->SceneState().polygonCount;
  });
  // Until a frame after `since` showed the loaded model.
  auto waitPicture = [&](qint64 since) {
    Spin([&] {
      return !w.Loading() && frameTime > since && framePolygons > 0 &&
             framePolygons == w.Preview()->SceneState().polygonCount;
    });
  };
  StallWatch stall;
  stall.Start(clock);

  for (size_t f = 1; f < files.size(); ++f) {
    std::vector<double> picture, handover, gapLoad, gapFirst;
    for (int r = 0; r < runs; ++r) {
      const qint64 small = clock.nsecsElapsed();
      w.OpenPath(QString::fromStdString(files[0]));
      waitPicture(small);
      QApplication::processEvents();

      stall.lastTick = clock.nsecsElapsed();
      stall.maxGap = 0;
      const qint64 t0 = clock.nsecsElapsed();
      w.OpenPath(QString::fromStdString(files[f]));
      Spin([&] { return !w.Loading(); });
      handover.push_back((clock.nsecsElapsed() - t0) / 1e6);
      // The gap of the request itself counts (in --sync the whole load).
      stall.maxGap = std::max(stall.maxGap, clock.nsecsElapsed() - stall.lastTick);
      gapLoad.push_back(stall.maxGap / 1e6);
      waitPicture(t0);
      const qint64 t1 = frameTime;
      stall.maxGap = std::max(stall.maxGap, t1 - stall.lastTick);
      picture.push_back((t1 - t0) / 1e6);
      gapFirst.push_back(stall.maxGap / 1e6);
    }
    printf(
        "%s %s: click-to-picture %.0f ms (handed to the preview after %.0f ms); longest "
        "stall until handed over %.0f ms, until the first frame %.0f ms (medians of %d)\n",
        sync ? "sync" : "background", files[f].c_str(), Median(picture), Median(handover),
        Median(gapLoad), Median(gapFirst), runs);
    fflush(stdout);
  }
  w.close();
  std::filesystem::remove_all(dir);  // the settings and cache the window left there
  return 0;
}

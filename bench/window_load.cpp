// Click-to-picture in the real window, and how long the window stops
// answering meanwhile: opens each FILE in turn (after a small model, so
// that every open is a new load) and measures from the request to the first
// picture of the model (the stand-in or the full frame) and to its full
// frame, and the longest gap between the ticks of a 5 ms timer (the
// window's response). Then, on the loaded model: the buffers filled, a
// drag of 2 s (frames per second shown), the full frame at rest, a switch
// of render type and a resize, each waited for, with the longest stall over
// the whole sequence; and the process's peak memory. For a model with a
// level of detail: when it was handed to the render thread after the
// click, how soon it was shown after the drag, the switch and the resize,
// and how far its picture after the drag is from the full frame (the share
// of pixels off by more than 16 levels in a channel, and the mean
// difference per channel over the whole picture).
//   window_load [--sync] [--runs=N] [--close-after=MS] SMALL FILE...
// --sync loads inside the request, as the window did before loads ran in
// the background. --close-after opens each FILE once, closes the window MS
// milliseconds after the request and reports how long the close took.
#include <unistd.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QImage>
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

// The process's peak resident memory (kernel's VmHWM).
void PrintPeakMemory() {
  FILE* f = fopen("/proc/self/status", "r");
  if (!f) return;
  char line[256];
  while (fgets(line, sizeof line, f))
    if (!strncmp(line, "VmHWM:", 6)) printf("peak memory %s", line + 6);
  fclose(f);
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
  int closeAfter = -1;
  std::vector<std::string> files;
  for (int i = 1; i < argc; ++i) {
    if (!strcmp(argv[i], "--sync"))
      sync = true;
    else if (!strncmp(argv[i], "--runs=", 7))
      runs = atoi(argv[i] + 7);
    else if (!strncmp(argv[i], "--close-after=", 14))
      closeAfter = atoi(argv[i] + 14);
    else
      files.push_back(argv[i]);
  }
  if (files.size() < 2) {
    fprintf(stderr, "usage: window_load [--sync] [--runs=N] [--close-after=MS] SMALL FILE...\n");
    return 2;
  }
  QApplication app(argc, argv);
  MainFormOptions o;
  const std::string dir = "/tmp/window_load_" + std::to_string(getpid());
  o.exePath = dir + "/tarnelle";
  o.iniPath = dir + "/tarnelle.ini";
  o.readPlugins = false;
  o.backgroundLoad = !sync;
  auto window = std::make_unique<TMainForm>(o);
  TMainForm& w = *window;
  w.show();
  Spin([&] { return w.PreviewReady(); });
  TPView& view = *w.Preview();

  // The newest frame: when it was shown, how many polygons its model has
  // and what it showed.
  QElapsedTimer clock;
  clock.start();
  qint64 frameTime = 0, detailTime = 0;  // detailTime: the first level of detail shown
  int framePolygons = 0, frames = 0;
  TPView::Shown shown = TPView::Shown::kBackground;
  QObject::connect(view.Panel(), &QOpenGLWidget::frameSwapped, [&] {
    frameTime = clock.nsecsElapsed();
    framePolygons = view.SceneState().polygonCount;
    shown = view.LastShown();
    if (shown == TPView::Shown::kDetail && !detailTime) detailTime = frameTime;
    ++frames;
  });
  const auto modelShown = [&](qint64 since, bool full) {
    return !w.Loading() && frameTime > since && framePolygons > 0 &&
           framePolygons == view.SceneState().polygonCount &&
           (shown == TPView::Shown::kFull ||
            (!full && (shown == TPView::Shown::kStandIn || shown == TPView::Shown::kPartial)));
  };
  // Until a frame after `since` showed the loaded model (in full).
  auto waitPicture = [&](qint64 since, bool full = false) {
    Spin([&] { return modelShown(since, full); });
    return frameTime;
  };
  // From `since`: the time to the level of detail, when it was shown
  // before the full frame, else -1.
  const auto detailAfter = [&](qint64 since) {
    return detailTime > since ? (detailTime - since) / 1e6 : -1.0;
  };
  StallWatch stall;
  stall.Start(clock);
  // When the current model's level of detail reached the render thread.
  qint64 detailReadyTime = 0;
  QTimer detailWatch;
  detailWatch.setInterval(5);
  QObject::connect(&detailWatch, &QTimer::timeout, [&] {
    if (!detailReadyTime && view.DetailTriangles() > 0) detailReadyTime = clock.nsecsElapsed();
  });
  detailWatch.start();
  const auto ms = [](qint64 ns) { return ns / 1e6; };

  for (size_t f = 1; f < files.size(); ++f) {
    std::vector<double> picture, full, handover, gapLoad, gapFirst, buffers, fps, rest, type,
        resize, gapAll;
    // The level of detail: ready after the click, shown after each change,
    // and its pixels against the full frame's.
    std::vector<double> detailReady, detailRest, detailType, detailResize, differShare, differMean;
    int detailTriangles = 0;
    // The longest stall of each step after the first picture, worst run.
    const char* const kSteps[] = {"full frame", "buffers", "drag", "rest", "type", "resize"};
    double stepGap[6] = {0, 0, 0, 0, 0, 0};
    qint64 worst = 0;
    size_t textureBytes = 0;  // the model's decoded images
    const auto endStep = [&](int i) {
      const qint64 g = std::max(stall.maxGap, clock.nsecsElapsed() - stall.lastTick);
      stepGap[i] = std::max(stepGap[i], ms(g));
      worst = std::max(worst, g);
      stall.maxGap = 0;
    };
    for (int r = 0; r < runs; ++r) {
      const qint64 small = clock.nsecsElapsed();
      w.OpenPath(QString::fromStdString(files[0]));
      waitPicture(small, true);
      QApplication::processEvents();

      stall.lastTick = clock.nsecsElapsed();
      stall.maxGap = 0;
      const qint64 t0 = clock.nsecsElapsed();
      w.OpenPath(QString::fromStdString(files[f]));
      detailReadyTime = 0;
      if (closeAfter >= 0) {
        // Closing part way: the time until the window is gone.
        const qint64 until = t0 + closeAfter * 1000000LL;
        Spin([&] { return clock.nsecsElapsed() >= until; });
        const qint64 c0 = clock.nsecsElapsed();
        window->close();
        const qint64 c1 = clock.nsecsElapsed();
        window.reset();
        printf("%s: closed %d ms after the request: window gone in %.0f ms, destroyed in %.0f ms\n",
               files[f].c_str(), closeAfter, ms(c1 - c0), ms(clock.nsecsElapsed() - c0));
        std::filesystem::remove_all(dir);
        return 0;
      }
      Spin([&] { return !w.Loading(); });
      handover.push_back(ms(clock.nsecsElapsed() - t0));
      // The gap of the request itself counts (in --sync the whole load).
      stall.maxGap = std::max(stall.maxGap, clock.nsecsElapsed() - stall.lastTick);
      gapLoad.push_back(ms(stall.maxGap));
      const qint64 t1 = waitPicture(t0);
      stall.maxGap = std::max(stall.maxGap, t1 - stall.lastTick);
      picture.push_back(ms(t1 - t0));
      gapFirst.push_back(ms(stall.maxGap));
      worst = stall.maxGap;
      stall.maxGap = 0;
      full.push_back(ms(waitPicture(t0, true) - t0));
      endStep(0);

      // The buffers: filled once their size stops changing for 300 ms. A
      // model drawn with its appearance has none.
      {
        const Scene& drawn = view.SceneState();
        const bool noBuffers = drawn.model && SceneDrawsAppearance(drawn, *drawn.model);
        size_t last = view.BufferBytes();
        qint64 since = clock.nsecsElapsed();
        Spin([&] {
          const size_t now = view.BufferBytes();
          if (now != last) last = now, since = clock.nsecsElapsed();
          return (now > 0 || noBuffers) && clock.nsecsElapsed() - since > 300000000LL;
        });
        buffers.push_back(ms(since - t0));
      }
      endStep(1);
      // The level of detail is built after the stand-in; waited for at most
      // a minute (a model of no more triangles than the panel has none).
      {
        const qint64 until = clock.nsecsElapsed() + 60000000000LL;
        Spin([&] { return detailReadyTime > 0 || clock.nsecsElapsed() > until; });
        if (detailReadyTime > 0) {
          detailReady.push_back(ms(detailReadyTime - t0));
          detailTriangles = view.DetailTriangles();
        }
        stall.maxGap = 0;
      }
      // A drag of 2 s: a pointer step every 16 ms, frames counted.
      {
        view.MouseDown(1, false, 100, 100, 0);
        const int framesBefore = frames;
        const qint64 d0 = clock.nsecsElapsed();
        int x = 100;
        QTimer step;
        step.setInterval(16);
        QObject::connect(&step, &QTimer::timeout, [&] { view.MouseMove(1, false, x += 3, 100); });
        step.start();
        Spin([&] { return clock.nsecsElapsed() - d0 > 2000000000LL; });
        step.stop();
        fps.push_back((frames - framesBefore) / (ms(clock.nsecsElapsed() - d0) / 1000.0));
        view.MouseUp(false, x, 100, 10000);
        endStep(2);
        const qint64 d1 = clock.nsecsElapsed();
        detailTime = 0;
        Spin([&] { return detailTime > d1 || modelShown(d1, true); });
        QImage detail;
        if (detailTime > d1 && view.LastShown() == TPView::Shown::kDetail) {
          detailRest.push_back(detailAfter(d1));
          detail = view.Panel()->grabFramebuffer();
          if (view.LastShown() != TPView::Shown::kDetail) detail = QImage();
        }
        rest.push_back(ms(waitPicture(d1, true) - d1));
        if (!detail.isNull()) {
          const QImage fullImage = view.GrabImage().convertToFormat(QImage::Format_RGB32);
          detail = detail.convertToFormat(QImage::Format_RGB32);
          if (fullImage.size() == detail.size()) {
            int64_t off = 0, sum = 0;
            for (int y = 0; y < detail.height(); ++y) {
              const QRgb* a = reinterpret_cast<const QRgb*>(detail.constScanLine(y));
              const QRgb* b = reinterpret_cast<const QRgb*>(fullImage.constScanLine(y));
              for (int i = 0; i < detail.width(); ++i) {
                const int dr = std::abs(qRed(a[i]) - qRed(b[i]));
                const int dg = std::abs(qGreen(a[i]) - qGreen(b[i]));
                const int db = std::abs(qBlue(a[i]) - qBlue(b[i]));
                off += std::max({dr, dg, db}) > 16;
                sum += dr + dg + db;
              }
            }
            const double pixels = static_cast<double>(detail.width()) * detail.height();
            differShare.push_back(100.0 * static_cast<double>(off) / pixels);
            differMean.push_back(static_cast<double>(sum) / (3.0 * pixels));
          }
        }
        endStep(3);
      }
      {
        const qint64 s0 = clock.nsecsElapsed();
        detailTime = 0;
        w.NextRenderType();
        type.push_back(ms(waitPicture(s0, true) - s0));
        if (detailAfter(s0) >= 0) detailType.push_back(detailAfter(s0));
        w.SetRenderType(0);
        waitPicture(clock.nsecsElapsed(), true);
        endStep(4);
      }
      {
        const qint64 s0 = clock.nsecsElapsed();
        detailTime = 0;
        w.resize(w.width() + 40 * (r % 2 ? -1 : 1), w.height());
        resize.push_back(ms(waitPicture(s0, true) - s0));
        if (detailAfter(s0) >= 0) detailResize.push_back(detailAfter(s0));
        endStep(5);
      }
      gapAll.push_back(ms(worst));
      textureBytes = view.TextureBytes();
    }
    printf(
        "%s %s: click-to-picture %.0f ms, full frame %.0f ms (handed to the preview after %.0f "
        "ms); longest stall until handed over %.0f ms, until the first picture %.0f ms; "
        "buffers filled after %.0f ms; drag %.1f frames/s; full frame %.0f ms after the drag, "
        "%.0f ms after a render-type switch, %.0f ms after a resize; longest stall over the "
        "whole sequence %.0f ms (medians of %d)\n",
        sync ? "sync" : "background", files[f].c_str(), Median(picture), Median(full),
        Median(handover), Median(gapLoad), Median(gapFirst), Median(buffers), Median(fps),
        Median(rest), Median(type), Median(resize), Median(gapAll), runs);
    printf("  texture memory: %.1f MB decoded\n", static_cast<double>(textureBytes) / 1048576.0);
    if (detailReady.empty()) {
      printf("  no level of detail\n");
    } else {
      // Medians of the runs where the level was shown before the full frame.
      const auto of = [&](const std::vector<double>& v) {
        return v.empty() ? std::string("not shown")
                         : std::to_string(static_cast<int>(Median(v))) + " ms (" +
                               std::to_string(v.size()) + "/" + std::to_string(runs) + " runs)";
      };
      printf(
          "  level of detail (%d triangles): ready %.0f ms after the click; shown %s after the "
          "drag, %s after a render-type switch, %s after a resize; after the drag %.2f%% of "
          "pixels differ from the full frame by more than 16 levels, mean difference %.2f "
          "levels\n",
          detailTriangles, Median(detailReady), of(detailRest).c_str(), of(detailType).c_str(),
          of(detailResize).c_str(), Median(differShare), Median(differMean));
    }
    printf("  longest stall by step (worst run):");
    for (int i = 0; i < 6; ++i) printf(" %s %.0f ms%s", kSteps[i], stepGap[i], i < 5 ? "," : "\n");
    fflush(stdout);
  }
  PrintPeakMemory();
  w.close();
  window.reset();
  std::filesystem::remove_all(dir);  // the settings and cache the window left there
  return 0;
}

// The file list's thumbnails over a real folder: a window with the list in
// large-icon view, wired to the gallery of "PROGRAM --thumbnail-worker"
// workers.
//   thumbnail_gallery PROGRAM FOLDER CACHE
// CACHE becomes $XDG_CACHE_HOME and is emptied first. Prints, for a cold
// run (empty cache) and then a warm one (a new list and gallery over the
// cache the cold run filled): the time until every visible item shows its
// picture, until every item of the folder has shown its picture, and the
// longest gap between the ticks of a 5 ms timer (the window's longest
// stall). Once the first screen is done, both runs scroll three steps every
// 100 ms, down to the end and back, as a user would: pictures are made only
// for what is on screen and a screen around it.
// Last, the same list with thumbnails off, scrolled for two seconds: the
// stall the list has without them.
//   thumbnail_gallery --large|--large-off PROGRAM FOLDER CACHE
// instead lists FOLDER (one of many models) with an empty cache (or with
// thumbnails off) and prints
// the time until the visible items show their pictures, until the list's
// thumbnails are idle, the processor time the process uses in the 3 s
// after that, and its memory (resident then, and at most).
#include "app/thumbnail_gallery.h"

#include <stdlib.h>
#include <sys/resource.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QListView>
#include <QScrollBar>
#include <QSet>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>

#include "bench/stall_watch.h"
#include "widgets/filelist.h"

namespace {

void Spin(const std::function<bool()>& done) {
  while (!done()) QApplication::processEvents(QEventLoop::WaitForMoreEvents);
}

struct Run {
  double visibleMs = 0, wholeMs = 0, stallMs = 0;
  int visible = 0, items = 0, ready = 0, failed = 0, processes = 0;
};

// off: thumbnails switched off, the list alone for comparison (scrolled for
// two seconds).
Run Measure(const QString& program, const QString& folder, bool off = false) {
  QWidget host;
  host.resize(800, 600);
  auto* list = new TFileList(&host);
  list->resize(800, 600);
  auto* gallery = new ThumbnailGallery(list);
  gallery->SetProgram(program);
  auto* thumbs = new FileListThumbnails(list, gallery);
  thumbs->SetEnabled(!off);
  list->SetViewStyle(0);
  host.show();
  QApplication::processEvents();

  QElapsedTimer clock;
  clock.start();
  StallWatch stall;
  stall.Start(clock);
  auto pending = [&](const QString& name) {
    return gallery->StateOf(folder + '/' + name) == ThumbnailGallery::State::kPending;
  };

  Run r;
  QSet<QString> seen;
  QObject::connect(gallery, &ThumbnailGallery::Changed, [&](const QString& path) {
    if (gallery->StateOf(path) != ThumbnailGallery::State::kPending) seen.insert(path);
  });
  const qint64 t0 = clock.nsecsElapsed();
  stall.lastTick = t0;
  list->SetFolder(folder);
  if (off) {
    QTimer scroller;
    scroller.setInterval(100);
    QObject::connect(&scroller, &QTimer::timeout, [&] {
      QScrollBar* bar = list->IconView()->verticalScrollBar();
      bar->setValue(bar->value() + bar->singleStep() * 3);
    });
    scroller.start();
    Spin([&] { return clock.nsecsElapsed() - t0 > 2'000'000'000; });
    r.items = list->Count();
    r.stallMs = stall.maxGap / 1e6;
    return r;
  }
  // The visible items of the first screen, once the list is laid out.
  QStringList first;
  Spin([&] {
    if (first.isEmpty()) first = list->VisibleCaptions();
    return !first.isEmpty() &&
           std::none_of(first.begin(), first.end(), [&](const QString& n) { return pending(n); });
  });
  r.visibleMs = (clock.nsecsElapsed() - t0) / 1e6;
  r.visible = static_cast<int>(first.size());
  // Down to the end and back, until every item has shown its picture:
  // pictures are made only for what is on screen and around it.
  QTimer scroller;
  scroller.setInterval(100);
  int step = 3;
  QObject::connect(&scroller, &QTimer::timeout, [&] {
    QScrollBar* bar = list->IconView()->verticalScrollBar();
    if ((step > 0 && bar->value() >= bar->maximum()) ||
        (step < 0 && bar->value() <= bar->minimum()))
      step = -step;
    bar->setValue(bar->value() + bar->singleStep() * step);
  });
  scroller.start();
  Spin([&] { return seen.size() >= list->Count(); });
  r.wholeMs = (clock.nsecsElapsed() - t0) / 1e6;
  r.stallMs = stall.maxGap / 1e6;
  r.items = list->Count();
  for (int i = 0; i < list->Count(); ++i) {
    const auto s = gallery->StateOf(folder + '/' + list->Caption(i));
    r.ready += s == ThumbnailGallery::State::kReady;
    r.failed += s == ThumbnailGallery::State::kFailed;
  }
  r.processes = gallery->ProcessesStarted();
  (void)thumbs;
  return r;
}

// The process's processor time in ms.
double CpuMs() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return (u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1e3 +
         (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e3;
}

// A line of /proc/self/status in MB ("VmRSS", "VmHWM").
double StatusMb(const char* key) {
  FILE* f = fopen("/proc/self/status", "re");
  if (!f) return 0;
  char line[256];
  long kb = 0;
  const size_t n = strlen(key);
  while (fgets(line, sizeof line, f))
    if (strncmp(line, key, n) == 0 && line[n] == ':') kb = atol(line + n + 1);
  fclose(f);
  return kb / 1024.0;
}

void MeasureLarge(const QString& program, const QString& folder, bool off) {
  QWidget host;
  host.resize(800, 600);
  auto* list = new TFileList(&host);
  list->resize(800, 600);
  auto* gallery = new ThumbnailGallery(list);
  gallery->SetProgram(program);
  auto* thumbs = new FileListThumbnails(list, gallery);
  thumbs->SetEnabled(!off);
  list->SetViewStyle(0);
  host.show();
  QApplication::processEvents();
  QElapsedTimer clock;
  clock.start();
  StallWatch stall;
  stall.Start(clock);
  list->SetFolder(folder);
  QStringList first;
  Spin([&] {
    if (first.isEmpty()) first = list->VisibleCaptions();
    if (off) return !first.isEmpty();
    return !first.isEmpty() && std::none_of(first.begin(), first.end(), [&](const QString& n) {
      return gallery->StateOf(folder + '/' + n) == ThumbnailGallery::State::kPending;
    });
  });
  const double visibleMs = clock.nsecsElapsed() / 1e6;
  Spin([&] { return thumbs->Idle(); });
  const double idleMs = clock.nsecsElapsed() / 1e6;
  const double cpu0 = CpuMs();
  const qint64 t0 = clock.nsecsElapsed();
  Spin([&] { return clock.nsecsElapsed() - t0 > 3'000'000'000; });
  printf(
      "large%s: %d items, %d visible shown after %.0f ms; idle after %.0f ms (%.0f ms after the "
      "visible pictures); %.0f ms of processor time in the 3 s after; resident %.0f MB, at most "
      "%.0f MB; longest window stall %.1f ms\n",
      off ? " (thumbnails off)" : "", list->Count(), static_cast<int>(first.size()), visibleMs,
      idleMs, idleMs - visibleMs, CpuMs() - cpu0, StatusMb("VmRSS"), StatusMb("VmHWM"),
      stall.maxGap / 1e6);
  fflush(stdout);
}

void Print(const char* name, const Run& r) {
  printf(
      "%s: %d visible of %d items shown after %.0f ms; whole folder after %.0f ms (%d pictures, "
      "%d failed, %d workers started); longest window stall %.1f ms\n",
      name, r.visible, r.items, r.visibleMs, r.wholeMs, r.ready, r.failed, r.processes, r.stallMs);
  fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  const bool large = argc >= 5 && strncmp(argv[1], "--large", 7) == 0;
  const bool largeOff = large && strcmp(argv[1], "--large-off") == 0;
  if (large) {
    --argc;
    ++argv;
  }
  if (argc != 4) {
    fprintf(stderr, "usage: thumbnail_gallery [--large|--large-off] PROGRAM FOLDER CACHE\n");
    return 2;
  }
  std::filesystem::remove_all(argv[3]);
  std::filesystem::create_directories(argv[3]);
  setenv("XDG_CACHE_HOME", std::filesystem::absolute(argv[3]).c_str(), 1);
  QApplication app(argc, argv);
  const QString program = QString::fromLocal8Bit(argv[1]);
  const QString folder = QString::fromStdString(std::filesystem::canonical(argv[2]).string());
  if (large) {
    MeasureLarge(program, folder, largeOff);
    return 0;
  }
  printf("pool of %d workers\n", ThumbnailGallery::MaxProcesses());
  Print("cold", Measure(program, folder));
  Print("warm", Measure(program, folder));
  const Run off = Measure(program, folder, true);
  printf("off: %d items, scrolled for 2 s; longest window stall %.1f ms\n", off.items, off.stallMs);
  return 0;
}

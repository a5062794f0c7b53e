// The longest time the window's thread did not answer: a 5 ms timer on that
// thread, and the largest gap between its ticks.
#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>
#include <algorithm>

struct StallWatch {
  qint64 lastTick = 0, maxGap = 0;  // nanoseconds on the clock given to Start
  QTimer ticker;

  void Start(const QElapsedTimer& clock) {
    ticker.setInterval(5);
    QObject::connect(&ticker, &QTimer::timeout, [this, &clock] {
      const qint64 now = clock.nsecsElapsed();
      maxGap = std::max(maxGap, now - lastTick);
      lastTick = now;
    });
    ticker.start();
  }
};

// The hourglass for as long as the guard lives.
#pragma once

#include <QApplication>

class WaitCursorGuard {
 public:
  WaitCursorGuard() { QApplication::setOverrideCursor(Qt::WaitCursor); }
  ~WaitCursorGuard() { QApplication::restoreOverrideCursor(); }
  WaitCursorGuard(const WaitCursorGuard&) = delete;
  WaitCursorGuard& operator=(const WaitCursorGuard&) = delete;
};

// The window tests run with a QApplication on a real display (Xvfb in CI).
#include <gtest/gtest.h>

#include <QApplication>
#include <QSurfaceFormat>

#include "preview/glpanel.h"

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  // Listing the tests happens at build time, without a display.
  if (GTEST_FLAG_GET(list_tests)) return RUN_ALL_TESTS();
  QSurfaceFormat::setDefaultFormat(TGLPanel::RequestedFormat());
  QApplication app(argc, argv);
  return RUN_ALL_TESTS();
}

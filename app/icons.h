// The program's drawn images (SVG resources), rendered at the size asked.
#pragma once

#include <QIcon>
#include <QPixmap>

// name without ".svg", e.g. "open"; px: edge length in device-independent
// pixels. An unknown name gives an empty pixmap.
QPixmap IconPixmap(const char* name, int px);
QIcon Icon(const char* name);

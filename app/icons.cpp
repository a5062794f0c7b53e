#include "app/icons.h"

#include <QGuiApplication>
#include <QPainter>
#include <QSvgRenderer>

// Resources live in a static library: register them before first use.
static void InitIconResources() {
  static const bool done = [] {
    Q_INIT_RESOURCE(icons);
    return true;
  }();
  (void)done;
}

QPixmap IconPixmap(const char* name, int px) {
  InitIconResources();
  QSvgRenderer svg(QStringLiteral(":/icons/%1.svg").arg(QLatin1String(name)));
  if (!svg.isValid()) return {};
  const qreal dpr = qGuiApp ? qGuiApp->devicePixelRatio() : 1.0;
  QPixmap pm(QSize(px, px) * dpr);
  pm.setDevicePixelRatio(dpr);
  pm.fill(Qt::transparent);
  QPainter p(&pm);
  svg.render(&p, QRectF(0, 0, px, px));
  return pm;
}

QIcon Icon(const char* name) {
  QIcon icon;
  for (int px : {16, 24, 32}) icon.addPixmap(IconPixmap(name, px));
  return icon;
}

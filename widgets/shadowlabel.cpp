#include "widgets/shadowlabel.h"

#include <QPainter>

void TShadowLabel::SetShadow(const QColor& color, int offset) {
  shadow_ = color;
  offset_ = offset;
  update();
}

void TShadowLabel::paintEvent(QPaintEvent*) {
  QPainter p(this);
  p.setFont(font());
  const QRect r = contentsRect().adjusted(0, 0, -offset_, -offset_);
  p.setPen(shadow_);
  p.drawText(r.translated(offset_, offset_), static_cast<int>(alignment()), text());
  p.setPen(palette().color(QPalette::WindowText));
  p.drawText(r, static_cast<int>(alignment()), text());
}

#include "widgets/colorpanel.h"

#include <QMouseEvent>

TColorPanel::TColorPanel(QWidget* parent) : QFrame(parent) {
  setFrameStyle(QFrame::Panel | QFrame::Sunken);
  setLineWidth(1);
  setAutoFillBackground(true);
  setCursor(Qt::PointingHandCursor);
  SetColor(color_);
}

void TColorPanel::SetColor(const QColor& color) {
  color_ = color;
  QPalette p = palette();
  p.setColor(QPalette::Window, color);
  setPalette(p);
  update();
}

void TColorPanel::mouseReleaseEvent(QMouseEvent* e) {
  QFrame::mouseReleaseEvent(e);
  // A press that is dragged off the panel before release is no click.
  if (e->button() == Qt::LeftButton && rect().contains(e->position().toPoint())) emit Clicked();
}

// A label whose text carries a soft drop shadow.
#pragma once

#include <QLabel>

class TShadowLabel : public QLabel {
  Q_OBJECT

 public:
  using QLabel::QLabel;
  void SetShadow(const QColor& color, int offset);

 protected:
  void paintEvent(QPaintEvent* e) override;

 private:
  QColor shadow_ = QColor(0, 0, 0, 110);
  int offset_ = 2;
};

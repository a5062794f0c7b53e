// A numeric edit with attached up-down buttons: the buttons and the arrow
// keys step a position within fixed limits, typed digits set it (clamped
// to the limits), and the edit shows it as a whole number with thousands
// separators. The position is a floating-point value, so one set from code
// survives unchanged until the user changes it.
#pragma once

#include <QWidget>

class QLineEdit;
class QToolButton;

class TUpDownEdit : public QWidget {
  Q_OBJECT

 public:
  explicit TUpDownEdit(QWidget* parent = nullptr);

  void SetLimits(double min, double max);
  void SetIncrement(double step) { step_ = step; }
  void SetAlignment(Qt::Alignment alignment);

  double Position() const { return position_; }
  // Clamped to the limits; the edit shows the new position.
  void SetPosition(double position);

  // One step up (+1) or down (-1), stopping at the limits (no wrap).
  void Step(int direction);

  QLineEdit* Edit() const { return edit_; }
  QToolButton* UpButton() const { return up_; }
  QToolButton* DownButton() const { return down_; }

  // The "#,##0" text of a value: rounded, thousands separated by ",".
  static QString FormatNumber(double value);

 signals:
  void PositionChanged(double position);

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void TextEdited(const QString& text);
  void Show();

  QLineEdit* edit_;
  QToolButton* up_;
  QToolButton* down_;
  double min_ = 0, max_ = 100, step_ = 1, position_ = 0;
};

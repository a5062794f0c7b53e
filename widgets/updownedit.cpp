#include "widgets/updownedit.h"

#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLineEdit>
#include <QRegularExpressionValidator>
#include <QToolButton>
#include <QVBoxLayout>
#include <algorithm>
#include <cmath>

TUpDownEdit::TUpDownEdit(QWidget* parent) : QWidget(parent) {
  auto* row = new QHBoxLayout(this);
  row->setContentsMargins(0, 0, 0, 0);
  row->setSpacing(0);
  edit_ = new QLineEdit(this);
  edit_->setObjectName(QStringLiteral("edit"));
  // Digits only, as many as may be typed: longer runs are clamped anyway.
  edit_->setValidator(
      new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]{0,9}")), edit_));
  edit_->installEventFilter(this);
  row->addWidget(edit_, 1);

  auto* buttons = new QVBoxLayout;
  buttons->setContentsMargins(0, 0, 0, 0);
  buttons->setSpacing(0);
  auto arrow = [&](Qt::ArrowType type, const char* name, int direction) {
    auto* b = new QToolButton(this);
    b->setObjectName(QLatin1String(name));
    b->setArrowType(type);
    b->setAutoRepeat(true);
    b->setFocusPolicy(Qt::NoFocus);
    b->setFixedWidth(16);
    b->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Expanding);
    connect(b, &QToolButton::clicked, this, [this, direction] { Step(direction); });
    buttons->addWidget(b);
    return b;
  };
  up_ = arrow(Qt::UpArrow, "up", 1);
  down_ = arrow(Qt::DownArrow, "down", -1);
  row->addLayout(buttons);

  connect(edit_, &QLineEdit::textEdited, this, &TUpDownEdit::TextEdited);
  // Leaving the edit shows the clamped position in place of what was typed.
  connect(edit_, &QLineEdit::editingFinished, this, &TUpDownEdit::Show);
  Show();
}

void TUpDownEdit::SetLimits(double min, double max) {
  min_ = min;
  max_ = std::max(min, max);
  SetPosition(position_);
}

void TUpDownEdit::SetAlignment(Qt::Alignment alignment) { edit_->setAlignment(alignment); }

void TUpDownEdit::SetPosition(double position) {
  if (!std::isfinite(position)) position = min_;
  const double clamped = std::clamp(position, min_, max_);
  const bool changed = clamped != position_;
  position_ = clamped;
  Show();
  if (changed) emit PositionChanged(position_);
}

void TUpDownEdit::Step(int direction) { SetPosition(position_ + direction * step_); }

QString TUpDownEdit::FormatNumber(double value) {
  const long long whole = std::llround(value);
  QString digits = QString::number(whole < 0 ? -whole : whole);
  for (qsizetype i = digits.size() - 3; i > 0; i -= 3) digits.insert(i, QLatin1Char(','));
  return whole < 0 ? QLatin1Char('-') + digits : digits;
}

void TUpDownEdit::TextEdited(const QString& text) {
  // An empty edit keeps the position; it is shown again on leaving.
  if (text.isEmpty()) return;
  bool ok = false;
  const double typed = QString(text).remove(QLatin1Char(',')).toDouble(&ok);
  if (!ok) return;
  const double clamped = std::clamp(typed, min_, max_);
  if (clamped == position_) return;
  position_ = clamped;
  emit PositionChanged(position_);
}

void TUpDownEdit::Show() { edit_->setText(FormatNumber(position_)); }

bool TUpDownEdit::eventFilter(QObject* watched, QEvent* event) {
  if (watched == edit_ && event->type() == QEvent::KeyPress) {
    const int key = static_cast<QKeyEvent*>(event)->key();
    if (key == Qt::Key_Up || key == Qt::Key_Down) {
      Step(key == Qt::Key_Up ? 1 : -1);
      return true;
    }
  }
  return QWidget::eventFilter(watched, event);
}

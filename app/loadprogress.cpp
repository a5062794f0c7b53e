#include "app/loadprogress.h"

#include <QEvent>
#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>

TLoadProgress::TLoadProgress(QWidget* over) : QFrame(over) {
  setObjectName(QStringLiteral("LoadProgress"));
  setFrameStyle(QFrame::StyledPanel | QFrame::Raised);
  setAutoFillBackground(true);
  auto* row = new QHBoxLayout(this);
  row->setContentsMargins(6, 4, 6, 4);
  name_ = new QLabel;
  name_->setTextFormat(Qt::PlainText);
  name_->setMinimumWidth(40);
  bar_ = new QProgressBar;
  bar_->setRange(0, 100);
  bar_->setValue(0);
  bar_->setTextVisible(true);
  cancel_ = new QPushButton(QStringLiteral("キャンセル"));
  cancel_->setObjectName(QStringLiteral("LoadCancel"));
  // Esc and the button cancel; the button never keeps the focus from the
  // preview.
  cancel_->setFocusPolicy(Qt::NoFocus);
  row->addWidget(name_, 1);
  row->addWidget(bar_, 1);
  row->addWidget(cancel_);
  connect(cancel_, &QPushButton::clicked, this, &TLoadProgress::CancelClicked);
  hide();
  if (over) over->installEventFilter(this);
}

void TLoadProgress::SetFileName(const QString& name) {
  // Long paths are cut in the middle: the end of the name is what tells files apart.
  name_->setToolTip(name);
  name_->setText(name_->fontMetrics().elidedText(name, Qt::ElideMiddle, name_->width()));
  name_->setProperty("fullName", name);
}

void TLoadProgress::SetPermille(int permille) { bar_->setValue(permille / 10); }

int TLoadProgress::Percent() const { return bar_->value(); }

bool TLoadProgress::eventFilter(QObject* watched, QEvent* event) {
  if (watched == parent() && event->type() == QEvent::Resize && isVisible()) Place();
  return QFrame::eventFilter(watched, event);
}

void TLoadProgress::showEvent(QShowEvent* e) {
  QFrame::showEvent(e);
  Place();
  raise();
  SetFileName(name_->property("fullName").toString());
}

void TLoadProgress::Place() {
  auto* p = parentWidget();
  if (!p) return;
  const int w = qMax(160, p->width() - 16);
  const int h = sizeHint().height();
  setGeometry((p->width() - w) / 2, qMax(0, p->height() - h - 8), w, h);
}

#include "app/manualwindow.h"

#include <QGuiApplication>
#include <QScreen>
#include <QTextBrowser>
#include <QUrl>
#include <QVBoxLayout>
#include <algorithm>

TManualWindow::TManualWindow(QWidget* parent)
    : QWidget(parent, Qt::Window), browser_(new QTextBrowser(this)) {
  setObjectName(QStringLiteral("ManualWindow"));
  setWindowTitle(QStringLiteral("Tarnelle ヘルプ"));
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->addWidget(browser_);
  // Links out of the manual go to the desktop when it can open them.
  browser_->setOpenExternalLinks(true);
  resize(kWidth, kHeight);
}

void TManualWindow::FitToScreen() {
  // On the screen of the window that asked, or the primary one: never
  // larger than most of its free area, and wholly on it.
  const QWidget* owner = parentWidget() ? parentWidget()->window() : nullptr;
  const QScreen* screen = owner ? owner->screen() : QGuiApplication::primaryScreen();
  if (!screen) return;
  const QRect free = screen->availableGeometry();
  // Room for the window manager's frame and title.
  const QSize frame = frameGeometry().size() - geometry().size();
  const QSize most = free.size() * 9 / 10 - frame;
  resize(QSize(kWidth, kHeight).boundedTo(most));
  QRect r(QPoint(), size() + frame);
  r.moveCenter(owner ? owner->frameGeometry().center() : free.center());
  r.moveLeft(std::clamp(r.left(), free.left(), free.right() + 1 - r.width()));
  r.moveTop(std::clamp(r.top(), free.top(), free.bottom() + 1 - r.height()));
  move(r.topLeft());
}

void TManualWindow::ShowFile(const QString& path) {
  browser_->setSource(QUrl::fromLocalFile(path));
  if (!isVisible()) FitToScreen();
  show();
  raise();
  activateWindow();
}

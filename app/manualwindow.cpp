#include "app/manualwindow.h"

#include <QTextBrowser>
#include <QUrl>
#include <QVBoxLayout>

TManualWindow::TManualWindow(QWidget* parent)
    : QWidget(parent, Qt::Window), browser_(new QTextBrowser(this)) {
  setObjectName(QStringLiteral("ManualWindow"));
  setWindowTitle(QStringLiteral("Tarnelle ヘルプ"));
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->addWidget(browser_);
  // Links out of the manual go to the desktop when it can open them.
  browser_->setOpenExternalLinks(true);
  resize(640, 560);
}

void TManualWindow::ShowFile(const QString& path) {
  browser_->setSource(QUrl::fromLocalFile(path));
  show();
  raise();
  activateWindow();
}

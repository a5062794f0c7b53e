// The manual in a window of our own, for when the desktop has no program
// to open it with.
#pragma once

#include <QWidget>

class QTextBrowser;

class TManualWindow : public QWidget {
  Q_OBJECT

 public:
  explicit TManualWindow(QWidget* parent = nullptr);

  // Shows the HTML file path (its links and pictures resolve beside it).
  void ShowFile(const QString& path);
  QTextBrowser* Browser() const { return browser_; }

 private:
  QTextBrowser* browser_;
};

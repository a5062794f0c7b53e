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

  // The size it asks for; a smaller screen gets a smaller window.
  static constexpr int kWidth = 720, kHeight = 820;

 private:
  // Sizes and places the window to lie wholly on its screen.
  void FitToScreen();

  QTextBrowser* browser_;
};

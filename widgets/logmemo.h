// The log memo under the preview: append-only lines that always show the
// newest one, with long lines (paths) wrapped instead of scrolled sideways.
#pragma once

#include <QPlainTextEdit>

class TLogMemo : public QPlainTextEdit {
  Q_OBJECT

 public:
  explicit TLogMemo(QWidget* parent = nullptr);

  // Adds one line and scrolls so that it is seen.
  void AppendLine(const QString& line);

 protected:
  void resizeEvent(QResizeEvent* e) override;

 private:
  void ShowEnd();
};

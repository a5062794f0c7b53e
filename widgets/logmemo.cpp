#include "widgets/logmemo.h"

#include <QScrollBar>
#include <QTextCursor>

TLogMemo::TLogMemo(QWidget* parent) : QPlainTextEdit(parent) {
  setReadOnly(true);
  setLineWrapMode(QPlainTextEdit::WidgetWidth);
  // Paths have no spaces to break at.
  setWordWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
  setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
}

void TLogMemo::AppendLine(const QString& line) {
  appendPlainText(line);
  ShowEnd();
}

void TLogMemo::ShowEnd() {
  // appendPlainText follows only when the view already was at the end,
  // which a memo laid out before it had its height never is.
  moveCursor(QTextCursor::End);
  ensureCursorVisible();
  verticalScrollBar()->setValue(verticalScrollBar()->maximum());
}

void TLogMemo::resizeEvent(QResizeEvent* e) {
  QScrollBar* bar = verticalScrollBar();
  const bool atEnd = bar->value() >= bar->maximum();
  QPlainTextEdit::resizeEvent(e);
  // Re-wrapping at a new width moves the end: a memo that showed it still does.
  if (atEnd) ShowEnd();
}

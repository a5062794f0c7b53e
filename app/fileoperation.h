// The file operations of the file list and of drops on the folder tree:
// the destination folder dialog, overwrite questions, progress with
// Cancel, failure reports, and deletion to the desktop's trash.
#pragma once

#include <QObject>
#include <QString>
#include <QStringList>

#include "app/fileops.h"

class QWidget;

class TFileOperation : public QObject {
  Q_OBJECT

 public:
  explicit TFileOperation(QWidget* owner);

  // Asks for the destination of a copy or move, starting at the last one.
  // Returns false when the dialog is cancelled; otherwise the chosen folder
  // becomes the last destination.
  bool ChooseDestination(FileOpKind kind, QString* folder);
  // Copies or moves paths into folder, asking before overwriting, showing
  // progress when it takes a while and reporting every failure at the end.
  FileOpResult Run(FileOpKind kind, const QStringList& paths, const QString& folder);
  // After a confirmation, moves paths to the trash. Paths that cannot go
  // there are deleted only after a second, explicit question.
  void Delete(const QStringList& paths);

  // Shared by copy and move for this session; not saved.
  const QString& LastDestination() const { return lastDestination_; }
  // How long work runs before its progress dialog appears.
  void SetProgressDelay(int ms) { progressDelayMs_ = ms; }

  static QString DialogTitle(FileOpKind kind);

 private:
  void ShowFailures(const QStringList& lines);

  QWidget* owner_;
  QString lastDestination_;
  int progressDelayMs_ = 500;
};

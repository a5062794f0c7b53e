// The folder tree's model: the file system's folders, with an expand arrow
// only on folders that hold something to show under them.
#pragma once

#include <QElapsedTimer>
#include <QFileSystemModel>
#include <QHash>

#include "widgets/subfolder_probe.h"

class TFolderModel : public QFileSystemModel {
  Q_OBJECT

 public:
  explicit TFolderModel(QObject* parent = nullptr);

  // Files this predicate accepts count as child nodes too (archive
  // browsing shows archives as nodes under their folders).
  void SetFileNodePredicate(FileNodePredicate isNode);

  bool hasChildren(const QModelIndex& parent = {}) const override;

 private:
  struct Probe {
    bool children = false;
    qint64 at = 0;  // ms on clock_
  };
  FileNodePredicate fileIsNode_;
  // Folders are looked into only when the view asks for their arrow, and
  // not again for a few seconds.
  mutable QHash<QString, Probe> probes_;
  QElapsedTimer clock_;
};

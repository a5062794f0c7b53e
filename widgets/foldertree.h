// A read-only folder tree over the file system, rooted at "/", whose
// selection stays visible when it loses the focus.
#pragma once

#include <QTreeView>

#include "widgets/subfolder_probe.h"

class QFileSystemModel;
class TFolderModel;

class TFolderTree : public QTreeView {
  Q_OBJECT

 public:
  explicit TFolderTree(QWidget* parent = nullptr);

  // The folder of the selected node ("/" for the root); empty when none.
  QString SelectedPath() const;
  // Selects the node of path, expanding and scrolling to it. A path that
  // does not exist (or cannot be shown) selects its nearest existing
  // ancestor. Returns false when not even "/" could be selected.
  bool SelectPath(const QString& path);
  // Selects the first node of the tree ("/").
  void SelectFirstNode();
  // Selects the user's home folder.
  void SelectHome();

  QFileSystemModel* FsModel() const;
  // Files shown as nodes too: their folders get an expand arrow.
  void SetFileNodePredicate(FileNodePredicate isNode);

  // Keeps index in view vertically and, in a deep tree, horizontally.
  void scrollTo(const QModelIndex& index, ScrollHint hint = EnsureVisible) override;

  // Archive mode: files whose extension (dot included, any case) is one of
  // the comma-separated list are shown as leaf nodes under their folders.
  void SetArchiveExtensions(const QString& commaList);
  void SetArchiveMode(bool on);
  bool ArchiveMode() const { return archiveMode_; }

  // The folder highlighted as a drop target while files are dragged over
  // it; empty when none.
  QString DropTargetPath() const;
  void ClearDropTarget();

 signals:
  // The selected folder changed (also when it is set from code).
  void FolderChanged(const QString& path);
  // Files were dropped onto folder: moved with Shift alone, else copied.
  void FilesDropped(const QStringList& paths, const QString& folder, Qt::DropAction action);

 protected:
  void keyPressEvent(QKeyEvent* e) override;
  void contextMenuEvent(QContextMenuEvent* e) override;
  void mousePressEvent(QMouseEvent* e) override;
  void wheelEvent(QWheelEvent* e) override;
  void showEvent(QShowEvent* e) override;
  void dragEnterEvent(QDragEnterEvent* e) override;
  void dragMoveEvent(QDragMoveEvent* e) override;
  void dragLeaveEvent(QDragLeaveEvent* e) override;
  void dropEvent(QDropEvent* e) override;
  void drawRow(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override;

 private:
  void SetDropTarget(const QModelIndex& index);
  // The folder node at a viewport position that can take files.
  QModelIndex FolderNodeAt(const QPoint& pos) const;

  TFolderModel* model_;
  QPersistentModelIndex dropTarget_;
  // Folders fill in the background; until the user takes over, a node
  // selected from code is scrolled back into view as rows arrive above it.
  bool keepInView_ = false;
  bool archiveMode_ = false;
  QStringList archivePatterns_;
  void ApplyArchiveFilter();
};

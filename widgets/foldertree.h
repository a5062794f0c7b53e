// A read-only folder tree over the file system, rooted at "/", whose
// selection stays visible when it loses the focus.
#pragma once

#include <QTreeView>

class QFileSystemModel;

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

  QFileSystemModel* FsModel() const { return model_; }

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

  QFileSystemModel* model_;
  QPersistentModelIndex dropTarget_;
  // Folders fill in the background; until the user takes over, a node
  // selected from code is scrolled back into view as rows arrive above it.
  bool keepInView_ = false;
};

#include "widgets/foldertree.h"

#include <QContextMenuEvent>
#include <QDir>
#include <QDragEnterEvent>
#include <QDragLeaveEvent>
#include <QDragMoveEvent>
#include <QDropEvent>
#include <QFileInfo>
#include <QFileSystemModel>
#include <QHeaderView>
#include <QKeyEvent>
#include <QMenu>
#include <QMimeData>
#include <QScrollBar>
#include <QTimer>
#include <QUrl>

namespace {

// The local files a drag carries, in their order.
QStringList LocalFiles(const QMimeData* mime) {
  QStringList paths;
  if (!mime || !mime->hasUrls()) return paths;
  for (const QUrl& u : mime->urls())
    if (u.isLocalFile() && !u.toLocalFile().isEmpty()) paths << u.toLocalFile();
  return paths;
}

// Shift alone moves; no key, Ctrl, or Ctrl with Shift copy.
Qt::DropAction WantedAction(Qt::KeyboardModifiers mods) {
  return (mods & Qt::ShiftModifier) && !(mods & Qt::ControlModifier) ? Qt::MoveAction
                                                                     : Qt::CopyAction;
}

}  // namespace

#include "widgets/foldermodel.h"

TFolderTree::TFolderTree(QWidget* parent) : QTreeView(parent), model_(new TFolderModel(this)) {
  model_->setReadOnly(true);
  model_->setFilter(QDir::AllDirs | QDir::NoDotAndDotDot | QDir::Drives);
  // Folders only: the watcher and icon lookups for files would be wasted.
  model_->setOption(QFileSystemModel::DontUseCustomDirectoryIcons);
  model_->setRootPath(QStringLiteral("/"));
  setModel(model_);
  for (int c = 1; c < model_->columnCount(); ++c) hideColumn(c);
  header()->hide();
  // The one column is as wide as its deepest shown node, so a deep tree
  // scrolls sideways instead of cutting names off at the edge.
  header()->setStretchLastSection(false);
  header()->setSectionResizeMode(0, QHeaderView::ResizeToContents);
  setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
  setHorizontalScrollMode(ScrollPerPixel);
  setEditTriggers(NoEditTriggers);
  setSelectionMode(SingleSelection);
  setUniformRowHeights(true);
  setDragDropMode(NoDragDrop);
  // Files from other programs or the file list drop onto folders.
  setAcceptDrops(true);
  viewport()->setAcceptDrops(true);
  // The selected folder stays highlighted while another control has focus.
  QPalette pal = palette();
  pal.setColor(QPalette::Inactive, QPalette::Highlight,
               pal.color(QPalette::Active, QPalette::Highlight));
  pal.setColor(QPalette::Inactive, QPalette::HighlightedText,
               pal.color(QPalette::Active, QPalette::HighlightedText));
  setPalette(pal);
  connect(selectionModel(), &QItemSelectionModel::currentChanged, this,
          [this](const QModelIndex& current) {
            if (current.isValid()) emit FolderChanged(model_->filePath(current));
          });
  auto* rescroll = new QTimer(this);
  rescroll->setSingleShot(true);
  rescroll->setInterval(0);
  connect(rescroll, &QTimer::timeout, this, [this] {
    if (keepInView_ && currentIndex().isValid()) scrollTo(currentIndex());
  });
  auto later = [rescroll] { rescroll->start(); };
  connect(model_, &QFileSystemModel::directoryLoaded, this, later);
  connect(model_, &QAbstractItemModel::rowsInserted, this, later);
  connect(model_, &QAbstractItemModel::layoutChanged, this, later);
  // The column widens as deeper rows are laid out: only then can the view
  // scroll as far as a deep node needs.
  connect(horizontalScrollBar(), &QScrollBar::rangeChanged, this, later);
  // The home folder is one glance away: its branch is open from the start.
  const QModelIndex home = model_->index(QDir::homePath());
  for (QModelIndex i = home.parent(); i.isValid(); i = i.parent()) expand(i);
}

QFileSystemModel* TFolderTree::FsModel() const { return model_; }

void TFolderTree::SetFileNodePredicate(FileNodePredicate isNode) {
  model_->SetFileNodePredicate(std::move(isNode));
  scheduleDelayedItemsLayout();
}

void TFolderTree::scrollTo(const QModelIndex& index, ScrollHint hint) {
  QTreeView::scrollTo(index, hint);
  if (!index.isValid()) return;
  // The base class only brings the column into view; the node itself may
  // sit far to the right of it at its depth.
  const QRect r = visualRect(index);
  const int viewW = viewport()->width();
  if (r.isEmpty() || viewW <= 0) return;
  QScrollBar* bar = horizontalScrollBar();
  // Names read from the left whenever the node's arrow and as much of its
  // name as fits are in view so; else the view starts at the node's arrow.
  // The cell reaches to the column's end: the node's own width is its
  // icon and name.
  const int x = r.left() + bar->value();
  const int nodeW = std::min(sizeHintForIndex(index).width(), r.width());
  const bool fitsFromLeft = x + std::min(nodeW, viewW / 2) <= viewW;
  bar->setValue(fitsFromLeft ? 0 : x - indentation());
}

QString TFolderTree::SelectedPath() const {
  const QModelIndex i = currentIndex();
  return i.isValid() ? model_->filePath(i) : QString();
}

bool TFolderTree::SelectPath(const QString& path) {
  QString p = QDir::cleanPath(QFileInfo(path).absoluteFilePath());
  QModelIndex i;
  while (true) {
    const QFileInfo info(p);
    if (info.isDir() || (archiveMode_ && info.isFile())) i = model_->index(p);
    if (i.isValid() || p == QStringLiteral("/") || p.isEmpty()) break;
    const qsizetype slash = p.lastIndexOf('/');
    p = slash <= 0 ? QStringLiteral("/") : p.left(slash);
  }
  if (!i.isValid()) i = model_->index(QStringLiteral("/"));
  if (!i.isValid()) return false;
  for (QModelIndex a = i.parent(); a.isValid(); a = a.parent()) expand(a);
  setCurrentIndex(i);
  scrollTo(i);
  keepInView_ = true;
  return true;
}

void TFolderTree::SelectFirstNode() {
  const QModelIndex first = model_->index(0, 0, rootIndex());
  if (first.isValid()) {
    setCurrentIndex(first);
    scrollTo(first);
  }
}

void TFolderTree::mousePressEvent(QMouseEvent* e) {
  keepInView_ = false;
  QTreeView::mousePressEvent(e);
}

void TFolderTree::wheelEvent(QWheelEvent* e) {
  keepInView_ = false;
  QTreeView::wheelEvent(e);
}

void TFolderTree::showEvent(QShowEvent* e) {
  QTreeView::showEvent(e);
  if (currentIndex().isValid()) scrollTo(currentIndex());
}

void TFolderTree::SetArchiveExtensions(const QString& commaList) {
  archivePatterns_.clear();
  for (const QString& ext : commaList.split(',', Qt::SkipEmptyParts))
    archivePatterns_ << QStringLiteral("*") + ext.trimmed();
  ApplyArchiveFilter();
}

void TFolderTree::SetArchiveMode(bool on) {
  archiveMode_ = on;
  ApplyArchiveFilter();
}

void TFolderTree::ApplyArchiveFilter() {
  // Name filters apply to files only (AllDirs); with no pattern there are
  // no archive files to show at all.
  const bool files = archiveMode_ && !archivePatterns_.isEmpty();
  model_->setNameFilterDisables(false);
  model_->setNameFilters(files ? archivePatterns_ : QStringList());
  QDir::Filters filter = model_->filter();
  filter.setFlag(QDir::Files, files);
  model_->setFilter(filter);
  // A folder holding only archives must still get its expand arrow.
  FileNodePredicate isArchive;
  if (files) {
    QStringList suffixes;
    for (const QString& p : archivePatterns_) suffixes << p.mid(1);  // "*.zip" -> ".zip"
    isArchive = [suffixes](std::string_view name) {
      const QString n = QString::fromUtf8(name.data(), static_cast<qsizetype>(name.size()));
      for (const QString& s : suffixes)
        if (n.size() > s.size() && n.endsWith(s, Qt::CaseInsensitive)) return true;
      return false;
    };
  }
  model_->SetFileNodePredicate(std::move(isArchive));
}

void TFolderTree::SelectHome() { SelectPath(QDir::homePath()); }

void TFolderTree::keyPressEvent(QKeyEvent* e) {
  keepInView_ = false;
  if (e->key() == Qt::Key_Home && e->modifiers() == Qt::AltModifier) {
    SelectHome();
    return;
  }
  QTreeView::keyPressEvent(e);
}

void TFolderTree::contextMenuEvent(QContextMenuEvent* e) {
  QMenu menu(this);
  menu.addAction(QStringLiteral("ホームフォルダ(&H)"), this, &TFolderTree::SelectHome);
  menu.exec(e->globalPos());
}

// ---------------------------------------------------------------------------
// Drop target

QString TFolderTree::DropTargetPath() const {
  return dropTarget_.isValid() ? model_->filePath(dropTarget_) : QString();
}

void TFolderTree::ClearDropTarget() { SetDropTarget({}); }

void TFolderTree::SetDropTarget(const QModelIndex& index) {
  if (QModelIndex(dropTarget_) == index) return;
  if (dropTarget_.isValid()) viewport()->update(visualRect(dropTarget_));
  dropTarget_ = index;
  if (index.isValid()) viewport()->update(visualRect(index));
}

QModelIndex TFolderTree::FolderNodeAt(const QPoint& pos) const {
  const QModelIndex i = indexAt(pos);
  // Only a real folder takes files (not, for example, an archive shown as a node).
  if (!i.isValid() || !QFileInfo(model_->filePath(i)).isDir()) return {};
  return i.siblingAtColumn(0);
}

void TFolderTree::dragEnterEvent(QDragEnterEvent* e) {
  if (LocalFiles(e->mimeData()).isEmpty()) {
    e->ignore();
    return;
  }
  // Accepted over the whole tree, so that moving over empty space ends
  // in no drop at all rather than reaching the window behind. The enter
  // stays accepted wherever it happens (a drag often comes in over empty
  // space beside the names): an ignored enter would hand the whole drag to
  // the window, whose drop loads the file instead of copying it.
  dragMoveEvent(e);
  e->accept();
}

void TFolderTree::dragMoveEvent(QDragMoveEvent* e) {
  const QPoint pos = e->position().toPoint();
  const QModelIndex node = FolderNodeAt(pos);
  SetDropTarget(node);
  if (!node.isValid()) {
    e->ignore(visualRect(indexAt(pos)));
    return;
  }
  Qt::DropAction action = WantedAction(e->modifiers());
  if (!(e->possibleActions() & action)) action = Qt::CopyAction;
  if (!(e->possibleActions() & action)) {
    e->ignore();
    return;
  }
  e->setDropAction(action);
  e->accept(visualRect(node));
}

void TFolderTree::dragLeaveEvent(QDragLeaveEvent* e) {
  ClearDropTarget();
  e->accept();
}

void TFolderTree::dropEvent(QDropEvent* e) {
  const QModelIndex node = FolderNodeAt(e->position().toPoint());
  const QStringList paths = LocalFiles(e->mimeData());
  ClearDropTarget();
  if (!node.isValid() || paths.isEmpty()) {
    e->ignore();
    return;
  }
  Qt::DropAction action = WantedAction(e->modifiers());
  if (!(e->possibleActions() & action)) action = Qt::CopyAction;
  e->setDropAction(action);
  e->accept();
  emit FilesDropped(paths, model_->filePath(node), action);
}

void TFolderTree::drawRow(QPainter* painter, const QStyleOptionViewItem& option,
                          const QModelIndex& index) const {
  if (!dropTarget_.isValid() || index.siblingAtColumn(0) != QModelIndex(dropTarget_)) {
    QTreeView::drawRow(painter, option, index);
    return;
  }
  // The drop target is drawn as selected.
  QStyleOptionViewItem o = option;
  o.state |= QStyle::State_Selected;
  QTreeView::drawRow(painter, o, index);
}

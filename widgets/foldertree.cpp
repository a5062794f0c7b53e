#include "widgets/foldertree.h"

#include <QContextMenuEvent>
#include <QDir>
#include <QFileInfo>
#include <QFileSystemModel>
#include <QHeaderView>
#include <QKeyEvent>
#include <QMenu>
#include <QScrollBar>
#include <QTimer>

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
  // Show the node's arrow and as much of its name as fits.
  const int left = r.left() - indentation();
  if (left < 0 || r.left() + std::min(r.width(), viewW / 2) > viewW)
    bar->setValue(bar->value() + left);
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

#include "widgets/filelist.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <QApplication>
#include <QDateTime>
#include <QDir>
#include <QDrag>
#include <QFile>
#include <QFileIconProvider>
#include <QFileSystemWatcher>
#include <QFontMetrics>
#include <QHeaderView>
#include <QKeyEvent>
#include <QListView>
#include <QLocale>
#include <QMimeData>
#include <QMouseEvent>
#include <QScrollBar>
#include <QStackedWidget>
#include <QStyledItemDelegate>
#include <QTimer>
#include <QTreeView>
#include <QUrl>
#include <QVBoxLayout>
#include <algorithm>
#include <set>

namespace {

QString SizeText(qint64 bytes) {
  // Whole kilobytes, rounded up, as file managers have long shown them.
  const qint64 kb = (bytes + 1023) / 1024;
  return QLocale(QLocale::English).toString(kb) + QStringLiteral(" KB");
}

QString TypeText(const QString& extension) {
  if (extension.size() <= 1) return QStringLiteral("ファイル");
  return extension.mid(1).toUpper() + QStringLiteral(" ファイル");
}

// Keeps the small-icon style's items inside their grid cells: the list
// mode sizes an item by its whole name, so a long one ran on under the next
// column. Bounded to the cell, the name is elided as the view says (in the
// middle, keeping start and extension).
class GridCellDelegate : public QStyledItemDelegate {
 public:
  using QStyledItemDelegate::QStyledItemDelegate;

  QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override {
    QSize size = QStyledItemDelegate::sizeHint(option, index);
    const int cell = CellWidth(option);
    if (cell > 0) size.setWidth(std::min(size.width(), cell));
    return size;
  }
  void paint(QPainter* painter, const QStyleOptionViewItem& option,
             const QModelIndex& index) const override {
    QStyleOptionViewItem o(option);
    const int cell = CellWidth(option);
    if (cell > 0) o.rect.setWidth(std::min(o.rect.width(), cell));
    QStyledItemDelegate::paint(painter, o, index);
  }

 private:
  // The grid cell's width in the list mode with a grid, else 0.
  static int CellWidth(const QStyleOptionViewItem& option) {
    const auto* view = qobject_cast<const QListView*>(option.widget);
    if (!view || view->viewMode() != QListView::ListMode || !view->gridSize().isValid()) return 0;
    return view->gridSize().width() - 2 * view->spacing();
  }
};

}  // namespace

// ---------------------------------------------------------------------------

void FileListModel::SetEntries(std::vector<Entry> entries) {
  beginResetModel();
  entries_ = std::move(entries);
  SortEntries();
  endResetModel();
}

int FileListModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : static_cast<int>(entries_.size());
}

int FileListModel::columnCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : 5; }

QVariant FileListModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid() || index.row() >= rowCount()) return {};
  const Entry& e = At(index.row());
  if (role == Qt::DisplayRole) {
    switch (index.column()) {
      case 0:
        return e.name;
      case 1:
        return SizeText(e.size);
      case 2:
        return TypeText(e.extension);
      case 3:
        return QDateTime::fromSecsSinceEpoch(e.modified)
            .toString(QStringLiteral("yyyy/MM/dd hh:mm"));
      case 4:
        return e.extension;
    }
  } else if (role == Qt::DecorationRole && index.column() == 0) {
    if (iconSource_) {
      QIcon icon = iconSource_(e.name);
      if (!icon.isNull()) return icon;
    }
    return large_ ? largeIcon_ : smallIcon_;
  } else if (role == Qt::ToolTipRole && index.column() == 0) {
    // The whole name, for the views that shorten it.
    return e.name;
  } else if (role == Qt::TextAlignmentRole && index.column() == 1) {
    return QVariant::fromValue(Qt::AlignRight | Qt::AlignVCenter);
  }
  return {};
}

QVariant FileListModel::headerData(int section, Qt::Orientation o, int role) const {
  if (o == Qt::Horizontal && role == Qt::DisplayRole && section < headers_.size())
    return headers_[section];
  return QAbstractTableModel::headerData(section, o, role);
}

void FileListModel::SetHeaders(const QStringList& headers) {
  headers_ = headers;
  emit headerDataChanged(Qt::Horizontal, 0, columnCount() - 1);
}

void FileListModel::SetIcons(const QIcon& small, const QIcon& large) {
  smallIcon_ = small;
  largeIcon_ = large;
}

void FileListModel::SetLargeIcons(bool large) {
  if (large_ == large) return;
  large_ = large;
  if (!entries_.empty()) emit dataChanged(index(0, 0), index(rowCount() - 1, 0));
}

void FileListModel::IconChanged(const QString& name) {
  for (int r = 0; r < rowCount(); ++r)
    if (entries_[static_cast<size_t>(r)].name == name) {
      emit dataChanged(index(r, 0), index(r, 0), {Qt::DecorationRole});
      return;
    }
}

void FileListModel::sort(int column, Qt::SortOrder order) {
  emit layoutAboutToBeChanged();
  sortColumn_ = column;
  sortOrder_ = order;
  SortEntries();
  emit layoutChanged();
}

void FileListModel::SortEntries() {
  auto byName = [](const Entry& a, const Entry& b) {
    return QString::compare(a.name, b.name, Qt::CaseInsensitive) < 0;
  };
  auto less = [&](const Entry& a, const Entry& b) {
    switch (sortColumn_) {
      case 1:
        if (a.size != b.size) return a.size < b.size;
        break;
      case 2:
      case 4: {
        const int c = QString::compare(a.extension, b.extension, Qt::CaseInsensitive);
        if (c != 0) return c < 0;
        break;
      }
      case 3:
        if (a.modified != b.modified) return a.modified < b.modified;
        break;
    }
    return byName(a, b);
  };
  if (sortOrder_ == Qt::AscendingOrder)
    std::stable_sort(entries_.begin(), entries_.end(), less);
  else
    std::stable_sort(entries_.begin(), entries_.end(),
                     [&](const Entry& a, const Entry& b) { return less(b, a); });
}

// ---------------------------------------------------------------------------

TFileList::TFileList(QWidget* parent)
    : QWidget(parent),
      model_(new FileListModel(this)),
      stack_(new QStackedWidget(this)),
      list_(new QListView),
      details_(new QTreeView),
      watcher_(new QFileSystemWatcher(this)) {
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->addWidget(stack_);
  stack_->addWidget(list_);
  stack_->addWidget(details_);

  QFileIconProvider icons;
  const QIcon file = icons.icon(QFileIconProvider::File);
  model_->SetIcons(file, file);

  details_->setModel(model_);
  list_->setModel(model_);
  list_->setSelectionModel(details_->selectionModel());  // one selection for both views
  for (QAbstractItemView* v :
       {static_cast<QAbstractItemView*>(list_), static_cast<QAbstractItemView*>(details_)}) {
    v->setSelectionMode(QAbstractItemView::ExtendedSelection);
    // Pressing on a selected item keeps the selection, so that several
    // files can be dragged; the drag itself is started here (StartDrag).
    v->setDragEnabled(true);
    v->setEditTriggers(QAbstractItemView::NoEditTriggers);
    v->setContextMenuPolicy(Qt::CustomContextMenu);
    v->installEventFilter(this);
    v->viewport()->installEventFilter(this);
    connect(v, &QAbstractItemView::clicked, this, [this] {
      if (lastButton_ == Qt::LeftButton) emit ItemClicked();
    });
    connect(v, &QWidget::customContextMenuRequested, this, [this, v](const QPoint& p) {
      emit ContextMenuRequested(v->viewport()->mapToGlobal(p));
    });
  }
  details_->setRootIsDecorated(false);
  details_->setItemsExpandable(false);
  details_->setUniformRowHeights(true);
  details_->setAllColumnsShowFocus(true);
  details_->header()->setSectionResizeMode(QHeaderView::ResizeToContents);
  details_->header()->setSortIndicator(0, Qt::AscendingOrder);
  details_->setSortingEnabled(true);
  list_->setMovement(QListView::Static);
  list_->setResizeMode(QListView::Adjust);
  list_->setTextElideMode(Qt::ElideMiddle);
  list_->setItemDelegate(new GridCellDelegate(list_));
  connect(details_->selectionModel(), &QItemSelectionModel::selectionChanged, this,
          &TFileList::SelectionChanged);

  // Changes on disk re-read the folder, at most a few times a second.
  auto* settle = new QTimer(this);
  settle->setSingleShot(true);
  settle->setInterval(250);
  connect(settle, &QTimer::timeout, this, &TFileList::Refresh);
  connect(watcher_, &QFileSystemWatcher::directoryChanged, settle, qOverload<>(&QTimer::start));
  for (QAbstractItemView* v :
       {static_cast<QAbstractItemView*>(list_), static_cast<QAbstractItemView*>(details_)}) {
    connect(v->verticalScrollBar(), &QScrollBar::valueChanged, this, &TFileList::Scrolled);
    connect(v->horizontalScrollBar(), &QScrollBar::valueChanged, this, &TFileList::Scrolled);
  }

  SetViewStyle(2);
}

void TFileList::SetColumnCaptions(const QStringList& captions) { model_->SetHeaders(captions); }

void TFileList::SetFolder(const QString& folder, bool read) {
  if (!watcher_->directories().isEmpty()) watcher_->removePaths(watcher_->directories());
  const bool other = folder != folder_;
  folder_ = folder;
  if (!folder_.isEmpty() && QFileInfo(folder_).isDir()) watcher_->addPath(folder_);
  // Another folder starts at its first file; the same one read again keeps
  // its place. The views keep their scroll position across a model reset.
  if (other)
    for (QAbstractItemView* v :
         {static_cast<QAbstractItemView*>(list_), static_cast<QAbstractItemView*>(details_)}) {
      v->verticalScrollBar()->setValue(0);
      v->horizontalScrollBar()->setValue(0);
    }
  if (read)
    ReadFolder();
  else
    emit Listed();
}

void TFileList::SetNameFilter(NameFilter filter) {
  filter_ = std::move(filter);
  ReadFolder();
}

void TFileList::Refresh() {
  std::set<QString> selected;
  for (int r : SelectedRows()) selected.insert(Caption(r));
  const QModelIndex cur = details_->selectionModel()->currentIndex();
  const QString current = cur.isValid() ? Caption(cur.row()) : QString();
  ReadFolder();
  QItemSelection sel;
  for (int r = 0; r < Count(); ++r)
    if (selected.count(Caption(r))) sel.select(model_->index(r, 0), model_->index(r, 4));
  QItemSelectionModel* sm = details_->selectionModel();
  sm->select(sel, QItemSelectionModel::ClearAndSelect);
  const int row = current.isEmpty() ? -1 : RowOf(current);
  if (row >= 0) sm->setCurrentIndex(model_->index(row, 0), QItemSelectionModel::NoUpdate);
}

void TFileList::ReadFolder() {
  std::vector<FileListModel::Entry> entries;
  // Straight from the directory: names are filtered before anything is
  // asked of the file system, so large folders list quickly. An unreadable
  // or vanished folder simply lists nothing.
  DIR* dir = folder_.isEmpty() ? nullptr : opendir(QFile::encodeName(folder_).constData());
  if (dir) {
    const int fd = dirfd(dir);
    while (const dirent* d = readdir(dir)) {
      const std::string_view name = d->d_name;
      if (name.empty() || name.front() == '.') continue;  // hidden files, "." and ".."
      if (d->d_type != DT_REG && d->d_type != DT_LNK && d->d_type != DT_UNKNOWN) continue;
      if (filter_ && !filter_(name)) continue;
      struct stat st;
      if (fstatat(fd, d->d_name, &st, 0) != 0 || !S_ISREG(st.st_mode)) continue;
      FileListModel::Entry e;
      e.name = QFile::decodeName(d->d_name);
      const qsizetype dot = e.name.lastIndexOf('.');
      e.extension = dot >= 0 ? e.name.mid(dot) : QString();
      e.size = st.st_size;
      e.modified = st.st_mtim.tv_sec;
      entries.push_back(std::move(e));
    }
    closedir(dir);
  }
  model_->SetEntries(std::move(entries));
  FitGrid();
  emit Listed();
}

void TFileList::SetIconSource(FileListModel::IconSource source) {
  model_->SetIconSource(std::move(source));
}

void TFileList::SetLargeIconSize(int px) {
  if (px == largeIcon_) return;
  largeIcon_ = px;
  if (style_ == 0) {
    list_->setIconSize(QSize(px, px));
    FitGrid();
  }
}

QStringList TFileList::VisibleCaptions() const {
  QStringList names;
  QAbstractItemView* v = CurrentView();
  const QRect area = v->viewport()->rect();
  for (int r = 0; r < Count(); ++r)
    if (v->visualRect(model_->index(r, 0)).intersects(area)) names << Caption(r);
  return names;
}

bool TFileList::VisibleRows(int& first, int& last) const {
  QAbstractItemView* v = CurrentView();
  const QRect area = v->viewport()->rect();
  const int n = Count();
  const auto rect = [&](int r) { return v->visualRect(model_->index(r, 0)); };
  // The first row whose item ends below the top, the first that starts
  // below the bottom.
  int lo = 0, hi = n;
  while (lo < hi) {
    const int mid = lo + (hi - lo) / 2;
    const QRect r = rect(mid);
    if (r.isValid() && r.bottom() >= area.top())
      hi = mid;
    else
      lo = mid + 1;
  }
  first = lo;
  hi = n;
  while (lo < hi) {
    const int mid = lo + (hi - lo) / 2;
    const QRect r = rect(mid);
    if (r.isValid() && r.top() > area.bottom())
      hi = mid;
    else
      lo = mid + 1;
  }
  last = lo - 1;
  return first <= last && rect(first).intersects(area);
}

void TFileList::SetViewStyle(int style) {
  if (style < 0 || style > 3 || style == style_) return;
  style_ = style;
  model_->SetLargeIcons(style == 0);
  if (style == 3) {
    stack_->setCurrentWidget(details_);
    emit Listed();
    return;
  }
  switch (style) {
    case 0:  // large icons in rows, captions under them
      list_->setViewMode(QListView::IconMode);
      list_->setFlow(QListView::LeftToRight);
      list_->setIconSize(QSize(largeIcon_, largeIcon_));
      list_->setWordWrap(true);
      break;
    case 1:  // small icons in rows
      list_->setViewMode(QListView::ListMode);
      list_->setFlow(QListView::LeftToRight);
      list_->setIconSize(QSize(16, 16));
      list_->setWordWrap(false);
      break;
    default:  // list: columns flowing top to bottom
      list_->setViewMode(QListView::ListMode);
      list_->setFlow(QListView::TopToBottom);
      list_->setIconSize(QSize(16, 16));
      list_->setGridSize(QSize());
      list_->setWordWrap(false);
      break;
  }
  list_->setWrapping(true);
  list_->setMovement(QListView::Static);
  list_->setResizeMode(QListView::Adjust);
  FitGrid();
  stack_->setCurrentWidget(list_);
  emit Listed();
}

void TFileList::FitGrid() {
  // The icon styles lay items out on a grid: one cell as wide as the
  // longest name (within bounds), so that no caption runs into the next;
  // a name longer than that loses its middle, keeping start and extension.
  if (style_ != 0 && style_ != 1) return;
  const QFontMetrics fm(list_->font());
  int longest = 0;
  for (int r = 0; r < Count(); ++r)
    longest = std::max(longest, fm.horizontalAdvance(model_->At(r).name));
  if (style_ == 0) {
    const int w = std::clamp(longest + 12, kLargeCellMin, kLargeCellMax);
    list_->setGridSize(QSize(w, largeIcon_ + 8 + 2 * fm.height() + 4));
  } else {
    const int w = std::clamp(16 + 6 + longest + 14, kSmallCellMin, kSmallCellMax);
    list_->setGridSize(QSize(w, std::max(20, fm.height() + 4)));
  }
}

int TFileList::Count() const { return model_->rowCount(); }
QString TFileList::Caption(int row) const { return model_->At(row).name; }
QString TFileList::Extension(int row) const { return model_->At(row).extension; }

int TFileList::RowOf(const QString& caption) const {
  for (int r = 0; r < Count(); ++r)
    if (Caption(r) == caption) return r;
  return -1;
}

std::vector<int> TFileList::SelectedRows() const {
  std::vector<int> rows;
  // The icon views select single cells, the details view whole rows: the
  // name column tells for both.
  for (const QModelIndex& i : details_->selectionModel()->selectedIndexes())
    if (i.column() == 0) rows.push_back(i.row());
  std::sort(rows.begin(), rows.end());
  return rows;
}

void TFileList::SelectRow(int row) {
  const QModelIndex i = model_->index(row, 0);
  details_->selectionModel()->setCurrentIndex(
      i, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
}

QAbstractItemView* TFileList::CurrentView() const {
  return style_ == 3 ? static_cast<QAbstractItemView*>(details_)
                     : static_cast<QAbstractItemView*>(list_);
}

QRect TFileList::ItemRect(int row) const {
  QAbstractItemView* v = CurrentView();
  const QModelIndex i = model_->index(row, 0);
  v->doItemsLayout();  // the views lay out lazily; the rectangle must be current
  v->scrollTo(i);
  return v->visualRect(i);
}

QStringList TFileList::SelectedPaths() const {
  QStringList paths;
  const QString dir = folder_.endsWith('/') ? folder_ : folder_ + '/';
  for (int r : SelectedRows()) paths << dir + Caption(r);
  return paths;
}

void TFileList::StartDrag(QAbstractItemView* view) {
  const Qt::MouseButton button = pressButton_;
  pressButton_ = Qt::NoButton;
  // Only the left button drags; another one ends the gesture without a drop.
  dragOtherButton_ = button != Qt::LeftButton;
  if (dragOtherButton_) return;
  const QStringList paths = SelectedPaths();
  if (folder_.isEmpty() || paths.isEmpty()) return;
  QList<QUrl> urls;
  for (const QString& p : paths) urls << QUrl::fromLocalFile(p);
  auto* mime = new QMimeData;
  mime->setUrls(urls);
  auto* drag = new QDrag(view);
  drag->setMimeData(mime);
  const Qt::DropActions actions = Qt::CopyAction | Qt::MoveAction;
  if (dragRunner_)
    dragRunner_(*drag, actions);
  else
    drag->exec(actions, Qt::CopyAction);
  drag->deleteLater();
}

bool TFileList::eventFilter(QObject* watched, QEvent* event) {
  switch (event->type()) {
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonDblClick: {
      const auto* me = static_cast<QMouseEvent*>(event);
      lastButton_ = me->button();
      pressButton_ = Qt::NoButton;
      // A drag may begin only on an item of a view's viewport.
      for (QAbstractItemView* v :
           {static_cast<QAbstractItemView*>(list_), static_cast<QAbstractItemView*>(details_)})
        if (watched == v->viewport() && v->indexAt(me->position().toPoint()).isValid()) {
          pressButton_ = me->button();
          pressPos_ = me->position().toPoint();
        }
      break;
    }
    case QEvent::MouseMove: {
      const auto* me = static_cast<QMouseEvent*>(event);
      if (pressButton_ == Qt::NoButton || !(me->buttons() & pressButton_)) break;
      if ((me->position().toPoint() - pressPos_).manhattanLength() <
          QApplication::startDragDistance())
        break;
      auto* view = watched == list_->viewport() ? static_cast<QAbstractItemView*>(list_)
                                                : static_cast<QAbstractItemView*>(details_);
      StartDrag(view);
      return true;  // the view must not stretch its selection meanwhile
    }
    case QEvent::MouseButtonRelease:
      pressButton_ = Qt::NoButton;
      break;
    case QEvent::KeyPress: {
      const int key = static_cast<QKeyEvent*>(event)->key();
      if ((key == Qt::Key_Return || key == Qt::Key_Enter) &&
          (watched == list_ || watched == details_)) {
        emit EnterPressed();
        return true;
      }
      break;
    }
    default:
      break;
  }
  return QWidget::eventFilter(watched, event);
}

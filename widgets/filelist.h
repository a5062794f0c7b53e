// The list of one folder's files that pass a name filter, shown in one of
// four styles: large icons, small icons, list, details (five columns).
#pragma once

#include <QAbstractTableModel>
#include <QIcon>
#include <QWidget>
#include <functional>
#include <string_view>
#include <vector>

class QAbstractItemView;
class QDrag;
class QFileSystemWatcher;
class QListView;
class QStackedWidget;
class QTreeView;

// Rows: the files of one folder; columns name, size, type, modified and
// the extension (with its dot).
class FileListModel : public QAbstractTableModel {
  Q_OBJECT

 public:
  struct Entry {
    QString name, extension;
    qint64 size = 0;
    qint64 modified = 0;  // seconds since the epoch
  };

  using QAbstractTableModel::QAbstractTableModel;
  void SetEntries(std::vector<Entry> entries);
  const Entry& At(int row) const { return entries_[static_cast<size_t>(row)]; }

  int rowCount(const QModelIndex& parent = {}) const override;
  int columnCount(const QModelIndex& parent = {}) const override;
  QVariant data(const QModelIndex& index, int role) const override;
  QVariant headerData(int section, Qt::Orientation o, int role) const override;
  void sort(int column, Qt::SortOrder order) override;
  void SetHeaders(const QStringList& headers);
  void SetIcons(const QIcon& small, const QIcon& large);
  void SetLargeIcons(bool large);
  // Asked first for every name's icon; a null icon keeps the generic one.
  using IconSource = std::function<QIcon(const QString& name)>;
  void SetIconSource(IconSource source) { iconSource_ = std::move(source); }
  // Repaints the icon of the file of that name.
  void IconChanged(const QString& name);

 private:
  void SortEntries();
  std::vector<Entry> entries_;
  QStringList headers_;
  QIcon smallIcon_, largeIcon_;
  IconSource iconSource_;
  bool large_ = false;
  int sortColumn_ = 0;
  Qt::SortOrder sortOrder_ = Qt::AscendingOrder;
};

class TFileList : public QWidget {
  Q_OBJECT

 public:
  explicit TFileList(QWidget* parent = nullptr);

  // The folder listed ("" lists nothing); setting it re-reads the folder
  // unless read is false (the caller sets the name filter next).
  void SetFolder(const QString& folder, bool read = true);
  QString Folder() const { return folder_; }
  // Which file names are listed (the name's bytes as the file system has
  // them); re-reads the folder.
  using NameFilter = std::function<bool(std::string_view name)>;
  void SetNameFilter(NameFilter filter);
  // Re-reads the folder, keeping the selection by name.
  void Refresh();

  // 0 large icons, 1 small icons, 2 list, 3 details.
  void SetViewStyle(int style);
  int ViewStyle() const { return style_; }

  void SetColumnCaptions(const QStringList& captions);

  // Icons of the files (thumbnails); see FileListModel::SetIconSource.
  void SetIconSource(FileListModel::IconSource source);
  void IconChanged(const QString& name) { model_->IconChanged(name); }
  // Icon edge of the large-icon style (32 unless set).
  void SetLargeIconSize(int px);
  int LargeIconSize() const { return largeIcon_; }
  // Captions of the items the current view shows, in list order.
  QStringList VisibleCaptions() const;
  // The first and last row of the icon views' visible items; false when
  // none is (or the view is not laid out yet). Found by bisection: the
  // items lie in rows, left to right, in the list's order.
  bool VisibleRows(int& first, int& last) const;

  int Count() const;
  QString Caption(int row) const;
  QString Extension(int row) const;
  int RowOf(const QString& caption) const;
  // Selected rows in list order.
  std::vector<int> SelectedRows() const;
  void SelectRow(int row);

  // The mouse button last pressed on the list (Qt::NoButton before any).
  Qt::MouseButton LastButton() const { return lastButton_; }

  // The selected files' paths, in list order.
  QStringList SelectedPaths() const;
  // A drag gesture on an item drags the selected files out as file URLs,
  // offering copy and move. A gesture with another button than the left
  // one ends at once without a drop. The runner executes the drag with the
  // actions offered (tests replace it; the default is QDrag::exec).
  using DragRunner = std::function<Qt::DropAction(QDrag& drag, Qt::DropActions actions)>;
  void SetDragRunner(DragRunner runner) { dragRunner_ = std::move(runner); }
  // Whether the last drag gesture was started with another button than the left.
  bool DragWithOtherButton() const { return dragOtherButton_; }

  QAbstractItemView* CurrentView() const;
  QListView* IconView() const { return list_; }
  QTreeView* DetailView() const { return details_; }
  // An item's rectangle in the current view's viewport.
  QRect ItemRect(int row) const;

  // Bounds of an icon-style grid cell's width: names wider than the upper
  // bound are shortened in the middle.
  static constexpr int kLargeCellMin = 84, kLargeCellMax = 200;
  static constexpr int kSmallCellMin = 100, kSmallCellMax = 300;

 signals:
  // A left click released on an item.
  void ItemClicked();
  // Enter or Return with the list focused.
  void EnterPressed();
  void SelectionChanged();
  void ContextMenuRequested(const QPoint& globalPos);
  // The folder was read or the view style changed.
  void Listed();
  // The current view was scrolled or resized.
  void Scrolled();

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void ReadFolder();
  void FitGrid();
  void StartDrag(QAbstractItemView* view);

  FileListModel* model_;
  QStackedWidget* stack_;
  QListView* list_;
  QTreeView* details_;
  QFileSystemWatcher* watcher_;
  QString folder_;
  NameFilter filter_;
  int style_ = -1;
  int largeIcon_ = 32;
  Qt::MouseButton lastButton_ = Qt::NoButton;
  // The drag gesture: where and with which button it began.
  QPoint pressPos_;
  Qt::MouseButton pressButton_ = Qt::NoButton;
  bool dragOtherButton_ = false;
  DragRunner dragRunner_;
};

#include "app/archivebrowser.h"

#include <QFontMetrics>
#include <QHeaderView>
#include <QKeyEvent>
#include <QTreeWidget>
#include <algorithm>

namespace {

QString U(const std::string& utf8) { return QString::fromStdString(utf8); }

}  // namespace

TArchiveBrowser::TArchiveBrowser(QTreeWidget* list, ArchiverSearch search, std::string cacheFolder,
                                 std::string exePath, QObject* parent)
    : QObject(parent), list_(list), search_(std::move(search)), exePath_(std::move(exePath)) {
  cache_.folder = std::move(cacheFolder);
  list_->setColumnCount(4);
  list_->setHeaderLabels({QStringLiteral("ファイル名"), QStringLiteral("サイズ"),
                          QStringLiteral("ﾀｲﾌﾟ"), QStringLiteral("更新日付")});
  list_->headerItem()->setTextAlignment(1, Qt::AlignRight | Qt::AlignVCenter);
  list_->headerItem()->setTextAlignment(2, Qt::AlignCenter);
  list_->setRootIsDecorated(false);
  list_->setUniformRowHeights(true);
  list_->setSelectionMode(QAbstractItemView::SingleSelection);
  list_->setSelectionBehavior(QAbstractItemView::SelectRows);
  list_->setEditTriggers(QAbstractItemView::NoEditTriggers);
  list_->setAllColumnsShowFocus(true);
  list_->setSortingEnabled(false);
  QHeaderView* header = list_->header();
  header->setSectionsClickable(true);
  header->setStretchLastSection(false);
  header->resizeSection(1, 80);
  header->resizeSection(3, 120);
  connect(header, &QHeaderView::sectionClicked, this, &TArchiveBrowser::SortBy);
  // clicked comes from the left button only.
  connect(list_, &QTreeWidget::itemClicked, this, [this] { emit MemberActivated(); });
  list_->installEventFilter(this);
}

TArchiveBrowser::~TArchiveBrowser() { UnloadArchivers(table_); }

bool TArchiveBrowser::LoadModules(std::string& message) {
  current_ = kNoArchiver;
  const bool ok = LoadArchivers(table_, search_);
  message = MissingArchiversMessage(table_);
  return ok;
}

void TArchiveBrowser::UnloadModules() {
  // Nothing listed may reach a module that is gone.
  current_ = kNoArchiver;
  UnloadArchivers(table_);
}

std::string TArchiveBrowser::TreeExtensions(bool withExe) const {
  return TreeExtensionList(table_, withExe);
}

void TArchiveBrowser::Reset() { current_ = kNoArchiver; }

bool TArchiveBrowser::Detect(const std::string& path) {
  archivePath_ = path;
  current_ = DetectArchiver(table_, path);
  return current_ != kNoArchiver;
}

void TArchiveBrowser::List(const std::string& mask, bool everyMember) {
  rows_.clear();
  bool incomplete = false;
  if (current_ != kNoArchiver)
    ListMembers(table_.archivers[static_cast<size_t>(current_)], archivePath_, mask, everyMember,
                rows_, &incomplete);
  Fill();
  if (incomplete) emit LogLine(IncompleteListText(archivePath_));
}

std::string TArchiveBrowser::UnlistedText(const std::string& path) const {
  return UnlistedArchiveText(path);
}

void TArchiveBrowser::Fill() {
  list_->clear();
  QList<QTreeWidgetItem*> items;
  items.reserve(static_cast<qsizetype>(rows_.size()));
  const QFontMetrics fm(list_->font());
  int nameWidth = fm.horizontalAdvance(list_->headerItem()->text(0)) + 16;
  for (const MemberRow& r : rows_) {
    auto* item = new QTreeWidgetItem({U(r.path), U(r.size), U(r.type), U(r.date)});
    item->setTextAlignment(1, Qt::AlignRight | Qt::AlignVCenter);
    item->setTextAlignment(2, Qt::AlignCenter);
    nameWidth = std::max(nameWidth, fm.horizontalAdvance(item->text(0)) + 12);
    items.append(item);
  }
  list_->addTopLevelItems(items);
  list_->header()->resizeSection(0, std::min(nameWidth, 2000));
  // Size, type and date take what their texts need, never cut.
  for (int c = 1; c < 4; ++c) {
    int w = fm.horizontalAdvance(list_->headerItem()->text(c)) + 24;
    for (const QTreeWidgetItem* item : items)
      w = std::max(w, fm.horizontalAdvance(item->text(c)) + 16);
    list_->header()->resizeSection(c, w);
  }
}

void TArchiveBrowser::SortBy(int column) {
  sortKey_ = NextSortKey(sortKey_, column);
  const QTreeWidgetItem* cur = list_->currentItem();
  const QString selected = cur ? cur->text(0) : QString();
  SortMembers(rows_, sortKey_);
  Fill();
  for (int i = 0; i < list_->topLevelItemCount() && !selected.isEmpty(); ++i)
    if (list_->topLevelItem(i)->text(0) == selected) {
      list_->setCurrentItem(list_->topLevelItem(i));
      break;
    }
}

TArchiveBrowser::Extraction TArchiveBrowser::ExtractSelected(bool useCache, std::string& file,
                                                             std::string& displayName) {
  const QTreeWidgetItem* item = list_->currentItem();
  if (current_ == kNoArchiver || !item || !item->isSelected()) return Extraction::kNothing;
  const ArchiverSlot& slot = table_.archivers[static_cast<size_t>(current_)];
  if (!slot.Loaded()) return Extraction::kNothing;
  return ExtractWith(slot, archivePath_, item->text(0).toStdString(), useCache, file, displayName);
}

TArchiveBrowser::Extraction TArchiveBrowser::Extract(const std::string& archivePath,
                                                     const std::string& member, bool useCache,
                                                     std::string& file, std::string& displayName) {
  if (table_.archivers.empty() || std::none_of(table_.archivers.begin(), table_.archivers.end(),
                                               [](const ArchiverSlot& s) { return s.Loaded(); }))
    LoadArchivers(table_, search_);
  const int i = DetectArchiver(table_, archivePath);
  if (i == kNoArchiver) return Extraction::kFailed;
  return ExtractWith(table_.archivers[static_cast<size_t>(i)], archivePath, member, useCache, file,
                     displayName);
}

TArchiveBrowser::Extraction TArchiveBrowser::ExtractWith(const ArchiverSlot& slot,
                                                         const std::string& archivePath,
                                                         const std::string& member, bool useCache,
                                                         std::string& file,
                                                         std::string& displayName) {
  int status = 0;
  lastMember_ = member;
  displayName = MemberDisplayName(archivePath, member);
  if (ExtractMember(slot, cache_, archivePath, member, useCache, file, &status))
    return Extraction::kReady;
  const std::string refusal = ExtractRefusalText(status, displayName);
  if (refusal.empty()) return Extraction::kFailed;
  displayName = refusal;
  return Extraction::kRefused;
}

void TArchiveBrowser::DeleteCache() {
  DeleteCacheFolder(cache_.folder, exePath_);
  cache_.producedBy.clear();
}

bool TArchiveBrowser::eventFilter(QObject* watched, QEvent* event) {
  if (watched == list_ && event->type() == QEvent::KeyPress) {
    const int key = static_cast<QKeyEvent*>(event)->key();
    if (key == Qt::Key_Return || key == Qt::Key_Enter) {
      emit MemberActivated();
      return true;
    }
  }
  return QObject::eventFilter(watched, event);
}

#include "app/thumbnail_gallery.h"

#include <sys/inotify.h>
#include <unistd.h>

#include <QAbstractItemView>
#include <QFile>
#include <QFileIconProvider>
#include <QPainter>
#include <QPen>
#include <QProcess>
#include <QSocketNotifier>
#include <QThread>
#include <QTimer>
#include <algorithm>
#include <cstdio>

#include "app/thumbnail.h"
#include "widgets/filelist.h"

namespace {

// Work per tick of the window's loop: cache look-ups stop once this much
// time is spent; finished children and their pictures are read a few at a
// time.
constexpr int kTickBudgetMs = 6;
constexpr int kFinishedPerTick = 4;
constexpr int kPicturesPerTick = 3;
// The child limits itself; this only guards against one that is stuck
// where its own limits cannot reach it.
constexpr int kChildDeadlineMs = (kThumbnailTimeLimit + 5) * 1000;

std::string PathBytes(const QString& path) { return QFile::encodeName(path).toStdString(); }

// MemAvailable of /proc/meminfo in bytes; 0 when it cannot be read.
uint64_t AvailableMemory() {
  FILE* f = fopen("/proc/meminfo", "re");
  if (!f) return 0;
  char line[256];
  unsigned long long kib = 0;
  bool found = false;
  while (!found && fgets(line, sizeof line, f))
    found = sscanf(line, "MemAvailable: %llu kB", &kib) == 1;
  fclose(f);
  return found ? static_cast<uint64_t>(kib) * 1024 : 0;
}

bool SameSource(const ThumbSource& a, const ThumbSource& b) {
  return a.mtime == b.mtime && a.size == b.size && a.uri == b.uri;
}

}  // namespace

ThumbnailGallery::ThumbnailGallery(QObject* parent)
    : QObject(parent), root_(ThumbnailCacheRoot()), timer_(new QTimer(this)) {
  // Short pauses between ticks keep the window answering while a warm
  // folder is read at full speed.
  timer_->setInterval(1);
  connect(timer_, &QTimer::timeout, this, &ThumbnailGallery::Tick);
}

ThumbnailGallery::~ThumbnailGallery() {
  for (Child& c : children_) {
    c.process->disconnect(this);
    c.process->kill();
    c.process->waitForFinished(1000);
  }
}

int ThumbnailGallery::ChildLimit(int processors, uint64_t availableBytes) {
  const int n = std::max(1, std::min(kMaxChildren, processors - 1));
  if (availableBytes == 0) return n;
  return static_cast<int>(
      std::clamp<uint64_t>(availableBytes / kChildMemoryBytes, 1, static_cast<uint64_t>(n)));
}

int ThumbnailGallery::MaxProcesses() {
  return ChildLimit(QThread::idealThreadCount(), AvailableMemory());
}

void ThumbnailGallery::Request(const QStringList& paths) {
  ClearQueues();
  wanted_ = paths;
  QHash<QString, Result> kept;
  for (const QString& path : paths) {
    auto it = results_.find(path);
    ThumbSource now;
    // A known file keeps its picture while its size and time stay.
    if (it != results_.end() && StatThumbSource(PathBytes(path), now) &&
        SameSource(now, it->source))
      kept.insert(path, *it);
    else
      check_.push_back(path);
  }
  const bool dropped = kept.size() != results_.size();
  QStringList gone;
  if (dropped)
    for (auto it = results_.cbegin(); it != results_.cend(); ++it)
      if (!kept.contains(it.key())) gone << it.key();
  results_ = std::move(kept);
  for (const QString& path : gone) emit Changed(path);
  Schedule();
  if (Idle()) emit WentIdle();
}

void ThumbnailGallery::Prioritize(const QStringList& paths) {
  for (auto it = paths.crbegin(); it != paths.crend(); ++it) {
    auto c = std::find(check_.begin(), check_.end(), *it);
    if (c != check_.end()) {
      check_.erase(c);
      check_.push_front(*it);
    }
    auto m =
        std::find_if(make_.begin(), make_.end(), [&](const auto& e) { return e.first == *it; });
    if (m != make_.end()) {
      auto item = *m;
      make_.erase(m);
      make_.push_front(std::move(item));
    }
  }
}

void ThumbnailGallery::ClearQueues() {
  check_.clear();
  make_.clear();
}

void ThumbnailGallery::Cancel() {
  ClearQueues();
  if (Idle()) emit WentIdle();
}

bool ThumbnailGallery::InHand(const QString& path) const {
  const auto named = [&](const Item& item) { return item.first == path; };
  if (std::find(check_.begin(), check_.end(), path) != check_.end() ||
      std::any_of(make_.begin(), make_.end(), named) ||
      std::any_of(finished_.begin(), finished_.end(),
                  [&](const auto& f) { return named(f.first); }))
    return true;
  for (const Child& c : children_)
    if (std::any_of(c.items.begin(), c.items.end(), named)) return true;
  return false;
}

void ThumbnailGallery::Refresh(const QStringList& paths) {
  for (const QString& path : paths) {
    if (!wanted_.contains(path)) continue;
    auto it = results_.find(path);
    ThumbSource now;
    if (it != results_.end() && StatThumbSource(PathBytes(path), now) &&
        SameSource(now, it->source))
      continue;
    // Queued for a child with the old size and time: looked up again.
    auto m =
        std::find_if(make_.begin(), make_.end(), [&](const auto& e) { return e.first == path; });
    if (m != make_.end()) make_.erase(m);
    // One being drawn is looked at again once it is read (ReadFinished).
    if (!InHand(path)) check_.push_back(path);
  }
  Schedule();
}

ThumbnailGallery::State ThumbnailGallery::StateOf(const QString& path) const {
  auto it = results_.find(path);
  return it == results_.end() ? State::kPending : it->state;
}

QImage ThumbnailGallery::Picture(const QString& path) const {
  auto it = results_.find(path);
  return it == results_.end() ? QImage() : it->picture;
}

bool ThumbnailGallery::Idle() const {
  return check_.empty() && make_.empty() && children_.empty() && finished_.empty();
}

void ThumbnailGallery::Schedule() {
  if (!Idle() && !timer_->isActive()) timer_->start();
}

void ThumbnailGallery::Tick() {
  QElapsedTimer spent;
  spent.start();
  // Finished children first: their pictures are what the user waits for.
  int read = 0;
  for (size_t i = 0; i < children_.size() && read < kFinishedPerTick;) {
    Child& c = children_[i];
    if (!c.done && c.clock.elapsed() > kChildDeadlineMs * static_cast<qint64>(c.items.size()))
      c.process->kill();
    if (!c.done) {
      ++i;
      continue;
    }
    FinishChild(c);
    children_.erase(children_.begin() + static_cast<std::ptrdiff_t>(i));
    ++read;
  }
  for (int k = 0; k < kPicturesPerTick && !finished_.empty(); ++k) {
    const auto [item, blame] = finished_.front();
    finished_.pop_front();
    ReadFinished(item, blame);
  }
  while (!check_.empty() && spent.elapsed() < kTickBudgetMs) {
    const QString path = check_.front();
    check_.pop_front();
    LookUp(path);
  }
  const int most = make_.empty() ? 0 : MaxProcesses();
  while (!make_.empty() && static_cast<int>(children_.size()) < most) {
    std::vector<Item> items;
    while (!make_.empty() && static_cast<int>(items.size()) < kFilesPerChild) {
      items.push_back(std::move(make_.front()));
      make_.pop_front();
    }
    StartChild(std::move(items));
  }
  if (Idle()) {
    timer_->stop();
    emit WentIdle();
  } else if (check_.empty() && finished_.empty())
    timer_->setInterval(20);  // only children to wait for: their end wakes the timer
  else
    timer_->setInterval(1);
}

bool ThumbnailGallery::LookUp(const QString& path) {
  Result r;
  if (!StatThumbSource(PathBytes(path), r.source)) {
    r.state = State::kFailed;
    Settle(path, std::move(r));
    return true;
  }
  for (int px : {pixels_, kLargeThumbnailPixels}) {
    if (ThumbnailMatches(ThumbnailPath(root_, r.source.uri, px), r.source, &r.picture)) {
      r.state = State::kReady;
      Settle(path, std::move(r));
      return true;
    }
    if (pixels_ > kNormalThumbnailPixels) break;  // a normal one is too small then
  }
  if (ThumbnailMatches(FailPath(root_, r.source.uri), r.source)) {
    r.state = State::kFailed;
    Settle(path, std::move(r));
    return true;
  }
  if (program_.isEmpty()) return false;
  make_.emplace_back(path, r.source);
  return false;
}

void ThumbnailGallery::StartChild(std::vector<Item> items) {
  Child c;
  QStringList args{QStringLiteral("--thumbnail"), QString::number(pixels_)};
  for (const auto& [path, source] : items) {
    const std::string out = ThumbnailPath(root_, source.uri, pixels_);
    if (!MakeCacheFolder(out.substr(0, out.find_last_of('/')))) {
      Settle(path, Result{State::kFailed, source, {}});
      continue;
    }
    args << path << QFile::decodeName(out.c_str());
    c.items.emplace_back(path, source);
  }
  if (c.items.empty()) return;
  c.process = new QProcess(this);
  c.process->setProgram(program_);
  c.process->setArguments(args);
  c.process->setStandardErrorFile(QProcess::nullDevice());
  QProcess* p = c.process;
  auto done = [this, p] {
    for (Child& child : children_)
      if (child.process == p) child.done = true;
    timer_->start(1);
  };
  connect(p, &QProcess::finished, this, done);
  connect(p, &QProcess::errorOccurred, this, [done](QProcess::ProcessError e) {
    if (e == QProcess::FailedToStart) done();
  });
  c.clock.start();
  ++started_;
  p->start();
  children_.push_back(std::move(c));
}

void ThumbnailGallery::FinishChild(Child& c) {
  QProcess* p = c.process;
  const bool started = p->error() != QProcess::FailedToStart;
  // A child that could not work here at all (no OpenGL, no sandbox, the
  // cache not writable) says nothing about the files it did not finish:
  // they are shown as failed but not recorded, and not tried again until
  // they change or the window starts anew.
  const bool noEnvironment = started && p->exitStatus() == QProcess::NormalExit &&
                             p->exitCode() == kThumbnailNoEnvironment;
  // With several files the child names each one it is done with ("3 ok");
  // the first one it did not name is the one it crashed or ran out of time
  // on, and those after it were never tried.
  const size_t n = c.items.size();
  std::vector<bool> told(n, n == 1 && started && !noEnvironment);
  if (started && n > 1) {
    for (const QByteArray& line : p->readAllStandardOutput().split('\n')) {
      bool ok = false;
      const int k = line.split(' ').value(0).toInt(&ok);
      if (ok && k >= 0 && static_cast<size_t>(k) < n) told[static_cast<size_t>(k)] = true;
    }
  }
  p->deleteLater();
  std::vector<Item> retry;
  bool blamed = false;
  for (size_t k = 0; k < n; ++k) {
    const auto& [path, source] = c.items[k];
    if (!wanted_.contains(path)) continue;  // the folder changed meanwhile
    if (noEnvironment && !told[k]) {
      finished_.emplace_back(c.items[k], false);
      continue;
    }
    if (started && !told[k]) {
      if (blamed) {
        retry.push_back(c.items[k]);
        continue;
      }
      blamed = true;
    }
    finished_.emplace_back(c.items[k], started);
  }
  for (auto it = retry.rbegin(); it != retry.rend(); ++it) make_.push_front(std::move(*it));
}

void ThumbnailGallery::ReadFinished(const Item& item, bool blame) {
  const auto& [path, source] = item;
  if (!wanted_.contains(path)) return;  // the folder changed meanwhile
  Result r;
  r.source = source;
  // A file changed while it was drawn is looked at anew; a picture of it
  // as it was stands meanwhile, and no failure is held against it.
  ThumbSource now;
  const bool changed = StatThumbSource(PathBytes(path), now) && !SameSource(now, source);
  if (changed && !InHand(path)) check_.push_back(path);
  if (ThumbnailMatches(ThumbnailPath(root_, source.uri, pixels_), source, &r.picture)) {
    r.state = State::kReady;
  } else if (changed) {
    return;
  } else {
    r.state = State::kFailed;
    // Only the file's own fault is remembered: a program that did not
    // start, or could not work, says nothing about the file.
    std::string error;
    if (blame) RecordThumbnailFailure(root_, source, error);
  }
  Settle(path, std::move(r));
}

void ThumbnailGallery::Settle(const QString& path, Result result) {
  results_.insert(path, std::move(result));
  emit Changed(path);
}

// ---------------------------------------------------------------------------

namespace {

QIcon FailureVariant(const QIcon& generic, int px) {
  QPixmap pm = generic.pixmap(px, px);
  if (pm.isNull()) {
    pm = QPixmap(px, px);
    pm.fill(Qt::lightGray);
  }
  QPainter painter(&pm);
  painter.setRenderHint(QPainter::Antialiasing);
  QPen pen(QColor(200, 30, 30));
  pen.setWidthF(std::max(2.0, px / 12.0));
  painter.setPen(pen);
  const qreal m = px * 0.2;
  painter.drawLine(QPointF(m, m), QPointF(px - m, px - m));
  painter.drawLine(QPointF(px - m, m), QPointF(m, px - m));
  return QIcon(pm);
}

}  // namespace

FileListThumbnails::FileListThumbnails(TFileList* list, ThumbnailGallery* gallery)
    : QObject(list),
      list_(list),
      gallery_(gallery),
      scrollSettle_(new QTimer(this)),
      changedSettle_(new QTimer(this)) {
  QFileIconProvider provider;
  failure_ = FailureVariant(provider.icon(QFileIconProvider::File), 64);
  list_->SetLargeIconSize(64);
  list_->SetIconSource([this](const QString& name) { return IconFor(name, true); });
  // The list is read before it is laid out: look at what is visible once
  // the loop comes round.
  connect(list_, &TFileList::Listed, this, [this] {
    ++pendingRelists_;
    QTimer::singleShot(0, this, [this] {
      --pendingRelists_;
      Relist();
    });
  });
  scrollSettle_->setSingleShot(true);
  scrollSettle_->setInterval(30);
  connect(list_, &TFileList::Scrolled, scrollSettle_, qOverload<>(&QTimer::start));
  connect(scrollSettle_, &QTimer::timeout, this, &FileListThumbnails::Reorder);
  connect(gallery_, &ThumbnailGallery::Changed, this, [this](const QString& path) {
    icons_.remove(path);
    const QString folder = list_->Folder();
    const QString dir = folder.endsWith('/') ? folder : folder + '/';
    if (!folder.isEmpty() && path.startsWith(dir)) list_->IconChanged(path.mid(dir.size()));
  });
  connect(gallery_, &ThumbnailGallery::WentIdle, this, &FileListThumbnails::NoteIfIdle);
  changedSettle_->setSingleShot(true);
  changedSettle_->setInterval(300);
  connect(changedSettle_, &QTimer::timeout, this, &FileListThumbnails::RefreshChanged);
}

FileListThumbnails::~FileListThumbnails() {
  if (inotify_ >= 0) close(inotify_);
}

bool FileListThumbnails::Idle() const {
  return pendingRelists_ == 0 && !changedSettle_->isActive() && gallery_->Idle();
}

void FileListThumbnails::NoteIfIdle() {
  if (Idle()) emit WentIdle();
}

void FileListThumbnails::Watch(const QString& folder) {
  if (folder == watched_) return;
  if (watch_ >= 0) inotify_rm_watch(inotify_, watch_);
  watch_ = -1;
  watched_.clear();
  changed_.clear();
  changedSettle_->stop();
  if (folder.isEmpty()) return;
  if (inotify_ < 0) {
    inotify_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (inotify_ < 0) return;  // the pictures then follow the list's own re-reads only
    notifier_ = new QSocketNotifier(inotify_, QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, &FileListThumbnails::ReadChanges);
  }
  // Written and closed, moved in, or given another time.
  watch_ = inotify_add_watch(inotify_, QFile::encodeName(folder).constData(),
                             IN_CLOSE_WRITE | IN_MOVED_TO | IN_ATTRIB | IN_ONLYDIR);
  if (watch_ >= 0) watched_ = folder;
}

void FileListThumbnails::ReadChanges() {
  alignas(inotify_event) char buffer[16384];
  for (;;) {
    const ssize_t n = read(inotify_, buffer, sizeof buffer);
    if (n <= 0) break;
    for (ssize_t at = 0; at + static_cast<ssize_t>(sizeof(inotify_event)) <= n;) {
      const auto* e = reinterpret_cast<const inotify_event*>(buffer + at);
      at += static_cast<ssize_t>(sizeof(inotify_event) + e->len);
      if (at > n) break;
      // Events of a watch given up meanwhile, and of the folder itself, say nothing here.
      if (e->wd != watch_ || e->len == 0 || (e->mask & IN_ISDIR)) continue;
      changed_.insert(QFile::decodeName(e->name));
    }
  }
  if (!changed_.isEmpty()) changedSettle_->start();
}

void FileListThumbnails::RefreshChanged() {
  const QString dir = watched_.endsWith('/') ? watched_ : watched_ + '/';
  QStringList paths;
  for (const QString& name : std::as_const(changed_)) paths << dir + name;
  changed_.clear();
  gallery_->Refresh(paths);
  NoteIfIdle();
}

void FileListThumbnails::SetEnabled(bool on) {
  if (on == enabled_) return;
  enabled_ = on;
  list_->SetLargeIconSize(on ? 64 : 32);
  if (!on) {
    gallery_->Request({});
    icons_.clear();
  }
  Relist();
  list_->CurrentView()->viewport()->update();
}

QStringList FileListThumbnails::VisibleFirst(QStringList* visibleOnly) const {
  const QString folder = list_->Folder();
  const QString dir = folder.endsWith('/') ? folder : folder + '/';
  QStringList visible, all;
  for (const QString& name : list_->VisibleCaptions()) visible << dir + name;
  all = visible;
  for (int r = 0; r < list_->Count(); ++r) {
    const QString path = dir + list_->Caption(r);
    if (!visible.contains(path)) all << path;
  }
  if (visibleOnly) *visibleOnly = visible;
  return all;
}

void FileListThumbnails::Relist() {
  const int style = list_->ViewStyle();
  if (!enabled_ || list_->Folder().isEmpty() || (style != 0 && style != 1)) {
    Watch(QString());
    gallery_->Cancel();
    NoteIfIdle();
    return;
  }
  Watch(list_->Folder());
  // Sharp on screens with more device pixels than logical ones.
  const qreal ratio = list_->devicePixelRatioF();
  gallery_->SetPixels(list_->LargeIconSize() * ratio > kNormalThumbnailPixels
                          ? kLargeThumbnailPixels
                          : kNormalThumbnailPixels);
  gallery_->Request(VisibleFirst(nullptr));
  NoteIfIdle();
}

void FileListThumbnails::Reorder() {
  const int style = list_->ViewStyle();
  if (!enabled_ || (style != 0 && style != 1)) return;
  QStringList visible;
  VisibleFirst(&visible);
  gallery_->Prioritize(visible);
}

QIcon FileListThumbnails::IconFor(const QString& name, bool) {
  const int style = list_->ViewStyle();
  if (!enabled_ || (style != 0 && style != 1)) return {};
  const QString folder = list_->Folder();
  const QString path = (folder.endsWith('/') ? folder : folder + '/') + name;
  auto it = icons_.find(path);
  if (it != icons_.end()) return *it;
  QIcon icon;
  switch (gallery_->StateOf(path)) {
    case ThumbnailGallery::State::kReady:
      icon = QIcon(QPixmap::fromImage(gallery_->Picture(path)));
      break;
    case ThumbnailGallery::State::kFailed:
      icon = failure_;
      break;
    case ThumbnailGallery::State::kPending:
      return {};
  }
  icons_.insert(path, icon);
  return icon;
}

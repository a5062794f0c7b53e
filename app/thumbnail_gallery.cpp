#include "app/thumbnail_gallery.h"

#include <sys/inotify.h>
#include <unistd.h>

#include <QAbstractItemView>
#include <QEvent>
#include <QFile>
#include <QFileIconProvider>
#include <QListView>
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
// time is spent; finished pictures are read a few at a time.
constexpr int kTickBudgetMs = 6;
constexpr int kPicturesPerTick = 3;
constexpr int kChildDeadlineMs = (kThumbnailTimeLimit + 5) * 1000;
constexpr int kWorkerIdleMs = 60000;

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

// What a result holds: its picture and its share of the table.
size_t Cost(const QImage& picture) { return static_cast<size_t>(picture.sizeInBytes()) + 256; }

bool SameSource(const ThumbSource& a, const ThumbSource& b) {
  return a.mtime == b.mtime && a.size == b.size && a.uri == b.uri;
}

}  // namespace

ThumbnailGallery::ThumbnailGallery(QObject* parent)
    : QObject(parent),
      root_(ThumbnailCacheRoot()),
      timer_(new QTimer(this)),
      retire_(new QTimer(this)) {
  // Short pauses between ticks keep the window answering while a warm
  // folder is read at full speed.
  timer_->setInterval(1);
  connect(timer_, &QTimer::timeout, this, &ThumbnailGallery::Tick);
  // A worker holds a renderer's memory; one left idle this long is ended
  // (the next picture starts another).
  retire_->setSingleShot(true);
  retire_->setInterval(kWorkerIdleMs);
  connect(retire_, &QTimer::timeout, this, &ThumbnailGallery::RetireIdleWorkers);
}

ThumbnailGallery::~ThumbnailGallery() {
  for (Worker& w : workers_) {
    w.process->disconnect(this);
    w.process->kill();
    w.process->waitForFinished(1000);
  }
}

int ThumbnailGallery::ChildLimit(int processors, uint64_t availableBytes) {
  const int n = std::max(1, std::min(kMaxChildren, processors));
  if (availableBytes == 0) return n;
  return static_cast<int>(
      std::clamp<uint64_t>(availableBytes / kChildMemoryBytes, 1, static_cast<uint64_t>(n)));
}

int ThumbnailGallery::MaxProcesses() {
  return ChildLimit(QThread::idealThreadCount(), AvailableMemory());
}

void ThumbnailGallery::Request(const QStringList& paths) {
  ClearQueues();
  // Another folder: a worker may work there (its cache folder, its files).
  if (!paths.isEmpty()) {
    const QString folder = paths.front().left(paths.front().lastIndexOf('/'));
    if (folder != folder_) broken_ = false;
    folder_ = folder;
  }
  wanted_ = QSet<QString>(paths.begin(), paths.end());
  ++requests_;
  for (const QString& path : paths) {
    auto it = results_.find(path);
    if (it != results_.end()) {
      ThumbSource now;
      // A known file keeps its picture while its size and time stay.
      if (StatThumbSource(PathBytes(path), now) && SameSource(now, it->source)) {
        it->used = requests_;
        continue;
      }
      Forget(path);
    }
    // One being drawn is looked at again once it is read (ReadFinished).
    if (!InHand(path)) check_.push_back(path);
  }
  Trim();
  Schedule();
  if (Idle()) emit WentIdle();
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
  return std::find(check_.begin(), check_.end(), path) != check_.end() ||
         std::any_of(make_.begin(), make_.end(), named) ||
         std::any_of(finished_.begin(), finished_.end(),
                     [&](const auto& f) { return named(f.first); }) ||
         std::any_of(workers_.begin(), workers_.end(),
                     [&](const Worker& w) { return w.busy && named(w.item); });
}

void ThumbnailGallery::Refresh(const QStringList& paths) {
  for (const QString& path : paths) {
    if (!wanted_.contains(path)) continue;
    auto it = results_.find(path);
    ThumbSource now;
    if (it != results_.end() && StatThumbSource(PathBytes(path), now) &&
        SameSource(now, it->source))
      continue;
    // Queued for a worker with the old size and time: looked up again.
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
  return check_.empty() && make_.empty() && finished_.empty() &&
         std::none_of(workers_.begin(), workers_.end(), [](const Worker& w) { return w.busy; });
}

void ThumbnailGallery::Schedule() {
  if (!Idle() && !timer_->isActive()) timer_->start();
}

void ThumbnailGallery::Tick() {
  QElapsedTimer spent;
  spent.start();
  // Answers first: their pictures are what the user waits for.
  for (size_t i = 0; i < workers_.size();) {
    Worker& w = workers_[i];
    // The worker limits each file itself; this only guards against one
    // that is stuck where its own limits cannot reach it.
    if (w.busy && !w.ended && w.clock.elapsed() > kChildDeadlineMs) w.process->kill();
    if (w.busy && !w.ended) ReadAnswer(w);
    if (!w.ended) {
      ++i;
      continue;
    }
    EndWorker(w);
    workers_.erase(workers_.begin() + static_cast<std::ptrdiff_t>(i));
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
  Dispatch();
  if (Idle()) {
    timer_->stop();
    retire_->start();
    emit WentIdle();
  } else if (check_.empty() && finished_.empty()) {
    timer_->setInterval(20);  // only workers to wait for: their answers wake the timer
  } else {
    timer_->setInterval(1);
  }
}

void ThumbnailGallery::Dispatch() {
  if (make_.empty()) return;
  retire_->stop();
  int running = 0, most = -1;
  for (Worker& w : workers_) {
    // A worker draws at one size: one of another retires.
    if (!w.busy && !w.ended && !w.retiring && w.pixels != pixels_) {
      w.retiring = true;
      w.process->closeWriteChannel();
    }
    running += !w.ended && !w.retiring;
  }
  for (Worker& w : workers_)
    if (!w.busy && !w.ended && !w.retiring && !make_.empty()) {
      HandOver(w, std::move(make_.front()));
      make_.pop_front();
    }
  // Another worker only for a queue longer than the running ones clear
  // soon: a few small files are done before one would have started.
  while (!make_.empty() && !broken_ &&
         (running == 0 || make_.size() > static_cast<size_t>(kFilesPerChild * running))) {
    if (most < 0) most = MaxProcesses();
    if (running >= most) break;
    Worker* w = StartWorker();
    if (!w || w->ended) break;
    ++running;
    HandOver(*w, std::move(make_.front()));
    make_.pop_front();
  }
  // No worker can work here: the rest fail, without a record against them.
  while (broken_ && !make_.empty()) {
    finished_.emplace_back(std::move(make_.front()), false);
    make_.pop_front();
  }
}

ThumbnailGallery::Worker* ThumbnailGallery::StartWorker() {
  if (program_.isEmpty()) return nullptr;
  Worker w;
  w.pixels = pixels_;
  w.process = new QProcess(this);
  w.process->setProgram(program_);
  w.process->setArguments({QStringLiteral("--thumbnail-worker"), QString::number(pixels_)});
  w.process->setStandardErrorFile(QProcess::nullDevice());
  QProcess* p = w.process;
  auto ended = [this, p] {
    for (Worker& other : workers_)
      if (other.process == p) other.ended = true;
    timer_->start(1);
  };
  connect(p, &QProcess::finished, this, ended);
  connect(p, &QProcess::errorOccurred, this, [ended](QProcess::ProcessError e) {
    if (e == QProcess::FailedToStart) ended();
  });
  connect(p, &QProcess::readyReadStandardOutput, this, [this] { timer_->start(1); });
  ++started_;
  // In the table before it starts: a failure to start may be told at once.
  workers_.push_back(std::move(w));
  p->start();
  return &workers_.back();
}

void ThumbnailGallery::HandOver(Worker& w, Item item) {
  const std::string out = ThumbnailPath(root_, item.second.uri, pixels_);
  if (!MakeCacheFolder(out.substr(0, out.find_last_of('/')))) {
    Settle(item.first, Result{State::kFailed, item.second, {}, requests_});
    return;
  }
  QByteArray request = QFile::encodeName(item.first);
  request += '\0';
  request += QByteArray::fromStdString(out);
  request += '\0';
  w.process->write(request);
  w.item = std::move(item);
  w.busy = true;
  w.clock.start();
}

void ThumbnailGallery::ReadAnswer(Worker& w) {
  if (!w.process->canReadLine()) {
    // Our own program answers in a few bytes; anything else ends it.
    if (w.process->bytesAvailable() > 16) w.process->kill();
    return;
  }
  const QByteArray line = w.process->readLine(16);
  if ((line != "ok\n" && line != "failed\n") || w.process->bytesAvailable() > 0) {
    w.process->kill();
    return;
  }
  finished_.emplace_back(std::move(w.item), true);
  w.item = {};
  w.busy = false;
}

void ThumbnailGallery::EndWorker(Worker& w) {
  QProcess* p = w.process;
  p->disconnect(this);
  p->deleteLater();
  // A worker that could not work here at all (it did not start; no OpenGL,
  // no sandbox, the cache not writable) says nothing about the file it
  // had: it is shown as failed but not recorded, and not tried again until
  // it changes or the window starts anew. One that ended otherwise while
  // it had a file ended on that file.
  const bool started = p->error() != QProcess::FailedToStart;
  const bool noEnvironment = !started || (p->exitStatus() == QProcess::NormalExit &&
                                          p->exitCode() == kThumbnailNoEnvironment);
  if (noEnvironment) broken_ = true;
  if (!w.busy) return;
  finished_.emplace_back(std::move(w.item), !noEnvironment);
  w.busy = false;
}

void ThumbnailGallery::RetireIdleWorkers() {
  for (Worker& w : workers_)
    if (!w.busy && !w.ended && !w.retiring) {
      w.retiring = true;
      w.process->closeWriteChannel();
    }
}

bool ThumbnailGallery::LookUp(const QString& path) {
  Result r;
  r.used = requests_;
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

void ThumbnailGallery::ReadFinished(const Item& item, bool blame) {
  const auto& [path, source] = item;
  Result r;
  r.source = source;
  r.used = wanted_.contains(path) ? requests_ : 0;
  // A file changed while it was drawn is looked at anew; a picture of it
  // as it was stands meanwhile, and no failure is held against it.
  ThumbSource now;
  const bool changed = StatThumbSource(PathBytes(path), now) && !SameSource(now, source);
  if (changed && wanted_.contains(path) && !InHand(path)) check_.push_back(path);
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
  auto it = results_.find(path);
  if (it != results_.end()) bytes_ -= Cost(it->picture);
  bytes_ += Cost(result.picture);
  results_.insert(path, std::move(result));
  Trim();
  emit Changed(path);
}

void ThumbnailGallery::Forget(const QString& path) {
  auto it = results_.find(path);
  if (it == results_.end()) return;
  bytes_ -= Cost(it->picture);
  results_.erase(it);
  emit Changed(path);
}

void ThumbnailGallery::Trim() {
  if (bytes_ <= cacheBytes_) return;
  std::vector<std::pair<uint64_t, QString>> old;
  for (auto it = results_.cbegin(); it != results_.cend(); ++it)
    if (!wanted_.contains(it.key())) old.emplace_back(it->used, it.key());
  std::sort(old.begin(), old.end());
  for (const auto& entry : old) {
    if (bytes_ <= cacheBytes_) break;
    Forget(entry.second);
  }
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
  connect(scrollSettle_, &QTimer::timeout, this, &FileListThumbnails::NoteIfIdle,
          Qt::QueuedConnection);
  connect(scrollSettle_, &QTimer::timeout, this, &FileListThumbnails::Reorder);
  // A view that grows shows items no request named.
  list_->IconView()->viewport()->installEventFilter(this);
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

bool FileListThumbnails::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() == QEvent::Resize) scrollSettle_->start();
  return QObject::eventFilter(watched, event);
}

FileListThumbnails::~FileListThumbnails() {
  if (inotify_ >= 0) close(inotify_);
}

bool FileListThumbnails::Idle() const {
  return pendingRelists_ == 0 && !changedSettle_->isActive() && !scrollSettle_->isActive() &&
         gallery_->Idle();
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

QStringList FileListThumbnails::Window() const {
  int first = 0, last = -1;
  if (!list_->VisibleRows(first, last)) {
    // Listed but not laid out yet: the view lays its items out when the
    // loop comes round, which is now.
    if (list_->Count() == 0) return {};
    list_->CurrentView()->doItemsLayout();
    if (!list_->VisibleRows(first, last)) return {};
  }
  const QString folder = list_->Folder();
  const QString dir = folder.endsWith('/') ? folder : folder + '/';
  const int screen = last - first + 1;
  QStringList paths;
  for (int r = first; r <= last; ++r) paths << dir + list_->Caption(r);
  for (int r = last + 1; r <= std::min(list_->Count() - 1, last + screen); ++r)
    paths << dir + list_->Caption(r);
  for (int r = first - 1; r >= std::max(0, first - screen); --r) paths << dir + list_->Caption(r);
  return paths;
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
  gallery_->Request(Window());
  NoteIfIdle();
}

void FileListThumbnails::Reorder() {
  const int style = list_->ViewStyle();
  if (!enabled_ || list_->Folder().isEmpty() || (style != 0 && style != 1)) return;
  // Pictures for what is on screen now and a screen around it; what
  // scrolled away waits in the gallery's queue no more.
  gallery_->Request(Window());
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

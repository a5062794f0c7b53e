// Model thumbnails for the file list's icon views. Each file's picture
// comes from the shared freedesktop cache when it is current there, or is
// made by one of a small pool of our own long-lived "--thumbnail-worker"
// child processes, which take one file at a time: a file that hangs or
// crashes its reader costs one thumbnail, never the window. The window
// thread only reads finished PNGs, a few at a time, and keeps the decoded
// pictures of the files asked for last, within a bound in bytes.
#pragma once

#include <QElapsedTimer>
#include <QHash>
#include <QIcon>
#include <QImage>
#include <QObject>
#include <QSet>
#include <QStringList>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "app/thumbnail_cache.h"

class QProcess;
class QSocketNotifier;
class QTimer;
class TFileList;

class ThumbnailGallery : public QObject {
  Q_OBJECT

 public:
  enum class State { kPending, kReady, kFailed };

  explicit ThumbnailGallery(QObject* parent = nullptr);
  ~ThumbnailGallery() override;

  // The program run as "PROGRAM --thumbnail-worker SIZE"; empty: nothing is
  // made (cached thumbnails are still shown).
  void SetProgram(const QString& program) { program_ = program; }
  void SetCacheRoot(const std::string& root) { root_ = root; }
  const std::string& CacheRoot() const { return root_; }
  // Edge length of the pictures made: up to 128 the normal cache, else large.
  void SetPixels(int pixels) { pixels_ = pixels; }
  int Pixels() const { return pixels_; }
  // Workers at a time (see ChildLimit), for this machine now.
  static int MaxProcesses();
  // At most kMaxChildren, one per processor (the window waits on them
  // and does little meanwhile), and no more than the available memory
  // holds at each worker's address-space cap; at least one.
  // availableBytes 0: not known, no bound by memory.
  static int ChildLimit(int processors, uint64_t availableBytes);
  static constexpr int kMaxChildren = 4;
  // The drawing child's address-space cap.
  static constexpr uint64_t kChildMemoryBytes = uint64_t{4} << 30;

  // Drops what was queued and queues the files, first to last; files being
  // drawn stay with their worker. A file whose picture is known and whose
  // size and time are unchanged is not looked at again. The pictures of
  // files not named are kept while the cache's bound allows, those named
  // last longest.
  void Request(const QStringList& paths);
  // Whether path is named in the last request.
  bool Wanted(const QString& path) const { return wanted_.contains(path); }
  // Bound of the decoded pictures kept of files not in the last request
  // (those in it are always kept).
  void SetCacheBytes(size_t bytes) { cacheBytes_ = bytes; }
  static constexpr size_t kCacheBytes = size_t{24} << 20;
  // Bytes of decoded pictures (and bookkeeping) held now.
  size_t CachedBytes() const { return bytes_; }
  // Drops everything queued; workers finish the file they have.
  void Cancel();
  // Files of the request that may have changed on disk: each one whose
  // size or time is no longer that of its picture is looked at again. Its
  // old picture stays until the new one is ready.
  void Refresh(const QStringList& paths);

  State StateOf(const QString& path) const;
  // The picture of a file in kReady.
  QImage Picture(const QString& path) const;
  // Queued files per running worker before another is started: starting
  // one costs more than drawing a small model.
  static constexpr int kFilesPerChild = 8;
  // Workers started since construction.
  int ProcessesStarted() const { return started_; }
  // Nothing queued, nothing running, nothing left to read.
  bool Idle() const;

 signals:
  // A file's state or picture changed.
  void Changed(const QString& path);
  // Idle() has become true (or was, after a request or cancel).
  void WentIdle();

 private:
  struct Result {
    State state = State::kPending;
    ThumbSource source;
    QImage picture;
    uint64_t used = 0;  // the request that last named it
  };
  using Item = std::pair<QString, ThumbSource>;
  struct Worker {
    QProcess* process = nullptr;
    int pixels = 0;
    bool busy = false;  // item is being drawn
    Item item;
    QElapsedTimer clock;  // since item was handed over
    bool ended = false;   // the process has finished (or never started)
    bool retiring = false;
  };

  void Tick();
  void Schedule();
  void ClearQueues();
  // Queued, being drawn or waiting to be read.
  bool InHand(const QString& path) const;
  bool LookUp(const QString& path);
  Worker* StartWorker();
  void HandOver(Worker& w, Item item);
  void ReadAnswer(Worker& w);
  void EndWorker(Worker& w);
  void Dispatch();
  void ReadFinished(const Item& item, bool blame);
  void Settle(const QString& path, Result result);
  void Forget(const QString& path);
  // Drops the pictures of files not in the last request, those named
  // longest ago first, until the bound holds.
  void Trim();
  void RetireIdleWorkers();

  QString program_;
  std::string root_;
  int pixels_ = kNormalThumbnailPixels;
  QTimer* timer_;
  QTimer* retire_;         // idle workers are ended after a while
  QSet<QString> wanted_;   // the files of the last request
  uint64_t requests_ = 0;  // requests so far
  QHash<QString, Result> results_;
  size_t bytes_ = 0;  // held by results_
  size_t cacheBytes_ = kCacheBytes;
  std::deque<QString> check_;  // not yet looked up in the cache
  std::deque<Item> make_;      // to be made by a worker
  // Done by a worker, picture not read yet; false: a missing picture is
  // not the file's fault (the worker never started, or could not work).
  std::deque<std::pair<Item, bool>> finished_;
  std::vector<Worker> workers_;
  // A worker could not work here at all: nothing more is handed to one
  // until files of another folder are asked for.
  bool broken_ = false;
  QString folder_;  // of the last request's first file
  int started_ = 0;
};

// Wires a gallery to a file list: the icon views ask it for their icons,
// visible items are asked for first, and a new listing, another folder or
// another view style cancels what is queued. Owned by the list.
class FileListThumbnails : public QObject {
  Q_OBJECT

 public:
  FileListThumbnails(TFileList* list, ThumbnailGallery* gallery);
  ~FileListThumbnails() override;

  void SetEnabled(bool on);
  bool Enabled() const { return enabled_; }
  ThumbnailGallery* Gallery() const { return gallery_; }
  // The icon shown for files that cannot be read.
  QIcon FailureIcon() const { return failure_; }
  // The last listing has been handed to the gallery, no change on disk
  // or of the visible items waits, and the gallery is idle.
  bool Idle() const;
  // Visible and a screen ahead, for the pictures asked for: the visible
  // items, then a screen's worth after them and before them.
  QStringList Window() const;

 signals:
  // Idle() has become true.
  void WentIdle();

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void Relist();
  void Reorder();
  QIcon IconFor(const QString& name, bool large);
  // Watches the folder's files for writes ("" for none).
  void Watch(const QString& folder);
  void ReadChanges();
  void RefreshChanged();
  void NoteIfIdle();

  TFileList* list_;
  ThumbnailGallery* gallery_;
  QTimer* scrollSettle_;  // the visible items moved: a new window
  bool enabled_ = true;
  QIcon failure_;
  QHash<QString, QIcon> icons_;
  int pendingRelists_ = 0;
  // The shown folder's files written, replaced or touched: a file written
  // in place changes nothing the list's own folder watcher sees.
  int inotify_ = -1;
  int watch_ = -1;
  QString watched_;
  QSocketNotifier* notifier_ = nullptr;
  QTimer* changedSettle_;  // a burst of writes is one refresh
  QSet<QString> changed_;  // names in watched_
};

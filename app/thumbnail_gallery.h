// Model thumbnails for the file list's icon views. Each file's picture
// comes from the shared freedesktop cache when it is current there, or is
// made by one of a small pool of our own "--thumbnail" child processes: a
// file that hangs or crashes its reader costs one thumbnail, never the
// window. The window thread only reads finished PNGs, a few at a time.
#pragma once

#include <QElapsedTimer>
#include <QHash>
#include <QIcon>
#include <QImage>
#include <QObject>
#include <QSet>
#include <QStringList>
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

  // The program run as "PROGRAM --thumbnail SIZE IN OUT"; empty: nothing is
  // made (cached thumbnails are still shown).
  void SetProgram(const QString& program) { program_ = program; }
  void SetCacheRoot(const std::string& root) { root_ = root; }
  const std::string& CacheRoot() const { return root_; }
  // Edge length of the pictures made: up to 128 the normal cache, else large.
  void SetPixels(int pixels) { pixels_ = pixels; }
  int Pixels() const { return pixels_; }
  // Children at a time (see ChildLimit), for this machine now.
  static int MaxProcesses();
  // At most kMaxChildren, one less than the processors, and no more than
  // the available memory holds at each child's address-space cap; at
  // least one. availableBytes 0: not known, no bound by memory.
  static int ChildLimit(int processors, uint64_t availableBytes);
  static constexpr int kMaxChildren = 4;
  // The drawing child's address-space cap.
  static constexpr uint64_t kChildMemoryBytes = uint64_t{4} << 30;

  // Drops what was queued (and the pictures of files not named) and queues
  // the files, first to last. A file whose picture is known and whose
  // size and time are unchanged is not looked at again.
  void Request(const QStringList& paths);
  // Moves these of the queued files to the front, in this order.
  void Prioritize(const QStringList& paths);
  // Drops everything queued; children already running finish.
  void Cancel();
  // Files of the request that may have changed on disk: each one whose
  // size or time is no longer that of its picture is looked at again. Its
  // old picture stays until the new one is ready.
  void Refresh(const QStringList& paths);

  State StateOf(const QString& path) const;
  // The picture of a file in kReady.
  QImage Picture(const QString& path) const;
  // Files given to one child at most: starting one costs more than
  // drawing a small model.
  static constexpr int kFilesPerChild = 8;
  // Children started since construction.
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
  };
  using Item = std::pair<QString, ThumbSource>;
  struct Child {
    QProcess* process = nullptr;
    std::vector<Item> items;  // drawn in this order
    QElapsedTimer clock;
    bool done = false;
  };

  void Tick();
  void Schedule();
  void ClearQueues();
  // Queued, being drawn or waiting to be read.
  bool InHand(const QString& path) const;
  bool LookUp(const QString& path);
  void StartChild(std::vector<Item> items);
  void FinishChild(Child& child);
  void ReadFinished(const Item& item, bool blame);
  void Settle(const QString& path, Result result);

  QString program_;
  std::string root_;
  int pixels_ = kNormalThumbnailPixels;
  QTimer* timer_;
  QStringList wanted_;  // the files of the last request
  QHash<QString, Result> results_;
  std::deque<QString> check_;  // not yet looked up in the cache
  std::deque<Item> make_;      // to be made by a child
  // Done by a child, picture not read yet; false: a missing picture is not
  // the file's fault (the child never started, or could not work here).
  std::deque<std::pair<Item, bool>> finished_;
  std::vector<Child> children_;
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
  // waits, and the gallery is idle.
  bool Idle() const;

 signals:
  // Idle() has become true.
  void WentIdle();

 private:
  void Relist();
  void Reorder();
  QStringList VisibleFirst(QStringList* visibleOnly) const;
  QIcon IconFor(const QString& name, bool large);
  // Watches the folder's files for writes ("" for none).
  void Watch(const QString& folder);
  void ReadChanges();
  void RefreshChanged();
  void NoteIfIdle();

  TFileList* list_;
  ThumbnailGallery* gallery_;
  QTimer* scrollSettle_;
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

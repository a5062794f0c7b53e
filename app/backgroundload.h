// Runs the load pipeline on a worker thread so that the window stays alive
// while a big model is read and prepared. The pipeline's calls on the
// window (log lines, the preview) are carried over to the window's thread
// in the order they were made. One load runs at a time: a new request
// cancels the running one and starts once it has stopped; requests made
// meanwhile replace each other, so quick clicks never queue up. A request
// dropped before it started still gets its lines in the log, as a load
// cancelled at once: every click shows there.
#pragma once

#include <QObject>
#include <QPointer>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "core/load_progress.h"
#include "core/pipeline.h"
#include "preview/scene.h"

class QShortcut;
class QTimer;
class QWidget;
class TLoadProgress;

class TBackgroundLoad : public QObject {
  Q_OBJECT

 public:
  // host is the window: it is asked for the settings and is told the
  // pipeline's outcome, always on its own thread. The progress bar is shown
  // over progressParent; Esc in window cancels.
  TBackgroundLoad(LoadPipeline& pipeline, LoadHost& host, QWidget* progressParent, QWidget* window);
  ~TBackgroundLoad() override;

  // Starts loading path (displayName as LoadModelFile takes it). A request
  // for what is already being loaded is ignored.
  void Start(const std::string& path, const std::string& displayName = {});
  // Cancels the running load (and drops a waiting request).
  void Cancel();
  // Cancels, waits for the worker and drops whatever it had not yet handed
  // over; for closing the window.
  void CancelAndWait();

  bool Busy() const { return worker_.joinable() || pending_ != nullptr; }
  // The path of the newest request while one is running or waiting.
  const std::string& RequestedPath() const;
  // Whether path is what the window shows or is about to show: the newest
  // request unless it was cancelled, else (lastPath being the last load's)
  // the last load unless it was cancelled. A cancelled file shows nothing,
  // so a click on it loads it.
  bool Shows(const std::string& path, const std::string& lastPath) const;
  TLoadProgress* Progress() const { return progress_; }
  // Runs on the worker at every progress check of the loads started from
  // now on (tests hold a load at a known point with it).
  void SetCheckpointHook(std::function<void(LoadControl&)> hook) { hook_ = std::move(hook); }
  // Takes a loaded model on the window's thread, fitted for the preview on
  // the worker (which reads the whole model once more). Without it the
  // host's PreviewSetModel takes the model unfitted.
  std::function<void(PolygonModel&, SceneModelFit&&)> setFittedModel;
  // Whether the loads started from now on decode the model's texture images
  // with the fit (on the worker, each failure a log line).
  bool decodeTextures = false;

  // How long a load runs before its progress bar shows.
  static constexpr int kProgressDelayMs = 300;

 signals:
  // A load ended (loaded, failed or cancelled) and the window has its lines.
  void Finished(LoadOutcome outcome);

 private:
  struct Request {
    std::string path, displayName;
  };
  void Launch(const Request& r);
  // Sets r aside as cancelled before it started; its lines follow those of
  // the running load.
  void Drop(std::unique_ptr<Request> r);
  void LogDropped();
  void WorkerDone(LoadOutcome outcome, const std::string& lastPath);
  // Runs f on the window's thread unless the load that posted it was dropped.
  void Post(uint64_t generation, std::function<void(LoadHost&)> f);
  void ShowProgress();
  void UpdateProgress();

  class WorkerHost;

  LoadPipeline& pipeline_;
  LoadHost& host_;
  std::thread worker_;
  std::unique_ptr<LoadControl> control_;
  std::unique_ptr<Request> running_, pending_;
  std::vector<Request> dropped_;
  bool lastCancelled_ = false;
  std::function<void(LoadControl&)> hook_;
  uint64_t generation_ = 0;
  bool busyCursor_ = false;
  TLoadProgress* progress_ = nullptr;
  QTimer* showTimer_ = nullptr;
  QTimer* pollTimer_ = nullptr;
  QShortcut* escape_ = nullptr;
};

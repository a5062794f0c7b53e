#include "app/backgroundload.h"

#include <QApplication>
#include <QFileInfo>
#include <QKeySequence>
#include <QShortcut>
#include <QTimer>
#include <QWidget>
#include <utility>

#include "app/loadprogress.h"

// The pipeline's side of the window while it runs on the worker: settings
// as they were when the load was asked for, everything else handed to the
// window's thread in order. The wait cursor stays off: the window works on.
class TBackgroundLoad::WorkerHost : public LoadHost {
 public:
  WorkerHost(TBackgroundLoad& owner, uint64_t generation, const LoadSettings& settings,
             const std::string& path, bool textures)
      : owner_(owner),
        generation_(generation),
        settings_(settings),
        path_(path),
        textures_(textures) {}

  LoadSettings Settings() const override { return settings_; }
  void AppendLog(const std::string& line) override {
    Post([line](LoadHost& h) { h.AppendLog(line); });
  }
  void PreviewClearModel() override {
    Post([](LoadHost& h) { h.PreviewClearModel(); });
  }
  // The culling mode and render type are the window's when the model
  // arrives: the user may have changed them while it loaded.
  void PreviewSetCullMode(int) override {
    Post([](LoadHost& h) { h.PreviewSetCullMode(h.Settings().cullMode); });
  }
  void PreviewSetModel(PolygonModel& model, int) override {
    // The worker is done with the model by now and the next load cannot
    // start before this has run.
    if (owner_.setFittedModel) {
      auto fit = std::make_shared<SceneModelFit>(FitSceneModel(model));
      if (textures_) {
        // Decoded here, so that the window never waits for an image.
        std::vector<std::string> lines;
        fit->images = LoadSurfaceImages(model.appearance, path_, lines);
        for (const std::string& line : lines) AppendLog(line);
      }
      Post([m = &model, fit, &owner = owner_](LoadHost&) {
        owner.setFittedModel(*m, std::move(*fit));
      });
      return;
    }
    Post([m = &model](LoadHost& h) { h.PreviewSetModel(*m, h.Settings().renderType); });
  }
  void PreviewRepaint() override {
    Post([](LoadHost& h) { h.PreviewRepaint(); });
  }
  void StartTrimTimer() override {
    Post([](LoadHost& h) { h.StartTrimTimer(); });
  }

 private:
  void Post(std::function<void(LoadHost&)> f) { owner_.Post(generation_, std::move(f)); }

  TBackgroundLoad& owner_;
  uint64_t generation_;
  LoadSettings settings_;
  std::string path_;  // the file read: texture names are relative to its folder
  bool textures_;
};

TBackgroundLoad::TBackgroundLoad(LoadPipeline& pipeline, LoadHost& host, QWidget* progressParent,
                                 QWidget* window)
    : QObject(window), pipeline_(pipeline), host_(host) {
  progress_ = new TLoadProgress(progressParent);
  connect(progress_, &TLoadProgress::CancelClicked, this, &TBackgroundLoad::Cancel);
  showTimer_ = new QTimer(this);
  showTimer_->setSingleShot(true);
  showTimer_->setInterval(kProgressDelayMs);
  connect(showTimer_, &QTimer::timeout, this, &TBackgroundLoad::ShowProgress);
  pollTimer_ = new QTimer(this);
  pollTimer_->setInterval(50);
  connect(pollTimer_, &QTimer::timeout, this, &TBackgroundLoad::UpdateProgress);
  escape_ = new QShortcut(QKeySequence(Qt::Key_Escape), window);
  escape_->setContext(Qt::WindowShortcut);
  escape_->setEnabled(false);  // Esc means nothing to the window otherwise
  connect(escape_, &QShortcut::activated, this, &TBackgroundLoad::Cancel);
}

TBackgroundLoad::~TBackgroundLoad() {
  // The progress widgets may be gone already: only the worker and the cursor.
  Cancel();
  if (worker_.joinable()) worker_.join();
  if (busyCursor_) QApplication::restoreOverrideCursor();
}

const std::string& TBackgroundLoad::RequestedPath() const {
  static const std::string none;
  if (pending_) return pending_->path;
  if (running_) return running_->path;
  return none;
}

bool TBackgroundLoad::Shows(const std::string& path, const std::string& lastPath) const {
  if (pending_) return pending_->path == path;
  if (running_) return running_->path == path && !(control_ && control_->Cancelled());
  return path == lastPath && !lastCancelled_;
}

void TBackgroundLoad::Drop(std::unique_ptr<Request> r) {
  if (r) dropped_.push_back(std::move(*r));
}

void TBackgroundLoad::LogDropped() {
  // The lines of a load cancelled before its first step.
  for (const Request& r : dropped_) {
    host_.AppendLog(kLogSeparator);
    host_.AppendLog("file: " + (r.displayName.empty() ? r.path : r.displayName));
    host_.AppendLog(kLogCancelled);
  }
  dropped_.clear();
}

void TBackgroundLoad::Start(const std::string& path, const std::string& displayName) {
  Request r{path, displayName};
  if (worker_.joinable()) {
    const Request* newest = pending_ ? pending_.get() : running_.get();
    if (newest && newest->path == path && newest->displayName == displayName &&
        !(newest == running_.get() && control_->Cancelled()))
      return;
    control_->Cancel();
    Drop(std::move(pending_));
    pending_ = std::make_unique<Request>(std::move(r));
    return;
  }
  Launch(r);
}

void TBackgroundLoad::Cancel() {
  Drop(std::move(pending_));
  if (control_) control_->Cancel();
}

void TBackgroundLoad::CancelAndWait() {
  Cancel();
  if (worker_.joinable()) worker_.join();
  // Whatever the worker posted is for a model about to go away.
  ++generation_;
  running_.reset();
  dropped_.clear();
  showTimer_->stop();
  pollTimer_->stop();
  progress_->hide();
  escape_->setEnabled(false);
  if (busyCursor_) {
    busyCursor_ = false;
    QApplication::restoreOverrideCursor();
  }
}

void TBackgroundLoad::Launch(const Request& r) {
  running_ = std::make_unique<Request>(r);
  control_ = std::make_unique<LoadControl>();
  control_->onCheckpoint = hook_;
  const uint64_t generation = ++generation_;
  // Read on this thread: the settings are the window's.
  const LoadSettings settings = host_.Settings();
  host_.StopAutoRotation();
  // The worker replaces the model: nothing may draw from it from now on.
  host_.PreviewClearModel();

  const QString shown =
      QString::fromUtf8(r.displayName.empty() ? r.path.c_str() : r.displayName.c_str());
  progress_->SetFileName(QFileInfo(shown).fileName().isEmpty() ? shown
                                                               : QFileInfo(shown).fileName());
  progress_->SetPermille(0);
  showTimer_->start();
  pollTimer_->start();
  escape_->setEnabled(true);
  if (!busyCursor_) {
    // The arrow with a busy mark: the window still takes clicks.
    busyCursor_ = true;
    QApplication::setOverrideCursor(Qt::BusyCursor);
  }

  // The worker gets its own copy of the table (it never changes while the
  // program runs) and leaves the window's last path alone.
  auto job = std::make_shared<LoadPipeline>();
  job->table = pipeline_.table;
  job->prepareMesh = pipeline_.prepareMesh;
  LoadControl* control = control_.get();
  const bool textures = decodeTextures;
  worker_ = std::thread([this, job, control, generation, settings, r, textures] {
    WorkerHost host(*this, generation, settings, r.path, textures);
    LoadOutcome outcome;
    {
      ScopedLoadControl scope(control);
      outcome = LoadModelFile(*job, host, r.path, r.displayName);
    }
    const std::string lastPath = job->lastPath;
    QMetaObject::invokeMethod(
        this,
        [this, generation, outcome, lastPath] {
          if (generation == generation_) WorkerDone(outcome, lastPath);
        },
        Qt::QueuedConnection);
  });
}

void TBackgroundLoad::Post(uint64_t generation, std::function<void(LoadHost&)> f) {
  QMetaObject::invokeMethod(
      this,
      [this, generation, f = std::move(f)] {
        if (generation == generation_) f(host_);
      },
      Qt::QueuedConnection);
}

void TBackgroundLoad::WorkerDone(LoadOutcome outcome, const std::string& lastPath) {
  if (worker_.joinable()) worker_.join();
  pipeline_.lastPath = lastPath;
  lastCancelled_ = outcome == LoadOutcome::kCancelled;
  running_.reset();
  showTimer_->stop();
  pollTimer_->stop();
  progress_->hide();
  std::unique_ptr<Request> next = std::move(pending_);
  LogDropped();
  emit Finished(outcome);
  if (worker_.joinable()) return;  // a slot started another load
  if (next) {
    Launch(*next);
    return;
  }
  escape_->setEnabled(false);
  if (busyCursor_) {
    busyCursor_ = false;
    QApplication::restoreOverrideCursor();
  }
}

void TBackgroundLoad::ShowProgress() {
  if (!running_) return;
  UpdateProgress();
  progress_->show();
}

void TBackgroundLoad::UpdateProgress() {
  if (control_) progress_->SetPermille(control_->Permille());
}

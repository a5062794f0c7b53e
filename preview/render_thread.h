// Full-detail frames of big models, drawn on a thread of their own so that
// the window never waits for them. The thread has its own context and
// draws into a framebuffer of its own, then hands the finished picture over
// as pixels; the panel shows it with one copy. The model's buffer objects
// are filled on that thread too.
//
// The window thread only ever waits for the thread to leave the model it
// reads (at most one slice of drawing, see kDrawSlice), when the model is
// replaced or the view stops.
#pragma once

#include <QImage>
#include <QThread>
#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>

#include "core/model.h"
#include "preview/scene.h"

class QOffscreenSurface;

// Everything of a scene that changes its picture.
struct FrameKey {
  uint64_t serial = 0;
  Camera camera;
  RenderState state;
  int renderType = 0, cullMode = 0, width = 0, height = 0;
  float background[3] = {0, 0, 0}, object[3] = {0, 0, 0};
  bool reference = false, buffers = false;
  bool textures = false;
};
bool operator==(const FrameKey& a, const FrameKey& b);
FrameKey KeyOf(const Scene& scene);

class RenderThread : public QThread {
  Q_OBJECT

 public:
  // A finished picture: rows bottom first, RGBA, as glReadPixels gives them.
  struct Frame {
    QImage pixels;
    FrameKey key;
    double ms = 0.0;       // drawing and reading back, finished
    bool partial = false;  // a model's first frame part way through
    bool detail = false;   // the level of detail, ahead of the full frame
  };

  // Where a job is, for the phase hook.
  enum class Phase {
    kFirstFrame,  // a model's first frame starts (drawn without buffers)
    kFrame,       // a later frame starts (it may fill the buffers first)
    kFill,        // the buffers of a model already shown are filled
    kSlice,       // between two slices of a frame, the model held
    kDetail,      // the level of detail of a view starts
  };
  using PhaseHook = std::function<void(Phase)>;

  explicit RenderThread(QObject* parent = nullptr);
  // Stops the thread (see Stop).
  ~RenderThread() override;

  // Starts the thread; false when this platform cannot draw on a second
  // thread or no context could be made there (the caller then draws on
  // its own thread). Call on the window thread.
  bool Begin();
  // Stops the drawing within one slice, frees the thread's buffers and
  // context and ends the thread. Safe to call more than once.
  void Stop();

  // The model later frames draw, with its concave triangles and serial;
  // null for none. Waits until the thread no longer reads the previous
  // model, so that it may be changed or freed on return. The buffers of the
  // previous model are freed on the thread.
  void SetModel(PolygonModel* model, int32_t polygonCount, ConcaveTriangles concave,
                uint64_t serial, std::shared_ptr<const SurfaceImages> images = nullptr);
  // A coarser copy of the model of this serial (made from it, as drawn),
  // drawn first for every view asked for, so that a picture close to the
  // full frame comes soon; the full frame follows. Ignored when another
  // model is set; dropped with the model.
  void SetDetail(std::shared_ptr<const PolygonModel> detail, uint64_t serial);
  // Asks for a frame of the scene's view (its model must be the one set).
  // A newer request replaces one that has not started, and stops a full
  // frame of another view part way; never waits.
  void Request(const Scene& scene);
  // The newest frame; false before the first. While a model's first frame
  // is drawn, the picture so far is handed over every few hundred
  // milliseconds as a partial frame.
  bool Newest(Frame& out) const;
  // Waits until the newest frame has this key; false after timeoutMs or
  // when the thread has stopped.
  bool WaitFor(const FrameKey& key, int timeoutMs);
  // Bytes in the thread's buffer objects.
  size_t BufferBytes() const { return bufferBytes_.load(); }
  // The serial of the model whose job failed (an exception, most likely
  // memory running out): its buffers are freed and no later frame of it is
  // drawn. 0 while the model set has not failed.
  uint64_t FailedSerial() const;
  // Whether that failure was memory running out.
  bool FailedForMemory() const;

  // Tests: called on the render thread as a job enters each phase, with
  // the model held; it may throw to fail the job, or wait for the owner
  // (OwnerWaiting) to stop it there. Taken by the next job.
  void SetPhaseHook(PhaseHook hook);
  // Whether the window's thread waits to take the model (SetModel, Stop).
  bool OwnerWaiting() const { return hold_.Wanted(); }

 signals:
  // A new frame is ready (emitted on the render thread).
  void FrameReady();
  // A job failed (see FailedSerial; emitted on the render thread).
  void JobFailed();

 protected:
  void run() override;

 private:
  // One job on the thread; false when it was stopped part way. partials:
  // hand over the picture so far now and then.
  bool Draw(Scene& view, bool partials, const PhaseHook& hook, Frame& out);
  // The level of detail of the view; false when it was stopped part way.
  bool DrawDetail(Scene& view, const PolygonModel& detail, DrawBuffers* buffers, uint64_t data,
                  Frame& out);
  // Reads the current picture back.
  static QImage ReadBack(int width, int height);

  QOffscreenSurface* surface_ = nullptr;
  mutable std::mutex mutex_;
  std::condition_variable wake_;
  std::atomic<size_t> bufferBytes_{0};
  // Guarded by mutex_.
  bool started_ = false, failed_ = false, quit_ = false;
  uint64_t serial_ = 0;              // the serial of the model set
  bool release_ = false;             // free the buffers of a model set aside
  bool fillPending_ = false;         // fill the buffers of the model shown
  std::optional<FrameKey> job_;      // the view asked for
  std::optional<FrameKey> drawing_;  // the view of the full frame being drawn
  std::shared_ptr<const PolygonModel> detail_;
  uint64_t detailSerial_ = 0;  // the model serial it belongs to
  uint64_t detailData_ = 0;    // its own serial, for its buffers
  // Set when a request for another view comes during a full frame.
  std::atomic<bool> superseded_{false};
  std::optional<Frame> newest_;
  uint64_t failedSerial_ = 0;  // the model set, when its job failed
  bool failedForMemory_ = false;
  PhaseHook hook_;
  // The model's part of the thread's scene (model, count, triangles and
  // serial): the window's thread changes it only when holding it through
  // hold_, the render thread reads it only then. Its view part is the
  // render thread's.
  ModelHold hold_;
  Scene model_;
};

#include "preview/render_thread.h"

#define GL_GLEXT_PROTOTYPES 1
#include <GL/gl.h>
#include <GL/glext.h>
#include <sys/resource.h>
#include <unistd.h>

#include <QOffscreenSurface>
#include <QOpenGLContext>
#include <algorithm>
#include <chrono>
#include <cstring>
#include <new>

#include "preview/draw_buffers.h"
#include "preview/glpanel.h"

bool operator==(const FrameKey& a, const FrameKey& b) {
  const RenderState &s = a.state, &t = b.state;
  return a.serial == b.serial && std::memcmp(&a.camera, &b.camera, sizeof(Camera)) == 0 &&
         s.lighting == t.lighting && s.polygonMode == t.polygonMode &&
         s.smoothShade == t.smoothShade && s.normalArray == t.normalArray &&
         s.normalPerPolygon == t.normalPerPolygon && a.renderType == b.renderType &&
         a.cullMode == b.cullMode && a.width == b.width && a.height == b.height &&
         std::memcmp(a.background, b.background, sizeof(a.background)) == 0 &&
         std::memcmp(a.object, b.object, sizeof(a.object)) == 0 && a.reference == b.reference &&
         a.buffers == b.buffers && a.textures == b.textures;
}

FrameKey KeyOf(const Scene& scene) {
  FrameKey k;
  k.serial = scene.modelSerial;
  k.camera = scene.camera;
  k.state = scene.state;
  k.renderType = scene.renderType;
  k.cullMode = scene.cullMode;
  k.width = scene.width;
  k.height = scene.height;
  std::memcpy(k.background, scene.background, sizeof(k.background));
  std::memcpy(k.object, scene.object, sizeof(k.object));
  k.reference = scene.referenceDrawing;
  k.buffers = scene.buffers != nullptr;
  k.textures = scene.textures;
  return k;
}

namespace {

// The thread's own framebuffer, of the panel's formats: 8-bit colour and a
// 24-bit depth buffer, so that its pixels are the panel's.
class Target {
 public:
  ~Target() { Free(); }
  // Makes a w x h framebuffer the one drawn to.
  bool Ensure(int w, int h) {
    if (fbo_ && w == w_ && h == h_) {
      glBindFramebuffer(GL_FRAMEBUFFER, fbo_);
      return true;
    }
    Free();
    glGenFramebuffers(1, &fbo_);
    glGenRenderbuffers(2, rb_);
    glBindRenderbuffer(GL_RENDERBUFFER, rb_[0]);
    glRenderbufferStorage(GL_RENDERBUFFER, GL_RGBA8, w, h);
    glBindRenderbuffer(GL_RENDERBUFFER, rb_[1]);
    glRenderbufferStorage(GL_RENDERBUFFER, GL_DEPTH_COMPONENT24, w, h);
    glBindRenderbuffer(GL_RENDERBUFFER, 0);
    glBindFramebuffer(GL_FRAMEBUFFER, fbo_);
    glFramebufferRenderbuffer(GL_FRAMEBUFFER, GL_COLOR_ATTACHMENT0, GL_RENDERBUFFER, rb_[0]);
    glFramebufferRenderbuffer(GL_FRAMEBUFFER, GL_DEPTH_ATTACHMENT, GL_RENDERBUFFER, rb_[1]);
    if (glCheckFramebufferStatus(GL_FRAMEBUFFER) != GL_FRAMEBUFFER_COMPLETE) {
      Free();
      return false;
    }
    w_ = w;
    h_ = h;
    return true;
  }
  void Free() {
    if (!fbo_) return;
    glBindFramebuffer(GL_FRAMEBUFFER, 0);
    glDeleteFramebuffers(1, &fbo_);
    glDeleteRenderbuffers(2, rb_);
    fbo_ = 0;
    w_ = h_ = 0;
  }

 private:
  GLuint fbo_ = 0, rb_[2] = {0, 0};
  int w_ = 0, h_ = 0;
};

// The view a key asks for, on the thread's scene (which holds the model).
void TakeView(Scene& to, const FrameKey& k) {
  std::memcpy(to.background, k.background, sizeof(to.background));
  std::memcpy(to.object, k.object, sizeof(to.object));
  to.renderType = k.renderType;
  to.cullMode = k.cullMode;
  to.camera = k.camera;
  to.state = k.state;
  to.width = k.width;
  to.height = k.height;
  to.referenceDrawing = k.reference;
  to.textures = k.textures;
}

}  // namespace

RenderThread::RenderThread(QObject* parent) : QThread(parent) {}

RenderThread::~RenderThread() { Stop(); }

bool RenderThread::Begin() {
  if (surface_ || !QOpenGLContext::supportsThreadedOpenGL()) return false;
  // The surface belongs to the window thread; the context is made on the
  // thread that draws with it.
  surface_ = new QOffscreenSurface();
  surface_->setFormat(TGLPanel::RequestedFormat());
  surface_->create();
  if (!surface_->isValid()) {
    delete surface_;
    surface_ = nullptr;
    return false;
  }
  start();
  std::unique_lock<std::mutex> lock(mutex_);
  wake_.wait(lock, [&] { return started_ || failed_; });
  return started_;
}

void RenderThread::Stop() {
  hold_.Take();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    quit_ = true;
  }
  hold_.Give();
  wake_.notify_all();
  wait();
  delete surface_;
  surface_ = nullptr;
}

void RenderThread::SetModel(PolygonModel* model, int32_t polygonCount, ConcaveTriangles concave,
                            uint64_t serial, std::shared_ptr<const SurfaceImages> images) {
  // The model first, then the state: the thread takes them in that order.
  hold_.Take();
  model_.model = model;
  model_.images = model ? std::move(images) : nullptr;
  model_.polygonCount = model ? polygonCount : 0;
  model_.concave = std::move(concave);
  model_.modelSerial = serial;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    job_.reset();
    newest_.reset();
    detail_.reset();
    serial_ = serial;
    release_ = true;
    fillPending_ = false;
    failedSerial_ = 0;
    failedForMemory_ = false;
  }
  hold_.Give();
  wake_.notify_all();
}

void RenderThread::SetDetail(std::shared_ptr<const PolygonModel> detail, uint64_t serial) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (serial != serial_ || !detail) return;
  detail_ = std::move(detail);
  detailSerial_ = serial;
  detailData_ = NewModelSerial();
}

void RenderThread::Request(const Scene& scene) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (quit_ || !started_) return;
    // Of the scene's buffers only whether to draw from buffers: the thread
    // has its own.
    job_ = KeyOf(scene);
    // The full frame of a view gone is not finished: the new view's level
    // of detail comes sooner.
    if (drawing_ && !(*drawing_ == *job_)) superseded_ = true;
  }
  wake_.notify_all();
}

bool RenderThread::Newest(Frame& out) const {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!newest_) return false;
  out = *newest_;
  return true;
}

bool RenderThread::WaitFor(const FrameKey& key, int timeoutMs) {
  std::unique_lock<std::mutex> lock(mutex_);
  const auto finished = [&] {
    return newest_ && !newest_->partial && !newest_->detail && newest_->key == key;
  };
  // A model that failed never gets its frame.
  const auto failed = [&] { return failedSerial_ != 0 && failedSerial_ == key.serial; };
  return wake_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                        [&] { return quit_ || !started_ || failed() || finished(); }) &&
         started_ && !quit_ && finished();
}

uint64_t RenderThread::FailedSerial() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return failedSerial_;
}

bool RenderThread::FailedForMemory() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return failedForMemory_;
}

void RenderThread::SetPhaseHook(PhaseHook hook) {
  std::lock_guard<std::mutex> lock(mutex_);
  hook_ = std::move(hook);
}

QImage RenderThread::ReadBack(int width, int height) {
  QImage pixels(width, height, QImage::Format_RGBA8888);
  if (pixels.isNull()) return pixels;
  glPixelStorei(GL_PACK_ALIGNMENT, 4);
  glReadPixels(0, 0, width, height, GL_RGBA, GL_UNSIGNED_BYTE, pixels.bits());
  return pixels;
}

bool RenderThread::Draw(Scene& view, bool partials, const PhaseHook& hook, Frame& out) {
  using Clock = std::chrono::steady_clock;
  const auto t0 = Clock::now();
  // The first partial picture soon, so that a big model shows at once; the
  // next ones seldom, as each read-back waits for the drawing so far.
  auto next = t0 + std::chrono::milliseconds(30);
  const std::function<void()> slice = [&] {
    if (hook) hook(Phase::kSlice);
    // The driver keeps what it has gathered of a frame until it draws it:
    // sent on every slice, that stays a slice's worth, not the model's.
    glFlush();
    const auto now = Clock::now();
    if (!partials || now < next) return;
    next = now + std::chrono::milliseconds(250);
    Frame part;
    {
      SceneAwayFromModel away(view);
      part.pixels = ReadBack(view.width, view.height);
    }
    if (part.pixels.isNull() || !hold_.Current()) return;
    part.key = KeyOf(view);
    part.partial = true;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (serial_ != view.modelSerial) return;
      newest_ = std::move(part);
    }
    emit FrameReady();
  };
  view.onSlice = &slice;
  try {
    SceneDrawGL(view);
  } catch (...) {
    view.onSlice = nullptr;
    throw;
  }
  view.onSlice = nullptr;
  if (!hold_.Current()) return false;
  {
    SceneAwayFromModel away(view);
    out.pixels = ReadBack(view.width, view.height);
  }
  if (out.pixels.isNull() || !hold_.Current()) return false;
  out.key = KeyOf(view);
  out.ms = std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
  return true;
}

bool RenderThread::DrawDetail(Scene& view, const PolygonModel& detail, DrawBuffers* buffers,
                              uint64_t data, Frame& out) {
  const auto t0 = std::chrono::steady_clock::now();
  SceneDrawModelGL(view, detail, buffers, data);
  if (!hold_.Current()) return false;
  {
    SceneAwayFromModel away(view);
    out.pixels = ReadBack(view.width, view.height);
  }
  if (out.pixels.isNull() || !hold_.Current()) return false;
  out.ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
  return true;
}

void RenderThread::run() {
  // Below the window's thread, so that on a busy machine the window keeps
  // answering; the driver's own drawing threads, made with the context,
  // inherit this.
  const id_t self = static_cast<id_t>(gettid());
  setpriority(PRIO_PROCESS, self, std::min(19, getpriority(PRIO_PROCESS, self) + 10));
  QOpenGLContext context;
  context.setFormat(TGLPanel::RequestedFormat());
  if (!context.create() || !context.makeCurrent(surface_)) {
    std::lock_guard<std::mutex> lock(mutex_);
    failed_ = true;
    wake_.notify_all();
    return;
  }
  SceneInitGL();
  auto buffers = std::make_shared<DrawBuffers>();
  auto textures = std::make_shared<SceneTextures>();
  auto detailBuffers = std::make_shared<DrawBuffers>();
  uint64_t filledSerial = 0;  // the model whose first frame has been drawn
  {
    Target target;
    std::unique_lock<std::mutex> lock(mutex_);
    started_ = true;
    wake_.notify_all();
    for (;;) {
      wake_.wait(lock, [&] { return quit_ || release_ || job_ || fillPending_; });
      if (quit_) break;
      if (release_) {
        release_ = false;
        lock.unlock();
        buffers->Release();
        textures->Release();
        detailBuffers->Release();
        bufferBytes_ = 0;
        lock.lock();
        continue;
      }
      const std::optional<FrameKey> job = job_;
      job_.reset();
      const bool withBuffers = job && job->buffers;
      const bool fill = !job && fillPending_;
      fillPending_ = false;
      const uint64_t failedSerial = failedSerial_;
      const PhaseHook hook = hook_;
      // The level of detail first, unless the view's full frame is shown.
      std::shared_ptr<const PolygonModel> detail;
      const uint64_t detailData = detailData_;
      if (job && detail_ && detailSerial_ == serial_ && job->serial == serial_ &&
          !(newest_ && !newest_->partial && !newest_->detail && newest_->key == *job))
        detail = detail_;
      drawing_ = job;
      superseded_ = false;
      lock.unlock();

      hold_.Hold();
      Scene& scene = model_;
      scene.hold = &hold_;
      scene.glTextures = textures;
      const uint64_t serial = scene.modelSerial;
      Frame frame;
      bool done = false, first = false, failed = false, outOfMemory = false;
      // A failure (memory running out while the buffers are filled, most
      // likely) costs this model's full frames, never the process: the
      // model is dropped with everything the job made of it. Every way out
      // of the job retakes the model before this point.
      try {
        if (job && job->serial == serial && serial != failedSerial && scene.model &&
            job->width > 0 && job->height > 0) {
          TakeView(scene, *job);
          bool skip = false;
          if (detail && target.Ensure(scene.width, scene.height)) {
            if (hook) hook(Phase::kDetail);
            Frame level;
            if (DrawDetail(scene, *detail, withBuffers ? detailBuffers.get() : nullptr, detailData,
                           level)) {
              level.key = *job;
              level.detail = true;
              {
                std::lock_guard<std::mutex> guard(mutex_);
                if (serial_ == serial) newest_ = std::move(level);
              }
              emit FrameReady();
            }
            // A newer view gets its own level before this full frame.
            std::lock_guard<std::mutex> guard(mutex_);
            skip = job_.has_value() || !hold_.Current();
          }
          // A model's first frame is drawn without buffers: filling them
          // would cost as much as the frame again. They are filled after it.
          first = filledSerial != serial;
          if (!skip) {
            if (hook) hook(first ? Phase::kFirstFrame : Phase::kFrame);
            scene.buffers = withBuffers && !first ? buffers : nullptr;
            // Its parts would only hide the level of detail shown.
            scene.cancel = &superseded_;
            done = target.Ensure(scene.width, scene.height) &&
                   Draw(scene, first && !detail, hook, frame) && !superseded_;
            scene.cancel = nullptr;
          }
          // The view asked for: drawn from buffers or not, the pixels are the same.
          frame.key = *job;
          if (done) filledSerial = serial;
        } else if (fill && filledSerial == serial && serial != failedSerial && scene.model &&
                   !scene.referenceDrawing) {
          // Nothing asked for: fill the buffers of a model already shown.
          scene.buffers = buffers;
          if (hook) hook(Phase::kFill);
          SceneFillBuffersGL(scene);
        }
      } catch (const std::bad_alloc&) {
        failed = outOfMemory = true;
      } catch (...) {
        failed = true;
      }
      scene.cancel = nullptr;
      if (failed) {
        done = false;
        // The client state and bindings a fill or a buffered pass may have
        // left set, then the buffers themselves.
        buffers->Unbind();
        buffers->Release();
        detailBuffers->Unbind();
        detailBuffers->Release();
        frame = Frame();
      }
      scene.buffers = nullptr;
      hold_.LetGo();
      bufferBytes_ = buffers->Bytes() + detailBuffers->Bytes();

      lock.lock();
      drawing_.reset();
      if (failed && serial == serial_) {
        failedSerial_ = serial;
        failedForMemory_ = outOfMemory;
        fillPending_ = false;
        job_.reset();
        wake_.notify_all();
        lock.unlock();
        emit JobFailed();
        lock.lock();
        continue;
      }
      // A frame of a model set aside meanwhile is dropped.
      if (done && frame.key.serial == serial_) {
        newest_ = std::move(frame);
        // Fill the buffers once the first frame is out, unless a request
        // comes first (its frame then fills them).
        if (first && withBuffers) fillPending_ = true;
        wake_.notify_all();
        lock.unlock();
        emit FrameReady();
        lock.lock();
      }
    }
    lock.unlock();
    buffers->Release();
    textures->Release();
    detailBuffers->Release();
    bufferBytes_ = 0;
  }
  context.doneCurrent();
}

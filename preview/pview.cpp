#include "preview/pview.h"

#define GL_GLEXT_PROTOTYPES 1
#include <GL/gl.h>
#include <GL/glext.h>

#include <QCloseEvent>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QVBoxLayout>
#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>

#include "preview/draw_buffers.h"
#include "preview/glpanel.h"
#include "preview/image_io.h"
#include "preview/render_thread.h"

namespace {

uint32_t TickCount() {
  using namespace std::chrono;
  return static_cast<uint32_t>(
      duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

int ButtonsOf(Qt::MouseButtons b) {
  return ((b & Qt::LeftButton) ? 1 : 0) | ((b & Qt::RightButton) ? 2 : 0) |
         ((b & Qt::MiddleButton) ? 4 : 0);
}

}  // namespace

TPView::TPView(QWidget* parent) : QWidget(parent) {
  setWindowTitle(QStringLiteral("PreView"));
  setFocusPolicy(Qt::StrongFocus);
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  if (!TGLPanel::CanCreateContext()) {
    // An empty panel in its place: the window works on without a preview.
    glFailed_ = true;
    layout->addWidget(new QWidget(this));
    TGLPanel::ReportInitFailure(this);
  } else {
    GLPanel1 = new TGLPanel(this);
    GLPanel1->setObjectName(QStringLiteral("GLPanel1"));
    GLPanel1->setFocusPolicy(Qt::NoFocus);
    layout->addWidget(GLPanel1);
    GLPanel1->GLPostInit = [this](TGLPanel* s) { GLPanel1GLPostInit(s); };
    GLPanel1->GLDraw = [this](TGLPanel* s) { GLPanel1GLDraw(s); };
    GLPanel1->GLResize = [this](TGLPanel* s) { GLPanel1GLResize(s); };
    GLPanel1->GLDestroy = [this](TGLPanel* s) { GLPanel1GLDestroy(s); };
    GLPanel1->OnMouseDown = [this](TGLPanel* s, QMouseEvent* e) { GLPanel1MouseDown(s, e); };
    GLPanel1->OnMouseMove = [this](TGLPanel* s, QMouseEvent* e) { GLPanel1MouseMove(s, e); };
    GLPanel1->OnMouseUp = [this](TGLPanel* s, QMouseEvent* e) { GLPanel1MouseUp(s, e); };
    GLPanel1->OnDblClick = [this](TGLPanel* s, QMouseEvent* e) { GLPanel1DblClick(s, e); };
  }
  Timer1.setInterval(33);
  connect(&Timer1, &QTimer::timeout, this, &TPView::Timer1Timer);
  restTimer_.setSingleShot(true);
  restTimer_.setInterval(150);
  connect(&restTimer_, &QTimer::timeout, this, &TPView::RestTimerTimer);
  if (GLPanel1) {
    scene_.buffers = std::make_shared<DrawBuffers>();
    standInBuffers_ = std::make_shared<DrawBuffers>();
    scene_.glTextures = std::make_shared<SceneTextures>();
  }
}

TPView::~TPView() {
  Timer1.stop();
  restTimer_.stop();
  // The builder and the render thread read the model: stop them before the
  // model can go.
  standInBuilder_.Cancel();
  StopRenderThread();
  SceneClearModel(scene_);
}

void TPView::StopRenderThread() {
  offThread_ = false;
  if (!renderer_) return;
  renderer_->Stop();
  renderer_.reset();
}

// --- Scene -----------------------------------------------------------------

void TPView::DropModelData() {
  standInBuilder_.Cancel();
  standIn_.reset();
  detailShown_ = 0;
  if (offThread_) renderer_->SetModel(nullptr, 0, {}, 0);
  offThread_ = false;
  haveRequest_ = false;
  drawFailed_ = false;
  if (GLReady()) {
    GLPanel1->makeCurrent();
    if (scene_.buffers) scene_.buffers->Release();
    if (standInBuffers_) standInBuffers_->Release();
    if (scene_.glTextures) scene_.glTextures->Release();
    GLPanel1->doneCurrent();
  }
}

void TPView::SetModel(PolygonModel* model, int renderType) {
  if (!model) {
    ClearModel();
    return;
  }
  // Fitted before the old model's drawing is stopped: it may go on
  // meanwhile. Not the model shown itself, fitted again in place: nothing
  // may read it meanwhile (its levels may still be in the making).
  if (model == scene_.model) DropModelData();
  SetFittedModel(model, FitSceneModel(*model), renderType);
}

void TPView::SetFittedModel(PolygonModel* model, SceneModelFit fit, int renderType) {
  DropModelData();
  SceneSetFittedModel(scene_, model, std::move(fit), renderType);
  lastFullFrameMs_ = 0.0;
  offThread_ = renderer_ && scene_.model && scene_.polygonCount > offThreadLimit_;
  if (offThread_) {
    // The render thread draws it and fills its buffers; the stand-in is
    // started at once, to be the first picture when the full frame is slow.
    renderer_->SetModel(scene_.model, scene_.polygonCount, std::move(scene_.concave),
                        scene_.modelSerial, scene_.images);
    scene_.concave = {};
    pendingSerial_ = 0;
    StartStandIn();
  } else {
    // The first picture comes first: the buffers are filled and the
    // stand-in is started once it is drawn.
    pendingSerial_ = scene_.modelSerial;
  }
  Repaint();
}

void TPView::ClearModel() {
  DropModelData();
  SceneClearModel(scene_);
  Repaint();
}

void TPView::SetStandInLimits(int32_t maxTriangles, double thresholdMs) {
  standInMax_ = maxTriangles;
  standInThresholdMs_ = thresholdMs;
  standInBuilder_.Cancel();
  standIn_.reset();
  if (pendingSerial_ != scene_.modelSerial) StartStandIn();
}

void TPView::StartStandIn() {
  // The model's vertices are centred and scaled by now, as drawn.
  if (!scene_.model || standInMax_ <= 0 || scene_.polygonCount <= standInMax_) return;
  // Off the window's thread the stand-in is shown as soon as it is ready.
  std::function<void()> ready, detailReady;
  int32_t detail = 0;
  if (offThread_) {
    ready = [this] { QMetaObject::invokeMethod(this, &TPView::Repaint, Qt::QueuedConnection); };
    // About a triangle per pixel: finer detail would not show.
    detail = detailTriangles_ > 0 ? detailTriangles_
                                  : static_cast<int32_t>(std::min<int64_t>(
                                        int64_t{scene_.width} * scene_.height, 1 << 24));
    detailReady = [this] {
      QMetaObject::invokeMethod(this, &TPView::TakeDetail, Qt::QueuedConnection);
    };
  }
  standInBuilder_.Start(*scene_.model, standInMax_, std::move(ready), detail,
                        std::move(detailReady), SceneDrawsAppearance(scene_, *scene_.model));
}

void TPView::TakeDetail() {
  std::unique_ptr<PolygonModel> detail = standInBuilder_.TakeDetail();
  if (!detail || !offThread_ || !renderer_) return;
  detailShown_ = detail->PolygonCount();
  renderer_->SetDetail(std::move(detail), scene_.modelSerial);
}

void TPView::AfterFirstPicture(uint64_t serial) {
  if (serial != scene_.modelSerial || pendingSerial_ != serial) return;
  pendingSerial_ = 0;
  if (scene_.buffers && GLReady()) {
    GLPanel1->makeCurrent();
    SceneFillBuffersGL(scene_);
    GLPanel1->doneCurrent();
  }
  StartStandIn();
}

bool TPView::StandInReady() {
  if (!standIn_) {
    standIn_ = standInBuilder_.Take();
    if (standIn_) standInSerial_ = NewModelSerial();
  }
  return standIn_ != nullptr;
}

void TPView::SetBufferDrawing(bool on) {
  if (!GLPanel1 || on == (scene_.buffers != nullptr)) return;
  if (!on && GLReady()) {
    GLPanel1->makeCurrent();
    scene_.buffers->Release();
    GLPanel1->doneCurrent();
  }
  scene_.buffers = on ? std::make_shared<DrawBuffers>() : nullptr;
  Repaint();
}

void TPView::SetTextures(bool on) {
  if (scene_.textures == on) return;
  scene_.textures = on;
  // The stand-in takes the colours the model is now drawn in.
  if (scene_.model && !scene_.model->appearance.materials.empty() &&
      pendingSerial_ != scene_.modelSerial) {
    standInBuilder_.Cancel();
    standIn_.reset();
    StartStandIn();
  }
  Repaint();
}

bool TPView::ImagesMissing() const {
  if (!scene_.model || scene_.images) return false;
  for (const SurfaceMaterial& m : scene_.model->appearance.materials)
    if (!m.texture.empty()) return true;
  return false;
}

size_t TPView::TextureBytes() const { return scene_.images ? scene_.images->Bytes() : 0; }

size_t TPView::BufferBytes() const {
  return (scene_.buffers ? scene_.buffers->Bytes() : 0) +
         (standInBuffers_ ? standInBuffers_->Bytes() : 0) +
         (renderer_ ? renderer_->BufferBytes() : 0);
}

void TPView::NoteMotion() {
  moving_ = true;
  restTimer_.start();
}

void TPView::RestTimerTimer() {
  moving_ = false;
  // The full model, at once, unless the last frame already was it.
  if (lastShown_ != Shown::kFull) Repaint();
}

void TPView::SetRenderType(int type) {
  SceneSetRenderType(scene_, type);
  Repaint();
}

int TPView::RenderType() const { return scene_.renderType; }

void TPView::SetCullMode(int mode) {
  if (SceneSetCullMode(scene_, mode)) Repaint();
}

int TPView::CullMode() const { return scene_.cullMode; }

void TPView::SetColors(int background, int object) {
  SceneSetColors(scene_, background, object);
  Repaint();
}

void TPView::Repaint() {
  if (GLPanel1) GLPanel1->update();
}

// --- Camera and interaction ------------------------------------------------

void TPView::SetViewPreset(int n) {
  if (::SetViewPreset(scene_.camera, n)) Repaint();
}

void TPView::ResetCamera() {
  ::ResetCamera(scene_.camera);
  Repaint();
}

void TPView::WheelZoom(int delta) {
  Camera& c = scene_.camera;
  c.eyeZ = c.eyeZ + static_cast<float>(delta) * c.moveStep * 0.1f;
  if (c.eyeZ >= c.zoomLimit) {
    UpdateNearFar(c);
    NoteMotion();
    Repaint();
  } else {
    c.eyeZ = c.zoomLimit;
  }
}

void TPView::SetAutoRotation(bool on) {
  autoRotation_ = on;
  Timer1.stop();
}

void TPView::StopAutoRotation() { Timer1.stop(); }

bool TPView::Spinning() const { return Timer1.isActive(); }

void TPView::MouseDown(int buttons, bool, int x, int y, uint32_t tick) {
  if (Timer1.isActive()) Timer1.stop();
  pressX_ = lastX_ = x;
  pressY_ = lastY_ = y;
  pressButtons_ = buttons;
  pressTime_ = tick;
  setFocus(Qt::MouseFocusReason);
}

void TPView::MouseMove(int buttons, bool shift, int x, int y) {
  int dx = x - lastX_;
  int dy = y - lastY_;
  if (shift) {
    if (std::abs(y - pressY_) > std::abs(x - pressX_))
      dx = 0;
    else
      dy = 0;
  }
  Camera& c = scene_.camera;
  switch (buttons) {
    case 0:
      break;
    case 1:  // rotate about the screen axes, one degree per pixel
      RotateScreen(c, static_cast<float>(dy), static_cast<float>(dx));
      break;
    case 2:  // pan: the model follows the pointer
      c.eyeX = c.eyeX - static_cast<float>(dx) * c.moveStep;
      c.eyeY = c.eyeY + static_cast<float>(dy) * c.moveStep;
      break;
    case 3:
    case 4: {  // zoom: up or right brings the eye nearer
      const int amount = std::abs(dy) >= std::abs(dx) ? dy : -dx;
      c.eyeZ = c.eyeZ + static_cast<float>(amount) * c.moveStep;
      if (c.eyeZ < c.zoomLimit) {
        // Held at the limit until the pointer comes back past this point.
        c.eyeZ = c.zoomLimit;
        return;
      }
      UpdateNearFar(c);
      break;
    }
    default:
      break;
  }
  if (buttons != 0) {
    NoteMotion();
    Repaint();
  }
  lastX_ = x;
  lastY_ = y;
}

void TPView::MouseUp(bool shift, int x, int y, uint32_t tick) {
  if (!autoRotation_ || pressButtons_ != 1) return;
  if (static_cast<uint32_t>(tick - pressTime_) >= 1000u) return;
  spinY_ = (x - pressX_) / 4;
  spinX_ = (y - pressY_) / 4;
  if (shift) {
    if (std::abs(spinX_) > std::abs(spinY_))
      spinY_ = 0;
    else
      spinX_ = 0;
  }
  Timer1.start();
}

void TPView::DblClick() { ResetCamera(); }

void TPView::Timer1Timer() {
  RotateScreen(scene_.camera, static_cast<float>(spinX_), static_cast<float>(spinY_));
  NoteMotion();
  Repaint();
}

void TPView::keyPressEvent(QKeyEvent* e) {
  if (e->key() == Qt::Key_Space) {
    if (OnSpaceKey) OnSpaceKey();
    e->accept();
    return;
  }
  QWidget::keyPressEvent(e);
}

void TPView::closeEvent(QCloseEvent* e) {
  standInBuilder_.Cancel();
  standIn_.reset();
  StopRenderThread();
  if (GLPanel1) GLPanel1->Release();
  SceneClearModel(scene_);
  QWidget::closeEvent(e);
}

// --- Panel events ----------------------------------------------------------

QImage TPView::GrabImage() {
  if (!GLReady()) return QImage();
  // The picture asked for is the full frame of this view, unless the
  // stand-in is what the view shows now: wait for the render thread.
  if (offThread_ && !drawFailed_ && !UseStandIn()) {
    const FrameKey key = KeyOf(scene_);
    RenderThread::Frame frame;
    if (!renderer_->Newest(frame) || frame.partial || frame.detail || !(frame.key == key)) {
      RequestFrame(key);
      renderer_->WaitFor(key, 120000);
    }
  }
  return GLPanel1->grabFramebuffer();
}

bool TPView::SaveViewImage(const std::string& path, bool jpeg, int quality) {
  return SaveViewImage(path, jpeg ? ImageFileKind::kJpeg : ImageFileKind::kBmp, quality);
}

bool TPView::SaveViewImage(const std::string& path, ImageFileKind kind, int quality) {
  // The grab draws a fresh frame into the panel's framebuffer, so what is
  // written is the newest picture without waiting for the screen.
  const QImage image = GrabImage();
  std::string error;
  return !image.isNull() && WriteImageFile(image, path, kind, quality, error);
}

bool TPView::GLReady() const { return GLPanel1 && GLPanel1->HasContext(); }
bool TPView::GLFailed() const { return glFailed_ || (GLPanel1 && GLPanel1->InitFailed()); }

void TPView::GLPanel1GLPostInit(TGLPanel* sender) {
  scene_.width = static_cast<int>(sender->width() * sender->devicePixelRatioF());
  scene_.height = static_cast<int>(sender->height() * sender->devicePixelRatioF());
  // A new context: whatever buffers the last one held went with it.
  if (scene_.buffers) scene_.buffers->Forget();
  if (standInBuffers_) standInBuffers_->Forget();
  if (scene_.glTextures) scene_.glTextures->Forget();
  SceneInitGL();
  SceneResizeGL(scene_);
  if (!renderer_) {
    auto renderer = std::make_unique<RenderThread>();
    if (renderer->Begin()) {
      connect(renderer.get(), &RenderThread::FrameReady, this, &TPView::Repaint,
              Qt::QueuedConnection);
      connect(renderer.get(), &RenderThread::JobFailed, this, &TPView::RenderJobFailed,
              Qt::QueuedConnection);
      renderer_ = std::move(renderer);
    }
  }
  if (firstInitPending_) {
    firstInitPending_ = false;
    // After the panel's own set-up has finished: the call-back may load a
    // model and repaint.
    QMetaObject::invokeMethod(
        this,
        [this] {
          if (OnFirstInit) OnFirstInit();
        },
        Qt::QueuedConnection);
  }
}

void TPView::RenderJobFailed() {
  if (!offThread_ || drawFailed_ || renderer_->FailedSerial() != scene_.modelSerial) return;
  drawFailed_ = true;
  if (OnLogLine) OnLogLine(renderer_->FailedForMemory() ? kLogDrawOutOfMemory : kLogDrawFailed);
  Repaint();
}

bool TPView::UseStandIn() {
  // The render thread gave up on the model: the stand-in is its picture.
  if (drawFailed_) return scene_.model && StandInReady();
  // A frame time of 0 is not known yet: a model drawn off the window's
  // thread is big enough to count as slow until its first frame says.
  const bool slow = lastFullFrameMs_ > standInThresholdMs_ || (offThread_ && lastFullFrameMs_ == 0);
  return moving_ && slow && scene_.model && StandInReady();
}

void TPView::DrawStandIn() {
  // Its first frame is drawn straight from the model and its buffers are
  // filled a moment later, so that the window does not do both in one tick.
  const bool filled = standInFilled_ == standInSerial_;
  SceneDrawModelGL(scene_, *standIn_, filled ? standInBuffers_.get() : nullptr, standInSerial_);
  if (filled || !standInBuffers_ || standInFillQueued_) return;
  standInFillQueued_ = true;
  QTimer::singleShot(50, this, [this] {
    standInFillQueued_ = false;
    if (!standIn_ || !GLReady() || standInFilled_ == standInSerial_) return;
    static const ConcaveTriangles kNone;
    GLPanel1->makeCurrent();
    if (standInBuffers_->Bind(BufferDrawOf(scene_), *standIn_, standIn_->PolygonCount(), kNone,
                              standInSerial_))
      standInBuffers_->Unbind();
    GLPanel1->doneCurrent();
    standInFilled_ = standInSerial_;
    Repaint();
  });
}

void TPView::RequestFrame(const FrameKey& key) {
  renderer_->Request(scene_);
  requested_ = key;
  haveRequest_ = true;
}

void TPView::DrawOffThread() {
  const FrameKey key = KeyOf(scene_);
  RenderThread::Frame frame;
  const bool have = renderer_->Newest(frame) && frame.key.serial == scene_.modelSerial;
  const bool current = have && !frame.partial && !frame.detail && frame.key == key;
  // The level of detail of this view, while its full frame is drawn.
  const bool detail = have && frame.detail && frame.key == key;
  const bool standInNow = UseStandIn();
  // While the stand-in stands for the moving view, no full frame is asked
  // for: the thread would only draw views already gone.
  if (!current && !standInNow && !drawFailed_ && !(haveRequest_ && requested_ == key))
    RequestFrame(key);
  const auto show = [&](const QImage& pixels) {
    glViewport(0, 0, scene_.width, scene_.height);
    glClearColor(scene_.background[0], scene_.background[1], scene_.background[2], 0.0f);
    glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
    glDisable(GL_DEPTH_TEST);
    glWindowPos2i(0, 0);
    glDrawPixels(pixels.width(), pixels.height(), GL_RGBA, GL_UNSIGNED_BYTE, pixels.constBits());
    glEnable(GL_DEPTH_TEST);
  };
  if (current && !standInNow) {
    show(frame.pixels);
    lastShown_ = Shown::kFull;
    lastFullFrameMs_ = frame.ms;
  } else if (detail && !standInNow) {
    show(frame.pixels);
    lastShown_ = Shown::kDetail;
  } else if (StandInReady()) {
    DrawStandIn();
    lastShown_ = Shown::kStandIn;
  } else if (have) {
    show(frame.pixels);
    lastShown_ = frame.partial ? Shown::kPartial : Shown::kOlderFull;
  } else {
    Scene empty;
    std::memcpy(empty.background, scene_.background, sizeof(empty.background));
    empty.width = scene_.width;
    empty.height = scene_.height;
    SceneDrawGL(empty);
    lastShown_ = Shown::kBackground;
  }
  lastFrameStandIn_ = lastShown_ == Shown::kStandIn;
}

void TPView::GLPanel1GLDraw(TGLPanel*) {
  if (offThread_) {
    DrawOffThread();
    return;
  }
  if (moving_ && lastFullFrameMs_ > standInThresholdMs_ && scene_.model && StandInReady()) {
    DrawStandIn();
    lastFrameStandIn_ = true;
    lastShown_ = Shown::kStandIn;
    return;
  }
  const auto t0 = std::chrono::steady_clock::now();
  if (pendingSerial_ == scene_.modelSerial && scene_.buffers) {
    // A new model's first frame: drawn without filling buffers, which on a
    // big model would cost as much as the frame again.
    const std::shared_ptr<DrawBuffers> keep = std::move(scene_.buffers);
    SceneDrawGL(scene_);
    scene_.buffers = keep;
  } else {
    SceneDrawGL(scene_);
  }
  if (pendingSerial_ == scene_.modelSerial) {
    const uint64_t serial = scene_.modelSerial;
    QTimer::singleShot(0, this, [this, serial] { AfterFirstPicture(serial); });
  }
  // Finished, so that the time says what the frame costs.
  glFinish();
  lastFullFrameMs_ =
      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
  lastFrameStandIn_ = false;
  lastShown_ = scene_.model ? Shown::kFull : Shown::kBackground;
}

void TPView::GLPanel1GLResize(TGLPanel* sender) {
  scene_.width = static_cast<int>(sender->width() * sender->devicePixelRatioF());
  scene_.height = static_cast<int>(sender->height() * sender->devicePixelRatioF());
  SceneResizeGL(scene_);
}

void TPView::GLPanel1GLDestroy(TGLPanel*) {
  if (scene_.buffers) scene_.buffers->Release();
  if (standInBuffers_) standInBuffers_->Release();
  if (scene_.glTextures) scene_.glTextures->Release();
}

void TPView::GLPanel1MouseDown(TGLPanel*, QMouseEvent* e) {
  const QPoint p = e->position().toPoint();
  MouseDown(ButtonsOf(e->buttons()), e->modifiers() & Qt::ShiftModifier, p.x(), p.y(), TickCount());
}

void TPView::GLPanel1MouseMove(TGLPanel*, QMouseEvent* e) {
  const QPoint p = e->position().toPoint();
  MouseMove(ButtonsOf(e->buttons()), e->modifiers() & Qt::ShiftModifier, p.x(), p.y());
}

void TPView::GLPanel1MouseUp(TGLPanel*, QMouseEvent* e) {
  const QPoint p = e->position().toPoint();
  MouseUp(e->modifiers() & Qt::ShiftModifier, p.x(), p.y(), TickCount());
}

void TPView::GLPanel1DblClick(TGLPanel* sender, QMouseEvent* e) {
  // The second press of a double click is a press too: it stops a spin.
  GLPanel1MouseDown(sender, e);
  DblClick();
}

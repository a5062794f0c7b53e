#include "preview/glpanel.h"

#include <QMessageBox>
#include <QMouseEvent>
#include <QOpenGLContext>
#include <QTimer>
#include <cassert>

namespace {
const QSurfaceFormat* g_formatOverride = nullptr;
bool g_silentErrors = false;
int g_errorBoxes = 0;
}  // namespace

TGLPanel::TGLPanel(QWidget* parent) : QOpenGLWidget(parent) {
  setFormat(g_formatOverride ? *g_formatOverride : RequestedFormat());
  setMouseTracking(true);
}

TGLPanel::~TGLPanel() = default;

QSurfaceFormat TGLPanel::RequestedFormat() {
  QSurfaceFormat f;
  f.setRenderableType(QSurfaceFormat::OpenGL);
  f.setProfile(QSurfaceFormat::CompatibilityProfile);
  f.setRedBufferSize(8);
  f.setGreenBufferSize(8);
  f.setBlueBufferSize(8);
  f.setAlphaBufferSize(0);
  f.setDepthBufferSize(24);
  f.setStencilBufferSize(0);
  f.setSwapBehavior(QSurfaceFormat::DoubleBuffer);
  return f;
}

void TGLPanel::SetFormatOverrideForTest(const QSurfaceFormat* format) { g_formatOverride = format; }
void TGLPanel::SetSilentErrorsForTest(bool silent) { g_silentErrors = silent; }
int TGLPanel::ErrorBoxesShownForTest() { return g_errorBoxes; }

void TGLPanel::initializeGL() {
  if (state_ != State::kNone) return;
  assert(context() && QOpenGLContext::currentContext() == context());
  state_ = State::kCurrent;
  if (GLPostInit) GLPostInit(this);
}

void TGLPanel::paintGL() {
  if (state_ != State::kCurrent) return;
  if (GLDraw) GLDraw(this);
}

void TGLPanel::resizeGL(int, int) {
  if (state_ != State::kCurrent) return;
  if (GLResize) GLResize(this);
}

bool TGLPanel::event(QEvent* e) {
  const bool result = QOpenGLWidget::event(e);
  // The widget creates its context when it is first shown or painted; a
  // failure there only leaves a warning behind, so look for it afterwards.
  if (e->type() == QEvent::Show || e->type() == QEvent::Paint || e->type() == QEvent::UpdateRequest)
    CheckSetUp();
  return result;
}

void TGLPanel::CheckSetUp() {
  if (state_ != State::kNone || !isVisible() || size().isEmpty()) return;
  if (isValid()) return;
  // Creation has been tried once the widget is on a native window.
  if (!window()->windowHandle()) return;
  if (!context() || !context()->isValid()) ShowInitError();
}

void TGLPanel::ShowInitError() {
  state_ = State::kFailed;
  ++g_errorBoxes;
  if (g_silentErrors) return;
  // Not from inside the event that found the failure: the box runs its own
  // event loop.
  QTimer::singleShot(0, this, [this] {
    QMessageBox box(QMessageBox::Critical, QStringLiteral("Tarnelle Error"),
                    QStringLiteral("OpenGLの初期化に失敗．"), QMessageBox::Ok, window());
    box.exec();
  });
}

void TGLPanel::Release() {
  if (state_ != State::kCurrent) return;
  makeCurrent();
  if (GLDestroy) GLDestroy(this);
  doneCurrent();
  state_ = State::kReleased;
}

void TGLPanel::mousePressEvent(QMouseEvent* e) {
  if (OnMouseDown) OnMouseDown(this, e);
}
void TGLPanel::mouseMoveEvent(QMouseEvent* e) {
  if (OnMouseMove) OnMouseMove(this, e);
}
void TGLPanel::mouseReleaseEvent(QMouseEvent* e) {
  if (OnMouseUp) OnMouseUp(this, e);
}
void TGLPanel::mouseDoubleClickEvent(QMouseEvent* e) {
  if (OnDblClick) OnDblClick(this, e);
}

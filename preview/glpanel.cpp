#include "preview/glpanel.h"

#include <QMessageBox>
#include <QMouseEvent>
#include <QOffscreenSurface>
#include <QOpenGLContext>
#include <QPointer>
#include <QTimer>
#include <cassert>

TGLPanel::TGLPanel(QWidget* parent) : QOpenGLWidget(parent) {
  setFormat(RequestedFormat());
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

bool TGLPanel::CanCreateContext() {
  QOpenGLContext context;
  context.setFormat(RequestedFormat());
  if (!context.create()) return false;
  QOffscreenSurface surface;
  surface.setFormat(context.format());
  surface.create();
  if (!surface.isValid() || !context.makeCurrent(&surface)) return false;
  context.doneCurrent();
  return true;
}

void TGLPanel::ReportInitFailure(QWidget* parent) {
  QPointer<QWidget> owner(parent);
  QTimer::singleShot(0, [owner] {
    QMessageBox box(QMessageBox::Critical, QStringLiteral("Tarnelle Error"),
                    QStringLiteral("OpenGLの初期化に失敗．"), QMessageBox::Ok,
                    owner ? owner->window() : nullptr);
    box.exec();
  });
}

void TGLPanel::initializeGL() {
  // Qt makes a new context when the panel moves to another top-level
  // window: its state is set again, unless the panel was released.
  if (state_ == State::kReleased || state_ == State::kFailed) return;
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
  if (!context() || !context()->isValid()) {
    state_ = State::kFailed;
    ReportInitFailure(this);
  }
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

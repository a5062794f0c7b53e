// The OpenGL surface of the preview: one context on a QOpenGLWidget, whose
// life is turned into four events for the owner.
#pragma once

#include <QOpenGLWidget>
#include <QSurfaceFormat>
#include <functional>

class QMouseEvent;

class TGLPanel : public QOpenGLWidget {
  Q_OBJECT

 public:
  using Event = std::function<void(TGLPanel* sender)>;
  using MouseEvent = std::function<void(TGLPanel* sender, QMouseEvent* event)>;

  explicit TGLPanel(QWidget* parent = nullptr);
  ~TGLPanel() override;

  // The format every panel asks for: RGB 8-8-8, depth 24, double buffer,
  // a compatibility profile so that the fixed-function calls work.
  static QSurfaceFormat RequestedFormat();

  // Fired once the context is current for the first time.
  Event GLPostInit;
  // Fired by every paint while the panel's context is current.
  Event GLDraw;
  // Fired by every size change while the context is current.
  Event GLResize;
  // Fired by Release before the context is given up.
  Event GLDestroy;

  // Mouse events of the panel (positions in panel pixels).
  MouseEvent OnMouseDown, OnMouseMove, OnMouseUp, OnDblClick;

  // Fires GLDestroy (when a context exists) and stops reaching the owner:
  // later paints and resizes are ignored.
  void Release();

  // A context was created and GLPostInit has run; false before, after a
  // failed set-up and after Release.
  bool HasContext() const { return state_ == State::kCurrent; }
  // The set-up was tried and failed (the error box has been shown).
  bool InitFailed() const { return state_ == State::kFailed; }

  // Whether a context of RequestedFormat() can be created and made current
  // at all. Checked before a panel is made: Qt 6.4 crashes flushing a
  // window that holds a QOpenGLWidget when no context can be had.
  static bool CanCreateContext();
  // The "Tarnelle Error" box for a failed set-up, shown once the event
  // loop runs again (not from inside the event that found the failure).
  static void ReportInitFailure(QWidget* parent);

 protected:
  void initializeGL() override;
  void paintGL() override;
  void resizeGL(int w, int h) override;
  bool event(QEvent* e) override;
  void mousePressEvent(QMouseEvent* e) override;
  void mouseMoveEvent(QMouseEvent* e) override;
  void mouseReleaseEvent(QMouseEvent* e) override;
  void mouseDoubleClickEvent(QMouseEvent* e) override;

 private:
  enum class State { kNone, kCurrent, kFailed, kReleased };
  void CheckSetUp();

  State state_ = State::kNone;
};

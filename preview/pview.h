// The preview window: shows the current model on a TGLPanel, with the
// camera driven by the mouse, the wheel, presets and auto rotation.
#pragma once

#include <QImage>
#include <QTimer>
#include <QWidget>
#include <functional>
#include <string>

#include "core/model.h"
#include "preview/image_io.h"
#include "preview/render_thread.h"
#include "preview/scene.h"
#include "preview/standin.h"

// Log lines of the preview, continuing the block of the model shown.
inline constexpr char kLogDrawOutOfMemory[] =
    "...メモリが足りないため描画を中止し、簡易表示に切り替えました。";
inline constexpr char kLogDrawFailed[] = "...描画に失敗したため、簡易表示に切り替えました。";

class DrawBuffers;
class TGLPanel;
class QMouseEvent;
class QKeyEvent;

class TPView : public QWidget {
  Q_OBJECT

 public:
  explicit TPView(QWidget* parent = nullptr);
  ~TPView() override;

  // --- Scene -------------------------------------------------------------
  // Takes a prepared model (normals present) and shows it: fits the camera,
  // centres and scales the vertices in place, applies the render type.
  // The model must outlive its use here: call ClearModel before releasing it.
  void SetModel(PolygonModel* model, int renderType);
  // The same for a model already fitted with FitSceneModel (on a loader's
  // thread, so that the window does not read the whole model), with the
  // texture images decoded there too (SetModel decodes none: its materials
  // show their colours alone).
  void SetFittedModel(PolygonModel* model, SceneModelFit fit, int renderType);
  // Stops drawing the current model (nothing of it is read afterwards).
  void ClearModel();
  // 0 flat, 1 smooth, 2 hidden-line wire, 3 wire, 4 point; repaints.
  void SetRenderType(int type);
  int RenderType() const;
  // 0 both sides, 1 cull front faces, 2 cull back faces; other values
  // change nothing. Repaints.
  void SetCullMode(int mode);
  int CullMode() const;
  // Colours as 0x00BBGGRR (red in the low byte), as the settings keep them.
  void SetColors(int background, int object);
  // Whether flat and smooth types show the model's materials and textures
  // (default on); repaints.
  void SetTextures(bool on);
  bool Textures() const { return scene_.textures; }
  // Whether the model shown names texture images that were not decoded
  // (it was loaded with textures off).
  bool ImagesMissing() const;
  // Asks for a repaint of the panel.
  void Repaint();

  // --- Camera and interaction -------------------------------------------
  // 0 front, 1 back, 2 right, 3 left, 4 top, 5 bottom; keeps pan and zoom.
  void SetViewPreset(int n);
  // Fitted distance and the front view (as a double click).
  void ResetCamera();
  // Wheel delta (120 per notch away from the user zooms out 12 steps).
  void WheelZoom(int delta);
  // The auto-rotation flag: a flick with the left button starts a spin
  // while it is on. Changing it stops a running spin.
  void SetAutoRotation(bool on);
  bool AutoRotation() const { return autoRotation_; }
  // Stops a running spin (Timer1); the flag stays as it is.
  void StopAutoRotation();
  // Whether Timer1 runs.
  bool Spinning() const;

  // --- Hooks filled by the main window ----------------------------------
  // Called once, the first time the GL surface is ready.
  std::function<void()> OnFirstInit;
  // Called for the Space key (the main window's next-render-type command).
  std::function<void()> OnSpaceKey;
  // A line for the log.
  std::function<void(const std::string&)> OnLogLine;

  // --- State for the window and tests -----------------------------------
  // The panel's current picture at its size (empty when there is no GL).
  QImage GrabImage();
  // Writes the panel's newest frame, at the panel's size in pixels, to
  // path: JPEG with the given quality when jpeg is set, else BMP, whatever
  // the name's extension. False when nothing could be captured or written;
  // an existing file is then left as it was.
  bool SaveViewImage(const std::string& path, bool jpeg, int quality);
  // The same with the file type given (PNG too).
  bool SaveViewImage(const std::string& path, ImageFileKind kind, int quality);
  // True once the panel's context exists and GLPostInit has run.
  bool GLReady() const;
  // Whether OpenGL set-up failed (the error box has been shown).
  bool GLFailed() const;
  const Scene& SceneState() const { return scene_; }
  // Draw one primitive per polygon (for comparing and timing the drawing).
  void SetReferenceDrawing(bool on) {
    scene_.referenceDrawing = on;
    Repaint();
  }
  // While the view moves (drag, wheel, spin) and the last full frame took
  // longer than thresholdMs, a stand-in of at most maxTriangles triangles
  // is drawn (defaults 30000 and 40 ms), on the window's thread: small
  // enough to cost a few milliseconds a frame there with a software
  // renderer. It is built in the background, after a model's first frame
  // (at once for a model drawn off the window's thread), for models with
  // more triangles than that. The full model is drawn again 150 ms after
  // the last movement.
  void SetStandInLimits(int32_t maxTriangles, double thresholdMs);
  // Takes a finished stand-in when there is one; true when one is ready.
  bool StandInReady();
  // A model drawn on the render thread also gets a finer level of detail,
  // built after the stand-in on the same thread: about one triangle per
  // pixel of the panel (triangles 0), or at most the triangles given. The
  // render thread draws it for every new view before the full frame. Models
  // of no more polygons get none. Takes effect with the next model.
  void SetDetailTriangles(int32_t triangles) { detailTriangles_ = triangles; }
  // The triangles of the level the current model has; 0 while it has none.
  int32_t DetailTriangles() const { return detailShown_; }
  // Whether the newest frame was the stand-in.
  bool LastFrameWasStandIn() const { return lastFrameStandIn_; }
  // Whether the view counts as moving (the rest timer runs).
  bool Moving() const { return moving_; }
  // Milliseconds the newest full frame took to draw, finished.
  double LastFullFrameMs() const { return lastFullFrameMs_; }
  // Bytes of the model's decoded texture images.
  size_t TextureBytes() const;
  // Bytes held in buffer objects for the model and its stand-in.
  size_t BufferBytes() const;
  // Models of more polygons than this are drawn in full on a thread of
  // their own (when the platform allows it), so that the window never
  // waits for a frame: it shows the newest finished frame, or the
  // stand-in (at once for a new model) while the full frame is not ready.
  // Default 60000; takes effect with the next SetModel.
  void SetOffThreadLimit(int32_t polygons) { offThreadLimit_ = polygons; }
  // Whether the current model is drawn on the render thread.
  bool DrawnOffThread() const { return offThread_; }
  // Whether the render thread gave up on the current model (see
  // RenderThread::FailedSerial): its stand-in is shown from then on.
  bool DrawingFailed() const { return drawFailed_; }
  // The render thread, for tests; null when there is none.
  RenderThread* Renderer() const { return renderer_.get(); }
  // What the newest frame showed.
  // kPartial: a big model's first frame part way through; kOlderFull: the
  // full frame of an earlier view of the model.
  // kDetail: the level of detail of this view, ahead of its full frame.
  enum class Shown { kBackground, kFull, kStandIn, kPartial, kOlderFull, kDetail };
  Shown LastShown() const { return lastShown_; }
  // Draw from buffer objects (the default) or in immediate mode.
  void SetBufferDrawing(bool on);
  // Null when OpenGL could not be set up at all.
  TGLPanel* Panel() const { return GLPanel1; }

  // The panel's mouse and the timer handlers, public so tests can drive
  // them with exact positions and ticks. buttons: 1 left + 2 right +
  // 4 middle; tick: milliseconds.
  void MouseDown(int buttons, bool shift, int x, int y, uint32_t tick);
  void MouseMove(int buttons, bool shift, int x, int y);
  void MouseUp(bool shift, int x, int y, uint32_t tick);
  void DblClick();
  void Timer1Timer();

 protected:
  void keyPressEvent(QKeyEvent* e) override;
  void closeEvent(QCloseEvent* e) override;

 private:
  void GLPanel1GLPostInit(TGLPanel* sender);
  void GLPanel1GLDraw(TGLPanel* sender);
  void GLPanel1GLResize(TGLPanel* sender);
  void GLPanel1GLDestroy(TGLPanel* sender);
  void GLPanel1MouseDown(TGLPanel* sender, QMouseEvent* e);
  void GLPanel1MouseMove(TGLPanel* sender, QMouseEvent* e);
  void GLPanel1MouseUp(TGLPanel* sender, QMouseEvent* e);
  void GLPanel1DblClick(TGLPanel* sender, QMouseEvent* e);
  // A movement of the view: the stand-in may be drawn until it rests.
  void NoteMotion();
  void RestTimerTimer();
  // Frees the buffer objects (with the panel's context made current) and
  // drops the stand-in, before the model they were made of goes away.
  void DropModelData();
  void StartStandIn();
  // Hands a finished level of detail to the render thread.
  void TakeDetail();
  // Once a model's first frame is shown: fills its buffers and starts its
  // stand-in.
  void AfterFirstPicture(uint64_t serial);
  // The frame of a model drawn on the render thread: the finished full
  // frame of this view, else the stand-in or the newest older frame.
  void DrawOffThread();
  // Draws the stand-in; fills its buffers after its first frame.
  void DrawStandIn();
  // Asks the render thread for the frame of the current view (its key).
  void RequestFrame(const FrameKey& key);
  // Whether the stand-in is drawn instead of the full model now.
  bool UseStandIn();
  void StopRenderThread();
  // The render thread gave up on a model: log it, show the stand-in.
  void RenderJobFailed();

  TGLPanel* GLPanel1 = nullptr;
  QTimer Timer1;
  Scene scene_;
  bool autoRotation_ = false;
  bool firstInitPending_ = true;
  bool glFailed_ = false;
  // Interaction state.
  int pressX_ = 0, pressY_ = 0, lastX_ = 0, lastY_ = 0;
  int pressButtons_ = 0;
  uint32_t pressTime_ = 0;
  int spinX_ = 0, spinY_ = 0;
  // Motion and the stand-in.
  QTimer restTimer_;
  bool moving_ = false;
  bool lastFrameStandIn_ = false;
  double lastFullFrameMs_ = 0.0;
  int32_t standInMax_ = 30000;
  double standInThresholdMs_ = 40.0;
  StandInBuilder standInBuilder_;
  std::unique_ptr<PolygonModel> standIn_;
  uint64_t standInSerial_ = 0;
  uint64_t standInFilled_ = 0;  // the stand-in whose buffers are filled
  bool standInFillQueued_ = false;
  uint64_t pendingSerial_ = 0;  // the model whose first frame is still due
  std::shared_ptr<DrawBuffers> standInBuffers_;
  int32_t detailTriangles_ = 0;
  int32_t detailShown_ = 0;
  // The render thread, and whether it draws the current model.
  std::unique_ptr<RenderThread> renderer_;
  int32_t offThreadLimit_ = 60000;
  bool offThread_ = false;
  // The view last asked of the thread.
  FrameKey requested_;
  bool haveRequest_ = false;
  bool drawFailed_ = false;  // the render thread gave up on the current model
  Shown lastShown_ = Shown::kBackground;
};

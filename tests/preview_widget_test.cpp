// The preview window under a real X server: the panel's life, pixels from
// the panel, and the mouse, wheel, key and timer handling.
#include <GL/gl.h>
#include <gtest/gtest.h>

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QImageReader>
#include <QMessageBox>
#include <QOpenGLContext>
#include <QTest>
#include <QTimer>
#include <cmath>
#include <functional>

#include "preview/glpanel.h"
#include "preview/headless.h"
#include "preview/pview.h"
#include "tests/preview_fixtures.h"

namespace {

void ExpectMatrixNear(const Mat4& a, const Mat4& b, double tol = 1e-5) {
  for (int i = 0; i < 16; ++i) EXPECT_NEAR(a.m[i], b.m[i], tol) << "element " << i;
}

class PreviewWidget : public testing::Test {
 protected:
  void SetUp() override {
    view_ = std::make_unique<TPView>();
    view_->OnFirstInit = [this] { ++firstInits_; };
    view_->resize(320, 240);
    view_->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(view_.get()));
    ASSERT_TRUE(WaitFor([this] { return view_->GLReady() && firstInits_ == 1; }));
  }
  void TearDown() override {
    view_.reset();
    QApplication::processEvents();
  }

  const Camera& cam() const { return view_->SceneState().camera; }
  QWidget* panel() const { return view_->Panel(); }

  std::unique_ptr<TPView> view_;
  int firstInits_ = 0;
};

TEST_F(PreviewWidget, FirstInitCallbackRunsOnce) {
  view_->hide();
  view_->show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(view_.get()));
  QTest::qWait(50);
  EXPECT_EQ(firstInits_, 1);
  EXPECT_EQ(view_->windowTitle().toStdString(), "PreView");
}

TEST_F(PreviewWidget, PanelShowsWhatTheHeadlessRendererDraws) {
  auto model = Cube();
  view_->SetColors(0x00664D00, 0x00DEDEDE);
  view_->SetModel(model.get(), 0);
  view_->SetViewPreset(4);
  view_->MouseDown(1, false, 0, 0, 0);
  view_->MouseMove(1, false, 30, 20);
  for (int type = 0; type < 5; ++type) {
    SCOPED_TRACE(type);
    view_->SetRenderType(type);
    const QImage shown = view_->GrabImage().convertToFormat(QImage::Format_RGB888);
    ASSERT_EQ(shown.size(), QSize(320, 240));
    Scene copy = view_->SceneState();
    copy.buffers.reset();  // they belong to the panel's context
    // A thread has one current context across GLX and EGL: let Qt's go.
    if (QOpenGLContext* current = QOpenGLContext::currentContext()) current->doneCurrent();
    HeadlessContext context;
    std::string error;
    ASSERT_TRUE(context.Create(copy.width, copy.height, error)) << error;
    const QImage drawn = RenderSceneHeadless(copy);
    int differ = 0;
    for (int y = 0; y < 240; ++y)
      for (int x = 0; x < 320; ++x) differ += !Near(shown.pixel(x, y), drawn.pixel(x, y), 2);
    EXPECT_EQ(differ, 0);
    EXPECT_GE(CountNotBackground(shown, qRgb(0, 77, 102)), type == 4 ? 5 : 100);
  }
  view_->ClearModel();
  EXPECT_EQ(CountNotBackground(view_->GrabImage(), qRgb(0, 77, 102), 0), 0);
}

TEST_F(PreviewWidget, LeftDragTurnsOneDegreePerPixel) {
  auto model = Square();
  view_->SetModel(model.get(), 0);
  QTest::mousePress(panel(), Qt::LeftButton, {}, QPoint(100, 100));
  QTest::mouseMove(panel(), QPoint(105, 100));
  QTest::mouseMove(panel(), QPoint(110, 100));
  QTest::mouseRelease(panel(), Qt::LeftButton, {}, QPoint(110, 100));
  ExpectMatrixNear(cam().rotation, Rotation(10, 0, 1, 0));

  // Shift: 30 right and 40 down since the press turns about x only.
  view_->ResetCamera();
  view_->MouseDown(1, true, 0, 0, 0);
  view_->MouseMove(1, true, 30, 40);
  ExpectMatrixNear(cam().rotation, Rotation(40, 1, 0, 0));
  view_->ResetCamera();
  view_->MouseDown(1, true, 0, 0, 0);
  view_->MouseMove(1, true, 40, 40);  // equal: the horizontal motion wins
  ExpectMatrixNear(cam().rotation, Rotation(40, 0, 1, 0));
}

// Horizontal centre of the non-background pixels.
double CentreX(const QImage& img, int* rows = nullptr) {
  double sum = 0;
  int n = 0, top = img.height();
  for (int y = 0; y < img.height(); ++y)
    for (int x = 0; x < img.width(); ++x)
      if (!Near(img.pixel(x, y), qRgb(0, 77, 102))) sum += x, ++n, top = std::min(top, y);
  if (rows) *rows = top;
  return n ? sum / n : -1;
}

TEST_F(PreviewWidget, RightDragPansWithThePointer) {
  auto model = Square();
  view_->SetModel(model.get(), 0);
  const float step = cam().moveStep;
  int top0 = 0, top1 = 0;
  const double x0 = CentreX(view_->GrabImage(), &top0);
  QTest::mousePress(panel(), Qt::RightButton, {}, QPoint(100, 100));
  QTest::mouseMove(panel(), QPoint(110, 100));
  EXPECT_FLOAT_EQ(cam().eyeX, -10 * step);
  QTest::mouseMove(panel(), QPoint(110, 110));
  QTest::mouseRelease(panel(), Qt::RightButton, {}, QPoint(110, 110));
  EXPECT_FLOAT_EQ(cam().eyeY, 10 * step);
  const double x1 = CentreX(view_->GrabImage(), &top1);
  EXPECT_GT(x1, x0 + 3);      // the model went right
  EXPECT_GT(top1, top0 + 3);  // and down
}

TEST_F(PreviewWidget, ZoomStopsAtTheLimitAndResumesPastIt) {
  auto model = Square();  // diagonal 2.83: step 0.0283, limit -2.83
  view_->SetModel(model.get(), 0);
  const float step = cam().moveStep, limit = cam().zoomLimit, fitted = cam().eyeZ;
  view_->MouseDown(4, false, 0, 300, 0);
  view_->MouseMove(4, false, 0, 290);  // up: nearer
  EXPECT_FLOAT_EQ(cam().eyeZ, fitted - 10 * step);
  view_->MouseMove(4, false, 0, 0);  // far past the limit
  EXPECT_EQ(cam().eyeZ, limit);
  const float nearAtLimit = cam().nearPlane;
  view_->MouseMove(4, false, 0, 100);  // back down, but not past y 290
  EXPECT_EQ(cam().eyeZ, limit);
  view_->MouseMove(4, false, 0, 280);
  EXPECT_EQ(cam().eyeZ, limit);
  EXPECT_EQ(cam().nearPlane, nearAtLimit);
  view_->MouseMove(4, false, 0, 300);  // past it
  EXPECT_FLOAT_EQ(cam().eyeZ, limit + 10 * step);
  // Left and right together zoom too; right motion brings the eye nearer.
  view_->MouseDown(3, false, 0, 0, 0);
  view_->MouseMove(3, false, 5, 0);
  EXPECT_FLOAT_EQ(cam().eyeZ, limit + 5 * step);
  // Wheel: 120 away from the user zooms out 12 steps; no going past the limit.
  view_->WheelZoom(120);
  EXPECT_NEAR(cam().eyeZ, limit + 17 * step, 1e-5);
  view_->WheelZoom(-100000);
  EXPECT_EQ(cam().eyeZ, limit);
}

TEST_F(PreviewWidget, FlickSpinsOnlyWithinASecond) {
  auto model = Square();
  view_->SetModel(model.get(), 0);
  view_->SetAutoRotation(true);
  // A real flick: 40 pixels right, released at once.
  QTest::mousePress(panel(), Qt::LeftButton, {}, QPoint(50, 100));
  QTest::mouseMove(panel(), QPoint(90, 100));
  QTest::mouseRelease(panel(), Qt::LeftButton, {}, QPoint(90, 100));
  ASSERT_TRUE(view_->Spinning());
  Mat4 before = cam().rotation;
  view_->Timer1Timer();
  ExpectMatrixNear(cam().rotation, Multiply(Rotation(10, 0, 1, 0), before));
  // The timer itself runs at 33 ms.
  before = cam().rotation;
  EXPECT_TRUE(WaitFor([&] { return cam().rotation.m[0] != before.m[0]; }, 1000));
  // A press stops it.
  QTest::mousePress(panel(), Qt::LeftButton, {}, QPoint(50, 100));
  EXPECT_FALSE(view_->Spinning());
  QTest::mouseRelease(panel(), Qt::LeftButton, {}, QPoint(50, 100));

  struct Case {
    int buttons, dx, dy;
    bool shift;
    uint32_t pressTick, releaseTick;
    bool spins;
    int degX, degY;
  } cases[] = {
      {1, 40, 0, false, 1000, 1999, true, 0, 10},
      {1, 40, 0, false, 1000, 2000, false, 0, 0},  // a second or more
      {1, 3, 0, false, 0, 10, true, 0, 0},         // steps 0: runs, stays still
      {1, -41, 22, false, 0, 10, true, 5, -10},    // truncation toward zero
      {1, 40, 24, true, 0, 10, true, 0, 10},
      {1, 20, 40, true, 0, 10, true, 10, 0},
      {1, 40, 0, false, 0xFFFFFF00u, 0x50u, true, 0, 10},  // tick wrap-around
      {2, 40, 0, false, 0, 10, false, 0, 0},
      {3, 40, 0, false, 0, 10, false, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message()
                 << c.buttons << " " << c.dx << "," << c.dy << " shift " << c.shift << " ticks "
                 << c.pressTick << ".." << c.releaseTick);
    view_->ResetCamera();
    view_->MouseDown(c.buttons, c.shift, 100, 100, c.pressTick);
    view_->MouseUp(c.shift, 100 + c.dx, 100 + c.dy, c.releaseTick);
    EXPECT_EQ(view_->Spinning(), c.spins);
    if (!c.spins) continue;
    view_->StopAutoRotation();
    view_->Timer1Timer();
    ExpectMatrixNear(cam().rotation,
                     Multiply(Rotation(c.degX, 1, 0, 0), Rotation(c.degY, 0, 1, 0)));
  }
  // With the flag off nothing spins; turning it off stops a spin.
  view_->MouseDown(1, false, 0, 0, 0);
  view_->MouseUp(false, 40, 0, 10);
  EXPECT_TRUE(view_->Spinning());
  view_->SetAutoRotation(false);
  EXPECT_FALSE(view_->Spinning());
  view_->MouseDown(1, false, 0, 0, 0);
  view_->MouseUp(false, 40, 0, 10);
  EXPECT_FALSE(view_->Spinning());
}

TEST_F(PreviewWidget, DoubleClickAndResetReturnToTheFittedFrontView) {
  auto model = Square();
  view_->SetModel(model.get(), 0);
  const Camera fitted = cam();
  view_->SetAutoRotation(true);
  view_->MouseDown(1, false, 0, 0, 0);
  view_->MouseMove(1, false, 30, 20);
  view_->MouseUp(false, 30, 20, 10);
  view_->MouseDown(2, false, 0, 0, 0);
  view_->MouseMove(2, false, 15, 5);
  view_->WheelZoom(240);
  // The vertices are not measured again.
  for (Float3& v : model->vertices) v = {v.x * 10, v.y * 10, v.z * 10};
  view_->SetAutoRotation(true);
  view_->MouseDown(1, false, 0, 0, 0);
  view_->MouseUp(false, 40, 0, 10);
  ASSERT_TRUE(view_->Spinning());
  QTest::mouseDClick(panel(), Qt::LeftButton, {}, QPoint(60, 60));
  EXPECT_FALSE(view_->Spinning());  // the press of the double click
  EXPECT_EQ(cam().eyeX, 0.0f);
  EXPECT_EQ(cam().eyeY, 0.0f);
  EXPECT_FLOAT_EQ(cam().eyeZ, fitted.eyeZ);
  EXPECT_FLOAT_EQ(cam().nearPlane, fitted.nearPlane);
  EXPECT_FLOAT_EQ(cam().farPlane, fitted.farPlane);
  ExpectMatrixNear(cam().rotation, Mat4::Identity(), 0);

  view_->MouseDown(1, false, 0, 0, 0);
  view_->MouseMove(1, false, 30, 20);
  view_->ResetCamera();
  ExpectMatrixNear(cam().rotation, Mat4::Identity(), 0);
}

TEST_F(PreviewWidget, PresetsKeepPanAndZoom) {
  auto model = Cube();
  view_->SetModel(model.get(), 0);
  view_->MouseDown(2, false, 0, 0, 0);
  view_->MouseMove(2, false, 7, 9);
  view_->WheelZoom(-360);
  const Camera before = cam();
  for (int n : {3, 4, 0}) {
    view_->SetViewPreset(n);
    EXPECT_EQ(cam().eyeX, before.eyeX);
    EXPECT_EQ(cam().eyeY, before.eyeY);
    EXPECT_EQ(cam().eyeZ, before.eyeZ);
  }
  Camera preset;
  SetViewPreset(preset, 4);
  view_->SetViewPreset(4);
  ExpectMatrixNear(cam().rotation, preset.rotation, 0);
  view_->SetViewPreset(9);  // ignored
  ExpectMatrixNear(cam().rotation, preset.rotation, 0);
}

TEST_F(PreviewWidget, SpaceKeyRunsTheHook) {
  int calls = 0;
  view_->OnSpaceKey = [&] { ++calls; };
  view_->activateWindow();
  view_->setFocus();
  QTest::keyClick(view_.get(), Qt::Key_Space);
  QTest::keyClick(view_.get(), Qt::Key_A);
  EXPECT_EQ(calls, 1);
}

TEST_F(PreviewWidget, PanelOfHeightZero) {
  auto model = Cube();
  view_->SetModel(model.get(), 1);
  view_->resize(320, 0);
  view_->Repaint();
  QTest::qWait(50);
  view_->MouseDown(1, false, 0, 0, 0);
  view_->MouseMove(1, false, 5, 5);
  view_->WheelZoom(120);
  for (float v : {cam().eyeZ, cam().nearPlane, cam().farPlane}) EXPECT_TRUE(std::isfinite(v));
  view_->resize(320, 240);
  EXPECT_TRUE(WaitFor([&] {
    const QImage img = view_->GrabImage();
    return img.height() == 240 && CountNotBackground(img, qRgb(0, 77, 102)) > 100;
  }));
}

TEST_F(PreviewWidget, SaveViewImageByFlagNotByName) {
  auto model = Square();
  view_->SetModel(model.get(), 0);
  const std::string dir = QDir::tempPath().toStdString() + "/tarnelle_preview_save";
  QDir().mkpath(QString::fromStdString(dir));
  const std::string bmp = dir + "/view.jpg", jpg50 = dir + "/v50", jpg100 = dir + "/v100";
  ASSERT_TRUE(view_->SaveViewImage(bmp, false, 50));
  QImageReader reader(QString::fromStdString(bmp));
  EXPECT_EQ(reader.format().toStdString(), "bmp");
  const QImage img = reader.read();
  EXPECT_EQ(img.size(), QSize(320, 240));
  EXPECT_TRUE(Near(img.pixel(5, 5), qRgb(0, 77, 102)));
  ASSERT_TRUE(view_->SaveViewImage(jpg50, true, 50));
  ASSERT_TRUE(view_->SaveViewImage(jpg100, true, 100));
  EXPECT_EQ(QImageReader(QString::fromStdString(jpg50)).format().toStdString(), "jpeg");
  EXPECT_GT(QFileInfo(QString::fromStdString(jpg100)).size(),
            QFileInfo(QString::fromStdString(jpg50)).size());
  EXPECT_FALSE(view_->SaveViewImage(dir + "/no/such/folder/x.bmp", false, 50));
  EXPECT_FALSE(view_->SaveViewImage(dir + "/no/such/folder/x.jpg", true, 50));
  QDir(QString::fromStdString(dir)).removeRecursively();
}

TEST_F(PreviewWidget, ReleaseStopsDrawing) {
  auto model = Square();
  view_->SetModel(model.get(), 0);
  view_->close();
  EXPECT_FALSE(view_->GLReady());
  EXPECT_EQ(view_->SceneState().polygonCount, 0);
  view_->Repaint();
  QTest::qWait(20);
}

// Run by its own test entry with QT_XCB_GL_INTEGRATION=none, so that no
// context can be had in the whole process.
TEST(PreviewNoGL, FailedSetUpShowsTheErrorBoxAndTheViewWorksOn) {
  const char* integration = getenv("QT_XCB_GL_INTEGRATION");
  if (!integration || std::string(integration) != "none")
    GTEST_SKIP() << "needs QT_XCB_GL_INTEGRATION=none";
  int boxes = 0;
  std::string title, text;
  QTimer closer;
  QObject::connect(&closer, &QTimer::timeout, [&] {
    if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
      ++boxes;
      title = box->windowTitle().toStdString();
      text = box->text().toStdString();
      box->accept();
    }
  });
  closer.start(20);
  TPView view;
  int inits = 0;
  view.OnFirstInit = [&] { ++inits; };
  view.resize(200, 150);
  view.show();
  EXPECT_TRUE(WaitFor([&] { return boxes > 0; }));
  EXPECT_EQ(title, "Tarnelle Error");
  EXPECT_EQ(text, "OpenGLの初期化に失敗．");
  EXPECT_TRUE(view.GLFailed());
  EXPECT_FALSE(view.GLReady());
  EXPECT_EQ(view.Panel(), nullptr);
  // Everything the window calls still works, and nothing crashes.
  auto model = Cube();
  view.SetModel(model.get(), 2);
  view.SetRenderType(1);
  view.SetCullMode(2);
  view.SetColors(0, 0xFFFFFF);
  view.WheelZoom(120);
  view.SetViewPreset(3);
  view.ResetCamera();
  view.resize(260, 180);
  view.Repaint();
  QTest::qWait(100);
  EXPECT_TRUE(view.GrabImage().isNull());
  view.close();
  QTest::qWait(50);
  EXPECT_EQ(boxes, 1);
  EXPECT_EQ(inits, 0);
}

TEST_F(PreviewWidget, StandInOnlyWhileMovingFullModelAtRest) {
  auto model = DenseSphere(60, 80);
  // Any full frame counts as slow; the stand-in has at most 400 triangles.
  view_->SetStandInLimits(400, -1.0);
  view_->SetModel(model.get(), 1);
  view_->GrabImage();
  EXPECT_FALSE(view_->LastFrameWasStandIn());
  ASSERT_TRUE(WaitFor([&] { return view_->StandInReady(); }));
  // At rest nothing but the full model, however often it is drawn.
  for (int i = 0; i < 3; ++i) {
    view_->GrabImage();
    EXPECT_FALSE(view_->LastFrameWasStandIn());
  }

  const std::function<void()> moves[] = {
      [&] {
        view_->MouseDown(1, false, 50, 50, 0);
        view_->MouseMove(1, false, 70, 60);
        view_->MouseUp(false, 70, 60, 5000);
      },
      [&] { view_->WheelZoom(120); },
      [&] {
        view_->SetAutoRotation(true);
        view_->MouseDown(1, false, 50, 50, 0);
        view_->MouseUp(false, 90, 50, 100);
        EXPECT_TRUE(view_->Spinning());
        EXPECT_TRUE(WaitFor([&] { return view_->Moving(); }, 1000));
        view_->StopAutoRotation();
      }};
  int which = 0;
  for (const auto& move : moves) {
    SCOPED_TRACE(which++);
    move();
    ASSERT_TRUE(view_->Moving());
    const QImage moving = view_->GrabImage();
    EXPECT_TRUE(view_->LastFrameWasStandIn());
    // Motion ends: the full model is drawn again without being asked.
    ASSERT_TRUE(WaitFor([&] { return !view_->Moving() && !view_->LastFrameWasStandIn(); }, 3000));
    const QImage rest = view_->GrabImage();
    EXPECT_FALSE(view_->LastFrameWasStandIn());
    EXPECT_FALSE(rest == moving);
    view_->SetReferenceDrawing(true);
    EXPECT_TRUE(view_->GrabImage() == rest);
    view_->SetReferenceDrawing(false);
  }
  view_->ClearModel();
}

}  // namespace

// The preview's render thread under a real X server: its frames against
// the window's own drawing, the first picture of a big model, and stops at
// any point. Also run under ThreadSanitizer (label "threads").
#include <gtest/gtest.h>

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QTest>
#include <functional>

#include "preview/pview.h"
#include "tests/preview_fixtures.h"

namespace {

class RenderThreadView : public testing::Test {
 protected:
  void SetUp() override {
    view_ = std::make_unique<TPView>();
    view_->resize(320, 240);
    view_->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(view_.get()));
    ASSERT_TRUE(WaitFor([this] { return view_->GLReady(); }));
  }
  void TearDown() override {
    view_.reset();
    QApplication::processEvents();
  }

  // Culling mode n and a view turned from preset n.
  void SetView(int n) {
    view_->SetCullMode(n);
    view_->SetViewPreset(n);
    view_->MouseDown(1, false, 0, 0, 0);
    view_->MouseMove(1, false, 25, 35);
  }

  std::unique_ptr<TPView> view_;
};

}  // namespace

namespace {

// An L-shaped hexagon (concave) beside a coloured triangle: filled by its
// triangulation, outlined whole, two colours.
std::unique_ptr<PolygonModel> ConcaveAndColoured() {
  auto m = std::make_unique<PolygonModel>();
  const float xy[6][2] = {{-1, -1}, {1, -1}, {1, 0}, {0, 0}, {0, 1}, {-1, 1}};
  for (const auto& p : xy) m->AddVertex(p[0], p[1], 0);
  m->AddVertex(1.2f, 0.2f, 0.3f);
  m->AddVertex(1.8f, 0.2f, -0.2f);
  m->AddVertex(1.5f, 0.9f, 0.0f);
  const int32_t l[6] = {0, 1, 2, 3, 4, 5}, t[3] = {6, 7, 8};
  m->AddPolygon(6, l);
  m->AddPolygon(3, t, 0, {0.9f, 0.2f, 0.1f});
  FillNormals(*m);
  return m;
}

int ThreadCount() { return static_cast<int>(QDir("/proc/self/task").count()) - 2; }

}  // namespace

// Frames drawn on the render thread and shown by the panel have the pixels
// of the window's own one-primitive-per-polygon drawing, in every type and
// culling, from buffers and without.
TEST_F(RenderThreadView, RenderThreadFramesEqualTheReferenceDrawing) {
  using Make = std::function<std::unique_ptr<PolygonModel>()>;
  const std::pair<const char*, Make> makers[] = {{"cube", [] { return Cube(); }},
                                                 {"sphere", [] { return DenseSphere(20, 30); }},
                                                 {"concave and coloured", ConcaveAndColoured}};
  const int types[] = {0, 1, 2, 3, 4, 3, 2, 0};
  for (const auto& [name, make] : makers) {
    // The reference pictures, drawn on the window's thread.
    auto direct = make();
    view_->SetOffThreadLimit(1 << 30);
    view_->SetModel(direct.get(), 0);
    ASSERT_FALSE(view_->DrawnOffThread());
    view_->SetReferenceDrawing(true);
    std::vector<QImage> reference;
    for (int cull = 0; cull < 3; ++cull) {
      SetView(cull);
      for (int type : types) {
        view_->SetRenderType(type);
        reference.push_back(view_->GrabImage());
      }
    }
    view_->SetReferenceDrawing(false);
    view_->ClearModel();

    auto threaded = make();
    view_->SetOffThreadLimit(0);
    view_->SetRenderType(0);
    view_->SetModel(threaded.get(), 0);
    ASSERT_TRUE(view_->DrawnOffThread()) << "no render thread on this platform";
    for (bool buffers : {true, false}) {
      view_->SetBufferDrawing(buffers);
      size_t k = 0;
      for (int cull = 0; cull < 3; ++cull) {
        SetView(cull);
        for (int type : types) {
          SCOPED_TRACE(testing::Message()
                       << name << " buffers " << buffers << " cull " << cull << " type " << type);
          view_->SetRenderType(type);
          const QImage shown = view_->GrabImage();
          EXPECT_EQ(view_->LastShown(), TPView::Shown::kFull);
          EXPECT_TRUE(shown == reference[k++]);
          EXPECT_GT(CountNotBackground(shown, qRgb(0, 77, 102)), type == 4 ? 5 : 20);
        }
      }
      if (buffers) {
        EXPECT_GT(view_->BufferBytes(), 0u);
      }
    }
    view_->SetBufferDrawing(true);
    view_->ClearModel();
    EXPECT_EQ(CountNotBackground(view_->GrabImage(), qRgb(0, 77, 102)), 0);
  }
}

// A big model's first picture is its stand-in when the full frame is slow;
// the full frame replaces it unasked. A model replaced, cleared or closed
// at any point leaves no drawing behind and no thread running.
TEST_F(RenderThreadView, RenderThreadFirstPictureAndStops) {
  const int before = ThreadCount();
  auto big = DenseSphere(300, 400);  // 240,000 triangles
  auto other = DenseSphere(200, 200);
  view_->SetStandInLimits(400, -1.0);
  view_->SetModel(big.get(), 1);
  ASSERT_TRUE(view_->DrawnOffThread()) << "no render thread on this platform";
  ASSERT_TRUE(WaitFor([&] { return view_->LastShown() != TPView::Shown::kBackground; }));
  ASSERT_TRUE(WaitFor([&] { return view_->LastShown() == TPView::Shown::kFull; }, 20000));
  EXPECT_FALSE(view_->LastFrameWasStandIn());

  // Stopped while drawing, filling buffers or building the stand-in.
  for (int delayMs : {0, 5, 30, 120}) {
    view_->SetModel(other.get(), 0);
    QTest::qWait(delayMs);
    view_->SetModel(big.get(), 2);
    QTest::qWait(delayMs);
    view_->ClearModel();
  }
  view_->SetModel(big.get(), 0);
  view_->close();
  view_.reset();
  QApplication::processEvents();
  EXPECT_TRUE(WaitFor([&] { return ThreadCount() <= before; }, 5000))
      << ThreadCount() << " threads, " << before << " before";
}

// The preview's render thread under a real X server: its frames against
// the window's own drawing, the first picture of a big model, and stops at
// any point. Also run under ThreadSanitizer (label "threads").
#include <gtest/gtest.h>

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QTest>
#include <atomic>
#include <chrono>
#include <functional>
#include <new>
#include <stdexcept>
#include <thread>

#include "preview/glpanel.h"
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

using Phase = RenderThread::Phase;

// Holds the render thread in a phase until the window's thread comes to
// take the model, so that a stop lands in that phase and nowhere else.
class PhaseStop {
 public:
  explicit PhaseStop(RenderThread* thread) : state_(std::make_shared<State>()) {
    state_->thread = thread;
    thread->SetPhaseHook([s = state_](Phase at) {
      if (at != s->phase.load() || !s->armed.exchange(false)) return;
      s->reached = true;
      const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
      while (!s->thread->OwnerWaiting() && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      s->stopped = s->thread->OwnerWaiting();
    });
  }
  void Arm(Phase phase) {
    state_->phase = phase;
    state_->reached = state_->stopped = false;
    state_->armed = true;
  }
  bool Reached() const { return state_->reached; }
  // The owner came while the thread waited in the phase.
  bool Stopped() const { return state_->stopped; }

 private:
  struct State {
    RenderThread* thread = nullptr;
    std::atomic<Phase> phase{Phase::kFirstFrame};
    std::atomic<bool> armed{false}, reached{false}, stopped{false};
  };
  std::shared_ptr<State> state_;
};

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

  // Stopped on purpose in each phase of a job: the thread waits there
  // until the window's thread comes to take the model. The stand-in's
  // build, started with each model, is stopped along with it.
  PhaseStop stop(view_->Renderer());
  enum class By { kOtherModel, kClear };
  const struct {
    const char* name;
    Phase phase;
    By by;
  } stops[] = {
      {"first frame", Phase::kFirstFrame, By::kOtherModel},
      {"first frame's slices", Phase::kSlice, By::kClear},
      {"buffer fill", Phase::kFill, By::kOtherModel},
      {"frame from buffers", Phase::kFrame, By::kClear},
  };
  for (const auto& c : stops) {
    SCOPED_TRACE(c.name);
    if (c.phase == Phase::kFrame) {
      // A later view of a model whose buffers are filled.
      view_->SetModel(big.get(), 2);
      // Filled and drawn from: bytes show part way through a fill, when the
      // next view would be a fill again, not a frame from buffers.
      // The newest frame is this model's: what the panel showed last and
      // the bytes may still be the model before's.
      ASSERT_TRUE(WaitFor(
          [&] {
            RenderThread::Frame newest;
            return view_->Renderer()->Newest(newest) &&
                   newest.key.serial == view_->SceneState().modelSerial && !newest.partial &&
                   !newest.detail && view_->LastShown() == TPView::Shown::kFull &&
                   view_->Renderer()->BufferBytes() > 0;
          },
          60000));
      stop.Arm(c.phase);
      view_->SetViewPreset(2);
    } else {
      stop.Arm(c.phase);
      view_->SetModel(big.get(), 2);
    }
    // Frames are asked for when the panel paints; a window covered by
    // another test's is painted when asked to.
    ASSERT_TRUE(WaitFor(
        [&] {
          view_->Repaint();
          return stop.Reached();
        },
        60000));
    if (c.by == By::kOtherModel) {
      view_->SetModel(other.get(), 0);
      EXPECT_TRUE(stop.Stopped());
      // The thread goes on with the next model.
      EXPECT_TRUE(WaitFor([&] { return view_->LastShown() == TPView::Shown::kFull; }, 60000));
      view_->ClearModel();
    } else {
      view_->ClearModel();
      EXPECT_TRUE(stop.Stopped());
    }
  }
  view_->SetModel(big.get(), 0);
  view_->close();
  view_.reset();
  QApplication::processEvents();
  EXPECT_TRUE(WaitFor([&] { return ThreadCount() <= before; }, 5000))
      << ThreadCount() << " threads, " << before << " before";
}

// A job that fails (memory running out while buffers are filled or drawn,
// or any other exception) costs the model's full frames, not the process:
// the thread frees its buffers and lets go of the model, the view shows
// the stand-in, one line says so, and the next model is drawn as before.
TEST_F(RenderThreadView, AFailedJobFallsBackToTheStandIn) {
  auto big = DenseSphere(300, 400);
  auto next = DenseSphere(200, 200);
  std::vector<std::string> log;
  view_->OnLogLine = [&](const std::string& line) { log.push_back(line); };
  view_->SetStandInLimits(400, -1.0);
  auto armed = std::make_shared<std::atomic<int>>(-1);
  auto failure = std::make_shared<std::atomic<bool>>(true);  // bad_alloc, else another exception
  const struct {
    const char* name;
    Phase phase;
    bool outOfMemory;
  } cases[] = {
      {"first frame", Phase::kFirstFrame, true},
      {"buffer fill", Phase::kFill, false},
      {"slice of a frame from buffers", Phase::kSlice, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    log.clear();
    view_->Renderer()->SetPhaseHook([armed, failure](Phase at) {
      int want = static_cast<int>(at);
      if (!armed->compare_exchange_strong(want, -1)) return;
      if (failure->load()) throw std::bad_alloc();
      throw std::runtime_error("drawing failed");
    });
    failure->store(c.outOfMemory);
    if (c.phase == Phase::kSlice) {
      // Fails once the buffers hold the model: they are freed.
      view_->SetModel(big.get(), 1);
      ASSERT_TRUE(WaitFor([&] { return view_->Renderer()->BufferBytes() > 0; }, 60000));
      armed->store(static_cast<int>(c.phase));
      view_->SetViewPreset(3);
    } else {
      armed->store(static_cast<int>(c.phase));
      view_->SetModel(big.get(), 1);
    }
    ASSERT_TRUE(view_->DrawnOffThread());
    ASSERT_TRUE(WaitFor([&] { return view_->DrawingFailed(); }, 60000));
    EXPECT_EQ(armed->load(), -1);
    EXPECT_EQ(view_->Renderer()->FailedSerial(), view_->SceneState().modelSerial);
    EXPECT_EQ(view_->Renderer()->BufferBytes(), 0u);
    EXPECT_EQ(log, std::vector<std::string>{c.outOfMemory ? kLogDrawOutOfMemory : kLogDrawFailed});
    // The stand-in stands for the model, at rest too, and a grab does not
    // wait for a full frame that will not come.
    EXPECT_TRUE(WaitFor([&] { return view_->LastShown() == TPView::Shown::kStandIn; }, 60000));
    QElapsedTimer grab;
    grab.start();
    EXPECT_GT(CountNotBackground(view_->GrabImage(), qRgb(0, 77, 102)), 20);
    EXPECT_LT(grab.elapsed(), 30000);
    EXPECT_EQ(view_->LastShown(), TPView::Shown::kStandIn);
    // Other views of it are not tried again: no second line.
    view_->SetViewPreset(1);
    QApplication::processEvents();
    EXPECT_EQ(view_->Renderer()->BufferBytes(), 0u);

    view_->SetModel(next.get(), 0);
    EXPECT_FALSE(view_->DrawingFailed());
    EXPECT_TRUE(WaitFor([&] { return view_->LastShown() == TPView::Shown::kFull; }, 60000));
    EXPECT_TRUE(WaitFor([&] { return view_->Renderer()->BufferBytes() > 0; }, 60000));
    EXPECT_EQ(log.size(), 1u);
    view_->ClearModel();
  }
  view_.reset();
}

namespace {

// A sphere whose upper half has a textured material (a red and blue image)
// and whose lower half a green one.
std::unique_ptr<PolygonModel> TexturedSphere() {
  auto m = DenseSphere(20, 30);
  SurfaceAppearance& a = m->appearance;
  a.materials.resize(2);
  a.materials[0].texture = "stripes.png";
  a.materials[1].color[0] = a.materials[1].color[2] = 0.0f;
  for (int32_t p = 0; p < m->PolygonCount(); ++p) {
    const Float3& v = m->vertices[m->index(p)[0]];
    a.polygonMaterial.push_back(v.y > 0 ? 0 : 1);
  }
  for (size_t c = 0; c < m->indexPool.size(); ++c) {
    const Float3& v = m->vertices[m->indexPool[c]];
    a.cornerUV.push_back({v.x * 0.5f + 0.5f, v.y * 0.5f + 0.5f});
  }
  return m;
}

}  // namespace

// A model's appearance looks the same drawn on the window's thread and on
// the render thread, and the option switches it in both; the stand-in
// takes the material colours.
TEST_F(RenderThreadView, AppearanceOnEitherThread) {
  QTemporaryDir dir;
  ASSERT_TRUE(dir.isValid());
  QImage stripes(8, 8, QImage::Format_RGB32);
  for (int x = 0; x < 8; ++x)
    for (int y = 0; y < 8; ++y) stripes.setPixel(x, y, x < 4 ? qRgb(255, 0, 0) : qRgb(0, 0, 255));
  ASSERT_TRUE(stripes.save(dir.filePath("stripes.png")));
  const std::string modelPath = dir.filePath("m.obj").toStdString();

  std::vector<QImage> pictures[2];
  for (int threaded = 0; threaded < 2; ++threaded) {
    auto m = TexturedSphere();
    SceneModelFit fit = FitSceneModel(*m);
    std::vector<std::string> log;
    fit.images = LoadSurfaceImages(m->appearance, modelPath, log);
    EXPECT_TRUE(log.empty());
    view_->SetOffThreadLimit(threaded ? 0 : 1 << 30);
    view_->SetFittedModel(m.get(), std::move(fit), 1);
    ASSERT_EQ(view_->DrawnOffThread(), threaded == 1) << "no render thread on this platform";
    for (bool on : {true, false}) {
      view_->SetTextures(on);
      pictures[threaded].push_back(view_->GrabImage());
      EXPECT_EQ(view_->LastShown(), TPView::Shown::kFull);
    }
    view_->SetTextures(true);
    view_->ClearModel();
  }
  EXPECT_TRUE(pictures[0][0] == pictures[1][0]);
  EXPECT_TRUE(pictures[0][1] == pictures[1][1]);
  EXPECT_FALSE(pictures[0][0] == pictures[0][1]);
  // Textured: the image's red and blue above, the green material below.
  const QImage& shown = pictures[0][0];
  int red = 0, blue = 0, green = 0;
  for (int y = 0; y < shown.height(); ++y) {
    for (int x = 0; x < shown.width(); ++x) {
      const QRgb p = shown.pixel(x, y);
      red += qRed(p) > 100 && qGreen(p) < 40 && qBlue(p) < 40;
      blue += qBlue(p) > 100 && qRed(p) < 40 && qGreen(p) < 40;
      green += qGreen(p) > 100 && qRed(p) < 40 && qBlue(p) < 40;
    }
  }
  EXPECT_GT(red, 200);
  EXPECT_GT(blue, 200);
  EXPECT_GT(green, 200);

  auto m = TexturedSphere();
  StandInBuilder builder;
  builder.Start(*m, 100, nullptr, 0, nullptr, true);
  std::unique_ptr<PolygonModel> standIn;
  ASSERT_TRUE(WaitFor([&] { return (standIn = builder.Take()) != nullptr; }));
  bool anyGreen = false;
  for (const Float3& c : standIn->polyColor) anyGreen = anyGreen || (c == Float3{0, 1, 0});
  EXPECT_TRUE(anyGreen);
}

// After every change of view a big model's level of detail is shown while
// its full frame is drawn, and the full frame replaces it unasked; the two
// pictures differ in few pixels. A model no bigger than the level gets none.
TEST_F(RenderThreadView, TheLevelOfDetailComesBeforeTheFullFrame) {
  auto big = DenseSphere(300, 400);  // 240,000 triangles
  view_->SetStandInLimits(400, -1.0);
  view_->SetDetailTriangles(300000);
  view_->SetModel(big.get(), 0);
  ASSERT_TRUE(view_->DrawnOffThread()) << "no render thread on this platform";
  ASSERT_TRUE(WaitFor([&] { return view_->LastShown() == TPView::Shown::kFull; }, 60000));
  ASSERT_TRUE(WaitFor([&] { return view_->StandInReady(); }, 60000));
  QTest::qWait(200);
  EXPECT_EQ(view_->DetailTriangles(), 0);

  view_->SetDetailTriangles(20000);
  // Cleared first: setting a model refits it in place.
  view_->ClearModel();
  view_->SetModel(big.get(), 0);
  ASSERT_TRUE(WaitFor([&] { return view_->DetailTriangles() > 0; }, 60000));
  EXPECT_LE(view_->DetailTriangles(), 20000);
  ASSERT_TRUE(WaitFor([&] { return view_->LastShown() == TPView::Shown::kFull; }, 60000));

  // The full frame of each view waits at its start until let go.
  struct Gate {
    std::atomic<bool> armed{false}, reached{false}, open{false};
  };
  auto gate = std::make_shared<Gate>();
  view_->Renderer()->SetPhaseHook([gate](Phase at) {
    if (at != Phase::kFrame || !gate->armed.exchange(false)) return;
    gate->reached = true;
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!gate->open && std::chrono::steady_clock::now() < until)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
  });
  const struct {
    const char* name;
    std::function<void()> change;
  } changes[] = {
      {"drag",
       [&] {
         view_->MouseDown(1, false, 50, 50, 0);
         for (int x = 52; x < 80; x += 4) view_->MouseMove(1, false, x, 60);
         view_->MouseUp(false, 80, 60, 5000);
       }},
      {"zoom", [&] { view_->WheelZoom(-240); }},
      {"render type", [&] { view_->SetRenderType(1); }},
      {"resize", [&] { view_->resize(360, 260); }},
  };
  for (const auto& c : changes) {
    SCOPED_TRACE(c.name);
    gate->open = false;
    gate->reached = false;
    gate->armed = true;
    c.change();
    ASSERT_TRUE(WaitFor([&] { return view_->LastShown() == TPView::Shown::kDetail; }, 60000));
    EXPECT_TRUE(gate->reached || !gate->armed);
    EXPECT_FALSE(view_->Moving());
    const QImage detail = view_->Panel()->grabFramebuffer();
    EXPECT_EQ(view_->LastShown(), TPView::Shown::kDetail);
    gate->open = true;
    ASSERT_TRUE(WaitFor([&] { return view_->LastShown() == TPView::Shown::kFull; }, 60000));
    const QImage full = view_->GrabImage();
    ASSERT_EQ(detail.size(), full.size());
    int differ = 0;
    for (int y = 0; y < full.height(); ++y)
      for (int x = 0; x < full.width(); ++x)
        differ += !Near(detail.pixel(x, y), full.pixel(x, y), 24);
    EXPECT_GT(CountNotBackground(full, qRgb(0, 77, 102)), full.width() * full.height() / 10);
    EXPECT_LT(differ, full.width() * full.height() / 50) << differ << " pixels differ";
  }
  view_->Renderer()->SetPhaseHook(nullptr);
  view_->ClearModel();
}

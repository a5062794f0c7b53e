// Pixels of the scene drawn by the headless renderer (the same drawing
// code as the window's panel).
#include <GL/gl.h>
#include <gtest/gtest.h>

#include <cmath>
#include <memory>

#include "preview/headless.h"
#include "preview/scene.h"
#include "tests/preview_fixtures.h"

namespace {

constexpr int kW = 160, kH = 120;
const QRgb kBackground = qRgb(0, 77, 102);
const QRgb kObject = qRgb(222, 222, 222);

class PreviewRender : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    context_ = new HeadlessContext;
    std::string error;
    ASSERT_TRUE(context_->Create(kW, kH, error)) << error;
  }
  static void TearDownTestSuite() {
    delete context_;
    context_ = nullptr;
  }

  void SetUp() override {
    ASSERT_NE(context_, nullptr);
    scene_.width = kW;
    scene_.height = kH;
    SceneSetColors(scene_, 0x00664D00, 0x00DEDEDE);  // the settings' defaults
  }

  QImage Render(PolygonModel* model, int type) {
    SceneSetModel(scene_, model, type);
    return RenderSceneHeadless(scene_);
  }

  static HeadlessContext* context_;
  Scene scene_;
};

HeadlessContext* PreviewRender::context_ = nullptr;

// Every pixel that is not background has (nearly) this colour.
void ExpectOnly(const QImage& img, QRgb colour, int minPixels) {
  int count = 0, wrong = 0;
  QRgb firstWrong = 0;
  for (int y = 0; y < img.height(); ++y) {
    for (int x = 0; x < img.width(); ++x) {
      const QRgb p = img.pixel(x, y);
      if (Near(p, kBackground)) continue;
      ++count;
      if (!Near(p, colour) && wrong++ == 0) firstWrong = p;
    }
  }
  EXPECT_GE(count, minPixels);
  EXPECT_EQ(wrong, 0) << "e.g. " << QColor(firstWrong).name().toStdString() << " instead of "
                      << QColor(colour).name().toStdString();
}

TEST_F(PreviewRender, WithoutAModelOnlyTheBackground) {
  QImage img = RenderSceneHeadless(scene_);
  EXPECT_EQ(CountNotBackground(img, kBackground, 0), 0);
  auto m = Square();
  img = Render(m.get(), 0);
  EXPECT_GT(CountNotBackground(img, kBackground), 1000);
  SceneClearModel(scene_);
  img = RenderSceneHeadless(scene_);
  EXPECT_EQ(CountNotBackground(img, kBackground, 0), 0);
}

TEST_F(PreviewRender, ObjectColourAndPolygonColourInEveryType) {
  const double obj = 222 / 255.0;
  const QRgb litObject = Rgb(LitFacing(obj), LitFacing(obj), LitFacing(obj));
  const QRgb litRed = Rgb(LitFacing(1.0), LitFacing(0.0), LitFacing(0.0));
  const QRgb red = qRgb(255, 0, 0);
  // Minimum pixel counts: a filled square, its outline, its four corners.
  const int minPixels[5] = {2000, 2000, 100, 100, 4};
  for (int type = 0; type < 5; ++type) {
    SCOPED_TRACE(type);
    const bool lit = type != 2 && type != 3;
    auto plain = Square();
    ExpectOnly(Render(plain.get(), type), lit ? litObject : kObject, minPixels[type]);
    auto coloured = Square(2.0f, false, 0, {1, 0, 0});
    ExpectOnly(Render(coloured.get(), type), lit ? litRed : red, minPixels[type]);
  }
}

TEST_F(PreviewRender, FlatIsUniformSmoothFollowsVertexNormals) {
  auto make = [] {
    auto m = Square();
    // Left corners lean left, right corners lean right.
    const float s = 1 / std::sqrt(1.25f);
    m->vertexNormals = {{-0.5f * s, 0, s}, {0.5f * s, 0, s}, {0.5f * s, 0, s}, {-0.5f * s, 0, s}};
    return m;
  };
  auto flat = make();
  QImage img = Render(flat.get(), 0);
  const QRgb left = img.pixel(kW / 2 - 25, kH / 2), right = img.pixel(kW / 2 + 25, kH / 2);
  EXPECT_FALSE(Near(left, kBackground));
  EXPECT_EQ(left, right);
  auto smooth = make();
  img = Render(smooth.get(), 1);
  const int l = qRed(img.pixel(kW / 2 - 25, kH / 2)), r = qRed(img.pixel(kW / 2 + 25, kH / 2));
  // Light 0 comes from the right: the right half is brighter.
  EXPECT_GT(r - l, 10);
}

TEST_F(PreviewRender, BackOfAnOpenSurfaceIsLit) {
  const double obj = 222 / 255.0;
  const QRgb front = Rgb(LitFacing(obj), LitFacing(obj), LitFacing(obj));
  for (int type : {0, 1}) {
    SCOPED_TRACE(type);
    auto m = Square();
    SetViewPreset(scene_.camera, 1);  // seen from behind
    ExpectOnly(Render(m.get(), type), front, 2000);
    SetViewPreset(scene_.camera, 0);
  }
}

TEST_F(PreviewRender, CullingKeepsOneSide) {
  struct Case {
    int cull;
    bool clockwise;  // seen from the viewer: facing away
    bool drawn;
  } cases[] = {
      {0, false, true}, {0, true, true},  {1, false, false},
      {1, true, true},  {2, false, true}, {2, true, false},
  };
  for (int type : {0, 3, 4}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(testing::Message()
                   << "type " << type << " cull " << c.cull << " cw " << c.clockwise);
      SceneSetCullMode(scene_, c.cull);
      auto m = Square(2.0f, c.clockwise);
      const int n = CountNotBackground(Render(m.get(), type), kBackground);
      if (c.drawn)
        EXPECT_GT(n, 0);
      else
        EXPECT_EQ(n, 0);
    }
  }
}

TEST_F(PreviewRender, HiddenLineHidesTheFarEdgesOfACube) {
  // Front view: the back face and the edges running back lie inside the
  // front face's outline, which is about 39 pixels from the centre.
  auto interior = [](const QImage& img) {
    int n = 0;
    for (int y = kH / 2 - 33; y <= kH / 2 + 33; ++y)
      for (int x = kW / 2 - 33; x <= kW / 2 + 33; ++x) n += !Near(img.pixel(x, y), kBackground);
    return n;
  };
  auto wire = Cube();
  const QImage w = Render(wire.get(), 3);
  auto hidden = Cube();
  const QImage h = Render(hidden.get(), 2);
  EXPECT_GT(interior(w), 100);
  EXPECT_EQ(interior(h), 0);
  // The front face's own edges stay: the filled depth is pushed back.
  const int outline = CountNotBackground(h, kBackground);
  EXPECT_GT(outline, 4 * 70);
  ExpectOnly(h, kObject, 4 * 70);

  // Turned: fewer lines than the wire frame, more than none.
  RotateScreen(scene_.camera, 25, 35);
  auto wire2 = Cube(), hidden2 = Cube();
  const int nw = CountNotBackground(Render(wire2.get(), 3), kBackground);
  const int nh = CountNotBackground(Render(hidden2.get(), 2), kBackground);
  EXPECT_GT(nh, 200);
  EXPECT_LT(nh, nw - 50);
}

TEST_F(PreviewRender, SwitchingTypesInOneContext) {
  auto m = Square();
  const QRgb centreHidden = Render(m.get(), 2).pixel(kW / 2, kH / 2);
  EXPECT_TRUE(Near(centreHidden, kBackground));
  // Hidden-line to wire keeps lines: the centre stays empty, edges remain.
  SceneSetRenderType(scene_, 3);
  QImage img = RenderSceneHeadless(scene_);
  EXPECT_TRUE(Near(img.pixel(kW / 2, kH / 2), kBackground));
  EXPECT_GT(CountNotBackground(img, kBackground), 100);
  // Back to hidden-line, then flat: fill again.
  SceneSetRenderType(scene_, 2);
  RenderSceneHeadless(scene_);
  SceneSetRenderType(scene_, 0);
  img = RenderSceneHeadless(scene_);
  EXPECT_FALSE(Near(img.pixel(kW / 2, kH / 2), kBackground));
  SceneSetRenderType(scene_, 4);
  img = RenderSceneHeadless(scene_);
  EXPECT_LT(CountNotBackground(img, kBackground), 40);
  SceneSetRenderType(scene_, 1);
  img = RenderSceneHeadless(scene_);
  EXPECT_GT(CountNotBackground(img, kBackground), 2000);
}

TEST_F(PreviewRender, ZeroSizeModelAndZeroHeightStayFinite) {
  PolygonModel m;
  for (int i = 0; i < 3; ++i) m.AddVertex(5, 5, 5);
  const int32_t tri[3] = {0, 1, 2};
  m.AddPolygon(3, tri);
  FillNormals(m);
  Render(&m, 0);  // draws a degenerate triangle: nothing to see, no trap
  EXPECT_TRUE(std::isfinite(scene_.camera.eyeZ));
  EXPECT_EQ(m.vertices[0], (Float3{0, 0, 0}));

  Scene flat = scene_;
  flat.height = 0;
  SceneResizeGL(flat);
  float proj[16];
  glGetFloatv(GL_PROJECTION_MATRIX, proj);
  for (float v : proj) EXPECT_TRUE(std::isfinite(v));
  glViewport(0, 0, kW, kH);
}

// A closed sphere of quads with triangle fans at the poles; bands of
// coloured polygons in runs, the rest in the object colour.
std::unique_ptr<PolygonModel> MixedSphere() {
  auto m = std::make_unique<PolygonModel>();
  const int rings = 12, sides = 16;
  m->AddVertex(0, 0, 1);
  for (int r = 1; r < rings; ++r)
    for (int s = 0; s < sides; ++s) {
      const double th = M_PI * r / rings, ph = 2 * M_PI * s / sides;
      m->AddVertex(static_cast<float>(std::sin(th) * std::cos(ph)),
                   static_cast<float>(std::sin(th) * std::sin(ph)),
                   static_cast<float>(std::cos(th)));
    }
  const int32_t south = m->AddVertex(0, 0, -1);
  auto at = [&](int r, int s) { return 1 + (r - 1) * sides + (s % sides); };
  for (int s = 0; s < sides; ++s) m->AddTriangle(0, at(1, s), at(1, s + 1));
  for (int r = 1; r + 1 < rings; ++r)
    for (int s = 0; s < sides; ++s) {
      const int32_t q[4] = {at(r, s), at(r + 1, s), at(r + 1, s + 1), at(r, s + 1)};
      const bool coloured = (r / 3) % 2 == 1;
      m->AddPolygon(4, q, coloured ? 0 : -1, {0.2f + 0.05f * r, 0.9f - 0.04f * s, 0.4f});
    }
  for (int s = 0; s < sides; ++s)
    m->AddTriangle(south, at(rings - 1, s + 1), at(rings - 1, s), s % 4 < 2 ? -1 : 3,
                   {1.0f, 0.5f, 0.0f});
  FillNormals(*m);
  return m;
}

TEST_F(PreviewRender, BatchedDrawingEqualsOnePrimitivePerPolygon) {
  using Make = std::unique_ptr<PolygonModel> (*)();
  const Make makers[] = {[] { return Cube(); }, [] { return MixedSphere(); },
                         [] {
                           return Square(2.0f, false, 0, {0.3f, 0.6f, 0.9f});
                         }};
  for (Make make : makers) {
    int drawn = 0;
    for (int cull = 0; cull < 3; ++cull) {
      for (int type = 0; type < 5; ++type) {
        SCOPED_TRACE(testing::Message() << "cull " << cull << " type " << type);
        SceneSetCullMode(scene_, cull);
        scene_.camera.rotation = Multiply(Rotation(-65, 1, 0, 0), Rotation(20, 0, 0, 1));
        auto model = make();
        scene_.referenceDrawing = true;
        const QImage reference = Render(model.get(), type);
        scene_.referenceDrawing = false;
        const QImage batched = RenderSceneHeadless(scene_);
        EXPECT_TRUE(batched == reference);
        drawn += CountNotBackground(batched, kBackground);
      }
    }
    EXPECT_GT(drawn, 5000);
  }
}

}  // namespace

// Pixels of the scene drawn by the headless renderer (the same drawing
// code as the window's panel).
#include <GL/gl.h>
#include <GL/glu.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <memory>
#include <vector>

#include "preview/draw_buffers.h"
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

// One polygon through the given corners, counter-clockwise seen from +z.
std::unique_ptr<PolygonModel> OnePolygon(const std::vector<Float3>& corners) {
  auto m = std::make_unique<PolygonModel>();
  std::vector<int32_t> idx;
  for (const Float3& c : corners) idx.push_back(m->AddVertex(c.x, c.y, c.z));
  m->AddPolygon(static_cast<int32_t>(idx.size()), idx.data());
  FillNormals(*m);
  return m;
}

std::unique_ptr<PolygonModel> LShape() {
  return OnePolygon({{0, 0, 0}, {2, 0, 0}, {2, 1, 0}, {1, 1, 0}, {1, 2, 0}, {0, 2, 0}});
}

std::unique_ptr<PolygonModel> FivePointStar() {
  std::vector<Float3> v;
  for (int i = 0; i < 10; ++i) {
    const double a = M_PI / 2 + M_PI * i / 5;
    const double r = i % 2 ? 0.4 : 1.0;
    v.push_back({static_cast<float>(r * std::cos(a)), static_cast<float>(r * std::sin(a)), 0});
  }
  return OnePolygon(v);
}

struct Pt {
  double x, y;
};

double SegmentDistance(Pt p, Pt a, Pt b) {
  const double dx = b.x - a.x, dy = b.y - a.y, len2 = dx * dx + dy * dy;
  double t = len2 > 0 ? ((p.x - a.x) * dx + (p.y - a.y) * dy) / len2 : 0;
  t = std::clamp(t, 0.0, 1.0);
  return std::hypot(p.x - (a.x + t * dx), p.y - (a.y + t * dy));
}

bool InsidePolygon(Pt p, const std::vector<Pt>& poly) {
  bool in = false;
  for (size_t i = 0, j = poly.size() - 1; i < poly.size(); j = i++)
    if ((poly[i].y > p.y) != (poly[j].y > p.y) &&
        p.x < poly[j].x + (p.y - poly[j].y) * (poly[i].x - poly[j].x) / (poly[i].y - poly[j].y))
      in = !in;
  return in;
}

// Checks the image of the single polygon of m against its outline projected
// with the matrices the frame was drawn with. Pixels more than 1.5 pixels
// from the boundary are object exactly inside the polygon in the filled
// types, background in the outline types; the points type draws the
// corners only.
void ExpectPolygonMask(const QImage& img, const PolygonModel& m, int type) {
  GLdouble mv[16], pr[16];
  GLint vp[4];
  glGetDoublev(GL_MODELVIEW_MATRIX, mv);
  glGetDoublev(GL_PROJECTION_MATRIX, pr);
  glGetIntegerv(GL_VIEWPORT, vp);
  std::vector<Pt> poly;
  for (int32_t i = 0; i < m.nv(0); ++i) {
    const Float3& v = m.vertices[m.index(0)[i]];
    GLdouble x, y, z;
    gluProject(v.x, v.y, v.z, mv, pr, vp, &x, &y, &z);
    poly.push_back({x, img.height() - y});  // image rows run top down
  }
  const auto boundary = [&](Pt p) {
    double d = 1e9;
    for (size_t i = 0; i < poly.size(); ++i)
      d = std::min(d, SegmentDistance(p, poly[i], poly[(i + 1) % poly.size()]));
    return d;
  };
  const auto corner = [&](Pt p) {
    double d = 1e9;
    for (const Pt& c : poly) d = std::min(d, std::hypot(p.x - c.x, p.y - c.y));
    return d;
  };
  int wrong = 0, checkedInside = 0;
  for (int y = 0; y < img.height(); ++y) {
    for (int x = 0; x < img.width(); ++x) {
      const Pt p{x + 0.5, y + 0.5};
      const bool drawn = !Near(img.pixel(x, y), kBackground);
      if (type == 4) {
        if (drawn && corner(p) > 2.0) ++wrong;
        continue;
      }
      if (boundary(p) <= 1.5) continue;
      const bool inside = InsidePolygon(p, poly);
      checkedInside += inside;
      if (drawn != (inside && type <= 1) && wrong++ < 5) {
        ADD_FAILURE() << "pixel " << x << "," << y << (drawn ? " drawn" : " not drawn");
      }
    }
  }
  EXPECT_EQ(wrong, 0);
  if (type != 4) {
    EXPECT_GT(checkedInside, 200);
  }
  // The boundary itself is drawn: the middle of every side, or every corner.
  for (size_t i = 0; i < poly.size(); ++i) {
    const Pt a = poly[i], b = type == 4 ? a : poly[(i + 1) % poly.size()];
    const Pt mid{(a.x + b.x) / 2, (a.y + b.y) / 2};
    bool found = false;
    for (int dy = -1; dy <= 1; ++dy)
      for (int dx = -1; dx <= 1; ++dx) {
        const int x = static_cast<int>(mid.x) + dx, y = static_cast<int>(mid.y) + dy;
        if (x >= 0 && y >= 0 && x < img.width() && y < img.height() &&
            !Near(img.pixel(x, y), kBackground))
          found = true;
      }
    EXPECT_TRUE(found) << "side " << i;
  }
}

TEST_F(PreviewRender, BatchedDrawingEqualsOnePrimitivePerPolygon) {
  using Make = std::unique_ptr<PolygonModel> (*)();
  // With the fewest pixels expected over all the frames: the single
  // concave polygons are seen steeply from the side.
  const std::pair<Make, int> makers[] = {{[] { return Cube(); }, 5000},
                                         {[] { return MixedSphere(); }, 5000},
                                         {[] {
                                            return Square(2.0f, false, 0, {0.3f, 0.6f, 0.9f});
                                          },
                                          5000},
                                         {LShape, 2000},
                                         {FivePointStar, 2000}};
  for (const auto& [make, minDrawn] : makers) {
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
    EXPECT_GT(drawn, minDrawn);
  }
}

// A context of their own: the driver splits long immediate-mode runs where
// its buffer happens to fill, so a suite's earlier frames can move single
// outline pixels of the reference comparisons above.
class PreviewConcave : public PreviewRender {};

TEST_F(PreviewConcave, LAndStarInEveryType) {
  using Make = std::unique_ptr<PolygonModel> (*)();
  const std::pair<const char*, Make> shapes[] = {{"L", LShape}, {"star", FivePointStar}};
  for (const auto& [name, make] : shapes) {
    for (int tilt : {0, -35}) {
      for (int type = 0; type < 5; ++type) {
        SCOPED_TRACE(testing::Message() << name << " tilt " << tilt << " type " << type);
        scene_.camera.rotation = Multiply(Rotation(tilt, 1, 0, 0), Rotation(15, 0, 0, 1));
        auto model = make();
        const QImage img = Render(model.get(), type);
        ExpectPolygonMask(img, *model, type);
      }
    }
  }
}

// A context of its own as well, for the same reason.
class PreviewBuffers : public PreviewRender {
 protected:
  // Draws the scene from its buffers and as the reference, which must give
  // the same pixels; returns the buffered picture.
  QImage BufferedLikeReference() {
    scene_.referenceDrawing = true;
    const QImage reference = RenderSceneHeadless(scene_);
    scene_.referenceDrawing = false;
    const QImage buffered = RenderSceneHeadless(scene_);
    EXPECT_TRUE(buffered == reference);
    return buffered;
  }
};

// Triangles on shared vertices (as after vertex sharing), one colour.
std::unique_ptr<PolygonModel> SharedTriangleSphere() {
  auto m = MixedSphere();
  auto t = std::make_unique<PolygonModel>();
  t->vertices = m->vertices;
  for (int32_t p = 0; p < m->PolygonCount(); ++p) {
    const int32_t* i = m->index(p);
    for (int32_t k = 1; k + 1 < m->nv(p); ++k) t->AddTriangle(i[0], i[k], i[k + 1]);
  }
  FillNormals(*t);
  return t;
}

// Indices outside the vertex list in a quad, a triangle and a pentagon.
std::unique_ptr<PolygonModel> CubeWithBadIndices() {
  auto m = Cube();
  m->indexPool[m->polyStart[1] + 2] = 99;
  const int32_t tri[3] = {0, -5, 7}, pent[5] = {1, 3, 1000, 7, 5};
  m->AddPolygon(3, tri);
  m->AddPolygon(5, pent, 0, {0.9f, 0.1f, 0.1f});
  FillNormals(*m, false);
  m->vertexNormals = Cube()->vertexNormals;
  return m;
}

TEST_F(PreviewBuffers, BufferDrawingEqualsOnePrimitivePerPolygon) {
  using Make = std::unique_ptr<PolygonModel> (*)();
  const std::pair<const char*, Make> makers[] = {
      {"cube", [] { return Cube(); }},
      {"mixed sphere", [] { return MixedSphere(); }},
      {"shared triangles", SharedTriangleSphere},
      {"coloured square",
       [] {
         return Square(2.0f, false, 0, {0.3f, 0.6f, 0.9f});
       }},
      {"L", LShape},
      {"star", FivePointStar},
      {"bad indices", CubeWithBadIndices}};
  // Types 2 and 3 keep the shading of the type before them.
  const int types[] = {0, 1, 2, 3, 4, 3, 2, 0};
  for (const auto& [name, make] : makers) {
    auto model = make();
    int drawn = 0;
    for (int cull = 0; cull < 3; ++cull) {
      SceneSetCullMode(scene_, cull);
      scene_.camera.rotation = Multiply(Rotation(-65, 1, 0, 0), Rotation(20, 0, 0, 1));
      SceneSetModel(scene_, model.get(), 0);
      scene_.buffers = std::make_shared<DrawBuffers>();
      for (int type : types) {
        SCOPED_TRACE(testing::Message() << name << " cull " << cull << " type " << type);
        SceneSetRenderType(scene_, type);
        const QImage buffered = BufferedLikeReference();
        EXPECT_GT(scene_.buffers->Bytes(), 0u);
        drawn += CountNotBackground(buffered, kBackground);
      }
      // A new object colour reaches polygons drawn in it.
      SceneSetColors(scene_, 0x00664D00, 0x00308050);
      {
        SCOPED_TRACE(testing::Message() << name << " new object colour");
        BufferedLikeReference();
      }
      SceneSetColors(scene_, 0x00664D00, 0x00DEDEDE);
      scene_.buffers->Release();
      EXPECT_EQ(scene_.buffers->Bytes(), 0u);
      scene_.buffers.reset();
    }
    EXPECT_GT(drawn, 2000) << name;
  }
}

// A wavy grid of cells x cells quads over [-1, 1]^2, split into triangles
// unless quads is set. Every triangle its own three vertices when unshared
// (as a triangle-soup file loads), else shared ones; in bands of colour
// when coloured. The last row of cells also reaches back to the first
// row's vertices, so some vertices serve polygons far apart in the list.
std::unique_ptr<PolygonModel> WavyGrid(int cells, bool shared, bool quads, bool coloured) {
  auto m = std::make_unique<PolygonModel>();
  const auto pos = [&](int i, int j) {
    const float x = -1.0f + 2.0f * static_cast<float>(i) / static_cast<float>(cells);
    const float y = -1.0f + 2.0f * static_cast<float>(j) / static_cast<float>(cells);
    return Float3{x, y, 0.15f * std::sin(5.0f * x) * std::cos(4.0f * y)};
  };
  const auto at = [&](int i, int j) { return j * (cells + 1) + i; };
  if (shared)
    for (int j = 0; j <= cells; ++j)
      for (int i = 0; i <= cells; ++i) {
        const Float3 v = pos(i, j);
        m->AddVertex(v.x, v.y, v.z);
      }
  const auto corner = [&](int i, int j) {
    if (shared) return at(i, j);
    const Float3 v = pos(i, j);
    return m->AddVertex(v.x, v.y, v.z);
  };
  const auto cell = [&](int i, int j, int j1) {
    const int32_t material = coloured && (i / 8) % 3 ? (i / 8) % 3 : -1;
    const Float3 colour{0.2f + 0.3f * static_cast<float>((i / 8) % 3), 0.5f, 0.3f};
    if (quads) {
      const int32_t q[4] = {corner(i, j), corner(i + 1, j), corner(i + 1, j1), corner(i, j1)};
      m->AddPolygon(4, q, material, colour);
    } else {
      m->AddTriangle(corner(i, j), corner(i + 1, j), corner(i + 1, j1), material, colour);
      m->AddTriangle(corner(i, j), corner(i + 1, j1), corner(i, j1), material, colour);
    }
  };
  for (int j = 0; j < cells; ++j)
    for (int i = 0; i < cells; ++i) cell(i, j, j + 1);
  for (int i = 0; i < cells; i += 4) cell(i, cells - 1, 0);
  FillNormals(*m);
  return m;
}

// Enough vertices for several 16-bit index windows, with merged positions,
// merged corners and vertices shared across windows.
TEST_F(PreviewBuffers, BigModelsInSeveralWindowsEqualTheReference) {
  struct Case {
    const char* name;
    bool shared, quads, coloured;
  };
  const Case cases[] = {{"triangle soup", false, false, false},
                        {"shared coloured triangles", true, false, true},
                        {"coloured quads", true, true, true}};
  const int types[] = {0, 1, 2, 3, 4, 3, 2, 0};
  for (const Case& c : cases) {
    auto model = WavyGrid(260, c.shared, c.quads, c.coloured);
    scene_.camera.rotation = Multiply(Rotation(-50, 1, 0, 0), Rotation(25, 0, 0, 1));
    SceneSetModel(scene_, model.get(), 0);
    scene_.buffers = std::make_shared<DrawBuffers>();
    for (int type : types) {
      SCOPED_TRACE(testing::Message() << c.name << " type " << type);
      SceneSetRenderType(scene_, type);
      const QImage buffered = BufferedLikeReference();
      EXPECT_GT(scene_.buffers->Bytes(), 0u);
      EXPECT_GT(CountNotBackground(buffered, kBackground), 1000);
    }
    scene_.buffers->Release();
    scene_.buffers.reset();
  }
}

// Flat shading reads only the position of a corner that is not a
// triangle's last, so a triangle soup takes hardly more buffer memory than
// the same surface on shared vertices.
TEST_F(PreviewBuffers, FlatLayoutStoresAPositionOnce) {
  size_t bytes[2] = {0, 0};
  for (bool shared : {false, true}) {
    auto model = WavyGrid(260, shared, false, false);
    SceneSetModel(scene_, model.get(), 0);
    scene_.buffers = std::make_shared<DrawBuffers>();
    RenderSceneHeadless(scene_);
    bytes[shared] = scene_.buffers->Bytes();
    scene_.buffers->Release();
    scene_.buffers.reset();
  }
  EXPECT_GT(bytes[1], 0u);
  EXPECT_LE(bytes[0], bytes[1] + bytes[1] / 20);
}

// Pixels other than the background within the middle 80% of the drawing's
// extent (a disk around its centre).
int NotBackgroundInside(const QImage& img, QRgb background) {
  int left = img.width(), right = -1, top = img.height(), bottom = -1;
  const auto other = [&](int x, int y) { return !Near(img.pixel(x, y), background, 3); };
  for (int y = 0; y < img.height(); ++y)
    for (int x = 0; x < img.width(); ++x)
      if (other(x, y)) {
        left = std::min(left, x);
        right = std::max(right, x);
        top = std::min(top, y);
        bottom = std::max(bottom, y);
      }
  if (right < 0) return 0;
  const double cx = (left + right) / 2.0, cy = (top + bottom) / 2.0;
  const double r = 0.8 * std::min(right - left, bottom - top) / 2.0;
  int inside = 0;
  for (int y = 0; y < img.height(); ++y)
    for (int x = 0; x < img.width(); ++x)
      if (std::hypot(x - cx, y - cy) < r && other(x, y)) ++inside;
  return inside;
}

// A polygon with more corners than one index window holds: in flat shading
// with lighting the copied layouts cannot hold it and it is drawn as
// without buffers. Outlines, unlit in one colour, draw from the model's own
// arrays with 32-bit indices, which no window limits: the outline is the
// circle alone, without the inner edges where the driver splits so long a
// primitive sent without buffers.
TEST_F(PreviewBuffers, PolygonTooBigForAWindowIsDrawnWithoutBuffers) {
  std::vector<Float3> circle;
  for (int i = 0; i < 70000; ++i) {
    const double a = 2 * M_PI * i / 70000;
    circle.push_back({static_cast<float>(std::cos(a)), static_cast<float>(std::sin(a)), 0});
  }
  auto model = OnePolygon(circle);
  SceneSetModel(scene_, model.get(), 0);
  for (int type : {0, 2, 3, 4}) {
    SCOPED_TRACE(testing::Message() << "type " << type);
    SceneSetRenderType(scene_, type);
    scene_.buffers.reset();
    const QImage without = RenderSceneHeadless(scene_);
    scene_.buffers = std::make_shared<DrawBuffers>();
    const QImage buffered = RenderSceneHeadless(scene_);
    if (type == 2 || type == 3) {
      EXPECT_GT(scene_.buffers->Bytes(), 0u);
      EXPECT_EQ(NotBackgroundInside(buffered, kBackground), 0);
    } else {
      EXPECT_TRUE(buffered == without);
      EXPECT_EQ(scene_.buffers->Bytes(), 0u);
    }
    EXPECT_GT(CountNotBackground(buffered, kBackground), 100);
  }
  scene_.buffers.reset();
}

// A stopped fill leaves no buffers and is not taken for a failed one: the
// next frame fills them.
TEST_F(PreviewBuffers, StoppedFillIsTriedAgain) {
  auto model = MixedSphere();
  SceneSetModel(scene_, model.get(), 0);
  scene_.buffers = std::make_shared<DrawBuffers>();
  std::atomic<bool> stop{true};
  scene_.cancel = &stop;
  RenderSceneHeadless(scene_);
  EXPECT_EQ(scene_.buffers->Bytes(), 0u);
  stop = false;
  BufferedLikeReference();
  EXPECT_GT(scene_.buffers->Bytes(), 0u);
  scene_.cancel = nullptr;
  scene_.buffers->Release();
  scene_.buffers.reset();
}

}  // namespace

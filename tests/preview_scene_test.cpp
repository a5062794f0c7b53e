// Camera fitting, camera moves and the render-type state, without OpenGL.
#include <gtest/gtest.h>

#include <cmath>

#include "preview/scene.h"
#include "tests/preview_fixtures.h"

namespace {

PolygonModel Diagonal(float d) {
  PolygonModel m;
  m.AddVertex(0, 0, 0);
  m.AddVertex(d, 0, 0);
  return m;
}

bool AllFinite(const Camera& c) {
  for (float v : {c.eyeX, c.eyeY, c.eyeZ, c.nearPlane, c.farPlane, c.moveStep, c.zoomLimit,
                  c.modelSize, c.viewRadius, c.centre.x, c.centre.y, c.centre.z})
    if (!std::isfinite(v)) return false;
  return true;
}

TEST(PreviewCamera, FitCameraScalesIntoOneToTenThousand) {
  struct Case {
    float diagonal, scale, size, step;
  } cases[] = {
      {0.001f, 1000.0f, 1.0f, 0.00001f},
      {50000.0f, 0.2f, 10000.0f, 500.0f},
      {1.0f, 1.0f, 1.0f, 0.01f},
      {10000.0f, 1.0f, 10000.0f, 100.0f},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.diagonal);
    PolygonModel m = Diagonal(c.diagonal);
    Camera cam;
    cam.eyeX = 5;
    const float scale = FitCamera(cam, m);
    EXPECT_FLOAT_EQ(scale, c.scale);
    EXPECT_FLOAT_EQ(cam.modelSize, c.size);
    EXPECT_FLOAT_EQ(cam.moveStep, c.step);
    EXPECT_FLOAT_EQ(cam.viewRadius, c.size * 0.55f);
    EXPECT_EQ(cam.eyeX, 0.0f);
    EXPECT_EQ(cam.eyeY, 0.0f);
    // The model's bounding sphere just fills the 40-degree field of view.
    EXPECT_NEAR(cam.eyeZ, c.size * 0.55 / std::tan(20 * M_PI / 180), c.size * 1e-5);
    EXPECT_FLOAT_EQ(cam.nearPlane, std::max(cam.eyeZ - cam.viewRadius, 0.01f));
    EXPECT_FLOAT_EQ(cam.farPlane, std::max(cam.eyeZ + cam.viewRadius, 1.0f));
    EXPECT_FLOAT_EQ(cam.zoomLimit, -c.size);
    EXPECT_FLOAT_EQ(cam.centre.x, c.diagonal / 2);
  }
}

TEST(PreviewCamera, NearAndFarAreClamped) {
  Camera cam;
  cam.viewRadius = 0.55f;
  cam.eyeZ = 0.3f;
  UpdateNearFar(cam);
  EXPECT_FLOAT_EQ(cam.nearPlane, 0.01f);
  EXPECT_FLOAT_EQ(cam.farPlane, 1.0f);
  cam.eyeZ = 3.0f;
  UpdateNearFar(cam);
  EXPECT_FLOAT_EQ(cam.nearPlane, 2.45f);
  EXPECT_FLOAT_EQ(cam.farPlane, 3.55f);
}

TEST(PreviewCamera, DegenerateModelsGiveFiniteNumbers) {
  PolygonModel point;  // every vertex equal: zero diagonal
  for (int i = 0; i < 3; ++i) point.AddVertex(7, 7, 7);
  PolygonModel empty;
  PolygonModel infinite = Diagonal(INFINITY);
  PolygonModel nanFirst;
  nanFirst.AddVertex(NAN, 0, 0);
  nanFirst.AddVertex(1, 1, 1);
  PolygonModel huge = Diagonal(3e38f);  // the diagonal overflows to infinity
  huge.AddVertex(0, 3e38f, 0);
  for (PolygonModel* m : {&point, &empty, &infinite, &nanFirst, &huge}) {
    Camera cam;
    const float scale = FitCamera(cam, *m);
    EXPECT_TRUE(std::isfinite(scale));
    EXPECT_TRUE(AllFinite(cam));
    EXPECT_GT(cam.farPlane, cam.nearPlane);
  }
  Camera cam;
  FitCamera(cam, point);
  EXPECT_FLOAT_EQ(cam.modelSize, 1.0f);  // counted as diagonal 1
  EXPECT_FLOAT_EQ(cam.centre.x, 7.0f);
}

TEST(PreviewCamera, SetModelCentresAndScalesVerticesInPlace) {
  PolygonModel m;
  m.AddVertex(0, 0, 0);
  m.AddVertex(40000, 30000, 0);  // diagonal 50000: scale 0.2
  m.AddVertex(20000, 0, 0);
  const int32_t tri[3] = {0, 1, 2};
  m.AddPolygon(3, tri);
  FillNormals(m);
  Scene scene;
  scene.camera.rotation = Rotation(30, 0, 1, 0);
  SceneSetModel(scene, &m, 1);
  EXPECT_EQ(scene.polygonCount, 1);
  EXPECT_EQ(scene.renderType, 1);
  EXPECT_EQ(m.vertices[0], (Float3{-4000, -3000, 0}));
  EXPECT_EQ(m.vertices[1], (Float3{4000, 3000, 0}));
  EXPECT_EQ(m.vertices[2], (Float3{0, -3000, 0}));
  // A new model keeps the orientation of the previous one.
  const Mat4 r = Rotation(30, 0, 1, 0);
  for (int i = 0; i < 16; ++i) EXPECT_EQ(scene.camera.rotation.m[i], r.m[i]);
  SceneClearModel(scene);
  EXPECT_EQ(scene.polygonCount, 0);
  EXPECT_EQ(scene.model, nullptr);
}

TEST(PreviewCamera, PolygonsWithoutVerticesDrawNothing) {
  PolygonModel m;
  const int32_t tri[3] = {0, 1, 2};
  m.AddPolygon(3, tri);
  Scene scene;
  SceneSetModel(scene, &m, 0);
  EXPECT_EQ(scene.polygonCount, 0);
  EXPECT_TRUE(AllFinite(scene.camera));
}

// Where the rotation sends a point.
Float3 Apply(const Mat4& r, Float3 p) {
  const float* m = r.m;
  return {m[0] * p.x + m[4] * p.y + m[8] * p.z, m[1] * p.x + m[5] * p.y + m[9] * p.z,
          m[2] * p.x + m[6] * p.y + m[10] * p.z};
}

void ExpectNear(Float3 a, Float3 b) {
  EXPECT_NEAR(a.x, b.x, 1e-6);
  EXPECT_NEAR(a.y, b.y, 1e-6);
  EXPECT_NEAR(a.z, b.z, 1e-6);
}

TEST(PreviewCamera, ViewPresetsShowTheNamedSide) {
  // The side of the model that ends up facing the viewer (+z).
  const Float3 facing[6] = {{0, 0, 1}, {0, 0, -1}, {1, 0, 0}, {-1, 0, 0}, {0, 1, 0}, {0, -1, 0}};
  for (int n = 0; n < 6; ++n) {
    SCOPED_TRACE(n);
    Camera cam;
    cam.eyeX = 2;
    cam.eyeZ = 9;
    ASSERT_TRUE(SetViewPreset(cam, n));
    ExpectNear(Apply(cam.rotation, facing[n]), {0, 0, 1});
    EXPECT_EQ(cam.eyeX, 2.0f);  // pan and zoom stay
    EXPECT_EQ(cam.eyeZ, 9.0f);
  }
  // The presets are the named rotations, up to rounding.
  Camera a, b;
  SetViewPreset(a, 2);
  b.rotation = Rotation(-90, 0, 1, 0);
  for (int i = 0; i < 16; ++i) EXPECT_NEAR(a.rotation.m[i], b.rotation.m[i], 1e-6);
  SetViewPreset(a, 4);
  b.rotation = Rotation(90, 1, 0, 0);
  for (int i = 0; i < 16; ++i) EXPECT_NEAR(a.rotation.m[i], b.rotation.m[i], 1e-6);

  Camera c;
  c.rotation = Rotation(10, 1, 0, 0);
  EXPECT_FALSE(SetViewPreset(c, 6));
  EXPECT_FALSE(SetViewPreset(c, -1));
  EXPECT_EQ(c.rotation.m[5], Rotation(10, 1, 0, 0).m[5]);
}

TEST(PreviewCamera, RotateScreenTurnsAboutScreenAxes) {
  Camera cam;
  // Dragging right: the near side (+z) goes right (+x).
  RotateScreen(cam, 0, 10);
  ExpectNear(Apply(cam.rotation, {0, 0, 1}),
             {std::sin(10 * M_PI / 180), 0, std::cos(10 * M_PI / 180)});
  // Screen axes, not model axes: the new turn comes after the old one.
  // (+x goes to -z first, then the turn about the screen's x axis takes
  // -z to -y.)
  cam.rotation = Rotation(90, 0, 1, 0);
  RotateScreen(cam, -90, 0);
  ExpectNear(Apply(cam.rotation, {1, 0, 0}), {0, -1, 0});
  ResetCamera(cam);
  ExpectNear(Apply(cam.rotation, {1, 2, 3}), {1, 2, 3});
}

TEST(PreviewScene, RenderTypesSetOrKeepTheFixedFunctionState) {
  struct Case {
    int from, to;
    RenderState want;
  } cases[] = {
      {0, 1, {true, 0, true, true, false}},
      {1, 0, {true, 0, false, false, true}},
      {0, 4, {true, 2, false, false, true}},
      // Hidden-line and wire keep shading and the normal array.
      {1, 2, {false, 0, true, true, false}},
      {1, 3, {false, 1, true, true, false}},
      {4, 2, {false, 2, false, false, false}},
      {2, 3, {false, 1, false, false, false}},
      {3, 2, {false, 1, false, false, false}},
      {3, 0, {true, 0, false, false, true}},
      {2, 4, {true, 2, false, false, true}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.from << " -> " << c.to);
    Scene s;
    SceneSetRenderType(s, c.from);
    SceneSetRenderType(s, c.to);
    EXPECT_EQ(s.renderType, c.to);
    EXPECT_EQ(s.state.lighting, c.want.lighting);
    EXPECT_EQ(s.state.polygonMode, c.want.polygonMode);
    EXPECT_EQ(s.state.smoothShade, c.want.smoothShade);
    EXPECT_EQ(s.state.normalArray, c.want.normalArray);
    EXPECT_EQ(s.state.normalPerPolygon, c.want.normalPerPolygon);
  }
  Scene s;
  SceneSetRenderType(s, 3);
  SceneSetRenderType(s, 5);
  EXPECT_EQ(s.renderType, 3);
}

TEST(PreviewScene, CullModesAndColours) {
  Scene s;
  EXPECT_TRUE(SceneSetCullMode(s, 2));
  EXPECT_FALSE(SceneSetCullMode(s, 3));
  EXPECT_FALSE(SceneSetCullMode(s, -1));
  EXPECT_EQ(s.cullMode, 2);
  SceneSetColors(s, 0x00665544, 0x00030201);  // 0x00BBGGRR
  EXPECT_FLOAT_EQ(s.background[0], 0x44 / 255.0f);
  EXPECT_FLOAT_EQ(s.background[1], 0x55 / 255.0f);
  EXPECT_FLOAT_EQ(s.background[2], 0x66 / 255.0f);
  EXPECT_FLOAT_EQ(s.object[0], 1 / 255.0f);
  EXPECT_FLOAT_EQ(s.object[2], 3 / 255.0f);
}

}  // namespace

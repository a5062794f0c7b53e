// The scene of the preview: colours, render type, culling, the camera and
// the model being shown, and the OpenGL drawing of one frame. The window
// and the headless renderer both draw through these functions.
#pragma once

#include <cstdint>
#include <memory>

#include "core/model.h"
#include "mesh/triangulate.h"
#include "preview/draw_buffers.h"
#include "preview/draw_control.h"
#include "preview/scene_textures.h"
#include "preview/surface_images.h"

// Column-major 4x4 matrix, as OpenGL loads it.
struct Mat4 {
  float m[16];
  static Mat4 Identity();
};
// a * b (b applied first to a vector).
Mat4 Multiply(const Mat4& a, const Mat4& b);
// The matrix glRotatef(deg, x, y, z) multiplies by (unit axis given).
Mat4 Rotation(float degrees, float x, float y, float z);

struct Camera {
  float eyeX = 0.0f, eyeY = 0.0f, eyeZ = 1.0f;
  float nearPlane = 0.1f, farPlane = 100.0f;
  float moveStep = 0.0f;   // distance per pixel for panning and zooming
  float zoomLimit = 0.0f;  // smallest allowed eye z
  float modelSize = 0.0f;  // diagonal after scaling
  float viewRadius = 0.0f;
  Float3 centre{0.0f, 0.0f, 0.0f};
  // The model-view matrix: nothing but the accumulated rotation.
  Mat4 rotation = Mat4::Identity();
};

// tan(20 degrees) as the fitting has always computed it.
double FitTangent();

// Near and far from eye z and the view radius.
void UpdateNearFar(Camera& cam);
// Fits the camera to the model's bounding box and returns the scale that
// brings its diagonal between 1 and 10000. The rotation is kept. A model
// without vertices, or a zero or non-finite diagonal, counts as diagonal 1.
float FitCamera(Camera& cam, const PolygonModel& model);
// Fitted distance and front view, from the kept model size.
void ResetCamera(Camera& cam);
// rotation = Rx(degX) * Ry(degY) * rotation: turns about the screen axes.
void RotateScreen(Camera& cam, float degX, float degY);
// Loads one of the six fixed rotations; false (nothing changed) outside 0-5.
bool SetViewPreset(Camera& cam, int n);

// The drawing's control (cancel, hold, slices) is the scene's own.
struct Scene : DrawControl {
  float background[3] = {0.0f, 0.3f, 0.4f};
  float object[3] = {0.88f, 0.88f, 0.88f};
  int renderType = 0;
  int cullMode = 0;
  int32_t polygonCount = 0;  // 0: nothing is drawn
  PolygonModel* model = nullptr;
  Camera camera;
  RenderState state;
  int width = 0, height = 0;  // viewport in pixels
  // Draw one primitive per polygon, as the batched drawing is checked
  // against (same pixels, more calls).
  bool referenceDrawing = false;
  // The model's concave polygons as triangles, filled in their place.
  ConcaveTriangles concave;
  // Buffer objects to draw from; null draws in immediate mode. They belong
  // to the context they were made in: the owner releases them, and a copy
  // of the scene drawn in another context must drop them.
  std::shared_ptr<DrawBuffers> buffers;
  // New for every model set or cleared, so buffers know their data is old.
  uint64_t modelSerial = 0;
  // Whether flat and smooth types draw the model's appearance (material
  // colours, textures, transparency) when it has one.
  bool textures = true;
  // The model's decoded images; null: its materials are drawn in colour.
  std::shared_ptr<const SurfaceImages> images;
  // The images as textures of the current context, owned as buffers are;
  // null: a frame makes them and deletes them again.
  std::shared_ptr<SceneTextures> glTextures;
};

// The control helpers under the names the scene's callers use.
inline bool SceneCancelled(const Scene& scene) { return DrawCancelled(scene); }
inline bool SceneNextSlice(const Scene& scene) { return DrawNextSlice(scene); }
using SceneAwayFromModel = DrawAwayFromModel;

// What the buffers need of the scene to draw it.
BufferDraw BufferDrawOf(const Scene& scene);

// Takes the model: fits the camera, centres and scales its vertices in
// place, triangulates its concave polygons, then applies the render type.
void SceneSetModel(Scene& scene, PolygonModel* model, int renderType);

// The part of taking a model that reads all of it, which a loader can do on
// its own thread before it hands the model over: the fitted camera (its
// rotation unused), the vertices centred and scaled in place, and the
// concave polygons triangulated.
struct SceneModelFit {
  Camera camera;
  // The model's images, decoded beside the fit (LoadSurfaceImages).
  std::shared_ptr<const SurfaceImages> images;
  int32_t polygonCount = 0;  // 0: nothing is drawn
  ConcaveTriangles concave;
};
SceneModelFit FitSceneModel(PolygonModel& model);
// SceneSetModel for a model fitted by FitSceneModel (and not changed
// since); the scene's camera rotation is kept.
void SceneSetFittedModel(Scene& scene, PolygonModel* model, SceneModelFit fit, int renderType);
void SceneClearModel(Scene& scene);
// Types outside 0-4 are ignored.
void SceneSetRenderType(Scene& scene, int type);
// Returns false (nothing changed) for modes outside 0-2.
bool SceneSetCullMode(Scene& scene, int mode);
// Colours as 0x00BBGGRR.
void SceneSetColors(Scene& scene, int background, int object);

// --- OpenGL (a context must be current) ---------------------------------
// The one-time state: lights, light model, depth test, normalisation.
void SceneInitGL();
// Viewport, projection with the eye, model-view current; clear colour.
void SceneResizeGL(const Scene& scene);
// Whether a frame of the scene draws the model's appearance: textures shown,
// a flat or smooth type, and materials to draw (texture coordinates alone
// change nothing).
bool SceneDrawsAppearance(const Scene& scene, const PolygonModel& model);
// One frame: clear, the hidden-line depth pass when needed, the polygons.
void SceneDrawGL(const Scene& scene);
// The same frame with another model in the scene's model's place (a
// stand-in of it while the view moves), drawn from its own buffers when
// buffers is not null. serial identifies the model's data for them.
void SceneDrawModelGL(const Scene& scene, const PolygonModel& model, DrawBuffers* buffers,
                      uint64_t serial);
// Fills the scene's buffers for its model and state without drawing, so
// that the next frame does not have to.
void SceneFillBuffersGL(const Scene& scene);
// A number no model serial has had before.
uint64_t NewModelSerial();

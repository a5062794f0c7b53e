#include "preview/scene.h"

#include <GL/gl.h>
#include <GL/glu.h>

#include <atomic>
#include <cmath>

#include "preview/draw_buffers.h"

Mat4 Mat4::Identity() {
  Mat4 r{};
  r.m[0] = r.m[5] = r.m[10] = r.m[15] = 1.0f;
  return r;
}

Mat4 Multiply(const Mat4& a, const Mat4& b) {
  Mat4 r{};
  for (int c = 0; c < 4; ++c) {
    for (int row = 0; row < 4; ++row) {
      float s = 0.0f;
      for (int k = 0; k < 4; ++k) s += a.m[k * 4 + row] * b.m[c * 4 + k];
      r.m[c * 4 + row] = s;
    }
  }
  return r;
}

Mat4 Rotation(float degrees, float x, float y, float z) {
  // The glRotate matrix for a unit axis.
  const double a = degrees * M_PI / 180.0;
  const double c = std::cos(a), s = std::sin(a), t = 1.0 - c;
  Mat4 r = Mat4::Identity();
  r.m[0] = static_cast<float>(x * x * t + c);
  r.m[1] = static_cast<float>(y * x * t + z * s);
  r.m[2] = static_cast<float>(x * z * t - y * s);
  r.m[4] = static_cast<float>(x * y * t - z * s);
  r.m[5] = static_cast<float>(y * y * t + c);
  r.m[6] = static_cast<float>(y * z * t + x * s);
  r.m[8] = static_cast<float>(x * z * t + y * s);
  r.m[9] = static_cast<float>(y * z * t - x * s);
  r.m[10] = static_cast<float>(z * z * t + c);
  return r;
}

double FitTangent() { return std::tan(0.3490658888888889); }

void UpdateNearFar(Camera& cam) {
  cam.nearPlane = cam.eyeZ - cam.viewRadius;
  if (cam.nearPlane < 0.01f) cam.nearPlane = 0.01f;
  cam.farPlane = cam.eyeZ + cam.viewRadius;
  if (cam.farPlane < 1.0f) cam.farPlane = 1.0f;
}

float FitCamera(Camera& cam, const PolygonModel& model) {
  Float3 lo{0, 0, 0}, hi{0, 0, 0};
  if (!model.vertices.empty()) {
    lo = hi = model.vertices[0];
    for (const Float3& v : model.vertices) {
      if (v.x < lo.x)
        lo.x = v.x;
      else if (v.x > hi.x)
        hi.x = v.x;
      if (v.y < lo.y)
        lo.y = v.y;
      else if (v.y > hi.y)
        hi.y = v.y;
      if (v.z < lo.z)
        lo.z = v.z;
      else if (v.z > hi.z)
        hi.z = v.z;
    }
  }
  cam.centre = {(lo.x + hi.x) * 0.5f, (lo.y + hi.y) * 0.5f, (lo.z + hi.z) * 0.5f};
  const float dx = hi.x - lo.x, dy = hi.y - lo.y, dz = hi.z - lo.z;
  float d = std::sqrt(dx * dx + dy * dy + dz * dz);
  // A point-sized or broken box would give an infinite or NaN scale.
  if (!(d > 0.0f) || !std::isfinite(d)) d = 1.0f;
  if (!std::isfinite(cam.centre.x) || !std::isfinite(cam.centre.y) || !std::isfinite(cam.centre.z))
    cam.centre = {0, 0, 0};
  float scale = 1.0f;
  if (d < 1.0f)
    scale = 1.0f / d;
  else if (d > 10000.0f)
    scale = 10000.0f / d;
  cam.modelSize = d * scale;
  cam.viewRadius = cam.modelSize * 0.5f * 1.1f;
  cam.eyeX = cam.eyeY = 0.0f;
  cam.eyeZ = static_cast<float>(cam.viewRadius / FitTangent());
  UpdateNearFar(cam);
  cam.zoomLimit = -cam.modelSize;
  cam.moveStep = d * 0.01f;
  return scale;
}

void ResetCamera(Camera& cam) {
  cam.viewRadius = cam.modelSize * 0.5f * 1.1f;
  cam.eyeX = cam.eyeY = 0.0f;
  cam.eyeZ = static_cast<float>(cam.viewRadius / FitTangent());
  UpdateNearFar(cam);
  cam.rotation = Mat4::Identity();
}

void RotateScreen(Camera& cam, float degX, float degY) {
  cam.rotation = Multiply(Multiply(Rotation(degX, 1, 0, 0), Rotation(degY, 0, 1, 0)), cam.rotation);
}

bool SetViewPreset(Camera& cam, int n) {
  Mat4 r = Mat4::Identity();
  float* m = r.m;
  switch (n) {
    case 0:
      break;
    case 1:  // 180 about y
      m[0] = -1, m[10] = -1;
      break;
    case 2:  // -90 about y: x -> +z, z -> -x
      m[0] = 0, m[2] = 1, m[8] = -1, m[10] = 0;
      break;
    case 3:  // +90 about y: x -> -z, z -> +x
      m[0] = 0, m[2] = -1, m[8] = 1, m[10] = 0;
      break;
    case 4:  // +90 about x: y -> +z, z -> -y
      m[5] = 0, m[6] = 1, m[9] = -1, m[10] = 0;
      break;
    case 5:  // -90 about x: y -> -z, z -> +y
      m[5] = 0, m[6] = -1, m[9] = 1, m[10] = 0;
      break;
    default:
      return false;
  }
  cam.rotation = r;
  return true;
}

uint64_t NewModelSerial() {
  static std::atomic<uint64_t> last{0};
  return ++last;
}

void SceneClearModel(Scene& scene) {
  scene.modelSerial = NewModelSerial();
  scene.polygonCount = 0;
  scene.model = nullptr;
  scene.concave = {};
  scene.images.reset();
}

SceneModelFit FitSceneModel(PolygonModel& model) {
  SceneModelFit fit;
  const float scale = FitCamera(fit.camera, model);
  // Without vertices no index can be valid: draw nothing.
  fit.polygonCount = model.vertices.empty() ? 0 : model.PolygonCount();
  if (fit.polygonCount != 0) {
    const Float3 c = fit.camera.centre;
    for (Float3& v : model.vertices)
      v = {(v.x - c.x) * scale, (v.y - c.y) * scale, (v.z - c.z) * scale};
    fit.concave = TriangulateConcave(model);
  }
  return fit;
}

void SceneSetFittedModel(Scene& scene, PolygonModel* model, SceneModelFit fit, int renderType) {
  if (!model) {
    SceneClearModel(scene);
    return;
  }
  const Mat4 rotation = scene.camera.rotation;
  scene.camera = fit.camera;
  scene.camera.rotation = rotation;
  SceneClearModel(scene);
  scene.polygonCount = fit.polygonCount;
  if (scene.polygonCount != 0) {
    scene.model = model;
    scene.concave = std::move(fit.concave);
    scene.images = std::move(fit.images);
  }
  SceneSetRenderType(scene, renderType);
}

void SceneSetModel(Scene& scene, PolygonModel* model, int renderType) {
  if (!model) {
    SceneClearModel(scene);
    return;
  }
  SceneSetFittedModel(scene, model, FitSceneModel(*model), renderType);
}

void SceneSetRenderType(Scene& scene, int type) {
  RenderState& s = scene.state;
  switch (type) {
    case 0:
      s = {true, 0, false, false, true};
      break;
    case 1:
      s = {true, 0, true, true, false};
      break;
    case 2:
      s.lighting = false;
      s.normalPerPolygon = false;
      break;
    case 3:
      s.lighting = false;
      s.polygonMode = 1;
      s.normalPerPolygon = false;
      break;
    case 4:
      s = {true, 2, false, false, true};
      break;
    default:
      return;
  }
  scene.renderType = type;
}

bool SceneSetCullMode(Scene& scene, int mode) {
  if (mode < 0 || mode > 2) return false;
  scene.cullMode = mode;
  return true;
}

void SceneSetColors(Scene& scene, int background, int object) {
  for (int i = 0; i < 3; ++i) {
    scene.background[i] = static_cast<float>((background >> (8 * i)) & 0xff) / 255.0f;
    scene.object[i] = static_cast<float>((object >> (8 * i)) & 0xff) / 255.0f;
  }
}

void SceneInitGL() {
  static const GLfloat pos0[] = {3.0f, 5.0f, 6.0f, 0.0f};
  static const GLfloat diffuse0[] = {0.93f, 0.93f, 0.93f, 1.0f};
  static const GLfloat specular0[] = {0.33f, 0.33f, 0.33f, 1.0f};
  static const GLfloat pos1[] = {-1.0f, 0.0f, -0.1f, 0.0f};
  static const GLfloat diffuse1[] = {0.3f, 0.3f, 0.3f, 1.0f};
  static const GLfloat ambient[] = {0.24f, 0.24f, 0.24f, 1.0f};
  glMatrixMode(GL_MODELVIEW);
  glLoadIdentity();
  glLightfv(GL_LIGHT0, GL_POSITION, pos0);
  glLightfv(GL_LIGHT0, GL_DIFFUSE, diffuse0);
  glLightfv(GL_LIGHT0, GL_SPECULAR, specular0);
  glLightfv(GL_LIGHT1, GL_POSITION, pos1);
  glLightfv(GL_LIGHT1, GL_DIFFUSE, diffuse1);
  glLightModelfv(GL_LIGHT_MODEL_AMBIENT, ambient);
  glLightModeli(GL_LIGHT_MODEL_LOCAL_VIEWER, GL_TRUE);
  glLightModeli(GL_LIGHT_MODEL_TWO_SIDE, GL_TRUE);
  glEnable(GL_LIGHTING);
  glEnable(GL_LIGHT0);
  glEnable(GL_LIGHT1);
  glEnable(GL_DEPTH_TEST);
  glEnable(GL_NORMALIZE);
  glDepthFunc(GL_LEQUAL);
}

void SceneResizeGL(const Scene& scene) {
  const int w = scene.width > 0 ? scene.width : 0;
  const int h = scene.height > 0 ? scene.height : 0;
  glViewport(0, 0, w, h);
  glMatrixMode(GL_PROJECTION);
  glLoadIdentity();
  // A panel of height 0 would divide by zero.
  const double aspect =
      h > 0 ? static_cast<double>(static_cast<float>(w) / static_cast<float>(h)) : 1.0;
  const Camera& c = scene.camera;
  gluPerspective(40.0, aspect, c.nearPlane, c.farPlane);
  gluLookAt(c.eyeX, c.eyeY, c.eyeZ, c.eyeX, c.eyeY, c.eyeZ - 1.0f, 0.0, 1.0, 0.0);
  glMatrixMode(GL_MODELVIEW);
  glClearColor(scene.background[0], scene.background[1], scene.background[2], 0.0f);
}

BufferDraw BufferDrawOf(const Scene& scene) {
  BufferDraw d;
  d.state = scene.state;
  d.renderType = scene.renderType;
  d.object = {scene.object[0], scene.object[1], scene.object[2]};
  d.control = scene;
  return d;
}

namespace {

GLenum PolygonModeOf(int mode) { return mode == 1 ? GL_LINE : mode == 2 ? GL_POINT : GL_FILL; }

// What a frame draws: the scene's model or a stand-in of it.
struct DrawSource {
  const PolygonModel& model;
  int32_t polygonCount;
  const ConcaveTriangles& concave;
};

void ApplyState(const Scene& scene) {
  const RenderState& s = scene.state;
  if (s.lighting)
    glEnable(GL_LIGHTING);
  else
    glDisable(GL_LIGHTING);
  glPolygonMode(GL_FRONT_AND_BACK, PolygonModeOf(s.polygonMode));
  glShadeModel(s.smoothShade ? GL_SMOOTH : GL_FLAT);
  if (scene.cullMode == 0) {
    glDisable(GL_CULL_FACE);
  } else {
    glEnable(GL_CULL_FACE);
    glCullFace(scene.cullMode == 1 ? GL_FRONT : GL_BACK);
  }
  glDisable(GL_POLYGON_OFFSET_FILL);
  glColorMask(GL_TRUE, GL_TRUE, GL_TRUE, GL_TRUE);
  // What an appearance pass stopped by an exception may have left on.
  glDisable(GL_TEXTURE_2D);
  glDisable(GL_BLEND);
  glDepthMask(GL_TRUE);
  glMatrixMode(GL_MODELVIEW);
  glLoadMatrixf(scene.camera.rotation.m);
}

// Steps through the triangulated polygons alongside the polygon loop.
// Only filled polygons need them: the outline of a polygon drawn whole is
// its boundary, without the inner edges of the triangles.
class ConcaveCursor {
 public:
  ConcaveCursor(const DrawSource& src, bool fill) : t_(src.concave), active_(fill) {}
  // The triangles' corners of polygon p, or null when p is drawn whole.
  const int32_t* Triangles(int32_t p, int32_t& cornerCount) {
    if (!active_) return nullptr;
    while (k_ < t_.polygon.size() && t_.polygon[k_] < p) ++k_;
    if (k_ == t_.polygon.size() || t_.polygon[k_] != p) return nullptr;
    cornerCount = static_cast<int32_t>(t_.start[k_ + 1] - t_.start[k_]);
    return t_.corner.data() + t_.start[k_];
  }

 private:
  const ConcaveTriangles& t_;
  bool active_;
  size_t k_ = 0;
};

// The reference pass: one primitive per polygon.
void PolygonPassReference(const Scene& scene, const DrawSource& src, bool withColour, bool fill) {
  const PolygonModel& m = src.model;
  const bool perPolygonNormal = withColour && scene.state.normalPerPolygon;
  const bool haveNormals = m.polygonNormals.size() >= static_cast<size_t>(src.polygonCount);
  const int32_t nverts = m.VertexCount();
  const float* obj = scene.object;
  const GLfloat objDiffuse[4] = {obj[0], obj[1], obj[2], 1.0f};
  ConcaveCursor concave(src, fill);
  for (int32_t p = 0; p < src.polygonCount; ++p) {
    if ((p & (kDrawSlice - 1)) == 0 && !SceneNextSlice(scene)) return;
    int32_t n = m.nv(p);
    const int32_t* idx = m.index(p);
    if (const int32_t* tri = concave.Triangles(p, n)) {
      idx = tri;
      glBegin(GL_TRIANGLES);
    } else {
      glBegin(GL_POLYGON);
    }
    if (withColour) {
      if (perPolygonNormal) {
        if (haveNormals)
          glNormal3fv(&m.polygonNormals[p].x);
        else
          glNormal3f(0.0f, 0.0f, 1.0f);
      }
      if (m.polyMaterial[p] < 0) {
        glMaterialfv(GL_FRONT_AND_BACK, GL_DIFFUSE, objDiffuse);
        glColor3fv(obj);
      } else {
        const Float3& c = m.polyColor[p];
        const GLfloat diffuse[4] = {c.x, c.y, c.z, 1.0f};
        glMaterialfv(GL_FRONT_AND_BACK, GL_DIFFUSE, diffuse);
        glColor3fv(diffuse);
      }
    }
    for (int32_t i = 0; i < n; ++i) {
      // Models from outside the pipeline may carry bad indices.
      if (static_cast<uint32_t>(idx[i]) < static_cast<uint32_t>(nverts)) glArrayElement(idx[i]);
    }
    glEnd();
  }
}

// The same picture with fewer calls: runs of triangles share one
// GL_TRIANGLES primitive (the outline of a triangle is the same three
// edges either way), and a colour equal to the last one is not sent again.
void PolygonPassBatched(const Scene& scene, const DrawSource& src, bool withColour, bool fill) {
  const PolygonModel& m = src.model;
  const bool perPolygonNormal = withColour && scene.state.normalPerPolygon;
  const bool haveNormals = m.polygonNormals.size() >= static_cast<size_t>(src.polygonCount);
  const uint32_t nverts = static_cast<uint32_t>(m.VertexCount());
  const float* obj = scene.object;
  const Float3 objColour{obj[0], obj[1], obj[2]};
  bool haveColour = false;
  Float3 lastColour{0, 0, 0};
  bool inTriangles = false;
  const uint32_t* start = m.polyStart.data();
  const int32_t* pool = m.indexPool.data();
  ConcaveCursor concave(src, fill);
  for (int32_t p = 0; p < src.polygonCount; ++p) {
    if ((p & (kDrawSlice - 1)) == 0) {
      // Outside a primitive, so that the picture so far can be read; a run
      // of triangles split in two gives the same pixels.
      if (inTriangles) {
        glEnd();
        inTriangles = false;
      }
      if (!SceneNextSlice(scene)) break;
    }
    int32_t n = static_cast<int32_t>(start[p + 1] - start[p]);
    const int32_t* idx = pool + start[p];
    const int32_t* tri = n > 3 ? concave.Triangles(p, n) : nullptr;
    if (tri) idx = tri;
    const bool triangle = !tri && n == 3 && static_cast<uint32_t>(idx[0]) < nverts &&
                          static_cast<uint32_t>(idx[1]) < nverts &&
                          static_cast<uint32_t>(idx[2]) < nverts;
    if (triangle) {
      if (!inTriangles) {
        glBegin(GL_TRIANGLES);
        inTriangles = true;
      }
    } else {
      if (inTriangles) {
        glEnd();
        inTriangles = false;
      }
      glBegin(tri ? GL_TRIANGLES : GL_POLYGON);
    }
    if (withColour) {
      if (perPolygonNormal) {
        if (haveNormals)
          glNormal3fv(&m.polygonNormals[p].x);
        else
          glNormal3f(0.0f, 0.0f, 1.0f);
      }
      const Float3& c = m.polyMaterial[p] < 0 ? objColour : m.polyColor[p];
      if (!haveColour || !(c == lastColour)) {
        const GLfloat diffuse[4] = {c.x, c.y, c.z, 1.0f};
        glMaterialfv(GL_FRONT_AND_BACK, GL_DIFFUSE, diffuse);
        glColor3fv(diffuse);
        lastColour = c;
        haveColour = true;
      }
    }
    if (triangle) {
      // A polygon's first corner sets its flat shade; a triangle's last does.
      // This order also interpolates exactly as the driver's own
      // polygon-to-triangle split does, so smooth shades match to the bit.
      glArrayElement(idx[1]);
      glArrayElement(idx[2]);
      glArrayElement(idx[0]);
    } else {
      for (int32_t i = 0; i < n; ++i)
        if (static_cast<uint32_t>(idx[i]) < nverts) glArrayElement(idx[i]);
      glEnd();
    }
  }
  if (inTriangles) glEnd();
}

void PolygonPass(const Scene& scene, const DrawSource& src, DrawBuffers* buffers, bool withColour,
                 bool fill) {
  if (buffers)
    buffers->Pass(BufferDrawOf(scene), withColour, fill);
  else if (scene.referenceDrawing)
    PolygonPassReference(scene, src, withColour, fill);
  else
    PolygonPassBatched(scene, src, withColour, fill);
}

// The polygons with the model's appearance: each material's colour,
// modulated by its texture where it has one, opaque materials first, then
// the transparent ones blended over them. Polygons without a material are
// drawn as the other passes draw them.
void AppearancePass(const Scene& scene, const DrawSource& src) {
  const PolygonModel& m = src.model;
  const SurfaceAppearance& a = m.appearance;
  const size_t count = static_cast<size_t>(src.polygonCount);
  // Channels that do not match the polygons (a reader's slip) are not read.
  const bool haveMaterials = a.polygonMaterial.size() >= count;
  const bool haveUV = a.cornerUV.size() == m.indexPool.size();
  // Held here: the owner may replace the scene's while the upload lets go
  // of the model (the next slice then stops the pass).
  const std::shared_ptr<const SurfaceImages> held =
      scene.images && scene.images->materialImage.size() == a.materials.size() ? scene.images
                                                                               : nullptr;
  const SurfaceImages* images = held.get();
  std::unique_ptr<SceneTextures> own;
  SceneTextures* textures = scene.glTextures.get();
  if (images && haveUV) {
    if (!textures) {
      own = std::make_unique<SceneTextures>();
      textures = own.get();
    }
    SceneAwayFromModel away(scene);
    textures->Use(held);
  }
  const auto materialOf = [&](int32_t p) {
    const int32_t k = haveMaterials ? a.polygonMaterial[static_cast<size_t>(p)] : -1;
    return k >= 0 && static_cast<size_t>(k) < a.materials.size() ? k : -1;
  };
  bool anyClear = false;
  for (const SurfaceMaterial& mat : a.materials) anyClear = anyClear || mat.opacity < 1.0f;

  const bool perPolygonNormal = scene.state.normalPerPolygon;
  const bool haveNormals = m.polygonNormals.size() >= count;
  const uint32_t nverts = static_cast<uint32_t>(m.VertexCount());
  const float* obj = scene.object;
  glTexEnvi(GL_TEXTURE_ENV, GL_TEXTURE_ENV_MODE, GL_MODULATE);
  bool stopped = false;
  for (int pass = 0; pass < 2 && !stopped; ++pass) {
    const bool clear = pass == 1;
    if (clear) {
      if (!anyClear) break;
      glEnable(GL_BLEND);
      glBlendFunc(GL_SRC_ALPHA, GL_ONE_MINUS_SRC_ALPHA);
      // Transparent surfaces hide nothing behind them.
      glDepthMask(GL_FALSE);
    }
    int32_t current = -2;  // the material whose state is set
    bool textured = false;
    // Runs of triangles in one material share a GL_TRIANGLES primitive;
    // state other than colours and normals changes outside it.
    bool inTriangles = false;
    const auto endTriangles = [&] {
      if (inTriangles) glEnd();
      inTriangles = false;
    };
    ConcaveCursor concave(src, true);
    for (int32_t p = 0; p < src.polygonCount; ++p) {
      if ((p & (kDrawSlice - 1)) == 0) {
        endTriangles();
        if (!SceneNextSlice(scene)) {
          stopped = true;
          break;
        }
      }
      const int32_t k = materialOf(p);
      if ((k >= 0 && a.materials[static_cast<size_t>(k)].opacity < 1.0f) != clear) continue;
      if (k < 0) {
        const float* c = m.polyMaterial[p] < 0 ? obj : &m.polyColor[p].x;
        const GLfloat diffuse[4] = {c[0], c[1], c[2], 1.0f};
        glMaterialfv(GL_FRONT_AND_BACK, GL_DIFFUSE, diffuse);
        glColor4fv(diffuse);
      }
      if (k != current) {
        endTriangles();
        current = k;
        const unsigned name = k >= 0 && images && haveUV
                                  ? textures->Name(images->materialImage[static_cast<size_t>(k)])
                                  : 0;
        textured = name != 0;
        if (textured) {
          glBindTexture(GL_TEXTURE_2D, name);
          glEnable(GL_TEXTURE_2D);
        } else {
          glDisable(GL_TEXTURE_2D);
        }
        if (k >= 0) {
          const SurfaceMaterial& mat = a.materials[static_cast<size_t>(k)];
          const GLfloat diffuse[4] = {mat.color[0], mat.color[1], mat.color[2],
                                      clear ? mat.opacity : 1.0f};
          glMaterialfv(GL_FRONT_AND_BACK, GL_DIFFUSE, diffuse);
          glColor4fv(diffuse);
        }
      }
      if (perPolygonNormal) {
        if (haveNormals)
          glNormal3fv(&m.polygonNormals[p].x);
        else
          glNormal3f(0.0f, 0.0f, 1.0f);
      }
      int32_t n = m.nv(p);
      const int32_t* corners = m.index(p);
      const int32_t* idx = corners;
      const int32_t cornerCount = n;
      const Float2* uv = haveUV ? a.cornerUV.data() + m.polyStart[p] : nullptr;
      const int32_t* tri = n > 3 ? concave.Triangles(p, n) : nullptr;
      if (tri) idx = tri;
      const bool triangle = !tri && n == 3 && static_cast<uint32_t>(idx[0]) < nverts &&
                            static_cast<uint32_t>(idx[1]) < nverts &&
                            static_cast<uint32_t>(idx[2]) < nverts;
      if (!triangle) {
        endTriangles();
        glBegin(tri ? GL_TRIANGLES : GL_POLYGON);
      } else if (!inTriangles) {
        glBegin(GL_TRIANGLES);
        inTriangles = true;
      }
      for (int32_t i = 0; i < n; ++i) {
        if (static_cast<uint32_t>(idx[i]) >= nverts) continue;
        if (textured) {
          // A triangle's corner is a vertex of the polygon: its first
          // corner at that vertex gives the coordinates.
          int32_t c = i;
          if (tri)
            for (c = 0; c < cornerCount - 1 && corners[c] != idx[i];) ++c;
          // Images are stored top row first, texture coordinates count up.
          glTexCoord2f(uv[c].u, 1.0f - uv[c].v);
        }
        glArrayElement(idx[i]);
      }
      if (!triangle) glEnd();
    }
    endTriangles();
  }
  glDisable(GL_TEXTURE_2D);
  glBindTexture(GL_TEXTURE_2D, 0);
  glDisable(GL_BLEND);
  glDepthMask(GL_TRUE);
  if (own) own->Release();
}

void ClientArrays(const Scene& scene, const PolygonModel& m) {
  glEnableClientState(GL_VERTEX_ARRAY);
  glVertexPointer(3, GL_FLOAT, 0, m.vertices.data());
  const bool normalArray = scene.state.normalArray && m.vertexNormals.size() >= m.vertices.size();
  if (normalArray) {
    glNormalPointer(GL_FLOAT, 0, m.vertexNormals.data());
    glEnableClientState(GL_NORMAL_ARRAY);
  } else {
    glDisableClientState(GL_NORMAL_ARRAY);
  }
}

void DrawFrame(const Scene& scene, const DrawSource* src, DrawBuffers* buffers, uint64_t serial) {
  SceneResizeGL(scene);
  ApplyState(scene);
  glClearColor(scene.background[0], scene.background[1], scene.background[2], 0.0f);
  glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
  if (!src || src->polygonCount <= 0) return;

  if (SceneDrawsAppearance(scene, src->model)) {
    ClientArrays(scene, src->model);
    AppearancePass(scene, *src);
    glDisableClientState(GL_NORMAL_ARRAY);
    glDisableClientState(GL_VERTEX_ARRAY);
    return;
  }
  if (scene.referenceDrawing ||
      (buffers &&
       !buffers->Bind(BufferDrawOf(scene), src->model, src->polygonCount, src->concave, serial)))
    buffers = nullptr;
  if (!buffers) ClientArrays(scene, src->model);

  if (scene.renderType == 2) {
    glEnable(GL_POLYGON_OFFSET_FILL);
    glPolygonOffset(1.0f, 1.0f);
    glPolygonMode(GL_FRONT_AND_BACK, GL_FILL);
    glColorMask(GL_FALSE, GL_FALSE, GL_FALSE, GL_FALSE);
    PolygonPass(scene, *src, buffers, false, true);
    glDisable(GL_POLYGON_OFFSET_FILL);
    glPolygonMode(GL_FRONT_AND_BACK, GL_LINE);
    glColorMask(GL_TRUE, GL_TRUE, GL_TRUE, GL_TRUE);
  }
  const bool fill = scene.renderType != 2 && scene.state.polygonMode == 0;
  PolygonPass(scene, *src, buffers, true, fill);
  if (buffers) {
    buffers->Unbind();
  } else {
    glDisableClientState(GL_NORMAL_ARRAY);
    glDisableClientState(GL_VERTEX_ARRAY);
  }
}

}  // namespace

bool SceneDrawsAppearance(const Scene& scene, const PolygonModel& model) {
  return scene.textures && (scene.renderType == 0 || scene.renderType == 1) &&
         !model.appearance.materials.empty();
}

void SceneDrawGL(const Scene& scene) {
  if (scene.polygonCount == 0 || !scene.model) {
    DrawFrame(scene, nullptr, nullptr, 0);
    return;
  }
  const DrawSource src{*scene.model, scene.polygonCount, scene.concave};
  DrawFrame(scene, &src, scene.buffers.get(), scene.modelSerial);
}

void SceneFillBuffersGL(const Scene& scene) {
  if (!scene.buffers || scene.referenceDrawing || scene.polygonCount == 0 || !scene.model ||
      SceneDrawsAppearance(scene, *scene.model))
    return;
  if (scene.buffers->Bind(BufferDrawOf(scene), *scene.model, scene.polygonCount, scene.concave,
                          scene.modelSerial))
    scene.buffers->Unbind();
}

void SceneDrawModelGL(const Scene& scene, const PolygonModel& model, DrawBuffers* buffers,
                      uint64_t serial) {
  static const ConcaveTriangles kNone;
  const int32_t count = model.vertices.empty() ? 0 : model.PolygonCount();
  const DrawSource src{model, count, kNone};
  DrawFrame(scene, &src, buffers, serial);
}

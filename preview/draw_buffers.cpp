#include "preview/draw_buffers.h"

#define GL_GLEXT_PROTOTYPES 1
#include <GL/gl.h>
#include <GL/glext.h>

#include <algorithm>
#include <cstring>

#include "core/huge_pages.h"
#include "preview/scene.h"

namespace {

// The colour arguments: one colour for the model, or several.
struct Colours {
  bool anyObject = false;  // some polygon is drawn in the object colour
  bool varied = false;     // more than one colour
  Float3 own{0, 0, 0};     // the first polygon colour of its own
};

Colours ColoursOf(const PolygonModel& m, int32_t polygonCount) {
  Colours c;
  bool anyOwn = false;
  for (int32_t p = 0; p < polygonCount; ++p) {
    if (m.polyMaterial[p] < 0) {
      c.anyObject = true;
    } else if (!anyOwn) {
      anyOwn = true;
      c.own = m.polyColor[p];
    } else if (!(m.polyColor[p] == c.own)) {
      c.varied = true;
    }
  }
  if (c.anyObject && anyOwn) c.varied = true;
  return c;
}

// The concave triangles of polygon p, walked alongside the polygon loop.
class ConcaveWalk {
 public:
  explicit ConcaveWalk(const ConcaveTriangles& t) : t_(t) {}
  const int32_t* Of(int32_t p, uint32_t& corners) {
    while (k_ < t_.polygon.size() && t_.polygon[k_] < p) ++k_;
    if (k_ == t_.polygon.size() || t_.polygon[k_] != p) return nullptr;
    corners = t_.start[k_ + 1] - t_.start[k_];
    return t_.corner.data() + t_.start[k_];
  }

 private:
  const ConcaveTriangles& t_;
  size_t k_ = 0;
};

// Maps a buffer of the given size for writing; null when the driver
// refuses (out of memory).
void* MapNew(GLenum target, GLuint name, size_t bytes) {
  glBindBuffer(target, name);
  glBufferData(target, static_cast<GLsizeiptr>(bytes), nullptr, GL_STATIC_DRAW);
  if (bytes == 0) return nullptr;
  void* p = glMapBufferRange(target, 0, static_cast<GLsizeiptr>(bytes),
                             GL_MAP_WRITE_BIT | GL_MAP_INVALIDATE_BUFFER_BIT);
  // A software driver hands out plain memory: fewer page faults to fill it.
  if (p) AdviseHugePages(p, bytes);
  return p;
}

// Flat shading reads a triangle's normal and colour from its last corner
// only. A shared vertex takes those of the first polygon that needs it as
// the last corner; another polygon may use it too when its normal and
// colour are the same, else it gets a vertex of its own.
class Claims {
 public:
  // Holds nothing unless active (other layouts do not ask).
  Claims(const PolygonModel& m, bool active, bool haveNormals, const Float3& object)
      : m_(m),
        owner_(active ? m.vertices.size() : 0, -1),
        haveNormals_(haveNormals),
        object_(object) {}
  // 1: v is now p's; 0: v already serves p; -1: p needs a vertex of its own.
  int Take(uint32_t v, int32_t p) {
    int32_t& q = owner_[v];
    if (q < 0) {
      q = p;
      return 1;
    }
    if (q == p) return 0;
    return Normal(q) == Normal(p) && Colour(q) == Colour(p) ? 0 : -1;
  }
  Float3 Normal(int32_t p) const {
    return haveNormals_ ? m_.polygonNormals[p] : Float3{0.0f, 0.0f, 1.0f};
  }
  const Float3& Colour(int32_t p) const {
    return m_.polyMaterial[p] < 0 ? object_ : m_.polyColor[p];
  }

 private:
  const PolygonModel& m_;
  std::vector<int32_t> owner_;
  bool haveNormals_;
  Float3 object_;
};

}  // namespace

void DrawBuffers::Release() {
  const GLuint names[3] = {vbo_, fillIbo_, outlineIbo_};
  if (vbo_) glDeleteBuffers(3, names);
  Forget();
}

void DrawBuffers::Forget() {
  vbo_ = fillIbo_ = outlineIbo_ = 0;
  layout_ = Layout::kNone;
  serial_ = 0;
  fillCount_ = 0;
  segments_.clear();
  counts_.clear();
  offsets_.clear();
  segments_.shrink_to_fit();
  counts_.shrink_to_fit();
  offsets_.shrink_to_fit();
  bytes_ = 0;
}

bool DrawBuffers::Bind(const Scene& scene, const PolygonModel& model, int32_t polygonCount,
                       const ConcaveTriangles& concave, uint64_t serial) {
  const RenderState& s = scene.state;
  // Smooth shading reads the vertex normals; without them the immediate
  // drawing uses whatever normal is current, which no buffer can hold.
  if (s.smoothShade != s.normalArray) return false;
  if (s.smoothShade && model.vertexNormals.size() < model.vertices.size()) return false;
  const Float3 object{scene.object[0], scene.object[1], scene.object[2]};
  Layout want = Layout::kFlat;
  if (s.smoothShade) {
    // The colour question only needs asking again for another model.
    if (layout_ != Layout::kNone && serial_ == serial)
      want = colourArray_ ? Layout::kSmoothCorners : Layout::kSmoothShared;
    else
      want = ColoursOf(model, polygonCount).varied ? Layout::kSmoothCorners : Layout::kSmoothShared;
  }
  const bool same =
      vbo_ && serial_ == serial && layout_ == want && (!objectBaked_ || colour_ == object);
  if (!same) {
    // A fill that failed (too big for the driver) is not tried every frame.
    if (failedSerial_ == serial && failedLayout_ == want) return false;
    if (!Fill(scene, model, polygonCount, concave, want)) {
      Release();
      // A stopped fill is tried again by the next frame that wants it.
      if (!SceneCancelled(scene)) {
        failedSerial_ = serial;
        failedLayout_ = want;
      }
      return false;
    }
    serial_ = serial;
  }
  const GLsizei stride = static_cast<GLsizei>(colourArray_ ? 9 * sizeof(float) : 6 * sizeof(float));
  glBindBuffer(GL_ARRAY_BUFFER, vbo_);
  glEnableClientState(GL_VERTEX_ARRAY);
  glVertexPointer(3, GL_FLOAT, stride, nullptr);
  glEnableClientState(GL_NORMAL_ARRAY);
  glNormalPointer(GL_FLOAT, stride, reinterpret_cast<const void*>(3 * sizeof(float)));
  if (colourArray_) {
    glEnableClientState(GL_COLOR_ARRAY);
    glColorPointer(3, GL_FLOAT, stride, reinterpret_cast<const void*>(6 * sizeof(float)));
  } else {
    glDisableClientState(GL_COLOR_ARRAY);
  }
  // The diffuse colour comes from the colour, per vertex as the immediate
  // drawing sends it with every polygon.
  glColorMaterial(GL_FRONT_AND_BACK, GL_DIFFUSE);
  glEnable(GL_COLOR_MATERIAL);
  return true;
}

bool DrawBuffers::Fill(const Scene& scene, const PolygonModel& m, int32_t polygonCount,
                       const ConcaveTriangles& concave, Layout layout) {
  Release();
  const Colours colours = ColoursOf(m, polygonCount);
  const Float3 object{scene.object[0], scene.object[1], scene.object[2]};
  colourArray_ = colours.varied;
  objectBaked_ = colours.varied && colours.anyObject;
  // A single colour that is the object colour follows it without a refill.
  objectColour_ = !colours.varied && colours.anyObject;
  colour_ = colours.anyObject ? object : colours.own;

  const uint32_t nverts = static_cast<uint32_t>(m.vertices.size());
  const bool haveNormals = m.polygonNormals.size() >= static_cast<size_t>(polygonCount);
  const bool flat = layout == Layout::kFlat, corners = layout == Layout::kSmoothCorners;
  const Float3 up{0.0f, 0.0f, 1.0f}, black{0, 0, 0};

  // Counting pass: vertices, fill indices, outline indices.
  size_t records = corners ? 0 : nverts;
  size_t fillIdx = 0, outlineIdx = 0;
  bool needOutline = false;
  {
    Claims claims(m, flat, haveNormals, object);
    ConcaveWalk walk(concave);
    for (int32_t p = 0; p < polygonCount; ++p) {
      if ((p & (kDrawSlice - 1)) == 0 && SceneCancelled(scene)) return false;
      const int32_t n = m.nv(p);
      const int32_t* idx = m.index(p);
      uint32_t k = 0;
      int32_t first = -1;
      for (int32_t i = 0; i < n; ++i) {
        if (static_cast<uint32_t>(idx[i]) >= nverts) continue;
        if (k++ == 0) first = idx[i];
      }
      uint32_t tc = 0;
      const int32_t* tri = n > 3 ? walk.Of(p, tc) : nullptr;
      if (corners) records += k;
      if (k < 3) continue;  // nothing is drawn of it
      tc -= tc % 3;
      if (flat) {
        records += claims.Take(static_cast<uint32_t>(first), p) < 0;
        for (uint32_t t = 2; tri && t < tc; t += 3) {
          const uint32_t v = static_cast<uint32_t>(tri[t]);
          records += claims.Take(v < nverts ? v : static_cast<uint32_t>(first), p) < 0;
        }
      }
      if (corners && tri) records += tc;
      fillIdx += tri ? tc : 3 * (k - 2);
      outlineIdx += k == 3 ? 3 : k;
      needOutline |= k > 3;
    }
  }
  if (records > 0xffffffffu || fillIdx > 0xffffffffu || outlineIdx > 0xffffffffu) return false;

  GLuint names[3];
  glGenBuffers(3, names);
  vbo_ = names[0];
  fillIbo_ = names[1];
  outlineIbo_ = names[2];
  const size_t floats = colourArray_ ? 9 : 6;
  float* rec = static_cast<float*>(MapNew(GL_ARRAY_BUFFER, vbo_, records * floats * sizeof(float)));
  uint32_t* fillOut =
      static_cast<uint32_t*>(MapNew(GL_ELEMENT_ARRAY_BUFFER, fillIbo_, fillIdx * sizeof(uint32_t)));
  if ((records && !rec) || (fillIdx && !fillOut)) {
    if (rec) glUnmapBuffer(GL_ARRAY_BUFFER);
    if (fillOut) glUnmapBuffer(GL_ELEMENT_ARRAY_BUFFER);
    glBindBuffer(GL_ARRAY_BUFFER, 0);
    glBindBuffer(GL_ELEMENT_ARRAY_BUFFER, 0);
    return false;
  }
  std::vector<uint32_t> outline;
  if (needOutline) outline.reserve(outlineIdx);

  uint32_t next = 0;  // next record
  const auto write = [&](uint32_t r, const Float3& pos, const Float3& normal,
                         const Float3& colour) {
    float* at = rec + static_cast<size_t>(r) * floats;
    std::memcpy(at, &pos, sizeof(Float3));
    std::memcpy(at + 3, &normal, sizeof(Float3));
    if (floats == 9) std::memcpy(at + 6, &colour, sizeof(Float3));
  };
  // The counting above sized the buffer; should the two passes ever
  // disagree, nothing is written past its end and the buffers are dropped.
  bool overflow = false;
  const auto put = [&](const Float3& pos, const Float3& normal, const Float3& colour) {
    if (next >= records) {
      overflow = true;
      return uint32_t{0};
    }
    write(next, pos, normal, colour);
    return next++;
  };
  if (!corners) {
    for (uint32_t v = 0; v < nverts; ++v) put(m.vertices[v], flat ? up : m.vertexNormals[v], black);
  }
  Claims claims(m, flat, haveNormals, object);
  // The vertex that ends polygon p's triangles at vertex v, in the flat
  // layout: v itself when it can carry p's normal and colour.
  const auto provokingOf = [&](uint32_t v, int32_t p) -> uint32_t {
    const int taken = claims.Take(v, p);
    if (taken == 0) return v;
    if (taken > 0) {
      write(v, m.vertices[v], claims.Normal(p), claims.Colour(p));
      return v;
    }
    return put(m.vertices[v], claims.Normal(p), claims.Colour(p));
  };

  ConcaveWalk walk(concave);
  std::vector<uint32_t> c;  // the polygon's valid corners as records
  size_t f = 0;
  for (int32_t p = 0; p < polygonCount; ++p) {
    if ((p & (kDrawSlice - 1)) == 0 && SceneCancelled(scene)) {
      overflow = true;  // stopped: the buffers are dropped below
      break;
    }
    const int32_t n = m.nv(p);
    const int32_t* idx = m.index(p);
    const Float3& colour = m.polyMaterial[p] < 0 ? object : m.polyColor[p];
    c.clear();
    for (int32_t i = 0; i < n; ++i) {
      const uint32_t v = static_cast<uint32_t>(idx[i]);
      if (v >= nverts) continue;  // models from outside the pipeline
      c.push_back(corners ? put(m.vertices[v], m.vertexNormals[v], colour) : v);
    }
    const uint32_t k = static_cast<uint32_t>(c.size());
    uint32_t tc = 0;
    const int32_t* tri = n > 3 ? walk.Of(p, tc) : nullptr;
    if (k < 3) continue;  // nothing is drawn of it
    tc -= tc % 3;
    if (f + (tri ? tc : 3 * (k - 2)) > fillIdx) {
      overflow = true;
      break;
    }
    const uint32_t provoking = flat ? provokingOf(c[0], p) : c[0];
    if (tri) {
      for (uint32_t t = 0; t + 2 < tc; t += 3) {
        for (uint32_t j = 0; j < 3; ++j) {
          const uint32_t v = static_cast<uint32_t>(tri[t + j]);
          const uint32_t safe = v < nverts ? v : c[0];
          if (corners)
            fillOut[f++] = put(m.vertices[safe], m.vertexNormals[safe], colour);
          else if (flat && j == 2)
            fillOut[f++] = provokingOf(safe, p);
          else
            fillOut[f++] = safe;
        }
      }
    } else {
      for (uint32_t i = 0; i + 2 < k; ++i) {
        fillOut[f++] = c[i + 1];
        fillOut[f++] = c[i + 2];
        fillOut[f++] = provoking;
      }
    }
    if (!needOutline) continue;
    if (k == 3) {
      outline.insert(outline.end(), {c[1], c[2], provoking});
    } else {
      outline.push_back(provoking);
      outline.insert(outline.end(), c.begin() + 1, c.end());
    }
  }
  glUnmapBuffer(GL_ELEMENT_ARRAY_BUFFER);
  glUnmapBuffer(GL_ARRAY_BUFFER);
  fillCount_ = static_cast<uint32_t>(f);
  // Every index was checked against the vertex list above, and every
  // record counted before the buffer was sized.
  if (overflow || next != records || f != fillIdx ||
      outline.size() != (needOutline ? outlineIdx : 0)) {
    glBindBuffer(GL_ARRAY_BUFFER, 0);
    glBindBuffer(GL_ELEMENT_ARRAY_BUFFER, 0);
    return false;
  }

  if (needOutline) {
    // Runs of triangles become one draw each; runs of polygons one
    // multi-draw of GL_POLYGON each.
    size_t at = 0;
    for (int32_t p = 0; p < polygonCount; ++p) {
      const int32_t n = m.nv(p);
      const int32_t* idx = m.index(p);
      uint32_t k = 0;
      for (int32_t i = 0; i < n; ++i) k += static_cast<uint32_t>(idx[i]) < nverts;
      if (k < 3) continue;
      const bool poly = k > 3;
      if (segments_.empty() || segments_.back().polygons != poly)
        segments_.push_back(
            {poly, poly ? static_cast<uint32_t>(counts_.size()) : static_cast<uint32_t>(at), 0});
      Segment& sg = segments_.back();
      if (poly) {
        counts_.push_back(static_cast<int>(k));
        offsets_.push_back(reinterpret_cast<const void*>(at * sizeof(uint32_t)));
        ++sg.count;
      } else {
        sg.count += 3;
      }
      at += k;
    }
    glBindBuffer(GL_ELEMENT_ARRAY_BUFFER, outlineIbo_);
    glBufferData(GL_ELEMENT_ARRAY_BUFFER,
                 static_cast<GLsizeiptr>(outline.size() * sizeof(uint32_t)), outline.data(),
                 GL_STATIC_DRAW);
  }
  glBindBuffer(GL_ELEMENT_ARRAY_BUFFER, 0);
  bytes_ = records * floats * sizeof(float) + (fillIdx + outline.size()) * sizeof(uint32_t);
  layout_ = layout;
  return true;
}

void DrawBuffers::Pass(const Scene& scene, bool withColour, bool fill) {
  if (withColour && !colourArray_) {
    const GLfloat own[3] = {colour_.x, colour_.y, colour_.z};
    glColor3fv(objectColour_ ? scene.object : own);
  }
  // Triangles in slices, so that a stop request is seen between them; the
  // same triangles in the same order give the same pixels.
  const auto triangles = [&](uint32_t first, uint32_t count) {
    constexpr uint32_t kSlice = 3 * static_cast<uint32_t>(kDrawSlice);
    for (uint32_t at = 0; at < count && !SceneCancelled(scene); at += kSlice)
      glDrawElements(GL_TRIANGLES, static_cast<GLsizei>(std::min(kSlice, count - at)),
                     GL_UNSIGNED_INT,
                     reinterpret_cast<const void*>((first + at) * sizeof(uint32_t)));
  };
  if (fill || segments_.empty()) {
    glBindBuffer(GL_ELEMENT_ARRAY_BUFFER, fillIbo_);
    triangles(0, fillCount_);
    return;
  }
  glBindBuffer(GL_ELEMENT_ARRAY_BUFFER, outlineIbo_);
  for (const Segment& s : segments_) {
    if (s.polygons) {
      for (uint32_t at = 0; at < s.count && !SceneCancelled(scene);
           at += static_cast<uint32_t>(kDrawSlice))
        glMultiDrawElements(GL_POLYGON, counts_.data() + s.first + at, GL_UNSIGNED_INT,
                            offsets_.data() + s.first + at,
                            static_cast<GLsizei>(std::min<uint32_t>(kDrawSlice, s.count - at)));
    } else {
      triangles(s.first, s.count);
    }
  }
}

void DrawBuffers::Unbind() {
  glDisable(GL_COLOR_MATERIAL);
  glDisableClientState(GL_COLOR_ARRAY);
  glDisableClientState(GL_NORMAL_ARRAY);
  glDisableClientState(GL_VERTEX_ARRAY);
  glBindBuffer(GL_ARRAY_BUFFER, 0);
  glBindBuffer(GL_ELEMENT_ARRAY_BUFFER, 0);
}

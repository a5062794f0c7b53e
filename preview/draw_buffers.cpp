#include "preview/draw_buffers.h"

#define GL_GLEXT_PROTOTYPES 1
#include <GL/gl.h>
#include <GL/glext.h>

#include <algorithm>
#include <cstring>

#include "core/huge_pages.h"

namespace {

// The colour arguments: one colour for the model, or several.
struct Colours {
  bool anyObject = false;  // some polygon is drawn in the object colour
  bool varied = false;     // more than one colour
  Float3 own{0, 0, 0};     // the first polygon colour of its own
  bool stopped = false;    // the drawing was stopped: no answer
};

Colours ColoursOf(const DrawControl& control, const PolygonModel& m, int32_t polygonCount) {
  Colours c;
  bool anyOwn = false;
  for (int32_t p = 0; p < polygonCount; ++p) {
    if ((p & (kDrawSlice - 1)) == 0 && DrawCancelled(control)) {
      c.stopped = true;
      return c;
    }
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

// Whether some polygon keeps more than three valid corners: only then do
// outlines need indices of their own. False as well when stopped.
bool AnyPolygon(const DrawControl& control, const PolygonModel& m, int32_t polygonCount,
                bool& stopped) {
  const uint32_t nverts = static_cast<uint32_t>(m.vertices.size());
  for (int32_t p = 0; p < polygonCount; ++p) {
    if ((p & (kDrawSlice - 1)) == 0 && (stopped = DrawCancelled(control))) return false;
    const int32_t n = m.nv(p);
    if (n <= 3) continue;
    const int32_t* idx = m.index(p);
    int32_t k = 0;
    for (int32_t i = 0; i < n && k <= 3; ++i) k += static_cast<uint32_t>(idx[i]) < nverts;
    if (k > 3) return true;
  }
  return false;
}

constexpr uint32_t kWindow = 1u << 16;    // records a 16-bit index reaches
constexpr uint32_t kSlots = 2 * kWindow;  // hash slots: never more than half full

// Equal to the bit: a vertex stored once must give every corner exactly
// what its own vertex would have.
bool Same(const Float3& a, const Float3& b) { return std::memcmp(&a, &b, sizeof(Float3)) == 0; }

uint32_t Mix(uint32_t h, const Float3& v) {
  uint32_t w[3];
  std::memcpy(w, &v, sizeof w);
  for (uint32_t x : w) {
    h = (h ^ x) * 0x9E3779B1u;
    h ^= h >> 16;
  }
  return h;
}

}  // namespace

// Lays out the records and indices of one fill, window by window. It runs
// twice, to count and then (buffers mapped) to write, and takes the same
// decisions both times.
class DrawBuffers::Builder {
 public:
  struct Out {
    float* records = nullptr;  // null: counting only
    uint16_t* fill = nullptr;
    uint16_t* outline = nullptr;
    uint32_t* fill32 = nullptr;  // the model's own arrays: vertex numbers
    uint32_t* outline32 = nullptr;
    size_t recordCap = 0, fillCap = 0, outlineCap = 0;
  };

  Builder(const PolygonModel& m, Layout layout, bool lit, bool colourArray, const Float3& object,
          bool haveNormals, bool outlines)
      : m_(m),
        flat_(layout == Layout::kFlat),
        direct_(layout == Layout::kModelArrays),
        lit_(lit),
        colourArray_(colourArray),
        haveNormals_(haveNormals),
        outlines_(outlines),
        object_(object),
        posSlots_(flat_ ? kSlots : 0),
        fullSlots_(direct_ ? 0 : kSlots) {
    if (!direct_) local_.reserve(kWindow);
  }

  size_t records = 0, fillIdx = 0, outlineIdx = 0;
  std::vector<Window> windows;

  // False when stopped, or when one polygon needs more records than a
  // window holds. Segments and counts go to into when writing.
  bool Run(const DrawControl& control, int32_t polygonCount, const ConcaveTriangles& concave,
           Out out, DrawBuffers* into) {
    out_ = out;
    const uint32_t nverts = static_cast<uint32_t>(m_.vertices.size());
    const Float3 up{0.0f, 0.0f, 1.0f};
    StartWindow();
    ConcaveWalk walk(concave);
    std::vector<uint32_t> cv, c;  // the polygon's valid corners: vertices, records
    for (int32_t p = 0; p < polygonCount; ++p) {
      if ((p & (kDrawSlice - 1)) == 0 && DrawCancelled(control)) return false;
      const int32_t n = m_.nv(p);
      const int32_t* idx = m_.index(p);
      cv.clear();
      for (int32_t i = 0; i < n; ++i)
        if (static_cast<uint32_t>(idx[i]) < nverts) cv.push_back(static_cast<uint32_t>(idx[i]));
      const uint32_t k = static_cast<uint32_t>(cv.size());
      uint32_t tc = 0;
      const int32_t* tri = n > 3 ? walk.Of(p, tc) : nullptr;
      if (k < 3) continue;  // nothing is drawn of it
      tc -= tc % 3;
      // Each corner and each triangle's last corner adds at most one record.
      const size_t worst = size_t{k} + tc;
      if (!direct_ && worst > kWindow) return false;
      if (!direct_ && local_.size() + worst > kWindow) StartWindow();
      const Float3 normal = lit_ && haveNormals_ ? m_.polygonNormals[p] : up;
      const Float3& colour = m_.polyMaterial[p] < 0 ? object_ : m_.polyColor[p];
      // Flat shading fills a triangulated polygon from its triangles alone.
      const bool corners = !flat_ || !tri || outlines_;
      c.clear();
      uint32_t provoking = 0;
      if (corners) {
        for (uint32_t i = 0; i < k; ++i)
          c.push_back(!flat_ ? Smooth(cv[i], colour) : i ? Position(cv[i]) : 0);
        provoking = flat_ ? Provoking(cv[0], normal, colour) : c[0];
      }
      if (tri) {
        for (uint32_t t = 0; t < tc; ++t) {
          const uint32_t v = static_cast<uint32_t>(tri[t]);
          const uint32_t safe = v < nverts ? v : cv[0];
          PutFill(!flat_       ? Smooth(safe, colour)
                  : t % 3 == 2 ? Provoking(safe, normal, colour)
                               : Position(safe));
        }
      } else {
        for (uint32_t i = 0; i + 2 < k; ++i) {
          PutFill(c[i + 1]);
          PutFill(c[i + 2]);
          PutFill(provoking);
        }
      }
      if (!outlines_) continue;
      const bool poly = k > 3;
      if (into) {
        std::vector<Segment>& sg = into->segments_;
        const uint32_t w = static_cast<uint32_t>(windows.size() - 1);
        if (sg.empty() || sg.back().polygons != poly || sg.back().window != w)
          sg.push_back({w, poly, static_cast<uint32_t>(poly ? into->counts_.size() : outlineIdx), 0,
                        static_cast<uint32_t>(outlineIdx)});
        if (poly) {
          into->counts_.push_back(static_cast<int>(k));
          ++sg.back().count;
        } else {
          sg.back().count += 3;
        }
      }
      if (!poly) {
        PutOutline(c[1]);
        PutOutline(c[2]);
        PutOutline(provoking);
      } else {
        PutOutline(provoking);
        for (uint32_t i = 1; i < k; ++i) PutOutline(c[i]);
      }
    }
    return !overflow_;
  }

 private:
  struct Record {
    Float3 pos, normal, colour;
    bool claimed;  // flat: normal and colour belong to a polygon
  };

  void StartWindow() {
    if (!windows.empty() && local_.empty()) return;
    windows.push_back({static_cast<uint32_t>(records), static_cast<uint32_t>(fillIdx), 0});
    local_.clear();
    std::fill(posSlots_.begin(), posSlots_.end(), 0u);
    std::fill(fullSlots_.begin(), fullSlots_.end(), 0u);
  }

  uint32_t NewRecord(const Float3& pos, const Float3& normal, const Float3& colour, bool claimed) {
    const uint32_t r = static_cast<uint32_t>(local_.size());
    local_.push_back({pos, normal, colour, claimed});
    ++records;
    Write(r);
    return r;
  }

  void Write(uint32_t r) {
    if (!out_.records) return;
    const size_t at = size_t{windows.back().base} + r;
    if (at >= out_.recordCap) {
      overflow_ = true;
      return;
    }
    const Record& rec = local_[r];
    float* f = out_.records + at * (3 + 3 * lit_ + 3 * colourArray_);
    std::memcpy(f, &rec.pos, sizeof(Float3));
    if (lit_) std::memcpy(f + 3, &rec.normal, sizeof(Float3));
    if (colourArray_) std::memcpy(f + 3 + 3 * lit_, &rec.colour, sizeof(Float3));
  }

  void PutFill(uint32_t r) {
    if (out_.fill || out_.fill32) {
      if (fillIdx >= out_.fillCap)
        overflow_ = true;
      else if (out_.fill)
        out_.fill[fillIdx] = static_cast<uint16_t>(r);
      else
        out_.fill32[fillIdx] = r;
    }
    ++fillIdx;
    ++windows.back().indexCount;
  }

  void PutOutline(uint32_t r) {
    if (out_.outline || out_.outline32) {
      if (outlineIdx >= out_.outlineCap)
        overflow_ = true;
      else if (out_.outline)
        out_.outline[outlineIdx] = static_cast<uint16_t>(r);
      else
        out_.outline32[outlineIdx] = r;
    }
    ++outlineIdx;
  }

  // The slot of the first record at pos in the flat layout, or the empty
  // slot where it goes.
  uint32_t PositionSlot(const Float3& pos) const {
    for (uint32_t h = Mix(0, pos) & (kSlots - 1);; h = (h + 1) & (kSlots - 1)) {
      const uint32_t e = posSlots_[h];
      if (e == 0 || Same(local_[e - 1].pos, pos)) return h;
    }
  }

  // Flat layout: a record at v's position, as a corner that is not last.
  uint32_t Position(uint32_t v) {
    const Float3& pos = m_.vertices[v];
    const uint32_t h = PositionSlot(pos);
    if (!posSlots_[h]) posSlots_[h] = NewRecord(pos, {0.0f, 0.0f, 1.0f}, {0, 0, 0}, false) + 1;
    return posSlots_[h] - 1;
  }

  // Flat layout: a record at v's position carrying a polygon's normal and
  // colour, as the last corner of its triangles, where flat shading reads
  // them. The first record at the position takes them unless another
  // polygon's are there already.
  uint32_t Provoking(uint32_t v, const Float3& normal, const Float3& colour) {
    const Float3& pos = m_.vertices[v];
    const Float3 col = colourArray_ ? colour : Float3{0, 0, 0};
    uint32_t h = Mix(Mix(Mix(1, pos), normal), col) & (kSlots - 1);
    for (;; h = (h + 1) & (kSlots - 1)) {
      const uint32_t e = fullSlots_[h];
      if (e == 0) break;
      const Record& r = local_[e - 1];
      if (Same(r.pos, pos) && Same(r.normal, normal) && Same(r.colour, col)) return e - 1;
    }
    const uint32_t ps = PositionSlot(pos);
    uint32_t r;
    if (posSlots_[ps] && !local_[posSlots_[ps] - 1].claimed) {
      r = posSlots_[ps] - 1;
      local_[r] = {pos, normal, col, true};
      Write(r);
    } else {
      r = NewRecord(pos, normal, col, true);
      if (!posSlots_[ps]) posSlots_[ps] = r + 1;
    }
    fullSlots_[h] = r + 1;
    return r;
  }

  // Smooth layouts: the record of v's position and normal (and colour);
  // in one colour the model's own vertex.
  uint32_t Smooth(uint32_t v, const Float3& colour) {
    if (direct_) return v;
    const Float3& pos = m_.vertices[v];
    const Float3 normal = lit_ ? m_.vertexNormals[v] : Float3{0.0f, 0.0f, 1.0f};
    const Float3 col = colourArray_ ? colour : Float3{0, 0, 0};
    for (uint32_t h = Mix(Mix(Mix(1, pos), normal), col) & (kSlots - 1);;
         h = (h + 1) & (kSlots - 1)) {
      const uint32_t e = fullSlots_[h];
      if (e == 0) {
        fullSlots_[h] = NewRecord(pos, normal, col, true) + 1;
        return fullSlots_[h] - 1;
      }
      const Record& r = local_[e - 1];
      if (Same(r.pos, pos) && Same(r.normal, normal) && Same(r.colour, col)) return e - 1;
    }
  }

  const PolygonModel& m_;
  const bool flat_, direct_, lit_, colourArray_, haveNormals_, outlines_;
  const Float3 object_;
  Out out_;
  bool overflow_ = false;
  std::vector<Record> local_;  // the current window's records
  // Record + 1 per slot, 0 empty: by position (flat), by every value.
  std::vector<uint32_t> posSlots_, fullSlots_;
};

void DrawBuffers::Release() {
  const GLuint names[3] = {vbo_, fillIbo_, outlineIbo_};
  if (vbo_ || fillIbo_ || outlineIbo_) glDeleteBuffers(3, names);  // zero names are skipped
  Forget();
}

void DrawBuffers::Forget() {
  vbo_ = fillIbo_ = outlineIbo_ = 0;
  layout_ = Layout::kNone;
  serial_ = 0;
  polygons_ = false;
  outlineBytes_ = 0;
  windows_.clear();
  segments_.clear();
  counts_.clear();
  offsets_.clear();
  windows_.shrink_to_fit();
  segments_.shrink_to_fit();
  counts_.shrink_to_fit();
  offsets_.shrink_to_fit();
  bytes_ = 0;
}

void DrawBuffers::DropOutlines() {
  glDeleteBuffers(1, &outlineIbo_);
  outlineIbo_ = 0;
  bytes_ -= outlineBytes_;
  outlineBytes_ = 0;
  segments_.clear();
  counts_.clear();
  offsets_.clear();
  segments_.shrink_to_fit();
  counts_.shrink_to_fit();
  offsets_.shrink_to_fit();
}

bool DrawBuffers::Bind(const BufferDraw& draw, const PolygonModel& model, int32_t polygonCount,
                       const ConcaveTriangles& concave, uint64_t serial) {
  const RenderState& s = draw.state;
  // Smooth shading reads the vertex normals; without them the immediate
  // drawing uses whatever normal is current, which no buffer can hold.
  if (s.smoothShade != s.normalArray) return false;
  if (s.smoothShade && model.vertexNormals.size() < model.vertices.size()) return false;
  const Float3 object = draw.object;
  // The colour question only needs asking again for another model.
  bool varied = colourArray_;
  if (layout_ == Layout::kNone || serial_ != serial) {
    const Colours c = ColoursOf(draw.control, model, polygonCount);
    if (c.stopped) return false;
    varied = c.varied;
  }
  // Without lighting no normal is read, and one colour shades flat and
  // smooth alike: the model's own positions serve.
  const bool lit = s.lighting;
  const Layout want = !varied && (s.smoothShade || !lit) ? Layout::kModelArrays
                      : s.smoothShade                    ? Layout::kCorners
                                                         : Layout::kFlat;
  // The passes that do not fill draw outlines (the hidden-line type's
  // second pass, lines, points).
  const bool outlines = draw.renderType == 2 || s.polygonMode != 0;
  const bool same = layout_ != Layout::kNone && serial_ == serial && layout_ == want &&
                    (want == Layout::kModelArrays || lit_ == lit) &&
                    (!objectBaked_ || colour_ == object) &&
                    (!outlines || !polygons_ || outlineIbo_);
  if (!same) {
    // A fill that failed (too big for the driver) is not tried every frame.
    if (failedSerial_ == serial && failedLayout_ == want) return false;
    if (!Fill(draw, model, polygonCount, concave, want, outlines)) {
      Release();
      // A stopped fill is tried again by the next frame that wants it.
      if (!DrawCancelled(draw.control)) {
        failedSerial_ = serial;
        failedLayout_ = want;
      }
      return false;
    }
    serial_ = serial;
  } else if (!outlines && outlineIbo_) {
    DropOutlines();
  }
  lit_ = lit;
  vertices_ = model.vertices.data();
  normals_ = model.vertexNormals.data();
  glEnableClientState(GL_VERTEX_ARRAY);
  if (lit)
    glEnableClientState(GL_NORMAL_ARRAY);
  else
    glDisableClientState(GL_NORMAL_ARRAY);
  if (colourArray_)
    glEnableClientState(GL_COLOR_ARRAY);
  else
    glDisableClientState(GL_COLOR_ARRAY);
  if (!windows_.empty()) Pointers(0);
  // The diffuse colour comes from the colour, per vertex as the immediate
  // drawing sends it with every polygon.
  glColorMaterial(GL_FRONT_AND_BACK, GL_DIFFUSE);
  glEnable(GL_COLOR_MATERIAL);
  return true;
}

void DrawBuffers::Pointers(uint32_t w) const {
  if (layout_ == Layout::kModelArrays) {
    glBindBuffer(GL_ARRAY_BUFFER, 0);
    glVertexPointer(3, GL_FLOAT, 0, vertices_);
    if (lit_) glNormalPointer(GL_FLOAT, 0, normals_);
    return;
  }
  glBindBuffer(GL_ARRAY_BUFFER, vbo_);
  const GLsizei stride = static_cast<GLsizei>(stride_);
  const size_t base = size_t{windows_[w].base} * stride_;
  const auto at = [&](size_t floats) {
    return reinterpret_cast<const void*>(base + floats * sizeof(float));
  };
  glVertexPointer(3, GL_FLOAT, stride, at(0));
  if (lit_) glNormalPointer(GL_FLOAT, stride, at(3));
  if (colourArray_) glColorPointer(3, GL_FLOAT, stride, at(lit_ ? 6 : 3));
}

bool DrawBuffers::Fill(const BufferDraw& draw, const PolygonModel& m, int32_t polygonCount,
                       const ConcaveTriangles& concave, Layout layout, bool outlines) {
  Release();
  const Colours colours = ColoursOf(draw.control, m, polygonCount);
  if (colours.stopped) return false;
  const Float3 object = draw.object;
  colourArray_ = colours.varied;
  objectBaked_ = colours.varied && colours.anyObject;
  // A single colour that is the object colour follows it without a refill.
  objectColour_ = !colours.varied && colours.anyObject;
  colour_ = colours.anyObject ? object : colours.own;
  bool stopped = false;
  polygons_ = AnyPolygon(draw.control, m, polygonCount, stopped);
  if (stopped) return false;
  // The model's own positions and vertex normals: no copy of them, and
  // indices as vertex numbers.
  const bool direct = layout == Layout::kModelArrays;
  indexSize_ = direct ? sizeof(uint32_t) : sizeof(uint16_t);
  outlines = outlines && polygons_;
  lit_ = draw.state.lighting;
  stride_ = (3 + 3 * lit_ + 3 * colourArray_) * sizeof(float);
  const bool haveNormals = m.polygonNormals.size() >= static_cast<size_t>(polygonCount);

  // Counting run: records and indices, window by window.
  Builder count(m, layout, lit_, colourArray_, object, haveNormals, outlines);
  if (!count.Run(draw.control, polygonCount, concave, {}, nullptr)) return false;
  if (count.records > 0xffffffffu || count.fillIdx > 0xffffffffu || count.outlineIdx > 0xffffffffu)
    return false;

  GLuint names[3] = {0, 0, 0};
  glGenBuffers(outlines ? 3 : 2, names);
  vbo_ = names[0];
  fillIbo_ = names[1];
  outlineIbo_ = names[2];
  Builder::Out out;
  out.recordCap = count.records;
  out.fillCap = count.fillIdx;
  out.outlineCap = outlines ? count.outlineIdx : 0;
  void* fill = nullptr;
  void* outline = nullptr;
  bool ok;
  {
    // The driver clears what it hands out: on a big model that takes long
    // and reads nothing of the model, which its owner may take meanwhile.
    DrawAwayFromModel away(draw.control);
    out.records = static_cast<float*>(MapNew(GL_ARRAY_BUFFER, vbo_, out.recordCap * stride_));
    fill = MapNew(GL_ELEMENT_ARRAY_BUFFER, fillIbo_, out.fillCap * indexSize_);
    ok = (out.records || !out.recordCap) && (fill || !out.fillCap);
    if (ok && outlines) {
      outline = MapNew(GL_ELEMENT_ARRAY_BUFFER, outlineIbo_, out.outlineCap * indexSize_);
      ok = outline || !out.outlineCap;
    }
  }
  // Nothing of the model is read once it has been taken.
  if (DrawCancelled(draw.control)) ok = false;
  // Nothing is written where a buffer is empty: no null pointer counts as
  // "counting only" then.
  static float noRecord;
  static uint32_t noIndex[1];
  if (!fill) fill = noIndex;
  if (outlines && !outline) outline = noIndex;
  if (!out.records) out.records = &noRecord;
  if (direct) {
    out.fill32 = static_cast<uint32_t*>(fill);
    out.outline32 = static_cast<uint32_t*>(outline);
  } else {
    out.fill = static_cast<uint16_t*>(fill);
    out.outline = static_cast<uint16_t*>(outline);
  }
  // Writing run: the same decisions, now into the mapped buffers. Should
  // the two runs ever disagree, nothing is written past a buffer's end and
  // the buffers are dropped.
  Builder write(m, layout, lit_, colourArray_, object, haveNormals, outlines);
  if (ok) {
    ok = write.Run(draw.control, polygonCount, concave, out, this) &&
         write.records == count.records && write.fillIdx == count.fillIdx &&
         write.outlineIdx == count.outlineIdx;
  }
  if (out.recordCap) {
    glBindBuffer(GL_ARRAY_BUFFER, vbo_);
    glUnmapBuffer(GL_ARRAY_BUFFER);
  }
  if (out.fillCap) {
    glBindBuffer(GL_ELEMENT_ARRAY_BUFFER, fillIbo_);
    glUnmapBuffer(GL_ELEMENT_ARRAY_BUFFER);
  }
  if (outlines && out.outlineCap) {
    glBindBuffer(GL_ELEMENT_ARRAY_BUFFER, outlineIbo_);
    glUnmapBuffer(GL_ELEMENT_ARRAY_BUFFER);
  }
  glBindBuffer(GL_ARRAY_BUFFER, 0);
  glBindBuffer(GL_ELEMENT_ARRAY_BUFFER, 0);
  if (!ok) {
    segments_.clear();
    counts_.clear();
    return false;
  }
  windows_ = std::move(write.windows);
  outlineBytes_ = out.outlineCap * indexSize_;
  bytes_ = out.recordCap * stride_ + out.fillCap * indexSize_ + outlineBytes_;
  layout_ = layout;
  return true;
}

void DrawBuffers::Pass(const BufferDraw& draw, bool withColour, bool fill) {
  if (withColour && !colourArray_) {
    const Float3& c = objectColour_ ? draw.object : colour_;
    const GLfloat rgb[3] = {c.x, c.y, c.z};
    glColor3fv(rgb);
  }
  const GLenum type = indexSize_ == sizeof(uint16_t) ? GL_UNSIGNED_SHORT : GL_UNSIGNED_INT;
  // Triangles in slices, so that a stop request is seen between them; the
  // same triangles in the same order give the same pixels.
  const auto triangles = [&](uint32_t first, uint32_t count) {
    constexpr uint32_t kSlice = 3 * static_cast<uint32_t>(kDrawSlice);
    for (uint32_t at = 0; at < count && DrawNextSlice(draw.control); at += kSlice)
      glDrawElements(GL_TRIANGLES, static_cast<GLsizei>(std::min(kSlice, count - at)), type,
                     reinterpret_cast<const void*>(size_t{first + at} * indexSize_));
  };
  if (fill || segments_.empty()) {
    // Outlines of polygons are never drawn as their triangles: Bind keeps
    // their indices whenever the render type draws outlines.
    if (!fill && polygons_) return;
    glBindBuffer(GL_ELEMENT_ARRAY_BUFFER, fillIbo_);
    for (uint32_t w = 0; w < windows_.size(); ++w) {
      if (windows_[w].indexCount == 0) continue;
      Pointers(w);
      triangles(windows_[w].firstIndex, windows_[w].indexCount);
    }
    return;
  }
  glBindBuffer(GL_ELEMENT_ARRAY_BUFFER, outlineIbo_);
  uint32_t pointed = ~0u;
  for (const Segment& s : segments_) {
    if (s.window != pointed) {
      Pointers(s.window);
      pointed = s.window;
    }
    if (!s.polygons) {
      triangles(s.first, s.count);
      continue;
    }
    size_t start = s.start;  // outline index of the slice's first polygon
    for (uint32_t at = 0; at < s.count && DrawNextSlice(draw.control);
         at += static_cast<uint32_t>(kDrawSlice)) {
      const uint32_t n = std::min<uint32_t>(kDrawSlice, s.count - at);
      const int* counts = counts_.data() + s.first + at;
      offsets_.resize(n);
      for (uint32_t i = 0; i < n; ++i) {
        offsets_[i] = reinterpret_cast<const void*>(start * indexSize_);
        start += static_cast<size_t>(counts[i]);
      }
      glMultiDrawElements(GL_POLYGON, counts, type, offsets_.data(), static_cast<GLsizei>(n));
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

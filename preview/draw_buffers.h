// A model's vertex data in GL buffer objects: filled once per model and
// vertex layout, then each pass is one or a few draw calls. The layouts give
// every vertex the values the immediate-mode drawing would have sent, so
// the pixels stay those of the one-primitive-per-polygon drawing:
// - flat shading: a vertex per position, plus one per polygon (and per
//   concave triangle) that carries the polygon's normal and colour and is
//   the last corner of each of its triangles, where flat shading reads them;
//   only the last corner's normal and colour are read, so every other
//   corner at a position shares one vertex;
// - one colour, shaded smooth or unlit (flat and smooth then look the
//   same): the model's own positions and vertex normals, read from its
//   arrays at each draw (no copy), with indices as vertex numbers;
// - smooth shading in several colours: a vertex per distinct position,
//   normal and colour of a corner.
// Without lighting no normal is read, and the copied layouts hold none.
// In the copied layouts the polygons go in runs (windows) whose vertices
// lie within 65,536 of the run's first, so that indices take 16 bits; a
// vertex used by two runs is stored in both. A polygon with more corners
// than a window holds makes the flat and several-colour layouts fail: the
// caller draws without buffers.
// Triangles are sent as (1, 2, 0) and polygons as the fan (i+1, i+2, 0), the
// order in which the driver splits a polygon. Outlines of polygons with more
// than three corners are drawn as polygons, so inner edges stay hidden; their
// indices are only kept while the render type draws outlines.
#pragma once

#include <cstdint>
#include <vector>

#include "core/model.h"
#include "mesh/triangulate.h"
#include "preview/draw_control.h"

// The fixed-function state a render type leaves behind; types 2 and 3 keep
// some fields of the previous type.
struct RenderState {
  bool lighting = true;
  int polygonMode = 0;  // 0 fill, 1 line, 2 point
  bool smoothShade = false;
  bool normalArray = false;
  bool normalPerPolygon = true;
};

// What the buffers draw: the render state and type, the object colour,
// and the control that stops the drawing part way.
struct BufferDraw {
  RenderState state;
  int renderType = 0;
  Float3 object{0, 0, 0};
  DrawControl control;
};

class DrawBuffers {
 public:
  DrawBuffers() = default;
  DrawBuffers(const DrawBuffers&) = delete;
  DrawBuffers& operator=(const DrawBuffers&) = delete;
  // No GL here: call Release while the context is current, or Forget once
  // the context is gone.
  ~DrawBuffers() = default;

  // Deletes the buffer objects (the context that made them is current).
  void Release();
  // Drops the names without deleting them: their context no longer exists.
  void Forget();
  // Bytes held in buffer objects.
  size_t Bytes() const { return bytes_; }

  // Sets the vertex, normal and colour arrays for the model, filling the
  // buffers first when the model (serial), the layout or a colour baked into
  // them changed, or when the render type draws outlines they do not hold;
  // outline indices the render type does not draw are dropped. False when
  // these buffers cannot draw that state; the caller then draws
  // without them. The model's arrays must stay as they are until Unbind:
  // the one-colour smooth layout draws from them.
  bool Bind(const BufferDraw& draw, const PolygonModel& model, int32_t polygonCount,
            const ConcaveTriangles& concave, uint64_t serial);
  // One pass over every polygon, as the immediate-mode pass draws it: fill
  // passes draw triangles (concave polygons by their triangulation),
  // outline passes keep polygons whole.
  void Pass(const BufferDraw& draw, bool withColour, bool fill);
  // Undoes Bind's client state and bindings.
  void Unbind();

 private:
  enum class Layout { kNone, kFlat, kModelArrays, kCorners };
  // Polygons whose vertices are the records [base, base + 65536).
  struct Window {
    uint32_t base;        // first record
    uint32_t firstIndex;  // first fill index
    uint32_t indexCount;  // fill indices
  };
  struct Segment {
    uint32_t window;
    bool polygons;   // a run of polygons drawn whole, else a run of triangles
    uint32_t first;  // triangles: first index; polygons: first entry of counts_
    uint32_t count;  // triangles: indices; polygons: entries
    uint32_t start;  // polygons: outline index of the first one
  };
  class Builder;  // lays the records out in windows (draw_buffers.cpp)

  bool Fill(const BufferDraw& draw, const PolygonModel& model, int32_t polygonCount,
            const ConcaveTriangles& concave, Layout layout, bool outlines);
  // Points the arrays at window w's records.
  void Pointers(uint32_t w) const;
  // Deletes the outline indices alone.
  void DropOutlines();

  unsigned vbo_ = 0, fillIbo_ = 0, outlineIbo_ = 0;
  uint64_t serial_ = 0;
  Layout layout_ = Layout::kNone;
  uint64_t failedSerial_ = 0;
  Layout failedLayout_ = Layout::kNone;
  bool colourArray_ = false;          // per-vertex colours, else one colour
  Float3 colour_{0, 0, 0};            // the one colour, or the object colour baked in
  bool objectBaked_ = false;          // object colour is in the buffer
  bool objectColour_ = false;         // the one colour is the object colour
  bool polygons_ = false;             // the model has polygons of more than 3 corners
  size_t stride_ = 0;                 // bytes per record
  size_t indexSize_ = 2;              // 2, or 4 for vertex numbers of the model
  bool lit_ = false;                  // normals are read (lighting is on)
  const Float3* vertices_ = nullptr;  // the model's arrays, for kModelArrays
  const Float3* normals_ = nullptr;
  size_t outlineBytes_ = 0;
  std::vector<Window> windows_;
  std::vector<Segment> segments_;  // empty: outlines use the fill buffer
  std::vector<int> counts_;
  std::vector<const void*> offsets_;  // scratch for one multi-draw
  size_t bytes_ = 0;
};

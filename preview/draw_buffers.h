// A model's vertex data in GL buffer objects: filled once per model and
// vertex layout, then each pass is one or a few draw calls. The layouts give
// every vertex the values the immediate-mode drawing would have sent, so
// the pixels stay those of the one-primitive-per-polygon drawing:
// - flat shading: the shared positions, plus one vertex per polygon (and per
//   concave triangle) that carries the polygon's normal and colour and is
//   the last corner of each of its triangles, where flat shading reads them;
// - smooth shading in one colour: the shared positions and vertex normals;
// - smooth shading in several colours: every corner its own vertex.
// Triangles are sent as (1, 2, 0) and polygons as the fan (i+1, i+2, 0), the
// order in which the driver splits a polygon. Outlines of polygons with more
// than three corners are drawn as polygons, so inner edges stay hidden.
#pragma once

#include <cstdint>
#include <vector>

#include "core/model.h"
#include "mesh/triangulate.h"

struct Scene;

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
  // them changed. False when these buffers cannot draw the scene's state;
  // the caller then draws without them.
  bool Bind(const Scene& scene, const PolygonModel& model, int32_t polygonCount,
            const ConcaveTriangles& concave, uint64_t serial);
  // One pass over every polygon, as the immediate-mode pass draws it: fill
  // passes draw triangles (concave polygons by their triangulation),
  // outline passes keep polygons whole.
  void Pass(const Scene& scene, bool withColour, bool fill);
  // Undoes Bind's client state and bindings.
  void Unbind();

 private:
  enum class Layout { kNone, kFlat, kSmoothShared, kSmoothCorners };
  struct Segment {
    bool polygons;   // a run of polygons drawn whole, else a run of triangles
    uint32_t first;  // triangles: first index; polygons: first entry of counts_
    uint32_t count;  // triangles: indices; polygons: entries
  };

  bool Fill(const Scene& scene, const PolygonModel& model, int32_t polygonCount,
            const ConcaveTriangles& concave, Layout layout);

  unsigned vbo_ = 0, fillIbo_ = 0, outlineIbo_ = 0;
  uint64_t serial_ = 0;
  Layout layout_ = Layout::kNone;
  uint64_t failedSerial_ = 0;
  Layout failedLayout_ = Layout::kNone;
  bool colourArray_ = false;   // per-vertex colours, else one colour
  Float3 colour_{0, 0, 0};     // the one colour, or the object colour baked in
  bool objectBaked_ = false;   // object colour is in the buffer
  bool objectColour_ = false;  // the one colour is the object colour
  uint32_t fillCount_ = 0;
  std::vector<Segment> segments_;  // empty: outlines use the fill buffer
  std::vector<int> counts_;
  std::vector<const void*> offsets_;
  size_t bytes_ = 0;
};

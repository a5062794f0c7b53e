// Small models and pixel helpers for the preview tests.
#pragma once

#include <QColor>
#include <QElapsedTimer>
#include <QImage>
#include <QTest>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <memory>

#include "core/model.h"

// Normals as mesh preparation leaves them, enough for these fixtures:
// polygon normals by Newell's method, vertex normals as given or the
// average of the polygons around each vertex.
inline void FillNormals(PolygonModel& m, bool vertexNormalsFromPolygons = true) {
  m.polygonNormals.assign(m.PolygonCount(), {0, 0, 0});
  if (vertexNormalsFromPolygons) m.vertexNormals.assign(m.vertices.size(), {0, 0, 0});
  for (int32_t p = 0; p < m.PolygonCount(); ++p) {
    Float3 n{0, 0, 0};
    const int32_t* idx = m.index(p);
    for (int32_t i = 0; i < m.nv(p); ++i) {
      const Float3& a = m.vertices[idx[i]];
      const Float3& b = m.vertices[idx[(i + 1) % m.nv(p)]];
      n.x += (a.y - b.y) * (a.z + b.z);
      n.y += (a.z - b.z) * (a.x + b.x);
      n.z += (a.x - b.x) * (a.y + b.y);
    }
    const float len = std::sqrt(n.x * n.x + n.y * n.y + n.z * n.z);
    if (len > 0) n = {n.x / len, n.y / len, n.z / len};
    m.polygonNormals[p] = n;
    if (vertexNormalsFromPolygons) {
      for (int32_t i = 0; i < m.nv(p); ++i) {
        Float3& v = m.vertexNormals[idx[i]];
        v = {v.x + n.x, v.y + n.y, v.z + n.z};
      }
    }
  }
  if (vertexNormalsFromPolygons) {
    for (Float3& v : m.vertexNormals) {
      const float len = std::sqrt(v.x * v.x + v.y * v.y + v.z * v.z);
      if (len > 0) v = {v.x / len, v.y / len, v.z / len};
    }
  }
}

// A square in the z = 0 plane, counter-clockwise seen from +z (facing the
// viewer in the front view) unless clockwise is set.
inline std::unique_ptr<PolygonModel> Square(float size = 2.0f, bool clockwise = false,
                                            int material = -1, Float3 colour = {0, 0, 0}) {
  auto m = std::make_unique<PolygonModel>();
  const float h = size / 2;
  m->AddVertex(-h, -h, 0);
  m->AddVertex(h, -h, 0);
  m->AddVertex(h, h, 0);
  m->AddVertex(-h, h, 0);
  const int32_t ccw[4] = {0, 1, 2, 3}, cw[4] = {0, 3, 2, 1};
  m->AddPolygon(4, clockwise ? cw : ccw, material, colour);
  FillNormals(*m);
  return m;
}

// A closed unit cube with outward counter-clockwise quads.
inline std::unique_ptr<PolygonModel> Cube() {
  auto m = std::make_unique<PolygonModel>();
  for (int i = 0; i < 8; ++i)
    m->AddVertex((i & 1) ? 1.0f : -1.0f, (i & 2) ? 1.0f : -1.0f, (i & 4) ? 1.0f : -1.0f);
  const int32_t faces[6][4] = {{0, 2, 3, 1}, {4, 5, 7, 6}, {0, 1, 5, 4},
                               {2, 6, 7, 3}, {0, 4, 6, 2}, {1, 3, 7, 5}};
  for (const auto& f : faces) m->AddPolygon(4, f);
  FillNormals(*m);
  return m;
}

// A sphere of about 2 * rings * sides triangles.
inline std::unique_ptr<PolygonModel> DenseSphere(int rings, int sides) {
  auto m = std::make_unique<PolygonModel>();
  for (int r = 0; r <= rings; ++r)
    for (int s = 0; s < sides; ++s) {
      const double th = M_PI * r / rings, ph = 2 * M_PI * s / sides;
      m->AddVertex(static_cast<float>(std::sin(th) * std::cos(ph)),
                   static_cast<float>(std::sin(th) * std::sin(ph)),
                   static_cast<float>(std::cos(th)));
    }
  auto at = [&](int r, int s) { return r * sides + (s % sides); };
  for (int r = 0; r < rings; ++r)
    for (int s = 0; s < sides; ++s) {
      m->AddTriangle(at(r, s), at(r + 1, s), at(r + 1, s + 1));
      m->AddTriangle(at(r, s), at(r + 1, s + 1), at(r, s + 1));
    }
  FillNormals(*m);
  return m;
}

// Runs the event loop until done() or ms milliseconds have passed.
inline bool WaitFor(const std::function<bool()>& done, int ms = 5000) {
  QElapsedTimer t;
  t.start();
  while (!done()) {
    if (t.elapsed() > ms) return false;
    QTest::qWait(10);
  }
  return true;
}

// Within tol levels on each channel.
inline bool Near(QRgb a, QRgb b, int tol = 3) {
  return std::abs(qRed(a) - qRed(b)) <= tol && std::abs(qGreen(a) - qGreen(b)) <= tol &&
         std::abs(qBlue(a) - qBlue(b)) <= tol;
}

inline QRgb Rgb(double r, double g, double b) {
  auto c = [](double v) { return static_cast<int>(std::lround(std::clamp(v, 0.0, 1.0) * 255)); };
  return qRgb(c(r), c(g), c(b));
}

// Pixels of image not within tol of background.
inline int CountNotBackground(const QImage& img, QRgb background, int tol = 3) {
  int n = 0;
  for (int y = 0; y < img.height(); ++y)
    for (int x = 0; x < img.width(); ++x)
      if (!Near(img.pixel(x, y), background, tol)) ++n;
  return n;
}

// The lit colour of a polygon whose normal faces the viewer straight on,
// for a diffuse colour d: global ambient times the default material
// ambient, plus light 0's diffuse term (light 1 faces away).
inline double LitFacing(double d) {
  const double nl = 6.0 / std::sqrt(9.0 + 25.0 + 36.0);
  return 0.24 * 0.2 + nl * 0.93 * d;
}

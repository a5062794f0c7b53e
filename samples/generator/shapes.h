// Simple closed meshes for the sample models and the benchmark files.
#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <map>
#include <utility>
#include <vector>

struct Mesh {
  std::vector<std::array<float, 3>> v;
  std::vector<std::array<int32_t, 3>> f;  // counter-clockwise seen from outside
};

inline Mesh Cube(float half = 1.0f) {
  Mesh m;
  for (int i = 0; i < 8; ++i)
    m.v.push_back({i & 1 ? half : -half, i & 2 ? half : -half, i & 4 ? half : -half});
  m.f = {{0, 2, 3}, {0, 3, 1}, {4, 5, 7}, {4, 7, 6}, {0, 1, 5}, {0, 5, 4},
         {2, 6, 7}, {2, 7, 3}, {0, 4, 6}, {0, 6, 2}, {1, 3, 7}, {1, 7, 5}};
  return m;
}

// A torus of rings x sides quads, each split into two triangles; every
// vertex is computed once, so shared corners are bit-identical.
inline Mesh Torus(int rings, int sides, float major = 1.0f, float minor = 0.35f) {
  Mesh m;
  const double pi = 3.14159265358979323846;
  for (int i = 0; i < rings; ++i) {
    const double a = 2 * pi * i / rings;
    for (int j = 0; j < sides; ++j) {
      const double b = 2 * pi * j / sides;
      const double r = major + minor * std::cos(b);
      m.v.push_back({static_cast<float>(r * std::cos(a)), static_cast<float>(r * std::sin(a)),
                     static_cast<float>(minor * std::sin(b))});
    }
  }
  for (int i = 0; i < rings; ++i)
    for (int j = 0; j < sides; ++j) {
      const int32_t a = i * sides + j, b = ((i + 1) % rings) * sides + j;
      const int32_t c = ((i + 1) % rings) * sides + (j + 1) % sides, d = i * sides + (j + 1) % sides;
      m.f.push_back({a, b, c});
      m.f.push_back({a, c, d});
    }
  return m;
}

inline Mesh Icosphere(int subdivisions) {
  Mesh m;
  const float t = (1.0f + std::sqrt(5.0f)) / 2.0f;
  m.v = {{-1, t, 0}, {1, t, 0}, {-1, -t, 0}, {1, -t, 0}, {0, -1, t}, {0, 1, t},
         {0, -1, -t}, {0, 1, -t}, {t, 0, -1}, {t, 0, 1}, {-t, 0, -1}, {-t, 0, 1}};
  m.f = {{0, 11, 5}, {0, 5, 1},  {0, 1, 7},   {0, 7, 10}, {0, 10, 11}, {1, 5, 9}, {5, 11, 4},
         {11, 10, 2}, {10, 7, 6}, {7, 1, 8},  {3, 9, 4},  {3, 4, 2},   {3, 2, 6}, {3, 6, 8},
         {3, 8, 9},  {4, 9, 5},  {2, 4, 11},  {6, 2, 10}, {8, 6, 7},   {9, 8, 1}};
  auto normalize = [](std::array<float, 3> p) {
    const float l = std::sqrt(p[0] * p[0] + p[1] * p[1] + p[2] * p[2]);
    return std::array<float, 3>{p[0] / l, p[1] / l, p[2] / l};
  };
  for (auto& p : m.v) p = normalize(p);
  for (int s = 0; s < subdivisions; ++s) {
    std::map<std::pair<int32_t, int32_t>, int32_t> mid;
    auto middle = [&](int32_t a, int32_t b) {
      const auto key = std::minmax(a, b);
      auto it = mid.find(key);
      if (it != mid.end()) return it->second;
      const auto &p = m.v[a], &q = m.v[b];
      m.v.push_back(normalize({(p[0] + q[0]) / 2, (p[1] + q[1]) / 2, (p[2] + q[2]) / 2}));
      return mid[key] = static_cast<int32_t>(m.v.size() - 1);
    };
    std::vector<std::array<int32_t, 3>> faces;
    for (const auto& f : m.f) {
      const int32_t a = middle(f[0], f[1]), b = middle(f[1], f[2]), c = middle(f[2], f[0]);
      faces.push_back({f[0], a, c});
      faces.push_back({f[1], b, a});
      faces.push_back({f[2], c, b});
      faces.push_back({a, b, c});
    }
    m.f = std::move(faces);
  }
  return m;
}

inline std::array<float, 3> FaceNormal(const Mesh& m, const std::array<int32_t, 3>& f) {
  const auto &a = m.v[f[0]], &b = m.v[f[1]], &c = m.v[f[2]];
  const float ux = b[0] - a[0], uy = b[1] - a[1], uz = b[2] - a[2];
  const float vx = c[0] - a[0], vy = c[1] - a[1], vz = c[2] - a[2];
  float n[3] = {uy * vz - uz * vy, uz * vx - ux * vz, ux * vy - uy * vx};
  const float l = std::sqrt(n[0] * n[0] + n[1] * n[1] + n[2] * n[2]);
  if (l > 0)
    for (float& x : n) x /= l;
  return {n[0], n[1], n[2]};
}

// Writers of the generated meshes in the formats Tarnelle reads.
#pragma once

#include <cstdio>
#include <cstring>
#include <string>

#include "samples/generator/shapes.h"

// colour(k) returns the 16-bit attribute word of facet k (0: none).
template <typename ColorFn>
inline bool WriteBinaryStl(const std::string& path, const Mesh& m, ColorFn colour) {
  FILE* f = fopen(path.c_str(), "wb");
  if (!f) return false;
  char header[80] = {};
  snprintf(header, sizeof header, "Tarnelle generated binary STL");
  fwrite(header, 1, 80, f);
  const uint32_t n = static_cast<uint32_t>(m.f.size());
  fwrite(&n, 4, 1, f);
  std::vector<unsigned char> buf;
  buf.reserve(50 * 4096);
  for (size_t k = 0; k < m.f.size(); ++k) {
    unsigned char rec[50];
    const auto nrm = FaceNormal(m, m.f[k]);
    memcpy(rec, nrm.data(), 12);
    for (int i = 0; i < 3; ++i) memcpy(rec + 12 + 12 * i, m.v[m.f[k][i]].data(), 12);
    const uint16_t attr = colour(k);
    memcpy(rec + 48, &attr, 2);
    buf.insert(buf.end(), rec, rec + 50);
    if (buf.size() >= 50 * 4096) {
      fwrite(buf.data(), 1, buf.size(), f);
      buf.clear();
    }
  }
  fwrite(buf.data(), 1, buf.size(), f);
  return fclose(f) == 0;
}

inline bool WriteBinaryStl(const std::string& path, const Mesh& m) {
  return WriteBinaryStl(path, m, [](size_t) { return uint16_t{0}; });
}

inline bool WriteAsciiStl(const std::string& path, const Mesh& m, const char* name) {
  FILE* f = fopen(path.c_str(), "wb");
  if (!f) return false;
  fprintf(f, "solid %s\n", name);
  for (const auto& t : m.f) {
    const auto n = FaceNormal(m, t);
    fprintf(f, "  facet normal %e %e %e\n    outer loop\n", n[0], n[1], n[2]);
    for (int i = 0; i < 3; ++i) {
      const auto& p = m.v[t[i]];
      fprintf(f, "      vertex %e %e %e\n", p[0], p[1], p[2]);
    }
    fprintf(f, "    endloop\n  endfacet\n");
  }
  fprintf(f, "endsolid %s\n", name);
  return fclose(f) == 0;
}

// withNormals writes "vn" lines and faces as "f a//a b//b c//c".
inline bool WriteObj(const std::string& path, const Mesh& m, bool withNormals) {
  FILE* f = fopen(path.c_str(), "wb");
  if (!f) return false;
  fprintf(f, "# Tarnelle generated OBJ\no mesh\n");
  for (const auto& p : m.v) fprintf(f, "v %.6f %.6f %.6f\n", p[0], p[1], p[2]);
  if (withNormals) {
    for (const auto& p : m.v) {
      const float l = std::sqrt(p[0] * p[0] + p[1] * p[1] + p[2] * p[2]);
      const float s = l > 0 ? 1 / l : 0;
      fprintf(f, "vn %.4f %.4f %.4f\n", p[0] * s, p[1] * s, p[2] * s);
    }
    for (const auto& t : m.f)
      fprintf(f, "f %d//%d %d//%d %d//%d\n", t[0] + 1, t[0] + 1, t[1] + 1, t[1] + 1, t[2] + 1,
              t[2] + 1);
  } else {
    for (const auto& t : m.f) fprintf(f, "f %d %d %d\n", t[0] + 1, t[1] + 1, t[2] + 1);
  }
  return fclose(f) == 0;
}

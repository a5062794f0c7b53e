// Small vector helpers the simplifiers share.
#pragma once

#include <cmath>

#include "core/model.h"

namespace vec3 {

// (b - a) x (c - a): twice the triangle's area along its normal.
inline Float3 Cross(const Float3& a, const Float3& b, const Float3& c) {
  const float ux = b.x - a.x, uy = b.y - a.y, uz = b.z - a.z;
  const float vx = c.x - a.x, vy = c.y - a.y, vz = c.z - a.z;
  return {uy * vz - uz * vy, uz * vx - ux * vz, ux * vy - uy * vx};
}

// n of length 1; +z for a zero or non-finite n.
inline Float3 Normalised(const Float3& n) {
  const float len = std::sqrt(n.x * n.x + n.y * n.y + n.z * n.z);
  if (!(len > 0.0f) || !std::isfinite(len)) return {0.0f, 0.0f, 1.0f};
  return {n.x / len, n.y / len, n.z / len};
}

}  // namespace vec3

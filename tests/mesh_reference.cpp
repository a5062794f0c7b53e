#include "tests/mesh_reference.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <map>
#include <utility>

namespace reference {
namespace {

uint32_t Bits(float f) {
  uint32_t u;
  std::memcpy(&u, &f, 4);
  return u == 0x80000000u ? 0u : u;
}

std::vector<int32_t*> Corners(PolygonModel& m, int32_t p) {
  std::vector<int32_t*> c;
  for (int32_t j = 0; j < m.nv(p); ++j) c.push_back(m.index(p) + j);
  return c;
}

}  // namespace

void ShareVertices(PolygonModel& model) {
  std::map<std::array<uint32_t, 3>, int32_t> table;
  std::vector<Float3> stored;
  int32_t next = 0;
  for (int32_t p = 0; p < model.PolygonCount(); ++p) {
    for (int32_t* corner : Corners(model, p)) {
      const Float3 pos = model.vertices[*corner];
      const std::array<uint32_t, 3> key{Bits(pos.x), Bits(pos.y), Bits(pos.z)};
      auto it = table.find(key);
      if (it != table.end()) {
        *corner = it->second;
      } else {
        table.emplace(key, next);
        stored.push_back(pos);
        *corner = next;
        ++next;
      }
    }
  }
  model.vertices.clear();
  model.vertices.resize(next);
  for (int32_t k = 0; k < next; ++k) model.vertices[k] = stored[k];
}

namespace {

struct OrientEntry {
  int32_t polygon;
  int8_t sign;
  uint8_t settled;
  OrientEntry* next;
};

struct EdgeRecord {
  OrientEntry* entry;
  int8_t direction;
};

void Reverse(PolygonModel& m, int32_t p) { std::reverse(m.index(p), m.index(p) + m.nv(p)); }

}  // namespace

void FixOrientation(PolygonModel& model) {
  std::vector<OrientEntry> entries;
  entries.reserve(model.PolygonCount());
  std::multimap<std::pair<int32_t, int32_t>, EdgeRecord> table;
  OrientEntry* head = nullptr;
  OrientEntry* tail = nullptr;
  for (int32_t p = 0; p < model.PolygonCount(); ++p) {
    const int32_t n = model.nv(p);
    if (n < 3) continue;
    entries.push_back({p, +1, 0, nullptr});
    OrientEntry* e = &entries.back();
    if (tail)
      tail->next = e;
    else
      head = e;
    tail = e;
    const int32_t* idx = model.index(p);
    for (int32_t j = 0; j < n; ++j) {
      const int32_t a = idx[j], b = idx[j + 1 < n ? j + 1 : 0];
      if (table.count({b, a}))
        table.insert({{b, a}, {e, -1}});
      else
        table.insert({{a, b}, {e, +1}});
    }
  }
  if (!head) return;

  head->settled = 1;
  OrientEntry* prev = nullptr;  // the entry before the cursor's
  OrientEntry* cursor = head;
  while (cursor) {
    if (!cursor->settled) {
      OrientEntry* foundPrev = cursor;
      OrientEntry* found = cursor->next;
      while (found && !found->settled) {
        foundPrev = found;
        found = found->next;
      }
      if (found) {
        OrientEntry*& link = prev ? prev->next : head;
        if (cursor->next == found) {
          link = found;
          cursor->next = found->next;
          found->next = cursor;
        } else {
          OrientEntry* afterCursor = cursor->next;
          OrientEntry* afterFound = found->next;
          link = found;
          found->next = afterCursor;
          foundPrev->next = cursor;
          cursor->next = afterFound;
        }
        cursor = found;
      } else {
        cursor->settled = 1;
      }
    }

    const int32_t n = model.nv(cursor->polygon);
    const int32_t* idx = model.index(cursor->polygon);
    for (int32_t j = 0; j < n; ++j) {
      const int32_t a = idx[j], b = idx[j + 1 < n ? j + 1 : 0];
      auto range = table.equal_range({a, b});
      if (range.first == range.second) range = table.equal_range({b, a});
      if (range.first->second.direction == 0) continue;
      int s = 0;
      for (auto it = range.first; it != range.second; ++it) {
        if (it->second.entry == cursor) {
          s = cursor->sign * it->second.direction;
          break;
        }
      }
      for (auto it = range.first; it != range.second; ++it) {
        OrientEntry* other = it->second.entry;
        if (other->settled) continue;
        if (it->second.direction * other->sign == s) {
          Reverse(model, other->polygon);
          other->sign = static_cast<int8_t>(-other->sign);
        }
        other->settled = 1;
      }
      range.first->second.direction = 0;
    }
    prev = cursor;
    cursor = cursor->next;
  }
}

namespace {

struct CornerRecord {
  int32_t corner;
  int32_t polygon;
  int32_t group;
};

double DotOf(const Float3& a, const Float3& b) {
  return double(a.x) * b.x + double(a.y) * b.y + double(a.z) * b.z;
}

}  // namespace

void ComputeNormals(PolygonModel& model) {
  const int32_t np = model.PolygonCount();
  std::multimap<int32_t, CornerRecord> cornerTable;

  // Polygon normals.
  model.polygonNormals.assign(np, Float3{0, 0, 0});
  for (int32_t i = 0; i < np; ++i) {
    const int32_t nv = model.nv(i);
    const int32_t* idx = model.index(i);
    Float3 normal{0, 0, 1};
    if (nv >= 3) {
      double sum[3] = {0, 0, 0};
      for (int32_t j = 0; j <= nv - 3; ++j) {
        const Float3 pj = model.vertices[idx[j]];
        const Float3 pn = model.vertices[idx[j + 1]];
        const Float3 pp = model.vertices[idx[j == 0 ? nv - 1 : j - 1]];
        const double a[3] = {double(pn.x) - double(pj.x), double(pn.y) - double(pj.y),
                             double(pn.z) - double(pj.z)};
        const double b[3] = {double(pp.x) - double(pj.x), double(pp.y) - double(pj.y),
                             double(pp.z) - double(pj.z)};
        sum[0] = sum[0] + (a[1] * b[2] - a[2] * b[1]);
        sum[1] = sum[1] + (a[2] * b[0] - a[0] * b[2]);
        sum[2] = sum[2] + (a[0] * b[1] - a[1] * b[0]);
      }
      const double len2 = sum[0] * sum[0] + sum[1] * sum[1] + sum[2] * sum[2];
      if (len2 >= 1e-15) {
        const double f = 1.0 / std::sqrt(len2);
        normal = {float(sum[0] * f), float(sum[1] * f), float(sum[2] * f)};
      }
    }
    model.polygonNormals[i] = normal;
    if (nv >= 3)
      for (int32_t j = 0; j < nv; ++j) cornerTable.insert({idx[j], {j, i, 0}});
  }

  // Crease splitting over the vertices that exist now.
  const int32_t count = model.VertexCount();
  for (int32_t v = 0; v < count; ++v) {
    auto range = cornerTable.equal_range(v);
    const Float3 P = model.vertices[v];
    int32_t g = 0;
    for (auto s = range.first; s != range.second; ++s) {
      CornerRecord& sr = s->second;
      const int32_t e = sr.polygon;
      int32_t cur = model.index(e)[sr.corner];
      const Float3 ne = model.polygonNormals[e];
      if (sr.group == 0) {
        auto q = std::next(s);
        for (; q != range.second; ++q) {
          if (q->second.group != 0 &&
              DotOf(ne, model.polygonNormals[q->second.polygon]) > model.edgeCos)
            break;
        }
        if (q != range.second) {
          model.index(e)[sr.corner] = model.index(q->second.polygon)[q->second.corner];
          cur = model.index(e)[sr.corner];
          sr.group = q->second.group;
        } else {
          g = g + 1;
          sr.group = g;
          if (g > 1) {
            model.vertices.push_back(P);
            model.index(e)[sr.corner] = model.VertexCount() - 1;
            cur = model.VertexCount() - 1;
          }
        }
      }
      for (auto r = std::next(s); r != range.second; ++r) {
        if (r->second.group != 0) continue;
        if (DotOf(model.polygonNormals[r->second.polygon], ne) > model.edgeCos) {
          model.index(r->second.polygon)[r->second.corner] = cur;
          r->second.group = sr.group;
        }
      }
    }
  }
  cornerTable.clear();

  // Vertex normals.
  model.vertexNormals.assign(model.VertexCount(), Float3{0, 0, 0});
  for (int32_t i = 0; i < np; ++i) {
    if (model.nv(i) < 3) continue;
    const Float3 n = model.polygonNormals[i];
    for (int32_t j = 0; j < model.nv(i); ++j) {
      Float3& s = model.vertexNormals[model.index(i)[j]];
      s.x = s.x + n.x;
      s.y = s.y + n.y;
      s.z = s.z + n.z;
    }
  }
  for (Float3& s : model.vertexNormals) {
    const float len2 = float(double(s.x) * s.x + double(s.y) * s.y + double(s.z) * s.z);
    if (len2 >= 1e-15) {
      const float f = 1.0f / std::sqrt(len2);
      s = {s.x * f, s.y * f, s.z * f};
    } else {
      s = {0, 0, 1};
    }
  }
}

void PrepareMesh(PolygonModel& model, bool shareVertices, bool fixOrientation) {
  if (shareVertices) ShareVertices(model);
  if (fixOrientation) FixOrientation(model);
  ComputeNormals(model);
}

}  // namespace reference

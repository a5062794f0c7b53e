#include "mesh/triangulate.h"

#include <cmath>

namespace {

struct P2 {
  double x, y;
};

// Newell normal of the polygon; false on a bad index.
bool NewellNormal(const Float3* v, int32_t vertexCount, const int32_t* idx, int32_t n,
                  double nrm[3]) {
  nrm[0] = nrm[1] = nrm[2] = 0.0;
  for (int32_t i = 0; i < n; ++i)
    if (static_cast<uint32_t>(idx[i]) >= static_cast<uint32_t>(vertexCount)) return false;
  for (int32_t i = 0; i < n; ++i) {
    const Float3& a = v[idx[i]];
    const Float3& b = v[idx[i + 1 == n ? 0 : i + 1]];
    nrm[0] += (static_cast<double>(a.y) - b.y) * (static_cast<double>(a.z) + b.z);
    nrm[1] += (static_cast<double>(a.z) - b.z) * (static_cast<double>(a.x) + b.x);
    nrm[2] += (static_cast<double>(a.x) - b.x) * (static_cast<double>(a.y) + b.y);
  }
  return true;
}

// The two axes kept when dropping the normal's dominant one, ordered so
// that the projected polygon winds counter-clockwise. False without area.
bool ProjectionAxes(const double nrm[3], int& u, int& w) {
  const double ax = std::fabs(nrm[0]), ay = std::fabs(nrm[1]), az = std::fabs(nrm[2]);
  int drop = 2;
  if (ax >= ay && ax >= az)
    drop = 0;
  else if (ay >= az)
    drop = 1;
  if (!(std::fabs(nrm[drop]) > 0.0) || !std::isfinite(nrm[drop])) return false;
  u = (drop + 1) % 3;
  w = (drop + 2) % 3;
  if (nrm[drop] < 0.0) std::swap(u, w);
  return true;
}

P2 Project(const Float3& p, int u, int w) {
  const float c[3] = {p.x, p.y, p.z};
  return {c[u], c[w]};
}

double Cross(const P2& a, const P2& b, const P2& c) {
  return (b.x - a.x) * (c.y - a.y) - (b.y - a.y) * (c.x - a.x);
}

// p inside or on the counter-clockwise triangle abc.
bool InTriangle(const P2& p, const P2& a, const P2& b, const P2& c) {
  return Cross(a, b, p) >= 0.0 && Cross(b, c, p) >= 0.0 && Cross(c, a, p) >= 0.0;
}

// Turns count as reflex only beyond this sine, so float noise on a straight
// side does not send a convex polygon to the triangulator.
constexpr double kTurnTolerance = 1e-6;

}  // namespace

bool IsConvexPolygon(const Float3* vertices, int32_t vertexCount, const int32_t* idx, int32_t n) {
  if (n <= 3) return true;
  double nrm[3];
  int u = 0, w = 1;
  if (!NewellNormal(vertices, vertexCount, idx, n, nrm) || !ProjectionAxes(nrm, u, w)) return true;
  // Walk the edges of non-zero length: every turn must be to the left and
  // the edge direction may change the sign of its x and y parts at most
  // twice each (once around; a pentagram turns left but winds twice).
  P2 first{0, 0}, prevEdge{0, 0};
  bool haveFirst = false;
  int xFlips = 0, yFlips = 0, lastXSign = 0, lastYSign = 0, firstXSign = 0, firstYSign = 0;
  for (int32_t i = 0; i <= n; ++i) {
    const P2 a = Project(vertices[idx[i % n]], u, w);
    const P2 b = Project(vertices[idx[(i + 1) % n]], u, w);
    const P2 e{b.x - a.x, b.y - a.y};
    if (e.x == 0.0 && e.y == 0.0) continue;
    if (haveFirst) {
      const double cross = prevEdge.x * e.y - prevEdge.y * e.x;
      const double len = std::hypot(prevEdge.x, prevEdge.y) * std::hypot(e.x, e.y);
      if (cross < -kTurnTolerance * len) return false;
    } else {
      first = e;
    }
    if (i < n) {
      const int sx = e.x > 0 ? 1 : e.x < 0 ? -1 : 0;
      const int sy = e.y > 0 ? 1 : e.y < 0 ? -1 : 0;
      if (sx != 0) {
        if (lastXSign != 0 && sx != lastXSign) ++xFlips;
        if (firstXSign == 0) firstXSign = sx;
        lastXSign = sx;
      }
      if (sy != 0) {
        if (lastYSign != 0 && sy != lastYSign) ++yFlips;
        if (firstYSign == 0) firstYSign = sy;
        lastYSign = sy;
      }
    }
    haveFirst = true;
    prevEdge = e;
  }
  (void)first;
  // Close the cycle of signs.
  if (lastXSign != 0 && firstXSign != 0 && lastXSign != firstXSign) ++xFlips;
  if (lastYSign != 0 && firstYSign != 0 && lastYSign != firstYSign) ++yFlips;
  return xFlips <= 2 && yFlips <= 2;
}

bool EarClip(const Float3* vertices, int32_t vertexCount, const int32_t* idx, int32_t n,
             std::vector<int32_t>& out) {
  if (n < 3) return false;
  double nrm[3];
  int u = 0, w = 1;
  if (!NewellNormal(vertices, vertexCount, idx, n, nrm) || !ProjectionAxes(nrm, u, w)) return false;
  std::vector<P2> pt(n);
  std::vector<int32_t> next(n), prev(n);
  for (int32_t i = 0; i < n; ++i) {
    pt[i] = Project(vertices[idx[i]], u, w);
    if (!std::isfinite(pt[i].x) || !std::isfinite(pt[i].y)) return false;
    next[i] = i + 1 == n ? 0 : i + 1;
    prev[i] = i == 0 ? n - 1 : i - 1;
  }
  const size_t outSize = out.size();
  // Point tests allowed in all: enough for any ordinary polygon, and a
  // bound on the time a polygon of a million corners can take.
  int64_t budget =
      std::max<int64_t>(int64_t{64} * n, std::min<int64_t>(int64_t{n} * n * 4, int64_t{1} << 26));
  int32_t left = n, cur = 0, sinceEar = 0;
  while (left > 3) {
    if (sinceEar > left) {  // once around without an ear
      out.resize(outSize);
      return false;
    }
    const int32_t a = prev[cur], b = next[cur];
    const double turn = Cross(pt[a], pt[cur], pt[b]);
    bool ear = false, drop = false;
    if (turn == 0.0) {
      // A straight or doubled-back corner adds no area: just drop it.
      drop = true;
    } else if (turn > 0.0) {
      ear = true;
      for (int32_t j = next[b]; j != a; j = next[j]) {
        if (--budget < 0) {
          out.resize(outSize);
          return false;
        }
        const P2& p = pt[j];
        const bool sharesCorner = (p.x == pt[a].x && p.y == pt[a].y) ||
                                  (p.x == pt[cur].x && p.y == pt[cur].y) ||
                                  (p.x == pt[b].x && p.y == pt[b].y);
        if (!sharesCorner && InTriangle(p, pt[a], pt[cur], pt[b])) {
          ear = false;
          break;
        }
      }
    }
    if (ear || drop) {
      if (ear) {
        out.push_back(idx[a]);
        out.push_back(idx[cur]);
        out.push_back(idx[b]);
      }
      next[a] = b;
      prev[b] = a;
      --left;
      sinceEar = 0;
      cur = a;  // the neighbour may have become an ear
    } else {
      cur = next[cur];
      ++sinceEar;
    }
  }
  const int32_t a = prev[cur], b = next[cur];
  if (Cross(pt[a], pt[cur], pt[b]) > 0.0) {
    out.push_back(idx[a]);
    out.push_back(idx[cur]);
    out.push_back(idx[b]);
  }
  return true;
}

ConcaveTriangles TriangulateConcave(const PolygonModel& model) {
  ConcaveTriangles t;
  const int32_t count = model.PolygonCount();
  const int32_t nverts = model.VertexCount();
  const Float3* v = model.vertices.data();
  for (int32_t p = 0; p < count; ++p) {
    const int32_t n = model.nv(p);
    if (n <= 3) continue;
    const int32_t* idx = model.index(p);
    if (IsConvexPolygon(v, nverts, idx, n)) continue;
    if (!EarClip(v, nverts, idx, n, t.corner)) continue;
    t.polygon.push_back(p);
    t.start.push_back(static_cast<uint32_t>(t.corner.size()));
  }
  return t;
}

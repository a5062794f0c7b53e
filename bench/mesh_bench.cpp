// Mesh preparation on triangle soups as an STL file gives them: a torus of
// N triangles with three vertices of its own per triangle and N/2 distinct
// positions. Besides the time, each benchmark reports how far the resident
// memory rose above what it was with the model loaded, per corner.
#include <benchmark/benchmark.h>
#include <malloc.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <random>

#include "mesh/fix_orientation.h"
#include "mesh/normals.h"
#include "mesh/parallel.h"
#include "mesh/prepare_mesh.h"
#include "mesh/scratch.h"
#include "mesh/share_vertices.h"
#include "mesh/simplify.h"
#include "mesh/simplify_detail.h"
#include "mesh/triangulate.h"
#include "samples/generator/shapes.h"

namespace {

// Resident memory in bytes from /proc/self/status ("VmRSS" or "VmHWM").
int64_t StatusBytes(const char* field) {
  FILE* f = fopen("/proc/self/status", "r");
  if (!f) return 0;
  char line[256];
  int64_t kb = 0;
  const size_t n = strlen(field);
  while (fgets(line, sizeof line, f))
    if (strncmp(line, field, n) == 0 && line[n] == ':') kb = strtoll(line + n + 1, nullptr, 10);
  fclose(f);
  return kb * 1024;
}

// Starts a new peak: the high-water mark drops to the present size.
void ResetPeak() {
  malloc_trim(0);
  if (FILE* f = fopen("/proc/self/clear_refs", "w")) {
    fputs("5", f);
    fclose(f);
  }
}

}  // namespace

namespace {

enum Order { kInOrder, kShuffled, kRandomWindings };

// The soup, built once per size and order.
const PolygonModel& Soup(int64_t triangles, Order order) {
  static std::map<std::pair<int64_t, int>, PolygonModel> cache;
  auto it = cache.find({triangles, order});
  if (it != cache.end()) return it->second;
  int sides = 1;
  while (static_cast<int64_t>(sides + 1) * (sides + 1) * 4 <= triangles) ++sides;
  const Mesh torus = Torus(static_cast<int>(triangles / (2 * sides)), sides);
  std::vector<std::array<int32_t, 3>> faces = torus.f;
  std::mt19937 rng(7);
  if (order == kShuffled) std::shuffle(faces.begin(), faces.end(), rng);
  PolygonModel m;
  m.Reserve(faces.size() * 3, faces.size(), faces.size() * 3);
  for (auto f : faces) {
    if (order == kRandomWindings && (rng() & 1)) std::swap(f[1], f[2]);
    const int32_t base = m.VertexCount();
    for (int32_t i : f) m.AddVertex(torus.v[i][0], torus.v[i][1], torus.v[i][2]);
    m.AddTriangle(base, base + 1, base + 2);
  }
  m.SetEdgeAngle(120);
  return cache.emplace(std::make_pair(triangles, int(order)), std::move(m)).first->second;
}

// A copy laid out as the readers leave a model: large arrays on huge pages.
template <class T>
void CopyLarge(std::vector<T>& to, const std::vector<T>& from) {
  to = {};
  ReserveLarge(to, from.size());
  to.assign(from.begin(), from.end());
}
PolygonModel Copy(const PolygonModel& from) {
  PolygonModel m;
  CopyLarge(m.vertices, from.vertices);
  CopyLarge(m.polyStart, from.polyStart);
  CopyLarge(m.indexPool, from.indexPool);
  CopyLarge(m.polyMaterial, from.polyMaterial);
  CopyLarge(m.polyColor, from.polyColor);
  m.edgeCos = from.edgeCos;
  return m;
}

template <typename Step>
void Run(benchmark::State& state, const PolygonModel& source, Step step) {
  int64_t peakExtra = 0;
  for (auto _ : state) {
    PolygonModel m = Copy(source);
    ResetPeak();
    const int64_t before = StatusBytes("VmRSS");
    const auto t0 = std::chrono::steady_clock::now();
    step(m);
    const auto t1 = std::chrono::steady_clock::now();
    state.SetIterationTime(std::chrono::duration<double>(t1 - t0).count());
    peakExtra = std::max(peakExtra, StatusBytes("VmHWM") - before);
    benchmark::DoNotOptimize(m.vertexNormals.data());
  }
  const double corners = static_cast<double>(source.indexPool.size());
  state.counters["extra_B_per_corner"] = static_cast<double>(peakExtra) / corners;
  state.counters["corners"] = corners;
}

void BM_PrepareShareOrient(benchmark::State& state) {
  Run(state, Soup(state.range(0), kInOrder), [](PolygonModel& m) { PrepareMesh(m, true, true); });
}
// The same with every helper thread off: the single-threaded path.
void BM_PrepareShareOrientOneThread(benchmark::State& state) {
  meshpar::SetThreads(1);
  SetPrefaultThreads(false);
  Run(state, Soup(state.range(0), kInOrder), [](PolygonModel& m) { PrepareMesh(m, true, true); });
  meshpar::SetThreads(0);
  SetPrefaultThreads(true);
}
void BM_PrepareShareOrientShuffled(benchmark::State& state) {
  Run(state, Soup(state.range(0), kShuffled), [](PolygonModel& m) { PrepareMesh(m, true, true); });
}
void BM_PrepareShareOrientRandomWindings(benchmark::State& state) {
  Run(state, Soup(state.range(0), kRandomWindings),
      [](PolygonModel& m) { PrepareMesh(m, true, true); });
}
void BM_PrepareShare(benchmark::State& state) {
  Run(state, Soup(state.range(0), kInOrder), [](PolygonModel& m) { PrepareMesh(m, true, false); });
}
void BM_PrepareNoSharing(benchmark::State& state) {
  Run(state, Soup(state.range(0), kInOrder), [](PolygonModel& m) { PrepareMesh(m, false, false); });
}
void BM_ShareVertices(benchmark::State& state) {
  Run(state, Soup(state.range(0), kInOrder), [](PolygonModel& m) { ShareVertices(m); });
}
void BM_ShareVerticesOneThread(benchmark::State& state) {
  meshpar::SetThreads(1);
  SetPrefaultThreads(false);
  BM_ShareVertices(state);
  meshpar::SetThreads(0);
  SetPrefaultThreads(true);
}
void BM_FixOrientationShared(benchmark::State& state) {
  static PolygonModel shared;
  if (shared.indexPool.size() != static_cast<size_t>(state.range(0)) * 3) {
    shared = Soup(state.range(0), kRandomWindings);
    ShareVertices(shared);
  }
  Run(state, shared, [](PolygonModel& m) { FixOrientation(m); });
}
void BM_FixOrientationSharedOneThread(benchmark::State& state) {
  meshpar::SetThreads(1);
  SetPrefaultThreads(false);
  BM_FixOrientationShared(state);
  meshpar::SetThreads(0);
  SetPrefaultThreads(true);
}
// A model whose vertices are shared already (as an OBJ file gives them):
// nothing is freed by sharing, so all the scratch memory shows.
void BM_PrepareOrientShared(benchmark::State& state) {
  static PolygonModel shared;
  if (shared.indexPool.size() != static_cast<size_t>(state.range(0)) * 3) {
    shared = Soup(state.range(0), kRandomWindings);
    ShareVertices(shared);
  }
  Run(state, shared, [](PolygonModel& m) { PrepareMesh(m, false, true); });
}
void BM_NormalsShared(benchmark::State& state) {
  static PolygonModel shared;
  if (shared.indexPool.size() != static_cast<size_t>(state.range(0)) * 3) {
    shared = Soup(state.range(0), kInOrder);
    ShareVertices(shared);
  }
  Run(state, shared, [](PolygonModel& m) { ComputeNormals(m); });
}
void BM_NormalsSharedOneThread(benchmark::State& state) {
  meshpar::SetThreads(1);
  SetPrefaultThreads(false);
  BM_NormalsShared(state);
  meshpar::SetThreads(0);
  SetPrefaultThreads(true);
}

// Half a million separate squares of two triangles: every square starts a
// group of its own, the case where searching the worklist for the next
// settled entry from every seed would be quadratic.
void BM_FixOrientationManyComponents(benchmark::State& state) {
  static PolygonModel squares;
  const size_t count = static_cast<size_t>(state.range(0)) / 2;
  if (squares.PolygonCount() != static_cast<int32_t>(count * 2)) {
    squares = PolygonModel();
    for (size_t i = 0; i < count; ++i) {
      const float x = static_cast<float>(i % 1000) * 2, y = static_cast<float>(i / 1000) * 2;
      const int32_t a = squares.AddVertex(x, y, 0), b = squares.AddVertex(x + 1, y, 0);
      const int32_t c = squares.AddVertex(x + 1, y + 1, 0), d = squares.AddVertex(x, y + 1, 0);
      squares.AddTriangle(a, b, c);
      if (i & 1)
        squares.AddTriangle(a, c, d);
      else
        squares.AddTriangle(a, d, c);  // wound the other way
    }
  }
  Run(state, squares, [](PolygonModel& m) { FixOrientation(m); });
}

// The preview's triangles for concave faces: N polygons on a grid, every
// fourth an L-shaped hexagon, the others squares (checked and left whole).
void BM_TriangulateConcave(benchmark::State& state) {
  static PolygonModel grid;
  const int32_t count = static_cast<int32_t>(state.range(0));
  if (grid.PolygonCount() != count) {
    grid = PolygonModel();
    for (int32_t i = 0; i < count; ++i) {
      const float x = static_cast<float>(i % 1000) * 3, y = static_cast<float>(i / 1000) * 3;
      const int32_t a = grid.AddVertex(x, y, 0), b = grid.AddVertex(x + 2, y, 0);
      const int32_t c = grid.AddVertex(x + 2, y + 1, 0), d = grid.AddVertex(x + 1, y + 1, 0);
      const int32_t e = grid.AddVertex(x + 1, y + 2, 0), f = grid.AddVertex(x, y + 2, 0);
      const int32_t l[6] = {a, b, c, d, e, f}, sq[4] = {a, b, c, f};
      if (i % 4 == 3)
        grid.AddPolygon(6, l);
      else
        grid.AddPolygon(4, sq);
    }
  }
  size_t triangulated = 0;
  for (auto _ : state) {
    const ConcaveTriangles t = TriangulateConcave(grid);
    triangulated = t.polygon.size();
    benchmark::DoNotOptimize(t.corner.data());
  }
  state.counters["triangulated"] = static_cast<double>(triangulated);
}

// Vertex sharing and orientation correction alone, the two stages whose
// time grows faster than the model: compare 16M with 4M triangles.
void BM_ShareOrient(benchmark::State& state) {
  Run(state, Soup(state.range(0), kRandomWindings), [](PolygonModel& m) {
    ShareVertices(m);
    FixOrientation(m);
  });
}

// The coarser levels the preview draws, made of a prepared soup (normals
// filled, vertices unshared, as a binary STL shows): the 30,000-triangle
// stand-in by each simplifier, and the level of about one triangle per
// pixel of an 800 x 600 panel.
const PolygonModel& PreparedSoup(int64_t triangles) {
  static PolygonModel prepared;
  if (prepared.indexPool.size() != static_cast<size_t>(triangles) * 3) {
    prepared = Soup(triangles, kInOrder);
    PrepareMesh(prepared, false, false);
  }
  return prepared;
}
template <typename Make>
void RunLevel(benchmark::State& state, Make make) {
  const PolygonModel& source = PreparedSoup(state.range(0));
  int32_t made = 0;
  Run(state, source, [&](PolygonModel& m) {
    const PolygonModel level = make(m);
    made = level.PolygonCount();
  });
  state.counters["triangles"] = made;
}
void BM_StandInClustering(benchmark::State& state) {
  RunLevel(state, [](const PolygonModel& m) { return SimplifyByClustering(m, 30000); });
}
void BM_StandInMeshopt(benchmark::State& state) {
  RunLevel(state, [](const PolygonModel& m) { return SimplifyForDetail(m, 30000); });
}
void BM_DetailLevel(benchmark::State& state) {
  RunLevel(state, [](const PolygonModel& m) { return SimplifyForDetail(m, 480000); });
}

// The machine is shared: with --benchmark_repetitions the best run is the
// figure to quote ("_min").
double Least(const std::vector<double>& v) { return *std::min_element(v.begin(), v.end()); }

#define MESH_BENCH(fn)                \
  BENCHMARK(fn)                       \
      ->Arg(1000000)                  \
      ->Arg(4000000)                  \
      ->UseManualTime()               \
      ->Unit(benchmark::kMillisecond) \
      ->ComputeStatistics("min", Least)

MESH_BENCH(BM_PrepareShareOrient);
MESH_BENCH(BM_PrepareShareOrientOneThread);
MESH_BENCH(BM_PrepareShareOrientShuffled);
MESH_BENCH(BM_PrepareShareOrientRandomWindings);
MESH_BENCH(BM_PrepareShare);
MESH_BENCH(BM_PrepareNoSharing);
MESH_BENCH(BM_ShareVertices);
MESH_BENCH(BM_ShareVerticesOneThread);
MESH_BENCH(BM_FixOrientationShared);
MESH_BENCH(BM_FixOrientationSharedOneThread);
MESH_BENCH(BM_PrepareOrientShared);
MESH_BENCH(BM_NormalsShared);
MESH_BENCH(BM_NormalsSharedOneThread);
MESH_BENCH(BM_FixOrientationManyComponents);
MESH_BENCH(BM_StandInClustering);
MESH_BENCH(BM_StandInMeshopt);
MESH_BENCH(BM_DetailLevel);
BENCHMARK(BM_ShareOrient)
    ->Arg(4000000)
    ->Arg(16000000)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->ComputeStatistics("min", Least);
BENCHMARK(BM_TriangulateConcave)
    ->Arg(1000000)
    ->Unit(benchmark::kMillisecond)
    ->ComputeStatistics("min", Least);

}  // namespace

BENCHMARK_MAIN();

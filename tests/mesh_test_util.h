// Model builders and comparisons for the mesh preparation tests.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

#include "core/model.h"

PolygonModel MakeModel(const std::vector<Float3>& vertices,
                       const std::vector<std::vector<int32_t>>& polygons);

// Appends the unit cube (moved by shift along x) with eight shared vertices
// and six outward-wound quadrilaterals: bottom, top, front, back, left, right.
void AddCube(PolygonModel& m, float shift = 0);

void ReversePolygon(PolygonModel& m, int32_t p);
std::vector<int32_t> Indices(const PolygonModel& m, int32_t p);

// Every field of the two models, floats compared by their bits. Returns an
// empty string when they are identical, else where they first differ.
std::string FirstDifference(const PolygonModel& a, const PolygonModel& b);

// A random model for seed, mixing soups, shared-edge meshes with random
// windings, several components, n-gons, polygons of fewer than three
// corners, degenerate and repeated corners, coincident and -0.0 positions.
PolygonModel RandomModel(uint32_t seed, size_t scale = 1);

// Switches mesh preparation between its single-threaded path and the helper
// thread for every model size; restores the default when it goes.
class ThreadsForTest {
 public:
  ThreadsForTest() = default;
  ~ThreadsForTest();
  ThreadsForTest(const ThreadsForTest&) = delete;
  ThreadsForTest& operator=(const ThreadsForTest&) = delete;
  void Single();
  void Helper();
};

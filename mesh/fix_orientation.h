// Face orientation correction: makes the windings of connected polygons
// agree.
#pragma once

#include <cstdint>
#include <vector>

#include "core/model.h"

struct CornerIndex;

// Reverses the corner order of the polygons whose winding disagrees with a
// settled neighbour across a shared edge (two vertex indices consecutive in
// both, last and first corner included). Polygons are settled by a worklist
// in polygon order: the first entry of each connected group keeps its
// winding and decides for the group; the next entry handled is always the
// first settled one further down the list, which is exchanged with the
// cursor's entry. Every polygon is reversed at most once and conflicts are
// left as they fall. Polygons with fewer than three corners take no part.
// Only indexPool changes, and the texture coordinates of a reversed
// polygon's corners with it. Linear in the number of corners apart from sorting
// the edges met at one vertex.
// Precondition: every index lies inside the vertex list.
void FixOrientation(PolygonModel& model);

// The same on a corner index built from the model as it stands. On return
// reversedPolygons is empty when no polygon was reversed, else it has one
// entry per polygon, 1 for those reversed.
void FixOrientation(PolygonModel& model, const CornerIndex& index,
                    std::vector<uint8_t>& reversedPolygons);

// For tests: true makes every model use the two-word edge records that only
// models of more than 2^29 polygons need; false restores the default.
void SetWideOrientationRecords(bool wide);

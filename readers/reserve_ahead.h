// Room in the model ahead of a text reader. Growing the arrays by doubling
// copies them and touches fresh memory again at every step; a reader that
// knows how many vertices, polygons and corners its last block added, and
// how many bytes are still to come, can reserve about the final size once.
// Every reservation is bounded by the bytes left in the file, never by a
// count the file states.
#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

#include "core/huge_pages.h"
#include "core/model.h"

// Starts clearing the room reserved in the model's arrays on the second core,
// while the caller parses into them.
inline void PrefaultModelRoom(Prefault& prefault, const PolygonModel& m) {
  auto room = [&prefault](const auto& v) { prefault.AddCapacity(v, v.capacity() - v.size()); };
  room(m.vertices);
  room(m.polyStart);
  room(m.polyMaterial);
  room(m.polyColor);
  room(m.indexPool);
  prefault.Start();
}

class ReserveAhead {
 public:
  // fileSize < 0 (not a regular file): nothing is reserved.
  ReserveAhead(PolygonModel& model, int64_t fileSize) : model_(model), size_(fileSize) { Mark(0); }

  // After each block: consumed is the number of bytes of the file read so
  // far. Projects the last block's counts over the rest of the file.
  void AfterBlock(int64_t consumed) {
    const int64_t block = consumed - consumed_;
    if (size_ < 0 || block <= 0 || consumed >= size_) return Mark(consumed);
    const int64_t left = size_ - consumed;
    const size_t v = Want(model_.vertices.size(), vertices_, block, left);
    const size_t p = Want(model_.polyMaterial.size(), polygons_, block, left);
    const size_t c = Want(model_.indexPool.size(), corners_, block, left);
    if (v > model_.vertices.capacity() || p > model_.polyMaterial.capacity() ||
        c > model_.indexPool.capacity()) {
      prefault_.Stop();  // its ranges are about to move
      model_.Reserve(Grown(v, model_.vertices.capacity()), Grown(p, model_.polyMaterial.capacity()),
                     Grown(c, model_.indexPool.capacity()));
      PrefaultModelRoom(prefault_, model_);
    }
    Mark(consumed);
  }

 private:
  // The count now plus the last block's rate over the bytes left, with an
  // eighth to spare so that a slightly denser rest needs no second copy.
  static size_t Want(size_t now, size_t before, int64_t block, int64_t left) {
    // A kind that first appeared within the block filled only part of it:
    // its rate is known from the next block on.
    if (now <= before || before == 0) return now;
    const double rate = static_cast<double>(now - before) / static_cast<double>(block);
    return now + static_cast<size_t>(rate * static_cast<double>(left) * 1.125);
  }

  // A half more at least, so that estimates creeping upwards copy the
  // arrays only a few times.
  static size_t Grown(size_t want, size_t capacity) {
    return want <= capacity ? capacity : std::max(want, capacity + capacity / 2);
  }

  void Mark(int64_t consumed) {
    consumed_ = consumed;
    vertices_ = model_.vertices.size();
    polygons_ = model_.polyMaterial.size();
    corners_ = model_.indexPool.size();
  }

  PolygonModel& model_;
  int64_t size_;
  int64_t consumed_ = 0;
  size_t vertices_ = 0, polygons_ = 0, corners_ = 0;
  Prefault prefault_;  // last: stops before anything else goes
};

// What the drawing process of --thumbnail tells its parent through a pipe.
// The drawer runs reader code, so the parent believes nothing it says
// beyond a bounded text and a picture of the size the parent asked for.
#pragma once

#include <cstddef>
#include <cstdint>

namespace thumbnail_pipe {

// Once, before any model is read: the renderer works and the sandbox is
// up (kReady), or the drawer cannot work here at all (kNoEnvironment).
// Then, for each file the parent left to the drawer, in order: kPicture or
// kFailed.
enum Kind : uint32_t { kReady = 1, kPicture = 2, kFailed = 3, kNoEnvironment = 4 };

// Followed by textBytes of text for standard error, then, for kPicture,
// PictureBytes of pixels.
struct Header {
  uint32_t kind;
  uint32_t textBytes;
};

constexpr uint32_t kMaxTextBytes = 4096;

// R, G, B and an unused byte per pixel, top row first.
inline size_t PictureBytes(int size) { return static_cast<size_t>(size) * size * 4; }

}  // namespace thumbnail_pipe

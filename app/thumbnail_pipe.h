// What the drawing process of --thumbnail and its parent say to each other
// over their socket. The drawer runs reader code, so the parent believes
// nothing it says beyond a bounded text and a picture of the size the
// parent asked for.
#pragma once

#include <cstddef>
#include <cstdint>

namespace thumbnail_pipe {

// Parent to drawer, one per file: the length of the model's path, then the
// path. The drawer answers each before it reads the next.
struct Request {
  uint32_t pathBytes;
};
constexpr uint32_t kMaxPathBytes = 4096;

// Drawer to parent. Once, before any model is read: the renderer works and
// the sandbox is up (kReady), or the drawer cannot work here at all
// (kNoEnvironment). Then, for each request: kPicture or kFailed.
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

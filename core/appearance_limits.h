// Bounds of a model's appearance as plug-ins may build it: the building
// functions refuse what passes them, and the window refuses a loader's
// reply that passes them, so an honest plug-in never meets the second.
#pragma once

#include <cstdint>

namespace appearance_limits {

constexpr uint64_t kMaxMaterials = 1 << 16;
// Bytes of a material's texture name (a path as the model names it).
constexpr uint64_t kMaxTextureName = 4096;
constexpr uint64_t kMaxImages = 1024;
// All embedded images of one model together, as the file encodes them.
constexpr uint64_t kMaxImageBytes = 256ull << 20;
// Bytes of an image's format hint (a file extension such as "png").
constexpr uint64_t kMaxImageHint = 15;

}  // namespace appearance_limits

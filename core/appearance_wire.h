// A model's appearance as the plug-in loader sends it to the window: the
// two per-polygon and per-corner arrays travel as they are, materials and
// images as a table. The window trusts nothing in it: counts must stay
// within appearance_limits and in step with the model, texts and sizes
// must add up to the table exactly, and material numbers must name a
// material.
//
// The table: ModelHeader::materials MaterialRecords, ModelHeader::images
// ImageRecords, then the materials' texture names and the images' hints,
// back to back in that order, without terminators.
#pragma once

#include <cstdint>
#include <vector>

#include "core/appearance.h"
#include "core/loader_protocol.h"

namespace appearance_wire {

struct MaterialRecord {
  float color[3];
  float opacity;
  uint32_t textureLen;
};
struct ImageRecord {
  uint64_t at;  // the loader's address, or the offset in the memory file
  uint64_t bytes;
  uint32_t hintLen;
  uint32_t unused;
};

// Sets the appearance counts of h for a, and returns its table, with
// imageAt[i] as where image i lies.
std::vector<uint8_t> EncodeTable(const SurfaceAppearance& a, const std::vector<uint64_t>& imageAt,
                                 loader_protocol::ModelHeader& h);

// The appearance counts of h are within the limits and in step with its
// polygons and corners; the table's size is no more than its records and
// texts can take. Says nothing of the table's contents.
bool CountsSound(const loader_protocol::ModelHeader& h);

// Reads the table (n bytes, h's counts already sound) into out's materials
// and images (hints only; data empty) and where each image lies. False,
// leaving out's materials and images empty, when the records and texts do
// not fill the table exactly, a colour or opacity is outside 0 to 1, a
// name holds a NUL, or the image sizes do not add up to h.imageBytes.
bool DecodeTable(const uint8_t* table, size_t n, const loader_protocol::ModelHeader& h,
                 SurfaceAppearance& out, std::vector<ImageRecord>& images);

// Every polygon's material is -1 or one of the materials.
bool MaterialNumbersSound(const SurfaceAppearance& a);

}  // namespace appearance_wire

// What the window (or the command line) and the plug-in loader process say
// to each other over their socket, and how a loaded model lies in the
// shared memory file. Both sides are built from this one header. The
// loader is started with --exe PATH (for GetPluginVer) and --plugin PATH
// for each plug-in to open ahead.
#pragma once

#include <cstdint>

namespace loader_protocol {

// The loader's descriptors, set up by the parent before exec.
constexpr int kSocketFd = 3;  // requests in, replies out
constexpr int kModelFd = 4;   // memfd the loader writes a loaded model into

// The first message, which a loader started ahead of need waits for: the
// limits of its load and the folders it may read, each as a uint32_t
// length and that many bytes. The loader enters its sandbox then.
struct Setup {
  uint64_t memory;      // address-space cap in bytes, 0 for none
  uint32_t cpuSeconds;  // beyond what the loader used before the setup
  uint32_t folders;
};
constexpr uint32_t kMaxFolders = 256;

// kPublish asks the loader to write the model of the last kLoad into the
// memfd, for a parent that may not read the loader's memory directly.
enum class Op : uint32_t { kIsSupport = 1, kLoad = 2, kPublish = 3 };

// Followed by pluginLen bytes of the plug-in's path and pathLen bytes of
// the model file's path (no terminating NULs).
struct Request {
  Op op;
  uint32_t pluginLen;
  uint32_t pathLen;
};

constexpr uint32_t kMaxPathLen = 1 << 16;
constexpr uint32_t kMaxErrorLen = 1024;

// Message kinds sent by the loader, one byte before the body.
constexpr char kReply = 'R';
// Sent by the loader's crash handler when the crash came from running out
// of address space: the parent then names the memory limit, not the signal.
constexpr char kOutOfMemory = 'M';

// Sent before a reply when the sandbox refused files that the plug-in
// tried to open: RefusedHeader, then textLen bytes of the first few paths,
// each ended by '\n'.
constexpr char kRefused = 'D';
struct RefusedHeader {
  uint32_t total;  // distinct paths refused, of which the text names the first
  uint32_t textLen;
};
constexpr uint32_t kMaxRefusedText = 4096;

struct ModelHeader {
  uint64_t vertices;  // Float3 each
  uint64_t polygons;  // polyStart has polygons + 1 entries
  uint64_t corners;   // indexPool entries
  // The appearance, all 0 for a model without one (appearance_wire.h).
  uint64_t materials;         // material records in the table
  uint64_t polygonMaterials;  // 0 or polygons; int32_t each
  uint64_t cornerUVs;         // 0 or corners; Float2 each
  uint64_t images;            // image records in the table
  uint64_t tableBytes;        // the records, then their texts
  uint64_t imageBytes;        // all embedded images together
};

// The arrays of a model, in the order of Reply::where and of the memfd.
enum Array {
  kVertices,
  kPolyStart,
  kIndexPool,
  kPolyMaterial,
  kPolyColor,
  kPolygonMaterials,
  kCornerUVs,
  kTable,
  kArrays
};

// After kReply. For kIsSupport, result is the plug-in's answer. For kLoad,
// its result, the model's counts and where its arrays lie in the loader
// (Array order), valid until the next request; the table's image records
// give where each image lies. errorLen bytes of GetErrMsg text follow a
// failed load. For kPublish, 1 once the model lies in the memfd as
// ModelHeader followed by the same arrays, then the images; the image
// records give their offsets in the file.
struct Reply {
  int32_t result;
  uint32_t errorLen;
  ModelHeader model;
  uint64_t where[kArrays];
};

// A plug-in that cannot even be opened in the loader.
constexpr int32_t kNoPlugin = INT32_MIN;

// Byte size of each array for a model of these counts, in Array order.
inline void ArrayBytes(const ModelHeader& h, uint64_t bytes[kArrays]) {
  const uint64_t b[kArrays] = {h.vertices * 12, (h.polygons + 1) * 4, h.corners * 4,
                               h.polygons * 4,  h.polygons * 12,      h.polygonMaterials * 4,
                               h.cornerUVs * 8, h.tableBytes};
  for (int i = 0; i < kArrays; ++i) bytes[i] = b[i];
}

// Byte size of the memfd contents for a model of these counts: header,
// the arrays, the images.
inline uint64_t ModelBytes(const ModelHeader& h) {
  uint64_t b[kArrays];
  ArrayBytes(h, b);
  uint64_t sum = sizeof(ModelHeader) + h.imageBytes;
  for (uint64_t v : b) sum += v;
  return sum;
}

// Exit status of a loader that caught std::bad_alloc.
constexpr int kExitOutOfMemory = 86;

}  // namespace loader_protocol

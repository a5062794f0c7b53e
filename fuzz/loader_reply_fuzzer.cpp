// The window's decoding of the model the plug-in loader leaves in its
// memory file: any bytes give the model they hold (its appearance too:
// arrays as written, materials and images within their limits), offsets in
// order, or a refusal that keeps nothing; the same counts over the file grown to their
// size (a hole, which costs its writer nothing) are refused unless the
// bytes written cover them.
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <vector>

#include "core/appearance_limits.h"
#include "core/appearance_wire.h"
#include "core/loader_reply.h"
#include "fuzz/fuzz_entry.h"

namespace lp = loader_protocol;
namespace al = appearance_limits;

namespace {

// The default address-space cap: claims up to it must be refused for
// their holes, not for their size.
constexpr uint64_t kCap = 16ull << 30;

int MemoryFile() {
  static const int fd = memfd_create("fuzz-loader-reply", MFD_CLOEXEC);
  if (fd < 0) FuzzCheckFailed("cannot create the memory file");
  return fd;
}

void Fill(int fd, const uint8_t* data, size_t size) {
  if (ftruncate(fd, 0) != 0) FuzzCheckFailed("cannot empty the memory file");
  for (size_t off = 0; off < size;) {
    const ssize_t w = pwrite(fd, data + off, size - off, static_cast<off_t>(off));
    if (w <= 0) FuzzCheckFailed("cannot write the memory file");
    off += static_cast<size_t>(w);
  }
}

template <typename T>
bool Holds(const std::vector<T>& v, const uint8_t*& at) {
  const size_t n = v.size() * sizeof(T);
  const bool same = n == 0 || memcmp(v.data(), at, n) == 0;
  at += n;
  return same;
}

}  // namespace

TARNELLE_FUZZ_ENTRY {
  const int fd = MemoryFile();
  Fill(fd, data, size);
  lp::ModelHeader h{};
  if (size >= sizeof h) memcpy(&h, data, sizeof h);

  PolygonModel m;
  if (CopyLoaderModel(fd, kCap, m)) {
    FUZZ_CHECK(lp::ModelBytes(h) == size);
    FUZZ_CHECK(m.vertices.size() == h.vertices &&
               m.PolygonCount() == static_cast<int64_t>(h.polygons) &&
               m.indexPool.size() == h.corners);
    FUZZ_CHECK(LoaderOffsetsInOrder(m));
    const uint8_t* at = data + sizeof h;
    FUZZ_CHECK(Holds(m.vertices, at) && Holds(m.polyStart, at) && Holds(m.indexPool, at) &&
               Holds(m.polyMaterial, at) && Holds(m.polyColor, at));
    const SurfaceAppearance& a = m.appearance;
    FUZZ_CHECK(Holds(a.polygonMaterial, at) && Holds(a.cornerUV, at));
    FUZZ_CHECK(a.polygonMaterial.empty() || a.polygonMaterial.size() == h.polygons);
    FUZZ_CHECK(a.cornerUV.empty() || a.cornerUV.size() == h.corners);
    FUZZ_CHECK(a.materials.size() == h.materials && a.images.size() == h.images &&
               a.materials.size() <= al::kMaxMaterials && a.images.size() <= al::kMaxImages);
    FUZZ_CHECK(appearance_wire::MaterialNumbersSound(a));
    uint64_t imageBytes = 0;
    for (const EmbeddedImage& i : a.images) imageBytes += i.data.size();
    FUZZ_CHECK(imageBytes == h.imageBytes && imageBytes <= al::kMaxImageBytes);
    for (const SurfaceMaterial& s : a.materials)
      FUZZ_CHECK(s.texture.size() <= al::kMaxTextureName && s.opacity >= 0 && s.opacity <= 1);
  } else {
    const SurfaceAppearance& a = m.appearance;
    FUZZ_CHECK(m.vertices.capacity() == 0 && m.indexPool.capacity() == 0 &&
               m.polyMaterial.capacity() == 0 && m.polyColor.capacity() == 0 &&
               m.polyStart.size() == 1 && a.materials.capacity() == 0 &&
               a.polygonMaterial.capacity() == 0 && a.cornerUV.capacity() == 0 &&
               a.images.capacity() == 0);
  }

  // Counts small enough for ModelBytes not to wrap, claiming more than
  // was written.
  if (size < sizeof h || h.vertices >= (1ull << 31) || h.polygons >= (1ull << 31) ||
      h.corners >= (1ull << 32) || !appearance_wire::CountsSound(h))
    return 0;
  const uint64_t claimed = lp::ModelBytes(h);
  struct stat st;
  if (claimed <= size || claimed > kCap || fstat(fd, &st) != 0) return 0;
  const uint64_t written = static_cast<uint64_t>(st.st_blocks) * 512;
  if (ftruncate(fd, static_cast<off_t>(claimed)) != 0) return 0;
  PolygonModel grown;
  FUZZ_CHECK(!CopyLoaderModel(fd, kCap, grown) || claimed <= written);
  return 0;
}

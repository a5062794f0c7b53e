#include "archivers/zip_directory.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "core/fd_io.h"

namespace {

constexpr uint32_t kEndSig = 0x06054b50;
constexpr uint32_t kEntrySig = 0x02014b50;
constexpr size_t kEndSize = 22;
constexpr size_t kEntrySize = 46;

uint16_t U16(const unsigned char* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
uint32_t U32(const unsigned char* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}
uint64_t U64(const unsigned char* p) {
  return static_cast<uint64_t>(U32(p)) | static_cast<uint64_t>(U32(p + 4)) << 32;
}

// The last end-of-directory record whose comment fits the data.
bool FindEnd(const unsigned char* data, size_t size, size_t& at) {
  if (size < kEndSize) return false;
  const size_t lowest = size > kEndSize + 0xFFFF ? size - kEndSize - 0xFFFF : 0;
  for (size_t i = size - kEndSize + 1; i-- > lowest;) {
    if (U32(data + i) != kEndSig) continue;
    if (i + kEndSize + U16(data + i + 20) <= size) {
      at = i;
      return true;
    }
  }
  return false;
}

bool ReadAt(int fd, uint64_t offset, size_t len, std::vector<unsigned char>& buf) {
  buf.resize(len);
  return fd_io::PreadAll(fd, buf.data(), len, static_cast<off_t>(offset));
}

}  // namespace

bool ReadZipDirectory(int fd, uint64_t fileSize, std::vector<ZipDirEntry>& out) {
  out.clear();
  // The end record lies in the last 22 + 65535 bytes (its comment).
  const size_t tailLen = static_cast<size_t>(std::min<uint64_t>(fileSize, kEndSize + 0xFFFF));
  const uint64_t tailStart = fileSize - tailLen;
  std::vector<unsigned char> tail;
  if (!ReadAt(fd, tailStart, tailLen, tail)) return false;
  size_t endInTail = 0;
  if (!FindEnd(tail.data(), tailLen, endInTail)) return false;
  const uint64_t end = tailStart + endInTail;
  const unsigned char* e = tail.data() + endInTail;
  const uint16_t disk = U16(e + 4), cdDisk = U16(e + 6);
  const uint16_t count = U16(e + 10);
  const uint32_t cdSize = U32(e + 12), cdOffset = U32(e + 16);
  // Split archives and ZIP64 ends are left to libarchive.
  if (disk != 0 || cdDisk != 0 || count == 0xFFFF || cdSize == 0xFFFFFFFFu ||
      cdOffset == 0xFFFFFFFFu)
    return false;
  if (cdSize > end) return false;
  // Data in front of the archive (a self-extracting program) shifts every
  // offset; the directory ends where the end record starts.
  const uint64_t cdStart = end - cdSize;
  if (cdStart < cdOffset) return false;
  std::vector<unsigned char> dir;
  if (!ReadAt(fd, cdStart, cdSize, dir)) return false;
  const unsigned char* data = dir.data();
  const size_t cdEnd = cdSize;
  size_t pos = 0;
  out.reserve(count);
  for (uint32_t n = 0; n < count; ++n) {
    if (pos + kEntrySize > cdEnd || U32(data + pos) != kEntrySig) return false;
    const unsigned char* h = data + pos;
    const uint16_t madeBy = U16(h + 4);
    const size_t nameLen = U16(h + 28), extraLen = U16(h + 30), commentLen = U16(h + 32);
    const uint32_t external = U32(h + 38);
    if (pos + kEntrySize + nameLen + extraLen + commentLen > cdEnd) return false;
    ZipDirEntry z;
    z.rawName.assign(reinterpret_cast<const char*>(h + kEntrySize), nameLen);
    // libarchive's names stop at a NUL too.
    if (const size_t nul = z.rawName.find('\0'); nul != std::string::npos) z.rawName.resize(nul);
    z.dosTime = U16(h + 12);
    z.dosDate = U16(h + 14);
    const uint32_t size32 = U32(h + 24);
    z.size = size32;
    const unsigned char* x = h + kEntrySize + nameLen;
    const unsigned char* xEnd = x + extraLen;
    while (x + 4 <= xEnd) {
      const uint16_t id = U16(x), len = U16(x + 2);
      const unsigned char* body = x + 4;
      if (body + len > xEnd) break;
      if (id == 0x7075) return false;  // Unicode path: libarchive's naming rules apply
      if (id == 0x0001 && size32 == 0xFFFFFFFFu && len >= 8) z.size = U64(body);
      if (id == 0x5455 && len >= 5 && (body[0] & 1))
        z.utcMTime = static_cast<int32_t>(U32(body + 1));
      x = body + len;
    }
    const unsigned system = madeBy >> 8;
    const uint32_t mode = external >> 16;
    if (!z.rawName.empty() && z.rawName.back() == '/') z.regular = false;
    // Permission bits without type bits (as Python's zipfile writes them)
    // mean a regular file, as unzip and libarchive read them.
    if (system == 3 && (mode & S_IFMT) != 0 && !S_ISREG(mode)) z.regular = false;
    if ((external & 0x10) != 0 && (system == 0 || system == 11 || system == 14))
      z.regular = false;  // an MS-DOS folder
    out.push_back(std::move(z));
    pos += kEntrySize + nameLen + extraLen + commentLen;
  }
  return true;
}

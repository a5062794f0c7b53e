// The member list of a ZIP read from its central directory alone, so that
// listing never visits the members themselves (libarchive reads every
// local header). Extraction still goes through libarchive.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct ZipDirEntry {
  std::string rawName;  // as stored
  uint64_t size = 0;    // uncompressed
  uint16_t dosDate = 0, dosTime = 0;
  int64_t utcMTime = -1;  // from the extended timestamp field; -1 when absent
  bool regular = true;    // not a folder or a link
};

// False when the data is not a ZIP whose directory this reader takes on
// (no end record, a directory outside the data, ZIP64 ends, Unicode path
// fields): the caller then lists through libarchive.
bool ReadZipDirectory(const unsigned char* data, size_t size, std::vector<ZipDirEntry>& out);

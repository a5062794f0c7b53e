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

// Reads the end record and the directory of the open file fd (fileSize
// bytes) and nothing else. False when it is not a ZIP whose directory this
// reader takes on (no end record, a directory outside the file, ZIP64 ends,
// Unicode path fields): the caller then lists through libarchive.
bool ReadZipDirectory(int fd, uint64_t fileSize, std::vector<ZipDirEntry>& out);

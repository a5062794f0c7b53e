// Archives for the tests: written with libarchive's writer, or by hand
// where a test needs bytes no writer produces (CP932 names without the
// UTF-8 flag, hostile names, sizes the data does not have).
#pragma once

#include <cstdint>
#include <ctime>
#include <string>
#include <utility>
#include <vector>

struct FixtureEntry {
  FixtureEntry(std::string n, std::string d, char k = 'f', std::string t = {},
               time_t m = 1700000000)
      : name(std::move(n)), data(std::move(d)), kind(k), target(std::move(t)), mtime(m) {}
  std::string name;
  std::string data;
  char kind = 'f';     // 'f' file, 'd' folder, 'l' symbolic link, 'h' hard link
  std::string target;  // link target
  time_t mtime = 1700000000;
};

// format: "zip", "7z", "tar"; filter: "" or "gzip", "bzip2", "compress".
// A passphrase encrypts a ZIP's members (traditional PKWARE encryption).
void WriteArchive(const std::string& path, const std::string& format, const std::string& filter,
                  const std::vector<FixtureEntry>& entries, const char* passphrase = nullptr);
// One file compressed with filter, no archive format.
void WriteCompressedFile(const std::string& path, const std::string& filter,
                         const std::string& data);

struct HandZipEntry {
  HandZipEntry(std::string n, std::string d, bool u = true, long long c = -1, uint32_t m = 0100644u,
               unsigned date = 0x5721, bool def = false)
      : name(std::move(n)),
        data(std::move(d)),
        utf8Flag(u),
        claimedSize(c),
        mode(m),
        dosDate(date),
        deflate(def) {}
  std::string name;  // raw bytes, NUL allowed
  std::string data;  // stored as is, or in stored deflate blocks
  bool utf8Flag = true;
  long long claimedSize = -1;  // the uncompressed size the headers state; -1: the data's
  uint32_t mode = 0100644u;    // Unix mode in the external attributes
  unsigned dosDate = 0x5721;   // 2023/09/01
  // Method deflate: the compressed size is then the stream's own, so a
  // claimed size can be smaller than what the stream inflates to.
  bool deflate = false;
};
// A ZIP of stored members.
std::string HandZip(const std::vector<HandZipEntry>& entries);

// A gzip file of one stored block whose header carries the original name
// and modification time (as gzip -N writes them).
std::string HandGzip(const std::string& name, uint32_t mtime, const std::string& data);

// An LHA archive of one -lh0- (stored) member with a level 0 header whose
// original size is claimedSize (-1: the data's).
std::string HandLzh(const std::string& name, const std::string& data, long long claimedSize = -1);

// n bytes that do not compress (the same every time).
std::string NoiseBytes(size_t n);

// A ustar header block for a regular file of the given claimed size
// (data not included).
std::string TarHeader(const std::string& name, unsigned long long size, char type = '0',
                      const std::string& link = {});

// A whole GNU tar holding one old-style sparse member ('S') of realSize
// bytes whose only data is `data` (a multiple of 512 bytes, may be empty)
// at offset 0; the rest is one hole.
std::string GnuSparseTar(const std::string& name, unsigned long long realSize,
                         const std::string& data);

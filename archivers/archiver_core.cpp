#include "archivers/archiver_core.h"

#include <archive.h>
#include <archive_entry.h>
#include <fcntl.h>
#include <iconv.h>
#include <locale.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "archivers/zip_directory.h"

namespace {

// libarchive converts names through the calling thread's locale. A UTF-8
// locale for the length of each call makes UTF-8 and UTF-16 names come out
// as UTF-8 and leaves names of unknown encoding as their raw bytes.
class Utf8Locale {
 public:
  Utf8Locale() {
    // Freed when the module is unloaded.
    static const struct Holder {
      locale_t utf8 = newlocale(LC_ALL_MASK, "C.UTF-8", nullptr);
      ~Holder() {
        if (utf8) freelocale(utf8);
      }
    } holder;
    if (holder.utf8) old_ = uselocale(holder.utf8);
  }
  ~Utf8Locale() {
    if (old_) uselocale(old_);
  }
  Utf8Locale(const Utf8Locale&) = delete;
  Utf8Locale& operator=(const Utf8Locale&) = delete;

 private:
  locale_t old_ = nullptr;
};

bool ValidUtf8(const std::string& s) {
  size_t i = 0;
  const size_t n = s.size();
  while (i < n) {
    const auto c = static_cast<unsigned char>(s[i]);
    int more;
    uint32_t cp;
    if (c < 0x80) {
      ++i;
      continue;
    } else if ((c & 0xE0) == 0xC0) {
      more = 1;
      cp = c & 0x1F;
    } else if ((c & 0xF0) == 0xE0) {
      more = 2;
      cp = c & 0x0F;
    } else if ((c & 0xF8) == 0xF0) {
      more = 3;
      cp = c & 0x07;
    } else {
      return false;
    }
    if (i + static_cast<size_t>(more) >= n) return false;
    for (int k = 1; k <= more; ++k) {
      const auto d = static_cast<unsigned char>(s[i + static_cast<size_t>(k)]);
      if ((d & 0xC0) != 0x80) return false;
      cp = cp << 6 | (d & 0x3F);
    }
    // Overlong forms, surrogates and values past U+10FFFF are not UTF-8.
    if ((more == 1 && cp < 0x80) || (more == 2 && cp < 0x800) || (more == 3 && cp < 0x10000) ||
        cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
      return false;
    i += static_cast<size_t>(more) + 1;
  }
  return true;
}

// Converts s from charset to UTF-8; false when s is not valid in it.
bool FromCharset(std::string& s, const char* charset) {
  iconv_t cd = iconv_open("UTF-8", charset);
  if (cd == reinterpret_cast<iconv_t>(-1)) return false;
  std::string out(s.size() * 3 + 4, '\0');
  char* in = s.data();
  size_t inLeft = s.size();
  char* o = out.data();
  size_t outLeft = out.size();
  const size_t r = iconv(cd, &in, &inLeft, &o, &outLeft);
  iconv_close(cd);
  if (r == static_cast<size_t>(-1) || inLeft != 0) return false;
  out.resize(out.size() - outLeft);
  s = std::move(out);
  return true;
}

// A member name as the program sees it: UTF-8; else CP932 (names written
// on Japanese Windows); else, so that no member is lost, a charset that
// maps every byte: CP437 for ZIP (DOS zippers without the UTF-8 flag),
// Latin-1 elsewhere (tars from European systems). The same bytes always
// give the same name, which is how extraction finds the member again.
// Windows archivers separate folders with "\"; in CP932 a "\" that is the
// second byte of a character is gone by now, so every one left is a folder
// separator.
bool DecodeName(ArcKind kind, const char* raw, std::string& out) {
  if (!raw || !*raw) return false;
  out = raw;
  const bool zip = kind == ArcKind::kZip || kind == ArcKind::kZip7z;
  if (!ValidUtf8(out) && !FromCharset(out, "CP932") &&
      !FromCharset(out, zip ? "CP437" : "ISO-8859-1"))
    return false;
  if (kind != ArcKind::kTar)
    for (char& c : out)
      if (c == '\\') c = '/';
  return true;
}

// Whether a member can be listed: a name that fits the record, that the
// extraction command can quote and that a line of text can carry.
bool ListableName(const std::string& name) {
  if (name.empty() || name.size() > 512) return false;
  for (const char c : name)
    if (c == '"' || static_cast<unsigned char>(c) < 0x20 || c == 0x7F) return false;
  return true;
}

// Tar writers spell one path in several ways ("./dir/file", "dir//file"):
// hard link targets are matched to names in this form.
std::string PathKey(const std::string& path) {
  std::string out;
  for (size_t i = 0; i <= path.size();) {
    size_t j = path.find('/', i);
    if (j == std::string::npos) j = path.size();
    const std::string_view part(path.data() + i, j - i);
    if (!part.empty() && part != ".") {
      if (!out.empty()) out += '/';
      out += part;
    }
    i = j + 1;
  }
  return out;
}

std::string BaseName(const std::string& path) {
  size_t cut = path.find_last_of('/');
  if (cut == std::string::npos) cut = path.find_last_of('\\');
  return cut == std::string::npos ? path : path.substr(cut + 1);
}

bool EndsWithNoCase(const std::string& s, const char* suffix) {
  const size_t n = strlen(suffix);
  if (s.size() <= n) return false;
  for (size_t i = 0; i < n; ++i) {
    char c = s[s.size() - n + i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != suffix[i]) return false;
  }
  return true;
}

// The member name of a single compressed file: the file's name without its
// compression extension.
std::string SingleFileName(const std::string& archivePath) {
  std::string base = BaseName(archivePath);
  for (const char* ext : {".gz", ".bz2", ".z"})
    if (EndsWithNoCase(base, ext)) return base.substr(0, base.size() - strlen(ext));
  if (EndsWithNoCase(base, ".tgz")) return base.substr(0, base.size() - 4) + ".tar";
  return base;
}

// Whether the file's name says tar (x.tar, x.tar.gz, x.tgz, ...) rather
// than one compressed file (x.stl.gz).
bool TarByName(const std::string& path) {
  const std::string base = BaseName(path);
  for (const char* ext : {".tar", ".tar.gz", ".tar.bz2", ".tar.z", ".tgz", ".taz", ".tbz", ".tbz2"})
    if (EndsWithNoCase(base, ext)) return true;
  return false;
}

// The original name and time a gzip header may carry (gzip -N).
struct GzipHeaderInfo {
  std::string name;  // base name, UTF-8; empty when absent or unusable
  time_t mtime = 0;  // 0 when absent
};

GzipHeaderInfo ReadGzipHeader(const std::string& path) {
  GzipHeaderInfo info;
  FILE* f = fopen(path.c_str(), "rb");
  if (!f) return info;
  unsigned char h[10];
  if (fread(h, 1, sizeof h, f) == sizeof h && h[0] == 0x1f && h[1] == 0x8b && h[2] == 8) {
    const unsigned flags = h[3];
    info.mtime =
        static_cast<time_t>(h[4] | h[5] << 8 | h[6] << 16 | static_cast<uint32_t>(h[7]) << 24);
    bool ok = true;
    if (flags & 0x04) {  // FEXTRA: a length, then that many bytes
      unsigned char x[2];
      ok = fread(x, 1, 2, f) == 2 && fseek(f, x[0] | x[1] << 8, SEEK_CUR) == 0;
    }
    if (ok && (flags & 0x08)) {  // FNAME: zero-terminated, ISO-8859-1 by the format
      std::string raw;
      int c;
      while ((c = fgetc(f)) > 0 && raw.size() < 1024) raw.push_back(static_cast<char>(c));
      if (c == 0 && !raw.empty() && (ValidUtf8(raw) || FromCharset(raw, "ISO-8859-1"))) {
        // Only the base name: the header is the archive's word, not a path to trust.
        const size_t cut = raw.find_last_of("/\\");
        info.name = cut == std::string::npos ? raw : raw.substr(cut + 1);
        if (info.name == "." || info.name == "..") info.name.clear();
      }
    }
  }
  fclose(f);
  return info;
}

// How far a bzip2 or compress file is decompressed to learn its size.
constexpr int64_t kSizeProbeLimit = int64_t{256} << 20;

bool IsRegularFile(const char* path) {
  struct stat st;
  return path && stat(path, &st) == 0 && S_ISREG(st.st_mode);
}

struct Reader {
  ArcKind kind = ArcKind::kZip;
  std::string path;
  archive* a = nullptr;
  bool single = false;   // one compressed file, no archive format
  bool rawOnly = false;  // read as one compressed file whatever its data looks like
  long entries = 0;      // headers read since Open
  bool gzipRead = false;
  GzipHeaderInfo gzip;
  ~Reader() { Close(); }
  void Close() {
    if (a) archive_read_free(a);
    a = nullptr;
  }

  bool Open() {
    Close();
    // Only regular files: a FIFO or a device would block or never end.
    if (!IsRegularFile(path.c_str())) return false;
    a = archive_read_new();
    if (!a) return false;
    switch (kind) {
      case ArcKind::kLha:
        // LHA names are converted to wide characters inside libarchive,
        // which fails on anything not in the named charset; LZH archives
        // come from Japanese Windows.
        archive_read_support_format_lha(a);
        archive_read_set_format_option(a, "lha", "hdrcharset", "CP932");
        break;
      case ArcKind::kZip7z:
        archive_read_support_format_zip(a);
        archive_read_support_format_7zip(a);
        break;
      case ArcKind::kZip:
        archive_read_support_format_zip(a);
        break;
      case ArcKind::kTar:
        if (!rawOnly) {
          archive_read_support_format_tar(a);
          archive_read_support_format_gnutar(a);
        }
        archive_read_support_format_raw(a);
        archive_read_support_filter_gzip(a);
        archive_read_support_filter_bzip2(a);
        archive_read_support_filter_compress(a);
        break;
    }
    // ZIP, 7z and LHA readers seek to every member's header and read a
    // block there: a small block keeps that cheap.
    const size_t block = kind == ArcKind::kTar ? 64 * 1024 : 4 * 1024;
    if (archive_read_open_filename(a, path.c_str(), block) != ARCHIVE_OK) {
      Close();
      return false;
    }
    entries = 0;
    return true;
  }

  // The next header: 1 a member, 0 the end, -1 an error.
  int Next(archive_entry*& e) {
    int r = archive_read_next_header(a, &e);
    // Compressed data that begins with a zero block reads as an empty tar;
    // unless the name says tar, it is one compressed file (gzip of a file
    // of zeros).
    if (r == ARCHIVE_EOF && entries == 0 && !rawOnly && kind == ArcKind::kTar &&
        archive_filter_code(a, 0) != ARCHIVE_FILTER_NONE && !TarByName(path)) {
      rawOnly = true;
      if (!Open()) return -1;
      r = archive_read_next_header(a, &e);
    }
    if (r == ARCHIVE_EOF) return 0;
    if (r != ARCHIVE_OK && r != ARCHIVE_WARN) return -1;
    ++entries;
    single = archive_format(a) == ARCHIVE_FORMAT_RAW;
    // An uncompressed file that is no archive is never taken for one.
    if (single && archive_filter_code(a, 0) == ARCHIVE_FILTER_NONE) return -1;
    return 1;
  }

  bool Gzip() const { return single && archive_filter_code(a, 0) == ARCHIVE_FILTER_GZIP; }

  bool Name(archive_entry* e, std::string& name) {
    if (single) {
      name = SingleFileName(path);
      if (Gzip()) {
        const GzipHeaderInfo& g = GzipInfo();
        // A stored name that could not be handed back keeps the file's own.
        if (!g.name.empty() && ListableName(g.name)) name = g.name;
      }
      return !name.empty();
    }
    return DecodeName(kind, archive_entry_pathname(e), name);
  }

  // A file with data of its own. Type bits of 0 (ZIPs with bare permission
  // bits) mean a regular file unless the name marks a folder.
  bool Regular(archive_entry* e) const {
    if (single) return true;
    const auto type = archive_entry_filetype(e);
    const char* raw = archive_entry_pathname(e);
    const bool folderName = raw && *raw && raw[strlen(raw) - 1] == '/';
    return (type == AE_IFREG || (type == 0 && !folderName)) && !archive_entry_hardlink(e) &&
           !archive_entry_symlink(e);
  }

  // A second name of an earlier member (tar hard links).
  bool HardLink(archive_entry* e) const { return !single && archive_entry_hardlink(e); }

  const GzipHeaderInfo& GzipInfo() {
    if (!gzipRead) gzip = ReadGzipHeader(path);
    gzipRead = true;
    return gzip;
  }

  // The uncompressed size as far as it is known; gzip keeps it (modulo
  // 2^32) in its last four bytes, bzip2 and compress only by decompressing
  // (up to a bound; this uses up the entry's data, and sets broken when
  // that data ends in an error).
  int64_t Size(archive_entry* e, bool& broken) const {
    if (!single) return archive_entry_size_is_set(e) ? archive_entry_size(e) : 0;
    if (archive_filter_code(a, 0) != ARCHIVE_FILTER_GZIP) {
      std::vector<char> buf(256 * 1024);
      int64_t total = 0;
      while (total <= kSizeProbeLimit) {
        const la_ssize_t n = archive_read_data(a, buf.data(), buf.size());
        if (n == 0) return total;
        if (n < 0) {
          broken = true;
          return 0;
        }
        total += n;
      }
      return 0;
    }
    int64_t size = 0;
    if (FILE* f = fopen(path.c_str(), "rb")) {
      unsigned char b[4];
      if (fseek(f, -4, SEEK_END) == 0 && fread(b, 1, 4, f) == 4)
        size = b[0] | b[1] << 8 | b[2] << 16 | static_cast<int64_t>(b[3]) << 24;
      fclose(f);
    }
    return size;
  }

  time_t MTime(archive_entry* e) {
    if (!single && archive_entry_mtime_is_set(e)) return archive_entry_mtime(e);
    if (Gzip() && GzipInfo().mtime != 0) return GzipInfo().mtime;
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? st.st_mtime : 0;
  }
};

void FillRecord(ArcMemberRecord* r, const std::string& name, int64_t size, time_t mtime) {
  memset(r, 0, sizeof *r);
  r->originalSize = size < 0 ? 0 : size > 0xFFFFFFFFLL ? 0xFFFFFFFFu : static_cast<uint32_t>(size);
  struct tm t = {};
  if (!localtime_r(&mtime, &t)) t.tm_year = 80, t.tm_mday = 1;
  int year = t.tm_year + 1900, mon = t.tm_mon + 1, day = t.tm_mday;
  int hour = t.tm_hour, min = t.tm_min, sec = t.tm_sec;
  if (year < 1980) {
    year = 1980, mon = 1, day = 1, hour = 0, min = 0, sec = 0;
  } else if (year > 2107) {
    year = 2107, mon = 12, day = 31, hour = 23, min = 59, sec = 58;
  }
  r->date = static_cast<uint16_t>((year - 1980) << 9 | mon << 5 | day);
  r->time = static_cast<uint16_t>(hour << 11 | min << 5 | (sec > 59 ? 59 : sec) / 2);
  memcpy(r->fileName, name.data(), name.size());
}

// A ZIP name from the central directory, named exactly as the same entry
// read through libarchive.
bool DecodeZipName(const std::string& raw, std::string& out) {
  return DecodeName(ArcKind::kZip, raw.c_str(), out);
}

struct Handle {
  Reader reader;
  // ZIP members listed from the central directory, served from here.
  bool fromDirectory = false;
  std::vector<ZipDirEntry> directory;
  size_t next = 0;
  // Sizes of the regular members listed so far (by PathKey), for their
  // hard links.
  std::map<std::string, int64_t> listedSizes;
  int64_t currentSize = -1;  // of the member last returned; -1: none
  bool damaged = false;      // reading stopped at data it could not read
};

void PutOutput(char* output, unsigned long size, const char* text) {
  if (!output || size == 0) return;
  size_t n = strlen(text);
  if (n >= size) n = size - 1;
  memcpy(output, text, n);
  output[n] = '\0';
}

bool ParseCommand(const char* cmd, std::string& archivePath, std::string& folder,
                  std::string& member) {
  std::vector<std::string> quoted;
  for (const char* p = cmd; *p;) {
    if (*p != '"') {
      ++p;
      continue;
    }
    const char* end = strchr(p + 1, '"');
    if (!end) return false;
    quoted.emplace_back(p + 1, end);
    p = end + 1;
  }
  if (quoted.size() != 3) return false;
  archivePath = quoted[0];
  folder = quoted[1];
  member = quoted[2];
  return true;
}

// Creates a fresh temporary file in the folder; never opens an existing
// file or follows a link.
int CreateTemp(int dir, std::string& name) {
  static unsigned counter = 0;
  for (int tries = 0; tries < 100; ++tries) {
    char buf[64];
    snprintf(buf, sizeof buf, ".tarnelle-%d-%u.part", static_cast<int>(getpid()), ++counter);
    const int fd = openat(dir, buf, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd >= 0) {
      name = buf;
      return fd;
    }
    if (errno != EEXIST) return -1;
  }
  return -1;
}

enum ExtractError {
  kOk = 0,
  kBadCommand = 0x8001,
  kBadFolder,
  kBadArchive,
  kNotFound,
  kNoSpace,
  kWriteFailed,
  kTooLarge,
  kSizeMismatch,  // more data than the header states
  kEncrypted,
};

// How far a member's data may run past the size its header states before
// it is refused as damaged.
constexpr uint64_t kSizeSlack = 64 * 1024;

// What one member may take: no more than a model load could use (the
// physical memory), and never the last of the disk.
struct Room {
  uint64_t limit = UINT64_MAX;  // bytes a member may have
  uint64_t space = UINT64_MAX;  // bytes the folder may take
};

Room RoomFor(int dir) {
  Room room;
  const long pages = sysconf(_SC_PHYS_PAGES), pageSize = sysconf(_SC_PAGESIZE);
  if (pages > 0 && pageSize > 0)
    room.limit = static_cast<uint64_t>(pages) * static_cast<uint64_t>(pageSize);
  // A lower limit for tests, so that the bound shows without gigabytes;
  // it never raises the limit.
  if (const char* v = getenv("TARNELLE_MEMBER_LIMIT")) {
    char* end = nullptr;
    const unsigned long long n = strtoull(v, &end, 10);
    if (end != v && *end == '\0') room.limit = std::min<uint64_t>(room.limit, n);
  }
  struct statvfs vfs;
  if (fstatvfs(dir, &vfs) == 0) {
    const uint64_t free = static_cast<uint64_t>(vfs.f_bavail) * vfs.f_frsize;
    const uint64_t total = static_cast<uint64_t>(vfs.f_blocks) * vfs.f_frsize;
    const uint64_t reserve = std::min<uint64_t>(total / 20, uint64_t{1} << 30);
    room.space = free > reserve ? free - reserve : 0;
  }
  return room;
}

// Why a member of this many bytes cannot be written, or kOk.
int RefusalFor(uint64_t bytes, const Room& room) {
  if (bytes > room.limit) return kTooLarge;
  if (bytes > room.space) return kNoSpace;
  return kOk;
}

// Copies the current entry's data into a new file of dir; false when the
// data ends early, grows past what the room allows or, where the header
// states a size (statedSize >= 0), runs past it. A sparse member's
// trailing hole (all of it, for a file that is one hole) is given back by
// extending the file to the size the header states.
bool WriteEntry(archive* a, int64_t statedSize, int dir, const Room& room, std::string& tmp,
                int& error) {
  const int fd = CreateTemp(dir, tmp);
  if (fd < 0) {
    error = kWriteFailed;
    return false;
  }
  std::vector<char> buf(256 * 1024);
  uint64_t written = 0;
  bool ok = true;
  while (true) {
    const la_ssize_t n = archive_read_data(a, buf.data(), buf.size());
    if (n == 0) break;
    if (n < 0) {
      ok = false;
      error = kBadArchive;
      break;
    }
    written += static_cast<uint64_t>(n);
    // The header's size is the format's word: data past it (a deflate
    // stream that inflates on and on) is stopped before it is written.
    if (statedSize >= 0 && written > static_cast<uint64_t>(statedSize) + kSizeSlack) {
      ok = false;
      error = kSizeMismatch;
      break;
    }
    if (const int refusal = RefusalFor(written, room); refusal != kOk) {
      ok = false;
      error = refusal;
      break;
    }
    for (la_ssize_t off = 0; off < n;) {
      const ssize_t w = write(fd, buf.data() + off, static_cast<size_t>(n - off));
      if (w <= 0) {
        if (w < 0 && errno == EINTR) continue;
        ok = false;
        error = kWriteFailed;
        break;
      }
      off += w;
    }
    if (!ok) break;
  }
  if (ok && statedSize > 0 && written < static_cast<uint64_t>(statedSize) &&
      ftruncate(fd, static_cast<off_t>(statedSize)) != 0) {
    ok = false;
    error = kWriteFailed;
  }
  if (close(fd) != 0) ok = false;
  if (!ok) {
    unlinkat(dir, tmp.c_str(), 0);
    tmp.clear();
  }
  return ok;
}

// The latest entry of a wanted name, when it is a hard link.
struct LinkMatch {
  bool found = false;
  std::string target;
  long index = 0;
};

// One read through the archive, up to entry number `before`: the data of
// the latest entry named `want` goes to a new file of dir (candidate), or,
// when that entry is a hard link, its target is returned in link. A link
// target (byKey) matches names spelled differently (PathKey).
int ExtractPass(ArcKind kind, const std::string& archivePath, int dir, const std::string& want,
                bool byKey, long before, const Room& room, std::string& candidate,
                LinkMatch& link) {
  Reader reader;
  reader.kind = kind;
  reader.path = archivePath;
  if (!reader.Open()) return kBadArchive;
  int error = kNotFound;
  archive_entry* e = nullptr;
  std::string name;
  long index = -1;
  const std::string wantKey = byKey ? PathKey(want) : want;
  while (reader.Next(e) > 0) {
    if (++index >= before) break;
    if (!reader.Name(e, name) || (byKey ? PathKey(name) : name) != wantKey) continue;
    // A later entry of the same path replaces an earlier one.
    if (!candidate.empty()) unlinkat(dir, candidate.c_str(), 0);
    candidate.clear();
    link = {};
    error = kNotFound;
    if (reader.HardLink(e)) {
      std::string target;
      if (DecodeName(kind, archive_entry_hardlink(e), target)) link = {true, target, index};
      continue;
    }
    if (!reader.Regular(e)) continue;
    if (archive_entry_is_encrypted(e)) {
      error = kEncrypted;
      continue;
    }
    const int64_t stated =
        !reader.single && archive_entry_size_is_set(e) ? archive_entry_size(e) : -1;
    // Refused before a byte is written.
    if (stated > 0) {
      error = RefusalFor(static_cast<uint64_t>(stated), room);
      if (error != kOk) continue;
    }
    std::string tmp;
    if (WriteEntry(reader.a, stated, dir, room, tmp, error)) {
      candidate = tmp;
      error = kOk;
    } else if (error == kBadArchive) {
      break;
    }
  }
  return error;
}

int Extract(ArcKind kind, const std::string& archivePath, std::string folder,
            const std::string& member) {
  // One regular file, named by the member's base name (as the program
  // names it), inside the folder.
  const std::string base = BaseName(member);
  if (base.empty() || base == "." || base == ".." || base.find('/') != std::string::npos)
    return kBadCommand;
  while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
  if (folder.empty() || folder == "/") return kBadFolder;
  const int dir = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (dir < 0) return kBadFolder;
  const Room room = RoomFor(dir);

  std::string candidate;  // the extracted copy
  // Where "\" separates folders the names are listed with "/"; a member
  // typed with "\" (as on Windows) is the same member.
  std::string want = member;
  if (kind != ArcKind::kTar) std::replace(want.begin(), want.end(), '\\', '/');
  long before = LONG_MAX;
  int error = kNotFound;
  // A hard link is a second name: its data is its target's, as the target
  // stood before the link. Chains are followed a few steps, never in a loop.
  for (int hop = 0; hop < 8; ++hop) {
    LinkMatch link;
    error = ExtractPass(kind, archivePath, dir, want, hop > 0, before, room, candidate, link);
    if (!link.found || error == kBadArchive) break;
    want = link.target;
    before = link.index;
  }
  if (!candidate.empty()) {
    // rename replaces a link of that name, never writes through it.
    if (renameat(dir, candidate.c_str(), dir, base.c_str()) != 0) {
      unlinkat(dir, candidate.c_str(), 0);
      error = kWriteFailed;
    }
  }
  close(dir);
  return error;
}

}  // namespace

int ArcCoreCheck(ArcKind kind, const char* path, int /*mode*/) {
  if (!path) return 0;
  Utf8Locale utf8;
  Reader reader;
  reader.kind = kind;
  reader.path = path;
  if (!reader.Open()) return 0;
  archive_entry* e = nullptr;
  return reader.Next(e) >= 0 ? 1 : 0;
}

ArcHandle ArcCoreOpen(ArcKind kind, const char* path, unsigned long /*mode*/) {
  if (!path) return nullptr;
  Utf8Locale utf8;
  auto h = std::make_unique<Handle>();
  h->reader.kind = kind;
  h->reader.path = path;
  if (!h->reader.Open()) return nullptr;
  return h.release();
}

int ArcCoreFindNext(ArcHandle archive, ArcMemberRecord* record) {
  auto* h = static_cast<Handle*>(archive);
  if (!h || !record) return -1;
  h->currentSize = -1;
  if (h->fromDirectory) {
    std::string name;
    while (h->next < h->directory.size()) {
      const ZipDirEntry& z = h->directory[h->next++];
      if (!z.regular || !DecodeZipName(z.rawName, name) || !ListableName(name)) continue;
      const int64_t size = static_cast<int64_t>(std::min<uint64_t>(z.size, INT64_MAX));
      if (z.utcMTime >= 0) {
        FillRecord(record, name, size, static_cast<time_t>(z.utcMTime));
      } else {
        FillRecord(record, name, size, 0);
        record->date = z.dosDate;  // stored local time, as it is
        record->time = z.dosTime;
      }
      h->currentSize = size;
      return 0;
    }
    return -1;
  }
  if (!h->reader.a) return -1;
  Utf8Locale utf8;
  archive_entry* e = nullptr;
  std::string name;
  // Folders, symbolic links and names that cannot be handed back are not
  // listed; a hard link is, with the size of what it names.
  int r;
  while ((r = h->reader.Next(e)) > 0) {
    if (!h->reader.Name(e, name) || !ListableName(name)) continue;
    int64_t size = 0;
    if (h->reader.HardLink(e)) {
      std::string target;
      if (!DecodeName(h->reader.kind, archive_entry_hardlink(e), target)) continue;
      const auto it = h->listedSizes.find(PathKey(target));
      if (it == h->listedSizes.end()) continue;
      size = it->second;
    } else if (h->reader.Regular(e)) {
      bool broken = false;
      size = h->reader.Size(e, broken);
      if (broken) h->damaged = true;
    } else {
      h->listedSizes.erase(PathKey(name));
      continue;
    }
    h->listedSizes[PathKey(name)] = size;
    FillRecord(record, name, size, h->reader.MTime(e));
    h->currentSize = size;
    return 0;
  }
  if (r < 0) h->damaged = true;
  h->reader.Close();
  return -1;
}

int ArcCoreFindFirst(ArcHandle archive, const char* /*wildcard*/, ArcMemberRecord* record) {
  auto* h = static_cast<Handle*>(archive);
  if (!h || !record) return -1;
  h->currentSize = -1;
  h->damaged = false;
  {
    Utf8Locale utf8;
    if (!h->reader.Open()) return -1;
  }
  h->next = 0;
  h->fromDirectory = false;
  h->listedSizes.clear();
  if (h->reader.kind == ArcKind::kZip || h->reader.kind == ArcKind::kZip7z) {
    const int fd = open(h->reader.path.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat st;
    if (fd >= 0 && fstat(fd, &st) == 0 && S_ISREG(st.st_mode))
      h->fromDirectory = ReadZipDirectory(fd, static_cast<uint64_t>(st.st_size), h->directory);
    if (fd >= 0) close(fd);
  }
  return ArcCoreFindNext(archive, record);
}

int ArcCoreClose(ArcHandle archive) {
  delete static_cast<Handle*>(archive);
  return 0;
}

int ArcCoreOriginalSizeEx(ArcHandle archive, int64_t* size) {
  const auto* h = static_cast<const Handle*>(archive);
  if (!h || !size || h->currentSize < 0) return -1;
  *size = h->currentSize;
  return 0;
}

int ArcCoreListError(ArcHandle archive) {
  const auto* h = static_cast<const Handle*>(archive);
  return h && h->damaged ? kBadArchive : 0;
}

int ArcCoreCommand(ArcKind kind, const char* commandLine, char* output, unsigned long outputSize) {
  std::string archivePath, folder, member;
  if (!commandLine || !ParseCommand(commandLine, archivePath, folder, member)) {
    PutOutput(output, outputSize, "bad command line");
    return kBadCommand;
  }
  Utf8Locale utf8;
  const int r = Extract(kind, archivePath, folder, member);
  PutOutput(output, outputSize, r == kOk ? "" : "extraction failed");
  return r;
}

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
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
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

// Names written on Japanese Windows are CP932.
bool FromCp932(std::string& s) {
  iconv_t cd = iconv_open("UTF-8", "CP932");
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

// A member name as the program sees it: UTF-8, or CP932 decoded when the
// stored bytes are not UTF-8. LHA archives from Windows separate folders
// with "\".
bool DecodeName(ArcKind kind, const char* raw, std::string& out) {
  if (!raw || !*raw) return false;
  out = raw;
  if (!ValidUtf8(out) && !FromCp932(out)) return false;
  if (kind == ArcKind::kLha)
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

bool IsRegularFile(const char* path) {
  struct stat st;
  return path && stat(path, &st) == 0 && S_ISREG(st.st_mode);
}

struct Reader {
  ArcKind kind = ArcKind::kZip;
  std::string path;
  archive* a = nullptr;
  bool single = false;  // one compressed file, no archive format
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
        archive_read_support_format_tar(a);
        archive_read_support_format_gnutar(a);
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
    return true;
  }

  // The next header: 1 a member, 0 the end, -1 an error.
  int Next(archive_entry*& e) {
    const int r = archive_read_next_header(a, &e);
    if (r == ARCHIVE_EOF) return 0;
    if (r != ARCHIVE_OK && r != ARCHIVE_WARN) return -1;
    single = archive_format(a) == ARCHIVE_FORMAT_RAW;
    // An uncompressed file that is no archive is never taken for one.
    if (single && archive_filter_code(a, 0) == ARCHIVE_FILTER_NONE) return -1;
    return 1;
  }

  bool Name(archive_entry* e, std::string& name) const {
    if (single) {
      name = SingleFileName(path);
      return !name.empty();
    }
    return DecodeName(kind, archive_entry_pathname(e), name);
  }

  bool Regular(archive_entry* e) const {
    return single || (archive_entry_filetype(e) == AE_IFREG && !archive_entry_hardlink(e) &&
                      !archive_entry_symlink(e));
  }

  // The uncompressed size as far as it is known; gzip keeps it (modulo
  // 2^32) in its last four bytes.
  int64_t Size(archive_entry* e) const {
    if (!single) return archive_entry_size_is_set(e) ? archive_entry_size(e) : 0;
    if (archive_filter_code(a, 0) != ARCHIVE_FILTER_GZIP) return 0;
    int64_t size = 0;
    if (FILE* f = fopen(path.c_str(), "rb")) {
      unsigned char b[4];
      if (fseek(f, -4, SEEK_END) == 0 && fread(b, 1, 4, f) == 4)
        size = b[0] | b[1] << 8 | b[2] << 16 | static_cast<int64_t>(b[3]) << 24;
      fclose(f);
    }
    return size;
  }

  time_t MTime(archive_entry* e) const {
    if (!single && archive_entry_mtime_is_set(e)) return archive_entry_mtime(e);
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

// A ZIP name as libarchive hands it back: a UTF-8 name with "\" made
// "/", other bytes untouched, then decoded as everywhere else.
bool DecodeZipName(const std::string& raw, std::string& out) {
  if (raw.empty()) return false;
  out = raw;
  if (ValidUtf8(out)) {
    for (char& c : out)
      if (c == '\\') c = '/';
    return true;
  }
  return FromCp932(out);
}

struct Handle {
  Reader reader;
  // ZIP members listed from the central directory, served from here.
  bool fromDirectory = false;
  std::vector<ZipDirEntry> directory;
  size_t next = 0;
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
};

// Copies the current entry's data into a new file of dir; false when the
// data ends early, the disk fills or the data outgrows the free space.
bool WriteEntry(archive* a, int dir, uint64_t freeSpace, std::string& tmp, int& error) {
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
    if (written > freeSpace) {
      ok = false;
      error = kNoSpace;
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
  if (close(fd) != 0) ok = false;
  if (!ok) {
    unlinkat(dir, tmp.c_str(), 0);
    tmp.clear();
  }
  return ok;
}

int Extract(ArcKind kind, const std::string& archivePath, std::string folder,
            const std::string& member) {
  // One regular file, named by the member's base name, inside the folder.
  const std::string base = BaseName(member);
  if (base.empty() || base == "." || base == ".." || base.find('/') != std::string::npos)
    return kBadCommand;
  while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
  if (folder.empty() || folder == "/") return kBadFolder;
  const int dir = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (dir < 0) return kBadFolder;
  struct statvfs vfs;
  const uint64_t freeSpace =
      fstatvfs(dir, &vfs) == 0 ? static_cast<uint64_t>(vfs.f_bavail) * vfs.f_frsize : UINT64_MAX;

  Reader reader;
  reader.kind = kind;
  reader.path = archivePath;
  int error = kNotFound;
  std::string candidate;  // the extracted copy of the latest entry of that name
  if (!reader.Open()) {
    error = kBadArchive;
  } else {
    archive_entry* e = nullptr;
    std::string name;
    int r;
    while ((r = reader.Next(e)) > 0) {
      if (!reader.Name(e, name) || name != member) continue;
      // A later entry of the same path replaces an earlier one.
      if (!candidate.empty()) unlinkat(dir, candidate.c_str(), 0);
      candidate.clear();
      error = kNotFound;
      if (!reader.Regular(e)) continue;
      if (!reader.single && archive_entry_size_is_set(e) &&
          static_cast<uint64_t>(archive_entry_size(e)) > freeSpace) {
        error = kNoSpace;
        continue;
      }
      std::string tmp;
      if (WriteEntry(reader.a, dir, freeSpace, tmp, error)) {
        candidate = tmp;
        error = kOk;
      } else if (error == kBadArchive) {
        break;
      }
    }
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
      return 0;
    }
    return -1;
  }
  if (!h->reader.a) return -1;
  Utf8Locale utf8;
  archive_entry* e = nullptr;
  std::string name;
  // Folders, links and names that cannot be handed back are not listed.
  while (h->reader.Next(e) > 0) {
    if (!h->reader.Regular(e) || !h->reader.Name(e, name) || !ListableName(name)) continue;
    FillRecord(record, name, h->reader.Size(e), h->reader.MTime(e));
    return 0;
  }
  h->reader.Close();
  return -1;
}

int ArcCoreFindFirst(ArcHandle archive, const char* /*wildcard*/, ArcMemberRecord* record) {
  auto* h = static_cast<Handle*>(archive);
  if (!h || !record) return -1;
  {
    Utf8Locale utf8;
    if (!h->reader.Open()) return -1;
  }
  h->next = 0;
  h->fromDirectory = false;
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

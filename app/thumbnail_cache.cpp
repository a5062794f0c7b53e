#include "app/thumbnail_cache.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <QBuffer>
#include <QCryptographicHash>
#include <QFile>
#include <QImageWriter>
#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string_view>

#include "app/cli.h"
#include "core/fd_io.h"

namespace {

const char kTagUri[] = "Thumb::URI";
const char kTagMTime[] = "Thumb::MTime";
const char kTagSize[] = "Thumb::Size";

bool Unescaped(unsigned char c) {
  if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
  return strchr("-._~!$&'()*+,=:@/", c) != nullptr && c != 0;
}

uint32_t Crc32(const char* data, size_t n) {
  static const auto table = [] {
    std::array<uint32_t, 256> t{};
    for (uint32_t i = 0; i < 256; ++i) {
      uint32_t c = i;
      for (int k = 0; k < 8; ++k) c = c & 1 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
      t[i] = c;
    }
    return t;
  }();
  uint32_t c = 0xFFFFFFFFu;
  for (size_t i = 0; i < n; ++i)
    c = table[(c ^ static_cast<unsigned char>(data[i])) & 0xFF] ^ (c >> 8);
  return c ^ 0xFFFFFFFFu;
}

// One tEXt chunk: length, type, key, NUL, text, CRC of type and data.
QByteArray TextChunk(const char* key, const std::string& text) {
  QByteArray body("tEXt");
  body += key;
  body += '\0';
  body += QByteArray::fromStdString(text);
  const uint32_t len = static_cast<uint32_t>(body.size() - 4);
  const uint32_t crc = Crc32(body.constData(), static_cast<size_t>(body.size()));
  QByteArray chunk;
  auto put = [&chunk](uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8) chunk += static_cast<char>(v >> shift & 0xFF);
  };
  put(len);
  chunk += body;
  put(crc);
  return chunk;
}

// The longest text tag read from a thumbnail: a URI and then some.
constexpr size_t kMaxTagText = 1 << 16;

std::string Md5Name(const std::string& uri) { return Md5Hex(uri) + ".png"; }

bool ParseInt64(const std::string& text, int64_t& out) {
  if (text.empty() || text.size() > 20) return false;
  const bool negative = text[0] == '-';
  size_t i = negative ? 1 : 0;
  if (i == text.size()) return false;
  // Summed as a negative number, which reaches one further than a
  // positive one; anything beyond the range is refused, not wrapped.
  int64_t v = 0;
  for (; i < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    if (__builtin_mul_overflow(v, 10, &v) || __builtin_sub_overflow(v, text[i] - '0', &v))
      return false;
  }
  if (!negative && v == std::numeric_limits<int64_t>::min()) return false;
  out = negative ? v : -v;
  return true;
}

// Inflates a zlib stream into at most limit bytes; false when it is
// damaged or would be longer (a tiny chunk can inflate to gigabytes).
bool InflateBounded(const char* data, size_t size, size_t limit, std::string& out) {
  z_stream z{};
  if (inflateInit(&z) != Z_OK) return false;
  out.assign(limit + 1, '\0');
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data));
  z.avail_in = static_cast<uInt>(std::min<size_t>(size, UINT32_MAX));
  z.next_out = reinterpret_cast<Bytef*>(out.data());
  z.avail_out = static_cast<uInt>(out.size());
  const int rc = inflate(&z, Z_FINISH);
  const size_t produced = out.size() - z.avail_out;
  inflateEnd(&z);
  if (rc != Z_STREAM_END || produced > limit) return false;
  out.resize(produced);
  return true;
}

}  // namespace

std::string ThumbnailCacheRoot() {
  const char* xdg = getenv("XDG_CACHE_HOME");
  if (xdg && xdg[0] == '/') return std::string(xdg) + "/thumbnails";
  const char* home = getenv("HOME");
  return std::string(home && *home ? home : "") + "/.cache/thumbnails";
}

std::string FileUri(const std::string& absolutePath) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string uri = "file://";
  for (unsigned char c : absolutePath) {
    if (Unescaped(c)) {
      uri.push_back(static_cast<char>(c));
    } else {
      uri.push_back('%');
      uri.push_back(kHex[c >> 4]);
      uri.push_back(kHex[c & 15]);
    }
  }
  return uri;
}

std::string Md5Hex(const std::string& text) {
  return QCryptographicHash::hash(QByteArray::fromStdString(text), QCryptographicHash::Md5)
      .toHex()
      .toStdString();
}

std::string ThumbnailPath(const std::string& root, const std::string& uri, int pixels) {
  return root + (pixels <= kNormalThumbnailPixels ? "/normal/" : "/large/") + Md5Name(uri);
}

std::string FailFolderName() { return std::string("tarnelle-") + kVersion; }

std::string FailPath(const std::string& root, const std::string& uri) {
  return root + "/fail/" + FailFolderName() + "/" + Md5Name(uri);
}

bool StatThumbSource(const std::string& path, ThumbSource& out) {
  char* real = realpath(path.c_str(), nullptr);
  if (!real) return false;
  const std::string absolute = real;
  free(real);
  struct stat st {};
  if (stat(absolute.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  out.uri = FileUri(absolute);
  out.mtime = st.st_mtim.tv_sec;
  out.size = st.st_size;
  return true;
}

std::map<std::string, std::string> PngTextTags(const QByteArray& png) {
  // The toolkit's reader splits keys at the first colon, which every
  // "Thumb::" key has: the text chunks before the pixels are read here.
  std::map<std::string, std::string> tags;
  static const char kSignature[] = "\x89PNG\r\n\x1a\n";
  if (png.size() < 8 || memcmp(png.constData(), kSignature, 8) != 0) return tags;
  const auto* p = reinterpret_cast<const unsigned char*>(png.constData());
  const size_t n = static_cast<size_t>(png.size());
  size_t at = 8;
  while (at + 12 <= n) {
    const uint32_t len =
        uint32_t{p[at]} << 24 | uint32_t{p[at + 1]} << 16 | uint32_t{p[at + 2]} << 8 | p[at + 3];
    if (len > n - at - 12) break;
    const std::string type(reinterpret_cast<const char*>(p + at + 4), 4);
    const char* data = reinterpret_cast<const char*>(p + at + 8);
    if (type == "IDAT" || type == "IEND") break;
    const std::string_view chunk(data, len);
    const size_t nul = chunk.find('\0');
    if (nul != std::string_view::npos && type == "tEXt") {
      // Latin-1 text; the tags this cache writes are ASCII (the URI is escaped).
      tags.emplace(std::string(chunk.substr(0, nul)), std::string(chunk.substr(nul + 1)));
    } else if (nul != std::string_view::npos && type == "zTXt" && nul + 2 <= chunk.size() &&
               chunk[nul + 1] == 0) {
      // Deflated Latin-1 text, never inflated beyond what a tag may hold.
      std::string text;
      if (InflateBounded(chunk.data() + nul + 2, chunk.size() - nul - 2, kMaxTagText, text) &&
          !text.empty())
        tags.emplace(std::string(chunk.substr(0, nul)), std::move(text));
    } else if (nul != std::string_view::npos && type == "iTXt" && nul + 2 < chunk.size() &&
               chunk[nul + 1] == 0) {
      // Uncompressed international text: skip language and translated key.
      const size_t lang = chunk.find('\0', nul + 3);
      const size_t trans = lang == std::string_view::npos ? lang : chunk.find('\0', lang + 1);
      if (trans != std::string_view::npos)
        tags.emplace(std::string(chunk.substr(0, nul)), std::string(chunk.substr(trans + 1)));
    }
    at += 12 + len;
  }
  return tags;
}

bool ThumbnailMatches(const std::string& path, const ThumbSource& source, QImage* image) {
  QFile file(QString::fromStdString(path));
  // A thumbnail is a few kilobytes; anything huge is not one of ours.
  if (!file.open(QIODevice::ReadOnly) || file.size() > (16 << 20)) return false;
  const QByteArray bytes = file.readAll();
  const auto tags = PngTextTags(bytes);
  auto tag = [&tags](const char* key) {
    auto it = tags.find(key);
    return it == tags.end() ? std::string() : it->second;
  };
  // The tags come before the pixels: a stale thumbnail is not decoded.
  if (tag(kTagUri) != source.uri) return false;
  int64_t mtime = 0, size = 0;
  if (!ParseInt64(tag(kTagMTime), mtime) || mtime != source.mtime) return false;
  const std::string sizeText = tag(kTagSize);
  if (!sizeText.empty() && (!ParseInt64(sizeText, size) || size != source.size)) return false;
  if (!image) return true;
  *image = QImage::fromData(bytes, "png");
  return !image->isNull();
}

bool MakeCacheFolder(const std::string& folder) {
  struct stat st {};
  if (stat(folder.c_str(), &st) == 0) return S_ISDIR(st.st_mode);
  const size_t slash = folder.find_last_of('/');
  if (slash != std::string::npos && slash > 0 && !MakeCacheFolder(folder.substr(0, slash)))
    return false;
  return mkdir(folder.c_str(), 0700) == 0 || errno == EEXIST;
}

bool WriteThumbnail(const QImage& image, const ThumbSource& source, const std::string& path,
                    std::string& error) {
  QImage plain = image;
  for (const QString& key : plain.textKeys()) plain.setText(key, QString());
  QByteArray bytes;
  QBuffer buffer(&bytes);
  buffer.open(QIODevice::WriteOnly);
  QImageWriter writer(&buffer, "png");
  if (!writer.write(plain)) {
    error = "cannot encode the thumbnail: " + writer.errorString().toStdString();
    return false;
  }
  // The toolkit would deflate the long URI; plain text chunks right after
  // the header are what every reader of the cache understands.
  constexpr qsizetype kAfterHeader = 8 + 12 + 13;
  if (bytes.size() < kAfterHeader) {
    error = "cannot encode the thumbnail";
    return false;
  }
  QByteArray tags;
  tags += TextChunk(kTagUri, source.uri);
  tags += TextChunk(kTagMTime, std::to_string(source.mtime));
  tags += TextChunk(kTagSize, std::to_string(source.size));
  bytes.insert(kAfterHeader, tags);
  std::string temp = path + ".XXXXXX";
  const int fd = mkostemp(temp.data(), O_CLOEXEC);  // mode 0600
  if (fd < 0) {
    error = "cannot write " + path + ": " + strerror(errno);
    return false;
  }
  bool ok = fd_io::WriteAll(fd, bytes.constData(), static_cast<size_t>(bytes.size()));
  const int err = ok ? 0 : errno;
  if (close(fd) != 0 && ok) ok = false;
  if (ok && rename(temp.c_str(), path.c_str()) != 0) ok = false;
  if (!ok) {
    error = "cannot write " + path + ": " + strerror(err ? err : errno);
    unlink(temp.c_str());
  }
  return ok;
}

bool RecordThumbnailFailure(const std::string& root, const ThumbSource& source,
                            std::string& error) {
  const std::string path = FailPath(root, source.uri);
  if (!MakeCacheFolder(path.substr(0, path.find_last_of('/')))) {
    error = "cannot make the folder of " + path;
    return false;
  }
  QImage dot(1, 1, QImage::Format_ARGB32);
  dot.fill(Qt::transparent);
  return WriteThumbnail(dot, source, path, error);
}

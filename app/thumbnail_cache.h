// The freedesktop thumbnail cache that file managers share:
// <root>/{normal,large}/<md5 of the file's URI>.png, each PNG tagged with
// Thumb::URI, Thumb::MTime and Thumb::Size, and failures recorded as small
// tagged PNGs under <root>/fail/<program>-<version>/.
#pragma once

#include <QImage>
#include <cstdint>
#include <map>
#include <string>

// Edge lengths of the two cache folders.
inline constexpr int kNormalThumbnailPixels = 128;
inline constexpr int kLargeThumbnailPixels = 256;

// $XDG_CACHE_HOME/thumbnails, or ~/.cache/thumbnails when the variable is
// unset or not an absolute path.
std::string ThumbnailCacheRoot();

// The file:// URI of an absolute path, escaped as desktop libraries escape
// it (bytes outside letters, digits and -._~!$&'()*+,=:@/ become %XX), so
// that every program computes the same cache name.
std::string FileUri(const std::string& absolutePath);
// Lower-case hex MD5 of text.
std::string Md5Hex(const std::string& text);

// The cache file of uri for pixel size (up to 128: normal, else large).
std::string ThumbnailPath(const std::string& root, const std::string& uri, int pixels);
// "tarnelle-<version>": our folder under fail/.
std::string FailFolderName();
std::string FailPath(const std::string& root, const std::string& uri);

// What a thumbnail records about its file.
struct ThumbSource {
  std::string uri;
  int64_t mtime = 0;  // whole seconds
  int64_t size = 0;
};
// From the file at path (made absolute); false when it is not a regular file.
bool StatThumbSource(const std::string& path, ThumbSource& out);

// The text chunks (tEXt, zTXt, uncompressed iTXt) ahead of a PNG's pixels.
std::map<std::string, std::string> PngTextTags(const QByteArray& png);

// Whether the PNG at path is current for source: its URI and MTime tags
// equal, and its Size tag, when it has one, too. The picture goes to image
// when asked for.
bool ThumbnailMatches(const std::string& path, const ThumbSource& source, QImage* image = nullptr);

// Makes folder and its missing parents with mode 0700.
bool MakeCacheFolder(const std::string& folder);
// Writes image as PNG tagged for source to path: a temporary file of mode
// 0600 in the same folder renamed over path, so that a reader never sees
// half a picture. False with a reason in error.
bool WriteThumbnail(const QImage& image, const ThumbSource& source, const std::string& path,
                    std::string& error);
// Records that source cannot be thumbnailed (a 1x1 tagged PNG at FailPath).
bool RecordThumbnailFailure(const std::string& root, const ThumbSource& source, std::string& error);

#include "preview/surface_images.h"

#include <dirent.h>
#include <strings.h>
#include <sys/stat.h>

#include <QBuffer>
#include <QByteArray>
#include <QImageReader>
#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>

size_t SurfaceImages::Bytes() const {
  size_t n = 0;
  for (const TextureImage& i : images) n += static_cast<size_t>(i.pixels.sizeInBytes());
  return n;
}

namespace {

std::string RealPath(const std::string& path) {
  std::string out;
  if (char* r = realpath(path.c_str(), nullptr)) {
    out = r;
    free(r);
  }
  return out;
}

bool IsRegularFile(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// The folder's entry whose name equals name but for letter case; empty
// when there is none.
std::string CaseVariant(const std::string& folder, const std::string& name) {
  std::string found;
  DIR* d = opendir(folder.empty() ? "." : folder.c_str());
  if (!d) return found;
  while (const dirent* e = readdir(d)) {
    if (strcasecmp(e->d_name, name.c_str()) == 0 && name != e->d_name) {
      found = e->d_name;
      break;
    }
  }
  closedir(d);
  return found;
}

// The name's folders and file name, "\" counting as "/"; false when the
// name is absolute or climbs above the folder it is relative to.
bool SplitRelative(const std::string& name, std::vector<std::string>& parts) {
  std::string s = name;
  for (char& c : s)
    if (c == '\\') c = '/';
  // "/x", and "C:..." as Windows tools write full paths.
  if (s.empty() || s[0] == '/' ||
      (s.size() >= 2 && s[1] == ':' && std::isalpha(static_cast<unsigned char>(s[0]))))
    return false;
  size_t at = 0;
  while (at <= s.size()) {
    size_t end = s.find('/', at);
    if (end == std::string::npos) end = s.size();
    const std::string part = s.substr(at, end - at);
    at = end + 1;
    if (part.empty() || part == ".") continue;
    if (part == "..") {
      if (parts.empty()) return false;
      parts.pop_back();
      continue;
    }
    parts.push_back(part);
  }
  return !parts.empty();
}

std::string Join(const std::string& folder, const std::vector<std::string>& parts, size_t n) {
  std::string p = folder;
  for (size_t i = 0; i < n; ++i) p += "/" + parts[i];
  return p;
}

std::string BaseName(const std::string& name) {
  const size_t slash = name.find_last_of("/\\");
  return slash == std::string::npos ? name : name.substr(slash + 1);
}

std::string FolderOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

enum class Decoded { kOk, kUnreadable, kTooLarge };

// Decodes one image, refusing it by its stated size before any pixel is
// decoded; budget is what the model may still use and shrinks by it.
Decoded Decode(QImageReader& reader, const ImageLimits& limits, uint64_t& budget,
               TextureImage& out) {
  reader.setAutoTransform(false);
  const QSize size = reader.size();
  const auto tooLarge = [&](int w, int h) {
    return w > limits.maxSide || h > limits.maxSide || uint64_t(w) * uint64_t(h) * 4 > budget;
  };
  if (size.isValid() && tooLarge(size.width(), size.height())) return Decoded::kTooLarge;
  QImage image;
  if (!reader.read(&image) || image.isNull()) {
    // Qt refuses an image over its allocation limit as unreadable; the
    // stated size may have been missing.
    return Decoded::kUnreadable;
  }
  if (tooLarge(image.width(), image.height())) return Decoded::kTooLarge;
  // Most images decode to one of the two 32-bit formats already.
  if (image.format() != QImage::Format_RGB32 && image.format() != QImage::Format_ARGB32)
    image.convertTo(image.hasAlphaChannel() ? QImage::Format_ARGB32 : QImage::Format_RGB32);
  if (image.isNull() || image.depth() != 32) return Decoded::kUnreadable;
  budget -= std::min<uint64_t>(budget, static_cast<uint64_t>(image.sizeInBytes()));
  out.pixels = std::move(image);
  return Decoded::kOk;
}

}  // namespace

TextureLookup ResolveTexturePath(const std::string& folder, const std::string& name,
                                 std::string& path) {
  path.clear();
  const std::string realFolder = RealPath(folder);
  if (realFolder.empty()) return TextureLookup::kMissing;
  bool outside = false;
  // A candidate counts only when its real path lies inside the folder.
  const auto accept = [&](const std::string& candidate) {
    if (!IsRegularFile(candidate)) return false;
    const std::string real = RealPath(candidate);
    const std::string prefix = realFolder == "/" ? "/" : realFolder + "/";
    if (real.compare(0, prefix.size(), prefix) != 0) {
      outside = true;
      return false;
    }
    path = real;
    return true;
  };
  std::vector<std::string> parts;
  if (SplitRelative(name, parts)) {
    const std::string asWritten = Join(folder, parts, parts.size());
    if (accept(asWritten)) return TextureLookup::kFound;
    const std::string parent = Join(folder, parts, parts.size() - 1);
    const std::string variant = CaseVariant(parent, parts.back());
    if (!variant.empty() && accept(parent + "/" + variant)) return TextureLookup::kFound;
  } else {
    outside = true;
  }
  const std::string base = BaseName(name);
  if (!base.empty() && base != "." && base != "..") {
    if (accept(folder + "/" + base)) return TextureLookup::kFound;
    const std::string variant = CaseVariant(folder, base);
    if (!variant.empty() && accept(folder + "/" + variant)) return TextureLookup::kFound;
  }
  return outside ? TextureLookup::kOutside : TextureLookup::kMissing;
}

std::shared_ptr<const SurfaceImages> LoadSurfaceImages(const SurfaceAppearance& appearance,
                                                       const std::string& modelPath,
                                                       std::vector<std::string>& log,
                                                       const ImageLimits& limits) {
  // Without texture coordinates no image can be drawn: none is read.
  bool any = false;
  for (const SurfaceMaterial& m : appearance.materials) any = any || !m.texture.empty();
  if (!any || appearance.cornerUV.empty()) return nullptr;
  // Qt's own limit on one decoded image, process-wide: just above ours, so
  // that an image without a stated size still cannot take more.
  static std::once_flag once;
  std::call_once(once, [] { QImageReader::setAllocationLimit(260); });

  auto out = std::make_shared<SurfaceImages>();
  out->materialImage.assign(appearance.materials.size(), -1);
  const std::string folder = FolderOf(modelPath);
  uint64_t budget = limits.maxTotalBytes;
  std::map<std::string, int32_t> done;  // texture name or file: image index, or -1
  for (size_t i = 0; i < appearance.materials.size(); ++i) {
    const std::string& name = appearance.materials[i].texture;
    if (name.empty()) continue;
    if (auto it = done.find(name); it != done.end()) {
      out->materialImage[i] = it->second;
      continue;
    }
    int32_t index = -1;
    std::string fail, file;
    TextureImage image;
    Decoded result = Decoded::kUnreadable;
    if (name[0] == '*') {
      // "*N": embedded image N.
      char* end = nullptr;
      const unsigned long n = std::strtoul(name.c_str() + 1, &end, 10);
      if (name.size() > 1 && *end == '\0' && n < appearance.images.size()) {
        const EmbeddedImage& e = appearance.images[n];
        QByteArray bytes = QByteArray::fromRawData(reinterpret_cast<const char*>(e.data.data()),
                                                   static_cast<qsizetype>(e.data.size()));
        QBuffer buffer(&bytes);
        buffer.open(QIODevice::ReadOnly);
        auto reader = std::make_unique<QImageReader>(&buffer, QByteArray(e.hint.c_str()));
        // A wrong hint must not hide a readable image: the content decides.
        if (!e.hint.empty() && !reader->canRead()) {
          buffer.seek(0);
          reader = std::make_unique<QImageReader>(&buffer);
        }
        result = Decode(*reader, limits, budget, image);
      }
    } else {
      const TextureLookup where = ResolveTexturePath(folder, name, file);
      if (where == TextureLookup::kOutside) fail = kLogTextureOutside;
      if (where == TextureLookup::kFound) {
        if (auto it = done.find(file); it != done.end()) {
          out->materialImage[i] = done[name] = it->second;
          continue;
        }
        // The extension first: TGA has no signature to be known by.
        QImageReader reader(QString::fromLocal8Bit(file.c_str()));
        result = Decode(reader, limits, budget, image);
      }
    }
    if (result == Decoded::kOk) {
      index = static_cast<int32_t>(out->images.size());
      out->images.push_back(std::move(image));
    } else {
      if (fail.empty())
        fail = result == Decoded::kTooLarge ? kLogTextureTooLarge : kLogTextureUnreadable;
      log.push_back(fail + name);
    }
    // Another name for the same file finds it decoded (or refused) already.
    if (!file.empty()) done[file] = index;
    done[name] = index;
    out->materialImage[i] = index;
  }
  return out;
}

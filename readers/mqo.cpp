#include "readers/mqo.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "core/text.h"
#include "readers/text_input.h"

namespace {

char g_msg[80];

constexpr size_t kSignatureBytes = 80;  // IsSupport looks at this much of the file

enum class State { kTop, kVertex, kBinaryVertex, kFace, kMaterial };

// A material line without "col(" (or with a short one) keeps this colour.
constexpr Float3 kDefaultColor = {1, 1, 1};

std::string_view FirstWord(std::string_view s) {
  SkipSpace(s);
  size_t e = 0;
  while (e < s.size() && !IsSpace(s[e])) ++e;
  return s.substr(0, e);
}

// Scans up to three floats, stopping at the first that does not scan, the
// way "%f %f %f" leaves the values it did not convert alone.
void ScanTriple(std::string_view s, float v[3]) {
  for (int k = 0; k < 3 && ScanFloat(s, v[k]); ++k) {
  }
}

// "Material %d" from the line's first character.
bool ScanMaterialCount(std::string_view line, int64_t& n) {
  constexpr std::string_view kWord = "Material";
  if (line.substr(0, kWord.size()) != kWord) return false;
  line.remove_prefix(kWord.size());
  return ScanDecimal(line, n);
}

class MqoReader {
 public:
  MqoReader(FILE* f, int64_t fileSize, PolygonModel& model)
      : lines_(f), model_(model), fileSize_(fileSize) {}
  void Run();

 private:
  void ReadFace(std::string_view line);
  void ReadMaterial(std::string_view line);
  void ReadBinaryVertices(int64_t n);
  void ReserveFor(State chunk, std::string_view line);

  LineReader lines_;
  PolygonModel& model_;
  int32_t base_ = 0;               // vertex count when the current object began
  std::vector<Float3> materials_;  // colours of the material chunk, grown line by line
  // The chunk's first material's place in the appearance's materials.
  size_t appearanceBase_ = 0;
  int64_t materialLimit_ = -1;  // the chunk's count; -1 when it did not scan
  float last_[3] = {0, 0, 0};   // values a vertex line that does not scan keeps
  int64_t fileSize_;            // bounds what a chunk's count may reserve
};

template <typename V>
void Grow(V& v, int64_t more) {
  const size_t want = v.size() + static_cast<size_t>(more);
  if (want > v.capacity()) v.reserve(std::max(want, 2 * v.capacity()));
}

// Room for the items a "vertex" or "face" chunk announces, but never more
// than the rest of the file can hold (a vertex line takes at least two
// bytes, a face line ten), so a false count costs nothing.
void MqoReader::ReserveFor(State chunk, std::string_view line) {
  SkipSpace(line);
  line.remove_prefix(FirstWord(line).size());
  int64_t n;
  if (!ScanDecimal(line, n) || n <= 0) return;
  if (chunk == State::kVertex) {
    Grow(model_.vertices, std::min(n, fileSize_ / 2));
  } else {
    n = std::min(n, fileSize_ / 10);
    Grow(model_.polyStart, n);
    Grow(model_.polyMaterial, n);
    Grow(model_.polyColor, n);
    Grow(model_.indexPool, 3 * n);
  }
}

void MqoReader::Run() {
  State state = State::kTop;
  std::string_view line;
  while (lines_.Next(line)) {
    const std::string_view word = FirstWord(line);
    if (word.empty()) continue;
    if (word[0] == '}') {
      state = State::kTop;
      continue;
    }
    switch (state) {
      case State::kTop:
        if (word == "Object") {
          base_ = model_.VertexCount();
        } else if (word == "vertex") {
          state = State::kVertex;
          ReserveFor(state, line);
        } else if (word == "BVertex") {
          state = State::kBinaryVertex;
        } else if (word == "face") {
          state = State::kFace;
          ReserveFor(state, line);
        } else if (word == "Material") {
          // The count only caps the table; colours are stored as their
          // lines arrive, so a huge count allocates nothing.
          int64_t n;
          materialLimit_ = ScanMaterialCount(line, n) ? (n < 0 ? 0 : n) : -1;
          materials_.clear();
          appearanceBase_ = model_.appearance.materials.size();
          state = State::kMaterial;
        }
        break;
      case State::kVertex:
        ScanTriple(line, last_);
        model_.AddVertex(last_[0], last_[1], last_[2]);
        break;
      case State::kBinaryVertex:
        if (word == "Vector") {
          std::string_view s = line;
          SkipSpace(s);
          s.remove_prefix(word.size());
          int64_t n;
          if (ScanDecimal(s, n)) ReadBinaryVertices(n);
        }
        break;
      case State::kFace:
        ReadFace(line);
        break;
      case State::kMaterial:
        ReadMaterial(line);
        break;
    }
  }
}

// n vertices of three little-endian floats right after the "Vector" line,
// read in bounded batches until n are read or the file ends.
void MqoReader::ReadBinaryVertices(int64_t n) {
  constexpr int64_t kBatch = 4096;
  unsigned char buf[kBatch * 12];
  while (n > 0) {
    const int64_t want = n < kBatch ? n : kBatch;
    const size_t got = lines_.Read(buf, static_cast<size_t>(want) * 12);
    const size_t whole = got / 12;
    for (size_t k = 0; k < whole; ++k) {
      float v[3];
      memcpy(v, buf + 12 * k, 12);  // little-endian host
      model_.AddVertex(v[0], v[1], v[2]);
    }
    if (got < static_cast<size_t>(want) * 12) return;
    n -= want;
  }
}

// "%d V(%d %d %d)" or "%d V(%d %d %d %d)", then "M(%d)" anywhere after.
void MqoReader::ReadFace(std::string_view line) {
  std::string_view s = line;
  int64_t n;
  if (!ScanDecimal(s, n) || n < 3 || n > 4) return;
  SkipSpace(s);
  if (s.substr(0, 2) != "V(") return;
  s.remove_prefix(2);
  int32_t idx[4];
  const int64_t vertexCount = model_.VertexCount();
  for (int64_t k = 0; k < n; ++k) {
    int64_t i;
    if (!ScanDecimal(s, i)) return;
    // A face naming a vertex outside what was read is left out.
    const int64_t v = base_ + i;
    if (i < 0 || v >= vertexCount) return;
    idx[k] = static_cast<int32_t>(v);
  }
  int32_t material = -1;
  Float3 color = {0, 0, 0};
  // The count, "V(" and the corners hold no "M(", so the line's first one
  // is the first after the corners.
  const size_t at = s.find("M(");
  if (at != std::string_view::npos) {
    std::string_view t = s.substr(at + 2);
    int64_t m;
    // A reference outside the material table leaves the face uncoloured.
    if (ScanDecimal(t, m) && m >= 0 && m < static_cast<int64_t>(materials_.size())) {
      material = static_cast<int32_t>(m);
      color = materials_[static_cast<size_t>(m)];
    }
  }
  const size_t firstCorner = model_.indexPool.size();
  const int32_t polygon = n == 3 ? model_.AddTriangle(idx[0], idx[1], idx[2], material, color)
                                 : model_.AddPolygon(4, idx, material, color);
  SurfaceAppearance& a = model_.appearance;
  if (material >= 0)
    SetPolygonMaterial(a, static_cast<size_t>(polygon),
                       static_cast<int32_t>(appearanceBase_ + static_cast<size_t>(material)));
  // "UV(u v ...)": a pair per corner, v counted down from the image's top.
  const size_t uvAt = s.find("UV(");
  if (uvAt != std::string_view::npos) {
    std::string_view t = s.substr(uvAt + 3);
    float uv[8];
    int got = 0;
    while (got < 2 * n && ScanFloat(t, uv[got])) ++got;
    if (got == 2 * n) {
      Float2* out = CornerUVs(a, firstCorner, static_cast<size_t>(n));
      for (int64_t k = 0; k < n; ++k) out[k] = {uv[2 * k], 1.0f - uv[2 * k + 1]};
    }
  }
}

// The text of `key("...")` in a material line, or nothing.
std::string_view QuotedAfter(std::string_view line, std::string_view key) {
  size_t at = 0;
  // "tex(" and not "aplane_tex(" or the like: the key starts a word.
  while ((at = line.find(key, at)) != std::string_view::npos) {
    if (at == 0 || IsSpace(line[at - 1])) break;
    at += key.size();
  }
  if (at == std::string_view::npos) return {};
  std::string_view t = line.substr(at + key.size());
  if (t.empty() || t[0] != '"') return {};
  t.remove_prefix(1);
  return t.substr(0, t.find('"'));
}

// One material per line; its position in the chunk is its number, so a line
// without "col(" still takes its place. Lines beyond the count are ignored.
void MqoReader::ReadMaterial(std::string_view line) {
  if (materialLimit_ >= 0 && static_cast<int64_t>(materials_.size()) >= materialLimit_) return;
  float c[3] = {kDefaultColor.x, kDefaultColor.y, kDefaultColor.z};
  const size_t at = line.find("col(");
  if (at != std::string_view::npos) ScanTriple(line.substr(at + 4), c);
  materials_.push_back({c[0], c[1], c[2]});
  SurfaceMaterial m;
  std::copy(c, c + 3, m.color);
  if (at != std::string_view::npos) {
    // The fourth value is the opacity.
    std::string_view t = line.substr(at + 4);
    float rgba[4];
    int got = 0;
    while (got < 4 && ScanFloat(t, rgba[got])) ++got;
    if (got == 4) m.opacity = rgba[3];
  }
  m.texture = std::string(QuotedAfter(line, "tex("));
  model_.appearance.materials.push_back(std::move(m));
}

}  // namespace

int32_t MqoIsSupport(const char* path) {
  g_msg[0] = '\0';
  File file(path);
  if (!file) return -1;
  char buf[kSignatureBytes] = {};
  const size_t got = fread(buf, 1, sizeof buf, file.get());
  (void)got;
  buf[kSignatureBytes - 1] = '\0';
  std::string_view s(buf, strlen(buf));
  s = s.substr(0, s.find_first_of("\r\n"));
  SkipSpace(s);
  return s == "Metasequoia Document" ? 1 : -1;
}

bool MqoLoadInto(const char* path, PolygonModel& model) {
  File file(path);
  if (!file) {
    CopyMessage(g_msg, "ファイルがオープンできませんでした。");
    return false;
  }
  g_msg[0] = '\0';
  MqoReader reader(file.get(), file.Size(), model);
  reader.Run();
  return true;
}

int32_t MqoLoad(const char* path) { return MqoLoadInto(path, *CurrentModel); }

const char* MqoGetErrMsg() { return g_msg; }

#include "readers/rok.h"

#include <cstring>
#include <string_view>
#include <utility>
#include <vector>

#include "core/load_progress.h"
#include "core/text.h"
#include "readers/text_input.h"

namespace {

char g_msg[80];

constexpr char kDataError[] = "データエラー．";
constexpr size_t kMaxLine = 127;  // longer lines go on as further lines
constexpr int kPaletteSize = 14;
constexpr int64_t kMaxColor = kPaletteSize - 1;

// Hands out the lines of a ROK file. A line ends at CR or at LF, whichever
// comes, and only that one character is consumed: CR LF ends a line and then
// an empty one. The records count lines, so this must not be "fixed" into
// the usual CR LF handling.
class RokLines {
 public:
  explicit RokLines(FILE* f) : f_(f) {}

  bool Next(std::string_view& line) {
    size_t len = 0;
    bool any = false;
    for (;;) {
      if (pos_ == end_ && !Refill()) {
        if (!any) return false;
        break;
      }
      const char c = buf_[pos_];
      if (c == '\r' || c == '\n') {
        ++pos_;
        break;
      }
      if (len == kMaxLine) break;
      line_[len++] = c;
      ++pos_;
      any = true;
    }
    // The text ends at a NUL, as it would in a C string.
    const void* nul = memchr(line_, '\0', len);
    if (nul) len = static_cast<size_t>(static_cast<const char*>(nul) - line_);
    line = std::string_view(line_, len);
    return true;
  }

 private:
  bool Refill() {
    if (eof_) return false;
    pos_ = 0;
    // Progress for the window; a cancelled load reads as the end of the file.
    end_ = LoadCheckpointFile(f_) ? fread(buf_, 1, sizeof buf_, f_) : 0;
    if (end_ == 0) eof_ = true;
    return end_ != 0;
  }

  FILE* f_;
  char buf_[64 * 1024];
  size_t pos_ = 0, end_ = 0;
  bool eof_ = false;
  char line_[kMaxLine];
};

float Coordinate(std::string_view s) {
  float v = 0;
  return ScanFloat(s, v) ? v : 0.0f;
}

int32_t PointIndex(int64_t number) {
  // Out of 32-bit range cannot name a point; -1 is left out later.
  return number >= 1 && number <= INT32_MAX ? static_cast<int32_t>(number - 1) : -1;
}

enum class Section { kNone, kPoint, kLine, kFace };

// Reads the POINT, LINE0 and FACE0 records up to END00. Faces are added with
// their edge numbers as corners. Returns false on a data error.
bool ReadRecords(RokLines& lines, PolygonModel& model,
                 std::vector<std::pair<int32_t, int32_t>>& edges) {
  Section section = Section::kNone;
  int64_t k = 0;
  float x = 0, y = 0;
  int64_t first = 0;
  int64_t corners = 0, color = 0;
  bool usable = true;
  std::vector<int32_t> ring;
  std::string_view line;
  while (lines.Next(line)) {
    if (line == "END00") return section == Section::kFace;
    if (line == "POINT" || line == "LINE0" || line == "FACE0") {
      section = line == "POINT"   ? Section::kPoint
                : line == "LINE0" ? Section::kLine
                                  : Section::kFace;
      k = 0;
      continue;
    }
    switch (section) {
      case Section::kNone:
        break;
      case Section::kPoint:
        ++k;
        if (k == 6) x = Coordinate(line);
        if (k == 7) y = Coordinate(line);
        if (k == 8) {
          // A half turn about x keeps the faces' winding.
          model.AddVertex(x, -y, -Coordinate(line));
          k = 0;
        }
        break;
      case Section::kLine:
        ++k;
        if (k == 1) first = ScanInt(line);
        if (k == 2) edges.emplace_back(PointIndex(first), PointIndex(ScanInt(line)));
        if (k == 4) k = 0;
        break;
      case Section::kFace:
        ++k;
        if (k == 1) {
          corners = ScanInt(line);
          ring.clear();
          usable = true;
        } else if (k == 2) {
          color = ScanInt(line);
          if (color > kMaxColor) return false;
        } else if (k >= 4) {
          const int64_t e = ScanInt(line);
          if (e > static_cast<int64_t>(edges.size())) return false;
          // Edge 0 or below names no edge: the face is read but left out.
          if (e < 1)
            usable = false;
          else
            ring.push_back(static_cast<int32_t>(e - 1));
        }
        // A face of n corners has n + 3 lines; one without corners has 3.
        if (k >= 3 && k >= corners + 3) {
          if (corners >= 1 && usable)
            model.AddPolygon(static_cast<int32_t>(ring.size()), ring.data(),
                             color >= 0 ? static_cast<int32_t>(color) : -1);
          k = 0;
        }
        break;
    }
  }
  return section == Section::kFace;
}

struct Palette {
  Float3 color[kPaletteSize];
  int count = 0;
  bool read = false;
};

void ReadPalette(RokLines& lines, Palette& palette) {
  std::string_view line;
  int skip = 0;
  int k = 0;
  Float3 c{0, 0, 0};
  while (lines.Next(line)) {
    if (line == "ENDP0") return;
    if (!palette.read) {
      if (line == "PALC0") {
        palette.read = true;
        skip = 2;
      }
      continue;
    }
    if (skip > 0) {
      --skip;
      continue;
    }
    ++k;
    const float v = static_cast<float>(ScanInt(line)) / 255.0f;
    if (k == 1) c.x = v;
    if (k == 2) c.y = v;
    if (k == 3) {
      c.z = v;
      palette.color[palette.count++] = c;
    }
    if (k == 7) {
      k = 0;
      // More than 14 colours: the first 14 are the palette.
      if (palette.count == kPaletteSize) return;
    }
  }
}

// Rewrites the faces added from polygon `first` on: edge numbers become
// vertex rings and faces get their palette colours. Faces whose ring names
// a vertex that was not read are left out.
void BuildFaces(PolygonModel& model, int32_t first,
                const std::vector<std::pair<int32_t, int32_t>>& edges, const Palette& palette) {
  const uint32_t poolStart = model.polyStart[first];
  const std::vector<uint32_t> starts(model.polyStart.begin() + first, model.polyStart.end());
  const std::vector<int32_t> rings(model.indexPool.begin() + poolStart, model.indexPool.end());
  const std::vector<int32_t> colors(model.polyMaterial.begin() + first, model.polyMaterial.end());
  model.polyStart.resize(static_cast<size_t>(first) + 1);
  model.indexPool.resize(poolStart);
  model.polyMaterial.resize(static_cast<size_t>(first));
  model.polyColor.resize(static_cast<size_t>(first));

  const int64_t nvert = model.VertexCount();
  std::vector<int32_t> corner;
  for (size_t p = 0; p + 1 < starts.size(); ++p) {
    const int32_t* e = rings.data() + (starts[p] - poolStart);
    const size_t n = starts[p + 1] - starts[p];
    corner.assign(n, 0);
    corner[0] = edges[e[0]].first;
    if (n >= 2) corner[1] = edges[e[0]].second;
    // The last edge closes the ring and is not needed.
    for (size_t j = 1; j + 1 < n; ++j) {
      const auto& [a, b] = edges[e[j]];
      corner[j + 1] = corner[j] == a ? b : a;
    }
    bool inside = true;
    for (int32_t v : corner) inside = inside && v >= 0 && v < nvert;
    if (!inside) continue;
    const int32_t c = colors[p];
    if (palette.read && c >= 0 && c < palette.count)
      model.AddPolygon(static_cast<int32_t>(n), corner.data(), c, palette.color[c]);
    else
      model.AddPolygon(static_cast<int32_t>(n), corner.data(), -1);
  }
}

}  // namespace

int32_t RokIsSupport(const char* path) {
  File file(path);
  if (!file) return -1;
  char buf[1024];
  const size_t got = fread(buf, 1, sizeof buf, file.get());
  // The last byte read is overwritten by the end mark, so five bytes are
  // not enough.
  return got > 5 && memcmp(buf, "ROKU4", 5) == 0 ? 1 : -1;
}

bool RokLoadInto(const char* path, PolygonModel& model) {
  File file(path);
  if (!file) {
    CopyMessage(g_msg, "ファイルがオープンできませんでした。");
    return false;
  }
  g_msg[0] = '\0';
  RokLines lines(file.get());
  std::string_view line;
  if (!lines.Next(line) || line.substr(0, 5) != "ROKU4") return true;

  const int32_t first = model.PolygonCount();
  std::vector<std::pair<int32_t, int32_t>> edges;
  if (!ReadRecords(lines, model, edges)) {
    // What was added stays, corners still edge numbers; a failed load is
    // never shown.
    CopyMessage(g_msg, kDataError);
    return false;
  }
  Palette palette;
  ReadPalette(lines, palette);
  BuildFaces(model, first, edges, palette);
  return true;
}

int32_t RokLoad(const char* path) { return RokLoadInto(path, *CurrentModel); }

const char* RokGetErrMsg() { return g_msg; }

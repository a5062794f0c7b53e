#include "readers/stl.h"

#include <cstring>
#include <string_view>

#include "core/load_progress.h"
#include "core/text.h"
#include "readers/text_input.h"

namespace {

char g_msg[80];

constexpr int kHeaderLines = 50;  // lines searched for "solid" before going binary
constexpr int64_t kHeaderBytes = 84;
constexpr int64_t kFacetBytes = 50;

int32_t ReadLe32(const unsigned char* p) {
  return static_cast<int32_t>(uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 |
                              uint32_t{p[3]} << 24);
}

float ReadFloat(const unsigned char* p) {
  float f;
  memcpy(&f, p, 4);  // little-endian host
  return f;
}

enum class State { kBeforeSolid, kInSolid, kInFacet, kInLoop };

// The text pass. Returns false on a data error (message set). Sets isText
// when a "solid" line was met and counts the facets it added.
bool ReadText(FILE* f, PolygonModel& model, bool& isText) {
  LineReader lines(f);
  std::string_view line;
  int32_t lineNo = 0;
  State state = State::kBeforeSolid;
  int taken = 0;
  int32_t corner[3] = {0, 0, 0};
  isText = false;
  while (lines.Next(line)) {
    ++lineNo;
    switch (state) {
      case State::kBeforeSolid:
        if (ContainsKeyword(line, "solid")) {
          isText = true;
          state = State::kInSolid;
        }
        break;
      case State::kInSolid:
        if (ContainsKeyword(line, "facet")) state = State::kInFacet;
        break;
      case State::kInFacet:
        if (ContainsKeyword(line, "outer")) {
          taken = 0;
          state = State::kInLoop;
        }
        if (ContainsKeyword(line, "endfacet")) state = State::kInSolid;
        break;
      case State::kInLoop: {
        std::string_view s = line;
        SkipSpace(s);
        const bool vertexFirst = s.size() >= 6 && (s[0] | 0x20) == 'v' && (s[1] | 0x20) == 'e' &&
                                 (s[2] | 0x20) == 'r' && (s[3] | 0x20) == 't' &&
                                 (s[4] | 0x20) == 'e' && (s[5] | 0x20) == 'x';
        float v[3];
        int got = 0;
        if (vertexFirst) {
          // " vertex %g %g %g". Numbers hold no "lo" (only "nan(...)" may
          // carry letters), so "endloop" can stand only after them.
          s.remove_prefix(6);
          while (got < 3 && ScanFloat(s, v[got])) ++got;
          const bool payload = line.find('(') != std::string_view::npos;
          if (ContainsKeyword(payload ? line : s, "endloop")) {
            state = State::kInFacet;
            break;
          }
        } else if (ContainsKeyword(line, "endloop")) {
          state = State::kInFacet;
          break;
        }
        if (taken >= 3 || (!vertexFirst && !ContainsKeyword(line, "vertex"))) break;
        if (got < 3) {
          FormatMessage(g_msg, sizeof g_msg, "データエラー (line:%ld)", static_cast<long>(lineNo));
          return false;
        }
        corner[taken++] = model.AddVertex(v[0], v[1], v[2]);
        if (taken == 3) model.AddTriangle(corner[0], corner[1], corner[2]);
        break;
      }
    }
    if (!isText && lineNo > kHeaderLines) break;
  }
  return true;
}

Float3 AttributeColor(uint16_t a) {
  // Red in the high field, green in the low one, blue in the middle.
  return {static_cast<float>((a >> 10) & 31) / 31.0f, static_cast<float>(a & 31) / 31.0f,
          static_cast<float>((a >> 5) & 31) / 31.0f};
}

// The binary pass, from offset 80. fileSize bounds what is reserved.
bool ReadBinary(FILE* f, int64_t fileSize, PolygonModel& model) {
  unsigned char head[4];
  if (fseek(f, 80, SEEK_SET) != 0 || fread(head, 1, 4, f) != 4) {
    CopyMessage(g_msg, "データエラー(number of fases)");
    return false;
  }
  const int64_t count = ReadLe32(head);
  if (count <= 0) return true;
  // Reserve only what the file can hold, never what the count claims.
  const int64_t fits = fileSize > kHeaderBytes ? (fileSize - kHeaderBytes) / kFacetBytes : 0;
  const int64_t expect = count < fits ? count : fits;
  model.Reserve(model.vertices.size() + 3 * expect, model.PolygonCount() + expect,
                model.indexPool.size() + 3 * expect);

  constexpr size_t kBlockFacets = 8192;
  static thread_local unsigned char block[kBlockFacets * kFacetBytes];
  int64_t k = 0;
  while (k < count) {
    const int64_t want64 = count - k < int64_t{kBlockFacets} ? count - k : int64_t{kBlockFacets};
    const size_t want = static_cast<size_t>(want64) * kFacetBytes;
    // A cancelled load meets a short read.
    const size_t got =
        LoadCheckpoint(kHeaderBytes + k * kFacetBytes, fileSize) ? fread(block, 1, want, f) : 0;
    const size_t whole = got / kFacetBytes;
    const unsigned char* p = block;
    for (size_t i = 0; i < whole; ++i, p += kFacetBytes) {
      const int32_t a = model.AddVertex(ReadFloat(p + 12), ReadFloat(p + 16), ReadFloat(p + 20));
      const int32_t b = model.AddVertex(ReadFloat(p + 24), ReadFloat(p + 28), ReadFloat(p + 32));
      const int32_t c = model.AddVertex(ReadFloat(p + 36), ReadFloat(p + 40), ReadFloat(p + 44));
      const uint16_t attr = static_cast<uint16_t>(p[48] | p[49] << 8);
      if (attr & 0x8000)
        model.AddTriangle(a, b, c, 1, AttributeColor(attr));
      else
        model.AddTriangle(a, b, c);
    }
    k += static_cast<int64_t>(whole);
    if (got < want) {
      // A cut facet: its complete vertices were added one by one before the
      // short read was met.
      const size_t rest = got - whole * kFacetBytes;
      for (size_t v = 0; v < 3 && rest >= 24 + 12 * v; ++v) {
        const unsigned char* q = p + 12 + 12 * v;
        model.AddVertex(ReadFloat(q), ReadFloat(q + 4), ReadFloat(q + 8));
      }
      FormatMessage(g_msg, sizeof g_msg, "データエラー(#%d)", static_cast<int>(k));
      return false;
    }
  }
  return true;
}

}  // namespace

int32_t StlIsSupport(const char* path) {
  File file(path);
  if (!file) return 0;
  LineReader lines(file.get(), 64 * 1024);
  std::string_view line;
  bool solid = false;
  for (int n = 0; n < kHeaderLines && lines.Next(line); ++n) {
    if (!solid) {
      solid = ContainsKeyword(line, "solid");
    } else if (ContainsKeyword(line, "facet")) {
      return 1;
    }
  }
  return 0;
}

bool StlLoadInto(const char* path, PolygonModel& model) {
  g_msg[0] = '\0';
  File file(path);
  if (!file) {
    CopyMessage(g_msg, "ファイルがオープンできませんでした。");
    return false;
  }
  const int64_t size = file.Size();
  bool isText = false;
  if (!ReadText(file.get(), model, isText)) return false;
  if (isText) {
    if (model.PolygonCount() > 0) return true;
    // Binary exporters often write "solid" into the header: a file with no
    // text facet whose size fits the binary layout exactly is binary.
    unsigned char head[4];
    if (size < kHeaderBytes || fseek(file.get(), 80, SEEK_SET) != 0 ||
        fread(head, 1, 4, file.get()) != 4)
      return true;
    const int64_t count = ReadLe32(head);
    if (count < 0 || size != kHeaderBytes + kFacetBytes * count) return true;
    model.Clear();
  }
  return ReadBinary(file.get(), size, model);
}

int32_t StlLoad(const char* path) { return StlLoadInto(path, *CurrentModel); }

const char* StlGetErrMsg() { return g_msg; }

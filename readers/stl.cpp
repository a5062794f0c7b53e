#include "readers/stl.h"

#include <cstring>
#include <string_view>

#include "core/huge_pages.h"
#include "core/load_progress.h"
#include "core/text.h"
#include "readers/reserve_ahead.h"
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

struct TextPass {
  State state = State::kBeforeSolid;
  int32_t lineNo = 0;
  int taken = 0;
  int32_t corner[3] = {0, 0, 0};
  bool isText = false;  // a "solid" line was met
};

enum class Step { kGoOn, kNotText, kDataError };

// One line of the text pass.
Step TextLine(std::string_view line, TextPass& t, PolygonModel& model) {
  ++t.lineNo;
  switch (t.state) {
    case State::kBeforeSolid:
      if (ContainsKeyword(line, "solid")) {
        t.isText = true;
        t.state = State::kInSolid;
      }
      break;
    case State::kInSolid:
      if (ContainsKeyword(line, "facet")) t.state = State::kInFacet;
      break;
    case State::kInFacet:
      if (ContainsKeyword(line, "outer")) {
        t.taken = 0;
        t.state = State::kInLoop;
      }
      if (ContainsKeyword(line, "endfacet")) t.state = State::kInSolid;
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
        const char* p = s.data() + 6;
        const char* const end = s.data() + s.size();
        while (got < 3) {
          p = SkipBlanks(p, end);
          if (!ScanFloatAt(p, end, v[got])) break;
          ++got;
        }
        s = std::string_view(p, static_cast<size_t>(end - p));
        const bool payload = line.find('(') != std::string_view::npos;
        if (ContainsKeyword(payload ? line : s, "endloop")) {
          t.state = State::kInFacet;
          break;
        }
      } else if (ContainsKeyword(line, "endloop")) {
        t.state = State::kInFacet;
        break;
      }
      if (t.taken >= 3 || (!vertexFirst && !ContainsKeyword(line, "vertex"))) break;
      if (got < 3) return Step::kDataError;
      t.corner[t.taken++] = model.AddVertex(v[0], v[1], v[2]);
      if (t.taken == 3) model.AddTriangle(t.corner[0], t.corner[1], t.corner[2]);
      break;
    }
  }
  if (!t.isText && t.lineNo > kHeaderLines) return Step::kNotText;
  return Step::kGoOn;
}

// The text pass. Returns false on a data error (message set). Sets isText
// when a "solid" line was met.
bool ReadText(FILE* f, int64_t fileSize, PolygonModel& model, bool& isText) {
  LineReader lines(f, 1 << 20, LineEnds::kAny, TextEncoding::kDetectUtf16);
  ReserveAhead reserve(model, fileSize);
  TextPass t;
  std::string_view text;
  while (lines.NextLines(text)) {
    const char* p = text.data();
    const char* const last = p + text.size();
    while (p < last) {
      const char* const end = FindLineEnd(p, last);
      const Step step = TextLine(std::string_view(p, static_cast<size_t>(end - p)), t, model);
      if (step == Step::kDataError) {
        FormatMessage(g_msg, sizeof g_msg, "データエラー (line:%ld)", static_cast<long>(t.lineNo));
        isText = t.isText;
        return false;
      }
      if (step == Step::kNotText) {
        isText = false;
        return true;
      }
      p = SkipLineEnd(end, last);
    }
    if (t.isText) reserve.AfterBlock(lines.Consumed());
  }
  isText = t.isText;
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
  // The second core clears the arrays' memory while this one parses.
  Prefault prefault;
  PrefaultModelRoom(prefault, model);

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
  LineReader lines(file.get(), 64 * 1024, LineEnds::kAny, TextEncoding::kDetectUtf16);
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
  if (!ReadText(file.get(), size, model, isText)) return false;
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

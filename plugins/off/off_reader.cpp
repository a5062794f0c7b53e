// Sample reader plug-in: the OFF format ("OFF", "COFF", "NOFF", "STOFF" and
// their combinations, text form). Built on the plug-in kit alone.
//
// A file is a header word, the counts "vertices faces [edges]", one line per
// vertex ("x y z", then a normal for N, a colour for C, "s t" for ST) and one
// line per face ("n i0 ... i(n-1)" and an optional colour). Colours are three
// or four numbers: integers from 0 to 255, or floats from 0 to 1 when any of
// them is written with a point or an exponent; a single number (a colour map
// entry) is ignored. A face without a colour of its own in a C file takes the
// mean of its corners' colours. "#" starts a comment; blank lines are skipped.

#include <cfloat>
#include <charconv>
#include <cmath>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "tarnelle_plugin.h"

namespace {

char g_msg[160];

constexpr char kOpenFailed[] = "ファイルがオープンできませんでした。";
constexpr char kNotOff[] = "OFF ファイルではありません。";
constexpr char kUnsupported[] = "この種類の OFF ファイルには対応していません。";
constexpr char kBinary[] = "バイナリ形式の OFF ファイルには対応していません。";
constexpr char kBadCounts[] = "頂点数または面数が正しくありません。";
constexpr char kTruncated[] = "ファイルが途中で終わっています。";
constexpr char kNoMemory[] = "メモリが不足しています。";
constexpr char kFailed[] = "読み込み中にエラーが発生しました。";

// snprintf into g_msg; a cut text ends on a whole UTF-8 character.
void SetMessage(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void SetMessage(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  const int n = vsnprintf(g_msg, sizeof g_msg, fmt, ap);
  va_end(ap);
  if (n < 0) {
    g_msg[0] = '\0';
  } else if (static_cast<size_t>(n) >= sizeof g_msg) {
    size_t len = sizeof g_msg - 1;
    while (len > 0 && (static_cast<unsigned char>(g_msg[len]) & 0xC0) == 0x80) --len;
    g_msg[len] = '\0';
  }
}

class File {
 public:
  explicit File(const char* path) : f_(path ? fopen(path, "rb") : nullptr) {}
  ~File() {
    if (f_) fclose(f_);
  }
  File(const File&) = delete;
  File& operator=(const File&) = delete;
  FILE* get() const { return f_; }
  explicit operator bool() const { return f_ != nullptr; }

 private:
  FILE* f_;
};

// Whole lines ended by LF, CR or CR LF, read in blocks.
class Lines {
 public:
  explicit Lines(FILE* f) : f_(f), buf_(1 << 16) {}

  bool Next(std::string_view& out) {
    long_.clear();
    bool partial = false;
    while (true) {
      if (pos_ == end_ && !Refill()) {
        if (!partial) return false;
        out = long_;
        ++lineNo_;
        return true;
      }
      if (skipLf_) {
        skipLf_ = false;
        if (buf_[pos_] == '\n' && ++pos_ == end_) continue;
      }
      size_t i = pos_;
      while (i < end_ && buf_[i] != '\n' && buf_[i] != '\r') ++i;
      if (i == end_) {
        long_.append(buf_.data() + pos_, i - pos_);
        pos_ = i;
        partial = true;
        continue;
      }
      if (partial) {
        long_.append(buf_.data() + pos_, i - pos_);
        out = long_;
      } else {
        out = std::string_view(buf_.data() + pos_, i - pos_);
      }
      pos_ = i + 1;
      if (buf_[i] == '\r') {
        if (pos_ < end_) {
          if (buf_[pos_] == '\n') ++pos_;
        } else {
          skipLf_ = true;
        }
      }
      ++lineNo_;
      return true;
    }
  }

  long long LineNumber() const { return lineNo_; }

 private:
  bool Refill() {
    pos_ = 0;
    end_ = fread(buf_.data(), 1, buf_.size(), f_);
    // A byte order mark in front of the first line is not part of it.
    if (first_ && end_ >= 3 && memcmp(buf_.data(), "\xEF\xBB\xBF", 3) == 0) pos_ = 3;
    first_ = false;
    return end_ > pos_;
  }

  FILE* f_;
  std::vector<char> buf_;
  size_t pos_ = 0, end_ = 0;
  bool skipLf_ = false;
  bool first_ = true;
  std::string long_;
  long long lineNo_ = 0;
};

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f'; }

// Splits a line at blanks.
class Tokens {
 public:
  explicit Tokens(std::string_view s) : s_(s) {}
  bool Next(std::string_view& tok) {
    size_t i = 0;
    while (i < s_.size() && IsBlank(s_[i])) ++i;
    if (i == s_.size()) return false;
    size_t e = i;
    while (e < s_.size() && !IsBlank(s_[e])) ++e;
    tok = s_.substr(i, e - i);
    s_.remove_prefix(e);
    return true;
  }
  size_t Remaining() const {
    Tokens copy = *this;
    size_t n = 0;
    std::string_view t;
    while (copy.Next(t)) ++n;
    return n;
  }

 private:
  std::string_view s_;
};

// The next line with something besides blanks and a comment, comment cut.
bool NextContent(Lines& in, std::string_view& line) {
  while (in.Next(line)) {
    const size_t hash = line.find('#');
    if (hash != std::string_view::npos) line = line.substr(0, hash);
    for (char c : line)
      if (!IsBlank(c)) return true;
  }
  return false;
}

bool ParseInt(std::string_view t, long long& v) {
  if (!t.empty() && t[0] == '+') t.remove_prefix(1);
  const auto r = std::from_chars(t.data(), t.data() + t.size(), v);
  return r.ec == std::errc() && r.ptr == t.data() + t.size();
}

bool ParseFloat(std::string_view t, float& v) {
  if (!t.empty() && t[0] == '+') t.remove_prefix(1);
  double d = 0;
  const auto r = std::from_chars(t.data(), t.data() + t.size(), d);
  if (r.ec != std::errc() || r.ptr != t.data() + t.size()) return false;
  // Beyond the float range the conversion itself would be undefined.
  if (d > FLT_MAX) {
    v = HUGE_VALF;
  } else if (d < -FLT_MAX) {
    v = -HUGE_VALF;
  } else {
    v = static_cast<float>(d);
  }
  return true;
}

// Three colour components from the next tokens: integers 0..255 unless any
// of them looks like a float. Components are clamped to 0..1.
bool ParseColor(Tokens& t, float rgb[3]) {
  std::string_view tok[3];
  bool floats = false;
  for (auto& s : tok) {
    if (!t.Next(s)) return false;
    if (s.find_first_of(".eEnNiI") != std::string_view::npos) floats = true;
  }
  for (int i = 0; i < 3; ++i) {
    float v = 0;
    if (!ParseFloat(tok[i], v)) return false;
    if (!floats) v /= 255.0f;
    rgb[i] = v > 1.0f ? 1.0f : v >= 0.0f ? v : 0.0f;  // NaN becomes 0 too
  }
  return true;
}

struct Header {
  bool st = false, c = false, n = false, unsupported = false;
};

// "[ST][C][N][4][n]OFF"; the 4D and n-dimensional forms are recognised but
// not read.
bool ParseKeyword(std::string_view t, Header& h) {
  auto take = [&t](std::string_view p) {
    if (t.substr(0, p.size()) != p) return false;
    t.remove_prefix(p.size());
    return true;
  };
  h.st = take("ST");
  h.c = take("C");
  h.n = take("N");
  if (take("4")) h.unsupported = true;
  if (take("n")) h.unsupported = true;
  return t == "OFF";
}

struct VertexColor {
  float rgb[3];
  bool set;
};

bool ReadCounts(Tokens& t, long long& nv, long long& nf) {
  std::string_view a, b;
  if (!t.Next(a) || !t.Next(b) || !ParseInt(a, nv) || !ParseInt(b, nf)) return false;
  return nv >= 0 && nv <= INT32_MAX && nf >= 0;
}

bool LoadOff(const char* path) {
  File file(path);
  if (!file) {
    SetMessage("%s", kOpenFailed);
    return false;
  }
  Lines in(file.get());
  std::string_view line, tok;
  if (!NextContent(in, line)) {
    SetMessage("%s", kNotOff);
    return false;
  }
  Header h;
  Tokens head(line);
  if (!head.Next(tok) || !ParseKeyword(tok, h)) {
    SetMessage("%s", kNotOff);
    return false;
  }
  if (h.unsupported) {
    SetMessage("%s", kUnsupported);
    return false;
  }
  if (Tokens peek = head; peek.Next(tok) && tok == "BINARY") {
    SetMessage("%s", kBinary);
    return false;
  }

  // The counts follow the header word on its line or on the next one.
  long long nv = 0, nf = 0;
  bool counted;
  if (head.Remaining() > 0) {
    counted = ReadCounts(head, nv, nf);
  } else if (NextContent(in, line)) {
    Tokens t(line);
    counted = ReadCounts(t, nv, nf);
  } else {
    SetMessage("%s", kTruncated);
    return false;
  }
  if (!counted) {
    SetMessage("%s", kBadCounts);
    return false;
  }

  // Grown as vertex lines arrive, never sized from the counts.
  std::vector<VertexColor> colors;
  for (long long i = 0; i < nv; ++i) {
    if (!NextContent(in, line)) {
      SetMessage("%s", kTruncated);
      return false;
    }
    Tokens t(line);
    float p[3];
    for (float& v : p) {
      if (!t.Next(tok) || !ParseFloat(tok, v)) {
        SetMessage("%lld 行目: 頂点のデータが正しくありません。", in.LineNumber());
        return false;
      }
    }
    if (h.n)
      for (int k = 0; k < 3; ++k) t.Next(tok);
    if (h.c) {
      VertexColor vc{};
      vc.set = t.Remaining() >= (h.st ? 5u : 3u) && ParseColor(t, vc.rgb);
      colors.push_back(vc);
    }
    if (_PobjAddVertex(p[0], p[1], p[2]) < 0) {
      SetMessage("%s", kNoMemory);
      return false;
    }
  }

  std::vector<int32_t> corners;
  for (long long f = 0; f < nf; ++f) {
    if (!NextContent(in, line)) {
      SetMessage("%s", kTruncated);
      return false;
    }
    Tokens t(line);
    long long n = 0;
    if (!t.Next(tok) || !ParseInt(tok, n) || n < 0 || n > INT32_MAX) {
      SetMessage("%lld 行目: 面のデータが正しくありません。", in.LineNumber());
      return false;
    }
    // The corner list grows with the numbers actually on the line.
    corners.clear();
    for (long long k = 0; k < n; ++k) {
      long long v = 0;
      if (!t.Next(tok) || !ParseInt(tok, v)) {
        SetMessage("%lld 行目: 面のデータが正しくありません。", in.LineNumber());
        return false;
      }
      if (v < 0 || v >= nv) {
        SetMessage("%lld 行目: 頂点番号 %lld は範囲外です（頂点数 %lld）。", in.LineNumber(), v,
                   nv);
        return false;
      }
      corners.push_back(static_cast<int32_t>(v));
    }
    // Points and lines have no surface to show.
    if (n < 3) continue;
    float rgb[3];
    bool colored = t.Remaining() >= 3 && ParseColor(t, rgb);
    if (!colored && h.c) {
      colored = true;
      rgb[0] = rgb[1] = rgb[2] = 0;
      for (int32_t v : corners) {
        const VertexColor& vc = colors[static_cast<size_t>(v)];
        if (!vc.set) {
          colored = false;
          break;
        }
        for (int k = 0; k < 3; ++k) rgb[k] += vc.rgb[k];
      }
      for (float& c : rgb) c /= static_cast<float>(n);
    }
    const int32_t p = _PobjAddPolygon(static_cast<int32_t>(n), corners.data());
    if (p < 0) {
      SetMessage("%s", kNoMemory);
      return false;
    }
    if (colored) _PobjSetPolygonColor(p, rgb);
  }
  return true;
}

}  // namespace

int32_t GetPluginVer(const char*) { return TARNELLE_PLUGIN_VERSION; }

const char* GetSupportInfo(int32_t which) {
  switch (which) {
    case 0:
      return "Object File Format";
    case 1:
      return "off";
    default:
      return "";
  }
}

int32_t IsSupport(const char* path) {
  File file(path);
  if (!file) return 0;
  char buf[4096];
  const size_t got = fread(buf, 1, sizeof buf, file.get());
  std::string_view s(buf, got);
  if (s.substr(0, 3) == "\xEF\xBB\xBF") s.remove_prefix(3);
  size_t i = 0;
  while (true) {
    while (i < s.size() && (IsBlank(s[i]) || s[i] == '\n')) ++i;
    if (i == s.size()) return got < sizeof buf ? -1 : 0;
    if (s[i] != '#') break;
    while (i < s.size() && s[i] != '\n' && s[i] != '\r') ++i;
  }
  size_t e = i;
  while (e < s.size() && !IsBlank(s[e]) && s[e] != '\n' && s[e] != '#') ++e;
  if (e == s.size() && got == sizeof buf) return 0;
  Header h;
  return ParseKeyword(s.substr(i, e - i), h) ? 1 : -1;
}

int32_t Load(const char* path) {
  g_msg[0] = '\0';
  try {
    return LoadOff(path) ? 1 : 0;
  } catch (const std::bad_alloc&) {
    SetMessage("%s", kNoMemory);
  } catch (...) {
    SetMessage("%s", kFailed);
  }
  return 0;
}

const char* GetErrMsg(void) { return g_msg; }

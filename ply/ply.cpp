#include "ply/ply.h"

#include <sys/stat.h>

#include <algorithm>
#include <bit>
#include <charconv>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <system_error>
#include <type_traits>
#include <vector>

#include "core/load_progress.h"

namespace {

constexpr size_t kBufferSize = size_t{1} << 20;
constexpr size_t kFirstRead = size_t{64} << 10;  // enough for any header; probes stay cheap
// Binary rows and lists up to these sizes are bounds-checked once, not per value.
constexpr size_t kMaxFastRow = 4096;
constexpr int64_t kMaxFastList = 4096;
// Text numbers shorter than this are parsed in place in the buffer.
constexpr size_t kLookahead = 64;
// Lists longer than this cannot be in any file; rejecting them keeps byte
// counts of lists far from overflow.
constexpr double kMaxListLength = 9007199254740992.0;  // 2^53

// The white space of the format's text: blank, tab, LF, VT, FF, CR.
constexpr auto kSpace = [] {
  struct Table {
    bool v[256] = {};
    constexpr bool operator[](size_t i) const { return v[i]; }
  } t;
  for (unsigned char c : {' ', '\t', '\n', '\v', '\f', '\r'}) t.v[c] = true;
  return t;
}();

int TypeSize(e_ply_type t) {
  switch (t) {
    case PLY_INT8:
    case PLY_UINT8:
      return 1;
    case PLY_INT16:
    case PLY_UINT16:
      return 2;
    case PLY_INT32:
    case PLY_UINT32:
    case PLY_FLOAT32:
      return 4;
    case PLY_FLOAT64:
      return 8;
    default:
      return 0;
  }
}

bool TypeFromName(std::string_view s, e_ply_type& t) {
  static constexpr struct {
    const char* name;
    e_ply_type type;
  } kNames[] = {{"char", PLY_INT8},      {"int8", PLY_INT8},       {"uchar", PLY_UINT8},
                {"uint8", PLY_UINT8},    {"short", PLY_INT16},     {"int16", PLY_INT16},
                {"ushort", PLY_UINT16},  {"uint16", PLY_UINT16},   {"int", PLY_INT32},
                {"int32", PLY_INT32},    {"uint", PLY_UINT32},     {"uint32", PLY_UINT32},
                {"float", PLY_FLOAT32},  {"float32", PLY_FLOAT32}, {"double", PLY_FLOAT64},
                {"float64", PLY_FLOAT64}};
  for (const auto& n : kNames) {
    if (s == n.name) {
      t = n.type;
      return true;
    }
  }
  return false;
}

// Buffered input over one file. Binary reads ask for n contiguous bytes with
// Need; text reads take white-space separated tokens.
class Source {
 public:
  Source() = default;
  Source(const Source&) = delete;
  Source& operator=(const Source&) = delete;
  ~Source() {
    if (f_) fclose(f_);
  }

  bool Open(const char* path) {
    f_ = fopen(path, "rbe");
    if (!f_) return false;
    struct stat st;
    if (fstat(fileno(f_), &st) == 0 && S_ISREG(st.st_mode)) size_ = st.st_size;
    // A small file gets a buffer just larger than itself.
    if (size_ >= 0 && static_cast<uint64_t>(size_) < kBufferSize)
      cap_ = std::max<size_t>(static_cast<size_t>(size_) + 1, 4096);
    buf_.reset(new (std::nothrow) unsigned char[cap_]);
    return buf_ != nullptr;
  }

  bool Need(size_t n) { return end_ - pos_ >= n || Fill(n); }
  const unsigned char* Data() const { return buf_.get() + pos_; }
  void Advance(size_t n) { pos_ += n; }

  // Bytes between the read position and the end of the file (a huge value
  // when the size is unknown).
  int64_t Remaining() const {
    if (size_ < 0) return std::numeric_limits<int64_t>::max();
    const int64_t r = size_ - (offset_ + static_cast<int64_t>(pos_));
    return r > 0 ? r : 0;
  }
  bool SizeKnown() const { return size_ >= 0; }

  // Skips n bytes; false when the file ends first.
  bool Skip(int64_t n) {
    const size_t avail = end_ - pos_;
    if (n <= static_cast<int64_t>(avail)) {
      pos_ += static_cast<size_t>(n);
      return true;
    }
    if (n > Remaining()) return false;
    n -= static_cast<int64_t>(avail);
    offset_ += static_cast<int64_t>(end_);
    pos_ = end_ = 0;
    if (SizeKnown()) {
      if (fseeko(f_, static_cast<off_t>(n), SEEK_CUR) != 0) return false;
      offset_ += n;
      return true;
    }
    while (n > 0) {
      if (!Fill(1)) return false;
      const size_t take = static_cast<int64_t>(end_) < n ? end_ : static_cast<size_t>(n);
      pos_ = take;
      n -= static_cast<int64_t>(take);
    }
    return true;
  }

  void SetPosition(const unsigned char* p) { pos_ = static_cast<size_t>(p - buf_.get()); }
  const unsigned char* End() const { return buf_.get() + end_; }
  // True when the buffer holds the rest of the file.
  bool AtEnd() const { return eof_; }

  // The next token of a text body: [b, e). False at the end of the data or
  // when a token is longer than the buffer.
  bool NextToken(const char*& b, const char*& e) {
    for (;;) {
      const unsigned char* base = buf_.get();
      const unsigned char* p = base + pos_;
      const unsigned char* end = base + end_;
      while (p < end && kSpace[*p]) ++p;
      pos_ = static_cast<size_t>(p - base);
      if (p == end) {
        if (!Fill(1)) return false;
        continue;
      }
      const unsigned char* q = p;
      while (q < end && !kSpace[*q]) ++q;
      if (q < end || eof_) {
        b = reinterpret_cast<const char*>(p);
        e = reinterpret_cast<const char*>(q);
        pos_ = static_cast<size_t>(q - base);
        return true;
      }
      const size_t have = end_ - pos_;
      if (have >= cap_) return false;
      Fill(have + 1);  // the token reaches the end of the buffer: read on
    }
  }

  // The next header line without its end (LF, CR or CR LF). False at the
  // end of the data; tooLong is set when a line does not fit the buffer.
  bool HeaderLine(std::string_view& line, bool& tooLong) {
    for (;;) {
      const char* p = reinterpret_cast<const char*>(buf_.get()) + pos_;
      const size_t avail = end_ - pos_;
      size_t k = 0;
      while (k < avail && p[k] != '\n' && p[k] != '\r') ++k;
      // A CR at the end of the buffer may be the first half of CR LF.
      const bool open = k == avail || (p[k] == '\r' && k + 1 == avail);
      if (open && !eof_) {
        if (avail >= cap_) {
          tooLong = true;
          return false;
        }
        Fill(avail + 1);
        continue;
      }
      if (avail == 0) return false;
      line = std::string_view(p, k);
      size_t used = k;
      if (k < avail) {
        ++used;
        if (p[k] == '\r' && k + 1 < avail && p[k + 1] == '\n') ++used;
      }
      pos_ += used;
      return true;
    }
  }

 private:
  // Makes at least n bytes available from the read position if the file
  // has them; keeps the unread bytes.
  bool Fill(size_t n) {
    if (pos_ > 0) {
      const size_t keep = end_ - pos_;
      memmove(buf_.get(), buf_.get() + pos_, keep);
      offset_ += static_cast<int64_t>(pos_);
      pos_ = 0;
      end_ = keep;
    }
    while (end_ < n && !eof_ && end_ < cap_) {
      size_t want = cap_ - end_;
      if (!bigReads_ && want > kFirstRead && n <= kFirstRead) want = kFirstRead;
      bigReads_ = true;
      // Progress for the window; a cancelled load fails as a short file.
      if (!LoadCheckpointFile(f_)) {
        eof_ = true;
        break;
      }
      const size_t got = fread(buf_.get() + end_, 1, want, f_);
      end_ += got;
      if (got < want) eof_ = true;
    }
    return end_ >= n;
  }

  FILE* f_ = nullptr;
  std::unique_ptr<unsigned char[]> buf_;
  size_t cap_ = kBufferSize;  // bytes in buf_
  size_t pos_ = 0, end_ = 0;
  int64_t offset_ = 0;  // file offset of buf_[0]
  int64_t size_ = -1;
  bool eof_ = false;
  bool bigReads_ = false;
};

enum class State { kOpened, kHeaderRead, kFailed, kDone };

}  // namespace

struct t_ply_property_ {
  std::string name;
  e_ply_type type = PLY_FLOAT32;  // PLY_LIST for lists
  e_ply_type lengthType = PLY_UINT8;
  e_ply_type valueType = PLY_FLOAT32;
  p_ply_read_cb cb = nullptr;
  p_ply_list_cb listCb = nullptr;  // lists only; excludes cb
  void* pdata = nullptr;
  long idata = 0;
};

struct t_ply_element_ {
  std::string name;
  long ninstances = 0;
  std::vector<t_ply_property_> props;
};

struct t_ply_ {
  Source src;
  p_ply_error_cb errorCb = nullptr;
  long idata = 0;
  void* pdata = nullptr;
  e_ply_storage_mode mode = PLY_ASCII;
  State state = State::kOpened;
  std::vector<t_ply_element_> elements;
  t_ply_argument_ arg{};
  std::vector<double> items;  // a list's items for its list callback
};

namespace {

void Report(p_ply ply, const char* fmt, ...) __attribute__((format(printf, 2, 3)));

void Report(p_ply ply, const char* fmt, ...) {
  char text[1024];
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(text, sizeof text, fmt, ap);
  va_end(ap);
  if (ply->errorCb)
    ply->errorCb(ply, text);
  else
    fprintf(stderr, "ply: %s\n", text);
}

// Words of a header text quoted in messages are cut to keep them readable.
int Shown(std::string_view s) { return static_cast<int>(s.size() < 64 ? s.size() : 64); }

int ReadError(p_ply ply, const t_ply_element_& el, const t_ply_property_& pr, int64_t i) {
  Report(ply, "Error reading '%s' of '%s' number %lld", pr.name.c_str(), el.name.c_str(),
         static_cast<long long>(i));
  return 0;
}

int Aborted(p_ply ply, const t_ply_element_& el, const t_ply_property_& pr, int64_t i) {
  Report(ply, "Reading stopped by the callback of '%s' of '%s' number %lld", pr.name.c_str(),
         el.name.c_str(), static_cast<long long>(i));
  return 0;
}

// An unsigned integer of U's size in the file's byte order.
template <typename U, bool kBig>
U LoadUnsigned(const unsigned char* p) {
  U u;
  memcpy(&u, p, sizeof u);
  if constexpr (kBig != (std::endian::native == std::endian::big)) {
    if constexpr (sizeof u == 2) u = __builtin_bswap16(u);
    if constexpr (sizeof u == 4) u = __builtin_bswap32(u);
    if constexpr (sizeof u == 8) u = __builtin_bswap64(u);
  }
  return u;
}

template <bool kBig>
inline double Decode(const unsigned char* p, e_ply_type t) {
  switch (t) {
    case PLY_INT8:
      return static_cast<int8_t>(p[0]);
    case PLY_UINT8:
      return p[0];
    case PLY_INT16:
      return static_cast<int16_t>(LoadUnsigned<uint16_t, kBig>(p));
    case PLY_UINT16:
      return LoadUnsigned<uint16_t, kBig>(p);
    case PLY_INT32:
      return static_cast<int32_t>(LoadUnsigned<uint32_t, kBig>(p));
    case PLY_UINT32:
      return LoadUnsigned<uint32_t, kBig>(p);
    case PLY_FLOAT32:
      return std::bit_cast<float>(LoadUnsigned<uint32_t, kBig>(p));
    case PLY_FLOAT64:
      return std::bit_cast<double>(LoadUnsigned<uint64_t, kBig>(p));
    default:
      return 0;
  }
}

// A decimal token as an integer of type t; false when it is not one or is
// out of the type's range.
bool ParseInteger(const char* b, const char* e, e_ply_type t, double& v) {
  bool neg = false;
  if (b < e && (*b == '-' || *b == '+')) neg = *b++ == '-';
  if (b == e || e - b > 18) return false;
  int64_t x = 0;
  for (; b < e; ++b) {
    const unsigned d = static_cast<unsigned char>(*b) - unsigned{'0'};
    if (d > 9) return false;
    x = x * 10 + d;
  }
  if (neg) x = -x;
  int64_t lo = 0, hi = 0;
  switch (t) {
    case PLY_INT8:
      lo = -128, hi = 127;
      break;
    case PLY_UINT8:
      hi = 255;
      break;
    case PLY_INT16:
      lo = -32768, hi = 32767;
      break;
    case PLY_UINT16:
      hi = 65535;
      break;
    case PLY_INT32:
      lo = -2147483648LL, hi = 2147483647LL;
      break;
    default:
      hi = 4294967295LL;
      break;
  }
  if (x < lo || x > hi) return false;
  v = static_cast<double>(x);
  return true;
}

// A decimal, exponent, inf or nan token, independent of the C locale.
// Values beyond the range of a double become infinite or zero, as strtod
// makes them.
bool ParseReal(const char* b, const char* e, double& v) {
  const char* s = b;
  if (s < e && *s == '+') {
    ++s;
    if (s < e && *s == '-') return false;
  }
  const auto r = std::from_chars(s, e, v);
  if (r.ptr != e) return false;
  if (r.ec == std::errc()) return true;
  if (r.ec != std::errc::result_out_of_range) return false;
  const bool neg = *s == '-';
  bool tiny = false;
  const char* x = s;
  while (x < e && *x != 'e' && *x != 'E') ++x;
  if (x < e) {
    tiny = x + 1 < e && x[1] == '-';
  } else {
    const char* m = neg ? s + 1 : s;
    tiny = m < e && (*m == '0' || *m == '.');
  }
  v = tiny ? 0.0 : std::numeric_limits<double>::infinity();
  if (neg) v = -v;
  return true;
}

constexpr double kPow10[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                             1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

inline bool EndsToken(const unsigned char* p, const unsigned char* end, bool atEnd) {
  return p < end ? kSpace[*p] : atEnd;
}

// The leading decimal digits of the 8 bytes at p, at most 8 of them: their
// count, and their value in value.
inline int EightDigits(const unsigned char* p, uint32_t& value) {
  uint64_t w;
  memcpy(&w, p, 8);
  if constexpr (std::endian::native == std::endian::big) w = __builtin_bswap64(w);
  // A byte is not a digit when it is below '0' (the subtraction sets its top
  // bit), above '9' (the addition does) or has its top bit set. Borrows and
  // carries only run upwards, past the first byte that is not a digit.
  const uint64_t other =
      ((w - 0x3030303030303030u) | (w + 0x4646464646464646u) | w) & 0x8080808080808080u;
  const int k = other ? __builtin_ctzll(other) >> 3 : 8;
  if (k == 0) {
    value = 0;
    return 0;
  }
  // Move the digits to the top bytes; the zero bytes below act as leading
  // zeros. Then combine pairs, quads and the two halves.
  uint64_t v = (w << (8 * (8 - k))) & 0x0F0F0F0F0F0F0F0Fu;
  v = (v * 2561) >> 8;
  v = ((v & 0x00FF00FF00FF00FFu) * 6553601) >> 16;
  v = ((v & 0x0000FFFF0000FFFFu) * 42949672960001u) >> 32;
  value = static_cast<uint32_t>(v);
  return k;
}

constexpr uint32_t kPow10Int[] = {1, 10, 100, 1000, 10000, 100000, 1000000, 10000000};

// The common forms of text numbers, parsed where they lie. False sends the
// token to the full parsers, which also report what is wrong with it.
inline bool FastInteger(const unsigned char* p, const unsigned char* end, bool atEnd, e_ply_type t,
                        double& v, const unsigned char*& stop) {
  bool neg = false;
  if (*p == '-' || *p == '+') neg = *p++ == '-';
  const unsigned char* first = p;
  uint64_t u = 0;
  int k = 8;
  if (end - p >= 16) {
    uint32_t eight;
    k = EightDigits(p, eight);
    p += k;
    u = eight;
  }
  if (k == 8) {
    for (unsigned d; p < end && (d = *p - unsigned{'0'}) <= 9; ++p) u = u * 10 + d;
  }
  if (p == first || p - first > 10 || !EndsToken(p, end, atEnd)) return false;
  const int64_t x = neg ? -static_cast<int64_t>(u) : static_cast<int64_t>(u);
  int64_t lo = 0, hi = 4294967295LL;
  switch (t) {
    case PLY_INT8:
      lo = -128, hi = 127;
      break;
    case PLY_UINT8:
      hi = 255;
      break;
    case PLY_INT16:
      lo = -32768, hi = 32767;
      break;
    case PLY_UINT16:
      hi = 65535;
      break;
    case PLY_INT32:
      lo = -2147483648LL, hi = 2147483647LL;
      break;
    default:
      break;
  }
  if (x < lo || x > hi) return false;
  v = static_cast<double>(x);
  stop = p;
  return true;
}

// Plain decimals with at most 7 digits before and after the point, the form
// most writers use, eight digits at a time. One division of exact values
// gives the correctly rounded double.
inline bool ShortReal(const unsigned char* p, const unsigned char* end, bool atEnd, double& v,
                      const unsigned char*& stop) {
  bool neg = false;
  if (*p == '-' || *p == '+') neg = *p++ == '-';
  uint32_t whole, frac = 0;
  const int k1 = EightDigits(p, whole);
  if (k1 == 8) return false;
  p += k1;
  int k2 = 0;
  if (*p == '.') {
    ++p;
    k2 = EightDigits(p, frac);
    if (k2 == 8) return false;
    p += k2;
  }
  if (k1 + k2 == 0 || *p == 'e' || *p == 'E' || !EndsToken(p, end, atEnd)) return false;
  double d = static_cast<double>(uint64_t{whole} * kPow10Int[k2] + frac);
  if (k2) d /= kPow10[k2];
  v = neg ? -d : d;
  stop = p;
  return true;
}

// Decimals whose digits fit in 53 bits with a power of ten up to 22 are one
// exact multiplication or division away from the correctly rounded double.
inline bool FastReal(const unsigned char* p, const unsigned char* end, bool atEnd, double& v,
                     const unsigned char*& stop) {
  bool neg = false;
  if (*p == '-' || *p == '+') neg = *p++ == '-';
  uint64_t m = 0;
  int digits = 0, scale = 0;
  bool any = false;
  for (unsigned d; p < end && (d = *p - unsigned{'0'}) <= 9; ++p, any = true) {
    if (m == 0 && d == 0) continue;
    if (++digits > 19) return false;
    m = m * 10 + d;
  }
  if (p < end && *p == '.') {
    ++p;
    for (unsigned d; p < end && (d = *p - unsigned{'0'}) <= 9; ++p, any = true) {
      --scale;
      if (m == 0 && d == 0) continue;
      if (++digits > 19) return false;
      m = m * 10 + d;
    }
  }
  if (!any) return false;
  if (p < end && (*p == 'e' || *p == 'E')) {
    ++p;
    bool negExp = false;
    if (p < end && (*p == '-' || *p == '+')) negExp = *p++ == '-';
    const unsigned char* first = p;
    int e = 0;
    for (unsigned d; p < end && (d = *p - unsigned{'0'}) <= 9; ++p)
      if (e < 10000) e = e * 10 + static_cast<int>(d);
    if (p == first) return false;
    scale += negExp ? -e : e;
  }
  if (!EndsToken(p, end, atEnd)) return false;
  double d = static_cast<double>(m);
  if (m == 0 || scale == 0) {
    // exact as it is
  } else if (m > (uint64_t{1} << 53) || scale > 22 || scale < -22) {
    return false;
  } else if (scale > 0) {
    d *= kPow10[scale];
  } else {
    d /= kPow10[-scale];
  }
  v = neg ? -d : d;
  stop = p;
  return true;
}

bool ParseAscii(const char* b, const char* e, e_ply_type t, double& v) {
  if (t == PLY_FLOAT32 || t == PLY_FLOAT64) return ParseReal(b, e, v);
  return ParseInteger(b, e, t, v);
}

// The number of items a list length read from the file announces.
// Negative, zero and NaN lengths announce none; false for lengths no file
// could hold.
bool ListLength(double c, int64_t& n) {
  if (!(c >= 1)) {
    n = 0;
    return true;
  }
  if (c > kMaxListLength) return false;
  n = static_cast<int64_t>(c);
  return true;
}

enum class Enc { kAscii, kLittle, kBig };

// Binary values, straight from the source's buffer.
template <bool kBig>
class BinaryInput {
 public:
  explicit BinaryInput(Source& src) : src_(src) {}
  bool Value(e_ply_type t, double& v) {
    const size_t size = static_cast<size_t>(TypeSize(t));
    if (!src_.Need(size)) return false;
    v = Decode<kBig>(src_.Data(), t);
    src_.Advance(size);
    return true;
  }
  bool Skip(e_ply_type t, int64_t n) { return src_.Skip(n * TypeSize(t)); }

 private:
  Source& src_;
};

// Text values. The read position stays in registers between values (the
// callbacks cannot move it) and goes back to the source at the end.
class TextInput {
 public:
  explicit TextInput(Source& src) : src_(src) { Load(); }
  ~TextInput() { src_.SetPosition(p_); }
  TextInput(const TextInput&) = delete;
  TextInput& operator=(const TextInput&) = delete;

  __attribute__((always_inline)) bool Value(e_ply_type t, double& v) {
    if (!Start()) return false;
    const unsigned char* stop;
    // The lookahead leaves room for the eight-byte loads of the short forms.
    if (t == PLY_FLOAT32 || t == PLY_FLOAT64
            ? (end_ - p_ >= 32 && ShortReal(p_, end_, atEnd_, v, stop)) ||
                  FastReal(p_, end_, atEnd_, v, stop)
            : FastInteger(p_, end_, atEnd_, t, v, stop)) {
      p_ = stop;
      return true;
    }
    src_.SetPosition(p_);
    const char *b, *e;
    const bool ok = src_.NextToken(b, e) && ParseAscii(b, e, t, v);
    Load();
    return ok;
  }

  bool Skip(e_ply_type, int64_t n) {
    for (int64_t i = 0; i < n; ++i) {
      if (!Start()) return false;
      const unsigned char* q = p_;
      while (q < end_ && !kSpace[*q]) ++q;
      if (q < end_ || atEnd_) {
        p_ = q;
        continue;
      }
      src_.SetPosition(p_);  // a token longer than the lookahead
      const char *b, *e;
      const bool ok = src_.NextToken(b, e);
      Load();
      if (!ok) return false;
    }
    return true;
  }

 private:
  // Skips white space; true when a token starts at p_ with the lookahead,
  // or the rest of the file, after it.
  __attribute__((always_inline)) bool Start() {
    for (;;) {
      while (p_ < end_ && kSpace[*p_]) ++p_;
      if (end_ - p_ >= static_cast<ptrdiff_t>(kLookahead)) return true;
      if (atEnd_) return p_ < end_;
      src_.SetPosition(p_);
      src_.Need(kLookahead);
      Load();
    }
  }
  void Load() {
    p_ = src_.Data();
    end_ = src_.End();
    atEnd_ = src_.AtEnd();
  }

  Source& src_;
  const unsigned char* p_;
  const unsigned char* end_;
  bool atEnd_;
};

template <Enc E>
using Input = std::conditional_t<E == Enc::kAscii, TextInput, BinaryInput<E == Enc::kBig>>;

inline int Call(t_ply_argument_& a, t_ply_property_& pr, long length, long index, double v) {
  a.property = &pr;
  a.length = length;
  a.value_index = index;
  a.value = v;
  a.pdata = pr.pdata;
  a.idata = pr.idata;
  return pr.cb(&a);
}

inline int CallList(t_ply_argument_& a, t_ply_property_& pr, long length, double stored,
                    const double* items, long count) {
  a.property = &pr;
  a.length = length;
  a.value_index = -1;
  a.value = stored;
  a.pdata = pr.pdata;
  a.idata = pr.idata;
  return pr.listCb(&a, length, items, count);
}

template <bool kBig, e_ply_type T>
inline double DecodeAs(const unsigned char* p) {
  return Decode<kBig>(p, T);  // T is a constant: the switch folds away
}

// Calls back for the n items of a list of type T at p, all in the buffer.
template <bool kBig, e_ply_type T>
bool CallItems(t_ply_argument_& a, const t_ply_property_& pr, const unsigned char* p, int64_t n) {
  constexpr int kSize = T == PLY_INT8 || T == PLY_UINT8     ? 1
                        : T == PLY_INT16 || T == PLY_UINT16 ? 2
                        : T == PLY_FLOAT64                  ? 8
                                                            : 4;
  for (int64_t j = 0; j < n; ++j, p += kSize) {
    a.value_index = static_cast<long>(j);
    a.value = DecodeAs<kBig, T>(p);
    if (!pr.cb(&a)) return false;
  }
  return true;
}

template <bool kBig>
bool CallItems(t_ply_argument_& a, const t_ply_property_& pr, const unsigned char* p, int64_t n) {
  switch (pr.valueType) {
    case PLY_INT8:
      return CallItems<kBig, PLY_INT8>(a, pr, p, n);
    case PLY_UINT8:
      return CallItems<kBig, PLY_UINT8>(a, pr, p, n);
    case PLY_INT16:
      return CallItems<kBig, PLY_INT16>(a, pr, p, n);
    case PLY_UINT16:
      return CallItems<kBig, PLY_UINT16>(a, pr, p, n);
    case PLY_INT32:
      return CallItems<kBig, PLY_INT32>(a, pr, p, n);
    case PLY_UINT32:
      return CallItems<kBig, PLY_UINT32>(a, pr, p, n);
    case PLY_FLOAT32:
      return CallItems<kBig, PLY_FLOAT32>(a, pr, p, n);
    default:
      return CallItems<kBig, PLY_FLOAT64>(a, pr, p, n);
  }
}

// Reads instances first .. end of one element, property by property.
template <Enc E>
int ReadInstances(p_ply ply, t_ply_element_& el, int64_t first) {
  Source& src = ply->src;
  Input<E> in(src);
  t_ply_argument_& a = ply->arg;
  a.element = &el;
  for (int64_t i = first; i < el.ninstances; ++i) {
    a.instance_index = static_cast<long>(i);
    for (t_ply_property_& pr : el.props) {
      double v;
      if (pr.type != PLY_LIST) {
        if (pr.cb) {
          if (!in.Value(pr.type, v)) return ReadError(ply, el, pr, i);
          if (!Call(a, pr, 1, 0, v)) return Aborted(ply, el, pr, i);
        } else if (!in.Skip(pr.type, 1)) {
          return ReadError(ply, el, pr, i);
        }
        continue;
      }
      double length;
      int64_t n;
      if (!in.Value(pr.lengthType, length) || !ListLength(length, n))
        return ReadError(ply, el, pr, i);
      if (!pr.cb && !pr.listCb) {
        if (!in.Skip(pr.valueType, n)) return ReadError(ply, el, pr, i);
        continue;
      }
      if (pr.listCb) {
        // The items grow as they are read: a length is only a claim.
        std::vector<double>& items = ply->items;
        items.clear();
        double item;
        while (static_cast<int64_t>(items.size()) < n && in.Value(pr.valueType, item))
          items.push_back(item);
        const long got = static_cast<long>(items.size());
        if (!CallList(a, pr, static_cast<long>(n), length, items.data(), got))
          return Aborted(ply, el, pr, i);
        if (got < n) return ReadError(ply, el, pr, i);
        continue;
      }
      if (!Call(a, pr, static_cast<long>(n), -1, length)) return Aborted(ply, el, pr, i);
      if constexpr (E != Enc::kAscii) {
        // Short lists are checked once; the callbacks never move the source.
        const int size = TypeSize(pr.valueType);
        if (n <= kMaxFastList && src.Need(static_cast<size_t>(n * size))) {
          const unsigned char* p = src.Data();
          src.Advance(static_cast<size_t>(n * size));
          if (!CallItems<E == Enc::kBig>(a, pr, p, n)) return Aborted(ply, el, pr, i);
          continue;
        }
      }
      for (int64_t j = 0; j < n; ++j) {
        if (!in.Value(pr.valueType, a.value)) return ReadError(ply, el, pr, i);
        a.value_index = static_cast<long>(j);  // the rest was set for the length
        if (!pr.cb(&a)) return Aborted(ply, el, pr, i);
      }
    }
  }
  return 1;
}

// Binary elements made of scalars only have rows of one size: each row is
// checked once, and rows without callbacks are skipped in one step.
template <Enc E>
int ReadFixedRows(p_ply ply, t_ply_element_& el, size_t rowSize) {
  Source& src = ply->src;
  struct Action {
    size_t offset;
    t_ply_property_* prop;
  };
  std::vector<Action> actions;
  size_t offset = 0;
  for (t_ply_property_& pr : el.props) {
    if (pr.cb) actions.push_back({offset, &pr});
    offset += static_cast<size_t>(TypeSize(pr.type));
  }
  const size_t nActions = actions.size();
  const int64_t count = el.ninstances;
  if (nActions == 0) {
    if (!src.SizeKnown()) return ReadInstances<E>(ply, el, 0);
    const int64_t fit = src.Remaining() / static_cast<int64_t>(rowSize);
    const int64_t whole = count < fit ? count : fit;
    if (!src.Skip(whole * static_cast<int64_t>(rowSize)))
      return ReadError(ply, el, el.props[0], 0);  // the file cannot be positioned
    // A cut row is read property by property, to name where it ends.
    return whole == count ? 1 : ReadInstances<E>(ply, el, whole);
  }
  t_ply_argument_& a = ply->arg;
  a.element = &el;
  for (int64_t i = 0; i < count; ++i) {
    if (!src.Need(rowSize)) return ReadInstances<E>(ply, el, i);
    const unsigned char* row = src.Data();
    src.Advance(rowSize);
    a.instance_index = static_cast<long>(i);
    for (size_t k = 0; k < nActions; ++k) {
      t_ply_property_& pr = *actions[k].prop;
      if (!Call(a, pr, 1, 0, Decode<E == Enc::kBig>(row + actions[k].offset, pr.type)))
        return Aborted(ply, el, pr, i);
    }
  }
  return 1;
}

// The face layout nearly every writer uses, one list with a one-byte count
// of four-byte integers: a whole face is checked at once.
template <bool kBig, e_ply_type T>
int ReadByteCountedLists(p_ply ply, t_ply_element_& el) {
  constexpr size_t kLongest = 1 + 255 * 4;
  Source& src = ply->src;
  t_ply_property_& pr = el.props[0];
  t_ply_argument_& a = ply->arg;
  a.element = &el;
  a.property = &pr;
  a.pdata = pr.pdata;
  a.idata = pr.idata;
  for (int64_t i = 0; i < el.ninstances; ++i) {
    // Near the end of the file the general path finds where data ends.
    if (!src.Need(kLongest)) return ReadInstances < kBig ? Enc::kBig : Enc::kLittle > (ply, el, i);
    const unsigned char* p = src.Data();
    const int n = p[0];
    src.Advance(1 + 4 * static_cast<size_t>(n));
    a.instance_index = static_cast<long>(i);
    a.length = n;
    a.value_index = -1;
    a.value = n;
    ++p;
    if (pr.listCb) {
      double items[255];
      for (int j = 0; j < n; ++j, p += 4) items[j] = DecodeAs<kBig, T>(p);
      if (!pr.listCb(&a, n, items, n)) return Aborted(ply, el, pr, i);
      continue;
    }
    if (!pr.cb(&a)) return Aborted(ply, el, pr, i);
    for (int j = 0; j < n; ++j, p += 4) {
      a.value_index = j;
      a.value = DecodeAs<kBig, T>(p);
      if (!pr.cb(&a)) return Aborted(ply, el, pr, i);
    }
  }
  return 1;
}

template <Enc E>
int ReadElement(p_ply ply, t_ply_element_& el) {
  if (el.props.empty() || el.ninstances <= 0) return 1;  // nothing stored
  if constexpr (E != Enc::kAscii) {
    size_t rowSize = 0;
    bool fixed = el.props.size() <= kMaxFastRow;
    for (const t_ply_property_& pr : el.props) {
      if (pr.type == PLY_LIST) fixed = false;
      rowSize += static_cast<size_t>(TypeSize(pr.type));
    }
    if (fixed && rowSize <= kMaxFastRow) return ReadFixedRows<E>(ply, el, rowSize);
    const t_ply_property_& pr = el.props[0];
    if (el.props.size() == 1 && pr.type == PLY_LIST && (pr.cb || pr.listCb) &&
        pr.lengthType == PLY_UINT8) {
      if (pr.valueType == PLY_INT32)
        return ReadByteCountedLists<E == Enc::kBig, PLY_INT32>(ply, el);
      if (pr.valueType == PLY_UINT32)
        return ReadByteCountedLists<E == Enc::kBig, PLY_UINT32>(ply, el);
    }
  }
  return ReadInstances<E>(ply, el, 0);
}

// Splits a header line into white-space separated words; returns how many
// there are (words beyond the room given are counted, not stored).
size_t SplitWords(std::string_view line, std::string_view* words, size_t room) {
  size_t n = 0, i = 0;
  while (i < line.size()) {
    while (i < line.size() && kSpace[static_cast<unsigned char>(line[i])]) ++i;
    if (i == line.size()) break;
    const size_t start = i;
    while (i < line.size() && !kSpace[static_cast<unsigned char>(line[i])]) ++i;
    if (n < room) words[n] = line.substr(start, i - start);
    ++n;
  }
  return n;
}

bool ParseCount(std::string_view s, long& out) {
  if (s.empty()) return false;
  long v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return false;
    if (v > (std::numeric_limits<long>::max() - (c - '0')) / 10) return false;
    v = v * 10 + (c - '0');
  }
  out = v;
  return true;
}

int ParseHeader(p_ply ply) {
  Source& src = ply->src;
  bool sawFormat = false;
  for (;;) {
    std::string_view line;
    bool tooLong = false;
    if (!src.HeaderLine(line, tooLong)) {
      Report(ply, tooLong ? "Header line too long" : "Unexpected end of file in the header");
      return 0;
    }
    std::string_view w[5];
    const size_t n = SplitWords(line, w, 5);
    if (n == 0 || w[0] == "comment" || w[0] == "obj_info") continue;
    if (w[0] == "format") {
      if (sawFormat || n != 3) {
        Report(ply, "Invalid format line '%.*s'", Shown(line), line.data());
        return 0;
      }
      if (w[1] == "ascii") {
        ply->mode = PLY_ASCII;
      } else if (w[1] == "binary_little_endian") {
        ply->mode = PLY_LITTLE_ENDIAN;
      } else if (w[1] == "binary_big_endian") {
        ply->mode = PLY_BIG_ENDIAN;
      } else {
        Report(ply, "Unknown format '%.*s'", Shown(w[1]), w[1].data());
        return 0;
      }
      if (w[2] != "1.0" && w[2] != "1") {
        Report(ply, "Unsupported format version '%.*s'", Shown(w[2]), w[2].data());
        return 0;
      }
      sawFormat = true;
    } else if (w[0] == "element") {
      long count = 0;
      if (n != 3) {
        Report(ply, "Invalid element line '%.*s'", Shown(line), line.data());
        return 0;
      }
      if (!ParseCount(w[2], count)) {
        Report(ply, "Invalid instance count '%.*s' of element '%.*s'", Shown(w[2]), w[2].data(),
               Shown(w[1]), w[1].data());
        return 0;
      }
      t_ply_element_& el = ply->elements.emplace_back();
      el.name = w[1];
      el.ninstances = count;
    } else if (w[0] == "property") {
      const bool list = n >= 2 && w[1] == "list";
      if (n != (list ? 5u : 3u)) {
        Report(ply, "Invalid property line '%.*s'", Shown(line), line.data());
        return 0;
      }
      const std::string_view name = w[n - 1];
      if (ply->elements.empty()) {
        Report(ply, "Property '%.*s' comes before any element", Shown(name), name.data());
        return 0;
      }
      t_ply_property_ pr;
      pr.name = name;
      bool known;
      if (list) {
        pr.type = PLY_LIST;
        known = TypeFromName(w[2], pr.lengthType) && TypeFromName(w[3], pr.valueType);
      } else {
        known = TypeFromName(w[1], pr.type);
        pr.lengthType = pr.valueType = pr.type;
      }
      if (!known) {
        Report(ply, "Unknown type in property '%.*s' of element '%s'", Shown(name), name.data(),
               ply->elements.back().name.c_str());
        return 0;
      }
      ply->elements.back().props.push_back(std::move(pr));
    } else if (w[0] == "end_header") {
      if (!sawFormat || n != 1) {
        Report(ply, sawFormat ? "Invalid end_header line" : "Missing format line in the header");
        return 0;
      }
      return 1;
    } else {
      Report(ply, "Unexpected token '%.*s' in the header", Shown(w[0]), w[0].data());
      return 0;
    }
  }
}

t_ply_property_* FindProperty(p_ply ply, const char* element, const char* property,
                              t_ply_element_** elOut) {
  if (!ply || !element || !property || ply->state != State::kHeaderRead) return nullptr;
  for (t_ply_element_& el : ply->elements) {
    if (el.name != element) continue;
    for (t_ply_property_& pr : el.props) {
      if (pr.name == property) {
        *elOut = &el;
        return &pr;
      }
    }
    return nullptr;  // the first element of that name decides
  }
  return nullptr;
}

}  // namespace

extern "C" {

p_ply ply_open(const char* name, p_ply_error_cb error_cb, long idata, void* pdata) {
  std::unique_ptr<t_ply_> ply(new (std::nothrow) t_ply_);
  if (!ply) return nullptr;
  ply->errorCb = error_cb;
  ply->idata = idata;
  ply->pdata = pdata;
  if (!name || !ply->src.Open(name)) {
    Report(ply.get(), "Unable to open file '%s'", name ? name : "");
    return nullptr;
  }
  if (!ply->src.Need(4) || memcmp(ply->src.Data(), "ply", 3) != 0 || !kSpace[ply->src.Data()[3]]) {
    Report(ply.get(), "Not a PLY file: the magic line 'ply' is missing");
    return nullptr;
  }
  ply->src.Advance(4);
  return ply.release();
}

int ply_read_header(p_ply ply) {
  if (!ply) return 0;
  if (ply->state != State::kOpened) {
    Report(ply, "The header was already read");
    return 0;
  }
  int ok = 0;
  try {
    ok = ParseHeader(ply);
  } catch (const std::bad_alloc&) {
    Report(ply, "Out of memory reading the header");
    ok = 0;
  }
  ply->state = ok ? State::kHeaderRead : State::kFailed;
  return ok;
}

long ply_set_read_cb(p_ply ply, const char* element_name, const char* property_name,
                     p_ply_read_cb read_cb, void* pdata, long idata) {
  t_ply_element_* el = nullptr;
  t_ply_property_* pr = FindProperty(ply, element_name, property_name, &el);
  if (!pr) return 0;
  pr->cb = read_cb;
  pr->listCb = nullptr;
  pr->pdata = pdata;
  pr->idata = idata;
  return el->ninstances;
}

long ply_set_list_cb(p_ply ply, const char* element_name, const char* property_name,
                     p_ply_list_cb list_cb, void* pdata, long idata) {
  t_ply_element_* el = nullptr;
  t_ply_property_* pr = FindProperty(ply, element_name, property_name, &el);
  if (!pr || pr->type != PLY_LIST) return 0;
  pr->cb = nullptr;
  pr->listCb = list_cb;
  pr->pdata = pdata;
  pr->idata = idata;
  return el->ninstances;
}

int ply_read(p_ply ply) {
  if (!ply) return 0;
  if (ply->state != State::kHeaderRead) {
    Report(ply, ply->state == State::kOpened   ? "The header has not been read"
                : ply->state == State::kFailed ? "The header could not be read"
                                               : "The body was already read");
    return 0;
  }
  ply->state = State::kDone;
  for (t_ply_element_& el : ply->elements) {
    int ok;
    switch (ply->mode) {
      case PLY_ASCII:
        ok = ReadElement<Enc::kAscii>(ply, el);
        break;
      case PLY_LITTLE_ENDIAN:
        ok = ReadElement<Enc::kLittle>(ply, el);
        break;
      default:
        ok = ReadElement<Enc::kBig>(ply, el);
        break;
    }
    if (!ok) return 0;
  }
  return 1;
}

int ply_close(p_ply ply) {
  if (!ply) return 0;
  delete ply;
  return 1;
}

int ply_get_ply_user_data(p_ply ply, void** pdata, long* idata) {
  if (!ply) return 0;
  if (pdata) *pdata = ply->pdata;
  if (idata) *idata = ply->idata;
  return 1;
}

e_ply_storage_mode ply_get_storage_mode(p_ply ply) { return ply ? ply->mode : PLY_ASCII; }

int ply_get_element_info(p_ply_element element, const char** name, long* ninstances) {
  if (!element) return 0;
  if (name) *name = element->name.c_str();
  if (ninstances) *ninstances = element->ninstances;
  return 1;
}

int ply_get_property_info(p_ply_property property, const char** name, e_ply_type* type,
                          e_ply_type* length_type, e_ply_type* value_type) {
  if (!property) return 0;
  if (name) *name = property->name.c_str();
  if (type) *type = property->type;
  if (length_type) *length_type = property->lengthType;
  if (value_type) *value_type = property->valueType;
  return 1;
}

}  // extern "C"

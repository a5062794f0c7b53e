// Buffered reading of text files line by line, and the number scanning the
// text readers share. Lines are read whole, however long.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

// How lines end: at LF, CR or CR LF; or, as a C stream in text mode reads
// them, at LF only with a CR just before it dropped (a CR elsewhere stays).
enum class LineEnds { kAny, kTextMode };

// What a LineReader hands out: the file's bytes as they stand, or, for a
// file that starts with a UTF-16 byte-order mark (LE or BE) followed by an
// ASCII character, its text converted to UTF-8 without the mark.
enum class TextEncoding { kBytes, kDetectUtf16 };

// The byte order a UTF-16 text starts with: 1 for a little-endian mark,
// 2 for a big-endian one, both followed by an ASCII character; else 0.
// Other files that happen to start with FF FE keep being read as bytes.
int Utf16Bom(const unsigned char* p, size_t n);

// Converts whole UTF-16 units of in[0, n) (little-endian when le) to UTF-8
// at out, which must have room for 3 bytes per unit. A high surrogate at the
// very end is left unconverted unless last; unpaired surrogates become
// U+FFFD. Returns the bytes written and sets used to the input bytes taken.
size_t Utf16ToUtf8(const unsigned char* in, size_t n, bool le, bool last, char* out, size_t& used);

// A read buffer's size for a file: blockSize, or less for a regular file
// that is smaller (most files are small, and clearing a megabyte for each
// costs more than reading it). At least 4 KB, and more than the file.
size_t BlockSizeFor(FILE* f, size_t blockSize);

// Reads a file in large blocks and hands out lines; the end of the file ends
// the last line. An empty file has no lines.
class LineReader {
 public:
  explicit LineReader(FILE* f, size_t blockSize = 1 << 20, LineEnds ends = LineEnds::kAny,
                      TextEncoding encoding = TextEncoding::kBytes);
  // Sets line to the next line (without its end) and returns true, or
  // returns false at the end of the file. The view is valid until the next
  // call.
  bool Next(std::string_view& line);
  // Sets text to the whole lines that the current block still holds, each
  // with its line end (CR, LF or CR LF; LineEnds::kAny only), the last one
  // possibly without; or, when the block holds only the start of a line, to
  // that one line read whole. Returns false at the end of the file. Parsers
  // that split lines themselves walk a block at a time this way.
  bool NextLines(std::string_view& text);
  // Reads up to n raw bytes that follow the last line returned (a block of
  // binary data inside a text file) and returns how many were read. Of a
  // UTF-16 file, the converted text.
  size_t Read(void* dst, size_t n);
  // Bytes of the file handed out or skipped so far (of a UTF-16 file, about
  // that: the converted rest of the block is counted as it stands).
  int64_t Consumed() const { return read_ - static_cast<int64_t>(end_ - pos_); }
  bool utf16() const { return utf16_ != 0; }

 private:
  bool Refill();
  size_t RefillUtf16();
  bool NextLine(std::string_view& line);
  size_t FindEnd();
  FILE* f_;
  std::vector<char> buf_;
  LineEnds ends_;
  size_t pos_ = 0, end_ = 0;
  int64_t read_ = 0;
  size_t lfPos_ = 0, crPos_ = 0;  // next LF and CR at or after pos_ (cached)
  bool eof_ = false;
  bool skipLf_ = false;  // a CR ended the previous block: drop a leading LF
  std::string long_;     // a line that spans blocks
  TextEncoding encoding_;
  int utf16_ = 0;                   // 1 little-endian, 2 big-endian (Utf16Bom), once detected
  std::vector<unsigned char> raw_;  // UTF-16 bytes read, before conversion
  size_t rawLeft_ = 0;              // at the start of raw_: a cut unit or surrogate pair
};

// Opens a file for binary reading and closes it when it goes out of scope.
class File {
 public:
  explicit File(const char* path) : f_(path ? fopen(path, "rbe") : nullptr) {}
  ~File() {
    if (f_) fclose(f_);
  }
  File(const File&) = delete;
  File& operator=(const File&) = delete;
  FILE* get() const { return f_; }
  explicit operator bool() const { return f_ != nullptr; }
  // Size in bytes, or -1 when it cannot be told (the position is kept).
  int64_t Size() const;

 private:
  FILE* f_;
};

inline bool IsSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

// Within a line: white space other than the line ends.
inline bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\v' || c == '\f'; }

inline const char* SkipBlanks(const char* p, const char* last) {
  while (p < last && IsBlank(*p)) ++p;
  return p;
}

// The first CR or LF in [p, last), or last.
const char* FindLineEnd(const char* p, const char* last);

// Past the line end at p (CR, LF or CR LF), or p itself at last.
inline const char* SkipLineEnd(const char* p, const char* last) {
  if (p < last && *p++ == '\r' && p < last && *p == '\n') ++p;
  return p;
}

inline void SkipSpace(std::string_view& s) {
  size_t i = 0;
  while (i < s.size() && IsSpace(s[i])) ++i;
  s.remove_prefix(i);
}

// Scans a float the way "%g" does (leading white space, sign, decimal or
// hexadecimal form, inf and nan; out-of-range values become inf or 0) and
// advances s past it. Returns false, leaving s unchanged, when no number
// starts there.
bool ScanFloat(std::string_view& s, float& out);

namespace text_detail {
extern const float kPow10f[11];
bool ScanFloatSlow(const char*& p, const char* last, float& out);
}  // namespace text_detail

// ScanFloat for a number that starts right at p, without white space
// before it: advances p past the number, or returns false and leaves p.
// Inline, as files of numbers spend most of their time here: short decimals
// are converted on the spot, everything else as ScanFloat does.
inline bool ScanFloatAt(const char*& p, const char* last, float& out) {
  const char* q = p;
  const bool negative = q < last && *q == '-';
  if (q < last && (*q == '+' || *q == '-')) ++q;
  if (last - q >= 2 && q[0] == '0' && (q[1] == 'x' || q[1] == 'X'))
    return text_detail::ScanFloatSlow(p, last, out);
  // Digits whose value fits in 24 bits with an exponent of at most 10 in
  // size convert with one correctly rounded float operation, the float a
  // full conversion gives.
  const char* const digits = q;
  uint64_t m = 0;
  constexpr long kMaxDigits = 19;  // cannot overflow 64 bits
  while (q < last && static_cast<unsigned char>(*q - '0') <= 9) m = m * 10 + (*q++ - '0');
  long count = q - digits;
  long scale = 0;
  if (q < last && *q == '.') {
    const char* const frac = ++q;
    while (q < last && static_cast<unsigned char>(*q - '0') <= 9) m = m * 10 + (*q++ - '0');
    scale = -(q - frac);
    count += q - frac;
  }
  if (count == 0 || count > kMaxDigits) return text_detail::ScanFloatSlow(p, last, out);
  if (q < last && (*q == 'e' || *q == 'E')) {
    const char* e = q + 1;
    const bool negativeExp = e < last && *e == '-';
    if (e < last && (*e == '+' || *e == '-')) ++e;
    if (e < last && static_cast<unsigned char>(*e - '0') <= 9) {
      long x = 0;
      for (; e < last && static_cast<unsigned char>(*e - '0') <= 9; ++e)
        if (x < 100000) x = x * 10 + (*e - '0');
      scale += negativeExp ? -x : x;
      q = e;
    }
  }
  float v;
  if (m == 0) {
    v = 0.0f;
  } else if (m > (uint64_t{1} << 24) || scale > 10 || scale < -10) {
    return text_detail::ScanFloatSlow(p, last, out);
  } else if (scale >= 0) {
    v = static_cast<float>(m) * text_detail::kPow10f[scale];
  } else {
    v = static_cast<float>(m) / text_detail::kPow10f[-scale];
  }
  out = negative ? -v : v;
  p = q;
  return true;
}

// Scans a decimal integer the way atoi reads one: leading white space, an
// optional sign, digits up to the first non-digit; no digits gives 0. The
// value saturates instead of overflowing.
int64_t ScanInt(std::string_view s);

// Scans a decimal integer the way "%d" does: leading white space, an
// optional sign, then at least one digit; advances s past it. Returns false,
// leaving s unchanged, when no digit follows. Saturates as ScanInt does.
inline bool ScanDecimal(std::string_view& s, int64_t& out) {
  // Inline: face lines call this several times each.
  const char* p = s.data();
  const char* last = p + s.size();
  while (p < last && IsSpace(*p)) ++p;
  bool negative = false;
  if (p < last && (*p == '+' || *p == '-')) negative = *p++ == '-';
  if (p >= last || static_cast<unsigned>(*p - '0') > 9) return false;
  constexpr int64_t kLimit = int64_t{1} << 40;  // saturates as ScanInt does
  int64_t v = 0;
  for (; p < last && static_cast<unsigned>(*p - '0') <= 9; ++p)
    if (v < kLimit) v = v * 10 + (*p - '0');
  out = negative ? -v : v;
  s.remove_prefix(static_cast<size_t>(p - s.data()));
  return true;
}

// Case-insensitive search for a lower-case ASCII keyword.
bool ContainsKeyword(std::string_view line, std::string_view lowerKeyword);

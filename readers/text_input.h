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

// A read buffer's size for a file: blockSize, or less for a regular file
// that is smaller (most files are small, and clearing a megabyte for each
// costs more than reading it). At least 4 KB, and more than the file.
size_t BlockSizeFor(FILE* f, size_t blockSize);

// Reads a file in large blocks and hands out lines; the end of the file ends
// the last line. An empty file has no lines.
class LineReader {
 public:
  explicit LineReader(FILE* f, size_t blockSize = 1 << 20, LineEnds ends = LineEnds::kAny);
  // Sets line to the next line (without its end) and returns true, or
  // returns false at the end of the file. The view is valid until the next
  // call.
  bool Next(std::string_view& line);
  // Reads up to n raw bytes that follow the last line returned (a block of
  // binary data inside a text file) and returns how many were read.
  size_t Read(void* dst, size_t n);
  // Bytes of the file handed out or skipped so far.
  int64_t Consumed() const { return read_ - static_cast<int64_t>(end_ - pos_); }

 private:
  bool Refill();
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
};

// Opens a file for binary reading and closes it when it goes out of scope.
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
  // Size in bytes, or -1 when it cannot be told (the position is kept).
  int64_t Size() const;

 private:
  FILE* f_;
};

inline bool IsSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
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

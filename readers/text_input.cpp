#include "readers/text_input.h"

#include <sys/stat.h>
#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include <algorithm>
#include <charconv>
#include <cstdlib>
#include <cstring>

#include "core/load_progress.h"

size_t BlockSizeFor(FILE* f, size_t blockSize) {
  struct stat st;
  if (!f || fstat(fileno(f), &st) != 0 || !S_ISREG(st.st_mode)) return blockSize;
  const uint64_t want = std::max<uint64_t>(static_cast<uint64_t>(st.st_size) + 1, 4096);
  return want < blockSize ? static_cast<size_t>(want) : blockSize;
}

LineReader::LineReader(FILE* f, size_t blockSize, LineEnds ends, TextEncoding encoding)
    : f_(f), buf_(BlockSizeFor(f, blockSize)), ends_(ends), encoding_(encoding) {
  // A third of the buffer takes UTF-16 bytes: room for the mark and one
  // character, and for what a block may leave cut.
  if (encoding == TextEncoding::kDetectUtf16 && buf_.size() < 12) buf_.resize(12);
}

int Utf16Bom(const unsigned char* p, size_t n) {
  if (n < 4) return 0;
  if (p[0] == 0xFF && p[1] == 0xFE && p[3] == 0 && p[2] < 0x80) return 1;
  if (p[0] == 0xFE && p[1] == 0xFF && p[2] == 0 && p[3] < 0x80) return 2;
  return 0;
}

size_t Utf16ToUtf8(const unsigned char* in, size_t n, bool le, bool last, char* out, size_t& used) {
  auto unit = [in, le](size_t i) -> uint32_t {
    return le ? uint32_t{in[i]} | uint32_t{in[i + 1]} << 8 : uint32_t{in[i]} << 8 | in[i + 1];
  };
  char* o = out;
  size_t i = 0;
  for (; i + 2 <= n; i += 2) {
    uint32_t c = unit(i);
    if (c >= 0xD800 && c < 0xDC00) {
      if (i + 4 > n && !last) break;  // its pair may come with the next block
      const uint32_t low = i + 4 <= n ? unit(i + 2) : 0;
      if (low >= 0xDC00 && low < 0xE000) {
        c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
        i += 2;
      } else {
        c = 0xFFFD;
      }
    } else if (c >= 0xDC00 && c < 0xE000) {
      c = 0xFFFD;
    }
    if (c < 0x80) {
      *o++ = static_cast<char>(c);
    } else if (c < 0x800) {
      *o++ = static_cast<char>(0xC0 | c >> 6);
      *o++ = static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      *o++ = static_cast<char>(0xE0 | c >> 12);
      *o++ = static_cast<char>(0x80 | (c >> 6 & 0x3F));
      *o++ = static_cast<char>(0x80 | (c & 0x3F));
    } else {
      // Two units in, four bytes out: within 3 bytes per unit.
      *o++ = static_cast<char>(0xF0 | c >> 18);
      *o++ = static_cast<char>(0x80 | (c >> 12 & 0x3F));
      *o++ = static_cast<char>(0x80 | (c >> 6 & 0x3F));
      *o++ = static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  // A last odd byte is no character; it is dropped at the end.
  used = last ? n : i;
  return static_cast<size_t>(o - out);
}

// The next block of a file that may be UTF-16: raw bytes are read into raw_
// (a third of the buffer, so that their conversion always fits) and
// converted into buf_. Until the first block has been seen the file may
// still turn out to be plain bytes.
size_t LineReader::RefillUtf16() {
  const size_t room = buf_.size() / 3;
  if (raw_.size() < room) raw_.resize(room);
  for (;;) {
    const size_t got = fread(raw_.data() + rawLeft_, 1, room - rawLeft_, f_);
    read_ += static_cast<int64_t>(got);
    const size_t have = rawLeft_ + got;
    size_t start = 0;
    if (utf16_ == 0) {
      utf16_ = Utf16Bom(raw_.data(), have);
      if (utf16_ == 0) {
        encoding_ = TextEncoding::kBytes;  // read on as bytes
        memcpy(buf_.data(), raw_.data(), have);
        return have;
      }
      start = 2;  // the mark is no text
    }
    size_t used = 0;
    const size_t out =
        Utf16ToUtf8(raw_.data() + start, have - start, utf16_ == 1, got == 0, buf_.data(), used);
    rawLeft_ = have - start - used;
    memmove(raw_.data(), raw_.data() + start + used, rawLeft_);
    // A block may end inside a unit and convert to nothing: read on.
    if (out > 0 || got == 0) return out;
  }
}

bool LineReader::Refill() {
  if (eof_ || !f_) return false;
  if (!LoadCheckpointFile(f_)) {
    // A cancelled load reads on as if the file ended here.
    eof_ = true;
    end_ = pos_ = 0;
    return false;
  }
  pos_ = 0;
  if (encoding_ == TextEncoding::kDetectUtf16) {
    end_ = RefillUtf16();
  } else {
    end_ = fread(buf_.data(), 1, buf_.size(), f_);
    read_ += static_cast<int64_t>(end_);
  }
  lfPos_ = crPos_ = 0;
  if (end_ == 0) {
    eof_ = true;
    return false;
  }
  return true;
}

size_t LineReader::FindEnd() {
  // The next LF and the next CR are remembered, so files that use only one
  // kind of line end are still scanned once.
  const char* b = buf_.data();
  if (lfPos_ < pos_ || lfPos_ == 0) {
    const void* p = memchr(b + pos_, '\n', end_ - pos_);
    lfPos_ = p ? static_cast<const char*>(p) - b : end_;
  }
  if (ends_ == LineEnds::kTextMode) return lfPos_;
  if (crPos_ < pos_ || crPos_ == 0) {
    const void* p = memchr(b + pos_, '\r', end_ - pos_);
    crPos_ = p ? static_cast<const char*>(p) - b : end_;
  }
  return crPos_ < lfPos_ ? crPos_ : lfPos_;
}

bool LineReader::Next(std::string_view& line) {
  if (!NextLine(line)) return false;
  if (ends_ == LineEnds::kTextMode && !line.empty() && line.back() == '\r') line.remove_suffix(1);
  return true;
}

bool LineReader::NextLine(std::string_view& line) {
  long_.clear();
  bool partial = false;
  for (;;) {
    if (pos_ == end_ && !Refill()) {
      if (!partial) return false;
      line = long_;
      return true;
    }
    if (skipLf_) {
      skipLf_ = false;
      if (buf_[pos_] == '\n') {
        ++pos_;
        continue;
      }
    }
    const size_t e = FindEnd();
    if (e < end_) {
      const char c = buf_[e];
      if (partial) {
        long_.append(buf_.data() + pos_, e - pos_);
        line = long_;
      } else {
        line = std::string_view(buf_.data() + pos_, e - pos_);
      }
      pos_ = e + 1;
      if (c == '\r') {
        if (pos_ < end_) {
          if (buf_[pos_] == '\n') ++pos_;
        } else {
          skipLf_ = true;
        }
      }
      return true;
    }
    long_.append(buf_.data() + pos_, end_ - pos_);
    partial = true;
    pos_ = end_;
  }
}

bool LineReader::NextLines(std::string_view& text) {
  for (;;) {
    if (pos_ == end_ && !Refill()) return false;
    if (!skipLf_) break;
    // The CR of the last line ended a block: its LF is still line end.
    skipLf_ = false;
    if (buf_[pos_] == '\n') ++pos_;
  }
  // Lines are short next to a block: the last line end is near its end.
  size_t e = end_;
  while (e > pos_ && buf_[e - 1] != '\n' && buf_[e - 1] != '\r') --e;
  if (e == pos_) return Next(text);
  text = std::string_view(buf_.data() + pos_, e - pos_);
  pos_ = e;
  if (buf_[e - 1] == '\r') skipLf_ = true;  // its LF may start the next block
  return true;
}

const char* FindLineEnd(const char* p, const char* last) {
#ifdef __SSE2__
  const __m128i lf = _mm_set1_epi8('\n'), cr = _mm_set1_epi8('\r');
  while (last - p >= 16) {
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const int hits = _mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi8(b, lf), _mm_cmpeq_epi8(b, cr)));
    if (hits) return p + __builtin_ctz(static_cast<unsigned>(hits));
    p += 16;
  }
#endif
  while (p < last && *p != '\n' && *p != '\r') ++p;
  return p;
}

size_t LineReader::Read(void* dst, size_t n) {
  char* out = static_cast<char*>(dst);
  size_t done = 0;
  while (done < n) {
    if (pos_ == end_ && !Refill()) break;
    if (skipLf_) {
      // The CR of the last line ended a block: its LF is still line end.
      skipLf_ = false;
      if (buf_[pos_] == '\n') {
        ++pos_;
        continue;
      }
    }
    const size_t take = n - done < end_ - pos_ ? n - done : end_ - pos_;
    memcpy(out + done, buf_.data() + pos_, take);
    pos_ += take;
    done += take;
  }
  // The cached line-end positions stay right: they only ever lie at or after pos_.
  return done;
}

int64_t File::Size() const {
  if (!f_) return -1;
  const long here = ftell(f_);
  if (here < 0 || fseek(f_, 0, SEEK_END) != 0) return -1;
  const long size = ftell(f_);
  fseek(f_, here, SEEK_SET);
  return size;
}

namespace text_detail {
// Powers of ten that are exact in a float.
const float kPow10f[11] = {1e0f, 1e1f, 1e2f, 1e3f, 1e4f, 1e5f, 1e6f, 1e7f, 1e8f, 1e9f, 1e10f};
}  // namespace text_detail

bool text_detail::ScanFloatSlow(const char*& start, const char* last, float& out) {
  const char* p = start;
  bool negative = false;
  if (p < last && (*p == '+' || *p == '-')) {
    negative = *p == '-';
    ++p;
  }
  if (p >= last || *p == '+' || *p == '-') return false;
  const bool hex = last - p >= 2 && p[0] == '0' && (p[1] == 'x' || p[1] == 'X');
  // Short decimals never get here: ScanFloatAt has converted them.
  float v = 0;
  const char* stop = nullptr;
  if (!hex) {
    auto r = std::from_chars(p, last, v, std::chars_format::general);
    if (r.ec == std::errc::invalid_argument) return false;
    stop = r.ptr;
    if (r.ec == std::errc::result_out_of_range) {
      // from_chars leaves the value alone out of range; strtof gives inf or 0.
      std::string num(p, r.ptr);
      v = strtof(num.c_str(), nullptr);
    }
  } else {
    // Rare enough to go through the C library on a bounded copy.
    size_t n = 2;
    while (p + n < last && n < 256 &&
           (isxdigit(static_cast<unsigned char>(p[n])) || p[n] == '.' || p[n] == 'p' ||
            p[n] == 'P' || ((p[n] == '+' || p[n] == '-') && (p[n - 1] == 'p' || p[n - 1] == 'P'))))
      ++n;
    std::string num(p, n);
    char* e = nullptr;
    v = strtof(num.c_str(), &e);
    if (e == num.c_str()) return false;
    stop = p + (e - num.c_str());
  }
  out = negative ? -v : v;
  start = stop;
  return true;
}

bool ScanFloat(std::string_view& s, float& out) {
  std::string_view t = s;
  SkipSpace(t);
  const char* p = t.data();
  if (!ScanFloatAt(p, t.data() + t.size(), out)) return false;
  s.remove_prefix(static_cast<size_t>(p - s.data()));
  return true;
}

int64_t ScanInt(std::string_view s) {
  SkipSpace(s);
  size_t i = 0;
  bool negative = false;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) negative = s[i++] == '-';
  int64_t v = 0;
  constexpr int64_t kLimit = int64_t{1} << 40;  // far beyond any int32 index
  for (; i < s.size() && s[i] >= '0' && s[i] <= '9'; ++i)
    if (v < kLimit) v = v * 10 + (s[i] - '0');
  return negative ? -v : v;
}

bool ContainsKeyword(std::string_view line, std::string_view kw) {
  if (kw.empty()) return true;
  if (line.size() < kw.size()) return false;
  const char first = kw[0];
  const size_t lastStart = line.size() - kw.size();
  for (size_t i = 0; i <= lastStart; ++i) {
    if ((line[i] | 0x20) != first) continue;
    size_t k = 1;
    while (k < kw.size() && (line[i + k] | 0x20) == kw[k]) ++k;
    if (k == kw.size()) return true;
  }
  return false;
}

// Line reading and number scanning shared by the text readers.
#include "readers/text_input.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "tests/test_util.h"

namespace {

std::vector<std::string> Lines(const std::string& bytes, size_t block,
                               LineEnds ends = LineEnds::kAny) {
  const std::string path = WriteTemp("lines.txt", bytes);
  File f(path.c_str());
  LineReader r(f.get(), block, ends);
  std::vector<std::string> out;
  std::string_view line;
  while (r.Next(line)) out.emplace_back(line);
  return out;
}

// The lines NextLines hands out, split the way the block parsers split them.
std::vector<std::string> BlockLines(const std::string& bytes, size_t block) {
  const std::string path = WriteTemp("blocks.txt", bytes);
  File f(path.c_str());
  LineReader r(f.get(), block);
  std::vector<std::string> out;
  std::string_view text;
  while (r.NextLines(text)) {
    const char* p = text.data();
    const char* const last = p + text.size();
    while (p < last) {
      const char* const end = FindLineEnd(p, last);
      out.emplace_back(p, end);
      p = SkipLineEnd(end, last);
    }
  }
  return out;
}

TEST(LineReader, AllLineEndsAndBlockBoundaries) {
  using V = std::vector<std::string>;
  const struct {
    std::string bytes;
    V lines;
  } cases[] = {
      {"", {}},
      {"a", {"a"}},
      {"a\n", {"a"}},
      {"a\n\n", {"a", ""}},
      {"a\r\nb\rc\nd", {"a", "b", "c", "d"}},
      {"\r\n\r\n", {"", ""}},
      {"\n\r", {"", ""}},
      {"long line here\r\nx", {"long line here", "x"}},
  };
  // Tiny blocks force lines and CR LF pairs across block edges.
  for (size_t block : {1, 2, 3, 7, 1 << 20}) {
    for (const auto& c : cases) {
      EXPECT_EQ(Lines(c.bytes, block), c.lines) << block << " " << c.bytes;
      EXPECT_EQ(BlockLines(c.bytes, block), c.lines) << block << " " << c.bytes;
    }
  }
  // Lines longer than a block, and line ends of every kind at every offset
  // of a block edge (the block reader's buffer is never below 4 KB).
  std::string bytes;
  V lines;
  for (int i = 0; i < 3000; ++i) {
    lines.push_back(std::string(static_cast<size_t>(i % 7 == 0 ? 5000 : 1 + i % 23), 'a' + i % 26));
    bytes += lines.back() + (i % 3 == 0 ? "\r\n" : i % 3 == 1 ? "\r" : "\n");
  }
  EXPECT_TRUE(BlockLines(bytes, 4096) == lines);  // too long to print
}

TEST(LineReader, TextModeEndsLinesAtLineFeedsOnly) {
  using V = std::vector<std::string>;
  for (size_t block : {1, 2, 5, 1 << 20}) {
    EXPECT_EQ(Lines("a\r\nb\rc\nd\r", block, LineEnds::kTextMode), (V{"a", "b\rc", "d"}));
    EXPECT_EQ(Lines("\r\n\n", block, LineEnds::kTextMode), (V{"", ""}));
  }
}

TEST(LineReader, ReadsVeryLongLinesWhole) {
  const std::string big(3'000'000, 'x');
  const auto lines = Lines("a\n" + big + "\nb", 1 << 16);
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[1].size(), big.size());
  EXPECT_EQ(lines[2], "b");
}

// UTF-16 of UTF-8 text, with its byte-order mark.
std::string Utf16(const std::u16string& text, bool le) {
  std::string s = le ? "\xFF\xFE" : "\xFE\xFF";
  for (char16_t c : text) {
    const char lo = static_cast<char>(c & 0xFF), hi = static_cast<char>(c >> 8);
    s += le ? std::string{lo, hi} : std::string{hi, lo};
  }
  return s;
}

std::vector<std::string> Utf16Lines(const std::string& bytes, size_t block) {
  const std::string path = WriteTemp("utf16.txt", bytes);
  File f(path.c_str());
  LineReader r(f.get(), block, LineEnds::kAny, TextEncoding::kDetectUtf16);
  std::vector<std::string> out;
  std::string_view line;
  while (r.Next(line)) out.emplace_back(line);
  return out;
}

TEST(LineReader, Utf16WithAByteOrderMarkIsReadAsUtf8) {
  using V = std::vector<std::string>;
  // ASCII, a two- and a three-byte character, a surrogate pair.
  const std::u16string text = u"v 1 2 3\r\n# \u00e9\u3042 \U0001F600\nf 1 2 3";
  const V want = {"v 1 2 3", "# \xC3\xA9\xE3\x81\x82 \xF0\x9F\x98\x80", "f 1 2 3"};
  // Blocks of a few bytes cut units, surrogate pairs and CR LF apart.
  for (size_t block : {3, 4, 5, 7, 1 << 20})
    for (bool le : {true, false}) EXPECT_EQ(Utf16Lines(Utf16(text, le), block), want) << block;

  const struct {
    std::string bytes;
    V lines;
  } cases[] = {
      // Damaged: a lone surrogate, a high one cut by the end, an odd byte.
      {Utf16(u"a\xDC00"
             u"b",
             true),
       {"a\xEF\xBF\xBD"
        "b"}},
      {Utf16(u"a", true) + "\x3D\xD8", {"a\xEF\xBF\xBD"}},
      {Utf16(u"ab", false) + "\x00", {"ab"}},
      {Utf16(u"", true), {"\xFF\xFE"}},  // nothing after the mark: bytes
      // A mark followed by no ASCII character is no UTF-16 text: bytes.
      {"\xFF\xFEsolid\n", {"\xFF\xFEsolid"}},
      {"plain\n", {"plain"}},
  };
  for (const auto& c : cases) EXPECT_EQ(Utf16Lines(c.bytes, 1 << 20), c.lines) << c.bytes;
  // Without asking for it, the bytes stand as they are.
  EXPECT_EQ(Lines(Utf16(u"a", true), 1 << 20), (V{std::string("\xFF\xFE"
                                                              "a\0",
                                                              4)}));
}

TEST(ScanFloat, BehavesLikePercentG) {
  const struct {
    const char* text;
    bool ok;
    float value;
    size_t rest;  // characters left after the number
  } cases[] = {
      {" 1.5 x", true, 1.5f, 2}, {"-2", true, -2.0f, 0},       {"+3e2", true, 300.0f, 0},
      {"\t.5", true, 0.5f, 0},   {"1.", true, 1.0f, 0},        {"1e", true, 1.0f, 1},
      {"0x10", true, 16.0f, 0},  {"1e999", true, INFINITY, 0}, {"-1e999", true, -INFINITY, 0},
      {"1e-999", true, 0.0f, 0}, {"inf", true, INFINITY, 0},   {"--1", false, 0, 3},
      {"+-1", false, 0, 3},      {"x1", false, 0, 2},          {"", false, 0, 0},
      {"  ", false, 0, 2},
  };
  for (const auto& c : cases) {
    std::string_view s = c.text;
    float v = 0;
    EXPECT_EQ(ScanFloat(s, v), c.ok) << c.text;
    if (c.ok) {
      EXPECT_EQ(v, c.value) << c.text;
    }
    EXPECT_EQ(s.size(), c.rest) << c.text;
  }
  // NaN is a number to "%g" too.
  std::string_view nan = "nan";
  float v = 0;
  EXPECT_TRUE(ScanFloat(nan, v));
  EXPECT_TRUE(std::isnan(v));
}

TEST(ScanFloat, StopsAtTheEndOfItsText) {
  // A number cut by the end of the text reads as the part before the cut.
  const std::string text = "-12.5e+3x";
  for (size_t n = 0; n <= text.size(); ++n) {
    const char* p = text.data();
    float v = 0;
    const std::string part = text.substr(0, n);
    char* end = nullptr;
    const float want = strtof(part.c_str(), &end);
    EXPECT_EQ(ScanFloatAt(p, text.data() + n, v), end != part.c_str()) << part;
    if (end != part.c_str()) {
      EXPECT_EQ(v, want) << part;
      EXPECT_EQ(p - text.data(), end - part.c_str()) << part;
    }
  }
}

TEST(ScanInt, ReadsLikeAtoiWithoutOverflow) {
  EXPECT_EQ(ScanInt(" -12abc"), -12);
  EXPECT_EQ(ScanInt("+7"), 7);
  EXPECT_EQ(ScanInt("abc"), 0);
  EXPECT_EQ(ScanInt(""), 0);
  EXPECT_GT(ScanInt("4294967297"), int64_t{4294967296});
  EXPECT_GT(ScanInt("99999999999999999999999999"), int64_t{1} << 32);
}

TEST(ContainsKeyword, IgnoresCase) {
  EXPECT_TRUE(ContainsKeyword("  Facet Normal 0 0 1", "facet"));
  EXPECT_TRUE(ContainsKeyword("ENDFACET", "facet"));
  EXPECT_FALSE(ContainsKeyword("fac", "facet"));
  EXPECT_FALSE(ContainsKeyword("f@cet", "facet"));
}

}  // namespace

TEST(ScanFloat, ShortDecimalsMatchTheFullConversion) {
  // The fast path for short decimals must give the very float strtof gives.
  uint32_t x = 7;
  for (int i = 0; i < 200000; ++i) {
    x = x * 1664525u + 1013904223u;
    char text[64];
    const int digits = static_cast<int>(x % 9);
    const int exp = static_cast<int>((x >> 8) % 25) - 12;
    const uint32_t mant = (x >> 3) % 100000000u;
    switch (x % 4) {
      case 0:
        snprintf(text, sizeof text, "%u", mant);
        break;
      case 1:
        snprintf(text, sizeof text, "%.*e", digits, (mant + 0.5) * 1e-4);
        break;
      case 2:
        snprintf(text, sizeof text, "%u.%ue%d", mant % 1000, mant, exp);
        break;
      default:
        snprintf(text, sizeof text, "-0.%08u", mant);
        break;
    }
    std::string_view s = text;
    float v = 0;
    ASSERT_TRUE(ScanFloat(s, v)) << text;
    EXPECT_EQ(v, strtof(text, nullptr)) << text;
    EXPECT_TRUE(s.empty()) << text;
  }
}

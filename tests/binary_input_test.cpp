#include "readers/binary_input.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "tests/test_util.h"

namespace {

std::string Pattern(size_t n) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 131 + i / 251) & 0xFF);
  return s;
}

bool Same(const unsigned char* p, const std::string& s, size_t pos, size_t n) {
  return p && s.compare(pos, n, reinterpret_cast<const char*>(p), n) == 0;
}

TEST(ByteSource, ServesAnyRangeOfARegularFileAndNothingBeyond) {
  const size_t size = 3 * ByteSource::kWindow + 1234;
  const std::string bytes = Pattern(size);
  const std::string path = WriteTemp("window.bin", bytes);
  FILE* f = fopen(path.c_str(), "rb");
  ASSERT_TRUE(f);
  ByteSource src(f);
  ASSERT_TRUE(src.ok());
  EXPECT_EQ(src.size(), size);
  struct Range {
    uint64_t pos, n;
  } ranges[] = {
      {0, 8},
      {ByteSource::kWindow - 3, 8},  // across the first window's edge
      {5, 2 * ByteSource::kWindow},  // larger than the window
      {100, 8},                      // backwards again
      {size - 8, 8},
      {size, 0},
  };
  for (const Range& r : ranges) EXPECT_TRUE(Same(src.Get(r.pos, r.n), bytes, r.pos, r.n)) << r.pos;
  EXPECT_EQ(src.Get(size - 7, 8), nullptr);
  EXPECT_EQ(src.Get(size + 1, 0), nullptr);
  EXPECT_EQ(src.Get(~uint64_t{0} - 2, 8), nullptr);

  const uint64_t target = 2 * ByteSource::kWindow + 77;
  const unsigned char c = static_cast<unsigned char>(bytes[target]);
  const uint64_t first = bytes.find(static_cast<char>(c), ByteSource::kWindow + 1);
  uint64_t at = 0;
  EXPECT_EQ(src.Find(ByteSource::kWindow + 1, size, c, at), ByteSource::Found::kYes);
  EXPECT_EQ(at, first);
  EXPECT_EQ(src.Find(first + 1, first + 1, c, at), ByteSource::Found::kNo);
  fclose(f);
}

TEST(ByteSource, AFileCutWhileReadGivesNoBytes) {
  const std::string bytes = Pattern(2 * ByteSource::kWindow);
  const std::string path = WriteTemp("cut.bin", bytes);
  FILE* f = fopen(path.c_str(), "rb");
  ASSERT_TRUE(f);
  ByteSource src(f);
  ASSERT_EQ(truncate(path.c_str(), 1000), 0);
  EXPECT_TRUE(Same(src.Get(0, 16), bytes, 0, 16));
  EXPECT_EQ(src.Get(ByteSource::kWindow + 10, 16), nullptr);
  uint64_t at;
  EXPECT_EQ(src.Find(900, 2000, 0xEE, at), ByteSource::Found::kReadError);
  fclose(f);
}

TEST(ByteSource, ReadsAPipeWhole) {
  const std::string bytes = Pattern(5000);
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  ASSERT_EQ(write(fds[1], bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  close(fds[1]);
  FILE* f = fdopen(fds[0], "rb");
  ASSERT_TRUE(f);
  ByteSource src(f);
  ASSERT_TRUE(src.ok());
  EXPECT_EQ(src.size(), bytes.size());
  EXPECT_TRUE(Same(src.Get(4000, 1000), bytes, 4000, 1000));
  EXPECT_TRUE(Same(src.Get(10, 20), bytes, 10, 20));
  EXPECT_EQ(src.Get(4001, 1000), nullptr);
  fclose(f);
}

}  // namespace

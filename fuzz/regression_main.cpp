// Runs every fuzz entry, compiled without libFuzzer, over its seed corpus
// and over every input that once made it fail (fuzz/regressions/<target>/).
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <vector>

#include "fuzz/fuzz_entry.h"

namespace fs = std::filesystem;

namespace {

std::map<std::string, FuzzEntryFn>& Entries() {
  static std::map<std::string, FuzzEntryFn> entries;
  return entries;
}

std::vector<fs::path> FilesIn(const fs::path& dir) {
  std::vector<fs::path> files;
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(dir, ec))
    if (e.is_regular_file()) files.push_back(e.path());
  std::sort(files.begin(), files.end());
  return files;
}

void RunAll(FuzzEntryFn entry, const fs::path& dir) {
  const std::vector<fs::path> files = FilesIn(dir);
  if (files.empty()) GTEST_SKIP() << "no inputs in " << dir;
  for (const fs::path& f : files) {
    SCOPED_TRACE(f.string());
    std::ifstream in(f, std::ios::binary);
    const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                                     std::istreambuf_iterator<char>());
    // A fault aborts the process or trips a sanitizer; the return value is
    // always 0.
    EXPECT_EQ(entry(bytes.data(), bytes.size()), 0);
  }
}

}  // namespace

bool RegisterFuzzEntry(const char* target, FuzzEntryFn entry) {
  Entries()[target] = entry;
  return true;
}

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  const fs::path root = TARNELLE_FUZZ_DIR;
  for (const auto& [name, entry] : Entries()) {
    const FuzzEntryFn fn = entry;
    for (const char* kind : {"seeds", "regressions"}) {
      const fs::path dir = root / kind / name;
      testing::RegisterTest("FuzzInputs", (name + "_" + kind).c_str(), nullptr, nullptr, __FILE__,
                            __LINE__, [fn, dir]() -> testing::Test* {
                              struct Run : testing::Test {
                                FuzzEntryFn fn;
                                fs::path dir;
                                void TestBody() override { RunAll(fn, dir); }
                              };
                              auto* t = new Run;
                              t->fn = fn;
                              t->dir = dir;
                              return t;
                            });
    }
  }
  return RUN_ALL_TESTS();
}

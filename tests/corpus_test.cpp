// Real files from many exporters: every one loads, and the counts agree
// with what the manifest's notes count.
#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "readers/obj.h"
#include "readers/stl.h"
#include "tests/test_util.h"

namespace {

std::string Relative(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  const size_t dir = path.find_last_of('/', slash - 1);
  return path.substr(dir + 1);
}

TEST(Corpus, StlFilesLoadWithEveryFacet) {
  const auto manifest = ReadManifest();
  const auto files = CorpusFiles("stl");
  if (files.empty()) GTEST_SKIP() << CorpusSkipReason("stl");
  for (const std::string& f : files) {
    PolygonModel m;
    ASSERT_TRUE(StlLoadInto(f.c_str(), m)) << f << ": " << StlGetErrMsg();
    const auto row = manifest.find(Relative(f));
    ASSERT_NE(row, manifest.end()) << f;
    const long facets = NoteValue(row->second.at("notes"), "facets");
    EXPECT_EQ(m.PolygonCount(), facets) << f;
    EXPECT_EQ(m.VertexCount(), 3 * facets) << f;
  }
}

// Faces continued with a backslash read as a zero reference and are left
// out; every other "f" statement of the corpus is a valid face.
long ContinuedFaces(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::string line;
  long n = 0;
  while (std::getline(in, line)) {
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
    if (line.size() > 1 && line[0] == 'f' && line[1] == ' ' && line.back() == '\\') ++n;
  }
  return n;
}

TEST(Corpus, ObjFilesLoadWithEveryFaceStatement) {
  const auto manifest = ReadManifest();
  const auto files = CorpusFiles("obj");
  if (files.empty()) GTEST_SKIP() << CorpusSkipReason("obj");
  for (const std::string& f : files) {
    EXPECT_EQ(ObjIsSupport(f.c_str()), 1) << f;
    PolygonModel m;
    ASSERT_TRUE(ObjLoadInto(f.c_str(), m)) << f << ": " << ObjGetErrMsg();
    const auto row = manifest.find(Relative(f));
    ASSERT_NE(row, manifest.end()) << f;
    const std::string& notes = row->second.at("notes");
    EXPECT_EQ(m.VertexCount(), NoteValue(notes, "v")) << f;
    EXPECT_EQ(m.PolygonCount(), NoteValue(notes, "f") - ContinuedFaces(f)) << f;
  }
}

}  // namespace

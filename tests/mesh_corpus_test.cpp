// Every corpus file that a built-in reader loads is prepared by the fast
// code on one thread, by the fast code with its helper thread and by the
// reference, with every combination of the two switches.
#include <gtest/gtest.h>

#include <filesystem>

#include "core/reader_table.h"
#include "mesh/prepare_mesh.h"
#include "readers/builtin.h"
#include "tests/mesh_reference.h"
#include "tests/mesh_test_util.h"
#include "tests/test_util.h"

namespace {

namespace fs = std::filesystem;

constexpr int32_t kMaxOrientPolygons = 50000;

// Loads path with the first built-in reader whose mask takes its extension,
// as the pipeline does; null when none loads it or it has no polygons.
std::unique_ptr<PolygonModel> LoadWithBuiltins(const std::string& path) {
  const std::string ext = FileExtension(path);
  for (const BuiltinReader& r : BuiltinReaders()) {
    if (!MatchMask(ext, r.mask)) continue;
    CurrentModel = std::make_unique<PolygonModel>();
    const bool ok = (r.Load(path.c_str()) & 0xFF) != 0;
    std::unique_ptr<PolygonModel> m = std::move(CurrentModel);
    if (!ok) continue;
    m->DropInvalidPolygons();
    if (m->PolygonCount() == 0) return nullptr;
    return m;
  }
  return nullptr;
}

TEST(MeshCorpus, FastMatchesReferenceOnEveryLoadableFile) {
  std::vector<std::string> files;
  std::error_code ec;
  for (const auto& e : fs::recursive_directory_iterator(CorpusDir(), ec))
    if (e.is_regular_file() && e.path().extension() != ".tsv") files.push_back(e.path().string());
  std::sort(files.begin(), files.end());
  if (files.empty()) GTEST_SKIP() << CorpusSkipReason("");

  int prepared = 0;
  ThreadsForTest threads;
  for (const std::string& path : files) {
    const std::unique_ptr<PolygonModel> base = LoadWithBuiltins(path);
    if (!base) continue;
    ++prepared;
    for (int combo = 0; combo < 4; ++combo) {
      const bool share = combo & 1, orient = combo & 2;
      PolygonModel fast = *base, split = *base;
      const float angle = combo == 3 ? 180.0f : 120.0f;
      fast.SetEdgeAngle(angle);
      split.SetEdgeAngle(angle);
      threads.Single();
      PrepareMesh(fast, share, orient);
      threads.Helper();
      PrepareMesh(split, share, orient);
      ASSERT_EQ(FirstDifference(split, fast), "")
          << "helper thread: " << path << " share " << share << " orient " << orient;
      // The reference worklist searches forward for the next settled entry
      // from every unsettled one, quadratic in the polygon count.
      if (orient && base->PolygonCount() > kMaxOrientPolygons) continue;
      PolygonModel ref = *base;
      ref.SetEdgeAngle(angle);
      reference::PrepareMesh(ref, share, orient);
      ASSERT_EQ(FirstDifference(fast, ref), "")
          << path << " share " << share << " orient " << orient;
    }
  }
  RecordProperty("prepared", prepared);
  EXPECT_GT(prepared, 0);
}

}  // namespace

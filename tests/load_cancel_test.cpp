// Cancelling a load under a LoadControl: the real readers and mesh
// preparation stop at their next check, and the pipeline reports it in one
// line and keeps nothing of the model.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "core/load_progress.h"
#include "core/pipeline.h"
#include "mesh/corner_index.h"
#include "mesh/fix_orientation.h"
#include "mesh/normals.h"
#include "mesh/parallel.h"
#include "mesh/prepare_mesh.h"
#include "mesh/share_vertices.h"
#include "readers/binary_input.h"
#include "readers/builtin.h"
#include "readers/text_input.h"
#include "tests/mesh_test_util.h"
#include "tests/test_util.h"

namespace {

// A strip of triangles; facets * 50 bytes spans several read blocks.
std::string BinaryStl(int facets) {
  std::string s(80, 'x');
  PutU32(s, static_cast<unsigned>(facets));
  for (int i = 0; i < facets; ++i) {
    for (int k = 0; k < 3; ++k) PutF32(s, 0);
    const float x = static_cast<float>(i);
    const float v[9] = {x, 0, 0, x + 1, 0, 0, x, 1, static_cast<float>(i % 7)};
    for (float f : v) PutF32(s, f);
    PutU16(s, 0);
  }
  return s;
}

std::string Obj(int quads) {
  std::string s;
  for (int i = 0; i <= quads; ++i)
    s += "v " + std::to_string(i) + " 0 0\nv " + std::to_string(i) + " 1 0.5\n";
  for (int i = 0; i < quads; ++i) {
    const int a = 2 * i + 1;
    s += "f " + std::to_string(a) + " " + std::to_string(a + 2) + " " + std::to_string(a + 3) +
         " " + std::to_string(a + 1) + "\n";
  }
  return s;
}

// The same strip as 3DFACE entities and as an ASCII PLY file.
std::string Dxf(int quads) {
  std::string s = "0\nSECTION\n2\nENTITIES\n";
  for (int i = 0; i < quads; ++i) {
    const std::string x = std::to_string(i), x1 = std::to_string(i + 1);
    s += "0\n3DFACE\n8\n0\n10\n" + x + "\n20\n0\n30\n0\n11\n" + x1 + "\n21\n0\n31\n0\n12\n" + x1 +
         "\n22\n1\n32\n0.5\n13\n" + x + "\n23\n1\n33\n0.5\n";
  }
  return s + "0\nENDSEC\n0\nEOF\n";
}

std::string Ply(int quads) {
  std::string s = "ply\nformat ascii 1.0\nelement vertex " + std::to_string(2 * quads + 2) +
                  "\nproperty float x\nproperty float y\nproperty float z\nelement face " +
                  std::to_string(quads) + "\nproperty list uchar int vertex_indices\nend_header\n";
  for (int i = 0; i <= quads; ++i)
    s += std::to_string(i) + " 0 0\n" + std::to_string(i) + " 1 0.5\n";
  for (int i = 0; i < quads; ++i)
    s += "4 " + std::to_string(2 * i) + " " + std::to_string(2 * i + 2) + " " +
         std::to_string(2 * i + 3) + " " + std::to_string(2 * i + 1) + "\n";
  return s;
}

class RecordingHost : public LoadHost {
 public:
  std::vector<std::string> log;
  int cleared = 0, shown = 0;
  LoadSettings Settings() const override {
    LoadSettings s;
    s.shareVertices = s.fixOrientation = true;
    return s;
  }
  void AppendLog(const std::string& line) override { log.push_back(line); }
  void PreviewClearModel() override { ++cleared; }
  void PreviewSetModel(PolygonModel&, int) override { ++shown; }
};

struct CancelCase {
  const char* what;
  const char* file;
  int stage;         // cancel at the start of this preparation stage, or 0
  int64_t atBytes;   // else once the reader got this far
  bool readerLines;  // the reader's lines come before the cancel line
};

void PrintTo(const CancelCase& c, std::ostream* os) { *os << c.what; }

class LoadCancel : public ::testing::TestWithParam<CancelCase> {};

TEST_P(LoadCancel, StopsWithOneLineAndNoModel) {
  const CancelCase& c = GetParam();
  static const std::string stl = WriteTemp("cancel.stl", BinaryStl(30000));
  static const std::string obj = WriteTemp("cancel.obj", Obj(60000));
  static const std::string dxf = WriteTemp("cancel.dxf", Dxf(30000));
  static const std::string ply = WriteTemp("cancel.ply", Ply(80000));
  const std::string kind = c.file;
  const std::string& path = kind == "stl" ? stl : kind == "obj" ? obj : kind == "dxf" ? dxf : ply;

  LoadPipeline pipeline;
  BuildReaderTable(pipeline.table, BuiltinReaders(), false, nullptr);
  pipeline.prepareMesh = PrepareMesh;
  RecordingHost host;
  LoadControl control;
  int64_t seenAtCancel = -1;
  control.onCheckpoint = [&](LoadControl& lc) {
    const bool now = c.stage ? lc.stage.load() == c.stage : lc.consumed.load() >= c.atBytes;
    if (now && !lc.Cancelled()) {
      seenAtCancel = lc.consumed.load();
      lc.Cancel();
    }
  };
  LoadOutcome outcome;
  {
    ScopedLoadControl scope(&control);
    outcome = LoadModelFile(pipeline, host, path);
  }
  EXPECT_EQ(outcome, LoadOutcome::kCancelled);
  ASSERT_GE(host.log.size(), 3u);
  EXPECT_EQ(host.log.front(), kLogSeparator);
  EXPECT_EQ(host.log.back(), kLogCancelled);
  if (c.readerLines) {
    ASSERT_EQ(host.log.size(), 4u);
    EXPECT_EQ(host.log[1].rfind(": " + path), host.log[1].size() - path.size() - 2);
    EXPECT_EQ(host.log[2].rfind(" > ", 0), 0u);
  } else {
    ASSERT_EQ(host.log.size(), 3u);
    EXPECT_EQ(host.log[1], "file: " + path);
    // It stopped at the check where it was cancelled, not at the end.
    EXPECT_LT(control.consumed.load(), control.total.load());
    // (at most one further block is looked at: its check records it first)
    EXPECT_LE(control.consumed.load(), seenAtCancel + (1 << 20));
  }
  EXPECT_EQ(host.shown, 0);
  EXPECT_GE(host.cleared, 1);
  EXPECT_EQ(CurrentModel, nullptr);
  EXPECT_EQ(pipeline.lastPath, path);
}

INSTANTIATE_TEST_SUITE_P(Points, LoadCancel,
                         ::testing::Values(CancelCase{"StlBeforeFirstPolygon", "stl", 0, 0, false},
                                           CancelCase{"StlWhileReading", "stl", 0, 500000, false},
                                           CancelCase{"ObjBeforeFirstPolygon", "obj", 0, 0, false},
                                           CancelCase{"ObjWhileReading", "obj", 0, 1 << 20, false},
                                           CancelCase{"DxfWhileReading", "dxf", 0, 1 << 20, false},
                                           CancelCase{"PlyWhileReading", "ply", 0, 1 << 20, false},
                                           CancelCase{"SharingVertices", "stl", 1, 0, true},
                                           CancelCase{"Normals", "obj", 4, 0, true}),
                         [](const auto& p) { return std::string(p.param.what); });

TEST(LoadProgress, WithoutCancelTheLoadIsTheSameAndProgressReachesTheEnd) {
  const std::string path = WriteTemp("progress.stl", BinaryStl(30000));
  LoadPipeline pipeline;
  BuildReaderTable(pipeline.table, BuiltinReaders(), false, nullptr);
  pipeline.prepareMesh = PrepareMesh;
  RecordingHost plain, watched;
  ASSERT_EQ(LoadModelFile(pipeline, plain, path), LoadOutcome::kLoaded);
  const int plainVertices = CurrentModel->VertexCount();
  LoadControl control;
  int checks = 0;
  control.onCheckpoint = [&](LoadControl&) { ++checks; };
  {
    ScopedLoadControl scope(&control);
    ASSERT_EQ(LoadModelFile(pipeline, watched, path), LoadOutcome::kLoaded);
  }
  EXPECT_EQ(watched.log, plain.log);
  EXPECT_EQ(CurrentModel->VertexCount(), plainVertices);
  EXPECT_GT(checks, 4);
  EXPECT_EQ(control.stage.load(), LoadControl::kPrepareStages);
  EXPECT_GE(control.Permille(), 600);
  EXPECT_LE(control.Permille(), 1000);
  CurrentModel.reset();
}

// The block readers the binary formats share fail their next read once the
// load is cancelled.
TEST(LoadProgress, CancelledBinaryInputFailsItsNextRead) {
  const std::string path = WriteTemp("bytes.bin", std::string(3 << 20, 'b'));
  LoadControl control;
  ScopedLoadControl scope(&control);
  File f(path.c_str());
  ASSERT_TRUE(f);
  ByteSource src(f.get());
  ASSERT_NE(src.Get(0, 16), nullptr);
  EXPECT_EQ(control.total.load(), 3 << 20);
  control.Cancel();
  EXPECT_NE(src.Get(8, 16), nullptr);  // still in the window read before
  EXPECT_EQ(src.Get(2 << 20, 16), nullptr);
  FileBytes whole;
  rewind(f.get());
  EXPECT_FALSE(ReadWholeFile(f.get(), whole));
}

// Every preparation step reports how far it got and stops inside its loop
// once the load is cancelled, on one thread or two, so a cancel never waits
// for a whole stage.
TEST(LoadProgress, PreparationStepsReportProgressAndStopInsideTheirLoops) {
  const PolygonModel base = RandomModel(7, 40);
  ASSERT_GT(base.indexPool.size(), kCancelStepMask);
  {
    // Uncancelled, the steps report how far they got within their stage.
    LoadControl watch;
    ScopedLoadControl scope(&watch);
    PolygonModel m = base;
    LoadStage(1);
    ShareVertices(m);
    EXPECT_GT(watch.stagePermille.load(), 500);
    EXPECT_GT(watch.Permille(), 650);
    LoadStage(2);
    EXPECT_EQ(watch.Permille(), 700);
  }
  LoadControl control;
  control.Cancel();
  for (const int threads : {1, 2}) {
    meshpar::SetThreads(threads, 0);
    PolygonModel m = base;
    CornerIndex index;
    std::vector<uint8_t> reversed;
    BuildCornerIndex(m, index);  // no control yet: runs to its end
    ScopedLoadControl scope(&control);
    EXPECT_THROW(ShareVertices(m), LoadCancelledError) << threads;
    EXPECT_THROW(FixOrientation(m, index, reversed), LoadCancelledError) << threads;
    EXPECT_THROW(ComputeNormals(m, index, reversed), LoadCancelledError) << threads;
    CornerIndex again;
    EXPECT_THROW(BuildCornerIndex(m, again), LoadCancelledError) << threads;
  }
  meshpar::SetThreads(0);
}

}  // namespace

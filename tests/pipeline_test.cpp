// LoadModelFile with small test readers standing in for the formats.
#include "core/pipeline.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>
#include <vector>

#include "tests/test_util.h"

namespace {

// What one test reader answers and what it saw.
struct Fake {
  int support = 0;
  bool ok = true;
  bool polygons = true;
  bool badIndex = false;
  bool throws = false;
  bool sloppyLook = false;  // an appearance that fits nothing
  std::string err;
  int calls = 0;
  int verticesAtStart = -1;
};
Fake g_fake[3];
std::vector<int> g_order;

template <int N>
int32_t FakeIsSupport(const char*) {
  return g_fake[N].support;
}
template <int N>
int32_t FakeLoad(const char*) {
  Fake& f = g_fake[N];
  ++f.calls;
  g_order.push_back(N);
  f.verticesAtStart = CurrentModel->VertexCount();
  if (f.throws) throw std::runtime_error("boom");
  for (int i = 0; i < 3; ++i) CurrentModel->AddVertex(static_cast<float>(i), 0, 0);
  if (f.polygons) CurrentModel->AddTriangle(0, 1, 2);
  if (f.badIndex) CurrentModel->AddTriangle(0, 1, 3);
  if (f.sloppyLook) {
    SurfaceAppearance& a = CurrentModel->appearance;
    a.materials.resize(1);
    a.polygonMaterial = {0, 0, 7, 0};
    a.cornerUV = {{1, 1}, {1, 1}, {1, 1}, {std::nanf(""), 2}};
  }
  return f.ok ? 0x100 | 1 : 0x100;  // only the low byte counts
}
template <int N>
const char* FakeErr() {
  return g_fake[N].err.c_str();
}

class RecordingHost : public LoadHost {
 public:
  LoadSettings settings;
  std::vector<std::string> log;
  std::vector<std::string> calls;
  LoadSettings Settings() const override { return settings; }
  void AppendLog(const std::string& line) override { log.push_back(line); }
  void StopAutoRotation() override { calls.push_back("stop"); }
  void BeginWaitCursor() override { calls.push_back("wait"); }
  void EndWaitCursor() override { calls.push_back("endwait"); }
  void PreviewClearModel() override { calls.push_back("clear"); }
  void PreviewSetCullMode(int m) override { calls.push_back("cull" + std::to_string(m)); }
  void PreviewSetModel(PolygonModel&, int t) override {
    calls.push_back("set" + std::to_string(t));
  }
  void PreviewRepaint() override { calls.push_back("repaint"); }
  void StartTrimTimer() override { calls.push_back("trim"); }
};

int g_prepared = 0;
void CountPrepare(PolygonModel&, bool, bool) { ++g_prepared; }

class Pipeline : public ::testing::Test {
 protected:
  void SetUp() override {
    for (Fake& f : g_fake) f = Fake{};
    g_order.clear();
    g_prepared = 0;
    CurrentModel.reset();
    pipeline.table = {
        {nullptr, "Alpha", "*.aaa", FakeIsSupport<0>, FakeLoad<0>, FakeErr<0>},
        {nullptr, "Beta", "*.bbb;*.aaa", FakeIsSupport<1>, FakeLoad<1>, FakeErr<1>},
        {nullptr, "Gamma", "*.ccc", FakeIsSupport<2>, FakeLoad<2>, FakeErr<2>},
    };
    pipeline.prepareMesh = CountPrepare;
  }
  LoadPipeline pipeline;
  RecordingHost host;
};

TEST_F(Pipeline, LoadsByExtensionAndReportsCounts) {
  host.settings.cullMode = 2;
  host.settings.renderType = 3;
  EXPECT_EQ(LoadModelFile(pipeline, host, "/d/Model.BBB"), LoadOutcome::kLoaded);
  EXPECT_EQ(host.log, (std::vector<std::string>{"----------", "Beta: /d/Model.BBB",
                                                " > 頂点数 = 3, ポリゴン数 = 1"}));
  EXPECT_EQ(g_order, (std::vector<int>{1}));
  EXPECT_EQ(g_prepared, 1);
  EXPECT_EQ(host.calls, (std::vector<std::string>{"stop", "wait", "clear", "cull2", "set3",
                                                  "endwait", "trim"}));
  EXPECT_EQ(pipeline.lastPath, "/d/Model.BBB");
}

TEST_F(Pipeline, TriesMatchingReadersInOrderEachOnAnEmptyModel) {
  g_fake[0].ok = false;
  g_fake[0].err = "first failed";
  EXPECT_EQ(LoadModelFile(pipeline, host, "x.aaa"), LoadOutcome::kLoaded);
  EXPECT_EQ(g_order, (std::vector<int>{0, 1}));
  EXPECT_EQ(g_fake[1].verticesAtStart, 0);
  EXPECT_EQ(host.log[1], "Beta: x.aaa");
}

TEST_F(Pipeline, ErrorTextStopsTheFallbackPass) {
  g_fake[0].ok = false;
  g_fake[0].err = "データエラー";
  g_fake[1].support = -1;  // matches but declines: leaves the text alone
  g_fake[2].support = 1;
  EXPECT_EQ(LoadModelFile(pipeline, host, "x.aaa"), LoadOutcome::kFailed);
  EXPECT_EQ(g_order, (std::vector<int>{0}));
  EXPECT_EQ(host.log, (std::vector<std::string>{"----------", "file: x.aaa", "...データエラー"}));
  EXPECT_EQ(pipeline.lastPath, "x.aaa");
  EXPECT_EQ(host.calls.back(), "trim");
}

TEST_F(Pipeline, FallbackTriesOnlyReadersAnsweringOne) {
  // The last reader of the first pass failed without a text, so the
  // fallback pass runs even though an earlier one gave a text.
  g_fake[0].ok = false;
  g_fake[0].err = "ignored";
  g_fake[1].ok = false;
  g_fake[2].support = 0;
  EXPECT_EQ(LoadModelFile(pipeline, host, "x.aaa"), LoadOutcome::kFailed);
  EXPECT_EQ(g_order, (std::vector<int>{0, 1}));
  EXPECT_EQ(host.log.back(), "...対応形式が見つかりませんでした。");

  g_order.clear();
  g_fake[2].support = 1;
  EXPECT_EQ(LoadModelFile(pipeline, host, "x.aaa"), LoadOutcome::kLoaded);
  EXPECT_EQ(g_order, (std::vector<int>{0, 1, 2}));
  EXPECT_EQ(g_fake[2].verticesAtStart, 0);
}

TEST_F(Pipeline, NoExtensionGoesStraightToTheFallbackPass) {
  g_fake[0].support = 1;
  g_fake[1].support = 0;
  EXPECT_EQ(LoadModelFile(pipeline, host, "/d/noext"), LoadOutcome::kLoaded);
  EXPECT_EQ(g_order, (std::vector<int>{0}));
  EXPECT_EQ(host.log[1], "Alpha: /d/noext");
}

TEST_F(Pipeline, FilterItemAsksOnlyItsReaderFirst) {
  host.settings.filterIndex = 2 + 2;  // Gamma, whatever the extension
  EXPECT_EQ(LoadModelFile(pipeline, host, "x.aaa"), LoadOutcome::kLoaded);
  EXPECT_EQ(g_order, (std::vector<int>{2}));

  // When it declines, the fallback pass skips it and asks the others.
  g_order.clear();
  g_fake[2].support = -1;
  g_fake[0].support = 1;
  EXPECT_EQ(LoadModelFile(pipeline, host, "x.aaa"), LoadOutcome::kLoaded);
  EXPECT_EQ(g_order, (std::vector<int>{0}));
}

TEST_F(Pipeline, NoPolygonsIsReportedAndNotShown) {
  g_fake[0].polygons = false;
  EXPECT_EQ(LoadModelFile(pipeline, host, "p.aaa"), LoadOutcome::kNoPolygons);
  EXPECT_EQ(host.log, (std::vector<std::string>{"----------", "Alpha: p.aaa",
                                                "...ポリゴンデータが見つかりませんでした。"}));
  EXPECT_EQ(g_prepared, 0);
  EXPECT_EQ(std::count(host.calls.begin(), host.calls.end(), "set0"), 0);
}

TEST_F(Pipeline, UnknownFormatAndModelReplacedEveryLoad) {
  EXPECT_EQ(LoadModelFile(pipeline, host, "a.aaa"), LoadOutcome::kLoaded);
  EXPECT_EQ(LoadModelFile(pipeline, host, "z.zzz"), LoadOutcome::kFailed);
  // A fresh, empty model replaced the loaded one.
  ASSERT_NE(CurrentModel.get(), nullptr);
  EXPECT_EQ(CurrentModel->VertexCount(), 0);
  EXPECT_EQ(host.log.back(), "...対応形式が見つかりませんでした。");
  EXPECT_EQ(host.log[host.log.size() - 2], "file: z.zzz");
}

TEST_F(Pipeline, OutOfRangeIndicesNeverReachPreparation) {
  g_fake[0].badIndex = true;
  EXPECT_EQ(LoadModelFile(pipeline, host, "a.aaa"), LoadOutcome::kLoaded);
  EXPECT_EQ(host.log.back(), " > 頂点数 = 3, ポリゴン数 = 1");
  EXPECT_EQ(CurrentModel->PolygonCount(), 1);
}

TEST_F(Pipeline, AnAppearanceThatFitsNothingIsMadeToFitBeforeBadPolygonsGo) {
  g_fake[0].badIndex = true;
  g_fake[0].sloppyLook = true;
  EXPECT_EQ(LoadModelFile(pipeline, host, "a.aaa"), LoadOutcome::kLoaded);
  const SurfaceAppearance& a = CurrentModel->appearance;
  EXPECT_EQ(a.polygonMaterial, (std::vector<int32_t>{0}));
  EXPECT_EQ(a.cornerUV, (std::vector<Float2>{{1, 1}, {1, 1}, {1, 1}}));
}

TEST_F(Pipeline, AThrowingReaderIsAFailedLoad) {
  g_fake[0].throws = true;
  EXPECT_EQ(LoadModelFile(pipeline, host, "a.aaa"), LoadOutcome::kFailed);
  EXPECT_EQ(host.log[1], "file: a.aaa");
  EXPECT_EQ(host.log[2], "...読み込み中にエラーが発生しました。");
  EXPECT_EQ(pipeline.lastPath, "a.aaa");
  EXPECT_EQ(host.calls.back(), "trim");
  EXPECT_EQ(host.calls[host.calls.size() - 2], "endwait");
}

TEST_F(Pipeline, ExtractedCopyIsDeletedUnlessCached) {
  const std::string copy = WriteTemp("member.aaa", "x");
  EXPECT_EQ(LoadModelFile(pipeline, host, copy, "/arc.zip//dir/member.aaa"), LoadOutcome::kLoaded);
  EXPECT_EQ(host.log[1], "Alpha: /arc.zip//dir/member.aaa");
  EXPECT_NE(access(copy.c_str(), F_OK), 0);

  const std::string kept = WriteTemp("kept.aaa", "x");
  host.settings.cache = true;
  LoadModelFile(pipeline, host, kept, "/arc.zip//kept.aaa");
  EXPECT_EQ(access(kept.c_str(), F_OK), 0);
}

TEST_F(Pipeline, EdgeAngleComesFromTheSettings) {
  host.settings.angle = 180;
  LoadModelFile(pipeline, host, "a.aaa");
  EXPECT_EQ(CurrentModel->edgeCos, 1.0);
}

}  // namespace

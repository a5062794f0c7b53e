// The polygon model, its exported building functions and extension masks.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>

#include "core/model.h"
#include "core/pobj_exports.h"
#include "core/reader_table.h"
#include "core/text.h"

TEST(PolygonModel, ExportsAreHarmlessBeforeTheFirstLoad) {
  CurrentModel.reset();
  const float rgb[3] = {1, 0, 0};
  const int32_t idx[3] = {0, 1, 2};
  _PobjClearObject();
  _PobjSetPolygonColor(0, rgb);
  EXPECT_EQ(_PobjAddVertex(1, 2, 3), -1);
  EXPECT_EQ(_PobjAddPolygon(3, idx), -1);
  EXPECT_EQ(_PobjGetNv(), 0);
  EXPECT_EQ(_PobjGetNp(), 0);
}

TEST(PolygonModel, ExportsBuildTheCurrentModel) {
  CurrentModel = std::make_unique<PolygonModel>();
  EXPECT_EQ(_PobjAddVertex(0, 0, 0), 0);
  EXPECT_EQ(_PobjAddVertex(1, 0, 0), 1);
  EXPECT_EQ(_PobjGetNv(), 2);
  _PobjAddVertex(0, 1, 0);
  const int32_t idx[3] = {0, 1, 2};
  EXPECT_EQ(_PobjAddPolygon(3, idx), 0);
  EXPECT_EQ(CurrentModel->material(0), -1);
  // Rejected outright: a negative count or no index array.
  EXPECT_EQ(_PobjAddPolygon(-1, idx), -1);
  EXPECT_EQ(_PobjAddPolygon(3, nullptr), -1);
  EXPECT_EQ(_PobjGetNp(), 1);

  const float red[3] = {1, 0, 0}, green[3] = {0, 1, 0};
  _PobjSetPolygonColor(-1, red);
  _PobjSetPolygonColor(1, red);  // equal to the polygon count
  EXPECT_EQ(CurrentModel->material(0), -1);
  _PobjSetPolygonColor(0, red);
  EXPECT_EQ(CurrentModel->material(0), 1);
  CurrentModel->material(0) = 5;
  _PobjSetPolygonColor(0, green);
  EXPECT_EQ(CurrentModel->material(0), 5);
  EXPECT_EQ(CurrentModel->color(0), (Float3{0, 1, 0}));

  _PobjClearObject();
  EXPECT_EQ(_PobjGetNv(), 0);
  EXPECT_EQ(_PobjGetNp(), 0);
  EXPECT_EQ(_PobjAddVertex(5, 5, 5), 0);
  CurrentModel.reset();
}

TEST(PolygonModel, StoresShortPolygonsAndKeepsEdgeCosOnClear) {
  PolygonModel m;
  const int32_t idx[2] = {7, 8};
  for (int n = 0; n <= 2; ++n) EXPECT_EQ(m.AddPolygon(n, idx), n);
  EXPECT_EQ(m.nv(0), 0);
  EXPECT_EQ(m.nv(2), 2);
  EXPECT_EQ(m.index(2)[1], 8);
  m.SetEdgeAngle(120);
  const double c = m.edgeCos;
  m.Clear();
  EXPECT_EQ(m.PolygonCount(), 0);
  EXPECT_EQ(m.edgeCos, c);
}

TEST(PolygonModel, EdgeAngleUsesTheShortenedPi) {
  EXPECT_NEAR(PolygonModel().edgeCos, 0.1736481776668, 1e-12);  // a new model: 100 degrees
  const struct {
    float angle;
    double cos;
  } cases[] = {{120, 0.49999999999994}, {180, 1.0}, {0, -1.0}, {100, 0.1736481776668}};
  for (const auto& c : cases) EXPECT_NEAR(EdgeCosForAngle(c.angle), c.cos, 1e-13) << c.angle;
  // Not exactly one half: the shortened pi shows.
  EXPECT_LT(EdgeCosForAngle(120), 0.5);
}

TEST(PolygonModel, DropInvalidPolygonsKeepsTheRestInOrder) {
  PolygonModel m;
  for (int i = 0; i < 4; ++i) m.AddVertex(static_cast<float>(i), 0, 0);
  const int32_t good1[3] = {0, 1, 2}, bad[3] = {0, 4, 1}, neg[3] = {-1, 0, 1},
                good2[4] = {3, 2, 1, 0};
  m.AddPolygon(3, good1, 2, {0.5f, 0, 0});
  m.AddPolygon(3, bad);
  m.AddPolygon(3, neg);
  m.AddPolygon(4, good2);
  m.appearance.materials.resize(1);
  m.appearance.polygonMaterial = {0, -1, -1, 0};
  for (int c = 0; c < 13; ++c) m.appearance.cornerUV.push_back({static_cast<float>(c), 0});
  EXPECT_EQ(m.DropInvalidPolygons(), 2u);
  EXPECT_EQ(m.appearance.polygonMaterial, (std::vector<int32_t>{0, 0}));
  std::vector<float> us;
  for (const Float2& uv : m.appearance.cornerUV) us.push_back(uv.u);
  EXPECT_EQ(us, (std::vector<float>{0, 1, 2, 9, 10, 11, 12}));
  ASSERT_EQ(m.PolygonCount(), 2);
  EXPECT_EQ(m.material(0), 2);
  EXPECT_EQ(m.color(0).x, 0.5f);
  EXPECT_EQ(m.nv(1), 4);
  EXPECT_EQ(m.index(1)[0], 3);
}

TEST(NormalizeAppearance, Table) {
  // A model of two triangles (6 corners) and two materials; each case
  // writes the appearance a careless or hostile reader might leave.
  const float inf = std::numeric_limits<float>::infinity(), nan = std::nanf("");
  struct Case {
    const char* what;
    std::function<void(SurfaceAppearance&)> write;
    std::function<void(const SurfaceAppearance&)> check;
  };
  const Case cases[] = {
      {"short lists are padded",
       [](SurfaceAppearance& a) {
         a.polygonMaterial = {1};
         a.cornerUV = {{0.5f, 0.25f}};
       },
       [](const SurfaceAppearance& a) {
         EXPECT_EQ(a.polygonMaterial, (std::vector<int32_t>{1, -1}));
         ASSERT_EQ(a.cornerUV.size(), 6u);
         EXPECT_EQ(a.cornerUV[0], (Float2{0.5f, 0.25f}));
         EXPECT_EQ(a.cornerUV[5], (Float2{0, 0}));
       }},
      {"long lists are cut",
       [](SurfaceAppearance& a) {
         a.polygonMaterial = {0, 1, 1, 1};
         a.cornerUV.assign(100, {1, 1});
       },
       [](const SurfaceAppearance& a) {
         EXPECT_EQ(a.polygonMaterial, (std::vector<int32_t>{0, 1}));
         EXPECT_EQ(a.cornerUV.size(), 6u);
       }},
      {"indices outside the materials become -1",
       [](SurfaceAppearance& a) {
         a.polygonMaterial = {2, 0};
       },
       [](const SurfaceAppearance& a) {
         EXPECT_EQ(a.polygonMaterial, (std::vector<int32_t>{-1, 0}));
         EXPECT_TRUE(a.cornerUV.empty());
       }},
      {"no polygon uses a material: dropped whole",
       [](SurfaceAppearance& a) {
         a.polygonMaterial = {-5, 7};
         a.cornerUV.assign(6, {1, 1});
       },
       [](const SurfaceAppearance& a) { EXPECT_TRUE(a.Empty()); }},
      {"materials alone: dropped",
       [](SurfaceAppearance& a) {
         a.cornerUV.assign(6, {1, 1});
       },
       [](const SurfaceAppearance& a) { EXPECT_TRUE(a.Empty()); }},
      {"numbers made finite and colours kept within 0 to 1",
       [&](SurfaceAppearance& a) {
         a.polygonMaterial = {0, 1};
         a.cornerUV = {{nan, inf}, {-inf, 2}, {0, 0}, {0, 0}, {0, 0}, {0, 0}};
         a.materials[0] = {{nan, 2, -1}, nan, "a.png"};
         a.materials[1] = {{inf, -inf, 0.5f}, -3, "*0"};
       },
       [](const SurfaceAppearance& a) {
         EXPECT_EQ(a.cornerUV[0], (Float2{0, 0}));
         EXPECT_EQ(a.cornerUV[1], (Float2{0, 2}));
         const float* c0 = a.materials[0].color;
         const float* c1 = a.materials[1].color;
         EXPECT_EQ(std::vector<float>(c0, c0 + 3), (std::vector<float>{0, 1, 0}));
         EXPECT_EQ(std::vector<float>(c1, c1 + 3), (std::vector<float>{1, 0, 0.5f}));
         EXPECT_EQ(a.materials[0].opacity, 1.0f);
         EXPECT_EQ(a.materials[1].opacity, 0.0f);
         EXPECT_EQ(a.materials[0].texture, "a.png");
         EXPECT_EQ(a.materials[1].texture, "");  // no embedded image 0
       }},
      {"embedded image names must point at an image",
       [](SurfaceAppearance& a) {
         a.polygonMaterial = {0, 1};
         a.images.resize(2);
         a.materials[0].texture = "*1";
         a.materials[1].texture = "*99999999999999999999";
       },
       [](const SurfaceAppearance& a) {
         EXPECT_EQ(a.materials[0].texture, "*1");
         EXPECT_EQ(a.materials[1].texture, "");
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    PolygonModel m;
    for (int i = 0; i < 3; ++i) m.AddVertex(static_cast<float>(i), 0, 0);
    m.AddTriangle(0, 1, 2);
    m.AddTriangle(2, 1, 0);
    m.appearance.materials.resize(2);
    c.write(m.appearance);
    NormalizeAppearance(m);
    c.check(m.appearance);
  }
}

TEST(MatchMask, Table) {
  const struct {
    const char* ext;
    const char* mask;
    bool match;
  } cases[] = {
      {"obj", "*.obj", true},
      {"", "*.obj", false},
      {"OBJ", "*.obj", false},  // the extension comes lower-cased
      {"obj", "*.OBJ", false},  // masks are not lower-cased here
      {"ply", "*.obj;*.ply", true},
      {"ply", "*.obj;ply", true},  // an entry without "*." is used whole
      {"obj", ";*.obj", false},    // an empty entry ends the scan
      {"ply", "*.obj;;*.ply", false},
      {"obj", "*.*.obj", false},  // only the first "*." is removed
      {"x", "a*.x", true},        // everything up to the first "*." goes
      {"ob", "*.obj", false},
      {"obj", "", false},
  };
  for (const auto& c : cases)
    EXPECT_EQ(MatchMask(c.ext, c.mask), c.match) << c.ext << " " << c.mask;
}

TEST(FileExtension, LowerCasesAfterTheLastDot) {
  EXPECT_EQ(FileExtension("/a/Part.OBJ"), "obj");
  EXPECT_EQ(FileExtension("/a.b/noext"), "");
  EXPECT_EQ(FileExtension("x.tar.GZ"), "gz");
  EXPECT_EQ(FileExtension("trailing."), "");
}

TEST(Text, MessagesAreCutAtCharacterBoundaries) {
  char buf[8];
  CopyMessage(buf, "データ");  // 9 bytes: only two characters fit in 7
  EXPECT_STREQ(buf, "デー");
  CopyMessage(buf, nullptr);
  EXPECT_STREQ(buf, "");
  char small[80];
  FormatMessage(small, sizeof small, "データエラー (line:%ld)", 12L);
  EXPECT_STREQ(small, "データエラー (line:12)");
}

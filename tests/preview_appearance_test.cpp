// A model's appearance in the preview: texture names found in the model's
// folder and nowhere else, images decoded within their limits, and the
// pixels of materials, textures and transparency drawn by the headless
// renderer (the window's drawing code).
#include <gtest/gtest.h>
#include <unistd.h>

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QTemporaryDir>
#include <memory>
#include <string>
#include <vector>

#include "preview/draw_buffers.h"
#include "preview/headless.h"
#include "preview/render_thread.h"
#include "preview/scene.h"
#include "preview/surface_images.h"
#include "tests/preview_fixtures.h"

namespace {

constexpr int kW = 160, kH = 120;
const QRgb kBackground = qRgb(0, 77, 102);

// The checker: four cells of 32 pixels, red top left, green top right,
// blue bottom left, white bottom right (as the image is seen).
QImage Checker() {
  QImage img(64, 64, QImage::Format_RGB32);
  for (int y = 0; y < 64; ++y)
    for (int x = 0; x < 64; ++x)
      img.setPixel(x, y,
                   y < 32 ? (x < 32 ? qRgb(255, 0, 0) : qRgb(0, 255, 0))
                          : (x < 32 ? qRgb(0, 0, 255) : qRgb(255, 255, 255)));
  return img;
}

// An image as an uncompressed 24-bit TGA file, bottom row first, with the
// footer Qt's reader asks for.
QByteArray Tga(const QImage& img) {
  QByteArray t(18, '\0');
  t[2] = 2;
  t[12] = static_cast<char>(img.width() & 0xff);
  t[13] = static_cast<char>(img.width() >> 8);
  t[14] = static_cast<char>(img.height() & 0xff);
  t[15] = static_cast<char>(img.height() >> 8);
  t[16] = 24;
  for (int y = img.height() - 1; y >= 0; --y)
    for (int x = 0; x < img.width(); ++x) {
      const QRgb p = img.pixel(x, y);
      t.append(static_cast<char>(qBlue(p)));
      t.append(static_cast<char>(qGreen(p)));
      t.append(static_cast<char>(qRed(p)));
    }
  t.append(QByteArray(8, '\0'));
  t.append("TRUEVISION-XFILE.", 17);
  t.append('\0');
  return t;
}

// The colour a lit pixel shows: each channel on or off.
char Hue(QRgb p) {
  const bool r = qRed(p) > 80, g = qGreen(p) > 80, b = qBlue(p) > 80;
  if (r && g && b) return 'w';
  if (r && !g && !b) return 'r';
  if (g && !r && !b) return 'g';
  if (b && !r && !g) return 'b';
  return '?';
}

// A square of side 2 facing the viewer, its corners' texture coordinates
// spanning the image, drawn with material 0.
std::unique_ptr<PolygonModel> TexturedSquare(const std::string& texture, Float3 colour = {1, 1, 1},
                                             float opacity = 1.0f) {
  auto m = Square();
  SurfaceMaterial mat;
  mat.color[0] = colour.x;
  mat.color[1] = colour.y;
  mat.color[2] = colour.z;
  mat.opacity = opacity;
  mat.texture = texture;
  m->appearance.materials.push_back(mat);
  m->appearance.polygonMaterial = {0};
  m->appearance.cornerUV = {{0, 0}, {1, 0}, {1, 1}, {0, 1}};
  return m;
}

class PreviewAppearance : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    context_ = new HeadlessContext;
    std::string error;
    ASSERT_TRUE(context_->Create(kW, kH, error)) << error;
  }
  static void TearDownTestSuite() {
    delete context_;
    context_ = nullptr;
  }

  void SetUp() override {
    ASSERT_NE(context_, nullptr);
    ASSERT_TRUE(dir_.isValid());
    // The model's folder is a folder below the temporary one, so that a
    // file beside it lies outside.
    root_ = dir_.path().toStdString();
    folder_ = root_ + "/model";
    ASSERT_TRUE(QDir().mkpath(QString::fromStdString(folder_)));
    ASSERT_TRUE(Checker().save(QString::fromStdString(folder_ + "/checker.png")));
    scene_.width = kW;
    scene_.height = kH;
    SceneSetColors(scene_, 0x00664D00, 0x00DEDEDE);
  }

  // Draws the model with its images decoded as a load does; log gets the
  // load's texture lines.
  QImage Draw(PolygonModel* model, std::vector<std::string>* log = nullptr) {
    SceneSetModel(scene_, model, 0);
    std::vector<std::string> lines;
    scene_.images = LoadSurfaceImages(model->appearance, folder_ + "/m.obj", lines);
    if (log) *log = lines;
    return RenderSceneHeadless(scene_);
  }

  static HeadlessContext* context_;
  QTemporaryDir dir_;
  std::string root_, folder_;
  Scene scene_;
};

HeadlessContext* PreviewAppearance::context_ = nullptr;

// Screen points in the square's four quarters, as the image shows them.
struct Quarter {
  int x, y;
  char hue;
};
const Quarter kQuarters[] = {
    {kW / 2 - 18, kH / 2 - 18, 'r'},
    {kW / 2 + 18, kH / 2 - 18, 'g'},
    {kW / 2 - 18, kH / 2 + 18, 'b'},
    {kW / 2 + 18, kH / 2 + 18, 'w'},
};

TEST_F(PreviewAppearance, TexturesAndColoursShowWhereTheModelPutsThem) {
  QByteArray png;
  {
    QBuffer b(&png);
    b.open(QIODevice::WriteOnly);
    Checker().save(&b, "PNG");
  }
  // A large image and a hostile one: a header that claims 10000 x 10000
  // pixels over a handful of bytes.
  ASSERT_TRUE(
      QImage(8193, 1, QImage::Format_RGB32).save(QString::fromStdString(folder_ + "/big.png")));
  {
    QFile f(QString::fromStdString(folder_ + "/claims.ppm"));
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write("P6\n10000 10000\n255\nabcdef");
  }
  {
    QFile f(QString::fromStdString(folder_ + "/checker.tga"));
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(Tga(Checker()));
  }
  {
    QFile f(QString::fromStdString(folder_ + "/garbage.png"));
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write("\x89PNG\r\n\x1a\n not really");
  }
  // Outside the model's folder, named by climbing and through a link.
  ASSERT_TRUE(Checker().save(QString::fromStdString(root_ + "/outside.png")));
  ASSERT_EQ(symlink((root_ + "/outside.png").c_str(), (folder_ + "/link.png").c_str()), 0);

  struct Case {
    const char* what;
    std::string texture;
    Float3 colour;
    const char* line;  // the one log line's text before the name, or none
    bool checker;      // the checker's cells, else the colour everywhere
  };
  const Case cases[] = {
      {"textured quad", "checker.png", {1, 1, 1}, nullptr, true},
      {"colour alone", "", {0, 0, 1}, nullptr, false},
      {"embedded image", "*0", {1, 1, 1}, nullptr, true},
      {"embedded image under a wrong hint", "*1", {1, 1, 1}, nullptr, true},
      {"embedded image that is not there", "*2", {0, 1, 0}, kLogTextureUnreadable, false},
      {"TGA image", "checker.tga", {1, 1, 1}, nullptr, true},
      {"missing image", "missing.png", {0, 1, 0}, kLogTextureUnreadable, false},
      {"unreadable image", "garbage.png", {0, 1, 0}, kLogTextureUnreadable, false},
      {"oversize image", "big.png", {1, 0, 0}, kLogTextureTooLarge, false},
      {"header claims a huge image", "claims.ppm", {1, 0, 0}, kLogTextureTooLarge, false},
      {"name climbs out of the folder", "../outside.png", {0, 0, 1}, kLogTextureOutside, false},
      {"link leads out of the folder", "link.png", {0, 0, 1}, kLogTextureOutside, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    auto m = TexturedSquare(c.texture, c.colour);
    m->appearance.images.push_back({"png", {png.begin(), png.end()}});
    m->appearance.images.push_back({"jpg", {png.begin(), png.end()}});
    std::vector<std::string> log;
    const QImage img = Draw(m.get(), &log);
    if (c.line) {
      ASSERT_EQ(log.size(), 1u);
      EXPECT_EQ(log[0], std::string(c.line) + c.texture);
    } else {
      EXPECT_TRUE(log.empty()) << log[0];
    }
    const char colour = c.colour.x > 0 ? 'r' : c.colour.y > 0 ? 'g' : 'b';
    for (const Quarter& q : kQuarters)
      EXPECT_EQ(Hue(img.pixel(q.x, q.y)), c.checker ? q.hue : colour) << q.x << "," << q.y;
  }
}

// Off, or with nothing to show, the picture is the one drawn without any
// appearance, whichever way the scene draws.
TEST_F(PreviewAppearance, OffOrEmptyDrawsTodaysPicture) {
  for (bool buffers : {false, true}) {
    for (int type : {0, 1}) {
      SCOPED_TRACE(std::string(buffers ? "buffers" : "immediate") + " type " +
                   std::to_string(type));
      scene_.buffers = buffers ? std::make_shared<DrawBuffers>() : nullptr;
      auto plain = Square(2.0f, false, 1, {0.5f, 0.25f, 0.75f});
      SceneSetModel(scene_, plain.get(), type);
      const QImage today = RenderSceneHeadless(scene_);

      auto textured = Square(2.0f, false, 1, {0.5f, 0.25f, 0.75f});
      textured->appearance = TexturedSquare("checker.png", {0, 1, 0})->appearance;
      scene_.textures = false;
      Draw(textured.get());
      SceneSetRenderType(scene_, type);
      EXPECT_EQ(RenderSceneHeadless(scene_), today);
      scene_.textures = true;
      EXPECT_NE(RenderSceneHeadless(scene_), today);

      // Texture coordinates alone, no material: nothing to change.
      auto uvOnly = Square(2.0f, false, 1, {0.5f, 0.25f, 0.75f});
      uvOnly->appearance.cornerUV = {{0, 0}, {1, 0}, {1, 1}, {0, 1}};
      SceneSetModel(scene_, uvOnly.get(), type);
      EXPECT_EQ(RenderSceneHeadless(scene_), today);
      if (scene_.buffers) scene_.buffers->Release();
    }
  }
  scene_.buffers = nullptr;
}

// A transparent material listed first is still drawn over the opaque one
// behind it, blended: the overlap shows both.
TEST_F(PreviewAppearance, TransparentMaterialBlendsOverOpaque) {
  PolygonModel m;
  for (float z : {0.5f, 0.0f}) {
    const float s = z > 0 ? 0.0f : -1.0f;  // the front square covers the right half
    m.AddVertex(s, -1, z);
    m.AddVertex(s + 1.5f, -1, z);
    m.AddVertex(s + 1.5f, 1, z);
    m.AddVertex(s, 1, z);
  }
  const int32_t front[4] = {0, 1, 2, 3}, back[4] = {4, 5, 6, 7};
  m.AddPolygon(4, front);
  m.AddPolygon(4, back);
  FillNormals(m);
  SurfaceMaterial blue, red;
  blue.color[0] = blue.color[1] = 0;
  blue.opacity = 0.5f;
  red.color[1] = red.color[2] = 0;
  m.appearance.materials = {blue, red};
  m.appearance.polygonMaterial = {0, 1};
  const QImage img = Draw(&m);
  // Find the overlap along the middle row: red and blue at once.
  int both = 0, redOnly = 0;
  for (int x = 0; x < kW; ++x) {
    const QRgb p = img.pixel(x, kH / 2);
    if (Near(p, kBackground)) continue;
    if (qRed(p) > 40 && qBlue(p) > 40) ++both;
    if (qRed(p) > 80 && qBlue(p) < 20) ++redOnly;
  }
  EXPECT_GT(both, 5);
  EXPECT_GT(redOnly, 5);
}

TEST(TextureLookup, FoundInsideTheFolderOnly) {
  QTemporaryDir dir;
  ASSERT_TRUE(dir.isValid());
  const std::string root = dir.path().toStdString(), folder = root + "/m";
  ASSERT_TRUE(QDir().mkpath(QString::fromStdString(folder + "/sub")));
  for (const std::string& f : {folder + "/Wood.png", folder + "/sub/stone.png", root + "/up.png"})
    QFile(QString::fromStdString(f)).open(QIODevice::WriteOnly);
  ASSERT_EQ(symlink("sub/stone.png", (folder + "/inner.png").c_str()), 0);

  struct Case {
    const char* name;
    TextureLookup want;
    const char* file;  // below folder
  };
  const Case cases[] = {
      {"Wood.png", TextureLookup::kFound, "Wood.png"},
      {"WOOD.PNG", TextureLookup::kFound, "Wood.png"},
      {"sub\\stone.png", TextureLookup::kFound, "sub/stone.png"},
      {"./sub/../sub/stone.png", TextureLookup::kFound, "sub/stone.png"},
      {"C:\\textures\\wood.png", TextureLookup::kFound, "Wood.png"},  // the bare name
      {"/elsewhere/stone.png", TextureLookup::kOutside, nullptr},
      {"inner.png", TextureLookup::kFound, "sub/stone.png"},  // a link that stays inside
      {"../up.png", TextureLookup::kOutside, nullptr},
      {"sub/../../up.png", TextureLookup::kOutside, nullptr},
      {"/etc/passwd", TextureLookup::kOutside, nullptr},
      {"sub", TextureLookup::kMissing, nullptr},  // a folder is no image
      {"..", TextureLookup::kOutside, nullptr},
  };
  for (const Case& c : cases) {
    std::string path;
    EXPECT_EQ(ResolveTexturePath(folder, c.name, path), c.want) << c.name;
    if (c.file) {
      char* real = realpath((folder + "/" + c.file).c_str(), nullptr);
      EXPECT_EQ(path, real ? real : "") << c.name;
      free(real);
    }
  }
}

TEST(SurfaceImageLoad, EachImageOnceAndTheTotalCapped) {
  QTemporaryDir dir;
  ASSERT_TRUE(dir.isValid());
  const std::string folder = dir.path().toStdString();
  ASSERT_TRUE(Checker().save(QString::fromStdString(folder + "/a.png")));
  ASSERT_TRUE(Checker().save(QString::fromStdString(folder + "/b.png")));
  SurfaceAppearance a;
  for (const char* t : {"a.png", "A.PNG", "", "b.png"}) {
    a.materials.emplace_back();
    a.materials.back().texture = t;
  }
  a.cornerUV = {{0, 0}};
  // Room for one checker only.
  std::vector<std::string> log;
  const auto images = LoadSurfaceImages(a, folder + "/m.obj", log, {8192, 64 * 64 * 4});
  ASSERT_NE(images, nullptr);
  EXPECT_EQ(images->images.size(), 1u);
  EXPECT_EQ(images->materialImage, (std::vector<int32_t>{0, 0, -1, -1}));
  EXPECT_EQ(log, std::vector<std::string>{std::string(kLogTextureTooLarge) + "b.png"});
  EXPECT_EQ(images->Bytes(), size_t{64 * 64 * 4});
  // The first pixel is the top left one, red.
  EXPECT_EQ(images->images[0].pixels.pixel(0, 0), qRgb(255, 0, 0));
}

}  // namespace

namespace {

// --snapshot's renderer (and the thumbnails' drawing, the same code): the
// appearance with the option on, today's picture with it off.
TEST_F(PreviewAppearance, SnapshotDrawsTheAppearanceUnlessTurnedOff) {
  auto plain = Square();
  SnapshotOptions opt;
  opt.width = kW;
  opt.height = kH;
  opt.out = folder_ + "/plain.png";
  std::string error;
  ASSERT_EQ(PreviewSnapshot(opt, plain.get(), error), 0) << error;
  const QImage today(QString::fromStdString(opt.out));

  struct Case {
    bool textures;
    const char* texture;
    size_t lines;
  };
  for (const Case& c : {Case{true, "checker.png", 0}, Case{true, "gone.png", 1},
                        Case{false, "checker.png", 0}, Case{false, "gone.png", 0}}) {
    SCOPED_TRACE(std::string(c.texture) + (c.textures ? " on" : " off"));
    auto m = TexturedSquare(c.texture);
    std::vector<std::string> log;
    opt.textures = c.textures;
    opt.modelPath = folder_ + "/m.obj";
    opt.log = &log;
    opt.out = folder_ + "/out.png";
    ASSERT_EQ(PreviewSnapshot(opt, m.get(), error), 0) << error;
    EXPECT_EQ(log.size(), c.lines);
    const QImage img(QString::fromStdString(opt.out));
    ASSERT_FALSE(img.isNull());
    if (!c.textures) {
      EXPECT_EQ(img.convertToFormat(today.format()), today);
      continue;
    }
    for (const Quarter& q : kQuarters)
      EXPECT_EQ(Hue(img.pixel(q.x, q.y)), c.lines ? 'w' : q.hue) << q.x << "," << q.y;
  }
}

}  // namespace

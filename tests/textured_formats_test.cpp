// Each reader's textures end to end: a file of each format written here,
// loaded and drawn by `tarnelle --snapshot` as a user would run it, shows
// its checker image the right way round; with --textures=0 it shows the
// picture of the same geometry without any appearance.
#include <gtest/gtest.h>

#include <QFile>
#include <QImage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "preview/surface_images.h"
#include "tests/test_util.h"

namespace {

namespace fs = std::filesystem;

const QRgb kBackground = qRgb(0, 77, 102);

// The 2x2 checker: red top left and bottom right, green elsewhere.
QImage Checker() {
  QImage img(64, 64, QImage::Format_RGB32);
  for (int y = 0; y < 64; ++y)
    for (int x = 0; x < 64; ++x)
      img.setPixel(x, y, (x < 32) == (y < 32) ? qRgb(255, 0, 0) : qRgb(0, 255, 0));
  return img;
}

// What a lit pixel shows: red, green, yellow (the fallback colour), else '.'.
char Hue(QRgb p) {
  const bool r = qRed(p) > 100, g = qGreen(p) > 100, b = qBlue(p) > 60;
  if (b) return '.';
  return r && g ? 'y' : r ? 'r' : g ? 'g' : '.';
}

void Write(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

std::string F32(float v) {
  std::string s;
  PutF32(s, v);
  return s;
}
std::string U16(unsigned v) {
  std::string s;
  PutU16(s, v);
  return s;
}

// Every writer puts a square facing the viewer from (-1,-1) to (1,1), the
// image upright on it, into dir and returns the model's path. Without an
// image name it writes the same geometry without texture data.
using Writer = std::string (*)(const std::string& dir, const char* image);

// OBJ + MTL: a cube, its front face showing the image.
std::string WriteObj(const std::string& dir, const char* image) {
  std::string obj = image ? "mtllib m.mtl\nvt 0 0\nvt 1 0\nvt 1 1\nvt 0 1\nusemtl m\n" : "";
  char line[64];
  for (int k = 0; k < 8; ++k) {
    snprintf(line, sizeof line, "v %d %d %d\n", k & 1 ? 1 : -1, k & 2 ? 1 : -1, k & 4 ? 1 : -1);
    obj += line;
  }
  const int faces[6][4] = {{5, 6, 8, 7}, {2, 1, 3, 4}, {6, 2, 4, 8},
                           {1, 5, 7, 3}, {7, 8, 4, 3}, {1, 2, 6, 5}};
  for (const auto& f : faces) {
    obj += "f";
    for (int i = 0; i < 4; ++i) {
      snprintf(line, sizeof line, image ? " %d/%d" : " %d", f[i], i + 1);
      obj += line;
    }
    obj += "\n";
  }
  Write(dir + "/m.obj", obj);
  if (image) Write(dir + "/m.mtl", std::string("newmtl m\nKd 1 1 1\nmap_Kd ") + image + "\n");
  return dir + "/m.obj";
}

// 3DS: little-endian chunks; the file's z is the viewer's y.
std::string Chunk3ds(unsigned id, const std::string& body) {
  std::string s;
  PutU16(s, id);
  PutU32(s, static_cast<unsigned>(body.size() + 6));
  return s + body;
}
std::string Write3ds(const std::string& dir, const char* image) {
  const std::string z(1, '\0'), version("\3\0\0\0", 4);
  std::string points = U16(4), uv = U16(4);
  const float square[4][2] = {{-1, -1}, {1, -1}, {1, 1}, {-1, 1}};
  for (const auto& p : square) {
    points += F32(p[0]) + F32(0) + F32(p[1]);
    uv += F32(p[0] > 0 ? 1 : 0) + F32(p[1] > 0 ? 1 : 0);
  }
  std::string faces = U16(2);
  for (unsigned i : {0u, 1u, 2u, 7u, 0u, 2u, 3u, 7u}) faces += U16(i);  // the last: flags
  std::string mesh = Chunk3ds(0x4110, points), material;
  if (image) {
    faces += Chunk3ds(0x4130, "m" + z + U16(2) + U16(0) + U16(1));
    mesh += Chunk3ds(0x4140, uv);
    material =
        Chunk3ds(0xAFFF, Chunk3ds(0xA000, "m" + z) +
                             Chunk3ds(0xA020, Chunk3ds(0x0011, std::string("\xFF\xFF\xFF", 3))) +
                             Chunk3ds(0xA200, Chunk3ds(0xA300, image + z)));
  }
  mesh += Chunk3ds(0x4120, faces);
  const std::string editor =
      Chunk3ds(0x3D3E, version) + material + Chunk3ds(0x4000, "sq" + z + Chunk3ds(0x4100, mesh));
  Write(dir + "/m.3ds", Chunk3ds(0x4D4D, Chunk3ds(0x0002, version) + Chunk3ds(0x3D3D, editor)));
  return dir + "/m.3ds";
}

// LWO2: big-endian IFF chunks; the file's z points away from the viewer.
std::string Be16(unsigned v) {
  return {static_cast<char>((v >> 8) & 0xFF), static_cast<char>(v & 0xFF)};
}
std::string Be32(unsigned v) { return Be16(v >> 16) + Be16(v & 0xFFFF); }
std::string BeF(float f) {
  unsigned u;
  memcpy(&u, &f, 4);
  return Be32(u);
}
std::string Lwo(const char* id, const std::string& body) {
  return std::string(id, 4) + Be32(static_cast<unsigned>(body.size())) + body;
}
std::string LwoSub(const char* id, const std::string& body) {
  return std::string(id, 4) + Be16(static_cast<unsigned>(body.size())) + body;
}
std::string LwoName(const std::string& s) {
  std::string out = s + std::string(1, '\0');
  if (out.size() % 2) out.push_back('\0');
  return out;
}
std::string WriteLwo(const std::string& dir, const char* image) {
  std::string points, uv = "TXUV" + Be16(2) + LwoName("UV");
  const float square[4][2] = {{-1, -1}, {1, -1}, {1, 1}, {-1, 1}};
  for (unsigned i = 0; i < 4; ++i) {
    points += BeF(square[i][0]) + BeF(square[i][1]) + BeF(0);
    uv += Be16(i) + BeF(square[i][0] > 0 ? 1 : 0) + BeF(square[i][1] > 0 ? 1 : 0);
  }
  std::string surface = LwoSub("COLR", BeF(1) + BeF(1) + BeF(1) + Be16(0)), clip, map;
  if (image) {
    clip = Lwo("CLIP", Be32(1) + LwoSub("STIL", LwoName(image)));
    map = Lwo("VMAP", uv);
    surface += LwoSub(
        "BLOK", LwoSub("IMAP", LwoName("\x80") + LwoSub("CHAN", "COLR") + LwoSub("ENAB", Be16(1))) +
                    LwoSub("PROJ", Be16(5)) + LwoSub("IMAG", Be16(1)) +
                    LwoSub("VMAP", LwoName("UV")));
  }
  const std::string body = Lwo("TAGS", LwoName("S")) + clip + Lwo("PNTS", points) + map +
                           Lwo("POLS", "FACE" + Be16(4) + Be16(0) + Be16(1) + Be16(2) + Be16(3)) +
                           Lwo("PTAG", "SURF" + Be16(0) + Be16(0)) +
                           Lwo("SURF", LwoName("S") + LwoName("") + surface);
  Write(dir + "/m.lwo", "FORM" + Be32(static_cast<unsigned>(body.size() + 4)) + "LWO2" + body);
  return dir + "/m.lwo";
}

// MQO: UV has v downwards, the image's top row at 0.
std::string WriteMqo(const std::string& dir, const char* image) {
  std::string doc =
      "Metasequoia Document\r\nFormat Text Ver 1.0\r\n\r\nMaterial 1 {\n\"m\" col(1 1 1 1)";
  if (image) doc += std::string(" tex(\"") + image + "\")";
  doc +=
      "\n}\nObject \"sq\" {\n\tvertex 4 {\n\t\t-1 -1 0\n\t\t1 -1 0\n\t\t1 1 0\n\t\t-1 1 0\n\t}\n";
  doc += "\tface 1 {\n\t\t4 V(0 1 2 3) M(0)";
  if (image) doc += " UV(0 1 1 1 1 0 0 0)";
  Write(dir + "/m.mqo", doc + "\n\t}\n}\nEof\n");
  return dir + "/m.mqo";
}

// PLY: s and t per vertex, the image named in a comment.
std::string WritePly(const std::string& dir, const char* image) {
  std::string ply = "ply\nformat ascii 1.0\n";
  if (image) ply += std::string("comment TextureFile ") + image + "\n";
  ply += "element vertex 4\nproperty float x\nproperty float y\nproperty float z\n";
  if (image) ply += "property float s\nproperty float t\n";
  ply += "element face 1\nproperty list uchar int vertex_indices\nend_header\n";
  const char* uv[4] = {" 0 0", " 1 0", " 1 1", " 0 1"};
  const char* xyz[4] = {"-1 -1 0", "1 -1 0", "1 1 0", "-1 1 0"};
  for (int i = 0; i < 4; ++i) ply += std::string(xyz[i]) + (image ? uv[i] : "") + "\n";
  Write(dir + "/m.ply", ply + "4 0 1 2 3\n");
  return dir + "/m.ply";
}

struct Snapshot {
  QImage image;
  std::string out;  // the load's log
};

Snapshot Snap(const std::string& model, bool textures) {
  const std::string png = TempDir() + "/snap.png";
  const RunResult r = RunTarnelle(
      {"--snapshot", png, "--size=160x120", "--textures=" + std::to_string(textures), model},
      {"DISPLAY", "WAYLAND_DISPLAY"});
  EXPECT_EQ(r.status, 0) << r.err;
  return {QImage(QString::fromStdString(png)).convertToFormat(QImage::Format_RGB32), r.out};
}

// The hues at the four quarters of what the model covers, as the picture
// shows them: top left, top right, bottom left, bottom right.
std::string Quarters(const QImage& img) {
  int x0 = img.width(), x1 = -1, y0 = img.height(), y1 = -1;
  for (int y = 0; y < img.height(); ++y)
    for (int x = 0; x < img.width(); ++x)
      if ((img.pixel(x, y) & 0xFFFFFF) != (kBackground & 0xFFFFFF)) {
        x0 = std::min(x0, x), x1 = std::max(x1, x), y0 = std::min(y0, y), y1 = std::max(y1, y);
      }
  if (x1 < 0) return "empty";
  std::string s;
  for (int qy : {1, 3})
    for (int qx : {1, 3}) s += Hue(img.pixel(x0 + (x1 - x0) * qx / 4, y0 + (y1 - y0) * qy / 4));
  return s;
}

int CountHue(const QImage& img, char hue) {
  int n = 0;
  for (int y = 0; y < img.height(); ++y)
    for (int x = 0; x < img.width(); ++x) n += Hue(img.pixel(x, y)) == hue;
  return n;
}

std::string AssimpPlugin() { return TARNELLE_BINARY_DIR "/app/Plugin/assimp_gltf.so"; }
// assimp's textured box, from Debian's assimp-testmodels unless
// TARNELLE_ASSIMP_MODELS names another copy of those models.
std::string BoxTextured() {
  const char* env = getenv("TARNELLE_ASSIMP_MODELS");
  return std::string(env && *env ? env : "/usr/share/assimp/models") + "/glTF2/BoxTextured-glTF";
}

TEST(TexturedFormats, EachReaderShowsTheCheckerAndOffShowsThePlainPicture) {
  struct Case {
    const char* format;
    Writer write;
  };
  const Case cases[] = {
      {"OBJ+MTL", WriteObj}, {"3DS", Write3ds}, {"LWO2", WriteLwo},
      {"MQO", WriteMqo},     {"PLY", WritePly},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.format);
    const std::string textured = TempDir() + "/textured", plain = TempDir() + "/plain";
    fs::create_directories(textured);
    fs::create_directories(plain);
    ASSERT_TRUE(Checker().save(QString::fromStdString(textured + "/checker.png")));
    const Snapshot on = Snap(c.write(textured, "checker.png"), true);
    EXPECT_EQ(Quarters(on.image), "rggr");
    EXPECT_EQ(on.out.find("テクスチャ"), std::string::npos) << on.out;
    const int red = CountHue(on.image, 'r'), green = CountHue(on.image, 'g');
    EXPECT_GT(red, 160 * 120 / 20);
    EXPECT_GT(green, 160 * 120 / 20);

    const Snapshot off = Snap(c.write(textured, "checker.png"), false);
    const Snapshot today = Snap(c.write(plain, nullptr), false);
    EXPECT_EQ(off.image, today.image);
    EXPECT_EQ(CountHue(off.image, 'r') + CountHue(off.image, 'g'), 0);
  }
}

// A missing image: the material's colour, and one line naming the file.
TEST(TexturedFormats, MissingImageFallsBackToTheMaterialColour) {
  const std::string dir = TempDir() + "/missing";
  fs::create_directories(dir);
  const std::string obj = WriteObj(dir, "gone.png");
  Write(dir + "/m.mtl", "newmtl m\nKd 1 1 0\nmap_Kd gone.png\n");
  const Snapshot on = Snap(obj, true);
  EXPECT_EQ(Quarters(on.image), "yyyy");
  const std::string line = std::string(kLogTextureUnreadable) + "gone.png\n";
  const size_t at = on.out.find(line);
  EXPECT_NE(at, std::string::npos) << on.out;
  EXPECT_EQ(on.out.find(kLogTextureUnreadable, at + 1), std::string::npos) << on.out;
}

// One assimp format: assimp's own textured box (glTF 2), its image replaced
// by the checker; without its texture it is the same box in its colour.
TEST(TexturedFormats, GltfThroughTheAssimpPlugin) {
  if (!fs::exists(AssimpPlugin())) GTEST_SKIP() << "no glTF plug-in at " << AssimpPlugin();
  const std::string box = BoxTextured();
  if (!fs::exists(box + "/BoxTextured.gltf"))
    GTEST_SKIP() << "no BoxTextured.gltf in " << box
                 << " (Debian package assimp-testmodels, or set TARNELLE_ASSIMP_MODELS)";
  const std::string dir = TempDir() + "/gltf";
  fs::create_directories(dir);
  for (const char* f : {"BoxTextured.gltf", "BoxTextured0.bin"})
    fs::copy_file(box + "/" + f, dir + "/" + f, fs::copy_options::overwrite_existing);
  ASSERT_TRUE(Checker().save(QString::fromStdString(dir + "/CesiumLogoFlat.png")));
  // The same box without texture coordinates or image.
  QFile in(QString::fromStdString(dir + "/BoxTextured.gltf"));
  ASSERT_TRUE(in.open(QIODevice::ReadOnly));
  QJsonObject doc = QJsonDocument::fromJson(in.readAll()).object();
  QJsonArray meshes = doc["meshes"].toArray(), materials = doc["materials"].toArray();
  QJsonObject mesh = meshes[0].toObject();
  QJsonArray primitives = mesh["primitives"].toArray();
  QJsonObject primitive = primitives[0].toObject(), attributes = primitive["attributes"].toObject();
  attributes.remove("TEXCOORD_0");
  primitive["attributes"] = attributes;
  primitives[0] = primitive;
  mesh["primitives"] = primitives;
  meshes[0] = mesh;
  doc["meshes"] = meshes;
  QJsonObject material = materials[0].toObject(), pbr = material["pbrMetallicRoughness"].toObject();
  pbr.remove("baseColorTexture");
  material["pbrMetallicRoughness"] = pbr;
  materials[0] = material;
  doc["materials"] = materials;
  Write(dir + "/plain.gltf", QJsonDocument(doc).toJson().toStdString());

  const Snapshot on = Snap(dir + "/BoxTextured.gltf", true);
  EXPECT_EQ(on.out.find("テクスチャ"), std::string::npos) << on.out;
  EXPECT_GT(CountHue(on.image, 'r'), 160 * 120 / 40);
  EXPECT_GT(CountHue(on.image, 'g'), 160 * 120 / 40);
  const Snapshot off = Snap(dir + "/BoxTextured.gltf", false);
  EXPECT_EQ(off.image, Snap(dir + "/plain.gltf", false).image);
  EXPECT_EQ(CountHue(off.image, 'r') + CountHue(off.image, 'g'), 0);
}

}  // namespace

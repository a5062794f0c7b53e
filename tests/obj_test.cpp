// The OBJ reader: faces, references, recognition and damaged files.
#include "readers/obj.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "readers/mtl.h"
#include "tests/test_util.h"

namespace {

const char kFourVertices[] = "v 0 0 0\nv 1 0 0\nv 1 1 0\nv 0 1 0\n";

TEST(ObjReader, FaceLines) {
  using V = std::vector<std::vector<int32_t>>;
  const struct {
    std::string faces;
    V polygons;
  } cases[] = {
      {"f 1/2/3 2/5/6 3/8/9\n", {{0, 1, 2}}},
      {"f -3 -2 -1\n", {{1, 2, 3}}},
      {"f 1 2 3 4 1\n", {{0, 1, 2, 3, 0}}},
      {"f 1//1  2//2   3//3\n", {{0, 1, 2}}},
      {"f 1 2 5\n", {}},           // names a vertex not read yet
      {"f 1 2\n", {}},             // fewer than three corners
      {"f 1\t2\t3\n", {}},         // tabs do not separate
      {"f 0 1 2\n", {}},           // zero is no reference
      {"f -5 1 2\n", {}},          // before the first vertex
      {"f 4294967297 1 2\n", {}},  // would wrap to 1 in 32 bits
      {"f\n", {}},
      {"f 1 2 3 \\\n4\n", {}},      // a continuation token reads as 0
      {"fo 1 2 3\n", {{0, 1, 2}}},  // any character after the "f"
      {"  f 2 3 4\n", {{1, 2, 3}}},
      {"f 9 1 2\rf 1 2 3\r\nf 2 3 4", {{0, 1, 2}, {1, 2, 3}}},  // any line end, or none
      {"f", {}},
      {"f ", {}},
  };
  for (const auto& c : cases) {
    PolygonModel m;
    std::string text = kFourVertices;
    text += c.faces;
    const std::string path = WriteTemp("f.obj", text);
    ASSERT_TRUE(ObjLoadInto(path.c_str(), m)) << c.faces;
    V got;
    for (int p = 0; p < m.PolygonCount(); ++p) got.emplace_back(m.index(p), m.index(p) + m.nv(p));
    EXPECT_EQ(got, c.polygons) << c.faces;
  }
}

TEST(ObjReader, FacesSeeOnlyEarlierVertices) {
  PolygonModel m;
  const std::string path = WriteTemp("late.obj", "v 0 0 0\nv 1 0 0\nf 1 2 3\nv 0 1 0\nf 1 2 3\n");
  ASSERT_TRUE(ObjLoadInto(path.c_str(), m));
  EXPECT_EQ(m.PolygonCount(), 1);
  EXPECT_EQ(m.material(0), -1);
}

TEST(ObjReader, VertexLines) {
  PolygonModel m;
  std::string path = WriteTemp(
      "v.obj", "# c\nvn 0 0 1\nvt 0 0\nv 1 2 3 4\nv\t5 6 7\ng x\nusemtl m\nv 1e2 -2 .5\n");
  ASSERT_TRUE(ObjLoadInto(path.c_str(), m));
  ASSERT_EQ(m.VertexCount(), 3);
  EXPECT_EQ(m.vertices[0], (Float3{1, 2, 3}));
  EXPECT_EQ(m.vertices[2], (Float3{100, -2, 0.5f}));

  PolygonModel bad;
  path = WriteTemp("bad.obj", "v 0 0 0\r\nv 1 0 0\r\nv 1 2\r\nv 3 3 3\r\n");
  EXPECT_FALSE(ObjLoadInto(path.c_str(), bad));
  EXPECT_STREQ(ObjGetErrMsg(), "データエラー (line:3)");
  EXPECT_EQ(bad.VertexCount(), 2);  // what came before the bad line stays
}

TEST(ObjReader, LongLinesAreReadWhole) {
  // A face line longer than any fixed buffer still counts all its corners.
  std::string s;
  for (int i = 0; i < 2000; ++i) s.append("v ").append(std::to_string(i)).append(" 0 0\n");
  s += "f";
  for (int i = 1; i <= 2000; ++i) s.append(" ").append(std::to_string(i));
  s += "\nv 1 2 3\n";
  PolygonModel m;
  ASSERT_TRUE(ObjLoadInto(WriteTemp("long.obj", s).c_str(), m));
  ASSERT_EQ(m.PolygonCount(), 1);
  EXPECT_EQ(m.nv(0), 2000);
  EXPECT_EQ(m.VertexCount(), 2001);

  // 100 MB on one line: no crash, no vertex.
  PolygonModel big;
  EXPECT_TRUE(ObjLoadInto(WriteTemp("big.obj", std::string(100 << 20, 'x')).c_str(), big));
  EXPECT_EQ(big.VertexCount(), 0);
}

TEST(ObjReader, IsSupport) {
  const struct {
    std::string text;
    int32_t answer;
  } cases[] = {
      {"# comment\nmtllib a.mtl\nv 1 2 3\nv 4 5 6\n", 1},
      {"# c\n\n   \nv 1 2 3\r\nx", 1},
      {"v 1 2 3\n", -1},  // the last byte read is never examined
      {"v 1 2 3\n\n", 1},
      {"", -1},
      {"\nv 1 2 3\n\n", -1},  // the first line is empty
      {"solid x\nfacet normal 0 0 1\nouter loop\nvertex 1 2 3\n", -1},
      {"x 1 2 3\nv 1 2 3\n\n", -1},
      {"vn 0 0 1\nv 1 2 3\n\n", 1},
      {std::string(2000, '#') + "\nv 1 2 3\n\n", -1},  // no complete line in 1023 bytes
  };
  for (const auto& c : cases)
    EXPECT_EQ(ObjIsSupport(WriteTemp("s.obj", c.text).c_str()), c.answer) << c.text;
  EXPECT_EQ(ObjIsSupport("/nonexistent.obj"), 0);
  PolygonModel m;
  EXPECT_FALSE(ObjLoadInto("/nonexistent.obj", m));
  EXPECT_STREQ(ObjGetErrMsg(), "ファイルがオープンできませんでした。");
  EXPECT_TRUE(ObjLoadInto(WriteTemp("empty.obj", "").c_str(), m));
  EXPECT_EQ(m.VertexCount(), 0);
}

// UTF-16 of ASCII text, with its byte-order mark.
std::string Utf16(const std::string& text, bool le) {
  std::string s = le ? "\xFF\xFE" : "\xFE\xFF";
  for (char c : text) s += le ? std::string{c, '\0'} : std::string{'\0', c};
  return s;
}

TEST(ObjReader, Utf16WithAByteOrderMark) {
  const std::string text = "# square\r\nv 0 0 0\r\nv 1 0 0\r\nv 1 1 0\r\nf 1 2 3\r\n";
  for (bool le : {true, false}) {
    const std::string path = WriteTemp("utf16.obj", Utf16(text, le));
    EXPECT_EQ(ObjIsSupport(path.c_str()), 1) << le;
    PolygonModel m;
    ASSERT_TRUE(ObjLoadInto(path.c_str(), m)) << le;
    EXPECT_EQ(m.VertexCount(), 3);
    EXPECT_EQ(m.PolygonCount(), 1);
    EXPECT_EQ(m.vertices[2].y, 1.0f);
    // Errors count the lines as the text has them.
    EXPECT_FALSE(ObjLoadInto(WriteTemp("bad.obj", Utf16(text + "v 1 x\r\n", le)).c_str(), m));
    EXPECT_STREQ(ObjGetErrMsg(), "データエラー (line:6)");
  }
  // IsSupport looks at as many characters as it does bytes of other files:
  // the last one read is never examined.
  const std::string pad = "#" + std::string(1000, ' ') + "\n";
  EXPECT_EQ(ObjIsSupport(WriteTemp("a.obj", Utf16(pad + "v 1 2 3\n\n", true)).c_str()), 1);
  EXPECT_EQ(ObjIsSupport(WriteTemp("b.obj", Utf16(pad + "v 1 2 3\n", true)).c_str()), -1);
  EXPECT_EQ(
      ObjIsSupport(WriteTemp("c.obj", Utf16(pad + "vvvvvvvvvvvvvvvvvvvvvvvvvvvv", true)).c_str()),
      -1);
  // Cut inside a unit: the odd byte is dropped, what came before is read.
  PolygonModel m;
  EXPECT_TRUE(ObjLoadInto(WriteTemp("cut.obj", Utf16("v 1 2 3\n", true) + "v").c_str(), m));
  EXPECT_EQ(m.VertexCount(), 1);
}

// ---- Materials and texture coordinates ----

std::vector<float> Us(const PolygonModel& m) {
  std::vector<float> u;
  for (const Float2& c : m.appearance.cornerUV) u.push_back(c.u);
  return u;
}

TEST(ObjReader, CubeWithLibraryAndTextureCoordinates) {
  WriteTemp("cube.mtl",
            "# two materials\n"
            "newmtl wood\n"
            "Kd 0.5 0.25 1\n"
            "d 0.75\n"
            "Tr 0.9\n"  // "d" wins
            "map_Kd -s 1 1 1 -clamp on wood.png\n"
            "newmtl glass pane\n"
            "Kd 0.2\n"
            "Tr 0.25\n"
            "map_Kd my texture.jpg\n");
  const std::string path =
      WriteTemp("cube.obj",
                "mtllib cube.mtl\n"
                "v 0 0 0\nv 1 0 0\nv 1 1 0\nv 0 1 0\nv 0 0 1\nv 1 0 1\nv 1 1 1\nv 0 1 1\n"
                "vt 0 0\nvt 1 0\nvt 1 1 0.5\nvt 0 1\n"
                "f 1 4 3 2\n"  // before any usemtl, without coordinates
                "usemtl wood\n"
                "f 5/1 6/2 7/3 8/4\n"
                "f 1/1/1 2/2/1 6/3/1 5/4/1\n"
                "usemtl glass pane\n"
                "f 2/-4 3/-3 7/-2 6/-1\n"
                "usemtl missing\n"
                "f 3/1 4/9 8/0 7//2\n"  // bad references give no coordinates
                "usemtl wood\n"
                "f 4 1 5 8\n");
  PolygonModel m;
  ASSERT_TRUE(ObjLoadInto(path.c_str(), m));
  ASSERT_EQ(m.PolygonCount(), 6);
  const SurfaceAppearance& a = m.appearance;
  ASSERT_EQ(a.materials.size(), 2u);
  EXPECT_EQ(std::vector<float>(a.materials[0].color, a.materials[0].color + 3),
            (std::vector<float>{0.5f, 0.25f, 1}));
  EXPECT_EQ(a.materials[0].opacity, 0.75f);
  EXPECT_EQ(a.materials[0].texture, "wood.png");
  EXPECT_EQ(std::vector<float>(a.materials[1].color, a.materials[1].color + 3),
            (std::vector<float>{0.2f, 0.2f, 0.2f}));
  EXPECT_EQ(a.materials[1].opacity, 0.75f);
  EXPECT_EQ(a.materials[1].texture, "my texture.jpg");
  EXPECT_EQ(a.polygonMaterial, (std::vector<int32_t>{-1, 0, 0, 1, -1, 0}));
  EXPECT_EQ(Us(m), (std::vector<float>{0, 0, 0, 0, 0, 1, 1, 0, 0, 1, 1, 0,
                                       0, 1, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(a.cornerUV[6], (Float2{1, 1}));
  // The geometry is what it is without the library.
  EXPECT_EQ(m.material(1), -1);
}

TEST(MtlParser, Lines) {
  const struct {
    std::string text;
    std::vector<float> color;  // r, g, b, opacity
    std::string texture;
  } cases[] = {
      {"Kd 0.1 0.2 0.3\nd 0.5\n", {0.1f, 0.2f, 0.3f, 0.5f}, ""},
      {"Kd 0.4\nTr 0.25\n", {0.4f, 0.4f, 0.4f, 0.75f}, ""},
      {"Tr 0.25\nd 0.5\nTr 0.9\n", {1, 1, 1, 0.5f}, ""},              // "d" wins over "Tr"
      {"KD 0 1 0\nD 0.5\nMAP_KD a.png\n", {0, 1, 0, 0.5f}, "a.png"},  // any case
      {"Kd spectral x.spd\nKd xyz\nd\n", {1, 1, 1, 1}, ""},
      {"map_Kd   my texture.png  \n", {1, 1, 1, 1}, "my texture.png"},
      {"map_Kd -s 1 1 1 -o 0.5 -clamp on -bm 0.2 t.png\n", {1, 1, 1, 1}, "t.png"},
      {"map_Kd -s 2 -mm 0 1 -imfchan r dir/with space.tga\n", {1, 1, 1, 1}, "dir/with space.tga"},
      {"map_Kd -unknown x y last.png\n", {1, 1, 1, 1}, "last.png"},
      {"map_Kd -clamp on\n", {1, 1, 1, 1}, ""},
      {"map_Ka ambient.png\nmap_Kd\n", {1, 1, 1, 1}, ""},
  };
  for (const auto& c : cases) {
    // Lines before the first "newmtl" belong to no material; a byte-order
    // mark may open the file.
    for (const char* head : {"Kd 9 9 9\nnewmtl m\n", "\xEF\xBB\xBFnewmtl m\r\n"}) {
      std::vector<MtlMaterial> out;
      ParseMtl(head + c.text, out);
      ASSERT_EQ(out.size(), 1u) << c.text;
      EXPECT_EQ(out[0].name, "m");
      const SurfaceMaterial& m = out[0].material;
      EXPECT_EQ((std::vector<float>{m.color[0], m.color[1], m.color[2], m.opacity}), c.color)
          << c.text;
      EXPECT_EQ(m.texture, c.texture) << c.text;
    }
  }
}

TEST(ObjReader, LibrariesThatCannotBeReadAreNoError) {
  mkdir((TempDir() + "/inner").c_str(), 0755);
  const struct {
    const char* line;
    const char* why;
  } cases[] = {
      {"mtllib absent.mtl\n", "missing"},
      {"mtllib ../escape.mtl\n", "above the model's folder"},
      {"mtllib /dev/zero\n", "absolute, and no regular file"},
      {"mtllib\n", "no name"},
  };
  WriteTemp("escape.mtl", "newmtl a\nKd 1 0 0\n");
  for (const auto& c : cases) {
    PolygonModel m;
    const std::string path =
        WriteTemp("inner/lib.obj", std::string(c.line) + kFourVertices + "usemtl a\nf 1 2 3\n");
    ASSERT_TRUE(ObjLoadInto(path.c_str(), m)) << c.why;
    EXPECT_EQ(m.PolygonCount(), 1) << c.why;
    EXPECT_TRUE(m.appearance.materials.empty()) << c.why;
  }
}

TEST(ObjReader, ImagesOfALibraryInASubfolderStayRelativeToTheModel) {
  mkdir((TempDir() + "/mats").c_str(), 0755);
  WriteTemp("mats/m b.mtl", "newmtl a\nmap_Kd tex/a.png\n");
  PolygonModel m;
  const std::string path =
      WriteTemp("scene.obj", std::string("mtllib mats/m b.mtl\n") + kFourVertices +
                                 "vt 0.5 0.5\nusemtl a\nf 1/1 2/1 3/1\n");
  ASSERT_TRUE(ObjLoadInto(path.c_str(), m));
  ASSERT_EQ(m.appearance.materials.size(), 1u);
  EXPECT_EQ(m.appearance.materials[0].texture, "mats/tex/a.png");
  EXPECT_EQ(m.appearance.cornerUV[2], (Float2{0.5f, 0.5f}));
}

TEST(ObjReader, WithoutTextureLinesNothingIsAdded) {
  PolygonModel m;
  const std::string path = WriteTemp("plain.obj", std::string(kFourVertices) + "f 1/5/1 2/6 3\n");
  ASSERT_TRUE(ObjLoadInto(path.c_str(), m));
  EXPECT_EQ(m.PolygonCount(), 1);
  EXPECT_TRUE(m.appearance.Empty());
  EXPECT_TRUE(m.appearance.polygonMaterial.empty());
}

}  // namespace

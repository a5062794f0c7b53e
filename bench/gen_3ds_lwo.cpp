// Writes big chunked binary models for the reader benchmarks:
//   gen_3ds_lwo OUTDIR [TRIANGLES]   (default 1000000)
// grid_<N>.3ds: N triangles in objects of at most 64800 triangles and
// 32761 vertices each. grid_<N>.lwo (LWO2): one layer of N triangles,
// most corners needing the 4-byte index form, in four coloured surfaces
// assigned by PTAG.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

struct Out {
  std::string s;
  void Le16(unsigned v) {
    s.push_back(static_cast<char>(v & 0xFF));
    s.push_back(static_cast<char>((v >> 8) & 0xFF));
  }
  void Le32(uint32_t v) {
    Le16(v & 0xFFFF);
    Le16(v >> 16);
  }
  void LeF(float f) {
    uint32_t u;
    memcpy(&u, &f, 4);
    Le32(u);
  }
  void Be16(unsigned v) {
    s.push_back(static_cast<char>((v >> 8) & 0xFF));
    s.push_back(static_cast<char>(v & 0xFF));
  }
  void Be32(uint32_t v) {
    Be16(v >> 16);
    Be16(v & 0xFFFF);
  }
  void BeF(float f) {
    uint32_t u;
    memcpy(&u, &f, 4);
    Be32(u);
  }
  void Vx(uint32_t i) {
    if (i < 0xFF00)
      Be16(i);
    else
      Be32(0xFF000000u | i);
  }
  void Id(const char* id) { s.append(id, 4); }
  // Chunk helpers: remember where the length goes, patch it at the end.
  size_t Open3ds(unsigned id) {
    const size_t at = s.size();
    Le16(id);
    Le32(0);
    return at;
  }
  void Close3ds(size_t at) {
    const uint32_t len = static_cast<uint32_t>(s.size() - at);
    for (int i = 0; i < 4; ++i) s[at + 2 + i] = static_cast<char>((len >> (8 * i)) & 0xFF);
  }
  size_t OpenIff(const char* id) {
    Id(id);
    const size_t at = s.size();
    Be32(0);
    return at;
  }
  void CloseIff(size_t at) {
    const uint32_t len = static_cast<uint32_t>(s.size() - at - 4);
    for (int i = 0; i < 4; ++i) s[at + i] = static_cast<char>((len >> (24 - 8 * i)) & 0xFF);
  }
};

// A wavy grid of w x h quads, two triangles each.
float Height(int x, int y) { return 0.1f * std::sin(0.05f * x) * std::cos(0.07f * y); }

bool Write(const std::string& path, const std::string& bytes) {
  FILE* f = fopen(path.c_str(), "wb");
  if (!f) return false;
  const bool ok = fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  return fclose(f) == 0 && ok;
}

std::string Make3ds(long triangles) {
  Out o;
  const size_t main = o.Open3ds(0x4D4D);
  const size_t ver = o.Open3ds(0x0002);
  o.Le32(3);
  o.Close3ds(ver);
  const size_t editor = o.Open3ds(0x3D3D);
  const size_t meshVer = o.Open3ds(0x3D3E);
  o.Le32(3);
  o.Close3ds(meshVer);
  // Counts are 16-bit: 181 x 181 = 32761 vertices and 64800 triangles per
  // full object.
  const int w = 180;
  const long perObject = 2L * w * w;
  long left = triangles;
  for (int obj = 0; left > 0; ++obj) {
    const long t = left < perObject ? left : perObject;
    const int h = static_cast<int>((t + 2 * w - 1) / (2 * w));
    left -= t;
    const size_t object = o.Open3ds(0x4000);
    char name[16];
    snprintf(name, sizeof name, "Grid%d", obj);
    o.s.append(name, strlen(name) + 1);
    const size_t mesh = o.Open3ds(0x4100);
    const size_t verts = o.Open3ds(0x4110);
    o.Le16(static_cast<unsigned>((w + 1) * (h + 1)));
    for (int y = 0; y <= h; ++y)
      for (int x = 0; x <= w; ++x) {
        o.LeF(static_cast<float>(x));
        o.LeF(static_cast<float>(y + obj * 200));
        o.LeF(Height(x, y));
      }
    o.Close3ds(verts);
    const size_t faces = o.Open3ds(0x4120);
    o.Le16(static_cast<unsigned>(t));
    long k = 0;
    for (int y = 0; y < h && k < t; ++y)
      for (int x = 0; x < w && k < t; ++x) {
        const unsigned a = y * (w + 1) + x, b = a + 1, c = a + w + 1, d = c + 1;
        o.Le16(a), o.Le16(b), o.Le16(d), o.Le16(7), ++k;
        if (k == t) break;
        o.Le16(a), o.Le16(d), o.Le16(c), o.Le16(7), ++k;
      }
    o.Close3ds(faces);
    o.Close3ds(mesh);
    o.Close3ds(object);
  }
  o.Close3ds(editor);
  o.Close3ds(main);
  return o.s;
}

std::string MakeLwo(long triangles) {
  Out o;
  o.Id("FORM");
  const size_t form = o.s.size();
  o.Be32(0);
  o.Id("LWO2");
  const char* names[] = {"Red", "Green", "Blue", "Grey"};
  const float colours[][3] = {
      {0.8f, 0.1f, 0.1f}, {0.1f, 0.8f, 0.1f}, {0.1f, 0.1f, 0.8f}, {0.5f, 0.5f, 0.5f}};
  size_t c = o.OpenIff("TAGS");
  for (const char* n : names) {
    o.s.append(n, strlen(n) + 1);
    if ((strlen(n) + 1) % 2) o.s.push_back('\0');
  }
  o.CloseIff(c);
  c = o.OpenIff("LAYR");
  o.Be16(0), o.Be16(0), o.BeF(0), o.BeF(0), o.BeF(0), o.Be16(0);
  o.CloseIff(c);
  const int w = 1000;
  const int h = static_cast<int>((triangles + 2 * w - 1) / (2 * w));
  c = o.OpenIff("PNTS");
  for (int y = 0; y <= h; ++y)
    for (int x = 0; x <= w; ++x) {
      o.BeF(static_cast<float>(x));
      o.BeF(Height(x, y));
      o.BeF(static_cast<float>(y));
    }
  o.CloseIff(c);
  c = o.OpenIff("POLS");
  o.Id("FACE");
  long k = 0;
  for (int y = 0; y < h && k < triangles; ++y)
    for (int x = 0; x < w && k < triangles; ++x) {
      const uint32_t a = y * (w + 1) + x, b = a + 1, cc = a + w + 1, d = cc + 1;
      o.Be16(3), o.Vx(a), o.Vx(b), o.Vx(d), ++k;
      if (k == triangles) break;
      o.Be16(3), o.Vx(a), o.Vx(d), o.Vx(cc), ++k;
    }
  o.CloseIff(c);
  c = o.OpenIff("PTAG");
  o.Id("SURF");
  for (long p = 0; p < triangles; ++p) {
    o.Vx(static_cast<uint32_t>(p));
    o.Be16(static_cast<unsigned>((p / 4096) % 4));
  }
  o.CloseIff(c);
  for (int i = 0; i < 4; ++i) {
    c = o.OpenIff("SURF");
    o.s.append(names[i], strlen(names[i]) + 1);
    if ((strlen(names[i]) + 1) % 2) o.s.push_back('\0');
    o.Be16(0);  // empty source name and its pad
    o.Id("COLR");
    o.Be16(14);
    o.BeF(colours[i][0]), o.BeF(colours[i][1]), o.BeF(colours[i][2]), o.Be16(0);
    o.Id("DIFF");
    o.Be16(6);
    o.BeF(1.0f), o.Be16(0);
    o.CloseIff(c);
  }
  o.CloseIff(form);
  return o.s;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: gen_3ds_lwo OUTDIR [TRIANGLES]\n");
    return 2;
  }
  const std::string dir = argv[1];
  const long n = argc > 2 ? strtol(argv[2], nullptr, 10) : 1000000;
  if (n <= 0) {
    fprintf(stderr, "gen_3ds_lwo: bad triangle count\n");
    return 2;
  }
  const std::string base = dir + "/grid_" + std::to_string(n);
  const std::string tds = Make3ds(n), lwo = MakeLwo(n);
  if (!Write(base + ".3ds", tds) || !Write(base + ".lwo", lwo)) {
    fprintf(stderr, "gen_3ds_lwo: cannot write %s\n", base.c_str());
    return 1;
  }
  printf("%s.3ds: %ld triangles, %zu bytes\n%s.lwo: %ld triangles, %zu bytes\n", base.c_str(), n,
         tds.size(), base.c_str(), n, lwo.size());
  return 0;
}

// Writes big PLY files for the reader benchmark:
//   gen_ply OUTDIR [TRIANGLES...]   (default 1000000)
// For each size N: torus_<N>_ascii.ply, torus_<N>_le.ply and torus_<N>_be.ply,
// with float x y z vertices and "list uchar int vertex_indices" faces, the
// layout most exporters write.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bench/bench_generator.h"

namespace {

enum class Enc { kAscii, kLittle, kBig };

void PutWord(std::vector<unsigned char>& out, uint32_t u, bool big) {
  for (int i = 0; i < 4; ++i)
    out.push_back(static_cast<unsigned char>(u >> (8 * (big ? 3 - i : i))));
}

bool Write(const std::string& path, const Mesh& m, Enc enc) {
  FILE* f = fopen(path.c_str(), "wb");
  if (!f) return false;
  const char* format = enc == Enc::kAscii    ? "ascii"
                       : enc == Enc::kLittle ? "binary_little_endian"
                                             : "binary_big_endian";
  fprintf(f,
          "ply\nformat %s 1.0\ncomment Tarnelle generated torus\nelement vertex %zu\n"
          "property float x\nproperty float y\nproperty float z\nelement face %zu\n"
          "property list uchar int vertex_indices\nend_header\n",
          format, m.v.size(), m.f.size());
  if (enc == Enc::kAscii) {
    for (const auto& p : m.v) fprintf(f, "%.6f %.6f %.6f\n", p[0], p[1], p[2]);
    for (const auto& t : m.f) fprintf(f, "3 %d %d %d\n", t[0], t[1], t[2]);
    return fclose(f) == 0;
  }
  const bool big = enc == Enc::kBig;
  std::vector<unsigned char> out;
  out.reserve(m.v.size() * 12 + m.f.size() * 13);
  for (const auto& p : m.v) {
    for (float c : p) {
      uint32_t u;
      memcpy(&u, &c, 4);
      PutWord(out, u, big);
    }
  }
  for (const auto& t : m.f) {
    out.push_back(3);
    for (int32_t i : t) PutWord(out, static_cast<uint32_t>(i), big);
  }
  const bool ok = fwrite(out.data(), 1, out.size(), f) == out.size();
  return fclose(f) == 0 && ok;
}

}  // namespace

int main(int argc, char** argv) {
  return RunBenchGenerator(
      "gen_ply", argc, argv, {1000000}, [](const std::string& base, const Mesh& m) {
        return Write(base + "_ascii.ply", m, Enc::kAscii) &&
               Write(base + "_le.ply", m, Enc::kLittle) && Write(base + "_be.ply", m, Enc::kBig);
      });
}

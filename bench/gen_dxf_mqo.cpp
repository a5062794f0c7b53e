// Writes big DXF and MQO files for the reader benchmarks:
//   gen_dxf_mqo OUTDIR [TRIANGLES...]   (default 1000000)
// For each size N: torus_<N>.dxf (one 3DFACE per triangle, its fourth
// corner repeating the third as exporters write it), torus_<N>.mqo (text
// vertices, faces with a material) and torus_<N>_bvertex.mqo (the same with
// a binary vertex block).
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench/bench_generator.h"

namespace {

bool WriteDxf(const std::string& path, const Mesh& m) {
  FILE* f = fopen(path.c_str(), "wb");
  if (!f) return false;
  fprintf(f, "  0\nSECTION\n  2\nENTITIES\n");
  for (const auto& t : m.f) {
    fprintf(f, "  0\n3DFACE\n  8\nmesh\n");
    for (int k = 0; k < 4; ++k) {
      const auto& p = m.v[t[k < 3 ? k : 2]];
      fprintf(f, " 1%d\n%.6f\n 2%d\n%.6f\n 3%d\n%.6f\n", k, p[0], k, p[1], k, p[2]);
    }
  }
  fprintf(f, "  0\nENDSEC\n  0\nEOF\n");
  return fclose(f) == 0;
}

bool WriteMqo(const std::string& path, const Mesh& m, bool binary) {
  FILE* f = fopen(path.c_str(), "wb");
  if (!f) return false;
  fprintf(f,
          "Metasequoia Document\r\nFormat Text Ver 1.0\r\n\r\n"
          "Material 1 {\r\n\t\"mat1\" shader(3) col(0.800 0.600 0.400 1.000) dif(0.800) "
          "amb(0.600) emi(0.000) spc(0.000) power(5.00)\r\n}\r\n"
          "Object \"torus\" {\r\n\tdepth 0\r\n\tvisible 15\r\n\tlocking 0\r\n\tshading 1\r\n");
  if (binary) {
    fprintf(f, "\tBVertex {\r\n\t\tVector %zu [%zu]\r\n", m.v.size(), m.v.size() * 12);
    for (const auto& p : m.v) fwrite(p.data(), 4, 3, f);  // little-endian host
    fprintf(f, "\r\n\t}\r\n");
  } else {
    fprintf(f, "\tvertex %zu {\r\n", m.v.size());
    for (const auto& p : m.v) fprintf(f, "\t\t%.4f %.4f %.4f\r\n", p[0], p[1], p[2]);
    fprintf(f, "\t}\r\n");
  }
  fprintf(f, "\tface %zu {\r\n", m.f.size());
  for (const auto& t : m.f) fprintf(f, "\t\t3 V(%d %d %d) M(0)\r\n", t[0], t[1], t[2]);
  fprintf(f, "\t}\r\n}\r\nEof\r\n");
  return fclose(f) == 0;
}

}  // namespace

int main(int argc, char** argv) {
  return RunBenchGenerator(
      "gen_dxf_mqo", argc, argv, {1000000}, [](const std::string& base, const Mesh& m) {
        return WriteDxf(base + ".dxf", m) && WriteMqo(base + ".mqo", m, false) &&
               WriteMqo(base + "_bvertex.mqo", m, true);
      });
}

// Writes big test meshes for the reader and mesh benchmarks:
//   gen_meshes OUTDIR [TRIANGLES...]   (default 1000000 4000000)
// For each size N: torus_<N>.stl (binary), torus_<N>_ascii.stl,
// torus_<N>_vn.obj (faces as a//a), torus_<N>.obj (plain faces) and
// torus_<N>_vt.obj (faces as a/a, one texture coordinate per position, one
// material from torus_<N>_vt.mtl whose image is torus_texture.png; the image
// itself is not written: put any picture there, e.g. 4096x4096). The torus
// has N/2 distinct positions, so vertex sharing has work to do.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench/bench_generator.h"
#include "samples/generator/mesh_writers.h"

namespace {

// The textured variant: coordinates from the angle around the axis and the
// height, the material library beside it.
bool WriteTexturedObj(const std::string& base, const Mesh& m) {
  const std::string mtlName = base.substr(base.find_last_of('/') + 1) + "_vt.mtl";
  FILE* lib = fopen((base + "_vt.mtl").c_str(), "wb");
  if (!lib) return false;
  fprintf(lib, "newmtl torus\nKd 1 1 1\nd 1\nmap_Kd torus_texture.png\n");
  if (fclose(lib) != 0) return false;
  FILE* f = fopen((base + "_vt.obj").c_str(), "wb");
  if (!f) return false;
  fprintf(f, "# Tarnelle generated OBJ\nmtllib %s\no mesh\n", mtlName.c_str());
  float top = 0;
  for (const auto& p : m.v) top = std::max(top, std::fabs(p[2]));
  for (const auto& p : m.v) fprintf(f, "v %.6f %.6f %.6f\n", p[0], p[1], p[2]);
  for (const auto& p : m.v) {
    const float u = std::atan2(p[1], p[0]) * (0.5f / 3.14159265f) + 0.5f;
    const float v = top > 0 ? 0.5f + 0.5f * p[2] / top : 0.5f;
    fprintf(f, "vt %.5f %.5f\n", u, v);
  }
  fprintf(f, "usemtl torus\n");
  for (const auto& t : m.f)
    fprintf(f, "f %d/%d %d/%d %d/%d\n", t[0] + 1, t[0] + 1, t[1] + 1, t[1] + 1, t[2] + 1, t[2] + 1);
  return fclose(f) == 0;
}

}  // namespace

int main(int argc, char** argv) {
  return RunBenchGenerator(
      "gen_meshes", argc, argv, {1000000, 4000000}, [](const std::string& base, const Mesh& m) {
        return WriteBinaryStl(base + ".stl", m) && WriteAsciiStl(base + "_ascii.stl", m, "torus") &&
               WriteObj(base + "_vn.obj", m, true) && WriteObj(base + ".obj", m, false) &&
               WriteTexturedObj(base, m);
      });
}

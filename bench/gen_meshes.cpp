// Writes big test meshes for the reader and mesh benchmarks:
//   gen_meshes OUTDIR [TRIANGLES...]   (default 1000000 4000000)
// For each size N: torus_<N>.stl (binary), torus_<N>_ascii.stl,
// torus_<N>_vn.obj (faces as a//a) and torus_<N>.obj (plain faces). The
// torus has N/2 distinct positions, so vertex sharing has work to do.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "samples/generator/mesh_writers.h"

int main(int argc, char** argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: gen_meshes OUTDIR [TRIANGLES...]\n");
    return 2;
  }
  const std::string dir = argv[1];
  std::vector<long> sizes;
  for (int i = 2; i < argc; ++i) sizes.push_back(strtol(argv[i], nullptr, 10));
  if (sizes.empty()) sizes = {1000000, 4000000};
  for (long n : sizes) {
    // rings x sides x 2 triangles, rings about twice the sides.
    int sides = 1;
    while (static_cast<long>(sides + 1) * (sides + 1) * 4 <= n) ++sides;
    const int rings = static_cast<int>(n / (2L * sides));
    const Mesh m = Torus(rings, sides);
    const std::string base = dir + "/torus_" + std::to_string(n);
    const bool ok = WriteBinaryStl(base + ".stl", m) &&
                    WriteAsciiStl(base + "_ascii.stl", m, "torus") &&
                    WriteObj(base + "_vn.obj", m, true) && WriteObj(base + ".obj", m, false);
    if (!ok) {
      fprintf(stderr, "gen_meshes: cannot write %s\n", base.c_str());
      return 1;
    }
    printf("%s: %zu triangles, %zu positions\n", base.c_str(), m.f.size(), m.v.size());
  }
  return 0;
}

// Writes big test meshes for the reader and mesh benchmarks:
//   gen_meshes OUTDIR [TRIANGLES...]   (default 1000000 4000000)
// For each size N: torus_<N>.stl (binary), torus_<N>_ascii.stl,
// torus_<N>_vn.obj (faces as a//a) and torus_<N>.obj (plain faces). The
// torus has N/2 distinct positions, so vertex sharing has work to do.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench/bench_generator.h"
#include "samples/generator/mesh_writers.h"

int main(int argc, char** argv) {
  return RunBenchGenerator(
      "gen_meshes", argc, argv, {1000000, 4000000}, [](const std::string& base, const Mesh& m) {
        return WriteBinaryStl(base + ".stl", m) && WriteAsciiStl(base + "_ascii.stl", m, "torus") &&
               WriteObj(base + "_vn.obj", m, true) && WriteObj(base + ".obj", m, false);
      });
}

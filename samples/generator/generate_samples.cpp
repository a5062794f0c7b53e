// Writes the small sample models of samples/ (run by hand when the set
// changes: generate_samples <folder>).
#include <cstdio>
#include <string>

#include "samples/generator/mesh_writers.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: generate_samples FOLDER\n");
    return 2;
  }
  const std::string dir = argv[1];
  bool ok = true;
  ok &= WriteAsciiStl(dir + "/cube.stl", Cube(), "cube");
  ok &= WriteObj(dir + "/icosphere.obj", Icosphere(2), false);
  ok &= WriteObj(dir + "/torus.obj", Torus(48, 24), true);
  ok &= WriteBinaryStl(dir + "/torus_binary.stl", Torus(64, 32));
  // One colour per band of the sphere, packed into the attribute word.
  const Mesh sphere = Icosphere(3);
  ok &= WriteBinaryStl(dir + "/colored_facets.stl", sphere, [&](size_t k) {
    const float z = sphere.v[sphere.f[k][0]][2];
    const unsigned band = static_cast<unsigned>((z + 1.0f) * 2.99f);
    const uint16_t colours[] = {0x8000 | (31 << 10), 0x8000 | 31, 0x8000 | (31 << 5)};
    return colours[band % 3];
  });
  if (!ok) fprintf(stderr, "generate_samples: could not write into %s\n", dir.c_str());
  return ok ? 0 : 1;
}

// The frame shared by the big-file generators: each writes the same torus
// (about N triangles, N/2 positions) in its own formats.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "samples/generator/shapes.h"

// A torus of about n triangles, rings about twice the sides.
inline Mesh BenchTorus(long n) {
  int sides = 1;
  while (static_cast<long>(sides + 1) * (sides + 1) * 4 <= n) ++sides;
  return Torus(static_cast<int>(n / (2L * sides)), sides);
}

// Usage: NAME OUTDIR [TRIANGLES...]. For each size, write(base, mesh) writes
// the files whose names start with base ("OUTDIR/torus_<N>").
template <typename WriteFn>
int RunBenchGenerator(const char* name, int argc, char** argv, std::vector<long> sizes,
                      WriteFn write) {
  if (argc < 2) {
    fprintf(stderr, "usage: %s OUTDIR [TRIANGLES...]\n", name);
    return 2;
  }
  const std::string dir = argv[1];
  if (argc > 2) sizes.clear();
  for (int i = 2; i < argc; ++i) sizes.push_back(strtol(argv[i], nullptr, 10));
  for (long n : sizes) {
    if (n <= 0) {
      fprintf(stderr, "%s: bad triangle count\n", name);
      return 2;
    }
    const Mesh m = BenchTorus(n);
    const std::string base = dir + "/torus_" + std::to_string(n);
    if (!write(base, m)) {
      fprintf(stderr, "%s: cannot write %s\n", name, base.c_str());
      return 1;
    }
    printf("%s: %zu triangles, %zu positions\n", base.c_str(), m.f.size(), m.v.size());
  }
  return 0;
}

// Times the STL, OBJ and PLY readers alone, without the load pipeline:
//   reader_bench FILE [RUNS]   (default 7)
// Each run reads FILE into a fresh model; prints the median and fastest
// wall-clock read time, the median rate, the median CPU time of the process
// (steadier than the wall clock on a loaded machine) and a hash of the
// model, so that two builds can be checked to give the same model.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "core/model.h"
#include "readers/obj.h"
#include "readers/ply.h"
#include "readers/stl.h"

namespace {

// FNV-1a over the model's arrays, eight bytes at a step.
uint64_t HashBytes(uint64_t h, const void* p, size_t n) {
  const unsigned char* b = static_cast<const unsigned char*>(p);
  size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    uint64_t w;
    memcpy(&w, b + i, 8);
    h = (h ^ w) * 1099511628211ull;
  }
  for (; i < n; ++i) h = (h ^ b[i]) * 1099511628211ull;
  return h;
}

double CpuMs() {
  timespec t;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_nsec) * 1e-6;
}

template <typename T>
uint64_t HashVector(uint64_t h, const std::vector<T>& v) {
  return HashBytes(h, v.data(), v.size() * sizeof(T));
}

uint64_t HashModel(const PolygonModel& m) {
  uint64_t h = 14695981039346656037ull;
  h = HashVector(h, m.vertices);
  h = HashVector(h, m.polyStart);
  h = HashVector(h, m.indexPool);
  h = HashVector(h, m.polyMaterial);
  return HashVector(h, m.polyColor);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: reader_bench FILE [RUNS]\n");
    return 2;
  }
  const std::string path = argv[1];
  const int runs = argc > 2 ? std::max(1, atoi(argv[2])) : 7;
  const std::string ext = path.size() >= 4 ? path.substr(path.size() - 4) : "";
  bool (*load)(const char*, PolygonModel&) = nullptr;
  if (ext == ".obj") load = ObjLoadInto;
  if (ext == ".stl") load = StlLoadInto;
  if (ext == ".ply") load = PlyLoadInto;
  if (!load) {
    fprintf(stderr, "reader_bench: not an .obj, .stl or .ply file\n");
    return 2;
  }
  FILE* f = fopen(path.c_str(), "rb");
  if (!f) {
    fprintf(stderr, "reader_bench: cannot open %s\n", path.c_str());
    return 1;
  }
  fseek(f, 0, SEEK_END);
  const double megabytes = static_cast<double>(ftell(f)) / 1e6;
  fclose(f);

  std::vector<double> ms, cpu;
  uint64_t hash = 0;
  bool ok = true;
  for (int i = 0; i < runs; ++i) {
    PolygonModel model;
    const double c0 = CpuMs();
    const auto t0 = std::chrono::steady_clock::now();
    ok = load(path.c_str(), model);
    const auto t1 = std::chrono::steady_clock::now();
    cpu.push_back(CpuMs() - c0);
    ms.push_back(std::chrono::duration<double, std::milli>(t1 - t0).count());
    if (i == runs - 1) hash = HashModel(model);
  }
  std::sort(ms.begin(), ms.end());
  std::sort(cpu.begin(), cpu.end());
  const double median = ms[ms.size() / 2];
  printf("%s: %s, median %.2f ms, fastest %.2f ms, %.0f MB/s, cpu %.2f ms, model %016llx\n",
         path.c_str(), ok ? "loaded" : "failed", median, ms.front(), megabytes / median * 1e3,
         cpu[cpu.size() / 2], static_cast<unsigned long long>(hash));
  return ok ? 0 : 1;
}

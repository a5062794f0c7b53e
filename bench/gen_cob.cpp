// Writes big COB files for the reader benchmarks:
//   gen_cob OUTDIR [TRIANGLES...]   (default 1000000)
// For each size N: torus_<N>_text.cob, torus_<N>.cob (binary, little-endian)
// and torus_<N>_be.cob (binary, big-endian), the same torus in each. Faces
// use three materials in runs, each coloured by a material chunk.
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bench/bench_generator.h"

namespace {

constexpr int32_t kObjectId = 1000;
constexpr int kMaterials = 3;
const float kColors[kMaterials][3] = {{0.8f, 0.2f, 0.2f}, {0.2f, 0.8f, 0.2f}, {0.2f, 0.2f, 0.8f}};

int MaterialOf(size_t face) { return static_cast<int>(face / 500 % kMaterials); }

class Writer {
 public:
  explicit Writer(const std::string& path) : f_(fopen(path.c_str(), "wb")) {}
  ~Writer() {
    if (f_) fclose(f_);
  }
  bool ok() const { return f_ != nullptr; }
  void Text(const char* fmt, ...) __attribute__((format(printf, 2, 3))) {
    char buf[256];
    va_list ap;
    va_start(ap, fmt);
    const int n = vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    Bytes(buf, static_cast<size_t>(n));
  }
  void Bytes(const void* p, size_t n) {
    const char* c = static_cast<const char*>(p);
    buf_.insert(buf_.end(), c, c + n);
    if (buf_.size() >= (1 << 20)) Flush();
  }
  bool Close() {
    Flush();
    const bool good = f_ && fclose(f_) == 0;
    f_ = nullptr;
    return good;
  }

 private:
  void Flush() {
    if (f_ && !buf_.empty()) fwrite(buf_.data(), 1, buf_.size(), f_);
    buf_.clear();
  }
  FILE* f_;
  std::vector<char> buf_;
};

bool WriteText(const std::string& path, const Mesh& m) {
  Writer w(path);
  if (!w.ok()) return false;
  w.Text("Caligari V00.01ALH             \n");
  w.Text("PolH V0.08 Id %d Parent 0 Size 00000000\n", kObjectId);
  w.Text("Name torus\ncenter 0 0 0\nx axis 1 0 0\ny axis 0 1 0\nz axis 0 0 1\n");
  w.Text("Transform\n1 0 0 0\n0 1 0 0\n0 0 1 0\n0 0 0 1\n");
  w.Text("World Vertices %zu\n", m.v.size());
  for (const auto& v : m.v) w.Text("%.6f %.6f %.6f\n", v[0], v[1], v[2]);
  w.Text("Texture Vertices 1\n0.000000 0.000000\n");
  w.Text("Faces %zu\n", m.f.size());
  for (size_t k = 0; k < m.f.size(); ++k) {
    const auto& t = m.f[k];
    w.Text("Face verts 3 flags 0 mat %d\n<%d,0> <%d,0> <%d,0> \n", MaterialOf(k), t[0], t[1], t[2]);
  }
  w.Text("DrawFlags 0\n");
  for (int i = 0; i < kMaterials; ++i) {
    w.Text("Mat1 V0.06 Id %d Parent %d Size 00000085\nmat# %d\n", 2000 + i, kObjectId, i);
    w.Text("shader: phong  facet: auto32\nrgb %g,%g,%g\n", kColors[i][0], kColors[i][1],
           kColors[i][2]);
    w.Text("alpha 1  ka 0.1  ks 0.1  exp 0  ior 1\n");
  }
  w.Text("END  V1.00 Id 0 Parent 0 Size       0\n");
  return w.Close();
}

class Chunk {
 public:
  explicit Chunk(bool big) : big_(big) {}
  void U8(unsigned v) { s.push_back(static_cast<char>(v)); }
  void U16(unsigned v) {
    const unsigned char b[2] = {static_cast<unsigned char>(v), static_cast<unsigned char>(v >> 8)};
    Put(b, 2);
  }
  void U32(uint32_t v) {
    const unsigned char b[4] = {static_cast<unsigned char>(v), static_cast<unsigned char>(v >> 8),
                                static_cast<unsigned char>(v >> 16),
                                static_cast<unsigned char>(v >> 24)};
    Put(b, 4);
  }
  void F32(float f) {
    uint32_t u;
    memcpy(&u, &f, 4);
    U32(u);
  }
  // Writes a chunk header for this data into w, then the data.
  void WriteTo(Writer& w, const char* tag, int32_t id, int32_t parent) const {
    Chunk h(big_);
    h.s.append(tag, 4);
    h.U16(0);
    h.U16(8);
    h.U32(static_cast<uint32_t>(id));
    h.U32(static_cast<uint32_t>(parent));
    h.U32(static_cast<uint32_t>(s.size()));
    w.Bytes(h.s.data(), h.s.size());
    w.Bytes(s.data(), s.size());
  }
  std::string s;

 private:
  void Put(const unsigned char* b, int n) {
    for (int i = 0; i < n; ++i) s.push_back(static_cast<char>(b[big_ ? n - 1 - i : i]));
  }
  bool big_;
};

bool WriteBinary(const std::string& path, const Mesh& m, bool big) {
  Writer w(path);
  if (!w.ok()) return false;
  char header[33];
  snprintf(header, sizeof header, "Caligari V00.01B%c%-14s\n", big ? 'H' : 'L', "");
  w.Bytes(header, 32);
  Chunk p(big);
  p.U16(0);
  p.U16(5);
  p.s += "torus";
  const float axes[12] = {0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 1};
  const float transform[12] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0};
  for (float a : axes) p.F32(a);
  for (float t : transform) p.F32(t);
  p.U32(static_cast<uint32_t>(m.v.size()));
  for (const auto& v : m.v)
    for (float c : v) p.F32(c);
  p.U32(1);
  p.F32(0);
  p.F32(0);
  p.U32(static_cast<uint32_t>(m.f.size()));
  for (size_t k = 0; k < m.f.size(); ++k) {
    p.U8(0);
    p.U16(3);
    p.U16(static_cast<unsigned>(MaterialOf(k)));
    for (int32_t i : m.f[k]) {
      p.U32(static_cast<uint32_t>(i));
      p.U32(0);
    }
  }
  p.U32(0);  // newer versions' trailing fields
  p.WriteTo(w, "PolH", kObjectId, 0);
  for (int i = 0; i < kMaterials; ++i) {
    Chunk c(big);
    c.U16(static_cast<unsigned>(i));
    c.s += "pa\x01";
    for (float v : kColors[i]) c.F32(v);
    c.F32(1);
    c.WriteTo(w, "Mat1", 2000 + i, kObjectId);
  }
  Chunk(big).WriteTo(w, "END ", 0, 0);
  return w.Close();
}

}  // namespace

int main(int argc, char** argv) {
  return RunBenchGenerator(
      "gen_cob", argc, argv, {1000000}, [](const std::string& base, const Mesh& m) {
        return WriteText(base + "_text.cob", m) && WriteBinary(base + ".cob", m, false) &&
               WriteBinary(base + "_be.cob", m, true);
      });
}

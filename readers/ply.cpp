#include "readers/ply.h"

#include <sys/stat.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/huge_pages.h"
#include "core/text.h"
#include "ply/ply.h"
#include "readers/binary_input.h"
#include "readers/reserve_ahead.h"
#include "readers/text_input.h"

namespace {

char g_msg[128];

// The last coordinates read. A vertex is added when its z arrives, with the
// x and y read last, so they carry over between vertices; each load starts
// from zero so that nothing of an earlier file leaks into a new model.
float g_x, g_y, g_z;

constexpr long kX = 1, kY = 2, kZ = 3;

struct LoadState {
  PolygonModel* model = nullptr;
  // A face's corners: in place when they fit, else in `more`.
  int32_t first[8] = {};
  std::vector<int32_t> more;
  // Texture coordinates by vertex, as they arrive.
  std::vector<Float2> vertexUV;
  // The face read last and the polygon it became (-1: none), and a face's
  // coordinates that came before its corners.
  long lastFace = -1;
  int32_t lastPolygon = -1;
  long pendingFace = -1;
  std::vector<Float2> pendingUV;
  bool faceUV = false;  // the faces have a "texcoord" list
};

// The coordinates of the polygon of the face read last, when there is one
// for each of its corners.
void SetFaceUV(LoadState& st, const Float2* uv, size_t n) {
  PolygonModel& m = *st.model;
  if (st.lastPolygon < 0 || n != static_cast<size_t>(m.nv(st.lastPolygon))) return;
  std::copy(uv, uv + n, CornerUVs(m.appearance, m.polyStart[st.lastPolygon], n));
}

// Keeps the first message of a load; later ones (such as the library's note
// that a callback stopped the reading) would only hide the cause.
void OnError(p_ply, const char* message) {
  if (g_msg[0] == '\0') CopyMessage(g_msg, message);
}

void OnProbeError(p_ply, const char*) {}

int64_t FileSize(const char* path) {
  struct stat st;
  return stat(path, &st) == 0 && S_ISREG(st.st_mode) ? static_cast<int64_t>(st.st_size) : 0;
}

float ToFloat(double v) {
  // Beyond the float range the conversion is undefined; infinity is what
  // the value means.
  if (v > FLT_MAX) return HUGE_VALF;
  if (v < -FLT_MAX) return -HUGE_VALF;
  return static_cast<float>(v);
}

int OnVertex(p_ply_argument arg) {
  void* pdata = nullptr;
  long which = 0;
  ply_get_argument_user_data(arg, &pdata, &which);
  const float v = ToFloat(ply_get_argument_value(arg));
  if (which == kX) {
    g_x = v;
  } else if (which == kY) {
    g_y = v;
  } else {
    g_z = v;
    static_cast<LoadState*>(pdata)->model->AddVertex(g_x, g_y, g_z);
  }
  return 1;
}

// Indices must stay above -1 and below this limit. They are tested as
// doubles, before they become integers: NaN, huge and negative values never
// reach the conversion. Values above -1 truncate towards 0, as a truncated
// index does.
double IndexLimit(p_ply_argument arg) {
  long maxIndex = -1;
  ply_get_argument_user_data(arg, nullptr, &maxIndex);
  return maxIndex < 0 ? -1.0 : std::min(static_cast<double>(maxIndex) + 1.0, 2147483648.0);
}

bool GoodIndex(double v, double limit) {
  if (v > -1.0 && v < limit) return true;
  CopyMessage(g_msg, "頂点番号エラー");
  return false;
}

// A "vertex_indices" that is no list announces no corners and makes no
// face; its values are indices beyond such a face's end (any value from 0
// up is an error), which keeps the result such files have always given.
int OnFaceScalar(p_ply_argument arg) { return GoodIndex(ply_get_argument_value(arg), 0.0) ? 1 : 0; }

// One face: its index list at once. Indices are checked in file order, so
// the first bad one stops the reading; the face is added once its whole
// list was read.
int OnFace(p_ply_argument arg, long length, const double* values, long count) {
  void* pdata = nullptr;
  ply_get_argument_user_data(arg, &pdata, nullptr);
  LoadState& st = *static_cast<LoadState*>(pdata);
  const double limit = IndexLimit(arg);
  constexpr long kFirst = sizeof st.first / sizeof st.first[0];
  int32_t* corners = st.first;
  if (count > kFirst) {
    st.more.resize(static_cast<size_t>(count));
    corners = st.more.data();
  }
  for (long k = 0; k < count; ++k) {
    if (!GoodIndex(values[k], limit)) return 0;
    corners[k] = static_cast<int32_t>(values[k]);
  }
  int32_t polygon = -1;
  if (count == length && length > 0 && length <= INT32_MAX) {
    if (length == 3)
      polygon = st.model->AddTriangle(corners[0], corners[1], corners[2]);
    else
      polygon = st.model->AddPolygon(static_cast<int32_t>(length), corners);
  }
  if (st.faceUV) {
    long instance = 0;
    ply_get_argument_element(arg, nullptr, &instance);
    st.lastFace = instance;
    st.lastPolygon = polygon;
    if (st.pendingFace == instance) SetFaceUV(st, st.pendingUV.data(), st.pendingUV.size());
    st.pendingFace = -1;
  }
  return 1;
}

// A vertex's "s"/"t" (or "u"/"v", "texture_u"/"texture_v"): idata 0 for
// the first, 1 for the second.
int OnVertexUV(p_ply_argument arg) {
  void* pdata = nullptr;
  long which = 0, instance = 0;
  ply_get_argument_user_data(arg, &pdata, &which);
  ply_get_argument_element(arg, nullptr, &instance);
  LoadState& st = *static_cast<LoadState*>(pdata);
  const size_t i = static_cast<size_t>(instance);
  // Grows with the vertices read, never with a count the header states.
  if (i >= st.vertexUV.size()) st.vertexUV.resize(i + 1, Float2{0.0f, 0.0f});
  const float v = ToFloat(ply_get_argument_value(arg));
  if (which == 0)
    st.vertexUV[i].u = v;
  else
    st.vertexUV[i].v = v;
  return 1;
}

// A face's "texcoord" list: u and v for each corner.
int OnFaceUV(p_ply_argument arg, long, const double* values, long count) {
  void* pdata = nullptr;
  long instance = 0;
  ply_get_argument_user_data(arg, &pdata, nullptr);
  ply_get_argument_element(arg, nullptr, &instance);
  LoadState& st = *static_cast<LoadState*>(pdata);
  std::vector<Float2>& uv = st.pendingUV;
  uv.resize(static_cast<size_t>(count / 2));
  for (size_t k = 0; k < uv.size(); ++k)
    uv[k] = {ToFloat(values[2 * k]), ToFloat(values[2 * k + 1])};
  if (instance == st.lastFace) {
    SetFaceUV(st, uv.data(), uv.size());
  } else {
    st.pendingFace = instance;  // the corners follow
  }
  return 1;
}

// The image named by a "comment TextureFile name" line of the header, or
// nothing.
std::string TextureFileOf(const char* path) {
  File file(path);
  if (!file) return {};
  LineReader lines(file.get(), 4096);
  std::string_view line;
  // Headers are short; a file whose header never ends is not read far.
  for (int n = 0; n < 10000 && lines.Next(line); ++n) {
    SkipSpace(line);
    if (line.substr(0, 10) == "end_header") break;
    if (line.substr(0, 7) != "comment") continue;
    line.remove_prefix(7);
    SkipSpace(line);
    if (line.substr(0, 11) != "TextureFile" || line.size() == 11 || !IsSpace(line[11])) continue;
    line.remove_prefix(11);
    SkipSpace(line);
    while (!line.empty() && IsSpace(line.back())) line.remove_suffix(1);
    return std::string(line);
  }
  return {};
}

// The appearance the file gave: corners take their vertices' coordinates,
// and a texture file makes one material that every polygon uses.
void FinishAppearance(LoadState& st, const char* path) {
  PolygonModel& m = *st.model;
  SurfaceAppearance& a = m.appearance;
  if (!st.vertexUV.empty()) {
    a.cornerUV.resize(m.indexPool.size(), Float2{0.0f, 0.0f});
    for (size_t c = 0; c < m.indexPool.size(); ++c) {
      const size_t v = static_cast<size_t>(m.indexPool[c]);
      if (v < st.vertexUV.size()) a.cornerUV[c] = st.vertexUV[v];
    }
  }
  std::string texture = TextureFileOf(path);
  if (texture.empty()) return;
  SurfaceMaterial material;
  material.texture = std::move(texture);
  a.materials.push_back(std::move(material));
  a.polygonMaterial.assign(m.polyMaterial.size(), 0);
}

// Closes the file on every path, exceptions included.
struct PlyFile {
  p_ply ply;
  ~PlyFile() {
    if (ply) ply_close(ply);
  }
};

}  // namespace

int32_t PlyIsSupport(const char* path) {
  // A probe leaves the message buffer alone and stays silent.
  PlyFile file{ply_open(path, OnProbeError, 0, nullptr)};
  if (!file.ply) return -1;
  return ply_read_header(file.ply) ? 1 : -1;
}

bool PlyLoadInto(const char* path, PolygonModel& model) {
  g_msg[0] = '\0';
  g_x = g_y = g_z = 0.0f;
  PlyFile file{ply_open(path, OnError, 0, nullptr)};
  if (!file.ply) {
    CopyMessage(g_msg, "ファイルオープン失敗");
    return false;
  }
  if (!ply_read_header(file.ply)) {
    CopyMessage(g_msg, "ヘッダー部エラー");
    return false;
  }
  LoadState st;
  st.model = &model;
  const long nv = ply_set_read_cb(file.ply, "vertex", "x", OnVertex, &st, kX);
  ply_set_read_cb(file.ply, "vertex", "y", OnVertex, &st, kY);
  ply_set_read_cb(file.ply, "vertex", "z", OnVertex, &st, kZ);
  // Texture coordinates, under the first pair of names the file has.
  for (const auto& [u, v] : {std::pair{"s", "t"}, {"u", "v"}, {"texture_u", "texture_v"}}) {
    if (ply_set_read_cb(file.ply, "vertex", u, OnVertexUV, &st, 0) == 0) continue;
    if (ply_set_read_cb(file.ply, "vertex", v, OnVertexUV, &st, 1) != 0) break;
    ply_set_read_cb(file.ply, "vertex", u, nullptr, nullptr, 0);
  }
  st.faceUV = ply_set_list_cb(file.ply, "face", "texcoord", OnFaceUV, &st, 0) != 0;
  // Room for what the header announces, as far as the file can hold it
  // (at least 12 bytes a vertex, 8 a face in any common layout); more
  // grows as it arrives.
  const int64_t size = FileSize(path);
  long nf = ply_set_list_cb(file.ply, "face", "vertex_indices", OnFace, &st, nv - 1);
  if (nf == 0) nf = ply_set_read_cb(file.ply, "face", "vertex_indices", OnFaceScalar, &st, nv - 1);
  const size_t rv = static_cast<size_t>(std::min<int64_t>(nv, size / 12));
  const size_t rf = static_cast<size_t>(std::min<int64_t>(nf, size / 8));
  model.Reserve(model.vertices.size() + rv, model.PolygonCount() + rf,
                model.indexPool.size() + 3 * rf);
  // The second core clears the arrays' memory while this one parses.
  Prefault prefault;
  PrefaultModelRoom(prefault, model);
  if (ply_read(file.ply) == 0) return false;
  FinishAppearance(st, path);
  return true;
}

int32_t PlyLoad(const char* path) { return PlyLoadInto(path, *CurrentModel); }

const char* PlyGetErrMsg() { return g_msg; }

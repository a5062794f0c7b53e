// The built-in STL reader as a plug-in, for loader_bench only: it shows
// what reading a built-in format in the loader process would cost. The
// file is read by the built-in reader into a model of the plug-in's own,
// then handed over through the _Pobj functions; that copy is paid in-process
// and in the loader alike, so the difference between them is the loader's.
#include <cstdint>

#include "core/model.h"
#include "readers/stl.h"
#include "tarnelle_plugin.h"

namespace {
const char* g_error = "";
}

int32_t GetPluginVer(const char*) { return TARNELLE_PLUGIN_VERSION; }

const char* GetSupportInfo(int32_t which) {
  return which == 0 ? "STL (built-in, as a plug-in)" : "stl";
}

int32_t IsSupport(const char* path) { return StlIsSupport(path); }

int32_t Load(const char* path) {
  PolygonModel m;
  if (!StlLoadInto(path, m)) {
    g_error = StlGetErrMsg();
    return 0;
  }
  for (const Float3& v : m.vertices) _PobjAddVertex(v.x, v.y, v.z);
  const int32_t n = m.PolygonCount();
  for (int32_t p = 0; p < n; ++p) {
    const uint32_t b = m.polyStart[p];
    const int32_t q = _PobjAddPolygon(static_cast<int32_t>(m.polyStart[p + 1] - b),
                                      reinterpret_cast<const int32_t*>(m.indexPool.data() + b));
    if (m.polyMaterial[p] >= 0) _PobjSetPolygonColor(q, &m.polyColor[p].x);
  }
  return 1;
}

const char* GetErrMsg() { return g_error; }

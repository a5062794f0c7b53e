// A model reader through the load pipeline: the reader's IsSupport and
// Load as the pipeline calls them, the pipeline's index check, then
// PrepareMesh. The first byte picks the preparation (bit 0 vertex sharing,
// bit 1 orientation correction, bits 2-7 the edge angle from 0 to 180
// degrees); the whole input, that byte included, is the file.
#include <cmath>
#include <cstring>

#include "core/pipeline.h"
#include "fuzz/fuzz_entry.h"
#include "mesh/prepare_mesh.h"

#ifdef TARNELLE_FUZZ_OFF_PLUGIN
// The OFF sample plug-in, compiled in; it fills the model through the
// exported building functions as it does when loaded from the Plugin folder.
extern "C" int32_t IsSupport(const char* path);
extern "C" int32_t Load(const char* path);
extern "C" const char* GetErrMsg(void);
#else
#include "readers/builtin.h"
#endif

namespace {

class QuietHost : public LoadHost {
 public:
  LoadSettings settings;
  LoadSettings Settings() const override { return settings; }
  void AppendLog(const std::string&) override {}
};

LoadPipeline& Pipeline() {
  static LoadPipeline pipeline = [] {
    LoadPipeline p;
    p.prepareMesh = PrepareMesh;
#ifdef TARNELLE_FUZZ_OFF_PLUGIN
    p.table.push_back({nullptr, "Object File Format", "*.off", IsSupport, Load, GetErrMsg});
#else
    // Only the reader under test, so that the fallback pass tries no other.
    for (const BuiltinReader& b : BuiltinReaders())
      if (std::strcmp(b.mask, "*." TARNELLE_FUZZ_EXT) == 0)
        p.table.push_back({nullptr, b.name, b.mask, b.IsSupport, b.Load, b.GetErrMsg});
#endif
    FUZZ_CHECK(p.table.size() == 1);
    return p;
  }();
  return pipeline;
}

}  // namespace

TARNELLE_FUZZ_ENTRY {
  if (size == 0) return 0;
  LoadPipeline& pipeline = Pipeline();
  QuietHost host;
  host.settings.shareVertices = (data[0] & 1) != 0;
  host.settings.fixOrientation = (data[0] & 2) != 0;
  host.settings.angle = static_cast<float>(data[0] >> 2) * (180.0f / 63.0f);
  const std::string& path = WriteFuzzInput(data, size, TARNELLE_FUZZ_EXT);
  const LoadOutcome outcome = LoadModelFile(pipeline, host, path);
  if (outcome == LoadOutcome::kLoaded) {
    // What reaches the preview: every index inside the vertex list.
    const PolygonModel& model = *CurrentModel;
    const int32_t nv = model.VertexCount();
    FUZZ_CHECK(model.vertexNormals.size() == static_cast<size_t>(nv));
    for (int32_t p = 0; p < model.PolygonCount(); ++p) {
      const int32_t* index = model.index(p);
      for (int32_t k = 0; k < model.nv(p); ++k) FUZZ_CHECK(index[k] >= 0 && index[k] < nv);
    }
    // The appearance: empty, or one entry per polygon and per corner, every
    // material index inside the materials.
    const SurfaceAppearance& a = model.appearance;
    FUZZ_CHECK(a.polygonMaterial.empty() ||
               a.polygonMaterial.size() == static_cast<size_t>(model.PolygonCount()));
    FUZZ_CHECK(a.cornerUV.empty() || a.cornerUV.size() == model.indexPool.size());
    for (const int32_t m : a.polygonMaterial)
      FUZZ_CHECK(m >= -1 && m < static_cast<int64_t>(a.materials.size()));
    for (const Float2& uv : a.cornerUV) FUZZ_CHECK(std::isfinite(uv.u) && std::isfinite(uv.v));
  }
  return 0;
}

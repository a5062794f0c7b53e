#include "app/thumbnail.h"

#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QImage>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "app/settings.h"
#include "app/thumbnail_cache.h"
#include "core/pipeline.h"
#include "core/reader_table.h"
#include "mesh/prepare_mesh.h"
#include "mesh/simplify.h"
#include "preview/headless.h"
#include "preview/scene.h"
#include "readers/builtin.h"

namespace {

// Address space for the whole process, renderer included: a model from a
// file at the size limit fits, a hostile count cannot take the machine.
constexpr rlim_t kMemoryLimit = rlim_t{4} << 30;
// Three-quarter view: tilted to show the top, turned to show a side.
constexpr float kTiltDegrees = 25.0f;
constexpr float kTurnDegrees = -35.0f;
// Models with more triangles than this, or than the picture has pixels,
// are drawn through a coarse stand-in.
constexpr int32_t kThumbnailTriangles = 20000;

extern "C" void OnTimeLimit(int) {
  static const char msg[] = "tarnelle: thumbnail time limit reached\n";
  ssize_t ignored = write(STDERR_FILENO, msg, sizeof msg - 1);
  (void)ignored;
  _exit(1);
}

// Keeps the load log; it is shown only when the file does not load.
class QuietHost : public LoadHost {
 public:
  LoadSettings Settings() const override { return LoadSettings{}; }
  void AppendLog(const std::string& line) override { lines.push_back(line); }
  std::vector<std::string> lines;
};

bool ParseSize(std::string_view s, int& out) {
  if (s.empty() || s.size() > 4) return false;
  int v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + (c - '0');
  }
  if (v < 1 || v > 4096) return false;
  out = v;
  return true;
}

int Fail(const std::string& why) {
  fprintf(stderr, "tarnelle: %s\n", why.c_str());
  return 1;
}

void LimitResources() {
  struct sigaction sa {};
  sa.sa_handler = OnTimeLimit;
  sigaction(SIGALRM, &sa, nullptr);
  sigaction(SIGXCPU, &sa, nullptr);
  alarm(kThumbnailTimeLimit);
  struct rlimit lim {};
  auto lower = [&lim](int resource, rlim_t soft, rlim_t hard) {
    if (getrlimit(resource, &lim) != 0) return;
    if (lim.rlim_max != RLIM_INFINITY && lim.rlim_max < hard) hard = lim.rlim_max;
    if (soft > hard) soft = hard;
    if (lim.rlim_cur != RLIM_INFINITY && lim.rlim_cur < soft) return;
    lim.rlim_cur = soft;
    lim.rlim_max = hard;
    setrlimit(resource, &lim);
  };
  lower(RLIMIT_AS, kMemoryLimit, kMemoryLimit);
  // The hard limit kills outright if the soft signal is not acted on.
  lower(RLIMIT_CPU, kThumbnailCpuLimit, kThumbnailCpuLimit + 2);
}

}  // namespace

bool IsThumbnailInvocation(int argc, char** argv) {
  return argc > 1 && std::string_view(argv[1]) == "--thumbnail";
}

int RunThumbnail(int argc, char** argv) {
  int size = 0;
  if (argc != 5 || !ParseSize(argv[2], size)) {
    fputs("usage: tarnelle --thumbnail SIZE IN OUT   (SIZE 1..4096; OUT is a PNG)\n", stderr);
    return 2;
  }
  const std::string in = argv[3], out = argv[4];
  LimitResources();

  struct stat st {};
  if (stat(in.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return Fail("not a readable file: " + in);
  if (st.st_size == 0) return Fail("empty file: " + in);
  if (st.st_size > kThumbnailMaxFileBytes) return Fail("file too large for a thumbnail: " + in);
  // The tags that let any program of the desktop tell a current thumbnail.
  ThumbSource source;
  if (!StatThumbSource(in, source)) return Fail("not a readable file: " + in);

  // The reader table of a first start with no settings file: built-ins,
  // then the plug-ins beside the executable.
  LoadPipeline pipeline;
  const std::string exe = CurrentExecutablePath();
  const size_t slash = exe.find_last_of('/');
  PluginSource plugins;
  plugins.exePath = exe;
  plugins.pluginDir =
      (slash == std::string::npos ? std::string(".") : exe.substr(0, slash)) + "/Plugin/";
  BuildReaderTable(pipeline.table, BuiltinReaders(), false, &plugins);
  pipeline.prepareMesh = PrepareMesh;

  QuietHost host;
  const LoadOutcome outcome = LoadModelFile(pipeline, host, in);
  PolygonModel* model = CurrentModel.get();
  int status = 0;
  if (outcome != LoadOutcome::kLoaded || !model || model->PolygonCount() == 0) {
    for (const std::string& line : host.lines) fprintf(stderr, "%s\n", line.c_str());
    status = Fail("nothing to draw in " + in);
  } else {
    std::string error;
    HeadlessContext context;
    if (!context.Create(size, size, error)) {
      status = Fail(error);
    } else {
      Scene scene;
      SceneSetColors(scene, static_cast<int>(kDefaultBackColor),
                     static_cast<int>(kDefaultObjectColor));
      SceneSetCullMode(scene, 0);
      SceneSetRenderType(scene, 0);
      // A picture of 128 pixels cannot show a million triangles; a coarse
      // stand-in draws in a fraction of the time and looks the same.
      PolygonModel standIn;
      const int32_t enough = std::max(kThumbnailTriangles, size * size);
      if (model->PolygonCount() > enough) {
        standIn = SimplifyByClustering(*model, enough);
        if (standIn.PolygonCount() > 0) model = &standIn;
      }
      SceneSetModel(scene, model, 0);
      SetViewPreset(scene.camera, 0);
      RotateScreen(scene.camera, kTiltDegrees, kTurnDegrees);
      scene.width = size;
      scene.height = size;
      const QImage image = RenderSceneHeadless(scene);
      if (image.isNull())
        status = Fail("cannot allocate the picture");
      else if (!WriteThumbnail(image, source, out, error))
        status = Fail(error);
    }
  }
  ReleaseReaderTable(pipeline.table);
  return status;
}

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

void LimitResources(int files) {
  struct sigaction sa {};
  sa.sa_handler = OnTimeLimit;
  sigaction(SIGALRM, &sa, nullptr);
  sigaction(SIGXCPU, &sa, nullptr);
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
  // The hard limit kills outright if the soft signal is not acted on; each
  // file gets its own share of it (StartFileLimits).
  const rlim_t cpu = rlim_t{kThumbnailCpuLimit} * static_cast<rlim_t>(files);
  lower(RLIMIT_CPU, kThumbnailCpuLimit, cpu + 2);
}

// Each file gets the time limits of a process of its own.
void StartFileLimits(int index) {
  alarm(kThumbnailTimeLimit);
  if (index == 0) return;
  struct rusage used {};
  struct rlimit lim {};
  if (getrusage(RUSAGE_SELF, &used) != 0 || getrlimit(RLIMIT_CPU, &lim) != 0) return;
  const rlim_t spent = static_cast<rlim_t>(used.ru_utime.tv_sec + used.ru_stime.tv_sec);
  rlim_t soft = spent + kThumbnailCpuLimit;
  if (lim.rlim_max != RLIM_INFINITY && soft > lim.rlim_max) soft = lim.rlim_max;
  if (lim.rlim_cur != RLIM_INFINITY && lim.rlim_cur > soft) return;
  lim.rlim_cur = soft;
  setrlimit(RLIMIT_CPU, &lim);
}

// One picture: 0 when out was written, else 1 with the reason on stderr.
int ThumbnailOne(LoadPipeline& pipeline, HeadlessContext& context, bool& haveContext, int size,
                 const std::string& in, const std::string& out) {
  struct stat st {};
  if (stat(in.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return Fail("not a readable file: " + in);
  if (st.st_size == 0) return Fail("empty file: " + in);
  if (st.st_size > kThumbnailMaxFileBytes) return Fail("file too large for a thumbnail: " + in);
  // The tags that let any program of the desktop tell a current thumbnail.
  ThumbSource source;
  if (!StatThumbSource(in, source)) return Fail("not a readable file: " + in);

  QuietHost host;
  const LoadOutcome outcome = LoadModelFile(pipeline, host, in);
  PolygonModel* model = CurrentModel.get();
  if (outcome != LoadOutcome::kLoaded || !model || model->PolygonCount() == 0) {
    for (const std::string& line : host.lines) fprintf(stderr, "%s\n", line.c_str());
    CurrentModel.reset();
    return Fail("nothing to draw in " + in);
  }
  std::string error;
  if (!haveContext && !context.Create(size, size, error)) return Fail(error);
  haveContext = true;
  Scene scene;
  SceneSetColors(scene, static_cast<int>(kDefaultBackColor), static_cast<int>(kDefaultObjectColor));
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
  // The next file starts from nothing, as in a process of its own.
  SceneSetModel(scene, nullptr, 0);
  CurrentModel.reset();
  if (image.isNull()) return Fail("cannot allocate the picture");
  if (!WriteThumbnail(image, source, out, error)) return Fail(error);
  return 0;
}

}  // namespace

bool IsThumbnailInvocation(int argc, char** argv) {
  return argc > 1 && std::string_view(argv[1]) == "--thumbnail";
}

int RunThumbnail(int argc, char** argv) {
  int size = 0;
  if (argc < 5 || (argc - 3) % 2 != 0 || !ParseSize(argv[2], size)) {
    fputs("usage: tarnelle --thumbnail SIZE IN OUT [IN OUT]...   (SIZE 1..4096; OUT is a PNG)\n",
          stderr);
    return 2;
  }
  const int files = (argc - 3) / 2;
  LimitResources(files);

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

  // One context for every picture: making it is most of a small model's time.
  HeadlessContext context;
  bool haveContext = false;
  int status = 0;
  for (int i = 0; i < files; ++i) {
    StartFileLimits(i);
    const int one =
        ThumbnailOne(pipeline, context, haveContext, size, argv[3 + 2 * i], argv[4 + 2 * i]);
    if (one != 0) status = 1;
    // Several files: say which are done, so that the caller can tell the
    // one that crashed or ran out of time from those not yet tried.
    if (files > 1) {
      printf("%d %s\n", i, one == 0 ? "ok" : "failed");
      fflush(stdout);
    }
  }
  ReleaseReaderTable(pipeline.table);
  return status;
}

#include "app/thumbnail_draw.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "app/settings.h"
#include "app/thumbnail.h"
#include "app/thumbnail_pipe.h"
#include "core/fd_io.h"
#include "core/pipeline.h"
#include "core/reader_table.h"
#include "core/sandbox.h"
#include "mesh/prepare_mesh.h"
#include "mesh/simplify.h"
#include "preview/headless.h"
#include "preview/scene.h"
#include "readers/builtin.h"

namespace {

namespace tp = thumbnail_pipe;

// Address space for the whole process, renderer included: a model from a
// file at the size limit fits, a hostile count cannot take the machine.
constexpr rlim_t kMemoryLimit = rlim_t{4} << 30;
// Three-quarter view: tilted to show the top, turned to show a side.
constexpr float kTiltDegrees = 25.0f;
constexpr float kTurnDegrees = -35.0f;
// Models with more triangles than this, or than the picture has pixels,
// are drawn through a coarse stand-in.
constexpr int32_t kThumbnailTriangles = 20000;

extern "C" void OnCpuLimit(int) { _exit(kThumbnailDrawerOutOfTime); }

// More triangles than this are drawn through a stand-in (set once the
// picture's size is known).
int32_t standInAbove = kThumbnailTriangles;

// The stand-in brings its own normals: preparing the whole model for
// display would cost more than reading it, for nothing the picture shows.
void PrepareUnlessStandIn(PolygonModel& model, bool shareVertices, bool fixOrientation) {
  if (model.PolygonCount() <= standInAbove) PrepareMesh(model, shareVertices, fixOrientation);
}

// Keeps the load log; it is passed on only when the file does not load.
class QuietHost : public LoadHost {
 public:
  LoadSettings Settings() const override { return LoadSettings{}; }
  void AppendLog(const std::string& line) override { lines.push_back(line); }
  std::vector<std::string> lines;
};

bool Send(int fd, tp::Kind kind, std::string text, const void* pixels = nullptr,
          size_t pixelBytes = 0) {
  if (text.size() > tp::kMaxTextBytes) text.resize(tp::kMaxTextBytes);
  const tp::Header h{kind, static_cast<uint32_t>(text.size())};
  return fd_io::WriteAll(fd, &h, sizeof h) && fd_io::WriteAll(fd, text.data(), text.size()) &&
         (pixelBytes == 0 || fd_io::WriteAll(fd, pixels, pixelBytes));
}

// Standard input and output lead nowhere (no terminal to push input into,
// no "N ok" line to forge), standard error too (the parent prints what the
// pipe says); the pipe to the parent becomes 3 and the one from it 4, the
// only other descriptors.
bool KeepOnlyThePipes(int out, int in) {
  const int null = open("/dev/null", O_RDWR | O_CLOEXEC);
  if (null < 0) return false;
  for (int std = 0; std < 3; ++std)
    if (dup2(null, std) != std) return false;
  // Moved out of the way first: either may already sit on 3 or 4.
  const int high = 10;
  out = fcntl(out, F_DUPFD_CLOEXEC, high);
  in = fcntl(in, F_DUPFD_CLOEXEC, high);
  if (out < 0 || in < 0 || dup3(out, 3, O_CLOEXEC) != 3 || dup3(in, 4, O_CLOEXEC) != 4)
    return false;
  if (syscall(SYS_close_range, 5U, ~0U, 0U) != 0) {
    for (int i = 5; i < 65536; ++i) close(i);
  }
  // Checked, not assumed: any other descriptor left makes this no sandbox.
  DIR* dir = opendir("/proc/self/fd");
  if (!dir) return true;  // no /proc: close_range or the loop did it
  const int own = dirfd(dir);
  bool clean = true;
  while (dirent* e = readdir(dir)) {
    if (e->d_name[0] == '.') continue;
    const int n = atoi(e->d_name);
    if (n > 4 && n != own) clean = false;
  }
  closedir(dir);
  return clean;
}

void LimitResources() {
  struct sigaction sa {};
  sa.sa_handler = OnCpuLimit;
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
  lower(RLIMIT_CORE, 0, 0);
  // The hard limit kills outright if the soft signal is not acted on; the
  // parent moves the soft one on for each file, so that each gets its own
  // share, and replaces the drawer once the hard one is near.
  lower(RLIMIT_CPU, kThumbnailCpuLimit, kThumbnailDrawerCpuLimit);
}

// Only one thread may exist when the sandbox closes: the kernel binds the
// calling thread and those it starts later to the read scope, and any
// other could be made to run the reader's code outside it.
bool SingleThreaded() {
  DIR* dir = opendir("/proc/self/task");
  if (!dir) return false;
  int threads = 0;
  while (dirent* e = readdir(dir))
    if (e->d_name[0] != '.') ++threads;
  closedir(dir);
  return threads == 1;
}

// Draws one file into pixels; false with the lines for standard error.
bool DrawOne(LoadPipeline& pipeline, int size, bool textures, const std::string& in,
             std::vector<uint8_t>& pixels, std::string& why) {
  QuietHost host;
  const LoadOutcome outcome = LoadModelFile(pipeline, host, in);
  PolygonModel* model = CurrentModel.get();
  if (outcome != LoadOutcome::kLoaded || !model || model->PolygonCount() == 0) {
    for (const std::string& line : host.lines) why += line + "\n";
    why += "tarnelle: nothing to draw in " + in + "\n";
    CurrentModel.reset();
    return false;
  }
  Scene scene;
  SceneSetColors(scene, static_cast<int>(kDefaultBackColor), static_cast<int>(kDefaultObjectColor));
  SceneSetCullMode(scene, 0);
  SceneSetRenderType(scene, 0);
  // A picture of 128 pixels cannot show a million triangles; a coarse
  // stand-in draws in a fraction of the time and looks the same.
  PolygonModel standIn;
  if (model->PolygonCount() > standInAbove) {
    standIn = SimplifyByClustering(*model, standInAbove);
    if (standIn.PolygonCount() > 0) {
      model = &standIn;
    } else {
      // Nothing left of it at that grain: drawn whole, prepared after all.
      try {
        PrepareMesh(*model, false, false);
      } catch (...) {
        why += "tarnelle: cannot prepare " + in + "\n";
        CurrentModel.reset();
        return false;
      }
    }
  }
  SceneSetModel(scene, model, 0);
  scene.textures = textures;
  if (textures && scene.model) {
    std::vector<std::string> unused;  // a texture that fails leaves the material colour
    scene.images = LoadSurfaceImages(model->appearance, in, unused);
  }
  SetViewPreset(scene.camera, 0);
  RotateScreen(scene.camera, kTiltDegrees, kTurnDegrees);
  scene.width = size;
  scene.height = size;
  RenderSceneHeadlessRgbx(scene, pixels.data());
  // The next file starts from nothing, as in a process of its own.
  SceneSetModel(scene, nullptr, 0);
  CurrentModel.reset();
  return true;
}

// The next request's path; false when the parent closed the pipe or sent
// what it never sends.
bool ReadRequest(int fd, std::string& path) {
  tp::Request r{};
  if (!fd_io::ReadAll(fd, &r, sizeof r) || r.pathBytes == 0 || r.pathBytes > tp::kMaxPathBytes)
    return false;
  path.resize(r.pathBytes);
  return fd_io::ReadAll(fd, path.data(), path.size());
}

}  // namespace

void RunThumbnailDrawer(const DrawerSetup& setup, int out, int in, pid_t parent) {
  // Ends with the parent, whatever the parent's end.
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (getppid() != parent) _exit(1);
  if (!KeepOnlyThePipes(out, in)) _exit(1);
  const int fd = 3, requests = 4;
  LimitResources();

  // Mesa in software (no device to open), without its shader cache on disk
  // (a folder to write, which the sandbox refuses: a reader must not plant
  // compiled code other programs would run). Compiling then costs more
  // than reading the cache did; the optimiser's passes are most of it and
  // gain little at thumbnail sizes.
  setenv("LIBGL_ALWAYS_SOFTWARE", "1", 1);
  setenv("MESA_SHADER_CACHE_DISABLE", "true", 1);
  setenv("GALLIVM_PERF", "nopt", 0);

  // The reader table of a first start with no settings file: built-ins,
  // then the plug-ins beside the executable, run here (no loader can be
  // started from inside the sandbox, and this is the same wall).
  LoadPipeline pipeline;
  const std::string exe = CurrentExecutablePath();
  const size_t slash = exe.find_last_of('/');
  const std::string pluginDir =
      (slash == std::string::npos ? std::string(".") : exe.substr(0, slash)) + "/Plugin/";
  const PluginSource plugins(pluginDir, exe, "-");
  BuildReaderTable(pipeline.table, BuiltinReaders(), false, &plugins);
  standInAbove = std::max(kThumbnailTriangles, setup.size * setup.size);
  pipeline.prepareMesh = PrepareUnlessStandIn;

  // The sandbox closes before the OpenGL context is made: the renderer
  // starts its drawing threads then, and only threads started after it are
  // bound by the read scope. The renderer's start-up runs inside too.
  if (!SingleThreaded()) {
    Send(fd, tp::kNoEnvironment, "tarnelle: threads run before the sandbox is up\n");
    _exit(1);
  }
  SandboxPolicy policy;
  policy.readable = setup.readable;
  policy.readable.push_back(pluginDir);
  policy.renderer = true;
  if (!EnterSandbox(policy).seccomp) {
    Send(fd, tp::kNoEnvironment, "tarnelle: cannot enter the sandbox for reading models\n");
    _exit(1);
  }
  // One context for every picture: making it is most of a small model's time.
  HeadlessContext context;
  std::string error;
  if (!context.Create(setup.size, setup.size, error)) {
    Send(fd, tp::kNoEnvironment, "tarnelle: " + error + "\n");
    _exit(1);
  }
  if (!Send(fd, tp::kReady, {})) _exit(1);

  std::vector<uint8_t> pixels(tp::PictureBytes(setup.size));
  std::string path;
  while (ReadRequest(requests, path)) {
    std::string why;
    const bool ok = DrawOne(pipeline, setup.size, setup.textures, path, pixels, why);
    const bool sent =
        ok ? Send(fd, tp::kPicture, {}, pixels.data(), pixels.size()) : Send(fd, tp::kFailed, why);
    if (!sent) _exit(1);
  }
  _exit(0);
}

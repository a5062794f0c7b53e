#include "app/cli.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "archive/archiver_table.h"
#include "archive/extract.h"
#include "archive/members.h"
#include "core/plugin_host.h"
#include "mesh/prepare_mesh.h"
#include "readers/builtin.h"

SnapshotFn g_snapshotRenderer = nullptr;

const char kVersion[] = TARNELLE_VERSION;

const char kUsage[] =
    "usage: tarnelle [FILE]                      start the viewer\n"
    "       tarnelle --help                      print this text\n"
    "       tarnelle --version                   print the version\n"
    "       tarnelle --info [OPTIONS] FILE...    print the load log of each file\n"
    "       tarnelle --dump [OPTIONS] FILE       print the log and the prepared model\n"
    "       tarnelle --snapshot OUT [OPTIONS] FILE  render FILE into OUT (.png, .jpg, .bmp)\n"
    "       tarnelle --list [--filter=N] ARCHIVE  list the model members of an archive\n"
    "       tarnelle --thumbnail SIZE IN OUT     file-manager thumbnail: SIZE x SIZE PNG\n"
    "FILE may be ARCHIVE//MEMBER: the member is extracted and loaded.\n"
    "options (in any order, before or after the files):\n"
    "  --filter=N        format filter item (0 all files, 1 all formats, 2+ one reader)\n"
    "  --share           merge coincident vertices\n"
    "  --orient          make polygon windings consistent\n"
    "  --angle=DEG       edge detection angle (default 120)\n"
    "  --raw             dump the model as read, without mesh preparation\n"
    "  --time            print read and prepare times on standard error\n"
    "  --plugins-first   try plug-in readers before the built-in ones\n"
    "  --no-plugins      do not read the Plugin folder\n"
    "  --render-type=0..4 --cull=0..2 --view=0..5 --size=WxH\n"
    "  --background=R,G,B --object=R,G,B --quality=1..100\n"
    "  --textures=0|1    draw materials and textures (--snapshot, --thumbnail; default 1)\n";

namespace {

using Clock = std::chrono::steady_clock;

bool ParseInt(std::string_view s, int lo, int hi, int& out) {
  if (s.empty() || s.size() > 12) return false;
  std::string t(s);
  char* end = nullptr;
  const long v = strtol(t.c_str(), &end, 10);
  if (*end != '\0' || v < lo || v > hi) return false;
  out = static_cast<int>(v);
  return true;
}

bool ParseRgb(std::string_view s, int rgb[3]) {
  for (int i = 0; i < 3; ++i) {
    const size_t comma = s.find(',');
    if ((i < 2) != (comma != std::string_view::npos)) return false;
    if (!ParseInt(s.substr(0, comma), 0, 255, rgb[i])) return false;
    if (i < 2) s.remove_prefix(comma + 1);
  }
  return true;
}

std::string ExecutablePath() {
  char buf[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return {};
  return std::string(buf, static_cast<size_t>(n));
}

// Prints the log to standard output as the pipeline writes it.
class CliHost : public LoadHost {
 public:
  explicit CliHost(const LoadSettings& s) : settings_(s) {}
  LoadSettings Settings() const override { return settings_; }
  void AppendLog(const std::string& line) override {
    fwrite(line.data(), 1, line.size(), stdout);
    fputc('\n', stdout);
  }

 private:
  LoadSettings settings_;
};

// Times the mesh preparation the pipeline runs.
Clock::time_point g_prepStart, g_prepEnd;
bool g_prepared = false;
void TimedPrepareMesh(PolygonModel& model, bool share, bool orient) {
  g_prepStart = Clock::now();
  g_prepared = true;
  PrepareMesh(model, share, orient);
  g_prepEnd = Clock::now();
}

void DumpModel(const PolygonModel* model, bool withNormals) {
  if (!model) {
    fputs("model 0 0\n", stdout);
    return;
  }
  const int32_t nv = model->VertexCount(), np = model->PolygonCount();
  printf("model %d %d\n", nv, np);
  for (const Float3& v : model->vertices) printf("v %.9g %.9g %.9g\n", v.x, v.y, v.z);
  for (int32_t p = 0; p < np; ++p) {
    const int32_t n = model->nv(p);
    const int32_t* idx = model->index(p);
    printf("f %d", n);
    for (int32_t i = 0; i < n; ++i) printf(" %d", idx[i]);
    const int32_t m = model->material(p);
    printf(" m %d", m);
    if (m >= 0) {
      const Float3& c = model->color(p);
      printf(" c %.9g %.9g %.9g", c.x, c.y, c.z);
    }
    putchar('\n');
  }
  if (!withNormals) return;
  for (const Float3& n : model->polygonNormals) printf("pn %.9g %.9g %.9g\n", n.x, n.y, n.z);
  for (const Float3& n : model->vertexNormals) printf("vn %.9g %.9g %.9g\n", n.x, n.y, n.z);
}

// The archiver modules beside the executable (then on the system's library
// path), loaded on first use.
struct CliArchivers {
  ArchiverTable table;
  std::string moduleDir;
  bool loaded = false;
  ~CliArchivers() { UnloadArchivers(table); }
  // The slot that reads path; null, with the reason on standard error, when none does.
  const ArchiverSlot* SlotFor(const std::string& path) {
    if (!loaded) LoadArchivers(table, {moduleDir, true});
    loaded = true;
    struct stat st;
    if (stat(path.c_str(), &st) != 0) {
      if (errno == ENOENT || errno == ENOTDIR)
        fprintf(stderr, "tarnelle: %s: no such file\n", path.c_str());
      else
        fprintf(stderr, "tarnelle: %s: cannot be read (%s)\n", path.c_str(), strerror(errno));
      return nullptr;
    }
    if (S_ISDIR(st.st_mode)) {
      fprintf(stderr, "tarnelle: %s: is a folder, not an archive\n", path.c_str());
      return nullptr;
    }
    if (const int err = ArchiveOpenError(path); err != 0) {
      fprintf(stderr, "tarnelle: %s: cannot be read (%s)\n", path.c_str(), strerror(err));
      return nullptr;
    }
    const int i = DetectArchiver(table, path);
    if (i != kNoArchiver) return &table.archivers[static_cast<size_t>(i)];
    fprintf(stderr, "tarnelle: %s: not an archive that any archiver module reads\n", path.c_str());
    if (!table.missing.empty())
      fprintf(stderr, "tarnelle: %s\n", MissingArchiversMessage(table).c_str());
    return nullptr;
  }
};

int ListArchive(const CliOptions& opt, const ReaderTable& readers, CliArchivers& archivers) {
  const std::string& path = opt.files.front();
  const ArchiverSlot* slot = archivers.SlotFor(path);
  if (!slot) return 1;
  const int filter = opt.load.filterIndex;
  std::string mask;
  if (filter == 1) {
    for (const FormatReader& r : readers) mask += (mask.empty() ? "" : ";") + r.mask;
  } else if (filter >= 2 && static_cast<size_t>(filter - 2) < readers.size()) {
    mask = readers[static_cast<size_t>(filter - 2)].mask;
  }
  std::vector<MemberRow> rows;
  bool incomplete = false;
  if (!ListMembers(*slot, path, mask, filter == 0, rows, &incomplete)) {
    fprintf(stderr, "tarnelle: %s: the archive cannot be read\n", path.c_str());
    return 1;
  }
  for (const MemberRow& r : rows)
    printf("%s\t%s\t%s\t%s\n", r.path.c_str(), r.size.c_str(), r.type.c_str(), r.date.c_str());
  // What survives is listed; that it is not all is said.
  if (incomplete) fprintf(stderr, "tarnelle: %s\n", IncompleteListText(path).c_str());
  return 0;
}

// A private folder for one extracted member, with a trailing "/".
std::string MakeScratchFolder() {
  const char* tmp = getenv("TMPDIR");
  std::string tmpl = std::string(tmp && tmp[0] == '/' ? tmp : "/tmp") + "/tarnelle-XXXXXX";
  if (!mkdtemp(tmpl.data())) return {};
  return tmpl + "/";
}

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

}  // namespace

StartKind CheckArguments(int argc, char** argv, CliOptions& opt, std::string& error) {
  for (int i = 1; i < argc; ++i) {
    const std::string_view a = argv[i];
    if (a == "--") break;
    if (a == "--help" || a == "-h") return StartKind::kHelp;
    if (a == "--version") return StartKind::kVersion;
  }
  if (!ParseCommandLine(argc, argv, opt, error)) return StartKind::kUsageError;
  if (opt.mode != CliOptions::Mode::kViewer) return StartKind::kHeadless;
  if (opt.optionCount > 0) {
    error = "the viewer takes one FILE and no options";
    return StartKind::kUsageError;
  }
  return StartKind::kViewer;
}

bool ParseCommandLine(int argc, char** argv, CliOptions& opt, std::string& error) {
  bool optionsDone = false;
  for (int i = 1; i < argc; ++i) {
    const std::string_view a = argv[i];
    auto value = [&](std::string_view name, std::string_view& v) {
      if (a.size() > name.size() && a.substr(0, name.size()) == name && a[name.size()] == '=') {
        v = a.substr(name.size() + 1);
        return true;
      }
      return false;
    };
    std::string_view v;
    bool ok = true;
    if (optionsDone || a.size() < 2 || a.substr(0, 2) != "--") {
      opt.files.emplace_back(a);
      continue;
    }
    const bool isMode = a == "--info" || a == "--dump" || a == "--snapshot" || a == "--";
    if (!isMode) ++opt.optionCount;
    if (a == "--") {
      optionsDone = true;
    } else if (a == "--info") {
      opt.mode = CliOptions::Mode::kInfo;
    } else if (a == "--dump") {
      opt.mode = CliOptions::Mode::kDump;
    } else if (a == "--list") {
      opt.mode = CliOptions::Mode::kList;
    } else if (a == "--snapshot") {
      if (i + 1 >= argc) {
        error = "--snapshot needs an output file";
        return false;
      }
      opt.mode = CliOptions::Mode::kSnapshot;
      opt.snapshotOut = argv[++i];
    } else if (a == "--raw") {
      opt.raw = true;
    } else if (a == "--time") {
      opt.time = true;
    } else if (a == "--share") {
      opt.load.shareVertices = true;
    } else if (a == "--orient") {
      opt.load.fixOrientation = true;
    } else if (a == "--plugins-first") {
      opt.pluginsFirst = true;
    } else if (a == "--no-plugins") {
      opt.noPlugins = true;
    } else if (value("--filter", v)) {
      ok = ParseInt(v, 0, INT_MAX, opt.load.filterIndex);
    } else if (value("--angle", v)) {
      std::string t(v);
      char* end = nullptr;
      const double d = strtod(t.c_str(), &end);
      ok = !t.empty() && *end == '\0' && d >= -1e6 && d <= 1e6;
      opt.load.angle = static_cast<float>(d);
    } else if (value("--render-type", v)) {
      ok = ParseInt(v, 0, 4, opt.load.renderType);
    } else if (value("--cull", v)) {
      ok = ParseInt(v, 0, 2, opt.load.cullMode);
    } else if (value("--view", v)) {
      ok = ParseInt(v, 0, 5, opt.view);
    } else if (value("--quality", v)) {
      ok = ParseInt(v, 1, 100, opt.quality);
    } else if (value("--size", v)) {
      const size_t x = v.find('x');
      ok = x != std::string_view::npos && ParseInt(v.substr(0, x), 1, 16384, opt.width) &&
           ParseInt(v.substr(x + 1), 1, 16384, opt.height);
    } else if (value("--textures", v)) {
      int on = 1;
      ok = ParseInt(v, 0, 1, on);
      opt.textures = on != 0;
    } else if (value("--background", v)) {
      ok = ParseRgb(v, opt.background);
    } else if (value("--object", v)) {
      ok = ParseRgb(v, opt.object);
    } else {
      error = "unknown option: " + std::string(a);
      return false;
    }
    if (!ok) {
      error = "bad value: " + std::string(a);
      return false;
    }
  }
  if (opt.mode == CliOptions::Mode::kViewer) {
    // Toolkit options ("-style fusion") take values of their own: the
    // toolkit removes them and the viewer counts what is left.
    bool toolkitOptions = false;
    for (const std::string& f : opt.files) toolkitOptions |= f.size() > 1 && f[0] == '-';
    if (opt.files.size() > 1 && !toolkitOptions) {
      error = "the viewer takes at most one file";
      return false;
    }
    return true;
  }
  if (opt.files.empty()) {
    error = "no file given";
    return false;
  }
  if (opt.mode != CliOptions::Mode::kInfo && opt.files.size() != 1) {
    error = "--dump, --snapshot and --list take exactly one file";
    return false;
  }
  return true;
}

SnapshotOptions SnapshotOptionsOf(const CliOptions& opt) {
  SnapshotOptions s;
  s.out = opt.snapshotOut;
  s.renderType = opt.load.renderType;
  s.cullMode = opt.load.cullMode;
  s.view = opt.view;
  s.width = opt.width;
  s.height = opt.height;
  for (int i = 0; i < 3; ++i) {
    s.background[i] = opt.background[i];
    s.object[i] = opt.object[i];
  }
  s.quality = opt.quality;
  s.textures = opt.textures;
  return s;
}

int RunCommandLine(int argc, char** argv) {
  CliOptions opt;
  std::string error;
  if (!ParseCommandLine(argc, argv, opt, error) || opt.mode == CliOptions::Mode::kViewer) {
    if (error.empty()) error = "no mode given";
    fprintf(stderr, "tarnelle: %s\n%s", error.c_str(), kUsage);
    return 2;
  }
  if (opt.mode == CliOptions::Mode::kSnapshot && !g_snapshotRenderer) {
    fprintf(stderr, "tarnelle: --snapshot is not available in this build\n");
    return 2;
  }

  LoadPipeline pipeline;
  const std::string exe = ExecutablePath();
  PluginSource plugins;
  const size_t slash = exe.find_last_of('/');
  plugins.exePath = exe;
  plugins.pluginDir =
      (slash == std::string::npos ? std::string(".") : exe.substr(0, slash)) + "/Plugin/";
  BuildReaderTable(pipeline.table, BuiltinReaders(), opt.pluginsFirst,
                   opt.noPlugins ? nullptr : &plugins);
  const bool raw = opt.raw && opt.mode == CliOptions::Mode::kDump;
  pipeline.prepareMesh = raw ? nullptr : TimedPrepareMesh;

  CliArchivers archivers;
  archivers.moduleDir = slash == std::string::npos ? std::string(".") : exe.substr(0, slash);
  if (opt.mode == CliOptions::Mode::kList) {
    const int listed = ListArchive(opt, pipeline.table, archivers);
    fflush(stdout);
    ReleaseReaderTable(pipeline.table);
    return listed;
  }

  CliHost host(opt.load);
  int status = 0;
  for (const std::string& file : opt.files) {
    g_prepared = false;
    const Clock::time_point t0 = Clock::now();
    // ARCHIVE//MEMBER: the member's extracted copy is loaded under that name.
    std::string path = file, display, archivePath, member, scratch;
    if (SplitMemberArgument(file, archivePath, member)) {
      const ArchiverSlot* slot = archivers.SlotFor(archivePath);
      scratch = slot ? MakeScratchFolder() : std::string();
      int result = 0;
      if (!slot || scratch.empty() ||
          !ExtractToFolder(*slot, archivePath, member, scratch, path, &result)) {
        const std::string refusal = ExtractRefusalText(result, file);
        if (!refusal.empty())
          fprintf(stderr, "tarnelle: %s\n", refusal.c_str());
        else if (slot)
          fprintf(stderr, "tarnelle: %s: %s\n", file.c_str(), kExtractFailedMessage);
        if (!scratch.empty()) {
          unlink(path.c_str());
          rmdir(scratch.c_str());
        }
        status = 1;
        continue;
      }
      display = MemberDisplayName(archivePath, member);
    }
    const LoadOutcome outcome = LoadModelFile(pipeline, host, path, display);
    const Clock::time_point t1 = Clock::now();
    if (!scratch.empty()) {
      unlink(path.c_str());
      rmdir(scratch.c_str());
    }
    if (outcome == LoadOutcome::kFailed) status = 1;
    if (opt.time) {
      const double read = Ms((g_prepared ? g_prepStart : t1) - t0);
      const double prep = g_prepared ? Ms(g_prepEnd - g_prepStart) : 0.0;
      const PolygonModel* m = CurrentModel.get();
      fflush(stdout);
      fprintf(stderr, "time: read %.3f ms, prepare %.3f ms, vertices %d, polygons %d\n", read, prep,
              m ? m->VertexCount() : 0, m ? m->PolygonCount() : 0);
    }
    if (opt.mode == CliOptions::Mode::kDump) DumpModel(CurrentModel.get(), !raw);
    if (opt.mode == CliOptions::Mode::kSnapshot) {
      // A file that did not load has no picture: OUT is left untouched.
      std::string why;
      if (outcome == LoadOutcome::kFailed) {
        fprintf(stderr, "tarnelle: %s was not loaded; %s is not written\n", file.c_str(),
                opt.snapshotOut.c_str());
      } else {
        SnapshotOptions s = SnapshotOptionsOf(opt);
        std::vector<std::string> lines;
        s.modelPath = path;
        s.log = &lines;
        const int failed = g_snapshotRenderer(s, CurrentModel.get(), why);
        for (const std::string& line : lines) printf("%s\n", line.c_str());
        if (failed != 0) {
          fprintf(stderr, "tarnelle: %s\n", why.c_str());
          status = 1;
        }
      }
    }
  }
  fflush(stdout);
  ReleaseReaderTable(pipeline.table);
  return status;
}

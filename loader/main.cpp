// tarnelle-loader: runs reader plug-ins for tarnelle, one load per process.
// tarnelle starts it with a socket on descriptor 3 and a memory file on 4,
// maybe ahead of need: it opens the plug-ins it is named, then waits for
// the limits and folders of its load, enters the sandbox, and answers
// IsSupport and Load of plug-ins by path, handing a loaded model back from
// its memory or through the memory file. No plug-in sees a model file
// before the limits and the sandbox are in force.
#include <dirent.h>
#include <dlfcn.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <new>
#include <string>
#include <vector>

#include "core/appearance_wire.h"
#include "core/fd_io.h"
#include "core/loader_protocol.h"
#include "core/model.h"
#include "core/sandbox.h"
#include "loader/crash_note.h"
#include "loader/open_watch.h"

namespace lp = loader_protocol;

namespace {

using GetPluginVerFn = int32_t (*)(const char*);
using IsSupportFn = int32_t (*)(const char*);
using LoadFn = int32_t (*)(const char*);
using GetErrMsgFn = const char* (*)();

struct Plugin {
  IsSupportFn isSupport = nullptr;
  LoadFn load = nullptr;
  GetErrMsgFn getErrMsg = nullptr;
};

struct Options {
  std::string exePath;
  std::vector<std::string> plugins;
  uint64_t memory = 0;
  uint32_t cpu = 0;
  std::vector<std::string> readable;
};

bool ReadAll(void* buf, size_t n) { return fd_io::ReadAll(lp::kSocketFd, buf, n); }

bool WriteAll(const void* buf, size_t n) { return fd_io::WriteAll(lp::kSocketFd, buf, n); }

// The appearance's table of the last load's reply, which the parent reads
// from this process's memory until the next request.
std::vector<uint8_t> g_table;

// The model's counts, and its appearance's table with each image at
// imageAt.
lp::ModelHeader HeaderFor(const PolygonModel& m, const std::vector<uint64_t>& imageAt) {
  lp::ModelHeader h{};
  h.vertices = m.vertices.size();
  h.polygons = static_cast<uint64_t>(m.PolygonCount());
  h.corners = m.indexPool.size();
  g_table = appearance_wire::EncodeTable(m.appearance, imageAt, h);
  return h;
}

bool SendReply(int32_t result, const std::string& error, const PolygonModel* m = nullptr) {
  const char kind = lp::kReply;
  lp::Reply reply{result, static_cast<uint32_t>(error.size()), {}, {}};
  if (m) {
    std::vector<uint64_t> imageAt;
    for (const EmbeddedImage& i : m->appearance.images)
      imageAt.push_back(reinterpret_cast<uintptr_t>(i.data.data()));
    reply.model = HeaderFor(*m, imageAt);
    const void* where[lp::kArrays] = {m->vertices.data(),
                                      m->polyStart.data(),
                                      m->indexPool.data(),
                                      m->polyMaterial.data(),
                                      m->polyColor.data(),
                                      m->appearance.polygonMaterial.data(),
                                      m->appearance.cornerUV.data(),
                                      g_table.data()};
    for (int i = 0; i < lp::kArrays; ++i) reply.where[i] = reinterpret_cast<uintptr_t>(where[i]);
  }
  return WriteAll(&kind, 1) && WriteAll(&reply, sizeof reply) &&
         WriteAll(error.data(), error.size());
}

// Names the files the sandbox refused since the last request, if any.
bool SendRefused() {
  const RefusedOpens r = TakeRefusedOpens();
  if (r.total == 0) return true;
  std::string text;
  for (const std::string& p : r.first) {
    if (text.size() + p.size() + 1 > lp::kMaxRefusedText) break;
    text += p;
    text += '\n';
  }
  const char kind = lp::kRefused;
  const lp::RefusedHeader h{r.total, static_cast<uint32_t>(text.size())};
  return WriteAll(&kind, 1) && WriteAll(&h, sizeof h) && WriteAll(text.data(), text.size());
}

// Whether nothing but the standard streams, the socket and the model file
// is open: the parent closes the rest, and this checks that it did.
bool OnlyProtocolDescriptors() {
  DIR* dir = opendir("/proc/self/fd");
  if (!dir) return false;
  bool only = true;
  while (const dirent* e = readdir(dir)) {
    if (e->d_name[0] == '.') continue;
    const int fd = atoi(e->d_name);
    if (fd > lp::kModelFd && fd != dirfd(dir)) only = false;
  }
  closedir(dir);
  return only;
}

// The plug-in's text, cut at a UTF-8 character boundary.
std::string ErrorText(const Plugin& p) {
  const char* t = p.getErrMsg ? p.getErrMsg() : nullptr;
  if (!t) return {};
  size_t n = strnlen(t, lp::kMaxErrorLen);
  if (n == lp::kMaxErrorLen)
    while (n > 0 && (static_cast<unsigned char>(t[n]) & 0xC0) == 0x80) --n;
  return std::string(t, n);
}

template <typename Put>
bool PutImages(const SurfaceAppearance& a, Put& put) {
  for (const EmbeddedImage& i : a.images)
    if (!put(i.data.data(), i.data.size())) return false;
  return true;
}

// Copies the model into the memory file, for a parent that may not read
// this process's memory. Written, not mapped: page faults on a fresh
// mapping cost more than the copy itself.
bool PublishModel(const PolygonModel& m) {
  // The images follow the arrays, in order.
  lp::ModelHeader h = HeaderFor(m, {});
  uint64_t bytes[lp::kArrays];
  lp::ArrayBytes(h, bytes);
  uint64_t next = sizeof h;
  for (const uint64_t b : bytes) next += b;
  std::vector<uint64_t> imageAt;
  for (const EmbeddedImage& i : m.appearance.images) {
    imageAt.push_back(next);
    next += i.data.size();
  }
  h = HeaderFor(m, imageAt);
  if (ftruncate(lp::kModelFd, static_cast<off_t>(lp::ModelBytes(h))) != 0) return false;
  off_t at = 0;
  auto put = [&at](const void* src, size_t n) {
    if (!fd_io::PwriteAll(lp::kModelFd, src, n, at)) return false;
    at += static_cast<off_t>(n);
    return true;
  };
  return put(&h, sizeof h) && put(m.vertices.data(), h.vertices * 12) &&
         put(m.polyStart.data(), (h.polygons + 1) * 4) && put(m.indexPool.data(), h.corners * 4) &&
         put(m.polyMaterial.data(), h.polygons * 4) && put(m.polyColor.data(), h.polygons * 12) &&
         put(m.appearance.polygonMaterial.data(), h.polygonMaterials * 4) &&
         put(m.appearance.cornerUV.data(), h.cornerUVs * 8) && put(g_table.data(), h.tableBytes) &&
         PutImages(m.appearance, put);
}

bool ParseOptions(int argc, char** argv, Options& o) {
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string key = argv[i];
    const char* value = argv[i + 1];
    if (key == "--exe")
      o.exePath = value;
    else if (key == "--plugin")
      o.plugins.emplace_back(value);
    else
      return false;
  }
  return true;
}

// The load's limits and folders, as the parent sends them.
bool ReadSetup(Options& o) {
  lp::Setup setup{};
  if (!ReadAll(&setup, sizeof setup) || setup.folders > lp::kMaxFolders) return false;
  o.memory = setup.memory;
  o.cpu = setup.cpuSeconds;
  for (uint32_t i = 0; i < setup.folders; ++i) {
    uint32_t len = 0;
    if (!ReadAll(&len, sizeof len) || len > lp::kMaxPathLen) return false;
    std::string folder(len, '\0');
    if (!ReadAll(folder.data(), len)) return false;
    o.readable.push_back(std::move(folder));
  }
  return true;
}

Plugin OpenPlugin(const std::string& path, const std::string& exePath) {
  Plugin p;
  if (void* module = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL)) {
    // The plug-in sees the same start as in the window: the handshake
    // first.
    if (auto ver = reinterpret_cast<GetPluginVerFn>(dlsym(module, "GetPluginVer")))
      ver(exePath.c_str());
    p.isSupport = reinterpret_cast<IsSupportFn>(dlsym(module, "IsSupport"));
    p.load = reinterpret_cast<LoadFn>(dlsym(module, "Load"));
    p.getErrMsg = reinterpret_cast<GetErrMsgFn>(dlsym(module, "GetErrMsg"));
  }
  return p;
}

void SetLimits(const Options& o) {
  auto lower = [](int resource, rlim_t want) {
    rlimit l;
    if (getrlimit(resource, &l) != 0) return;
    // Never above what the caller already had (the thumbnailer has a cap
    // of its own).
    if (l.rlim_cur != RLIM_INFINITY && want > l.rlim_cur) want = l.rlim_cur;
    if (l.rlim_max != RLIM_INFINITY && want > l.rlim_max) want = l.rlim_max;
    l.rlim_cur = want;
    if (l.rlim_max == RLIM_INFINITY || l.rlim_max > want) l.rlim_max = want;
    setrlimit(resource, &l);
  };
  if (o.memory > 0) lower(RLIMIT_AS, o.memory);
  // SIGXCPU at the limit, SIGKILL a second later; counted from now, not
  // from the start of a loader that waited as a spare.
  if (o.cpu > 0) {
    rlimit l;
    rusage used{};
    if (getrlimit(RLIMIT_CPU, &l) == 0 && getrusage(RUSAGE_SELF, &used) == 0) {
      const rlim_t soft = static_cast<rlim_t>(o.cpu) + static_cast<rlim_t>(used.ru_utime.tv_sec) +
                          static_cast<rlim_t>(used.ru_stime.tv_sec);
      if (l.rlim_cur == RLIM_INFINITY || soft < l.rlim_cur) l.rlim_cur = soft;
      if (l.rlim_max == RLIM_INFINITY || soft + 1 < l.rlim_max) l.rlim_max = soft + 1;
      if (l.rlim_cur > l.rlim_max) l.rlim_cur = l.rlim_max;
      setrlimit(RLIMIT_CPU, &l);
    }
  }
  // A crashing plug-in leaves no core file behind.
  rlimit none{0, 0};
  setrlimit(RLIMIT_CORE, &none);
}

}  // namespace

int main(int argc, char** argv) {
  // --probe: which containment this kernel gives.
  if (argc == 2 && strcmp(argv[1], "--probe") == 0) {
    printf("%s\n", DescribeSandbox(EnterSandbox({})).c_str());
    return 0;
  }
  Options opt;
  if (!ParseOptions(argc, argv, opt)) return 2;
  // A loader whose caller is gone has nobody to answer.
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  // Nothing of the parent's but the socket and the model file stays open.
  close_range(lp::kModelFd + 1, ~0U, 0);
  if (!OnlyProtocolDescriptors()) return 2;
  // The plug-ins are the window's own (it opened them too); only a model
  // file can make them misbehave, and none is named before the sandbox.
  std::map<std::string, Plugin> plugins;
  for (const std::string& p : opt.plugins) plugins.emplace(p, OpenPlugin(p, opt.exePath));
  // Built while waiting, loaded once the load is known.
  const SeccompProgram filter = BuildSeccompProgram(false);
  if (!ReadSetup(opt)) return 0;
#if defined(__SANITIZE_ADDRESS__)
  // The sanitizer's shadow memory needs far more address space than any cap.
  opt.memory = 0;
#endif
  SetLimits(opt);
  // The cap in force, which an inherited one may have made smaller.
  rlimit as{};
  getrlimit(RLIMIT_AS, &as);
  InstallCrashNote(opt.memory == 0 || as.rlim_cur == RLIM_INFINITY ? 0 : as.rlim_cur);
  // A plug-in runs whether or not the kernel offers containment. The
  // memory file holds at most what the address space does.
  EnterSandbox({opt.readable, false, opt.memory}, &filter);

  CurrentModel = std::make_unique<PolygonModel>();
  try {
    while (true) {
      lp::Request req;
      if (!ReadAll(&req, sizeof req)) return 0;
      if (req.pluginLen > lp::kMaxPathLen || req.pathLen > lp::kMaxPathLen) return 2;
      std::string pluginPath(req.pluginLen, '\0'), path(req.pathLen, '\0');
      if (!ReadAll(pluginPath.data(), pluginPath.size()) || !ReadAll(path.data(), path.size()))
        return 2;

      if (req.op == lp::Op::kPublish) {
        if (!SendReply(PublishModel(*CurrentModel) ? 1 : 0, {})) return 0;
        continue;
      }
      auto it = plugins.find(pluginPath);
      if (it == plugins.end())
        it = plugins.emplace(pluginPath, OpenPlugin(pluginPath, opt.exePath)).first;
      const Plugin& p = it->second;
      if (!p.isSupport || !p.load) {
        if (!SendReply(lp::kNoPlugin, {})) return 0;
        continue;
      }
      bool sent;
      ResetRefusedOpens();
      if (req.op == lp::Op::kIsSupport) {
        const int32_t answer = p.isSupport(path.c_str());
        sent = SendRefused() && SendReply(answer, {});
      } else {
        CurrentModel->Clear();
        const int32_t result = p.load(path.c_str());
        // A failed load's model goes back too: the command line's dump
        // shows it.
        sent =
            SendRefused() && SendReply(result, (result & 0xFF) == 0 ? ErrorText(p) : std::string(),
                                       CurrentModel.get());
      }
      if (!sent) return 0;
    }
  } catch (const std::bad_alloc&) {
    _exit(lp::kExitOutOfMemory);
  }
}

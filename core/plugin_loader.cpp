#include "core/plugin_loader.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <vector>

#include "core/fd_io.h"
#include "core/load_progress.h"
#include "core/loader_protocol.h"
#include "core/loader_reply.h"
#include "core/loader_spawn.h"
#include "core/sandbox.h"

namespace lp = loader_protocol;

namespace {

constexpr char kLoaderFailed[] = "プラグインの読み込みプロセスを起動できませんでした。";
constexpr char kLoaderBroken[] = "プラグインの読み込みプロセスが不正な応答を返しました。";
constexpr char kRefusedFiles[] = "サンドボックスにより開けなかったファイル: ";
constexpr char kRefusedMore[] = " ほか %llu 件";
constexpr char kPluginOutput[] = "プラグインの出力: ";
// How much of a plug-in's output is kept for the log.
constexpr size_t kKeptOutput = 4096;
constexpr size_t kKeptRefused = 5;

constexpr uint64_t kMiB = 1024 * 1024;
constexpr uint64_t kMaxCap = 16ull * 1024 * kMiB;
constexpr int kDefaultCpuFloor = 20;
// CPU seconds allowed per this many bytes of the file, beyond the floor.
constexpr uint64_t kBytesPerCpuSecond = 4 * kMiB;
// How often the wait for the child looks at the cancel flag.
constexpr int kPollSliceMs = 20;

// The furthest position among a process's descriptors open on path, or -1
// (none, or its descriptors cannot be read). A plug-in that maps the file
// shows no position.
int64_t ReadPosition(pid_t pid, const std::string& path) {
  if (pid <= 0 || path.empty()) return -1;
  const std::string proc = "/proc/" + std::to_string(pid);
  DIR* dir = opendir((proc + "/fd").c_str());
  if (!dir) return -1;
  int64_t best = -1;
  char target[PATH_MAX];
  while (const dirent* e = readdir(dir)) {
    if (e->d_name[0] == '.') continue;
    const ssize_t n = readlink((proc + "/fd/" + e->d_name).c_str(), target, sizeof target - 1);
    if (n <= 0 || static_cast<size_t>(n) != path.size() || path.compare(0, n, target, n) != 0)
      continue;
    if (FILE* info = fopen((proc + "/fdinfo/" + e->d_name).c_str(), "re")) {
      long long pos = -1;
      if (fscanf(info, "pos: %lld", &pos) == 1) best = std::max<int64_t>(best, pos);
      fclose(info);
    }
  }
  closedir(dir);
  return best;
}

int64_t NowMs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

uint64_t EnvNumber(const char* name, uint64_t fallback) {
  const char* v = getenv(name);
  if (!v || !*v) return fallback;
  char* end = nullptr;
  const unsigned long long n = strtoull(v, &end, 10);
  return (end && *end == '\0' && n > 0) ? n : fallback;
}

std::string Format(const char* fmt, long long a, const char* b = "") {
  char buf[256];
  snprintf(buf, sizeof buf, fmt, a, b);
  return buf;
}

std::string CrashText(int sig) {
  const char* abbrev = sigabbrev_np(sig);
  return Format("プラグインがシグナル %lld (SIG%s) で異常終了しました。", sig,
                abbrev ? abbrev : "?");
}

std::string ExitText(int status) {
  return Format("プラグインが終了コード %lld で終了しました。", status);
}

std::string MemoryText(uint64_t cap) {
  return Format("プラグインがメモリの上限 (%lld MiB) に達したため中止しました。",
                static_cast<long long>(cap / kMiB));
}

std::string TimeText(int seconds) {
  return Format("プラグインが時間の上限 (%lld 秒) に達したため中止しました。", seconds);
}

// The end of what a plug-in printed, as one line: controls become spaces
// and a cut character at the front is dropped.
std::string OutputLine(const std::string& printed) {
  size_t from = 0;
  while (from < printed.size() && (static_cast<unsigned char>(printed[from]) & 0xC0) == 0x80)
    ++from;
  std::string line;
  for (size_t i = from; i < printed.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(printed[i]);
    line += c < 0x20 || c == 0x7F ? ' ' : static_cast<char>(c);
  }
  const size_t a = line.find_first_not_of(' ');
  const size_t b = line.find_last_not_of(' ');
  return a == std::string::npos ? std::string() : line.substr(a, b - a + 1);
}

}  // namespace

LoaderSpawn LoaderSpawnFor(const ReaderTable& table, const FormatReader& r) {
  LoaderSpawn s{r.loaderPath, r.exePath, {}};
  for (const FormatReader& t : table)
    if (!t.pluginFile.empty() && t.loaderPath == r.loaderPath) s.plugins.push_back(t.pluginFile);
  return s;
}

void PrestartPluginLoader(const ReaderTable& table) {
  for (const FormatReader& r : table)
    if (!r.loaderPath.empty()) {
      PrepareSpareLoader(LoaderSpawnFor(table, r));
      return;
    }
}

uint64_t LoaderAddressSpaceCap() {
  const long pages = sysconf(_SC_PHYS_PAGES);
  const long pageSize = sysconf(_SC_PAGESIZE);
  uint64_t cap = kMaxCap;
  if (pages > 0 && pageSize > 0)
    cap = std::min(cap, static_cast<uint64_t>(pages) * static_cast<uint64_t>(pageSize) / 4 * 3);
  return EnvNumber(kLoaderMemoryEnv, cap / kMiB) * kMiB;
}

LoaderLimits LoaderLimitsFor(uint64_t fileSize) {
  LoaderLimits l;
  // The child inherits this process's own limits (the thumbnailer has
  // some): the smaller ones hold, and the log names them.
  auto inherited = [](int resource, uint64_t want) {
    rlimit r;
    if (getrlimit(resource, &r) == 0 && r.rlim_cur != RLIM_INFINITY)
      want = std::min<uint64_t>(want, r.rlim_cur);
    return want;
  };
  l.addressSpace = inherited(RLIMIT_AS, LoaderAddressSpaceCap());
  const uint64_t floor = EnvNumber(kLoaderCpuEnv, kDefaultCpuFloor);
  l.cpuSeconds = static_cast<int>(
      inherited(RLIMIT_CPU, std::min<uint64_t>(floor + fileSize / kBytesPerCpuSecond, 3600)));
  // A plug-in may also sleep or block; the guard leaves room for a busy
  // machine.
  l.wallSeconds = 2 * l.cpuSeconds + 5;
  return l;
}

PluginLoaderSession::PluginLoaderSession(const ReaderTable& table, std::string modelPath)
    : table_(table), modelPath_(std::move(modelPath)) {}

PluginLoaderSession::~PluginLoaderSession() {
  Stop();
  // The next load finds its loader started.
  if (!spare_.loaderPath.empty()) RenewSpareLoader(spare_);
}

bool PluginLoaderSession::Start(const FormatReader& r, std::string& error) {
  struct stat st;
  modelSize_ = stat(modelPath_.c_str(), &st) == 0 ? static_cast<int64_t>(st.st_size) : 0;
  limits_ = LoaderLimitsFor(static_cast<uint64_t>(modelSize_));
  if (char* real = realpath(modelPath_.c_str(), nullptr)) {
    realModelPath_ = real;
    free(real);
  }

  // Folders the loader may read: the model's (and its parent, for
  // companion files), also as the name given, which may be a link into
  // another folder, and every plug-in's.
  std::set<std::string> readable;
  AddModelFolders(modelPath_, readable);
  std::set<std::string> pluginDirs;
  for (const FormatReader& t : table_)
    if (!t.pluginFile.empty())
      pluginDirs.insert(t.pluginFile.substr(0, t.pluginFile.rfind('/') + 1));
  for (const std::string& d : pluginDirs) {
    char* real = realpath(d.empty() ? "." : d.c_str(), nullptr);
    readable.insert(real ? real : d);
    free(real);
  }

  std::vector<char> setup(sizeof(lp::Setup));
  const lp::Setup head{limits_.addressSpace, static_cast<uint32_t>(limits_.cpuSeconds),
                       static_cast<uint32_t>(readable.size())};
  memcpy(setup.data(), &head, sizeof head);
  for (const std::string& d : readable) {
    const uint32_t len = static_cast<uint32_t>(d.size());
    setup.insert(setup.end(), reinterpret_cast<const char*>(&len),
                 reinterpret_cast<const char*>(&len) + sizeof len);
    setup.insert(setup.end(), d.begin(), d.end());
  }
  auto begin = [&](const LoaderChild& c) {
    return fd_io::SendAll(c.sock, setup.data(), setup.size());
  };

  // The spare started for this table, else one of our own that opens only
  // the plug-in asked for.
  spare_ = LoaderSpawnFor(table_, r);
  LoaderChild child;
  bool started = TakeSpareLoader(spare_, child) && begin(child);
  if (!started) {
    StopLoader(child);
    started = SpawnLoader({r.loaderPath, r.exePath, {r.pluginFile}}, child) && begin(child);
  }
  if (!started) {
    StopLoader(child);
    error = kLoaderFailed;
    return false;
  }
  pid_ = child.pid;
  sock_ = child.sock;
  memfd_ = child.memfd;
  output_ = child.output;
  deadlineMs_ = NowMs() + static_cast<int64_t>(limits_.wallSeconds) * 1000;
  outOfMemory_ = false;
  return true;
}

void PluginLoaderSession::Stop() {
  LoaderChild child{pid_, sock_, memfd_, output_};
  StopLoader(child);
  pid_ = sock_ = memfd_ = output_ = -1;
}

// Waits for the child to end (killing it when it does not on its own) and
// names the reason.
std::string PluginLoaderSession::Reap(bool killedForTime) {
  if (killedForTime || LoadCancelled()) kill(-pid_, SIGKILL);
  int status = 0;
  rusage usage{};
  // The socket closed, so the child is dying or dead; a child that closed
  // it and lives on is stopped.
  pid_t got;
  const int64_t until = NowMs() + 2000;
  while ((got = wait4(pid_, &status, WNOHANG, &usage)) == 0 && NowMs() < until) usleep(1000);
  if (got == 0) {
    kill(-pid_, SIGKILL);
    got = wait4(pid_, &status, 0, &usage);
  }
  pid_ = -1;
  DrainOutput();
  std::string text;
  if (killedForTime) {
    text = TimeText(limits_.wallSeconds);
  } else if (outOfMemory_ ||
             (got > 0 && WIFEXITED(status) && WEXITSTATUS(status) == lp::kExitOutOfMemory)) {
    text = MemoryText(limits_.addressSpace);
  } else if (got > 0 && WIFSIGNALED(status)) {
    // The kernel sends SIGXCPU at the CPU limit and SIGKILL a second later.
    const int sig = WTERMSIG(status);
    const long cpu = usage.ru_utime.tv_sec + usage.ru_stime.tv_sec;
    const bool overCpu = sig == SIGXCPU || (sig == SIGKILL && cpu >= limits_.cpuSeconds);
    text = overCpu ? TimeText(limits_.cpuSeconds) : CrashText(sig);
  } else if (got > 0 && WIFEXITED(status) && WEXITSTATUS(status) != 0) {
    // A plug-in that called exit().
    text = ExitText(WEXITSTATUS(status));
  } else {
    text = kLoaderBroken;
  }
  Stop();
  return text;
}

bool PluginLoaderSession::ReadExactly(void* buf, size_t n, bool& timedOut) {
  char* p = static_cast<char*>(buf);
  timedOut = false;
  while (n > 0) {
    if (LoadCancelled()) return false;
    const int64_t left = deadlineMs_ - NowMs();
    if (left <= 0) {
      timedOut = true;
      return false;
    }
    pollfd pfd[2] = {{sock_, POLLIN, 0}, {output_, POLLIN, 0}};
    const int pr =
        poll(pfd, output_ >= 0 ? 2 : 1, static_cast<int>(std::min<int64_t>(left, kPollSliceMs)));
    if (pr < 0 && errno != EINTR) return false;
    // What the plug-in prints is read as it comes, so that it never blocks
    // on a full pipe.
    if (pr > 0 && output_ >= 0 && pfd[1].revents != 0) DrainOutput();
    if (pr <= 0 || pfd[0].revents == 0) {
      if (pr > 0) continue;
      // The bytes the plug-in has read so far, for the progress bar; the
      // window's progress watcher may cancel from the checkpoint.
      if (LoadControl* c = InstalledLoadControl()) {
        const int64_t at = ReadPosition(pid_, realModelPath_);
        if (at > 0)
          ReportLoadBytes(*c, at, modelSize_);
        else if (c->onCheckpoint)
          c->onCheckpoint(*c);
      }
      continue;
    }
    const ssize_t r = read(sock_, p, n);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return false;
    p += r;
    n -= static_cast<size_t>(r);
  }
  return true;
}

PluginLoaderSession::Result PluginLoaderSession::Call(const FormatReader& r, uint32_t op,
                                                      std::string& errorText, lp::Reply* replyOut) {
  Result res;
  if (pid_ < 0 && !Start(r, res.error)) {
    res.died = true;
    return res;
  }
  lp::Request req{static_cast<lp::Op>(op), static_cast<uint32_t>(r.pluginFile.size()),
                  static_cast<uint32_t>(modelPath_.size())};
  bool ok = fd_io::SendAll(sock_, &req, sizeof req) &&
            fd_io::SendAll(sock_, r.pluginFile.data(), r.pluginFile.size()) &&
            fd_io::SendAll(sock_, modelPath_.data(), modelPath_.size());
  bool timedOut = false;
  while (ok) {
    char kind = 0;
    if (!ReadExactly(&kind, 1, timedOut)) break;
    if (kind == lp::kOutOfMemory) {
      outOfMemory_ = true;
      continue;
    }
    if (kind == lp::kRefused) {
      if (!ReadRefused(timedOut)) break;
      continue;
    }
    lp::Reply reply;
    if (kind != lp::kReply || !ReadExactly(&reply, sizeof reply, timedOut) ||
        reply.errorLen > lp::kMaxErrorLen)
      break;
    errorText.resize(reply.errorLen);
    if (reply.errorLen && !ReadExactly(errorText.data(), reply.errorLen, timedOut)) break;
    res.value = reply.result;
    if (replyOut) *replyOut = reply;
    return res;
  }
  res.died = true;
  res.error = Reap(timedOut);
  return res;
}

void PluginLoaderSession::DrainOutput() {
  if (output_ < 0) return;
  char buf[4096];
  while (true) {
    const ssize_t n = read(output_, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n == 0) {
      // Closed by the plug-in or at its end: nothing more will come.
      close(output_);
      output_ = -1;
    }
    if (n <= 0) break;
    printed_.append(buf, static_cast<size_t>(n));
    if (printed_.size() > 2 * kKeptOutput) printed_.erase(0, printed_.size() - kKeptOutput);
  }
}

// The loader's list of refused files; nothing in it is trusted beyond its
// bounds.
bool PluginLoaderSession::ReadRefused(bool& timedOut) {
  lp::RefusedHeader h{};
  if (!ReadExactly(&h, sizeof h, timedOut) || h.textLen > lp::kMaxRefusedText) return false;
  std::string text(h.textLen, '\0');
  if (h.textLen > 0 && !ReadExactly(text.data(), text.size(), timedOut)) return false;
  size_t named = 0;
  for (size_t at = 0; at < text.size();) {
    size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    const std::string path = OutputLine(text.substr(at, end - at));
    at = end + 1;
    ++named;
    if (path.empty() || std::find(refused_.begin(), refused_.end(), path) != refused_.end())
      continue;
    refused_.push_back(path);
  }
  refusedTotal_ = std::max<uint64_t>({refusedTotal_, h.total, named});
  return true;
}

std::vector<std::string> PluginLoaderSession::TakeNotes(bool failed) {
  std::vector<std::string> notes;
  if (!refused_.empty()) {
    std::string line = kRefusedFiles;
    const size_t shown = std::min(refused_.size(), kKeptRefused);
    for (size_t i = 0; i < shown; ++i) line += (i ? ", " : "") + refused_[i];
    const uint64_t total = std::max<uint64_t>(refusedTotal_, refused_.size());
    if (total > shown) {
      char more[64];
      snprintf(more, sizeof more, kRefusedMore, static_cast<unsigned long long>(total - shown));
      line += more;
    }
    notes.push_back(std::move(line));
  }
  DrainOutput();
  if (failed) {
    const size_t keep = std::min(printed_.size(), kKeptOutput);
    const std::string line = OutputLine(printed_.substr(printed_.size() - keep));
    if (!line.empty()) notes.push_back(kPluginOutput + line);
  }
  refused_.clear();
  refusedTotal_ = 0;
  printed_.clear();
  return notes;
}

PluginLoaderSession::Result PluginLoaderSession::IsSupport(const FormatReader& r) {
  std::string unused;
  Result res = Call(r, static_cast<uint32_t>(lp::Op::kIsSupport), unused);
  if (!res.died && res.value == lp::kNoPlugin) res.value = -1;
  return res;
}

PluginLoaderSession::Result PluginLoaderSession::Load(const FormatReader& r, PolygonModel& model) {
  std::string text;
  lp::Reply reply{};
  Result res = Call(r, static_cast<uint32_t>(lp::Op::kLoad), text, &reply);
  if (res.died) return res;
  // A failed load leaves its partial model too, as an in-process reader's
  // would.
  const LoaderRead read = ReadLoaderModel(pid_, reply, limits_.addressSpace, model);
  bool copied = read == LoaderRead::kDone;
  if (read == LoaderRead::kForbidden) {
    // Reading the loader's memory may be forbidden (ptrace rules): the
    // loader writes the model into the memfd instead.
    std::string unused;
    const FormatReader publish;
    Result pub = Call(publish, static_cast<uint32_t>(lp::Op::kPublish), unused, nullptr);
    if (pub.died) return pub;
    copied = pub.value == 1 && CopyLoaderModel(memfd_, limits_.addressSpace, model);
  }
  if ((res.value & 0xFF) == 0) {
    res.error = std::move(text);
  } else if (!copied) {
    res.value = 0;
    res.error = kLoaderBroken;
  }
  return res;
}

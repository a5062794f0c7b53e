#include "app/thumbnail.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <QImage>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "app/thumbnail_cache.h"
#include "app/thumbnail_draw.h"
#include "app/thumbnail_pipe.h"
#include "core/fd_io.h"
#include "core/sandbox.h"

namespace {

namespace tp = thumbnail_pipe;
using Clock = std::chrono::steady_clock;

constexpr std::string_view kWorker = "--thumbnail-worker";
constexpr int kWorkerNice = 10;

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

void Say(const std::string& why) { fprintf(stderr, "tarnelle: %s\n", why.c_str()); }

// The text the drawer sends, with control characters other than line
// breaks and tabs made visible: it may come from a hostile reader, and
// standard error may be a terminal.
void SayFromDrawer(std::string text) {
  for (char& c : text) {
    const unsigned char u = static_cast<unsigned char>(c);
    if ((u < 0x20 && c != '\n' && c != '\t') || u == 0x7f) c = '?';
  }
  fputs(text.c_str(), stderr);
}

// Why IN is turned away before anything reads it; empty when it is not.
std::string Precheck(const std::string& in, ThumbSource& source) {
  struct stat st {};
  if (stat(in.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return "not a readable file: " + in;
  if (st.st_size == 0) return "empty file: " + in;
  if (st.st_size > kThumbnailMaxFileBytes) return "file too large for a thumbnail: " + in;
  if (in.size() > tp::kMaxPathBytes) return "path too long for a thumbnail: " + in;
  // The tags that let any program of the desktop tell a current thumbnail,
  // taken before the file is read: a change meanwhile makes it stale.
  if (!StatThumbSource(in, source)) return "not a readable file: " + in;
  return {};
}

struct Drawer {
  pid_t pid = -1;
  int fd = -1;   // from the drawer
  int req = -1;  // to the drawer
  bool ready = false;
  std::vector<std::string> scope;  // what its readers may read
};

bool StartDrawer(const DrawerSetup& setup, Drawer& d) {
  int from[2], to[2];
  if (pipe2(from, O_CLOEXEC) != 0) return false;
  if (pipe2(to, O_CLOEXEC) != 0) {
    close(from[0]);
    close(from[1]);
    return false;
  }
  // What is buffered here must not be written twice.
  fflush(stdout);
  fflush(stderr);
  const pid_t parent = getpid();
  const pid_t pid = fork();
  if (pid < 0) {
    for (int fd : {from[0], from[1], to[0], to[1]}) close(fd);
    return false;
  }
  if (pid == 0) {
    close(from[0]);
    close(to[1]);
    RunThumbnailDrawer(setup, from[1], to[0], parent);
  }
  close(from[1]);
  close(to[0]);
  d = Drawer{pid, from[0], to[1], false, setup.readable};
  return true;
}

// Whether every folder of need lies within one of scope.
bool Covers(const std::vector<std::string>& scope, const std::vector<std::string>& need) {
  return std::all_of(need.begin(), need.end(), [&](const std::string& f) {
    return std::any_of(scope.begin(), scope.end(), [&](const std::string& s) {
      return f == s || (f.size() > s.size() && f.compare(0, s.size(), s) == 0 &&
                        (s.back() == '/' || f[s.size()] == '/'));
    });
  });
}

std::vector<std::string> FoldersOf(const std::vector<std::string>& files) {
  std::set<std::string> folders;
  for (const std::string& f : files) AddModelFolders(f, folders);
  return {folders.begin(), folders.end()};
}

// Ends the drawer (at once when kill is set, else once it has exited on its
// own, at the latest by deadline) and says why it ended.
std::string EndDrawer(Drawer& d, bool kill, Clock::time_point deadline) {
  close(d.fd);
  close(d.req);
  int status = 0;
  pid_t done = 0;
  if (kill) ::kill(d.pid, SIGKILL);
  while (!kill && (done = waitpid(d.pid, &status, WNOHANG)) == 0 && Clock::now() < deadline) {
    const timespec pause{0, 5'000'000};
    nanosleep(&pause, nullptr);
  }
  if (done == 0) {
    ::kill(d.pid, SIGKILL);
    while (waitpid(d.pid, &status, 0) < 0 && errno == EINTR) {
    }
  }
  d = Drawer{};
  if (kill || done == 0) return "thumbnail time limit reached";
  if (WIFEXITED(status) && WEXITSTATUS(status) == kThumbnailDrawerOutOfTime)
    return "thumbnail time limit reached";
  if (WIFSIGNALED(status) && (WTERMSIG(status) == SIGKILL || WTERMSIG(status) == SIGXCPU))
    return "thumbnail time limit reached";
  if (WIFSIGNALED(status))
    return "the reader ended with signal " + std::to_string(WTERMSIG(status)) + " (" +
           strsignal(WTERMSIG(status)) + ")";
  return "the reader ended early";
}

// Each file gets the processor time of a process of its own: the drawer's
// soft limit moves to what it has used plus the share. False when its hard
// limit leaves less than that: a new drawer takes the file.
bool GiveCpuShare(pid_t pid) {
  clockid_t clock;
  timespec used{};
  rlimit lim{};
  if (clock_getcpuclockid(pid, &clock) != 0 || clock_gettime(clock, &used) != 0 ||
      prlimit(pid, RLIMIT_CPU, nullptr, &lim) != 0)
    return false;
  const rlim_t soft = static_cast<rlim_t>(used.tv_sec) + 1 + kThumbnailCpuLimit;
  if (lim.rlim_max != RLIM_INFINITY && soft + 1 > lim.rlim_max) return false;
  lim.rlim_cur = soft;
  return prlimit(pid, RLIMIT_CPU, &lim, nullptr) == 0;
}

enum class Got { kAll, kTimeOut, kEnded };

// n bytes from the drawer before deadline.
Got ReadBefore(int fd, void* data, size_t n, Clock::time_point deadline) {
  char* p = static_cast<char*>(data);
  while (n > 0) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return Got::kTimeOut;
    pollfd pfd{fd, POLLIN, 0};
    const int ready = poll(&pfd, 1, static_cast<int>(left));
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0) return Got::kEnded;
    if (ready == 0) return Got::kTimeOut;
    const ssize_t r = read(fd, p, n);
    if (r < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (r <= 0) return Got::kEnded;
    p += r;
    n -= static_cast<size_t>(r);
  }
  return Got::kAll;
}

// One message's header and text; false when the drawer ended, ran out of
// time or sent what no drawer sends (it is then ended, and why says so).
bool ReadMessage(Drawer& d, Clock::time_point deadline, tp::Header& h, std::string& text,
                 std::string& why) {
  Got got = ReadBefore(d.fd, &h, sizeof h, deadline);
  if (got == Got::kAll && h.textBytes > tp::kMaxTextBytes) {
    EndDrawer(d, true, deadline);
    why = "the reader sent a malformed reply";
    return false;
  }
  if (got == Got::kAll) {
    text.resize(h.textBytes);
    got = ReadBefore(d.fd, text.data(), text.size(), deadline);
  }
  if (got == Got::kAll) return true;
  why = EndDrawer(d, got == Got::kTimeOut, deadline);
  return false;
}

enum class Outcome { kWritten, kFailed, kNoEnvironment };

// Draws in into out through d, which is started (or replaced) with the
// setup want when it is not running, cannot read what want names, or has
// used up its processor time.
Outcome ThumbnailOne(Drawer& d, const DrawerSetup& want, const std::string& in,
                     const ThumbSource& source, const std::string& out, QImage& picture) {
  const auto deadline = Clock::now() + std::chrono::seconds(kThumbnailTimeLimit);
  tp::Header h{};
  std::string text, why;
  for (int attempt = 0;; ++attempt) {
    if (d.pid >= 0 && (!Covers(d.scope, want.readable) || (d.ready && !GiveCpuShare(d.pid))))
      EndDrawer(d, true, deadline);
    if (d.pid < 0 && !StartDrawer(want, d)) {
      Say(std::string("cannot start the drawing process: ") + strerror(errno));
      return Outcome::kNoEnvironment;
    }
    if (!d.ready) {
      // Until it says it is ready no reader has run: whatever stops it is
      // the environment's fault, not the file's.
      if (!ReadMessage(d, deadline, h, text, why)) {
        Say("the drawing process did not start: " + why);
        return Outcome::kNoEnvironment;
      }
      SayFromDrawer(text);
      if (h.kind != tp::kReady) {
        EndDrawer(d, true, deadline);
        return Outcome::kNoEnvironment;
      }
      d.ready = true;
    }
    // A pipe the drawer empties before it answers: this never blocks.
    const tp::Request request{static_cast<uint32_t>(in.size())};
    if (fd_io::WriteAll(d.req, &request, sizeof request) &&
        fd_io::WriteAll(d.req, in.data(), in.size()))
      break;
    // The drawer ended, or shut its end, after its last file: that is no
    // fault of this one, which a new drawer takes.
    EndDrawer(d, true, deadline);
    if (attempt > 0) {
      Say("the drawing process takes no files: " + in);
      return Outcome::kFailed;
    }
  }
  if (!ReadMessage(d, deadline, h, text, why)) {
    Say(why + ": " + in);
    return Outcome::kFailed;
  }
  SayFromDrawer(text);
  if (h.kind == tp::kFailed) return Outcome::kFailed;
  if (h.kind != tp::kPicture) {
    EndDrawer(d, true, deadline);
    Say("the reader sent a malformed reply: " + in);
    return Outcome::kFailed;
  }
  // The size is the one asked for, whatever the drawer thinks it is.
  const Got got = ReadBefore(d.fd, picture.bits(), tp::PictureBytes(want.size), deadline);
  if (got != Got::kAll) {
    Say(EndDrawer(d, got == Got::kTimeOut, deadline) + ": " + in);
    return Outcome::kFailed;
  }
  std::string error;
  if (!WriteThumbnail(picture.convertToFormat(QImage::Format_RGB888), source, out, error)) {
    Say(error);
    return Outcome::kNoEnvironment;
  }
  return Outcome::kWritten;
}

// One NUL-ended field of standard input; false at its end (or on a field
// longer than any path, which ends the run: the caller is not ours).
bool ReadField(std::string& field) {
  field.clear();
  for (int c; (c = getc(stdin)) != EOF;) {
    if (c == '\0') return true;
    if (field.size() > 2 * tp::kMaxPathBytes) return false;
    field.push_back(static_cast<char>(c));
  }
  return false;
}

// A picture of the size asked for, reused for every file; the drawer fills
// it, the parent never resizes it on the drawer's word.
bool MakePicture(int size, QImage& picture) {
  picture = QImage(size, size, QImage::Format_RGBX8888);
  if (!picture.isNull() && picture.bytesPerLine() == size * 4) return true;
  Say("cannot allocate the picture");
  return false;
}

// --thumbnail-worker SIZE: requests on standard input, one answer line
// each; the drawer is kept, its read scope that of the file it was
// started for (a folder change starts a new one: Landlock cannot widen).
int RunWorker(int size, bool textures) {
  // Below the window that waits for the pictures: a worker on every
  // processor must not take the window's turn when it has work.
  errno = 0;
  const int priority = getpriority(PRIO_PROCESS, 0);
  if (errno == 0 && priority < kWorkerNice) setpriority(PRIO_PROCESS, 0, kWorkerNice);
  QImage picture;
  if (!MakePicture(size, picture)) return kThumbnailNoEnvironment;
  Drawer drawer;
  int status = kThumbnailWritten;
  std::string in, out;
  while (ReadField(in) && ReadField(out)) {
    ThumbSource source;
    const std::string away = Precheck(in, source);
    Outcome one = Outcome::kFailed;
    if (!away.empty())
      Say(away);
    else
      one = ThumbnailOne(drawer, DrawerSetup{size, FoldersOf({in}), textures}, in, source, out,
                         picture);
    if (one == Outcome::kNoEnvironment) {
      status = kThumbnailNoEnvironment;
      break;
    }
    printf("%s\n", one == Outcome::kWritten ? "ok" : "failed");
    fflush(stdout);
  }
  if (drawer.pid > 0) EndDrawer(drawer, true, Clock::now());
  return status;
}

}  // namespace

bool IsThumbnailInvocation(int argc, char** argv) {
  return argc > 1 &&
         (std::string_view(argv[1]) == "--thumbnail" || std::string_view(argv[1]) == kWorker);
}

int RunThumbnail(int argc, char** argv) {
  // A caller that ignores SIGCHLD hands that on: the drawer's end would
  // then not be waited for, and its cause lost. A drawer that died leaves
  // a pipe that says so by EPIPE, not by a signal.
  signal(SIGCHLD, SIG_DFL);
  signal(SIGPIPE, SIG_IGN);
  // --textures=0|1 may stand anywhere after --thumbnail; the rest are in place.
  bool textures = true;
  std::vector<char*> args;
  for (int i = 0; i < argc; ++i) {
    const std::string_view a = argv[i];
    if (i > 1 && (a == "--textures=0" || a == "--textures=1"))
      textures = a.back() == '1';
    else
      args.push_back(argv[i]);
  }
  argc = static_cast<int>(args.size());
  argv = args.data();
  int size = 0;
  if (std::string_view(argv[1]) == kWorker) {
    if (argc != 3 || !ParseSize(argv[2], size)) {
      fputs("usage: tarnelle --thumbnail-worker SIZE   (requests IN\\0OUT\\0 on stdin)\n", stderr);
      return kThumbnailUsage;
    }
    return RunWorker(size, textures);
  }
  if (argc < 5 || (argc - 3) % 2 != 0 || !ParseSize(argv[2], size)) {
    fputs("usage: tarnelle --thumbnail SIZE IN OUT [IN OUT]...   (SIZE 1..4096; OUT is a PNG)\n",
          stderr);
    return kThumbnailUsage;
  }
  const size_t files = static_cast<size_t>(argc - 3) / 2;
  std::vector<std::string> inputs, outputs, turnedAway(files);
  std::vector<ThumbSource> sources(files);
  for (size_t i = 0; i < files; ++i) {
    inputs.push_back(argv[3 + 2 * i]);
    outputs.push_back(argv[4 + 2 * i]);
    turnedAway[i] = Precheck(inputs[i], sources[i]);
  }
  QImage picture;
  if (!MakePicture(size, picture)) return kThumbnailNoEnvironment;

  // One drawer for the run, reading below the folders of the files it has
  // left: one that replaces a drawer a reader killed reads no more than
  // the files after it need.
  std::vector<DrawerSetup> from(files, DrawerSetup{size, {}, textures});
  std::set<std::string> left;
  for (size_t i = files; i-- > 0;) {
    if (turnedAway[i].empty()) AddModelFolders(inputs[i], left);
    from[i].readable.assign(left.begin(), left.end());
  }
  Drawer drawer;
  int status = kThumbnailWritten;
  for (size_t i = 0; i < files; ++i) {
    Outcome one = Outcome::kFailed;
    if (!turnedAway[i].empty())
      Say(turnedAway[i]);
    else
      one = ThumbnailOne(drawer, from[i], inputs[i], sources[i], outputs[i], picture);
    if (one == Outcome::kNoEnvironment) {
      status = kThumbnailNoEnvironment;
      break;
    }
    if (one == Outcome::kFailed) status = kThumbnailFileFailed;
    // Several files: say which are done, so that the caller can tell the
    // ones tried from those the run did not reach.
    if (files > 1) {
      printf("%zu %s\n", i, one == Outcome::kWritten ? "ok" : "failed");
      fflush(stdout);
    }
  }
  if (drawer.pid > 0) EndDrawer(drawer, true, Clock::now());
  return status;
}

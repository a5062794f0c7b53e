#include "core/loader_spawn.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <thread>

#include "core/loader_protocol.h"

extern char** environ;

namespace lp = loader_protocol;

bool SpawnLoader(const LoaderSpawn& what, LoaderChild& out) {
  out = {};
  int sv[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) return false;
  // The plug-in's output goes to a pipe that the parent reads: never to a
  // terminal, never mixed with the command line's output.
  int pipeEnds[2];
  const int memfd = memfd_create("tarnelle-model", MFD_CLOEXEC);
  if (memfd < 0 || pipe2(pipeEnds, O_CLOEXEC) != 0) {
    if (memfd >= 0) close(memfd);
    close(sv[0]);
    close(sv[1]);
    return false;
  }
  std::vector<std::string> args = {what.loaderPath, "--exe", what.exePath};
  for (const std::string& p : what.plugins) {
    args.push_back("--plugin");
    args.push_back(p);
  }
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);

  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&fa, pipeEnds[1], STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&fa, pipeEnds[1], STDERR_FILENO);
  posix_spawn_file_actions_adddup2(&fa, sv[1], lp::kSocketFd);
  posix_spawn_file_actions_adddup2(&fa, memfd, lp::kModelFd);
  // Whatever another thread opened without close-on-exec stays here.
  posix_spawn_file_actions_addclosefrom_np(&fa, lp::kModelFd + 1);
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  // The child starts with default signal handling whatever the caller set.
  sigset_t all;
  sigfillset(&all);
  posix_spawnattr_setsigdefault(&attr, &all);
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigmask(&attr, &none);
  // A session and process group of its own: no controlling terminal, and
  // one kill stops whatever it is.
  posix_spawnattr_setflags(&attr,
                           POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSID);
  pid_t pid = -1;
  const int rc = posix_spawn(&pid, what.loaderPath.c_str(), &fa, &attr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&fa);
  posix_spawnattr_destroy(&attr);
  close(sv[1]);
  close(pipeEnds[1]);
  out = {rc == 0 ? pid : -1, sv[0], memfd, pipeEnds[0]};
  fcntl(out.output, F_SETFL, O_NONBLOCK);
  if (rc != 0) {
    StopLoader(out);
    return false;
  }
  return true;
}

void StopLoader(LoaderChild& c) {
  if (c.pid > 0) {
    // The whole group: the loader leads it.
    kill(-c.pid, SIGKILL);
    kill(c.pid, SIGKILL);
    while (waitpid(c.pid, nullptr, 0) < 0 && errno == EINTR) {
    }
  }
  for (int fd : {c.sock, c.memfd, c.output})
    if (fd >= 0) close(fd);
  c = {};
}

namespace {

// One spare, made on one thread for the life of the process.
struct Spare {
  std::mutex mutex;
  std::condition_variable wake;
  std::optional<LoaderSpawn> wanted;  // what the thread is asked to start
  LoaderSpawn madeFor;
  LoaderChild child;
  bool threadStarted = false;
  // A spare being started, and what for: a load that comes meanwhile
  // waits for it rather than start a second process beside it.
  std::optional<LoaderSpawn> starting;
  std::condition_variable started;

  void Run() {
    std::unique_lock<std::mutex> lock(mutex);
    while (true) {
      wake.wait(lock, [this] { return wanted.has_value(); });
      LoaderSpawn what = std::move(*wanted);
      wanted.reset();
      if (child.pid > 0 && madeFor == what) continue;
      LoaderChild old = child;
      child = {};
      starting = what;
      lock.unlock();
      StopLoader(old);
      LoaderChild fresh;
      const bool ok = SpawnLoader(what, fresh);
      lock.lock();
      starting.reset();
      if (ok && child.pid < 0) {
        child = fresh;
        madeFor = std::move(what);
      } else if (ok) {
        lock.unlock();
        StopLoader(fresh);
        lock.lock();
      }
      started.notify_all();
    }
  }
};

Spare& TheSpare() {
  // Never destroyed: its thread runs until the process ends.
  static Spare* spare = new Spare;
  return *spare;
}

}  // namespace

bool TakeSpareLoader(const LoaderSpawn& what, LoaderChild& out) {
  Spare& s = TheSpare();
  std::unique_lock<std::mutex> lock(s.mutex);
  // Starting one takes a few milliseconds; a second start beside it would
  // take longer on a busy machine.
  s.started.wait_for(lock, std::chrono::milliseconds(200), [&] {
    return !(s.starting && *s.starting == what) && !(s.wanted && *s.wanted == what);
  });
  if (s.child.pid < 0 || !(s.madeFor == what)) return false;
  out = s.child;
  s.child = {};
  // A spare that died waiting (killed from outside) is no use.
  if (waitpid(out.pid, nullptr, WNOHANG) != 0) {
    out.pid = -1;
    StopLoader(out);
    return false;
  }
  return true;
}

void RenewSpareLoader(const LoaderSpawn& what) {
  {
    Spare& s = TheSpare();
    std::lock_guard<std::mutex> lock(s.mutex);
    if (!s.threadStarted) return;
  }
  PrepareSpareLoader(what);
}

void PrepareSpareLoader(const LoaderSpawn& what) {
  Spare& s = TheSpare();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.wanted = what;
  if (!s.threadStarted) {
    s.threadStarted = true;
    std::thread([&s] { s.Run(); }).detach();
  }
  s.wake.notify_one();
}

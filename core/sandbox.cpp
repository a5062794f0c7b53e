#include "core/sandbox.h"

#include <fcntl.h>
#include <linux/filter.h>
#include <linux/landlock.h>
#include <linux/seccomp.h>
#include <sched.h>
#include <seccomp.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <initializer_list>
#include <utility>

// Landlock rights and scopes of later ABIs than the system headers know.
namespace ll {
constexpr uint64_t kRefer = 1ULL << 13;                   // ABI 2
constexpr uint64_t kTruncate = 1ULL << 14;                // ABI 3
constexpr uint64_t kIoctlDev = 1ULL << 15;                // ABI 5
constexpr uint64_t kNetBindTcp = 1ULL << 0;               // ABI 4
constexpr uint64_t kNetConnectTcp = 1ULL << 1;            // ABI 4
constexpr uint64_t kScopeAbstractUnixSocket = 1ULL << 0;  // ABI 6
constexpr uint64_t kScopeSignal = 1ULL << 1;              // ABI 6

// The ruleset attribute as ABI 6 has it; older kernels are given a prefix.
struct RulesetAttr {
  uint64_t handledAccessFs;
  uint64_t handledAccessNet;
  uint64_t scoped;
};
}  // namespace ll

namespace {

// Where the dynamic linker finds the plug-ins' own libraries (opened when
// the first request names the plug-in), and their locale data.
constexpr const char* kSystemReadable[] = {"/usr/lib", "/lib",           "/usr/lib64",
                                           "/lib64",   "/usr/local/lib", "/etc/ld.so.cache"};
// What a software OpenGL renderer reads while it draws.
constexpr const char* kRendererReadable[] = {"/usr/share/drirc.d", "/etc/drirc", "/usr/share/glvnd",
                                             "/usr/share/X11/xkb"};

uint64_t HandledFs(int abi) {
  uint64_t a =
      LANDLOCK_ACCESS_FS_EXECUTE | LANDLOCK_ACCESS_FS_WRITE_FILE | LANDLOCK_ACCESS_FS_READ_FILE |
      LANDLOCK_ACCESS_FS_READ_DIR | LANDLOCK_ACCESS_FS_REMOVE_DIR | LANDLOCK_ACCESS_FS_REMOVE_FILE |
      LANDLOCK_ACCESS_FS_MAKE_CHAR | LANDLOCK_ACCESS_FS_MAKE_DIR | LANDLOCK_ACCESS_FS_MAKE_REG |
      LANDLOCK_ACCESS_FS_MAKE_SOCK | LANDLOCK_ACCESS_FS_MAKE_FIFO | LANDLOCK_ACCESS_FS_MAKE_BLOCK |
      LANDLOCK_ACCESS_FS_MAKE_SYM;
  if (abi >= 2) a |= ll::kRefer;
  if (abi >= 3) a |= ll::kTruncate;
  if (abi >= 5) a |= ll::kIoctlDev;
  return a;
}

bool AllowRead(int ruleset, const char* path) {
  const int fd = open(path, O_PATH | O_CLOEXEC);
  if (fd < 0) return false;
  landlock_path_beneath_attr rule{};
  rule.parent_fd = fd;
  rule.allowed_access = LANDLOCK_ACCESS_FS_READ_FILE | LANDLOCK_ACCESS_FS_EXECUTE;
  // Directories also allow listing; a single file takes file rights only.
  struct stat st;
  if (fstat(fd, &st) == 0 && S_ISDIR(st.st_mode))
    rule.allowed_access |= LANDLOCK_ACCESS_FS_READ_DIR;
  const bool ok =
      syscall(SYS_landlock_add_rule, ruleset, LANDLOCK_RULE_PATH_BENEATH, &rule, 0) == 0;
  close(fd);
  return ok;
}

bool EnterLandlock(const SandboxPolicy& policy, int& abiOut) {
  const long abi =
      syscall(SYS_landlock_create_ruleset, nullptr, 0, LANDLOCK_CREATE_RULESET_VERSION);
  if (abi < 1) return false;
  ll::RulesetAttr attr{};
  attr.handledAccessFs = HandledFs(static_cast<int>(abi));
  size_t size = sizeof attr.handledAccessFs;
  // No TCP at all (no rule grants any port), then no signals and no
  // abstract sockets beyond the process itself.
  if (abi >= 4) {
    attr.handledAccessNet = ll::kNetBindTcp | ll::kNetConnectTcp;
    size += sizeof attr.handledAccessNet;
  }
  if (abi >= 6) {
    attr.scoped = ll::kScopeAbstractUnixSocket | ll::kScopeSignal;
    size += sizeof attr.scoped;
  }
  const int ruleset = static_cast<int>(syscall(SYS_landlock_create_ruleset, &attr, size, 0));
  if (ruleset < 0) return false;
  for (const char* p : kSystemReadable) AllowRead(ruleset, p);
  if (policy.renderer)
    for (const char* p : kRendererReadable) AllowRead(ruleset, p);
  for (const std::string& p : policy.readable) AllowRead(ruleset, p.c_str());
  const bool ok = syscall(SYS_landlock_restrict_self, ruleset, 0) == 0;
  close(ruleset);
  if (ok) abiOut = static_cast<int>(abi);
  return ok;
}

// The calls a reader needs; everything else fails with ENOSYS (so that the
// C library takes its fallbacks) and the few below with EPERM.
constexpr int kAllowed[] = {
    // Memory.
    SCMP_SYS(brk), SCMP_SYS(mmap), SCMP_SYS(munmap), SCMP_SYS(mremap), SCMP_SYS(mprotect),
    SCMP_SYS(madvise), SCMP_SYS(msync), SCMP_SYS(mincore),
    // Descriptors the process already holds or opens for reading.
    SCMP_SYS(read), SCMP_SYS(readv), SCMP_SYS(pread64), SCMP_SYS(preadv), SCMP_SYS(preadv2),
    SCMP_SYS(write), SCMP_SYS(writev), SCMP_SYS(pwrite64), SCMP_SYS(pwritev), SCMP_SYS(pwritev2),
    SCMP_SYS(lseek), SCMP_SYS(close), SCMP_SYS(close_range), SCMP_SYS(dup), SCMP_SYS(dup2),
    SCMP_SYS(dup3), SCMP_SYS(ftruncate), SCMP_SYS(fsync), SCMP_SYS(fdatasync), SCMP_SYS(fadvise64),
    SCMP_SYS(readahead), SCMP_SYS(pipe), SCMP_SYS(pipe2), SCMP_SYS(eventfd2), SCMP_SYS(poll),
    SCMP_SYS(ppoll), SCMP_SYS(select), SCMP_SYS(pselect6), SCMP_SYS(epoll_create1),
    SCMP_SYS(epoll_ctl), SCMP_SYS(epoll_wait), SCMP_SYS(epoll_pwait),
    // Looking at the file system (Landlock decides what may be opened).
    SCMP_SYS(fstat), SCMP_SYS(stat), SCMP_SYS(lstat), SCMP_SYS(newfstatat), SCMP_SYS(statx),
    SCMP_SYS(statfs), SCMP_SYS(fstatfs), SCMP_SYS(access), SCMP_SYS(faccessat),
    SCMP_SYS(faccessat2), SCMP_SYS(readlink), SCMP_SYS(readlinkat), SCMP_SYS(getdents),
    SCMP_SYS(getdents64), SCMP_SYS(getcwd), SCMP_SYS(chdir), SCMP_SYS(fchdir), SCMP_SYS(umask),
    // Threads.
    SCMP_SYS(futex), SCMP_SYS(set_robust_list), SCMP_SYS(rseq), SCMP_SYS(set_tid_address),
    SCMP_SYS(sched_yield), SCMP_SYS(sched_getaffinity), SCMP_SYS(sched_getparam),
    SCMP_SYS(sched_getscheduler), SCMP_SYS(sched_get_priority_max),
    SCMP_SYS(sched_get_priority_min), SCMP_SYS(membarrier), SCMP_SYS(arch_prctl), SCMP_SYS(getcpu),
    // Signals within the process, time and identity.
    SCMP_SYS(rt_sigaction), SCMP_SYS(rt_sigprocmask), SCMP_SYS(rt_sigreturn), SCMP_SYS(sigaltstack),
    SCMP_SYS(rt_sigpending), SCMP_SYS(rt_sigsuspend), SCMP_SYS(rt_sigtimedwait), SCMP_SYS(pause),
    SCMP_SYS(restart_syscall), SCMP_SYS(alarm), SCMP_SYS(getitimer), SCMP_SYS(setitimer),
    SCMP_SYS(timer_create), SCMP_SYS(timer_settime), SCMP_SYS(timer_gettime),
    SCMP_SYS(timer_getoverrun), SCMP_SYS(timer_delete), SCMP_SYS(timerfd_create),
    SCMP_SYS(timerfd_settime), SCMP_SYS(timerfd_gettime), SCMP_SYS(clock_gettime),
    SCMP_SYS(clock_getres), SCMP_SYS(clock_nanosleep), SCMP_SYS(nanosleep), SCMP_SYS(gettimeofday),
    SCMP_SYS(time), SCMP_SYS(getrandom), SCMP_SYS(getpid), SCMP_SYS(gettid), SCMP_SYS(getppid),
    SCMP_SYS(getuid), SCMP_SYS(geteuid), SCMP_SYS(getgid), SCMP_SYS(getegid), SCMP_SYS(getresuid),
    SCMP_SYS(getresgid), SCMP_SYS(getgroups), SCMP_SYS(getpgrp), SCMP_SYS(getpgid),
    SCMP_SYS(getsid), SCMP_SYS(uname), SCMP_SYS(sysinfo), SCMP_SYS(getrusage), SCMP_SYS(times),
    SCMP_SYS(capget), SCMP_SYS(exit), SCMP_SYS(exit_group)};

// What a software OpenGL renderer adds once its context exists: its own
// memory files for compiled code, and pinning its threads.
constexpr int kRendererAllowed[] = {SCMP_SYS(memfd_create), SCMP_SYS(sched_setaffinity)};

// Requests that libraries make of their own descriptors (is it a
// terminal, how much is waiting, close-on-exec); never TIOCSTI.
constexpr scmp_datum_t kIoctls[] = {TCGETS, TIOCGWINSZ, FIONREAD, FIOCLEX, FIONCLEX, FIONBIO};
// Reading the process's own state and naming it or its memory.
constexpr scmp_datum_t kPrctls[] = {PR_GET_NAME,      PR_SET_NAME,      PR_GET_DUMPABLE,
                                    PR_GET_PDEATHSIG, PR_SET_VMA,       PR_GET_NO_NEW_PRIVS,
                                    PR_GET_SECCOMP,   PR_GET_TIMERSLACK};
// Descriptor flags and duplicates; no locks, leases or signal owners.
constexpr scmp_datum_t kFcntls[] = {F_DUPFD, F_DUPFD_CLOEXEC, F_GETFD,     F_SETFD,     F_GETFL,
                                    F_SETFL, F_GETLK,         F_OFD_GETLK, F_GETPIPE_SZ};

// One argument condition, every field set (the library's macros leave
// the second datum to the compiler).
scmp_arg_cmp Arg(unsigned arg, scmp_compare op, scmp_datum_t a, scmp_datum_t b = 0) {
  scmp_arg_cmp c{};
  c.arg = arg;
  c.op = op;
  c.datum_a = a;
  c.datum_b = b;
  return c;
}

// The filter's rules in ctx; false when any could not be added.
bool AddRules(scmp_filter_ctx ctx, bool renderer) {
  const uint32_t allow = SCMP_ACT_ALLOW;
  bool whole = true;
  auto add = [&](int call, unsigned count, const scmp_arg_cmp* cmp) {
    whole &= seccomp_rule_add_array(ctx, allow, call, count, cmp) == 0;
  };
  for (int call : kAllowed) add(call, 0, nullptr);
  if (renderer)
    for (int call : kRendererAllowed) add(call, 0, nullptr);
  for (scmp_datum_t r : kIoctls) {
    const scmp_arg_cmp c = Arg(1, SCMP_CMP_EQ, r);
    add(SCMP_SYS(ioctl), 1, &c);
  }
  for (scmp_datum_t o : kPrctls) {
    const scmp_arg_cmp c = Arg(0, SCMP_CMP_EQ, o);
    add(SCMP_SYS(prctl), 1, &c);
  }
  for (scmp_datum_t f : kFcntls) {
    const scmp_arg_cmp c = Arg(1, SCMP_CMP_EQ, f);
    add(SCMP_SYS(fcntl), 1, &c);
  }
  // Signals only to this process (raise and abort use them).
  const scmp_datum_t self = static_cast<scmp_datum_t>(getpid());
  for (int call : {SCMP_SYS(kill), SCMP_SYS(tgkill)}) {
    const scmp_arg_cmp c = Arg(0, SCMP_CMP_EQ, self);
    add(call, 1, &c);
  }
  // Reading limits, never setting them.
  {
    const scmp_arg_cmp c[2] = {Arg(0, SCMP_CMP_EQ, 0), Arg(2, SCMP_CMP_EQ, 0)};
    add(SCMP_SYS(prlimit64), 2, c);
    add(SCMP_SYS(getrlimit), 0, nullptr);
  }
  // Threads may start, processes may not; glibc falls back from clone3.
  {
    const scmp_arg_cmp c = Arg(0, SCMP_CMP_MASKED_EQ, CLONE_THREAD, CLONE_THREAD);
    add(SCMP_SYS(clone), 1, &c);
  }
  // Opening for reading only (O_PATH included: every call that would
  // change what it names is refused above).
  {
    // The C library's __O_TMPFILE carries O_DIRECTORY too: only its own bit
    // here, so that folders can still be listed.
    constexpr scmp_datum_t kWriting =
        O_ACCMODE | O_CREAT | O_TRUNC | (__O_TMPFILE & ~scmp_datum_t{O_DIRECTORY});
    const scmp_arg_cmp atFlags = Arg(2, SCMP_CMP_MASKED_EQ, kWriting, 0);
    add(SCMP_SYS(openat), 1, &atFlags);
    const scmp_arg_cmp flags = Arg(1, SCMP_CMP_MASKED_EQ, kWriting, 0);
    add(SCMP_SYS(open), 1, &flags);
  }
  // What is refused on purpose says "not permitted", as a read-only file
  // system or a process without rights would.
  const uint32_t deny = SCMP_ACT_ERRNO(EPERM);
  auto refuse = [&](int call, unsigned count, const scmp_arg_cmp* cmp) {
    whole &= seccomp_rule_add_array(ctx, deny, call, count, cmp) == 0;
  };
  for (int call : {SCMP_SYS(creat), SCMP_SYS(fork), SCMP_SYS(vfork), SCMP_SYS(execve),
                   SCMP_SYS(execveat), SCMP_SYS(tkill)})
    refuse(call, 0, nullptr);
  for (const auto& [mask, value] : {std::pair<scmp_datum_t, scmp_datum_t>{O_ACCMODE, O_WRONLY},
                                    {O_ACCMODE, O_RDWR},
                                    {O_CREAT, O_CREAT},
                                    {O_TRUNC, O_TRUNC},
                                    {__O_TMPFILE, __O_TMPFILE}}) {
    const scmp_arg_cmp at = Arg(2, SCMP_CMP_MASKED_EQ, mask, value);
    refuse(SCMP_SYS(openat), 1, &at);
    const scmp_arg_cmp plain = Arg(1, SCMP_CMP_MASKED_EQ, mask, value);
    refuse(SCMP_SYS(open), 1, &plain);
  }
  {
    const scmp_arg_cmp c = Arg(0, SCMP_CMP_MASKED_EQ, CLONE_THREAD, 0);
    refuse(SCMP_SYS(clone), 1, &c);
  }
  for (int call : {SCMP_SYS(kill), SCMP_SYS(tgkill)}) {
    const scmp_arg_cmp c = Arg(0, SCMP_CMP_NE, self);
    refuse(call, 1, &c);
  }
  return whole;
}

}  // namespace

static_assert(sizeof(sock_filter) == sizeof(uint64_t));

SeccompProgram BuildSeccompProgram(bool renderer) {
  SeccompProgram program;
  scmp_filter_ctx ctx = seccomp_init(SCMP_ACT_ERRNO(ENOSYS));
  if (!ctx) return program;
  program.whole = AddRules(ctx, renderer);
  // The instructions come out through a file: the library has no other
  // way in this version.
  const int fd = memfd_create("seccomp", MFD_CLOEXEC);
  if (fd >= 0 && seccomp_export_bpf(ctx, fd) == 0) {
    const off_t size = lseek(fd, 0, SEEK_END);
    if (size > 0 && size % sizeof(sock_filter) == 0 && size <= (1 << 20)) {
      program.code.resize(static_cast<size_t>(size) / sizeof(sock_filter));
      if (pread(fd, program.code.data(), static_cast<size_t>(size), 0) != size)
        program.code.clear();
    }
  }
  if (fd >= 0) close(fd);
  seccomp_release(ctx);
  if (program.code.empty()) program.whole = false;
  return program;
}

SandboxState EnterSandbox(const SandboxPolicy& policy, const SeccompProgram* prebuilt) {
  SandboxState s;
  // Both mechanisms need it; it also keeps set-id programs from gaining
  // rights, though none can be started.
  prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0);
  if (policy.maxFileBytes > 0) {
    rlimit l{};
    if (getrlimit(RLIMIT_FSIZE, &l) == 0) {
      const rlim_t want = static_cast<rlim_t>(policy.maxFileBytes);
      if (l.rlim_max == RLIM_INFINITY || l.rlim_max > want) l.rlim_max = want;
      if (l.rlim_cur == RLIM_INFINITY || l.rlim_cur > l.rlim_max) l.rlim_cur = l.rlim_max;
      setrlimit(RLIMIT_FSIZE, &l);
    }
  }
  s.landlock = EnterLandlock(policy, s.landlockAbi);
  const SeccompProgram built = prebuilt ? SeccompProgram{} : BuildSeccompProgram(policy.renderer);
  const SeccompProgram& program = prebuilt ? *prebuilt : built;
  if (!program.code.empty()) {
    sock_fprog prog{static_cast<unsigned short>(program.code.size()),
                    reinterpret_cast<sock_filter*>(const_cast<uint64_t*>(program.code.data()))};
    // Every thread, also those a library started before.
    s.seccomp =
        syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER, SECCOMP_FILTER_FLAG_TSYNC, &prog) == 0;
    s.seccompWhole = s.seccomp && program.whole;
  }
  return s;
}

namespace {

void AddFolderAndParent(const std::string& dir, const std::string& home,
                        std::set<std::string>& out) {
  if (dir.empty() || dir[0] != '/') return;
  out.insert(dir);
  const size_t slash = dir.find_last_of('/');
  if (slash == 0) return;
  const std::string parent = dir.substr(0, slash);
  if (parent.find('/', 1) != std::string::npos && parent != home) out.insert(parent);
}

std::string RealPath(const std::string& path) {
  char* real = realpath(path.empty() ? "." : path.c_str(), nullptr);
  const std::string r = real ? real : std::string();
  free(real);
  return r;
}

std::string FolderOf(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return std::string();
  return slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

void AddModelFolders(const std::string& path, std::set<std::string>& out) {
  std::string home;
  if (const char* h = getenv("HOME"); h && *h) home = RealPath(h);
  const std::string real = RealPath(path);
  if (!real.empty()) AddFolderAndParent(FolderOf(real), home, out);
  AddFolderAndParent(RealPath(FolderOf(path)), home, out);
}

std::string DescribeSandbox(const SandboxState& s) {
  std::string t = "landlock ";
  t += s.landlock ? "on (ABI " + std::to_string(s.landlockAbi) + ")" : "off";
  t += ", seccomp ";
  t += s.seccompWhole ? "allow-list" : s.seccomp ? "allow-list, partly built" : "off";
  return t;
}

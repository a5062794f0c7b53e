#include "core/sandbox.h"

#include <fcntl.h>
#include <linux/landlock.h>
#include <sched.h>
#include <seccomp.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <initializer_list>

// Rights of later Landlock versions than the system headers know.
#ifndef LANDLOCK_ACCESS_FS_REFER
#define LANDLOCK_ACCESS_FS_REFER (1ULL << 13)
#endif
#ifndef LANDLOCK_ACCESS_FS_TRUNCATE
#define LANDLOCK_ACCESS_FS_TRUNCATE (1ULL << 14)
#endif

namespace {

// Where the dynamic linker finds the plug-ins' own libraries (opened when
// the first request names the plug-in).
constexpr const char* kSystemReadable[] = {"/usr/lib", "/lib",           "/usr/lib64",
                                           "/lib64",   "/usr/local/lib", "/etc/ld.so.cache"};

uint64_t HandledFs(int abi) {
  uint64_t a =
      LANDLOCK_ACCESS_FS_EXECUTE | LANDLOCK_ACCESS_FS_WRITE_FILE | LANDLOCK_ACCESS_FS_READ_FILE |
      LANDLOCK_ACCESS_FS_READ_DIR | LANDLOCK_ACCESS_FS_REMOVE_DIR | LANDLOCK_ACCESS_FS_REMOVE_FILE |
      LANDLOCK_ACCESS_FS_MAKE_CHAR | LANDLOCK_ACCESS_FS_MAKE_DIR | LANDLOCK_ACCESS_FS_MAKE_REG |
      LANDLOCK_ACCESS_FS_MAKE_SOCK | LANDLOCK_ACCESS_FS_MAKE_FIFO | LANDLOCK_ACCESS_FS_MAKE_BLOCK |
      LANDLOCK_ACCESS_FS_MAKE_SYM;
  if (abi >= 2) a |= LANDLOCK_ACCESS_FS_REFER;
  if (abi >= 3) a |= LANDLOCK_ACCESS_FS_TRUNCATE;
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

bool EnterLandlock(const std::vector<std::string>& readable, int& abiOut) {
  const long abi =
      syscall(SYS_landlock_create_ruleset, nullptr, 0, LANDLOCK_CREATE_RULESET_VERSION);
  if (abi < 1) return false;
  abiOut = static_cast<int>(abi);
  landlock_ruleset_attr attr{};
  attr.handled_access_fs = HandledFs(abiOut);
  const int ruleset = static_cast<int>(syscall(SYS_landlock_create_ruleset, &attr, sizeof attr, 0));
  if (ruleset < 0) return false;
  for (const char* p : kSystemReadable) AllowRead(ruleset, p);
  for (const std::string& p : readable) AllowRead(ruleset, p.c_str());
  const bool ok = syscall(SYS_landlock_restrict_self, ruleset, 0) == 0;
  close(ruleset);
  return ok;
}

bool EnterSeccomp() {
  scmp_filter_ctx ctx = seccomp_init(SCMP_ACT_ALLOW);
  if (!ctx) return false;
  const uint32_t deny = SCMP_ACT_ERRNO(EPERM);
  bool ok = true;
  auto rule = [&](int call) { ok &= seccomp_rule_add(ctx, deny, call, 0) == 0; };
  // Networking, new files and every change to the file system.
  for (int call :
       {SCMP_SYS(socket), SCMP_SYS(socketpair), SCMP_SYS(connect), SCMP_SYS(bind), SCMP_SYS(listen),
        SCMP_SYS(accept), SCMP_SYS(accept4), SCMP_SYS(creat), SCMP_SYS(truncate), SCMP_SYS(unlink),
        SCMP_SYS(unlinkat), SCMP_SYS(rename), SCMP_SYS(renameat), SCMP_SYS(renameat2),
        SCMP_SYS(mkdir), SCMP_SYS(mkdirat), SCMP_SYS(rmdir), SCMP_SYS(link), SCMP_SYS(linkat),
        SCMP_SYS(symlink), SCMP_SYS(symlinkat), SCMP_SYS(chmod), SCMP_SYS(fchmodat),
        SCMP_SYS(chown), SCMP_SYS(lchown), SCMP_SYS(fchownat), SCMP_SYS(mknod), SCMP_SYS(mknodat),
        SCMP_SYS(utimensat), SCMP_SYS(utimes), SCMP_SYS(utime), SCMP_SYS(setxattr),
        SCMP_SYS(lsetxattr), SCMP_SYS(removexattr), SCMP_SYS(lremovexattr), SCMP_SYS(memfd_create),
        // Other programs and other processes.
        SCMP_SYS(execve), SCMP_SYS(execveat), SCMP_SYS(fork), SCMP_SYS(vfork), SCMP_SYS(ptrace),
        SCMP_SYS(process_vm_writev), SCMP_SYS(process_vm_readv), SCMP_SYS(mount), SCMP_SYS(umount2),
        SCMP_SYS(chroot), SCMP_SYS(pivot_root), SCMP_SYS(setns), SCMP_SYS(unshare), SCMP_SYS(bpf),
        SCMP_SYS(perf_event_open), SCMP_SYS(keyctl), SCMP_SYS(add_key), SCMP_SYS(request_key),
        SCMP_SYS(io_uring_setup)})
    rule(call);
  // Threads may start, processes may not.
  ok &= seccomp_rule_add(ctx, deny, SCMP_SYS(clone), 1,
                         SCMP_A0(SCMP_CMP_MASKED_EQ, CLONE_THREAD, 0)) == 0;
  ok &= seccomp_rule_add(ctx, SCMP_ACT_ERRNO(ENOSYS), SCMP_SYS(clone3), 0) == 0;
  ok &= seccomp_rule_add(ctx, SCMP_ACT_ERRNO(ENOSYS), SCMP_SYS(openat2), 0) == 0;
  // Opening for anything but reading.
  for (const scmp_datum_t flag : {O_WRONLY, O_RDWR, O_CREAT, O_TRUNC}) {
    const scmp_datum_t mask = flag == O_WRONLY || flag == O_RDWR ? O_ACCMODE : flag;
    ok &= seccomp_rule_add(ctx, deny, SCMP_SYS(open), 1, SCMP_A1(SCMP_CMP_MASKED_EQ, mask, flag)) ==
          0;
    ok &= seccomp_rule_add(ctx, deny, SCMP_SYS(openat), 1,
                           SCMP_A2(SCMP_CMP_MASKED_EQ, mask, flag)) == 0;
  }
  ok = ok && seccomp_load(ctx) == 0;
  seccomp_release(ctx);
  return ok;
}

}  // namespace

SandboxState EnterSandbox(const SandboxPolicy& policy) {
  const std::vector<std::string>& readable = policy.readable;
  SandboxState s;
  // Both mechanisms need it; it also keeps set-id programs from gaining
  // rights, though none can be started.
  prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0);
  s.landlock = EnterLandlock(readable, s.landlockAbi);
  s.seccomp = s.seccompWhole = EnterSeccomp();
  return s;
}

std::string DescribeSandbox(const SandboxState& s) {
  std::string t = "landlock ";
  t += s.landlock ? "on (ABI " + std::to_string(s.landlockAbi) + ")" : "off";
  t += ", seccomp ";
  t += s.seccompWhole ? "on" : s.seccomp ? "partial" : "off";
  return t;
}

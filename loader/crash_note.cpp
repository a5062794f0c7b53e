#include "loader/crash_note.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cstring>
#include <initializer_list>

#include "core/loader_protocol.h"

namespace {

int g_statusFd = -1;
uint64_t g_cap = 0;
alignas(16) char g_altStack[64 * 1024];

// VmPeak from /proc/self/status in bytes, with async-signal-safe calls only.
uint64_t PeakBytes() {
  char buf[4096];
  const ssize_t n = pread(g_statusFd, buf, sizeof buf - 1, 0);
  if (n <= 0) return 0;
  buf[n] = '\0';
  const char* p = strstr(buf, "VmPeak:");
  if (!p) return 0;
  p += 7;
  while (*p == ' ' || *p == '\t') ++p;
  uint64_t kb = 0;
  while (*p >= '0' && *p <= '9') kb = kb * 10 + static_cast<uint64_t>(*p++ - '0');
  return kb * 1024;
}

void OnCrash(int sig) {
  // A failed request may be much larger than what is mapped (an array
  // doubling needs three times its old size): a third of the cap counts.
  if (g_cap > 0 && PeakBytes() >= g_cap / 3) {
    const char note = loader_protocol::kOutOfMemory;
    (void)!write(loader_protocol::kSocketFd, &note, 1);
  }
  signal(sig, SIG_DFL);
  raise(sig);
}

}  // namespace

void InstallCrashNote(uint64_t cap) {
  g_cap = cap;
  g_statusFd = open("/proc/self/status", O_RDONLY | O_CLOEXEC);
  if (g_statusFd < 0) g_cap = 0;
  stack_t ss{};
  ss.ss_sp = g_altStack;
  ss.ss_size = sizeof g_altStack;
  sigaltstack(&ss, nullptr);
  struct sigaction sa {};
  sa.sa_handler = OnCrash;
  sa.sa_flags = SA_ONSTACK | SA_RESETHAND;
  sigemptyset(&sa.sa_mask);
  for (int sig : {SIGSEGV, SIGBUS, SIGABRT, SIGILL, SIGFPE}) sigaction(sig, &sa, nullptr);
}

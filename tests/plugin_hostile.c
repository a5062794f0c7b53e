/* Reader plug-ins that misbehave in Load, one per build, for the loader
 * tests. IsSupport answers 0, so only files of the plug-in's extension
 * reach Load. The model file's first line is an argument:
 *   TP_CRASH   adds a triangle, then writes through a null pointer
 *   TP_ALLOC   allocates and touches memory without end
 *   TP_SPIN    reads the first half of the file, then spins forever
 *   TP_WRITE   creates the file named on the first line
 *   TP_SOCKET  connects to the TCP port on 127.0.0.1 named on the first line
 *   TP_KILL    kills its parent ("parent") or the process numbered on the first
 *              line, then renices and traces the parent, leaves its session,
 *              forks and starts a program
 *   TP_META    changes mode, times, owner, attributes and locks of the file
 *              named on the first line, by every call there is for it
 *   TP_READ    reads the file (or lists the folder) named on the first line
 *   TP_TTY     pushes a command into the input of any terminal it can reach
 *   TP_ORPHAN  clears its death signal, leaves its session and sleeps
 *   TP_FILL    writes its model file (descriptor 4) without end
 *   TP_FORGE   answers on the loader's socket itself, with counts near the
 *              cap, and sleeps
 *   TP_LOOK    answers on the loader's socket itself with a real triangle
 *              of its own memory and an appearance with the flaw named on the
 *              first line ("none" for a sound one), and sleeps
 *   TP_PRINT   prints a screenful on standard output and error, then fails
 *   TP_FDS     writes into every descriptor above the loader's own (3, 4)
 * A Load that comes back fails with a text saying what happened. */
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/ptrace.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <sys/xattr.h>
#include <termios.h>
#include <unistd.h>

#include "tarnelle_plugin.h"

static char g_msg[256];

int32_t GetPluginVer(const char* exePath) {
  (void)exePath;
  return TARNELLE_PLUGIN_VERSION;
}

const char* GetSupportInfo(int32_t which) { return which == 0 ? TP_NAME : TP_EXT; }

int32_t IsSupport(const char* path) {
  (void)path;
  return 0;
}

static void FirstLine(const char* path, char* out, size_t size) {
  FILE* f = fopen(path, "rb");
  out[0] = '\0';
  if (!f) return;
  if (fgets(out, (int)size, f)) out[strcspn(out, "\r\n")] = '\0';
  fclose(f);
}

int32_t Load(const char* path) {
  char arg[1024];
  FirstLine(path, arg, sizeof arg);
#if defined(TP_CRASH)
  {
    const int32_t tri[3] = {0, 1, 2};
    volatile int* nowhere = NULL;
    _PobjAddVertex(0, 0, 0);
    _PobjAddVertex(1, 0, 0);
    _PobjAddVertex(0, 1, 0);
    _PobjAddPolygon(3, tri);
    *nowhere = 1;
  }
#elif defined(TP_ALLOC)
  for (;;) {
    char* p = malloc(1 << 24);
    memset(p, 1, 1 << 24);
  }
#elif defined(TP_SPIN)
  {
    /* The file stays open half read: the loader's read position is what
       the progress bar shows. */
    static char half[1 << 16];
    FILE* f = fopen(path, "rb");
    if (f) {
      fseek(f, 0, SEEK_END);
      const long size = ftell(f);
      fseek(f, 0, SEEK_SET);
      for (long left = size / 2; left > 0;) {
        const size_t n = fread(half, 1, left < (long)sizeof half ? (size_t)left : sizeof half, f);
        if (n == 0) break;
        left -= (long)n;
      }
    }
    for (volatile unsigned long n = 0;; n = n + 1) {
    }
  }
#elif defined(TP_WRITE)
  {
    FILE* f = fopen(arg, "w");
    if (f) {
      fputs("written by a plug-in\n", f);
      fclose(f);
      snprintf(g_msg, sizeof g_msg, "wrote %s", arg);
    } else {
      snprintf(g_msg, sizeof g_msg, "write refused: %s", strerror(errno));
    }
  }
#elif defined(TP_SOCKET)
  {
    const int s = socket(AF_INET, SOCK_STREAM, 0);
    if (s < 0) {
      snprintf(g_msg, sizeof g_msg, "socket refused: %s", strerror(errno));
    } else {
      struct sockaddr_in a;
      memset(&a, 0, sizeof a);
      a.sin_family = AF_INET;
      a.sin_port = htons((uint16_t)atoi(arg));
      a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      if (connect(s, (struct sockaddr*)&a, sizeof a) == 0)
        snprintf(g_msg, sizeof g_msg, "connected");
      else
        snprintf(g_msg, sizeof g_msg, "connect refused: %s", strerror(errno));
      close(s);
    }
  }
#elif defined(TP_KILL)
  {
    const pid_t target = strcmp(arg, "parent") == 0 ? getppid() : (pid_t)atoi(arg);
    const int k = kill(target, SIGKILL);
    const int e = errno;
    const int setpri = setpriority(PRIO_PROCESS, (id_t)getppid(), 19);
    const pid_t sid = setsid();
    const long traced = ptrace(PTRACE_ATTACH, getppid(), NULL, NULL);
    const pid_t child = fork();
    if (child == 0) _exit(0);
    /* Replaces the loader when allowed: the reply then never comes. */
    execl("/bin/true", "true", (char*)NULL);
    if (k == 0 || setpri == 0 || sid >= 0 || traced == 0 || child > 0)
      snprintf(g_msg, sizeof g_msg,
               "kill worked: kill %d setpriority %d setsid %d ptrace %ld fork %d", k, setpri,
               (int)sid, traced, (int)child);
    else
      snprintf(g_msg, sizeof g_msg, "kill refused: %s", strerror(e));
  }
#elif defined(TP_META)
  {
    char worked[512] = "";
    const struct timespec epoch[2] = {{0, 0}, {0, 0}};
    struct {
      uint64_t value, size;
      uint32_t flags;
    } xargs = {(uint64_t)(uintptr_t) "x", 1, 0};
#define TRY(name, call)       \
  if ((call) == 0) {          \
    strcat(worked, " " name); \
  }
    TRY("fchmodat", fchmodat(AT_FDCWD, arg, 0777, 0))
    TRY("fchmodat2", syscall(452, AT_FDCWD, arg, 0777, 0))
    TRY("utimensat", utimensat(AT_FDCWD, arg, epoch, 0))
    TRY("futimesat", syscall(SYS_futimesat, AT_FDCWD, arg, NULL))
    TRY("setxattr", setxattr(arg, "user.tp", "x", 1, 0))
    TRY("setxattrat", syscall(463, AT_FDCWD, arg, 0, "user.tp", &xargs, sizeof xargs))
    TRY("fchownat", fchownat(AT_FDCWD, arg, getuid(), getgid(), 0))
    const int pathFd = open(arg, O_PATH);
    if (pathFd >= 0) {
      TRY("fchmodat2-path", syscall(452, pathFd, "", 0777, AT_EMPTY_PATH))
      close(pathFd);
    }
    const int fd = open(arg, O_RDONLY);
    if (fd >= 0) {
      TRY("fchmod", fchmod(fd, 0777))
      TRY("fchown", fchown(fd, getuid(), getgid()))
      TRY("fsetxattr", fsetxattr(fd, "user.tp", "x", 1, 0))
      TRY("futimens", futimens(fd, epoch))
      TRY("flock", flock(fd, LOCK_EX | LOCK_NB))
      close(fd);
    }
#undef TRY
    snprintf(g_msg, sizeof g_msg, "%s%s", worked[0] ? "meta changed:" : "meta refused", worked);
  }
#elif defined(TP_READ)
  {
    /* A folder is listed, as scene readers look for their parts. */
    DIR* dir = opendir(arg);
    if (dir) {
      int entries = 0;
      while (readdir(dir)) ++entries;
      closedir(dir);
      snprintf(g_msg, sizeof g_msg, "listed %d", entries);
      return 0;
    }
    FILE* f = fopen(arg, "rb");
    if (f) {
      char line[64] = "";
      if (!fgets(line, sizeof line, f)) line[0] = '\0';
      line[strcspn(line, "\r\n")] = '\0';
      fclose(f);
      snprintf(g_msg, sizeof g_msg, "read: %s", line);
    } else {
      snprintf(g_msg, sizeof g_msg, "read refused: %s", strerror(errno));
    }
  }
#elif defined(TP_TTY)
  {
    static const char command[] = "echo INJECTED_BY_PLUGIN\n";
    int pushed = 0;
    const int tty = open("/dev/tty", O_RDONLY | O_NOCTTY);
    const int fds[4] = {0, 1, 2, tty};
    for (int i = 0; i < 4; ++i)
      if (fds[i] >= 0 && ioctl(fds[i], TIOCSTI, command) == 0) ++pushed;
    if (tty >= 0) close(tty);
    snprintf(g_msg, sizeof g_msg, pushed ? "tty pushed %d" : "tty refused", pushed);
  }
#elif defined(TP_ORPHAN)
  prctl(PR_SET_PDEATHSIG, 0);
  setsid();
  for (;;) pause();
#elif defined(TP_FILL)
  {
    static char block[1 << 20];
    memset(block, 7, sizeof block);
    for (off_t at = 0;; at += (off_t)sizeof block)
      if (pwrite(4, block, sizeof block, at) < 0) {
        snprintf(g_msg, sizeof g_msg, "fill stopped: %s", strerror(errno));
        break;
      }
  }
#elif defined(TP_FORGE)
  {
    /* The reply's layout: kind, result, error length, nine counts, eight
       addresses. The counts claim about 2 GiB of model. */
    struct {
      int32_t result;
      uint32_t errorLen;
      uint64_t counts[9];
      uint64_t where[8];
    } reply;
    memset(&reply, 0, sizeof reply);
    reply.result = 1;
    reply.counts[0] = 100u << 20;
    reply.counts[1] = 20u << 20;
    reply.counts[2] = 60u << 20;
    for (int i = 0; i < 8; ++i) reply.where[i] = 0x10000;
    const char kind = 'R';
    if (write(3, &kind, 1) != 1 || write(3, &reply, sizeof reply) != (ssize_t)sizeof reply)
      snprintf(g_msg, sizeof g_msg, "forge failed");
    for (;;) pause();
  }
#elif defined(TP_LOOK)
  {
    /* A triangle with one material, coordinates and one image of 16 bytes,
       laid out as the loader's reply gives them (see TP_FORGE); the table
       is one material record and one image record. */
    static float vertices[9] = {0, 0, 0, 1, 0, 0, 0, 1, 0};
    static uint32_t starts[2] = {0, 3};
    static int32_t corners[3] = {0, 1, 2};
    static int32_t materials[1] = {-1};
    static float colors[3];
    static int32_t looks[1] = {0};
    static float uvs[6] = {0, 0, 1, 0, 0, 1};
    static unsigned char image[16] = {1, 2, 3};
    static struct {
      float color[4];
      uint32_t textureLen;
      uint64_t at, bytes;
      uint32_t hintLen, unused;
    } __attribute__((packed)) table = {{1, 1, 1, 1}, 0, 0, 16, 0, 0};
    struct {
      int32_t result;
      uint32_t errorLen;
      uint64_t counts[9];
      uint64_t where[8];
    } reply = {1, 0, {3, 1, 3, 1, 1, 3, 1, sizeof table, 16}, {0}};
    const void* where[8] = {vertices, starts, corners, materials, colors, looks, uvs, &table};
    for (int i = 0; i < 8; ++i) reply.where[i] = (uint64_t)(uintptr_t)where[i];
    table.at = (uint64_t)(uintptr_t)image;
    if (strcmp(arg, "uvs") == 0) reply.counts[5] = 2;            /* not one per corner */
    if (strcmp(arg, "materials") == 0) reply.counts[4] = 2;      /* not one per polygon */
    if (strcmp(arg, "number") == 0) looks[0] = 1;                /* no material 1 */
    if (strcmp(arg, "table") == 0) reply.counts[7] += 1;         /* a byte the records leave */
    if (strcmp(arg, "name") == 0) table.textureLen = 1;          /* a name past the table */
    if (strcmp(arg, "sizes") == 0) table.bytes = 1u << 30;       /* images that do not add up */
    if (strcmp(arg, "count") == 0) reply.counts[3] = 1ull << 40; /* materials past any limit */
    if (strcmp(arg, "held") == 0) {                              /* 255 MiB it does not hold */
      table.bytes = 255u << 20;
      reply.counts[8] = table.bytes;
    }
    const char kind = 'R';
    if (write(3, &kind, 1) != 1 || write(3, &reply, sizeof reply) != (ssize_t)sizeof reply)
      snprintf(g_msg, sizeof g_msg, "forge failed");
    for (;;) pause();
  }
#elif defined(TP_FDS)
  {
    int written = 0;
    for (int fd = 5; fd < 1024; ++fd)
      if (write(fd, "INJECTED", 8) == 8) ++written;
    snprintf(g_msg, sizeof g_msg, written ? "fds written %d" : "fds refused", written);
  }
#elif defined(TP_PRINT)
  for (int i = 0; i < 200; ++i) {
    printf("stdout line %d of the plug-in\n", i);
    fprintf(stderr, "stderr line %d\n", i);
  }
  fflush(stdout);
  snprintf(g_msg, sizeof g_msg, "printed");
#endif
  return 0;
}

const char* GetErrMsg(void) { return g_msg; }

/* Reader plug-ins that misbehave in Load, one per build, for the loader
 * tests. IsSupport answers 0, so only files of the plug-in's extension
 * reach Load. The model file's first line is an argument:
 *   TP_CRASH   adds a triangle, then writes through a null pointer
 *   TP_ALLOC   allocates and touches memory without end
 *   TP_SPIN    reads the first half of the file, then spins forever
 *   TP_WRITE   creates the file named on the first line
 *   TP_SOCKET  connects to the TCP port on 127.0.0.1 named on the first line
 * A Load that comes back fails with a text saying what happened. */
#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
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
#endif
  return 0;
}

const char* GetErrMsg(void) { return g_msg; }

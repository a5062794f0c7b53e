/* An executable as they were before the appearance functions: it exports
 * only the six first _Pobj functions. A plug-in built with today's kit must
 * still open here (RTLD_NOW, so any strong reference to a missing function
 * fails the open), find the appearance functions null and load its
 * polygons. Run as: plugin_old_host FIXTURE.so; exit status 0 on success. */
#ifndef _GNU_SOURCE
#define _GNU_SOURCE
#endif
#include <dlfcn.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#define EXPORT __attribute__((visibility("default")))

static int32_t g_nv, g_np;

EXPORT void _PobjClearObject(void) { g_nv = g_np = 0; }
EXPORT int32_t _PobjAddVertex(float x, float y, float z) {
  (void)x, (void)y, (void)z;
  return g_nv++;
}
EXPORT int32_t _PobjAddPolygon(int32_t nv, const int32_t* index) {
  return nv < 0 || !index ? -1 : g_np++;
}
EXPORT void _PobjSetPolygonColor(int32_t p, const float* rgb) { (void)p, (void)rgb; }
EXPORT int32_t _PobjGetNv(void) { return g_nv; }
EXPORT int32_t _PobjGetNp(void) { return g_np; }

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  void* module = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
  if (!module) {
    fprintf(stderr, "open failed: %s\n", dlerror());
    return 1;
  }
  int32_t (*load)(const char*) = (int32_t(*)(const char*))dlsym(module, "Load");
  const char* (*results)(void) = (const char* (*)(void))dlsym(module, "TestResults");
  if (!load || !results) return 1;
  const char* tmp = getenv("TMPDIR");
  char path[4096];
  snprintf(path, sizeof path, "%s/tarnelle-old-host-XXXXXX", tmp && *tmp ? tmp : "/tmp");
  const int fd = mkostemp(path, O_CLOEXEC);
  static const char script[] =
      "#tp\nv 0 0 0\nv 1 0 0\nv 0 1 0\nf 3 0 1 2\nm 0 1 1 1 1 a.png\npm 0 0\n"
      "uv 0 3 0 0 1 0 0 1\nimg png 4 1\nnp\n";
  if (fd < 0 || write(fd, script, sizeof script - 1) != (ssize_t)(sizeof script - 1)) {
    fprintf(stderr, "cannot write %s\n", path);
    return 1;
  }
  close(fd);
  const int32_t loaded = load(path);
  unlink(path);
  const char* want = "0 1 2 0 x x x x 1";
  printf("loaded %d, results \"%s\" (want \"%s\")\n", loaded & 0xFF, results(), want);
  return (loaded & 0xFF) == 1 && strcmp(results(), want) == 0 ? 0 : 1;
}

/* A configurable reader plug-in for the host tests, written in C against the
 * kit. Macros remove exports or change answers to make broken variants.
 *
 * IsSupport: 1 when the file starts with "#tp", 0 for "#t?", else -1.
 * Load runs the file as a script of calls into the host, one per line:
 *   v X Y Z | f N I... | c P R G B | clear | nv | np   call the _Pobj function
 *   m M R G B A [TEXTURE] | pm P M | uv P N U V...   the appearance ones ("-" for
 *   img HINT BYTES SEED                              no texture or hint; image
 *                                                    byte i is SEED + i)
 *   fail TEXT | failnull                             fail with TEXT / a null text
 * The results of v, f, nv, np and the appearance calls are collected in
 * TestResults(); an appearance function the executable lacks gives "x". */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "tarnelle_plugin.h"

#ifndef TP_NAME
#define TP_NAME "TestReader"
#endif
#ifndef TP_EXT
#define TP_EXT "tpl"
#endif
#ifndef TP_VERSION
#define TP_VERSION TARNELLE_PLUGIN_VERSION
#endif

TARNELLE_PLUGIN_API const char* TestResults(void);
TARNELLE_PLUGIN_API const char* TestExePath(void);

static char g_msg[512];
static int g_nullMsg;
static char g_results[1024];
static char g_exePath[1024];

const char* TestResults(void) { return g_results; }
const char* TestExePath(void) { return g_exePath; }

#ifndef TP_NO_GETPLUGINVER
int32_t GetPluginVer(const char* exePath) {
  snprintf(g_exePath, sizeof g_exePath, "%s", exePath ? exePath : "(null)");
  return TP_VERSION;
}
#endif

#ifndef TP_NO_GETSUPPORTINFO
const char* GetSupportInfo(int32_t which) {
#ifdef TP_NULL_NAME
  if (which == 0) return NULL;
#endif
#ifdef TP_NULL_EXT
  if (which == 1) return NULL;
#endif
  return which == 0 ? TP_NAME : which == 1 ? TP_EXT : "";
}
#endif

#ifndef TP_NO_ISSUPPORT
int32_t IsSupport(const char* path) {
  char head[4] = {0};
  FILE* f = fopen(path, "rb");
  if (!f) return 0;
  size_t got = fread(head, 1, 3, f);
  fclose(f);
  if (got == 3 && memcmp(head, "#tp", 3) == 0) return 1;
  if (got == 3 && memcmp(head, "#t?", 3) == 0) return 0;
  return -1;
}
#endif

#ifndef TP_NO_LOAD
static void Note(int v) {
  size_t len = strlen(g_results);
  snprintf(g_results + len, sizeof g_results - len, "%s%d", len ? " " : "", v);
}

static void NoteMissing(void) {
  size_t len = strlen(g_results);
  snprintf(g_results + len, sizeof g_results - len, "%sx", len ? " " : "");
}

static const char* Text(const char* word) { return strcmp(word, "-") == 0 ? NULL : word; }

/* The appearance commands; 0 for a line that is none of them. */
static int Appearance(const char* line) {
  float rgba[4];
  int p, m, n, seed, used = 0;
  char word[300] = "";
  if (sscanf(line, "m %d %f %f %f %f%n", &m, &rgba[0], &rgba[1], &rgba[2], &rgba[3], &used) == 5) {
    if (sscanf(line + used, " %299s", word) != 1) strcpy(word, "-");
    if (_PobjSetMaterial)
      Note(_PobjSetMaterial(m, rgba[0], rgba[1], rgba[2], rgba[3], Text(word)));
    else
      NoteMissing();
  } else if (sscanf(line, "pm %d %d", &p, &m) == 2) {
    if (_PobjSetPolygonMaterial)
      Note(_PobjSetPolygonMaterial(p, m));
    else
      NoteMissing();
  } else if (sscanf(line, "uv %d %d%n", &p, &n, &used) == 2) {
    float uv[32];
    const char* s = line + used;
    int k, step;
    for (k = 0; k < 32 && sscanf(s, "%f%n", &uv[k], &step) == 1; ++k) s += step;
    if (_PobjSetPolygonUV)
      Note(_PobjSetPolygonUV(p, n, uv));
    else
      NoteMissing();
  } else if (sscanf(line, "img %15s %d %d", word, &n, &seed) == 3) {
    unsigned char* data = (unsigned char*)malloc(n > 0 ? (size_t)n : 1);
    for (int i = 0; data && i < n; ++i) data[i] = (unsigned char)(seed + i);
    if (_PobjAddImage)
      Note(_PobjAddImage(Text(word), data, n));
    else
      NoteMissing();
    free(data);
  } else {
    return 0;
  }
  return 1;
}

int32_t Load(const char* path) {
  char line[512];
  FILE* f = fopen(path, "rb");
  g_msg[0] = '\0';
  g_nullMsg = 0;
  g_results[0] = '\0';
  if (!f) {
    snprintf(g_msg, sizeof g_msg, "cannot open");
    return 0;
  }
  while (fgets(line, sizeof line, f)) {
    float x, y, z;
    int n, p;
    line[strcspn(line, "\r\n")] = '\0';
    if (strncmp(line, "v ", 2) == 0 && sscanf(line + 2, "%f %f %f", &x, &y, &z) == 3) {
      Note(_PobjAddVertex(x, y, z));
    } else if (strncmp(line, "f ", 2) == 0) {
      int32_t idx[16];
      char* s = line + 2;
      char* end;
      int k;
      n = (int)strtol(s, &end, 10);
      if (n > 16) n = 16;
      for (k = 0; k < 16; ++k) idx[k] = (int32_t)strtol(s = end, &end, 10);
      Note(_PobjAddPolygon(n, idx));
    } else if (strncmp(line, "c ", 2) == 0) {
      float rgb[3];
      if (sscanf(line + 2, "%d %f %f %f", &p, &rgb[0], &rgb[1], &rgb[2]) == 4)
        _PobjSetPolygonColor(p, rgb);
    } else if (Appearance(line)) {
    } else if (strcmp(line, "clear") == 0) {
      _PobjClearObject();
    } else if (strcmp(line, "nv") == 0) {
      Note(_PobjGetNv());
    } else if (strcmp(line, "np") == 0) {
      Note(_PobjGetNp());
    } else if (strncmp(line, "fail ", 5) == 0) {
      snprintf(g_msg, sizeof g_msg, "%s", line + 5);
      fclose(f);
      return 0;
    } else if (strcmp(line, "failnull") == 0) {
      g_nullMsg = 1;
      fclose(f);
      return 0;
    }
  }
  fclose(f);
  /* Only the low byte is success; the rest must be ignored. */
  return 0x101;
}
#endif

#ifndef TP_NO_GETERRMSG
const char* GetErrMsg(void) { return g_nullMsg ? NULL : g_msg; }
#endif

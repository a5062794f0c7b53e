#include "core/text.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

size_t Utf8CutLength(const char* s, size_t len, size_t max) {
  if (len <= max) return len;
  size_t cut = max;
  // Back up over continuation bytes to the start of the character that
  // would be split.
  while (cut > 0 && (static_cast<unsigned char>(s[cut]) & 0xC0) == 0x80) --cut;
  return cut;
}

void CopyMessage(char* dst, size_t cap, const char* src) {
  if (cap == 0) return;
  if (!src) {
    dst[0] = '\0';
    return;
  }
  const size_t n = Utf8CutLength(src, strlen(src), cap - 1);
  memmove(dst, src, n);
  dst[n] = '\0';
}

void FormatMessage(char* dst, size_t cap, const char* fmt, ...) {
  if (cap == 0) return;
  char local[512];
  va_list ap;
  va_start(ap, fmt);
  const int n = vsnprintf(local, sizeof local, fmt, ap);
  va_end(ap);
  if (n < 0) {
    dst[0] = '\0';
    return;
  }
  CopyMessage(dst, cap, local);
}

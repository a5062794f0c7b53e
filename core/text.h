// Bounded text helpers for the fixed-size message buffers of the readers.
#pragma once

#include <cstddef>

// Length of the longest prefix of s (at most max bytes) that does not end
// inside a UTF-8 character.
size_t Utf8CutLength(const char* s, size_t len, size_t max);

// Copies src into dst (capacity cap, always NUL-terminated), cut at a UTF-8
// character boundary. A null src gives an empty text.
void CopyMessage(char* dst, size_t cap, const char* src);

// snprintf into dst, cut at a UTF-8 character boundary when too long.
void FormatMessage(char* dst, size_t cap, const char* fmt, ...)
    __attribute__((format(printf, 3, 4)));

template <size_t N>
void CopyMessage(char (&dst)[N], const char* src) {
  CopyMessage(dst, N, src);
}

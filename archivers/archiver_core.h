// The one implementation behind the four archiver modules; each module is
// this code with a format set and an export prefix.
#pragma once

#include "archivers/archiver_api.h"

enum class ArcKind {
  kLha,    // .lzh
  kZip7z,  // zip and 7z
  kZip,    // zip only
  kTar,    // tar, and tar or one file compressed with gzip, bzip2 or compress
};

int ArcCoreCheck(ArcKind kind, const char* path, int mode);
ArcHandle ArcCoreOpen(ArcKind kind, const char* path, unsigned long mode);
int ArcCoreFindFirst(ArcHandle archive, const char* wildcard, ArcMemberRecord* record);
int ArcCoreFindNext(ArcHandle archive, ArcMemberRecord* record);
int ArcCoreClose(ArcHandle archive);
int ArcCoreOriginalSizeEx(ArcHandle archive, int64_t* size);
int ArcCoreListError(ArcHandle archive);
int ArcCoreCommand(ArcKind kind, const char* commandLine, char* output, unsigned long outputSize);

#define TARNELLE_ARCHIVER_EXPORTS(prefix, kind)                                                 \
  extern "C"                                                                                    \
      __attribute__((visibility("default"))) int prefix##CheckArchive(const char* p, int m) {   \
    return ArcCoreCheck(kind, p, m);                                                            \
  }                                                                                             \
  extern "C" __attribute__((visibility("default")))                                             \
  ArcHandle prefix##OpenArchive(void*, const char* p, unsigned long m) {                        \
    return ArcCoreOpen(kind, p, m);                                                             \
  }                                                                                             \
  extern "C" __attribute__((visibility("default"))) int prefix##FindFirst(                      \
      ArcHandle h, const char* w, ArcMemberRecord* r) {                                         \
    return ArcCoreFindFirst(h, w, r);                                                           \
  }                                                                                             \
  extern "C" __attribute__((visibility("default"))) int prefix##FindNext(ArcHandle h,           \
                                                                         ArcMemberRecord* r) {  \
    return ArcCoreFindNext(h, r);                                                               \
  }                                                                                             \
  extern "C" __attribute__((visibility("default"))) int prefix##CloseArchive(ArcHandle h) {     \
    return ArcCoreClose(h);                                                                     \
  }                                                                                             \
  extern "C" __attribute__((visibility("default"))) int prefix(void*, const char* c, char* o,   \
                                                               unsigned long n) {               \
    return ArcCoreCommand(kind, c, o, n);                                                       \
  }                                                                                             \
  extern "C" __attribute__((visibility("default"))) int prefix##GetOriginalSizeEx(ArcHandle h,  \
                                                                                  int64_t* s) { \
    return ArcCoreOriginalSizeEx(h, s);                                                         \
  }                                                                                             \
  extern "C" __attribute__((visibility("default"))) int prefix##GetListError(ArcHandle h) {     \
    return ArcCoreListError(h);                                                                 \
  }

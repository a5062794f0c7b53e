// The calling convention shared by the archiver modules and the program:
// six C entry points per module, named after its prefix, and the 558-byte
// member record that find-first and find-next fill. Two later entry points
// carry what the record cannot; a module without them still serves.
#pragma once

#include <cstddef>
#include <cstdint>

// Little-endian, packed: the program reads only the size, date, time and
// path fields; the others are zero or informative.
#pragma pack(push, 1)
struct ArcMemberRecord {
  uint32_t originalSize;    // uncompressed size, clamped to 4294967295
  uint32_t compressedSize;  // as far as the format tells
  uint32_t crc;
  uint32_t flag;
  uint32_t osType;
  uint16_t ratio;
  uint16_t date;       // MS-DOS date of the member's local time
  uint16_t time;       // MS-DOS time of the member's local time
  char fileName[513];  // member path, UTF-8, NUL-terminated
  char reserved[3];
  char attribute[8];
  char mode[8];
};
#pragma pack(pop)
static_assert(sizeof(ArcMemberRecord) == 558);
static_assert(offsetof(ArcMemberRecord, date) == 22);
static_assert(offsetof(ArcMemberRecord, time) == 24);
static_assert(offsetof(ArcMemberRecord, fileName) == 26);

using ArcHandle = void*;

extern "C" {
// Non-zero when the module handles the file (mode 2 asks for a full check).
using ArcCheckFn = int (*)(const char* path, int mode);
// A handle for find-first, find-next and close; null when the file cannot be read.
using ArcOpenFn = ArcHandle (*)(void* window, const char* path, unsigned long mode);
// 0: the record holds a member; -1: no (further) member.
using ArcFindFirstFn = int (*)(ArcHandle archive, const char* wildcard, ArcMemberRecord* record);
using ArcFindNextFn = int (*)(ArcHandle archive, ArcMemberRecord* record);
using ArcCloseFn = int (*)(ArcHandle archive);
// Runs one command line (switches, "archive" "folder/" "member"); 0 on success.
using ArcCommandFn = int (*)(void* window, const char* commandLine, char* output,
                             unsigned long outputSize);
// <prefix>GetOriginalSizeEx: the uncompressed size of the member the last
// find-first or find-next returned, in full (the record clamps it to 32
// bits); 0 on success, -1 when there is no such member.
using ArcOriginalSizeExFn = int (*)(ArcHandle archive, int64_t* size);
// <prefix>GetListError: 0 while the members were read without fault (and
// when find-next reached the archive's end); non-zero once find-next
// stopped at data it could not read (a truncated or damaged archive), so
// that the members listed are only those before the damage.
using ArcListErrorFn = int (*)(ArcHandle archive);
}

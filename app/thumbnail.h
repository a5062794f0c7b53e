// tarnelle --thumbnail SIZE IN OUT: the freedesktop thumbnailer. File
// managers run it on every model file they show, so it works within a time
// and memory limit and never leaves a partial or empty picture behind. The
// models are read and drawn by a child behind the sandbox
// (thumbnail_draw.h); this process, which never runs reader code, checks
// the files, keeps the time and writes the pictures.
#pragma once

#include <cstdint>

// Files larger than this are not read at all.
inline constexpr int64_t kThumbnailMaxFileBytes = 200LL << 20;
// Processor seconds (all threads) before the command gives up, and a wider
// wall-clock bound for a file that blocks instead of computing: on a busy
// machine a good file may wait for the processor longer than it computes.
inline constexpr unsigned kThumbnailCpuLimit = 5;
inline constexpr unsigned kThumbnailTimeLimit = 10;
// Processor seconds a drawing process may use in its life, over all the
// files it draws: it is replaced by a new one before a file could find
// less than its own share left.
inline constexpr unsigned kThumbnailDrawerCpuLimit = 300;

// Whether argv asks for a thumbnail (its first argument is --thumbnail or
// --thumbnail-worker).
bool IsThumbnailInvocation(int argc, char** argv);

// Exit statuses. kThumbnailNoEnvironment says nothing about the file: no
// OpenGL context, no sandbox, or OUT could not be written; the files not
// reported on stdout were not finished.
inline constexpr int kThumbnailWritten = 0;
inline constexpr int kThumbnailFileFailed = 1;  // IN did not load or could not be drawn
inline constexpr int kThumbnailUsage = 2;
inline constexpr int kThumbnailNoEnvironment = 3;
// The drawing child's status when its processor time ran out.
inline constexpr int kThumbnailDrawerOutOfTime = 124;

// Runs the command; argv[1] is "--thumbnail". Returns one of the statuses
// above; OUT is untouched unless it was written whole.
//
// "--thumbnail-worker SIZE" is the file list's long-lived form: it reads
// "IN\0OUT\0" requests from standard input, one at a time, writes each
// picture as --thumbnail does and answers "ok" or "failed" on a line of
// standard output; it keeps its drawing process (and its OpenGL context)
// from one file to the next, and replaces it when a reader kills it, runs
// out of time or needs folders outside its read scope. It ends with status
// 0 at the end of its input, or kThumbnailNoEnvironment at once, before
// answering the request it could not serve.
int RunThumbnail(int argc, char** argv);

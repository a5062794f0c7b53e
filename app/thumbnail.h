// tarnelle --thumbnail SIZE IN OUT: the freedesktop thumbnailer. File
// managers run it on every model file they show, so it works within a time
// and memory limit and never leaves a partial or empty picture behind.
#pragma once

#include <cstdint>

// Files larger than this are not read at all.
inline constexpr int64_t kThumbnailMaxFileBytes = 200LL << 20;
// Processor seconds (all threads) before the command gives up, and a wider
// wall-clock bound for a file that blocks instead of computing: on a busy
// machine a good file may wait for the processor longer than it computes.
inline constexpr unsigned kThumbnailCpuLimit = 5;
inline constexpr unsigned kThumbnailTimeLimit = 10;

// Whether argv asks for a thumbnail (its first argument is --thumbnail).
bool IsThumbnailInvocation(int argc, char** argv);

// Runs the command; argv[1] is "--thumbnail". 0 when OUT was written; 1
// when IN did not load or could not be drawn (OUT untouched); 2 for a usage
// error.
int RunThumbnail(int argc, char** argv);

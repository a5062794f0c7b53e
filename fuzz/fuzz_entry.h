// One fuzz entry per input parser. Built with libFuzzer the entry is
// LLVMFuzzerTestOneInput; built into the regression tests (no libFuzzer) the
// same body registers itself under its target name, so every saved input
// runs through exactly the code the fuzzer ran.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

using FuzzEntryFn = int (*)(const uint8_t* data, size_t size);

#ifdef TARNELLE_FUZZ_REGRESSION
bool RegisterFuzzEntry(const char* target, FuzzEntryFn entry);
#define TARNELLE_FUZZ_ENTRY                                   \
  static int FuzzEntryBody(const uint8_t* data, size_t size); \
  [[maybe_unused]] static const bool fuzzEntryRegistered =    \
      RegisterFuzzEntry(TARNELLE_FUZZ_TARGET, FuzzEntryBody); \
  static int FuzzEntryBody(const uint8_t* data, size_t size)
#else
#define TARNELLE_FUZZ_ENTRY extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
#endif

// A private folder for one process's inputs, on a RAM-backed file system
// when there is one (/dev/shm), removed at exit.
const std::string& FuzzWorkFolder();

// Writes the bytes to <work folder>/input.<ext> (replacing the last input)
// and returns that path; aborts when it cannot, since a target that reads
// nothing would only pretend to fuzz.
const std::string& WriteFuzzInput(const uint8_t* data, size_t size, const char* ext);

// Ends the process with a message when a property the target checks fails.
[[noreturn]] void FuzzCheckFailed(const char* what);
#define FUZZ_CHECK(cond)                 \
  do {                                   \
    if (!(cond)) FuzzCheckFailed(#cond); \
  } while (0)

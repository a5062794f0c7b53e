// Tells the parent, from a crash handler, that the loader crashed because
// it ran out of address space: a plug-in that gets no memory usually
// crashes on a null pointer or aborts, and the user should hear "memory
// limit" rather than the signal.
#pragma once

#include <cstdint>

// Call before the sandbox closes /proc. cap is the address-space limit in
// bytes (0: none, the handler only passes the signal on). The handler also
// replaces a sanitizer's, so a crash ends with its own signal either way.
void InstallCrashNote(uint64_t cap);

#include "readers/binary_input.h"

#include <sys/stat.h>

#include <utility>

bool ReadWholeFile(FILE* f, FileBytes& out) {
  out.data.reset();
  out.size = 0;
  uint64_t cap = 0;
  struct stat st;
  const long here = ftell(f);
  if (fstat(fileno(f), &st) == 0 && S_ISREG(st.st_mode) && here >= 0 && st.st_size > here)
    cap = static_cast<uint64_t>(st.st_size - here);
  // One spare byte lets a file that has exactly its reported size be
  // recognised as complete with a single fread reaching the end.
  cap += 1;
  if (cap < 4096) cap = 4096;
  out.data.reset(new unsigned char[cap]);
  while (true) {
    const size_t got = fread(out.data.get() + out.size, 1, cap - out.size, f);
    out.size += got;
    if (out.size < cap) return !ferror(f);
    // Still more: grow by doubling, copying what is held.
    std::unique_ptr<unsigned char[]> bigger(new unsigned char[cap * 2]);
    memcpy(bigger.get(), out.data.get(), out.size);
    out.data = std::move(bigger);
    cap *= 2;
  }
}

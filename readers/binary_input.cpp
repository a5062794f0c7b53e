#include "readers/binary_input.h"

#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <utility>

#include "core/load_progress.h"

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
  AdviseHugePages(out.data.get(), cap);
  // Under a load control the file comes in pieces, so that progress shows
  // and a cancel stops the read (as a failed one).
  constexpr uint64_t kPiece = uint64_t{4} << 20;
  const bool pieces = InstalledLoadControl() != nullptr;
  while (true) {
    if (pieces && !LoadCheckpoint(static_cast<int64_t>(out.size),
                                  static_cast<int64_t>(cap > 1 ? cap - 1 : 0)))
      return false;
    const uint64_t room = cap - out.size;
    const size_t want = static_cast<size_t>(pieces && room > kPiece ? kPiece : room);
    const size_t got = fread(out.data.get() + out.size, 1, want, f);
    out.size += got;
    if (got < want) return !ferror(f);
    if (out.size < cap) continue;
    // Still more: grow by doubling, copying what is held.
    std::unique_ptr<unsigned char[]> bigger(new unsigned char[cap * 2]);
    AdviseHugePages(bigger.get(), cap * 2);
    memcpy(bigger.get(), out.data.get(), out.size);
    out.data = std::move(bigger);
    cap *= 2;
  }
}

ByteSource::ByteSource(FILE* f) : readAhead_(kWindow) {
  struct stat st;
  if (fstat(fileno(f), &st) == 0 && S_ISREG(st.st_mode)) {
    fd_ = fileno(f);
    size_ = static_cast<uint64_t>(st.st_size);
    // Never null, so that an empty request always gets a pointer.
    cap_ = std::min<uint64_t>(kWindow, std::max<uint64_t>(size_, 64));
    buf_.reset(new unsigned char[cap_]);
    return;
  }
  FileBytes bytes;
  ok_ = ReadWholeFile(f, bytes);
  whole_ = true;
  buf_ = std::move(bytes.data);
  size_ = have_ = cap_ = bytes.size;
}

const unsigned char* ByteSource::Fill(uint64_t pos, uint64_t n) {
  if (whole_ || pos > size_ || n > size_ - pos) return nullptr;
  // A cancelled load meets a failed read.
  if (!LoadCheckpoint(static_cast<int64_t>(pos), static_cast<int64_t>(size_))) return nullptr;
  const uint64_t want = std::max<uint64_t>(n, std::min<uint64_t>(readAhead_, size_ - pos));
  if (want > cap_) {
    // Bounded by the file's size, checked above.
    const uint64_t cap = std::max<uint64_t>(want, kWindow);
    buf_.reset(new unsigned char[cap]);
    cap_ = cap;
  }
  uint64_t got = 0;
  while (got < want) {
    const ssize_t r = pread(fd_, buf_.get() + got, want - got, static_cast<off_t>(pos + got));
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) break;
    got += static_cast<uint64_t>(r);
  }
  start_ = pos;
  have_ = got;
  return got >= n ? buf_.get() : nullptr;
}

ByteSource::Found ByteSource::Find(uint64_t pos, uint64_t lim, unsigned char c, uint64_t& at) {
  while (pos < lim) {
    const uint64_t piece = std::min<uint64_t>(lim - pos, std::max<size_t>(readAhead_, 4096));
    const unsigned char* p = Get(pos, piece);
    if (!p) return Found::kReadError;
    if (const void* hit = memchr(p, c, piece)) {
      at = pos + static_cast<uint64_t>(static_cast<const unsigned char*>(hit) - p);
      return Found::kYes;
    }
    pos += piece;
  }
  return Found::kNo;
}

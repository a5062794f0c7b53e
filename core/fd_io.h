// Moving whole buffers through a descriptor: each call goes on after a
// signal (EINTR) and after a short transfer, and fails on an error or on
// the end of the data before n bytes. Sockets are written without SIGPIPE.
#pragma once

#include <sys/socket.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>

namespace fd_io {

namespace detail {
// step(p, n, done) moves at most n bytes at p, done bytes into the whole.
template <typename Step>
bool Whole(char* p, size_t n, Step step) {
  size_t done = 0;
  while (done < n) {
    const ssize_t r = step(p + done, n - done, done);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) {
      if (r == 0) errno = EIO;
      return false;
    }
    done += static_cast<size_t>(r);
  }
  return true;
}
}  // namespace detail

inline bool ReadAll(int fd, void* buf, size_t n) {
  return detail::Whole(static_cast<char*>(buf), n,
                       [fd](char* p, size_t k, size_t) { return read(fd, p, k); });
}

inline bool WriteAll(int fd, const void* buf, size_t n) {
  return detail::Whole(const_cast<char*>(static_cast<const char*>(buf)), n,
                       [fd](char* p, size_t k, size_t) { return write(fd, p, k); });
}

inline bool SendAll(int fd, const void* buf, size_t n) {
  return detail::Whole(const_cast<char*>(static_cast<const char*>(buf)), n,
                       [fd](char* p, size_t k, size_t) { return send(fd, p, k, MSG_NOSIGNAL); });
}

inline bool PreadAll(int fd, void* buf, size_t n, off_t at) {
  return detail::Whole(static_cast<char*>(buf), n, [fd, at](char* p, size_t k, size_t done) {
    return pread(fd, p, k, at + static_cast<off_t>(done));
  });
}

inline bool PwriteAll(int fd, const void* buf, size_t n, off_t at) {
  return detail::Whole(const_cast<char*>(static_cast<const char*>(buf)), n,
                       [fd, at](char* p, size_t k, size_t done) {
                         return pwrite(fd, p, k, at + static_cast<off_t>(done));
                       });
}

}  // namespace fd_io

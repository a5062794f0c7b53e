// Transparent huge pages for big arrays. Filling tens of megabytes of fresh
// memory in 4 KiB pages costs more in page faults than the work done in it;
// asking for 2 MiB pages before the first touch removes most of that.
#pragma once

#include <atomic>
#include <cstddef>
#include <thread>
#include <vector>

// Asks the kernel to back the whole 2 MiB extents inside [p, p + bytes) with
// huge pages. A hint only: nothing changes where it is not supported.
void AdviseHugePages(const void* p, size_t bytes);

// The same for a vector's untouched capacity.
template <typename T>
void AdviseHugePages(const std::vector<T>& v) {
  AdviseHugePages(v.data() + v.size(), (v.capacity() - v.size()) * sizeof(T));
}

// Reserves room for n elements in a vector about to be filled, asking for
// huge pages for the new storage.
template <typename T>
void ReserveLarge(std::vector<T>& v, size_t n) {
  if (n <= v.capacity()) return;
  v.reserve(n);
  AdviseHugePages(v);
}

// Reserves room for n elements in an empty vector about to be filled with
// exactly that many (a copy of known size), on whole huge pages. The arrays
// ReserveLarge grows start and end inside a huge page, and those parts are
// faulted in 4 KiB at a time; here the request is sized to whole huge pages
// less malloc's chunk header, which glibc's malloc maps on its own and the
// kernel places on a huge page boundary, and the whole mapping is advised.
// Where malloc serves it otherwise (from its heap, once a big free has
// raised its mapping threshold), it is ReserveLarge with up to a huge page
// of room to spare.
size_t WholeHugePagesRequest(size_t bytes);
void AdviseWholeHugePages(const void* p, size_t bytes);
template <typename T>
void ReserveWholeHugePages(std::vector<T>& v, size_t n) {
  if (n <= v.capacity()) return;
  v.reserve(WholeHugePagesRequest(n * sizeof(T)) / sizeof(T));
  AdviseWholeHugePages(v.data(), v.capacity() * sizeof(T));
}

// Even on huge pages, the kernel clearing fresh memory is the largest single
// cost of a big load. A Prefault clears it on a helper thread while the
// caller computes: each range is faulted in from its far end backwards, so
// a caller writing from the front meets the helper in the middle. Contents
// never change (a faulted page reads as zero either way), so nothing depends
// on how far the helper gets. Stops and waits on destruction; the rest is
// then faulted in by ordinary use.
class Prefault {
 public:
  Prefault() = default;
  ~Prefault() { Stop(); }
  Prefault(const Prefault&) = delete;
  Prefault& operator=(const Prefault&) = delete;

  // Queues [p, p + bytes); ranges below a few megabytes are not worth a
  // thread and are skipped.
  void Add(const void* p, size_t bytes);
  template <typename T>
  void AddCapacity(const std::vector<T>& v, size_t n) {  // the next n elements
    Add(v.data() + v.size(), n * sizeof(T));
  }
  // Starts the helper on what was queued; nothing happens without a second
  // core or with helpers switched off.
  void Start();
  void Stop();

 private:
  struct Range {
    char* begin;
    char* end;  // faulted in down from here
  };
  void Run();
  std::vector<Range> ranges_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// Whether Prefault may start helper threads (default: with two or more
// cores). Switched off for measurements of the single-threaded path.
void SetPrefaultThreads(bool on);
bool PrefaultThreads();

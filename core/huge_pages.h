// Transparent huge pages for big arrays. Filling tens of megabytes of fresh
// memory in 4 KiB pages costs more in page faults than the work done in it;
// asking for 2 MiB pages before the first touch removes most of that.
#pragma once

#include <cstddef>
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

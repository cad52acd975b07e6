#pragma once

// Replaces the program's operator new with one that counts the allocations made on one watched
// thread, for the checks that a steady turn allocates nothing. Include it in exactly one file of
// a program: the replacement is the whole program's.

#include <atomic>
#include <cstdlib>
#include <new>
#include <thread>

namespace zol::counting {

/// The thread whose allocations are counted (none while it is the default id).
inline std::atomic<std::thread::id> Watched{};
/// Allocations made on Watched since the count was last set.
inline std::atomic<long> WatchedAllocations{0};

} // namespace zol::counting

void *operator new(std::size_t size) {
  if (zol::counting::Watched.load(std::memory_order_relaxed) == std::this_thread::get_id())
    zol::counting::WatchedAllocations.fetch_add(1, std::memory_order_relaxed);
  if (void *p = std::malloc(size ? size : 1))
    return p;
  throw std::bad_alloc();
}
void *operator new[](std::size_t size) {
  return operator new(size);
}
void operator delete(void *p) noexcept {
  std::free(p);
}
void operator delete[](void *p) noexcept {
  std::free(p);
}
void operator delete(void *p, std::size_t) noexcept {
  std::free(p);
}
void operator delete[](void *p, std::size_t) noexcept {
  std::free(p);
}

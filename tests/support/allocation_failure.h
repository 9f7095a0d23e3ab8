// Allocation failure on demand, for the test program that includes this
// (in one file only): it replaces the global operator new, so that while
// `RefusedAllocations` is armed every allocation of at least its size fails
// as a full address space would make it fail - the throwing forms throw
// std::bad_alloc, the std::nothrow forms give null.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <new>

namespace kztest {

inline size_t& RefusedFrom() {
  static size_t size = 0;
  return size;
}

class RefusedAllocations {
 public:
  explicit RefusedAllocations(size_t from) { RefusedFrom() = from; }
  ~RefusedAllocations() { RefusedFrom() = 0; }
  RefusedAllocations(const RefusedAllocations&) = delete;
  RefusedAllocations& operator=(const RefusedAllocations&) = delete;
};

inline void* TryAllocate(size_t size) {
  if (RefusedFrom() != 0 && size >= RefusedFrom()) return nullptr;
  return std::malloc(size ? size : 1);
}

}  // namespace kztest

void* operator new(size_t size) {
  void* p = kztest::TryAllocate(size);
  if (p == nullptr) throw std::bad_alloc();
  return p;
}
void* operator new[](size_t size) { return operator new(size); }
void* operator new(size_t size, const std::nothrow_t&) noexcept { return kztest::TryAllocate(size); }
void* operator new[](size_t size, const std::nothrow_t&) noexcept { return kztest::TryAllocate(size); }
// Every form above takes its memory from malloc, so free gives it back.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, size_t) noexcept { std::free(p); }
void operator delete[](void* p, size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }

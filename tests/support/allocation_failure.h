// Allocation failure on demand, for the test program that includes this
// (in one file only): it replaces the global operator new, so that while
// `RefusedAllocations` is armed every allocation of at least its size fails,
// and while `OneRefusedAllocation` is armed one allocation of any size fails,
// as a full address space would make them fail - the throwing forms throw
// std::bad_alloc, the std::nothrow forms give null.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <new>
#ifdef _WIN32
#include <malloc.h>  // _aligned_malloc
#endif

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

// Allocations still granted before the one refused, plus one; 0: unarmed.
inline std::atomic<size_t>& UntilRefusal() {
  static std::atomic<size_t> count{0};
  return count;
}
inline std::atomic<size_t>& RefusedSize() {
  static std::atomic<size_t> size{0};
  return size;
}

// Grants `granted` allocations, refuses the next one and grants the rest.
class OneRefusedAllocation {
 public:
  explicit OneRefusedAllocation(size_t granted) {
    RefusedSize() = 0;
    UntilRefusal() = granted + 1;
  }
  ~OneRefusedAllocation() { UntilRefusal() = 0; }
  OneRefusedAllocation(const OneRefusedAllocation&) = delete;
  OneRefusedAllocation& operator=(const OneRefusedAllocation&) = delete;
  // The size asked for by the refused allocation; 0 while none was refused.
  size_t refused_size() const { return RefusedSize(); }
};

// False when this allocation is to be refused.
inline bool Granted(size_t size) {
  if (RefusedFrom() != 0 && size >= RefusedFrom()) return false;
  size_t left = UntilRefusal().load();
  while (left != 0 && !UntilRefusal().compare_exchange_weak(left, left - 1)) {
  }
  if (left == 1) {
    RefusedSize() = size ? size : 1;
    return false;
  }
  return true;
}

inline void* TryAllocate(size_t size) { return Granted(size) ? std::malloc(size ? size : 1) : nullptr; }

// For types aligned beyond what malloc promises (a cache-line aligned member).
inline void* TryAllocateAligned(size_t size, std::align_val_t alignment) {
  if (!Granted(size)) return nullptr;
  size_t align = static_cast<size_t>(alignment);
  if (align < sizeof(void*)) align = sizeof(void*);
#ifdef _WIN32
  return _aligned_malloc(size ? size : 1, align);
#else
  void* p = nullptr;
  return posix_memalign(&p, align, size ? size : 1) == 0 ? p : nullptr;
#endif
}

inline void FreeAligned(void* p) {
#ifdef _WIN32
  _aligned_free(p);
#else
  std::free(p);
#endif
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
void* operator new(size_t size, std::align_val_t alignment) {
  void* p = kztest::TryAllocateAligned(size, alignment);
  if (p == nullptr) throw std::bad_alloc();
  return p;
}
void* operator new[](size_t size, std::align_val_t alignment) { return operator new(size, alignment); }
void* operator new(size_t size, std::align_val_t alignment, const std::nothrow_t&) noexcept {
  return kztest::TryAllocateAligned(size, alignment);
}
void* operator new[](size_t size, std::align_val_t alignment, const std::nothrow_t&) noexcept {
  return kztest::TryAllocateAligned(size, alignment);
}
// Every form above takes its memory from malloc (the aligned ones from the
// aligned allocator), so free gives it back.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, size_t) noexcept { std::free(p); }
void operator delete[](void* p, size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t) noexcept { kztest::FreeAligned(p); }
void operator delete[](void* p, std::align_val_t) noexcept { kztest::FreeAligned(p); }
void operator delete(void* p, size_t, std::align_val_t) noexcept { kztest::FreeAligned(p); }
void operator delete[](void* p, size_t, std::align_val_t) noexcept { kztest::FreeAligned(p); }
void operator delete(void* p, std::align_val_t, const std::nothrow_t&) noexcept { kztest::FreeAligned(p); }
void operator delete[](void* p, std::align_val_t, const std::nothrow_t&) noexcept { kztest::FreeAligned(p); }

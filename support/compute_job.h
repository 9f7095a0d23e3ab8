// A job for the compute lane and the compute pool: a callable kept in place,
// never on the heap, so that handing a job over cannot fail for want of
// memory (the stub catches no exception). It holds a lambda of up to six
// pointers or sizes that is trivially copyable: one that captures more, or
// captures an object that owns memory, does not compile.
#pragma once

#include <cstddef>
#include <new>
#include <type_traits>

class ComputeJob {
 public:
  ComputeJob() = default;
  template <typename F, typename = typename std::enable_if<!std::is_same<typename std::decay<F>::type,
                                                                         ComputeJob>::value>::type>
  ComputeJob(const F& f) {  // NOLINT: a lambda converts, as to std::function
    static_assert(sizeof(F) <= kCapacity, "a compute job captures at most six pointers or sizes");
    static_assert(alignof(F) <= alignof(std::max_align_t), "a compute job's captures need no special alignment");
    static_assert(std::is_trivially_copyable<F>::value && std::is_trivially_destructible<F>::value,
                  "a compute job captures pointers, references and plain values only");
    ::new (static_cast<void*>(storage_)) F(f);
    call_ = [](void* at) { (*static_cast<F*>(at))(); };
  }

  // False for a default-constructed job.
  explicit operator bool() const { return call_ != nullptr; }
  void operator()() { call_(storage_); }

 private:
  static constexpr size_t kCapacity = 6 * sizeof(void*);
  alignas(std::max_align_t) unsigned char storage_[kCapacity] = {};
  void (*call_)(void*) = nullptr;
};

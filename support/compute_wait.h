// How the compute lane and the compute pool wait for each other: look again
// for about a tenth of a millisecond before sleeping on a semaphore. A job
// takes about a millisecond, and a sleep and a wake-up cost a system call on
// each side plus the wake-up of an idle processor (a server round trip under
// wine), so spinning keeps most hand-overs out of the kernel.
#pragma once

#include <cstdint>

namespace compute_wait {

constexpr int kSpins = 4000;
// The semaphores' ceiling: a wake-up may come once more than needed (the
// waiters loop), never fewer.
constexpr uint32_t kMaxWakeups = 0x7FFFFFFF;

inline void CpuRelax() {
#if defined(__x86_64__) || defined(__i386__) || defined(_M_X64) || defined(_M_IX86)
  __builtin_ia32_pause();
#endif
}

}  // namespace compute_wait

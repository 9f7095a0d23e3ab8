// How many chunks an extraction keeps in flight. Each slot holds one chunk
// as stored and as inflated; the slots' buffers together stay within
// kChunkSlotBudget whatever the number of processors and the chunk size, so
// the 32-bit stub stays far from the end of its address space.
#pragma once

#include <cstddef>
#include <cstdint>

#include "support/compute_pool.h"

constexpr uint64_t kChunkSlotBudget = 104ull << 20;
// ChunkSlotCount never gives more for a pool's threads.
constexpr size_t kMaxChunkSlots = ComputePool::kMaxThreads + 2;

// For `threads` compute threads and `slotBytes` per slot (largest stored
// plus largest inflated chunk): threads + 2 slots (the threads inflate while
// the worker reads the next chunk and writes the oldest), fewer where they
// would pass the budget, and always at least one (a single chunk may be
// larger than the budget allows two of: 25 MiB chunks get two slots, about
// 100 MiB, and larger ones one).
inline size_t ChunkSlotCount(size_t threads, uint64_t slotBytes) {
  const uint64_t wanted = static_cast<uint64_t>(threads) + 2;
  const uint64_t fit = slotBytes == 0 ? wanted : kChunkSlotBudget / slotBytes;
  const uint64_t slots = wanted < fit ? wanted : fit;
  return slots == 0 ? 1 : static_cast<size_t>(slots);
}

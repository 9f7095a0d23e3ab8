// Writing a cached entry to a file: the worker reads each chunk's stored
// bytes where the validation found them and writes inflated chunks in
// order; the compute pool descrambles (from the state recorded for the
// chunk) and inflates them in between, several at a time.
#include <new>

#include "bundle/bundle.h"
#include "bundle/chunk_inflate.h"
#include "bundle/chunk_slots.h"
#include "platform/platform.h"
#include "support/compute_pool.h"
#include "support/diag_log.h"
#include "support/system_error.h"

namespace {
bool Grow(std::unique_ptr<unsigned char[]>* bytes, size_t* capacity, size_t size) {
  if (*capacity >= size) return true;
  bytes->reset();
  *capacity = 0;
  // Not value-initialised: every byte is written before it is read, and
  // untouched pages cost nothing.
  bytes->reset(new (std::nothrow) unsigned char[size]);
  if (!*bytes) {
    DiagLog("Out of memory for %lu bytes\n", static_cast<unsigned long>(size));
    return false;
  }
  *capacity = size;
  return true;
}
}  // namespace

void Bundle::ReleaseSlots(size_t from) {
  for (size_t slot = from; slot < kMaxChunkSlots; ++slot) {
    slotStored_[slot] = SlotBuffer();
    slotInflated_[slot] = SlotBuffer();
  }
}

bool Bundle::PrepareSlots(size_t slots, size_t storedSize, size_t originalSize) {
  if (storedSize == 0) storedSize = 1;
  if (originalSize == 0) originalSize = 1;
  ReleaseSlots(slots);
  // Buffers kept from an entry of larger chunks count as they are: when
  // they would take the slots past the budget, they all go first.
  uint64_t total = 0;
  for (size_t slot = 0; slot < slots; ++slot) {
    total += slotStored_[slot].capacity > storedSize ? slotStored_[slot].capacity : storedSize;
    total += slotInflated_[slot].capacity > originalSize ? slotInflated_[slot].capacity : originalSize;
  }
  if (total > kChunkSlotBudget) ReleaseSlots(0);
  for (size_t slot = 0; slot < slots; ++slot) {
    if (!Grow(&slotStored_[slot].bytes, &slotStored_[slot].capacity, storedSize) ||
        !Grow(&slotInflated_[slot].bytes, &slotInflated_[slot].capacity, originalSize))
      return false;
  }
  return true;
}

namespace {
// One chunk's work off the worker: descramble a copy of the stored bytes'
// scrambler from the chunk's first byte, then inflate.
struct ChunkJob {
  const Scrambler* scrambler;
  const ChunkDescriptor* chunk;
  unsigned char* stored;
  unsigned char* original;
  bool* inflated;
  void operator()() const {
    Scrambler own = *scrambler;
    own.set_state(chunk->state);
    own.Descramble(stored, chunk->storedSize);
    *inflated = InflateChunk(stored, chunk->storedSize, original, chunk->originalSize);
  }
};
}  // namespace

bool Bundle::WriteCachedEntry(const CachedEntry& entry, FILE* file) {
  if (entry.chunks.empty()) return true;
  // Without memory for the pool the worker inflates every chunk itself.
  if (!pool_) pool_.reset(new (std::nothrow) ComputePool(platform::UsableProcessorCount(), kMaxChunkSlots));
  ComputePool* pool = pool_.get();
  // The validation checked both sizes against the limits.
  size_t largestStored = 0, largestOriginal = 0;
  for (const ChunkDescriptor& chunk : entry.chunks) {
    if (chunk.storedSize > largestStored) largestStored = chunk.storedSize;
    if (chunk.originalSize > largestOriginal) largestOriginal = chunk.originalSize;
  }
  size_t slots = ChunkSlotCount(pool ? pool->threads() : 0, static_cast<uint64_t>(largestStored) + largestOriginal);
  if (pool && slots > pool->depth()) slots = pool->depth();
  if (slots > kMaxChunkSlots) slots = kMaxChunkSlots;
  if (!PrepareSlots(slots, largestStored, largestOriginal)) return false;

  bool inflated[kMaxChunkSlots] = {};
  const size_t jobsBefore = pool ? pool->submitted() : 0;  // the pool outlives this call
  size_t queued = 0, written = 0;
  auto writeOldest = [&]() {
    if (pool) pool->WaitJob(jobsBefore + written);
    const size_t slot = written % slots;
    const ChunkDescriptor& chunk = entry.chunks[written++];
    if (!inflated[slot]) return false;
    return chunk.originalSize == 0 || WriteOrNote(file, slotInflated_[slot].bytes.get(), chunk.originalSize);
  };
  bool ok = true;
  for (const ChunkDescriptor& chunk : entry.chunks) {
    const size_t slot = queued % slots;
    unsigned char* stored = slotStored_[slot].bytes.get();
    file_.Seek(chunk.fileOffset);
    if (file_.Read(stored, chunk.storedSize) != chunk.storedSize) {
      ok = false;
      break;
    }
    const ChunkJob job{&scrambler_, &chunk, stored, slotInflated_[slot].bytes.get(), &inflated[slot]};
    if (pool)
      pool->Submit(job);
    else
      job();
    ++queued;
    if (queued - written == slots && !writeOldest()) {
      ok = false;
      break;
    }
  }
  while (ok && written < queued) ok = writeOldest();
  // No job may outlive the flags and buffers it writes to.
  if (pool) pool->Drain();
  return ok;
}

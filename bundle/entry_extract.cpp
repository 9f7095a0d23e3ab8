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
// scrambler from the chunk's first byte, then inflate. The scrambler it
// copies is the bundle's job scrambler, which nothing changes while jobs run.
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

void Largest(const CachedEntry* entry, size_t* stored, size_t* original) {
  if (entry == nullptr) return;
  for (const ChunkDescriptor& chunk : entry->chunks) {
    if (chunk.storedSize > *stored) *stored = chunk.storedSize;
    if (chunk.originalSize > *original) *original = chunk.originalSize;
  }
}
}  // namespace

void Bundle::DiscardReadAhead() {
  if (pool_) pool_->Drain();
  ahead_ = ReadAhead();
}

const CachedEntry* Bundle::EntryAfter(const CachedEntry& entry) const {
  for (size_t i = 0; i + 1 < entries_.size(); ++i)
    if (entries_[i].get() == &entry) return entries_[i + 1].get();
  return nullptr;
}

// The worker keeps every slot busy: first with the entry's own chunks, then,
// once all of them are in flight, with the first chunks of the entry that
// follows it in the file, which a script usually asks for next. Those stay
// in flight when this returns, so that the pool inflates them while the
// worker closes this file and creates the next; an extraction of any other
// entry first lets them finish and drops them.
bool Bundle::WriteCachedEntry(const CachedEntry& entry, FILE* file) {
  if (entry.chunks.empty()) return true;
  // Without memory for the pool the worker inflates every chunk itself.
  if (!pool_) pool_.reset(new (std::nothrow) ComputePool(platform::UsableProcessorCount(), kMaxChunkSlots));
  ComputePool* pool = pool_.get();
  const CachedEntry* next = pool && pool->threads() > 0 ? EntryAfter(entry) : nullptr;
  // The validation checked both sizes against the limits.
  size_t largestStored = 0, largestOriginal = 0;
  Largest(&entry, &largestStored, &largestOriginal);
  Largest(next, &largestStored, &largestOriginal);
  size_t slots = ChunkSlotCount(pool ? pool->threads() : 0, static_cast<uint64_t>(largestStored) + largestOriginal);
  if (pool && slots > pool->depth()) slots = pool->depth();
  if (slots > kMaxChunkSlots) slots = kMaxChunkSlots;

  const size_t count = entry.chunks.size();
  auto fits = [&](const ChunkDescriptor& chunk, size_t slot) {
    return chunk.storedSize <= slotStored_[slot].capacity && chunk.originalSize <= slotInflated_[slot].capacity;
  };
  bool reuse = ahead_.entry == &entry && ahead_.slots == slots;
  for (size_t slot = 0; reuse && slot < slots; ++slot)
    reuse = slotStored_[slot].capacity >= largestStored && slotInflated_[slot].capacity >= largestOriginal;
  size_t base = 0, firstJob = 0, queued = 0;
  if (reuse) {
    base = ahead_.firstSlot;
    firstJob = ahead_.firstJob;
    queued = ahead_.chunks;
    ahead_ = ReadAhead();
  } else {
    DiscardReadAhead();
    if (!PrepareSlots(slots, largestStored, largestOriginal)) return false;
    jobScrambler_ = scrambler_;  // no job runs now
    firstJob = pool ? pool->submitted() : 0;
  }

  auto submit = [&](const ChunkDescriptor& chunk, size_t slot) {
    unsigned char* stored = slotStored_[slot].bytes.get();
    file_.Seek(chunk.fileOffset);
    if (file_.Read(stored, chunk.storedSize) != chunk.storedSize) return false;
    const ChunkJob job{&jobScrambler_, &chunk, stored, slotInflated_[slot].bytes.get(), &slotInflatedOk_[slot]};
    if (pool)
      pool->Submit(job);
    else
      job();
    return true;
  };
  size_t written = 0, ahead = 0;
  bool readingAhead = next != nullptr;
  auto writeOldest = [&]() {
    if (pool) pool->WaitJob(firstJob + written);
    const size_t slot = (base + written) % slots;
    const ChunkDescriptor& chunk = entry.chunks[written++];
    if (!slotInflatedOk_[slot]) return false;
    return chunk.originalSize == 0 || WriteOrNote(file, slotInflated_[slot].bytes.get(), chunk.originalSize);
  };
  bool ok = true;
  for (;;) {
    while (ok && queued - written + ahead < slots) {
      if (queued < count) {
        ok = submit(entry.chunks[queued], (base + queued) % slots);
        ++queued;
        continue;
      }
      const size_t slot = (base + count + ahead) % slots;
      // A chunk that does not fit, or cannot be read, ends the reading
      // ahead: this entry is written all the same.
      readingAhead = readingAhead && ahead < next->chunks.size() && fits(next->chunks[ahead], slot) &&
                     submit(next->chunks[ahead], slot);
      if (!readingAhead) break;
      ++ahead;
    }
    if (!ok || written == count) break;
    ok = writeOldest();
  }
  if (!ok) {
    // No job may outlive the flags and buffers it writes to.
    DiscardReadAhead();
    return false;
  }
  if (ahead > 0) {
    ahead_.entry = next;
    ahead_.chunks = ahead;
    ahead_.firstJob = firstJob + count;
    ahead_.firstSlot = (base + count) % slots;
    ahead_.slots = slots;
  }
  return true;
}

#include "packing/deflate_pool.h"

#include "packing/chunk_deflater.h"
#include "platform/platform.h"
#include "support/compute_pool.h"

namespace {
// Slots in flight per thread: one being compressed, one waiting, so that a
// thread finds work while the caller writes the oldest result.
constexpr uint32_t kSlotsPerThread = 2;
// Chunks may be up to 25 MiB; with the compressed form a slot holds twice
// that. Many processors and large chunks get fewer slots, never fewer than two.
constexpr uint64_t kMemoryBudget = 512ull * 1024 * 1024;
}  // namespace

DeflatePool::DeflatePool(int level, uint32_t chunkSize, uint32_t threads) {
  if (threads == 0) threads = platform::UsableProcessorCount();
  const uint64_t perSlot = 2ull * chunkSize + 4096;
  uint64_t slots = static_cast<uint64_t>(threads) * kSlotsPerThread;
  if (slots * perSlot > kMemoryBudget) slots = kMemoryBudget / perSlot;
  if (slots < 2) slots = 2;
  if (threads > slots) threads = static_cast<uint32_t>(slots);

  const size_t bound = ChunkDeflater::Bound(chunkSize);
  for (uint64_t i = 0; i < slots; ++i) {
    slots_.emplace_back(new Slot);
    slots_.back()->input.resize(chunkSize);
    slots_.back()->output.resize(bound);
    slots_.back()->deflater.reset(new ChunkDeflater(level));
  }
  // With one thread (or none started) the pool compresses each chunk as it is
  // submitted: slower, the same bytes.
  compute_.reset(new ComputePool(threads > 1 ? threads : 0, slots_.size()));
  threadCount_ = compute_->threads() > 0 ? static_cast<uint32_t>(compute_->threads()) : 1;
}

// The pool waits for the chunks still being compressed before the slots go.
DeflatePool::~DeflatePool() { compute_.reset(); }

unsigned char* DeflatePool::input() { return slots_[submitted_ % slots_.size()]->input.data(); }

void DeflatePool::Submit(uint32_t size) {
  Slot* slot = slots_[submitted_ % slots_.size()].get();
  slot->size = size;
  ++submitted_;
  compute_->Submit([slot] {
    slot->ok = slot->deflater->Deflate(slot->input.data(), slot->size, slot->output.data(), &slot->storedSize);
  });
}

bool DeflatePool::TakeOldest(const unsigned char** stored, uint32_t* storedSize, uint32_t* originalSize) {
  if (empty()) return false;
  compute_->WaitJob(taken_);
  const Slot& slot = *slots_[taken_ % slots_.size()];
  ++taken_;
  *stored = slot.output.data();
  *storedSize = static_cast<uint32_t>(slot.storedSize);
  *originalSize = slot.size;
  return slot.ok;
}

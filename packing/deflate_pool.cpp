#include "packing/deflate_pool.h"

#include "packing/chunk_deflater.h"

namespace {
// Slots in flight per thread: one being compressed, one waiting, so that a
// thread finds work while the caller writes the oldest result.
constexpr uint32_t kSlotsPerThread = 2;
// Chunks may be up to 25 MiB; with the compressed form a slot holds twice
// that. Many processors and large chunks get fewer slots, never fewer than two.
constexpr uint64_t kMemoryBudget = 512ull * 1024 * 1024;
constexpr uint32_t kMaxWakeups = 0x7FFFFFFF;
}  // namespace

DeflatePool::DeflatePool(int level, uint32_t chunkSize, uint32_t threads) : level_(level) {
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
  }
  if (threads > 1) {
    work_ = platform::CreateCountingSemaphore(0, kMaxWakeups);
    done_ = platform::CreateCountingSemaphore(0, kMaxWakeups);
    for (uint32_t i = 0; work_ && done_ && i < threads; ++i) {
      platform::ThreadHandle thread = platform::StartThread(&DeflatePool::Run, this);
      if (thread == nullptr) break;
      threads_.push_back(thread);
    }
  }
  // Without threads every chunk is compressed as it is submitted: slower, the same bytes.
  if (threads_.empty()) inlineDeflater_.reset(new ChunkDeflater(level));
  threadCount_ = threads_.empty() ? 1 : static_cast<uint32_t>(threads_.size());
}

DeflatePool::~DeflatePool() {
  // Every queued chunk is claimed and finished before the threads are told to stop.
  while (!empty()) {
    const unsigned char* stored;
    uint32_t storedSize, originalSize;
    TakeOldest(&stored, &storedSize, &originalSize);
  }
  stopping_.store(true);
  for (size_t i = 0; i < threads_.size(); ++i) platform::SignalSemaphore(work_);
  for (platform::ThreadHandle thread : threads_) platform::JoinThread(thread);
  if (work_) platform::DestroySemaphore(work_);
  if (done_) platform::DestroySemaphore(done_);
}

unsigned char* DeflatePool::input() { return slots_[submitted_ % slots_.size()]->input.data(); }

void DeflatePool::Compress(Slot& slot, ChunkDeflater& deflater) {
  slot.ok = deflater.Deflate(slot.input.data(), slot.size, slot.output.data(), &slot.storedSize);
  slot.done.store(true, std::memory_order_release);
}

void DeflatePool::Submit(uint32_t size) {
  const size_t index = submitted_ % slots_.size();
  Slot& slot = *slots_[index];
  slot.size = size;
  slot.done.store(false, std::memory_order_relaxed);
  ++submitted_;
  if (inlineDeflater_) {
    Compress(slot, *inlineDeflater_);
    return;
  }
  platform::SignalSemaphore(work_);  // publishes the slot's input
}

void DeflatePool::Run(void* self) {
  DeflatePool* pool = static_cast<DeflatePool*>(self);
  ChunkDeflater deflater(pool->level_);
  for (;;) {
    platform::WaitSemaphore(pool->work_);
    if (pool->stopping_.load()) return;
    const size_t number = pool->claimed_.fetch_add(1);
    pool->Compress(*pool->slots_[number % pool->slots_.size()], deflater);
    platform::SignalSemaphore(pool->done_);
  }
}

bool DeflatePool::TakeOldest(const unsigned char** stored, uint32_t* storedSize, uint32_t* originalSize) {
  if (empty()) return false;
  Slot& slot = *slots_[taken_ % slots_.size()];
  // A wake-up may be for a later chunk; the count it leaves makes a later
  // wait return at once, and the flag is checked again.
  while (!slot.done.load(std::memory_order_acquire)) platform::WaitSemaphore(done_);
  ++taken_;
  *stored = slot.output.data();
  *storedSize = static_cast<uint32_t>(slot.storedSize);
  *originalSize = slot.size;
  return slot.ok;
}

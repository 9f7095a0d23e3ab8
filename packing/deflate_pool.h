// Compresses chunks on every usable processor and hands the results back in
// the order the chunks were submitted, so the output is the same bytes
// whatever the number of threads. Memory is bounded: a fixed set of slots,
// each holding one chunk and its compressed form; when all are in use the
// caller takes the oldest result before submitting more.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

class ChunkDeflater;
class ComputePool;

class DeflatePool {
 public:
  // `threads` 0: one per usable processor. With one, chunks are compressed
  // on the caller's thread as they are submitted.
  DeflatePool(int level, uint32_t chunkSize, uint32_t threads);
  // Waits for the chunks still being compressed.
  ~DeflatePool();
  DeflatePool(const DeflatePool&) = delete;
  DeflatePool& operator=(const DeflatePool&) = delete;

  uint32_t thread_count() const { return threadCount_; }
  // True when every slot holds a chunk: take the oldest result first.
  bool full() const { return submitted_ - taken_ == slots_.size(); }
  bool empty() const { return submitted_ == taken_; }

  // Where the next chunk goes (chunkSize bytes); valid while not full().
  unsigned char* input();
  // Queues the `size` bytes written to input().
  void Submit(uint32_t size);
  // Waits for the oldest submitted chunk; its stream stays valid until the
  // next Submit. False when it could not be compressed.
  bool TakeOldest(const unsigned char** stored, uint32_t* storedSize, uint32_t* originalSize);

 private:
  struct Slot {
    std::vector<unsigned char> input;
    std::vector<unsigned char> output;
    std::unique_ptr<ChunkDeflater> deflater;  // keeps zlib's working memory from chunk to chunk
    uint32_t size = 0;
    size_t storedSize = 0;
    bool ok = false;
  };

  uint32_t threadCount_ = 1;
  std::vector<std::unique_ptr<Slot>> slots_;  // chunk n lives in slot n % slots
  size_t submitted_ = 0;  // by the caller
  size_t taken_ = 0;      // by the caller
  std::unique_ptr<ComputePool> compute_;  // job n compresses chunk n
};

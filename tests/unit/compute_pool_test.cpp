#include "support/compute_pool.h"

#include <gtest/gtest.h>

#include <atomic>
#include <vector>

#include "bundle/chunk_slots.h"
#include "bundle/format.h"
#include "platform/platform.h"
#include "tests/support/test_support.h"

// Extraction relies on three promises: every job runs once, a waited-for
// job has finished (its writes visible), and at most `depth` jobs are
// unfinished, so a slot's buffers are free once the job that used them has
// been waited for. Jobs finish out of order here on purpose.
TEST(ComputePool, EveryJobRunsOnceAndWaitedJobsHaveFinished) {
  constexpr size_t kDepth = 4;
  constexpr size_t kJobs = 300;
  std::vector<int> result(kJobs, 0);
  std::atomic<int> running{0}, mostRunning{0};
  {
    ComputePool pool(3, kDepth);
    EXPECT_EQ(pool.threads(), 3u);
    for (size_t i = 0; i < kJobs; ++i) {
      pool.Submit([&, i] {
        const int now = ++running;
        int seen = mostRunning.load();
        while (now > seen && !mostRunning.compare_exchange_weak(seen, now)) {
        }
        volatile unsigned spin = 0;
        for (unsigned k = 0; k < (i % 7) * 2000; ++k) spin = spin + k;
        result[i] += static_cast<int>(i) + 1;
        --running;
      });
      // The job `depth` places back has finished, its ring place is free.
      if (i >= kDepth) {
        EXPECT_EQ(result[i - kDepth], static_cast<int>(i - kDepth) + 1) << i;
      }
      if (i % 3 == 2) {
        pool.WaitJob(i - 1);
        EXPECT_EQ(result[i - 1], static_cast<int>(i));
      }
    }
    pool.Drain();
    for (size_t i = 0; i < kJobs; ++i) EXPECT_EQ(result[i], static_cast<int>(i) + 1) << i;
  }
  EXPECT_LE(mostRunning.load(), 3);
}

TEST(ComputePool, DestructionWaitsForQueuedJobs) {
  std::atomic<int> ran{0};
  {
    ComputePool pool(2, 3);
    for (int i = 0; i < 3; ++i) pool.Submit([&ran] { ++ran; });
  }
  EXPECT_EQ(ran, 3);
}

TEST(ComputePool, ProcessorCountFollowsTheAffinity) {
  const uint32_t usable = platform::UsableProcessorCount();
  EXPECT_GE(usable, 1u);
  kztest::OneProcessor confined;
#ifdef __linux__
  ASSERT_TRUE(confined.active());
#endif
  if (confined.active()) {
    EXPECT_EQ(platform::UsableProcessorCount(), 1u);
  }
}

// The slots' buffers never pass the budget, whatever the threads and chunk
// size, and a single chunk always gets a slot.
TEST(ChunkSlots, StayWithinTheBudget) {
  const uint64_t mib = 1 << 20;
  EXPECT_EQ(ChunkSlotCount(2, 2 * mib), 4u);
  EXPECT_EQ(ChunkSlotCount(1, 2 * mib), 3u);
  const uint32_t limit = bundle_format::kInstallerSizeLimit;
  const uint64_t largest = uint64_t{limit} + bundle_format::CompressBoundOf(limit);
  EXPECT_EQ(ChunkSlotCount(8, largest), 2u);
  EXPECT_EQ(ChunkSlotCount(8, 200 * mib), 1u);
  for (size_t threads : {1u, 2u, 8u, 32u})
    for (uint64_t bytes = 1; bytes < 120 * mib; bytes = bytes * 3 + 7) {
      const size_t slots = ChunkSlotCount(threads, bytes);
      EXPECT_GE(slots, 1u);
      EXPECT_LE(slots, threads + 2);
      if (slots > 1) {
        EXPECT_LE(slots * bytes, kChunkSlotBudget) << threads << " " << bytes;
      }
    }
}

#include "support/compute_lane.h"

#include <gtest/gtest.h>

#include <atomic>

// The extraction loops rely on two promises: jobs finish in submission
// order, and Reserve hands out a slot only once the job that last used that
// slot's buffer has finished.
TEST(ComputeLane, JobsRunInOrderAndSlotsAreFreeWhenReserved) {
  constexpr size_t kDepth = 3;
  constexpr int kJobs = 200;
  std::atomic<int> next{0};
  std::atomic<int> position[kJobs];
  for (auto& p : position) p = -1;
  int slotOwner[kDepth] = {-1, -1, -1};
  int reusedEarly = 0;
  {
    ComputeLane lane(kDepth);
    for (int i = 0; i < kJobs; ++i) {
      const size_t slot = lane.Reserve();
      EXPECT_EQ(slot, static_cast<size_t>(i) % kDepth);
      if (slotOwner[slot] >= 0 && position[slotOwner[slot]] < 0) ++reusedEarly;
      slotOwner[slot] = i;
      lane.Submit([&next, &position, i] { position[i] = next++; });
      EXPECT_LE(lane.unfinished(), kDepth);
    }
    lane.Drain();
    EXPECT_EQ(lane.unfinished(), 0u);
    for (int i = 0; i < kJobs; ++i) EXPECT_EQ(position[i], i);
  }
  EXPECT_EQ(reusedEarly, 0);
}

TEST(ComputeLane, DestructionWaitsForQueuedJobs) {
  std::atomic<int> ran{0};
  {
    ComputeLane lane(2);
    lane.Submit([&ran] { ++ran; });
    lane.Submit([&ran] { ++ran; });
  }
  EXPECT_EQ(ran, 2);
}

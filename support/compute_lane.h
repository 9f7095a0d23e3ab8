// A second thread for pure computation (digests, descrambling, inflating),
// so that it overlaps the worker's reading and writing. Jobs run one at a
// time in the order they were submitted. A job works only on memory it is
// handed: it opens no file and writes no diagnostic line, so the worker
// stays the only thread that touches files and the log.
#pragma once

#include <atomic>
#include <cstddef>
#include <memory>

#include "platform/platform.h"
#include "support/compute_job.h"

class ComputeLane {
 public:
  // At most `depth` jobs are unfinished at any time.
  explicit ComputeLane(size_t depth);
  // Waits for every job, then ends the thread.
  ~ComputeLane();
  ComputeLane(const ComputeLane&) = delete;
  ComputeLane& operator=(const ComputeLane&) = delete;

  // Waits until fewer than `depth` jobs are unfinished and returns the slot
  // (0 .. depth-1) of the next job: a caller with one buffer per slot may
  // fill that buffer now, because the job that last used it has finished.
  size_t Reserve();
  // Queues the job (Reserve first). Without a thread (none could be started,
  // or the job ring could not be had) it runs at once.
  void Submit(ComputeJob job);
  // Waits until every submitted job has finished.
  void Drain();
  // Waits until the first `count` jobs submitted have finished.
  void WaitFinished(size_t count);
  size_t unfinished() const { return submitted_ - finished_; }
  size_t submitted() const { return submitted_; }

 private:
  static void Run(void* self);
  // Waits until `counter` reaches `target`. A side sleeps on its semaphore
  // only after it has said so in `waiting`, and the other side signals only
  // then: a semaphore costs a system call (under wine a server round trip),
  // and most hand-overs find the other side busy.
  static void Await(const std::atomic<size_t>& counter, size_t target, std::atomic<bool>& waiting,
                    platform::Semaphore semaphore);
  static void Wake(std::atomic<bool>& waiting, platform::Semaphore semaphore);

  size_t depth_;
  std::unique_ptr<ComputeJob[]> jobs_;
  // Each side's counter and flag on a cache line of their own.
  alignas(64) std::atomic<size_t> submitted_{0};  // written by the worker
  std::atomic<bool> workerWaiting_{false};
  alignas(64) std::atomic<size_t> finished_{0};  // written by the lane
  std::atomic<bool> laneWaiting_{false};
  platform::Semaphore ready_ = nullptr;  // wakes the lane
  platform::Semaphore done_ = nullptr;   // wakes the worker
  platform::ThreadHandle thread_ = nullptr;
};

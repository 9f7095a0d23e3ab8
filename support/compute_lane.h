// A second thread for pure computation (digests, descrambling, inflating),
// so that it overlaps the worker's reading and writing. Jobs run one at a
// time in the order they were submitted. A job works only on memory it is
// handed: it opens no file and writes no diagnostic line, so the worker
// stays the only thread that touches files and the log.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>

#include "platform/platform.h"

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
  // Queues the job (Reserve first). Without a thread it runs at once.
  void Submit(std::function<void()> job);
  // Waits until every submitted job has finished.
  void Drain();
  // Waits for the oldest unfinished job, if any.
  void WaitOldest();
  size_t unfinished() const { return submitted_ - finished_; }

 private:
  static void Run(void* self);

  size_t depth_;
  std::unique_ptr<std::function<void()>[]> jobs_;
  size_t submitted_ = 0;  // worker side
  size_t finished_ = 0;   // worker side: jobs it has seen finish
  platform::Semaphore ready_ = nullptr;  // jobs queued
  platform::Semaphore done_ = nullptr;   // jobs finished
  platform::ThreadHandle thread_ = nullptr;
};

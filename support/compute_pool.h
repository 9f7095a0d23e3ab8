// Threads that only compute, one per processor the process may use: jobs
// run side by side and may finish in any order; the submitting thread
// takes their results in the order it chooses (WaitJob). A job works only
// on memory it is handed: it opens no file and writes no diagnostic line,
// so the worker stays the only thread that touches files and the log.
#pragma once

#include <atomic>
#include <cstddef>
#include <memory>

#include "platform/platform.h"
#include "support/compute_job.h"

class ComputePool {
 public:
  // The pool never has more threads than this.
  static constexpr size_t kMaxThreads = 32;

  // `threads` threads, at most kMaxThreads (fewer if some cannot be started;
  // with none, or without memory for the job ring, every job runs inline at
  // Submit); at most `depth` jobs unfinished at any time.
  ComputePool(size_t threads, size_t depth);
  // Waits for every job, then ends the threads.
  ~ComputePool();
  ComputePool(const ComputePool&) = delete;
  ComputePool& operator=(const ComputePool&) = delete;

  size_t threads() const { return threadCount_; }
  size_t depth() const { return depth_; }
  // Jobs are numbered from 0 in the order of submission.
  size_t submitted() const { return submitted_.load(std::memory_order_relaxed); }
  // Queues the job as number submitted(); waits first while `depth` jobs are
  // unfinished.
  void Submit(ComputeJob job);
  // Waits until job `number` has finished.
  void WaitJob(size_t number);
  // Waits until every submitted job has finished.
  void Drain();

 private:
  static void Run(void* self);
  void RunJobs();
  bool Finished(size_t number) const;

  size_t depth_;
  size_t threadCount_ = 0;
  std::unique_ptr<ComputeJob[]> jobs_;
  // Per ring place: number + 1 of the last job there that has finished.
  std::unique_ptr<std::atomic<size_t>[]> finished_;
  platform::ThreadHandle handles_[kMaxThreads] = {};
  alignas(64) std::atomic<size_t> submitted_{0};  // written by the submitter
  std::atomic<bool> submitterWaiting_{false};
  std::atomic<bool> stop_{false};
  alignas(64) std::atomic<size_t> claimed_{0};  // jobs taken by a thread
  std::atomic<size_t> sleepers_{0};             // threads asleep or about to be
  platform::Semaphore work_ = nullptr;          // wakes a thread
  platform::Semaphore done_ = nullptr;          // wakes the submitter
};

#include "support/compute_pool.h"

#include <new>

#include "support/compute_wait.h"

using compute_wait::CpuRelax;
using compute_wait::kMaxWakeups;
using compute_wait::kSpins;

ComputePool::ComputePool(size_t threads, size_t depth)
    : depth_(depth ? depth : 1),
      jobs_(new (std::nothrow) ComputeJob[depth_]),
      finished_(new (std::nothrow) std::atomic<size_t>[depth_]) {
  if (threads > kMaxThreads) threads = kMaxThreads;
  if (!jobs_ || !finished_) return;
  for (size_t i = 0; i < depth_; ++i) finished_[i].store(0);
  work_ = platform::CreateCountingSemaphore(0, kMaxWakeups);
  done_ = platform::CreateCountingSemaphore(0, kMaxWakeups);
  if (!work_ || !done_) return;
  for (size_t i = 0; i < threads; ++i) {
    handles_[threadCount_] = platform::StartThread(&ComputePool::Run, this);
    if (handles_[threadCount_] == nullptr) break;
    ++threadCount_;
  }
}

ComputePool::~ComputePool() {
  Drain();
  stop_.store(true);
  for (size_t i = 0; i < threadCount_; ++i) platform::SignalSemaphore(work_);
  for (size_t i = 0; i < threadCount_; ++i) platform::JoinThread(handles_[i]);
  if (work_) platform::DestroySemaphore(work_);
  if (done_) platform::DestroySemaphore(done_);
}

void ComputePool::Run(void* self) { static_cast<ComputePool*>(self)->RunJobs(); }

void ComputePool::RunJobs() {
  int spins = 0;
  for (;;) {
    size_t next = claimed_.load();
    if (next < submitted_.load()) {
      if (!claimed_.compare_exchange_weak(next, next + 1)) continue;
      jobs_[next % depth_]();
      finished_[next % depth_].store(next + 1);
      if (submitterWaiting_.exchange(false)) platform::SignalSemaphore(done_);
      spins = 0;
      continue;
    }
    if (stop_.load()) return;
    if (spins < kSpins) {
      ++spins;
      CpuRelax();
      continue;
    }
    spins = 0;
    // Say so before the last look: Submit either sees a sleeper and wakes
    // one, or this look sees its job.
    sleepers_.fetch_add(1);
    if (claimed_.load() < submitted_.load() || stop_.load()) {
      size_t count = sleepers_.load();
      while (count > 0 && !sleepers_.compare_exchange_weak(count, count - 1)) {
      }
      // The submitter took the count back first: its wake-up is on the way.
      if (count == 0) platform::WaitSemaphore(work_);
      continue;
    }
    platform::WaitSemaphore(work_);
  }
}

bool ComputePool::Finished(size_t number) const { return finished_[number % depth_].load() > number; }

void ComputePool::Submit(ComputeJob job) {
  const size_t number = submitted_.load();
  // The ring place is free once the job `depth` places back has finished.
  if (number >= depth_) WaitJob(number - depth_);
  if (threadCount_ == 0) {
    job();
    submitted_.store(number + 1);
    claimed_.store(number + 1);
    return;
  }
  jobs_[number % depth_] = job;
  submitted_.store(number + 1);
  size_t count = sleepers_.load();
  while (count > 0 && !sleepers_.compare_exchange_weak(count, count - 1)) {
  }
  if (count > 0) platform::SignalSemaphore(work_);
}

void ComputePool::WaitJob(size_t number) {
  // Without threads every job finished within its Submit.
  if (threadCount_ == 0 || number >= submitted_.load()) return;
  for (int spin = 0; spin < kSpins; ++spin) {
    if (Finished(number)) return;
    CpuRelax();
  }
  while (!Finished(number)) {
    submitterWaiting_.store(true);
    // Seen after saying so: a finishing thread either sees the flag or
    // made this check succeed.
    if (Finished(number)) break;
    platform::WaitSemaphore(done_);
  }
}

void ComputePool::Drain() {
  const size_t count = submitted_.load();
  const size_t first = count > depth_ ? count - depth_ : 0;
  for (size_t number = first; number < count; ++number) WaitJob(number);
}

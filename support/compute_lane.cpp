#include "support/compute_lane.h"

#include <new>

#include "support/compute_wait.h"

using compute_wait::kMaxWakeups;

ComputeLane::ComputeLane(size_t depth) : depth_(depth ? depth : 1), jobs_(new (std::nothrow) ComputeJob[depth_]) {
  ready_ = platform::CreateCountingSemaphore(0, kMaxWakeups);
  done_ = platform::CreateCountingSemaphore(0, kMaxWakeups);
  if (jobs_ && ready_ && done_) thread_ = platform::StartThread(&ComputeLane::Run, this);
  // Without a thread every job runs inline: slower, never different.
}

ComputeLane::~ComputeLane() {
  Drain();
  if (thread_) {
    jobs_[submitted_ % depth_] = ComputeJob();  // an empty job ends the thread
    ++submitted_;
    Wake(laneWaiting_, ready_);
    platform::JoinThread(thread_);
  }
  if (ready_) platform::DestroySemaphore(ready_);
  if (done_) platform::DestroySemaphore(done_);
}

void ComputeLane::Await(const std::atomic<size_t>& counter, size_t target, std::atomic<bool>& waiting,
                        platform::Semaphore semaphore) {
  for (int spin = 0; spin < compute_wait::kSpins; ++spin) {
    if (counter.load(std::memory_order_acquire) >= target) return;
    compute_wait::CpuRelax();
  }
  while (counter.load() < target) {
    waiting.store(true);
    // Seen after saying so: the other side either sees the flag or made
    // this check succeed.
    if (counter.load() >= target) break;
    platform::WaitSemaphore(semaphore);
  }
}

void ComputeLane::Wake(std::atomic<bool>& waiting, platform::Semaphore semaphore) {
  if (waiting.exchange(false)) platform::SignalSemaphore(semaphore);
}

void ComputeLane::Run(void* self) {
  ComputeLane* lane = static_cast<ComputeLane*>(self);
  for (size_t next = 0;; ++next) {
    Await(lane->submitted_, next + 1, lane->laneWaiting_, lane->ready_);
    ComputeJob& job = lane->jobs_[next % lane->depth_];
    if (!job) return;
    job();
    lane->finished_.store(next + 1);
    Wake(lane->workerWaiting_, lane->done_);
  }
}

size_t ComputeLane::Reserve() {
  if (unfinished() >= depth_) WaitFinished(submitted_ - depth_ + 1);
  return submitted_ % depth_;
}

void ComputeLane::Submit(ComputeJob job) {
  if (unfinished() >= depth_) WaitFinished(submitted_ - depth_ + 1);
  if (!thread_) {
    job();
    ++submitted_;
    ++finished_;
    return;
  }
  jobs_[submitted_ % depth_] = job;
  ++submitted_;
  Wake(laneWaiting_, ready_);
}

void ComputeLane::WaitFinished(size_t count) {
  if (count > submitted_) count = submitted_;
  Await(finished_, count, workerWaiting_, done_);
}

void ComputeLane::Drain() { WaitFinished(submitted_); }

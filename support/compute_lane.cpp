#include "support/compute_lane.h"

#include <utility>

ComputeLane::ComputeLane(size_t depth) : depth_(depth ? depth : 1), jobs_(new std::function<void()>[depth_]) {
  ready_ = platform::CreateCountingSemaphore(0, static_cast<uint32_t>(depth_) + 1);
  done_ = platform::CreateCountingSemaphore(0, static_cast<uint32_t>(depth_) + 1);
  if (ready_ && done_) thread_ = platform::StartThread(&ComputeLane::Run, this);
  // Without a thread every job runs inline: slower, never different.
}

ComputeLane::~ComputeLane() {
  Drain();
  if (thread_) {
    jobs_[submitted_ % depth_] = nullptr;  // an empty job ends the thread
    platform::SignalSemaphore(ready_);
    platform::JoinThread(thread_);
  }
  if (ready_) platform::DestroySemaphore(ready_);
  if (done_) platform::DestroySemaphore(done_);
}

void ComputeLane::Run(void* self) {
  ComputeLane* lane = static_cast<ComputeLane*>(self);
  for (size_t next = 0;; ++next) {
    platform::WaitSemaphore(lane->ready_);
    std::function<void()>& job = lane->jobs_[next % lane->depth_];
    if (!job) return;
    job();
    job = nullptr;
    platform::SignalSemaphore(lane->done_);
  }
}

size_t ComputeLane::Reserve() {
  if (unfinished() >= depth_) WaitOldest();
  return submitted_ % depth_;
}

void ComputeLane::Submit(std::function<void()> job) {
  if (unfinished() >= depth_) WaitOldest();
  if (!thread_) {
    job();
    ++submitted_;
    ++finished_;
    return;
  }
  jobs_[submitted_ % depth_] = std::move(job);
  ++submitted_;
  platform::SignalSemaphore(ready_);
}

void ComputeLane::WaitOldest() {
  if (unfinished() == 0) return;
  platform::WaitSemaphore(done_);
  ++finished_;
}

void ComputeLane::Drain() {
  while (unfinished() > 0) WaitOldest();
}

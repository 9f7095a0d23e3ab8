// Compute threads and semaphores on POSIX.
#include <errno.h>
#include <pthread.h>
#include <sched.h>
#include <semaphore.h>
#include <unistd.h>

#include <new>

#include "platform/platform.h"

namespace platform {
namespace {
struct Start {
  void (*run)(void*);
  void* context;
  pthread_t thread;
};

void* ThreadMain(void* parameter) {
  Start* start = static_cast<Start*>(parameter);
  start->run(start->context);
  return nullptr;
}
}  // namespace

ThreadHandle StartThread(void (*run)(void*), void* context) {
  // No exception may leave here: without memory there is no thread, as
  // when the system refuses one.
  Start* start = new (std::nothrow) Start{run, context, {}};
  if (start == nullptr) return nullptr;
  if (pthread_create(&start->thread, nullptr, ThreadMain, start) != 0) {
    delete start;
    return nullptr;
  }
  return start;
}

void JoinThread(ThreadHandle thread) {
  Start* start = static_cast<Start*>(thread);
  pthread_join(start->thread, nullptr);
  delete start;
}

uint32_t UsableProcessorCount() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof set, &set) != 0) return 1;
  const int count = CPU_COUNT(&set);
  return count > 0 ? static_cast<uint32_t>(count) : 1;
}

Semaphore CreateCountingSemaphore(uint32_t initial, uint32_t) {
  sem_t* semaphore = new (std::nothrow) sem_t;
  if (semaphore == nullptr) return nullptr;
  if (sem_init(semaphore, 0, initial) != 0) {
    delete semaphore;
    return nullptr;
  }
  return semaphore;
}

void SignalSemaphore(Semaphore semaphore) { sem_post(static_cast<sem_t*>(semaphore)); }

void WaitSemaphore(Semaphore semaphore) {
  while (sem_wait(static_cast<sem_t*>(semaphore)) != 0 && errno == EINTR) {
  }
}

void DestroySemaphore(Semaphore semaphore) {
  sem_destroy(static_cast<sem_t*>(semaphore));
  delete static_cast<sem_t*>(semaphore);
}

}  // namespace platform

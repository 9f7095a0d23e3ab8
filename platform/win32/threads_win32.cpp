// Compute threads and semaphores on Win32.
#include <windows.h>

#include <new>

#include "platform/platform.h"

namespace platform {
namespace {
struct Start {
  void (*run)(void*);
  void* context;
};

DWORD WINAPI ThreadMain(LPVOID parameter) {
  Start start = *static_cast<Start*>(parameter);
  delete static_cast<Start*>(parameter);
  start.run(start.context);
  return 0;
}
}  // namespace

ThreadHandle StartThread(void (*run)(void*), void* context) {
  // No exception may leave here: without memory there is no thread, as
  // when the system refuses one.
  Start* start = new (std::nothrow) Start{run, context};
  if (start == nullptr) return nullptr;
  HANDLE thread = CreateThread(nullptr, 0, ThreadMain, start, 0, nullptr);
  if (thread == nullptr) {
    delete start;
    return nullptr;
  }
  return thread;
}

void JoinThread(ThreadHandle thread) {
  WaitForSingleObject(static_cast<HANDLE>(thread), INFINITE);
  CloseHandle(static_cast<HANDLE>(thread));
}

uint32_t UsableProcessorCount() {
  DWORD_PTR processMask = 0, systemMask = 0;
  if (!GetProcessAffinityMask(GetCurrentProcess(), &processMask, &systemMask)) return 1;
  uint32_t count = 0;
  for (; processMask != 0; processMask &= processMask - 1) ++count;
  return count > 0 ? count : 1;
}

Semaphore CreateCountingSemaphore(uint32_t initial, uint32_t maximum) {
  return CreateSemaphoreW(nullptr, static_cast<LONG>(initial), static_cast<LONG>(maximum), nullptr);
}

void SignalSemaphore(Semaphore semaphore) { ReleaseSemaphore(static_cast<HANDLE>(semaphore), 1, nullptr); }
void WaitSemaphore(Semaphore semaphore) { WaitForSingleObject(static_cast<HANDLE>(semaphore), INFINITE); }
void DestroySemaphore(Semaphore semaphore) { CloseHandle(static_cast<HANDLE>(semaphore)); }

}  // namespace platform

// Compute threads and semaphores on Win32.
#include <windows.h>

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
  Start* start = new Start{run, context};
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
  DWORD_PTR process = 0, system = 0;
  uint32_t count = 0;
  if (GetProcessAffinityMask(GetCurrentProcess(), &process, &system))
    for (; process != 0; process &= process - 1) ++count;
  if (count == 0) {
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    count = info.dwNumberOfProcessors;
  }
  return count ? count : 1;
}

Semaphore CreateCountingSemaphore(uint32_t initial, uint32_t maximum) {
  return CreateSemaphoreW(nullptr, static_cast<LONG>(initial), static_cast<LONG>(maximum), nullptr);
}

void SignalSemaphore(Semaphore semaphore) { ReleaseSemaphore(static_cast<HANDLE>(semaphore), 1, nullptr); }
void WaitSemaphore(Semaphore semaphore) { WaitForSingleObject(static_cast<HANDLE>(semaphore), INFINITE); }
void DestroySemaphore(Semaphore semaphore) { CloseHandle(static_cast<HANDLE>(semaphore)); }

}  // namespace platform

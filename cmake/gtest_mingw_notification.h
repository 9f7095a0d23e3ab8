// Forced into every googletest compilation of the win32 preset: the
// win32-thread mingw runtime has no std::mutex or std::condition_variable,
// which googletest's Notification uses. This one waits on a flag instead.
#pragma once

extern "C" __declspec(dllimport) void __stdcall Sleep(unsigned long milliseconds);

namespace testing {
namespace internal {

class Notification {
 public:
  Notification() : notified_(false) {}
  Notification(const Notification&) = delete;
  Notification& operator=(const Notification&) = delete;
  void Notify() { __atomic_store_n(&notified_, true, __ATOMIC_RELEASE); }
  void WaitForNotification() {
    while (!__atomic_load_n(&notified_, __ATOMIC_ACQUIRE)) Sleep(1);
  }

 private:
  bool notified_;
};

}  // namespace internal
}  // namespace testing

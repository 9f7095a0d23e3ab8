// Debug channel, diagnostic switch, clock, thread id and UTF-8 conversion on Win32.
#include <windows.h>

#include <atomic>

#include "platform/platform.h"

namespace platform {
namespace {
std::atomic<DebugSink> g_sink{nullptr};
void* g_sinkContext = nullptr;
}  // namespace

void SetDebugSink(DebugSink sink, void* context) {
  g_sinkContext = context;
  g_sink.store(sink);
}

void DebugOutput(const char* text) {
  if (DebugSink sink = g_sink.load()) {
    sink(text, g_sinkContext);
    return;
  }
  OutputDebugStringA(text);
}

bool ReadDiagSwitch() {
  HKEY key;
  // KEY_READ | KEY_WOW64_64KEY: a 32-bit process reads the 64-bit view.
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"Software\\Tolvekar", 0, KEY_READ | KEY_WOW64_64KEY, &key) !=
      ERROR_SUCCESS)
    return false;
  DWORD type = 0, size = 0;
  bool enabled = false;
  if (RegQueryValueExW(key, L"KZSTR", nullptr, &type, nullptr, &size) == ERROR_SUCCESS && type == REG_SZ &&
      size <= 255) {
    std::wstring value(size / 2, L'\0');  // the string adds its own terminator
    DWORD size2 = size;
    if (RegQueryValueExW(key, L"KZSTR", nullptr, &type, reinterpret_cast<BYTE*>(&value[0]), &size2) ==
        ERROR_SUCCESS)
      enabled = wcscmp(value.c_str(), L"!Diagnose!") == 0;
  }
  RegCloseKey(key);
  return enabled;
}

uint32_t TickCount() { return GetTickCount(); }
uint32_t CurrentThreadId() { return GetCurrentThreadId(); }

int WideToUtf8Raw(const wchar_t* text, char* out, int outSize, bool* insufficient) {
  int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, out, outSize, nullptr, nullptr);
  if (insufficient) *insufficient = n == 0 && GetLastError() == ERROR_INSUFFICIENT_BUFFER;
  return n;
}

int Utf8ToWideRaw(const char* text, wchar_t* out, int outSize, bool* insufficient) {
  int n = MultiByteToWideChar(CP_UTF8, 0, text, -1, out, outSize);
  if (insufficient) *insufficient = n == 0 && GetLastError() == ERROR_INSUFFICIENT_BUFFER;
  return n;
}

std::string MemoryBackedTempRoot(uint64_t) { return ""; }

}  // namespace platform

namespace platform {
namespace {
void (*g_onInterrupt)() = nullptr;

// Windows runs console control handlers on a thread of their own; FALSE
// passes the event on to the default handler, which ends the process.
BOOL WINAPI InterruptHandler(DWORD event) {
  if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT || event == CTRL_CLOSE_EVENT) g_onInterrupt();
  return FALSE;
}
}  // namespace

void CallOnInterrupt(void (*cleanup)()) {
  g_onInterrupt = cleanup;
  SetConsoleCtrlHandler(InterruptHandler, TRUE);
}

}  // namespace platform

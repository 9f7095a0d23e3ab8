#include "support/diag_log.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#include "platform/platform.h"

namespace {
// Shared by both threads without a lock: a stale read costs at most one
// extra or one skipped registry read, never a wrong line.
volatile bool g_diagQuiet = true;
volatile uint32_t g_lastDiagCheck = 0;

constexpr int kLineBuffer = 4092;
constexpr int kPrefixLength = 13;
constexpr int kUngatedBuffer = 1024;
}  // namespace

bool IsDiagQuiet() {
  uint32_t now = platform::TickCount();
  uint32_t interval = static_cast<uint32_t>((rand() & 31) + 30) * 100;
  if (now - g_lastDiagCheck <= interval) return g_diagQuiet;
  g_lastDiagCheck = now;
  g_diagQuiet = !platform::ReadDiagSwitch();
  return g_diagQuiet;
}

void DiagLog(const char* format, ...) {
  if (IsDiagQuiet()) return;
  char buffer[kLineBuffer];
  snprintf(buffer, sizeof buffer, "[T %08x] ", platform::CurrentThreadId());
  va_list args;
  va_start(args, format);
  // vsnprintf always terminates: a longer message is cut to 4077 bytes.
  vsnprintf(buffer + kPrefixLength, kLineBuffer - kPrefixLength - 1, format, args);
  va_end(args);
  platform::DebugOutput(buffer);
}

void UngatedLog(const char* format, ...) {
  char buffer[kUngatedBuffer];
  va_list args;
  va_start(args, format);
  vsnprintf(buffer, sizeof buffer, format, args);
  va_end(args);
  platform::DebugOutput(buffer);
}

void ResetDiagStateForTesting() {
  g_diagQuiet = true;
  g_lastDiagCheck = 0;
}

// Diagnostic lines on the debug channel, gated by the diagnostic switch.
#pragma once

#include <cstdint>

#if defined(__GNUC__)
#define KZ_PRINTF(fmt, args) __attribute__((format(printf, fmt, args)))
#else
#define KZ_PRINTF(fmt, args)
#endif

// Writes "[T %08x] " + the formatted message (cut to 4077 bytes) when the
// switch is on. No line break is added.
void DiagLog(const char* format, ...) KZ_PRINTF(1, 2);

// True while output must stay off. The switch is re-read at most every
// 3.0 to 6.1 seconds (a random interval drawn on every call) and cached.
bool IsDiagQuiet();

// The few start-up and progress lines that are written whatever the switch
// says: formatted into 1024 bytes (cut, never written past), no prefix.
void UngatedLog(const char* format, ...) KZ_PRINTF(1, 2);

// Tests reset the cached switch state between cases.
void ResetDiagStateForTesting();

// The two ways of running the worker: gui (dialog on this thread, worker on
// a second one, messages pumped until it ends) and silent (worker inline).
#pragma once

#include <windows.h>

namespace installer {

// Both return the worker's result, the installer's exit code.
DWORD RunGuiMode(HINSTANCE instance);
DWORD RunSilentMode();

// Serves this thread's messages until `thread` ends. Sent messages (the
// worker's progress reports) wake the wait at once.
void PumpUntilThreadEnds(HANDLE thread);

}  // namespace installer

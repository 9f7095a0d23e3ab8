// Start-up of the installer: DLL search hardening, module path, run type,
// own-signature check, then the run mode. wWinMain only forwards here.
#pragma once

#include <windows.h>

#include <string>

namespace installer {

// Limits the DLL search to System32 where the system supports it, so that
// no DLL planted beside the installer (a downloads folder) is ever loaded.
void RestrictDllSearch();

// The full path of `module`, however long (the buffer grows from 1024).
std::wstring ReadModulePath(HMODULE module);

// Whole start-up; returns the exit code: the worker's result (setup's own
// exit code, or 1603 when the installation could not be prepared), 1
// without a run type, 2 when the installer's own signature is invalid.
int RunInstaller(HINSTANCE instance, const wchar_t* commandTail);

}  // namespace installer

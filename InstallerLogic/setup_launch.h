// Starting the extracted setup program: the installer's own arguments, then
// the installer's path, with the workspace as current directory.
#pragma once

#include <windows.h>

#include <string>

namespace installer {

// One argument as the platform's splitter (CommandLineToArgvW) reads it
// back: unchanged unless it is empty or holds a blank, tab or double quote;
// then quoted, inner quotes escaped, backslashes in front of a quote and at
// the end doubled.
std::wstring QuoteArgument(const std::wstring& argument);

// "<workDir>setup.exe" followed by every argument and the quoted module path.
std::wstring BuildSetupCommandLine(const std::wstring& workDir, int argc, wchar_t** argv,
                                   const std::wstring& modulePath);

// How a run of setup went.
struct SetupRun {
  bool ended = false;               // setup was started and has ended
  DWORD exitCode = 0;               // then: its exit code, exactly
  const char* failedStep = nullptr;  // otherwise: what could not be done
  DWORD error = 0;                  // and the system's error code for it
};

// Waits for the setup process without time-out and reads its exit code.
SetupRun WaitForSetup(HANDLE process);

// Starts setup, hides `dialog` (when not null), waits for setup to end.
SetupRun LaunchSetup(const std::wstring& workDir, int argc, wchar_t** argv, const std::wstring& modulePath,
                     HWND dialog);

}  // namespace installer

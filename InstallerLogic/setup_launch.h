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

// Starts setup, hides `dialog` (when not null), waits for setup to end.
// 0 when setup ran, 1 when it could not start.
DWORD LaunchSetup(const std::wstring& workDir, int argc, wchar_t** argv, const std::wstring& modulePath,
                  HWND dialog);

}  // namespace installer

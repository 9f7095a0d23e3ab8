#include "InstallerLogic/setup_launch.h"

#include <vector>

#include "support/diag_log.h"
#include "support/strings.h"

namespace installer {

std::wstring QuoteArgument(const std::wstring& argument) {
  if (!argument.empty() && argument.find_first_of(L" \t\"") == std::wstring::npos) return argument;
  std::wstring quoted = L"\"";
  size_t backslashes = 0;
  for (wchar_t c : argument) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    if (c == L'"') {
      // Each backslash in front of a quote is doubled, the quote escaped.
      quoted.append(backslashes * 2 + 1, L'\\');
    } else {
      quoted.append(backslashes, L'\\');
    }
    backslashes = 0;
    quoted += c;
  }
  // Backslashes in front of the closing quote are doubled as well.
  quoted.append(backslashes * 2, L'\\');
  quoted += L'"';
  return quoted;
}

std::wstring BuildSetupCommandLine(const std::wstring& workDir, int argc, wchar_t** argv,
                                   const std::wstring& modulePath) {
  std::wstring line = L"\"" + workDir + L"setup.exe\"";
  for (int i = 0; i < argc; ++i) line += L" " + QuoteArgument(argv[i]);
  // The installer's path is always quoted.
  std::wstring path = QuoteArgument(modulePath);
  if (path.empty() || path[0] != L'"') path = L"\"" + path + L"\"";
  line += L" " + path;
  return line;
}

SetupRun WaitForSetup(HANDLE process) {
  SetupRun run;
  // A wait or a read that fails leaves setup's outcome unknown: never
  // reported as its exit code.
  if (WaitForSingleObject(process, INFINITE) != WAIT_OBJECT_0 || !GetExitCodeProcess(process, &run.exitCode)) {
    run.failedStep = "waiting for setup.exe";
    run.error = GetLastError();
    return run;
  }
  run.ended = true;
  return run;
}

SetupRun LaunchSetup(const std::wstring& workDir, int argc, wchar_t** argv, const std::wstring& modulePath,
                     HWND dialog) {
  const std::wstring commandLine = BuildSetupCommandLine(workDir, argc, argv, modulePath);
  DiagLog("setup.exe: %s\n", WideToUtf8(commandLine).c_str());
  // CreateProcessW may write into its command line.
  std::vector<wchar_t> buffer(commandLine.begin(), commandLine.end());
  buffer.push_back(L'\0');

  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  const BOOL started = CreateProcessW(nullptr, buffer.data(), nullptr, nullptr, FALSE, 0, nullptr,
                                      workDir.c_str(), &startup, &process);
  if (!started) {
    SetupRun run;
    run.failedStep = "starting setup.exe";
    run.error = GetLastError();
    return run;
  }
  CloseHandle(process.hThread);
  if (dialog) ShowWindow(dialog, SW_HIDE);
  const SetupRun run = WaitForSetup(process.hProcess);
  CloseHandle(process.hProcess);
  return run;
}

}  // namespace installer

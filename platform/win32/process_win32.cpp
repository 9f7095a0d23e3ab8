#include <windows.h>

#include "platform/process.h"
#include "support/strings.h"

namespace platform {
namespace {

constexpr size_t kKeptErrors = 4096;

// The C runtime's argument splitting: double quotes, backslashes before a
// quote doubled.
std::wstring Quote(const std::string& argument) {
  std::string quoted = "\"";
  size_t backslashes = 0;
  for (char c : argument) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    quoted.append(c == '"' ? backslashes * 2 + 1 : backslashes, '\\');
    backslashes = 0;
    quoted += c;
  }
  quoted.append(backslashes * 2, '\\');
  return Utf8ToWide(quoted + "\"");
}

std::wstring EnvironmentBlock(const std::vector<std::pair<std::string, std::string>>& extra) {
  std::wstring block;
  wchar_t* current = GetEnvironmentStringsW();
  for (const wchar_t* e = current; e && *e; e += wcslen(e) + 1) {
    const std::string entry = WideToUtf8(e);
    bool replaced = false;
    for (const auto& pair : extra)
      replaced = replaced || _strnicmp(entry.c_str(), (pair.first + "=").c_str(), pair.first.size() + 1) == 0;
    if (!replaced) block += std::wstring(e) + L'\0';
  }
  if (current) FreeEnvironmentStringsW(current);
  for (const auto& pair : extra) block += Utf8ToWide(pair.first + "=" + pair.second) + L'\0';
  return block + L'\0';
}

// One pipe served by a thread of its own (the mingw runtime here has no std::thread).
struct PipeJob {
  HANDLE pipe;
  std::string* sink;  // read into, or
  const std::string* source;  // written from, then the pipe is closed
  size_t keep;
};

DWORD WINAPI ServePipe(LPVOID argument) {
  PipeJob* job = static_cast<PipeJob*>(argument);
  if (job->source) {
    DWORD done = 0;
    if (!job->source->empty())
      WriteFile(job->pipe, job->source->data(), static_cast<DWORD>(job->source->size()), &done, nullptr);
    CloseHandle(job->pipe);
    return 0;
  }
  char block[4096];
  DWORD got = 0;
  while (ReadFile(job->pipe, block, sizeof block, &got, nullptr) && got > 0) {
    job->sink->append(block, got);
    if (job->keep && job->sink->size() > job->keep) job->sink->erase(0, job->sink->size() - job->keep);
  }
  return 0;
}

}  // namespace

ProcessResult RunProcess(const std::vector<std::string>& argv,
                         const std::vector<std::pair<std::string, std::string>>& extraEnvironment,
                         const std::string& input, size_t maxOutput, int timeoutMilliseconds) {
  ProcessResult result;
  if (argv.empty()) {
    result.startError = "no program given";
    return result;
  }
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  HANDLE inRead, inWrite, outRead, outWrite, errRead, errWrite;
  if (!CreatePipe(&inRead, &inWrite, &inherit, 0) || !CreatePipe(&outRead, &outWrite, &inherit, 0) ||
      !CreatePipe(&errRead, &errWrite, &inherit, 0)) {
    result.startError = "cannot create pipes";
    return result;
  }
  SetHandleInformation(inWrite, HANDLE_FLAG_INHERIT, 0);
  SetHandleInformation(outRead, HANDLE_FLAG_INHERIT, 0);
  SetHandleInformation(errRead, HANDLE_FLAG_INHERIT, 0);
  std::wstring commandLine;
  for (const std::string& argument : argv) commandLine += (commandLine.empty() ? L"" : L" ") + Quote(argument);
  std::wstring environment = EnvironmentBlock(extraEnvironment);
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = inRead;
  startup.hStdOutput = outWrite;
  startup.hStdError = errWrite;
  PROCESS_INFORMATION process{};
  // A job, so that stopping the program at the limit stops its children too.
  HANDLE job = CreateJobObjectW(nullptr, nullptr);
  const BOOL created = CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, TRUE,
                                      CREATE_UNICODE_ENVIRONMENT | CREATE_NO_WINDOW | CREATE_SUSPENDED, &environment[0],
                                      nullptr, &startup, &process);
  CloseHandle(inRead);
  CloseHandle(outWrite);
  CloseHandle(errWrite);
  if (!created) {
    result.startError = "cannot start it (error " + std::to_string(GetLastError()) + ")";
    CloseHandle(inWrite);
    CloseHandle(outRead);
    CloseHandle(errRead);
    if (job) CloseHandle(job);
    return result;
  }
  if (job) AssignProcessToJobObject(job, process.hProcess);
  ResumeThread(process.hThread);
  CloseHandle(process.hThread);
  result.started = true;

  PipeJob jobs[3] = {{inWrite, nullptr, &input, 0},
                     {errRead, &result.errors, nullptr, kKeptErrors},
                     {outRead, &result.output, nullptr, 0}};
  HANDLE threads[3];
  for (int i = 0; i < 3; ++i) threads[i] = CreateThread(nullptr, 0, ServePipe, &jobs[i], 0, nullptr);
  if (!threads[0]) CloseHandle(inWrite);
  const DWORD waited = WaitForSingleObject(process.hProcess, static_cast<DWORD>(timeoutMilliseconds));
  if (waited != WAIT_OBJECT_0) {
    result.timedOut = true;
    if (job) TerminateJobObject(job, 1);
    TerminateProcess(process.hProcess, 1);
  } else {
    DWORD code = 0;
    GetExitCodeProcess(process.hProcess, &code);
    result.exitCode = static_cast<int>(code);
  }
  // Children that outlive it may hold the pipes open: stop them too.
  if (job) TerminateJobObject(job, 1);
  for (HANDLE thread : threads) {
    if (!thread) continue;
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
  }
  CloseHandle(outRead);
  CloseHandle(errRead);
  CloseHandle(process.hProcess);
  if (job) CloseHandle(job);
  if (result.output.size() > maxOutput) result.outputTooLong = true;
  return result;
}

}  // namespace platform

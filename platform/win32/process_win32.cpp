#include <windows.h>

#include "platform/process.h"
#include "support/strings.h"

namespace platform {
namespace {

constexpr size_t kKeptErrors = 4096;
constexpr DWORD kBlock = 4096;
// After the program ended (and the job with it), pipes still open are held
// by a process outside the job: they are not waited for longer than this.
constexpr DWORD kDrainAfterExitMs = 2000;

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

std::wstring EnvironmentValue(const wchar_t* name) {
  const DWORD size = GetEnvironmentVariableW(name, nullptr, 0);
  if (size == 0) return L"";
  std::wstring value(size, L'\0');
  const DWORD got = GetEnvironmentVariableW(name, &value[0], size);
  value.resize(got < size ? got : 0);
  return value;
}

// A ';'-separated list, blanks and quotes around each item dropped.
std::vector<std::wstring> SplitList(const std::wstring& list) {
  std::vector<std::wstring> items;
  size_t start = 0;
  while (start <= list.size()) {
    size_t end = list.find(L';', start);
    if (end == std::wstring::npos) end = list.size();
    std::wstring item = list.substr(start, end - start);
    const size_t first = item.find_first_not_of(L" \t\"");
    const size_t last = item.find_last_not_of(L" \t\"");
    if (first != std::wstring::npos) items.push_back(item.substr(first, last - first + 1));
    start = end + 1;
  }
  return items;
}

bool IsFile(const std::wstring& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool IsAbsolute(const std::wstring& path) {
  return (path.size() >= 3 && path[1] == L':' && (path[2] == L'\\' || path[2] == L'/')) ||
         path.rfind(L"\\\\", 0) == 0;
}

// `base` itself when its name has an extension, else with the first
// PATHEXT extension that names a file; "" when none does.
std::wstring WithExtension(const std::wstring& base) {
  const size_t slash = base.find_last_of(L"\\/");
  if (base.find(L'.', slash == std::wstring::npos ? 0 : slash + 1) != std::wstring::npos && IsFile(base)) return base;
  std::wstring extensions = EnvironmentValue(L"PATHEXT");
  if (extensions.empty()) extensions = L".COM;.EXE;.BAT;.CMD";
  for (const std::wstring& extension : SplitList(extensions))
    if (IsFile(base + extension)) return base + extension;
  return L"";
}

// The file to start. A bare name is looked up in the absolute folders of
// PATH only: CreateProcessW's own search would try our folder and the
// current one first, where a planted program could wait.
std::wstring FindProgram(const std::wstring& name) {
  if (name.find_first_of(L"\\/:") != std::wstring::npos) return WithExtension(name);
  for (std::wstring folder : SplitList(EnvironmentValue(L"PATH"))) {
    if (!IsAbsolute(folder)) continue;  // "." or a relative entry is the current folder again
    if (folder.back() != L'\\' && folder.back() != L'/') folder += L'\\';
    const std::wstring found = WithExtension(folder + name);
    if (!found.empty()) return found;
  }
  return L"";
}

// Our end of a pipe (overlapped, so one thread can serve all three with a
// deadline) and the child's (inheritable, synchronous).
bool MakePipe(bool childReads, HANDLE* ours, HANDLE* theirs) {
  static LONG serial = 0;
  const std::wstring name = L"\\\\.\\pipe\\kzpack-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                            std::to_wstring(InterlockedIncrement(&serial)) + L"-" + std::to_wstring(GetTickCount());
  const DWORD access =
      (childReads ? PIPE_ACCESS_OUTBOUND : PIPE_ACCESS_INBOUND) | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE;
  *ours = CreateNamedPipeW(name.c_str(), access, PIPE_TYPE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS, 1, kBlock,
                           kBlock, 0, nullptr);
  if (*ours == INVALID_HANDLE_VALUE)  // Windows XP does not know PIPE_REJECT_REMOTE_CLIENTS
    *ours = CreateNamedPipeW(name.c_str(), access, PIPE_TYPE_BYTE | PIPE_WAIT, 1, kBlock, kBlock, 0, nullptr);
  if (*ours == INVALID_HANDLE_VALUE) return false;
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  *theirs = CreateFileW(name.c_str(), childReads ? GENERIC_READ | FILE_WRITE_ATTRIBUTES : GENERIC_WRITE | FILE_READ_ATTRIBUTES,
                        0, &inherit, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (*theirs == INVALID_HANDLE_VALUE) {
    CloseHandle(*ours);
    return false;
  }
  return true;
}

// One of our pipe ends with its overlapped operation.
struct Channel {
  HANDLE pipe = INVALID_HANDLE_VALUE;
  HANDLE event = nullptr;
  OVERLAPPED overlapped{};
  bool pending = false;
  char block[kBlock];

  bool open() const { return pipe != INVALID_HANDLE_VALUE; }
  void Close() {
    if (!open()) return;
    if (pending) {
      DWORD ignored = 0;
      CancelIo(pipe);
      GetOverlappedResult(pipe, &overlapped, &ignored, TRUE);
      pending = false;
    }
    CloseHandle(pipe);
    pipe = INVALID_HANDLE_VALUE;
  }
  // Starts a read of up to `size` bytes; false (and closed) when the pipe is done.
  bool Read(DWORD size) {
    overlapped = OVERLAPPED{};
    overlapped.hEvent = event;
    if (ReadFile(pipe, block, size, nullptr, &overlapped) || GetLastError() == ERROR_IO_PENDING) {
      pending = true;
      return true;
    }
    Close();
    return false;
  }
  bool Write(const std::string& data) {
    overlapped = OVERLAPPED{};
    overlapped.hEvent = event;
    if (WriteFile(pipe, data.data(), static_cast<DWORD>(data.size()), nullptr, &overlapped) ||
        GetLastError() == ERROR_IO_PENDING) {
      pending = true;
      return true;
    }
    Close();
    return false;
  }
  // The finished operation's byte count; 0 (and closed) at the end or on an error.
  DWORD Finish() {
    DWORD done = 0;
    pending = false;
    if (!GetOverlappedResult(pipe, &overlapped, &done, FALSE) || done == 0) {
      Close();
      return 0;
    }
    return done;
  }
};

void CloseAll(std::initializer_list<HANDLE> handles) {
  for (HANDLE handle : handles)
    if (handle && handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
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
  const std::wstring program = FindProgram(Utf8ToWide(argv[0]));
  if (program.empty()) {
    result.startError = argv[0].find_first_of("\\/:") == std::string::npos
                            ? "not found on PATH (a bare name is looked up there only)"
                            : "no such program";
    return result;
  }
  Channel channels[3];  // stdin, stdout, stderr
  HANDLE childEnds[3] = {INVALID_HANDLE_VALUE, INVALID_HANDLE_VALUE, INVALID_HANDLE_VALUE};
  bool piped = true;
  for (int i = 0; i < 3; ++i) {
    channels[i].event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    piped = piped && channels[i].event && MakePipe(i == 0, &channels[i].pipe, &childEnds[i]);
  }
  // A job, so that a time-out stops the program's children too; closing it
  // ends whatever is left.
  HANDLE job = piped ? CreateJobObjectW(nullptr, nullptr) : nullptr;
  if (job) {
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits);
  }
  std::wstring commandLine;
  for (const std::string& argument : argv) commandLine += (commandLine.empty() ? L"" : L" ") + Quote(argument);
  std::wstring environment = EnvironmentBlock(extraEnvironment);
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = childEnds[0];
  startup.hStdOutput = childEnds[1];
  startup.hStdError = childEnds[2];
  PROCESS_INFORMATION process{};
  if (!piped || !job) {
    result.startError = std::string(piped ? "cannot create a job object" : "cannot create pipes") + " (error " +
                        std::to_string(GetLastError()) + ")";
  } else {
    // Suspended until it is in the job. When we run in a job ourselves that
    // refuses a nested one (before Windows 8), the child may leave ours.
    for (DWORD breakaway : {DWORD(0), DWORD(CREATE_BREAKAWAY_FROM_JOB)}) {
      if (!CreateProcessW(program.c_str(), &commandLine[0], nullptr, nullptr, TRUE,
                          CREATE_UNICODE_ENVIRONMENT | CREATE_NO_WINDOW | CREATE_SUSPENDED | breakaway,
                          &environment[0], nullptr, &startup, &process)) {
        if (!breakaway) result.startError = "cannot start it (error " + std::to_string(GetLastError()) + ")";
        break;
      }
      if (AssignProcessToJobObject(job, process.hProcess)) {
        result.started = true;
        break;
      }
      // It has not run a single instruction: end it rather than run it unstoppable.
      result.startError = "cannot put it in a job object (error " + std::to_string(GetLastError()) +
                          "), so a time-out could not stop its children; it was not run";
      TerminateProcess(process.hProcess, 1);
      WaitForSingleObject(process.hProcess, 5000);
      CloseAll({process.hThread, process.hProcess});
      process = PROCESS_INFORMATION{};
    }
  }
  CloseAll({childEnds[0], childEnds[1], childEnds[2]});
  if (!result.started) {
    for (Channel& channel : channels) {
      channel.Close();
      CloseAll({channel.event});
    }
    CloseAll({job});
    return result;
  }
  result.startError.clear();
  ResumeThread(process.hThread);
  CloseHandle(process.hThread);

  Channel& in = channels[0];
  Channel& out = channels[1];
  Channel& err = channels[2];
  if (input.empty() || !in.Write(input)) in.Close();
  out.Read(kBlock);
  err.Read(kBlock);
  const DWORD start = GetTickCount();
  DWORD limit = static_cast<DWORD>(timeoutMilliseconds);
  bool exited = false;
  while (!exited || out.open() || err.open()) {
    HANDLE waits[4];
    Channel* owners[4];  // null: the process
    DWORD count = 0;
    if (!exited) {
      owners[count] = nullptr;
      waits[count++] = process.hProcess;
    }
    for (Channel* channel : {&in, &out, &err}) {
      if (!channel->pending) continue;
      owners[count] = channel;
      waits[count++] = channel->event;
    }
    const DWORD elapsed = GetTickCount() - start;
    if (elapsed >= limit) {
      result.timedOut = !exited;
      break;
    }
    const DWORD waited = WaitForMultipleObjects(count, waits, FALSE, limit - elapsed);
    if (waited == WAIT_TIMEOUT) continue;
    if (waited >= WAIT_OBJECT_0 + count) break;
    Channel* channel = owners[waited - WAIT_OBJECT_0];
    if (!channel) {
      exited = true;
      DWORD code = 0;
      GetExitCodeProcess(process.hProcess, &code);
      result.exitCode = static_cast<int>(code);
      // Children that outlive it may hold the pipes open: stop them too.
      TerminateJobObject(job, 1);
      const DWORD drainUntil = GetTickCount() - start + kDrainAfterExitMs;
      if (drainUntil < limit) limit = drainUntil;
      continue;
    }
    const DWORD got = channel->Finish();
    if (channel == &in) {
      in.Close();
      continue;
    }
    if (got == 0) continue;
    std::string& sink = channel == &out ? result.output : result.errors;
    sink.append(channel->block, got);
    if (channel == &err && sink.size() > kKeptErrors) sink.erase(0, sink.size() - kKeptErrors);
    if (result.output.size() > maxOutput) {
      result.outputTooLong = true;
      break;
    }
    // stdout reads never pass the cap by more than one byte.
    const size_t room = maxOutput + 1 - result.output.size();
    channel->Read(channel == &out && room < kBlock ? static_cast<DWORD>(room) : kBlock);
  }
  if (!exited) {
    TerminateJobObject(job, 1);
    TerminateProcess(process.hProcess, 1);
    WaitForSingleObject(process.hProcess, 5000);
    result.exitCode = -1;
  }
  for (Channel& channel : channels) {
    channel.Close();
    CloseAll({channel.event});
  }
  CloseAll({process.hProcess, job});
  return result;
}

std::string OwnExecutablePath() {
  std::wstring buffer(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length = GetModuleFileNameW(nullptr, &buffer[0], static_cast<DWORD>(buffer.size()));
    if (length == 0) return "";
    if (length < buffer.size()) return WideToUtf8(buffer.substr(0, length));
    buffer.resize(buffer.size() * 2);
  }
}

}  // namespace platform

// Running a helper program (tools only; the installer starts setup its own
// way): an argument vector, never a shell; bytes in on stdin, bytes out on
// stdout, stderr kept for the error message, and a time limit.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace platform {

struct ProcessResult {
  bool started = false;       // false: startError says why
  std::string startError;
  bool timedOut = false;      // stopped (with its children) at the limit
  bool outputTooLong = false; // stdout passed maxOutput; stopped
  int exitCode = -1;          // -1 when it ended by a signal or was stopped
  std::string output;         // stdout
  std::string errors;         // the last kKeptErrorBytes of stderr
};

constexpr size_t kKeptErrorBytes = 4096;

// A bare argv[0] (no slash or backslash) is looked up in the absolute
// folders of PATH only (Windows: with PATHEXT), never in our own folder or
// the current one; a path is used as it is. The program starts with no
// signal blocked or ignored, whatever ours are. Windows: it inherits only
// its three pipe ends, and a batch file is refused (cmd.exe would parse
// its arguments by rules of its own; name `cmd /c` to run one).
// `extraEnvironment` is added to ours. stdout is read no further than one
// byte past `maxOutput`. A time-out or too much output stops the program and
// its children; when the program ends, children it left are stopped too and
// the pipes are read for two seconds at most, whoever holds them.
ProcessResult RunProcess(const std::vector<std::string>& argv,
                         const std::vector<std::pair<std::string, std::string>>& extraEnvironment,
                         const std::string& input, size_t maxOutput, int timeoutMilliseconds);

// Stops every program RunProcess is running, with its children, and lets no
// new one start: for the clean-up of an interrupted tool, which ends next.
void StopRunningPrograms();

// The full path of the running program's own file (UTF-8); "" when unknown.
std::string OwnExecutablePath();

}  // namespace platform

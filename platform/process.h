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
  std::string errors;         // the last few KiB of stderr
};

// A bare argv[0] (no slash or backslash) is looked up on PATH only (Windows:
// with PATHEXT, never our own folder or the current one); a path is used as
// it is. `extraEnvironment` is added to ours. stdout is read no further than
// one byte past `maxOutput`. A time-out or too much output stops the program
// and its children; when the program ends, children it left are stopped too
// and the pipes are read for two seconds at most, whoever holds them.
ProcessResult RunProcess(const std::vector<std::string>& argv,
                         const std::vector<std::pair<std::string, std::string>>& extraEnvironment,
                         const std::string& input, size_t maxOutput, int timeoutMilliseconds);

// The full path of the running program's own file (UTF-8); "" when unknown.
std::string OwnExecutablePath();

}  // namespace platform

#include "tools/kzpack/run_program.h"

#include <cstdlib>
#ifndef _WIN32
#include <sys/wait.h>
#endif

#include "support/strings.h"

namespace kzpack {
namespace {

#ifdef _WIN32
// cmd.exe and the C runtime's argument splitting: double quotes, with
// backslashes before a quote doubled.
std::string Quote(const std::string& argument) {
  std::string quoted = "\"";
  size_t backslashes = 0;
  for (char c : argument) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    if (c == '"') quoted.append(backslashes * 2 + 1, '\\');
    else quoted.append(backslashes, '\\');
    backslashes = 0;
    quoted += c;
  }
  quoted.append(backslashes * 2, '\\');
  return quoted + "\"";
}
#else
// POSIX shell: single quotes, with embedded ones closed and escaped.
std::string Quote(const std::string& argument) {
  std::string quoted = "'";
  for (char c : argument) {
    if (c == '\'') quoted += "'\\''";
    else quoted += c;
  }
  return quoted + "'";
}
#endif

}  // namespace

int RunProgram(const std::vector<std::string>& arguments, bool quietOutput) {
  std::string command;
  for (const std::string& argument : arguments) command += (command.empty() ? "" : " ") + Quote(argument);
#ifdef _WIN32
  if (quietOutput) command += " >NUL 2>&1";
  // cmd /c strips one pair of outer quotes from the whole line.
  const int status = _wsystem(Utf8ToWide("\"" + command + "\"").c_str());
  return status;
#else
  if (quietOutput) command += " >/dev/null 2>&1";
  const int status = std::system(command.c_str());
  if (status == -1) return -1;
  if (WIFEXITED(status)) return WEXITSTATUS(status) == 127 ? -1 : WEXITSTATUS(status);
  return -1;
#endif
}

}  // namespace kzpack

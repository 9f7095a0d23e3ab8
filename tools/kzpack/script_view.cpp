#include "tools/kzpack/script_view.h"

#include <cstdint>

#include "support/script_rules.h"

namespace kzpack {
const std::vector<WindowsKind>& AllWindowsKinds() {
  static const std::vector<WindowsKind> kinds = {
      {true, 10, "64-bit Windows 6+"},
      {false, 10, "32-bit Windows 6+"},
      {true, 5, "64-bit Windows <6"},
      {false, 5, "32-bit Windows <6"},
  };
  return kinds;
}

std::vector<size_t> FirstFailingLines(const std::vector<ScriptLineView>& lines) {
  std::vector<size_t> first(AllWindowsKinds().size(), SIZE_MAX);
  for (size_t k = 0; k < first.size(); ++k) {
    for (const ScriptLineView& line : lines) {
      if (k < line.problemOn.size() && !line.problemOn[k].empty()) {
        first[k] = line.index;
        break;
      }
    }
  }
  return first;
}

std::vector<std::string> ScriptFailures(const std::vector<ScriptLineView>& lines) {
  const std::vector<size_t> first = FirstFailingLines(lines);
  std::vector<std::string> failures(first.size());
  for (const ScriptLineView& line : lines) {
    for (size_t k = 0; k < first.size(); ++k)
      if (line.index == first[k])
        failures[k] = "script line " + std::to_string(line.index + 1) + ": " + line.problemOn[k];
  }
  return failures;
}

std::string TargetProblem(const std::string& target) {
  const std::string quoted = "target \"" + target + "\"";
  switch (CheckScriptTarget(target)) {
    case ScriptTargetFault::kNone:
      return "";
    case ScriptTargetFault::kNotUtf8:
      return quoted + " is not valid UTF-8";
    case ScriptTargetFault::kDevice:
      return quoted + " names a Windows device (CON, NUL, COM1, ...), not a file";
    case ScriptTargetFault::kLeavesWorkspace:
      return quoted + " leaves the workspace";
    case ScriptTargetFault::kWorkspaceFile:
      return quoted + " names the installer's own setup.exe or ibnd (any case, trailing dots or blanks, \".\" folders)";
  }
  return "";
}

bool LineSelected(const std::string& line, const WindowsKind& windows, const std::string& runType) {
  if (line.empty() || line[0] == '#') return false;
  ScriptEnvironment environment;
  environment.windows64 = windows.is64;
  environment.majorVersion = windows.majorVersion;
  environment.installType = runType;
  return ScriptFlagsSelect(SplitString(line, ',')[0], environment);
}

std::string FlagsFor(const std::string& arch, const std::string& windows, const std::string& runType) {
  std::string flags = "dep";
  if (arch == "x64") flags += "-x64";
  if (arch == "x86") flags += "-x86";
  if (windows == "6+") flags += "-w6+";
  if (windows == "<6") flags += "-w<6";
  return flags + "-" + runType;
}

}  // namespace kzpack

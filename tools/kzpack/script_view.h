// How the installer judges an install script, for showing and checking one:
// the lines as the installer's reader cuts them (support/script_lines.h),
// the same tag tests and target rules, evaluated for every kind of Windows
// at once.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "support/script_rules.h"

namespace kzpack {

// The Windows kinds the tags tell apart.
struct WindowsKind {
  bool is64 = false;         // 64-bit Windows (the 32-bit installer runs under WOW64)
  uint32_t majorVersion = 0;
  const char* label = "";
};
// 64-bit and 32-bit Windows of major version 6 or above, then the same below 6.
const std::vector<WindowsKind>& AllWindowsKinds();

// The installer's selection of one line (comments and empty lines never).
bool LineSelected(const std::string& line, const WindowsKind& windows, const std::string& runType);

struct ScriptLineView {
  size_t index = 0;
  std::string text;
  bool active = false;       // neither empty nor a comment
  std::vector<std::string> fields;
  std::vector<bool> selected;  // per AllWindowsKinds()
  // Per AllWindowsKinds(): what makes the installer fail at this line there
  // ("" where it goes on or the line is not selected).
  std::vector<std::string> problemOn;
  std::string problem;  // the first of problemOn that is not ""
};

// Every line with its selection; `entryExists` tells whether the bundle has
// an entry. `lines` as ReadScriptLines gives them.
template <typename EntryExists>
std::vector<ScriptLineView> ViewScript(const std::vector<std::string>& lines, const std::string& runType,
                                       EntryExists entryExists);

// Per AllWindowsKinds(): the index of the first selected line with a
// problem there, where the installer stops (that line and every later one
// write nothing); SIZE_MAX when the script runs to its end.
std::vector<size_t> FirstFailingLines(const std::vector<ScriptLineView>& lines);

// Per AllWindowsKinds(): what stops the installer there, "script line N: ..."
// for the first selected line with a problem, "" when the script runs.
std::vector<std::string> ScriptFailures(const std::vector<ScriptLineView>& lines);

// What a target rule says about a target, "" when the rules let it be written.
std::string TargetProblem(const std::string& target);

// The flags field for a file: "dep", the tags, then "-" and the run type.
// `arch` is "any", "x64" or "x86"; `windows` is "any", "6+" or "<6".
std::string FlagsFor(const std::string& arch, const std::string& windows, const std::string& runType);

}  // namespace kzpack

#include "tools/kzpack/script_view_impl.h"

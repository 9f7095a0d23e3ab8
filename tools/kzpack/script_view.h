// How the installer reads an install script, for showing and checking one:
// the same line reading, trimming and tag tests as the installer's worker,
// evaluated for every kind of Windows at once.
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

// Lines as the installer keeps them: read in pieces of at most 2047 bytes,
// carriage returns dropped, trimmed at both ends (bytes <= 0x20 as signed).
std::vector<std::string> ReadScriptText(const std::string& text);

// The installer's selection of one line (comments and empty lines never).
bool LineSelected(const std::string& line, const WindowsKind& windows, const std::string& runType);

struct ScriptLineView {
  size_t index = 0;
  std::string text;
  bool active = false;       // neither empty nor a comment
  std::vector<std::string> fields;
  std::vector<bool> selected;  // per AllWindowsKinds()
  std::string problem;         // what makes the installer fail when the line is selected
};

// Every line with its selection; `entryExists` tells whether the bundle has an entry.
template <typename EntryExists>
std::vector<ScriptLineView> ViewScript(const std::string& text, const std::string& runType, EntryExists entryExists);

// The flags field for a file: "dep", the tags, then "-" and the run type.
// `arch` is "any", "x64" or "x86"; `windows` is "any", "6+" or "<6".
std::string FlagsFor(const std::string& arch, const std::string& windows, const std::string& runType);

}  // namespace kzpack

#include "tools/kzpack/script_view_impl.h"

// The bundle's "install_script": lines of "dep<tags>,<entry>,<target>" that
// select the dependency files copied into the workspace before setup starts.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "support/script_rules.h"

namespace installer {

// The environment of this process.
ScriptEnvironment CurrentScriptEnvironment(const std::string& installType);
// True when this process runs under WOW64 (IsWow64Process reports it).
bool IsWow64();
// True on 64-bit Windows: the 32-bit installer asks IsWow64, a 64-bit build
// runs there by definition.
bool IsWindows64();
uint32_t WindowsMajorVersion();

// Reads every line with `readLine` (a 2048-byte buffer, false at the end),
// trims both ends and keeps all of them, empty ones and comments included.
using LineReader = std::function<bool(char* buffer, int capacity)>;
std::vector<std::string> ReadScriptLines(const LineReader& readLine);

// Progress value before line i of n.
int ScriptProgress(size_t index, size_t count);

// Writes bundle entry `name` to `path`; true on success.
using EntryExtractor = std::function<bool(const std::string& name, const std::wstring& path)>;

// Runs the lines; false at the first selected line that fails (a refused
// target, fewer than three fields, a failed extraction).
bool RunScript(const std::vector<std::string>& lines, const std::wstring& workDir,
               const ScriptEnvironment& environment, const EntryExtractor& extract);

}  // namespace installer

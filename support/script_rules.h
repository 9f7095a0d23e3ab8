// The install script's line rules, shared by the installer that runs a script
// and the build tool that writes and explains one.
#pragma once

#include <cstdint>
#include <string>

// True when a line whose first field is `flags` runs on this Windows: the
// architecture and version tags allow it, it is a "dep" line, and it names
// the run type.
bool ScriptFlagsSelect(const std::string& flags, bool windows64, uint32_t majorVersion, const std::string& runType);

// True for a relative target that stays inside the workspace: not rooted,
// no drive or stream colon, no ".." component with either separator.
bool IsSafeScriptTarget(const std::string& target);

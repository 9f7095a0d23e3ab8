// The install script's line rules, shared by the installer that runs a script
// and the build tool that writes and explains one.
#pragma once

#include <cstdint>
#include <string>

// What the tags of a line are tested against.
struct ScriptEnvironment {
  bool windows64 = false;     // 64-bit Windows (the 32-bit installer then runs under WOW64)
  uint32_t majorVersion = 0;  // Windows major version
  std::string installType;    // the run type
};

// True when a line whose first field is `flags` runs in `environment`: the
// architecture and version tags allow it, it is a "dep" line, and it names
// the run type.
bool ScriptFlagsSelect(const std::string& flags, const ScriptEnvironment& environment);

// True when some component of `target` is a DOS device name (CON, PRN, AUX,
// NUL, COM0-9, LPT0-9 and their superscript-digit forms, CONIN$, CONOUT$),
// in any case, with any extension, trailing dots or blanks: Windows opens the
// device instead of a file there, so an extraction "succeeds" with nothing
// written, or writes to a port.
bool ScriptTargetNamesDevice(const std::string& target);

// True for a relative target that stays inside the workspace and names a
// file: not rooted, no drive or stream colon, no ".." component with either
// separator, no device name.
bool IsSafeScriptTarget(const std::string& target);

// The install script's line rules, shared by the installer that runs a script
// and the build tool that writes and explains one.
#pragma once

#include <cstdint>
#include <set>
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
// file: valid UTF-8, not rooted, no drive or stream colon, no ".." component
// with either separator, no device name.
bool IsSafeScriptTarget(const std::string& target);

// True when `text` is well-formed UTF-8 (no overlong forms, surrogates or
// values beyond U+10FFFF). The target is checked as UTF-8 and opened as its
// UTF-16 conversion; Windows 2000 and XP drop invalid bytes in that
// conversion, so ".\xC3.\x.dll" would pass the checks and open "..\x.dll".
bool IsValidUtf8(const std::string& text);

// The name Windows opens for a target, for comparing targets: components
// split at either separator, trailing dots and blanks dropped, "." and empty
// components left out, letters upper-cased; joined with backslashes.
std::string ScriptTargetKey(const std::string& target);

// True when the target is the workspace's own "setup.exe" or "ibnd" (or a
// path through either) in any spelling Windows takes for it: both are held
// open without write sharing while the script runs.
bool ScriptTargetNamesWorkspaceFile(const std::string& target);

// Why a selected line's target cannot be written, checked in this order.
enum class ScriptTargetFault {
  kNone,
  kNotUtf8,         // not valid UTF-8
  kDevice,          // some component names a DOS device
  kLeavesWorkspace, // rooted, drive or stream colon, ".." component
  kWorkspaceFile,   // setup.exe or ibnd
};
ScriptTargetFault CheckScriptTarget(const std::string& target);

// The targets one run has written so far: a name used as a file by one line
// cannot be a folder for a later one, nor the other way round (the later
// extraction would fail after earlier lines had written their files).
class ScriptTargetClaims {
 public:
  // Records the target; false (nothing recorded) when it clashes, with the
  // clashing name in `*clash` (optional).
  bool Claim(const std::string& target, std::string* clash = nullptr);

 private:
  std::set<std::string> files_;
  std::set<std::string> folders_;
};

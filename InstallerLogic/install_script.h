// What the install script's tags are tested against on this machine (the
// script itself is read and run by install/install_script.h).
#pragma once

#include <cstdint>
#include <string>

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

}  // namespace installer

#include "InstallerLogic/install_script.h"

#include <windows.h>

#include "support/script_rules.h"

namespace installer {
bool IsWow64() {
  BOOL wow64 = FALSE;
  return IsWow64Process(GetCurrentProcess(), &wow64) && wow64;
}

bool IsWindows64() {
#ifdef _WIN64
  return true;
#else
  return IsWow64();
#endif
}

uint32_t WindowsMajorVersion() {
  OSVERSIONINFOEXW info{};
  info.dwOSVersionInfoSize = sizeof info;
  // The manifest's supportedOS entries make this report the true version.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
  GetVersionExW(reinterpret_cast<OSVERSIONINFOW*>(&info));
#pragma GCC diagnostic pop
  return info.dwMajorVersion;
}

ScriptEnvironment CurrentScriptEnvironment(const std::string& installType) {
  ScriptEnvironment environment;
  environment.windows64 = IsWindows64();
  environment.majorVersion = WindowsMajorVersion();
  environment.installType = installType;
  return environment;
}

}  // namespace installer

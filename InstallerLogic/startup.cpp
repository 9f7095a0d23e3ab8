#include "InstallerLogic/startup.h"

#include <shellapi.h>

#include <vector>

#include "InstallerLogic/corrupted_message.h"
#include "InstallerLogic/installer_state.h"
#include "InstallerLogic/run_modes.h"
#include "install/install_checks.h"
#include "integrity/embedded_signature.h"
#include "support/diag_log.h"

namespace installer {
namespace {

constexpr DWORD kModulePathStart = 1024;
constexpr DWORD kModulePathLimit = 32768;  // longest path the system takes

}  // namespace

void RestrictDllSearch() {
  using SetDefaultDllDirectoriesFn = BOOL(WINAPI*)(DWORD);
  HMODULE kernel32 = GetModuleHandleW(L"kernel32.dll");
  auto setDefault = kernel32 ? reinterpret_cast<SetDefaultDllDirectoriesFn>(reinterpret_cast<void*>(
                                   GetProcAddress(kernel32, "SetDefaultDllDirectories")))
                             : nullptr;
  if (setDefault) setDefault(LOAD_LIBRARY_SEARCH_SYSTEM32);
  // Where the call is missing, at least drop the current directory.
  SetDllDirectoryW(L"");
}

std::wstring ReadModulePath(HMODULE module) {
  for (DWORD size = kModulePathStart; size <= kModulePathLimit; size *= 2) {
    std::vector<wchar_t> buffer(size);
    const DWORD length = GetModuleFileNameW(module, buffer.data(), size);
    if (length == 0) return L"";
    // A result that fills the buffer may have been cut: try a larger one.
    if (length < size) return std::wstring(buffer.data(), length);
  }
  return L"";
}

int RunInstaller(HINSTANCE instance, const wchar_t* commandTail) {
  argv = CommandLineToArgvW(commandTail, &argc);
  if (!argv) {
    DiagLog("Couldn't split the command line, le %lu\n", GetLastError());
    return 1;
  }
  modulePath = ReadModulePath(nullptr);
  if (!install::ReadRunType(modulePath, &installType)) {
    LocalFree(argv);
    return 1;
  }
  UngatedLog("Type is %s\n", installType.c_str());

  if (!VerifyEmbeddedSignature(modulePath, false)) {
    DiagLog("\n##installer file is not valid!");
    if (installType == "gui") ShowCorruptedMessage();
    LocalFree(argv);
    return 2;
  }

  const DWORD result = installType == "gui" ? RunGuiMode(instance) : RunSilentMode();
  LocalFree(argv);
  // Setup's code passes as it is, 0xC0000005 included: the process's exit
  // code is the same 32 bits.
  return static_cast<int>(result);
}

}  // namespace installer

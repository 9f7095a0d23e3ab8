// The platform's entry point of Stub.exe.
#include <windows.h>

#include "InstallerLogic/startup.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, LPWSTR commandTail, int) {
  // Before anything can load a DLL.
  installer::RestrictDllSearch();
  return installer::RunInstaller(instance, commandTail);
}

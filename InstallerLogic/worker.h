// One complete installation: workspace, setup program, inner bundle, install
// script, signature check of setup, launch, cleanup.
#pragma once

#include <windows.h>

namespace installer {

// The result when the installation could not be prepared or setup's end
// could not be seen: the code deployment tools know as a fatal error during
// installation.
constexpr DWORD kInstallFailed = 1603;

// Thread procedure; the parameter is ignored. Setup's own exit code when
// setup was started and has ended, kInstallFailed otherwise, after one line
// on the debug channel, whatever the diagnostic switch says, that names the
// failed step. The workspace is removed on every path.
DWORD WINAPI InstallWorker(LPVOID parameter);

}  // namespace installer

// One complete installation: workspace, setup program, inner bundle, install
// script, signature check of setup, launch, cleanup.
#pragma once

#include <windows.h>

namespace installer {

// Thread procedure; the parameter is ignored. 0 when setup was started and
// has ended, 1 on any failure. The workspace is removed on every path.
DWORD WINAPI InstallWorker(LPVOID parameter);

}  // namespace installer

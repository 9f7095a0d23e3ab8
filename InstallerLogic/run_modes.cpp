#include "InstallerLogic/run_modes.h"

#include <commctrl.h>

#include "InstallerLogic/installer_state.h"
#include "InstallerLogic/progress_dialog.h"
#include "InstallerLogic/worker.h"
#include "support/diag_log.h"

namespace installer {

void PumpUntilThreadEnds(HANDLE thread) {
  for (;;) {
    MSG message;
    if (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&message);
      DispatchMessageW(&message);
      continue;
    }
    // Waking on posted or sent messages as well as on the thread serves a
    // cross-thread SendMessageW at once instead of after the time-out.
    const DWORD result = MsgWaitForMultipleObjectsEx(1, &thread, 10, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
    if (result == WAIT_OBJECT_0) return;
  }
}

namespace {

// comctl32 is loaded here, in gui mode only, not imported: loading it makes
// wine start its desktop process first, some hundreds of milliseconds that a
// silent installation never needs. The default DLL directories are System32
// only, and the manifest's activation context binds the side-by-side copy,
// as for an import. It stays loaded for the dialog.
BOOL InitProgressControls() {
  using InitFn = BOOL(WINAPI*)(const INITCOMMONCONTROLSEX*);
  HMODULE comctl32 = LoadLibraryW(L"comctl32.dll");
  const InitFn init =
      comctl32 ? reinterpret_cast<InitFn>(reinterpret_cast<void*>(GetProcAddress(comctl32, "InitCommonControlsEx")))
               : nullptr;
  if (!init) return FALSE;
  INITCOMMONCONTROLSEX controls;
  controls.dwSize = sizeof controls;
  controls.dwICC = ICC_PROGRESS_CLASS;
  return init(&controls);
}

}  // namespace

DWORD RunGuiMode(HINSTANCE instance) {
  const BOOL iccResult = InitProgressControls();
  UngatedLog("iccRes %d le %d\n", static_cast<int>(iccResult), static_cast<int>(GetLastError()));

  CreateProgressDialog(instance);

  HANDLE thread = CreateThread(nullptr, 0, InstallWorker, nullptr, 0, nullptr);
  if (!thread) {
    // Without a second thread the worker runs here; the dialog stays up
    // until it ends but is not repainted meanwhile.
    DiagLog("Couldn't start the worker thread, le %lu\n", GetLastError());
    const DWORD result = InstallWorker(nullptr);
    if (dlg) DestroyWindow(dlg);
    return result;
  }
  PumpUntilThreadEnds(thread);
  if (dlg) DestroyWindow(dlg);
  // Read before the handle goes; an ended thread always has its result.
  DWORD result = 0;
  if (!GetExitCodeThread(thread, &result)) result = kInstallFailed;
  CloseHandle(thread);
  return result;
}

DWORD RunSilentMode() { return InstallWorker(nullptr); }

}  // namespace installer

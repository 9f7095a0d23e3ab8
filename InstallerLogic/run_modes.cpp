#include "InstallerLogic/run_modes.h"

#include "InstallerLogic/installer_state.h"
#include "InstallerLogic/progress_dialog.h"
#include "InstallerLogic/window_library.h"
#include "InstallerLogic/worker.h"
#include "support/diag_log.h"

namespace installer {

void PumpUntilThreadEnds(HANDLE thread) {
  for (;;) {
    MSG message;
    if (ui::PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
      ui::TranslateMessage(&message);
      ui::DispatchMessageW(&message);
      continue;
    }
    // Waking on posted or sent messages as well as on the thread serves a
    // cross-thread SendMessageW at once instead of after the time-out.
    const DWORD result = ui::MsgWaitForMultipleObjectsEx(1, &thread, 10, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
    if (result == WAIT_OBJECT_0) return;
  }
}

DWORD RunGuiMode(HINSTANCE instance) {
  // comctl32 (and user32) are loaded here, in gui mode only: loading comctl32
  // makes wine start its desktop process first, some hundreds of milliseconds
  // that a silent installation never needs.
  INITCOMMONCONTROLSEX controls;
  controls.dwSize = sizeof controls;
  controls.dwICC = ICC_PROGRESS_CLASS;
  const BOOL iccResult = ui::InitCommonControlsEx(&controls);
  UngatedLog("iccRes %d le %d\n", static_cast<int>(iccResult), static_cast<int>(GetLastError()));

  CreateProgressDialog(instance);

  HANDLE thread = CreateThread(nullptr, 0, InstallWorker, nullptr, 0, nullptr);
  if (!thread) {
    // Without a second thread the worker runs here; the dialog stays up
    // until it ends but is not repainted meanwhile.
    DiagLog("Couldn't start the worker thread, le %lu\n", GetLastError());
    const DWORD result = InstallWorker(nullptr);
    if (dlg) ui::DestroyWindow(dlg);
    return result;
  }
  PumpUntilThreadEnds(thread);
  if (dlg) ui::DestroyWindow(dlg);
  // Read before the handle goes; an ended thread always has its result.
  DWORD result = 0;
  if (!GetExitCodeThread(thread, &result)) result = kInstallFailed;
  CloseHandle(thread);
  return result;
}

DWORD RunSilentMode() { return InstallWorker(nullptr); }

}  // namespace installer

#include "InstallerLogic/progress_dialog.h"

#include "InstallerLogic/installer_state.h"
#include "InstallerLogic/window_library.h"
#include "support/diag_log.h"
#include "support/progress.h"

namespace installer {

INT_PTR CALLBACK ProgressDialogProc(HWND window, UINT message, WPARAM, LPARAM) {
  if (message == WM_INITDIALOG) hwndProgress = ui::GetDlgItem(window, kProgressBarId);
  // The dialog manager does the rest; no default focus, close requests ignored.
  return FALSE;
}

void MoveProgressBar(int value) {
  if (hwndProgress) ui::SendMessageW(hwndProgress, PBM_SETPOS, static_cast<WPARAM>(value), 0);
}

void CreateProgressDialog(HINSTANCE instance) {
  dlg = ui::CreateDialogParamW(instance, MAKEINTRESOURCEW(kProgressDialogId), nullptr, ProgressDialogProc, 0);
  UngatedLog("dlg is %p, le %d", static_cast<void*>(dlg), static_cast<int>(GetLastError()));
  UngatedLog("hwndProgress is %p", static_cast<void*>(hwndProgress));
  if (hwndProgress) {
    ui::SendMessageW(hwndProgress, PBM_SETRANGE, 0, MAKELPARAM(0, 100));
    ui::SendMessageW(hwndProgress, PBM_SETPOS, 0, 0);
  }
  SetProgressSink(MoveProgressBar);
}

}  // namespace installer

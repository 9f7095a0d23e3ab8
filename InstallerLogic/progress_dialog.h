// The "Please Wait..." window: dialog template 101 with a progress bar
// (control 1000) that the worker moves through ReportProgress.
#pragma once

#include <windows.h>

namespace installer {

constexpr int kProgressDialogId = 101;
constexpr int kProgressBarId = 1000;

// Stores the bar in hwndProgress on WM_INITDIALOG; FALSE for every message.
INT_PTR CALLBACK ProgressDialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// Progress sink: PBM_SETPOS to hwndProgress when there is one.
void MoveProgressBar(int value);

// Creates the dialog (dlg, hwndProgress), logs the ungated lines, sets the
// bar to 0..100 at 0 and routes progress reports to it.
void CreateProgressDialog(HINSTANCE instance);

}  // namespace installer

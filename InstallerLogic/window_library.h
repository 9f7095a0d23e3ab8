// The window functions of user32 and comctl32, which only gui mode needs (the
// progress window, its pump, the message box): loaded on first use instead
// of imported, so that a silent run never maps them nor what they bring
// (gdi32 and the font set-up under wine; on Windows the connection to the
// window system). The default DLL directories are System32 only
// (RestrictDllSearch), and comctl32 is bound through the manifest's
// activation context as an import would be. Same names and results as the
// platform's; a function that could not be found fails (0, FALSE, null).
#pragma once

#include <windows.h>
#include <commctrl.h>

namespace installer::ui {

BOOL InitCommonControlsEx(const INITCOMMONCONTROLSEX* controls);
HWND CreateDialogParamW(HINSTANCE instance, LPCWSTR templateName, HWND parent, DLGPROC procedure, LPARAM parameter);
BOOL DestroyWindow(HWND window);
HWND GetDlgItem(HWND dialog, int id);
LRESULT SendMessageW(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
BOOL ShowWindow(HWND window, int command);
int MessageBoxW(HWND owner, LPCWSTR text, LPCWSTR caption, UINT type);
BOOL PeekMessageW(MSG* message, HWND window, UINT first, UINT last, UINT remove);
BOOL TranslateMessage(const MSG* message);
LRESULT DispatchMessageW(const MSG* message);
// Without user32 it still waits on the handles (kernel32), only not on messages.
DWORD MsgWaitForMultipleObjectsEx(DWORD count, const HANDLE* handles, DWORD milliseconds, DWORD wakeMask,
                                  DWORD flags);

}  // namespace installer::ui

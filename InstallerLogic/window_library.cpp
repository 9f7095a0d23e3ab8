#include "InstallerLogic/window_library.h"

namespace installer::ui {
namespace {

template <typename Function>
void Find(HMODULE module, const char* name, Function* function) {
  *function = module ? reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(module, name))) : nullptr;
}

struct User32 {
  decltype(&::CreateDialogParamW) createDialogParam;
  decltype(&::DestroyWindow) destroyWindow;
  decltype(&::GetDlgItem) getDlgItem;
  decltype(&::SendMessageW) sendMessage;
  decltype(&::ShowWindow) showWindow;
  decltype(&::MessageBoxW) messageBox;
  decltype(&::PeekMessageW) peekMessage;
  decltype(&::TranslateMessage) translateMessage;
  decltype(&::DispatchMessageW) dispatchMessage;
  decltype(&::MsgWaitForMultipleObjectsEx) msgWait;
};

// Loaded once; it stays loaded for the window's lifetime, i.e. the process's.
const User32& LoadUser32() {
  static const User32 functions = [] {
    User32 f;
    HMODULE user32 = LoadLibraryW(L"user32.dll");
    Find(user32, "CreateDialogParamW", &f.createDialogParam);
    Find(user32, "DestroyWindow", &f.destroyWindow);
    Find(user32, "GetDlgItem", &f.getDlgItem);
    Find(user32, "SendMessageW", &f.sendMessage);
    Find(user32, "ShowWindow", &f.showWindow);
    Find(user32, "MessageBoxW", &f.messageBox);
    Find(user32, "PeekMessageW", &f.peekMessage);
    Find(user32, "TranslateMessage", &f.translateMessage);
    Find(user32, "DispatchMessageW", &f.dispatchMessage);
    Find(user32, "MsgWaitForMultipleObjectsEx", &f.msgWait);
    return f;
  }();
  return functions;
}

}  // namespace

BOOL InitCommonControlsEx(const INITCOMMONCONTROLSEX* controls) {
  static const auto init = [] {
    decltype(&::InitCommonControlsEx) f;
    Find(LoadLibraryW(L"comctl32.dll"), "InitCommonControlsEx", &f);
    return f;
  }();
  return init ? init(controls) : FALSE;
}

HWND CreateDialogParamW(HINSTANCE instance, LPCWSTR templateName, HWND parent, DLGPROC procedure, LPARAM parameter) {
  const User32& f = LoadUser32();
  return f.createDialogParam ? f.createDialogParam(instance, templateName, parent, procedure, parameter) : nullptr;
}

BOOL DestroyWindow(HWND window) {
  const User32& f = LoadUser32();
  return f.destroyWindow ? f.destroyWindow(window) : FALSE;
}

HWND GetDlgItem(HWND dialog, int id) {
  const User32& f = LoadUser32();
  return f.getDlgItem ? f.getDlgItem(dialog, id) : nullptr;
}

LRESULT SendMessageW(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  const User32& f = LoadUser32();
  return f.sendMessage ? f.sendMessage(window, message, wParam, lParam) : 0;
}

BOOL ShowWindow(HWND window, int command) {
  const User32& f = LoadUser32();
  return f.showWindow ? f.showWindow(window, command) : FALSE;
}

int MessageBoxW(HWND owner, LPCWSTR text, LPCWSTR caption, UINT type) {
  const User32& f = LoadUser32();
  return f.messageBox ? f.messageBox(owner, text, caption, type) : 0;
}

BOOL PeekMessageW(MSG* message, HWND window, UINT first, UINT last, UINT remove) {
  const User32& f = LoadUser32();
  return f.peekMessage ? f.peekMessage(message, window, first, last, remove) : FALSE;
}

BOOL TranslateMessage(const MSG* message) {
  const User32& f = LoadUser32();
  return f.translateMessage ? f.translateMessage(message) : FALSE;
}

LRESULT DispatchMessageW(const MSG* message) {
  const User32& f = LoadUser32();
  return f.dispatchMessage ? f.dispatchMessage(message) : 0;
}

DWORD MsgWaitForMultipleObjectsEx(DWORD count, const HANDLE* handles, DWORD milliseconds, DWORD wakeMask,
                                  DWORD flags) {
  const User32& f = LoadUser32();
  if (f.msgWait) return f.msgWait(count, handles, milliseconds, wakeMask, flags);
  return WaitForMultipleObjects(count, handles, FALSE, milliseconds);
}

}  // namespace installer::ui

#include "InstallerLogic/installer_state.h"

namespace installer {

int argc = 0;
wchar_t** argv = nullptr;
std::wstring modulePath;
std::string installType;
HWND dlg = nullptr;
HWND hwndProgress = nullptr;

}  // namespace installer

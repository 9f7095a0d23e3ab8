#include "InstallerLogic/corrupted_message.h"

#include <windows.h>

namespace installer {

void ShowCorruptedMessage() { MessageBoxW(nullptr, L"Installer file is corrupted.", L"Error", MB_ICONEXCLAMATION); }

}  // namespace installer

#include "InstallerLogic/corrupted_message.h"

#include "InstallerLogic/window_library.h"

namespace installer {

void ShowCorruptedMessage() { ui::MessageBoxW(nullptr, L"Installer file is corrupted.", L"Error", MB_ICONEXCLAMATION); }

}  // namespace installer

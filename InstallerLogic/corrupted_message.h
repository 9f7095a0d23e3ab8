// The box a user sees when a signature check of the installer or of its
// setup program fails (gui mode only).
#pragma once

namespace installer {

// "Installer file is corrupted." / "Error", exclamation icon, no owner window.
void ShowCorruptedMessage();

}  // namespace installer

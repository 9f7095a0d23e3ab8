// Process-wide values of one installer run. The entry thread writes them
// before the worker starts; afterwards they are only read, so no lock exists.
#pragma once

#include <windows.h>

#include <string>

namespace installer {

extern int argc;                 // number of elements in argv
extern wchar_t** argv;           // the command tail split by the platform
extern std::wstring modulePath;  // the installer's own full path
extern std::string installType;  // trimmed payload of the "TYPE" attachment
extern HWND dlg;                 // progress dialog; null in silent mode
extern HWND hwndProgress;        // its progress bar; null in silent mode

}  // namespace installer

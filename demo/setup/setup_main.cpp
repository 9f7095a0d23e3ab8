// The demo's setup program: reports what the installer handed it - its
// arguments, its working directory and the files found there. With the
// argument /S (any case) it prints the report on standard output; otherwise
// it shows it in a message box. When KZ_SETUP_REPORT names a file, the
// report is also written there (UTF-8), so tests can read it. When
// KZ_SETUP_READONLY_FILES holds a number N, it first leaves N read-only
// files in its working directory, as some setup programs do. When
// KZ_SETUP_EXIT_CODE holds a number (decimal or 0x-hexadecimal), it exits
// with it, as a setup that asks for a reboot (3010) or crashed would.
#include <windows.h>
#include <shellapi.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

std::string Utf8(const std::wstring& text) {
  if (text.empty()) return "";
  int size = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), nullptr, 0, nullptr,
                                 nullptr);
  std::string out(size, '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), &out[0], size, nullptr, nullptr);
  return out;
}

// Files below `dir`, relative to `prefix`, with their sizes; depth first.
// Links are not followed and the walk is bounded: started from a folder that
// holds a wine prefix, an unbounded walk would wander through the whole file
// system behind its drive links.
void ListFiles(const std::wstring& dir, const std::wstring& prefix, std::string* report, int depth = 0) {
  if (depth > 8 || report->size() > (1u << 20)) return;
  WIN32_FIND_DATAW entry;
  HANDLE find = FindFirstFileW((dir + L"\\*").c_str(), &entry);
  if (find == INVALID_HANDLE_VALUE) return;
  do {
    std::wstring name = entry.cFileName;
    if (name == L"." || name == L"..") continue;
    if (entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) continue;
    if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
      ListFiles(dir + L"\\" + name, prefix + name + L"\\", report, depth + 1);
    } else {
      const unsigned long long size =
          (static_cast<unsigned long long>(entry.nFileSizeHigh) << 32) | entry.nFileSizeLow;
      *report += "file=" + Utf8(prefix + name) + " size=" + std::to_string(size) + "\n";
    }
  } while (FindNextFileW(find, &entry));
  FindClose(find);
}

std::string BuildReport(int argc, wchar_t** argv, bool* silent) {
  std::string report = "argc=" + std::to_string(argc) + "\n";
  for (int i = 0; i < argc; ++i) {
    report += "arg[" + std::to_string(i) + "]=" + Utf8(argv[i]) + "\n";
    if (i > 0 && lstrcmpiW(argv[i], L"/S") == 0) *silent = true;
  }
  std::vector<wchar_t> cwd(32768);
  const DWORD length = GetCurrentDirectoryW(static_cast<DWORD>(cwd.size()), cwd.data());
  const std::wstring dir(cwd.data(), length);
  report += "cwd=" + Utf8(dir) + "\n";
  ListFiles(dir, L"", &report);
  return report;
}

void WriteReportFile(const std::string& report) {
  wchar_t path[32768];
  const DWORD length = GetEnvironmentVariableW(L"KZ_SETUP_REPORT", path, 32768);
  if (length == 0 || length >= 32768) return;
  FILE* file = _wfopen(path, L"wb");
  if (!file) return;
  fwrite(report.data(), 1, report.size(), file);
  fclose(file);
}

void LeaveReadOnlyFiles() {
  wchar_t text[16];
  const DWORD length = GetEnvironmentVariableW(L"KZ_SETUP_READONLY_FILES", text, 16);
  if (length == 0 || length >= 16) return;
  const int count = _wtoi(text);
  for (int i = 0; i < count; ++i) {
    const std::wstring name = L"left" + std::to_wstring(i) + L".txt";
    HANDLE file = CreateFileW(name.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_READONLY, nullptr);
    if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
  }
}

// 0 unless KZ_SETUP_EXIT_CODE says otherwise.
DWORD ExitCodeAsked() {
  wchar_t text[32];
  const DWORD length = GetEnvironmentVariableW(L"KZ_SETUP_EXIT_CODE", text, 32);
  if (length == 0 || length >= 32) return 0;
  return static_cast<DWORD>(wcstoul(text, nullptr, 0));
}

}  // namespace

int wmain() {
  int argc = 0;
  // The command line as the platform splits it, program name included.
  wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
  if (!argv) return 3;
  bool silent = false;
  LeaveReadOnlyFiles();
  const std::string report = BuildReport(argc, argv, &silent);
  LocalFree(argv);
  WriteReportFile(report);
  if (silent) {
    fwrite(report.data(), 1, report.size(), stdout);
    fflush(stdout);
  } else {
    const int size = MultiByteToWideChar(CP_UTF8, 0, report.c_str(), -1, nullptr, 0);
    std::wstring text(size, L'\0');
    MultiByteToWideChar(CP_UTF8, 0, report.c_str(), -1, &text[0], size);
    MessageBoxW(nullptr, text.c_str(), L"Demo setup", MB_OK | MB_ICONINFORMATION);
  }
  return static_cast<int>(ExitCodeAsked());
}

#include "InstallerLogic/workspace.h"

#include <windows.h>

#include <cwchar>
#include <ctime>
#include <string>

#include "InstallerLogic/random_source.h"
#include "InstallerLogic/workspace_security.h"
#include "support/diag_log.h"
#include "support/strings.h"
#include "support/system_error.h"

namespace installer {
namespace {

bool IsDotName(const wchar_t* name) { return wcscmp(name, L".") == 0 || wcscmp(name, L"..") == 0; }

}  // namespace

std::wstring GetTempBase() {
  std::wstring base = L".\\";
  wchar_t buffer[1024];
  if (GetTempPathW(1024, buffer) != 0) base = buffer;
  if (!EndsWith(base, L"\\")) base += L"\\";
  return base;
}

bool SystemWorkspaceNumbers(WorkspaceNumbers* numbers, void*) {
  if (!SystemRandom32(&numbers->random)) return false;
  numbers->time = static_cast<int64_t>(::time(nullptr));
  numbers->tick = GetTickCount();
  return true;
}

std::wstring WorkspaceName(const WorkspaceNumbers& numbers) {
  return L"ITMPD_" + std::to_wstring(numbers.tick) + L"_" + std::to_wstring(numbers.time) + L"_" +
         std::to_wstring(numbers.random);
}

std::wstring CreateWorkspaceIn(const std::wstring& base, WorkspaceNumberSource source, void* context,
                               int attempts) {
  WorkspaceSecurity security;
  if (!security.valid()) {
    DiagLog("Couldn't build the workspace security descriptor, le %lu\n", GetLastError());
    return L"";
  }
  for (int attempt = 0; attempt < attempts; ++attempt) {
    WorkspaceNumbers numbers;
    if (!source(&numbers, context)) {
      DiagLog("No random number for the workspace name\n");
      return L"";
    }
    const std::wstring path = base + WorkspaceName(numbers);
    // Fails on an existing name, so a directory planted in advance is never used.
    if (CreateDirectoryW(path.c_str(), security.attributes())) return path + L"\\";
    NoteSystemError();
    DiagLog("Couldn't create workspace %s, le %lu\n", WideToUtf8(path).c_str(), GetLastError());
  }
  return L"";
}

std::wstring CreateWorkspace() {
  return CreateWorkspaceIn(GetTempBase(), SystemWorkspaceNumbers, nullptr, kWorkspaceAttempts);
}

CleanupList::~CleanupList() {
  DiagLog("Begin cleanup of %d files\n", static_cast<int>(files.size()));
  for (const std::wstring& file : files) {
    DiagLog("Cleanup %s\n", WideToUtf8(file).c_str());
    DeleteFileW(file.c_str());
  }
  DiagLog("Done\n");
  DiagLog("Begin cleanup of %d dirs\n", static_cast<int>(dirs.size()));
  for (const std::wstring& dir : dirs) {
    DiagLog("Cleanup %s\n", WideToUtf8(dir).c_str());
    DeleteTree(dir);
  }
  DiagLog("Done\n");
  dirs.clear();
  files.clear();
}

void AddCleanupDir(CleanupList* list, const std::wstring& path) {
  std::wstring dir = path;
  if (EndsWith(dir, L"\\")) dir.pop_back();
  list->dirs.push_back(dir);
}

namespace {

// How long the removal of one tree waits, in all, for what is still in use.
constexpr DWORD kReleaseWaitMs = 2000;
constexpr DWORD kRetryPauseMs = 50;

// A program ended from outside may still hold its image file and its current
// directory (the workspace) for a moment after its process handle is
// signalled (seen under wine with the 32-bit stub). A workspace must not
// outlive the run for that, so what is still in use gets more tries while
// the tree's waiting time lasts; the result stays unreported. The time is the
// tree's, not each item's: a setup program that leaves many files behind
// must not keep the installer waiting per file.
template <typename Remove>
void RemoveWhenReleased(const std::wstring& path, Remove remove, DWORD* waitLeftMs) {
  while (!remove(path.c_str())) {
    const DWORD error = GetLastError();
    if (error != ERROR_SHARING_VIOLATION && error != ERROR_ACCESS_DENIED) return;
    if (*waitLeftMs < kRetryPauseMs) return;
    *waitLeftMs -= kRetryPauseMs;
    Sleep(kRetryPauseMs);
  }
}

// A read-only file or folder cannot be deleted: the attribute goes first, so
// that what a setup program leaves read-only does not stay in %TEMP%.
void ClearReadOnly(const std::wstring& path, DWORD attributes) {
  if (attributes & FILE_ATTRIBUTE_READONLY) SetFileAttributesW(path.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
}

void DeleteTreeWithin(const std::wstring& path, DWORD* waitLeftMs) {
  WIN32_FIND_DATAW entry;
  HANDLE find = FindFirstFileW((path + L"\\*").c_str(), &entry);
  if (find != INVALID_HANDLE_VALUE) {
    do {
      if (IsDotName(entry.cFileName)) continue;
      const std::wstring child = path + L"\\" + entry.cFileName;
      const bool directory = (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
      const bool link = (entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
      if (directory && link) {
        // Removing a junction or directory link removes only the link.
        DiagLog("Delete Dir %s\n", WideToUtf8(child).c_str());
        RemoveDirectoryW(child.c_str());
      } else if (directory) {
        DeleteTreeWithin(child, waitLeftMs);
      } else {
        DiagLog("Delete File %s\n", WideToUtf8(child).c_str());
        ClearReadOnly(child, entry.dwFileAttributes);
        RemoveWhenReleased(child, DeleteFileW, waitLeftMs);
      }
    } while (FindNextFileW(find, &entry));
    FindClose(find);
  }
  DiagLog("Delete Dir %s\n", WideToUtf8(path).c_str());
  const DWORD attributes = GetFileAttributesW(path.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES) ClearReadOnly(path, attributes);
  RemoveWhenReleased(path, RemoveDirectoryW, waitLeftMs);
}

}  // namespace

void DeleteTree(const std::wstring& path) {
  DWORD waitLeftMs = kReleaseWaitMs;
  DeleteTreeWithin(path, &waitLeftMs);
}

bool FileExists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

void MakeParentDirs(const std::wstring& filePath) {
  size_t position = filePath.find(L'\\');
  while (position != std::wstring::npos) {
    const std::wstring prefix = filePath.substr(0, position);
    const bool drive = prefix.size() == 2 && prefix[1] == L':';
    if (!drive && !FileExists(prefix)) CreateDirectoryW(prefix.c_str(), nullptr);
    position = filePath.find(L'\\', position + 1);
  }
}

}  // namespace installer

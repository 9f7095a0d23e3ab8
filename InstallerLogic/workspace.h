// The temporary workspace of one run: a fresh "ITMPD_" directory under the
// user's temporary folder, removed with everything in it by a scope-bound
// cleanup list; plus the two path helpers the install script needs.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace installer {

// The temporary folder with a trailing backslash (".\" when unavailable).
std::wstring GetTempBase();

// The three numbers of a workspace name.
struct WorkspaceNumbers {
  uint32_t tick = 0;   // milliseconds since system start
  int64_t time = 0;    // seconds since 1970
  uint32_t random = 0; // from the cryptographic generator
};
// Supplies the numbers for one attempt; false = no numbers (the run fails).
using WorkspaceNumberSource = bool (*)(WorkspaceNumbers* numbers, void* context);
// The system's numbers, taken in the order random, time, tick.
bool SystemWorkspaceNumbers(WorkspaceNumbers* numbers, void* context);

// How many names are tried before the run gives up.
constexpr int kWorkspaceAttempts = 16;

// The directory name "ITMPD_<tick>_<time>_<random>".
std::wstring WorkspaceName(const WorkspaceNumbers& numbers);

// Creates a workspace directory under `base` (which ends with a backslash)
// with the protected workspace descriptor. A name that already exists is
// never reused: a failed creation asks for new numbers, up to `attempts`
// times. Returns the path with a trailing backslash, or "".
std::wstring CreateWorkspaceIn(const std::wstring& base, WorkspaceNumberSource source, void* context,
                               int attempts);
// The same under GetTempBase() with the system's numbers.
std::wstring CreateWorkspace();

// Paths removed when the list is destroyed: files first, then directories,
// each in insertion order.
class CleanupList {
 public:
  CleanupList() = default;
  CleanupList(const CleanupList&) = delete;
  CleanupList& operator=(const CleanupList&) = delete;
  ~CleanupList();

  std::vector<std::wstring> files;
  std::vector<std::wstring> dirs;
};

// Registers a directory for recursive deletion (one trailing backslash dropped).
void AddCleanupDir(CleanupList* list, const std::wstring& path);
// Deletes a directory recursively, read-only files and folders included. A
// reparse point (junction, directory link) inside is removed as a link; what
// it points to is never touched. What is still in use is retried for about
// two seconds in all, for the whole tree.
void DeleteTree(const std::wstring& path);
// Creates every missing directory on the way to a file (backslash-separated).
void MakeParentDirs(const std::wstring& filePath);
bool FileExists(const std::wstring& path);

}  // namespace installer

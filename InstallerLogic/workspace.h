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

// Supplies the third number of a workspace name; false = no number.
using RandomSource = bool (*)(uint32_t* value, void* context);

// How many names are tried before the run gives up.
constexpr int kWorkspaceAttempts = 16;

// Creates "ITMPD_<tick>_<time>_<random>" under `base` (which ends with a
// backslash) with the protected workspace descriptor. A name that already
// exists is never reused: a failed creation draws a new random number, up to
// `attempts` times. Returns the path with a trailing backslash, or "".
std::wstring CreateWorkspaceIn(const std::wstring& base, RandomSource random, void* context, int attempts);
// The same under GetTempBase() with the system's cryptographic generator.
std::wstring CreateWorkspace();
// The directory name for the three numbers.
std::wstring WorkspaceName(uint32_t tick, int64_t time, uint32_t random);

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
// Deletes a directory recursively. A reparse point (junction, directory
// link) inside is removed as a link; what it points to is never touched.
void DeleteTree(const std::wstring& path);
// Creates every missing directory on the way to a file (backslash-separated).
void MakeParentDirs(const std::wstring& filePath);
bool FileExists(const std::wstring& path);

}  // namespace installer

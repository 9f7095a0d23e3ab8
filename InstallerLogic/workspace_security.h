// The security descriptor of the workspace. The workspace lives in the
// user's temporary folder, which unelevated processes of the same user can
// write to; the elevated installer therefore does not inherit that folder's
// permissions but sets its own: Administrators and SYSTEM full control, the
// current user read and execute, inheritance from the parent cut off.
#pragma once

#include <windows.h>

#include <cstdint>
#include <vector>

namespace installer {

class WorkspaceSecurity {
 public:
  // Builds the descriptor; valid() tells whether every step succeeded.
  WorkspaceSecurity();
  WorkspaceSecurity(const WorkspaceSecurity&) = delete;
  WorkspaceSecurity& operator=(const WorkspaceSecurity&) = delete;

  bool valid() const { return valid_; }
  // For CreateDirectoryW; null when the descriptor could not be built.
  SECURITY_ATTRIBUTES* attributes() { return valid_ ? &attributes_ : nullptr; }
  PSECURITY_DESCRIPTOR descriptor() { return valid_ ? &descriptor_ : nullptr; }

 private:
  bool Build();

  bool valid_ = false;
  std::vector<uint8_t> administrators_;
  std::vector<uint8_t> system_;
  std::vector<uint8_t> user_;
  std::vector<uint8_t> acl_;
  SECURITY_DESCRIPTOR descriptor_{};
  SECURITY_ATTRIBUTES attributes_{};
};

// Access granted to the current user: read and execute, nothing else.
constexpr DWORD kWorkspaceUserAccess = FILE_GENERIC_READ | FILE_GENERIC_EXECUTE;
// Access granted to Administrators and SYSTEM.
constexpr DWORD kWorkspaceAdminAccess = FILE_ALL_ACCESS;
// Every ACE is inherited by the files and folders created inside.
constexpr BYTE kWorkspaceAceFlags = OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE;

// The SID of the user the process runs as (from its token); empty on failure.
std::vector<uint8_t> CurrentUserSid();

}  // namespace installer

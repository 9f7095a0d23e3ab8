#include "InstallerLogic/workspace_security.h"

namespace installer {
namespace {

std::vector<uint8_t> WellKnownSid(WELL_KNOWN_SID_TYPE type) {
  std::vector<uint8_t> sid(SECURITY_MAX_SID_SIZE);
  DWORD size = static_cast<DWORD>(sid.size());
  if (!CreateWellKnownSid(type, nullptr, sid.data(), &size)) return {};
  sid.resize(size);
  return sid;
}

}  // namespace

std::vector<uint8_t> CurrentUserSid() {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return {};
  DWORD size = 0;
  GetTokenInformation(token, TokenUser, nullptr, 0, &size);
  std::vector<uint8_t> buffer(size);
  std::vector<uint8_t> sid;
  if (size != 0 && GetTokenInformation(token, TokenUser, buffer.data(), size, &size)) {
    PSID user = reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid;
    if (IsValidSid(user)) {
      const uint8_t* bytes = static_cast<const uint8_t*>(user);
      sid.assign(bytes, bytes + GetLengthSid(user));
    }
  }
  CloseHandle(token);
  return sid;
}

WorkspaceSecurity::WorkspaceSecurity() { valid_ = Build(); }

bool WorkspaceSecurity::Build() {
  administrators_ = WellKnownSid(WinBuiltinAdministratorsSid);
  system_ = WellKnownSid(WinLocalSystemSid);
  user_ = CurrentUserSid();
  if (administrators_.empty() || system_.empty() || user_.empty()) return false;

  const DWORD aceBase = sizeof(ACCESS_ALLOWED_ACE) - sizeof(DWORD);
  const DWORD aclSize = sizeof(ACL) + 3 * aceBase + static_cast<DWORD>(administrators_.size()) +
                        static_cast<DWORD>(system_.size()) + static_cast<DWORD>(user_.size());
  acl_.assign((aclSize + 3) & ~3u, 0);
  ACL* acl = reinterpret_cast<ACL*>(acl_.data());
  if (!InitializeAcl(acl, static_cast<DWORD>(acl_.size()), ACL_REVISION)) return false;
  if (!AddAccessAllowedAceEx(acl, ACL_REVISION, kWorkspaceAceFlags, kWorkspaceAdminAccess,
                             administrators_.data()) ||
      !AddAccessAllowedAceEx(acl, ACL_REVISION, kWorkspaceAceFlags, kWorkspaceAdminAccess, system_.data()) ||
      !AddAccessAllowedAceEx(acl, ACL_REVISION, kWorkspaceAceFlags, kWorkspaceUserAccess, user_.data()))
    return false;

  if (!InitializeSecurityDescriptor(&descriptor_, SECURITY_DESCRIPTOR_REVISION)) return false;
  if (!SetSecurityDescriptorDacl(&descriptor_, TRUE, acl, FALSE)) return false;
  // Protected: the temporary folder's inheritable entries do not flow in.
  if (!SetSecurityDescriptorControl(&descriptor_, SE_DACL_PROTECTED, SE_DACL_PROTECTED)) return false;

  attributes_.nLength = sizeof attributes_;
  attributes_.lpSecurityDescriptor = &descriptor_;
  attributes_.bInheritHandle = FALSE;
  return true;
}

}  // namespace installer

// Workspace: names, creation that never reuses a directory, the protected
// security descriptor, cleanup order and lines, links inside the tree.
#ifdef _WIN32
#include <gtest/gtest.h>
#include <windows.h>
#include <sddl.h>
#include <winioctl.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "InstallerLogic/random_source.h"
#include "InstallerLogic/workspace.h"
#include "InstallerLogic/workspace_security.h"
#include "support/strings.h"
#include "tests/support/test_support.h"

namespace installer {
namespace {

std::wstring WithSlash(const kztest::TempDir& dir) { return dir.path().wstring() + L"\\"; }

// Hands out fixed numbers, one set per attempt.
struct ScriptedNumbers {
  std::vector<uint32_t> randoms;
  size_t next = 0;
  static bool Source(WorkspaceNumbers* numbers, void* context) {
    auto* self = static_cast<ScriptedNumbers*>(context);
    if (self->next >= self->randoms.size()) return false;
    numbers->tick = 4000000000u;
    numbers->time = 1700000000;
    numbers->random = self->randoms[self->next++];
    return true;
  }
};

TEST(InstallerWorkspace, NameAndBase) {
  WorkspaceNumbers numbers;
  numbers.tick = 4294967295u;
  numbers.time = 17179869184LL;  // needs more than 32 bits
  numbers.random = 3000000000u;  // printed unsigned
  EXPECT_EQ(WorkspaceName(numbers), L"ITMPD_4294967295_17179869184_3000000000");
  const std::wstring base = GetTempBase();
  ASSERT_GE(base.size(), 2u);
  EXPECT_EQ(base.back(), L'\\');
  EXPECT_NE(base[base.size() - 2], L'\\');
}

TEST(InstallerWorkspace, RetriesWithoutReusingPlantedDirectories) {
  kztest::TempDir dir;
  // Someone planted the first two names, with content.
  for (const char* planted : {"ITMPD_4000000000_1700000000_7", "ITMPD_4000000000_1700000000_8"}) {
    std::filesystem::create_directory(dir / planted);
    kztest::WriteFileText(dir / planted / "evil.dll", "x");
  }
  ScriptedNumbers numbers{{7, 8, 9, 10}};
  const std::wstring path = CreateWorkspaceIn(WithSlash(dir), ScriptedNumbers::Source, &numbers, 16);
  EXPECT_EQ(path, WithSlash(dir) + L"ITMPD_4000000000_1700000000_9\\");
  EXPECT_EQ(numbers.next, 3u);
  EXPECT_TRUE(std::filesystem::is_directory(dir / "ITMPD_4000000000_1700000000_9"));
  EXPECT_TRUE(std::filesystem::is_empty(dir / "ITMPD_4000000000_1700000000_9"));
}

TEST(InstallerWorkspace, GivesUpAfterBoundedAttempts) {
  kztest::TempDir dir;
  std::filesystem::create_directory(dir / "ITMPD_4000000000_1700000000_1");
  {
    ScriptedNumbers numbers{std::vector<uint32_t>(20, 1)};
    kztest::DiagSwitchOn diag;
    kztest::DebugCapture capture;
    EXPECT_EQ(CreateWorkspaceIn(WithSlash(dir), ScriptedNumbers::Source, &numbers, 5), L"");
    EXPECT_EQ(numbers.next, 5u);
    EXPECT_NE(capture.Joined().find("Couldn't create workspace"), std::string::npos);
  }
  {
    // No numbers: no directory, no endless loop.
    ScriptedNumbers numbers{{}};
    EXPECT_EQ(CreateWorkspaceIn(WithSlash(dir), ScriptedNumbers::Source, &numbers, 5), L"");
  }
  {
    // A base that does not exist fails every attempt.
    ScriptedNumbers numbers{{1, 2, 3}};
    EXPECT_EQ(CreateWorkspaceIn(WithSlash(dir) + L"missing\\", ScriptedNumbers::Source, &numbers, 3), L"");
  }
}

TEST(InstallerWorkspace, SystemNumbersDiffer) {
  // The unseeded C runtime generator gave every process the same first value.
  WorkspaceNumbers first, second;
  ASSERT_TRUE(SystemWorkspaceNumbers(&first, nullptr));
  ASSERT_TRUE(SystemWorkspaceNumbers(&second, nullptr));
  EXPECT_NE(first.random, second.random);
  EXPECT_GT(first.time, 1600000000);
  const std::wstring path = CreateWorkspace();
  ASSERT_FALSE(path.empty());
  EXPECT_EQ(path.rfind(GetTempBase() + L"ITMPD_", 0), 0u);
  EXPECT_EQ(path.back(), L'\\');
  EXPECT_TRUE(RemoveDirectoryW(path.c_str()));
}

TEST(InstallerWorkspace, SecurityDescriptorValue) {
  WorkspaceSecurity security;
  ASSERT_TRUE(security.valid());
  PSECURITY_DESCRIPTOR descriptor = security.descriptor();
  ASSERT_TRUE(IsValidSecurityDescriptor(descriptor));

  SECURITY_DESCRIPTOR_CONTROL control = 0;
  DWORD revision = 0;
  ASSERT_TRUE(GetSecurityDescriptorControl(descriptor, &control, &revision));
  EXPECT_TRUE(control & SE_DACL_PRESENT);
  EXPECT_TRUE(control & SE_DACL_PROTECTED);  // nothing inherited from the temp folder

  BOOL present = FALSE, defaulted = FALSE;
  PACL acl = nullptr;
  ASSERT_TRUE(GetSecurityDescriptorDacl(descriptor, &present, &acl, &defaulted));
  ASSERT_TRUE(present);
  ASSERT_NE(acl, nullptr);
  ACL_SIZE_INFORMATION info{};
  ASSERT_TRUE(GetAclInformation(acl, &info, sizeof info, AclSizeInformation));
  ASSERT_EQ(info.AceCount, 3u);

  const std::vector<uint8_t> user = CurrentUserSid();
  ASSERT_FALSE(user.empty());
  bool sawAdministrators = false, sawSystem = false, sawUser = false;
  for (DWORD i = 0; i < info.AceCount; ++i) {
    ACCESS_ALLOWED_ACE* ace = nullptr;
    ASSERT_TRUE(GetAce(acl, i, reinterpret_cast<void**>(&ace)));
    ASSERT_EQ(ace->Header.AceType, ACCESS_ALLOWED_ACE_TYPE);  // no deny, no other kind
    EXPECT_EQ(ace->Header.AceFlags, OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE);
    PSID sid = &ace->SidStart;
    if (IsWellKnownSid(sid, WinBuiltinAdministratorsSid)) {
      sawAdministrators = true;
      EXPECT_EQ(ace->Mask, static_cast<DWORD>(FILE_ALL_ACCESS));
    } else if (IsWellKnownSid(sid, WinLocalSystemSid)) {
      sawSystem = true;
      EXPECT_EQ(ace->Mask, static_cast<DWORD>(FILE_ALL_ACCESS));
    } else {
      ASSERT_TRUE(EqualSid(sid, const_cast<uint8_t*>(user.data())));
      sawUser = true;
      // Read and execute only: no write, delete, or permission change.
      EXPECT_EQ(ace->Mask, static_cast<DWORD>(FILE_GENERIC_READ | FILE_GENERIC_EXECUTE));
      EXPECT_EQ(ace->Mask & (FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_WRITE_EA | FILE_WRITE_ATTRIBUTES |
                             DELETE | WRITE_DAC | WRITE_OWNER | FILE_DELETE_CHILD),
                0u);
    }
  }
  EXPECT_TRUE(sawAdministrators && sawSystem && sawUser);

  // The platform's own rendering agrees: a protected DACL of three entries.
  LPWSTR sddl = nullptr;
  if (ConvertSecurityDescriptorToStringSecurityDescriptorW(descriptor, SDDL_REVISION_1,
                                                           DACL_SECURITY_INFORMATION, &sddl, nullptr)) {
    const std::string text = WideToUtf8(sddl);
    LocalFree(sddl);
    EXPECT_EQ(text.rfind("D:P", 0), 0u) << text;
    EXPECT_NE(text.find("(A;OICI;FA;;;BA)"), std::string::npos) << text;
    EXPECT_NE(text.find("(A;OICI;FA;;;SY)"), std::string::npos) << text;
  }
  // The attributes hand exactly this descriptor to CreateDirectoryW.
  ASSERT_NE(security.attributes(), nullptr);
  EXPECT_EQ(security.attributes()->lpSecurityDescriptor, descriptor);
  EXPECT_FALSE(security.attributes()->bInheritHandle);
}

TEST(InstallerWorkspace, MakeParentDirs) {
  kztest::TempDir dir;
  const std::wstring base = WithSlash(dir);
  MakeParentDirs(base + L"one\\two\\file.txt");
  EXPECT_TRUE(std::filesystem::is_directory(dir / "one" / "two"));
  EXPECT_FALSE(std::filesystem::exists(dir / "one" / "two" / "file.txt"));
  // Only the backslash separates: "a/b" is one component to create, which
  // the file system cannot make without "a", and "a" itself is never made.
  MakeParentDirs(base + L"a/b\\file.txt");
  EXPECT_FALSE(FileExists(base + L"a"));
  EXPECT_TRUE(FileExists(base + L"one"));
  EXPECT_FALSE(FileExists(base + L"none"));
}

TEST(InstallerWorkspace, CleanupDeletesTreeWithLines) {
  kztest::TempDir dir;
  const std::filesystem::path work = dir / "ITMPD_1_2_3";
  std::filesystem::create_directories(work / "sub");
  kztest::WriteFileText(work / "setup.exe", "s");
  kztest::WriteFileText(work / "sub" / "dep.dll", "d");
  kztest::DiagSwitchOn diag;
  kztest::DebugCapture capture;
  {
    CleanupList cleanup;
    AddCleanupDir(&cleanup, work.wstring() + L"\\");
    ASSERT_EQ(cleanup.dirs.size(), 1u);
    EXPECT_EQ(cleanup.dirs[0], work.wstring());  // the trailing backslash dropped
  }
  EXPECT_FALSE(std::filesystem::exists(work));
  const std::string root = WideToUtf8(work.wstring());
  std::vector<std::string> messages = capture.Messages();
  // File and subdirectory order depends on the enumeration; compare as sets.
  std::vector<std::string> middle(messages.begin() + 3, messages.end() - 2);
  std::sort(middle.begin(), middle.end());
  EXPECT_EQ(std::vector<std::string>(messages.begin(), messages.begin() + 3),
            (std::vector<std::string>{"Begin cleanup of 0 files\n", "Done\n", "Begin cleanup of 1 dirs\n"}));
  EXPECT_EQ(middle, (std::vector<std::string>{"Cleanup " + root + "\n", "Delete Dir " + root + "\\sub\n",
                                              "Delete File " + root + "\\setup.exe\n",
                                              "Delete File " + root + "\\sub\\dep.dll\n"}));
  EXPECT_EQ(messages[3], "Cleanup " + root + "\n");
  EXPECT_EQ(std::vector<std::string>(messages.end() - 2, messages.end()),
            (std::vector<std::string>{"Delete Dir " + root + "\n", "Done\n"}));
  // The subdirectory goes before the workspace itself.
  auto at = [&](const std::string& m) { return std::find(messages.begin(), messages.end(), m) - messages.begin(); };
  EXPECT_LT(at("Delete File " + root + "\\sub\\dep.dll\n"), at("Delete Dir " + root + "\\sub\n"));
}

bool IsLink(const std::wstring& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

// Makes `link` a junction to `target`; false where the platform refuses.
bool MakeJunction(const std::wstring& link, const std::wstring& target) {
  if (!CreateDirectoryW(link.c_str(), nullptr)) return false;
  HANDLE handle = CreateFileW(link.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return false;
  const std::wstring substitute = L"\\??\\" + target;
  // REPARSE_DATA_BUFFER for a mount point: tag, sizes, then both names.
  std::vector<uint8_t> buffer(8 + 8 + (substitute.size() + target.size() + 2) * 2);
  auto put16 = [&](size_t at, size_t value) {
    buffer[at] = static_cast<uint8_t>(value);
    buffer[at + 1] = static_cast<uint8_t>(value >> 8);
  };
  const size_t subBytes = substitute.size() * 2, printBytes = target.size() * 2;
  *reinterpret_cast<DWORD*>(buffer.data()) = IO_REPARSE_TAG_MOUNT_POINT;
  put16(4, buffer.size() - 8);
  put16(8, 0);
  put16(10, subBytes);
  put16(12, subBytes + 2);
  put16(14, printBytes);
  memcpy(buffer.data() + 16, substitute.c_str(), subBytes);
  memcpy(buffer.data() + 16 + subBytes + 2, target.c_str(), printBytes);
  DWORD returned = 0;
  const BOOL ok = DeviceIoControl(handle, FSCTL_SET_REPARSE_POINT, buffer.data(), static_cast<DWORD>(buffer.size()),
                                  nullptr, 0, &returned, nullptr);
  CloseHandle(handle);
  return ok && IsLink(link);
}

// A file and the folder itself still held for a moment (as a just-ended
// program's image and current directory are) go once they are released;
// without the second chances the tree stays.
TEST(InstallerWorkspace, DeleteTreeWaitsForHeldFilesBriefly) {
  kztest::TempDir dir;
  const std::filesystem::path work = dir / "ITMPD_4_5_6";
  std::filesystem::create_directories(work);
  kztest::WriteFileText(work / "setup.exe", "s");
  static HANDLE held[2];
  held[0] = CreateFileW((work / "setup.exe").wstring().c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                        OPEN_EXISTING, 0, nullptr);
  held[1] = CreateFileW(work.wstring().c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                        OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  ASSERT_NE(held[0], INVALID_HANDLE_VALUE);
  ASSERT_NE(held[1], INVALID_HANDLE_VALUE);
  HANDLE releaser = CreateThread(
      nullptr, 0,
      [](LPVOID) -> DWORD WINAPI {
        Sleep(300);
        CloseHandle(held[0]);
        Sleep(300);
        CloseHandle(held[1]);
        return 0;
      },
      nullptr, 0, nullptr);
  ASSERT_NE(releaser, nullptr);
  DeleteTree(work.wstring());
  WaitForSingleObject(releaser, INFINITE);
  CloseHandle(releaser);
  EXPECT_FALSE(std::filesystem::exists(work));
}

// What a setup program leaves read-only goes too, and files that stay in use
// cost about two seconds for the whole tree, not per file.
TEST(InstallerWorkspace, DeleteTreeRemovesReadOnlyFilesAndWaitsBriefly) {
  kztest::TempDir dir;
  const std::filesystem::path work = dir / "ITMPD_7_8_9";
  std::filesystem::create_directories(work / "sub");
  for (int i = 0; i < 200; ++i) {
    const std::filesystem::path file = work / (i % 2 ? "sub" : ".") / ("left" + std::to_string(i) + ".txt");
    kztest::WriteFileText(file, "x");
    ASSERT_TRUE(SetFileAttributesW(file.wstring().c_str(), FILE_ATTRIBUTE_READONLY));
  }
  ASSERT_TRUE(SetFileAttributesW((work / "sub").wstring().c_str(), FILE_ATTRIBUTE_READONLY));
  const DWORD start = GetTickCount();
  DeleteTree(work.wstring());
  EXPECT_LT(GetTickCount() - start, 5000u);
  EXPECT_FALSE(std::filesystem::exists(work));

  // Three files held without delete sharing for the whole removal.
  std::filesystem::create_directories(work);
  std::vector<HANDLE> held;
  for (int i = 0; i < 3; ++i) {
    const std::filesystem::path file = work / ("held" + std::to_string(i) + ".txt");
    kztest::WriteFileText(file, "x");
    held.push_back(CreateFileW(file.wstring().c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_NE(held.back(), INVALID_HANDLE_VALUE);
  }
  const DWORD heldStart = GetTickCount();
  DeleteTree(work.wstring());
  const DWORD heldTook = GetTickCount() - heldStart;
  EXPECT_GE(heldTook, 1500u);  // it did wait for them
  EXPECT_LT(heldTook, 4000u);  // but not two seconds each
  for (HANDLE h : held) CloseHandle(h);
  DeleteTree(work.wstring());
  EXPECT_FALSE(std::filesystem::exists(work));
}

TEST(InstallerWorkspace, DeleteTreeRemovesLinksNotTheirTargets) {
  kztest::TempDir dir;
  const std::filesystem::path outside = dir / "outside";
  std::filesystem::create_directories(outside / "deep");
  kztest::WriteFileText(outside / "precious.txt", "keep");
  kztest::WriteFileText(outside / "deep" / "precious2.txt", "keep");
  const std::filesystem::path work = dir / "work";
  std::filesystem::create_directories(work);
  kztest::WriteFileText(work / "file.txt", "x");

  const std::wstring link = (work / "link").wstring();
  bool made = MakeJunction(link, outside.wstring());
  if (!made) {
    RemoveDirectoryW(link.c_str());
    made = CreateSymbolicLinkW(link.c_str(), outside.wstring().c_str(), SYMBOLIC_LINK_FLAG_DIRECTORY) &&
           IsLink(link);
  }
  // Wine 8 refuses FSCTL_SET_REPARSE_POINT and only pretends to create links.
  if (!made) GTEST_SKIP() << "this platform creates neither junctions nor directory links here";
  ASSERT_TRUE(std::filesystem::exists(work / "link" / "precious.txt"));

  DeleteTree(work.wstring());
  EXPECT_FALSE(std::filesystem::exists(work / "link"));
  EXPECT_FALSE(std::filesystem::exists(work));
  EXPECT_TRUE(std::filesystem::exists(outside / "precious.txt"));
  EXPECT_TRUE(std::filesystem::exists(outside / "deep" / "precious2.txt"));
}

}  // namespace
}  // namespace installer
#endif  // _WIN32

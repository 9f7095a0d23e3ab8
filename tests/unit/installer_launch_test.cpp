// Setup launch: the command line survives the platform's splitter, and a
// real child process receives the arguments in the workspace.
#ifdef _WIN32
#include <gtest/gtest.h>
#include <windows.h>
#include <shellapi.h>

#include <filesystem>
#include <string>
#include <vector>

#include "InstallerLogic/setup_launch.h"
#include "support/strings.h"
#include "tests/support/test_support.h"

namespace installer {
namespace {

std::vector<std::wstring> Split(const std::wstring& commandLine) {
  int count = 0;
  wchar_t** parts = CommandLineToArgvW(commandLine.c_str(), &count);
  std::vector<std::wstring> out;
  for (int i = 0; parts && i < count; ++i) out.push_back(parts[i]);
  LocalFree(parts);
  return out;
}

std::wstring Line(const std::wstring& workDir, std::vector<std::wstring> args, const std::wstring& module) {
  std::vector<wchar_t*> pointers;
  for (std::wstring& arg : args) pointers.push_back(&arg[0]);
  return BuildSetupCommandLine(workDir, static_cast<int>(pointers.size()), pointers.data(), module);
}

TEST(InstallerLaunch, PlainArgumentsAsBefore) {
  // Without blanks, tabs or quotes nothing changes; a blank quotes the argument.
  EXPECT_EQ(Line(L"C:\\T\\ITMPD_1_2_3\\", {L"/S", L"C:\\My Files\\x"}, L"C:\\Down loads\\inst.exe"),
            L"\"C:\\T\\ITMPD_1_2_3\\setup.exe\" /S \"C:\\My Files\\x\" \"C:\\Down loads\\inst.exe\"");
  EXPECT_EQ(Line(L"W\\", {L"a\\b\\", L"\\\\x"}, L"C:\\i.exe"), L"\"W\\setup.exe\" a\\b\\ \\\\x \"C:\\i.exe\"");
  // The installer path is always quoted.
  EXPECT_EQ(Line(L"W\\", {}, L"C:\\i.exe"), L"\"W\\setup.exe\" \"C:\\i.exe\"");
}

TEST(InstallerLaunch, QuotingRoundTripsThroughTheSplitter) {
  const std::vector<std::wstring> args = {
      L"/S",        L"with blank",  L"tab\there",    L"say \"hi\"",  L"C:\\dir\\",    L"C:\\my dir\\",
      L"",          L"\"",          L"\\",           L"a\\\\\"b",    L"x\\\\",        L"\\\"",
      L"end\\\\\\", L"\u00e9t\u00e9 \u4e2d", L"  ", L"a\"b c\"d\\"};
  const std::wstring module = L"C:\\Users\\me\\Down loads\\installer.exe";
  const std::wstring workDir = L"C:\\Temp dir\\ITMPD_1_2_3\\";
  const std::vector<std::wstring> split = Split(Line(workDir, args, module));
  ASSERT_EQ(split.size(), args.size() + 2);
  EXPECT_EQ(split.front(), workDir + L"setup.exe");
  for (size_t i = 0; i < args.size(); ++i) EXPECT_EQ(split[i + 1], args[i]) << "argument " << i;
  EXPECT_EQ(split.back(), module);  // never swallowed by a trailing backslash
  for (const std::wstring& arg : args) EXPECT_EQ(Split(L"x " + QuoteArgument(arg)).at(1), arg);
}

// The demo setup program as the workspace's setup.exe.
class LaunchInWorkspace : public ::testing::Test {
 protected:
  void SetUp() override {
    workDir_ = dir_.path().wstring() + L"\\";
    ASSERT_TRUE(CopyFileW(Utf8ToWide(KZ_DEMO_SETUP_EXE).c_str(), (workDir_ + L"setup.exe").c_str(), FALSE));
    kztest::WriteFileText(dir_ / "dep.dll", "12345");
    report_ = (report_dir_ / "report.txt").wstring();
    SetEnvironmentVariableW(L"KZ_SETUP_REPORT", report_.c_str());
  }
  void TearDown() override { SetEnvironmentVariableW(L"KZ_SETUP_REPORT", nullptr); }
  std::string Report() {
    std::vector<uint8_t> bytes = kztest::ReadFileBytes(report_);
    return std::string(bytes.begin(), bytes.end());
  }

  kztest::TempDir dir_;
  kztest::TempDir report_dir_;
  std::wstring workDir_;
  std::wstring report_;
};

TEST_F(LaunchInWorkspace, SetupReceivesArgumentsAndRunsInWorkspace) {
  std::vector<std::wstring> args = {L"/S", L"with blank", L"trailing\\", L"", L"q\"uote", L"tab\tx"};
  std::vector<wchar_t*> pointers;
  for (std::wstring& arg : args) pointers.push_back(&arg[0]);
  const std::wstring module = L"C:\\some where\\installer.exe";
  ASSERT_TRUE(LaunchSetup(workDir_, static_cast<int>(pointers.size()), pointers.data(), module, nullptr).ended);
  const std::string report = Report();
  std::string expected = "argc=8\narg[0]=" + WideToUtf8(workDir_) + "setup.exe\n";
  for (size_t i = 0; i < args.size(); ++i)
    expected += "arg[" + std::to_string(i + 1) + "]=" + WideToUtf8(args[i]) + "\n";
  expected += "arg[7]=" + WideToUtf8(module) + "\n";
  EXPECT_EQ(report.substr(0, expected.size()), expected) << report;
  // Relative paths in setup resolve against the workspace.
  EXPECT_NE(report.find("cwd=" + WideToUtf8(dir_.path().wstring()) + "\n"), std::string::npos) << report;
  EXPECT_NE(report.find("file=dep.dll size=5\n"), std::string::npos) << report;
}

TEST_F(LaunchInWorkspace, MissingSetupCannotStart) {
  ASSERT_TRUE(DeleteFileW((workDir_ + L"setup.exe").c_str()));
  wchar_t arg[] = L"/S";
  wchar_t* argv[] = {arg};
  const SetupRun run = LaunchSetup(workDir_, 1, argv, L"C:\\i.exe", nullptr);
  EXPECT_FALSE(run.ended);
  EXPECT_STREQ(run.failedStep, "starting setup.exe");
  EXPECT_EQ(run.error, static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_FALSE(std::filesystem::exists(report_));
}

// Setup's exit code is read only where the wait saw it end: a handle that
// may not be waited on, or whose code may not be read, fails the run
// instead of passing on a code nobody read.
TEST_F(LaunchInWorkspace, ExitCodeOnlyFromAWaitThatSucceeded) {
  SetEnvironmentVariableW(L"KZ_SETUP_EXIT_CODE", L"3010");
  std::wstring commandLine = L"\"" + workDir_ + L"setup.exe\" /S";
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  const BOOL started = CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr,
                                      workDir_.c_str(), &startup, &process);
  SetEnvironmentVariableW(L"KZ_SETUP_EXIT_CODE", nullptr);
  ASSERT_TRUE(started);
  CloseHandle(process.hThread);
  ASSERT_EQ(WaitForSingleObject(process.hProcess, 60000), WAIT_OBJECT_0);
  const struct {
    DWORD access;
    bool ended;
  } rows[] = {
      {SYNCHRONIZE | PROCESS_QUERY_INFORMATION, true},
      {PROCESS_QUERY_INFORMATION, false},  // the wait fails
      {SYNCHRONIZE, false},                // the exit code cannot be read
  };
  for (const auto& row : rows) {
    HANDLE limited = nullptr;
    ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), process.hProcess, GetCurrentProcess(), &limited, row.access,
                                FALSE, 0));
    const SetupRun run = WaitForSetup(limited);
    CloseHandle(limited);
    EXPECT_EQ(run.ended, row.ended) << std::hex << row.access;
    if (row.ended) {
      EXPECT_EQ(run.exitCode, 3010u);
    } else {
      EXPECT_STREQ(run.failedStep, "waiting for setup.exe");
      EXPECT_EQ(run.error, static_cast<DWORD>(ERROR_ACCESS_DENIED)) << std::hex << row.access;
    }
  }
  CloseHandle(process.hProcess);
}

TEST_F(LaunchInWorkspace, ReadOnlyHeldSetupStillStarts) {
  // The worker keeps setup.exe open, others may only read; starting it must work.
  HANDLE held = CreateFileW((workDir_ + L"setup.exe").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  // Nobody can replace it meanwhile.
  HANDLE writer = CreateFileW((workDir_ + L"setup.exe").c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  EXPECT_EQ(writer, INVALID_HANDLE_VALUE);
  if (writer != INVALID_HANDLE_VALUE) CloseHandle(writer);
  EXPECT_FALSE(MoveFileExW((workDir_ + L"setup.exe").c_str(), (workDir_ + L"moved.exe").c_str(), 0));
  wchar_t arg[] = L"/S";
  wchar_t* argv[] = {arg};
  EXPECT_TRUE(LaunchSetup(workDir_, 1, argv, L"C:\\i.exe", nullptr).ended);
  CloseHandle(held);
  EXPECT_NE(Report().find("arg[1]=/S\n"), std::string::npos);
}

}  // namespace
}  // namespace installer
#endif  // _WIN32

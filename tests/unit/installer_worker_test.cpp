// The installation worker's failure rows, in-process: each ends with result
// 1603, setup not started, the workspace removed again, and then the one
// line that names the failed step.
#ifdef _WIN32
#include <gtest/gtest.h>
#include <windows.h>
#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <atomic>
#include <set>
#include <string>
#include <vector>

#include "InstallerLogic/install_script.h"
#include "InstallerLogic/installer_state.h"
#include "InstallerLogic/worker.h"
#include "InstallerLogic/workspace.h"
#include "packing/chain_writer.h"
#include "support/strings.h"
#include "tests/support/allocation_failure.h"
#include "tests/support/test_support.h"
#include "tests/unit/bundle_fixtures.h"

namespace installer {
namespace {

std::set<std::wstring> Workspaces() {
  std::set<std::wstring> names;
  WIN32_FIND_DATAW entry;
  HANDLE find = FindFirstFileW((GetTempBase() + L"ITMPD_*").c_str(), &entry);
  if (find == INVALID_HANDLE_VALUE) return names;
  do names.insert(entry.cFileName);
  while (FindNextFileW(find, &entry));
  FindClose(find);
  return names;
}

std::wstring DemoSetup() { return Utf8ToWide(KZ_DEMO_SETUP_EXE); }

// The demo setup image with a .KZBNDL section holding `records`.
void WriteInstaller(const std::filesystem::path& out, const std::vector<std::pair<std::string, std::vector<uint8_t>>>& records) {
  uint64_t length = 0;
  for (const auto& record : records) length += AttachmentRecordSize(record.second.size());
  FILE* file = _wfopen(out.wstring().c_str(), L"wb");
  ASSERT_NE(file, nullptr);
  ChainWriter writer(file);
  std::string error;
  ASSERT_TRUE(writer.BeginImageWithSection(DemoSetup(), length, &error)) << error;
  for (const auto& record : records)
    ASSERT_TRUE(writer.AppendAttachment(record.first, record.second.data(), record.second.size(), &error)) << error;
  ASSERT_TRUE(writer.Finish(&error)) << error;
  fclose(file);
}

class WorkerFailures : public ::testing::Test {
 protected:
  void SetUp() override {
    report_ = (dir_ / "report.txt").wstring();
    SetEnvironmentVariableW(L"KZ_SETUP_REPORT", report_.c_str());
    installType = "silent";
    argc = 0;
    argv = nullptr;
    dlg = nullptr;
  }
  void TearDown() override {
    SetEnvironmentVariableW(L"KZ_SETUP_REPORT", nullptr);
    modulePath.clear();
  }
  // Runs the worker on `installer`; checks the common outcome of a failure
  // at `step`.
  void ExpectFailure(const std::wstring& installer, const std::string& step) {
    modulePath = installer;
    const std::set<std::wstring> before = Workspaces();
    kztest::DiagSwitchOn diag;
    kztest::DebugCapture capture;
    EXPECT_EQ(InstallWorker(nullptr), 1603u);
    EXPECT_EQ(Workspaces(), before) << "workspace left behind";
    EXPECT_FALSE(std::filesystem::exists(report_)) << "setup was started";
    messages_ = capture.Messages();
    const std::vector<std::string> tail = {"Begin cleanup of 0 files\n", "Done\n", "Begin cleanup of 1 dirs\n"};
    auto at = std::search(messages_.begin(), messages_.end(), tail.begin(), tail.end());
    ASSERT_NE(at, messages_.end()) << "no cleanup lines";
    ASSERT_LT(at + 3, messages_.end());
    EXPECT_EQ(at[3].rfind("Cleanup " + WideToUtf8(GetTempBase()) + "ITMPD_", 0), 0u) << at[3];
    // The reason comes last, after the workspace is gone.
    EXPECT_EQ(messages_.end()[-2], "Done\n");
    EXPECT_EQ(messages_.back(), "Installation failed: " + step + "\n");
  }
  std::vector<int> Progress() const {
    std::vector<int> values;
    for (const std::string& line : messages_) {
      int value = 0;
      if (sscanf(line.c_str(), "Progress %d%%", &value) == 1) values.push_back(value);
    }
    return values;
  }

  kztest::TempDir dir_;
  std::wstring report_;
  std::vector<std::string> messages_;
};

TEST_F(WorkerFailures, NoLoadAttachment) {
  ExpectFailure(DemoSetup(), "writing setup.exe");
  EXPECT_TRUE(Progress().empty());
}

TEST_F(WorkerFailures, SetupWithoutBundle) {
  const std::vector<uint8_t> setup = kztest::ReadFileBytes(KZ_DEMO_SETUP_EXE);
  WriteInstaller(dir_ / "installer.exe", {{"TYPE", kztest::Bytes("silent")}, {"LOAD", setup}});
  ExpectFailure((dir_ / "installer.exe").wstring(), "writing ibnd");
  // The first phase ran: 0 up to below 50, nothing after it.
  const std::vector<int> progress = Progress();
  ASSERT_FALSE(progress.empty());
  EXPECT_EQ(progress.front(), 0);
  for (int value : progress) EXPECT_LT(value, 50);
}

TEST_F(WorkerFailures, BundleThatIsNoBundle) {
  // setup.exe carries an "IBND" attachment, but its payload is not a bundle.
  const std::filesystem::path setup = dir_ / "setup_with_ibnd.exe";
  {
    FILE* file = _wfopen(setup.wstring().c_str(), L"wb");
    ASSERT_NE(file, nullptr);
    ChainWriter writer(file);
    std::string error;
    ASSERT_TRUE(writer.BeginAfterFile(DemoSetup(), &error)) << error;
    const std::vector<uint8_t> junk = kztest::RandomBytes(5000, 7);
    ASSERT_TRUE(writer.AppendAttachment("IBND", junk.data(), junk.size(), &error)) << error;
    ASSERT_TRUE(writer.Finish(&error)) << error;
    fclose(file);
  }
  WriteInstaller(dir_ / "installer.exe",
                 {{"TYPE", kztest::Bytes("silent")}, {"LOAD", kztest::ReadFileBytes(setup)}});
  ExpectFailure((dir_ / "installer.exe").wstring(), "opening the bundle");
  const std::vector<int> progress = Progress();
  ASSERT_FALSE(progress.empty());
  EXPECT_GE(progress.back(), 50);  // the bundle was extracted, then refused
  EXPECT_LT(progress.back(), 75);
}

// An installer whose setup program (unsigned: the demo setup) carries `bundle`.
std::wstring InstallerWithBundleFile(const kztest::TempDir& dir, const std::filesystem::path& bundle) {
  const std::filesystem::path setup = dir / "setup_with_ibnd.exe";
  FILE* file = _wfopen(setup.wstring().c_str(), L"wb");
  EXPECT_NE(file, nullptr);
  ChainWriter writer(file);
  std::string error;
  EXPECT_TRUE(writer.BeginAfterFile(DemoSetup(), &error)) << error;
  EXPECT_TRUE(writer.AppendAttachmentFromFile("IBND", bundle.wstring(), &error)) << error;
  EXPECT_TRUE(writer.Finish(&error)) << error;
  fclose(file);
  WriteInstaller(dir / "installer.exe", {{"TYPE", kztest::Bytes("silent")}, {"LOAD", kztest::ReadFileBytes(setup)}});
  return (dir / "installer.exe").wstring();
}

// The same with a signed bundle of `entries`.
std::wstring InstallerWithBundle(const kztest::TempDir& dir, const std::vector<bundletest::Entry>& entries) {
  return InstallerWithBundleFile(dir, bundletest::MakeSigned(dir / "bundle.ibnd", entries));
}

TEST_F(WorkerFailures, NoInstallScript) {
  ExpectFailure(InstallerWithBundle(dir_, {{"a.dll", bundletest::Text("a")}}), "finding the install script");
  // The bundle opened (85), then nothing: no script lines ran.
  EXPECT_EQ(Progress().back(), 85);
}

TEST_F(WorkerFailures, SetupSignatureInvalidSilent) {
  ExpectFailure(InstallerWithBundle(dir_, {{"install_script", bundletest::Text("# nothing to do\n")}}),
                "checking the signature of setup.exe");
  auto line = std::find(messages_.begin(), messages_.end(), "\n##installer file is not valid!");
  ASSERT_NE(line, messages_.end());
  EXPECT_EQ(line[1], "Begin cleanup of 0 files\n");  // the last thing before the cleanup
}

// Watches for the worker's message box from a second thread: reads it, notes
// whether the diagnostic line was already written, and presses OK.
struct BoxWatcher {
  std::atomic<bool> done{false}, boxSeen{false};
  std::atomic<kztest::DebugCapture*> capture{nullptr};
  std::wstring boxText;
  bool lineBeforeBox = true;

  static DWORD WINAPI Run(LPVOID self) {
    BoxWatcher* w = static_cast<BoxWatcher*>(self);
    for (int i = 0; i < 1200 && !w->done; ++i) {
      HWND box = FindWindowW(L"#32770", L"Error");
      if (box) {
        wchar_t text[128] = {};
        GetDlgItemTextW(box, 0xFFFF, text, 128);
        w->boxText = text;
        w->lineBeforeBox = false;
        // The worker is blocked in the box: its lines stand still meanwhile.
        if (kztest::DebugCapture* lines = w->capture.load())
          for (const std::string& line : lines->Messages())
            w->lineBeforeBox = w->lineBeforeBox || line == "\n##installer file is not valid!";
        w->boxSeen = true;
        PostMessageW(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
        return 0;
      }
      Sleep(50);
    }
    return 0;
  }
};

TEST_F(WorkerFailures, SetupSignatureInvalidGuiShowsTheBoxBeforeTheLine) {
  HWND probe = CreateWindowExW(0, L"STATIC", L"", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr, nullptr, nullptr);
  if (!probe) GTEST_SKIP() << "no window station for message boxes";
  DestroyWindow(probe);
  const std::wstring installer =
      InstallerWithBundle(dir_, {{"install_script", bundletest::Text("# nothing to do\n")}});
  installType = "gui";
  modulePath = installer;
  BoxWatcher watcher;
  {
    kztest::DiagSwitchOn diag;
    kztest::DebugCapture lines;
    watcher.capture = &lines;
    HANDLE thread = CreateThread(nullptr, 0, BoxWatcher::Run, &watcher, 0, nullptr);
    ASSERT_NE(thread, nullptr);
    EXPECT_EQ(InstallWorker(nullptr), 1603u);
    watcher.done = true;
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
    watcher.capture = nullptr;
    messages_ = lines.Messages();
  }
  EXPECT_TRUE(watcher.boxSeen) << "no \"Error\" message box";
  EXPECT_EQ(watcher.boxText, L"Installer file is corrupted.");
  EXPECT_FALSE(watcher.lineBeforeBox) << "the diagnostic line came before the box";
  EXPECT_NE(std::find(messages_.begin(), messages_.end(), "\n##installer file is not valid!"), messages_.end());
  EXPECT_FALSE(std::filesystem::exists(report_)) << "setup was started";
}

TEST_F(WorkerFailures, DeviceTargetIsRefusedBeforeAnythingIsWritten) {
  ExpectFailure(InstallerWithBundle(
      dir_, {{"install_script", bundletest::Text("dep-silent,a.dll,NUL\n")}, {"a.dll", bundletest::Text("a")}}),
      "running the install script");
  EXPECT_NE(std::find(messages_.begin(), messages_.end(), "Script target NUL names a device, not a file\n"),
            messages_.end());
}

// A chunk buffer that cannot be had fails the extraction: exit code 1603 as
// for any failed extraction, the workspace removed, nothing thrown.
TEST_F(WorkerFailures, ChunkBufferThatCannotBeHad) {
  BundleWriterOptions options;
  options.chunkSize = 3 << 20;
  const std::filesystem::path bundle = bundletest::MakeSigned(
      dir_ / "bundle.ibnd",
      {{"install_script", bundletest::Text("dep-silent,big.bin,big.bin\n")}, {"big.bin", kztest::RandomBytes(3 << 20, 9)}},
      "IBND", options);
  const std::wstring installer = InstallerWithBundleFile(dir_, bundle);
  // Above the 2 MiB of the attachment copy and of the signature check.
  kztest::RefusedAllocations refused((5 << 20) / 2);
  ExpectFailure(installer, "running the install script");
  EXPECT_NE(std::find_if(messages_.begin(), messages_.end(),
                         [](const std::string& m) { return m.rfind("Out of memory for 31", 0) == 0; }),
            messages_.end());
}

// A signed script whose second chunk does not inflate: the lines before it
// are not the script that was signed, so none of them runs.
TEST_F(WorkerFailures, ScriptCutShortRunsNoLine) {
  const std::string first = "dep-silent,a.dll,a.dll\n";
  std::vector<unsigned char> packed(compressBound(first.size()));
  uLongf packedSize = packed.size();
  ASSERT_EQ(compress2(packed.data(), &packedSize, reinterpret_cast<const Bytef*>(first.data()), first.size(), 9), Z_OK);
  const std::filesystem::path bundle = dir_ / "cut.ibnd";
  const BundleSigning signing = bundletest::Signing();
  BundleWriter writer;
  std::string error;
  ASSERT_TRUE(writer.Create(bundle.wstring(), BundleWriterOptions(), &signing, &error)) << error;
  ASSERT_TRUE(writer.BeginEntry("install_script", 2, &error)) << error;
  ASSERT_TRUE(writer.AddStoredChunk(packed.data(), static_cast<uint32_t>(packedSize),
                                    static_cast<uint32_t>(first.size()), &error)) << error;
  ASSERT_TRUE(writer.AddStoredChunk("not zlib", 8, 20, &error)) << error;
  ASSERT_TRUE(writer.AddEntryFromMemory("a.dll", "a", 1, &error)) << error;
  ASSERT_TRUE(writer.Finish(&error)) << error;
  ExpectFailure(InstallerWithBundleFile(dir_, bundle), "reading the install script");
  EXPECT_NE(std::find(messages_.begin(), messages_.end(), "The install script could not be read to its end\n"),
            messages_.end());
  EXPECT_EQ(std::find_if(messages_.begin(), messages_.end(),
                         [](const std::string& m) { return m.rfind("0: dep-silent", 0) == 0; }),
            messages_.end());
}

TEST(InstallerScriptEnvironment, OfThisProcess) {
  const ScriptEnvironment environment = CurrentScriptEnvironment("gui");
  // Every platform that runs the stub reports a major version of at least 5.
  EXPECT_GE(environment.majorVersion, 5u);
  EXPECT_EQ(environment.installType, "gui");
}

}  // namespace
}  // namespace installer
#endif  // _WIN32

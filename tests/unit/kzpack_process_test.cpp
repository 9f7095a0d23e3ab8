// The process runner of kzpack's signers and Authenticode step: which file a
// bare name starts, and that a time-out, a flood of output or a child left
// behind never keeps kzpack waiting. The test program is its own helper:
// started with KZ_PROCESS_HELPER set, ProcessHelper.Act plays a part.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#else
#include <signal.h>
#include <unistd.h>
#endif

#include "platform/process.h"
#include "support/strings.h"
#include "tests/support/test_support.h"
#include "tools/kzpack/cli_support.h"
#include "tools/kzpack/interrupt_cleanup.h"
#include "tools/kzpack/output_file.h"

namespace {

namespace fs = std::filesystem;

fs::path SelfPath() {
#ifdef _WIN32
  wchar_t buffer[MAX_PATH];
  return fs::path(std::wstring(buffer, GetModuleFileNameW(nullptr, buffer, MAX_PATH)));
#else
  return fs::read_symlink("/proc/self/exe");
#endif
}

std::string Environment(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

void SetEnvironment(const std::string& name, const std::string& value) {
#ifdef _WIN32
  SetEnvironmentVariableW(Utf8ToWide(name).c_str(), Utf8ToWide(value).c_str());
  _wputenv((Utf8ToWide(name) + L"=" + Utf8ToWide(value)).c_str());
#else
  setenv(name.c_str(), value.c_str(), 1);
#endif
}

const std::string kHelperFilter = "--gtest_filter=ProcessHelper.Act";

platform::ProcessResult RunHelper(const std::string& part, const std::string& marker, size_t maxOutput, int timeoutMs,
                                  const std::string& input = "") {
  return platform::RunProcess({SelfPath().u8string(), kHelperFilter},
                              {{"KZ_PROCESS_HELPER", part}, {"KZ_PROCESS_MARK", marker}}, input, maxOutput, timeoutMs);
}

double SecondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// A child that sleeps `seconds` and then leaves the marker, holding our stdout and stderr.
void StartSleepingChild(int seconds) {
#ifdef _WIN32
  SetEnvironment("KZ_PROCESS_HELPER", "sleep-then-mark");
  SetEnvironment("KZ_PROCESS_SLEEP", std::to_string(seconds));
  std::wstring line = L"\"" + SelfPath().wstring() + L"\" " + Utf8ToWide(kHelperFilter);
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  if (CreateProcessW(nullptr, &line[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process)) {
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
  }
#else
  if (fork() == 0) {
    sleep(static_cast<unsigned>(seconds));
    kztest::WriteFileText(Environment("KZ_PROCESS_MARK"), "ran");
    _exit(0);
  }
#endif
}

TEST(ProcessHelper, Act) {
  const std::string part = Environment("KZ_PROCESS_HELPER");
  if (part.empty()) GTEST_SKIP() << "a helper for the other tests";
  const std::string marker = Environment("KZ_PROCESS_MARK");
  if (part == "mark") kztest::WriteFileText(marker, "ran");
  if (part == "sleep-then-mark") {
    std::this_thread::sleep_for(std::chrono::seconds(std::atoi(Environment("KZ_PROCESS_SLEEP").c_str())));
    kztest::WriteFileText(marker, "ran");
  }
  if (part == "echo") {  // what a signer does: stdin in, bytes out
#ifdef _WIN32
    _setmode(_fileno(stdin), _O_BINARY);
    _setmode(_fileno(stdout), _O_BINARY);
#endif
    std::string input;
    for (int c; (c = fgetc(stdin)) != EOF;) input += static_cast<char>(c);
    fputs("\n--\n", stdout);
    fwrite(input.data(), 1, input.size(), stdout);
  }
  if (part == "flood") {
    const std::string block(4096, 'x');
    for (;;) fwrite(block.data(), 1, block.size(), stdout);
  }
  if (part == "tree") {
    StartSleepingChild(3);
    std::this_thread::sleep_for(std::chrono::seconds(30));
  }
  if (part == "orphan") StartSleepingChild(30);
  if (part == "interrupted-while-writing") {
    // Outputs made one after another, kept (never destroyed), and an
    // interruption part way through: kzpack's clean-up must leave none.
    kzpack::InstallInterruptCleanup();
    for (int i = 0;; ++i) {
#ifdef _WIN32
      if (i == 300) GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0);
#else
      if (i == 300) kill(getpid(), SIGTERM);
#endif
      try {
        auto* output = new kzpack::OutputFile((fs::u8path(marker) / ("out" + std::to_string(i))).u8string());
        output->Open();
        if (i % 2) output->Close();  // half of them still open
      } catch (const kzpack::ToolError&) {
      }
    }
  }
#ifdef _WIN32
  if (part == "holds") {  // exit 1 when the handle named is the file named: inherited
    const HANDLE handle = reinterpret_cast<HANDLE>(std::strtoull(Environment("KZ_PROCESS_HANDLE").c_str(), nullptr, 10));
    const HANDLE named = CreateFileW(Utf8ToWide(marker).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                     OPEN_EXISTING, 0, nullptr);
    BY_HANDLE_FILE_INFORMATION a{}, b{};
    const bool same = GetFileInformationByHandle(handle, &a) && GetFileInformationByHandle(named, &b) &&
                      a.dwVolumeSerialNumber == b.dwVolumeSerialNumber && a.nFileIndexHigh == b.nFileIndexHigh &&
                      a.nFileIndexLow == b.nFileIndexLow;
    ExitProcess(same ? 1 : 0);
  }
  if (part == "in-job") {
    // In a job that allows no nested job and no breakaway (nested ones are
    // refused before Windows 8): the runner cannot place its child in a job.
    HANDLE job = CreateJobObjectW(nullptr, nullptr);
    if (!job || !AssignProcessToJobObject(job, GetCurrentProcess())) ExitProcess(30);
    HANDLE nested = CreateJobObjectW(nullptr, nullptr);
    if (nested && AssignProcessToJobObject(nested, GetCurrentProcess())) ExitProcess(40);
    const platform::ProcessResult run = RunHelper("mark", marker, 100, 20000);
    fprintf(stderr, "%s\n", run.startError.c_str());
    ExitProcess(run.started ? 10 : 20);
  }
#endif
  fflush(stdout);
  std::_Exit(0);
}

// A bare name is looked up in the absolute folders of PATH only: not in the
// current folder (which an empty entry, "." or a relative one would name),
// not in the runner's own folder (Windows' own search tries both first).
TEST(ProcessRunner, BareNameIsFoundInAbsolutePathFoldersOnly) {
  kztest::TempDir dir;
#ifdef _WIN32
  const std::string exe = ".exe";
  wchar_t system[MAX_PATH];
  const std::string systemPath = WideToUtf8(std::wstring(system, GetSystemDirectoryW(system, MAX_PATH)));
  const std::string sep = ";";
#else
  const std::string exe;
  const std::string systemPath = "/usr/bin:/bin";
  const std::string sep = ":";
#endif
  fs::create_directory(dir / "sub");
  fs::copy_file(SelfPath(), dir / ("kzprobe" + exe));
  fs::copy_file(SelfPath(), dir / "sub" / ("kzprobe" + exe));
  const struct {
    std::string path;
    std::string program;
    bool starts;
  } cases[] = {
      {systemPath, "kzprobe", false},
      {"." + sep + systemPath, "kzprobe", false},
      {sep + systemPath, "kzprobe", false},
      {systemPath + sep, "kzprobe", false},
      {"sub" + sep + systemPath, "kzprobe", false},
      {systemPath, SelfPath().stem().u8string(), false},
      {dir.path().u8string() + sep + systemPath, "kzprobe", true},
  };
  const std::string oldPath = Environment("PATH");
  const fs::path oldFolder = fs::current_path();
  fs::current_path(dir.path());
  for (const auto& c : cases) {
    SetEnvironment("PATH", c.path);
    const platform::ProcessResult run = platform::RunProcess({c.program, kHelperFilter}, {}, "", 1 << 20, 20000);
    EXPECT_EQ(run.started, c.starts) << "PATH=" << c.path << " " << c.program << ": " << run.startError;
    if (c.starts) {
      EXPECT_EQ(run.exitCode, 0);
    }
  }
  SetEnvironment("PATH", oldPath);
  fs::current_path(oldFolder);
}

// A time-out ends the program and its children; a child left behind holding
// the pipes does not keep the runner waiting once the program has ended.
TEST(ProcessRunner, TimeOutEndsTheTreeAndNoChildKeepsItWaiting) {
  kztest::TempDir dir;
  const std::string marker = (dir / "grandchild-ran").u8string();
  const auto treeStart = std::chrono::steady_clock::now();
  auto start = treeStart;
  const platform::ProcessResult tree = RunHelper("tree", marker, 1 << 20, 1500);
  EXPECT_TRUE(tree.started) << tree.startError;
  EXPECT_TRUE(tree.timedOut);
  EXPECT_LT(SecondsSince(start), 8);
  start = std::chrono::steady_clock::now();
  const platform::ProcessResult orphan = RunHelper("orphan", (dir / "unused").u8string(), 1 << 20, 30000);
  EXPECT_FALSE(orphan.timedOut);
  EXPECT_EQ(orphan.exitCode, 0);
  EXPECT_LT(SecondsSince(start), 8);
  std::this_thread::sleep_until(treeStart + std::chrono::seconds(4));  // the grandchild's 3 s and a margin
  EXPECT_FALSE(fs::exists(marker)) << "the time-out left a grandchild running";
}

// What a signer gets and gives: bytes in on stdin, bytes out on stdout.
TEST(ProcessRunner, InputArrivesAndOutputComesBack) {
  std::string digest = "\x30\x21\x00\x1a\r\n\xff";
  digest += std::string(28, '\x5a');
  const platform::ProcessResult run = RunHelper("echo", "", 1 << 20, 30000, digest);
  ASSERT_TRUE(run.started) << run.startError;
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(run.output.substr(run.output.rfind("\n--\n") + 4), digest);
}

// The output cap holds while reading: an endless writer is stopped at once.
TEST(ProcessRunner, OutputCapStopsAnEndlessWriter) {
  const auto start = std::chrono::steady_clock::now();
  const platform::ProcessResult run = RunHelper("flood", "", 1000, 30000);
  EXPECT_TRUE(run.outputTooLong);
  EXPECT_FALSE(run.timedOut);
  EXPECT_LE(run.output.size(), 1001u);
  EXPECT_LT(SecondsSince(start), 8);
}

// Interrupted while making outputs, kzpack leaves none: each is registered
// before it is made, none is made once the clean-up has run, and on Windows
// even those still open are removed.
TEST(InterruptCleanup, LeavesNoOutputBehind) {
  kztest::TempDir dir;
  const platform::ProcessResult run = RunHelper("interrupted-while-writing", dir.path().u8string(), 1 << 20, 60000);
  ASSERT_TRUE(run.started) << run.startError;
  EXPECT_FALSE(run.timedOut);
  EXPECT_NE(run.errors.find("interrupted"), std::string::npos) << run.errors;
  std::vector<std::string> left;
  for (const auto& entry : fs::directory_iterator(dir.path())) left.push_back(entry.path().filename().u8string());
  EXPECT_TRUE(left.empty()) << left.size() << " left, e.g. " << left.front();
}

#ifdef _WIN32
// An open output of ours (an inheritable handle, as _wfopen makes) does not
// pass to the program: it gets its three pipe ends only.
TEST(ProcessRunner, ChildInheritsOnlyItsPipes) {
  kztest::TempDir dir;
  const std::string path = (dir / "output.bin").u8string();
  FILE* output = _wfopen(Utf8ToWide(path).c_str(), L"wb");
  ASSERT_NE(output, nullptr);
  const HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(output)));
  DWORD flags = 0;
  ASSERT_TRUE(GetHandleInformation(handle, &flags) && (flags & HANDLE_FLAG_INHERIT));
  const platform::ProcessResult run = platform::RunProcess(
      {SelfPath().u8string(), kHelperFilter},
      {{"KZ_PROCESS_HELPER", "holds"}, {"KZ_PROCESS_MARK", path},
       {"KZ_PROCESS_HANDLE", std::to_string(reinterpret_cast<uintptr_t>(handle))}},
      "", 1 << 20, 20000);
  fclose(output);
  ASSERT_TRUE(run.started) << run.startError;
  EXPECT_EQ(run.exitCode, 0) << "the program holds our open output";
}

// A batch file would run through cmd.exe, whose parsing the runner's quoting
// does not match: refused, by path or found through PATHEXT, with what to do.
TEST(ProcessRunner, BatchFilesAreRefused) {
  kztest::TempDir dir;
  kztest::WriteFileText((dir / "kzsign.cmd").u8string(), "@exit 0\r\n");
  kztest::WriteFileText((dir / "kzbatch.BAT").u8string(), "@exit 0\r\n");
  const std::string oldPath = Environment("PATH");
  SetEnvironment("PATH", dir.path().u8string() + ";" + oldPath);
  for (const std::string& program : {(dir / "kzsign.cmd").u8string(), (dir / "kzbatch.BAT").u8string(),
                                     std::string("kzsign"), std::string("kzbatch")}) {
    const platform::ProcessResult run = platform::RunProcess({program, "a b"}, {}, "", 1 << 20, 20000);
    EXPECT_FALSE(run.started) << program;
    EXPECT_NE(run.startError.find("cmd /c"), std::string::npos) << program << ": " << run.startError;
  }
  SetEnvironment("PATH", oldPath);
}

// A program that cannot be put in a job is not run at all.
TEST(ProcessRunner, NoJobNoRun) {
  kztest::TempDir dir;
  const std::string marker = (dir / "ran").u8string();
  const platform::ProcessResult run = RunHelper("in-job", marker, 1 << 20, 30000);
  ASSERT_TRUE(run.started) << run.startError;
  if (run.exitCode == 30) GTEST_SKIP() << "cannot put a process in a job here";
  if (run.exitCode == 40) GTEST_SKIP() << "nested jobs work here (Windows 8 and later)";
  EXPECT_EQ(run.exitCode, 20) << run.errors;
  EXPECT_NE(run.errors.find("job object"), std::string::npos) << run.errors;
  EXPECT_FALSE(fs::exists(marker)) << "the program ran";
}
#endif

}  // namespace

// Install script: reading and trimming, tag selection, progress values,
// refused targets and the order of extractions.
#ifdef _WIN32
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "InstallerLogic/install_script.h"
#include "support/text_trim.h"
#include "support/strings.h"
#include "tests/support/test_support.h"

namespace installer {
namespace {

// A line reader over fixed pieces, as the bundle's ReadLine delivers them.
LineReader Pieces(std::vector<std::string> pieces) {
  auto state = std::make_shared<std::pair<std::vector<std::string>, size_t>>(std::move(pieces), 0);
  return [state](char* buffer, int capacity) {
    if (state->second >= state->first.size()) return false;
    std::string piece = state->first[state->second++];
    piece.resize(std::min<size_t>(piece.size(), capacity - 1));
    memcpy(buffer, piece.c_str(), piece.size() + 1);
    return true;
  };
}

std::vector<int> ProgressValues(const kztest::DebugCapture& capture) {
  std::vector<int> values;
  for (const std::string& line : capture.lines()) {
    int value = 0;
    if (sscanf(line.c_str(), "Progress %d%%", &value) == 1) values.push_back(value);
  }
  return values;
}

struct Extraction {
  std::string name;
  std::wstring path;
};

struct Recorder {
  std::vector<Extraction> calls;
  std::string failOn;
  EntryExtractor extractor() {
    return [this](const std::string& name, const std::wstring& path) {
      calls.push_back({name, path});
      return name != failOn;
    };
  }
};

ScriptEnvironment Env(bool windows64, uint32_t major, const std::string& type) {
  ScriptEnvironment environment;
  environment.windows64 = windows64;
  environment.majorVersion = major;
  environment.installType = type;
  return environment;
}

TEST(InstallerTrim, RunTypeAndLines) {
  std::string type = "gui\r\n";
  TrimEnd(&type);
  EXPECT_EQ(type, "gui");
  type = "gui  \t\x80\xff";
  TrimEnd(&type);
  EXPECT_EQ(type, "gui");
  type = "   ";
  TrimEnd(&type);
  EXPECT_EQ(type, "");
  type = " gui";  // nothing is removed at the front of the run type
  TrimEnd(&type);
  EXPECT_EQ(type, " gui");
  type = "gu\xe9i";  // a high byte inside stays
  TrimEnd(&type);
  EXPECT_EQ(type, "gu\xe9i");
  std::string line = "\t\x01 \xc3 # comment ";
  TrimFront(&line);
  EXPECT_EQ(line, "# comment ");
}

TEST(InstallerScript, ReadingKeepsEveryTrimmedLine) {
  const std::vector<std::string> lines =
      ReadScriptLines(Pieces({"  # comment\n", "\n", "dep-gui,a,b \t\n", "  dep-gui,c,d", "\xa0\xff"}));
  EXPECT_EQ(lines, (std::vector<std::string>{"# comment", "", "dep-gui,a,b", "dep-gui,c,d", ""}));
  EXPECT_TRUE(ReadScriptLines(Pieces({})).empty());
}

TEST(InstallerScript, TagSelection) {
  const ScriptEnvironment win10x64 = Env(true, 10, "gui");
  const ScriptEnvironment xp32 = Env(false, 5, "gui");
  const ScriptEnvironment silent = Env(true, 10, "silent");
  EXPECT_TRUE(ScriptFlagsSelect("dep-gui", win10x64));
  EXPECT_FALSE(ScriptFlagsSelect("dep-gui", silent));
  EXPECT_TRUE(ScriptFlagsSelect("dep-silent", silent));
  EXPECT_TRUE(ScriptFlagsSelect("dep-x64-gui", win10x64));
  EXPECT_FALSE(ScriptFlagsSelect("dep-x64-gui", xp32));
  EXPECT_TRUE(ScriptFlagsSelect("dep-x86-gui", xp32));
  EXPECT_FALSE(ScriptFlagsSelect("dep-x86-gui", win10x64));
  EXPECT_FALSE(ScriptFlagsSelect("dep-x86-x64-gui", win10x64));
  EXPECT_FALSE(ScriptFlagsSelect("dep-x86-x64-gui", xp32));
  EXPECT_TRUE(ScriptFlagsSelect("dep-w6+-gui", win10x64));
  EXPECT_FALSE(ScriptFlagsSelect("dep-w6+-gui", xp32));
  EXPECT_TRUE(ScriptFlagsSelect("dep-w<6-gui", xp32));
  EXPECT_FALSE(ScriptFlagsSelect("dep-w<6-gui", Env(false, 6, "gui")));
  EXPECT_FALSE(ScriptFlagsSelect("dep-w6+-w<6-gui", win10x64));
  EXPECT_FALSE(ScriptFlagsSelect("dep-w6+-w<6-gui", xp32));
  // The action word is a case-sensitive prefix; the run type a substring.
  EXPECT_FALSE(ScriptFlagsSelect("Dep-gui", win10x64));
  EXPECT_FALSE(ScriptFlagsSelect("copy-gui", win10x64));
  EXPECT_TRUE(ScriptFlagsSelect("depx-x64xx-guiy", win10x64));
  EXPECT_FALSE(ScriptFlagsSelect("dep-GUI", win10x64));
  // An empty run type asks only for a hyphen.
  EXPECT_TRUE(ScriptFlagsSelect("dep-anything", Env(true, 10, "")));
  EXPECT_FALSE(ScriptFlagsSelect("dep", Env(true, 10, "")));
}

TEST(InstallerScript, TargetsMustStayInsideTheWorkspace) {
  for (const char* good : {"a.dll", "sub\\a.dll", "sub/dir/a.dll", "..a", "a..", "a\\..b\\c", "x.", "..."})
    EXPECT_TRUE(IsSafeScriptTarget(good)) << good;
  for (const char* bad : {"", "..", "..\\a", "../a", "sub\\..\\..\\a", "sub/../a", "a\\..", "a/..",
                          "\\a", "/a", "\\\\server\\share\\a", "//server/share/a", "C:\\a", "c:a", "C:/a",
                          "a:stream", "\\\\?\\C:\\a"})
    EXPECT_FALSE(IsSafeScriptTarget(bad)) << bad;
}

TEST(InstallerScript, ProgressBeforeEveryLine) {
  EXPECT_EQ(ScriptProgress(0, 1), 85);
  EXPECT_EQ(ScriptProgress(9, 10), 98);
  {
    kztest::DebugCapture capture;
    Recorder recorder;
    const std::vector<std::string> lines = {"# comment", "", "dep-gui,a,a.dll", "other"};
    EXPECT_TRUE(RunScript(lines, L"W\\", Env(true, 10, "gui"), recorder.extractor()));
    EXPECT_EQ(ProgressValues(capture), (std::vector<int>{85, 88, 92, 96}));
  }
  {
    kztest::DebugCapture capture;
    Recorder recorder;
    EXPECT_TRUE(RunScript({"dep-gui,a,a.dll"}, L"W\\", Env(true, 10, "gui"), recorder.extractor()));
    EXPECT_EQ(ProgressValues(capture), (std::vector<int>{85}));
  }
}

TEST(InstallerScript, RunsSelectedLinesInOrder) {
  kztest::DiagSwitchOn diag;
  kztest::DebugCapture capture;
  Recorder recorder;
  const std::vector<std::string> lines = {
      "# dep-gui,never,never.dll", "dep-x64-gui,first,bin\\first.dll", "dep-x86-gui,skipped,x86.dll",
      "dep-gui, spaced,\xc3\xa9t\xc3\xa9.txt,ignored", "dep-silent,silent,s.dll"};
  ASSERT_TRUE(RunScript(lines, L"C:\\W\\", Env(true, 10, "gui"), recorder.extractor()));
  ASSERT_EQ(recorder.calls.size(), 2u);
  EXPECT_EQ(recorder.calls[0].name, "first");
  EXPECT_EQ(recorder.calls[0].path, L"C:\\W\\bin\\first.dll");
  // Blanks after commas belong to the field; UTF-8 targets become wide paths.
  EXPECT_EQ(recorder.calls[1].name, " spaced");
  EXPECT_EQ(recorder.calls[1].path, L"C:\\W\\\u00e9t\u00e9.txt");
  // "%d: %s" for every line that is neither empty nor a comment.
  const std::vector<std::string> messages = capture.Messages();
  EXPECT_NE(std::find(messages.begin(), messages.end(), "1: dep-x64-gui,first,bin\\first.dll"), messages.end());
  EXPECT_NE(std::find(messages.begin(), messages.end(), "4: dep-silent,silent,s.dll"), messages.end());
  for (const std::string& message : messages) EXPECT_EQ(message.find("0: "), std::string::npos) << message;
}

TEST(InstallerScript, FailuresStopTheScript) {
  const ScriptEnvironment gui = Env(false, 10, "gui");
  {
    Recorder recorder;
    recorder.failOn = "b";
    EXPECT_FALSE(RunScript({"dep-gui,a,a", "dep-gui,b,b", "dep-gui,c,c"}, L"W\\", gui, recorder.extractor()));
    EXPECT_EQ(recorder.calls.size(), 2u);  // line c never runs
  }
  {
    // A selected line with fewer than three fields fails; an unselected one does not.
    Recorder recorder;
    EXPECT_TRUE(RunScript({"dep-silent,a", "other-gui"}, L"W\\", gui, recorder.extractor()));
    EXPECT_FALSE(RunScript({"dep-gui,a", "dep-gui,b,b"}, L"W\\", gui, recorder.extractor()));
    EXPECT_FALSE(RunScript({"dep-gui"}, L"W\\", gui, recorder.extractor()));
    EXPECT_TRUE(recorder.calls.empty());
  }
  {
    kztest::DiagSwitchOn diag;
    kztest::DebugCapture capture;
    Recorder recorder;
    EXPECT_FALSE(RunScript({"dep-gui,a,..\\evil.dll", "dep-gui,b,b"}, L"W\\", gui, recorder.extractor()));
    EXPECT_TRUE(recorder.calls.empty());
    EXPECT_NE(capture.Joined().find("leaves the workspace"), std::string::npos);
  }
  {
    // A device target would "extract" into the device: refused before any extraction.
    kztest::DiagSwitchOn diag;
    kztest::DebugCapture capture;
    Recorder recorder;
    EXPECT_FALSE(RunScript({"dep-gui,a,a.dll", "dep-gui,b,sub\\nul.txt", "dep-gui,c,c"}, L"W\\", gui,
                           recorder.extractor()));
    EXPECT_EQ(recorder.calls.size(), 1u);
    EXPECT_NE(capture.Joined().find("Script target sub\\nul.txt names a device, not a file"), std::string::npos);
  }
}

TEST(InstallerScript, TargetDirectoriesAreCreated) {
  kztest::TempDir dir;
  const std::wstring workDir = dir.path().wstring() + L"\\";
  std::vector<std::wstring> seen;
  auto extractor = [&](const std::string&, const std::wstring& path) {
    seen.push_back(path);
    // The parent directories exist when the extraction starts.
    return std::filesystem::is_directory(std::filesystem::path(path).parent_path());
  };
  ASSERT_TRUE(RunScript({"dep-gui,a,one\\two\\a.dll"}, workDir, Env(false, 10, "gui"), extractor));
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_TRUE(std::filesystem::is_directory(dir.path() / "one" / "two"));
}

TEST(InstallerScript, EnvironmentOfThisProcess) {
  const ScriptEnvironment environment = CurrentScriptEnvironment("gui");
  // Every platform that runs the stub reports a major version of at least 5.
  EXPECT_GE(environment.majorVersion, 5u);
  EXPECT_EQ(environment.installType, "gui");
}

}  // namespace
}  // namespace installer
#endif  // _WIN32

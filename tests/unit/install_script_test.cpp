// Install script: reading and trimming, tag selection, progress values,
// refused targets and the order of extractions.
#include <gtest/gtest.h>
#include <zlib.h>

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "install/install_script.h"
#include "support/text_trim.h"
#include "support/strings.h"
#include "tests/support/test_support.h"
#include "tests/unit/bundle_fixtures.h"

using namespace std::string_literals;

namespace install {
namespace {

// A line reader over fixed pieces, as the bundle's ReadLine delivers them.
ScriptLineReader Pieces(std::vector<std::string> pieces) {
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

TEST(InstallerScript, NewTargetRulesStopBeforeAnythingIsWritten) {
  const ScriptEnvironment gui = Env(false, 10, "gui");
  struct Case {
    std::vector<std::string> lines;
    size_t extractions;  // the lines before the refused one
    std::string message;
  };
  const Case cases[] = {
      {{"dep-gui,a,a.dll", "dep-gui,b,SETUP.EXE"}, 1, "Script target SETUP.EXE names the installer's own"},
      {{"dep-gui,b,ibnd."}, 0, "Script target ibnd. names the installer's own"},
      {{"dep-gui,b,.\\setup.exe"}, 0, "Script target .\\setup.exe names the installer's own"},
      {{"dep-gui,a,lib", "dep-gui,b,Lib.\\b.dll"}, 1, "Script target Lib.\\b.dll uses LIB both as a file and as a folder"},
      {{"dep-gui,a,lib\\a.dll", "dep-gui,b,LIB"}, 1, "Script target LIB uses LIB both as a file and as a folder"},
      {{"dep-gui,a,a.dll", "dep-gui,b,.\xC3.\\x.dll"}, 1, "Script target .\xC3.\\x.dll is not valid UTF-8"},
  };
  for (const Case& c : cases) {
    kztest::DiagSwitchOn diag;
    kztest::DebugCapture capture;
    Recorder recorder;
    EXPECT_FALSE(RunScript(c.lines, L"W\\", gui, recorder.extractor())) << c.lines.back();
    EXPECT_EQ(recorder.calls.size(), c.extractions) << c.lines.back();
    EXPECT_NE(capture.Joined().find(c.message), std::string::npos) << capture.Joined();
  }
  // The same names where Windows keeps them apart, and a line run twice.
  Recorder recorder;
  EXPECT_TRUE(RunScript({"dep-gui,a,sub\\setup.exe", "dep-gui,b,ibnd.txt", "dep-gui,c,lib\\a.dll",
                         "dep-gui,c,lib\\b.dll", "dep-gui,c,lib\\b.dll", "dep-gui,d,\xC3\xA9.dll"},
                        L"W\\", gui, recorder.extractor()));
  EXPECT_EQ(recorder.calls.size(), 6u);
}

// The bundle's line reader and the reader over a text cut the same lines:
// carriage returns dropped anywhere (also across chunks), a zero byte ends
// the line, a line longer than the 2048-byte buffer comes in pieces.
TEST(InstallerScript, BundleAndTextReadersCutTheSameLines) {
  const std::string text = "dep-gui,a,NUL\0.txt\r\n"s + "dep-gui\0-x64,a,b\r\r\n"s +
                           std::string(3000, 'x') + "\n \tdep-gui,a,b \n\r" + "last";
  const std::vector<std::string> lines = ReadScriptLinesFromText(text);
  ASSERT_EQ(lines.size(), 6u);
  EXPECT_EQ(lines[0], "dep-gui,a,NUL");
  EXPECT_EQ(lines[1], "dep-gui");
  EXPECT_EQ(lines[2], std::string(kScriptLineBuffer - 1, 'x'));
  EXPECT_EQ(lines[3], std::string(3000 - kScriptLineBuffer + 1, 'x'));
  EXPECT_EQ(lines[4], "dep-gui,a,b");
  EXPECT_EQ(lines[5], "last");
  kztest::TempDir dir;
  BundleWriterOptions options;
  options.chunkSize = 7;
  const std::filesystem::path path =
      bundletest::MakeSigned(dir / "b.ibnd", {{"install_script", bundletest::Text(text)}}, "IBND", options);
  Bundle bundle;
  bundle.SetCertificateGoal("IBND");
  ASSERT_TRUE(bundle.Open(path.wstring()));
  BundleStream* stream = bundle.OpenStream("install_script");
  ASSERT_NE(stream, nullptr);
  const ScriptReading reading = ReadBundleScript(bundle, stream);
  EXPECT_TRUE(reading.whole);
  EXPECT_EQ(reading.lines, lines);
}

// A signed script whose second chunk does not inflate: the lines before it
// come out, and the reading says it is not the whole script.
TEST(InstallerScript, ScriptChunkThatFailsToInflateIsNotWhole) {
  kztest::TempDir dir;
  const std::filesystem::path path = dir / "b.ibnd";
  const std::string first = "dep-gui,a,a.dll\ndep-gui,a,";
  std::vector<unsigned char> packed(compressBound(first.size()));
  uLongf packedSize = packed.size();
  ASSERT_EQ(compress2(packed.data(), &packedSize, reinterpret_cast<const Bytef*>(first.data()), first.size(), 9), Z_OK);
  const BundleSigning signing = bundletest::Signing();
  BundleWriter writer;
  std::string error;
  ASSERT_TRUE(writer.Create(path.wstring(), BundleWriterOptions(), &signing, &error)) << error;
  ASSERT_TRUE(writer.BeginEntry("install_script", 2, &error)) << error;
  ASSERT_TRUE(writer.AddStoredChunk(packed.data(), static_cast<uint32_t>(packedSize),
                                    static_cast<uint32_t>(first.size()), &error)) << error;
  ASSERT_TRUE(writer.AddStoredChunk("not zlib", 8, 20, &error)) << error;
  ASSERT_TRUE(writer.Finish(&error)) << error;
  Bundle bundle;
  bundle.SetCertificateGoal("IBND");
  ASSERT_TRUE(bundle.Open(path.wstring()));
  BundleStream* stream = bundle.OpenStream("install_script");
  ASSERT_NE(stream, nullptr);
  const ScriptReading reading = ReadBundleScript(bundle, stream);
  EXPECT_FALSE(reading.whole);
  EXPECT_EQ(reading.lines, (std::vector<std::string>{"dep-gui,a,a.dll", "dep-gui,a,"}));
}

}  // namespace
}  // namespace install

// How kzpack reads an install script: the installer's line reading, trimming
// and tag tests, evaluated for every kind of Windows at once.
#include <gtest/gtest.h>

#include <string>

#include "support/script_lines.h"
#include "tests/unit/bundle_fixtures.h"
#include "tools/kzpack/installer_check.h"
#include "tools/kzpack/script_view.h"
#include "tools/kzpack/time_text.h"
#include "tools/kzpack/cli_support.h"

using namespace std::string_literals;

namespace {

using kzpack::AllWindowsKinds;
using kzpack::LineSelected;

// Selection on the four kinds: 64-bit 6+, 32-bit 6+, 64-bit <6, 32-bit <6.
std::string Where(const std::string& line, const std::string& runType) {
  std::string out;
  for (const kzpack::WindowsKind& kind : AllWindowsKinds()) out += LineSelected(line, kind, runType) ? '1' : '0';
  return out;
}

TEST(KzpackScriptView, TagsSelectWindowsKindsAsTheInstallerDoes) {
  EXPECT_EQ(Where("dep-gui,a,b", "gui"), "1111");
  EXPECT_EQ(Where("dep-gui,a,b", "silent"), "0000");
  EXPECT_EQ(Where("dep-x64-gui,a,b", "gui"), "1010");
  EXPECT_EQ(Where("dep-x86-gui,a,b", "gui"), "0101");
  EXPECT_EQ(Where("dep-w6+-gui,a,b", "gui"), "1100");
  EXPECT_EQ(Where("dep-w<6-x64-gui,a,b", "gui"), "0010");
  EXPECT_EQ(Where("dep-x86-x64-gui,a,b", "gui"), "0000");
  // Tags are looked for only in the flags field, the action is a prefix test.
  EXPECT_EQ(Where("dep-gui,a-x64,b", "gui"), "1111");
  EXPECT_EQ(Where("copy-gui,a,b", "gui"), "0000");
  EXPECT_EQ(Where("Dep-gui,a,b", "gui"), "0000");
  // The run type is a substring test: "-gui" is inside "-guided".
  EXPECT_EQ(Where("dep-guided,a,b", "gui"), "1111");
  // An empty run type makes the required tag "-" alone.
  EXPECT_EQ(Where("dep-x64,a,b", ""), "1010");
  EXPECT_EQ(Where("# dep-gui,a,b", "gui"), "0000");
}

TEST(KzpackScriptView, ViewReportsWhatMakesTheInstallerFail) {
  const std::string script =
      "dep-gui,present,ok.txt\n"
      "dep-x86-gui,missing,x.txt\n"
      "dep-gui,present\n"
      "dep-gui,present,..\\up.txt\n"
      "dep-silent,missing,never.txt\n"
      "dep-gui,present,Con .txt\n";
  const auto views = kzpack::ViewScript(ReadScriptLinesFromText(script), "gui",
                                        [](const std::string& name) { return name == "present"; });
  ASSERT_EQ(views.size(), 6u);
  EXPECT_EQ(views[0].problem, "");
  EXPECT_EQ(views[1].problem, "the bundle has no entry \"missing\"");
  EXPECT_EQ(views[1].selected, (std::vector<bool>{false, true, false, true}));
  EXPECT_EQ(views[2].problem, "fewer than three fields");
  EXPECT_EQ(views[3].problem, "target \"..\\up.txt\" leaves the workspace");
  // Not selected for this run type: the missing entry does no harm.
  EXPECT_EQ(views[4].problem, "");
  EXPECT_EQ(views[5].problem, "target \"Con .txt\" names a Windows device (CON, NUL, COM1, ...), not a file");
}

// The lines the installer would refuse where kzpack used to say yes: a line
// cut at a zero byte, the workspace's own files in other spellings, a name
// that is a file on one line and a folder on a later one (on the kinds of
// Windows that select both), and a target that is not UTF-8.
TEST(KzpackScriptView, TargetsTheInstallerCannotWrite) {
  const std::string script = "dep-gui,a,NUL\0.txt\n"s +
                             "dep-gui\0-x64,a,zero-cuts-the-flags.txt\n"s +
                             "dep-gui,a,SETUP.EXE\n"
                             "dep-gui,a,ibnd.\n"
                             "dep-gui,a,.\\setup.exe \n"
                             "dep-x64-gui,a,lib\n"
                             "dep-gui,a,lib\\x.dll\n"
                             "dep-gui,a,.\xC3.\\x.dll\n"
                             "dep-gui,a,sub\\setup.exe\n";
  const auto views =
      kzpack::ViewScript(ReadScriptLinesFromText(script), "gui", [](const std::string&) { return true; });
  ASSERT_EQ(views.size(), 9u);
  EXPECT_EQ(views[0].text, "dep-gui,a,NUL");
  EXPECT_NE(views[0].problem.find("names a Windows device"), std::string::npos);
  EXPECT_EQ(views[1].text, "dep-gui");
  EXPECT_EQ(views[1].problem, "fewer than three fields");
  for (size_t i : {2, 3, 4}) EXPECT_NE(views[i].problem.find("setup.exe or ibnd"), std::string::npos) << i;
  EXPECT_EQ(views[6].problemOn[0], "target \"lib\\x.dll\" uses \"LIB\" as a folder where another line writes a file "
                                   "of that name, or the other way round");
  EXPECT_EQ(views[6].problemOn[1], "");  // 32-bit Windows never wrote the file "lib"
  EXPECT_EQ(views[7].problem, "target \".\xC3.\\x.dll\" is not valid UTF-8");
  EXPECT_EQ(views[8].problem, "");
  const std::vector<std::string> failures = kzpack::ScriptFailures(views);
  EXPECT_EQ(failures[0], "script line 1: " + views[0].problem);
}

// verify's judgement on an open bundle: a script the reader could not read to
// its end (a signed chunk that does not inflate) fails on every kind of
// Windows, even where the lines it did get would run.
TEST(KzpackScriptView, ScriptNotReadToItsEndFailsEverywhere) {
  kztest::TempDir dir;
  const auto path = bundletest::MakeSigned(dir / "b.ibnd", {{"install_script", bundletest::Text("dep-gui,a,a\n")},
                                                            {"a", bundletest::Text("a")}});
  Bundle bundle;
  bundle.SetCertificateGoal("IBND");
  ASSERT_TRUE(bundle.Open(path.wstring()));
  install::ScriptReading reading;
  reading.lines = {"dep-gui,a,a"};
  reading.whole = true;
  const std::string scratch = (dir / "entry.tmp").u8string();
  for (const std::string& failure : kzpack::JudgeScript(bundle, reading, "gui", scratch).failures)
    EXPECT_EQ(failure, "");
  reading.whole = false;
  for (const std::string& failure : kzpack::JudgeScript(bundle, reading, "gui", scratch).failures)
    EXPECT_NE(failure.find("cannot be read to its end"), std::string::npos) << failure;
}

TEST(KzpackScriptView, SafeTargetsStayInsideTheWorkspace) {
  EXPECT_TRUE(IsSafeScriptTarget("a\\b\\c.dll"));
  EXPECT_TRUE(IsSafeScriptTarget("..a\\b..\\c"));
  EXPECT_FALSE(IsSafeScriptTarget(""));
  EXPECT_FALSE(IsSafeScriptTarget("\\abs.dll"));
  EXPECT_FALSE(IsSafeScriptTarget("C:x.dll"));
  EXPECT_FALSE(IsSafeScriptTarget("a/../../b"));
}

TEST(KzpackTimeText, DatesAndSecondsRoundTrip) {
  EXPECT_EQ(kzpack::ParseTimeText("1970-01-01", "t"), 0);
  EXPECT_EQ(kzpack::ParseTimeText("2038-01-19T03:14:07Z", "t"), 0x7FFFFFFF);
  EXPECT_EQ(kzpack::ParseTimeText("-5", "t"), -5);
  EXPECT_EQ(kzpack::FormatTime(951782400), "2000-02-29 00:00:00 UTC");
  EXPECT_EQ(kzpack::FormatTime(kzpack::ParseTimeText("1999-12-31 23:59:59", "t")), "1999-12-31 23:59:59 UTC");
  EXPECT_THROW(kzpack::ParseTimeText("2038-01-20", "t"), kzpack::ToolError);
  EXPECT_THROW(kzpack::ParseTimeText("tomorrow", "t"), kzpack::ToolError);
  EXPECT_THROW(kzpack::ParseTimeText("2030-13-01", "t"), kzpack::ToolError);
}

}  // namespace

// The target rules: device names in every form Windows accepts, the
// workspace's own files in every spelling, names that are files and folders
// at once, and targets that are not UTF-8.
#include <gtest/gtest.h>

#include <string>

#include "support/script_rules.h"

TEST(ScriptRules, DeviceNamesAreRefusedInEveryForm) {
  const char* devices[] = {"CON", "PRN", "AUX", "NUL", "COM0", "COM1", "COM9", "LPT0", "LPT1", "LPT9",
                           "COM\xC2\xB9", "COM\xC2\xB2", "COM\xC2\xB3", "LPT\xC2\xB9", "LPT\xC2\xB3",
                           "CONIN$", "CONOUT$"};
  for (const std::string device : devices) {
    std::string lower = device;
    for (char& c : lower)
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    for (const std::string& form : {device, lower, device + ".txt", lower + ".tar.gz", device + ".", device + "..",
                                    device + " ", device + " .log", device + ". ", "sub\\" + device,
                                    "sub/" + lower + ".dll", device + "\\file.txt", "a\\" + device + ".\\b"}) {
      EXPECT_TRUE(ScriptTargetNamesDevice(form)) << form;
      EXPECT_FALSE(IsSafeScriptTarget(form)) << form;
    }
  }
}

TEST(ScriptRules, NamesThatOnlyLookLikeDevicesAreFiles) {
  for (const char* name : {"CONSOLE", "NULL.txt", "COM10", "LPT", "COM", "xNUL", "nul_.txt", "AUXX.dll", "COMA",
                           "CON_IN$", "sub\\CONS\\a", "COM\xC2\xB4", "a.NUL", "dir.CON\\x"}) {
    EXPECT_FALSE(ScriptTargetNamesDevice(name)) << name;
    EXPECT_TRUE(IsSafeScriptTarget(name)) << name;
  }
}

TEST(ScriptRules, TheWorkspaceFilesInEverySpellingWindowsTakes) {
  for (const char* name : {"setup.exe", "SETUP.EXE", "Setup.Exe.", "setup.exe ", "setup.exe. .", ".\\setup.exe",
                           "./setup.exe", ".\\.\\SETUP.exe", "ibnd", "IBND.", "ibnd ",
                           "ibnd\\x.dll", "./Ibnd/x", "\xC4\xB1" "bnd", "\xC5\xBF" "etup.exe"}) {
    EXPECT_TRUE(ScriptTargetNamesWorkspaceFile(name)) << name;
    EXPECT_EQ(CheckScriptTarget(name), ScriptTargetFault::kWorkspaceFile) << name;
  }
  for (const char* name : {"sub\\setup.exe", "setup.exe2", "setup", "ibnd.txt", "xibnd", "ib nd", "setup .exe"}) {
    EXPECT_FALSE(ScriptTargetNamesWorkspaceFile(name)) << name;
    EXPECT_EQ(CheckScriptTarget(name), ScriptTargetFault::kNone) << name;
  }
}

TEST(ScriptRules, ANameIsEitherAFileOrAFolder) {
  ScriptTargetClaims claims;
  std::string clash;
  EXPECT_TRUE(claims.Claim("lib\\a.dll"));
  EXPECT_TRUE(claims.Claim("LIB/b.dll"));
  EXPECT_TRUE(claims.Claim(".\\lib\\a.dll"));  // the same file again
  EXPECT_FALSE(claims.Claim("Lib.", &clash));  // the folder as a file
  EXPECT_EQ(clash, "LIB");
  EXPECT_TRUE(claims.Claim("data"));
  EXPECT_FALSE(claims.Claim("DATA \\deep\\x.txt", &clash));  // the file as a folder
  EXPECT_EQ(clash, "DATA");
  EXPECT_TRUE(claims.Claim("database\\x.txt"));
}

TEST(ScriptRules, TargetsMustBeValidUtf8) {
  for (const char* good : {"", "a", "\xC3\xA9", "\xE2\x82\xAC", "\xF0\x9F\x98\x80", "\xEF\xBF\xBF", "\xF4\x8F\xBF\xBF"})
    EXPECT_TRUE(IsValidUtf8(good)) << good;
  for (const char* bad : {"\xC3", "\xC3.", "\x80", "\xC0\xAF", "\xE0\x80\xAF", "\xED\xA0\x80", "\xF4\x90\x80\x80",
                          "\xF8\x88\x80\x80\x80", "\xFF", "a\xE2\x82"})
    EXPECT_FALSE(IsValidUtf8(bad)) << bad;
}

// Windows 2000 and XP drop invalid bytes when they turn the target into
// UTF-16: whatever the rules let through must stay safe in that form too.
std::string DropInvalidBytes(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    for (size_t length = 1; length <= 4 && i + length <= text.size(); ++length) {
      if (IsValidUtf8(text.substr(i, length))) {
        out += text.substr(i, length);
        i += length - 1;
        break;
      }
    }
  }
  return out;
}

TEST(ScriptRules, WhatPassesStaysSafeWhereInvalidBytesAreDropped) {
  EXPECT_EQ(DropInvalidBytes(".\xC3.\\x.dll"), "..\\x.dll");
  for (const char* target : {".\xC3.\\x.dll", "\xC3..\\x", "a\\.\x80.\\..\\x", "setup\xFF.exe", "ib\xC3nd", "C\xC3:x",
                             "N\xE2\x82UL", "\xC3\\x", "ok\\\xC3\xA9.dll"}) {
    if (CheckScriptTarget(target) != ScriptTargetFault::kNone) continue;
    const std::string xp = DropInvalidBytes(target);
    EXPECT_EQ(CheckScriptTarget(xp), ScriptTargetFault::kNone) << target << " opens " << xp << " on XP";
  }
  EXPECT_EQ(CheckScriptTarget(".\xC3.\\x.dll"), ScriptTargetFault::kNotUtf8);
  EXPECT_FALSE(IsSafeScriptTarget(".\xC3.\\x.dll"));
}

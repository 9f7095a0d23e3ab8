#include "support/diag_log.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include "platform/platform.h"
#include "tests/support/test_support.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace {

TEST(DiagLog, SilentWhileTheSwitchIsOff) {
  ResetDiagStateForTesting();
  kztest::DebugCapture capture;
  DiagLog("hidden %d\n", 1);
  EXPECT_TRUE(capture.lines().empty());
}

TEST(DiagLog, PrefixesTheThreadIdWhenOn) {
  kztest::DiagSwitchOn on;
  kztest::DebugCapture capture;
  DiagLog("hello %s %d", "world", 42);
  ASSERT_EQ(capture.lines().size(), 1u);
  char expected[64];
  snprintf(expected, sizeof expected, "[T %08x] hello world 42", platform::CurrentThreadId());
  EXPECT_EQ(capture.lines()[0], expected);
  EXPECT_EQ(capture.lines()[0].find("\n"), std::string::npos);  // no line break added
}

TEST(DiagLog, CutsLongMessagesAt4077Bytes) {
  kztest::DiagSwitchOn on;
  kztest::DebugCapture capture;
  std::string longText(10000, 'x');
  DiagLog("%s", longText.c_str());
  ASSERT_EQ(capture.lines().size(), 1u);
  EXPECT_EQ(capture.lines()[0].size(), 13u + 4077u);
  EXPECT_EQ(capture.lines()[0].substr(0, 3), "[T ");

  capture.Clear();
  DiagLog("%s", std::string(4077, 'y').c_str());
  ASSERT_EQ(capture.lines().size(), 1u);
  EXPECT_EQ(capture.lines()[0].size(), 13u + 4077u);
}

TEST(UngatedLog, WritesWhateverTheSwitchSaysAndCutsAt1023) {
  ResetDiagStateForTesting();
  kztest::DebugCapture capture;
  UngatedLog("Type is %s\n", "gui");
  UngatedLog("Type is %s\n", std::string(5000, 'g').c_str());
  ASSERT_EQ(capture.lines().size(), 2u);
  EXPECT_EQ(capture.lines()[0], "Type is gui\n");
  EXPECT_EQ(capture.lines()[1].size(), 1023u);
}

#ifndef _WIN32
TEST(IsDiagQuiet, CachesTheAnswerBetweenReads) {
  setenv("KZSTR", "!Diagnose!", 1);
  ResetDiagStateForTesting();
  EXPECT_FALSE(IsDiagQuiet());
  unsetenv("KZSTR");
  EXPECT_FALSE(IsDiagQuiet());  // cached for at least 3 s
  ResetDiagStateForTesting();
  EXPECT_TRUE(IsDiagQuiet());
  setenv("KZSTR", "!Diagnose! ", 1);  // a trailing blank is not the enabling text
  ResetDiagStateForTesting();
  EXPECT_TRUE(IsDiagQuiet());
  unsetenv("KZSTR");
}
#endif

#ifdef _WIN32
// The switch as the stub sees it: the wine registry, 64-bit view.
class RegistrySwitch : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"Software\\Tolvekar", 0, nullptr, 0,
                              KEY_ALL_ACCESS | KEY_WOW64_64KEY, nullptr, &key_, nullptr),
              ERROR_SUCCESS);
  }
  void TearDown() override {
    RegDeleteValueW(key_, L"KZSTR");
    RegCloseKey(key_);
    ResetDiagStateForTesting();
  }
  void Set(DWORD type, const std::wstring& value, size_t extraBytes = 2) {
    ASSERT_EQ(RegSetValueExW(key_, L"KZSTR", 0, type, reinterpret_cast<const BYTE*>(value.c_str()),
                             static_cast<DWORD>(value.size() * 2 + extraBytes)),
              ERROR_SUCCESS);
  }
  static bool OnAfterFreshRead() {
    ResetDiagStateForTesting();
    return !IsDiagQuiet();
  }
  HKEY key_ = nullptr;
};

TEST_F(RegistrySwitch, OnlyTheExactStringValueTurnsOutputOn) {
  Set(REG_SZ, L"!Diagnose!");
  EXPECT_TRUE(OnAfterFreshRead());
  Set(REG_EXPAND_SZ, L"!Diagnose!");
  EXPECT_FALSE(OnAfterFreshRead());
  Set(REG_SZ, L"!diagnose!");
  EXPECT_FALSE(OnAfterFreshRead());
  Set(REG_SZ, L"!Diagnose! ");
  EXPECT_FALSE(OnAfterFreshRead());
  // 128 characters + terminator = 258 bytes: too large even though it
  // starts with the enabling text.
  Set(REG_SZ, L"!Diagnose!" + std::wstring(118, L'x'));
  EXPECT_FALSE(OnAfterFreshRead());
  // A value stored without a terminator still compares as a string.
  Set(REG_SZ, L"!Diagnose!", 0);
  EXPECT_TRUE(OnAfterFreshRead());
  // 255 bytes is still accepted in size; this one is not the enabling text.
  Set(REG_SZ, std::wstring(126, L'x'), 3);
  EXPECT_FALSE(OnAfterFreshRead());
}

TEST_F(RegistrySwitch, RemovingTheValueSilencesOutputWithinTheInterval) {
  Set(REG_SZ, L"!Diagnose!");
  ResetDiagStateForTesting();
  kztest::DebugCapture capture;
  DiagLog("first");
  ASSERT_EQ(capture.lines().size(), 1u);
  RegDeleteValueW(key_, L"KZSTR");
  DiagLog("cached");  // within the interval the cached answer holds
  EXPECT_EQ(capture.lines().size(), 2u);
  std::this_thread::sleep_for(std::chrono::milliseconds(6200));
  capture.Clear();
  DiagLog("gone");
  EXPECT_TRUE(capture.lines().empty());
}
#endif

}  // namespace

// Device names as script targets: Windows opens the device instead of a
// file, so the rule refuses them in every form it accepts.
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

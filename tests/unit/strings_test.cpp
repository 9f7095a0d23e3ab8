#include "support/strings.h"

#include <gtest/gtest.h>

using Fields = std::vector<std::string>;

TEST(SplitString, KeepsEmptyFieldsAndAlwaysHasOneMoreThanSeparators) {
  EXPECT_EQ(SplitString("a,,b", ','), (Fields{"a", "", "b"}));
  EXPECT_EQ(SplitString("a,", ','), (Fields{"a", ""}));
  EXPECT_EQ(SplitString("", ','), (Fields{""}));
  EXPECT_EQ(SplitString("abc", ','), (Fields{"abc"}));
  EXPECT_EQ(SplitString(",", ','), (Fields{"", ""}));
  EXPECT_EQ(SplitString("dep-gui, x ,y", ','), (Fields{"dep-gui", " x ", "y"}));
}

TEST(StartsWith, IsExactAndCaseSensitive) {
  EXPECT_TRUE(StartsWith("dep-x86", "dep"));
  EXPECT_FALSE(StartsWith("de", "dep"));
  EXPECT_FALSE(StartsWith("DEP-X86", "dep"));
  EXPECT_TRUE(StartsWith("anything", ""));
  EXPECT_TRUE(StartsWith("", ""));
}

TEST(EndsWith, ComparesUnitsFromTheEnd) {
  EXPECT_TRUE(EndsWith(L"C:\\temp\\", L"\\"));
  EXPECT_FALSE(EndsWith(L"", L"\\"));
  EXPECT_FALSE(EndsWith(L"C:\\temp", L"\\"));
  EXPECT_TRUE(EndsWith(L"x", L""));
  EXPECT_FALSE(EndsWith(L"b", L"ab"));
}

TEST(Utf8Conversion, RoundTripsNonAsciiPaths) {
  // "C:\Users\Zoë\Ünïcödé\日本\😀.txt": two-, three- and four-byte sequences
  // (the last one a surrogate pair in UTF-16).
  const std::string utf8 = "C:\\Users\\Zo\xC3\xAB\\\xC3\x9Cn\xC3\xAF" "c\xC3\xB6" "d\xC3\xA9\\\xE6\x97\xA5\xE6\x9C\xAC\\\xF0\x9F\x98\x80.txt";
  std::wstring wide = Utf8ToWide(utf8);
  ASSERT_FALSE(wide.empty());
  EXPECT_EQ(wide.substr(0, 12), L"C:\\Users\\Zo\u00EB");
  EXPECT_EQ(WideToUtf8(wide), utf8);
#ifdef _WIN32
  // UTF-16: the emoji is two units.
  EXPECT_EQ(wide.size(), 30u);
  EXPECT_EQ(wide[wide.size() - 6], 0xD83D);
#else
  EXPECT_EQ(wide.size(), 29u);
#endif
}

TEST(Utf8Conversion, StopsAtAnEmbeddedZero) {
  std::wstring wide = std::wstring(L"ab") + L'\0' + L"cd";
  ASSERT_EQ(wide.size(), 5u);
  EXPECT_EQ(WideToUtf8(wide), "ab");
  std::string narrow = std::string("x\xC3\xA9") + '\0' + "yz";
  EXPECT_EQ(Utf8ToWide(narrow), L"x\u00E9");
}

TEST(Utf8Conversion, EmptyInEmptyOut) {
  EXPECT_EQ(WideToUtf8(L""), "");
  EXPECT_EQ(Utf8ToWide(""), L"");
}

TEST(Utf8Conversion, LongTextsOfThreeByteCharactersFitTheFirstBuffer) {
  std::wstring wide(5000, L'\u20AC');  // euro sign: three UTF-8 bytes each
  std::string utf8 = WideToUtf8(wide);
  EXPECT_EQ(utf8.size(), 15000u);
  EXPECT_EQ(Utf8ToWide(utf8), wide);
}

TEST(Utf8Conversion, InvalidUtf8BecomesReplacementCharacters) {
  std::wstring wide = Utf8ToWide("a\xFF" "b");
  ASSERT_EQ(wide.size(), 3u);
  EXPECT_EQ(wide[0], L'a');
  EXPECT_EQ(static_cast<unsigned>(wide[1]), 0xFFFDu);
  EXPECT_EQ(wide[2], L'b');
}

TEST(HexToBytes, DecodesWithTheLenientRules) {
  unsigned char out[4] = {0x11, 0x22, 0x33, 0x44};
  HexToBytes(out, "0aFf", 2);
  EXPECT_EQ(out[0], 0x0A);
  EXPECT_EQ(out[1], 0xFF);

  unsigned char odd[2] = {0x99, 0x99};
  HexToBytes(odd, "abc", 2);
  EXPECT_EQ(odd[0], 0xAB);
  EXPECT_EQ(odd[1], 0xC0);

  unsigned char bad[1] = {0x99};
  HexToBytes(bad, "0g", 1);
  EXPECT_EQ(bad[0], 0x00);

  unsigned char untouched[2] = {0x55, 0x66};
  HexToBytes(untouched, "", 2);
  EXPECT_EQ(untouched[0], 0x55);
  HexToBytes(untouched, "12", 1);  // count bounds the output
  EXPECT_EQ(untouched[0], 0x12);
  EXPECT_EQ(untouched[1], 0x66);
  HexToBytes(nullptr, "12", 1);  // no crash
  HexToBytes(untouched, nullptr, 1);
  EXPECT_EQ(untouched[0], 0x12);
}

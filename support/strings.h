// Small text helpers shared by the installer and the tools.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

// Splits at every separator; empty fields stay, the result has one more
// element than there are separators.
std::vector<std::string> SplitString(const std::string& text, char separator);
bool StartsWith(const std::string& text, const std::string& prefix);
bool EndsWith(const std::wstring& text, const std::wstring& suffix);
// Both conversions stop at the first zero unit and give "" when the platform
// refuses the text.
std::string WideToUtf8(const std::wstring& text);
std::wstring Utf8ToWide(const std::string& text);
// Decodes up to `count` bytes from hex text; stops at the terminating zero,
// a non-hex digit counts as 0.
void HexToBytes(unsigned char* out, const char* text, size_t count);

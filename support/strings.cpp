#include "support/strings.h"

#include "platform/platform.h"

std::vector<std::string> SplitString(const std::string& text, char separator) {
  std::vector<std::string> fields;
  size_t start = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == separator) {
      fields.push_back(text.substr(start, i - start));
      start = i + 1;
    }
  }
  fields.push_back(text.substr(start));
  return fields;
}

bool StartsWith(const std::string& text, const std::string& prefix) {
  return prefix.size() <= text.size() && text.compare(0, prefix.size(), prefix) == 0;
}

bool EndsWith(const std::wstring& text, const std::wstring& suffix) {
  return suffix.size() <= text.size() && text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

namespace {
// The shared shape of both conversions: a generous first buffer, then one
// size query if the platform still says it was too small.
template <typename Out, typename In, typename Converter>
std::basic_string<Out> Convert(const std::basic_string<In>& text, size_t firstSize, Converter convert) {
  if (text.empty()) return {};
  std::basic_string<Out> out(firstSize, Out(0));
  bool insufficient = false;
  int count = convert(text.c_str(), &out[0], static_cast<int>(out.size()), &insufficient);
  if (count == 0) {
    if (!insufficient) return {};
    count = convert(text.c_str(), nullptr, 0, nullptr);
    if (count <= 0) return {};
    out.assign(count, Out(0));
    count = convert(text.c_str(), &out[0], count, nullptr);
  }
  if (count <= 0) return {};
  out.resize(count - 1);
  return out;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return 0;
}
}  // namespace

std::string WideToUtf8(const std::wstring& text) {
  return Convert<char>(text, 3 * text.size() + 20, platform::WideToUtf8Raw);
}

std::wstring Utf8ToWide(const std::string& text) {
  return Convert<wchar_t>(text, 2 * text.size(), platform::Utf8ToWideRaw);
}

void HexToBytes(unsigned char* out, const char* text, size_t count) {
  if (!out || !text) return;
  for (size_t i = 0; i < count; ++i) {
    const char high = text[2 * i];
    if (high == '\0') return;
    out[i] = static_cast<unsigned char>(HexValue(high) << 4);
    const char low = text[2 * i + 1];
    if (low == '\0') return;
    out[i] |= static_cast<unsigned char>(HexValue(low));
  }
}

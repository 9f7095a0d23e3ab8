#include "support/script_rules.h"

#include <vector>

#include "support/strings.h"

namespace {
bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

std::vector<std::string> Components(const std::string& target) {
  std::vector<std::string> parts;
  size_t start = 0;
  while (start <= target.size()) {
    size_t end = target.find_first_of("\\/", start);
    if (end == std::string::npos) end = target.size();
    parts.push_back(target.substr(start, end - start));
    start = end + 1;
  }
  return parts;
}

std::string Upper(std::string text) {
  for (char& c : text)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return text;
}

// Upper case as the file system compares names, as far as it matters for
// ASCII names: dotless i and long s upper-case to I and S there.
std::string FoldForCompare(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    const unsigned char next = i + 1 < text.size() ? static_cast<unsigned char>(text[i + 1]) : 0;
    if (c == 0xC4 && next == 0xB1) {
      out += 'I';
      ++i;
    } else if (c == 0xC5 && next == 0xBF) {
      out += 'S';
      ++i;
    } else {
      out += static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
    }
  }
  return out;
}

// Windows takes the part before the first dot, without trailing blanks, as
// the device name ("nul.txt", "NUL .log" and "NUL." all open NUL).
bool IsDeviceComponent(const std::string& component) {
  std::string base = component.substr(0, component.find('.'));
  while (!base.empty() && base.back() == ' ') base.pop_back();
  base = Upper(base);
  if (base == "CON" || base == "PRN" || base == "AUX" || base == "NUL" || base == "CONIN$" || base == "CONOUT$")
    return true;
  if (base.size() < 4 || (base.compare(0, 3, "COM") != 0 && base.compare(0, 3, "LPT") != 0)) return false;
  const std::string digit = base.substr(3);
  // UTF-8 superscript one, two and three count as digits here.
  return (digit.size() == 1 && digit[0] >= '0' && digit[0] <= '9') || digit == "\xC2\xB9" || digit == "\xC2\xB2" ||
         digit == "\xC2\xB3";
}
}  // namespace

bool ScriptFlagsSelect(const std::string& flags, const ScriptEnvironment& environment) {
  if (Contains(flags, "-x86") && environment.windows64) return false;
  if (Contains(flags, "-x64") && !environment.windows64) return false;
  if (Contains(flags, "-w6+") && environment.majorVersion < 6) return false;
  if (Contains(flags, "-w<6") && environment.majorVersion >= 6) return false;
  if (!StartsWith(flags, "dep")) return false;
  return Contains(flags, "-" + environment.installType);
}

bool ScriptTargetNamesDevice(const std::string& target) {
  for (const std::string& component : Components(target))
    if (IsDeviceComponent(component)) return true;
  return false;
}

bool IsSafeScriptTarget(const std::string& target) {
  if (target.empty() || !IsValidUtf8(target)) return false;
  // Rooted ("\x", "/x", "\\server\share") or drive-qualified ("C:x", "C:\x").
  if (target[0] == '\\' || target[0] == '/') return false;
  if (target.find(':') != std::string::npos) return false;
  for (const std::string& component : Components(target))
    if (component == ".." || IsDeviceComponent(component)) return false;
  return true;
}

bool IsValidUtf8(const std::string& text) {
  const size_t n = text.size();
  for (size_t i = 0; i < n;) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c < 0x80) {
      ++i;
      continue;
    }
    size_t length = 0;
    uint32_t value = 0;
    if (c >= 0xC2 && c <= 0xDF) {
      length = 2;
      value = c & 0x1F;
    } else if (c >= 0xE0 && c <= 0xEF) {
      length = 3;
      value = c & 0x0F;
    } else if (c >= 0xF0 && c <= 0xF4) {
      length = 4;
      value = c & 0x07;
    } else {
      return false;
    }
    if (n - i < length) return false;
    for (size_t k = 1; k < length; ++k) {
      const unsigned char t = static_cast<unsigned char>(text[i + k]);
      if ((t & 0xC0) != 0x80) return false;
      value = (value << 6) | (t & 0x3F);
    }
    if ((length == 3 && value < 0x800) || (length == 4 && (value < 0x10000 || value > 0x10FFFF)) ||
        (value >= 0xD800 && value <= 0xDFFF))
      return false;
    i += length;
  }
  return true;
}

std::string ScriptTargetKey(const std::string& target) {
  std::string key;
  for (std::string component : Components(target)) {
    while (!component.empty() && (component.back() == '.' || component.back() == ' ')) component.pop_back();
    if (component.empty()) continue;  // ".", an empty component, or dots and blanks only
    if (!key.empty()) key += '\\';
    key += FoldForCompare(component);
  }
  return key;
}

bool ScriptTargetNamesWorkspaceFile(const std::string& target) {
  const std::string key = ScriptTargetKey(target);
  const std::string first = key.substr(0, key.find('\\'));
  return first == "SETUP.EXE" || first == "IBND";
}

ScriptTargetFault CheckScriptTarget(const std::string& target) {
  if (!IsValidUtf8(target)) return ScriptTargetFault::kNotUtf8;
  if (ScriptTargetNamesDevice(target)) return ScriptTargetFault::kDevice;
  if (!IsSafeScriptTarget(target)) return ScriptTargetFault::kLeavesWorkspace;
  if (ScriptTargetNamesWorkspaceFile(target)) return ScriptTargetFault::kWorkspaceFile;
  return ScriptTargetFault::kNone;
}

bool ScriptTargetClaims::Claim(const std::string& target, std::string* clash) {
  const std::string key = ScriptTargetKey(target);
  std::vector<std::string> parents;
  for (size_t at = key.find('\\'); at != std::string::npos; at = key.find('\\', at + 1))
    parents.push_back(key.substr(0, at));
  std::string found;
  if (folders_.count(key)) found = key;
  for (const std::string& parent : parents)
    if (found.empty() && files_.count(parent)) found = parent;
  if (!found.empty()) {
    if (clash) *clash = found;
    return false;
  }
  files_.insert(key);
  folders_.insert(parents.begin(), parents.end());
  return true;
}

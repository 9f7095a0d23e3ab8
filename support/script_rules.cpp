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
  if (target.empty()) return false;
  // Rooted ("\x", "/x", "\\server\share") or drive-qualified ("C:x", "C:\x").
  if (target[0] == '\\' || target[0] == '/') return false;
  if (target.find(':') != std::string::npos) return false;
  for (const std::string& component : Components(target))
    if (component == ".." || IsDeviceComponent(component)) return false;
  return true;
}

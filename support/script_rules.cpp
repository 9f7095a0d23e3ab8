#include "support/script_rules.h"

#include "support/strings.h"

namespace {
bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }
}  // namespace

bool ScriptFlagsSelect(const std::string& flags, const ScriptEnvironment& environment) {
  if (Contains(flags, "-x86") && environment.windows64) return false;
  if (Contains(flags, "-x64") && !environment.windows64) return false;
  if (Contains(flags, "-w6+") && environment.majorVersion < 6) return false;
  if (Contains(flags, "-w<6") && environment.majorVersion >= 6) return false;
  if (!StartsWith(flags, "dep")) return false;
  return Contains(flags, "-" + environment.installType);
}

bool IsSafeScriptTarget(const std::string& target) {
  if (target.empty()) return false;
  // Rooted ("\x", "/x", "\\server\share") or drive-qualified ("C:x", "C:\x").
  if (target[0] == '\\' || target[0] == '/') return false;
  if (target.find(':') != std::string::npos) return false;
  size_t start = 0;
  while (start <= target.size()) {
    size_t end = target.find_first_of("\\/", start);
    if (end == std::string::npos) end = target.size();
    if (target.compare(start, end - start, "..") == 0) return false;
    start = end + 1;
  }
  return true;
}

#include "install/install_script.h"

#include "support/diag_log.h"
#include "support/progress.h"
#include "support/strings.h"

namespace install {

ScriptReading ReadBundleScript(Bundle& bundle, BundleStream* script) {
  ScriptReading reading;
  reading.lines = ReadScriptLines(
      [&](char* buffer, int capacity) { return bundle.ReadLine(buffer, capacity, script) != nullptr; });
  reading.whole = script->position() == script->total();
  return reading;
}

int ScriptProgress(size_t index, size_t count) {
  return 85 + static_cast<int>(static_cast<uint32_t>(15 * index) / static_cast<uint32_t>(count));
}

bool RunScript(const std::vector<std::string>& lines, const std::wstring& workDir,
               const ScriptEnvironment& environment, const EntryExtractor& extract) {
  ScriptTargetClaims claims;
  const size_t count = lines.size();
  for (size_t i = 0; i < count; ++i) {
    ReportProgress(ScriptProgress(i, count), 0);
    const std::string& line = lines[i];
    if (line.empty() || StartsWith(line, "#")) continue;
    DiagLog("%d: %s", static_cast<int>(i), line.c_str());
    const std::vector<std::string> fields = SplitString(line, ',');
    if (!ScriptFlagsSelect(fields[0], environment)) continue;
    if (fields.size() < 3) {
      DiagLog("Script line %d has fewer than three fields\n", static_cast<int>(i));
      return false;
    }
    const std::string& itemName = fields[1];
    const std::string& targetPath = fields[2];
    switch (CheckScriptTarget(targetPath)) {
      case ScriptTargetFault::kNone:
        break;
      case ScriptTargetFault::kNotUtf8:
        DiagLog("Script target %s is not valid UTF-8\n", targetPath.c_str());
        return false;
      case ScriptTargetFault::kDevice:
        DiagLog("Script target %s names a device, not a file\n", targetPath.c_str());
        return false;
      case ScriptTargetFault::kLeavesWorkspace:
        DiagLog("Script target %s leaves the workspace\n", targetPath.c_str());
        return false;
      case ScriptTargetFault::kWorkspaceFile:
        DiagLog("Script target %s names the installer's own setup.exe or ibnd\n", targetPath.c_str());
        return false;
    }
    std::string clash;
    if (!claims.Claim(targetPath, &clash)) {
      DiagLog("Script target %s uses %s both as a file and as a folder\n", targetPath.c_str(), clash.c_str());
      return false;
    }
    if (!extract(itemName, workDir + Utf8ToWide(targetPath))) return false;
  }
  return true;
}

}  // namespace install

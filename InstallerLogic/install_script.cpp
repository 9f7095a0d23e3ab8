#include "InstallerLogic/install_script.h"

#include <windows.h>

#include "support/text_trim.h"
#include "InstallerLogic/workspace.h"
#include "support/diag_log.h"
#include "support/progress.h"
#include "support/script_rules.h"
#include "support/strings.h"

namespace installer {
namespace {

constexpr int kLineBuffer = 2048;


}  // namespace

bool IsWow64() {
  BOOL wow64 = FALSE;
  return IsWow64Process(GetCurrentProcess(), &wow64) && wow64;
}

bool IsWindows64() {
#ifdef _WIN64
  return true;
#else
  return IsWow64();
#endif
}

uint32_t WindowsMajorVersion() {
  OSVERSIONINFOEXW info{};
  info.dwOSVersionInfoSize = sizeof info;
  // The manifest's supportedOS entries make this report the true version.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
  GetVersionExW(reinterpret_cast<OSVERSIONINFOW*>(&info));
#pragma GCC diagnostic pop
  return info.dwMajorVersion;
}

ScriptEnvironment CurrentScriptEnvironment(const std::string& installType) {
  ScriptEnvironment environment;
  environment.windows64 = IsWindows64();
  environment.majorVersion = WindowsMajorVersion();
  environment.installType = installType;
  return environment;
}

std::vector<std::string> ReadScriptLines(const LineReader& readLine) {
  std::vector<std::string> lines;
  std::vector<char> buffer(kLineBuffer);
  while (readLine(buffer.data(), kLineBuffer)) {
    std::string line(buffer.data());
    TrimEnd(&line);
    TrimFront(&line);
    lines.push_back(line);
  }
  return lines;
}

int ScriptProgress(size_t index, size_t count) {
  return 85 + static_cast<int>(static_cast<uint32_t>(15 * index) / static_cast<uint32_t>(count));
}

bool RunScript(const std::vector<std::string>& lines, const std::wstring& workDir,
               const ScriptEnvironment& environment, const EntryExtractor& extract) {
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
    if (ScriptTargetNamesDevice(targetPath)) {
      DiagLog("Script target %s names a device, not a file\n", targetPath.c_str());
      return false;
    }
    if (!IsSafeScriptTarget(targetPath)) {
      DiagLog("Script target %s leaves the workspace\n", targetPath.c_str());
      return false;
    }
    const std::wstring target = workDir + Utf8ToWide(targetPath);
    MakeParentDirs(target);
    if (!extract(itemName, target)) return false;
  }
  return true;
}

}  // namespace installer

#include "tools/kzpack/script_view.h"

#include "support/script_rules.h"
#include "support/text_trim.h"

namespace kzpack {
namespace {

// The installer's line buffer holds 2048 bytes with the terminating zero.
constexpr size_t kLinePiece = 2047;

}  // namespace

const std::vector<WindowsKind>& AllWindowsKinds() {
  static const std::vector<WindowsKind> kinds = {
      {true, 10, "64-bit Windows 6+"},
      {false, 10, "32-bit Windows 6+"},
      {true, 5, "64-bit Windows <6"},
      {false, 5, "32-bit Windows <6"},
  };
  return kinds;
}

std::vector<std::string> ReadScriptText(const std::string& text) {
  std::vector<std::string> lines;
  std::string piece;
  auto emit = [&] {
    TrimEnd(&piece);
    TrimFront(&piece);
    lines.push_back(piece);
    piece.clear();
  };
  for (char c : text) {
    if (c == '\r') continue;
    piece += c;
    if (c == '\n' || piece.size() == kLinePiece) emit();
  }
  if (!piece.empty()) emit();
  return lines;
}

bool LineSelected(const std::string& line, const WindowsKind& windows, const std::string& runType) {
  if (line.empty() || line[0] == '#') return false;
  ScriptEnvironment environment;
  environment.windows64 = windows.is64;
  environment.majorVersion = windows.majorVersion;
  environment.installType = runType;
  return ScriptFlagsSelect(SplitString(line, ',')[0], environment);
}

std::string FlagsFor(const std::string& arch, const std::string& windows, const std::string& runType) {
  std::string flags = "dep";
  if (arch == "x64") flags += "-x64";
  if (arch == "x86") flags += "-x86";
  if (windows == "6+") flags += "-w6+";
  if (windows == "<6") flags += "-w<6";
  return flags + "-" + runType;
}

}  // namespace kzpack

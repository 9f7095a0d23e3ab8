#include "tools/kzpack/build_inputs.h"

#include <filesystem>
#include <system_error>

#include "tools/kzpack/cli_support.h"

namespace kzpack {

std::vector<std::string> BuildInputs(const Project& project, const SigningOptions& signing) {
  std::vector<std::string> inputs = ProjectInputs(project);
  for (const std::string& path : SigningInputs(signing)) inputs.push_back(path);
  return inputs;
}

void RefuseOutputOverInputs(const std::string& option, const std::string& output,
                            const std::vector<std::string>& inputs, const std::string& example) {
  if (output.empty()) return;
  std::error_code ec;
  const char last = output.back();
  const bool slash = last == '/' || last == '\\';
  if (slash || std::filesystem::is_directory(FsPath(output), ec))
    throw ToolError(option + " " + output + ": is a folder; name the file to write (e.g. " +
                        (slash ? output : output + "/") + example + ")",
                    kExitUsage);
  // An unreadable path gives an empty one, which must not match another.
  const std::filesystem::path target = std::filesystem::weakly_canonical(FsPath(output), ec);
  for (const std::string& input : inputs) {
    if (input.empty()) continue;
    std::error_code inputEc;
    const std::filesystem::path other = std::filesystem::weakly_canonical(FsPath(input), inputEc);
    const bool same = (!target.empty() && target == other) ||
                      std::filesystem::equivalent(FsPath(output), FsPath(input), inputEc);
    if (same)
      throw ToolError(option + " " + output + ": is the same file as " + input + "; choose another name", kExitUsage);
  }
}

}  // namespace kzpack

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
  for (const std::string& input : inputs)
    if (!input.empty() && SameFile(output, input))
      throw ToolError(option + " " + output + ": is the same file as " + input + "; choose another name", kExitUsage);
}

}  // namespace kzpack

// Runs an outside program (osslsigncode) with arguments passed as they are,
// without a shell's interpretation, and returns its exit status.
#pragma once

#include <string>
#include <vector>

namespace kzpack {

// -1 when the program could not be started. Its output goes to ours unless
// `quietOutput`.
int RunProgram(const std::vector<std::string>& arguments, bool quietOutput);

}  // namespace kzpack

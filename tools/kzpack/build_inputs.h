// What a build reads, and the refusal of an output that would replace any of
// it: `build -o/--sbom` and `inspect --sbom --project` write nothing over a
// key, certificate, stub, setup program or source, whatever the spelling.
#pragma once

#include <string>
#include <vector>

#include "tools/kzpack/project.h"
#include "tools/kzpack/signing_keys.h"

namespace kzpack {

// Every file a build of `project` reads: the project's (ProjectInputs), and
// the command line's and the environment's (SigningInputs).
std::vector<std::string> BuildInputs(const Project& project, const SigningOptions& signing);

// Usage error (exit 2), before any work, when `output` (given as `option`,
// e.g. "--sbom") names a folder or the same file as one of `inputs`: the same
// path once links and "." or ".." are resolved, or the same file on disk (a
// hard link). `example` names a file for the folder's message.
void RefuseOutputOverInputs(const std::string& option, const std::string& output,
                            const std::vector<std::string>& inputs, const std::string& example);

}  // namespace kzpack

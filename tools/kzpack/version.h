// kzpack's version: the project's one version string (CMake's project()
// VERSION), which the README's release notes name too.
#pragma once

#include <string>

namespace kzpack {

const char* KzpackVersion();

// What `kzpack --version` prints: the version, then the stub installed with
// kzpack and its SHA-256, which identifies the build a vendor's installers
// start from (the stub is reproducible, so anyone can rebuild and compare).
std::string VersionReport();

}  // namespace kzpack

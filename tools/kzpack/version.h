// kzpack's version: the project's one version string (CMake's project()
// VERSION), which the README's release notes name too.
#pragma once

namespace kzpack {

const char* KzpackVersion();

}  // namespace kzpack

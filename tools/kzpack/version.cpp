#include "tools/kzpack/version.h"

namespace kzpack {

// Set on this file alone, so a new version recompiles one file.
const char* KzpackVersion() { return KZ_VERSION; }

}  // namespace kzpack

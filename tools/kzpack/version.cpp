#include "tools/kzpack/version.h"

#include <exception>

#include "tools/kzpack/cli_support.h"
#include "tools/kzpack/stub_keys.h"

namespace kzpack {

// Set on this file alone, so a new version recompiles one file.
const char* KzpackVersion() { return KZ_VERSION; }

std::string VersionReport() {
  std::string text = std::string("kzpack ") + KzpackVersion() + "\n";
  std::vector<std::string> looked;
  const std::string stub = FindInstalledStub(&looked);
  if (stub.empty()) {
    std::string where;
    for (const std::string& place : looked) where += (where.empty() ? "" : ", ") + place;
    return text + "stub: none installed (looked at " + (where.empty() ? "nothing" : where) + ")";
  }
  try {
    return text + "stub: " + stub + "\nstub SHA-256: " + Sha256OfFile(stub);
  } catch (const std::exception& e) {
    return text + "stub: " + e.what();
  }
}

}  // namespace kzpack

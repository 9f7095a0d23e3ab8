// The bill of materials of a finished installer, as a CycloneDX 1.5 JSON
// document: the installer itself, the setup program the installer unpacks,
// and every bundle entry with the SHA-256 of its content. What CycloneDX has
// no field for (sizes, signature states, targets and script conditions, key
// fingerprints) goes into properties named "kzpack:...". `build --sbom` and
// `inspect --sbom` both come here, so they describe the same installer alike.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tools/kzpack/installer_check.h"

namespace kzpack {

struct Project;

// SOURCE_DATE_EPOCH when set (usage error when it is not a number of seconds
// since 1970), the current time otherwise.
int64_t SbomTime();

struct SbomSubject {
  std::string path;                  // the installer to read
  std::string name;                  // the name it is shipped under
  RootKeys roots;                    // the keys its signatures are checked against
  const Project* project = nullptr;  // identities of the [[file]] entries, when known
  int64_t time = 0;                  // seconds since 1970
};

// The document's text. ToolError when the file is not an installer kzpack can
// take apart (no "LOAD", no "IBND", an entry that does not inflate).
std::string DescribeInstaller(const SbomSubject& subject);

}  // namespace kzpack

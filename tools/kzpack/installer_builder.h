// The whole pipeline of `kzpack build`: the signed bundle, the setup program
// with "_SG2" and "IBND" behind it, the installer with its `.KZBNDL` section
// ("_SG1" when given, "_SG2" in the header-excluded form, "TYPE", "LOAD"),
// optionally Authenticode through osslsigncode, and a check of the result.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tools/kzpack/project.h"
#include "tools/kzpack/signing_keys.h"

namespace kzpack {

struct BuildSummary {
  int64_t installerSize = 0;
  int64_t setupSize = 0;   // with its chain
  int64_t bundleSize = 0;
  size_t entries = 0;      // install_script included
  bool authenticode = false;
  std::vector<std::string> developmentFindings;  // DevelopmentKeyFindings of the installer
};

// Writes `output` only when everything succeeded (ToolError otherwise).
// `signing` chooses key files or external signers and allows development keys.
BuildSummary BuildInstaller(const Project& project, const std::string& output, const SigningOptions& signing = {});

// The steps on their own, shared with `attach`, `sign-image` and `bundle create`.

// The bundle file, signed with `signingKey` (a key file or a signer) under `certificate`.
struct BundleInput {
  std::string name;
  std::string sourcePath;  // empty: `content`
  std::vector<uint8_t> content;
};
void WriteBundle(const std::string& path, const std::vector<BundleInput>& inputs, uint32_t chunkSize, int level,
                 const KeySource& signingKey, const std::vector<uint8_t>& certificate);

// Checks that a certificate fits the signing key and the goal; ToolError naming `certificateName`.
void CheckCertificateFits(const std::vector<uint8_t>& certificate, const std::vector<uint8_t>& signingPublicKey,
                          const std::string& certificateName);

}  // namespace kzpack

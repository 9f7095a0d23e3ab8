// The three private keys kzpack signs with, each either a key file or an
// external signer with the public key it must answer for:
//   bundle_signing  signs bundles            (purpose "bundle", RSA-PSS)
//   bundle_root     signs certificates       (purpose "certificate", RSA-PSS)
//   image_root      signs "_SG2" records     (purpose "image", PKCS #1 v1.5)
// Where a signer comes from, first match wins: --signer ROLE=COMMAND on the
// command line, the environment variable KZ_SIGNER_<ROLE>, then the project
// file's <role>_signer, which runs only with --allow-project-commands. The
// public key: --public-key, KZ_PUBLIC_KEY_<ROLE>, then the file's <role>_public.
#pragma once

#include <CLI/CLI.hpp>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "tools/kzpack/external_signer.h"
#include "tools/kzpack/project.h"

namespace kzpack {

struct KeySource {
  std::string role;                 // bundle_signing | bundle_root | image_root
  std::string name;                 // key file path or signer origin, for messages
  std::vector<uint8_t> privateKey;  // PKCS#8, when a file
  SignerCommand signer;             // when external
  std::vector<uint8_t> publicKey;   // SubjectPublicKeyInfo, always
  bool external() const { return !signer.argv.empty(); }
  bool empty() const { return name.empty(); }
};

// The signing options every signing subcommand shares.
struct SigningOptions {
  std::vector<std::string> signers;     // ROLE=COMMAND
  std::vector<std::string> publicKeys;  // ROLE=FILE
  int timeoutSeconds = 0;               // 0: KZ_SIGNER_TIMEOUT, else 60
  bool allowProjectCommands = false;   // run the programs a project file names
  bool developmentKeys = false;
};

// The flag that lets a project file make kzpack run a program.
constexpr const char kAllowProjectCommands[] = "--allow-project-commands";

void AddSigningOptions(CLI::App* cmd, SigningOptions* options, bool withProject);
// The protocol and options, for --help.
const char* SignerHelp();

// The files the command line and the environment name for the signers:
// --public-key and KZ_PUBLIC_KEY_<ROLE> files, and the files the --signer and
// KZ_SIGNER_<ROLE> commands name.
std::vector<std::string> SigningInputs(const SigningOptions& options);

// True when the command line or the environment names a signer for `role`.
bool HasExternalSigner(const SigningOptions& options, const std::string& role);

// The public key file named for `role`: --public-key, KZ_PUBLIC_KEY_<ROLE>,
// then the project's <role>_public; "" when none.
std::string PublicKeyPathFor(const SigningOptions& options, const std::string& role,
                             const ProjectSigner* projectSigner);

// The key for `role`: an external signer (command line, environment, project
// when allowed) or the key file `keyFile`. Empty when none is given. Refuses
// development keys unless --development-keys, and a signer whose public key
// is missing.
KeySource ResolveKey(const SigningOptions& options, const std::string& role, const std::string& keyFile,
                     const ProjectSigner* projectSigner = nullptr);

// Modulus length in bytes of the key's public half.
size_t SignatureBytes(const KeySource& key);

// Signing with either kind of key; ToolError naming the key on failure.
std::vector<uint8_t> IssueCertificateWith(const std::string& goal, int32_t expiry,
                                          const std::vector<uint8_t>& subjectPublicKey, const KeySource& root);
// For BundleSigning::signDigest: the external signer on a SHA-256 digest.
std::function<bool(const std::vector<unsigned char>&, std::vector<unsigned char>*, std::string*)> BundleDigestSigner(
    const KeySource& key);

}  // namespace kzpack

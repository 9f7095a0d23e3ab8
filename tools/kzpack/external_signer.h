// External signers: a program that holds a private key (in a token, a
// hardware module, a key service) and signs one digest per run. kzpack never
// sees the key; it checks every signature it gets back against the public key
// it was told to expect.
//
// The protocol (also in the README and `kzpack build --help`):
//   - the command is an argument vector, run directly, never through a shell;
//   - environment: KZ_SIGN_PURPOSE = bundle | certificate | image,
//     KZ_SIGN_SCHEME = rsa-pss-sha256 | rsa-pkcs1-sha1, KZ_SIGN_KEY_BITS;
//   - stdin: for rsa-pss-sha256 the 32-byte SHA-256 digest of the message
//     (sign it with RSASSA-PSS, MGF1-SHA-256, 32-byte salt); for
//     rsa-pkcs1-sha1 the 35-byte DER DigestInfo of the SHA-1 digest, already
//     built by kzpack (sign it with bare PKCS #1 v1.5 padding: pkcs11-tool's
//     RSA-PKCS, `openssl pkeyutl -sign` without a digest option);
//   - stdout: the raw signature, exactly as long as the modulus;
//   - exit 0 on success, anything else is a failure; killed after the time
//     limit (default 60 s);
//   - the PIN comes from the signer's own environment or prompt, never from
//     kzpack's arguments, project file or output.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kzpack {

struct SignerCommand {
  std::vector<std::string> argv;
  std::string origin;  // where it was named, for messages ("--signer", "KZ_SIGNER_IMAGE_ROOT", "app.toml:12")
  int timeoutSeconds = 60;
};

enum class SignScheme { kPssSha256, kPkcs1Sha1 };

// A command given as one text: split at blanks, no quoting (use a wrapper
// script for anything more). ToolError when empty or when an argument looks
// like a PIN.
std::vector<std::string> SplitAtBlanks(const std::string& text);
SignerCommand ParseSignerText(const std::string& text, const std::string& origin, int timeoutSeconds);
// ToolError when an argument would carry a PIN.
void RefusePinArguments(const SignerCommand& signer);

// Runs the signer on `digest` (SHA-256 for PSS, SHA-1 for PKCS #1 v1.5) and
// returns a signature that verifies under `publicKeySpki`; ToolError (one
// line naming the signer) otherwise.
std::vector<uint8_t> SignDigestExternally(const SignerCommand& signer, const std::string& purpose, SignScheme scheme,
                                          const std::vector<uint8_t>& digest,
                                          const std::vector<uint8_t>& publicKeySpki);

// The digest checks, against a public key only.
bool VerifyPssSha256Digest(const std::vector<uint8_t>& publicKeySpki, const std::vector<uint8_t>& digest,
                           const std::vector<uint8_t>& signature);
bool VerifyPkcs1Sha1Digest(const std::vector<uint8_t>& publicKeySpki, const std::vector<uint8_t>& digest,
                           const std::vector<uint8_t>& signature);
// DER DigestInfo { sha1, digest }.
std::vector<uint8_t> Sha1DigestInfo(const std::vector<uint8_t>& digest);

}  // namespace kzpack

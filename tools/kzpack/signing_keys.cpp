#include "tools/kzpack/signing_keys.h"

#include <cryptopp/sha.h>

#include <cstdlib>
#include <cstring>

#include "bundle/certificate.h"
#include "packing/certificate_writer.h"
#include "tools/kzpack/cli_support.h"
#include "tools/kzpack/development_keys.h"
#include "tools/kzpack/key_files.h"

namespace kzpack {
namespace {

constexpr int kDefaultTimeoutSeconds = 60;

const char* PurposeOf(const std::string& role) {
  if (role == "bundle_signing") return "bundle";
  if (role == "bundle_root") return "certificate";
  return "image";
}

std::string EnvironmentName(const std::string& prefix, const std::string& role) {
  std::string name = prefix + role;
  for (char& c : name)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return name;
}

// The value after "ROLE=" among `pairs`; "" when absent. Unknown roles are usage errors.
std::string ValueFor(const std::vector<std::string>& pairs, const std::string& role, const char* option) {
  std::string found;
  for (const std::string& pair : pairs) {
    const size_t eq = pair.find('=');
    const std::string key = pair.substr(0, eq);
    if (eq == std::string::npos || (key != "bundle_signing" && key != "bundle_root" && key != "image_root"))
      throw ToolError(std::string(option) + " " + pair.substr(0, 40) +
                          ": expected ROLE=VALUE with ROLE bundle_signing, bundle_root or image_root",
                      kExitUsage);
    if (key == role) found = pair.substr(eq + 1);
  }
  return found;
}

std::string Environment(const std::string& name) {
  const char* value = std::getenv(name.c_str());
  return value ? value : "";
}

int TimeoutSeconds(const SigningOptions& options) {
  if (options.timeoutSeconds > 0) return options.timeoutSeconds;
  const std::string text = Environment("KZ_SIGNER_TIMEOUT");
  const int seconds = text.empty() ? 0 : std::atoi(text.c_str());
  return seconds > 0 ? seconds : kDefaultTimeoutSeconds;
}

}  // namespace

void AddSigningOptions(CLI::App* cmd, SigningOptions* options, bool withProject) {
  cmd->add_option("--signer", options->signers,
                  "ROLE=COMMAND: sign through an external program (split at blanks, no shell); ROLE is "
                  "bundle_signing, bundle_root or image_root");
  cmd->add_option("--public-key", options->publicKeys,
                  "ROLE=FILE: the public key (DER SubjectPublicKeyInfo) a signer's signatures must verify under");
  cmd->add_option("--signer-timeout", options->timeoutSeconds,
                  "Seconds a signer may take per signature (default: KZ_SIGNER_TIMEOUT, else 60)");
  if (withProject)
    cmd->add_flag(std::string(kAllowProjectCommands) + ",--allow-project-signers", options->allowProjectCommands,
                  "Run the programs the project file names: its <role>_signer commands and the [authenticode] "
                  "step (off: a project file makes kzpack run nothing; --allow-project-signers is the old name)");
  cmd->add_flag("--development-keys", options->developmentKeys,
                "Allow the development keys from keys/ (tests and demos only: anyone can sign with them)");
}

const char* SignerHelp() {
  return "External signers (keys in a token, a hardware module or a key service):\n"
         "  A signer is a program that signs one digest per run. kzpack runs it directly (an argument\n"
         "  vector, never a shell) with KZ_SIGN_PURPOSE = bundle | certificate | image, KZ_SIGN_SCHEME\n"
         "  and KZ_SIGN_KEY_BITS in its environment, and writes to its stdin:\n"
         "    rsa-pss-sha256 (bundle, certificate): the 32-byte SHA-256 digest; sign it with RSASSA-PSS,\n"
         "      MGF1-SHA-256, salt 32 (pkcs11-tool -m RSA-PKCS-PSS --hash-algorithm SHA256 --mgf\n"
         "      MGF1-SHA256 --salt-len 32; openssl pkeyutl -sign -pkeyopt rsa_padding_mode:pss\n"
         "      -pkeyopt rsa_pss_saltlen:32 -pkeyopt digest:sha256);\n"
         "    rsa-pkcs1-sha1 (image): the 35-byte DER DigestInfo of the SHA-1 digest, built by kzpack;\n"
         "      sign it with bare PKCS #1 v1.5 padding (pkcs11-tool -m RSA-PKCS; openssl pkeyutl -sign\n"
         "      without a digest option). Not SHA1-RSA-PKCS: that hashes its input again.\n"
         "  It writes the raw signature (modulus length) to stdout and exits 0; any other exit status,\n"
         "  more output, or no answer within the time limit is an error. Every signature is checked\n"
         "  against the public key configured beside the signer before it is used.\n"
         "  Naming one: --signer ROLE=COMMAND with --public-key ROLE=FILE, or the environment variables\n"
         "  KZ_SIGNER_<ROLE> and KZ_PUBLIC_KEY_<ROLE> (ROLE upper-case, e.g. KZ_SIGNER_IMAGE_ROOT), or in\n"
         "  the project file <role>_signer = [\"prog\", \"arg\"] with <role>_public = \"file.pub.der\" (run only\n"
         "  with --allow-project-commands). <role>_public also serves a signer from the command line or the\n"
         "  environment; --public-key and KZ_PUBLIC_KEY_<ROLE> win over it. A program name without a slash is\n"
         "  looked up on PATH only (on Windows with PATHEXT; never kzpack's folder or the current folder).\n"
         "  PINs never go into arguments, project files or kzpack's output:\n"
         "  the signer reads its PIN from its own environment (pkcs11-tool --pin env:NAME, openssl\n"
         "  -passin env:NAME) or prompts for it; literal ones (--pin 1234, -p1234, pass:..., env PIN=1234 ...)\n"
         "  are refused, and so is -passin stdin: the signer's stdin carries the digest.\n";
}

std::vector<std::string> SigningInputs(const SigningOptions& options) {
  std::vector<std::string> inputs;
  for (const char* role : {"bundle_signing", "bundle_root", "image_root"}) {
    inputs.push_back(ValueFor(options.publicKeys, role, "--public-key"));
    inputs.push_back(Environment(EnvironmentName("KZ_PUBLIC_KEY_", role)));
    for (const std::string& command :
         {ValueFor(options.signers, role, "--signer"), Environment(EnvironmentName("KZ_SIGNER_", role))})
      for (const std::string& file : ExistingFilesAmong(SplitAtBlanks(command))) inputs.push_back(file);
  }
  return inputs;
}

bool HasExternalSigner(const SigningOptions& options, const std::string& role) {
  return !ValueFor(options.signers, role, "--signer").empty() ||
         !Environment(EnvironmentName("KZ_SIGNER_", role)).empty();
}

std::string PublicKeyPathFor(const SigningOptions& options, const std::string& role,
                             const ProjectSigner* projectSigner) {
  std::string path = ValueFor(options.publicKeys, role, "--public-key");
  if (path.empty()) path = Environment(EnvironmentName("KZ_PUBLIC_KEY_", role));
  // The project's <role>_public serves whichever signer is used: it is the
  // key the stub (or the certificate) expects, not a part of the command.
  if (path.empty() && projectSigner) path = projectSigner->publicKeyPath;
  return path;
}

KeySource ResolveKey(const SigningOptions& options, const std::string& role, const std::string& keyFile,
                     const ProjectSigner* projectSigner) {
  KeySource key;
  key.role = role;
  const int timeout = TimeoutSeconds(options);
  const std::string publicKeyPath = PublicKeyPathFor(options, role, projectSigner);
  const std::string cliSigner = ValueFor(options.signers, role, "--signer");
  const std::string envName = EnvironmentName("KZ_SIGNER_", role);
  const std::string envSigner = Environment(envName);
  if (!cliSigner.empty()) {
    key.signer = ParseSignerText(cliSigner, "--signer " + role, timeout);
  } else if (!envSigner.empty()) {
    key.signer = ParseSignerText(envSigner, envName, timeout);
  } else if (projectSigner && !projectSigner->argv.empty()) {
    if (!options.allowProjectCommands)
      throw ToolError(projectSigner->origin + ": keys." + role + "_signer: the project file names a program to run (\"" +
                      projectSigner->argv[0] + "\"); run it only if you trust the file, with " +
                      kAllowProjectCommands);
    key.signer.argv = projectSigner->argv;
    key.signer.origin = projectSigner->origin + ": keys." + role + "_signer";
    key.signer.timeoutSeconds = timeout;
    RefusePinArguments(key.signer);
  }
  if (key.external()) {
    key.name = key.signer.origin;
    if (publicKeyPath.empty())
      throw ToolError(key.name + ": a signer needs the public key its signatures must verify under (--public-key " +
                          role + "=FILE, KZ_PUBLIC_KEY_" + EnvironmentName("", role) + ", or " + role +
                          "_public in the project file)",
                      kExitUsage);
    key.publicKey = LoadPublicKey(publicKeyPath);
  } else if (!keyFile.empty()) {
    key.name = keyFile;
    key.privateKey = LoadPrivateKey(keyFile);
    key.publicKey = PublicHalf(key.privateKey, keyFile);
  } else {
    return key;
  }
  RefuseDevelopmentKey(key.publicKey, key.name, options.developmentKeys);
  return key;
}

size_t SignatureBytes(const KeySource& key) {
  return (PublicKeyBits(key.publicKey) + 7) / 8;
}

std::vector<uint8_t> IssueCertificateWith(const std::string& goal, int32_t expiry,
                                          const std::vector<uint8_t>& subjectPublicKey, const KeySource& root) {
  std::vector<unsigned char> certificate;
  std::string error;
  if (!root.external()) {
    if (!IssueCertificate(goal, expiry, subjectPublicKey, root.privateKey, &certificate, &error))
      throw ToolError(root.name + ": " + error);
    return certificate;
  }
  if (goal.size() != 4) throw ToolError("a certificate goal is four characters");
  PublicKeyCertificate record;
  memcpy(record.goal, goal.data(), 4);
  record.expiry = expiry;
  record.keyDer = subjectPublicKey;
  const std::vector<unsigned char> message = CertificateSignedMessage(record);
  std::vector<uint8_t> digest(CryptoPP::SHA256::DIGESTSIZE);
  CryptoPP::SHA256().CalculateDigest(digest.data(), message.data(), message.size());
  record.signature = SignDigestExternally(root.signer, PurposeOf(root.role), SignScheme::kPssSha256, digest,
                                          root.publicKey);
  return SerializePublicKeyCertificate(record);
}

std::function<bool(const std::vector<unsigned char>&, std::vector<unsigned char>*, std::string*)> BundleDigestSigner(
    const KeySource& key) {
  return [key](const std::vector<unsigned char>& digest, std::vector<unsigned char>* signature, std::string* error) {
    try {
      *signature = SignDigestExternally(key.signer, PurposeOf(key.role), SignScheme::kPssSha256, digest,
                                        key.publicKey);
      return true;
    } catch (const ToolError& e) {
      if (error) *error = e.what();
      return false;
    }
  };
}

}  // namespace kzpack

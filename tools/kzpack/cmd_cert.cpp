// kzpack cert: a certificate for a bundle signing key, signed by the bundle root.
#include <CLI/CLI.hpp>

#include <memory>

#include "packing/certificate_writer.h"
#include "tools/kzpack/cli_support.h"
#include "tools/kzpack/commands.h"
#include "tools/kzpack/key_files.h"
#include "tools/kzpack/signing_keys.h"
#include "tools/kzpack/output_file.h"
#include "tools/kzpack/time_text.h"

namespace kzpack {
namespace {

struct CertOptions {
  std::string key;
  std::string rootKey;
  std::string goal = "IBND";
  std::string expiry = "2038-01-19T03:14:07Z";
  std::string output;
  bool force = false;
  SigningOptions signing;
};

void RunCert(const CertOptions& options) {
  if (options.goal.size() != 4) throw ToolError("--goal: must be exactly four characters (e.g. IBND)");
  const int32_t expiry = ParseTimeText(options.expiry, "--expiry");
  // The subject may be given by its public or its private half.
  std::vector<uint8_t> subject = PemToDer(ReadWholeFile(options.key));
  if (PublicKeyBits(subject) == 0) {
    if (PrivateKeyBits(subject) == 0) throw ToolError(options.key + ": not an RSA public or private key");
    subject = PublicHalf(subject, options.key);
  }
  const KeySource root = ResolveKey(options.signing, "bundle_root", options.rootKey);
  if (root.empty())
    throw ToolError("give the bundle root key: --root-key FILE, or --signer bundle_root=COMMAND", kExitUsage);
  const std::vector<uint8_t> certificate = IssueCertificateWith(options.goal, expiry, subject, root);
  WriteFileAtomically(options.output, certificate, options.force);
  Note(options.output + ": certificate for goal " + options.goal + ", expiry " + FormatTime(expiry) + ", " +
       std::to_string(certificate.size()) + " bytes");
}

}  // namespace

void RegisterCert(CLI::App& app) {
  auto options = std::make_shared<CertOptions>();
  CLI::App* cmd = app.add_subcommand("cert", "Certify a bundle signing key with the bundle root key");
  cmd->add_option("-k,--key", options->key, "The key to certify (public .pub.der or private .key.der)")->required();
  cmd->add_option("-r,--root-key", options->rootKey, "Bundle root private key (PKCS#8 DER)");
  AddSigningOptions(cmd, &options->signing, false);
  cmd->add_option("-g,--goal", options->goal, "Four-character purpose; installers require IBND")
      ->capture_default_str();
  cmd->add_option("-e,--expiry", options->expiry, "Expiry: YYYY-MM-DD, an ISO date-time, or seconds since 1970")
      ->capture_default_str();
  cmd->add_option("-o,--output", options->output, "Certificate file to write")->required();
  cmd->add_flag("-f,--force", options->force, "Replace an existing output file");
  cmd->footer(
      std::string("The expiry is recorded and signed; the installer does not enforce it.\n") + SignerHelp() +
      "Examples:\n"
      "  kzpack cert --key mykeys/bundle_signing.pub.der --root-key mykeys/bundle_root.key.der -o mykeys/signing.cert\n"
      "  kzpack cert -k signing.key.der -r root.key.der --expiry 2030-12-31 -o signing.cert");
  cmd->callback([options] { RunCert(*options); });
}

}  // namespace kzpack

// kzpack sign-image: add an "_SG2" record signing everything in front of it.
#include <CLI/CLI.hpp>

#include <memory>

#include "packing/chain_writer.h"
#include "tools/kzpack/cli_support.h"
#include "tools/kzpack/commands.h"
#include "tools/kzpack/image_signing.h"
#include "tools/kzpack/key_files.h"
#include "tools/kzpack/signing_keys.h"
#include "tools/kzpack/output_file.h"

namespace kzpack {
namespace {

struct SignOptions {
  std::string input;
  std::string output;
  std::string key;
  bool headerExcluded = false;
  bool section = false;
  bool force = false;
  SigningOptions signing;
};

void RunSign(const SignOptions& options) {
  const KeySource key = ResolveKey(options.signing, "image_root", options.key);
  if (key.empty()) throw ToolError("give the image root key: --key FILE, or --signer image_root=COMMAND", kExitUsage);
  const size_t recordSize = SignatureRecordSize(key);
  OutputFile output(options.output, options.force);
  ChainWriter writer(output.Open());
  std::string error;
  const bool begun = options.section
                         ? writer.BeginImageWithSection(WidePath(options.input), AttachmentRecordSize(recordSize), &error)
                         : writer.BeginAfterFile(WidePath(options.input), &error);
  if (!begun || !writer.Flush(&error)) throw ToolError(options.input + ": " + error);
  const int64_t signedLength = writer.position();
  const std::string record = MakeSignatureRecord(output.temp_path(), signedLength, options.headerExcluded, key);
  if (!writer.AppendAttachment("_SG2", reinterpret_cast<const uint8_t*>(record.data()), record.size(), &error) ||
      !writer.Finish(&error))
    throw ToolError(options.output + ": " + error);
  output.Commit();
  Note(options.output + ": \"_SG2\" over " + std::to_string(signedLength) + " bytes (" + (options.headerExcluded ? "header-excluded" : "plain") + ")");
}

}  // namespace

void RegisterSignImage(CLI::App& app) {
  auto options = std::make_shared<SignOptions>();
  CLI::App* cmd = app.add_subcommand("sign-image", "Add an embedded \"_SG2\" signature record to a PE file");
  cmd->add_option("input", options->input, "File to sign")->required();
  cmd->add_option("-o,--output", options->output, "Signed file to write")->required();
  cmd->add_option("-k,--key", options->key, "Image root private key (RSA, PKCS#8 DER)");
  AddSigningOptions(cmd, &options->signing, false);
  cmd->add_flag("--header-excluded", options->headerExcluded,
                "Leave out the PE header fields that Authenticode signing changes (CheckSum, certificate entry, ...)");
  cmd->add_flag("--section", options->section, "Put the record into a new last PE section .KZBNDL");
  cmd->add_flag("-f,--force", options->force, "Replace an existing output file");
  cmd->footer(
      std::string("The record signs every byte in front of it with RSA PKCS #1 v1.5 / SHA-1.\n") + SignerHelp() +
      "Examples:\n"
      "  kzpack sign-image setup.exe -o setup-signed.exe --key keys/image_root.key.der\n"
      "  kzpack sign-image Stub.exe -o signed.exe --key image_root.key.der --section --header-excluded\n"
      "  kzpack sign-image setup.exe -o signed.exe --signer image_root=token-sign --public-key "
      "image_root=image_root.pub.der");
  cmd->callback([options] { RunSign(*options); });
}

}  // namespace kzpack

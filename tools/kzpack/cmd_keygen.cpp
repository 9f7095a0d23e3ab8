// kzpack keygen: the three key pairs a vendor needs.
#include <CLI/CLI.hpp>

#include <memory>

#include "packing/certificate_writer.h"
#include "tools/kzpack/cli_support.h"
#include "tools/kzpack/commands.h"
#include "tools/kzpack/output_file.h"

namespace kzpack {
namespace {

struct KeygenOptions {
  std::string outDir = ".";
  std::vector<std::string> only;
  bool force = false;
};

struct KeyKind {
  const char* name;
  unsigned int bits;
  const char* purpose;
};
const KeyKind kKinds[] = {
    {"bundle_root", 2048, "certifies bundle signing keys (kzpack build stamps its .pub.der into the stub)"},
    {"image_root", 4096, "signs the embedded \"_SG2\" records (kzpack build stamps its .pub.der into the stub)"},
    {"bundle_signing", 2048, "signs bundles; certify it with 'kzpack cert'"},
};

void RunKeygen(const KeygenOptions& options) {
  std::vector<const KeyKind*> kinds;
  for (const KeyKind& kind : kKinds) {
    if (options.only.empty() || std::find(options.only.begin(), options.only.end(), kind.name) != options.only.end())
      kinds.push_back(&kind);
  }
  const std::string dir = options.outDir.empty() || options.outDir.back() == '/' || options.outDir.back() == '\\'
                              ? options.outDir
                              : options.outDir + "/";
  std::error_code ec;
  std::filesystem::create_directories(FsPath(dir.empty() ? "." : dir), ec);
  // Refuse before writing anything, so a half-made set never exists.
  for (const KeyKind* kind : kinds) {
    for (const char* suffix : {".key.der", ".pub.der"}) {
      const std::string path = dir + kind->name + suffix;
      if (!options.force && FileExists(path)) throw ToolError(path + ": already exists (use --force to replace it)");
    }
  }
  for (const KeyKind* kind : kinds) {
    std::vector<unsigned char> privateKey, publicKey;
    std::string error;
    if (!GenerateRsaKeyPair(kind->bits, &privateKey, &publicKey, &error)) throw ToolError(kind->name + (": " + error));
    WriteFileAtomically(dir + kind->name + ".key.der", privateKey, options.force);
    WriteFileAtomically(dir + kind->name + ".pub.der", publicKey, options.force);
    printf("%s%s.key.der / .pub.der: RSA-%u, %s\n", dir.c_str(), kind->name, kind->bits, kind->purpose);
  }
}

}  // namespace

void RegisterKeygen(CLI::App& app) {
  auto options = std::make_shared<KeygenOptions>();
  CLI::App* cmd = app.add_subcommand("keygen", "Make the key pairs: bundle root (RSA-2048), image root (RSA-4096), "
                                               "bundle signing key (RSA-2048)");
  cmd->add_option("-d,--out-dir", options->outDir, "Folder for the key files (created if missing)");
  cmd->add_option("--only", options->only, "Make only these: bundle_root, image_root, bundle_signing")
      ->check(CLI::IsMember({"bundle_root", "image_root", "bundle_signing"}));
  cmd->add_flag("-f,--force", options->force, "Replace existing key files");
  cmd->footer(
      "Writes NAME.key.der (private, PKCS#8 DER) and NAME.pub.der (public, DER SubjectPublicKeyInfo).\n"
      "Existing files are never replaced unless --force is given.\n"
      "Examples:\n"
      "  kzpack keygen --out-dir mykeys\n"
      "  kzpack keygen --out-dir mykeys --only bundle_signing --force");
  cmd->callback([options] { RunKeygen(*options); });
}

}  // namespace kzpack

// kzpack stub: a copy of a stub with the vendor's root public keys in its key
// block, so that installers signed with the vendor's keys run.
#include <CLI/CLI.hpp>

#include <memory>

#include "tools/kzpack/build_inputs.h"
#include "tools/kzpack/cli_support.h"
#include "tools/kzpack/commands.h"
#include "tools/kzpack/development_keys.h"
#include "tools/kzpack/key_files.h"
#include "tools/kzpack/output_file.h"
#include "tools/kzpack/stub_keys.h"

namespace kzpack {
namespace {

struct StubOptions {
  std::string imageRoot;
  std::string bundleRoot;
  std::string output;
  std::string from;
  bool developmentKeys = false;
};

void RunStub(const StubOptions& options) {
  const std::string from = options.from.empty() ? RequireInstalledStub("name a stub with --from") : options.from;
  if (!FileExists(from)) throw ToolError("--from: file not found: " + from, kExitUsage);
  RefuseOutputOverInputs("-o", options.output, {from, options.imageRoot, options.bundleRoot}, "Stub.exe");
  RootKeys roots;
  roots.imageRoot = BlockImageRoot(LoadPublicKey(options.imageRoot), options.imageRoot);
  roots.bundleRoot = BlockBundleRoot(LoadPublicKey(options.bundleRoot), options.bundleRoot);
  RefuseDevelopmentKey(roots.imageRoot, options.imageRoot, options.developmentKeys);
  RefuseDevelopmentKey(roots.bundleRoot, options.bundleRoot, options.developmentKeys);
  const LoadedStub stub = LoadStub(from);
  if (!stub.block.found())
    throw ToolError(from + ": has no key block (a stub built before key blocks; its roots are compiled in); use a "
                           "stub of this kzpack's version, or build one with your keys (KZ_*_ROOT_KEY)");
  WriteFileAtomically(options.output, StampRoots(stub, roots));
  Note(options.output + ": image root " + KeyFingerprint(roots.imageRoot) + ", bundle root " +
       KeyFingerprint(roots.bundleRoot) + " (SHA-256)");
}

}  // namespace

void RegisterStub(CLI::App& app) {
  auto options = std::make_shared<StubOptions>();
  CLI::App* cmd = app.add_subcommand("stub", "Write a copy of the stub with your root public keys in its key block");
  cmd->add_option("--image-root", options->imageRoot, "Image root public key (RSA-4096, DER or PEM)")->required();
  cmd->add_option("--bundle-root", options->bundleRoot, "Bundle root public key (RSA-2048, exponent 65537)")
      ->required();
  cmd->add_option("-o,--output", options->output, "The stub to write")->required();
  cmd->add_option("--from", options->from,
                  "The stub to copy (default: the one installed with kzpack: KZ_STUB, else Stub.exe beside kzpack, "
                  "else ../share/kzpack/Stub.exe from kzpack's folder)");
  cmd->add_flag("--development-keys", options->developmentKeys,
                "Allow the development keys from keys/ (tests and demos only: anyone can sign with them)");
  cmd->footer(
      "The stub checks installers against two root public keys held in one key block of its image: the\n"
      "image root (verifies the embedded \"_SG2\" signatures) and the bundle root (verifies the bundle's\n"
      "certificate). The keys are written in their canonical DER form; the block lies in front of the\n"
      "installer's signature record, so that signature covers them. `kzpack build` stamps the project's\n"
      "roots by itself; this command is for keeping a stamped stub, e.g. to check or ship it.\n"
      "Refused: a stub that is already an installer (a .KZBNDL section, attachments or an Authenticode\n"
      "signature), a key block missing, doubled or not in canonical form, keys of the wrong size, and\n"
      "the development keys without --development-keys. Nothing is written on failure.\n"
      "Examples:\n"
      "  kzpack stub --image-root mykeys/image_root.pub.der --bundle-root mykeys/bundle_root.pub.der -o Stub.exe\n"
      "  kzpack stub --from build/win32/InstallerLogic/Stub.exe --image-root image_root.pub.der \\\n"
      "      --bundle-root bundle_root.pub.der -o MyStub.exe\n"
      "  kzpack inspect MyStub.exe            # shows the SHA-256 fingerprints of the roots it holds");
  cmd->callback([options] { RunStub(*options); });
}

}  // namespace kzpack

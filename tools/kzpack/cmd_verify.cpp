// kzpack verify: exit 0 exactly when the installer would start its setup on
// 64-bit and on 32-bit Windows.
#include <CLI/CLI.hpp>

#include <memory>

#include "tools/kzpack/cli_support.h"
#include "tools/kzpack/commands.h"
#include "tools/kzpack/development_keys.h"
#include "tools/kzpack/installer_check.h"
#include "tools/kzpack/key_files.h"

namespace kzpack {

RootKeys RootsFromOptions(const std::string& bundleRoot, const std::string& imageRoot) {
  RootKeys roots = BuiltInRootKeys();
  if (!bundleRoot.empty()) roots.bundleRoot = LoadPublicKey(bundleRoot);
  if (!imageRoot.empty()) roots.imageRoot = LoadPublicKey(imageRoot);
  return roots;
}

namespace {

struct VerifyOptions {
  std::string installer;
  std::string bundleRoot;
  std::string imageRoot;
};

void RunVerify(const VerifyOptions& options) {
  const RootKeys roots = RootsFromOptions(options.bundleRoot, options.imageRoot);
  ScratchDir scratch;
  const InstallerVerdict verdict = CheckInstaller(options.installer, roots, scratch.path());
  if (!Output().quiet) {
    for (const CheckStep& step : verdict.steps)
      printf("%-28s %-4s %s\n", step.what.c_str(), step.ok ? "ok" : "FAIL", step.detail.c_str());
  }
  // Its own line, before the verdict, whatever the verdict and --quiet.
  const std::string development = DevelopmentKeyLine(DevelopmentKeyFindings(options.installer));
  if (!development.empty()) printf("%s\n", development.c_str());
  if (!verdict.ok()) throw ToolError(options.installer + ": would not run setup: " + verdict.reason);
  printf("%s: runs setup on 64-bit and 32-bit Windows\n", options.installer.c_str());
}

}  // namespace

void RegisterVerify(CLI::App& app) {
  auto options = std::make_shared<VerifyOptions>();
  CLI::App* cmd = app.add_subcommand("verify", "Check an installer as it checks itself; exit 0 when it would run setup");
  cmd->add_option("installer", options->installer, "Installer file")->required();
  cmd->add_option("--bundle-root", options->bundleRoot, "Bundle root public key (DER); default: built in");
  cmd->add_option("--image-root", options->imageRoot, "Image root public key (DER); default: built in");
  cmd->footer(
      "Checks, in the installer's order: the run type, the installer's embedded signature, the setup\n"
      "program and bundle attachments, the bundle's certificate (goal IBND) and signature, the install\n"
      "script on 64-bit and 32-bit Windows (every selected line must extract), and the setup program's\n"
      "embedded signature. Exit code 0 when all pass, 1 with the first failure otherwise.\n"
      "A line starting \"DEVELOPMENT KEYS\" says what trusts or is signed with the keys from keys/.\n"
      "Examples:\n"
      "  kzpack verify Installer.exe\n"
      "  kzpack verify Installer.exe --image-root mykeys/image_root.pub.der --bundle-root mykeys/bundle_root.pub.der");
  cmd->callback([options] { RunVerify(*options); });
}

}  // namespace kzpack

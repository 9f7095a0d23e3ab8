// kzpack verify: exit 0 exactly when the installer would start its setup on
// 64-bit and on 32-bit Windows, and its stub holds the roots the caller
// trusts (the pinned roots).
#include <CLI/CLI.hpp>

#include <memory>

#include "tools/kzpack/cli_support.h"
#include "tools/kzpack/commands.h"
#include "tools/kzpack/development_keys.h"
#include "tools/kzpack/installer_check.h"
#include "tools/kzpack/key_files.h"
#include "tools/kzpack/project.h"
#include "tools/kzpack/stub_keys.h"

namespace kzpack {
namespace {

struct VerifyOptions {
  std::string installer;
  std::string bundleRoot;
  std::string imageRoot;
  std::string project;
  bool unpinned = false;
};

struct Pin {
  std::vector<uint8_t> key;
  std::string from;  // where it came from, for the message
};

// The public half the project names for a role: its key file's, else <role>_public.
Pin ProjectPin(const Project& project, const std::string& keyFile, const std::string& role) {
  if (!keyFile.empty()) return {PublicHalf(LoadPrivateKey(keyFile), keyFile), project.path};
  const auto signer = project.signers.find(role);
  if (signer == project.signers.end() || signer->second.publicKeyPath.empty())
    throw ToolError("--project " + project.path + ": names no " + role + " key to pin (keys." + role + " or keys." +
                        role + "_public)",
                    kExitUsage);
  return {LoadPublicKey(signer->second.publicKeyPath), project.path};
}

// Per root: the option, else the project's key, else kzpack's own.
void PinnedRoots(const VerifyOptions& options, Pin* bundleRoot, Pin* imageRoot) {
  const RootKeys builtIn = BuiltInRootKeys();
  *bundleRoot = {builtIn.bundleRoot, "built into kzpack"};
  *imageRoot = {builtIn.imageRoot, "built into kzpack"};
  if (!options.project.empty()) {
    const Project project = LoadProject(options.project);
    *imageRoot = ProjectPin(project, project.imageRootKey, "image_root");
    *bundleRoot = ProjectPin(project, project.bundleRootKey, "bundle_root");
  }
  if (!options.imageRoot.empty()) *imageRoot = {LoadPublicKey(options.imageRoot), "--image-root"};
  if (!options.bundleRoot.empty()) *bundleRoot = {LoadPublicKey(options.bundleRoot), "--bundle-root"};
}

// "" when the stamped roots are the pinned ones, else the one line that says how they differ.
std::string PinMismatch(const RootKeys& stamped, const Pin& bundleRoot, const Pin& imageRoot) {
  std::string differences;
  const auto compare = [&](const char* role, const std::vector<uint8_t>& have, const Pin& pin) {
    if (CanonicalPublicKey(pin.key) == have) return;
    differences += std::string(differences.empty() ? "" : "; ") + role + " " + KeyFingerprint(have) + ", pinned " +
                   KeyFingerprint(CanonicalPublicKey(pin.key)) + " (" + pin.from + ")";
  };
  compare("image root", stamped.imageRoot, imageRoot);
  compare("bundle root", stamped.bundleRoot, bundleRoot);
  return differences;
}

void RunVerify(const VerifyOptions& options) {
  if (options.unpinned && !(options.imageRoot.empty() && options.bundleRoot.empty() && options.project.empty()))
    throw ToolError("--unpinned: checks against the file's own roots; give no --image-root, --bundle-root or --project",
                    kExitUsage);
  if (!FileExists(options.installer)) throw ToolError(options.installer + ": file not found");
  const StubKeyBlock block = ReadStubKeyBlockOfFile(options.installer);
  if (block.state == KeyBlockState::kDoubled || block.state == KeyBlockState::kMalformed)
    throw ToolError(options.installer + ": " + block.problem + "; the stub's roots cannot be read");
  if (options.unpinned && !block.found())
    throw ToolError(options.installer + ": has no key block (its stub was built before key blocks), so it has no "
                                        "roots of its own to check against; pin them with --image-root and --bundle-root");
  Pin bundlePin, imagePin;
  if (!options.unpinned) PinnedRoots(options, &bundlePin, &imagePin);
  // What the stub will use: its stamped roots; a stub without a block was
  // built with its roots, which only the pins can name.
  const RootKeys roots = block.found() ? block.roots : RootKeys{bundlePin.key, imagePin.key};
  ScratchDir scratch;
  const InstallerVerdict verdict = CheckInstaller(options.installer, roots, scratch.path());
  if (!Output().quiet) {
    if (block.found()) {
      printf("%-28s sha256 %s\n", "image root (stamped)", KeyFingerprint(block.roots.imageRoot).c_str());
      printf("%-28s sha256 %s\n", "bundle root (stamped)", KeyFingerprint(block.roots.bundleRoot).c_str());
    } else {
      printf("%-28s %s\n", "root keys", "no key block: compiled into the stub; checked against the pinned roots");
    }
    for (const CheckStep& step : verdict.steps)
      printf("%-28s %-4s %s\n", step.what.c_str(), step.ok ? "ok" : "FAIL", step.detail.c_str());
  }
  // Its own line, before the verdict, whatever the verdict and --quiet.
  const std::string development = DevelopmentKeyLine(DevelopmentKeyFindings(options.installer));
  if (!development.empty()) printf("%s\n", development.c_str());
  if (block.found() && !options.unpinned) {
    const std::string mismatch = PinMismatch(block.roots, bundlePin, imagePin);
    if (!mismatch.empty())
      throw ToolError(options.installer + ": its stub holds other roots than the pinned ones: " + mismatch +
                      "; pin the roots you trust with --image-root and --bundle-root (or --project FILE)");
  }
  if (!verdict.ok()) throw ToolError(options.installer + ": would not run setup: " + verdict.reason);
  if (options.unpinned)
    printf("%s: runs setup on 64-bit and 32-bit Windows, checked against the roots stamped in it (unpinned: this "
           "proves the file is consistent, nothing about who made it)\n",
           options.installer.c_str());
  else
    printf("%s: runs setup on 64-bit and 32-bit Windows\n", options.installer.c_str());
}

}  // namespace

void RegisterVerify(CLI::App& app) {
  auto options = std::make_shared<VerifyOptions>();
  CLI::App* cmd = app.add_subcommand("verify", "Check an installer as it checks itself, and its roots against yours; "
                                               "exit 0 when it would run setup");
  cmd->add_option("installer", options->installer, "Installer file")->required();
  cmd->add_option("--image-root", options->imageRoot, "Pin the image root public key (DER or PEM)");
  cmd->add_option("--bundle-root", options->bundleRoot, "Pin the bundle root public key (DER or PEM)");
  cmd->add_option("--project", options->project,
                  "Pin the public halves of this project file's root keys (or its <role>_public files)");
  cmd->add_flag("--unpinned", options->unpinned,
                "Check only that the installer is consistent with the roots stamped in it");
  cmd->footer(
      "Checks, in the installer's order: the run type, the installer's embedded signature, the setup\n"
      "program and bundle attachments, the bundle's certificate (goal IBND) and signature, the install\n"
      "script on 64-bit and 32-bit Windows (every selected line must extract), and the setup program's\n"
      "embedded signature. The signatures are checked against the roots stamped in the installer's stub\n"
      "(what the stub itself uses; their SHA-256 fingerprints are printed), and those roots must be the\n"
      "pinned ones: --image-root / --bundle-root, else the keys of --project, else the roots kzpack was\n"
      "built with. Anyone who can rewrite the file can stamp their own roots and sign it again, so pin\n"
      "your roots in CI. --unpinned checks consistency only, which proves nothing about who made the file.\n"
      "A stub built before key blocks has its roots compiled in: it is checked against the pinned roots.\n"
      "Exit code 0 when all pass, 1 with the first failure otherwise (other roots than the pinned ones\n"
      "first). A line starting \"DEVELOPMENT KEYS\" says what trusts or is signed with the keys from keys/.\n"
      "Examples:\n"
      "  kzpack verify Installer.exe --image-root mykeys/image_root.pub.der --bundle-root mykeys/bundle_root.pub.der\n"
      "  kzpack verify Installer.exe --project myapp.toml\n"
      "  kzpack verify Installer.exe --unpinned");
  cmd->callback([options] { RunVerify(*options); });
}

}  // namespace kzpack

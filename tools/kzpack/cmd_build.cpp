// kzpack build: the whole pipeline from a project file.
#include <CLI/CLI.hpp>

#include <memory>

#include "tools/kzpack/build_inputs.h"
#include "tools/kzpack/cli_support.h"
#include "tools/kzpack/commands.h"
#include "tools/kzpack/development_keys.h"
#include "tools/kzpack/installer_builder.h"
#include "tools/kzpack/project.h"
#include "tools/kzpack/sbom.h"
#include "tools/kzpack/stub_keys.h"

namespace kzpack {
namespace {

struct BuildOptions {
  std::string project;
  std::string output;
  ProjectOverrides overrides;
  SigningOptions signing;
};

void RunBuild(BuildOptions options) {
  for (const char* role : {"bundle_signing", "bundle_root", "image_root"})
    if (HasExternalSigner(options.signing, role)) options.overrides.externalRoles.insert(role);
  Project project = LoadProject(options.project, options.overrides);
  if (project.stub.empty())
    project.stub = RequireInstalledStub("name one with stub = \"...\" in the project file or --stub");
  // Neither output may replace anything the build reads, nor the other output.
  std::vector<std::string> inputs = BuildInputs(project, options.signing);
  RefuseOutputOverInputs("-o", options.output, inputs, "Installer.exe");
  if (!project.sbom.empty()) {
    inputs.push_back(options.output);
    RefuseOutputOverInputs("--sbom", project.sbom, inputs, "bom.cdx.json");
    SbomTime();  // a malformed SOURCE_DATE_EPOCH stops the build before it starts
  }
  const BuildSummary summary = BuildInstaller(project, options.output, options.signing);
  Note(options.output + ": " + std::to_string(summary.installerSize) + " bytes, run type \"" + project.runType +
       "\", " + std::to_string(summary.entries) + " bundle entries" +
       (summary.authenticode ? ", Authenticode-signed" : ""));
  // On its own line, --quiet or not: a release must not go out like this.
  const std::string development = DevelopmentKeyLine(summary.developmentFindings);
  if (!development.empty()) fprintf(stderr, "kzpack: %s\n", development.c_str());
}

}  // namespace

void RegisterBuild(CLI::App& app) {
  auto options = std::make_shared<BuildOptions>();
  CLI::App* cmd = app.add_subcommand("build", "Build an installer from a project file (TOML)");
  cmd->add_option("project", options->project, "Project file")->required();
  cmd->add_option("-o,--output", options->output, "Installer to write")->required();
  cmd->add_option("--stub", options->overrides.stub, "Use this stub instead of the project's");
  cmd->add_option("--setup", options->overrides.setup, "Use this setup program instead of the project's");
  cmd->add_option("--run-type", options->overrides.runType, "Use this run type instead of the project's");
  cmd->add_option("--sbom", options->overrides.sbom,
                  "Also write a CycloneDX 1.5 JSON bill of materials of the installer (project key: sbom)");
  AddSigningOptions(cmd, &options->signing, true);
  cmd->footer(std::string(
                  "The stub: the project's (stub =, --stub) or the one installed with kzpack; its key block gets\n"
                  "the public halves of the project's image root and bundle root keys (for a project with\n"
                  "bundle_certificate, the key bundle_root_public names), so installers signed with your keys\n"
                  "run. A stub built before key blocks is used as it is: it must have been built with the roots.\n"
                  "Steps: the signed bundle (install_script first, then the files); the setup program with an\n"
                  "\"_SG2\" record and the bundle (\"IBND\") appended; the stub with a new .KZBNDL section holding\n"
                  "[\"_SG1\"], \"_SG2\" (header-excluded, so it survives Authenticode), \"TYPE\" and \"LOAD\"; optional\n"
                  "Authenticode via osslsigncode; then the result is checked as the installer would check it.\n"
                  "The output appears only when every step succeeded. The same inputs and keys give the same\n"
                  "bytes, except the RSA-PSS salts of the bundle signature (and an issued certificate) and the\n"
                  "Authenticode timestamp.\n\n"
                  "Bill of materials (--sbom FILE, or sbom = \"FILE\" in the project): a CycloneDX 1.5 JSON document\n"
                  "written beside the installer and only with it. metadata.component is the installer (SHA-256 of\n"
                  "the file as written); its components: the setup program as the installer unpacks it, holding\n"
                  "every bundle entry with the SHA-256 of its content. Properties \"kzpack:...\" give sizes, the\n"
                  "embedded signatures' state, each entry's targets and the architecture, Windows version and run\n"
                  "type of the script lines that write it (up to the first failing line), and the SHA-256 fingerprints of the image root, bundle\n"
                  "root and bundle signing keys (and whether they are development keys). An entry is named by\n"
                  "[file.identity] (name, version, purl, license, supplier) when given, else by its entry name and\n"
                  "hashes only. The timestamp is SOURCE_DATE_EPOCH when set; the serial number is new each time.\n"
                  "`kzpack inspect --sbom FILE [--project FILE]` describes a finished installer the same way.\n\n") +
              ProjectFormatHelp() + "\n" + SignerHelp() +
              "\nExamples:\n"
              "  kzpack build demo/project.toml -o Installer.exe\n"
              "  kzpack build project.toml -o Installer.exe --stub build/win32/InstallerLogic/Stub.exe\n"
              "  kzpack build demo/project.toml -o Demo.exe --development-keys\n"
              "  SOURCE_DATE_EPOCH=$(git log -1 --format=%ct) kzpack build app.toml -o App.exe --sbom App.cdx.json\n"
              "  KZ_TOKEN_PIN=... kzpack build app.toml -o App.exe --signer image_root=token-sign \\\n"
              "      --public-key image_root=keys/image_root.pub.der");
  cmd->callback([options] { RunBuild(*options); });
}

}  // namespace kzpack

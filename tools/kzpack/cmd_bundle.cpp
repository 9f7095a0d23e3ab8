// kzpack bundle create | list | extract | verify.
#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <memory>
#include <set>

#include "bundle/bundle.h"
#include "bundle/format.h"
#include "packing/certificate_writer.h"
#include "tools/kzpack/bundle_scan.h"
#include "tools/kzpack/cli_support.h"
#include "tools/kzpack/commands.h"
#include "tools/kzpack/installer_builder.h"
#include "tools/kzpack/installer_check.h"
#include "tools/kzpack/key_files.h"
#include "tools/kzpack/signing_keys.h"
#include "tools/kzpack/output_file.h"
#include "tools/kzpack/script_view.h"
#include "tools/kzpack/time_text.h"

namespace kzpack {
namespace {

struct CreateOptions {
  std::string output;
  std::string signingKey, certificate, rootKey, expiry = "2038-01-19T03:14:07Z";
  std::string script;
  std::vector<std::string> files;    // PATH (entry named after the file)
  std::vector<std::string> entries;  // NAME=PATH
  uint32_t chunkSize = 1024 * 1024;
  int level = 9;
  bool force = false;
  SigningOptions signing;
};

struct ReadOptions {
  std::string bundle;
  std::string goal = "IBND";
  std::string bundleRoot;  // public key; default: the built-in one
  std::string dir = ".";
  std::vector<std::string> names;
  bool json = false;
  bool force = false;
};

std::vector<uint8_t> RootFor(const ReadOptions& options) {
  return options.bundleRoot.empty() ? BuiltInRootKeys().bundleRoot : LoadPublicKey(options.bundleRoot);
}

std::string BaseName(const std::string& path) {
  const size_t slash = path.find_last_of("/\\");
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

void RunCreate(const CreateOptions& options) {
  const bool rootGiven = !options.rootKey.empty() || HasExternalSigner(options.signing, "bundle_root");
  if (options.certificate.empty() == !rootGiven)
    throw ToolError("give exactly one of --certificate and --root-key (or --signer bundle_root=...)", kExitUsage);
  const KeySource signingKey = ResolveKey(options.signing, "bundle_signing", options.signingKey);
  if (signingKey.empty())
    throw ToolError("give the signing key: --signing-key FILE, or --signer bundle_signing=COMMAND", kExitUsage);
  std::vector<uint8_t> certificate;
  if (!options.certificate.empty()) {
    certificate = ReadWholeFile(options.certificate);
  } else {
    const KeySource root = ResolveKey(options.signing, "bundle_root", options.rootKey);
    certificate =
        IssueCertificateWith("IBND", ParseTimeText(options.expiry, "--expiry"), signingKey.publicKey, root);
  }
  std::vector<BundleInput> inputs;
  std::set<std::string> names;
  auto add = [&](const std::string& name, const std::string& path, std::vector<uint8_t> content) {
    if (name.empty() || name.size() > 255) throw ToolError("entry \"" + name + "\": names are 1 to 255 bytes");
    if (!names.insert(name).second) throw ToolError("entry \"" + name + "\" is given twice");
    if (!path.empty() && !FileExists(path)) throw ToolError(path + ": file not found");
    inputs.push_back({name, path, std::move(content)});
  };
  if (!options.script.empty()) add("install_script", options.script, {});
  for (const std::string& path : options.files) add(BaseName(path), path, {});
  for (const std::string& pair : options.entries) {
    const size_t eq = pair.find('=');
    if (eq == std::string::npos) throw ToolError("--entry " + pair + ": expected NAME=PATH", kExitUsage);
    add(pair.substr(0, eq), pair.substr(eq + 1), {});
  }
  OutputFile output(options.output, options.force);
  if (!options.force && FileExists(options.output))
    throw ToolError(options.output + ": already exists (use --force to replace it)");
  EnsureParentDir(options.output);
  WriteBundle(output.temp_path(), inputs, options.chunkSize, options.level, signingKey, certificate);
  output.Commit();
  Note(options.output + ": " + std::to_string(inputs.size()) + " entries, " +
       std::to_string(FileSizeOf(options.output)) + " bytes");
}

void RunList(const ReadOptions& options) {
  const BundleScan scan = ScanBundle(options.bundle, options.goal, RootFor(options), bundle_format::kInstallerSizeLimit);
  if (!scan.headerValid) throw ToolError(options.bundle + ": not a bundle (wrong magic or version)");
  if (options.json) {
    nlohmann::json entries = nlohmann::json::array();
    for (const ScannedEntry& entry : scan.entries)
      entries.push_back({{"name", entry.name}, {"size", entry.size}, {"chunks", entry.chunks.size()}});
    printf("%s\n", nlohmann::json{{"entries", entries}}.dump(2).c_str());
    return;
  }
  printf("%-40s %12s %7s\n", "NAME", "SIZE", "CHUNKS");
  for (const ScannedEntry& entry : scan.entries)
    printf("%-40s %12llu %7zu\n", entry.name.c_str(), static_cast<unsigned long long>(entry.size), entry.chunks.size());
  for (const std::string& problem : scan.structureProblems) printf("note: %s\n", problem.c_str());
}

void RunExtract(const ReadOptions& options) {
  const BundleScan scan = ScanBundle(options.bundle, options.goal, RootFor(options), bundle_format::kInstallerSizeLimit);
  if (!scan.headerValid) throw ToolError(options.bundle + ": not a bundle (wrong magic or version)");
  if (!scan.trusted())
    Warn(options.bundle + ": extracting from an untrusted bundle: " + scan.signatureProblem);
  std::set<std::string> wanted(options.names.begin(), options.names.end());
  size_t written = 0;
  for (const ScannedEntry& entry : scan.entries) {
    if (!wanted.empty() && !wanted.count(entry.name)) continue;
    wanted.erase(entry.name);
    if (!IsSafeScriptTarget(entry.name)) throw ToolError("entry \"" + entry.name + "\" would leave the output folder");
    std::string relative = entry.name;
    for (char& c : relative)
      if (c == '\\') c = '/';
    const std::filesystem::path target = FsPath(options.dir) / FsPath(relative);
    std::error_code ec;
    std::filesystem::create_directories(target.parent_path(), ec);
    WriteFileAtomically(target.u8string(), ReadScannedEntry(options.bundle, entry), options.force);
    ++written;
  }
  if (!wanted.empty()) throw ToolError(options.bundle + ": no entry \"" + *wanted.begin() + "\"");
  Note(std::to_string(written) + " entries written to " + options.dir);
}

void RunVerify(const ReadOptions& options) {
  if (options.goal.size() != 4) throw ToolError("--goal: must be exactly four characters", kExitUsage);
  const std::vector<uint8_t> root = RootFor(options);
  const BundleScan scan = ScanBundle(options.bundle, options.goal, root, bundle_format::kInstallerSizeLimit);
  bool accepted;
  if (root == BuiltInRootKeys().bundleRoot) {
    // The installer's own reader decides.
    Bundle bundle;
    bundle.SetCertificateGoal(options.goal);
    bundle.SetSizeLimit(bundle_format::kInstallerSizeLimit);
    accepted = bundle.Open(WidePath(options.bundle));
    bundle.Close();
  } else {
    accepted = scan.trusted() && !scan.walkFailed;
  }
  if (accepted) {
    printf("%s: valid (certificate goal %.4s, %zu entries)\n", options.bundle.c_str(), scan.certificate.goal,
           scan.entries.size());
    return;
  }
  std::string why = scan.signatureProblem;
  if (why.empty() && !scan.structureProblems.empty()) why = scan.structureProblems.front();
  if (why.empty()) why = "refused by the bundle reader";
  throw ToolError(options.bundle + ": not valid: " + why);
}

void AddReadOptions(CLI::App* cmd, const std::shared_ptr<ReadOptions>& options) {
  cmd->add_option("bundle", options->bundle, "Bundle file")->required();
  cmd->add_option("--goal", options->goal, "Certificate goal the reader requires")->capture_default_str();
  cmd->add_option("--bundle-root", options->bundleRoot,
                  "Bundle root public key (DER); default: the one kzpack was built with");
}

}  // namespace

void RegisterBundle(CLI::App& app) {
  CLI::App* bundle = app.add_subcommand("bundle", "Create, list, extract or verify an install bundle");
  bundle->require_subcommand(1, 1);
  bundle->footer(
      "Examples:\n"
      "  kzpack bundle create -o app.ibnd --signing-key k/bundle_signing.key.der --certificate k/signing.cert \\\n"
      "      --script install_script.txt files/app.dll --entry docs\\\\readme.txt=README.txt\n"
      "  kzpack bundle list app.ibnd\n"
      "  kzpack bundle extract app.ibnd -d out\n"
      "  kzpack bundle verify app.ibnd --goal IBND");

  auto create = std::make_shared<CreateOptions>();
  CLI::App* c = bundle->add_subcommand("create", "Make a signed bundle from files and an install script");
  c->add_option("-o,--output", create->output, "Bundle file to write")->required();
  c->add_option("-s,--signing-key", create->signingKey, "Bundle signing private key (PKCS#8 DER)");
  c->add_option("-c,--certificate", create->certificate, "Certificate of the signing key (from 'kzpack cert')");
  c->add_option("-r,--root-key", create->rootKey, "Bundle root private key: issue a certificate (goal IBND) instead");
  c->add_option("--expiry", create->expiry, "Expiry of an issued certificate")->capture_default_str();
  c->add_option("--script", create->script, "Install script file, stored as the \"install_script\" entry");
  c->add_option("files", create->files, "Files, each stored under its file name");
  c->add_option("-e,--entry", create->entries, "NAME=PATH: a file stored under another name");
  c->add_option("--chunk-size", create->chunkSize, "Bytes per compressed chunk")
      ->check(CLI::Range(1u, static_cast<uint32_t>(bundle_format::kInstallerSizeLimit)))
      ->capture_default_str();
  c->add_option("-l,--level", create->level, "zlib compression level")->check(CLI::Range(0, 9))->capture_default_str();
  c->add_flag("-f,--force", create->force, "Replace an existing output file");
  AddSigningOptions(c, &create->signing, false);
  c->footer(std::string(SignerHelp()) +
            "Example:\n  kzpack bundle create -o app.ibnd -s signing.key.der -c signing.cert --script script.txt app.dll");
  c->callback([create] { RunCreate(*create); });

  auto list = std::make_shared<ReadOptions>();
  CLI::App* l = bundle->add_subcommand("list", "Show entry names, sizes and chunk counts");
  AddReadOptions(l, list);
  l->add_flag("--json", list->json, "JSON output");
  l->footer("Example:\n  kzpack bundle list app.ibnd");
  l->callback([list] { RunList(*list); });

  auto extract = std::make_shared<ReadOptions>();
  CLI::App* x = bundle->add_subcommand("extract", "Write entries into a folder");
  AddReadOptions(x, extract);
  x->add_option("-d,--dir", extract->dir, "Output folder")->capture_default_str();
  x->add_option("-n,--name", extract->names, "Only these entries");
  x->add_flag("-f,--force", extract->force, "Replace existing files");
  x->footer("Example:\n  kzpack bundle extract app.ibnd -d out -n install_script");
  x->callback([extract] { RunExtract(*extract); });

  auto verify = std::make_shared<ReadOptions>();
  CLI::App* v = bundle->add_subcommand("verify", "Answer as the installer's bundle reader would, and say why not");
  AddReadOptions(v, verify);
  v->footer("Exit code 0 when valid, 1 with the reason otherwise.\nExample:\n  kzpack bundle verify app.ibnd --goal IBND");
  v->callback([verify] { RunVerify(*verify); });
}

}  // namespace kzpack

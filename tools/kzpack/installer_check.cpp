#include "tools/kzpack/installer_check.h"

#include <cryptopp/rsa.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <random>
#include <set>
#include <system_error>

#include "attachments/extract.h"
#include "bundle/bundle.h"
#include "bundle/certificate.h"
#include "bundle/format.h"
#include "install/install_checks.h"
#include "platform/platform.h"
#include "integrity/embedded_signature.h"
#include "support/root_key_block.h"
#include "tools/kzpack/cli_support.h"
#include "tools/kzpack/interrupt_cleanup.h"

namespace kzpack {
namespace {

// Adds a step; the first failing one becomes the verdict's reason.
bool Step(InstallerVerdict* verdict, const std::string& what, bool ok, const std::string& detail) {
  verdict->steps.push_back({what, ok, detail});
  if (!ok && verdict->reason.empty()) verdict->reason = what + ": " + detail;
  return ok;
}

std::string DescribeSignature(const EmbeddedSignatureReport& report) {
  if (!report.valid()) return report.problem;
  std::string text = report.plainPasses ? "valid (plain attempt passes)" : "valid (header-excluded attempt passes)";
  text += ", " + std::to_string(report.signatureBytes) + "-byte signature over " +
          std::to_string(report.signedLength) + " bytes";
  return text;
}

// With the built-in image root the installer's own check has the last word;
// the report of kzpack's walk explains it.
void CrossCheckSignature(const std::string& path, const RootKeys& roots, EmbeddedSignatureReport* report) {
  if (roots.imageRoot != BuiltInRootKeys().imageRoot) return;
  const bool installerSays = VerifyEmbeddedSignature(WidePath(path), false);
  if (installerSays == report->valid()) return;
  report->plainPasses = false;
  report->excludedPasses = installerSays;
  report->problem = installerSays ? "" : "refused by the installer's signature check";
}

// The bundle step: the reader's verdict, explained by the independent walk.
// A bundle the reader accepted needs no explaining: of it only the trailer is
// read (its certificate), since the reader has just checked every byte.
void JudgeBundle(bool opened, size_t readerEntries, const std::string& bundlePath, const RootKeys& roots,
                 InstallerVerdict* verdict) {
  verdict->haveBundle = true;
  if (opened) {
    verdict->bundle = ScanBundleTrailer(bundlePath, "IBND", roots.bundleRoot);
    verdict->bundle.signatureValid = true;
    verdict->bundle.digestMatches = true;
    Step(verdict, "bundle", true, std::to_string(readerEntries) + " entries, certificate and signature valid");
    return;
  }
  verdict->bundle = ScanBundle(bundlePath, "IBND", roots.bundleRoot, bundle_format::kInstallerSizeLimit);
  const BundleScan& scan = verdict->bundle;
  std::string why = scan.signatureProblem;
  if (why.empty() && !scan.structureProblems.empty()) why = scan.structureProblems.front();
  if (why.empty()) why = "refused by the bundle reader";
  Step(verdict, "bundle", opened,
       opened ? std::to_string(scan.entries.size()) + " entries, certificate and signature valid" : why);
}

}  // namespace

ScriptJudgement JudgeScript(Bundle& bundle, const install::ScriptReading& script, const std::string& runType,
                            const std::string& scratchFile) {
  ScriptJudgement judgement;
  std::set<std::string> names;
  for (const auto& entry : bundle.entries()) names.insert(entry->name);
  judgement.lines =
      ViewScript(script.lines, runType, [&](const std::string& name) { return names.count(name) > 0; });
  std::map<std::string, bool> extracted;
  for (ScriptLineView& line : judgement.lines) {
    for (size_t k = 0; k < line.problemOn.size(); ++k) {
      if (!line.selected[k] || !line.problemOn[k].empty()) continue;
      const std::string& name = line.fields[1];
      if (!extracted.count(name)) extracted[name] = bundle.ExtractEntry(WidePath(scratchFile), name);
      if (!extracted[name]) line.problemOn[k] = "entry \"" + name + "\" cannot be extracted (corrupt chunk data)";
      if (line.problem.empty()) line.problem = line.problemOn[k];
    }
  }
  judgement.failures = ScriptFailures(judgement.lines);
  if (!script.whole)
    for (std::string& failure : judgement.failures)
      failure = "the install script cannot be read to its end (a chunk fails to inflate); the installer stops";
  return judgement;
}

RootKeys BuiltInRootKeys() {
  RootKeys roots;
  const RootKeyView bundleRoot = BundleRootKey();
  const RootKeyView imageRoot = ImageRootKey();
  roots.bundleRoot.assign(bundleRoot.der, bundleRoot.der + bundleRoot.size);
  roots.imageRoot.assign(imageRoot.der, imageRoot.der + imageRoot.size);
  return roots;
}

ScratchDir::ScratchDir(uint64_t expectedBytes) {
  std::error_code ec;
  const std::string memory = expectedBytes > 0 ? platform::MemoryBackedTempRoot(expectedBytes) : "";
  const std::filesystem::path base = memory.empty() ? std::filesystem::temp_directory_path(ec) : FsPath(memory);
  if (ec) throw ToolError("no temporary folder: " + ec.message());
  std::mt19937_64 random(static_cast<uint64_t>(std::chrono::high_resolution_clock::now().time_since_epoch().count()) ^
                         reinterpret_cast<uintptr_t>(this));
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::filesystem::path candidate = base / ("kzpack-" + std::to_string(random() % 1000000000ull));
    if (std::filesystem::create_directory(candidate, ec)) {
      std::filesystem::permissions(candidate, std::filesystem::perms::owner_all, std::filesystem::perm_options::replace,
                                   ec);
      path_ = candidate.u8string() + static_cast<char>(std::filesystem::path::preferred_separator);
      RemoveOnInterrupt(candidate.u8string());
      return;
    }
  }
  throw ToolError("cannot create a temporary folder in " + base.u8string());
}

ScratchDir::~ScratchDir() {
  ForgetOnInterrupt(FsPath(path_).parent_path().u8string());
  std::error_code ec;
  std::filesystem::remove_all(FsPath(path_), ec);
}

InstallerVerdict CheckInstaller(const std::string& path, const RootKeys& roots, const std::string& workDir) {
  InstallerVerdict verdict;
  verdict.runsOn.assign(AllWindowsKinds().size(), false);
  if (!FileExists(path)) throw ToolError(path + ": file not found");

  // 1. The run type, read as the installer reads it (the chain at the end of
  //    the last section); without it the installer exits with code 1.
  std::string type;
  const bool typed = install::ReadRunType(WidePath(path), &type);
  verdict.runType = type;
  if (!Step(&verdict, "run type", typed,
            typed ? "\"" + type + "\"" : "no \"TYPE\" attachment (the installer would exit with code 1)"))
    return verdict;

  // 2. Its own embedded signature; invalid means exit code 2.
  verdict.installerSignature = CheckEmbeddedSignature(path, roots.imageRoot);
  CrossCheckSignature(path, roots, &verdict.installerSignature);
  if (!Step(&verdict, "installer signature", verdict.installerSignature.valid(),
            DescribeSignature(verdict.installerSignature) +
                (verdict.installerSignature.valid() ? "" : " (the installer would exit with code 2)")))
    return verdict;

  // 3.-5. The installation's own checks, through the code the installer's
  //    worker runs: setup program and bundle (digests checked), the bundle
  //    (certificate against the given root, signature), its script judged
  //    on every kind of Windows, and the setup program's signature.
  const std::string setupPath = workDir + "setup.exe";
  const std::string bundlePath = workDir + "ibnd";
  Bundle bundle;
  if (roots.bundleRoot != BuiltInRootKeys().bundleRoot) {
    const std::vector<uint8_t> root = roots.bundleRoot;
    bundle.SetCertificateCheck([root](const unsigned char* bytes, size_t length, const std::string& goal) {
      return CheckPublicKeyCertificateWithRoot(bytes, length, goal, root.data(), root.size());
    });
  }
  install::InstallHooks hooks;
  size_t readerEntries = 0;
  hooks.bundleOpened = [&](Bundle& opened) { readerEntries = opened.entries().size(); };
  hooks.readScript = [&](Bundle& opened, BundleStream* stream) {
    verdict.script = install::ReadBundleScript(opened, stream);
    return true;
  };
  // Each kind of Windows is judged below, so the script itself never stops the checks.
  std::vector<std::string> scriptFailures;
  hooks.runScript = [&](Bundle& opened) {
    ScriptJudgement judgement = JudgeScript(opened, verdict.script, verdict.runType, workDir + "entry.tmp");
    verdict.scriptLines = std::move(judgement.lines);
    scriptFailures = std::move(judgement.failures);
    return true;
  };
  hooks.verifySetup = [&](const std::wstring&) {
    verdict.setupSignature = CheckEmbeddedSignature(setupPath, roots.imageRoot);
    CrossCheckSignature(setupPath, roots, &verdict.setupSignature);
    return verdict.setupSignature.valid();
  };
  const install::InstallStep reached = install::RunInstallChecks(WidePath(path), WidePath(workDir), &bundle, hooks);
  const auto passed = [reached](install::InstallStep step) { return reached > step; };

  if (!Step(&verdict, "setup program", passed(install::InstallStep::kSetupProgram),
            passed(install::InstallStep::kSetupProgram)
                ? std::to_string(FileSizeOf(setupPath)) + " bytes, digest matches"
                : "no \"LOAD\" attachment, or its digest does not match"))
    return verdict;
  if (!Step(&verdict, "bundle attachment", passed(install::InstallStep::kBundleAttachment),
            passed(install::InstallStep::kBundleAttachment)
                ? std::to_string(FileSizeOf(bundlePath)) + " bytes, digest matches"
                : "the setup program has no \"IBND\" attachment at its end, or its digest does not match"))
    return verdict;
  JudgeBundle(passed(install::InstallStep::kBundle), readerEntries, bundlePath, roots, &verdict);
  if (!verdict.reason.empty()) return verdict;
  if (!Step(&verdict, "install script", passed(install::InstallStep::kInstallScript),
            passed(install::InstallStep::kInstallScript) ? "present"
                                                         : "the bundle has no \"install_script\" entry"))
    return verdict;

  const bool setupSigned = verdict.setupSignature.valid();
  const std::vector<WindowsKind>& kinds = AllWindowsKinds();
  for (size_t k = 0; k < kinds.size(); ++k) {
    const std::string failure = k < scriptFailures.size() ? scriptFailures[k] : "";
    verdict.runsOn[k] = failure.empty() && setupSigned;
    // Windows before 6 is shown, not required.
    if (kinds[k].majorVersion >= 6) {
      if (!Step(&verdict, std::string("script on ") + kinds[k].label, failure.empty(),
                failure.empty() ? "every selected line extracts" : failure))
        return verdict;
    }
  }
  Step(&verdict, "setup signature", setupSigned, DescribeSignature(verdict.setupSignature));
  return verdict;
}

}  // namespace kzpack

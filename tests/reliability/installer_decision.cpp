#include "tests/reliability/installer_decision.h"

#include <cstdio>
#include <filesystem>

#include "attachments/extract.h"
#include "bundle/bundle.h"
#include "bundle/format.h"
#include "integrity/embedded_signature.h"
#include "platform/platform.h"

namespace kzrel {

namespace {

std::wstring Wide(const std::string& path) { return std::filesystem::u8path(path).wstring(); }

std::string ReadWhole(const std::string& path) {
  std::string bytes;
  FILE* file = platform::OpenStdioFile(Wide(path), L"rb");
  if (file == nullptr) return bytes;
  char block[1 << 16];
  size_t n;
  while ((n = fread(block, 1, sizeof block, file)) > 0) bytes.append(block, n);
  fclose(file);
  return bytes;
}

// Trailing control characters and spaces go, as the entry point trims the type.
std::string Trim(std::string text) {
  while (!text.empty() && static_cast<signed char>(text.back()) <= 0x20) text.pop_back();
  return text;
}

Step DecideInto(const std::string& installerPath, const std::string& workDir, Delivery* delivery) {
  delivery->runType = Trim(ReadAttachment(Wide(installerPath), "TYPE"));
  if (delivery->runType.empty()) return Step::kRunType;
  if (!VerifyEmbeddedSignature(Wide(installerPath), false)) return Step::kInstallerSignature;

  const std::string setupPath = workDir + "setup.exe";
  const std::string bundlePath = workDir + "ibnd";
  if (!ExtractAttachmentToFile(true, Wide(installerPath), "LOAD", Wide(setupPath), 0, 50)) return Step::kSetupProgram;
  if (!ExtractAttachmentToFile(false, Wide(setupPath), "IBND", Wide(bundlePath), 50, 25))
    return Step::kBundleAttachment;

  Bundle bundle;
  bundle.SetCertificateGoal("IBND");
  bundle.SetSizeLimit(bundle_format::kInstallerSizeLimit);
  if (!bundle.Open(Wide(bundlePath))) return Step::kBundle;
  BundleStream* script = bundle.OpenStream("install_script");
  if (script == nullptr) return Step::kInstallScript;
  bundle.CloseStream(script);
  // Every entry, not only those the script selects on some Windows: after a
  // valid signature none may differ from what was packed.
  std::vector<std::string> names;
  for (const auto& entry : bundle.entries()) names.push_back(entry->name);
  const std::string entryPath = workDir + "entry";
  for (const std::string& name : names) {
    if (delivery->entries.count(name)) continue;  // the first of equal names wins
    if (!bundle.ExtractEntry(Wide(entryPath), name)) return Step::kEntries;
    delivery->entries[name] = ReadWhole(entryPath);
  }
  bundle.Close();

  if (!VerifyEmbeddedSignature(Wide(setupPath), false)) return Step::kSetupSignature;
  delivery->setup = ReadWhole(setupPath);
  return Step::kAccepted;
}

}  // namespace

const char* StepName(Step step) {
  switch (step) {
    case Step::kRunType: return "run type (TYPE)";
    case Step::kInstallerSignature: return "installer signature (_SG2)";
    case Step::kSetupProgram: return "setup program (LOAD digest)";
    case Step::kBundleAttachment: return "bundle attachment (IBND digest)";
    case Step::kBundle: return "bundle validation";
    case Step::kInstallScript: return "install script";
    case Step::kEntries: return "entry extraction";
    case Step::kSetupSignature: return "setup signature";
    case Step::kAccepted: return "accepted";
  }
  return "?";
}

Decision DecideInstaller(const std::string& installerPath, const std::string& workDir) {
  Decision decision;
  decision.step = DecideInto(installerPath, workDir, &decision.delivery);
  if (decision.step != Step::kAccepted) decision.delivery = Delivery();
  std::error_code ignored;
  for (const char* name : {"setup.exe", "ibnd", "entry"}) std::filesystem::remove(workDir + name, ignored);
  return decision;
}

}  // namespace kzrel

#include "install/install_checks.h"

#include "attachments/extract.h"
#include "attachments/extract_pair.h"
#include "bundle/format.h"
#include "platform/platform.h"
#include "support/text_trim.h"

namespace install {

bool ReadRunType(const std::wstring& installerPath, std::string* runType) {
  *runType = ReadAttachment(installerPath, "TYPE");
  if (runType->empty()) return false;
  TrimEnd(runType);
  return true;
}

InstallStep RunInstallChecks(const std::wstring& installerPath, const std::wstring& workDir, Bundle* bundle,
                             const InstallHooks& hooks) {
  const std::wstring setupPath = workDir + L"setup.exe";
  const std::wstring bundlePath = workDir + L"ibnd";

  // The installer's own chain ends with its last section; setup.exe's ends
  // with the file. One read of the installer writes both: the bundle is
  // written before its lines are given out, and nothing opens it before
  // both digests have matched.
  InnerExtraction inner;
  if (!ExtractAttachmentPair(installerPath, "LOAD", setupPath, 0, 50, "IBND", bundlePath, &inner))
    return InstallStep::kSetupProgram;
  if (hooks.setupWritten && !hooks.setupWritten(setupPath)) {
    if (inner.opened) platform::DeleteFilePath(bundlePath);
    return InstallStep::kSetupHeld;
  }
  if (!FinishInnerExtraction(inner, 50, 25)) return InstallStep::kBundleAttachment;

  bundle->SetCertificateGoal("IBND");
  bundle->SetSizeLimit(bundle_format::kInstallerSizeLimit);
  if (!bundle->Open(bundlePath)) return InstallStep::kBundle;
  if (hooks.bundleOpened) hooks.bundleOpened(*bundle);

  BundleStream* script = bundle->OpenStream("install_script");
  if (script == nullptr) {
    bundle->Close();
    return InstallStep::kInstallScript;
  }
  const bool read = !hooks.readScript || hooks.readScript(*bundle, script);
  bundle->CloseStream(script);
  if (!read || !hooks.runScript(*bundle)) {
    bundle->Close();
    return InstallStep::kScript;
  }

  if (!hooks.verifySetup(setupPath)) return InstallStep::kSetupSignature;
  return InstallStep::kAccepted;
}

}  // namespace install

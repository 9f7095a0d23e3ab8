#include "InstallerLogic/worker.h"

#include <string>
#include <vector>

#include "InstallerLogic/install_script.h"
#include "InstallerLogic/installer_state.h"
#include "InstallerLogic/setup_launch.h"
#include "InstallerLogic/workspace.h"
#include "attachments/extract.h"
#include "bundle/bundle.h"
#include "integrity/embedded_signature.h"
#include "platform/platform.h"
#include "support/diag_log.h"
#include "support/progress.h"
#include "support/strings.h"

namespace installer {
namespace {

constexpr int32_t kBundleSizeLimit = 0x1900000;

// Everything after the workspace exists; the caller's cleanup list removes
// the workspace whatever this returns.
DWORD InstallInto(const std::wstring& workDir) {
  const std::wstring setupPath = workDir + L"setup.exe";
  const std::wstring bundlePath = workDir + L"ibnd";

  if (!ExtractAttachmentToFile(true, modulePath, "LOAD", setupPath, 0, 50)) return 1;
  // Held read-only (others may only read) from now until setup has ended, so
  // the file that is verified is the file that is started.
  platform::ScopedFile heldSetup(platform::OpenFileForRead(setupPath, platform::ShareMode::kReadOnly));
  if (!heldSetup.valid()) {
    DiagLog("Couldn't hold %s\n", WideToUtf8(setupPath).c_str());
    return 1;
  }
  if (!ExtractAttachmentToFile(false, setupPath, "IBND", bundlePath, 50, 25)) return 1;

  Bundle bundle;
  bundle.SetCertificateGoal("IBND");
  bundle.SetSizeLimit(kBundleSizeLimit);
  if (!bundle.Open(bundlePath)) return 1;
  ReportProgress(85, 0);

  BundleStream* script = bundle.OpenStream("install_script");
  if (!script) {
    bundle.Close();
    return 1;
  }
  const std::vector<std::string> lines = ReadScriptLines(
      [&](char* buffer, int capacity) { return bundle.ReadLine(buffer, capacity, script) != nullptr; });
  bundle.CloseStream(script);

  const bool scriptDone = RunScript(lines, workDir, CurrentScriptEnvironment(installType),
                                    [&](const std::string& name, const std::wstring& path) {
                                      return bundle.ExtractEntry(path, name);
                                    });
  if (!scriptDone) {
    bundle.Close();
    return 1;
  }

  if (!VerifyEmbeddedSignature(setupPath, false)) {
    if (installType == "gui") MessageBoxW(nullptr, L"Installer file is corrupted.", L"Error", MB_ICONEXCLAMATION);
    DiagLog("\n##installer file is not valid!");
    return 1;
  }
  return LaunchSetup(workDir, argc, argv, modulePath, dlg);
}

}  // namespace

DWORD WINAPI InstallWorker(LPVOID) {
  CleanupList cleanup;
  const std::wstring workDir = CreateWorkspace();
  if (workDir.empty()) {
    DiagLog("Couldn't create a workspace\n");
    return 1;
  }
  AddCleanupDir(&cleanup, workDir);
  return InstallInto(workDir);
}

}  // namespace installer

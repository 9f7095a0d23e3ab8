#include "InstallerLogic/worker.h"

#include <string>
#include <vector>

#include "InstallerLogic/corrupted_message.h"
#include "InstallerLogic/install_script.h"
#include "InstallerLogic/installer_state.h"
#include "InstallerLogic/setup_launch.h"
#include "InstallerLogic/workspace.h"
#include "bundle/bundle.h"
#include "install/install_checks.h"
#include "install/install_script.h"
#include "integrity/embedded_signature.h"
#include "platform/platform.h"
#include "support/diag_log.h"
#include "support/progress.h"
#include "support/strings.h"

namespace installer {
namespace {

// Everything after the workspace exists; the caller's cleanup list removes
// the workspace whatever this returns.
DWORD InstallInto(const std::wstring& workDir) {
  platform::ScopedFile heldSetup;
  Bundle bundle;
  std::vector<std::string> lines;
  install::InstallHooks hooks;
  // Held read-only (others may only read) from now until setup has ended, so
  // the file that is verified is the file that is started.
  hooks.setupWritten = [&](const std::wstring& setupPath) {
    heldSetup.Reset(platform::OpenFileForRead(setupPath, platform::ShareMode::kReadOnly));
    if (!heldSetup.valid()) DiagLog("Couldn't hold %s\n", WideToUtf8(setupPath).c_str());
    return heldSetup.valid();
  };
  hooks.bundleOpened = [](Bundle&) { ReportProgress(85, 0); };
  // A script cut short is not the script that was signed.
  hooks.readScript = [&](Bundle& opened, BundleStream* script) {
    install::ScriptReading reading = install::ReadBundleScript(opened, script);
    if (!reading.whole) DiagLog("The install script could not be read to its end\n");
    lines = std::move(reading.lines);
    return reading.whole;
  };
  hooks.runScript = [&](Bundle& opened) {
    const bool ran = install::RunScript(lines, workDir, CurrentScriptEnvironment(installType),
                                        [&](const std::string& name, const std::wstring& path) {
                                          MakeParentDirs(path);
                                          return opened.ExtractEntry(path, name);
                                        });
    // Setup may run for minutes: it needs the held bundle, not the chunk
    // buffers and compute threads.
    opened.ReleaseWorkingMemory();
    return ran;
  };
  // The stub trusts only its compiled-in image root.
  hooks.verifySetup = [](const std::wstring& setupPath) { return VerifyEmbeddedSignature(setupPath, false); };

  const install::InstallStep step = install::RunInstallChecks(modulePath, workDir, &bundle, hooks);
  if (step == install::InstallStep::kSetupSignature) {
    if (installType == "gui") ShowCorruptedMessage();
    DiagLog("\n##installer file is not valid!");
    return 1;
  }
  if (step != install::InstallStep::kAccepted) return 1;
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

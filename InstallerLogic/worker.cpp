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
#include "support/system_error.h"

namespace installer {
namespace {

// The step the checks stopped at, as the failure line names it.
const char* StepText(install::InstallStep step, bool scriptRead) {
  switch (step) {
    case install::InstallStep::kSetupProgram: return "writing setup.exe";
    case install::InstallStep::kSetupHeld: return "holding setup.exe";
    case install::InstallStep::kBundleAttachment: return "writing ibnd";
    case install::InstallStep::kBundle: return "opening the bundle";
    case install::InstallStep::kInstallScript: return "finding the install script";
    case install::InstallStep::kScript: return scriptRead ? "running the install script" : "reading the install script";
    case install::InstallStep::kSetupSignature: return "checking the signature of setup.exe";
    case install::InstallStep::kAccepted: break;
  }
  return "preparing the installation";
}

SetupRun FailedStep(const char* step, uint32_t error) {
  SetupRun run;
  run.failedStep = step;
  run.error = error;
  return run;
}

// Everything after the workspace exists; the caller's cleanup list removes
// the workspace whatever this returns.
SetupRun InstallInto(const std::wstring& workDir) {
  platform::ScopedFile heldSetup;
  Bundle bundle;
  std::vector<std::string> lines;
  bool scriptRead = false;
  install::InstallHooks hooks;
  // Held read-only (others may only read) from now until setup has ended, so
  // the file that is verified is the file that is started.
  hooks.setupWritten = [&](const std::wstring& setupPath) {
    heldSetup.Reset(platform::OpenFileForRead(setupPath, platform::ShareMode::kReadOnly));
    if (!heldSetup.valid()) {
      NoteSystemError();
      DiagLog("Couldn't hold %s\n", WideToUtf8(setupPath).c_str());
    }
    return heldSetup.valid();
  };
  hooks.bundleOpened = [](Bundle&) { ReportProgress(85, 0); };
  // A script cut short is not the script that was signed.
  hooks.readScript = [&](Bundle& opened, BundleStream* script) {
    install::ScriptReading reading = install::ReadBundleScript(opened, script);
    if (!reading.whole) DiagLog("The install script could not be read to its end\n");
    lines = std::move(reading.lines);
    scriptRead = reading.whole;
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

  TakeSystemError();  // a reason noted before this step is not this step's
  const install::InstallStep step = install::RunInstallChecks(modulePath, workDir, &bundle, hooks);
  if (step == install::InstallStep::kSetupSignature) {
    if (installType == "gui") ShowCorruptedMessage();
    DiagLog("\n##installer file is not valid!");
  }
  if (step != install::InstallStep::kAccepted) return FailedStep(StepText(step, scriptRead), TakeSystemError());
  return LaunchSetup(workDir, argc, argv, modulePath, dlg);
}

SetupRun PrepareAndRun() {
  CleanupList cleanup;
  TakeSystemError();
  const std::wstring workDir = CreateWorkspace();
  if (workDir.empty()) {
    DiagLog("Couldn't create a workspace\n");
    return FailedStep("creating the workspace", TakeSystemError());
  }
  AddCleanupDir(&cleanup, workDir);
  return InstallInto(workDir);
}

}  // namespace

DWORD WINAPI InstallWorker(LPVOID) {
  const SetupRun run = PrepareAndRun();
  if (run.ended) return run.exitCode;
  // Written after the workspace is gone and whatever the switch says, so
  // that the debug output of a silent run ends with the reason.
  if (run.error != 0)
    UngatedLog("Installation failed: %s (error %lu)\n", run.failedStep, static_cast<unsigned long>(run.error));
  else
    UngatedLog("Installation failed: %s\n", run.failedStep);
  return kInstallFailed;
}

}  // namespace installer

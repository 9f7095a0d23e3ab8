// The ordered checks of one installation after the installer's start-up:
// the setup program and its bundle out of their chains (digests checked),
// the bundle opened and validated, its install script read and run, and the
// setup program's embedded signature. The stub's worker, kzpack verify and
// the corruption sweep all go through here; each adds what it does around
// the checks (holding files, progress, which entries to extract, which root
// keys to trust) through the callbacks.
#pragma once

#include <functional>
#include <string>

#include "bundle/bundle.h"

namespace install {

// Where the checks stopped; kAccepted: setup may be started.
enum class InstallStep {
  kSetupProgram,      // "LOAD" missing, or its digest wrong
  kSetupHeld,         // setupWritten refused
  kBundleAttachment,  // "IBND" missing at the end of setup.exe, or its digest wrong
  kBundle,            // bundle structure, certificate or signature refused
  kInstallScript,     // no "install_script" entry
  kScript,            // readScript or runScript refused
  kSetupSignature,    // verifySetup refused
  kAccepted,
};

// The run type as the entry point reads it: the "TYPE" payload must be
// non-empty before trimming (the installer exits with code 1 otherwise) and
// is then trimmed at the end, so a payload of blanks gives the empty run type
// (silent mode). False when the payload is missing or empty.
bool ReadRunType(const std::wstring& installerPath, std::string* runType);

struct InstallHooks {
  // Optional: called once setup.exe is written; false stops the checks.
  std::function<bool(const std::wstring& setupPath)> setupWritten;
  // Optional: called once the bundle is open and valid.
  std::function<void(Bundle& bundle)> bundleOpened;
  // Optional: reads the open "install_script" stream (closed afterwards);
  // false stops the checks as a failed script.
  std::function<bool(Bundle& bundle, BundleStream* script)> readScript;
  // Runs the script; false stops the checks.
  std::function<bool(Bundle& bundle)> runScript;
  // The embedded-signature check of setup.exe.
  std::function<bool(const std::wstring& setupPath)> verifySetup;
};

// `workDir` exists and ends with a separator; "setup.exe" and "ibnd" are
// written there. `bundle` is the caller's, so that it can stay open while
// setup runs; it is closed when the script is missing or fails.
InstallStep RunInstallChecks(const std::wstring& installerPath, const std::wstring& workDir, Bundle* bundle,
                             const InstallHooks& hooks);

}  // namespace install

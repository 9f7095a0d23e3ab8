// Decides, step by step as the installer itself goes, whether an installer
// would start its setup program: run type, the installer's embedded
// signature, the setup program and bundle with their digests, the bundle's
// certificate and signature, the install script on each kind of Windows,
// and the setup program's embedded signature.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "install/install_script.h"
#include "tools/kzpack/bundle_scan.h"
#include "tools/kzpack/image_signing.h"
#include "tools/kzpack/script_view.h"

namespace kzpack {

struct RootKeys {
  std::vector<uint8_t> bundleRoot;  // DER SubjectPublicKeyInfo
  std::vector<uint8_t> imageRoot;
};
// The roots kzpack was built with (the same build inputs as the stub's).
RootKeys BuiltInRootKeys();

struct CheckStep {
  std::string what;
  bool ok = false;
  std::string detail;
};

struct InstallerVerdict {
  std::vector<CheckStep> steps;
  std::string reason;  // the first failure; "" when it runs everywhere checked
  std::string runType;
  EmbeddedSignatureReport installerSignature;
  EmbeddedSignatureReport setupSignature;
  bool haveBundle = false;
  BundleScan bundle;
  install::ScriptReading script;  // as the installer reads it
  std::vector<ScriptLineView> scriptLines;
  std::vector<bool> runsOn;         // per AllWindowsKinds()
  bool ok() const { return reason.empty(); }
};

// The script of an open bundle judged on every kind of Windows: the lines
// with their problems, where every entry some Windows would extract must
// come out whole (extracted to `scratchFile`); and per AllWindowsKinds(), what
// stops the installer there ("" when the script runs). A script that could
// not be read to its end fails everywhere.
struct ScriptJudgement {
  std::vector<ScriptLineView> lines;
  std::vector<std::string> failures;
};
ScriptJudgement JudgeScript(Bundle& bundle, const install::ScriptReading& script, const std::string& runType,
                            const std::string& scratchFile);

// `workDir`: an existing folder for the extracted setup program and bundle.
InstallerVerdict CheckInstaller(const std::string& path, const RootKeys& roots, const std::string& workDir);

// A fresh private folder under the system's temporary folder, removed with
// everything in it at the end of the scope. Given the bytes it will hold,
// it goes into memory where there is ample room (platform::MemoryBackedTempRoot):
// a check writes the whole setup program and bundle there.
class ScratchDir {
 public:
  explicit ScratchDir(uint64_t expectedBytes = 0);
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  const std::string& path() const { return path_; }  // ends with a separator

 private:
  std::string path_;
};

}  // namespace kzpack

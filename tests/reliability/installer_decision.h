// Decides, natively and with the installer's own library calls in the
// installer's own order, what a finished installer would do: which check
// refuses it, or that it would start setup, and with exactly which files.
#pragma once

#include <map>
#include <string>
#include <vector>

namespace kzrel {

enum class Step {
  kRunType,            // no or damaged "TYPE": exit code 1
  kInstallerSignature, // own embedded signature invalid: exit code 2
  kSetupProgram,       // "LOAD" missing or its digest wrong
  kBundleAttachment,   // "IBND" of setup.exe missing or its digest wrong
  kBundle,             // bundle certificate, signature or structure refused
  kInstallScript,      // no "install_script" entry
  kEntries,            // an entry does not extract
  kSetupSignature,     // setup.exe's embedded signature invalid
  kAccepted,           // setup would be started
};
const char* StepName(Step step);

// What an accepted installer hands over: the run type, setup.exe, and every
// bundle entry by name.
struct Delivery {
  std::string runType;
  std::string setup;
  std::map<std::string, std::string> entries;
  bool operator==(const Delivery& o) const { return runType == o.runType && setup == o.setup && entries == o.entries; }
};

struct Decision {
  Step step = Step::kRunType;
  Delivery delivery;  // filled when accepted
};

// `workDir` is an existing folder, ending with a separator, that the
// decision uses for setup.exe, ibnd and the entries (emptied afterwards).
Decision DecideInstaller(const std::string& installerPath, const std::string& workDir);

}  // namespace kzrel

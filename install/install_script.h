// The bundle's "install_script": lines of "dep<tags>,<entry>,<target>" that
// select the dependency files copied into the workspace before setup starts.
// Read and run here for the installer's worker; kzpack verify reads it with
// the same reader and judges it with the same rules.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "bundle/bundle.h"
#include "support/script_lines.h"
#include "support/script_rules.h"

namespace install {

struct ScriptReading {
  std::vector<std::string> lines;
  // False when the reading stopped before the entry's end (a chunk that
  // cannot be read, inflated or held in memory): the lines are then not the
  // signed script.
  bool whole = false;
};
// Reads the open script stream with the installer's line reader.
ScriptReading ReadBundleScript(Bundle& bundle, BundleStream* script);

// Progress value before line i of n.
int ScriptProgress(size_t index, size_t count);

// Writes bundle entry `name` to `path` (its folders are the extractor's to
// make); true on success.
using EntryExtractor = std::function<bool(const std::string& name, const std::wstring& path)>;

// Runs the lines; false at the first selected line that fails (fewer than
// three fields, a refused target, a target that clashes with an earlier one,
// a failed extraction), with a diagnostic line before anything is written
// for it.
bool RunScript(const std::vector<std::string>& lines, const std::wstring& workDir,
               const ScriptEnvironment& environment, const EntryExtractor& extract);

}  // namespace install

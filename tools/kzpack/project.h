// The project file of `kzpack build`: a small TOML file that names the stub,
// the setup program, the run type, the files of the bundle with their
// install-script conditions (or a verbatim script), the keys, and optionally
// an "_SG1" payload and the Authenticode step. Relative paths are taken from
// the project file's folder. Every error names the file, the line and the key.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace kzpack {

// What a file is, for the bill of materials (`[file.identity]`); all optional.
struct FileIdentity {
  std::string name;
  std::string version;
  std::string purl;      // "pkg:type/namespace/name@version"
  std::string license;   // SPDX license expression
  std::string supplier;
  bool empty() const { return name.empty() && version.empty() && purl.empty() && license.empty() && supplier.empty(); }
};

struct ProjectFileEntry {
  std::string source;    // file on disk
  std::string name;      // bundle entry name
  std::string target;    // path in the workspace (generated script only)
  std::string arch = "any";     // any | x64 | x86
  std::string windows = "any";  // any | 6+ | <6
  FileIdentity identity;
  int line = 0;
};

// A program a project file names: a bare name is looked up on PATH (only
// there), a name with a slash is taken from the project file's folder.
struct AuthenticodeSettings {
  bool enabled = false;
  std::string program = "osslsigncode";
  std::string origin;  // "<file>:<line>: authenticode[.program]", for the refusal without the flag
  std::string pkcs12;
  std::string passwordFile;
  std::string certificate;  // PEM/DER certificate chain (with `key`)
  std::string key;
  std::string timestampUrl;  // Authenticode timestamp server (-t)
  std::string rfc3161Url;    // RFC 3161 timestamp server (-ts)
  std::string description;
  std::string url;
};

// An external signer named in the project file (<role>_signer), with the
// public key its signatures must verify under (<role>_public).
struct ProjectSigner {
  std::vector<std::string> argv;
  std::string publicKeyPath;
  std::string origin;  // "<file>:<line>"
};

struct Project {
  std::string path;  // the project file itself
  std::string stub;  // "": the stub installed with kzpack (FindInstalledStub)
  std::string setup;
  std::string runType;
  bool stripSetupSignature = false;  // setup_signature = "strip"
  std::string sg1Payload;            // optional
  std::string sbom;                  // optional: CycloneDX bill of materials to write

  uint32_t chunkSize = 1024 * 1024;
  int compression = 9;
  bool hasScript = false;  // a verbatim script was given (inline or script_file)
  std::string scriptFile;  // script_file, when the script came from one
  std::string scriptText;
  int scriptLine = 0;
  std::vector<ProjectFileEntry> files;

  std::string signingKey;
  std::string certificate;    // or ...
  std::string bundleRootKey;  // ... the key that issues one while building
  int32_t certificateExpiry = 0x7FFFFFFF;
  std::string imageRootKey;
  std::map<std::string, ProjectSigner> signers;  // by role: bundle_signing, bundle_root, image_root

  AuthenticodeSettings authenticode;
};

// Values given on the command line that replace the file's.
struct ProjectOverrides {
  std::string stub;
  std::string setup;
  std::string runType;
  std::string sbom;
  std::set<std::string> externalRoles;  // roles whose signer the command line or environment names
};

// ToolError "<file>:<line>: <key>: <problem>" on the first problem.
Project LoadProject(const std::string& path, const ProjectOverrides& overrides = {});
// Same, from text (for tests); `path` names it in errors and anchors paths.
Project ParseProject(const std::string& text, const std::string& path, const ProjectOverrides& overrides = {});

// Only the [[file]] tables (sources must exist): what describing an
// installer needs, without the stub, setup program and keys of its build.
// Those are still named (unchecked), for ProjectInputs.
Project LoadProjectFiles(const std::string& path);

// Every file the project makes a build read: the project file, stub, setup
// program, script_file, sg1_payload, keys, certificate, signers' public keys
// and the files their commands name, the [authenticode] files and program,
// the [[file]] sources.
std::vector<std::string> ProjectInputs(const Project& project);

// The install script: the verbatim one, or one line per file.
std::string ProjectScript(const Project& project);

// The help text that documents the format.
const char* ProjectFormatHelp();

}  // namespace kzpack

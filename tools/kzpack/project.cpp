#include "tools/kzpack/project.h"

#include <toml++/toml.h>

#include <set>

#include "bundle/format.h"
#include "support/script_lines.h"
#include "support/script_rules.h"
#include "tools/kzpack/cli_support.h"
#include "tools/kzpack/script_view.h"
#include "tools/kzpack/time_text.h"

namespace kzpack {
namespace {

class Reader {
 public:
  Reader(std::string path, const toml::table& root) : path_(std::move(path)), root_(root) {
    const size_t slash = path_.find_last_of("/\\");
    dir_ = slash == std::string::npos ? std::string() : path_.substr(0, slash + 1);
  }

  [[noreturn]] void Fail(const toml::node* node, const std::string& key, const std::string& problem) const {
    const int line = node ? static_cast<int>(node->source().begin.line) : 0;
    throw ToolError(path_ + ":" + (line ? std::to_string(line) : std::string("?")) + ": " + key + ": " + problem);
  }

  // The table `name` (empty when absent); unknown keys in it are errors.
  const toml::table* Table(const std::string& name, const std::set<std::string>& known, bool required) const {
    const toml::node* node = root_.get(name);
    if (!node) {
      if (required) throw ToolError(path_ + ":1: [" + name + "]: missing table");
      return nullptr;
    }
    if (!node->is_table()) Fail(node, name, "must be a table ([" + name + "])");
    CheckKeys(*node->as_table(), name, known);
    return node->as_table();
  }

  void CheckKeys(const toml::table& table, const std::string& name, const std::set<std::string>& known) const {
    for (auto&& [key, value] : table) {
      if (!known.count(std::string(key.str())))
        Fail(&value, Qualified(name, std::string(key.str())), "unknown key (a typo?)");
    }
  }

  static std::string Qualified(const std::string& table, const std::string& key) {
    return table.empty() ? key : table + "." + key;
  }

  const toml::node* Get(const toml::table* table, const std::string& key) const {
    return table ? table->get(key) : nullptr;
  }

  std::string String(const toml::table* table, const std::string& tableName, const std::string& key,
                     bool required, const toml::node* anchor = nullptr) const {
    const toml::node* node = Get(table, key);
    if (!node) {
      if (required) Fail(anchor ? anchor : table, Qualified(tableName, key), "missing (required)");
      return "";
    }
    if (!node->is_string()) Fail(node, Qualified(tableName, key), "must be a string");
    const std::string value = node->as_string()->get();
    if (value.empty()) Fail(node, Qualified(tableName, key), "must not be empty");
    return value;
  }

  // A path relative to the project file, which must name an existing file.
  std::string ExistingFile(const toml::table* table, const std::string& tableName, const std::string& key,
                           bool required, const toml::node* anchor = nullptr) const {
    const std::string value = String(table, tableName, key, required, anchor);
    if (value.empty()) return "";
    const std::string path = Resolve(value);
    if (!FileExists(path)) Fail(Get(table, key), Qualified(tableName, key), "file not found: " + path);
    return path;
  }

  int64_t Integer(const toml::table* table, const std::string& tableName, const std::string& key, int64_t fallback,
                  int64_t low, int64_t high) const {
    const toml::node* node = Get(table, key);
    if (!node) return fallback;
    if (!node->is_integer()) Fail(node, Qualified(tableName, key), "must be an integer");
    const int64_t value = node->as_integer()->get();
    if (value < low || value > high)
      Fail(node, Qualified(tableName, key),
           "must be between " + std::to_string(low) + " and " + std::to_string(high));
    return value;
  }

  // A program: a bare name stays one (PATH finds it); a path is taken from the file's folder.
  std::string Program(const std::string& value) const {
    return value.find_first_of("/\\") == std::string::npos ? value : Resolve(value);
  }

  std::string Resolve(const std::string& value) const {
    const bool absolute = value[0] == '/' || value[0] == '\\' || (value.size() > 1 && value[1] == ':');
    return absolute ? value : dir_ + value;
  }

  const std::string& path() const { return path_; }
  const toml::table& root() const { return root_; }

 private:
  std::string path_;
  std::string dir_;
  const toml::table& root_;
};

bool IsRunTypeText(const std::string& text) {
  if (text.empty()) return false;
  for (char c : text) {
    if (!isalnum(static_cast<unsigned char>(c)) && c != '_') return false;
  }
  return true;
}

void ReadTopLevel(const Reader& r, const ProjectOverrides& overrides, Project* p) {
  const toml::table* t = &r.root();
  if (!overrides.stub.empty()) {
    if (!FileExists(overrides.stub)) throw ToolError("--stub: file not found: " + overrides.stub);
    p->stub = overrides.stub;
  } else {
    p->stub = r.ExistingFile(t, "", "stub", false);  // "": the stub installed with kzpack
  }
  if (!overrides.setup.empty()) {
    if (!FileExists(overrides.setup)) throw ToolError("--setup: file not found: " + overrides.setup);
    p->setup = overrides.setup;
  } else {
    p->setup = r.ExistingFile(t, "", "setup", true);
  }
  p->runType = overrides.runType.empty() ? r.String(t, "", "type", true) : overrides.runType;
  if (!IsRunTypeText(p->runType)) {
    if (!overrides.runType.empty()) throw ToolError("--run-type: must be letters, digits or '_' (e.g. gui, silent)");
    r.Fail(r.Get(t, "type"), "type", "must be letters, digits or '_' (e.g. \"gui\", \"silent\")");
  }
  const std::string policy = r.String(t, "", "setup_signature", false);
  if (!policy.empty() && policy != "refuse" && policy != "strip")
    r.Fail(r.Get(t, "setup_signature"), "setup_signature", "must be \"refuse\" or \"strip\"");
  p->stripSetupSignature = policy == "strip";
  p->sg1Payload = r.ExistingFile(t, "", "sg1_payload", false);
  const std::string sbom = r.String(t, "", "sbom", false);
  p->sbom = !overrides.sbom.empty() ? overrides.sbom : sbom.empty() ? "" : r.Resolve(sbom);
  p->chunkSize = static_cast<uint32_t>(r.Integer(t, "", "chunk_size", p->chunkSize, 1, bundle_format::kInstallerSizeLimit));
  p->compression = static_cast<int>(r.Integer(t, "", "compression", p->compression, 0, 9));
  if (const toml::node* script = r.Get(t, "script")) {
    if (!script->is_string()) r.Fail(script, "script", "must be a string (the script's text)");
    p->scriptText = script->as_string()->get();
    p->hasScript = true;
    p->scriptLine = static_cast<int>(script->source().begin.line);
  }
  p->scriptFile = r.ExistingFile(t, "", "script_file", false);
  if (!p->scriptFile.empty()) {
    if (p->hasScript) r.Fail(r.Get(t, "script_file"), "script_file", "give either script or script_file");
    p->scriptText = ReadTextFile(p->scriptFile);
    p->hasScript = true;
    p->scriptLine = static_cast<int>(r.Get(t, "script_file")->source().begin.line);
  }
}

// Only what the project's author states; nothing is derived from the file.
FileIdentity ReadIdentity(const Reader& r, const toml::table& file) {
  FileIdentity identity;
  const toml::node* node = file.get("identity");
  if (!node) return identity;
  if (!node->is_table()) r.Fail(node, "file.identity", "must be a table ([file.identity] or identity = { ... })");
  const toml::table* t = node->as_table();
  r.CheckKeys(*t, "file.identity", {"name", "version", "purl", "license", "supplier"});
  identity.name = r.String(t, "file.identity", "name", false);
  identity.version = r.String(t, "file.identity", "version", false);
  identity.purl = r.String(t, "file.identity", "purl", false);
  identity.license = r.String(t, "file.identity", "license", false);
  identity.supplier = r.String(t, "file.identity", "supplier", false);
  const size_t slash = identity.purl.find('/');
  if (!identity.purl.empty() && (identity.purl.rfind("pkg:", 0) != 0 || slash == std::string::npos || slash < 5))
    r.Fail(t->get("purl"), "file.identity.purl", "must be a package URL: \"pkg:<type>/<name>@<version>\"");
  for (char c : identity.license)
    if (c == '\n' || c == '\r' || c == ',' || c == ';')
      r.Fail(t->get("license"), "file.identity.license", "must be one SPDX expression (\"MIT\", \"Apache-2.0 OR MIT\")");
  return identity;
}

void ReadFiles(const Reader& r, Project* p) {
  const toml::node* node = r.root().get("file");
  if (!node) return;
  if (!node->is_array_of_tables()) r.Fail(node, "file", "must be an array of tables ([[file]])");
  std::set<std::string> names;
  for (const toml::node& item : *node->as_array()) {
    const toml::table* t = item.as_table();
    r.CheckKeys(*t, "file", {"source", "name", "target", "arch", "windows", "identity"});
    ProjectFileEntry file;
    file.line = static_cast<int>(t->source().begin.line);
    file.source = r.ExistingFile(t, "file", "source", true, &item);
    const std::string sourceText = t->get("source")->as_string()->get();
    const size_t slash = sourceText.find_last_of("/\\");
    file.name = r.String(t, "file", "name", false);
    if (file.name.empty()) file.name = slash == std::string::npos ? sourceText : sourceText.substr(slash + 1);
    const toml::node* nameNode = t->get("name") ? t->get("name") : t->get("source");
    if (file.name.size() > 255) r.Fail(nameNode, "file.name", "longer than 255 bytes");
    if (file.name.find(',') != std::string::npos) r.Fail(nameNode, "file.name", "must not contain a comma");
    if (file.name == "install_script") r.Fail(nameNode, "file.name", "\"install_script\" is reserved for the script");
    if (!names.insert(file.name).second) r.Fail(nameNode, "file.name", "\"" + file.name + "\" is already in the bundle");
    file.target = r.String(t, "file", "target", false);
    const bool hasTarget = !file.target.empty();
    if (!hasTarget) file.target = file.name;
    file.arch = r.String(t, "file", "arch", false);
    if (file.arch.empty()) file.arch = "any";
    if (file.arch != "any" && file.arch != "x64" && file.arch != "x86")
      r.Fail(t->get("arch"), "file.arch", "must be \"any\", \"x64\" or \"x86\"");
    file.windows = r.String(t, "file", "windows", false);
    if (file.windows.empty()) file.windows = "any";
    if (file.windows != "any" && file.windows != "6+" && file.windows != "<6")
      r.Fail(t->get("windows"), "file.windows", "must be \"any\", \"6+\" or \"<6\"");
    if (p->hasScript && (hasTarget || t->get("arch") || t->get("windows"))) {
      const char* key = hasTarget ? "target" : t->get("arch") ? "arch" : "windows";
      r.Fail(t->get(key), std::string("file.") + key, "not allowed with a verbatim script (the script says where files go)");
    }
    if (!p->hasScript) {
      if (ScriptTargetNamesDevice(file.target))
        r.Fail(hasTarget ? t->get("target") : nameNode, "file.target",
               "\"" + file.target + "\" names a Windows device (CON, NUL, COM1, ...); choose another file name");
      if (!IsSafeScriptTarget(file.target))
        r.Fail(hasTarget ? t->get("target") : nameNode, "file.target",
               "\"" + file.target + "\" must be a relative path inside the workspace");
      if (file.target.find(',') != std::string::npos) r.Fail(t->get("target"), "file.target", "must not contain a comma");
    }
    file.identity = ReadIdentity(r, *t);
    p->files.push_back(file);
  }
}

int32_t ReadExpiry(const Reader& r, const toml::table* t) {
  const toml::node* node = r.Get(t, "certificate_expiry");
  if (!node) return 0x7FFFFFFF;
  int64_t seconds = 0;
  if (node->is_integer()) {
    seconds = node->as_integer()->get();
  } else if (node->is_date()) {
    const toml::date d = node->as_date()->get();
    seconds = DaysFromCivil(d.year, d.month, d.day) * 86400;
  } else if (node->is_date_time()) {
    const toml::date_time dt = node->as_date_time()->get();
    seconds = DaysFromCivil(dt.date.year, dt.date.month, dt.date.day) * 86400 + dt.time.hour * 3600 +
              dt.time.minute * 60 + dt.time.second - (dt.offset ? dt.offset->minutes * 60 : 0);
  } else {
    r.Fail(node, "keys.certificate_expiry", "must be a date (2035-01-01) or seconds since 1970");
  }
  if (seconds < INT32_MIN || seconds > INT32_MAX)
    r.Fail(node, "keys.certificate_expiry", "does not fit a signed 32-bit time (before 2038-01-19)");
  return static_cast<int32_t>(seconds);
}

// <role>_signer = ["program", "arg", ...] with <role>_public beside it.
void ReadSigner(const Reader& r, const toml::table* t, const std::string& role, Project* p) {
  const toml::node* node = r.Get(t, role + "_signer");
  const std::string publicKey = r.ExistingFile(t, "keys", role + "_public", false);
  if (!node) {
    // Alone it serves a signer named on the command line or in the environment.
    if (!publicKey.empty()) p->signers[role].publicKeyPath = publicKey;
    return;
  }
  const toml::array* array = node->as_array();
  if (!array || array->empty())
    r.Fail(node, "keys." + role + "_signer", "must be a list of strings: [\"program\", \"argument\", ...]");
  ProjectSigner signer;
  for (const toml::node& item : *array) {
    if (!item.is_string() || item.as_string()->get().empty())
      r.Fail(node, "keys." + role + "_signer", "must be a list of non-empty strings");
    signer.argv.push_back(signer.argv.empty() ? r.Program(item.as_string()->get()) : item.as_string()->get());
  }
  signer.publicKeyPath = publicKey;
  signer.origin = r.path() + ":" + std::to_string(node->source().begin.line);
  if (r.Get(t, role)) r.Fail(node, "keys." + role + "_signer", "give either " + role + " or " + role + "_signer");
  p->signers[role] = signer;
}

void ReadKeys(const Reader& r, const ProjectOverrides& overrides, Project* p) {
  const toml::table* t = r.Table("keys",
                                 {"bundle_signing", "bundle_certificate", "bundle_root", "certificate_expiry",
                                  "image_root", "bundle_signing_signer", "bundle_signing_public", "bundle_root_signer",
                                  "bundle_root_public", "image_root_signer", "image_root_public"},
                                 true);
  for (const char* role : {"bundle_signing", "bundle_root", "image_root"}) ReadSigner(r, t, role, p);
  auto hasSigner = [&](const std::string& role) {
    return overrides.externalRoles.count(role) || (p->signers.count(role) && !p->signers[role].argv.empty());
  };
  p->signingKey = r.ExistingFile(t, "keys", "bundle_signing", !hasSigner("bundle_signing"));
  p->certificate = r.ExistingFile(t, "keys", "bundle_certificate", false);
  p->bundleRootKey = r.ExistingFile(t, "keys", "bundle_root", false);
  const bool root = !p->bundleRootKey.empty() || hasSigner("bundle_root");
  if (p->certificate.empty() == !root)
    r.Fail(p->certificate.empty() ? t : r.Get(t, "bundle_root"), "keys.bundle_certificate",
           "give exactly one of bundle_certificate and bundle_root (or bundle_root_signer)");
  if (r.Get(t, "certificate_expiry") && !root)
    r.Fail(r.Get(t, "certificate_expiry"), "keys.certificate_expiry", "only used with bundle_root");
  p->certificateExpiry = ReadExpiry(r, t);
  p->imageRootKey = r.ExistingFile(t, "keys", "image_root", !hasSigner("image_root"));
}

void ReadAuthenticode(const Reader& r, Project* p) {
  const toml::table* t = r.Table("authenticode",
                                 {"enabled", "program", "pkcs12", "password_file", "certificate", "key",
                                  "timestamp_url", "rfc3161_url", "description", "url"},
                                 false);
  if (!t) return;
  AuthenticodeSettings& a = p->authenticode;
  a.enabled = true;
  if (const toml::node* enabled = t->get("enabled")) {
    if (!enabled->is_boolean()) r.Fail(enabled, "authenticode.enabled", "must be true or false");
    a.enabled = enabled->as_boolean()->get();
  }
  const std::string program = r.String(t, "authenticode", "program", false);
  if (!program.empty()) a.program = r.Program(program);
  const toml::node* anchor = program.empty() ? static_cast<const toml::node*>(t) : t->get("program");
  a.origin = r.path() + ":" + std::to_string(anchor->source().begin.line) +
             (program.empty() ? ": authenticode" : ": authenticode.program");
  a.pkcs12 = r.ExistingFile(t, "authenticode", "pkcs12", false);
  a.passwordFile = r.ExistingFile(t, "authenticode", "password_file", false);
  a.certificate = r.ExistingFile(t, "authenticode", "certificate", false);
  a.key = r.ExistingFile(t, "authenticode", "key", false);
  a.timestampUrl = r.String(t, "authenticode", "timestamp_url", false);
  a.rfc3161Url = r.String(t, "authenticode", "rfc3161_url", false);
  a.description = r.String(t, "authenticode", "description", false);
  a.url = r.String(t, "authenticode", "url", false);
  if (!a.enabled) return;
  const bool pair = !a.certificate.empty() || !a.key.empty();
  if (a.pkcs12.empty() == !pair)
    r.Fail(t, "authenticode.pkcs12", "give either pkcs12 or certificate and key");
  if (pair && (a.certificate.empty() || a.key.empty()))
    r.Fail(t, a.certificate.empty() ? "authenticode.certificate" : "authenticode.key", "certificate and key go together");
}

toml::table ParseToml(const std::string& text, const std::string& path) {
  try {
    return toml::parse(text, path);
  } catch (const toml::parse_error& error) {
    throw ToolError(path + ":" + std::to_string(error.source().begin.line) + ": " +
                    std::string(error.description()));
  }
}

// The files the rest of a project names, resolved against its folder but
// neither required nor checked: describing an installer needs only the
// [[file]] tables, yet what it writes must not replace a file the build reads.
void ReadNamedInputs(const Reader& r, Project* p) {
  const auto text = [&](const char* table, const std::string& key) -> std::string {
    const toml::node* node = table ? r.root().get(table) : &r.root();
    node = node && node->is_table() ? node->as_table()->get(key) : nullptr;
    return node && node->is_string() ? node->as_string()->get() : "";
  };
  const auto path = [&](const char* table, const std::string& key) {
    const std::string value = text(table, key);
    return value.empty() ? value : r.Resolve(value);
  };
  p->stub = path(nullptr, "stub");
  p->setup = path(nullptr, "setup");
  p->sg1Payload = path(nullptr, "sg1_payload");
  p->scriptFile = path(nullptr, "script_file");
  p->signingKey = path("keys", "bundle_signing");
  p->certificate = path("keys", "bundle_certificate");
  p->bundleRootKey = path("keys", "bundle_root");
  p->imageRootKey = path("keys", "image_root");
  const toml::node* keys = r.root().get("keys");
  for (const char* role : {"bundle_signing", "bundle_root", "image_root"}) {
    ProjectSigner& signer = p->signers[role];
    signer.publicKeyPath = path("keys", std::string(role) + "_public");
    const toml::node* command = keys && keys->is_table() ? keys->as_table()->get(std::string(role) + "_signer") : nullptr;
    if (command && command->is_array())
      for (const toml::node& word : *command->as_array())
        if (word.is_string() && !word.as_string()->get().empty())
          signer.argv.push_back(signer.argv.empty() ? r.Program(word.as_string()->get()) : word.as_string()->get());
  }
  AuthenticodeSettings& a = p->authenticode;
  if (!text("authenticode", "program").empty()) a.program = r.Program(text("authenticode", "program"));
  a.pkcs12 = path("authenticode", "pkcs12");
  a.passwordFile = path("authenticode", "password_file");
  a.certificate = path("authenticode", "certificate");
  a.key = path("authenticode", "key");
}

}  // namespace

Project ParseProject(const std::string& text, const std::string& path, const ProjectOverrides& overrides) {
  const toml::table root = ParseToml(text, path);
  Reader reader(path, root);
  for (auto&& [key, value] : root) {
    static const std::set<std::string> known = {"stub",        "setup",        "type",       "script",
                                                "script_file", "setup_signature", "sg1_payload", "chunk_size",
                                                "sbom",
                                                "compression", "keys",         "file",       "authenticode"};
    if (!known.count(std::string(key.str()))) reader.Fail(&value, std::string(key.str()), "unknown table or key");
  }
  Project project;
  project.path = path;
  ReadTopLevel(reader, overrides, &project);
  ReadFiles(reader, &project);
  ReadKeys(reader, overrides, &project);
  ReadAuthenticode(reader, &project);
  // The script as the installer will read it: every entry a selected line
  // names must be in the bundle, and every target must be one it writes.
  const std::vector<ScriptLineView> lines =
      ViewScript(ReadScriptLinesFromText(ProjectScript(project)), project.runType, [&](const std::string& name) {
        for (const ProjectFileEntry& file : project.files)
          if (file.name == name) return true;
        return false;
      });
  for (const ScriptLineView& line : lines) {
    if (line.problem.empty()) continue;
    if (project.hasScript)
      throw ToolError(path + ":" + std::to_string(project.scriptLine) + ": script: line " +
                      std::to_string(line.index + 1) + " of the script: " + line.problem);
    // The written script has a heading line, then one line per [[file]]
    // (unless a name or target carries a line break of its own).
    if (line.index == 0 || line.index > project.files.size())
      throw ToolError(path + ": the script written for the [[file]] tables, line " + std::to_string(line.index + 1) +
                      ": " + line.problem);
    throw ToolError(path + ":" + std::to_string(project.files[line.index - 1].line) + ": file.target: " +
                    line.problem);
  }
  return project;
}

Project LoadProject(const std::string& path, const ProjectOverrides& overrides) {
  if (!FileExists(path)) throw ToolError(path + ": project file not found");
  return ParseProject(ReadTextFile(path), path, overrides);
}

Project LoadProjectFiles(const std::string& path) {
  if (!FileExists(path)) throw ToolError(path + ": project file not found");
  const toml::table root = ParseToml(ReadTextFile(path), path);
  Reader reader(path, root);
  Project project;
  project.path = path;
  project.hasScript = root.contains("script") || root.contains("script_file");
  ReadFiles(reader, &project);
  ReadNamedInputs(reader, &project);
  return project;
}

std::vector<std::string> ProjectInputs(const Project& project) {
  std::vector<std::string> inputs = {project.path,          project.stub,        project.setup,
                                     project.scriptFile,    project.sg1Payload,  project.signingKey,
                                     project.certificate,   project.bundleRootKey, project.imageRootKey};
  for (const auto& [role, signer] : project.signers) {
    inputs.push_back(signer.publicKeyPath);
    for (const std::string& file : ExistingFilesAmong(signer.argv)) inputs.push_back(file);
  }
  const AuthenticodeSettings& a = project.authenticode;
  for (const std::string& file : {a.pkcs12, a.passwordFile, a.certificate, a.key}) inputs.push_back(file);
  for (const std::string& file : ExistingFilesAmong({a.program})) inputs.push_back(file);
  for (const ProjectFileEntry& file : project.files) inputs.push_back(file.source);
  return inputs;
}

std::string ProjectScript(const Project& project) {
  if (project.hasScript) return project.scriptText;
  std::string script = "# written by kzpack build\n";
  for (const ProjectFileEntry& file : project.files)
    script += FlagsFor(file.arch, file.windows, project.runType) + "," + file.name + "," + file.target + "\n";
  return script;
}

const char* ProjectFormatHelp() {
  return R"(Project file (TOML). Relative paths are taken from the project file's folder.

  stub = "Stub.exe"                # optional: the installer stub (PE32 or PE32+); default: the one
                                   #   installed with kzpack (KZ_STUB, else Stub.exe beside kzpack,
                                   #   else ../share/kzpack/Stub.exe from kzpack's folder). kzpack build
                                   #   writes the project's root public keys into the copy it uses
  setup = "setup.exe"              # your setup program, started after unpacking
  type = "gui"                     # run type: "gui" shows a progress window; e.g. "silent" runs without
  setup_signature = "refuse"       # or "strip": what to do when setup.exe already carries an
                                   #   Authenticode signature (the attachment chain must end the file)
  sg1_payload = "extra.bin"        # optional "_SG1" record in front of the signature (nothing reads it)
  chunk_size = 1048576             # optional: bytes per compressed chunk (at most 26214400)
  compression = 9                  # optional: zlib level 0..9
  sbom = "MyApp.cdx.json"          # optional: also write a CycloneDX 1.5 bill of materials (--sbom)
  script = """                     # optional verbatim install script (or script_file = "path");
  dep-x64-gui,app64.dll,app.dll    #   without one, a line is written for every [[file]]
  """

  [keys]
  bundle_signing = "keys/bundle_signing.key.der"      # PKCS#8 DER (or PEM)
  bundle_certificate = "keys/bundle_signing.cert"     # from `kzpack cert`, or instead:
  bundle_root = "keys/bundle_root.key.der"            #   issue a certificate (goal IBND) while building
  certificate_expiry = 2035-01-01                     #   (with bundle_root; default 2038-01-19)
  image_root = "keys/image_root.key.der"              # signs the "_SG2" records (RSA-4096)
  # Or a key in a token: <role>_signer instead of the key file, with the public key beside it
  # (runs only with --allow-project-commands; see "External signers" below):
  # image_root_signer = ["/usr/local/bin/token-sign", "image-root"]
  # image_root_public = "keys/image_root.pub.der"
  # With bundle_certificate, the public key of the root that issued it (stamped into the stub):
  # bundle_root_public = "keys/bundle_root.pub.der"

  [[file]]                         # one per file in the bundle
  source = "files/readme.txt"
  name = "readme.txt"              # entry name (default: the source's file name)
  target = "docs\\readme.txt"      # where it lands next to setup.exe (default: the name)
  arch = "any"                     # "x64": 64-bit Windows only, "x86": 32-bit Windows only
  windows = "any"                  # "6+": Windows Vista and later only, "<6": older only
                                   # (target, arch and windows only without a verbatim script)
  [file.identity]                  # optional, for the bill of materials; without it the file is
  name = "zlib"                    #   described by its entry name and hashes only
  version = "1.3.1"
  purl = "pkg:generic/zlib@1.3.1"
  license = "Zlib"                 # an SPDX license expression
  supplier = "The zlib authors"

  [authenticode]                   # optional: sign the finished installer with osslsigncode
                                   #   (runs only with --allow-project-commands)
  program = "osslsigncode"         # optional: the program (a bare name is looked up on PATH)
  pkcs12 = "codesign.p12"          # either pkcs12 (password_file optional) ...
  password_file = "codesign.pass"
  certificate = "codesign.crt"     # ... or certificate and key
  key = "codesign.key"
  timestamp_url = "http://timestamp.example"   # passed through as -t; rfc3161_url as -ts
  description = "My Product"       # optional -n and -i
  url = "https://example.com"
  enabled = true                   # false skips the step
)";
}

}  // namespace kzpack

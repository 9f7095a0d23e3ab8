#include "tools/kzpack/sbom.h"

#include <cryptopp/sha.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <ctime>
#include <random>

#include "attachments/extract.h"
#include "bundle/format.h"
#include "install/install_checks.h"
#include "platform/platform.h"
#include "support/script_lines.h"
#include "tools/kzpack/bundle_scan.h"
#include "tools/kzpack/cli_support.h"
#include "tools/kzpack/development_keys.h"
#include "tools/kzpack/image_signing.h"
#include "tools/kzpack/pe_info.h"
#include "tools/kzpack/project.h"
#include "tools/kzpack/script_view.h"
#include "tools/kzpack/time_text.h"
#include "tools/kzpack/version.h"

// Keys stay in the order written, so the document reads top-down (bomFormat first).
using json = nlohmann::ordered_json;

namespace kzpack {
namespace {

std::string Sha256Hex(const uint8_t* data, size_t size) {
  uint8_t digest[CryptoPP::SHA256::DIGESTSIZE];
  CryptoPP::SHA256().CalculateDigest(digest, data, size);
  return HexOf(digest, sizeof digest);
}

std::string Sha256Hex(const std::vector<uint8_t>& bytes) { return Sha256Hex(bytes.data(), bytes.size()); }

json Hashes(const std::string& sha256) { return json::array({{{"alg", "SHA-256"}, {"content", sha256}}}); }

json Property(const std::string& name, const std::string& value) {
  return {{"name", "kzpack:" + name}, {"value", value}};
}

std::string SignatureState(const EmbeddedSignatureReport& report) {
  if (report.valid()) return report.plainPasses ? "valid (plain)" : "valid (header-excluded)";
  return (report.recordFound ? "not valid: " : "none: ") + report.problem;
}

// "2026-01-31T12:00:00Z"
std::string IsoTime(int64_t seconds) {
  std::string text = FormatTime(seconds);  // "2026-01-31 12:00:00 UTC"
  text[10] = 'T';
  return text.substr(0, 19) + "Z";
}

// A random (version 4) UUID: the document's serial number.
std::string RandomUrnUuid() {
  std::random_device device;
  uint8_t bytes[16];
  for (uint8_t& b : bytes) b = static_cast<uint8_t>(device());
  bytes[6] = static_cast<uint8_t>((bytes[6] & 0x0F) | 0x40);
  bytes[8] = static_cast<uint8_t>((bytes[8] & 0x3F) | 0x80);
  const std::string hex = HexOf(bytes, sizeof bytes);
  return "urn:uuid:" + hex.substr(0, 8) + "-" + hex.substr(8, 4) + "-" + hex.substr(12, 4) + "-" + hex.substr(16, 4) +
         "-" + hex.substr(20);
}

// The fingerprint of a key a signature was checked against, whether it
// verifies there, and whether it is one of the development keys.
void KeyProperties(const std::string& role, const std::vector<uint8_t>& key, bool verifies, json* properties) {
  if (key.empty()) return;
  properties->push_back(Property("key:" + role + ":sha256", Sha256Hex(key)));
  properties->push_back(Property("key:" + role + ":verifies", verifies ? "true" : "false"));
  properties->push_back(Property("key:" + role + ":development", DevelopmentKeyName(key).empty() ? "false" : "true"));
}

// How the conditions name a run type: a blank "TYPE" payload is silent mode.
std::string RunTypeText(const std::string& runType) { return runType.empty() ? "\"\" (blank: silent mode)" : runType; }

// Where the script puts an entry and on which Windows, one target and one
// condition per line that writes it somewhere: selected there, and before
// the first line that fails there (the installer stops at that line). Tags
// test architecture and version independently, and a failing line stops a
// kind of Windows for good, so the kinds that write a line form such a pair.
// Without a run type the installer exits before any of it.
void ScriptProperties(const std::string& name, const std::vector<ScriptLineView>& lines,
                      const std::vector<size_t>& stops, bool typed, const std::string& runType, json* properties) {
  if (!typed) {
    if (name != "install_script")
      properties->push_back(Property("condition", "none: the installer has no run type (no \"TYPE\" attachment) "
                                                  "and exits with code 1"));
    return;
  }
  const std::vector<WindowsKind>& kinds = AllWindowsKinds();
  bool any = false;
  for (const ScriptLineView& line : lines) {
    if (line.fields.size() < 3 || line.fields[1] != name) continue;
    bool bits64 = false, bits32 = false, from6 = false, before6 = false;
    for (size_t k = 0; k < kinds.size(); ++k) {
      if (!line.selected[k] || line.index >= stops[k]) continue;
      (kinds[k].is64 ? bits64 : bits32) = true;
      (kinds[k].majorVersion >= 6 ? from6 : before6) = true;
    }
    if (!bits64 && !bits32) continue;
    any = true;
    const char* arch = bits64 && bits32 ? "any" : bits64 ? "x64" : "x86";
    const char* windows = from6 && before6 ? "any" : from6 ? "6+" : "<6";
    properties->push_back(Property("target", line.fields[2]));
    properties->push_back(Property("condition", std::string("architecture ") + arch + ", Windows " + windows +
                                                    ", run type " + RunTypeText(runType) + " (script line " +
                                                    std::to_string(line.index + 1) + ")"));
  }
  if (!any && name != "install_script")
    properties->push_back(Property("condition", "none: no script line writes it for run type " + RunTypeText(runType)));
}

// The identity the project gives an entry, only when its source is the very
// content the installer carries: a changed file is not described by a guess.
const FileIdentity* IdentityFor(const Project* project, const std::string& name, const std::string& sha256) {
  if (!project) return nullptr;
  for (const ProjectFileEntry& file : project->files) {
    if (file.name != name || file.identity.empty()) continue;
    if (Sha256OfFile(file.source) == sha256) return &file.identity;
    Warn(file.source + ": differs from the installer's entry \"" + name + "\"; its identity is left out");
    return nullptr;
  }
  return nullptr;
}

// What the installer's run type and script do with the entries.
struct ScriptOutcome {
  bool typed = false;  // a "TYPE" attachment the installer accepts
  std::string runType;
  std::vector<ScriptLineView> lines;
  std::vector<size_t> stops;  // FirstFailingLines
};

json EntryComponent(const std::string& bundlePath, const ScannedEntry& entry, const ScriptOutcome& script,
                    const Project* project, const std::string& bomRef) {
  CryptoPP::SHA256 hash;
  ReadScannedEntryChunks(bundlePath, entry, [&](const uint8_t* data, size_t size) { hash.Update(data, size); });
  uint8_t digest[CryptoPP::SHA256::DIGESTSIZE];
  hash.Final(digest);
  const std::string sha256 = HexOf(digest, sizeof digest);

  json component = {{"type", "file"}, {"bom-ref", bomRef}, {"name", entry.name}};
  if (const FileIdentity* identity = IdentityFor(project, entry.name, sha256)) {
    if (!identity->name.empty()) component["name"] = identity->name;
    if (!identity->version.empty()) component["version"] = identity->version;
    if (!identity->supplier.empty()) component["supplier"] = {{"name", identity->supplier}};
    if (!identity->license.empty()) component["licenses"] = json::array({{{"expression", identity->license}}});
    if (!identity->purl.empty()) component["purl"] = identity->purl;
  }
  component["hashes"] = Hashes(sha256);
  json properties = json::array({Property("entry", entry.name), Property("size", std::to_string(entry.size))});
  if (entry.name == "install_script") properties.push_back(Property("role", "install script"));
  ScriptProperties(entry.name, script.lines, script.stops, script.typed, script.runType, &properties);
  component["properties"] = properties;
  return component;
}

std::string FileNameOf(const std::string& path) {
  const size_t slash = path.find_last_of("/\\");
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

int64_t SbomTime() {
  const char* epoch = getenv("SOURCE_DATE_EPOCH");
  if (!epoch || !*epoch) return static_cast<int64_t>(time(nullptr));
  const std::string text = epoch;
  bool digits = text.size() <= 12;
  for (char c : text) digits = digits && isdigit(static_cast<unsigned char>(c));
  if (!digits)
    throw ToolError("SOURCE_DATE_EPOCH: \"" + text + "\" is not a number of seconds since 1970 (e.g. $(git log -1 --format=%ct))",
                    kExitUsage);
  return std::stoll(text);
}

std::string DescribeInstaller(const SbomSubject& subject) {
  const std::string& path = subject.path;
  ScratchDir scratch;
  const std::string setupPath = scratch.path() + "setup.exe";
  const std::string bundlePath = scratch.path() + "ibnd";
  // As the installer unpacks them: the setup program from the chain of its
  // last section, the bundle from the end of the setup program.
  if (!ExtractAttachmentToFile(true, WidePath(path), "LOAD", WidePath(setupPath), 0, 0))
    throw ToolError(path + ": no setup program (\"LOAD\" attachment) to describe; is it an installer?");
  if (!ExtractAttachmentToFile(false, WidePath(setupPath), "IBND", WidePath(bundlePath), 0, 0))
    throw ToolError(path + ": the setup program carries no bundle (\"IBND\" attachment)");
  ScriptOutcome outcome;
  outcome.typed = install::ReadRunType(WidePath(path), &outcome.runType);
  const BundleScan scan = ScanBundle(bundlePath, "IBND", subject.roots.bundleRoot, bundle_format::kInstallerSizeLimit);
  if (!scan.headerValid) throw ToolError(path + ": its \"IBND\" attachment is not a bundle");

  std::string script;
  for (const ScannedEntry& entry : scan.entries) {
    if (entry.name != "install_script") continue;
    const std::vector<uint8_t> bytes = ReadScannedEntry(bundlePath, entry);
    script.assign(bytes.begin(), bytes.end());
    break;
  }
  outcome.lines = ViewScript(ReadScriptLinesFromText(script), outcome.runType, [&](const std::string& name) {
    for (const ScannedEntry& entry : scan.entries)
      if (entry.name == name) return true;
    return false;
  });
  outcome.stops = FirstFailingLines(outcome.lines);

  json entries = json::array();
  std::vector<std::string> refs;
  for (const ScannedEntry& entry : scan.entries) {
    std::string ref = "entry:" + entry.name;
    // A crafted bundle may repeat a name; references must stay unique.
    while (std::find(refs.begin(), refs.end(), ref) != refs.end()) ref += "+";
    refs.push_back(ref);
    entries.push_back(EntryComponent(bundlePath, entry, outcome, subject.project, ref));
  }

  const EmbeddedSignatureReport setupSignature = CheckEmbeddedSignature(setupPath, subject.roots.imageRoot);
  json setupProperties = json::array({Property("size", std::to_string(FileSizeOf(setupPath))),
                                      Property("signature", SignatureState(setupSignature)),
                                      Property("bundle:size", std::to_string(scan.fileSize)),
                                      Property("bundle:entries", std::to_string(scan.entries.size())),
                                      Property("bundle:signature", scan.trusted() ? "valid" : scan.signatureProblem)});
  if (scan.certificateParses)
    setupProperties.push_back(Property("bundle:certificate:expiry", IsoTime(scan.certificate.expiry)));
  // Where the script stops, per kind of Windows (what verify reports).
  const std::vector<std::string> failures = outcome.typed ? ScriptFailures(outcome.lines) : std::vector<std::string>();
  for (size_t k = 0; k < failures.size(); ++k)
    if (!failures[k].empty())
      setupProperties.push_back(Property("script:stops", std::string(AllWindowsKinds()[k].label) + ": " + failures[k]));
  json setup = {{"type", "application"},
                {"bom-ref", "setup"},
                {"name", "setup.exe"},
                {"hashes", Hashes(Sha256OfFile(setupPath))},
                {"properties", setupProperties},
                {"components", entries}};

  const EmbeddedSignatureReport installerSignature = CheckEmbeddedSignature(path, subject.roots.imageRoot);
  PeInfo info;
  std::string reason;
  const bool pe = ReadPeInfoFromFile(path, &info, &reason);
  json installerProperties = json::array({Property("size", std::to_string(FileSizeOf(path))),
                                          Property("runType", outcome.typed ? outcome.runType
                                                                            : "none: no \"TYPE\" attachment (the "
                                                                              "installer exits with code 1)"),
                                          Property("signature", SignatureState(installerSignature))});
  installerProperties.push_back(Property(
      "authenticode", pe && info.certificateTableSize ? "present (" + std::to_string(info.certificateTableSize) +
                                                            "-byte certificate table)"
                                                      : "none"));

  json keys = json::array();
  KeyProperties("imageRoot", subject.roots.imageRoot, installerSignature.valid() && setupSignature.valid(), &keys);
  KeyProperties("bundleRoot", subject.roots.bundleRoot, scan.certificateValid, &keys);
  if (scan.certificateParses) KeyProperties("bundleSigning", scan.certificate.keyDer, scan.trusted(), &keys);

  json doc = {
      {"bomFormat", "CycloneDX"},
      {"specVersion", "1.5"},
      {"serialNumber", RandomUrnUuid()},
      {"version", 1},
      {"metadata",
       {{"timestamp", IsoTime(subject.time)},
        {"tools", {{"components", json::array({{{"type", "application"}, {"name", "kzpack"}, {"version", KzpackVersion()}}})}}},
        {"component",
         {{"type", "application"},
          {"bom-ref", "installer"},
          {"name", subject.name.empty() ? FileNameOf(path) : subject.name},
          {"hashes", Hashes(Sha256OfFile(path))},
          {"properties", installerProperties}}},
        {"properties", keys}}},
      {"components", json::array({setup})},
      {"dependencies", json::array({{{"ref", "installer"}, {"dependsOn", json::array({"setup"})}}})}};
  // Entry names and script text are bytes; anything that is not UTF-8 is replaced, not fatal.
  return doc.dump(2, ' ', false, json::error_handler_t::replace) + "\n";
}

}  // namespace kzpack

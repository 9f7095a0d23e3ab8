// kzpack inspect: what an installer, setup program or bundle holds, in plain
// text or JSON.
#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <cstring>
#include <memory>

#include "attachments/extract.h"
#include "attachments/pe_chain_end.h"
#include "attachments/trailer.h"
#include "bundle/format.h"
#include "platform/platform.h"
#include "support/script_lines.h"
#include "tools/kzpack/build_inputs.h"
#include "tools/kzpack/bundle_scan.h"
#include "tools/kzpack/cli_support.h"
#include "tools/kzpack/commands.h"
#include "tools/kzpack/development_keys.h"
#include "tools/kzpack/image_signing.h"
#include "tools/kzpack/installer_check.h"
#include "tools/kzpack/key_files.h"
#include "tools/kzpack/output_file.h"
#include "tools/kzpack/pe_info.h"
#include "tools/kzpack/project.h"
#include "tools/kzpack/sbom.h"
#include "tools/kzpack/script_view.h"
#include "tools/kzpack/stub_keys.h"
#include "tools/kzpack/time_text.h"

using nlohmann::json;

namespace kzpack {
namespace {

struct InspectOptions {
  std::string file;
  bool json = false;
  std::string bundleRoot;
  std::string imageRoot;
  std::string sbom;
  std::string project;
};

// The bill of materials instead of the view; identities only from a project file.
void WriteInspectSbom(const InspectOptions& options) {
  if (!FileExists(options.file)) throw ToolError(options.file + ": file not found");
  // The document must not replace what this command reads, nor what a build
  // of the project it names would read.
  std::vector<std::string> inputs = {options.file, options.bundleRoot, options.imageRoot};
  Project project;
  if (!options.project.empty()) {
    project = LoadProjectFiles(options.project);
    for (const std::string& input : BuildInputs(project, SigningOptions())) inputs.push_back(input);
  }
  RefuseOutputOverInputs("--sbom", options.sbom, inputs, "bom.cdx.json");
  SbomSubject subject;
  subject.path = options.file;
  subject.roots = RootsForFile(options.file, options.bundleRoot, options.imageRoot);
  subject.time = SbomTime();
  if (!options.project.empty()) subject.project = &project;
  const std::string text = DescribeInstaller(subject);
  WriteFileAtomically(options.sbom, std::vector<uint8_t>(text.begin(), text.end()));
  Note(options.sbom + ": bill of materials of " + options.file);
}

// Every attachment of the chain that ends at `end`, last first, with its digest checked.
json ListChain(const std::string& path, int64_t end) {
  json records = json::array();
  FILE* file = platform::OpenStdioFile(WidePath(path), L"rb");
  if (!file) return records;
  std::vector<uint8_t> block(0x100000);
  for (int64_t pos = end - static_cast<int64_t>(kTrailerSize); pos >= 0;) {
    uint8_t bytes[kTrailerSize];
    if (!platform::SeekStdio(file, pos, SEEK_SET) || fread(bytes, 1, kTrailerSize, file) != kTrailerSize) break;
    const AttachmentTrailer trailer = ParseTrailer(bytes);
    if (trailer.magic != kAttachmentMagic) break;
    const int64_t start = pos - static_cast<int64_t>(trailer.payloadSize);
    std::string digest = "position invalid";
    if (start >= 0 && platform::SeekStdio(file, start, SEEK_SET)) {
      PayloadDigest md5;
      uint64_t left = trailer.payloadSize;
      bool read = true;
      while (left > 0 && read) {
        const size_t n = static_cast<size_t>(std::min<uint64_t>(left, block.size()));
        read = fread(block.data(), 1, n, file) == n;
        ScrambleBytes(block.data(), n);
        md5.Update(block.data(), n);
        left -= n;
      }
      uint8_t computed[kDigestSize];
      md5.Final(computed);
      digest = !read ? "unreadable" : memcmp(computed, trailer.digest, kDigestSize) == 0 ? "ok" : "MISMATCH";
    }
    records.push_back({{"type", TypeCodeText(trailer.typeCode).substr(0, 4)},
                       {"offset", start},
                       {"size", trailer.payloadSize},
                       {"digest", digest}});
    if (start < 0) break;
    pos = start - static_cast<int64_t>(kTrailerSize);
  }
  fclose(file);
  return records;
}

json SignatureJson(const EmbeddedSignatureReport& report) {
  json out = {{"found", report.recordFound}, {"valid", report.valid()}};
  if (report.recordFound) {
    out["mode"] = report.mode == 0 ? "chain end" : "below the certificate table";
    out["signedLength"] = report.signedLength;
    out["signatureBytes"] = report.signatureBytes;
  }
  out["passingAttempt"] = report.plainPasses ? "plain" : report.excludedPasses ? "header-excluded" : "none";
  if (!report.problem.empty()) out["problem"] = report.problem;
  return out;
}

json BundleJson(const std::string& path, const RootKeys& roots) {
  const BundleScan scan = ScanBundle(path, "IBND", roots.bundleRoot, bundle_format::kInstallerSizeLimit);
  json out = {{"size", scan.fileSize}, {"valid", scan.headerValid}};
  if (!scan.headerValid) return out;
  json entries = json::array();
  for (const ScannedEntry& entry : scan.entries)
    entries.push_back({{"name", entry.name}, {"size", entry.size}, {"chunks", entry.chunks.size()}});
  out["entries"] = entries;
  out["digest"] = scan.digestMatches ? "ok" : "MISMATCH";
  out["signed"] = scan.isSigned;
  if (scan.certificateParses) {
    out["certificate"] = {{"goal", std::string(scan.certificate.goal, 4)},
                          {"expiry", FormatTime(scan.certificate.expiry)},
                          {"keyBits", PublicKeyBits(scan.certificate.keyDer)},
                          {"valid", scan.certificateValid}};
  }
  out["signature"] = scan.trusted() ? "valid" : scan.signatureProblem;
  if (!scan.structureProblems.empty()) out["problems"] = scan.structureProblems;
  for (const ScannedEntry& entry : scan.entries) {
    if (entry.name != "install_script") continue;
    std::string text;
    try {
      const std::vector<uint8_t> bytes = ReadScannedEntry(path, entry);
      text.assign(bytes.begin(), bytes.end());
    } catch (const ToolError& error) {
      out["scriptProblem"] = error.what();
    }
    out["scriptText"] = text;
  }
  return out;
}

// The script's lines with the Windows kinds each applies to, for a run type.
json ScriptJson(const std::string& text, const std::string& runType, const json& entries) {
  json lines = json::array();
  const auto views = ViewScript(ReadScriptLinesFromText(text), runType, [&](const std::string& name) {
    for (const json& entry : entries)
      if (entry["name"] == name) return true;
    return false;
  });
  for (const ScriptLineView& view : views) {
    json appliesOn = json::array();
    for (size_t k = 0; k < view.selected.size(); ++k)
      if (view.selected[k]) appliesOn.push_back(AllWindowsKinds()[k].label);
    json line = {{"line", view.index + 1}, {"text", view.text}, {"appliesOn", appliesOn}};
    if (!view.problem.empty()) line["problem"] = view.problem;
    lines.push_back(line);
  }
  return lines;
}

json PeJson(const std::string& path, const PeInfo& info) {
  json sections = json::array();
  for (const PeSection& s : info.sections)
    sections.push_back({{"name", s.name},
                        {"virtualAddress", s.virtualAddress},
                        {"virtualSize", s.virtualSize},
                        {"rawPointer", s.rawPointer},
                        {"rawSize", s.rawSize}});
  json out = {{"machine", MachineName(info.machine)},
              {"format", info.pe32plus ? "PE32+" : "PE32"},
              {"sections", sections},
              {"checkSum", info.checkSum},
              {"certificateTable", {{"offset", info.certificateTableOffset}, {"size", info.certificateTableSize}}}};
  FILE* file = platform::OpenStdioFile(WidePath(path), L"rb");
  const int64_t sectionEnd = file ? PeRawDataEnd(file) : -1;
  if (file) fclose(file);
  out["chainAtSectionEnd"] = ListChain(path, sectionEnd);
  if (static_cast<uint64_t>(sectionEnd) != info.fileSize)
    out["chainAtFileEnd"] = ListChain(path, static_cast<int64_t>(info.fileSize));
  return out;
}

// The key block of the file's stub: where it is and the SHA-256 fingerprints of the roots in it.
json RootKeysJson(const std::string& path) {
  const StubKeyBlock block = ReadStubKeyBlockOfFile(path);
  switch (block.state) {
    case KeyBlockState::kAbsent:
      return {{"state", "none"}};
    case KeyBlockState::kDoubled:
    case KeyBlockState::kMalformed:
      return {{"state", block.state == KeyBlockState::kDoubled ? "doubled" : "malformed"}, {"problem", block.problem}};
    case KeyBlockState::kFound:
      break;
  }
  return {{"state", "stamped"},
          {"offset", block.offset},
          {"imageRoot", {{"sha256", KeyFingerprint(block.roots.imageRoot)}, {"bits", PublicKeyBits(block.roots.imageRoot)}}},
          {"bundleRoot",
           {{"sha256", KeyFingerprint(block.roots.bundleRoot)}, {"bits", PublicKeyBits(block.roots.bundleRoot)}}}};
}

json Inspect(const std::string& path, const RootKeys& roots) {
  json doc = {{"file", path}, {"size", FileSizeOf(path)}, {"developmentKeys", DevelopmentKeyFindings(path)}};
  unsigned char magic[12] = {};
  {
    FILE* file = platform::OpenStdioFile(WidePath(path), L"rb");
    if (!file) throw ToolError(path + ": cannot open the file");
    const size_t got = fread(magic, 1, sizeof magic, file);
    fclose(file);
    if (got == sizeof magic && memcmp(magic, bundle_format::kMagic, sizeof magic) == 0) {
      doc["kind"] = "bundle";
      doc["bundle"] = BundleJson(path, roots);
      const json& b = doc["bundle"];
      if (b.contains("scriptText")) doc["script"] = ScriptJson(b["scriptText"], "gui", b["entries"]);
      return doc;
    }
  }
  PeInfo info;
  std::string reason;
  if (!ReadPeInfoFromFile(path, &info, &reason)) {
    doc["kind"] = "other";
    doc["chainAtFileEnd"] = ListChain(path, FileSizeOf(path));
    return doc;
  }
  doc["kind"] = "pe";
  doc["pe"] = PeJson(path, info);
  doc["rootKeys"] = RootKeysJson(path);
  doc["embeddedSignature"] = SignatureJson(CheckEmbeddedSignature(path, roots.imageRoot));

  ScratchDir scratch;
  const std::string type = ReadAttachment(WidePath(path), "TYPE");
  std::string setupPath = path;
  if (!type.empty()) doc["runType"] = type;
  const std::string extracted = scratch.path() + "setup.exe";
  if (ExtractAttachmentToFile(true, WidePath(path), "LOAD", WidePath(extracted), 0, 0)) {
    setupPath = extracted;
    json setup = {{"size", FileSizeOf(extracted)}};
    PeInfo setupInfo;
    if (ReadPeInfoFromFile(extracted, &setupInfo, &reason)) setup["pe"] = PeJson(extracted, setupInfo);
    setup["embeddedSignature"] = SignatureJson(CheckEmbeddedSignature(extracted, roots.imageRoot));
    doc["setup"] = setup;
  }
  const std::string bundlePath = scratch.path() + "ibnd";
  if (ExtractAttachmentToFile(false, WidePath(setupPath), "IBND", WidePath(bundlePath), 0, 0)) {
    doc["bundle"] = BundleJson(bundlePath, roots);
    const json& b = doc["bundle"];
    std::string runType = type;
    while (!runType.empty() && static_cast<signed char>(runType.back()) <= 0x20) runType.pop_back();
    if (b.contains("scriptText"))
      doc["script"] = ScriptJson(b["scriptText"], runType.empty() ? "gui" : runType, b["entries"]);
  }
  return doc;
}

std::string Str(const json& value) { return value.is_string() ? value.get<std::string>() : value.dump(); }

void PrintChain(const char* title, const json& chain) {
  if (chain.empty()) {
    printf("  %s: none\n", title);
    return;
  }
  printf("  %s (last first):\n", title);
  for (const json& r : chain)
    printf("    %-4s offset %-10s size %-10s digest %s\n", Str(r["type"]).c_str(), Str(r["offset"]).c_str(),
           Str(r["size"]).c_str(), Str(r["digest"]).c_str());
}

void PrintPe(const json& pe) {
  printf("  %s %s, CheckSum 0x%08llx, certificate table %s bytes at %s\n", Str(pe["format"]).c_str(),
         Str(pe["machine"]).c_str(), pe["checkSum"].get<unsigned long long>(),
         Str(pe["certificateTable"]["size"]).c_str(), Str(pe["certificateTable"]["offset"]).c_str());
  printf("  %-9s %10s %10s %10s %10s\n", "section", "vaddr", "vsize", "raw at", "raw size");
  for (const json& s : pe["sections"])
    printf("  %-9s %10s %10s %10s %10s\n", Str(s["name"]).c_str(), Str(s["virtualAddress"]).c_str(),
           Str(s["virtualSize"]).c_str(), Str(s["rawPointer"]).c_str(), Str(s["rawSize"]).c_str());
  PrintChain("chain at the end of the last section", pe["chainAtSectionEnd"]);
  if (pe.contains("chainAtFileEnd")) PrintChain("chain at the end of the file", pe["chainAtFileEnd"]);
}

void PrintSignature(const json& s) {
  if (!s["found"].get<bool>()) {
    printf("  embedded signature: none (%s)\n", Str(s["problem"]).c_str());
    return;
  }
  printf("  embedded signature: %s; %s bytes signed, record found at the %s; passing attempt: %s\n",
         s["valid"].get<bool>() ? "valid" : "NOT VALID", Str(s["signedLength"]).c_str(), Str(s["mode"]).c_str(),
         Str(s["passingAttempt"]).c_str());
  if (s.contains("problem")) printf("    %s\n", Str(s["problem"]).c_str());
}

void PrintRootKeys(const json& keys) {
  const std::string state = Str(keys["state"]);
  if (state == "none") {
    printf("  root keys: no key block (a stub built before key blocks, its roots compiled in; or not a stub)\n");
  } else if (state != "stamped") {
    printf("  root keys: key block %s: %s\n", state.c_str(), Str(keys["problem"]).c_str());
  } else {
    printf("  root keys (key block at %s):\n", Str(keys["offset"]).c_str());
    printf("    image root   RSA-%s  sha256 %s\n", Str(keys["imageRoot"]["bits"]).c_str(),
           Str(keys["imageRoot"]["sha256"]).c_str());
    printf("    bundle root  RSA-%s  sha256 %s\n", Str(keys["bundleRoot"]["bits"]).c_str(),
           Str(keys["bundleRoot"]["sha256"]).c_str());
  }
}

void PrintText(const json& doc) {
  printf("%s: %s bytes, %s\n", Str(doc["file"]).c_str(), Str(doc["size"]).c_str(), Str(doc["kind"]).c_str());
  const std::string development = DevelopmentKeyLine(doc["developmentKeys"].get<std::vector<std::string>>());
  if (!development.empty()) printf("%s\n", development.c_str());
  if (doc.contains("chainAtFileEnd")) PrintChain("chain at the end of the file", doc["chainAtFileEnd"]);
  if (doc.contains("pe")) PrintPe(doc["pe"]);
  if (doc.contains("rootKeys")) PrintRootKeys(doc["rootKeys"]);
  if (doc.contains("embeddedSignature")) PrintSignature(doc["embeddedSignature"]);
  if (doc.contains("runType")) printf("run type: \"%s\"\n", Str(doc["runType"]).c_str());
  if (doc.contains("setup")) {
    const json& setup = doc["setup"];
    printf("setup program (LOAD): %s bytes\n", Str(setup["size"]).c_str());
    if (setup.contains("pe")) PrintPe(setup["pe"]);
    PrintSignature(setup["embeddedSignature"]);
  }
  if (doc.contains("bundle")) {
    const json& b = doc["bundle"];
    printf("bundle: %s bytes\n", Str(b["size"]).c_str());
    if (!b["valid"].get<bool>()) {
      printf("  not a bundle\n");
      return;
    }
    if (b.contains("certificate"))
      printf("  certificate: goal %s, expiry %s, RSA-%s key, %s\n", Str(b["certificate"]["goal"]).c_str(),
             Str(b["certificate"]["expiry"]).c_str(), Str(b["certificate"]["keyBits"]).c_str(),
             b["certificate"]["valid"].get<bool>() ? "signed by the bundle root" : "NOT VALID");
    printf("  signature: %s\n  checksum: %s\n", Str(b["signature"]).c_str(), Str(b["digest"]).c_str());
    if (b.contains("problems"))
      for (const json& p : b["problems"]) printf("  problem: %s\n", Str(p).c_str());
    printf("  %-40s %12s %7s\n", "entry", "size", "chunks");
    for (const json& e : b["entries"])
      printf("  %-40s %12s %7s\n", Str(e["name"]).c_str(), Str(e["size"]).c_str(), Str(e["chunks"]).c_str());
  }
  if (doc.contains("script")) {
    printf("install script (which lines apply where):\n");
    for (const json& line : doc["script"]) {
      std::string where;
      for (const json& kind : line["appliesOn"]) where += (where.empty() ? "" : ", ") + Str(kind);
      printf("  %3s  %-50s %s\n", Str(line["line"]).c_str(), Str(line["text"]).c_str(),
             where.empty() ? "-" : where.c_str());
      if (line.contains("problem")) printf("       FAILS: %s\n", Str(line["problem"]).c_str());
    }
  }
}

}  // namespace

void RegisterInspect(CLI::App& app) {
  auto options = std::make_shared<InspectOptions>();
  CLI::App* cmd = app.add_subcommand("inspect", "Show what an installer, setup program or bundle holds");
  cmd->add_option("file", options->file, "Installer, setup program, bundle or any file with a chain")->required();
  cmd->add_flag("--json", options->json, "JSON output");
  cmd->add_option("--bundle-root", options->bundleRoot,
                  "Bundle root public key (DER); default: the one stamped in the stub, else built in");
  cmd->add_option("--image-root", options->imageRoot,
                  "Image root public key (DER); default: the one stamped in the stub, else built in");
  cmd->add_option("--sbom", options->sbom, "Write a CycloneDX 1.5 JSON bill of materials of the installer instead");
  cmd->add_option("--project", options->project, "With --sbom: take the entries' identities from this project file");
  cmd->footer(
      "Shows PE sections, the root keys in the stub's key block (SHA-256 fingerprints of the DER public\n"
      "keys, as sha256sum prints them for .pub.der files; JSON: \"rootKeys\"), the attachment chain (types,\n"
      "sizes, digest status), the embedded signature (which attempt passes), and the bundle: certificate\n"
      "goal and expiry, signature status, entries, and the install script with the Windows kinds each\n"
      "line applies to. Signatures are checked against the stamped roots unless --image-root/--bundle-root\n"
      "name others. A \"DEVELOPMENT KEYS\" line (JSON:\n"
      "\"developmentKeys\", a list, empty when none) says what trusts or is signed with the keys from keys/.\n"
      "With --sbom FILE it writes the installer's bill of materials instead, as `kzpack build --sbom` does\n"
      "(see `kzpack build --help`); entries carry a name, version, purl, license or supplier only when\n"
      "--project names the project file that gives them ([file.identity]) and the file's content matches.\n"
      "Examples:\n"
      "  kzpack inspect Installer.exe\n"
      "  kzpack inspect --json Installer.exe | jq .bundle.entries\n"
      "  kzpack inspect Installer.exe --sbom Installer.cdx.json --project myapp.toml");
  cmd->callback([options] {
    if (!options->project.empty() && options->sbom.empty())
      throw ToolError("--project: only used with --sbom", kExitUsage);
    if (!options->sbom.empty()) return WriteInspectSbom(*options);
    const json doc = Inspect(options->file, RootsForFile(options->file, options->bundleRoot, options->imageRoot));
    if (options->json) {
      json copy = doc;
      if (copy.contains("bundle")) copy["bundle"].erase("scriptText");
      printf("%s\n", copy.dump(2).c_str());
    } else {
      PrintText(doc);
    }
  });
}

}  // namespace kzpack

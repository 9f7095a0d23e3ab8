// Corruption sweep of a finished installer: every byte of the headers, of the
// chain's records and trailers and of the Authenticode table is flipped in
// turn (and every `stride`-th byte of the section data and of the setup
// program), and each copy is decided natively by the installer's own checks
// (the code its worker runs). A flip is refused by some check, or harmless: accepted with exactly the
// same run type, setup program and bundle entries as the pristine file. An
// accepted flip that delivers anything different is a fault (exit code 1).
//
//   kz_corruption_sweep INSTALLER [--stride N] [--mask HEX] [--fix-digests]
//                       [--refused-out DIR --refused-count N]
//
// --fix-digests flips only bytes of the chain payloads and then recomputes
// every attachment digest (inside the setup program too), as a deliberate
// attacker would: what refuses the change is then a signature.
//
// With --refused-out, N refused copies spread over the regions and checks are
// written there (named offset_region_step.exe) for runs of the real stub.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "attachments/extract.h"
#include "attachments/trailer.h"
#include "bundle/bundle.h"
#include "install/install_checks.h"
#include "integrity/embedded_signature.h"
#include "platform/platform.h"

namespace {

// What the installer would do with a copy: the start-up checks (run type,
// its own embedded signature) and then the installation's own checks,
// through the same code the stub's worker runs. Where the worker runs the
// script, the sweep extracts every entry: after a valid signature none may
// differ from what was packed.
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

const char* StepName(Step step) {
  switch (step) {
    case Step::kRunType: return "run type (TYPE)";
    case Step::kInstallerSignature: return "installer signature (_SG2)";
    case Step::kSetupProgram: return "setup program (LOAD digest)";
    case Step::kBundleAttachment: return "bundle attachment (IBND digest)";
    case Step::kBundle: return "bundle validation";
    case Step::kInstallScript: return "install script";
    case Step::kEntries: return "entry extraction";
    case Step::kSetupSignature: return "setup signature";
    case Step::kAccepted: return "accepted";
  }
  return "?";
}

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

std::wstring Wide(const std::string& path) { return std::filesystem::u8path(path).wstring(); }

std::string ReadWhole(const std::string& path) {
  std::string bytes;
  FILE* file = platform::OpenStdioFile(Wide(path), L"rb");
  if (file == nullptr) return bytes;
  char block[1 << 16];
  size_t n;
  while ((n = fread(block, 1, sizeof block, file)) > 0) bytes.append(block, n);
  fclose(file);
  return bytes;
}

Step StepOf(install::InstallStep step) {
  switch (step) {
    case install::InstallStep::kSetupProgram:
    case install::InstallStep::kSetupHeld: return Step::kSetupProgram;
    case install::InstallStep::kBundleAttachment: return Step::kBundleAttachment;
    case install::InstallStep::kBundle: return Step::kBundle;
    case install::InstallStep::kInstallScript: return Step::kInstallScript;
    case install::InstallStep::kScript: return Step::kEntries;
    case install::InstallStep::kSetupSignature: return Step::kSetupSignature;
    case install::InstallStep::kAccepted: return Step::kAccepted;
  }
  return Step::kRunType;
}

Step DecideInto(const std::string& installerPath, const std::string& workDir, Delivery* delivery) {
  if (!install::ReadRunType(Wide(installerPath), &delivery->runType)) return Step::kRunType;
  if (!VerifyEmbeddedSignature(Wide(installerPath), false)) return Step::kInstallerSignature;

  const std::string entryPath = workDir + "entry";
  install::InstallHooks hooks;
  hooks.runScript = [&](Bundle& bundle) {
    std::vector<std::string> names;
    for (const auto& entry : bundle.entries()) names.push_back(entry->name);
    for (const std::string& name : names) {
      if (delivery->entries.count(name)) continue;  // the first of equal names wins
      if (!bundle.ExtractEntry(Wide(entryPath), name)) return false;
      delivery->entries[name] = ReadWhole(entryPath);
    }
    return true;
  };
  hooks.verifySetup = [](const std::wstring& setupPath) { return VerifyEmbeddedSignature(setupPath, false); };
  Bundle bundle;
  const Step step = StepOf(install::RunInstallChecks(Wide(installerPath), Wide(workDir), &bundle, hooks));
  if (step == Step::kAccepted) delivery->setup = ReadWhole(workDir + "setup.exe");
  return step;
}

// `workDir` is an existing folder, ending with a separator, that the
// decision uses for setup.exe, ibnd and the entries (emptied afterwards).
Decision DecideInstaller(const std::string& installerPath, const std::string& workDir) {
  Decision decision;
  decision.step = DecideInto(installerPath, workDir, &decision.delivery);
  if (decision.step != Step::kAccepted) decision.delivery = Delivery();
  std::error_code ignored;
  for (const char* name : {"setup.exe", "ibnd", "entry"}) std::filesystem::remove(workDir + name, ignored);
  return decision;
}

FILE* gReport = stdout;

struct Region {
  uint64_t begin, end;
  std::string name;
  bool exhaustive;  // every byte, or every stride-th
};

uint32_t Le32(const std::string& b, uint64_t at) {
  if (at + 4 > b.size()) return 0;
  return uint32_t(uint8_t(b[at])) | uint32_t(uint8_t(b[at + 1])) << 8 | uint32_t(uint8_t(b[at + 2])) << 16 |
         uint32_t(uint8_t(b[at + 3])) << 24;
}
uint16_t Le16(const std::string& b, uint64_t at) {
  if (at + 2 > b.size()) return 0;
  return uint16_t(uint8_t(b[at]) | uint8_t(b[at + 1]) << 8);
}

// The file's layout: header fields the header-excluding signature leaves out,
// the rest of the headers, each section, the chain records inside the last
// section, the certificate table, and anything else.
std::vector<Region> MapInstaller(const std::string& b) {
  std::vector<Region> regions;
  const uint64_t e = Le32(b, 0x3C);
  const uint16_t sections = Le16(b, e + 6);
  const uint16_t optionalSize = Le16(b, e + 20);
  const bool plus = Le16(b, e + 24) == 0x20B;
  const uint64_t table = e + 24 + optionalSize;
  const uint64_t headersEnd = Le32(b, e + 24 + 60);
  const uint64_t certEntry = e + 24 + (plus ? 112 : 96) + 4 * 8;
  const uint64_t certOffset = Le32(b, certEntry), certSize = Le32(b, certEntry + 4);

  std::vector<Region> fields = {{e + 6, e + 8, "header: NumberOfSections", true},
                                {e + 0x50, e + 0x54, "header: SizeOfImage", true},
                                {e + 0x58, e + 0x5C, "header: CheckSum", true},
                                {certEntry, certEntry + 8, "header: certificate table entry", true}};
  const uint64_t tableEnd = table + 40ull * sections;
  uint64_t cursor = 0;
  for (const Region& f : fields) {
    if (f.begin > cursor) regions.push_back({cursor, f.begin, "header: other fields", true});
    regions.push_back(f);
    cursor = f.end;
  }
  regions.push_back({cursor, table + 40ull * (sections - 1), "header: other fields and section table", true});
  regions.push_back({table + 40ull * (sections - 1), tableEnd, "header: last section header (.KZBNDL)", true});
  regions.push_back({tableEnd, headersEnd, "header: padding after the section table", true});

  uint64_t lastRawEnd = headersEnd;
  for (uint16_t i = 0; i < sections; ++i) {
    const uint64_t s = table + 40ull * i;
    const std::string name(b.data() + s, strnlen(b.data() + s, 8));
    const uint64_t raw = Le32(b, s + 20), rawSize = Le32(b, s + 16);
    if (raw == 0 || rawSize == 0) continue;
    if (raw > lastRawEnd) regions.push_back({lastRawEnd, raw, "gap between sections", true});
    if (i + 1 < sections) {
      regions.push_back({raw, raw + rawSize, "section " + name, false});
    } else {
      // The chain, walked backwards from the end of the section.
      std::vector<Region> chain;
      int64_t pos = static_cast<int64_t>(raw + rawSize) - static_cast<int64_t>(kTrailerSize);
      while (pos >= static_cast<int64_t>(raw)) {
        const AttachmentTrailer t = ParseTrailer(reinterpret_cast<const uint8_t*>(b.data()) + pos);
        if (t.magic != kAttachmentMagic) break;
        const std::string type = TypeCodeText(t.typeCode).substr(0, 4);
        chain.push_back({uint64_t(pos), uint64_t(pos) + kTrailerSize, "chain: " + type + " trailer", true});
        const int64_t start = pos - static_cast<int64_t>(t.payloadSize);
        if (start < static_cast<int64_t>(raw)) break;
        chain.push_back({uint64_t(start), uint64_t(pos), "chain: " + type + " payload", type != "LOAD"});
        pos = start - static_cast<int64_t>(kTrailerSize);
      }
      std::reverse(chain.begin(), chain.end());
      uint64_t c = raw;
      for (const Region& r : chain) {
        if (r.begin > c) regions.push_back({c, r.begin, "section .KZBNDL before the chain", true});
        regions.push_back(r);
        c = r.end;
      }
      if (raw + rawSize > c) regions.push_back({c, raw + rawSize, "section .KZBNDL after the chain", true});
    }
    lastRawEnd = std::max(lastRawEnd, raw + rawSize);
  }
  if (certSize && certOffset >= lastRawEnd && certOffset + certSize <= b.size()) {
    if (certOffset > lastRawEnd) regions.push_back({lastRawEnd, certOffset, "between image and certificate table", true});
    regions.push_back({certOffset, certOffset + certSize, "Authenticode certificate table", true});
    lastRawEnd = certOffset + certSize;
  }
  if (b.size() > lastRawEnd) regions.push_back({lastRawEnd, b.size(), "after the image", true});
  return regions;
}

// Recomputes the digests of the chain that ends at `end` in `bytes` (plain
// bytes of a file), as anyone who alters a payload can: the walk goes
// backwards, and each trailer gets the MD5 of its descrambled payload.
void RepairChainDigests(std::string* bytes, int64_t begin, int64_t end) {
  int64_t pos = end - static_cast<int64_t>(kTrailerSize);
  while (pos >= begin) {
    uint8_t* raw = reinterpret_cast<uint8_t*>(&(*bytes)[0]) + pos;
    AttachmentTrailer t = ParseTrailer(raw);
    if (t.magic != kAttachmentMagic) return;
    const int64_t start = pos - static_cast<int64_t>(t.payloadSize);
    if (start < begin) return;
    std::string plain = bytes->substr(static_cast<size_t>(start), t.payloadSize);
    ScrambleBytes(reinterpret_cast<uint8_t*>(&plain[0]), plain.size());
    PayloadDigest md5;
    md5.Restart();
    md5.Update(reinterpret_cast<const uint8_t*>(plain.data()), plain.size());
    md5.Final(t.digest);
    SerializeTrailer(t, raw);
    pos = start - static_cast<int64_t>(kTrailerSize);
  }
}

// The flipped file with the digests put right: inside the setup program
// (its own chain at its end) first, then the installer's chain.
std::string WithRepairedDigests(std::string bytes, const Region& load, uint64_t chainBegin, uint64_t chainEnd) {
  if (load.end > load.begin) {
    std::string setup = bytes.substr(load.begin, load.end - load.begin);
    ScrambleBytes(reinterpret_cast<uint8_t*>(&setup[0]), setup.size());
    RepairChainDigests(&setup, 0, static_cast<int64_t>(setup.size()));
    ScrambleBytes(reinterpret_cast<uint8_t*>(&setup[0]), setup.size());
    bytes.replace(load.begin, setup.size(), setup);
  }
  RepairChainDigests(&bytes, static_cast<int64_t>(chainBegin), static_cast<int64_t>(chainEnd));
  return bytes;
}

bool WriteByteAt(int fd, uint64_t offset, uint8_t value) {
  return pwrite(fd, &value, 1, static_cast<off_t>(offset)) == 1;
}

struct Tally {
  uint64_t flipped = 0, harmless = 0, runTypeChanged = 0;
  std::map<Step, uint64_t> refused;
  std::vector<uint64_t> harmlessOffsets;
};

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: %s INSTALLER [--stride N] [--mask HEX] [--refused-out DIR --refused-count N]\n", argv[0]);
    return 2;
  }
  std::string source = argv[1], refusedOut;
  uint64_t stride = 97;
  unsigned mask = 0xFF;
  size_t refusedCount = 0;
  bool fixDigests = false;
  for (int i = 2; i < argc; ++i) {
    const std::string option = argv[i];
    if (option == "--fix-digests") {
      fixDigests = true;
      continue;
    }
    if (i + 1 >= argc) break;
    if (option == "--stride") stride = std::max<uint64_t>(1, strtoull(argv[i + 1], nullptr, 10));
    else if (option == "--mask") mask = static_cast<unsigned>(strtoul(argv[i + 1], nullptr, 16)) & 0xFF;
    else if (option == "--refused-out") refusedOut = argv[i + 1];
    else if (option == "--refused-count") refusedCount = strtoull(argv[i + 1], nullptr, 10);
    ++i;
  }
  if (mask == 0) return 2;

  // The library writes PE messages to standard output; the report keeps its own stream.
  gReport = fdopen(dup(1), "w");
  if (freopen("/dev/null", "w", stdout) == nullptr) return 2;
  platform::SetDebugSink([](const char*, void*) {}, nullptr);

  const std::string base = (std::filesystem::temp_directory_path() / "kz-sweep-XXXXXX").string();
  std::string scratch = base;
  if (access("/dev/shm", W_OK) == 0) scratch = "/dev/shm/kz-sweep-XXXXXX";
  if (mkdtemp(&scratch[0]) == nullptr) return 2;
  const std::string workDir = scratch + "/work/";
  std::filesystem::create_directories(workDir);
  const std::string copy = scratch + "/installer.exe";
  std::filesystem::copy_file(source, copy);

  std::string pristine;
  {
    FILE* f = fopen(copy.c_str(), "rb");
    char block[1 << 16];
    size_t n;
    while ((n = fread(block, 1, sizeof block, f)) > 0) pristine.append(block, n);
    fclose(f);
  }
  const Decision reference = DecideInstaller(copy, workDir);
  if (reference.step != Step::kAccepted) {
    fprintf(gReport, "the pristine installer is refused at: %s\n", StepName(reference.step));
    return 2;
  }
  fprintf(gReport, "installer %s: %zu bytes, run type \"%s\", setup %zu bytes, %zu bundle entries; mask 0x%02X, stride %llu\n",
          source.c_str(), pristine.size(), reference.delivery.runType.c_str(), reference.delivery.setup.size(),
          reference.delivery.entries.size(), mask, static_cast<unsigned long long>(stride));
  if (fixDigests) fprintf(gReport, "chain payloads only, with every digest recomputed after the flip\n");

  const std::vector<Region> regions = MapInstaller(pristine);
  Region loadRegion{0, 0, "", false};
  uint64_t chainBegin = pristine.size(), chainEnd = 0;
  for (const Region& r : regions) {
    if (r.name.rfind("chain: ", 0) != 0) continue;
    chainBegin = std::min(chainBegin, r.begin);
    chainEnd = std::max(chainEnd, r.end);
    if (r.name == "chain: LOAD payload") loadRegion = r;
  }
  if (fixDigests && chainEnd <= chainBegin) return 2;
  const int fd = open(copy.c_str(), O_WRONLY);
  std::map<std::string, Tally> tallies;
  std::vector<std::string> order;
  std::map<std::string, std::vector<std::pair<uint64_t, Step>>> refusedByRegion;
  uint64_t faults = 0;
  const auto started = std::chrono::steady_clock::now();
  for (const Region& region : regions) {
    if (!tallies.count(region.name)) order.push_back(region.name);
    Tally& tally = tallies[region.name];
    const uint64_t step = region.exhaustive ? 1 : stride;
    // With repaired digests only the chain payloads are of interest: a
    // digest can be recomputed by anyone, so what stops a changed payload?
    if (fixDigests && region.name.find(" payload") == std::string::npos) continue;
    for (uint64_t offset = region.begin; offset < region.end && offset < pristine.size(); offset += step) {
      const uint8_t original = static_cast<uint8_t>(pristine[offset]);
      Decision decision;
      if (fixDigests) {
        std::string bytes = pristine;
        bytes[offset] = static_cast<char>(original ^ mask);
        bytes = WithRepairedDigests(bytes, loadRegion, chainBegin, chainEnd);
        if (pwrite(fd, bytes.data() + chainBegin, chainEnd - chainBegin, static_cast<off_t>(chainBegin)) < 0) return 2;
        decision = DecideInstaller(copy, workDir);
        if (pwrite(fd, pristine.data() + chainBegin, chainEnd - chainBegin, static_cast<off_t>(chainBegin)) < 0)
          return 2;
      } else {
        WriteByteAt(fd, offset, static_cast<uint8_t>(original ^ mask));
        decision = DecideInstaller(copy, workDir);
        WriteByteAt(fd, offset, original);
      }
      ++tally.flipped;
      if (decision.step == Step::kAccepted) {
        Delivery sameType = decision.delivery;
        sameType.runType = reference.delivery.runType;
        if (decision.delivery == reference.delivery) {
          ++tally.harmless;
          tally.harmlessOffsets.push_back(offset);
        } else if (fixDigests && sameType == reference.delivery) {
          // "TYPE" lies behind the signature record and carries only a
          // digest: a deliberate change of the run type alone goes through.
          ++tally.runTypeChanged;
        } else {
          ++faults;
          fprintf(gReport, "FAULT: flip at 0x%llx (%s) is accepted and delivers different files\n",
                  static_cast<unsigned long long>(offset), region.name.c_str());
        }
      } else {
        ++tally.refused[decision.step];
        refusedByRegion[region.name].push_back({offset, decision.step});
      }
    }
  }
  close(fd);
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();

  uint64_t flipped = 0, refused = 0, harmless = 0;
  fprintf(gReport, "\n%-45s %9s %9s %9s  refused by\n", "region", "flipped", "refused", "harmless");
  for (const std::string& name : order) {
    const Tally& t = tallies[name];
    uint64_t r = 0;
    std::string by;
    for (const auto& [step, count] : t.refused) {
      r += count;
      by += std::string(by.empty() ? "" : ", ") + StepName(step) + " " + std::to_string(count);
    }
    flipped += t.flipped;
    refused += r;
    harmless += t.harmless;
    fprintf(gReport, "%-45s %9llu %9llu %9llu  %s\n", name.c_str(), static_cast<unsigned long long>(t.flipped),
            static_cast<unsigned long long>(r), static_cast<unsigned long long>(t.harmless), by.c_str());
    if (t.runTypeChanged)
      fprintf(gReport, "    accepted with another run type (TYPE is not signed): %llu\n",
              static_cast<unsigned long long>(t.runTypeChanged));
    if (!t.harmlessOffsets.empty()) {
      std::string list;
      for (size_t i = 0; i < t.harmlessOffsets.size() && i < 12; ++i) {
        char text[32];
        snprintf(text, sizeof text, "%s0x%llx", i ? " " : "", static_cast<unsigned long long>(t.harmlessOffsets[i]));
        list += text;
      }
      fprintf(gReport, "    harmless at %s%s\n", list.c_str(), t.harmlessOffsets.size() > 12 ? " ..." : "");
    }
  }
  fprintf(gReport, "\ntotal: %llu flipped, %llu refused, %llu harmless, %llu faults, %.0f s\n",
          static_cast<unsigned long long>(flipped), static_cast<unsigned long long>(refused),
          static_cast<unsigned long long>(harmless), static_cast<unsigned long long>(faults), seconds);

  // Refused copies for the real stub: round robin over the regions, each
  // region's picks spread evenly over its flips.
  if (!refusedOut.empty() && refusedCount > 0) {
    std::filesystem::create_directories(refusedOut);
    std::vector<std::pair<std::string, std::pair<uint64_t, Step>>> picks;
    for (size_t round = 0; picks.size() < refusedCount; ++round) {
      bool any = false;
      for (const std::string& name : order) {
        const auto& list = refusedByRegion[name];
        const size_t perRegion = std::min<size_t>(list.size(), 4);
        if (round >= perRegion) continue;
        any = true;
        picks.push_back({name, list[round * list.size() / perRegion]});
        if (picks.size() == refusedCount) break;
      }
      if (!any) break;
    }
    for (const auto& [name, pick] : picks) {
      std::string bytes = pristine;
      bytes[pick.first] = static_cast<char>(bytes[pick.first] ^ mask);
      if (fixDigests) bytes = WithRepairedDigests(bytes, loadRegion, chainBegin, chainEnd);
      std::string label = name;
      for (char& c : label)
        if (!isalnum(static_cast<unsigned char>(c))) c = '_';
      std::string stepLabel = StepName(pick.second);
      for (char& c : stepLabel)
        if (!isalnum(static_cast<unsigned char>(c))) c = '_';
      char file[64];
      snprintf(file, sizeof file, "%08llx", static_cast<unsigned long long>(pick.first));
      const std::string path = refusedOut + "/" + file + "_" + label + "__" + stepLabel + ".exe";
      FILE* out = fopen(path.c_str(), "wb");
      fwrite(bytes.data(), 1, bytes.size(), out);
      fclose(out);
    }
    fprintf(gReport, "%zu refused copies written to %s\n", picks.size(), refusedOut.c_str());
  }
  std::filesystem::remove_all(scratch);
  fclose(gReport);
  return faults ? 1 : 0;
}

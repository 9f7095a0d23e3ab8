// The installer's hot path, natively, for profilers (callgrind, perf): the
// installation's own checks (install/) on a finished installer, with the CPU
// and wall time of each phase. Every entry is extracted (the workloads'
// scripts select them all).
//   kz_install_path INSTALLER WORKDIR/
#include <sys/resource.h>
#include <time.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "attachments/extract.h"
#include "bundle/bundle.h"
#include "install/install_checks.h"
#include "integrity/embedded_signature.h"

namespace {

double CpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

double WallSeconds() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return now.tv_sec + now.tv_nsec / 1e9;
}

// CPU time counts both threads: CPU above wall time is overlap.
bool Phase(const char* name, bool ok) {
  static double lastCpu = CpuSeconds(), lastWall = WallSeconds();
  const double cpu = CpuSeconds(), wall = WallSeconds();
  printf("%-28s %s %8.3f s CPU %8.3f s wall\n", name, ok ? "ok  " : "FAIL", cpu - lastCpu, wall - lastWall);
  lastCpu = cpu;
  lastWall = wall;
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: kz_install_path INSTALLER WORKDIR/\n");
    return 2;
  }
  const std::wstring installer = std::filesystem::u8path(argv[1]).wstring();
  const std::string work = argv[2];
  Phase("start", true);
  if (!Phase("TYPE", !ReadAttachment(installer, "TYPE").empty())) return 1;
  if (!Phase("installer signature", VerifyEmbeddedSignature(installer, false))) return 1;
  const std::wstring entryPath = std::filesystem::u8path(work + "entry").wstring();
  install::InstallHooks hooks;
  hooks.setupWritten = [](const std::wstring&) { return Phase("LOAD -> setup.exe", true); };
  hooks.bundleOpened = [](Bundle&) { Phase("IBND -> ibnd, bundle open", true); };
  hooks.runScript = [&](Bundle& bundle) {
    std::vector<std::string> names;
    for (const auto& entry : bundle.entries()) names.push_back(entry->name);
    bool extracted = true;
    for (const std::string& name : names) extracted = extracted && bundle.ExtractEntry(entryPath, name);
    return Phase("entries", extracted);
  };
  hooks.verifySetup = [](const std::wstring& setup) {
    return Phase("setup signature", VerifyEmbeddedSignature(setup, false));
  };
  Bundle bundle;
  const std::wstring workDir = std::filesystem::u8path(work).wstring();
  if (install::RunInstallChecks(installer, workDir, &bundle, hooks) != install::InstallStep::kAccepted) {
    Phase("stopped", false);
    return 1;
  }
  return 0;
}

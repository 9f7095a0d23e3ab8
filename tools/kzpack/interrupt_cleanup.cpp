#include "tools/kzpack/interrupt_cleanup.h"

#include <algorithm>
#include <filesystem>
#include <mutex>
#include <system_error>
#include <vector>

#include "platform/platform.h"
#include "tools/kzpack/cli_support.h"

namespace kzpack {
namespace {

std::mutex g_lock;
std::vector<std::string>& Paths() {
  static std::vector<std::string> paths;
  return paths;
}

void RemoveAll() {
  std::lock_guard<std::mutex> hold(g_lock);  // held to the end: nothing registers afterwards
  for (const std::string& path : Paths()) {
    std::error_code ec;
    std::filesystem::remove_all(FsPath(path), ec);
  }
  Paths().clear();
  fprintf(stderr, "kzpack: interrupted; its temporary files were removed\n");
}

}  // namespace

void InstallInterruptCleanup() { platform::CallOnInterrupt(RemoveAll); }

void RemoveOnInterrupt(const std::string& path) {
  std::lock_guard<std::mutex> hold(g_lock);
  Paths().push_back(path);
}

void ForgetOnInterrupt(const std::string& path) {
  std::lock_guard<std::mutex> hold(g_lock);
  auto& paths = Paths();
  const auto found = std::find(paths.begin(), paths.end(), path);
  if (found != paths.end()) paths.erase(found);
}

}  // namespace kzpack

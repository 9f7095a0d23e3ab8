#include "tools/kzpack/interrupt_cleanup.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <system_error>
#include <vector>

#include "platform/platform.h"
#include "tools/kzpack/cli_support.h"

namespace kzpack {
namespace {

// A spin lock: the critical sections are a few vector operations, and the
// Windows toolchains' threads model has no std::mutex.
std::atomic_flag g_busy = ATOMIC_FLAG_INIT;
struct Hold {
  Hold() {
    while (g_busy.test_and_set(std::memory_order_acquire)) {
    }
  }
  ~Hold() { g_busy.clear(std::memory_order_release); }
};

std::vector<std::string>& Paths() {
  static std::vector<std::string> paths;
  return paths;
}

void RemoveAll() {
  Hold hold;  // held to the end: nothing registers afterwards
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
  Hold hold;
  Paths().push_back(path);
}

void ForgetOnInterrupt(const std::string& path) {
  Hold hold;
  auto& paths = Paths();
  const auto found = std::find(paths.begin(), paths.end(), path);
  if (found != paths.end()) paths.erase(found);
}

}  // namespace kzpack

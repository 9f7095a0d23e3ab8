#include "tools/kzpack/interrupt_cleanup.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <system_error>
#include <vector>

#include "platform/platform.h"
#include "platform/process.h"
#include "tools/kzpack/cli_support.h"

namespace kzpack {
namespace {

// A spin lock: the critical sections are a few vector operations and at
// most one file creation, and the Windows toolchains' threads model has no
// std::mutex.
std::atomic_flag g_busy = ATOMIC_FLAG_INIT;
struct Hold {
  Hold() {
    while (g_busy.test_and_set(std::memory_order_acquire)) {
    }
  }
  ~Hold() { g_busy.clear(std::memory_order_release); }
};

struct Registry {
  std::vector<std::string> paths;
  bool closed = false;  // the clean-up has run
};

Registry& Paths() {
  static Registry registry;
  return registry;
}

// Under the lock.
void Register(const std::string& path) {
  auto& paths = Paths().paths;
  if (Paths().closed) throw ToolError("interrupted");
  if (std::find(paths.begin(), paths.end(), path) == paths.end()) paths.push_back(path);
}

void RemoveAll() {
  // The programs first: a signer or osslsigncode could still be writing.
  platform::StopRunningPrograms();
  {
    Hold hold;
    Paths().closed = true;
    for (const std::string& path : Paths().paths) {
      std::error_code ec;
      std::filesystem::remove_all(FsPath(path), ec);
    }
    Paths().paths.clear();
  }
  fprintf(stderr, "kzpack: interrupted; its temporary files were removed\n");
}

}  // namespace

void InstallInterruptCleanup() {
  platform::ShareOpenFilesForDeletion();
  platform::CallOnInterrupt(RemoveAll);
}

void RemoveOnInterrupt(const std::string& path) {
  Hold hold;
  Register(path);
}

bool MakeRemovedOnInterrupt(const std::string& path, const std::function<bool()>& make) {
  Hold hold;
  if (Paths().closed) throw ToolError("interrupted");
  if (!make()) return false;
  Register(path);
  return true;
}

void ForgetOnInterrupt(const std::string& path) {
  Hold hold;
  auto& paths = Paths().paths;
  const auto found = std::find(paths.begin(), paths.end(), path);
  if (found != paths.end()) paths.erase(found);
}

}  // namespace kzpack

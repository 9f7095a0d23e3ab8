#include "tests/support/test_support.h"

#include <cstdlib>
#include <fstream>
#include <random>
#ifndef _WIN32
#include <sys/wait.h>
#endif
#ifdef __linux__
#include <sched.h>
#endif

#include "platform/platform.h"
#include "support/diag_log.h"

namespace kztest {

DebugCapture::DebugCapture() { platform::SetDebugSink(&DebugCapture::Sink, this); }
DebugCapture::~DebugCapture() { platform::SetDebugSink(nullptr, nullptr); }
void DebugCapture::Sink(const char* text, void* self) { static_cast<DebugCapture*>(self)->lines_.emplace_back(text); }

std::string DebugCapture::Joined() const {
  std::string all;
  for (const auto& line : lines_) all += line;
  return all;
}

std::vector<std::string> DebugCapture::Messages() const {
  std::vector<std::string> out;
  for (const auto& line : lines_) out.push_back(line.rfind("[T ", 0) == 0 && line.size() >= 13 ? line.substr(13) : line);
  return out;
}

#ifdef _WIN32
// Under wine the switch is the registry value; tests write it with the
// registry API through the same 64-bit view the reader uses.
#include <windows.h>
static void SetSwitch(bool on) {
  HKEY key;
  if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"Software\\Tolvekar", 0, nullptr, 0, KEY_ALL_ACCESS | KEY_WOW64_64KEY,
                      nullptr, &key, nullptr) != ERROR_SUCCESS)
    return;
  if (on) {
    const wchar_t value[] = L"!Diagnose!";
    RegSetValueExW(key, L"KZSTR", 0, REG_SZ, reinterpret_cast<const BYTE*>(value), sizeof value);
  } else {
    RegDeleteValueW(key, L"KZSTR");
  }
  RegCloseKey(key);
}
#else
static void SetSwitch(bool on) {
  if (on)
    setenv("KZSTR", "!Diagnose!", 1);
  else
    unsetenv("KZSTR");
}
#endif

OneProcessor::OneProcessor(bool on) {
#ifdef __linux__
  cpu_set_t set;
  if (!on || sched_getaffinity(0, sizeof set, &set) != 0) return;
  cpu_set_t one;
  CPU_ZERO(&one);
  for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu)
    if (CPU_ISSET(cpu, &set)) {
      CPU_SET(cpu, &one);
      break;
    }
  saved_.assign(reinterpret_cast<const uint8_t*>(&set), reinterpret_cast<const uint8_t*>(&set) + sizeof set);
  active_ = sched_setaffinity(0, sizeof one, &one) == 0;
#else
  (void)on;
#endif
}

OneProcessor::~OneProcessor() {
#ifdef __linux__
  if (active_) sched_setaffinity(0, saved_.size(), reinterpret_cast<cpu_set_t*>(saved_.data()));
#endif
}

DiagSwitchOn::DiagSwitchOn() {
  SetSwitch(true);
  ResetDiagStateForTesting();
}
DiagSwitchOn::~DiagSwitchOn() {
  SetSwitch(false);
  ResetDiagStateForTesting();
}

TempDir::TempDir() {
  static uint32_t counter = 0;
  std::random_device rd;
  path_ = std::filesystem::temp_directory_path() /
          ("kztest_" + std::to_string(rd()) + "_" + std::to_string(++counter));
  std::filesystem::create_directories(path_);
}
TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

std::vector<uint8_t> ReadFileBytes(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void WriteFileBytes(const std::filesystem::path& path, const std::vector<uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

void WriteFileText(const std::filesystem::path& path, const std::string& text) {
  WriteFileBytes(path, Bytes(text));
}

std::vector<uint8_t> Bytes(const std::string& text) { return std::vector<uint8_t>(text.begin(), text.end()); }

std::vector<uint8_t> RandomBytes(size_t size, uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<uint8_t> out(size);
  for (auto& b : out) b = static_cast<uint8_t>(rng());
  return out;
}

std::filesystem::path SourceDir() { return KZ_SOURCE_DIR; }

int RunCommand(const std::string& command) {
  int status = std::system(command.c_str());
#ifndef _WIN32
  if (status != -1 && WIFEXITED(status)) return WEXITSTATUS(status);
#endif
  return status;
}

}  // namespace kztest

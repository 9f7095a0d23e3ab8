// Helpers shared by the unit tests of both targets.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace kztest {

// Captures every debug-channel line written while it lives.
class DebugCapture {
 public:
  DebugCapture();
  ~DebugCapture();
  const std::vector<std::string>& lines() const { return lines_; }
  std::string Joined() const;
  void Clear() { lines_.clear(); }
  // Lines written by DiagLog: the 13-character prefix removed.
  std::vector<std::string> Messages() const;

 private:
  static void Sink(const char* text, void* self);
  std::vector<std::string> lines_;
};

// Turns the diagnostic switch on (POSIX: the environment variable) for the
// lifetime of the object and resets the cached state around it.
class DiagSwitchOn {
 public:
  DiagSwitchOn();
  ~DiagSwitchOn();
};

// Confines the process to its first usable processor while it lives (Linux
// only; elsewhere, and when `on` is false, it does nothing). active() says
// whether it did.
class OneProcessor {
 public:
  explicit OneProcessor(bool on = true);
  ~OneProcessor();
  bool active() const { return active_; }

 private:
  std::vector<uint8_t> saved_;  // the affinity mask before
  bool active_ = false;
};

// A fresh directory removed with everything in it at the end.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

 private:
  std::filesystem::path path_;
};

std::vector<uint8_t> ReadFileBytes(const std::filesystem::path& path);
void WriteFileBytes(const std::filesystem::path& path, const std::vector<uint8_t>& bytes);
void WriteFileText(const std::filesystem::path& path, const std::string& text);
std::vector<uint8_t> Bytes(const std::string& text);
// Deterministic pseudo-random bytes.
std::vector<uint8_t> RandomBytes(size_t size, uint32_t seed);
std::filesystem::path SourceDir();
// Runs a shell command (native builds only); returns its exit status.
int RunCommand(const std::string& command);
// True on the native (POSIX) build, where outside tools can be run.
constexpr bool kNative =
#ifdef _WIN32
    false;
#else
    true;
#endif

}  // namespace kztest

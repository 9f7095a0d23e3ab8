// What every kzpack subcommand shares: the error that ends a command with an
// exit code, UTF-8 paths, whole-file reads, and the quiet switch.
#pragma once

#include <cstdint>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

namespace kzpack {

// Exit codes: 0 success, 1 invalid input or failed verification, 2 usage.
constexpr int kExitOk = 0;
constexpr int kExitInvalid = 1;
constexpr int kExitUsage = 2;

// Thrown by the commands; main prints "kzpack: error: <message>" and exits
// with the code. The message is one line.
class ToolError : public std::runtime_error {
 public:
  explicit ToolError(const std::string& message, int exitCode = kExitInvalid)
      : std::runtime_error(message), exitCode_(exitCode) {}
  int exitCode() const { return exitCode_; }

 private:
  int exitCode_;
};

// Paths travel as UTF-8 text; these turn them into what the libraries take.
std::filesystem::path FsPath(const std::string& utf8);
std::wstring WidePath(const std::string& utf8);

// Whole files; ToolError naming the file when they cannot be read.
std::vector<uint8_t> ReadWholeFile(const std::string& path);
std::string ReadTextFile(const std::string& path);
bool FileExists(const std::string& path);
// True when both paths name one file (the second may not exist yet).
bool SameFile(const std::string& a, const std::string& b);
int64_t FileSizeOf(const std::string& path);
// The words of a command that name an existing file, whole or after a "="
// ("--module=/usr/lib/p11.so").
std::vector<std::string> ExistingFilesAmong(const std::vector<std::string>& words);

// Global output switches, set once by main from the common options.
struct OutputSettings {
  bool quiet = false;  // no progress bars, no notes
};
OutputSettings& Output();

// A note or warning on stderr ("kzpack: warning: ..."), silenced by --quiet.
void Note(const std::string& text);
void Warn(const std::string& text);

// Lower-case hex of bytes.
std::string HexOf(const uint8_t* data, size_t size);

// Lower-case hex SHA-256 of a file's bytes (what sha256sum prints); ToolError when it cannot be read.
std::string Sha256OfFile(const std::string& path);

}  // namespace kzpack

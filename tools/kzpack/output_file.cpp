#include "tools/kzpack/output_file.h"

#include <chrono>
#include <filesystem>
#include <system_error>

#include "platform/platform.h"
#include "tools/kzpack/cli_support.h"
#include "tools/kzpack/interrupt_cleanup.h"

namespace kzpack {

OutputFile::OutputFile(std::string target, bool overwrite) : target_(std::move(target)), overwrite_(overwrite) {
  // Next to the target, so the final rename stays on one file system.
  static unsigned serial = 0;
  const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
  temp_ = target_ + ".kzpack-" + std::to_string(static_cast<unsigned long long>(stamp) % 100000000ull) + "-" +
          std::to_string(++serial) + ".tmp";
  // Registered before anything may make it: writers that take temp_path()
  // create it themselves.
  RemoveOnInterrupt(temp_);
}

OutputFile::~OutputFile() {
  CloseStream();
  if (!committed_) platform::DeleteFilePath(WidePath(temp_));
  ForgetOnInterrupt(temp_);
}

void OutputFile::CloseStream() {
  if (file_) fclose(file_);
  file_ = nullptr;
}

FILE* OutputFile::Open() {
  if (!overwrite_ && FileExists(target_)) throw ToolError(target_ + ": already exists (use --force to replace it)");
  EnsureParentDir(target_);
  const auto create = [this]() -> bool {
    file_ = platform::OpenStdioFile(WidePath(temp_), L"wb");
    return file_ != nullptr;
  };
  if (!MakeRemovedOnInterrupt(temp_, create))
    throw ToolError(target_ + ": cannot create the output file");
  return file_;
}

void OutputFile::Close() {
  if (!file_) return;
  const bool flushed = fflush(file_) == 0 && !ferror(file_);
  CloseStream();
  if (!flushed) throw ToolError(target_ + ": cannot write the output file");
}

void OutputFile::Commit() {
  Close();
  if (!overwrite_ && FileExists(target_)) throw ToolError(target_ + ": already exists (use --force to replace it)");
  std::error_code ec;
  std::filesystem::rename(FsPath(temp_), FsPath(target_), ec);
  if (ec) throw ToolError(target_ + ": cannot move the finished file into place: " + ec.message());
  committed_ = true;
}

void EnsureParentDir(const std::string& path) {
  std::error_code ec;
  const std::filesystem::path parent = FsPath(path).parent_path();
  if (!parent.empty()) std::filesystem::create_directories(parent, ec);
}

void WriteFileAtomically(const std::string& target, const std::vector<uint8_t>& bytes, bool overwrite) {
  OutputFile output(target, overwrite);
  FILE* file = output.Open();
  if (!bytes.empty() && fwrite(bytes.data(), 1, bytes.size(), file) != bytes.size())
    throw ToolError(target + ": cannot write the output file");
  output.Commit();
}

}  // namespace kzpack

// Output files that appear whole or not at all: everything is written to a
// temporary file next to the target, which is renamed over the target only
// when the command succeeded. A failed or abandoned output leaves nothing.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace kzpack {

class OutputFile {
 public:
  // Nothing is created yet; the temporary file's name is already removed on
  // an interruption. With `overwrite` false an existing target is refused at
  // Open.
  explicit OutputFile(std::string target, bool overwrite = true);
  ~OutputFile();  // deletes the temporary file unless committed
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  // Creates the temporary file and opens it for binary writing (ToolError
  // on failure). For writers that take a path instead, see temp_path().
  FILE* Open();
  // Closes the stream (if open) and renames the temporary file over the target.
  void Commit();
  // Closes the stream so others can read the temporary file; ToolError when
  // the data could not be written.
  void Close();

  const std::string& target() const { return target_; }
  const std::string& temp_path() const { return temp_; }
  FILE* stream() const { return file_; }

 private:
  void CloseStream();
  std::string target_;
  std::string temp_;
  bool overwrite_;
  FILE* file_ = nullptr;
  bool committed_ = false;
};

// Creates the folder a file is to be written into, if missing.
void EnsureParentDir(const std::string& path);

// One-shot: bytes to `target` through a temporary file.
void WriteFileAtomically(const std::string& target, const std::vector<uint8_t>& bytes, bool overwrite = true);

}  // namespace kzpack

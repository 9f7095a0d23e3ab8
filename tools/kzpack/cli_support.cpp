#include "tools/kzpack/cli_support.h"

#include <cryptopp/sha.h>

#include <cstdio>
#include <system_error>

#include "platform/platform.h"
#include "support/strings.h"

namespace kzpack {

std::filesystem::path FsPath(const std::string& utf8) {
#ifdef _WIN32
  return std::filesystem::path(Utf8ToWide(utf8));
#else
  return std::filesystem::path(utf8);
#endif
}

std::wstring WidePath(const std::string& utf8) { return Utf8ToWide(utf8); }

std::vector<uint8_t> ReadWholeFile(const std::string& path) {
  FILE* file = platform::OpenStdioFile(WidePath(path), L"rb");
  if (!file) throw ToolError(path + ": cannot open the file");
  std::vector<uint8_t> bytes;
  int64_t size = -1;
  if (platform::SeekStdio(file, 0, SEEK_END)) size = platform::TellStdio(file);
  if (size < 0 || !platform::SeekStdio(file, 0, SEEK_SET)) {
    fclose(file);
    throw ToolError(path + ": cannot measure the file");
  }
  bytes.resize(static_cast<size_t>(size));
  const size_t got = size ? fread(bytes.data(), 1, bytes.size(), file) : 0;
  fclose(file);
  if (got != bytes.size()) throw ToolError(path + ": cannot read the file");
  return bytes;
}

std::string ReadTextFile(const std::string& path) {
  const std::vector<uint8_t> bytes = ReadWholeFile(path);
  return std::string(bytes.begin(), bytes.end());
}

bool FileExists(const std::string& path) {
  std::error_code ec;
  return std::filesystem::exists(FsPath(path), ec);
}

std::vector<std::string> ExistingFilesAmong(const std::vector<std::string>& words) {
  std::vector<std::string> files;
  for (const std::string& word : words) {
    const size_t eq = word.find('=');
    for (const std::string& candidate : {word, eq == std::string::npos ? std::string() : word.substr(eq + 1)}) {
      std::error_code ec;
      if (!candidate.empty() && std::filesystem::is_regular_file(FsPath(candidate), ec)) files.push_back(candidate);
    }
  }
  return files;
}

bool SameFile(const std::string& a, const std::string& b) {
  std::error_code ec, ec2, ec3;
  const std::filesystem::path one = std::filesystem::weakly_canonical(FsPath(a), ec);
  const std::filesystem::path two = std::filesystem::weakly_canonical(FsPath(b), ec2);
  return (!ec && !ec2 && one == two) || std::filesystem::equivalent(FsPath(a), FsPath(b), ec3);
}

int64_t FileSizeOf(const std::string& path) {
  std::error_code ec;
  const auto size = std::filesystem::file_size(FsPath(path), ec);
  return ec ? -1 : static_cast<int64_t>(size);
}

OutputSettings& Output() {
  static OutputSettings settings;
  return settings;
}

void Note(const std::string& text) {
  if (!Output().quiet) fprintf(stderr, "kzpack: %s\n", text.c_str());
}

void Warn(const std::string& text) {
  if (!Output().quiet) fprintf(stderr, "kzpack: warning: %s\n", text.c_str());
}

std::string HexOf(const uint8_t* data, size_t size) {
  static const char kDigits[] = "0123456789abcdef";
  std::string text;
  text.reserve(size * 2);
  for (size_t i = 0; i < size; ++i) {
    text += kDigits[data[i] >> 4];
    text += kDigits[data[i] & 15];
  }
  return text;
}

std::string Sha256OfFile(const std::string& path) {
  FILE* file = platform::OpenStdioFile(WidePath(path), L"rb");
  if (!file) throw ToolError(path + ": cannot open the file");
  CryptoPP::SHA256 hash;
  std::vector<uint8_t> block(1 << 20);
  size_t got;
  while ((got = fread(block.data(), 1, block.size(), file)) > 0) hash.Update(block.data(), got);
  const bool failed = ferror(file) != 0;
  fclose(file);
  if (failed) throw ToolError(path + ": cannot read the file");
  uint8_t digest[CryptoPP::SHA256::DIGESTSIZE];
  hash.Final(digest);
  return HexOf(digest, sizeof digest);
}

}  // namespace kzpack

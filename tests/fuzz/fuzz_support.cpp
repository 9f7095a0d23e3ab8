#include "tests/fuzz/fuzz_support.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "platform/platform.h"
#include "support/diag_log.h"

namespace kzfuzz {

namespace {
void DropLine(const char*, void*) {}

std::string MakeScratch() {
  const char* base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
  std::string pattern = std::string(base) + "/kzfuzz-XXXXXX";
  if (mkdtemp(&pattern[0]) == nullptr) abort();
  return pattern;
}

void RemoveScratch() {
  std::error_code ignored;
  std::filesystem::remove_all(ScratchDir(), ignored);
}
}  // namespace

void QuietInit() {
  if (freopen("/dev/null", "w", stdout) == nullptr) abort();
  platform::SetDebugSink(&DropLine, nullptr);
  setenv("KZSTR", "!Diagnose!", 1);
  ResetDiagStateForTesting();
  ScratchDir();
  atexit(&RemoveScratch);
}

const std::string& ScratchDir() {
  static const std::string dir = MakeScratch();
  return dir;
}

std::wstring Wide(const std::string& ascii) { return std::wstring(ascii.begin(), ascii.end()); }

std::wstring ScratchPath(const std::string& name) { return Wide(ScratchDir() + "/" + name); }

bool WriteBytes(const std::wstring& path, const uint8_t* data, size_t size) {
  FILE* file = platform::OpenStdioFile(path, L"wb");
  if (file == nullptr) return false;
  bool ok = size == 0 || fwrite(data, 1, size, file) == size;
  if (fclose(file) != 0) ok = false;
  return ok;
}

std::vector<unsigned char> DevKey(const std::string& fileName) {
  std::ifstream in(std::string(KZ_SOURCE_DIR) + "/keys/" + fileName, std::ios::binary);
  std::vector<unsigned char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (bytes.empty()) {
    fprintf(stderr, "missing development key %s\n", fileName.c_str());
    abort();
  }
  return bytes;
}

Input Split(const uint8_t* data, size_t size) {
  Input input;
  if (size == 0) return input;
  input.selector = data[0];
  input.data = data + 1;
  input.size = size - 1;
  return input;
}

}  // namespace kzfuzz

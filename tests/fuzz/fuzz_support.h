// Shared pieces of the fuzz targets: quiet libraries, a private scratch
// folder for the readers that take file paths, and the development keys.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace kzfuzz {

// Standard output to /dev/null and the debug channel into a sink that drops
// every line; the diagnostic switch is turned on so that the formatting of
// every log line runs under the sanitizers too.
void QuietInit();

// A folder of this process, removed at exit: RAM-backed when possible, so
// readers that want a path cost little per input.
const std::string& ScratchDir();
std::wstring ScratchPath(const std::string& name);
std::wstring Wide(const std::string& ascii);
bool WriteBytes(const std::wstring& path, const uint8_t* data, size_t size);

// A file of keys/ in the source tree (development keys only).
std::vector<unsigned char> DevKey(const std::string& fileName);

// Splits fuzz input into a leading selector byte and the rest.
struct Input {
  uint8_t selector = 0;
  const uint8_t* data = nullptr;
  size_t size = 0;
};
Input Split(const uint8_t* data, size_t size);

}  // namespace kzfuzz

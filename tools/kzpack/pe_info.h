// The header facts kzpack needs about a PE32 or PE32+ image: sections, the
// certificate table, and where the fields live that signing changes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "pe/pe_headers.h"

namespace kzpack {

using PeSection = pe::SectionHeader;

struct PeInfo {
  uint64_t fileSize = 0;
  uint32_t lfanew = 0;
  uint16_t machine = 0;
  bool pe32plus = false;
  uint16_t sizeOfOptionalHeader = 0;
  uint32_t sizeOfImage = 0;
  uint32_t checkSum = 0;
  uint32_t sizeOfHeaders = 0;
  uint32_t certificateTableOffset = 0;  // data directory 4: a file offset
  uint32_t certificateTableSize = 0;
  uint32_t certificateEntryOffset = 0;  // file offset of that directory entry
  std::vector<PeSection> sections;
  uint64_t sectionDataEnd = 0;  // furthest end of any section's raw data
};

// Fills `info` from the file's headers; false with a reason otherwise.
bool ReadPeInfo(const std::vector<uint8_t>& headBytes, uint64_t fileSize, PeInfo* info, std::string* reason);
bool ReadPeInfoFromFile(const std::string& path, PeInfo* info, std::string* reason);

// "i386", "AMD64", or the number in hex.
std::string MachineName(uint16_t machine);

// The image without its certificate table, which must be the last thing in
// the file: the file is cut where the table starts, the directory entry and
// CheckSum are zeroed. False with a reason when the table is elsewhere.
bool StripCertificateTable(std::vector<uint8_t>* image, std::string* reason);

// The header-excluded signature check accepts images with at most this many sections.
constexpr size_t kMaxCheckedSections = 15;

}  // namespace kzpack

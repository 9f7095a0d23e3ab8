// Exclusion ranges of a PE image, from its headers alone: the image may be
// far larger than a 32-bit process could map, so only the DOS header, the
// file header and two section-table entries are read.
#include "integrity/pe_ranges.h"

#include <cstring>

namespace {

constexpr uint16_t kMachineI386 = 0x014C;
constexpr uint16_t kMachineAmd64 = 0x8664;
constexpr uint32_t kSectionHeaderSize = 40;
constexpr uint32_t kMaxSections = 15;
// Offset of the last section header with the standard optional-header sizes
// (224 bytes for PE32, 240 for PE32+), as the signers compute it.
constexpr uint64_t kFirstSectionPe32 = 248;
constexpr uint64_t kFirstSectionPe32Plus = 264;

uint16_t Le16(const unsigned char* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
uint32_t Le32(const unsigned char* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
         static_cast<uint32_t>(p[3]) << 24;
}

bool ReadAt(platform::FileHandle file, uint64_t offset, void* buffer, uint32_t size) {
  return platform::SeekFile(file, static_cast<int64_t>(offset), platform::SeekFrom::kBegin) &&
         platform::ReadExact(file, buffer, size);
}

bool ComputeRanges(platform::FileHandle file, uint64_t fileSize, std::vector<PeExclusionRange>* ranges) {
  unsigned char dos[0x40];
  if (fileSize < sizeof dos || !ReadAt(file, 0, dos, sizeof dos)) return false;
  if (dos[0] != 'M' || dos[1] != 'Z') return false;
  const uint64_t e = Le32(dos + 0x3C);
  if (e >= fileSize) return false;

  // Signature (4) and file header (20).
  unsigned char nt[24];
  if (e + sizeof nt > fileSize || !ReadAt(file, e, nt, sizeof nt)) return false;
  const uint32_t sections = Le16(nt + 6);
  if (sections < 1 || sections > kMaxSections) return false;
  if (std::memcmp(nt, "PE\0\0", 4) != 0) return false;
  const uint16_t machine = Le16(nt + 4);
  uint64_t firstStandard;
  uint64_t certificateEntry;
  if (machine == kMachineI386) {
    firstStandard = kFirstSectionPe32;
    certificateEntry = 0x98;
  } else if (machine == kMachineAmd64) {
    firstStandard = kFirstSectionPe32Plus;
    certificateEntry = 0xA8;
  } else {
    return false;
  }

  // The section table as the image itself places it.
  const uint64_t table = e + 24 + Le16(nt + 20);
  if (table + uint64_t{sections} * kSectionHeaderSize > fileSize) return false;
  unsigned char first[kSectionHeaderSize];
  unsigned char last[kSectionHeaderSize];
  if (!ReadAt(file, table, first, sizeof first) ||
      !ReadAt(file, table + uint64_t{sections - 1} * kSectionHeaderSize, last, sizeof last))
    return false;
  const uint64_t rawStart = Le32(first + 20);  // R: where the first section's data begins
  const bool bundleLast = std::memcmp(last, ".KZBNDL\0", 8) == 0;

  uint64_t gapStart = e + firstStandard + uint64_t{sections - 1} * kSectionHeaderSize;  // H
  if (!bundleLast) gapStart += kSectionHeaderSize;
  if (rawStart < gapStart) return false;  // also keeps every offset below 4 GiB

  const PeExclusionRange found[] = {
      {static_cast<uint32_t>(e + 6), 2},                                 // NumberOfSections
      {static_cast<uint32_t>(e + 0x50), 4},                              // SizeOfImage
      {static_cast<uint32_t>(e + 0x58), 4},                              // CheckSum
      {static_cast<uint32_t>(e + certificateEntry), 8},                  // certificate table entry
      {static_cast<uint32_t>(gapStart), static_cast<uint32_t>(rawStart - gapStart)},
  };
  ranges->insert(ranges->end(), std::begin(found), std::end(found));
  return true;
}

}  // namespace

bool ComputePeExclusionRanges(platform::FileHandle file, std::vector<PeExclusionRange>* ranges) {
  if (file == platform::kInvalidFile || !ranges) return false;
  int64_t size = 0;
  int64_t position = 0;
  if (!platform::GetFileSize64(file, &size) || !platform::SeekFile(file, 0, platform::SeekFrom::kCurrent, &position))
    return false;
  bool ok = ComputeRanges(file, static_cast<uint64_t>(size), ranges);
  // The caller streams from where it stood; a failed restore is a failure.
  if (!platform::SeekFile(file, position, platform::SeekFrom::kBegin)) return false;
  return ok;
}

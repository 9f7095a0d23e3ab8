// The headers of PE32 and PE32+ images: where their fields lie, decoding of
// the file header and of section-table entries, and bounded reads from a
// stream, a handle or memory. Only the reading is shared here; every caller
// keeps its own rules about what it accepts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>

#include "platform/platform.h"

namespace pe {

constexpr uint16_t kMachineI386 = 0x014C;
constexpr uint16_t kMachineAmd64 = 0x8664;
constexpr uint32_t kNtSignature = 0x00004550;  // "PE\0\0"
constexpr uint16_t kPe32Magic = 0x10B;
constexpr uint16_t kPe32PlusMagic = 0x20B;

constexpr uint64_t kDosHeaderSize = 0x40;
constexpr uint64_t kNtOffsetField = 0x3C;  // e_lfanew in the DOS header
// Offsets from the start of the NT headers ("PE\0\0").
constexpr uint64_t kFileHeaderSize = 24;  // the signature and the COFF file header
constexpr uint64_t kMachineField = 4;
constexpr uint64_t kSectionCountField = 6;
constexpr uint64_t kSymbolTableField = 12;
constexpr uint64_t kSymbolCountField = 16;
constexpr uint64_t kOptionalSizeField = 20;
constexpr uint64_t kOptionalHeader = kFileHeaderSize;
// Offsets inside the optional header, the same for PE32 and PE32+.
constexpr uint64_t kInitializedDataField = 8;
constexpr uint64_t kSectionAlignmentField = 32;
constexpr uint64_t kFileAlignmentField = 36;
constexpr uint64_t kImageSizeField = 56;
constexpr uint64_t kHeadersSizeField = 60;
constexpr uint64_t kCheckSumField = 64;
constexpr uint32_t kCertificateDirectory = 4;  // its entry holds a file offset
constexpr uint64_t kDirectoryEntrySize = 8;
constexpr uint64_t kSectionHeaderSize = 40;

// Where NumberOfRvaAndSizes and the data directories start in the optional header.
constexpr uint64_t DirectoryCountField(bool pe32plus) { return pe32plus ? 108 : 92; }
constexpr uint64_t DirectoriesField(bool pe32plus) { return pe32plus ? 112 : 96; }
// Offset of a data directory entry from the start of the NT headers.
constexpr uint64_t DirectoryEntry(bool pe32plus, uint32_t index) {
  return kOptionalHeader + DirectoriesField(pe32plus) + index * kDirectoryEntrySize;
}

bool HasDosMagic(const unsigned char* dos);  // "MZ"

struct FileHeader {
  uint32_t signature = 0;
  uint16_t machine = 0;
  uint16_t sectionCount = 0;
  uint32_t symbolTable = 0;
  uint32_t symbolCount = 0;
  uint16_t optionalHeaderSize = 0;
};
// Decodes the kFileHeaderSize bytes at the start of the NT headers.
FileHeader ParseFileHeader(const unsigned char* bytes);

struct SectionHeader {
  std::string name;  // up to 8 characters, zeros dropped
  uint32_t virtualSize = 0;
  uint32_t virtualAddress = 0;
  uint32_t rawSize = 0;
  uint32_t rawPointer = 0;
  uint32_t characteristics = 0;
  uint64_t RawEnd() const { return uint64_t{rawPointer} + rawSize; }
};
// Decodes one kSectionHeaderSize-byte section-table entry.
SectionHeader ParseSectionHeader(const unsigned char* bytes);
// File offset of section-table entry `index`, as the image itself places the table.
constexpr uint64_t SectionHeaderOffset(uint64_t ntOffset, uint16_t optionalHeaderSize, uint32_t index) {
  return ntOffset + kFileHeaderSize + optionalHeaderSize + uint64_t{index} * kSectionHeaderSize;
}

// Reads exactly `size` bytes at `offset`; false for anything outside the
// file or a failed read.
using ReadAt = std::function<bool(uint64_t offset, void* buffer, size_t size)>;
// Reads of a file of `fileSize` bytes; both move the file position.
ReadAt StdioReader(FILE* file, uint64_t fileSize);
ReadAt HandleReader(platform::FileHandle file, uint64_t fileSize);

// Reads and decodes section-table entry `index`.
bool ReadSectionHeader(const ReadAt& read, uint64_t ntOffset, const FileHeader& header, uint32_t index,
                       SectionHeader* section);

}  // namespace pe

#include "pe/pe_headers.h"

#include <cstring>

#include "support/byte_order.h"

namespace pe {

bool HasDosMagic(const unsigned char* dos) { return dos[0] == 'M' && dos[1] == 'Z'; }

FileHeader ParseFileHeader(const unsigned char* bytes) {
  FileHeader header;
  header.signature = LoadLe32(bytes);
  header.machine = LoadLe16(bytes + kMachineField);
  header.sectionCount = LoadLe16(bytes + kSectionCountField);
  header.symbolTable = LoadLe32(bytes + kSymbolTableField);
  header.symbolCount = LoadLe32(bytes + kSymbolCountField);
  header.optionalHeaderSize = LoadLe16(bytes + kOptionalSizeField);
  return header;
}

SectionHeader ParseSectionHeader(const unsigned char* bytes) {
  SectionHeader section;
  section.name.assign(reinterpret_cast<const char*>(bytes), strnlen(reinterpret_cast<const char*>(bytes), 8));
  section.virtualSize = LoadLe32(bytes + 8);
  section.virtualAddress = LoadLe32(bytes + 12);
  section.rawSize = LoadLe32(bytes + 16);
  section.rawPointer = LoadLe32(bytes + 20);
  section.characteristics = LoadLe32(bytes + 36);
  return section;
}

ReadAt StdioReader(FILE* file, uint64_t fileSize) {
  return [file, fileSize](uint64_t offset, void* buffer, size_t size) {
    if (offset > fileSize || size > fileSize - offset) return false;
    if (!platform::SeekStdio(file, static_cast<int64_t>(offset), SEEK_SET)) return false;
    return fread(buffer, 1, size, file) == size;
  };
}

ReadAt HandleReader(platform::FileHandle file, uint64_t fileSize) {
  return [file, fileSize](uint64_t offset, void* buffer, size_t size) {
    if (offset > fileSize || size > fileSize - offset || size > 0xFFFFFFFFu) return false;
    if (!platform::SeekFile(file, static_cast<int64_t>(offset), platform::SeekFrom::kBegin)) return false;
    return platform::ReadExact(file, buffer, static_cast<uint32_t>(size));
  };
}

bool ReadSectionHeader(const ReadAt& read, uint64_t ntOffset, const FileHeader& header, uint32_t index,
                       SectionHeader* section) {
  unsigned char entry[kSectionHeaderSize];
  if (!read(SectionHeaderOffset(ntOffset, header.optionalHeaderSize, index), entry, sizeof entry)) return false;
  *section = ParseSectionHeader(entry);
  return true;
}

}  // namespace pe

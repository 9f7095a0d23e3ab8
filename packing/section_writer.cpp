#include "packing/section_writer.h"

#include <algorithm>
#include <cstring>

#include "attachments/trailer.h"
#include "pe/pe_headers.h"
#include "support/byte_order.h"

namespace {

constexpr uint32_t kReadOnlyDataCharacteristics = 0x40000040;  // initialised data, readable
// Header areas are a few KiB; anything near this is not a real image.
constexpr uint64_t kMaxHeaderSize = 0x100000;

uint64_t AlignUp(uint64_t value, uint64_t alignment) { return (value + alignment - 1) / alignment * alignment; }
bool IsPowerOfTwo(uint32_t v) { return v != 0 && (v & (v - 1)) == 0; }

bool Fail(std::string* error, const std::string& text) {
  if (error) *error = text;
  return false;
}

}  // namespace

bool PlanImageWithSection(FILE* image, uint64_t fileSize, const std::string& name, uint64_t chainLength,
                          ImageWithSection* plan, std::string* error) {
  const uint64_t size = fileSize;
  const pe::ReadAt read = pe::StdioReader(image, size);
  uint8_t dos[pe::kDosHeaderSize];
  if (!read(0, dos, sizeof dos) || !pe::HasDosMagic(dos)) return Fail(error, name + " is not a PE image (no MZ header)");
  const uint64_t nt = LoadLe32(dos + pe::kNtOffsetField);
  uint8_t fileHeaderBytes[pe::kFileHeaderSize];
  if (!read(nt, fileHeaderBytes, sizeof fileHeaderBytes) || LoadLe32(fileHeaderBytes) != pe::kNtSignature)
    return Fail(error, name + " is not a PE image (no PE signature)");
  const pe::FileHeader fileHeader = pe::ParseFileHeader(fileHeaderBytes);
  const uint16_t sections = fileHeader.sectionCount;
  const uint16_t optionalSize = fileHeader.optionalHeaderSize;
  const uint64_t optional = nt + pe::kOptionalHeader;
  uint8_t magic[2];
  if (optionalSize < 2 || !read(optional, magic, 2)) return Fail(error, name + " has no optional header");
  const uint16_t kind = LoadLe16(magic);
  if (kind != pe::kPe32Magic && kind != pe::kPe32PlusMagic) return Fail(error, name + " is neither PE32 nor PE32+");
  const bool pe32plus = kind == pe::kPe32PlusMagic;
  const uint64_t directoryCountAt = optional + pe::DirectoryCountField(pe32plus);
  if (optionalSize < pe::DirectoryCountField(pe32plus) + 4) return Fail(error, name + " has a truncated optional header");

  // The whole header area, patched in memory and written first.
  uint8_t sizeOfHeadersBytes[4];
  if (!read(optional + pe::kHeadersSizeField, sizeOfHeadersBytes, 4)) return Fail(error, name + " is truncated");
  const uint64_t headerSize = LoadLe32(sizeOfHeadersBytes);
  if (headerSize > kMaxHeaderSize || headerSize > size) return Fail(error, name + " has an implausible SizeOfHeaders");
  std::vector<uint8_t> head(static_cast<size_t>(headerSize));
  if (!read(0, head.data(), head.size())) return Fail(error, name + " is truncated");
  const uint64_t table = pe::SectionHeaderOffset(nt, optionalSize, 0);
  const uint64_t tableEnd = pe::SectionHeaderOffset(nt, optionalSize, sections);
  if (tableEnd > headerSize) return Fail(error, name + " has a section table outside its headers");

  uint8_t* opt = head.data() + optional;
  const uint32_t sectionAlignment = LoadLe32(opt + pe::kSectionAlignmentField);
  const uint32_t fileAlignment = LoadLe32(opt + pe::kFileAlignmentField);
  if (!IsPowerOfTwo(sectionAlignment) || !IsPowerOfTwo(fileAlignment) || sectionAlignment < fileAlignment)
    return Fail(error, name + " has unusable section or file alignments");

  // Where the image's data ends in the file and in memory.
  uint64_t rawEnd = headerSize;
  uint64_t firstRaw = UINT64_MAX;
  uint64_t virtualEnd = AlignUp(headerSize, sectionAlignment);
  for (uint16_t i = 0; i < sections; ++i) {
    const pe::SectionHeader section = pe::ParseSectionHeader(head.data() + table + i * pe::kSectionHeaderSize);
    const uint64_t rawSize = section.rawSize, rawPointer = section.rawPointer;
    if (rawSize != 0 && rawPointer != 0) {
      rawEnd = std::max(rawEnd, rawPointer + rawSize);
      firstRaw = std::min(firstRaw, rawPointer);
    }
    virtualEnd = std::max(virtualEnd, uint64_t{section.virtualAddress} +
                                          AlignUp(section.virtualSize ? section.virtualSize : rawSize, sectionAlignment));
  }
  if (rawEnd > size) return Fail(error, name + " is shorter than its sections");

  // Room for one more header: inside the header area, in front of the first
  // section's data, over bytes that nothing uses (all zero).
  const uint64_t newEntry = tableEnd;
  if (newEntry + pe::kSectionHeaderSize > headerSize || newEntry + pe::kSectionHeaderSize > firstRaw)
    return Fail(error, name + ": no room for another section header in the header area");
  for (uint64_t i = 0; i < pe::kSectionHeaderSize; ++i)
    if (head[newEntry + i] != 0)
      return Fail(error, name + ": no room for another section header (the bytes after the section table are in use)");

  const uint32_t directoryCount = LoadLe32(head.data() + directoryCountAt);
  if (directoryCount > pe::kCertificateDirectory &&
      optionalSize >= pe::DirectoriesField(pe32plus) + (pe::kCertificateDirectory + 1) * pe::kDirectoryEntrySize) {
    const uint8_t* certificate = head.data() + nt + pe::DirectoryEntry(pe32plus, pe::kCertificateDirectory);
    if (LoadLe32(certificate + 4) != 0)
      return Fail(error, name + " already carries a certificate table; add the chain first, then sign");
  }

  // Trailing data: a COFF symbol table (an unstripped build) is dropped;
  // anything else is refused, since the chain must end the section.
  if (size > rawEnd) {
    const uint64_t symbols = fileHeader.symbolTable;
    if (symbols >= rawEnd && symbols - rawEnd < fileAlignment) {
      StoreLe32(head.data() + nt + pe::kSymbolTableField, 0);
      StoreLe32(head.data() + nt + pe::kSymbolCountField, 0);
      plan->notes.push_back("dropped the COFF symbol table (" + std::to_string(size - rawEnd) +
                       " bytes after the last section)");
    } else {
      return Fail(error, name + " has " + std::to_string(size - rawEnd) +
                             " bytes of data after its last section; the chain must be the last data");
    }
  }

  if (chainLength == 0) return Fail(error, "an empty chain cannot form a section");
  const uint64_t chainStart = AlignUp(rawEnd, sectionAlignment);
  if (chainStart + chainLength > static_cast<uint64_t>(kMaxChainPosition))
    return Fail(error, "the chain would pass 2 GiB (" + std::to_string(chainStart + chainLength) + " bytes)");
  const uint64_t address = AlignUp(virtualEnd, sectionAlignment);
  const uint64_t imageSize = address + AlignUp(chainLength, sectionAlignment);
  if (imageSize > 0xFFFFFFFFu) return Fail(error, "the image would pass 4 GiB in memory");

  uint8_t* entry = head.data() + newEntry;
  memcpy(entry, ".KZBNDL", 8);
  StoreLe32(entry + 8, static_cast<uint32_t>(chainLength));   // VirtualSize
  StoreLe32(entry + 12, static_cast<uint32_t>(address));      // VirtualAddress
  StoreLe32(entry + 16, static_cast<uint32_t>(chainLength));  // SizeOfRawData: the chain, not rounded
  StoreLe32(entry + 20, static_cast<uint32_t>(chainStart));   // PointerToRawData
  StoreLe32(entry + 36, kReadOnlyDataCharacteristics);
  StoreLe16(head.data() + nt + pe::kSectionCountField, static_cast<uint16_t>(sections + 1));
  StoreLe32(opt + pe::kImageSizeField, static_cast<uint32_t>(imageSize));
  const uint64_t initialised = LoadLe32(opt + pe::kInitializedDataField) + AlignUp(chainLength, fileAlignment);
  StoreLe32(opt + pe::kInitializedDataField, initialised > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<uint32_t>(initialised));
  // The old checksum no longer fits the file; signing tools fill it in again.
  StoreLe32(opt + pe::kCheckSumField, 0);


  plan->headers = std::move(head);
  plan->dataEnd = rawEnd;
  plan->chainStart = chainStart;
  return true;
}

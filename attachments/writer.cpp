#include "attachments/writer.h"

#include <algorithm>
#include <cstring>
#include <memory>

#include "attachments/trailer.h"
#include "pe/pe_headers.h"
#include "platform/platform.h"
#include "support/byte_order.h"
#include "support/strings.h"

namespace {

constexpr size_t kBlockSize = 0x100000;
constexpr uint32_t kReadOnlyDataCharacteristics = 0x40000040;  // initialised data, readable
// Header areas are a few KiB; anything near this is not a real image.
constexpr uint64_t kMaxHeaderSize = 0x100000;

uint64_t AlignUp(uint64_t value, uint64_t alignment) { return (value + alignment - 1) / alignment * alignment; }
bool IsPowerOfTwo(uint32_t v) { return v != 0 && (v & (v - 1)) == 0; }
// A payload's size field is 32-bit (a check that only bites where size_t is wider).
bool FitsSizeField(uint64_t size) { return size <= 0xFFFFFFFFu; }

bool Fail(std::string* error, const std::string& text) {
  if (error) *error = text;
  return false;
}

struct StdioCloser {
  void operator()(FILE* file) const {
    if (file) fclose(file);
  }
};
using ScopedStdio = std::unique_ptr<FILE, StdioCloser>;

int64_t OpenAndMeasure(const std::wstring& path, ScopedStdio* file, std::string* error) {
  file->reset(platform::OpenStdioFile(path, L"rb"));
  if (!*file) {
    Fail(error, "cannot open " + WideToUtf8(path));
    return -1;
  }
  int64_t size = -1;
  if (platform::SeekStdio(file->get(), 0, SEEK_END)) size = platform::TellStdio(file->get());
  if (size < 0 || !platform::SeekStdio(file->get(), 0, SEEK_SET)) {
    Fail(error, "cannot measure " + WideToUtf8(path));
    return -1;
  }
  return size;
}

}  // namespace

std::vector<uint8_t> MakeAttachment(const std::string& type, const uint8_t* data, size_t size) {
  if (type.size() != 4 || !FitsSizeField(size)) return {};
  std::vector<uint8_t> record(size + kTrailerSize);
  if (size) memcpy(record.data(), data, size);
  AttachmentTrailer trailer;
  PayloadDigest md5;
  md5.Update(record.data(), size);
  md5.Final(trailer.digest);
  ScrambleBytes(record.data(), size);
  trailer.payloadSize = static_cast<uint32_t>(size);
  trailer.typeCode = TypeCodeOf(type);
  trailer.magic = kAttachmentMagic;
  SerializeTrailer(trailer, record.data() + size);
  return record;
}

bool ChainWriter::Write(const uint8_t* data, size_t size, std::string* error) {
  if (size == 0) return true;
  if (tap_) tap_(data, size);
  if (fwrite(data, 1, size, output_) != size) return Fail(error, "cannot write the output file");
  position_ += static_cast<int64_t>(size);
  return true;
}

bool ChainWriter::WriteZeros(uint64_t count, std::string* error) {
  static const uint8_t zeros[4096] = {};
  while (count > 0) {
    const size_t n = count < sizeof zeros ? static_cast<size_t>(count) : sizeof zeros;
    if (!Write(zeros, n, error)) return false;
    count -= n;
  }
  return true;
}

bool ChainWriter::CopyRange(FILE* input, uint64_t count, std::string* error) {
  std::unique_ptr<uint8_t[]> block(new uint8_t[kBlockSize]);
  while (count > 0) {
    const size_t n = count < kBlockSize ? static_cast<size_t>(count) : kBlockSize;
    if (fread(block.get(), 1, n, input) != n) return Fail(error, "cannot read the input image");
    if (!Write(block.get(), n, error)) return false;
    count -= n;
  }
  return true;
}

bool ChainWriter::BeginAfterFile(const std::wstring& path, std::string* error) {
  if (!output_) return Fail(error, "no output file");
  if (begun_) return Fail(error, "the output already holds an image");
  ScopedStdio input;
  const int64_t size = OpenAndMeasure(path, &input, error);
  if (size < 0) return false;
  if (size > kMaxChainPosition) return Fail(error, "the file is larger than 2 GiB; a chain after it is unreachable");
  if (!CopyRange(input.get(), static_cast<uint64_t>(size), error)) return false;
  begun_ = true;
  chainStart_ = position_;
  chainLength_ = -1;
  return true;
}

bool ChainWriter::BeginImageWithSection(const std::wstring& imagePath, uint64_t chainLength, std::string* error) {
  if (!output_) return Fail(error, "no output file");
  if (begun_) return Fail(error, "the output already holds an image");
  ScopedStdio input;
  const int64_t signedSize = OpenAndMeasure(imagePath, &input, error);
  if (signedSize < 0) return false;
  const uint64_t size = static_cast<uint64_t>(signedSize);
  const std::string name = WideToUtf8(imagePath);

  const pe::ReadAt read = pe::StdioReader(input.get(), size);
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
      notes_.push_back("dropped the COFF symbol table (" + std::to_string(size - rawEnd) +
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

  if (!Write(head.data(), head.size(), error)) return false;
  if (!platform::SeekStdio(input.get(), static_cast<int64_t>(headerSize), SEEK_SET))
    return Fail(error, "cannot read " + name);
  if (!CopyRange(input.get(), rawEnd - headerSize, error)) return false;
  if (!WriteZeros(chainStart - rawEnd, error)) return false;
  begun_ = true;
  chainStart_ = position_;
  chainLength_ = static_cast<int64_t>(chainLength);
  return true;
}

bool ChainWriter::CheckRoom(const std::string& type, uint64_t payloadSize, std::string* error) {
  if (!begun_) return Fail(error, "write the image before its attachments");
  if (type.size() != 4) return Fail(error, "attachment type '" + type + "' is not four bytes long");
  if (!FitsSizeField(payloadSize)) return Fail(error, "the " + type + " payload is larger than 4 GiB");
  const uint64_t end = static_cast<uint64_t>(position_) + AttachmentRecordSize(payloadSize);
  if (chainLength_ >= 0 && end > static_cast<uint64_t>(chainStart_ + chainLength_))
    return Fail(error, "the " + type + " attachment does not fit the chain length announced in the section");
  if (end > static_cast<uint64_t>(kMaxChainPosition)) return Fail(error, "the chain would pass 2 GiB");
  return true;
}

bool ChainWriter::WriteTrailer(const std::string& type, uint32_t payloadSize, const uint8_t* digest,
                               std::string* error) {
  AttachmentTrailer trailer;
  memcpy(trailer.digest, digest, kDigestSize);
  trailer.payloadSize = payloadSize;
  trailer.typeCode = TypeCodeOf(type);
  trailer.magic = kAttachmentMagic;
  uint8_t bytes[kTrailerSize];
  SerializeTrailer(trailer, bytes);
  return Write(bytes, sizeof bytes, error);
}

bool ChainWriter::AppendAttachment(const std::string& type, const uint8_t* data, size_t size, std::string* error) {
  if (!CheckRoom(type, size, error)) return false;
  PayloadDigest md5;
  std::unique_ptr<uint8_t[]> block(new uint8_t[kBlockSize]);
  size_t done = 0;
  while (done < size) {
    const size_t n = std::min(size - done, kBlockSize);
    memcpy(block.get(), data + done, n);
    md5.Update(block.get(), n);
    ScrambleBytes(block.get(), n);
    if (!Write(block.get(), n, error)) return false;
    done += n;
  }
  uint8_t digest[kDigestSize];
  md5.Final(digest);
  return WriteTrailer(type, static_cast<uint32_t>(size), digest, error);
}

bool ChainWriter::AppendAttachmentFromFile(const std::string& type, const std::wstring& payloadPath,
                                           std::string* error) {
  ScopedStdio input;
  const int64_t size = OpenAndMeasure(payloadPath, &input, error);
  if (size < 0 || !CheckRoom(type, static_cast<uint64_t>(size), error)) return false;
  PayloadDigest md5;
  std::unique_ptr<uint8_t[]> block(new uint8_t[kBlockSize]);
  uint64_t remaining = static_cast<uint64_t>(size);
  while (remaining > 0) {
    const size_t n = remaining < kBlockSize ? static_cast<size_t>(remaining) : kBlockSize;
    if (fread(block.get(), 1, n, input.get()) != n)
      return Fail(error, "cannot read " + WideToUtf8(payloadPath) + " (did it shrink?)");
    md5.Update(block.get(), n);
    ScrambleBytes(block.get(), n);
    if (!Write(block.get(), n, error)) return false;
    remaining -= n;
  }
  uint8_t digest[kDigestSize];
  md5.Final(digest);
  return WriteTrailer(type, static_cast<uint32_t>(size), digest, error);
}

bool ChainWriter::Flush(std::string* error) {
  if (fflush(output_) != 0) return Fail(error, "cannot write the output file");
  return true;
}

bool ChainWriter::Finish(std::string* error) {
  if (!begun_) return Fail(error, "nothing was written");
  if (chainLength_ >= 0 && position_ - chainStart_ != chainLength_)
    return Fail(error, "the chain is " + std::to_string(position_ - chainStart_) + " bytes but the section announced " +
                           std::to_string(chainLength_));
  return Flush(error);
}

#include "tools/kzpack/pe_info.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "pe/pe_headers.h"
#include "platform/platform.h"
#include "support/byte_order.h"
#include "tools/kzpack/cli_support.h"

namespace kzpack {
namespace {

// Header areas are at most a few KiB; this covers any sane one.
constexpr size_t kHeadLimit = 0x10000;

bool Fail(std::string* reason, const std::string& text) {
  if (reason) *reason = text;
  return false;
}

}  // namespace

std::string MachineName(uint16_t machine) {
  if (machine == pe::kMachineI386) return "i386";
  if (machine == pe::kMachineAmd64) return "AMD64";
  if (machine == 0xAA64) return "ARM64";
  char text[16];
  snprintf(text, sizeof text, "0x%04X", machine);
  return text;
}

bool ReadPeInfo(const std::vector<uint8_t>& head, uint64_t fileSize, PeInfo* info, std::string* reason) {
  *info = PeInfo();
  info->fileSize = fileSize;
  const uint64_t size = head.size();
  if (size < pe::kDosHeaderSize || !pe::HasDosMagic(head.data())) return Fail(reason, "not a PE image (no MZ header)");
  const uint32_t e = LoadLe32(&head[pe::kNtOffsetField]);
  if (static_cast<uint64_t>(e) + pe::kFileHeaderSize > size || LoadLe32(&head[e]) != pe::kNtSignature)
    return Fail(reason, "not a PE image (no PE signature)");
  const pe::FileHeader header = pe::ParseFileHeader(&head[e]);
  info->lfanew = e;
  info->machine = header.machine;
  const uint16_t count = header.sectionCount;
  info->sizeOfOptionalHeader = header.optionalHeaderSize;
  const uint64_t optional = e + pe::kOptionalHeader;
  if (optional + 2 > size) return Fail(reason, "truncated optional header");
  const uint16_t magic = LoadLe16(&head[optional]);
  if (magic != pe::kPe32Magic && magic != pe::kPe32PlusMagic) return Fail(reason, "neither PE32 nor PE32+");
  info->pe32plus = magic == pe::kPe32PlusMagic;
  const uint64_t certificateEntry = e + pe::DirectoryEntry(info->pe32plus, pe::kCertificateDirectory);
  if (optional + info->sizeOfOptionalHeader > size ||
      certificateEntry + pe::kDirectoryEntrySize > optional + info->sizeOfOptionalHeader)
    return Fail(reason, "truncated optional header");
  info->sizeOfImage = LoadLe32(&head[optional + pe::kImageSizeField]);
  info->sizeOfHeaders = LoadLe32(&head[optional + pe::kHeadersSizeField]);
  info->checkSum = LoadLe32(&head[optional + pe::kCheckSumField]);
  info->certificateEntryOffset = static_cast<uint32_t>(certificateEntry);
  info->certificateTableOffset = LoadLe32(&head[certificateEntry]);
  info->certificateTableSize = LoadLe32(&head[certificateEntry + 4]);
  const uint64_t table = pe::SectionHeaderOffset(e, header.optionalHeaderSize, 0);
  if (pe::SectionHeaderOffset(e, header.optionalHeaderSize, count) > size)
    return Fail(reason, "section table runs past the headers");
  for (uint16_t i = 0; i < count; ++i) {
    const PeSection section = pe::ParseSectionHeader(&head[table + pe::kSectionHeaderSize * i]);
    if (section.rawSize) info->sectionDataEnd = std::max<uint64_t>(info->sectionDataEnd, section.RawEnd());
    info->sections.push_back(section);
  }
  return true;
}

bool ReadPeInfoFromFile(const std::string& path, PeInfo* info, std::string* reason) {
  FILE* file = platform::OpenStdioFile(WidePath(path), L"rb");
  if (!file) return Fail(reason, "cannot open the file");
  int64_t size = -1;
  if (platform::SeekStdio(file, 0, SEEK_END)) size = platform::TellStdio(file);
  std::vector<uint8_t> head;
  if (size > 0 && platform::SeekStdio(file, 0, SEEK_SET)) {
    head.resize(static_cast<size_t>(std::min<int64_t>(size, kHeadLimit)));
    if (fread(head.data(), 1, head.size(), file) != head.size()) head.clear();
  }
  fclose(file);
  if (size < 0) return Fail(reason, "cannot read the file");
  return ReadPeInfo(head, static_cast<uint64_t>(size), info, reason);
}

bool StripCertificateTable(std::vector<uint8_t>* image, std::string* reason) {
  PeInfo info;
  const std::vector<uint8_t> head(image->begin(), image->begin() + std::min<size_t>(image->size(), kHeadLimit));
  if (!ReadPeInfo(head, image->size(), &info, reason)) return false;
  if (info.certificateTableSize == 0) return true;
  const uint64_t start = info.certificateTableOffset;
  const uint64_t end = start + info.certificateTableSize;
  // The table is 8-byte aligned and may carry padding up to the file's end.
  if (start < info.sectionDataEnd || end > image->size() || (image->size() - end) >= 8)
    return Fail(reason, "its certificate table is not at the end of the file, so it cannot be removed safely");
  image->resize(static_cast<size_t>(start));
  memset(image->data() + info.certificateEntryOffset, 0, 8);
  const uint64_t checksumAt = info.lfanew + pe::kOptionalHeader + pe::kCheckSumField;
  memset(image->data() + checksumAt, 0, 4);
  return true;
}

}  // namespace kzpack

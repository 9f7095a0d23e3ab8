#include "tools/kzpack/pe_info.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "platform/platform.h"
#include "tools/kzpack/cli_support.h"

namespace kzpack {
namespace {

// Header areas are at most a few KiB; this covers any sane one.
constexpr size_t kHeadLimit = 0x10000;

uint16_t Le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
uint32_t Le32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
         static_cast<uint32_t>(p[3]) << 24;
}

bool Fail(std::string* reason, const std::string& text) {
  if (reason) *reason = text;
  return false;
}

}  // namespace

std::string MachineName(uint16_t machine) {
  if (machine == 0x14C) return "i386";
  if (machine == 0x8664) return "AMD64";
  if (machine == 0xAA64) return "ARM64";
  char text[16];
  snprintf(text, sizeof text, "0x%04X", machine);
  return text;
}

bool ReadPeInfo(const std::vector<uint8_t>& head, uint64_t fileSize, PeInfo* info, std::string* reason) {
  *info = PeInfo();
  info->fileSize = fileSize;
  const uint64_t size = head.size();
  if (size < 0x40 || head[0] != 'M' || head[1] != 'Z') return Fail(reason, "not a PE image (no MZ header)");
  const uint32_t e = Le32(&head[0x3C]);
  if (static_cast<uint64_t>(e) + 24 > size || memcmp(&head[e], "PE\0\0", 4) != 0)
    return Fail(reason, "not a PE image (no PE signature)");
  info->lfanew = e;
  info->machine = Le16(&head[e + 4]);
  const uint16_t count = Le16(&head[e + 6]);
  info->sizeOfOptionalHeader = Le16(&head[e + 20]);
  const uint64_t optional = e + 24ull;
  if (optional + 2 > size) return Fail(reason, "truncated optional header");
  const uint16_t magic = Le16(&head[optional]);
  if (magic != 0x10B && magic != 0x20B) return Fail(reason, "neither PE32 nor PE32+");
  info->pe32plus = magic == 0x20B;
  const uint64_t directories = optional + (info->pe32plus ? 112 : 96);
  if (optional + info->sizeOfOptionalHeader > size || directories + 5 * 8 > optional + info->sizeOfOptionalHeader)
    return Fail(reason, "truncated optional header");
  info->sizeOfImage = Le32(&head[optional + 56]);
  info->sizeOfHeaders = Le32(&head[optional + 60]);
  info->checkSum = Le32(&head[optional + 64]);
  info->certificateEntryOffset = static_cast<uint32_t>(directories + 4 * 8);
  info->certificateTableOffset = Le32(&head[directories + 4 * 8]);
  info->certificateTableSize = Le32(&head[directories + 4 * 8 + 4]);
  const uint64_t table = optional + info->sizeOfOptionalHeader;
  if (table + 40ull * count > size) return Fail(reason, "section table runs past the headers");
  for (uint16_t i = 0; i < count; ++i) {
    const uint8_t* entry = &head[table + 40ull * i];
    PeSection section;
    section.name.assign(reinterpret_cast<const char*>(entry), strnlen(reinterpret_cast<const char*>(entry), 8));
    section.virtualSize = Le32(entry + 8);
    section.virtualAddress = Le32(entry + 12);
    section.rawSize = Le32(entry + 16);
    section.rawPointer = Le32(entry + 20);
    section.characteristics = Le32(entry + 36);
    if (section.rawSize)
      info->sectionDataEnd = std::max<uint64_t>(info->sectionDataEnd, uint64_t(section.rawPointer) + section.rawSize);
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
  const uint64_t checksumAt = info.lfanew + 24ull + 64;
  memset(image->data() + checksumAt, 0, 4);
  return true;
}

}  // namespace kzpack

// Helpers shared by the attachment tests: hand-made PE headers with exactly
// the fields the chain code reads, a reader for section tables, and the real
// PE files that tests/data/attachments builds.
#pragma once

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

namespace kzpe {

inline void Put16(std::vector<uint8_t>& b, size_t at, uint16_t v) {
  b.at(at) = static_cast<uint8_t>(v);
  b.at(at + 1) = static_cast<uint8_t>(v >> 8);
}
inline void Put32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b.at(at + i) = static_cast<uint8_t>(v >> (8 * i));
}
inline uint16_t Get16(const std::vector<uint8_t>& b, size_t at) { return static_cast<uint16_t>(b[at] | b[at + 1] << 8); }
inline uint32_t Get32(const std::vector<uint8_t>& b, size_t at) {
  return static_cast<uint32_t>(b[at]) | static_cast<uint32_t>(b[at + 1]) << 8 | static_cast<uint32_t>(b[at + 2]) << 16 |
         static_cast<uint32_t>(b[at + 3]) << 24;
}

constexpr uint16_t kI386 = 0x014C;
constexpr uint16_t kAmd64 = 0x8664;
constexpr uint16_t kArm64 = 0xAA64;
constexpr uint32_t kNt = 0x80;  // e_lfanew of the hand-made headers

struct Section {
  uint32_t rawPointer;
  uint32_t rawSize;
};

// Headers of a PE image (0x400 bytes, the section table included), the
// optional header PE32 for i386 and PE32+ otherwise.
struct FakePe {
  uint16_t machine = kI386;
  std::vector<Section> sections;
  uint32_t certificateOffset = 0;
  uint32_t certificateSize = 0;
  uint16_t optionalHeaderSize = 0;  // 0: the standard size for the kind

  bool Plus() const { return machine != kI386; }
  size_t TableOffset() const {
    return kNt + 24 + (optionalHeaderSize ? optionalHeaderSize : (Plus() ? 240 : 224));
  }
  std::vector<uint8_t> Headers() const {
    std::vector<uint8_t> b(0x400, 0);
    b[0] = 'M';
    b[1] = 'Z';
    Put32(b, 0x3C, kNt);
    Put32(b, kNt, 0x00004550);
    Put16(b, kNt + 4, machine);
    Put16(b, kNt + 6, static_cast<uint16_t>(sections.size()));
    Put16(b, kNt + 20, static_cast<uint16_t>(TableOffset() - kNt - 24));
    const size_t opt = kNt + 24;
    Put16(b, opt, Plus() ? 0x20B : 0x10B);
    Put32(b, opt + 32, 0x1000);  // SectionAlignment
    Put32(b, opt + 36, 0x200);   // FileAlignment
    Put32(b, opt + 60, 0x400);   // SizeOfHeaders
    const size_t dirs = opt + (Plus() ? 112 : 96);
    Put32(b, dirs - 4, 16);  // NumberOfRvaAndSizes
    Put32(b, dirs + 32, certificateOffset);
    Put32(b, dirs + 36, certificateSize);
    uint32_t va = 0x1000;
    for (size_t i = 0; i < sections.size(); ++i) {
      const size_t e = TableOffset() + i * 40;
      if (e + 40 > b.size()) break;  // tables beyond the header area are the tests' business
      memcpy(&b[e], ".data\0\0", 8);
      Put32(b, e + 8, sections[i].rawSize);
      Put32(b, e + 12, va);
      Put32(b, e + 16, sections[i].rawSize);
      Put32(b, e + 20, sections[i].rawPointer);
      Put32(b, e + 36, 0x40000040);
      va += 0x1000 + (sections[i].rawSize + 0xFFF) / 0x1000 * 0x1000;
    }
    return b;
  }
};

// A section-table entry of an image read from bytes.
struct SectionEntry {
  std::string name;
  uint32_t virtualSize, virtualAddress, rawSize, rawPointer, characteristics;
};

struct ParsedPe {
  uint32_t nt = 0;
  uint16_t sections = 0;
  bool plus = false;
  uint32_t sectionAlignment = 0, fileAlignment = 0, sizeOfImage = 0, checkSum = 0;
  uint32_t certificateOffset = 0, certificateSize = 0;
  std::vector<SectionEntry> table;
};

inline ParsedPe Parse(const std::vector<uint8_t>& b) {
  ParsedPe pe;
  pe.nt = Get32(b, 0x3C);
  pe.sections = Get16(b, pe.nt + 6);
  const uint32_t opt = pe.nt + 24;
  pe.plus = Get16(b, opt) == 0x20B;
  pe.sectionAlignment = Get32(b, opt + 32);
  pe.fileAlignment = Get32(b, opt + 36);
  pe.sizeOfImage = Get32(b, opt + 56);
  pe.checkSum = Get32(b, opt + 64);
  const uint32_t dirs = opt + (pe.plus ? 112 : 96);
  pe.certificateOffset = Get32(b, dirs + 32);
  pe.certificateSize = Get32(b, dirs + 36);
  const uint32_t table = opt + Get16(b, pe.nt + 20);
  for (uint16_t i = 0; i < pe.sections; ++i) {
    const uint32_t e = table + i * 40;
    SectionEntry s;
    s.name.assign(reinterpret_cast<const char*>(&b[e]), strnlen(reinterpret_cast<const char*>(&b[e]), 8));
    s.virtualSize = Get32(b, e + 8);
    s.virtualAddress = Get32(b, e + 12);
    s.rawSize = Get32(b, e + 16);
    s.rawPointer = Get32(b, e + 20);
    s.characteristics = Get32(b, e + 36);
    pe.table.push_back(s);
  }
  return pe;
}

// The real PE files; empty path when this build could not make one.
inline std::filesystem::path DataFile(const char* name) {
#ifdef KZ_ATTACHMENTS_DATA_DIR
  std::filesystem::path p = std::filesystem::path(KZ_ATTACHMENTS_DATA_DIR) / name;
  if (std::filesystem::exists(p)) return p;
#endif
  return {};
}

}  // namespace kzpe

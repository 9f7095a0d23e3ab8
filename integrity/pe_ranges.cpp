// Exclusion ranges of a PE image, from its headers alone: the image may be
// far larger than a 32-bit process could map, so only the DOS header, the
// file header and two section-table entries are read.
#include "integrity/pe_ranges.h"

#include "pe/pe_headers.h"
#include "support/byte_order.h"

namespace {

constexpr uint32_t kMaxSections = 15;
// Offset of the last section header with the standard optional-header sizes
// (224 bytes for PE32, 240 for PE32+), as the signers compute it.
constexpr uint64_t kFirstSectionPe32 = 248;
constexpr uint64_t kFirstSectionPe32Plus = 264;

bool ComputeRanges(platform::FileHandle file, uint64_t fileSize, std::vector<PeExclusionRange>* ranges) {
  const pe::ReadAt read = pe::HandleReader(file, fileSize);
  unsigned char dos[pe::kDosHeaderSize];
  if (!read(0, dos, sizeof dos)) return false;
  if (!pe::HasDosMagic(dos)) return false;
  const uint64_t e = LoadLe32(dos + pe::kNtOffsetField);
  if (e >= fileSize) return false;

  unsigned char nt[pe::kFileHeaderSize];
  if (!read(e, nt, sizeof nt)) return false;
  const pe::FileHeader header = pe::ParseFileHeader(nt);
  const uint32_t sections = header.sectionCount;
  if (sections < 1 || sections > kMaxSections) return false;
  if (header.signature != pe::kNtSignature) return false;
  uint64_t firstStandard;
  bool pe32plus;
  if (header.machine == pe::kMachineI386) {
    firstStandard = kFirstSectionPe32;
    pe32plus = false;
  } else if (header.machine == pe::kMachineAmd64) {
    firstStandard = kFirstSectionPe32Plus;
    pe32plus = true;
  } else {
    return false;
  }
  const uint64_t certificateEntry = pe::DirectoryEntry(pe32plus, pe::kCertificateDirectory);

  // The section table as the image itself places it.
  if (pe::SectionHeaderOffset(e, header.optionalHeaderSize, sections) > fileSize) return false;
  pe::SectionHeader first;
  pe::SectionHeader last;
  if (!pe::ReadSectionHeader(read, e, header, 0, &first) || !pe::ReadSectionHeader(read, e, header, sections - 1, &last))
    return false;
  const uint64_t rawStart = first.rawPointer;  // R: where the first section's data begins
  const bool bundleLast = last.name == ".KZBNDL";

  uint64_t gapStart = e + firstStandard + uint64_t{sections - 1} * pe::kSectionHeaderSize;  // H
  if (!bundleLast) gapStart += pe::kSectionHeaderSize;
  if (rawStart < gapStart) return false;  // also keeps every offset below 4 GiB

  const PeExclusionRange found[] = {
      {static_cast<uint32_t>(e + pe::kSectionCountField), 2},                  // NumberOfSections
      {static_cast<uint32_t>(e + pe::kOptionalHeader + pe::kImageSizeField), 4},  // SizeOfImage
      {static_cast<uint32_t>(e + pe::kOptionalHeader + pe::kCheckSumField), 4},   // CheckSum
      {static_cast<uint32_t>(e + certificateEntry), 8},                        // certificate table entry
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

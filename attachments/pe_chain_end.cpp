#include "attachments/pe_chain_end.h"

#include <cstring>

#include "attachments/trailer.h"
#include "pe/pe_headers.h"
#include "support/byte_order.h"

namespace {

// Signature, file header and a standard 32-bit optional header.
constexpr uint64_t kStandardNtHeadersSize = 248;
constexpr uint32_t kMinimumCertificateSize = 256;
// Words examined below the certificate table: ending at C, C-1, ... C-59.
constexpr int kSearchPositions = 60;
constexpr int kSearchBytes = kSearchPositions + 3;

// These messages go to standard output, as wide text where the runtime has
// it (glibc would lock stdout to wide output for good).
void SayOnStdout(const wchar_t* wide, const char* narrow) {
#ifdef _WIN32
  (void)narrow;
  fputws(wide, stdout);
#else
  (void)wide;
  fputs(narrow, stdout);
#endif
  fflush(stdout);
}
#define KZ_SAY(text) SayOnStdout(L##text, text)

// Puts the file position back where the caller had it, on every path.
class KeepFilePosition {
 public:
  explicit KeepFilePosition(platform::FileHandle file) : file_(file) {
    saved_ = platform::SeekFile(file_, 0, platform::SeekFrom::kCurrent, &position_);
  }
  ~KeepFilePosition() {
    if (saved_) platform::SeekFile(file_, position_, platform::SeekFrom::kBegin);
  }

 private:
  platform::FileHandle file_;
  int64_t position_ = 0;
  bool saved_ = false;
};

}  // namespace

int32_t PeRawDataEnd(FILE* container) {
  if (!container) return -1;
  if (!platform::SeekStdio(container, 0, SEEK_END)) {
    KZ_SAY("Error reading file");
    return -1;
  }
  const int64_t signedSize = platform::TellStdio(container);
  platform::SeekStdio(container, 0, SEEK_SET);
  if (signedSize < 0) {
    KZ_SAY("Error reading file");
    return -1;
  }
  const pe::ReadAt read = pe::StdioReader(container, static_cast<uint64_t>(signedSize));

  uint8_t dos[2];
  if (!read(0, dos, sizeof dos)) {
    KZ_SAY("Error reading file");
    return -1;
  }
  if (!pe::HasDosMagic(dos)) {
    KZ_SAY("Invalid DOS Sig");
    return -1;
  }
  uint8_t word[4];
  if (!read(pe::kNtOffsetField, word, sizeof word)) {
    KZ_SAY("Error reading file");
    return -1;
  }
  const uint64_t ntOffset = LoadLe32(word);
  uint8_t nt[pe::kFileHeaderSize];
  if (!read(ntOffset, nt, 4)) {
    KZ_SAY("Error reading file");
    return -1;
  }
  if (LoadLe32(nt) != pe::kNtSignature) {
    KZ_SAY("Invalid NT Sig");
    return -1;
  }
  if (!read(ntOffset, nt, sizeof nt)) {
    KZ_SAY("Error reading file");
    return -1;
  }
  const pe::FileHeader header = pe::ParseFileHeader(nt);
  pe::SectionHeader last;
  // A file without sections has no last entry: the headers it needs are missing.
  if (header.sectionCount == 0 || !pe::ReadSectionHeader(read, ntOffset, header, header.sectionCount - 1u, &last)) {
    KZ_SAY("Error reading file");
    return -1;
  }
  return static_cast<int32_t>(last.RawEnd() & 0x7FFFFFFF);
}

uint32_t PeTrailingDataSize(platform::FileHandle file, uint32_t sizeHint, uint16_t belowCertificate) {
  if (file == platform::kInvalidFile) return 0;
  uint64_t size = sizeHint;
  if (size == 0) {
    int64_t queried = 0;
    if (!platform::GetFileSize64(file, &queried) || queried < 0) return 0;
    size = static_cast<uint64_t>(queried);
  }
  // Sizes from 4 GiB up do not fit the 32-bit result (and 0xFFFFFFFF is a failed query).
  if (size == 0 || size >= 0xFFFFFFFFu) return 0;

  KeepFilePosition keep(file);
  const pe::ReadAt read = pe::HandleReader(file, size);
  uint8_t dos[pe::kDosHeaderSize];
  if (!read(0, dos, sizeof dos)) return 0;
  if (!pe::HasDosMagic(dos)) return 0;
  const uint64_t ntOffset = LoadLe32(dos + pe::kNtOffsetField);
  if (ntOffset >= size) return 0;
  uint8_t nt[kStandardNtHeadersSize];
  if (!read(ntOffset, nt, sizeof nt)) return 0;
  const pe::FileHeader header = pe::ParseFileHeader(nt);
  const uint16_t sections = header.sectionCount;
  if (ntOffset + sections * pe::kSectionHeaderSize + kStandardNtHeadersSize > size) return 0;
  if (header.signature != pe::kNtSignature) return 0;

  const uint16_t machine = header.machine;
  if (machine != pe::kMachineI386 && machine != pe::kMachineAmd64) return 0;
  // The directory entry is taken where a 32-bit image has it; a 64-bit image
  // never reaches the search below.
  const uint64_t certificateEntry = pe::DirectoryEntry(false, pe::kCertificateDirectory);
  const uint32_t certificateOffset = LoadLe32(nt + certificateEntry);
  const uint32_t certificateSize =
      LoadLe32(nt + pe::DirectoryEntry(machine == pe::kMachineAmd64, pe::kCertificateDirectory) + 4);
  if (certificateSize <= kMinimumCertificateSize) return 0;

  // The last table entry may sit beyond the standard header size when the
  // optional header is larger; it is read only if it lies inside the file.
  if (sections == 0) return 0;
  pe::SectionHeader last;
  if (!pe::ReadSectionHeader(read, ntOffset, header, sections - 1u, &last)) return 0;
  const uint64_t sectionEnd = last.RawEnd();
  if (sectionEnd >= size) return 0;
  if (machine == pe::kMachineAmd64 || belowCertificate != 1) return static_cast<uint32_t>(size - sectionEnd);

  const uint64_t c = certificateOffset;
  if (c > size) return 0;
  const uint64_t windowStart = c >= static_cast<uint64_t>(kSearchBytes) ? c - kSearchBytes : 0;
  uint8_t window[kSearchBytes];
  const uint32_t windowSize = static_cast<uint32_t>(c - windowStart);
  if (!read(windowStart, window, windowSize)) return 0;
  for (int i = 0; i < kSearchPositions; ++i) {
    const uint64_t wordEnd = c - i;
    if (wordEnd < windowStart + 4) break;  // the word would start below offset 0
    if (LoadLe32(window + (wordEnd - 4 - windowStart)) == kAttachmentMagic) return static_cast<uint32_t>(size - wordEnd);
  }
  return 0;
}

#include "attachments/pe_chain_end.h"

#include <cstring>

#include "attachments/trailer.h"

namespace {

constexpr uint16_t kMachineI386 = 0x014C;
constexpr uint16_t kMachineAmd64 = 0x8664;
constexpr uint32_t kNtSignature = 0x00004550;  // "PE\0\0"
// Signature, file header and a standard 32-bit optional header.
constexpr uint64_t kStandardNtHeadersSize = 248;
constexpr uint64_t kSectionEntrySize = 40;
constexpr uint32_t kMinimumCertificateSize = 256;
// Words examined below the certificate table: ending at C, C-1, ... C-59.
constexpr int kSearchPositions = 60;
constexpr int kSearchBytes = kSearchPositions + 3;

uint16_t Le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
uint32_t Le32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
         static_cast<uint32_t>(p[3]) << 24;
}

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

// Reads exactly `size` bytes at `position` of a stream whose size is known;
// false for anything outside the file.
bool ReadStreamAt(FILE* file, uint64_t fileSize, uint64_t position, void* buffer, size_t size) {
  if (position > fileSize || size > fileSize - position) return false;
  if (!platform::SeekStdio(file, static_cast<int64_t>(position), SEEK_SET)) return false;
  return fread(buffer, 1, size, file) == size;
}

bool ReadHandleAt(platform::FileHandle file, uint64_t fileSize, uint64_t position, void* buffer, uint32_t size) {
  if (position > fileSize || size > fileSize - position) return false;
  if (!platform::SeekFile(file, static_cast<int64_t>(position), platform::SeekFrom::kBegin)) return false;
  return platform::ReadExact(file, buffer, size);
}

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
  const uint64_t size = static_cast<uint64_t>(signedSize);

  uint8_t dos[2];
  if (!ReadStreamAt(container, size, 0, dos, sizeof dos)) {
    KZ_SAY("Error reading file");
    return -1;
  }
  if (dos[0] != 'M' || dos[1] != 'Z') {
    KZ_SAY("Invalid DOS Sig");
    return -1;
  }
  uint8_t word[4];
  if (!ReadStreamAt(container, size, 0x3C, word, sizeof word)) {
    KZ_SAY("Error reading file");
    return -1;
  }
  const uint64_t ntOffset = Le32(word);
  uint8_t nt[24];  // signature and file header
  if (!ReadStreamAt(container, size, ntOffset, nt, 4)) {
    KZ_SAY("Error reading file");
    return -1;
  }
  if (Le32(nt) != kNtSignature) {
    KZ_SAY("Invalid NT Sig");
    return -1;
  }
  if (!ReadStreamAt(container, size, ntOffset, nt, sizeof nt)) {
    KZ_SAY("Error reading file");
    return -1;
  }
  const uint16_t sections = Le16(nt + 6);
  const uint16_t optionalHeaderSize = Le16(nt + 20);
  uint8_t entry[kSectionEntrySize];
  // A file without sections has no last entry: the headers it needs are missing.
  if (sections == 0 || !ReadStreamAt(container, size,
                                     ntOffset + 24 + optionalHeaderSize + (sections - 1) * kSectionEntrySize,
                                     entry, sizeof entry)) {
    KZ_SAY("Error reading file");
    return -1;
  }
  const uint64_t end = static_cast<uint64_t>(Le32(entry + 20)) + Le32(entry + 16);
  return static_cast<int32_t>(end & 0x7FFFFFFF);
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
  uint8_t dos[64];
  if (!ReadHandleAt(file, size, 0, dos, sizeof dos)) return 0;
  if (dos[0] != 'M' || dos[1] != 'Z') return 0;
  const uint64_t ntOffset = Le32(dos + 0x3C);
  if (ntOffset >= size) return 0;
  uint8_t nt[kStandardNtHeadersSize];
  if (!ReadHandleAt(file, size, ntOffset, nt, sizeof nt)) return 0;
  const uint16_t sections = Le16(nt + 6);
  if (ntOffset + sections * kSectionEntrySize + kStandardNtHeadersSize > size) return 0;
  if (Le32(nt) != kNtSignature) return 0;

  const uint16_t machine = Le16(nt + 4);
  if (machine != kMachineI386 && machine != kMachineAmd64) return 0;
  const uint32_t certificateOffset = Le32(nt + 0x98);
  const uint32_t certificateSize = Le32(nt + (machine == kMachineI386 ? 0x9C : 0xAC));
  if (certificateSize <= kMinimumCertificateSize) return 0;

  // The last table entry may sit beyond the standard header size when the
  // optional header is larger; it is read only if it lies inside the file.
  if (sections == 0) return 0;
  uint8_t entry[kSectionEntrySize];
  const uint64_t entryOffset = ntOffset + 24 + Le16(nt + 20) + (sections - 1) * kSectionEntrySize;
  if (!ReadHandleAt(file, size, entryOffset, entry, sizeof entry)) return 0;
  const uint64_t sectionEnd = static_cast<uint64_t>(Le32(entry + 20)) + Le32(entry + 16);
  if (sectionEnd >= size) return 0;
  if (machine == kMachineAmd64 || belowCertificate != 1) return static_cast<uint32_t>(size - sectionEnd);

  const uint64_t c = certificateOffset;
  if (c > size) return 0;
  const uint64_t windowStart = c >= static_cast<uint64_t>(kSearchBytes) ? c - kSearchBytes : 0;
  uint8_t window[kSearchBytes];
  const uint32_t windowSize = static_cast<uint32_t>(c - windowStart);
  if (!ReadHandleAt(file, size, windowStart, window, windowSize)) return 0;
  for (int i = 0; i < kSearchPositions; ++i) {
    const uint64_t wordEnd = c - i;
    if (wordEnd < windowStart + 4) break;  // the word would start below offset 0
    if (Le32(window + (wordEnd - 4 - windowStart)) == kAttachmentMagic) return static_cast<uint32_t>(size - wordEnd);
  }
  return 0;
}

// The PE header readers on any file: where the chain ends (by stream and by
// handle, with and without the certificate search) and the exclusion ranges
// of the header-excluding signature.
#include <cstdlib>
#include <vector>

#include "attachments/pe_chain_end.h"
#include "integrity/pe_ranges.h"
#include "platform/platform.h"
#include "tests/fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  kzfuzz::QuietInit();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::wstring path = kzfuzz::ScratchPath("image.exe");
  if (!kzfuzz::WriteBytes(path, data, size)) return 0;

  if (FILE* stream = platform::OpenStdioFile(path, L"rb")) {
    const int32_t end = PeRawDataEnd(stream);
    if (end < -1) abort();
    fclose(stream);
  }

  platform::ScopedFile file(platform::OpenFileForRead(path, platform::ShareMode::kReadWrite));
  if (!file.valid()) return 0;
  // Start somewhere inside the file: both functions must put the position back.
  const int64_t start = size ? static_cast<int64_t>(data[0]) % static_cast<int64_t>(size) : 0;
  platform::SeekFile(file.get(), start, platform::SeekFrom::kBegin);
  for (uint16_t mode : {uint16_t{0}, uint16_t{1}, uint16_t{2}}) {
    for (uint32_t hint : {uint32_t{0}, static_cast<uint32_t>(size)}) {
      const uint32_t trailing = PeTrailingDataSize(file.get(), hint, mode);
      if (trailing > size) abort();
      int64_t position = -1;
      if (!platform::SeekFile(file.get(), 0, platform::SeekFrom::kCurrent, &position) || position != start) abort();
    }
  }

  std::vector<PeExclusionRange> ranges;
  const bool ok = ComputePeExclusionRanges(file.get(), &ranges);
  int64_t position = -1;
  if (!platform::SeekFile(file.get(), 0, platform::SeekFrom::kCurrent, &position) || position != start) abort();
  if (ok != !ranges.empty()) abort();
  if (ok && ranges.size() != 5) abort();
  uint64_t previousEnd = 0;
  for (const PeExclusionRange& range : ranges) {
    // Ascending, disjoint, and inside the first 4 GiB.
    if (range.offset < previousEnd) abort();
    previousEnd = uint64_t{range.offset} + range.length;
    if (previousEnd > 0xFFFFFFFFull) abort();
  }
  return 0;
}

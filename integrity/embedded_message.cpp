// Streams the signed part of an image into a hash or signature filter.
#include "integrity/embedded_message.h"

#include <cryptopp/filters.h>

#include <algorithm>
#include <stdexcept>

bool PutSignedMessage(platform::FileHandle file, int64_t signedLength, const std::vector<PeExclusionRange>* ranges,
                      CryptoPP::BufferedTransformation& sink) {
  std::vector<uint8_t> buffer(kSignedMessageBlock);
  int64_t pos = 0;
  if (ranges) {
    for (const PeExclusionRange& range : *ranges) {
      // The ranges lie in the headers, so the bytes in front of each must all be there.
      int64_t gap = static_cast<int64_t>(range.offset) - pos;
      while (gap > 0) {
        uint32_t want = static_cast<uint32_t>(std::min<int64_t>(gap, kSignedMessageBlock));
        uint32_t got = 0;
        if (!platform::ReadFromFile(file, buffer.data(), want, &got) || got != want)
          throw std::length_error("Unable to read PE file");
        sink.Put(buffer.data(), got);
        gap -= got;
      }
      if (!platform::SeekFile(file, range.length, platform::SeekFrom::kCurrent))
        throw std::length_error("Unable to read PE file");
      pos = static_cast<int64_t>(range.offset) + range.length;
    }
  }
  int64_t remaining = signedLength - pos;
  while (remaining > 0) {
    uint32_t want = static_cast<uint32_t>(std::min<int64_t>(remaining, kSignedMessageBlock));
    uint32_t got = 0;
    if (!platform::ReadFromFile(file, buffer.data(), want, &got) || got == 0) return false;
    sink.Put(buffer.data(), got);
    remaining -= got;
  }
  return true;
}

#include "attachments/trailer.h"

#include <cstring>

#include "support/byte_order.h"

AttachmentTrailer ParseTrailer(const uint8_t* bytes) {
  AttachmentTrailer trailer;
  memcpy(trailer.digest, bytes, kDigestSize);
  trailer.payloadSize = LoadLe32(bytes + 16);
  trailer.typeCode = LoadLe32(bytes + 20);
  trailer.magic = LoadLe32(bytes + 24);
  return trailer;
}

void SerializeTrailer(const AttachmentTrailer& trailer, uint8_t* bytes) {
  memcpy(bytes, trailer.digest, kDigestSize);
  StoreLe32(bytes + 16, trailer.payloadSize);
  StoreLe32(bytes + 20, trailer.typeCode);
  StoreLe32(bytes + 24, trailer.magic);
}

uint32_t TypeCodeOf(const std::string& typeName) {
  uint8_t bytes[4] = {0, 0, 0, 0};
  memcpy(bytes, typeName.data(), typeName.size() < 4 ? typeName.size() : 4);
  return LoadLe32(bytes);
}

std::string TypeCodeText(uint32_t typeCode) {
  std::string text(4, '\0');
  for (int i = 0; i < 4; ++i) text[i] = static_cast<char>(typeCode >> (8 * i));
  return text;
}

void ScrambleBytes(uint8_t* data, size_t size) {
  // Eight bytes per step (memcpy keeps the loads legal at any alignment),
  // then the tail byte by byte.
  constexpr uint64_t kWideKey = 0x0101010101010101ull * kScrambleKey;
  size_t i = 0;
  for (; i + 32 <= size; i += 32) {
    uint64_t w[4];
    memcpy(w, data + i, sizeof w);
    w[0] ^= kWideKey;
    w[1] ^= kWideKey;
    w[2] ^= kWideKey;
    w[3] ^= kWideKey;
    memcpy(data + i, w, sizeof w);
  }
  for (; i < size; ++i) data[i] ^= kScrambleKey;
}

WalkResult WalkChain(int64_t chainEnd, uint32_t typeCode, const TrailerReader& read, const TrailerSeen& seen) {
  WalkResult result;
  int64_t pos = chainEnd - static_cast<int64_t>(kTrailerSize);
  uint8_t bytes[kTrailerSize];
  while (pos >= 0) {
    if (!read(pos, bytes)) {
      result.outcome = WalkOutcome::kHeaderReadFailure;
      return result;
    }
    const AttachmentTrailer trailer = ParseTrailer(bytes);
    if (trailer.magic != kAttachmentMagic) break;  // passed the front of the chain
    if (seen) seen(trailer);
    const int64_t start = pos - static_cast<int64_t>(trailer.payloadSize);
    if (trailer.typeCode == typeCode) {
      if (start < 0) {
        result.outcome = WalkOutcome::kInvalidPosition;
        return result;
      }
      result.outcome = WalkOutcome::kFound;
      result.payloadStart = start;
      result.trailer = trailer;
      return result;
    }
    pos = start - static_cast<int64_t>(kTrailerSize);
  }
  result.outcome = WalkOutcome::kNotFound;
  return result;
}

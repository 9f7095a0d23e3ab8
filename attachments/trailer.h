// The attachment chain: typed payloads laid end to end, each stored XOR
// scrambled and followed by a plain 28-byte trailer. A chain has no header;
// it is found from its end and walked backwards trailer by trailer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "attachments/payload_md5.h"

constexpr size_t kTrailerSize = 28;
constexpr size_t kDigestSize = 16;
// "ABD2" read as a little-endian word.
constexpr uint32_t kAttachmentMagic = 0x32444241;
constexpr uint8_t kScrambleKey = 0xC6;
// Positions in a chain are signed 32-bit.
constexpr int64_t kMaxChainPosition = 0x7FFFFFFF;

struct AttachmentTrailer {
  uint8_t digest[kDigestSize];  // MD5 of the plain payload
  uint32_t payloadSize;         // payload bytes directly in front of the trailer
  uint32_t typeCode;            // four characters, first one in the low byte
  uint32_t magic;               // kAttachmentMagic when valid
};

// Little-endian (de)serialisation of the 28 bytes.
AttachmentTrailer ParseTrailer(const uint8_t* bytes);
void SerializeTrailer(const AttachmentTrailer& trailer, uint8_t* bytes);

// The first four bytes of a type name as one word ("LOAD" -> 'L' | 'O'<<8 ...).
// Callers check the length; shorter names are padded with zeros.
uint32_t TypeCodeOf(const std::string& typeName);
// The four bytes of a type code followed by a terminating zero.
std::string TypeCodeText(uint32_t typeCode);

// XOR with the one-byte key; scrambling and descrambling are the same.
void ScrambleBytes(uint8_t* data, size_t size);

// MD5 over plain payload bytes.
class PayloadDigest {
 public:
  void Restart() { md5_.Restart(); }
  void Update(const uint8_t* data, size_t size) { md5_.Update(data, size); }
  void Final(uint8_t* digest) { md5_.Final(digest); }

 private:
  PayloadMd5 md5_;
};

enum class WalkOutcome { kFound, kNotFound, kHeaderReadFailure, kInvalidPosition };

struct WalkResult {
  WalkOutcome outcome = WalkOutcome::kNotFound;
  int64_t payloadStart = 0;      // when found
  AttachmentTrailer trailer{};   // when found
};

// Reads the 28 trailer bytes at a file position; false when they cannot be read.
using TrailerReader = std::function<bool(int64_t position, uint8_t* bytes)>;
// Called for every trailer with a valid magic, matching or not.
using TrailerSeen = std::function<void(const AttachmentTrailer& trailer)>;

// Walks backwards from the chain's end `chainEnd` (negative: no chain) to the
// attachment of `typeCode` nearest the end. All arithmetic is exact 64-bit.
WalkResult WalkChain(int64_t chainEnd, uint32_t typeCode, const TrailerReader& read,
                     const TrailerSeen& seen = nullptr);

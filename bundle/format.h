// Byte layout of an install bundle: a plain 25-byte header, the scrambled
// entry stream ending in a zero name length, optional junk, the optional
// signature trailer ("KZSG") and the SHA-1 of the plain entry stream.
#pragma once

#include <cstdint>

#include "support/byte_order.h"

namespace bundle_format {

// "KZBUNDLE!" followed by CR, LF and a zero byte.
constexpr unsigned char kMagic[12] = {'K', 'Z', 'B', 'U', 'N', 'D', 'L', 'E', '!', 0x0D, 0x0A, 0x00};
constexpr uint8_t kVersion = 1;
// magic, version, three 32-bit header values
constexpr uint32_t kHeaderSize = 25;
constexpr uint32_t kDigestSize = 20;
constexpr uint32_t kMaxNameLength = 255;
constexpr uint32_t kMaxEntries = 256;
constexpr uint32_t kMaxOpenStreams = 32;
constexpr uint32_t kMaxSignatureBlockLength = 8192;
constexpr unsigned char kSignatureMagic[4] = {'K', 'Z', 'S', 'G'};
// Largest chunk a reader accepts by default, and the installer's own limit.
constexpr int32_t kDefaultSizeLimit = 0x200000;
constexpr int32_t kInstallerSizeLimit = 0x1900000;

// zlib's compressBound, computed here so the limit does not depend on the
// linked zlib version.
constexpr uint32_t CompressBoundOf(uint32_t n) { return n + (n >> 12) + (n >> 14) + (n >> 25) + 13; }

}  // namespace bundle_format

// The stub's two root public keys, held in one block of its image so that a
// copy of a built stub can be given other roots (`kzpack stub`, `kzpack
// build`) without compiling it again. The block lies in the image's data, in
// front of the installer's "_SG2" record, so the installer's own signature
// covers it. Layout (no padding: byte arrays only):
//   marker       16 bytes, found exactly once in a stub file
//   bundleRoot  294 bytes, DER SubjectPublicKeyInfo, RSA-2048, exponent
//                          65537, NULL parameters
//   imageRootLength 4 bytes, little-endian
//   imageRoot  1062 bytes, DER SubjectPublicKeyInfo, RSA-4096, zero-padded;
//                          1062 is the longest DER form of such a key (an
//                          exponent as long as the modulus); 550 for 65537.
// The keys are read from the block at every check: the block is defined in a
// translation unit of its own (generated at build time, default the
// development keys), so no code can fold a key's bytes into itself.
#pragma once

#include <cstddef>

#define KZ_ROOT_KEY_MARKER_BYTES 'K', 'Z', '-', 'R', 'O', 'O', 'T', 'S', 0x9d, 0x3b, 0xe1, 0x47, 0x06, 0xc2, 0x58, 0x01

constexpr size_t kRootKeyMarkerSize = 16;
constexpr size_t kBundleRootKeySize = 294;
constexpr size_t kImageRootKeyRoom = 1062;

struct RootKeyBlock {
  unsigned char marker[kRootKeyMarkerSize];
  unsigned char bundleRoot[kBundleRootKeySize];
  unsigned char imageRootLength[4];
  unsigned char imageRoot[kImageRootKeyRoom];
};

constexpr size_t kRootKeyBlockSize = kRootKeyMarkerSize + kBundleRootKeySize + 4 + kImageRootKeyRoom;
static_assert(sizeof(RootKeyBlock) == kRootKeyBlockSize, "the block is packed bytes");

// Offsets inside the block, for readers and writers of stub files.
constexpr size_t kBundleRootKeyOffset = kRootKeyMarkerSize;
constexpr size_t kImageRootLengthOffset = kBundleRootKeyOffset + kBundleRootKeySize;
constexpr size_t kImageRootKeyOffset = kImageRootLengthOffset + 4;

extern const RootKeyBlock kRootKeyBlock;

struct RootKeyView {
  const unsigned char* der;
  size_t size;  // 0 when the block's length does not fit its room
};

// This program's roots, read from its block.
RootKeyView BundleRootKey();
RootKeyView ImageRootKey();

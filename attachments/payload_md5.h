// MD5 for the attachment digests, which the installer computes over every
// payload byte twice (the setup program and the bundle inside it): Crypto++
// keeps the buffering and the padding, and only the block function is this
// project's, arranged for a shorter dependency chain per step.
#pragma once

#include <cryptopp/iterhash.h>

class PayloadMd5
    : public CryptoPP::IteratedHashWithStaticTransform<CryptoPP::word32, CryptoPP::LittleEndian, 64, 16, PayloadMd5> {
 public:
  static void InitState(HashWordType* state);
  static void Transform(CryptoPP::word32* digest, const CryptoPP::word32* data);
  static const char* StaticAlgorithmName() { return "MD5"; }

 protected:
  // Whole blocks in one loop, without a call per block.
  size_t HashMultipleBlocks(const CryptoPP::word32* input, size_t length) override;
};

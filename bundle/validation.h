// The signature block in a bundle's trailer: four length-prefixed fields.
// Only the RSA-PSS pair takes part in the validation; the PKCS #1 v1.5 pair
// is carried along.
#pragma once

#include <cstdint>
#include <vector>

struct SignatureBlock {
  std::vector<unsigned char> pkcsSignature;
  std::vector<unsigned char> pkcsCertificate;
  std::vector<unsigned char> pssSignature;
  std::vector<unsigned char> pssCertificate;
};

// False unless the four fields, each with a non-negative signed 32-bit
// length, fill exactly `length` bytes.
bool ParseSignatureBlock(const unsigned char* block, uint32_t length, SignatureBlock* out);

// Public-key certificates: an RSA key bound to a four-character goal and an
// expiry time, signed by the bundle root key with RSA-PSS/SHA-256.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace CryptoPP {
class RSAFunction;
}

struct PublicKeyCertificate {
  char goal[4] = {0, 0, 0, 0};
  int32_t expiry = 0;  // seconds since 1970, never enforced
  std::vector<unsigned char> keyDer;     // X.509 SubjectPublicKeyInfo
  std::vector<unsigned char> signature;  // over goal, expiry and keyDer
};

// Splits a record without checking its signature; false when the fields do
// not fit in `length` bytes. Bytes after the signature are ignored.
bool ParsePublicKeyCertificate(const unsigned char* bytes, size_t length, PublicKeyCertificate* out);

// Decodes an RSA public key from DER SubjectPublicKeyInfo, with or without
// the NULL algorithm parameters. Null when it does not decode or is not a
// usable RSA key.
std::unique_ptr<CryptoPP::RSAFunction> DecodeRsaPublicKeyDer(const unsigned char* der, size_t length);

// The key a certificate vouches for, when the record carries the required
// goal (four characters; a shorter text is padded with zeros) and a valid
// signature by the built-in bundle root key; null otherwise (logged).
std::unique_ptr<CryptoPP::RSAFunction> CheckPublicKeyCertificate(const unsigned char* bytes, size_t length,
                                                                 const std::string& goal);
// The same against any root key given as DER SubjectPublicKeyInfo.
std::unique_ptr<CryptoPP::RSAFunction> CheckPublicKeyCertificateWithRoot(const unsigned char* bytes, size_t length,
                                                                         const std::string& goal,
                                                                         const unsigned char* rootKeyDer,
                                                                         size_t rootKeyLength);

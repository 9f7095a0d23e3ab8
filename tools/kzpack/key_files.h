// Key files: private keys as PKCS#8 DER (bare PKCS#1 accepted), public keys as DER
// SubjectPublicKeyInfo. PEM files ("-----BEGIN ...") are accepted too.
#pragma once

#include <cryptopp/rsa.h>

#include <cstdint>
#include <string>
#include <vector>

namespace kzpack {

// ToolError naming the file when it is missing or not an RSA key of the kind.
std::vector<uint8_t> LoadPrivateKey(const std::string& path);
std::vector<uint8_t> LoadPublicKey(const std::string& path);

// PKCS#8 PrivateKeyInfo or a bare PKCS#1 RSAPrivateKey.
bool DecodeRsaPrivateKey(const std::vector<uint8_t>& der, CryptoPP::RSA::PrivateKey* key);

// Modulus length in bits; 0 when the bytes are not an RSA key of that kind.
unsigned int PrivateKeyBits(const std::vector<uint8_t>& pkcs8);
unsigned int PublicKeyBits(const std::vector<uint8_t>& spki);

// The DER SubjectPublicKeyInfo of an RSA public key in its one canonical form
// (NULL parameters, minimal integers), as kzpack keygen writes it; empty when
// the bytes are no RSA public key.
std::vector<uint8_t> CanonicalPublicKey(const std::vector<uint8_t>& spki);

// The public half of a private key as SubjectPublicKeyInfo (ToolError on failure).
std::vector<uint8_t> PublicHalf(const std::vector<uint8_t>& pkcs8, const std::string& nameForErrors);

// The text between PEM armour lines, decoded; the input unchanged when it is
// not PEM.
std::vector<uint8_t> PemToDer(const std::vector<uint8_t>& bytes);

}  // namespace kzpack

// Making the "_SG2" record of an executable: {"sign": "<hex>"} with an
// RSASSA-PKCS1-v1_5 / SHA-1 signature by the image root private key over
// every byte in front of the record's payload, either as they stand or with
// the PE exclusion ranges left out (the form that survives Authenticode
// signing of the finished file).
#pragma once

#include <cryptopp/rsa.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

class ChainWriter;

struct ImageSigningKey {
  CryptoPP::RSA::PrivateKey key;
};

// Loads an RSA private key from a DER file: PKCS#8, or a bare PKCS#1
// RSAPrivateKey.
bool LoadImageSigningKey(const std::wstring& pkcs8DerPath, ImageSigningKey* key, std::string* error);

// Length of the record payload the key makes: it depends on the modulus
// size only, so chain and section lengths can be fixed before signing.
size_t SignatureRecordSize(const ImageSigningKey& key);

// The record text for a signature, and its length for a signature of
// `signatureBytes` (the modulus length).
std::string SignatureRecordText(const std::string& signature);
size_t SignatureRecordSizeFor(size_t signatureBytes);

// The SHA-1 digest of the message SignImagePrefix would sign, for a signer
// outside this process; the same checks.
bool DigestImagePrefix(const std::wstring& file, int64_t signedLength, bool excludeHeaderFields,
                       std::vector<unsigned char>* sha1, std::string* error);

// Signs bytes [0, signedLength) of `file` (ranges left out when
// `excludeHeaderFields`; the file must then be a PE image the check handles
// and signedLength at least 512) and gives the record text.
bool SignImagePrefix(const std::wstring& file, int64_t signedLength, bool excludeHeaderFields,
                     const ImageSigningKey& key, std::string* recordJson, std::string* error);

// Flushes `writer` (writing the file at `outputPath` from its start), signs
// everything written so far and appends the "_SG2" attachment.
bool AppendSignatureRecord(ChainWriter* writer, const std::wstring& outputPath, bool excludeHeaderFields,
                           const ImageSigningKey& key, std::string* error);

// Appends the "_SG2" attachment to a file whose chain ends at its end,
// signing the whole file as it stands.
bool AppendSignatureRecordToFile(const std::wstring& path, bool excludeHeaderFields, const ImageSigningKey& key,
                                 std::string* error);

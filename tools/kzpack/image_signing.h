// The embedded image signature, "_SG2": a JSON record {"sign":"<hex>"} whose
// hex text is an RSA PKCS #1 v1.5 / SHA-1 signature by the image root key
// over every byte in front of the record, either as they stand ("plain") or
// with the PE header fields left out that Authenticode signing and section
// appending change ("header-excluded").
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tools/kzpack/signing_keys.h"

namespace kzpack {

// Size of the record a key makes; known before signing, so a section can be
// sized for it.
size_t SignatureRecordSize(const KeySource& imageRoot);

// Signs bytes [0, signedLength) of the file at `path` and returns the record.
// ToolError on failure (a header-excluded signature needs a PE image whose
// headers the installer's check accepts). With an external signer kzpack
// hashes the message and the signer signs the digest.
std::string MakeSignatureRecord(const std::string& path, int64_t signedLength, bool excludeHeaderFields,
                                const KeySource& imageRoot);

// What checking a file's "_SG2" record found, with the same rules as the
// installer: the record is looked for at the chain end of the last section
// (mode 0) and then below the certificate table (mode 1); the plain attempt
// comes first, the header-excluded one second.
struct EmbeddedSignatureReport {
  bool recordFound = false;
  int mode = -1;               // 0 or 1 when found
  int64_t signedLength = -1;
  size_t signatureBytes = 0;
  bool plainPasses = false;
  bool excludedPasses = false;
  std::string problem;         // when neither passes
  bool valid() const { return plainPasses || excludedPasses; }
};

EmbeddedSignatureReport CheckEmbeddedSignature(const std::string& path, const std::vector<uint8_t>& imageRootDer);

}  // namespace kzpack

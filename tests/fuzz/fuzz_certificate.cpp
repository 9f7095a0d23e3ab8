// The public-key certificate check and the DER key decoder.
//
// Selector bit 0 clear: the input is a certificate record as it would sit in
// a bundle's signature block. Set: the input is goal (4), expiry (4) and a
// key (the rest), and the record is signed with the development root key, so
// that key decoding behind a valid signature is reached; the check must then
// pass exactly when the goal is "IBND" and the key decodes.
#include <cryptopp/rsa.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bundle/certificate.h"
#include "packing/certificate_writer.h"
#include "tests/fuzz/fuzz_support.h"

namespace {
const std::vector<unsigned char>& RootKey() {
  static const std::vector<unsigned char> key = kzfuzz::DevKey("dev_bundle_root.key.der");
  return key;
}
}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  kzfuzz::QuietInit();
  RootKey();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const kzfuzz::Input input = kzfuzz::Split(data, size);
  if (input.data == nullptr) return 0;

  if (!(input.selector & 1)) {
    PublicKeyCertificate parsed;
    const bool parses = ParsePublicKeyCertificate(input.data, input.size, &parsed);
    auto key = CheckPublicKeyCertificate(input.data, input.size, "IBND");
    // A record that does not even parse cannot pass.
    if (key && !parses) abort();
    DecodeRsaPublicKeyDer(input.data, input.size);
    return 0;
  }

  if (input.size < 8) return 0;
  PublicKeyCertificate record;
  memcpy(record.goal, input.data, 4);
  memcpy(&record.expiry, input.data + 4, 4);
  record.keyDer.assign(input.data + 8, input.data + input.size);
  const std::vector<unsigned char> message = CertificateSignedMessage(record);
  std::string error;
  if (!SignPss(RootKey(), message.data(), message.size(), &record.signature, &error)) abort();
  std::vector<unsigned char> bytes = SerializePublicKeyCertificate(record);
  if (input.selector & 2) bytes.insert(bytes.end(), input.data, input.data + (input.size < 16 ? input.size : 16));

  const bool goalMatches = memcmp(record.goal, "IBND", 4) == 0;
  const bool decodes = DecodeRsaPublicKeyDer(record.keyDer.data(), record.keyDer.size()) != nullptr;
  auto key = CheckPublicKeyCertificate(bytes.data(), bytes.size(), "IBND");
  if ((key != nullptr) != (goalMatches && decodes)) abort();
  return 0;
}

// The embedded-signature check on any file: the "_SG2" record found by both
// chain ends, its JSON, the hex signature and the header-excluding retry.
//
// Selector bit 0 set: the input is first signed with the development image
// root key (a record appended at its end; bit 1 picks the header-excluded
// form), so the verifying path runs to success. A file that is not a PE
// image and was signed plainly must then verify.
#include <cstdlib>
#include <string>

#include "integrity/embedded_signature.h"
#include "packing/embedded_signer.h"
#include "platform/platform.h"
#include "tests/fuzz/fuzz_support.h"

namespace {
const ImageSigningKey& Key() {
  static const ImageSigningKey* key = [] {
    auto* k = new ImageSigningKey;
    std::string error;
    if (!LoadImageSigningKey(kzfuzz::Wide(std::string(KZ_SOURCE_DIR) + "/keys/dev_image_root.key.der"), k, &error))
      abort();
    return k;
  }();
  return *key;
}
}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  kzfuzz::QuietInit();
  Key();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const kzfuzz::Input input = kzfuzz::Split(data, size);
  if (input.data == nullptr) return 0;
  const std::wstring path = kzfuzz::ScratchPath("signed.exe");
  if (!kzfuzz::WriteBytes(path, input.data, input.size)) return 0;
  const bool isImage = input.size >= 2 && input.data[0] == 'M' && input.data[1] == 'Z';
  bool signedPlainly = false;
  if (input.selector & 1) {
    std::string error;
    const bool exclude = input.selector & 2;
    const bool made = AppendSignatureRecordToFile(path, exclude, Key(), &error);
    signedPlainly = made && !exclude;
  }
  int64_t signedLength = -1;
  ReadSignatureRecord(path, &signedLength);
  const bool valid = VerifyEmbeddedSignature(path, false);
  if (signedPlainly && !isImage && !valid) abort();
  return 0;
}

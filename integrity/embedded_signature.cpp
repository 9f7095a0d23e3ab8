// Checks an embedded image signature, first over the plain prefix of the
// file and then, if that raises, over the prefix without the PE header fields
// that later signing and section appending change.
#include "integrity/embedded_signature.h"

#include <cryptopp/filters.h>
#include <cryptopp/rsa.h>
#include <cryptopp/sha.h>

#include <exception>
#include <vector>

#include "attachments/extract.h"
#include "integrity/embedded_message.h"
#include "integrity/pe_ranges.h"
#include "support/root_key_block.h"
#include "platform/platform.h"
#include "support/diag_log.h"
#include "support/strings.h"

namespace {
// Below this no PE image with its headers fits in front of the record.
constexpr int64_t kMinExcludedSignedLength = 512;
}  // namespace

std::map<std::string, JsonValue> ReadSignatureRecord(const std::wstring& path, int64_t* signedLength) {
  int32_t payloadOffset = 0;
  std::string payload = ReadAttachmentByHandle(path, "_SG2", &payloadOffset, 0);
  if (payload.empty()) payload = ReadAttachmentByHandle(path, "_SG2", &payloadOffset, 1);
  if (payload.empty()) return {};
  if (signedLength) *signedLength = payloadOffset;
  JsonValue record;
  ParseJsonText(payload, &record);
  return record.AsObject();
}

bool VerifyEmbeddedSignature(const std::wstring& path, bool excludeHeaderFields) {
  int64_t signedLength = 0;
  const std::map<std::string, JsonValue> record = ReadSignatureRecord(path, &signedLength);
  auto sign = record.find("sign");
  const std::string hex = sign == record.end() ? std::string() : sign->second.AsString();
  if (hex.empty()) return false;

  platform::ScopedFile file(platform::OpenFileForRead(path, platform::ShareMode::kReadWriteDelete));
  if (!file.valid()) return false;
  std::vector<unsigned char> signature(hex.size() / 2);
  HexToBytes(signature.data(), hex.c_str(), signature.size());

  bool valid = false;
  bool retry = false;
  try {
    CryptoPP::RSASS<CryptoPP::PKCS1v15, CryptoPP::SHA1>::Verifier verifier;
    const RootKeyView root = ImageRootKey();
    CryptoPP::ArraySource key(root.der, root.size, true);
    verifier.AccessKey().BERDecode(key);
    // Signature after the message; ending the message verifies and throws on a mismatch.
    CryptoPP::SignatureVerificationFilter filter(verifier, nullptr,
                                                 CryptoPP::SignatureVerificationFilter::THROW_EXCEPTION);
    std::vector<PeExclusionRange> ranges;
    if (excludeHeaderFields) {
      if (signedLength < kMinExcludedSignedLength) return false;
      if (!ComputePeExclusionRanges(file.get(), &ranges) || ranges.size() < 2) return false;
    }
    // A short read ends the message early; the shortened message then fails.
    PutSignedMessage(file.get(), signedLength, excludeHeaderFields ? &ranges : nullptr, filter);
    filter.Put(signature.data(), signature.size());
    filter.MessageEnd();
    valid = true;
  } catch (const std::exception& e) {
    if (excludeHeaderFields)
      DiagLog("Signature not valid: %s\n", e.what());
    else
      retry = true;
  }
  // The second attempt runs while this attempt's handle is still open.
  if (retry) valid = VerifyEmbeddedSignature(path, true);
  return valid;
}

#include "tools/kzpack/image_signing.h"

#include <cryptopp/filters.h>
#include <cryptopp/queue.h>
#include <cryptopp/rsa.h>
#include <cryptopp/sha.h>

#include <memory>

#include "attachments/extract.h"
#include "bundle/certificate.h"
#include "integrity/embedded_message.h"
#include "integrity/json.h"
#include "integrity/pe_ranges.h"
#include "packing/embedded_signer.h"
#include "platform/platform.h"
#include "support/strings.h"
#include "tools/kzpack/cli_support.h"
#include "tools/kzpack/key_files.h"

namespace kzpack {
namespace {

// Puts the signed message of one attempt into `sink`, as the installer's
// check reads it; false with a reason when the attempt cannot be made.
bool FeedAttempt(const std::string& path, int64_t signedLength, bool excludeHeaderFields,
                 CryptoPP::BufferedTransformation& sink, std::string* reason) {
  platform::ScopedFile file(platform::OpenFileForRead(WidePath(path), platform::ShareMode::kReadWriteDelete));
  if (!file.valid()) {
    *reason = "cannot open " + path;
    return false;
  }
  std::vector<PeExclusionRange> ranges;
  if (excludeHeaderFields) {
    if (signedLength < 512) {
      *reason = "fewer than 512 bytes in front of the record";
      return false;
    }
    if (!ComputePeExclusionRanges(file.get(), &ranges) || ranges.size() < 2) {
      *reason = "not a PE32/PE32+ image with 1 to 15 sections";
      return false;
    }
  }
  PutSignedMessage(file.get(), signedLength, excludeHeaderFields ? &ranges : nullptr, sink);
  return true;
}

ImageSigningKey DecodeSigningKey(const std::vector<uint8_t>& pkcs8) {
  ImageSigningKey key;
  if (!DecodeRsaPrivateKey(pkcs8, &key.key)) throw ToolError("the image root key is not an RSA private key");
  return key;
}

}  // namespace

size_t SignatureRecordSize(const KeySource& imageRoot) { return SignatureRecordSizeFor(SignatureBytes(imageRoot)); }

std::string MakeSignatureRecord(const std::string& path, int64_t signedLength, bool excludeHeaderFields,
                                const KeySource& imageRoot) {
  std::string record, error;
  if (imageRoot.external()) {
    std::vector<unsigned char> digest;
    if (!DigestImagePrefix(WidePath(path), signedLength, excludeHeaderFields, &digest, &error))
      throw ToolError(path + ": cannot sign the image: " + error);
    const std::vector<uint8_t> signature =
        SignDigestExternally(imageRoot.signer, "image", SignScheme::kPkcs1Sha1, digest, imageRoot.publicKey);
    return SignatureRecordText(std::string(signature.begin(), signature.end()));
  }
  const ImageSigningKey key = DecodeSigningKey(imageRoot.privateKey);
  if (!SignImagePrefix(WidePath(path), signedLength, excludeHeaderFields, key, &record, &error))
    throw ToolError(path + ": cannot sign the image: " + error);
  return record;
}

EmbeddedSignatureReport CheckEmbeddedSignature(const std::string& path, const std::vector<uint8_t>& imageRootDer) {
  EmbeddedSignatureReport report;
  std::string record;
  for (uint16_t mode = 0; mode < 2 && record.empty(); ++mode) {
    int32_t offset = -1;
    record = ReadAttachmentByHandle(WidePath(path), "_SG2", &offset, mode);
    if (!record.empty()) {
      report.recordFound = true;
      report.mode = mode;
      report.signedLength = offset;
    }
  }
  if (!report.recordFound) {
    report.problem = "no \"_SG2\" record (or its digest does not match)";
    return report;
  }
  JsonValue value;
  ParseJsonText(record, &value);
  const std::string sign = value.AsObject().count("sign") ? value.AsObject().at("sign").AsString() : std::string();
  if (sign.empty()) {
    report.problem = "the \"_SG2\" record has no \"sign\" text";
    return report;
  }
  std::vector<uint8_t> signature(sign.size() / 2);
  HexToBytes(signature.data(), sign.c_str(), signature.size());
  report.signatureBytes = signature.size();

  std::unique_ptr<CryptoPP::RSAFunction> rootKey = DecodeRsaPublicKeyDer(imageRootDer.data(), imageRootDer.size());
  if (!rootKey) {
    report.problem = "the image root key does not decode";
    return report;
  }
  std::string reasons[2];
  for (int attempt = 0; attempt < 2; ++attempt) {
    bool passes = false;
    try {
      CryptoPP::RSASS<CryptoPP::PKCS1v15, CryptoPP::SHA1>::Verifier verifier(*rootKey);
      CryptoPP::SignatureVerificationFilter filter(verifier, nullptr,
                                                   CryptoPP::SignatureVerificationFilter::THROW_EXCEPTION);
      if (FeedAttempt(path, report.signedLength, attempt == 1, filter, &reasons[attempt])) {
        filter.Put(signature.data(), signature.size());
        filter.MessageEnd();
        passes = true;
      }
    } catch (const std::exception& e) {
      reasons[attempt] = e.what();
    }
    (attempt == 0 ? report.plainPasses : report.excludedPasses) = passes;
    if (passes) break;  // the installer stops at the first attempt that passes
  }
  if (!report.valid())
    report.problem = "signature not valid (plain: " + reasons[0] + "; header-excluded: " + reasons[1] + ")";
  return report;
}

}  // namespace kzpack

#include "bundle/certificate.h"

#include <cryptopp/asn.h>
#include <cryptopp/filters.h>
#include <cryptopp/oids.h>
#include <cryptopp/pssr.h>
#include <cryptopp/queue.h>
#include <cryptopp/rsa.h>
#include <cryptopp/sha.h>

#include <cstring>

#include "support/byte_order.h"
#include "support/diag_log.h"
#include "support/root_key_block.h"


namespace {

enum class CertificateFit { kFits, kKeyTruncated, kSignatureTruncated };

// The two signed 32-bit length fields of a record of at least 16 bytes:
// goal (4), expiry (4), key length (4), key, signature length (4), signature.
CertificateFit MeasureCertificate(const unsigned char* bytes, size_t length, int64_t* keyLength,
                                  int64_t* signatureLength) {
  *keyLength = static_cast<int32_t>(LoadLe32(bytes + 8));
  if (*keyLength < 0 || *keyLength + 12 > static_cast<int64_t>(length)) return CertificateFit::kKeyTruncated;
  // The signature length itself must lie inside the record too.
  if (*keyLength + 16 > static_cast<int64_t>(length)) return CertificateFit::kSignatureTruncated;
  *signatureLength = static_cast<int32_t>(LoadLe32(bytes + 12 + *keyLength));
  if (*signatureLength < 0 || *signatureLength + 16 + *keyLength > static_cast<int64_t>(length))
    return CertificateFit::kSignatureTruncated;
  return CertificateFit::kFits;
}

}  // namespace

bool ParsePublicKeyCertificate(const unsigned char* bytes, size_t length, PublicKeyCertificate* out) {
  if (bytes == nullptr || length < 16) return false;
  int64_t keyLength = 0, signatureLength = 0;
  if (MeasureCertificate(bytes, length, &keyLength, &signatureLength) != CertificateFit::kFits) return false;
  memcpy(out->goal, bytes, 4);
  out->expiry = static_cast<int32_t>(LoadLe32(bytes + 4));
  out->keyDer.assign(bytes + 12, bytes + 12 + keyLength);
  out->signature.assign(bytes + 16 + keyLength, bytes + 16 + keyLength + signatureLength);
  return true;
}

// SubjectPublicKeyInfo ::= SEQUENCE { SEQUENCE { rsaEncryption, NULL? },
// BIT STRING { RSAPublicKey } }. Decoded by hand so that both encodings of
// the absent parameters are taken, then checked for a usable key.
std::unique_ptr<CryptoPP::RSAFunction> DecodeRsaPublicKeyDer(const unsigned char* der, size_t length) {
  if (der == nullptr || length == 0) return nullptr;
  try {
    std::unique_ptr<CryptoPP::RSAFunction> key(new CryptoPP::RSAFunction);
    CryptoPP::ArraySource source(der, length, true);
    CryptoPP::BERSequenceDecoder spki(source);
    {
      CryptoPP::BERSequenceDecoder algorithm(spki);
      CryptoPP::OID oid;
      oid.BERDecode(algorithm);
      if (oid != CryptoPP::ASN1::rsaEncryption()) return nullptr;
      if (!algorithm.EndReached()) CryptoPP::BERDecodeNull(algorithm);
      algorithm.MessageEnd();
    }
    {
      CryptoPP::BERGeneralDecoder bits(spki, CryptoPP::BIT_STRING);
      if (!bits.IsDefiniteLength() || bits.RemainingLength() < 1) return nullptr;
      CryptoPP::byte unused = 0;
      if (!bits.Get(unused) || unused != 0) return nullptr;
      key->BERDecodePublicKey(bits, false, static_cast<size_t>(bits.RemainingLength()));
      bits.MessageEnd();
    }
    spki.MessageEnd();
    if (source.AnyRetrievable()) return nullptr;
    if (!key->Validate(CryptoPP::NullRNG(), 0)) return nullptr;
    return key;
  } catch (const CryptoPP::Exception&) {
    return nullptr;
  }
}

std::unique_ptr<CryptoPP::RSAFunction> CheckPublicKeyCertificate(const unsigned char* bytes, size_t length,
                                                                 const std::string& goal) {
  const RootKeyView root = BundleRootKey();
  return CheckPublicKeyCertificateWithRoot(bytes, length, goal, root.der, root.size);
}

std::unique_ptr<CryptoPP::RSAFunction> CheckPublicKeyCertificateWithRoot(const unsigned char* bytes, size_t length,
                                                                         const std::string& goal,
                                                                         const unsigned char* rootKeyDer,
                                                                         size_t rootKeyLength) {
  if (bytes == nullptr || length < 16) return nullptr;
  char required[4] = {0, 0, 0, 0};
  memcpy(required, goal.data(), goal.size() < 4 ? goal.size() : 4);
  if (memcmp(bytes, required, 4) != 0) {
    DiagLog("Public key goal is %c%c%c%c, should be %c%c%c%c\n", bytes[0], bytes[1], bytes[2], bytes[3], required[0],
            required[1], required[2], required[3]);
    return nullptr;
  }
  // The expiry is part of the signed message only; it is not enforced.
  int64_t keyLength = 0, signatureLength = 0;
  const CertificateFit fit = MeasureCertificate(bytes, length, &keyLength, &signatureLength);
  if (fit == CertificateFit::kKeyTruncated) {
    DiagLog("%s", "Public key is truncated\n");
    return nullptr;
  }
  if (fit == CertificateFit::kSignatureTruncated) {
    DiagLog("%s", "Public key sign is truncated\n");
    return nullptr;
  }
  try {
    std::unique_ptr<CryptoPP::RSAFunction> root = DecodeRsaPublicKeyDer(rootKeyDer, rootKeyLength);
    if (!root) throw CryptoPP::Exception(CryptoPP::Exception::INVALID_DATA_FORMAT, "bad root key");
    CryptoPP::RSASS<CryptoPP::PSSR, CryptoPP::SHA256>::Verifier verifier(*root);
    CryptoPP::SignatureVerificationFilter filter(verifier, nullptr,
                                                 CryptoPP::SignatureVerificationFilter::THROW_EXCEPTION);
    filter.Put(bytes, 8);
    filter.Put(bytes + 12, static_cast<size_t>(keyLength));
    filter.Put(bytes + 16 + keyLength, static_cast<size_t>(signatureLength));
    filter.MessageEnd();
  } catch (...) {
    DiagLog("%s", "Public key sign is not valid");
    return nullptr;
  }
  // A key that verifies but does not decode is refused like any other
  // rejected certificate instead of escaping as an exception.
  return DecodeRsaPublicKeyDer(bytes + 12, static_cast<size_t>(keyLength));
}

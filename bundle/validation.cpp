// Validation of a bundle being opened: the trailer, the certificate of the
// signing key, then one walk over the entry stream that both indexes every
// entry and feeds the stored bytes to a streaming RSA-PSS verifier.
#include "bundle/validation.h"

#include <cryptopp/filters.h>
#include <cryptopp/pssr.h>
#include <cryptopp/rsa.h>
#include <cryptopp/sha.h>

#include <cstring>
#include <exception>

#include "bundle/bundle.h"
#include "bundle/certificate.h"
#include "bundle/verifier_feed.h"
#include "support/diag_log.h"

using namespace bundle_format;

bool ParseSignatureBlock(const unsigned char* block, uint32_t length, SignatureBlock* out) {
  std::vector<unsigned char>* fields[4] = {&out->pkcsSignature, &out->pkcsCertificate, &out->pssSignature,
                                           &out->pssCertificate};
  int64_t position = 0;
  for (std::vector<unsigned char>* field : fields) {
    if (position + 4 > length) return false;
    const int64_t fieldLength = static_cast<int32_t>(LoadLe32(block + position));
    if (fieldLength < 0 || position + 4 + fieldLength > length) return false;
    field->assign(block + position + 4, block + position + 4 + fieldLength);
    position += 4 + fieldLength;
  }
  return position == length;
}

namespace {
using PssVerifier = CryptoPP::RSASS<CryptoPP::PSSR, CryptoPP::SHA256>::Verifier;

// Holds the verifier objects of one validation and clears the bundle's
// pointer to the feed on every way out; the feed goes first, so the lane has
// stopped using the filter before the filter goes.
struct ActiveVerifier {
  explicit ActiveVerifier(VerifierFeed*& slot) : slot(slot) {}
  ~ActiveVerifier() { Release(); }
  void Release() {
    slot = nullptr;
    feed.reset();
    filter.reset();
    verifier.reset();
    key.reset();
  }
  VerifierFeed*& slot;
  std::unique_ptr<CryptoPP::RSAFunction> key;
  std::unique_ptr<PssVerifier> verifier;
  std::unique_ptr<CryptoPP::SignatureVerificationFilter> filter;
  std::unique_ptr<VerifierFeed> feed;
};
}  // namespace

bool Bundle::ValidateBundle() {
  DiagLog("Validating checksum");
  int64_t size = 0;
  // Any file that holds the 4 bytes at S - 24 is told whether it is signed;
  // a signed one needs the length field at S - 28 as well.
  if (!file_.Size(&size) || size < 24) return false;
  unsigned char digest[kDigestSize];
  unsigned char magic[4];
  if (!file_.Seek(size - 20) || file_.Read(digest, kDigestSize) != kDigestSize) return false;
  if (!file_.Seek(size - 24) || file_.Read(magic, 4) != 4) return false;
  if (memcmp(magic, kSignatureMagic, 4) != 0) {
    DiagLog("Bundle is not digitally signed.");
    return false;
  }
  if (size < 28) return false;
  DiagLog("Going to read signature");
  unsigned char lengthBytes[4];
  if (!file_.Seek(size - 28) || file_.Read(lengthBytes, 4) != 4) return false;
  const uint32_t blockLength = LoadLe32(lengthBytes);
  if (blockLength > kMaxSignatureBlockLength) return false;
  const int64_t blockStart = size - 28 - blockLength;
  if (blockStart < 0) return false;
  unsigned char block[kMaxSignatureBlockLength];
  if (!file_.Seek(blockStart) || file_.Read(block, blockLength) != blockLength) return false;
  SignatureBlock signatureBlock;
  if (!ParseSignatureBlock(block, blockLength, &signatureBlock)) return false;

  ActiveVerifier active(feed_);
  bool signatureValid = false;
  const unsigned char* certificate = signatureBlock.pssCertificate.data();
  const size_t certificateLength = signatureBlock.pssCertificate.size();
  active.key = certificateCheck_ ? certificateCheck_(certificate, certificateLength, certificateGoal_)
                                 : CheckPublicKeyCertificate(certificate, certificateLength, certificateGoal_);
  if (active.key) {
    active.verifier.reset(new PssVerifier(*active.key));
    active.filter.reset(new CryptoPP::SignatureVerificationFilter(
        *active.verifier, nullptr, CryptoPP::SignatureVerificationFilter::THROW_EXCEPTION));
    active.feed.reset(new VerifierFeed(active.filter.get()));
    if (!active.feed->valid()) {
      DiagLog("Out of memory for the signature check\n");
      return false;
    }
    feed_ = active.feed.get();
  } else {
    DiagLog("Invalid public key inside bundle");
  }
  const bool verifying = feed_ != nullptr;

  unsigned char header[kHeaderSize];
  if (!file_.Seek(0) || file_.Read(header, kHeaderSize) != kHeaderSize) return false;
  if (verifying) feed_->Put(header, kHeaderSize);

  DiagLog("Going to read checksum");
  file_.Seek(kHeaderSize);
  scrambler_.Reset();
  try {
    for (;;) {
      unsigned char nameLengthBytes[4];
      if (ReadRaw(nameLengthBytes, 4, 1, true, false) != 1) break;
      const uint32_t nameLength = LoadLe32(nameLengthBytes);
      // Zero is the end marker; a length above the limit ends the walk too.
      if (nameLength == 0 || nameLength > kMaxNameLength) break;
      std::string name(nameLength, '\0');
      if (ReadRaw(&name[0], nameLength, 1, true, false) != 1) break;
      if (!CacheEntry(name, verifying)) {
        DiagLog("%s", "Reading file for checksum failed!\n");
        return false;
      }
    }
    DiagLog("Iterate done");
    if (verifying) {
      // Whatever lies between the end marker and the signature block is
      // signed as stored.
      int64_t junk = blockStart - file_.Tell();
      unsigned char piece[8192];
      while (junk > 0) {
        DiagLog("Junk len %d", static_cast<int>(junk));
        const uint32_t n = junk < static_cast<int64_t>(sizeof piece) ? static_cast<uint32_t>(junk) : sizeof piece;
        if (file_.Read(piece, n) != n) {
          DiagLog("Junk read fail");
          return false;
        }
        feed_->Put(piece, n);
        junk -= n;
      }
      DiagLog("Junk read done");
      feed_->Finish();
      active.filter->Put(signatureBlock.pssSignature.data(), signatureBlock.pssSignature.size());
      active.filter->MessageEnd();
      signatureValid = true;
    }
  } catch (const std::exception& e) {
    DiagLog("Exception in validate sign: %s", e.what());
    signatureValid = false;
  } catch (...) {
    DiagLog("Exception in validate sign");
    signatureValid = false;
  }
  active.Release();

  if (!signatureValid) DiagLog("Digital signature is invalid!");
  if (!verifying) {
    // Only for the log: the result stays false whatever the comparison says.
    unsigned char computed[kDigestSize];
    sha1_->Final(computed);
    if (memcmp(computed, digest, kDigestSize) != 0) {
      DiagLog("Digest compare fail\n");
      for (int i = 0; i < static_cast<int>(kDigestSize); ++i) DiagLog("%02d: read %02X calc %02X\n", i, digest[i], computed[i]);
      return false;
    }
  }
  SeekToEntries();
  return signatureValid;
}

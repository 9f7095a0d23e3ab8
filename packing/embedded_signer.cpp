// The signer of embedded image signatures; it reads the message through the
// same code as the check.
#include "packing/embedded_signer.h"

#include <cryptopp/filters.h>
#include <cryptopp/hex.h>
#include <cryptopp/osrng.h>
#include <cryptopp/sha.h>

#include <cstdio>
#include <exception>
#include <vector>

#include "integrity/embedded_message.h"
#include "integrity/pe_ranges.h"
#include "packing/chain_writer.h"
#include "platform/platform.h"
#include "support/strings.h"

namespace {

constexpr char kRecordType[] = "_SG2";
constexpr char kRecordHead[] = "{\"sign\": \"";
constexpr char kRecordTail[] = "\"}";
constexpr int64_t kMinExcludedSignedLength = 512;

bool Fail(std::string* error, const std::string& text) {
  if (error) *error = text;
  return false;
}

std::string PathText(const std::wstring& path) { return WideToUtf8(path); }

}  // namespace

bool LoadImageSigningKey(const std::wstring& pkcs8DerPath, ImageSigningKey* key, std::string* error) {
  FILE* in = platform::OpenStdioFile(pkcs8DerPath, L"rb");
  if (!in) return Fail(error, "cannot open the image signing key " + PathText(pkcs8DerPath));
  std::string der;
  char block[4096];
  size_t n;
  while ((n = std::fread(block, 1, sizeof block, in)) > 0) der.append(block, n);
  std::fclose(in);
  try {
    try {
      CryptoPP::StringSource source(der, true);
      key->key.BERDecode(source);  // PKCS#8 PrivateKeyInfo
    } catch (const CryptoPP::BERDecodeErr&) {
      // A bare PKCS#1 RSAPrivateKey, as some tools write them.
      CryptoPP::StringSource source(der, true);
      key->key.BERDecodePrivateKey(source, false, der.size());
    }
    CryptoPP::AutoSeededRandomPool rng;
    if (!key->key.Validate(rng, 1)) return Fail(error, "the image signing key is not a valid RSA key");
  } catch (const std::exception& e) {
    return Fail(error, "the image signing key is not a DER RSA private key, PKCS#8 or PKCS#1 (" + std::string(e.what()) + ")");
  }
  return true;
}

size_t SignatureRecordSize(const ImageSigningKey& key) { return SignatureRecordSizeFor(key.key.GetModulus().ByteCount()); }

namespace {

// Opens `file`, checks that [0, signedLength) can be signed in the chosen
// form and puts that message into `sink`.
bool PutImagePrefix(const std::wstring& file, int64_t signedLength, bool excludeHeaderFields,
                    CryptoPP::BufferedTransformation& sink, std::string* error) {
  if (signedLength < 0) return Fail(error, "negative signed length");
  platform::ScopedFile in(platform::OpenFileForRead(file, platform::ShareMode::kReadWrite));
  if (!in.valid()) return Fail(error, "cannot open " + PathText(file) + " to sign it");
  int64_t size = 0;
  if (!platform::GetFileSize64(in.get(), &size) || size < signedLength)
    return Fail(error, PathText(file) + " is shorter than the " + std::to_string(signedLength) + " bytes to sign");

  std::vector<PeExclusionRange> ranges;
  if (excludeHeaderFields) {
    // The check's second attempt accepts nothing else, so neither does the signer.
    if (signedLength < kMinExcludedSignedLength)
      return Fail(error, "a header-excluding signature needs at least 512 signed bytes");
    if (!ComputePeExclusionRanges(in.get(), &ranges))
      return Fail(error, PathText(file) + " is not a PE32 or PE32+ image with 1 to 15 sections, or its headers are "
                                          "damaged; it cannot carry a header-excluding signature");
    const PeExclusionRange& last = ranges.back();
    if (int64_t{last.offset} + last.length > signedLength)
      return Fail(error, "the PE headers of " + PathText(file) + " reach past the signed bytes");
  }
  if (!PutSignedMessage(in.get(), signedLength, excludeHeaderFields ? &ranges : nullptr, sink))
    return Fail(error, "reading " + PathText(file) + " failed while signing it");
  return true;
}

}  // namespace

std::string SignatureRecordText(const std::string& signature) {
  std::string hex;
  CryptoPP::StringSource(signature, true, new CryptoPP::HexEncoder(new CryptoPP::StringSink(hex), false));
  return kRecordHead + hex + kRecordTail;
}

size_t SignatureRecordSizeFor(size_t signatureBytes) {
  return sizeof kRecordHead - 1 + 2 * signatureBytes + sizeof kRecordTail - 1;
}

bool DigestImagePrefix(const std::wstring& file, int64_t signedLength, bool excludeHeaderFields,
                       std::vector<unsigned char>* sha1, std::string* error) {
  std::string digest;
  try {
    CryptoPP::SHA1 hash;
    CryptoPP::HashFilter filter(hash, new CryptoPP::StringSink(digest));
    if (!PutImagePrefix(file, signedLength, excludeHeaderFields, filter, error)) return false;
    filter.MessageEnd();
  } catch (const std::exception& e) {
    return Fail(error, "hashing " + PathText(file) + " failed: " + e.what());
  }
  sha1->assign(digest.begin(), digest.end());
  return true;
}

bool SignImagePrefix(const std::wstring& file, int64_t signedLength, bool excludeHeaderFields,
                     const ImageSigningKey& key, std::string* recordJson, std::string* error) {
  std::string signature;
  try {
    CryptoPP::AutoSeededRandomPool rng;
    CryptoPP::RSASS<CryptoPP::PKCS1v15, CryptoPP::SHA1>::Signer signer(key.key);
    CryptoPP::SignerFilter filter(rng, signer, new CryptoPP::StringSink(signature));
    if (!PutImagePrefix(file, signedLength, excludeHeaderFields, filter, error)) return false;
    filter.MessageEnd();
  } catch (const std::exception& e) {
    return Fail(error, "signing " + PathText(file) + " failed: " + e.what());
  }
  *recordJson = SignatureRecordText(signature);
  return true;
}

bool AppendSignatureRecord(ChainWriter* writer, const std::wstring& outputPath, bool excludeHeaderFields,
                           const ImageSigningKey& key, std::string* error) {
  if (!writer->Flush(error)) return false;
  std::string record;
  if (!SignImagePrefix(outputPath, writer->position(), excludeHeaderFields, key, &record, error)) return false;
  return writer->AppendAttachment(kRecordType, reinterpret_cast<const uint8_t*>(record.data()), record.size(),
                                  error);
}

bool AppendSignatureRecordToFile(const std::wstring& path, bool excludeHeaderFields, const ImageSigningKey& key,
                                 std::string* error) {
  int64_t size = 0;
  {
    platform::ScopedFile in(platform::OpenFileForRead(path, platform::ShareMode::kReadWrite));
    if (!in.valid() || !platform::GetFileSize64(in.get(), &size)) return Fail(error, "cannot open " + PathText(path));
  }
  std::string record;
  if (!SignImagePrefix(path, size, excludeHeaderFields, key, &record, error)) return false;
  std::vector<uint8_t> attachment =
      MakeAttachment(kRecordType, reinterpret_cast<const uint8_t*>(record.data()), record.size());
  FILE* out = platform::OpenStdioFile(path, L"ab");
  if (!out) return Fail(error, "cannot open " + PathText(path) + " to append the signature record");
  bool written = std::fwrite(attachment.data(), 1, attachment.size(), out) == attachment.size();
  written = std::fclose(out) == 0 && written;
  if (!written) return Fail(error, "writing the signature record to " + PathText(path) + " failed");
  return true;
}

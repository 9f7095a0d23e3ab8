#include "tools/kzpack/key_files.h"

#include <cryptopp/base64.h>
#include <cryptopp/filters.h>
#include <cryptopp/queue.h>
#include <cryptopp/rsa.h>

#include <algorithm>

#include "bundle/certificate.h"
#include "packing/certificate_writer.h"
#include "tools/kzpack/cli_support.h"

namespace kzpack {

std::vector<uint8_t> PemToDer(const std::vector<uint8_t>& bytes) {
  const std::string text(bytes.begin(), bytes.end());
  const size_t begin = text.find("-----BEGIN ");
  if (begin == std::string::npos) return bytes;
  const size_t bodyStart = text.find('\n', begin);
  const size_t end = text.find("-----END ", begin);
  if (bodyStart == std::string::npos || end == std::string::npos || end < bodyStart) return bytes;
  std::string decoded;
  CryptoPP::StringSource source(text.substr(bodyStart + 1, end - bodyStart - 1), true,
                                new CryptoPP::Base64Decoder(new CryptoPP::StringSink(decoded)));
  return std::vector<uint8_t>(decoded.begin(), decoded.end());
}

bool DecodeRsaPrivateKey(const std::vector<uint8_t>& der, CryptoPP::RSA::PrivateKey* key) {
  try {
    CryptoPP::ByteQueue queue;
    queue.Put(der.data(), der.size());
    queue.MessageEnd();
    key->BERDecode(queue);  // PKCS#8 PrivateKeyInfo
    return queue.MaxRetrievable() == 0;
  } catch (const CryptoPP::Exception&) {
  }
  try {
    // A bare PKCS#1 RSAPrivateKey, as other tools (and older keys) have them.
    CryptoPP::ByteQueue queue;
    queue.Put(der.data(), der.size());
    queue.MessageEnd();
    key->BERDecodePrivateKey(queue, false, der.size());
    return queue.MaxRetrievable() == 0;
  } catch (const CryptoPP::Exception&) {
    return false;
  }
}

unsigned int PrivateKeyBits(const std::vector<uint8_t>& der) {
  CryptoPP::RSA::PrivateKey key;
  return DecodeRsaPrivateKey(der, &key) ? static_cast<unsigned int>(key.GetModulus().BitCount()) : 0;
}

unsigned int PublicKeyBits(const std::vector<uint8_t>& spki) {
  const auto key = DecodeRsaPublicKeyDer(spki.data(), spki.size());
  return key ? static_cast<unsigned int>(key->GetModulus().BitCount()) : 0;
}

std::vector<uint8_t> LoadPrivateKey(const std::string& path) {
  std::vector<uint8_t> key = PemToDer(ReadWholeFile(path));
  if (PrivateKeyBits(key) == 0) throw ToolError(path + ": not an RSA private key in PKCS#8 DER (or PEM) form");
  return key;
}

// An X.509 certificate: PEM armour saying so, or DER whose signed part
// starts with the explicit version tag.
bool LooksLikeX509Certificate(const std::vector<uint8_t>& raw, const std::vector<uint8_t>& der) {
  if (std::string(raw.begin(), raw.end()).find("CERTIFICATE-----") != std::string::npos) return true;
  const size_t window = std::min<size_t>(der.size(), 12);
  for (size_t i = 2; i + 2 < window; ++i)
    if (der[0] == 0x30 && der[i] == 0xA0 && der[i + 1] == 0x03 && der[i + 2] == 0x02) return true;
  return false;
}

std::vector<uint8_t> LoadPublicKey(const std::string& path) {
  const std::vector<uint8_t> raw = ReadWholeFile(path);
  std::vector<uint8_t> key = PemToDer(raw);
  if (PublicKeyBits(key) != 0) return key;
  if (PrivateKeyBits(key) != 0)
    throw ToolError(path + ": is a private key; give its public half (the .pub.der file kzpack keygen writes beside "
                           "it, or: openssl pkey -in KEY -pubout -outform DER)");
  PublicKeyCertificate record;
  if (LooksLikeX509Certificate(raw, key) ||
      (ParsePublicKeyCertificate(key.data(), key.size(), &record) && PublicKeyBits(record.keyDer) != 0))
    throw ToolError(path + ": is a certificate, not a public key; give the public key file itself (.pub.der)");
  throw ToolError(path + ": not an RSA public key in DER SubjectPublicKeyInfo (or PEM) form");
}

std::vector<uint8_t> CanonicalPublicKey(const std::vector<uint8_t>& spki) {
  const auto key = DecodeRsaPublicKeyDer(spki.data(), spki.size());
  if (!key) return {};
  CryptoPP::RSA::PublicKey canonical;
  canonical.Initialize(key->GetModulus(), key->GetPublicExponent());
  CryptoPP::ByteQueue queue;
  canonical.DEREncode(queue);
  std::vector<uint8_t> der(static_cast<size_t>(queue.MaxRetrievable()));
  queue.Get(der.data(), der.size());
  return der;
}

std::vector<uint8_t> PublicHalf(const std::vector<uint8_t>& pkcs8, const std::string& nameForErrors) {
  std::vector<unsigned char> der;
  std::string error;
  if (!PublicKeyFromPrivate(pkcs8, &der, &error)) throw ToolError(nameForErrors + ": " + error);
  return der;
}

}  // namespace kzpack

#include "packing/certificate_writer.h"

#include <cryptopp/osrng.h>
#include <cryptopp/pssr.h>
#include <cryptopp/queue.h>
#include <cryptopp/rsa.h>
#include <cryptopp/sha.h>

#include <cstring>

#include "bundle/certificate.h"
#include "support/byte_order.h"

std::vector<unsigned char> CertificateSignedMessage(const PublicKeyCertificate& certificate) {
  std::vector<unsigned char> message(8 + certificate.keyDer.size());
  memcpy(message.data(), certificate.goal, 4);
  StoreLe32(message.data() + 4, static_cast<uint32_t>(certificate.expiry));
  if (!certificate.keyDer.empty()) memcpy(message.data() + 8, certificate.keyDer.data(), certificate.keyDer.size());
  return message;
}

std::vector<unsigned char> SerializePublicKeyCertificate(const PublicKeyCertificate& certificate) {
  std::vector<unsigned char> out = CertificateSignedMessage(certificate);
  unsigned char length[4];
  StoreLe32(length, static_cast<uint32_t>(certificate.keyDer.size()));
  out.insert(out.begin() + 8, length, length + 4);
  StoreLe32(length, static_cast<uint32_t>(certificate.signature.size()));
  out.insert(out.end(), length, length + 4);
  out.insert(out.end(), certificate.signature.begin(), certificate.signature.end());
  return out;
}

namespace {
using Signer = CryptoPP::RSASS<CryptoPP::PSSR, CryptoPP::SHA256>::Signer;

bool LoadPrivateKey(const std::vector<unsigned char>& der, CryptoPP::RSA::PrivateKey* key, std::string* error) {
  try {
    CryptoPP::ByteQueue queue;
    queue.Put(der.data(), der.size());
    queue.MessageEnd();
    try {
      key->Load(queue);  // PKCS#8 PrivateKeyInfo
    } catch (const CryptoPP::BERDecodeErr&) {
      // Also take a bare PKCS#1 RSAPrivateKey, as older tools write them.
      CryptoPP::ByteQueue bare;
      bare.Put(der.data(), der.size());
      bare.MessageEnd();
      key->BERDecodePrivateKey(bare, false, der.size());
      if (bare.AnyRetrievable()) throw CryptoPP::BERDecodeErr();
    }
    CryptoPP::AutoSeededRandomPool rng;
    if (!key->Validate(rng, 1)) throw CryptoPP::Exception(CryptoPP::Exception::INVALID_DATA_FORMAT, "inconsistent key");
    return true;
  } catch (const CryptoPP::Exception& e) {
    if (error) *error = std::string("cannot load the private key (PKCS#8 DER RSA expected): ") + e.what();
    return false;
  }
}
}  // namespace

struct PssSigner::State {
  CryptoPP::AutoSeededRandomPool rng;
  std::unique_ptr<Signer> signer;
  std::unique_ptr<CryptoPP::PK_MessageAccumulator> accumulator;
  PssDigestSigner digestSigner;
  CryptoPP::SHA256 digest;
};

PssSigner::PssSigner() : state_(new State) {}
PssSigner::~PssSigner() = default;

bool PssSigner::Init(const std::vector<unsigned char>& privateKeyPkcs8, std::string* error) {
  CryptoPP::RSA::PrivateKey key;
  if (!LoadPrivateKey(privateKeyPkcs8, &key, error)) return false;
  state_->signer.reset(new Signer(key));
  state_->accumulator.reset(state_->signer->NewSignatureAccumulator(state_->rng));
  return true;
}

void PssSigner::InitWithDigestSigner(PssDigestSigner digestSigner) {
  state_->digestSigner = std::move(digestSigner);
  state_->digest.Restart();
}

void PssSigner::Update(const void* data, size_t size) {
  if (state_->digestSigner) state_->digest.Update(static_cast<const CryptoPP::byte*>(data), size);
  if (state_->accumulator) state_->accumulator->Update(static_cast<const CryptoPP::byte*>(data), size);
}

bool PssSigner::Final(std::vector<unsigned char>* signature, std::string* error) {
  if (state_->digestSigner) {
    std::vector<unsigned char> digest(CryptoPP::SHA256::DIGESTSIZE);
    state_->digest.Final(digest.data());
    return state_->digestSigner(digest, signature, error);
  }
  if (!state_->accumulator) {
    if (error) *error = "the signer has no key";
    return false;
  }
  try {
    signature->resize(state_->signer->MaxSignatureLength());
    size_t length = state_->signer->Sign(state_->rng, state_->accumulator.release(), signature->data());
    signature->resize(length);
    return true;
  } catch (const CryptoPP::Exception& e) {
    if (error) *error = std::string("signing failed: ") + e.what();
    return false;
  }
}

bool SignPss(const std::vector<unsigned char>& privateKeyPkcs8, const void* message, size_t size,
             std::vector<unsigned char>* signature, std::string* error) {
  PssSigner signer;
  if (!signer.Init(privateKeyPkcs8, error)) return false;
  signer.Update(message, size);
  return signer.Final(signature, error);
}

bool PublicKeyFromPrivate(const std::vector<unsigned char>& privateKeyPkcs8, std::vector<unsigned char>* publicKeyDer,
                          std::string* error) {
  CryptoPP::RSA::PrivateKey key;
  if (!LoadPrivateKey(privateKeyPkcs8, &key, error)) return false;
  CryptoPP::RSA::PublicKey publicKey(key);
  CryptoPP::ByteQueue queue;
  publicKey.DEREncode(queue);
  publicKeyDer->resize(static_cast<size_t>(queue.MaxRetrievable()));
  queue.Get(publicKeyDer->data(), publicKeyDer->size());
  return true;
}

bool GenerateRsaKeyPair(unsigned int modulusBits, std::vector<unsigned char>* privateKeyPkcs8,
                        std::vector<unsigned char>* publicKeyDer, std::string* error) {
  try {
    CryptoPP::AutoSeededRandomPool rng;
    CryptoPP::RSA::PrivateKey key;
    // Exponent 65537: the stub's key block holds the bundle root in the one
    // 294-byte form such a key has (Crypto++ would choose 17).
    key.Initialize(rng, modulusBits, 65537);
    CryptoPP::ByteQueue queue;
    key.DEREncode(queue);
    privateKeyPkcs8->resize(static_cast<size_t>(queue.MaxRetrievable()));
    queue.Get(privateKeyPkcs8->data(), privateKeyPkcs8->size());
    return PublicKeyFromPrivate(*privateKeyPkcs8, publicKeyDer, error);
  } catch (const CryptoPP::Exception& e) {
    if (error) *error = std::string("key generation failed: ") + e.what();
    return false;
  }
}

bool IssueCertificate(const std::string& goal, int32_t expiry, const std::vector<unsigned char>& subjectPublicKeyDer,
                      const std::vector<unsigned char>& rootPrivateKeyPkcs8, std::vector<unsigned char>* certificate,
                      std::string* error) {
  if (goal.size() != 4) {
    if (error) *error = "a certificate goal is four characters";
    return false;
  }
  if (!DecodeRsaPublicKeyDer(subjectPublicKeyDer.data(), subjectPublicKeyDer.size())) {
    if (error) *error = "the key to certify is not an RSA SubjectPublicKeyInfo";
    return false;
  }
  PublicKeyCertificate record;
  memcpy(record.goal, goal.data(), 4);
  record.expiry = expiry;
  record.keyDer = subjectPublicKeyDer;
  std::vector<unsigned char> message = CertificateSignedMessage(record);
  if (!SignPss(rootPrivateKeyPkcs8, message.data(), message.size(), &record.signature, error)) return false;
  *certificate = SerializePublicKeyCertificate(record);
  return true;
}

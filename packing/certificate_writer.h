// The signing side of certificates and bundles: RSA-PSS with SHA-256, MGF1
// and a 32-byte salt (the message-recovery encoding with nothing to recover,
// which is byte for byte the common PSS signature). Private keys are PKCS#8
// DER, public keys DER SubjectPublicKeyInfo.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "bundle/certificate.h"

// The record as stored, and the bytes the root key signs: goal, expiry as
// stored, keyDer.
std::vector<unsigned char> SerializePublicKeyCertificate(const PublicKeyCertificate& certificate);
std::vector<unsigned char> CertificateSignedMessage(const PublicKeyCertificate& certificate);

// Signs a SHA-256 digest somewhere else (an external signer holding the
// private key): the signature, or false with a reason.
using PssDigestSigner = std::function<bool(const std::vector<unsigned char>& sha256Digest,
                                           std::vector<unsigned char>* signature, std::string* error)>;

// Signs a message given piece by piece.
class PssSigner {
 public:
  PssSigner();
  ~PssSigner();
  PssSigner(const PssSigner&) = delete;
  PssSigner& operator=(const PssSigner&) = delete;

  bool Init(const std::vector<unsigned char>& privateKeyPkcs8, std::string* error);
  // Hashes here, signs through `digestSigner`.
  void InitWithDigestSigner(PssDigestSigner digestSigner);
  void Update(const void* data, size_t size);
  // The signature (as long as the key's modulus); the signer is then spent.
  bool Final(std::vector<unsigned char>* signature, std::string* error);

 private:
  struct State;
  std::unique_ptr<State> state_;
};

bool SignPss(const std::vector<unsigned char>& privateKeyPkcs8, const void* message, size_t size,
             std::vector<unsigned char>* signature, std::string* error);

// The public half of a PKCS#8 private key, as SubjectPublicKeyInfo with NULL
// algorithm parameters.
bool PublicKeyFromPrivate(const std::vector<unsigned char>& privateKeyPkcs8, std::vector<unsigned char>* publicKeyDer,
                          std::string* error);

bool GenerateRsaKeyPair(unsigned int modulusBits, std::vector<unsigned char>* privateKeyPkcs8,
                        std::vector<unsigned char>* publicKeyDer, std::string* error);

// A serialized certificate for `subjectPublicKeyDer`, signed with the root's
// private key. `goal` must be four characters.
bool IssueCertificate(const std::string& goal, int32_t expiry, const std::vector<unsigned char>& subjectPublicKeyDer,
                      const std::vector<unsigned char>& rootPrivateKeyPkcs8, std::vector<unsigned char>* certificate,
                      std::string* error);

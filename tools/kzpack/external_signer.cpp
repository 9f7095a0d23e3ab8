#include "tools/kzpack/external_signer.h"

#include <cryptopp/pssr.h>
#include <cryptopp/rsa.h>
#include <cryptopp/sha.h>

#include <algorithm>
#include <cctype>

#include "bundle/certificate.h"
#include "platform/process.h"
#include "tools/kzpack/cli_support.h"
#include "tools/kzpack/pin_arguments.h"

namespace kzpack {
namespace {

constexpr size_t kMaxSignatureBytes = 2048;  // RSA-16384

const char* SchemeName(SignScheme scheme) {
  return scheme == SignScheme::kPssSha256 ? "rsa-pss-sha256" : "rsa-pkcs1-sha1";
}

std::string LastLine(const std::string& text) {
  std::string trimmed = text;
  while (!trimmed.empty() && std::isspace(static_cast<unsigned char>(trimmed.back()))) trimmed.pop_back();
  const size_t newline = trimmed.find_last_of('\n');
  std::string line = newline == std::string::npos ? trimmed : trimmed.substr(newline + 1);
  if (line.size() > 200) line = line.substr(0, 200) + "...";
  return line;
}

// s^e mod n as a big-endian number of `length` bytes; empty when s >= n.
std::vector<uint8_t> PublicOperation(const CryptoPP::RSAFunction& key, const std::vector<uint8_t>& signature,
                                     size_t length) {
  const CryptoPP::Integer s(signature.data(), signature.size());
  if (s >= key.GetModulus()) return {};
  const CryptoPP::Integer m = key.ApplyFunction(s);
  if (m.MinEncodedSize() > length) return {};
  std::vector<uint8_t> out(length);
  m.Encode(out.data(), out.size());
  return out;
}

}  // namespace

std::vector<uint8_t> Sha1DigestInfo(const std::vector<uint8_t>& digest) {
  std::vector<uint8_t> info = {0x30, 0x21, 0x30, 0x09, 0x06, 0x05, 0x2b, 0x0e, 0x03, 0x02, 0x1a, 0x05, 0x00, 0x04, 0x14};
  info.insert(info.end(), digest.begin(), digest.end());
  return info;
}

bool VerifyPkcs1Sha1Digest(const std::vector<uint8_t>& publicKeySpki, const std::vector<uint8_t>& digest,
                           const std::vector<uint8_t>& signature) {
  const auto key = DecodeRsaPublicKeyDer(publicKeySpki.data(), publicKeySpki.size());
  if (!key || digest.size() != 20) return false;
  const size_t k = key->GetModulus().ByteCount();
  if (signature.size() != k) return false;
  const std::vector<uint8_t> info = Sha1DigestInfo(digest);
  if (k < info.size() + 11) return false;
  std::vector<uint8_t> expected(k, 0xFF);
  expected[0] = 0x00;
  expected[1] = 0x01;
  expected[k - info.size() - 1] = 0x00;
  std::copy(info.begin(), info.end(), expected.end() - static_cast<long>(info.size()));
  return PublicOperation(*key, signature, k) == expected;
}

// EMSA-PSS verification with SHA-256, MGF1-SHA-256 and a 32-byte salt, from
// the digest alone.
bool VerifyPssSha256Digest(const std::vector<uint8_t>& publicKeySpki, const std::vector<uint8_t>& digest,
                           const std::vector<uint8_t>& signature) {
  const auto key = DecodeRsaPublicKeyDer(publicKeySpki.data(), publicKeySpki.size());
  constexpr size_t hLen = 32, sLen = 32;
  if (!key || digest.size() != hLen) return false;
  const size_t k = key->GetModulus().ByteCount();
  if (signature.size() != k) return false;
  const unsigned emBits = key->GetModulus().BitCount() - 1;
  const size_t emLen = (emBits + 7) / 8;
  if (emLen < hLen + sLen + 2) return false;
  std::vector<uint8_t> em = PublicOperation(*key, signature, emLen);
  if (em.empty() || em.back() != 0xBC) return false;
  const size_t dbLen = emLen - hLen - 1;
  const uint8_t topMask = static_cast<uint8_t>(0xFF >> (8 * emLen - emBits));
  if (em[0] & ~topMask) return false;
  std::vector<uint8_t> db(em.begin(), em.begin() + static_cast<long>(dbLen));
  const uint8_t* h = em.data() + dbLen;
  CryptoPP::SHA256 hash;
  CryptoPP::P1363_MGF1().GenerateAndMask(hash, db.data(), db.size(), h, hLen, true);
  db[0] &= topMask;
  const size_t padding = emLen - hLen - sLen - 2;
  for (size_t i = 0; i < padding; ++i)
    if (db[i] != 0) return false;
  if (db[padding] != 0x01) return false;
  uint8_t computed[hLen];
  const uint8_t zeros[8] = {};
  hash.Update(zeros, 8);
  hash.Update(digest.data(), hLen);
  hash.Update(db.data() + dbLen - sLen, sLen);
  hash.Final(computed);
  return std::equal(computed, computed + hLen, h);
}

void RefusePinArguments(const SignerCommand& signer) {
  const std::string problem = LiteralPinProblem(signer.argv);
  if (!problem.empty()) throw ToolError(signer.origin + ": " + problem, kExitUsage);
}

std::vector<std::string> SplitAtBlanks(const std::string& text) {
  std::vector<std::string> words;
  size_t pos = 0;
  while ((pos = text.find_first_not_of(" \t", pos)) != std::string::npos) {
    const size_t end = text.find_first_of(" \t", pos);
    words.push_back(text.substr(pos, end == std::string::npos ? std::string::npos : end - pos));
    pos = end == std::string::npos ? text.size() : end;
  }
  return words;
}

SignerCommand ParseSignerText(const std::string& text, const std::string& origin, int timeoutSeconds) {
  SignerCommand signer;
  signer.origin = origin;
  signer.timeoutSeconds = timeoutSeconds;
  signer.argv = SplitAtBlanks(text);
  if (signer.argv.empty()) throw ToolError(origin + ": the signer command is empty", kExitUsage);
  RefusePinArguments(signer);
  return signer;
}

std::vector<uint8_t> SignDigestExternally(const SignerCommand& signer, const std::string& purpose, SignScheme scheme,
                                          const std::vector<uint8_t>& digest,
                                          const std::vector<uint8_t>& publicKeySpki) {
  const auto key = DecodeRsaPublicKeyDer(publicKeySpki.data(), publicKeySpki.size());
  if (!key) throw ToolError(signer.origin + ": the signer's public key is not an RSA SubjectPublicKeyInfo");
  const std::string name = signer.origin + ": signer \"" + signer.argv[0] + "\" (" + purpose + ")";
  const std::vector<uint8_t> input = scheme == SignScheme::kPkcs1Sha1 ? Sha1DigestInfo(digest) : digest;
  const platform::ProcessResult run = platform::RunProcess(
      signer.argv,
      {{"KZ_SIGN_PURPOSE", purpose},
       {"KZ_SIGN_SCHEME", SchemeName(scheme)},
       {"KZ_SIGN_KEY_BITS", std::to_string(key->GetModulus().BitCount())}},
      std::string(input.begin(), input.end()), kMaxSignatureBytes, signer.timeoutSeconds * 1000);
  if (!run.started) throw ToolError(name + ": cannot run it: " + run.startError);
  if (run.timedOut)
    throw ToolError(name + ": no answer within " + std::to_string(signer.timeoutSeconds) +
                    " s; stopped (raise the limit with --signer-timeout)");
  if (run.outputTooLong) throw ToolError(name + ": wrote more than a signature; stopped");
  if (run.exitCode != 0) {
    const std::string why = LastLine(run.errors);
    throw ToolError(name + ": failed with exit status " + std::to_string(run.exitCode) + (why.empty() ? "" : ": " + why));
  }
  const std::vector<uint8_t> signature(run.output.begin(), run.output.end());
  const size_t expected = key->GetModulus().ByteCount();
  if (signature.size() != expected)
    throw ToolError(name + ": returned " + std::to_string(signature.size()) + " bytes; a signature by the RSA-" +
                    std::to_string(key->GetModulus().BitCount()) + " key is " + std::to_string(expected) +
                    " bytes (raw, not hex or base64)");
  const bool valid = scheme == SignScheme::kPssSha256 ? VerifyPssSha256Digest(publicKeySpki, digest, signature)
                                                      : VerifyPkcs1Sha1Digest(publicKeySpki, digest, signature);
  if (!valid)
    throw ToolError(name + ": its signature does not verify under the configured public key (wrong key in the "
                    "token, or a scheme other than " + SchemeName(scheme) + ")");
  return signature;
}

}  // namespace kzpack

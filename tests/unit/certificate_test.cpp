// Public-key certificates: record checks, messages, both SubjectPublicKeyInfo
// encodings, and what a verifying but undecodable key does.
#include <gtest/gtest.h>

#include <cryptopp/rsa.h>

#include <cstring>

#include "bundle/certificate.h"
#include "bundle/format.h"
#include "packing/certificate_writer.h"
#include "tests/unit/bundle_fixtures.h"

using namespace bundletest;

namespace {
// The same key without the NULL algorithm parameters (2048-bit SPKI layout:
// 30 82 01 22 | 30 0d 06 09 <oid> 05 00 | 03 82 01 0f ...).
std::vector<unsigned char> WithoutNullParameters(const std::vector<unsigned char>& der) {
  EXPECT_EQ(294u, der.size());
  std::vector<unsigned char> out = {0x30, 0x82, 0x01, 0x20, 0x30, 0x0b};
  out.insert(out.end(), der.begin() + 6, der.begin() + 17);  // the OID
  out.insert(out.end(), der.begin() + 19, der.end());        // the BIT STRING
  return out;
}

class Certificates : public ::testing::Test {
 protected:
  std::unique_ptr<CryptoPP::RSAFunction> Check(const std::vector<unsigned char>& bytes, const std::string& goal = "IBND") {
    capture_.Clear();
    return CheckPublicKeyCertificate(bytes.data(), bytes.size(), goal);
  }
  std::vector<std::string> Messages() const { return capture_.Messages(); }
  kztest::DiagSwitchOn on_;
  kztest::DebugCapture capture_;
};
}  // namespace

TEST_F(Certificates, AValidCertificateYieldsItsKey) {
  auto cert = Certificate("IBND", -5);  // expired: not enforced
  auto key = Check(cert);
  ASSERT_NE(nullptr, key);
  auto expected = DecodeRsaPublicKeyDer(DevKey("dev_bundle_signing.pub.der").data(), 294);
  ASSERT_NE(nullptr, expected);
  EXPECT_TRUE(expected->GetModulus() == key->GetModulus());  // (the mingw Crypto++ prints no Integers)
  EXPECT_TRUE(Messages().empty());
  // Bytes after the signature change nothing.
  cert.insert(cert.end(), {1, 2, 3});
  EXPECT_NE(nullptr, Check(cert));
}

TEST_F(Certificates, RecordChecksAndTheirMessages) {
  std::vector<unsigned char> fifteen(15, 0);
  memcpy(fifteen.data(), "IBND", 4);
  EXPECT_EQ(nullptr, Check(fifteen));
  EXPECT_TRUE(Messages().empty());

  std::vector<unsigned char> sixteen(16, 0);
  memcpy(sixteen.data(), "IBND", 4);
  EXPECT_EQ(nullptr, Check(sixteen));
  EXPECT_EQ(std::vector<std::string>{"Public key sign is not valid"}, Messages());

  EXPECT_EQ(nullptr, Check(Certificate("AVSG")));
  EXPECT_EQ(std::vector<std::string>{"Public key goal is AVSG, should be IBND\n"}, Messages());

  auto cert = Certificate("IBND");
  auto bad = cert;
  StoreLe32(bad.data() + 8, 0xFFFFFFFFu);  // negative key length
  EXPECT_EQ(nullptr, Check(bad));
  EXPECT_EQ(std::vector<std::string>{"Public key is truncated\n"}, Messages());
  StoreLe32(bad.data() + 8, static_cast<uint32_t>(cert.size() - 11));
  EXPECT_EQ(nullptr, Check(bad));
  EXPECT_EQ(std::vector<std::string>{"Public key is truncated\n"}, Messages());
  // The key fits, but the signature length field itself would not.
  StoreLe32(bad.data() + 8, static_cast<uint32_t>(cert.size() - 12));
  EXPECT_EQ(nullptr, Check(bad));
  EXPECT_EQ(std::vector<std::string>{"Public key sign is truncated\n"}, Messages());

  bad = cert;
  StoreLe32(bad.data() + 12 + 294, 257);
  EXPECT_EQ(nullptr, Check(bad));
  EXPECT_EQ(std::vector<std::string>{"Public key sign is truncated\n"}, Messages());
  StoreLe32(bad.data() + 12 + 294, 0x80000000u);
  EXPECT_EQ(nullptr, Check(bad));
  EXPECT_EQ(std::vector<std::string>{"Public key sign is truncated\n"}, Messages());
}

TEST_F(Certificates, EveryChangeBreaksTheSignature) {
  auto cert = Certificate("IBND");
  for (size_t offset : {size_t(4), size_t(7), size_t(12), size_t(12 + 100), size_t(12 + 293), size_t(16 + 294 + 128)}) {
    auto bad = cert;
    bad[offset] ^= 0x01;
    EXPECT_EQ(nullptr, Check(bad)) << offset;
    EXPECT_EQ(std::vector<std::string>{"Public key sign is not valid"}, Messages()) << offset;
  }
  // A goal byte changed, with the goal asked for changed alike.
  auto other = cert;
  other[3] = 'E';
  EXPECT_EQ(nullptr, Check(other, "IBNE"));
  EXPECT_EQ(std::vector<std::string>{"Public key sign is not valid"}, Messages());
  // A shorter key length that still fits shifts message and signature apart.
  auto shifted = cert;
  StoreLe32(shifted.data() + 8, 290);
  EXPECT_EQ(nullptr, Check(shifted));
  // A signature of any other length cannot verify with the 2048-bit root.
  PublicKeyCertificate parsed;
  ASSERT_TRUE(ParsePublicKeyCertificate(cert.data(), cert.size(), &parsed));
  parsed.signature.pop_back();
  EXPECT_EQ(nullptr, Check(SerializePublicKeyCertificate(parsed)));
}

TEST_F(Certificates, BothKeyEncodingsAreAccepted) {
  auto withNull = DevKey("dev_bundle_signing.pub.der");
  auto withoutNull = WithoutNullParameters(withNull);
  auto a = DecodeRsaPublicKeyDer(withNull.data(), withNull.size());
  auto b = DecodeRsaPublicKeyDer(withoutNull.data(), withoutNull.size());
  ASSERT_NE(nullptr, a);
  ASSERT_NE(nullptr, b);
  EXPECT_TRUE(a->GetModulus() == b->GetModulus());
  EXPECT_TRUE(a->GetPublicExponent() == b->GetPublicExponent());

  // A certificate carrying the short form, checked against a root in the short form.
  std::vector<unsigned char> cert;
  std::string error;
  ASSERT_TRUE(IssueCertificate("IBND", 0, withoutNull, DevKey("dev_bundle_root.key.der"), &cert, &error)) << error;
  auto root = WithoutNullParameters(DevKey("dev_bundle_root.pub.der"));
  EXPECT_NE(nullptr, CheckPublicKeyCertificateWithRoot(cert.data(), cert.size(), "IBND", root.data(), root.size()));
  EXPECT_NE(nullptr, Check(cert));

  // Not keys: truncated, trailing bytes, another algorithm.
  EXPECT_EQ(nullptr, DecodeRsaPublicKeyDer(withNull.data(), withNull.size() - 1));
  auto trailing = withNull;
  trailing.push_back(0);
  EXPECT_EQ(nullptr, DecodeRsaPublicKeyDer(trailing.data(), trailing.size()));
  auto otherOid = withNull;
  otherOid[16] ^= 1;
  EXPECT_EQ(nullptr, DecodeRsaPublicKeyDer(otherOid.data(), otherOid.size()));
}

TEST_F(Certificates, SignedButUndecodableKeyIsRejectedWithoutAnException) {
  PublicKeyCertificate record;
  memcpy(record.goal, "IBND", 4);
  record.keyDer = Text("not a key at all");
  std::string error;
  auto message = CertificateSignedMessage(record);
  ASSERT_TRUE(SignPss(DevKey("dev_bundle_root.key.der"), message.data(), message.size(), &record.signature, &error));
  auto cert = SerializePublicKeyCertificate(record);
  std::unique_ptr<CryptoPP::RSAFunction> key;
  EXPECT_NO_THROW(key = Check(cert));
  EXPECT_EQ(nullptr, key);
  // The writer will not certify such a key in the first place.
  EXPECT_FALSE(IssueCertificate("IBND", 0, record.keyDer, DevKey("dev_bundle_root.key.der"), &cert, &error));
}

TEST(CertificateRecords, SerializeAndParseAgree) {
  PublicKeyCertificate record;
  memcpy(record.goal, "AVSG", 4);
  record.expiry = -123456;
  record.keyDer = {1, 2, 3};
  record.signature = {9, 8};
  auto bytes = SerializePublicKeyCertificate(record);
  ASSERT_EQ(16u + 5, bytes.size());
  EXPECT_EQ(0, memcmp(bytes.data(), "AVSG", 4));
  PublicKeyCertificate back;
  ASSERT_TRUE(ParsePublicKeyCertificate(bytes.data(), bytes.size(), &back));
  EXPECT_EQ(record.expiry, back.expiry);
  EXPECT_EQ(record.keyDer, back.keyDer);
  EXPECT_EQ(record.signature, back.signature);
  EXPECT_FALSE(ParsePublicKeyCertificate(bytes.data(), bytes.size() - 1, &back));
}

TEST(CertificateKeys, GeneratedKeysSignAndCertify) {
  std::vector<unsigned char> privateKey, publicKey, cert;
  std::string error;
  ASSERT_TRUE(GenerateRsaKeyPair(2048, &privateKey, &publicKey, &error)) << error;
  ASSERT_TRUE(IssueCertificate("IBND", 7, publicKey, DevKey("dev_bundle_root.key.der"), &cert, &error)) << error;
  EXPECT_NE(nullptr, CheckPublicKeyCertificate(cert.data(), cert.size(), "IBND"));
  std::vector<unsigned char> derived;
  ASSERT_TRUE(PublicKeyFromPrivate(privateKey, &derived, &error));
  EXPECT_EQ(publicKey, derived);
  EXPECT_FALSE(IssueCertificate("IBN", 7, publicKey, DevKey("dev_bundle_root.key.der"), &cert, &error));
  EXPECT_FALSE(PublicKeyFromPrivate(Text("garbage"), &derived, &error));
  EXPECT_FALSE(error.empty());
}

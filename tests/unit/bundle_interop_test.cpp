// The bundle format against outside implementations: bundles made by a
// Python implementation and signed by the OpenSSL command line open here, and
// ours read back in Python and verify in OpenSSL. These need the tools, so
// they run on the native build only.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <sstream>

#include "bundle/bundle.h"
#include "tests/unit/bundle_fixtures.h"

using namespace bundletest;
namespace fs = std::filesystem;

namespace {
const char kPss[] = " -sigopt rsa_padding_mode:pss -sigopt rsa_pss_saltlen:32 -sigopt rsa_mgf1_md:sha256";

std::string Q(const fs::path& p) { return "'" + p.string() + "'"; }
std::string PyRef() { return "python3 " + Q(kztest::SourceDir() / "tests/unit/bundle_pyref.py"); }
std::string Key(const std::string& name) { return Q(kztest::SourceDir() / "keys" / name); }

class BundleInterop : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!kztest::kNative) GTEST_SKIP() << "needs python3 and openssl";
    // A fresh signing key pair from OpenSSL, PKCS#8 and SPKI DER.
    ASSERT_EQ(0, kztest::RunCommand("openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -outform DER -out " +
                                    Q(dir_ / "sign.key") + " 2>/dev/null"));
    ASSERT_EQ(0, kztest::RunCommand("openssl pkey -inform DER -in " + Q(dir_ / "sign.key") +
                                    " -pubout -outform DER -out " + Q(dir_ / "sign.pub")));
  }
  // A certificate made by OpenSSL with the development bundle root.
  void OpensslCertificate(const std::string& goal, int32_t expiry) {
    ASSERT_EQ(0, kztest::RunCommand(PyRef() + " cert --goal " + goal + " --expiry " + std::to_string(expiry) +
                                    " --pub " + Q(dir_ / "sign.pub") + " --root-key " + Key("dev_bundle_root.key.der") +
                                    " --out " + Q(dir_ / "cert")));
  }
  kztest::TempDir dir_;
};
}  // namespace

TEST_F(BundleInterop, PythonBundleSignedByOpensslOpensAndReads) {
  OpensslCertificate("IBND", 1000);  // expired long ago: expiry is not enforced
  std::string script = "dep a.dll\r\ndep b.dll\nlast";
  kztest::WriteFileText(dir_ / "script", script);
  auto big = kztest::RandomBytes(5000, 7);
  kztest::WriteFileBytes(dir_ / "big", big);
  kztest::WriteFileBytes(dir_ / "empty", {});
  ASSERT_EQ(0, kztest::RunCommand(PyRef() + " make --out " + Q(dir_ / "b") + " --chunk 1000 --level 9 --junk 10000" +
                                  " --key " + Q(dir_ / "sign.key") + " --cert " + Q(dir_ / "cert") +
                                  " install_script=" + Q(dir_ / "script") + " big=" + Q(dir_ / "big") +
                                  " empty=" + Q(dir_ / "empty")));
  kztest::DiagSwitchOn on;
  kztest::DebugCapture capture;
  Bundle bundle;
  bundle.SetCertificateGoal("IBND");
  bundle.SetSizeLimit(bundle_format::kInstallerSizeLimit);
  ASSERT_TRUE(bundle.Open((dir_ / "b").wstring())) << capture.Joined();
  // 10000 bytes of junk are read in two pieces.
  EXPECT_TRUE(Contains(capture.Messages(), "Junk len 10000"));
  EXPECT_TRUE(Contains(capture.Messages(), "Junk len 1808"));
  ASSERT_EQ(3u, bundle.entries().size());
  EXPECT_EQ(5, static_cast<int>(bundle.entries()[1]->chunks.size()));

  BundleStream* stream = bundle.OpenStream("install_script");
  ASSERT_NE(nullptr, stream);
  char line[2048];
  EXPECT_STREQ("dep a.dll\n", bundle.ReadLine(line, sizeof line, stream));
  EXPECT_STREQ("dep b.dll\n", bundle.ReadLine(line, sizeof line, stream));
  EXPECT_STREQ("last", bundle.ReadLine(line, sizeof line, stream));
  EXPECT_EQ(nullptr, bundle.ReadLine(line, sizeof line, stream));
  bundle.CloseStream(stream);

  ASSERT_TRUE(bundle.ExtractEntry((dir_ / "big.out").wstring(), "big"));
  EXPECT_EQ(big, kztest::ReadFileBytes(dir_ / "big.out"));
  ASSERT_TRUE(bundle.ExtractEntry((dir_ / "empty.out").wstring(), "empty"));
  EXPECT_TRUE(fs::exists(dir_ / "empty.out"));
  EXPECT_EQ(0u, fs::file_size(dir_ / "empty.out"));
}

TEST_F(BundleInterop, PythonBundleWithOtherGoalOrForeignRootIsRefused) {
  kztest::WriteFileText(dir_ / "script", "x");
  OpensslCertificate("AVSG", 0x7FFFFFFF);
  ASSERT_EQ(0, kztest::RunCommand(PyRef() + " make --out " + Q(dir_ / "b") + " --key " + Q(dir_ / "sign.key") +
                                  " --cert " + Q(dir_ / "cert") + " install_script=" + Q(dir_ / "script")));
  Bundle bundle;
  bundle.SetCertificateGoal("IBND");
  EXPECT_FALSE(bundle.Open((dir_ / "b").wstring()));
  Bundle avsg;  // the default goal
  EXPECT_TRUE(avsg.Open((dir_ / "b").wstring()));

  // Certified by the key itself instead of the bundle root.
  ASSERT_EQ(0, kztest::RunCommand(PyRef() + " cert --goal AVSG --expiry 5 --pub " + Q(dir_ / "sign.pub") +
                                  " --root-key " + Q(dir_ / "sign.key") + " --out " + Q(dir_ / "cert")));
  ASSERT_EQ(0, kztest::RunCommand(PyRef() + " make --out " + Q(dir_ / "c") + " --key " + Q(dir_ / "sign.key") +
                                  " --cert " + Q(dir_ / "cert") + " install_script=" + Q(dir_ / "script")));
  kztest::DiagSwitchOn on;
  kztest::DebugCapture capture;
  EXPECT_FALSE(avsg.Open((dir_ / "c").wstring()));
  EXPECT_TRUE(Contains(capture.Messages(), "Public key sign is not valid"));
  EXPECT_TRUE(Contains(capture.Messages(), "Invalid public key inside bundle"));
}

TEST_F(BundleInterop, OurBundleReadsInPythonAndVerifiesInOpenssl) {
  std::string error;
  BundleSigning signing;
  signing.signingKeyPkcs8 = kztest::ReadFileBytes(dir_ / "sign.key");
  ASSERT_TRUE(IssueCertificate("IBND", 1234, kztest::ReadFileBytes(dir_ / "sign.pub"), DevKey("dev_bundle_root.key.der"),
                               &signing.certificate, &error))
      << error;
  // Chunks large enough to be judged by their samples: the random ones go
  // out as stored blocks, the text and the run compressed; at every level,
  // those beyond zlib's included, Python's zlib inflates them all and makes
  // no entry smaller at its level 9, and the strongest level writes less.
  BundleWriterOptions options;
  options.chunkSize = 128 * 1024;
  options.junk = kztest::RandomBytes(300, 3);
  auto a = kztest::RandomBytes(300000, 1);
  std::vector<unsigned char> b(20000, 'b');
  std::string words;
  for (int i = 0; words.size() < 200000; ++i) words += "word" + std::to_string(i * 7919 % 1000) + (i % 9 ? " " : "\n");
  const std::vector<unsigned char> t(words.begin(), words.end());
  std::map<int, uintmax_t> sizes;
  for (int level : {9, 10, 11, 12}) {
    SCOPED_TRACE(level);
    options.deflateLevel = level;
    Make(dir_ / "ours", {{"a", a}, {"b", b}, {"e", {}}, {"t", t}}, &signing, options);
    sizes[level] = fs::file_size(dir_ / "ours");
    fs::remove_all(dir_ / "out");
    fs::create_directories(dir_ / "out");
    ASSERT_EQ(0, kztest::RunCommand(PyRef() + " read " + Q(dir_ / "ours") + " --zlib-level 9 --outdir " +
                                    Q(dir_ / "out") + " --region " + Q(dir_ / "region") + " --signature " +
                                    Q(dir_ / "sig") + " > " + Q(dir_ / "listing")));
    EXPECT_EQ(a, kztest::ReadFileBytes(dir_ / "out" / "0"));
    EXPECT_EQ(b, kztest::ReadFileBytes(dir_ / "out" / "1"));
    EXPECT_EQ(t, kztest::ReadFileBytes(dir_ / "out" / "3"));
    std::ifstream listing(dir_ / "listing");
    std::stringstream text;
    text << listing.rdbuf();
    EXPECT_EQ("a 300000 3\nb 20000 1\ne 0 0\nt " + std::to_string(t.size()) + " 2\n", text.str());
  }
  EXPECT_LT(sizes[12], sizes[9]);

  // The bundle signature and the certificate signature, checked by OpenSSL.
  ASSERT_EQ(0, kztest::RunCommand(std::string("openssl dgst -sha256") + kPss + " -keyform DER -verify " +
                                  Q(dir_ / "sign.pub") + " -signature " + Q(dir_ / "sig") + " " + Q(dir_ / "region") +
                                  " >/dev/null"));
  PublicKeyCertificate certificate;
  ASSERT_TRUE(ParsePublicKeyCertificate(signing.certificate.data(), signing.certificate.size(), &certificate));
  kztest::WriteFileBytes(dir_ / "cmsg", CertificateSignedMessage(certificate));
  kztest::WriteFileBytes(dir_ / "csig", certificate.signature);
  ASSERT_EQ(0, kztest::RunCommand(std::string("openssl dgst -sha256") + kPss + " -keyform DER -verify " +
                                  Key("dev_bundle_root.pub.der") + " -signature " + Q(dir_ / "csig") + " " +
                                  Q(dir_ / "cmsg") + " >/dev/null"));
  // A changed byte of the region no longer verifies.
  auto region = kztest::ReadFileBytes(dir_ / "region");
  region[30] ^= 0x40;
  kztest::WriteFileBytes(dir_ / "region", region);
  EXPECT_NE(0, kztest::RunCommand(std::string("openssl dgst -sha256") + kPss + " -keyform DER -verify " +
                                  Q(dir_ / "sign.pub") + " -signature " + Q(dir_ / "sig") + " " + Q(dir_ / "region") +
                                  " >/dev/null"));
}

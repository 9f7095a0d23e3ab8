// Validation on open: the trailer, the certificate, the streamed signature
// over every stored byte in front of the signature block, and the messages
// each failure leaves.
#include <gtest/gtest.h>

#include <cstring>

#include "bundle/bundle.h"
#include "bundle/validation.h"
#include "tests/unit/bundle_fixtures.h"

using namespace bundletest;
namespace fs = std::filesystem;

namespace {
class BundleValidation : public ::testing::Test {
 protected:
  // An open bundle keeps others from writing its file, so the previous one
  // is closed before a file is rewritten.
  bool OpenBytes(const std::vector<unsigned char>& bytes, const std::string& goal = "IBND") {
    bundle_.Close();
    kztest::WriteFileBytes(dir_ / "t", bytes);
    return OpenPath(dir_ / "t", goal);
  }
  bool OpenPath(const fs::path& path, const std::string& goal = "IBND") {
    capture_.Clear();
    bundle_.SetCertificateGoal(goal);
    return bundle_.Open(path.wstring());
  }
  std::vector<std::string> Messages() const { return capture_.Messages(); }
  bool Logged(const std::string& line) const { return Contains(capture_.Messages(), line); }

  kztest::TempDir dir_;
  kztest::DiagSwitchOn on_;
  kztest::DebugCapture capture_;
  Bundle bundle_;
};

// Offsets of the trailer parts of a signed bundle.
struct Tail {
  size_t blockStart, blockLength;
};
Tail TailOf(const std::vector<unsigned char>& b) {
  uint32_t length = LoadLe32(b.data() + b.size() - 28);
  return {b.size() - 28 - length, length};
}
}  // namespace

TEST_F(BundleValidation, AGoodBundleLogsTheWalk) {
  BundleWriterOptions options;
  options.junk = kztest::RandomBytes(10000, 1);
  fs::path p = MakeSigned(dir_ / "b", {{"install_script", Text("x")}, {"y", Text("y")}}, "IBND", options);
  ASSERT_TRUE(OpenPath(p));
  EXPECT_EQ((std::vector<std::string>{"Validating checksum", "Going to read signature", "Going to read checksum",
                                      "Iterate done", "Junk len 10000", "Junk len 1808", "Junk read done"}),
            Messages());
  EXPECT_EQ(2u, bundle_.entries().size());
}

TEST_F(BundleValidation, AnyChangedByteInTheSignedRegionOrBlockFails) {
  BundleWriterOptions options;
  options.junk = Text("some junk bytes");
  auto good = kztest::ReadFileBytes(
      MakeSigned(dir_ / "b", {{"install_script", kztest::RandomBytes(3000, 4)}}, "IBND", options));
  const Tail tail = TailOf(good);
  SignatureBlock block;
  ASSERT_TRUE(ParseSignatureBlock(good.data() + tail.blockStart, static_cast<uint32_t>(tail.blockLength), &block));
  const size_t pssSignature = tail.blockStart + 4 + 4 + 4 + 4;  // two empty fields, then the length
  const size_t certificate = pssSignature + block.pssSignature.size() + 4;
  struct Case {
    const char* what;
    size_t offset;
  } cases[] = {
      {"header value", 14},          {"entry name", 25 + 4 + 3},
      {"chunk data", 25 + 4 + 14 + 4 + 8 + 100}, {"junk", tail.blockStart - 3},
      {"signature", pssSignature + 10}, {"certificate key", certificate + 12 + 40},
      {"certificate signature", certificate + 12 + 294 + 4 + 7}, {"certificate expiry", certificate + 5},
  };
  for (const Case& c : cases) {
    auto bad = good;
    bad[c.offset] ^= 0x10;
    EXPECT_FALSE(OpenBytes(bad)) << c.what;
    EXPECT_TRUE(Logged("Digital signature is invalid!")) << c.what;
    EXPECT_EQ("Invalid SHA1 encountered!\n", Messages().back()) << c.what;
  }
  EXPECT_TRUE(OpenBytes(good));
}

TEST_F(BundleValidation, SignatureMismatchIsReportedFromTheVerifier) {
  auto good = kztest::ReadFileBytes(MakeSigned(dir_ / "b", {{"a", Text("abc")}}));
  auto bad = good;
  bad[TailOf(good).blockStart - 1] ^= 1;  // the last byte of the end marker
  EXPECT_FALSE(OpenBytes(bad));
  EXPECT_EQ((std::vector<std::string>{"Validating checksum", "Going to read signature", "Going to read checksum",
                                      "Iterate done", "Junk read done",
                                      "Exception in validate sign: VerifierFilter: digital signature not valid",
                                      "Digital signature is invalid!", "Invalid SHA1 encountered!\n"}),
            Messages());
}

TEST_F(BundleValidation, WrongGoalFailsEvenWithAGoodChecksum) {
  fs::path p = MakeSigned(dir_ / "b", {{"a", Text("abc")}}, "AVSG");
  EXPECT_FALSE(OpenPath(p, "IBND"));
  EXPECT_EQ((std::vector<std::string>{"Validating checksum", "Going to read signature",
                                      "Public key goal is AVSG, should be IBND\n", "Invalid public key inside bundle",
                                      "Going to read checksum", "Iterate done", "Digital signature is invalid!",
                                      "Invalid SHA1 encountered!\n"}),
            Messages());
  // A new bundle object expects "AVSG".
  Bundle plain;
  EXPECT_TRUE(plain.Open(p.wstring()));
}

TEST_F(BundleValidation, RejectedCertificateComparesTheChecksumForTheLog) {
  auto bytes = kztest::ReadFileBytes(MakeSigned(dir_ / "b", {{"a", Text("abc")}}, "AVSG"));
  bytes[bytes.size() - 20] ^= 0xFF;
  bytes[bytes.size() - 1] ^= 0x01;
  EXPECT_FALSE(OpenBytes(bytes, "IBND"));
  auto m = Messages();
  auto it = std::find(m.begin(), m.end(), "Digest compare fail\n");
  ASSERT_NE(m.end(), it);
  ASSERT_GE(m.end() - it, 22);
  char expected[64];
  snprintf(expected, sizeof expected, "00: read %02X calc %02X\n", bytes[bytes.size() - 20],
           bytes[bytes.size() - 20] ^ 0xFF);
  EXPECT_EQ(expected, *(it + 1));
  snprintf(expected, sizeof expected, "19: read %02X calc %02X\n", bytes[bytes.size() - 1], bytes[bytes.size() - 1] ^ 1);
  EXPECT_EQ(expected, *(it + 20));
  EXPECT_EQ("Invalid SHA1 encountered!\n", *(it + 21));
}

TEST_F(BundleValidation, ExpiredCertificatePasses) {
  BundleSigning signing = Signing("IBND");
  signing.certificate = Certificate("IBND", 86400);  // 2 January 1970
  EXPECT_TRUE(OpenPath(Make(dir_ / "b", {{"a", Text("a")}}, &signing)));
}

TEST_F(BundleValidation, UnsignedBundleFailsAtOnce) {
  EXPECT_FALSE(OpenPath(Make(dir_ / "b", {{"a", Text("a")}}, nullptr)));
  EXPECT_EQ((std::vector<std::string>{"Validating checksum", "Bundle is not digitally signed.",
                                      "Invalid SHA1 encountered!\n"}),
            Messages());
}

TEST_F(BundleValidation, ShortBundlesStillSayTheyAreUnsigned) {
  // A header and a few more bytes: every size that holds the 4 bytes at S - 24 says so.
  std::vector<unsigned char> bytes;
  {
    const fs::path p = Make(dir_ / "h", {}, nullptr);
    bytes = kztest::ReadFileBytes(p);
    bytes.resize(25);
  }
  for (size_t size = 25; size <= 28; ++size) {
    bytes.resize(size, 0);
    EXPECT_FALSE(OpenBytes(bytes)) << size;
    EXPECT_EQ((std::vector<std::string>{"Validating checksum", "Bundle is not digitally signed.",
                                        "Invalid SHA1 encountered!\n"}),
              Messages())
        << size;
  }
}

TEST_F(BundleValidation, SignatureBlockSizeAndShape) {
  // Fill the block to exactly 8192 bytes with the carried PKCS fields.
  BundleSigning signing = Signing("IBND");
  const size_t fixed = 16 + 256 + signing.certificate.size();
  signing.pkcsSignature.assign(100, 1);
  signing.pkcsCertificate.assign(8192 - fixed - 100, 2);
  auto full = kztest::ReadFileBytes(Make(dir_ / "full", {{"a", Text("a")}}, &signing));
  ASSERT_EQ(8192u, TailOf(full).blockLength);
  EXPECT_TRUE(OpenBytes(full));

  signing.pkcsCertificate.push_back(3);  // 8193
  BundleWriter writer;
  std::string error;
  ASSERT_TRUE(writer.Create((dir_ / "over").wstring(), {}, &signing, &error));
  EXPECT_FALSE(writer.Finish(&error));  // the writer refuses it...
  // ...and the reader refuses a block that claims 8193 bytes, silently.
  auto over = full;
  StoreLe32(over.data() + over.size() - 28, 8193);
  EXPECT_FALSE(OpenBytes(over));
  EXPECT_EQ((std::vector<std::string>{"Validating checksum", "Going to read signature", "Invalid SHA1 encountered!\n"}),
            Messages());
  // A length that does not match the fields fails silently too.
  auto skew = full;
  StoreLe32(skew.data() + skew.size() - 28, 8191);
  EXPECT_FALSE(OpenBytes(skew));
  EXPECT_EQ(3u, Messages().size());
  auto negative = full;
  StoreLe32(negative.data() + negative.size() - 28, 0xFFFFFFF0u);
  EXPECT_FALSE(OpenBytes(negative));
  EXPECT_EQ(3u, Messages().size());
}

TEST(BundleSignatureBlock, FieldsMustFillTheBlockExactly) {
  SignatureBlock block;
  block.pssSignature = {1, 2, 3};
  block.pssCertificate = {4, 5};
  block.pkcsSignature = {6};
  auto bytes = SerializeSignatureBlock(block);
  ASSERT_EQ(16u + 6, bytes.size());
  SignatureBlock parsed;
  ASSERT_TRUE(ParseSignatureBlock(bytes.data(), static_cast<uint32_t>(bytes.size()), &parsed));
  EXPECT_EQ(block.pssSignature, parsed.pssSignature);
  EXPECT_EQ(block.pssCertificate, parsed.pssCertificate);
  EXPECT_EQ(block.pkcsSignature, parsed.pkcsSignature);
  EXPECT_FALSE(ParseSignatureBlock(bytes.data(), static_cast<uint32_t>(bytes.size() - 1), &parsed));
  bytes.push_back(0);
  EXPECT_FALSE(ParseSignatureBlock(bytes.data(), static_cast<uint32_t>(bytes.size()), &parsed));
  bytes.pop_back();
  StoreLe32(bytes.data(), 0xFFFFFFFFu);  // negative length
  EXPECT_FALSE(ParseSignatureBlock(bytes.data(), static_cast<uint32_t>(bytes.size()), &parsed));
}

TEST_F(BundleValidation, EntryStreamShapes) {
  // A name length above 255 ends the walk; what follows is signed as junk.
  {
    BundleSigning signing = Signing("IBND");
    BundleWriter writer;
    std::string error;
    ASSERT_TRUE(writer.Create((dir_ / "long").wstring(), {}, &signing, &error));
    ASSERT_TRUE(writer.AddEntryFromMemory("a", "a", 1, &error));
    unsigned char length[4];
    StoreLe32(length, 256);
    ASSERT_TRUE(writer.AppendPlain(length, 4, &error));
    ASSERT_TRUE(writer.AddEntryFromMemory("hidden", "h", 1, &error));
    ASSERT_TRUE(writer.Finish(&error));
    ASSERT_TRUE(OpenPath(dir_ / "long"));
    ASSERT_EQ(1u, bundle_.entries().size());
    EXPECT_EQ(nullptr, bundle_.OpenStream("hidden"));
  }
  // 256 entries are fine; a 257th fails the validation.
  for (int count : {256, 257}) {
    BundleSigning signing = Signing("IBND");
    BundleWriter writer;
    std::string error;
    bundle_.Close();
    ASSERT_TRUE(writer.Create((dir_ / "many").wstring(), {}, &signing, &error));
    for (int i = 0; i < 256; ++i) ASSERT_TRUE(writer.AddEntryFromMemory("e" + std::to_string(i), "", 0, &error));
    if (count == 257) {
      // The writer stops at 256, so the 257th is written by hand.
      unsigned char entry[9] = {1, 0, 0, 0, 'x', 0, 0, 0, 0};
      ASSERT_TRUE(writer.AppendPlain(entry, sizeof entry, &error));
    }
    ASSERT_TRUE(writer.Finish(&error));
    EXPECT_EQ(count == 256, OpenPath(dir_ / "many")) << count;
    if (count == 257) {
      EXPECT_TRUE(Logged("Reading file for checksum failed!\n"));
    }
  }
  // A stored size beyond the bound fails before anything is allocated.
  {
    BundleSigning signing = Signing("IBND");
    BundleWriter writer;
    std::string error;
    ASSERT_TRUE(writer.Create((dir_ / "huge").wstring(), {}, &signing, &error));
    unsigned char entry[17] = {1, 0, 0, 0, 'x', 1, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xF0, 1, 0, 0, 0};
    ASSERT_TRUE(writer.AppendPlain(entry, sizeof entry, &error));
    ASSERT_TRUE(writer.Finish(&error));
    EXPECT_FALSE(OpenPath(dir_ / "huge"));
    EXPECT_TRUE(Logged("Reading file for checksum failed!\n"));
  }
}

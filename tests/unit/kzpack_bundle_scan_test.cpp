// kzpack's own walk over bundles (listing, extraction, reasons) must agree
// with the installer's reader on what is valid, and its output files must
// appear whole or not at all.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "bundle/bundle.h"
#include "bundle/format.h"
#include "tests/support/test_support.h"
#include "tests/unit/bundle_fixtures.h"
#include "tools/kzpack/bundle_scan.h"
#include "tools/kzpack/cli_support.h"
#include "tools/kzpack/installer_builder.h"
#include "tools/kzpack/installer_check.h"
#include "tools/kzpack/output_file.h"

namespace {

using kzpack::BundleScan;

std::vector<uint8_t> BundleRoot() { return kzpack::BuiltInRootKeys().bundleRoot; }

// The installer's reader with the installer's settings.
bool LibraryAccepts(const std::filesystem::path& path, const std::string& goal) {
  Bundle bundle;
  bundle.SetCertificateGoal(goal);
  bundle.SetSizeLimit(bundle_format::kInstallerSizeLimit);
  const bool open = bundle.Open(path.wstring());
  bundle.Close();
  return open;
}

class BundleScanTest : public ::testing::Test {
 protected:
  std::filesystem::path Make(const std::string& name, const std::string& goal, uint32_t chunkSize = 1000) {
    const std::filesystem::path path = dir_ / name;
    kztest::WriteFileBytes(dir_ / "payload.bin", payload_);
    kzpack::KeySource key;
    key.privateKey = bundletest::DevKey("dev_bundle_signing.key.der");
    kzpack::WriteBundle(path.u8string(),
                        {{"install_script", "", kztest::Bytes("dep-gui,payload.bin,p.bin\n")},
                         {"payload.bin", (dir_ / "payload.bin").u8string(), {}}},
                        chunkSize, 6, key, bundletest::Certificate(goal));
    return path;
  }
  kztest::TempDir dir_;
  std::vector<uint8_t> payload_ = kztest::RandomBytes(4500, 7);
};

TEST_F(BundleScanTest, ListsAndExtractsWhatTheWriterWrote) {
  const auto path = Make("good.ibnd", "IBND");
  const BundleScan scan = kzpack::ScanBundle(path.u8string(), "IBND", BundleRoot(), bundle_format::kInstallerSizeLimit);
  EXPECT_TRUE(scan.trusted()) << scan.signatureProblem;
  EXPECT_TRUE(scan.digestMatches);
  EXPECT_TRUE(scan.walkComplete);
  ASSERT_EQ(scan.entries.size(), 2u);
  EXPECT_EQ(scan.entries[1].name, "payload.bin");
  EXPECT_EQ(scan.entries[1].size, 4500u);
  EXPECT_EQ(scan.entries[1].chunks.size(), 5u);  // 1000-byte chunks
  EXPECT_EQ(kzpack::ReadScannedEntry(path.u8string(), scan.entries[1]), payload_);
  EXPECT_TRUE(LibraryAccepts(path, "IBND"));
}

TEST_F(BundleScanTest, AgreesWithTheInstallersReaderOnBrokenBundles) {
  const auto good = Make("good.ibnd", "IBND");
  const std::vector<uint8_t> bytes = kztest::ReadFileBytes(good);
  struct Case {
    const char* what;
    size_t offset;
    const char* reason;
  };
  const size_t size = bytes.size();
  const Case cases[] = {
      {"entry stream byte", 40, "does not match"},
      {"signature byte", size - 28 - 600, "does not match"},
      {"certificate goal", 0, "goal is"},
      {"signature magic", size - 24, "not signed"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::filesystem::path path;
    if (std::string(c.what) == "certificate goal") {
      path = Make("avsg.ibnd", "AVSG");
    } else {
      std::vector<uint8_t> broken = bytes;
      broken[c.offset] ^= 0x10;
      path = dir_ / "broken.ibnd";
      kztest::WriteFileBytes(path, broken);
    }
    const BundleScan scan = kzpack::ScanBundle(path.u8string(), "IBND", BundleRoot(), bundle_format::kInstallerSizeLimit);
    EXPECT_FALSE(scan.trusted());
    EXPECT_NE(scan.signatureProblem.find(c.reason), std::string::npos) << scan.signatureProblem;
    EXPECT_FALSE(LibraryAccepts(path, "IBND"));
  }
  // The same bundle under another root is refused by the walk, for that reason.
  const BundleScan other = kzpack::ScanBundle(good.u8string(), "IBND", bundletest::DevKey("dev_image_root.pub.der"),
                                              bundle_format::kInstallerSizeLimit);
  EXPECT_FALSE(other.trusted());
  EXPECT_NE(other.signatureProblem.find("not signed by the bundle root key"), std::string::npos);
}

TEST_F(BundleScanTest, ChunksOverTheReadersLimitAreFlagged) {
  const auto path = Make("big.ibnd", "IBND", 4096);
  const BundleScan scan = kzpack::ScanBundle(path.u8string(), "IBND", BundleRoot(), 4095);
  EXPECT_TRUE(scan.walkFailed);
  ASSERT_FALSE(scan.structureProblems.empty());
  EXPECT_NE(scan.structureProblems[0].find("larger than the reader's limit"), std::string::npos);
}

TEST(KzpackOutputFile, AppearsWholeOrNotAtAll) {
  kztest::TempDir dir;
  const std::string target = (dir / "sub" / "out.bin").u8string();
  {
    kzpack::OutputFile output(target);
    FILE* file = output.Open();
    fputs("half", file);
    EXPECT_FALSE(std::filesystem::exists(dir / "sub" / "out.bin"));
    // Abandoned: nothing is left, not even the temporary file.
  }
  EXPECT_TRUE(std::filesystem::is_empty(dir / "sub"));
  kzpack::WriteFileAtomically(target, kztest::Bytes("whole"));
  EXPECT_EQ(kztest::ReadFileBytes(dir / "sub" / "out.bin"), kztest::Bytes("whole"));
  // Without overwrite an existing file is refused and kept.
  EXPECT_THROW(kzpack::WriteFileAtomically(target, kztest::Bytes("other"), false), kzpack::ToolError);
  EXPECT_EQ(kztest::ReadFileBytes(dir / "sub" / "out.bin"), kztest::Bytes("whole"));
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir / "sub"), {}), 1);
}

}  // namespace

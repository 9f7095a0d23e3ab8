// Chains written by a second, independent writer (tests/data/attachments/
// make_fixtures.py) into mingw images and signed by osslsigncode: every end
// rule and reader must find them, and our writer must produce the same bytes.
#include <gtest/gtest.h>

#include <filesystem>

#include "attachments/extract.h"
#include "attachments/pe_chain_end.h"
#include "packing/chain_writer.h"
#include "platform/platform.h"
#include "tests/data/attachments/pe_fixtures.h"
#include "tests/support/test_support.h"

namespace {

namespace fs = std::filesystem;
using Lines = std::vector<std::string>;

// The LOAD payload of the fixtures: byte i is (i * 131 + 7) % 251.
std::vector<uint8_t> FixturePayload(size_t size) {
  std::vector<uint8_t> out(size);
  for (size_t i = 0; i < size; ++i) out[i] = static_cast<uint8_t>((i * 131 + 7) % 251);
  return out;
}

fs::path Fixture(const char* name) {
  const auto p = kzpe::DataFile(name);
  if (p.empty()) ADD_FAILURE() << name << " was not built (needs python3, openssl and osslsigncode)";
  return p;
}

int32_t RawDataEnd(const fs::path& path) {
  FILE* f = platform::OpenStdioFile(path.wstring(), L"rb");
  const int32_t end = PeRawDataEnd(f);
  if (f) fclose(f);
  return end;
}

uint32_t Trailing(const fs::path& path, uint16_t mode) {
  platform::ScopedFile file(platform::OpenFileForRead(path.wstring(), platform::ShareMode::kReadOnly));
  return PeTrailingDataSize(file.get(), 0, mode);
}

class SignedFiles : public testing::Test {
 protected:
  kztest::DiagSwitchOn on_;
  kztest::TempDir dir_;
  kztest::DebugCapture capture_;
  Lines Messages() {
    Lines out;
    for (const auto& m : capture_.Messages())
      if (m.rfind("Progress ", 0) != 0) out.push_back(m);
    return out;
  }
};

TEST_F(SignedFiles, InstallersAsBuiltYieldTheirChainThroughEveryRule) {
  for (const char* name : {"installer32_signed.exe", "installer64_signed.exe"}) {
    SCOPED_TRACE(name);
    const auto path = Fixture(name);
    if (path.empty()) continue;
    const auto bytes = kztest::ReadFileBytes(path);
    const auto pe = kzpe::Parse(bytes);
    ASSERT_EQ(pe.table.back().name, ".KZBNDL");
    const uint32_t chainStart = pe.table.back().rawPointer;
    const uint32_t chainEnd = chainStart + pe.table.back().rawSize;
    // osslsigncode pads to 8 bytes in front of its table.
    ASSERT_GT(pe.certificateSize, 256u);
    ASSERT_GE(pe.certificateOffset, chainEnd);
    ASSERT_LT(pe.certificateOffset - chainEnd, 8u);

    EXPECT_EQ(RawDataEnd(path), static_cast<int32_t>(chainEnd));
    EXPECT_EQ(Trailing(path, 0), bytes.size() - chainEnd);
    EXPECT_EQ(Trailing(path, 1), bytes.size() - chainEnd);

    capture_.Clear();
    EXPECT_EQ(ReadAttachment(path.wstring(), "TYPE"), "gui");
    EXPECT_EQ(Messages(), Lines({"Going to extract file: TYPE\n", "Found attachment: LOAD\n",
                                 "Found attachment: TYPE\n", "Extracted\n"}));
    for (uint16_t mode : {0, 1}) {
      int32_t offset = 0;
      EXPECT_EQ(ReadAttachmentByHandle(path.wstring(), "_SG2", &offset, mode), "two");
      EXPECT_EQ(offset, static_cast<int32_t>(chainStart + 3 + 28));  // behind "_SG1"
    }
    const auto out = dir_ / "setup.exe";
    capture_.Clear();
    ASSERT_TRUE(ExtractAttachmentToFile(true, path.wstring(), "LOAD", out.wstring(), 0, 50));
    EXPECT_EQ(kztest::ReadFileBytes(out), FixturePayload(300000));
    Lines progress;
    for (const auto& l : capture_.lines())
      if (l.rfind("Progress ", 0) == 0) progress.push_back(l);
    EXPECT_EQ(progress, Lines({"Progress 0%"}));  // one block
  }
}

TEST_F(SignedFiles, ChainAppendedBeforeSigningIsFoundBelowTheCertificateOnly) {
  const auto path = Fixture("appended32_signed.exe");
  if (path.empty()) return;
  const auto unsignedSize = fs::file_size(kzpe::DataFile("appended32.exe"));
  const auto bytes = kztest::ReadFileBytes(path);
  const auto pe = kzpe::Parse(bytes);
  const uint32_t sectionEnd = pe.table.back().rawPointer + pe.table.back().rawSize;
  ASSERT_LT(sectionEnd, unsignedSize);
  ASSERT_LT(pe.certificateOffset - unsignedSize, 8u);

  EXPECT_EQ(RawDataEnd(path), static_cast<int32_t>(sectionEnd));
  EXPECT_EQ(Trailing(path, 0), bytes.size() - sectionEnd);
  EXPECT_EQ(Trailing(path, 1), bytes.size() - unsignedSize);
  // The signature-record reader's order: section end, then below the table.
  int32_t offset = -1;
  EXPECT_EQ(ReadAttachmentByHandle(path.wstring(), "_SG2", &offset, 0), "");
  EXPECT_EQ(offset, -1);
  EXPECT_EQ(ReadAttachmentByHandle(path.wstring(), "_SG2", &offset, 1), "appended");
  EXPECT_EQ(offset, static_cast<int32_t>(sectionEnd));
  EXPECT_EQ(ReadAttachmentByHandle(path.wstring(), "TYPE", nullptr, 1), "silent");
  EXPECT_EQ(ReadAttachment(path.wstring(), "TYPE"), "");
  // Unsigned, the same chain ends at the end of the file.
  EXPECT_EQ(ReadAttachmentByHandle(kzpe::DataFile("appended32.exe").wstring(), "_SG2", nullptr, 0), "appended");
}

TEST_F(SignedFiles, OurWriterMakesTheSameBytesAsTheIndependentOne) {
  for (const char* bits : {"32", "64"}) {
    SCOPED_TRACE(bits);
    const auto image = kzpe::DataFile((std::string("hello") + bits + ".exe").c_str());
    const auto expected = Fixture((std::string("installer") + bits + ".exe").c_str());
    if (image.empty() || expected.empty()) continue;
    const std::vector<std::pair<std::string, std::vector<uint8_t>>> records = {{"_SG1", kztest::Bytes("one")},
                                                                               {"_SG2", kztest::Bytes("two")},
                                                                               {"TYPE", kztest::Bytes("gui")},
                                                                               {"LOAD", FixturePayload(300000)}};
    uint64_t length = 0;
    for (const auto& r : records) length += AttachmentRecordSize(r.second.size());
    const auto out = dir_ / "ours.exe";
    FILE* f = platform::OpenStdioFile(out.wstring(), L"wb");
    ASSERT_NE(f, nullptr);
    ChainWriter writer(f);
    std::string error;
    ASSERT_TRUE(writer.BeginImageWithSection(image.wstring(), length, &error)) << error;
    for (const auto& r : records)
      ASSERT_TRUE(writer.AppendAttachment(r.first, r.second.data(), r.second.size(), &error)) << error;
    ASSERT_TRUE(writer.Finish(&error)) << error;
    fclose(f);
    EXPECT_TRUE(kztest::ReadFileBytes(out) == kztest::ReadFileBytes(expected));
  }
}

}  // namespace

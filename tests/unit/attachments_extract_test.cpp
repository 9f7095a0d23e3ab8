// Taking attachments out of chains: messages in order, results, progress,
// and the destination file removed on every failure.
#include "attachments/extract.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "packing/chain_writer.h"
#include "support/strings.h"
#include "tests/data/attachments/pe_fixtures.h"
#include "tests/support/test_support.h"

namespace {

using Lines = std::vector<std::string>;
namespace fs = std::filesystem;

void Append(std::vector<uint8_t>& out, const std::string& type, const std::vector<uint8_t>& payload) {
  auto rec = MakeAttachment(type, payload.data(), payload.size());
  out.insert(out.end(), rec.begin(), rec.end());
}
void Append(std::vector<uint8_t>& out, const std::string& type, const std::string& payload) {
  Append(out, type, kztest::Bytes(payload));
}

// An installer as built: a PE image whose last section holds the chain
// "_SG1", "_SG2", "TYPE", "LOAD", then 2 bytes of padding and a certificate table.
struct Installer {
  std::vector<uint8_t> bytes;
  uint32_t chainStart = 0x1000, chainEnd = 0;
  explicit Installer(const std::vector<uint8_t>& load = kztest::Bytes("MZ setup program")) {
    std::vector<uint8_t> chain;
    Append(chain, "_SG1", "{\"old\":1}");
    Append(chain, "_SG2", "{\"sign\":\"00\"}");
    Append(chain, "TYPE", "gui");
    Append(chain, "LOAD", load);
    chainEnd = chainStart + static_cast<uint32_t>(chain.size());
    kzpe::FakePe pe;
    pe.sections = {{0x400, 0xC00}, {chainStart, static_cast<uint32_t>(chain.size())}};
    pe.certificateOffset = chainEnd + 2;
    pe.certificateSize = 0x300;
    bytes = pe.Headers();
    bytes.resize(chainStart, 0x90);
    bytes.insert(bytes.end(), chain.begin(), chain.end());
    bytes.resize(pe.certificateOffset + pe.certificateSize, 0);
  }
};

class Extract : public testing::Test {
 protected:
  kztest::DiagSwitchOn on_;
  kztest::TempDir dir_;
  kztest::DebugCapture capture_;
  fs::path Write(const std::string& name, const std::vector<uint8_t>& bytes) {
    kztest::WriteFileBytes(dir_ / name, bytes);
    return dir_ / name;
  }
  Lines Messages() {
    Lines out;
    for (const auto& m : capture_.Messages())
      if (m.rfind("Progress ", 0) != 0) out.push_back(m);
    return out;
  }
  Lines ProgressLines() {
    Lines out;
    for (const auto& l : capture_.lines())
      if (l.rfind("Progress ", 0) == 0) out.push_back(l);
    return out;
  }
};

TEST_F(Extract, ReadingTypeFromAnInstallerLogsEachTrailerOnTheWay) {
  const auto path = Write("installer.exe", Installer().bytes);
  EXPECT_EQ(ReadAttachment(path.wstring(), "TYPE"), "gui");
  EXPECT_EQ(Messages(), Lines({"Going to extract file: TYPE\n", "Found attachment: LOAD\n",
                               "Found attachment: TYPE\n", "Extracted\n"}));
  capture_.Clear();
  EXPECT_EQ(ReadAttachment(path.wstring(), "IBND"), "");
  EXPECT_EQ(Messages(), Lines({"Going to extract file: IBND\n", "Found attachment: LOAD\n", "Found attachment: TYPE\n",
                               "Found attachment: _SG2\n", "Found attachment: _SG1\n", "Not found!\n"}));
}

TEST_F(Extract, HandleReaderUsesBothEndRulesAndLogsNoTrailers) {
  Installer installer;
  const auto path = Write("installer.exe", installer.bytes);
  for (uint16_t mode : {0, 1}) {
    capture_.Clear();
    int32_t offset = -5;
    EXPECT_EQ(ReadAttachmentByHandle(path.wstring(), "_SG2", &offset, mode), "{\"sign\":\"00\"}") << mode;
    EXPECT_EQ(Messages(), Lines({"Going to extract file: _SG2\n", "Extracted\n"})) << mode;
    // Right behind "_SG1" and its trailer.
    EXPECT_EQ(offset, static_cast<int32_t>(installer.chainStart + 9 + 28)) << mode;
  }
  // Unsigned setup program: the chain ends at the end of the file.
  std::vector<uint8_t> setup = kztest::Bytes("MZ not really a PE");
  Append(setup, "IBND", "bundle");
  Append(setup, "_SG2", "sig");
  const auto setupPath = Write("setup.exe", setup);
  EXPECT_EQ(ReadAttachmentByHandle(setupPath.wstring(), "IBND", nullptr, 0), "bundle");
  EXPECT_EQ(ReadAttachmentByHandle(setupPath.wstring(), "_SG2", nullptr, 1), "sig");
}

TEST_F(Extract, FileExtractionStreamsTheWholePayloadWithProgress) {
  const auto payload = kztest::RandomBytes(2500000, 77);
  const auto path = Write("installer.exe", Installer(payload).bytes);
  const auto out = dir_ / "setup.exe";
  ASSERT_TRUE(ExtractAttachmentToFile(true, path.wstring(), "LOAD", out.wstring(), 0, 50));
  EXPECT_EQ(kztest::ReadFileBytes(out), payload);
  EXPECT_EQ(ProgressLines(), Lines({"Progress 0%", "Progress 20%", "Progress 41%"}));
  EXPECT_EQ(Messages(), Lines({"Going to extract file: LOAD\n", "Found attachment: LOAD\n", "Extracted\n"}));

  // The inner bundle from the end of the extracted file, base 50, span 25.
  std::vector<uint8_t> setup = kztest::RandomBytes(1000, 1);
  Append(setup, "IBND", kztest::RandomBytes(1048576 + 1, 2));
  const auto setupPath = Write("setup2.exe", setup);
  capture_.Clear();
  ASSERT_TRUE(ExtractAttachmentToFile(false, setupPath.wstring(), "IBND", (dir_ / "ibnd").wstring(), 50, 25));
  EXPECT_EQ(ProgressLines(), Lines({"Progress 50%", "Progress 74%"}));
  EXPECT_EQ(fs::file_size(dir_ / "ibnd"), 1048577u);
}

TEST_F(Extract, ExtractedBytesAgreeWithMd5sum) {
  if (!kztest::kNative) GTEST_SKIP() << "md5sum runs on the host only";
  const auto payload = kztest::RandomBytes(3 * 1048576 + 17, 9);
  const auto path = Write("installer.exe", Installer(payload).bytes);
  const auto out = dir_ / "setup.exe";
  ASSERT_TRUE(ExtractAttachmentToFile(true, path.wstring(), "LOAD", out.wstring(), 0, 50));
  // md5sum of the extracted file and of the plain payload written by the test.
  Write("plain", payload);
  const std::string cmd = "cd '" + dir_.path().string() +
                          "' && md5sum setup.exe | cut -c1-32 > a && md5sum plain | cut -c1-32 > b && cmp -s a b";
  EXPECT_EQ(kztest::RunCommand(cmd), 0);
}

TEST_F(Extract, WrongTypeNameLengthsAreRefusedBeforeAnyTrailerIsRead) {
  const auto path = Write("installer.exe", Installer().bytes);
  for (const std::string type : {"TYP", "TYPES", ""}) {
    capture_.Clear();
    const auto out = dir_ / "out";
    kztest::WriteFileText(out, "a file that stood there before");
    EXPECT_FALSE(ExtractAttachmentToFile(true, path.wstring(), type, out.wstring(), 0, 50));
    EXPECT_FALSE(fs::exists(out)) << type;
    EXPECT_EQ(ReadAttachment(path.wstring(), type), "");
    EXPECT_EQ(ReadAttachmentByHandle(path.wstring(), type, nullptr, 0), "");
    const std::string line = "Invalid type to extract: " + type + "\n";
    EXPECT_EQ(Messages(), Lines({line, line, line}));
  }
}

TEST_F(Extract, MissingContainerAndUnopenableDestination) {
  const auto missing = dir_ / "missing.exe";
  const auto out = dir_ / "out";
  EXPECT_FALSE(ExtractAttachmentToFile(true, missing.wstring(), "LOAD", out.wstring(), 0, 50));
  EXPECT_FALSE(fs::exists(out));
  EXPECT_EQ(ReadAttachment(missing.wstring(), "TYPE"), "");
  EXPECT_EQ(ReadAttachmentByHandle(missing.wstring(), "_SG2", nullptr, 0), "");
  const std::string line = "Could not open container: " + missing.string() + "\n";
  EXPECT_EQ(Messages(), Lines({line, line, line}));

  capture_.Clear();
  const auto path = Write("installer.exe", Installer().bytes);
  const auto nowhere = dir_ / "no such dir" / "setup.exe";
  EXPECT_FALSE(ExtractAttachmentToFile(true, path.wstring(), "LOAD", nowhere.wstring(), 0, 50));
  EXPECT_EQ(Messages(), Lines({"Could not open destination: " + nowhere.string() + "\n"}));
  // The container was closed: it can be removed now (Windows refuses open files).
  EXPECT_TRUE(fs::remove(path));
}

TEST_F(Extract, WrongDigestConsumesThePayloadThenFails) {
  Installer installer(kztest::RandomBytes(1500000, 3));
  installer.bytes[installer.chainEnd - 28 - 1000] ^= 1;  // one payload byte of "LOAD"
  const auto path = Write("installer.exe", installer.bytes);
  const auto out = dir_ / "setup.exe";
  EXPECT_FALSE(ExtractAttachmentToFile(true, path.wstring(), "LOAD", out.wstring(), 10, 50));
  EXPECT_FALSE(fs::exists(out));
  EXPECT_EQ(ProgressLines(), Lines({"Progress 10%", "Progress 44%"}));  // every block was read
  EXPECT_EQ(Messages(), Lines({"Going to extract file: LOAD\n", "Found attachment: LOAD\n", "hash fail\n"}));

  // The string readers refuse a payload this large before reading it; the
  // offset is stored all the same.
  capture_.Clear();
  EXPECT_EQ(ReadAttachment(path.wstring(), "LOAD"), "");
  int32_t offset = -1;
  EXPECT_EQ(ReadAttachmentByHandle(path.wstring(), "LOAD", &offset, 0), "");
  EXPECT_EQ(offset, static_cast<int32_t>(installer.chainEnd - 28 - 1500000));  // stored before reading
  EXPECT_EQ(Messages().back(), "Payload too large: 1500000 bytes\n");
  // Other attachments of the same chain are still fine.
  EXPECT_EQ(ReadAttachment(path.wstring(), "TYPE"), "gui");

  // A small payload with a wrong digest is read whole, then refused.
  Installer small(kztest::RandomBytes(20000, 4));
  small.bytes[small.chainEnd - 28 - 100] ^= 1;
  const auto smallPath = Write("small.exe", small.bytes);
  capture_.Clear();
  EXPECT_EQ(ReadAttachment(smallPath.wstring(), "LOAD"), "");
  offset = -1;
  EXPECT_EQ(ReadAttachmentByHandle(smallPath.wstring(), "LOAD", &offset, 0), "");
  EXPECT_EQ(offset, static_cast<int32_t>(small.chainEnd - 28 - 20000));
  EXPECT_EQ(Messages().back(), "hash fail\n");
}

TEST_F(Extract, ZeroBytePayloadIsAnEmptyFileOrAnEmptyString) {
  std::vector<uint8_t> setup = kztest::Bytes("front");
  Append(setup, "IBND", "");
  const auto path = Write("setup.exe", setup);
  const auto out = dir_ / "ibnd";
  ASSERT_TRUE(ExtractAttachmentToFile(false, path.wstring(), "IBND", out.wstring(), 50, 25));
  EXPECT_TRUE(fs::exists(out));
  EXPECT_EQ(fs::file_size(out), 0u);
  EXPECT_TRUE(ProgressLines().empty());
  capture_.Clear();
  EXPECT_EQ(ReadAttachmentByHandle(path.wstring(), "IBND", nullptr, 0), "");
  EXPECT_EQ(Messages().back(), "Extracted\n");  // a success that looks like a failure
}

TEST_F(Extract, InvalidPositionAndUnreadableTrailers) {
  std::vector<uint8_t> setup;
  Append(setup, "IBND", "abc");
  setup[3 + 16] = 4;  // claims one byte more than stands in front
  const auto path = Write("setup.exe", setup);
  const auto out = dir_ / "ibnd";
  EXPECT_FALSE(ExtractAttachmentToFile(false, path.wstring(), "IBND", out.wstring(), 0, 50));
  EXPECT_FALSE(fs::exists(out));
  EXPECT_EQ(Messages().back(), "Invalid pos\n");
  int32_t offset = 99;
  EXPECT_EQ(ReadAttachmentByHandle(path.wstring(), "IBND", &offset, 0), "");
  EXPECT_EQ(offset, 99);  // nothing found, nothing stored
  EXPECT_EQ(Messages().back(), "Invalid pos\n");

  // A last section that claims to end past the end of the file.
  kzpe::FakePe pe;
  pe.sections = {{0x400, 0x10000}};
  auto bytes = pe.Headers();
  bytes.resize(0x800, 0);
  const auto image = Write("image.exe", bytes);
  capture_.Clear();
  EXPECT_EQ(ReadAttachment(image.wstring(), "TYPE"), "");
  EXPECT_EQ(Messages(), Lines({"Going to extract file: TYPE\n", "Header read fail\n"}));
}

TEST_F(Extract, NotAPeImageReportsOnStdoutThenNotFound) {
  std::vector<uint8_t> bytes = kztest::Bytes("plain data");
  Append(bytes, "TYPE", "gui");
  const auto path = Write("data.bin", bytes);
  testing::internal::CaptureStdout();
  EXPECT_EQ(ReadAttachment(path.wstring(), "TYPE"), "");
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "Invalid DOS Sig");
  EXPECT_EQ(Messages(), Lines({"Going to extract file: TYPE\n", "Not found!\n"}));
  // The same chain found from the end of the file.
  EXPECT_TRUE(ExtractAttachmentToFile(false, path.wstring(), "TYPE", (dir_ / "t").wstring(), 0, 50));
  EXPECT_EQ(kztest::ReadFileBytes(dir_ / "t"), kztest::Bytes("gui"));
}

TEST_F(Extract, WidePathsWithCharactersOutsideAscii) {
  // Built from UTF-8 so that no locale stands between the test and the path.
  const std::string sub = dir_.path().u8string() + "/Zw\xc3\xb6lf \xc3\x9c" "bungen \xe4\xb8\xad\xe6\x96\x87";
  fs::create_directories(fs::u8path(sub));
  const std::string container = sub + "/inst\xc3\xa4ller.exe";
  kztest::WriteFileBytes(fs::u8path(container), Installer().bytes);
  const std::string out = sub + "/s\xc3\xa9tup.exe";
  EXPECT_TRUE(ExtractAttachmentToFile(true, Utf8ToWide(container), "LOAD", Utf8ToWide(out), 0, 50));
  EXPECT_EQ(kztest::ReadFileBytes(fs::u8path(out)), kztest::Bytes("MZ setup program"));
  EXPECT_EQ(ReadAttachment(Utf8ToWide(container), "TYPE"), "gui");
  EXPECT_EQ(ReadAttachmentByHandle(Utf8ToWide(container), "TYPE", nullptr, 0), "gui");
  capture_.Clear();
  EXPECT_FALSE(ExtractAttachmentToFile(true, Utf8ToWide(sub + "/n\xc3\xb6ne"), "LOAD", Utf8ToWide(out), 0, 50));
  EXPECT_EQ(Messages(), Lines({"Could not open container: " + sub + "/n\xc3\xb6ne\n"}));  // logged as UTF-8
}

}  // namespace

namespace {

TEST_F(Extract, StringReadersRefuseRecordsAboveTheCapUnread) {
  // At the cap a record is read; one byte more is refused before any payload
  // byte is read, whatever its digest.
  std::string atCap(kMaxStringPayload, 'A');
  std::vector<uint8_t> file = kztest::Bytes("MZ not really a PE");
  Append(file, "_SG2", atCap);
  Append(file, "TYPE", atCap + "B");
  const auto path = Write("big.bin", file);
  EXPECT_EQ(ReadAttachmentByHandle(path.wstring(), "_SG2", nullptr, 0), atCap);
  capture_.Clear();
  EXPECT_EQ(ReadAttachmentByHandle(path.wstring(), "TYPE", nullptr, 0), "");
  EXPECT_EQ(Messages(), Lines({"Going to extract file: TYPE\n", "Payload too large: 65537 bytes\n"}));

  // The installer's own "TYPE", read through the section's chain end.
  std::vector<uint8_t> chain;
  Append(chain, "_SG2", "{\"sign\":\"00\"}");
  Append(chain, "TYPE", std::string(kMaxStringPayload + 1, 'g'));
  kzpe::FakePe pe;
  pe.sections = {{0x400, 0xC00}, {0x1000, static_cast<uint32_t>(chain.size())}};
  std::vector<uint8_t> bytes = pe.Headers();
  bytes.resize(0x1000, 0x90);
  bytes.insert(bytes.end(), chain.begin(), chain.end());
  const auto bigType = Write("bigtype.exe", bytes);
  capture_.Clear();
  EXPECT_EQ(ReadAttachment(bigType.wstring(), "TYPE"), "");
  EXPECT_EQ(Messages(), Lines({"Going to extract file: TYPE\n", "Found attachment: TYPE\n",
                               "Payload too large: 65537 bytes\n"}));
}

}  // namespace

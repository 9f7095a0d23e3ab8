// Writing chains into real PE images: the new `.KZBNDL` section as loaders,
// objdump and osslsigncode see it, and as the readers find it again.
#include "packing/chain_writer.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>

#include "attachments/extract.h"
#include "attachments/pe_chain_end.h"
#include "attachments/trailer.h"
#include "platform/platform.h"
#include "tests/data/attachments/pe_fixtures.h"
#include "tests/support/test_support.h"

namespace {

namespace fs = std::filesystem;

struct Record {
  std::string type;
  std::vector<uint8_t> payload;
};

std::vector<Record> InstallerRecords(size_t loadSize = 100000) {
  return {{"_SG1", kztest::Bytes("{\"v\":1}")},
          {"_SG2", kztest::Bytes("{\"sign\":\"ab\"}")},
          {"TYPE", kztest::Bytes("silent")},
          {"LOAD", kztest::RandomBytes(loadSize, 4)}};
}

uint64_t ChainLength(const std::vector<Record>& records) {
  uint64_t n = 0;
  for (const auto& r : records) n += AttachmentRecordSize(r.payload.size());
  return n;
}

// Image + `.KZBNDL` + chain; returns the error text ("" on success).
std::string BuildInstaller(const fs::path& image, const std::vector<Record>& records, const fs::path& out,
                           std::vector<std::string>* notes = nullptr) {
  FILE* f = platform::OpenStdioFile(out.wstring(), L"wb");
  if (!f) return "cannot create output";
  std::string error;
  ChainWriter writer(f);
  bool ok = writer.BeginImageWithSection(image.wstring(), ChainLength(records), &error);
  for (const auto& r : records)
    ok = ok && writer.AppendAttachment(r.type, r.payload.data(), r.payload.size(), &error);
  ok = ok && writer.Finish(&error);
  if (notes) *notes = writer.notes();
  fclose(f);
  return ok ? "" : error;
}

std::string Quote(const fs::path& p) { return "'" + p.string() + "'"; }

fs::path Need(const char* name) {
  const auto p = kzpe::DataFile(name);
  if (p.empty()) ADD_FAILURE() << name << " was not built";
  return p;
}

int WineRun(const fs::path& exe) {
  return kztest::RunCommand((kztest::SourceDir() / "scripts" / "wine-run").string() + " " + Quote(exe) +
                            " >/dev/null 2>&1");
}

// A self-made code-signing certificate and osslsigncode.
bool Sign(const fs::path& dir, const fs::path& in, const fs::path& out) {
  if (!fs::exists(dir / "cert.pem")) {
    const std::string req = "openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj '/CN=Attachment Test' -keyout " +
                            Quote(dir / "key.pem") + " -out " + Quote(dir / "cert.pem") + " >/dev/null 2>&1";
    if (kztest::RunCommand(req) != 0) return false;
  }
  return kztest::RunCommand("osslsigncode sign -certs " + Quote(dir / "cert.pem") + " -key " + Quote(dir / "key.pem") +
                            " -n test -in " + Quote(in) + " -out " + Quote(out) + " >/dev/null 2>&1") == 0;
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

std::string Text(const std::vector<uint8_t>& b) { return std::string(b.begin(), b.end()); }

void ExpectSectionLaidOutExactly(const fs::path& original, const fs::path& built, uint64_t chainLength) {
  const auto before = kzpe::Parse(kztest::ReadFileBytes(original));
  const auto bytes = kztest::ReadFileBytes(built);
  const auto after = kzpe::Parse(bytes);
  ASSERT_EQ(after.sections, before.sections + 1);
  const auto& s = after.table.back();
  EXPECT_EQ(s.name, ".KZBNDL");
  EXPECT_EQ(s.rawSize, chainLength);
  EXPECT_EQ(s.virtualSize, chainLength);
  EXPECT_EQ(s.characteristics, 0x40000040u);
  EXPECT_EQ(s.rawPointer % after.sectionAlignment, 0u);
  EXPECT_EQ(s.rawPointer % after.fileAlignment, 0u);
  EXPECT_EQ(s.virtualAddress % after.sectionAlignment, 0u);
  EXPECT_EQ(s.rawPointer + s.rawSize, bytes.size());  // nothing follows the chain
  const auto& prev = after.table[after.table.size() - 2];
  EXPECT_GE(s.virtualAddress, prev.virtualAddress + prev.virtualSize);
  EXPECT_EQ(after.sizeOfImage, s.virtualAddress + (chainLength + after.sectionAlignment - 1) /
                                                      after.sectionAlignment * after.sectionAlignment);
  EXPECT_EQ(after.checkSum, 0u);
  // The old sections are untouched.
  for (size_t i = 0; i < before.table.size(); ++i) {
    EXPECT_EQ(after.table[i].rawPointer, before.table[i].rawPointer);
    EXPECT_EQ(after.table[i].virtualAddress, before.table[i].virtualAddress);
  }
}

class Writer : public testing::Test {
 protected:
  kztest::TempDir dir_;
};

TEST_F(Writer, Pe32ImageGetsAnExactSectionAndStillYieldsItsChain) {
  const auto image = Need("hello32.exe");
  if (image.empty()) return;
  const auto records = InstallerRecords();
  const auto out = dir_ / "installer.exe";
  ASSERT_EQ(BuildInstaller(image, records, out), "");
  ExpectSectionLaidOutExactly(image, out, ChainLength(records));
  EXPECT_EQ(RawDataEnd(out), static_cast<int32_t>(fs::file_size(out)));
  EXPECT_EQ(ReadAttachment(out.wstring(), "TYPE"), "silent");
  EXPECT_EQ(ReadAttachmentByHandle(out.wstring(), "_SG2", nullptr, 0), "{\"sign\":\"ab\"}");
  ASSERT_TRUE(ExtractAttachmentToFile(true, out.wstring(), "LOAD", (dir_ / "setup.exe").wstring(), 0, 50));
  EXPECT_EQ(kztest::ReadFileBytes(dir_ / "setup.exe"), records[3].payload);
  // The image's own bytes in front of the section are those of the original.
  const auto a = kztest::ReadFileBytes(image), b = kztest::ReadFileBytes(out);
  const size_t headers = 0x400;
  EXPECT_TRUE(std::equal(a.begin() + headers, a.end(), b.begin() + headers));
}

TEST_F(Writer, Pe32PlusImagesGetTheSameSection) {
  for (const char* name : {"hello64.exe", "bare64.exe"}) {
    const auto image = Need(name);
    if (image.empty()) continue;
    const auto records = InstallerRecords(5000);
    const auto out = dir_ / (std::string("chained_") + name);
    ASSERT_EQ(BuildInstaller(image, records, out), "") << name;
    ExpectSectionLaidOutExactly(image, out, ChainLength(records));
    EXPECT_TRUE(kzpe::Parse(kztest::ReadFileBytes(out)).plus) << name;
    EXPECT_EQ(ReadAttachment(out.wstring(), "_SG1"), "{\"v\":1}") << name;
  }
}

TEST_F(Writer, ObjdumpSeesTheSection) {
  if (!kztest::kNative) GTEST_SKIP() << "objdump runs on the host only";
  const auto image = Need("hello32.exe");
  if (image.empty()) return;
  const auto records = InstallerRecords(777);
  const auto out = dir_ / "installer.exe";
  ASSERT_EQ(BuildInstaller(image, records, out), "");
  const auto pe = kzpe::Parse(kztest::ReadFileBytes(out));
  char expected[128];
  // objdump -h: name, size, VMA, LMA, file offset.
  snprintf(expected, sizeof expected, ".KZBNDL +%08x +%08x +%08x +%08x", static_cast<unsigned>(ChainLength(records)),
           static_cast<unsigned>(pe.table.back().virtualAddress + 0x400000),
           static_cast<unsigned>(pe.table.back().virtualAddress + 0x400000),
           static_cast<unsigned>(pe.table.back().rawPointer));
  EXPECT_EQ(kztest::RunCommand("i686-w64-mingw32-objdump -h " + Quote(out) + " | grep -Eq '" + expected + "'"), 0)
      << expected;
  EXPECT_EQ(kztest::RunCommand("i686-w64-mingw32-objdump -h " + Quote(out) +
                               " | grep -A1 KZBNDL | grep -q 'CONTENTS, ALLOC, LOAD, READONLY, DATA'"),
            0);
}

TEST_F(Writer, ImagesWithASectionStillRunUnderWine) {
  if (!kztest::kNative) GTEST_SKIP() << "wine is started from the host";
  struct Case {
    const char* name;
    int exitCode;
  };
  for (const Case c : {Case{"hello32.exe", 7}, Case{"hello32_symbols.exe", 7}, Case{"hello64.exe", 7},
                       Case{"bare64.exe", 42}}) {
    const auto image = Need(c.name);
    if (image.empty()) continue;
    if (WineRun(image) != c.exitCode) {
      // Without a working wine for this kind of image the comparison means nothing.
      std::cout << "wine cannot run " << c.name << " here; not compared\n";
      continue;
    }
    const auto out = dir_ / (std::string("chained_") + c.name);
    ASSERT_EQ(BuildInstaller(image, InstallerRecords(3 * 1048576), out), "");
    EXPECT_EQ(WineRun(out), c.exitCode) << c.name;
  }
}

TEST_F(Writer, SymbolTableOfAnUnstrippedImageIsDroppedWithANote) {
  const auto image = Need("hello32_symbols.exe");
  if (image.empty()) return;
  const auto original = kzpe::Parse(kztest::ReadFileBytes(image));
  ASSERT_GT(kzpe::Get32(kztest::ReadFileBytes(image), original.nt + 12), 0u) << "expected a COFF symbol table";
  std::vector<std::string> notes;
  const auto out = dir_ / "installer.exe";
  ASSERT_EQ(BuildInstaller(image, InstallerRecords(10), out, &notes), "");
  ASSERT_EQ(notes.size(), 1u);
  EXPECT_NE(notes[0].find("symbol table"), std::string::npos);
  const auto bytes = kztest::ReadFileBytes(out);
  EXPECT_EQ(kzpe::Get32(bytes, original.nt + 12), 0u);
  EXPECT_EQ(kzpe::Get32(bytes, original.nt + 16), 0u);
  EXPECT_EQ(ReadAttachment(out.wstring(), "TYPE"), "silent");
}

TEST_F(Writer, SignedByOsslsigncodeTheChainIsFoundByEveryRule) {
  if (!kztest::kNative) GTEST_SKIP() << "openssl and osslsigncode run on the host only";
  for (const char* name : {"hello32.exe", "hello64.exe", "bare64.exe"}) {
    const auto image = Need(name);
    if (image.empty()) continue;
    const auto records = InstallerRecords(200000);
    const auto unsignedPath = dir_ / (std::string("unsigned_") + name);
    const auto signedPath = dir_ / (std::string("signed_") + name);
    ASSERT_EQ(BuildInstaller(image, records, unsignedPath), "");
    ASSERT_TRUE(Sign(dir_.path(), unsignedPath, signedPath)) << name;
    EXPECT_EQ(kztest::RunCommand("osslsigncode verify -CAfile " + Quote(dir_ / "cert.pem") + " -in " +
                                 Quote(signedPath) + " >/dev/null 2>&1"),
              0)
        << name;

    const auto bytes = kztest::ReadFileBytes(signedPath);
    const auto pe = kzpe::Parse(bytes);
    const uint32_t chainEnd = pe.table.back().rawPointer + pe.table.back().rawSize;
    ASSERT_GT(pe.certificateSize, 256u);
    ASSERT_GE(pe.certificateOffset, chainEnd);
    EXPECT_LT(pe.certificateOffset - chainEnd, 8u);  // only alignment padding in between
    EXPECT_EQ(RawDataEnd(signedPath), static_cast<int32_t>(chainEnd)) << name;
    EXPECT_EQ(Trailing(signedPath, 0), bytes.size() - chainEnd) << name;
    EXPECT_EQ(Trailing(signedPath, 1), bytes.size() - chainEnd) << name;
    EXPECT_EQ(ReadAttachment(signedPath.wstring(), "TYPE"), "silent") << name;
    for (uint16_t mode : {0, 1}) {
      int32_t offset = 0;
      EXPECT_EQ(ReadAttachmentByHandle(signedPath.wstring(), "_SG2", &offset, mode), "{\"sign\":\"ab\"}") << name;
      EXPECT_EQ(offset, static_cast<int32_t>(pe.table.back().rawPointer + 7 + 28)) << name;
    }
  }
}

TEST_F(Writer, ChainAppendedAfterASignedImageIsFoundBelowTheCertificateOnly) {
  if (!kztest::kNative) GTEST_SKIP() << "openssl and osslsigncode run on the host only";
  const auto image = Need("hello32.exe");
  if (image.empty()) return;
  const auto appended = dir_ / "appended.exe";
  {
    FILE* f = platform::OpenStdioFile(appended.wstring(), L"wb");
    ASSERT_NE(f, nullptr);
    ChainWriter writer(f);
    std::string error;
    ASSERT_TRUE(writer.BeginAfterFile(image.wstring(), &error)) << error;
    const auto sig = kztest::Bytes("{\"sign\":\"cd\"}");
    ASSERT_TRUE(writer.AppendAttachment("_SG2", sig.data(), sig.size(), &error)) << error;
    ASSERT_TRUE(writer.Finish(&error)) << error;
    fclose(f);
  }
  EXPECT_EQ(ReadAttachmentByHandle(appended.wstring(), "_SG2", nullptr, 0), "{\"sign\":\"cd\"}");  // unsigned: file end
  const auto signedPath = dir_ / "appended_signed.exe";
  ASSERT_TRUE(Sign(dir_.path(), appended, signedPath));
  const auto pe = kzpe::Parse(kztest::ReadFileBytes(signedPath));
  const uint32_t chainEnd = static_cast<uint32_t>(fs::file_size(appended));
  const uint32_t sectionEnd = pe.table.back().rawPointer + pe.table.back().rawSize;
  ASSERT_LT(sectionEnd, chainEnd);
  EXPECT_EQ(RawDataEnd(signedPath), static_cast<int32_t>(sectionEnd));
  EXPECT_EQ(Trailing(signedPath, 0), fs::file_size(signedPath) - sectionEnd);
  EXPECT_EQ(Trailing(signedPath, 1), fs::file_size(signedPath) - chainEnd);
  // The signature-record reader's two tries: section end first, then below the table.
  EXPECT_EQ(ReadAttachmentByHandle(signedPath.wstring(), "_SG2", nullptr, 0), "");
  EXPECT_EQ(ReadAttachmentByHandle(signedPath.wstring(), "_SG2", nullptr, 1), "{\"sign\":\"cd\"}");
  EXPECT_EQ(ReadAttachment(signedPath.wstring(), "_SG2"), "");
}

TEST_F(Writer, RefusesWhatCannotTakeASection) {
  const auto image = Need("hello32.exe");
  if (image.empty()) return;
  const auto records = InstallerRecords(10);
  const auto out = dir_ / "out.exe";
  auto refused = [&](const fs::path& in, uint64_t length, const std::string& words) {
    FILE* f = platform::OpenStdioFile(out.wstring(), L"wb");
    ChainWriter writer(f);
    std::string error;
    EXPECT_FALSE(writer.BeginImageWithSection(in.wstring(), length, &error)) << words;
    EXPECT_NE(error.find(words), std::string::npos) << error;
    fclose(f);
  };
  const auto good = kztest::ReadFileBytes(image);
  const auto pe = kzpe::Parse(good);

  kztest::WriteFileText(dir_ / "text.exe", "just text, no image");
  refused(dir_ / "text.exe", 100, "not a PE image");
  refused(image, 0x7FFFFFFF, "pass 2 GiB");
  refused(image, 0, "empty chain");

  auto overlay = good;
  overlay.resize(overlay.size() + 100, 0x33);
  kztest::WriteFileBytes(dir_ / "overlay.exe", overlay);
  refused(dir_ / "overlay.exe", 100, "after its last section");

  auto certified = good;
  const uint32_t dirs = pe.nt + 24 + 96;
  kzpe::Put32(certified, dirs + 32, static_cast<uint32_t>(certified.size()));
  kzpe::Put32(certified, dirs + 36, 0x400);
  certified.resize(certified.size() + 0x400, 0);
  kztest::WriteFileBytes(dir_ / "certified.exe", certified);
  refused(dir_ / "certified.exe", 100, "certificate table");

  // The bytes behind the section table are in use.
  auto crowded = good;
  crowded[pe.nt + 24 + kzpe::Get16(good, pe.nt + 20) + pe.sections * 40 + 3] = 1;
  kztest::WriteFileBytes(dir_ / "crowded.exe", crowded);
  refused(dir_ / "crowded.exe", 100, "no room");

  // A section table that fills the header area up to SizeOfHeaders.
  auto full = good;
  const uint32_t tableEnd = pe.nt + 24 + kzpe::Get16(good, pe.nt + 20) + pe.sections * 40;
  kzpe::Put32(full, pe.nt + 24 + 60, tableEnd + 20);
  kztest::WriteFileBytes(dir_ / "full.exe", full);
  refused(dir_ / "full.exe", 100, "no room");
}

TEST_F(Writer, CorruptedHeadersAreRefusedOrStillYieldTheChain) {
  const auto image = Need("hello32.exe");
  if (image.empty()) return;
  const auto good = kztest::ReadFileBytes(image);
  const auto pe = kzpe::Parse(good);
  const size_t tableEnd = pe.nt + 24 + kzpe::Get16(good, pe.nt + 20) + pe.sections * 40;
  const auto records = InstallerRecords(100);
  int accepted = 0, refused = 0;
  // Every byte of the DOS stub's pointer, the PE headers and the section table.
  for (size_t at = 0x3C; at < tableEnd + 40; ++at) {
    if (at >= 0x40 && at < pe.nt) continue;
    for (uint8_t value : {uint8_t{0x00}, uint8_t{0xFF}}) {
      if (good[at] == value) continue;
      auto bytes = good;
      bytes[at] = value;
      kztest::WriteFileBytes(dir_ / "in.exe", bytes);
      const auto out = dir_ / "out.exe";
      if (BuildInstaller(dir_ / "in.exe", records, out).empty()) {
        ++accepted;
        // Whatever the writer accepts, the reader finds the chain in.
        ASSERT_EQ(ReadAttachment(out.wstring(), "TYPE"), "silent") << "byte " << at << " = " << int(value);
      } else {
        ++refused;
      }
    }
  }
  EXPECT_GT(accepted, 0);
  EXPECT_GT(refused, 0);
}

TEST_F(Writer, ChainMustMatchTheAnnouncedLength) {
  const auto image = Need("hello32.exe");
  if (image.empty()) return;
  const auto out = dir_ / "out.exe";
  FILE* f = platform::OpenStdioFile(out.wstring(), L"wb");
  ChainWriter writer(f);
  std::string error;
  const auto payload = kztest::Bytes("0123456789");
  ASSERT_TRUE(writer.BeginImageWithSection(image.wstring(), 2 * AttachmentRecordSize(10) - 1, &error)) << error;
  EXPECT_TRUE(writer.AppendAttachment("TYPE", payload.data(), payload.size(), &error)) << error;
  EXPECT_FALSE(writer.AppendAttachment("LOAD", payload.data(), payload.size(), &error));
  EXPECT_NE(error.find("does not fit"), std::string::npos) << error;
  EXPECT_FALSE(writer.AppendAttachment("LOADS", payload.data(), payload.size(), &error));
  EXPECT_FALSE(writer.Finish(&error));
  EXPECT_NE(error.find("announced"), std::string::npos) << error;
  fclose(f);

  ChainWriter idle(nullptr);
  EXPECT_FALSE(idle.AppendAttachment("TYPE", payload.data(), payload.size(), &error));
}

TEST_F(Writer, StreamsFilePayloadsAndLetsASignerSeeEveryByteBeforeItsRecord) {
  const auto image = Need("hello32.exe");
  if (image.empty()) return;
  const auto big = kztest::RandomBytes(2 * 1048576 + 12345, 8);
  kztest::WriteFileBytes(dir_ / "setup.bin", big);
  const auto sg1 = kztest::Bytes("{\"v\":1}");
  const auto type = kztest::Bytes("gui");
  const std::string sg2Text = "{\"sign\":\"0000000000000000\"}";  // fixed length, filled in below
  const uint64_t length = AttachmentRecordSize(sg1.size()) + AttachmentRecordSize(sg2Text.size()) +
                          AttachmentRecordSize(type.size()) + AttachmentRecordSize(big.size());

  const auto out = dir_ / "installer.exe";
  FILE* f = platform::OpenStdioFile(out.wstring(), L"w+b");
  ASSERT_NE(f, nullptr);
  ChainWriter writer(f);
  std::vector<uint8_t> tapped;
  writer.SetTap([&](const uint8_t* d, size_t n) { tapped.insert(tapped.end(), d, d + n); });
  std::string error;
  ASSERT_TRUE(writer.BeginImageWithSection(image.wstring(), length, &error)) << error;
  ASSERT_TRUE(writer.AppendAttachment("_SG1", sg1.data(), sg1.size(), &error)) << error;
  ASSERT_TRUE(writer.Flush(&error));
  // A stand-in for the signer: a value computed from every byte so far.
  const int64_t signedLength = writer.position();
  const auto sofar = kztest::ReadFileBytes(out);
  ASSERT_EQ(static_cast<int64_t>(sofar.size()), signedLength);
  EXPECT_EQ(sofar, tapped);
  uint32_t sum = 0;
  for (uint8_t b : sofar) sum = sum * 31 + b;
  char sg2[64];
  snprintf(sg2, sizeof sg2, "{\"sign\":\"%016x\"}", sum);
  ASSERT_EQ(strlen(sg2), sg2Text.size());
  ASSERT_TRUE(writer.AppendAttachment("_SG2", reinterpret_cast<const uint8_t*>(sg2), strlen(sg2), &error));
  ASSERT_TRUE(writer.AppendAttachment("TYPE", type.data(), type.size(), &error));
  ASSERT_TRUE(writer.AppendAttachmentFromFile("LOAD", (dir_ / "setup.bin").wstring(), &error)) << error;
  ASSERT_TRUE(writer.Finish(&error)) << error;
  fclose(f);

  EXPECT_EQ(kztest::ReadFileBytes(out), tapped);
  int32_t offset = 0;
  EXPECT_EQ(ReadAttachmentByHandle(out.wstring(), "_SG2", &offset, 0), sg2);
  EXPECT_EQ(offset, signedLength);  // the record's payload starts where the signed bytes end
  ASSERT_TRUE(ExtractAttachmentToFile(true, out.wstring(), "LOAD", (dir_ / "setup.exe").wstring(), 0, 50));
  EXPECT_EQ(kztest::ReadFileBytes(dir_ / "setup.exe"), big);
  EXPECT_FALSE(writer.AppendAttachmentFromFile("IBND", (dir_ / "missing").wstring(), &error));
}

}  // namespace

// Where a chain ends in PE files: hand-made headers for every branch and
// malformed input, and real mingw / lld-link images.
#include "attachments/pe_chain_end.h"

#include <gtest/gtest.h>

#include "attachments/trailer.h"
#include "platform/platform.h"
#include "tests/data/attachments/pe_fixtures.h"
#include "tests/support/test_support.h"

namespace {

using kzpe::FakePe;

struct RawEnd {
  int32_t value;
  std::string output;
};

RawEnd PeRawDataEndOf(const std::filesystem::path& path) {
  FILE* f = platform::OpenStdioFile(path.wstring(), L"rb");
  EXPECT_NE(f, nullptr);
  testing::internal::CaptureStdout();
  const int32_t value = PeRawDataEnd(f);
  std::string output = testing::internal::GetCapturedStdout();
  if (f) fclose(f);
  return {value, output};
}

RawEnd PeRawDataEndOf(const std::vector<uint8_t>& bytes) {
  kztest::TempDir dir;
  kztest::WriteFileBytes(dir / "image", bytes);
  return PeRawDataEndOf(dir / "image");
}

uint32_t Trailing(const std::filesystem::path& path, uint16_t mode, uint32_t hint = 0) {
  platform::ScopedFile file(platform::OpenFileForRead(path.wstring(), platform::ShareMode::kReadOnly));
  EXPECT_TRUE(file.valid());
  return PeTrailingDataSize(file.get(), hint, mode);
}

uint32_t Trailing(const std::vector<uint8_t>& bytes, uint16_t mode) {
  kztest::TempDir dir;
  kztest::WriteFileBytes(dir / "image", bytes);
  return Trailing(dir / "image", mode);
}

std::vector<uint8_t> WithBody(const FakePe& pe, size_t size, uint8_t fill = 0x11) {
  auto b = pe.Headers();
  b.resize(size, fill);
  return b;
}

void PutMagicEndingAt(std::vector<uint8_t>& b, size_t end) { kzpe::Put32(b, end - 4, kAttachmentMagic); }

// ---- PeRawDataEnd -----------------------------------------------------------

TEST(PeRawDataEnd, EndOfTheLastTableEntryNotTheFurthestOne) {
  FakePe pe;
  pe.sections = {{0x400, 0x1000}, {0x3000, 0x200}, {0x1400, 0x100}};
  auto r = PeRawDataEndOf(WithBody(pe, 0x3200));
  EXPECT_EQ(r.value, 0x1500);
  EXPECT_EQ(r.output, "");
  // Machine and optional-header kind play no part.
  pe.machine = kzpe::kArm64;
  EXPECT_EQ(PeRawDataEndOf(WithBody(pe, 0x3200)).value, 0x1500);
}

TEST(PeRawDataEnd, TopBitClearedAndSumsDoNotWrapIntoSmallEnds) {
  FakePe pe;
  pe.sections = {{0x80000000u, 0x10}};
  EXPECT_EQ(PeRawDataEndOf(WithBody(pe, 0x600)).value, 0x10);
  pe.sections = {{0xFFFFFFF0u, 0x20}};
  // 0x1_0000_0010 with the top bit of the low word cleared, as a 32-bit sum would give.
  EXPECT_EQ(PeRawDataEndOf(WithBody(pe, 0x600)).value, 0x10);
}

TEST(PeRawDataEnd, BadSignaturesAndShortFilesGiveMinusOneWithTheirMessage) {
  FakePe pe;
  pe.sections = {{0x400, 0x200}};
  auto good = WithBody(pe, 0x600);

  auto noMz = good;
  noMz[0] = 'Z';
  EXPECT_EQ(PeRawDataEndOf(noMz).value, -1);
  EXPECT_EQ(PeRawDataEndOf(noMz).output, "Invalid DOS Sig");
  EXPECT_EQ(PeRawDataEndOf(kztest::Bytes("hello")).output, "Invalid DOS Sig");

  auto noPe = good;
  noPe[kzpe::kNt + 2] = 1;  // "PE\1\0"
  EXPECT_EQ(PeRawDataEndOf(noPe).value, -1);
  EXPECT_EQ(PeRawDataEndOf(noPe).output, "Invalid NT Sig");

  struct Case {
    const char* what;
    std::vector<uint8_t> bytes;
  };
  auto lfanewOutside = good;
  kzpe::Put32(lfanewOutside, 0x3C, 0xFFFFFFF0u);  // a negative e_lfanew
  auto tableOutside = good;
  kzpe::Put16(tableOutside, kzpe::kNt + 6, 200);
  auto noSections = good;
  kzpe::Put16(noSections, kzpe::kNt + 6, 0);
  const Case cases[] = {
      {"empty", {}},
      {"one byte", {'M'}},
      {"MZ only", {'M', 'Z'}},
      {"cut inside the DOS header", std::vector<uint8_t>(good.begin(), good.begin() + 0x3E)},
      {"cut inside the file header", std::vector<uint8_t>(good.begin(), good.begin() + kzpe::kNt + 10)},
      {"cut inside the section table", std::vector<uint8_t>(good.begin(), good.begin() + pe.TableOffset() + 20)},
      {"e_lfanew outside", lfanewOutside},
      {"section table outside", tableOutside},
      {"no sections", noSections},
  };
  for (const auto& c : cases) {
    auto r = PeRawDataEndOf(c.bytes);
    EXPECT_EQ(r.value, -1) << c.what;
    EXPECT_EQ(r.output, "Error reading file") << c.what;
  }

  testing::internal::CaptureStdout();
  EXPECT_EQ(PeRawDataEnd(nullptr), -1);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

// ---- PeTrailingDataSize -------------------------------------------------------

constexpr uint32_t kSize = 0x2000;
constexpr uint32_t kSectionEnd = 0x1000;  // S
constexpr uint32_t kCert = 0x1008;        // C

FakePe Signed(uint16_t machine) {
  FakePe pe;
  pe.machine = machine;
  pe.sections = {{0x400, 0x400}, {0x800, kSectionEnd - 0x800}};
  pe.certificateOffset = kCert;
  pe.certificateSize = kSize - kCert;
  return pe;
}

TEST(PeTrailingDataSize, UnsignedOrSmallCertificateTablesGiveZero) {
  for (uint16_t machine : {kzpe::kI386, kzpe::kAmd64}) {
    FakePe pe = Signed(machine);
    pe.certificateOffset = pe.certificateSize = 0;
    auto bytes = WithBody(pe, kSize);
    PutMagicEndingAt(bytes, kSectionEnd);
    EXPECT_EQ(Trailing(bytes, 0), 0u) << machine;
    EXPECT_EQ(Trailing(bytes, 1), 0u) << machine;
    pe.certificateOffset = kCert;
    pe.certificateSize = 256;
    EXPECT_EQ(Trailing(WithBody(pe, kSize), 0), 0u) << machine;
    pe.certificateSize = 257;
    EXPECT_EQ(Trailing(WithBody(pe, kSize), 0), kSize - kSectionEnd) << machine;
  }
}

TEST(PeTrailingDataSize, SignedI386ChainTwoBytesBelowTheCertificate) {
  auto bytes = WithBody(Signed(kzpe::kI386), kSize);
  PutMagicEndingAt(bytes, kCert - 2);
  EXPECT_EQ(Trailing(bytes, 0), kSize - kSectionEnd);
  EXPECT_EQ(Trailing(bytes, 1), kSize - kCert + 2);
  EXPECT_EQ(Trailing(bytes, 7), kSize - kSectionEnd);  // any mode but 1 is section-end
}

TEST(PeTrailingDataSize, MagicAtEveryPositionOfTheSearchWindow) {
  for (uint32_t i = 0; i < 62; ++i) {
    auto bytes = WithBody(Signed(kzpe::kI386), kSize, 0);
    PutMagicEndingAt(bytes, kCert - i);
    EXPECT_EQ(Trailing(bytes, 1), i < 60 ? kSize - (kCert - i) : 0u) << i;
  }
  // The closest magic below C wins.
  auto bytes = WithBody(Signed(kzpe::kI386), kSize, 0);
  PutMagicEndingAt(bytes, kCert - 50);
  PutMagicEndingAt(bytes, kCert - 9);
  EXPECT_EQ(Trailing(bytes, 1), kSize - (kCert - 9));
}

TEST(PeTrailingDataSize, SearchNeverLooksBelowOffsetZeroOrAboveTheFile) {
  FakePe pe = Signed(kzpe::kI386);
  pe.certificateOffset = 10;  // a window cut off by the start of the file
  auto bytes = WithBody(pe, kSize);
  PutMagicEndingAt(bytes, 6);
  EXPECT_EQ(Trailing(bytes, 1), kSize - 6);
  pe.certificateOffset = 3;  // no whole word ends at or below C
  EXPECT_EQ(Trailing(WithBody(pe, kSize), 1), 0u);
  pe.certificateOffset = kSize + 1;
  EXPECT_EQ(Trailing(WithBody(pe, kSize), 1), 0u);
  pe.certificateOffset = kSize;  // C at the very end is fine
  bytes = WithBody(pe, kSize);
  PutMagicEndingAt(bytes, kSize - 1);
  EXPECT_EQ(Trailing(bytes, 1), 1u);
}

TEST(PeTrailingDataSize, ChainAppendedAfterTheImageIsFoundOnlyBelowTheCertificate) {
  // Section data ends at S; a chain follows up to C - 3; the table follows.
  auto bytes = WithBody(Signed(kzpe::kI386), kSize, 0x5A);
  PutMagicEndingAt(bytes, kCert - 3);
  EXPECT_EQ(Trailing(bytes, 0), kSize - kSectionEnd);
  EXPECT_EQ(Trailing(bytes, 1), kSize - kCert + 3);
}

TEST(PeTrailingDataSize, Amd64IgnoresTheModeAndOtherMachinesGiveZero) {
  auto bytes = WithBody(Signed(kzpe::kAmd64), kSize);
  PutMagicEndingAt(bytes, kCert - 2);
  EXPECT_EQ(Trailing(bytes, 0), kSize - kSectionEnd);
  EXPECT_EQ(Trailing(bytes, 1), kSize - kSectionEnd);
  bytes = WithBody(Signed(kzpe::kArm64), kSize);
  PutMagicEndingAt(bytes, kCert - 2);
  EXPECT_EQ(Trailing(bytes, 0), 0u);
  EXPECT_EQ(Trailing(bytes, 1), 0u);
}

TEST(PeTrailingDataSize, MalformedHeadersGiveZero) {
  const auto good = WithBody(Signed(kzpe::kI386), kSize);
  ASSERT_EQ(Trailing(good, 0), kSize - kSectionEnd);
  struct Case {
    const char* what;
    std::vector<uint8_t> bytes;
  };
  std::vector<Case> cases;
  auto b = good;
  b[1] = 'X';
  cases.push_back({"no MZ", b});
  b = good;
  kzpe::Put32(b, 0x3C, kSize);
  cases.push_back({"e_lfanew at the size", b});
  b = good;
  kzpe::Put32(b, 0x3C, 0xFFFFFFFCu);
  cases.push_back({"e_lfanew near 4 GiB", b});
  b = good;
  kzpe::Put32(b, 0x3C, kSize - 200);  // the standard headers do not fit behind it
  cases.push_back({"headers past the end", b});
  b = good;
  kzpe::Put16(b, kzpe::kNt + 6, (kSize - kzpe::kNt - 248) / 40 + 1);
  cases.push_back({"section count past the end", b});
  b = good;
  kzpe::Put16(b, kzpe::kNt + 6, 0);
  cases.push_back({"no sections", b});
  b = good;
  b[kzpe::kNt + 1] = 'X';
  cases.push_back({"no PE signature", b});
  b = good;
  kzpe::Put16(b, kzpe::kNt + 20, 0xFFF0);  // last entry beyond the file
  cases.push_back({"huge optional header", b});
  b = good;
  kzpe::Put32(b, Signed(kzpe::kI386).TableOffset() + 40 + 20, kSize);  // S == size
  cases.push_back({"last section reaches the end", b});
  b = good;
  kzpe::Put32(b, Signed(kzpe::kI386).TableOffset() + 40 + 20, 0xFFFFFFF0u);  // would wrap in 32 bits
  cases.push_back({"section end wraps", b});
  cases.push_back({"DOS header only", std::vector<uint8_t>(good.begin(), good.begin() + 64)});
  cases.push_back({"empty", {}});
  for (const auto& c : cases) {
    EXPECT_EQ(Trailing(c.bytes, 0), 0u) << c.what;
    EXPECT_EQ(Trailing(c.bytes, 1), 0u) << c.what;
  }
}

TEST(PeTrailingDataSize, KeepsTheFilePositionAndHonoursTheSizeHint) {
  kztest::TempDir dir;
  auto bytes = WithBody(Signed(kzpe::kI386), kSize);
  PutMagicEndingAt(bytes, kCert - 2);
  kztest::WriteFileBytes(dir / "image", bytes);
  platform::ScopedFile file(platform::OpenFileForRead((dir / "image").wstring(), platform::ShareMode::kReadOnly));
  ASSERT_TRUE(platform::SeekFile(file.get(), 123, platform::SeekFrom::kBegin));
  EXPECT_EQ(PeTrailingDataSize(file.get(), 0, 1), kSize - kCert + 2);
  int64_t position = 0;
  ASSERT_TRUE(platform::SeekFile(file.get(), 0, platform::SeekFrom::kCurrent, &position));
  EXPECT_EQ(position, 123);
  // The hint stands for the size: a smaller one moves the section end past it.
  EXPECT_EQ(PeTrailingDataSize(file.get(), kSectionEnd, 0), 0u);
  EXPECT_EQ(PeTrailingDataSize(file.get(), 0xFFFFFFFFu, 0), 0u);
  EXPECT_EQ(PeTrailingDataSize(platform::kInvalidFile, 0, 0), 0u);
}

// ---- real images ----------------------------------------------------------------

TEST(PeChainEndRealImages, UnsignedImagesEndAtTheirLastSection) {
  for (const char* name : {"hello32.exe", "hello64.exe", "bare64.exe"}) {
    const auto path = kzpe::DataFile(name);
    if (path.empty()) {
      ADD_FAILURE() << name << " was not built";
      continue;
    }
    const auto bytes = kztest::ReadFileBytes(path);
    const auto pe = kzpe::Parse(bytes);
    ASSERT_FALSE(pe.table.empty());
    const auto& last = pe.table.back();
    auto r = PeRawDataEndOf(path);
    EXPECT_EQ(r.value, static_cast<int32_t>(last.rawPointer + last.rawSize)) << name;
    EXPECT_EQ(r.value, static_cast<int32_t>(bytes.size())) << name;  // stripped: nothing after the sections
    EXPECT_EQ(Trailing(path, 0), 0u) << name;
    EXPECT_EQ(Trailing(path, 1), 0u) << name;
  }
}

}  // namespace

// Exclusion ranges of PE images: synthetic headers on both targets, and
// natively real images built by mingw and lld-link, read back with objdump
// and Authenticode-signed with osslsigncode.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <regex>
#include <sstream>

#include "integrity/pe_ranges.h"
#include "platform/platform.h"
#include "tests/support/test_support.h"

namespace {

constexpr uint16_t kI386 = 0x14C;
constexpr uint16_t kAmd64 = 0x8664;

void Put16(std::vector<uint8_t>& b, size_t at, uint16_t v) {
  b[at] = static_cast<uint8_t>(v);
  b[at + 1] = static_cast<uint8_t>(v >> 8);
}
void Put32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}
uint32_t Get32(const std::vector<uint8_t>& b, size_t at) {
  return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | static_cast<uint32_t>(b[at + 3]) << 24;
}

struct PeLayout {
  uint16_t machine = kI386;
  uint16_t sections = 6;
  uint32_t e = 0x80;
  int optionalHeaderSize = -1;  // -1: the standard size for the machine
  std::string lastName = ".rsrc";
  uint32_t firstRaw = 0x400;
  size_t fileSize = 0x800;
};

// Headers laid out as a linker does: DOS header, "PE\0\0", file header,
// optional header, section table; raw data from `firstRaw` on.
std::vector<uint8_t> MakePe(const PeLayout& s) {
  std::vector<uint8_t> b(s.fileSize, 0);
  b[0] = 'M';
  b[1] = 'Z';
  Put32(b, 0x3C, s.e);
  std::memcpy(&b[s.e], "PE\0\0", 4);
  Put16(b, s.e + 4, s.machine);
  Put16(b, s.e + 6, s.sections);
  int optionalSize = s.optionalHeaderSize >= 0 ? s.optionalHeaderSize : s.machine == kAmd64 ? 240 : 224;
  Put16(b, s.e + 20, static_cast<uint16_t>(optionalSize));
  Put16(b, s.e + 24, s.machine == kAmd64 ? 0x20B : 0x10B);
  size_t table = s.e + 24 + optionalSize;
  for (int i = 0; i < s.sections; ++i) {
    size_t entry = table + 40 * i;
    std::string name = i + 1 == s.sections ? s.lastName : ".s" + std::to_string(i);
    std::memcpy(&b[entry], name.data(), std::min<size_t>(8, name.size()));
    Put32(b, entry + 16, 0x200);
    Put32(b, entry + 20, s.firstRaw + 0x200 * i);
  }
  return b;
}

struct Result {
  bool ok = false;
  std::vector<PeExclusionRange> ranges;
};

Result Compute(const std::filesystem::path& path) {
  Result r;
  platform::ScopedFile file(platform::OpenFileForRead(path.wstring(), platform::ShareMode::kReadOnly));
  EXPECT_TRUE(file.valid());
  r.ok = ComputePeExclusionRanges(file.get(), &r.ranges);
  return r;
}

Result Compute(const std::vector<uint8_t>& image) {
  kztest::TempDir dir;
  kztest::WriteFileBytes(dir / "image.exe", image);
  return Compute(dir / "image.exe");
}

void ExpectRanges(const Result& r, std::vector<std::pair<uint32_t, uint32_t>> expected) {
  ASSERT_TRUE(r.ok);
  ASSERT_EQ(r.ranges.size(), expected.size());
  for (size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(r.ranges[i].offset, expected[i].first) << "range " << i + 1;
    EXPECT_EQ(r.ranges[i].length, expected[i].second) << "range " << i + 1;
  }
}

// Bytes [0, end) with the ranges removed: what a header-excluding signature covers.
std::vector<uint8_t> ExcludedMessage(const std::vector<uint8_t>& file, const std::vector<PeExclusionRange>& ranges,
                                     size_t end) {
  std::vector<uint8_t> out;
  size_t pos = 0;
  for (const auto& r : ranges) {
    out.insert(out.end(), file.begin() + pos, file.begin() + r.offset);
    pos = r.offset + r.length;
  }
  out.insert(out.end(), file.begin() + pos, file.begin() + end);
  return out;
}

TEST(PeRanges, Pe32WithAndWithoutBundleSection) {
  PeLayout layout;
  layout.lastName = std::string(".KZBNDL\0", 8);
  const uint32_t e = layout.e, R = layout.firstRaw;
  ExpectRanges(Compute(MakePe(layout)), {{e + 6, 2}, {e + 0x50, 4}, {e + 0x58, 4}, {e + 0x98, 8}, {e + 448, R - e - 448}});
  layout.lastName = ".rsrc";
  ExpectRanges(Compute(MakePe(layout)), {{e + 6, 2}, {e + 0x50, 4}, {e + 0x58, 4}, {e + 0x98, 8}, {e + 488, R - e - 488}});
  // Any eighth byte but zero makes it another name.
  layout.lastName = ".KZBNDLx";
  ExpectRanges(Compute(MakePe(layout)), {{e + 6, 2}, {e + 0x50, 4}, {e + 0x58, 4}, {e + 0x98, 8}, {e + 488, R - e - 488}});
  layout.lastName = ".kzbndl";
  EXPECT_EQ(Compute(MakePe(layout)).ranges[4].offset, e + 488);
}

TEST(PeRanges, Pe32PlusLayout) {
  PeLayout layout;
  layout.machine = kAmd64;
  layout.sections = 3;
  layout.e = 0xF8;
  layout.lastName = std::string(".KZBNDL\0", 8);
  const uint32_t e = layout.e, R = layout.firstRaw;
  const uint32_t H = e + 264 + 2 * 40;
  ExpectRanges(Compute(MakePe(layout)), {{e + 6, 2}, {e + 0x50, 4}, {e + 0x58, 4}, {e + 0xA8, 8}, {H, R - H}});
  layout.lastName = ".reloc";
  ExpectRanges(Compute(MakePe(layout)), {{e + 6, 2}, {e + 0x50, 4}, {e + 0x58, 4}, {e + 0xA8, 8}, {H + 40, R - H - 40}});
}

TEST(PeRanges, SectionCountsAndMachines) {
  PeLayout layout;
  layout.firstRaw = 0x1000;
  layout.fileSize = 0x4000;
  layout.sections = 15;
  Result r = Compute(MakePe(layout));
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.ranges[4].offset, layout.e + 248 + 15 * 40);
  layout.sections = 16;
  EXPECT_FALSE(Compute(MakePe(layout)).ok);
  layout.sections = 0;
  EXPECT_FALSE(Compute(MakePe(layout)).ok);
  layout.sections = 1;
  EXPECT_TRUE(Compute(MakePe(layout)).ok);

  for (uint16_t machine : {uint16_t{0xAA64}, uint16_t{0x1C4}, uint16_t{0x200}, uint16_t{0}}) {
    layout.machine = machine;
    EXPECT_FALSE(Compute(MakePe(layout)).ok) << std::hex << machine;
  }
}

TEST(PeRanges, RefusesDamagedHeaders) {
  PeLayout layout;
  std::vector<uint8_t> good = MakePe(layout);
  ASSERT_TRUE(Compute(good).ok);

  std::vector<uint8_t> b = good;
  b[1] = 'X';  // DOS signature
  EXPECT_FALSE(Compute(b).ok);
  b = good;
  b[layout.e + 2] = 1;  // "PE\1\0"
  EXPECT_FALSE(Compute(b).ok);
  b = good;
  Put32(b, 0x3C, static_cast<uint32_t>(b.size()));  // e_lfanew at the end of the file
  EXPECT_FALSE(Compute(b).ok);
  Put32(b, 0x3C, 0xFFFFFFF0u);  // far beyond it: no wrap-around
  EXPECT_FALSE(Compute(b).ok);
  // Section table running past the end of the file.
  b.assign(good.begin(), good.begin() + layout.e + 24 + 224 + 5 * 40 + 39);
  EXPECT_FALSE(Compute(b).ok);
  b.assign(good.begin(), good.begin() + 0x30);  // not even a DOS header
  EXPECT_FALSE(Compute(b).ok);
  EXPECT_FALSE(Compute(std::vector<uint8_t>{}).ok);

  // The first section's data must not start inside the header gap.
  layout.firstRaw = layout.e + 488 - 1;
  EXPECT_FALSE(Compute(MakePe(layout)).ok);
  layout.firstRaw = layout.e + 488;  // empty gap
  Result r = Compute(MakePe(layout));
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.ranges[4].length, 0u);
  layout.lastName = std::string(".KZBNDL\0", 8);
  layout.firstRaw = layout.e + 448 - 1;
  EXPECT_FALSE(Compute(MakePe(layout)).ok);
}

TEST(PeRanges, UnusualOptionalHeaderSize) {
  // The table is found through SizeOfOptionalHeader; the gap still starts
  // where a standard-sized header would put the last entry.
  PeLayout layout;
  layout.optionalHeaderSize = 224 + 40;
  layout.sections = 2;
  layout.lastName = std::string(".KZBNDL\0", 8);
  Result r = Compute(MakePe(layout));
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.ranges[4].offset, layout.e + 248 + 40u);  // H; the name came from the real table
}

TEST(PeRanges, KeepsFilePositionAndAppends) {
  kztest::TempDir dir;
  kztest::WriteFileBytes(dir / "image.exe", MakePe(PeLayout{}));
  platform::ScopedFile file(platform::OpenFileForRead((dir / "image.exe").wstring(), platform::ShareMode::kReadOnly));
  ASSERT_TRUE(file.valid());
  ASSERT_TRUE(platform::SeekFile(file.get(), 123, platform::SeekFrom::kBegin));
  std::vector<PeExclusionRange> ranges{{1, 1}};
  ASSERT_TRUE(ComputePeExclusionRanges(file.get(), &ranges));
  EXPECT_EQ(ranges.size(), 6u);
  EXPECT_EQ(ranges[0].offset, 1u);
  int64_t position = -1;
  ASSERT_TRUE(platform::SeekFile(file.get(), 0, platform::SeekFrom::kCurrent, &position));
  EXPECT_EQ(position, 123);
  EXPECT_FALSE(ComputePeExclusionRanges(platform::kInvalidFile, &ranges));
}

TEST(PeRanges, ImageLargerThanFourGiB) {
  // Only the headers are read, whatever the size (the file is sparse).
  kztest::TempDir dir;
  PeLayout layout;
  layout.lastName = std::string(".KZBNDL\0", 8);
  kztest::WriteFileBytes(dir / "big.exe", MakePe(layout));
  std::error_code ec;
  std::filesystem::resize_file(dir / "big.exe", (5ull << 30) + 3, ec);
  if (ec) GTEST_SKIP() << "cannot make a 5 GiB sparse file here: " << ec.message();
  Result r = Compute(dir / "big.exe");
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.ranges[4].offset, layout.e + 448);
}

// ---- real images (native: the tools run on the build machine) ---------------

std::string RunAndCapture(const std::string& command, const std::filesystem::path& out) {
  EXPECT_EQ(kztest::RunCommand(command + " > '" + out.string() + "' 2>&1"), 0) << command;
  std::ifstream in(out);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

uint32_t HexField(const std::string& text, const std::string& pattern) {
  std::smatch m;
  EXPECT_TRUE(std::regex_search(text, m, std::regex(pattern))) << pattern;
  return m.empty() ? 0 : static_cast<uint32_t>(std::stoul(m[1].str(), nullptr, 16));
}

// Checks the ranges of a real image against what objdump reads from it.
void CheckAgainstObjdump(const std::filesystem::path& exe, const kztest::TempDir& dir) {
  std::vector<uint8_t> bytes = kztest::ReadFileBytes(exe);
  Result r = Compute(exe);
  ASSERT_TRUE(r.ok) << exe;
  ASSERT_EQ(r.ranges.size(), 5u);
  std::string p = RunAndCapture("objdump -p '" + exe.string() + "'", dir / "p.txt");
  std::string h = RunAndCapture("objdump -h '" + exe.string() + "'", dir / "h.txt");
  EXPECT_EQ(Get32(bytes, r.ranges[1].offset), HexField(p, "SizeOfImage\\s+([0-9a-f]+)"));
  EXPECT_EQ(Get32(bytes, r.ranges[2].offset), HexField(p, "CheckSum\\s+([0-9a-f]+)"));
  std::smatch m;
  ASSERT_TRUE(std::regex_search(p, m, std::regex("Entry 4 ([0-9a-f]+) ([0-9a-f]+) Security Directory")));
  EXPECT_EQ(Get32(bytes, r.ranges[3].offset), static_cast<uint32_t>(std::stoull(m[1].str(), nullptr, 16)));
  EXPECT_EQ(Get32(bytes, r.ranges[3].offset + 4), static_cast<uint32_t>(std::stoul(m[2].str(), nullptr, 16)));
  // NumberOfSections: as many as objdump lists; the gap ends at the first section's data.
  size_t sections = 0;
  const std::regex sectionLine("\n\\s+\\d+ \\S+\\s+[0-9a-f]+");
  for (auto it = std::sregex_iterator(h.begin(), h.end(), sectionLine); it != std::sregex_iterator(); ++it) ++sections;
  EXPECT_EQ(bytes[r.ranges[0].offset] | bytes[r.ranges[0].offset + 1] << 8, static_cast<int>(sections));
  std::smatch first;
  ASSERT_TRUE(std::regex_search(h, first, std::regex("\n\\s+0 \\S+\\s+[0-9a-f]+\\s+[0-9a-f]+\\s+[0-9a-f]+\\s+([0-9a-f]+)")));
  EXPECT_EQ(r.ranges[4].offset + r.ranges[4].length, std::stoul(first[1].str(), nullptr, 16));
}

// Builds hello32.exe (mingw, PE32) and bare64.exe (lld-link, PE32+) in `dir`.
std::vector<std::filesystem::path> BuildRealImages(const kztest::TempDir& dir) {
  kztest::WriteFileText(dir / "hello.c", "#include <stdio.h>\nint main(void){puts(\"hi\");return 0;}\n");
  kztest::WriteFileText(dir / "bare.c", "int start(void){return 42;}\n");
  const std::string d = "'" + dir.path().string() + "/";
  EXPECT_EQ(kztest::RunCommand("i686-w64-mingw32-gcc-win32 -O2 -s " + d + "hello.c' -o " + d + "hello32.exe'"), 0);
  EXPECT_EQ(kztest::RunCommand("clang --target=x86_64-pc-windows-msvc -O2 -ffreestanding -c " + d + "bare.c' -o " + d +
                               "bare.obj' && lld-link /entry:start /subsystem:console /nodefaultlib /out:" + d +
                               "bare64.exe' " + d + "bare.obj' > /dev/null"),
            0);
  return {dir / "hello32.exe", dir / "bare64.exe"};
}

TEST(PeRangesReal, MatchObjdumpAndSurviveAuthenticode) {
  if (!kztest::kNative) GTEST_SKIP() << "needs mingw, lld-link, objdump, openssl and osslsigncode";
  kztest::TempDir dir;
  auto images = BuildRealImages(dir);
  const std::string d = "'" + dir.path().string() + "/";
  ASSERT_EQ(kztest::RunCommand("openssl req -x509 -newkey rsa:2048 -nodes -keyout " + d + "key.pem' -out " + d +
                               "cert.pem' -subj /CN=KzTest -days 2 2> /dev/null"),
            0);
  for (const auto& exe : images) {
    SCOPED_TRACE(exe.string());
    CheckAgainstObjdump(exe, dir);
    std::filesystem::path signedExe = exe.string() + ".signed";
    ASSERT_EQ(kztest::RunCommand("osslsigncode sign -certs " + d + "cert.pem' -key " + d + "key.pem' -in '" +
                                 exe.string() + "' -out '" + signedExe.string() + "' > /dev/null"),
              0);
    CheckAgainstObjdump(signedExe, dir);

    // Signing changes the covered prefix, but not once the ranges are left out.
    std::vector<uint8_t> before = kztest::ReadFileBytes(exe);
    std::vector<uint8_t> after = kztest::ReadFileBytes(signedExe);
    ASSERT_GT(after.size(), before.size());
    Result ranges = Compute(exe);
    Result signedRanges = Compute(signedExe);
    ASSERT_TRUE(ranges.ok && signedRanges.ok);
    for (size_t i = 0; i < 5; ++i) EXPECT_EQ(ranges.ranges[i].offset, signedRanges.ranges[i].offset);
    EXPECT_NE(std::vector<uint8_t>(after.begin(), after.begin() + before.size()), before);
    EXPECT_EQ(ExcludedMessage(after, signedRanges.ranges, before.size()),
              ExcludedMessage(before, ranges.ranges, before.size()));
  }
}

}  // namespace

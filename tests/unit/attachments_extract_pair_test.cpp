// The setup program and its bundle in one pass must leave the same files,
// log the same lines and report the same progress values, in the same order,
// as extracting the setup program and then the bundle from the file written.
#include "attachments/extract_pair.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "attachments/extract.h"
#include "packing/chain_writer.h"
#include "tests/data/attachments/pe_fixtures.h"
#include "tests/support/test_support.h"

namespace {

namespace fs = std::filesystem;

void Append(std::vector<uint8_t>& out, const std::string& type, const std::vector<uint8_t>& payload) {
  auto record = MakeAttachment(type, payload.data(), payload.size());
  out.insert(out.end(), record.begin(), record.end());
}

// A PE image whose last section holds "TYPE" and "LOAD" = `setup`.
std::vector<uint8_t> InstallerWith(const std::vector<uint8_t>& setup) {
  std::vector<uint8_t> chain;
  Append(chain, "TYPE", kztest::Bytes("gui"));
  Append(chain, "LOAD", setup);
  kzpe::FakePe pe;
  pe.sections = {{0x400, 0xC00}, {0x1000, static_cast<uint32_t>(chain.size())}};
  std::vector<uint8_t> bytes = pe.Headers();
  bytes.resize(0x1000, 0x90);
  bytes.insert(bytes.end(), chain.begin(), chain.end());
  bytes.resize(bytes.size() + 0x200, 0);  // trailing data after the section
  return bytes;
}

struct Outcome {
  bool setup = false, bundle = false;
  std::vector<std::string> lines;  // log and progress, in order
  std::vector<uint8_t> setupBytes, bundleBytes;
  bool setupExists = false, bundleExists = false;
};

void Collect(const fs::path& dir, kztest::DebugCapture& capture, Outcome* outcome) {
  outcome->lines = capture.Messages();
  outcome->setupExists = fs::exists(dir / "setup.exe");
  outcome->bundleExists = fs::exists(dir / "ibnd");
  if (outcome->setupExists) outcome->setupBytes = kztest::ReadFileBytes(dir / "setup.exe");
  if (outcome->bundleExists) outcome->bundleBytes = kztest::ReadFileBytes(dir / "ibnd");
}

TEST(ExtractPair, AgreesWithTwoExtractionsOnGoodAndDamagedInstallers) {
  kztest::DiagSwitchOn on;
  kztest::TempDir dir;
  const auto bundle = kztest::RandomBytes(1048576 + 1, 2);
  auto build = [&](int damage) {
    std::vector<uint8_t> setup = kztest::RandomBytes(1500000, 1);
    Append(setup, damage == 3 ? "IBNX" : "IBND", bundle);
    if (damage == 1) setup[1500000 + 4096] ^= 1;  // the bundle's digest fails
    if (damage == 4) setup[setup.size() - 28 + 19] = 0x7F;  // a payload said to start before the file
    Append(setup, "_SG2", kztest::Bytes("{\"sign\":\"00\"}"));
    std::vector<uint8_t> installer = InstallerWith(setup);
    if (damage == 2) installer[0x1000 + 28 + 3 + 700000] ^= 1;  // the setup program's digest fails
    return installer;
  };
  for (int damage = 0; damage <= 4; ++damage) {
    SCOPED_TRACE(damage);
    const fs::path installer = dir.path() / "installer.exe";
    kztest::WriteFileBytes(installer, build(damage));

    const fs::path two = dir.path() / "two", one = dir.path() / "one";
    fs::remove_all(two);
    fs::create_directories(two);
    Outcome before;
    {
      kztest::DebugCapture capture;
      before.setup = ExtractAttachmentToFile(true, installer.wstring(), "LOAD", (two / "setup.exe").wstring(), 0, 50);
      if (before.setup)
        before.bundle = ExtractAttachmentToFile(false, (two / "setup.exe").wstring(), "IBND",
                                                (two / "ibnd").wstring(), 50, 25);
      Collect(two, capture, &before);
    }
    for (bool oneProcessor : {false, true}) {
      SCOPED_TRACE(oneProcessor ? "one processor" : "every processor");
      fs::remove_all(one);
      fs::create_directories(one);
      Outcome after;
      {
        kztest::OneProcessor confined(oneProcessor);
        kztest::DebugCapture capture;
        InnerExtraction inner;
        after.setup = ExtractAttachmentPair(installer.wstring(), "LOAD", (one / "setup.exe").wstring(), 0, 50,
                                            "IBND", (one / "ibnd").wstring(), &inner);
        if (after.setup) after.bundle = FinishInnerExtraction(inner, 50, 25);
        Collect(one, capture, &after);
      }
      EXPECT_EQ(after.setup, before.setup);
      EXPECT_EQ(after.bundle, before.bundle);
      EXPECT_EQ(after.lines, before.lines);
      EXPECT_EQ(after.setupExists, before.setupExists);
      EXPECT_EQ(after.bundleExists, before.bundleExists);
      EXPECT_TRUE(after.setupBytes == before.setupBytes);
      EXPECT_TRUE(after.bundleBytes == before.bundleBytes);
      if (damage == 0) {
        EXPECT_TRUE(after.bundleBytes == bundle);
      }
    }
  }
}

}  // namespace

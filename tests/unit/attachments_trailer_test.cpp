// The chain's byte layout, scrambling, digest and backward walk.
#include "attachments/trailer.h"

#define CRYPTOPP_ENABLE_NAMESPACE_WEAK 1
#include <cryptopp/md5.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <map>

#include "packing/chain_writer.h"
#include "tests/support/test_support.h"

namespace {

std::vector<uint8_t> Chain(const std::vector<std::pair<std::string, std::string>>& records,
                           std::vector<uint8_t> prefix = {}) {
  std::vector<uint8_t> out = std::move(prefix);
  for (const auto& [type, payload] : records) {
    auto rec = MakeAttachment(type, reinterpret_cast<const uint8_t*>(payload.data()), payload.size());
    out.insert(out.end(), rec.begin(), rec.end());
  }
  return out;
}

// Walks an in-memory chain; counts reads and collects the types seen.
struct MemoryWalk {
  explicit MemoryWalk(const std::vector<uint8_t>& b) : bytes(b) {}
  const std::vector<uint8_t>& bytes;
  int reads = 0;
  std::vector<std::string> seen;
  WalkResult Run(int64_t end, const std::string& type) {
    return WalkChain(
        end, TypeCodeOf(type),
        [this](int64_t pos, uint8_t* out) {
          ++reads;
          if (pos < 0 || static_cast<uint64_t>(pos) + kTrailerSize > bytes.size()) return false;
          memcpy(out, bytes.data() + pos, kTrailerSize);
          return true;
        },
        [this](const AttachmentTrailer& t) { seen.push_back(TypeCodeText(t.typeCode).substr(0, 4)); });
  }
};

std::string Hex(const uint8_t* p, size_t n) {
  static const char* digits = "0123456789abcdef";
  std::string s;
  for (size_t i = 0; i < n; ++i) {
    s += digits[p[i] >> 4];
    s += digits[p[i] & 15];
  }
  return s;
}

TEST(AttachmentTrailer, RecordLayoutByteForByte) {
  const std::string payload = "hello";
  auto rec = MakeAttachment("LOAD", reinterpret_cast<const uint8_t*>(payload.data()), payload.size());
  ASSERT_EQ(rec.size(), 5u + 28u);
  for (size_t i = 0; i < 5; ++i) EXPECT_EQ(rec[i], static_cast<uint8_t>(payload[i] ^ 0xC6)) << i;
  // RFC 1321 digest of "hello", standard byte order.
  EXPECT_EQ(Hex(&rec[5], 16), "5d41402abc4b2a76b9719d911017c592");
  EXPECT_EQ(std::vector<uint8_t>(rec.begin() + 21, rec.end()),
            std::vector<uint8_t>({5, 0, 0, 0, 'L', 'O', 'A', 'D', 'A', 'B', 'D', '2'}));

  const AttachmentTrailer t = ParseTrailer(&rec[5]);
  EXPECT_EQ(t.payloadSize, 5u);
  EXPECT_EQ(t.typeCode, TypeCodeOf("LOAD"));
  EXPECT_EQ(t.typeCode & 0xFF, static_cast<uint32_t>('L'));
  EXPECT_EQ(t.magic, 0x32444241u);
  uint8_t again[28];
  SerializeTrailer(t, again);
  EXPECT_EQ(memcmp(again, &rec[5], 28), 0);

  EXPECT_TRUE(MakeAttachment("LOA", nullptr, 0).empty());
  EXPECT_TRUE(MakeAttachment("LOADS", nullptr, 0).empty());
  // The empty payload's digest is the MD5 of empty input.
  auto empty = MakeAttachment("TYPE", nullptr, 0);
  ASSERT_EQ(empty.size(), 28u);
  EXPECT_EQ(Hex(empty.data(), 16), "d41d8cd98f00b204e9800998ecf8427e");
}

TEST(AttachmentTrailer, DigestAndScramblingAgreeWithPython) {
  if (!kztest::kNative) GTEST_SKIP() << "python3 runs on the host only";
  kztest::TempDir dir;
  const auto payload = kztest::RandomBytes(300001, 5);
  auto rec = MakeAttachment("IBND", payload.data(), payload.size());
  kztest::WriteFileBytes(dir / "record", rec);
  // Python descrambles the stored bytes itself and hashes them.
  const std::string script = "import hashlib,sys\n"
                             "d=open(sys.argv[1],'rb').read()\n"
                             "p=bytes(b^0xC6 for b in d[:-28])\n"
                             "open(sys.argv[2],'w').write(hashlib.md5(p).hexdigest())\n";
  kztest::WriteFileText(dir / "md5.py", script);
  ASSERT_EQ(kztest::RunCommand("python3 '" + (dir / "md5.py").string() + "' '" + (dir / "record").string() + "' '" +
                               (dir / "out").string() + "'"),
            0);
  std::ifstream in(dir / "out");
  std::string pythonDigest;
  in >> pythonDigest;
  EXPECT_EQ(pythonDigest, Hex(&rec[payload.size()], 16));
}

// The digest's own block function against Crypto++'s MD5: lengths around
// the 56-byte padding edge and the 64-byte block, given whole and in uneven
// pieces.
TEST(AttachmentTrailer, DigestMatchesCryptoppMd5AtEveryBlockEdge) {
  const auto data = kztest::RandomBytes(3 * 64 + 9, 17);
  for (size_t size : {0u, 1u, 55u, 56u, 57u, 63u, 64u, 65u, 119u, 120u, 128u, 201u}) {
    uint8_t expected[16], whole[16], pieces[16];
    CryptoPP::Weak1::MD5().CalculateDigest(expected, data.data(), size);
    PayloadDigest digest;
    digest.Restart();
    digest.Update(data.data(), size);
    digest.Final(whole);
    digest.Restart();
    for (size_t at = 0, step = 1; at < size; at += step, step = step * 3 % 71 + 1)
      digest.Update(data.data() + at, std::min(step, size - at));
    digest.Final(pieces);
    EXPECT_EQ(Hex(expected, 16), Hex(whole, 16)) << size;
    EXPECT_EQ(Hex(expected, 16), Hex(pieces, 16)) << size;
  }
}

TEST(AttachmentTrailer, ScrambleIsOneByteXorInBothDirections) {
  std::vector<uint8_t> block(1100);
  for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<uint8_t>(i * 7);
  // Blocks of every length around the word steps, at odd alignments.
  for (size_t offset : {0u, 1u, 3u}) {
    for (size_t size : {0u, 1u, 7u, 31u, 32u, 33u, 64u, 1000u}) {
      auto work = block;
      ScrambleBytes(work.data() + offset, size);
      for (size_t i = 0; i < work.size(); ++i) {
        const bool inside = i >= offset && i < offset + size;
        ASSERT_EQ(work[i], static_cast<uint8_t>(inside ? block[i] ^ 0xC6 : block[i])) << offset << " " << size << " " << i;
      }
      ScrambleBytes(work.data() + offset, size);
      EXPECT_EQ(work, block);
    }
  }
}

TEST(AttachmentWalk, FindsTypesAndPassesTheFrontOfTheChain) {
  const auto bytes = Chain({{"_SG1", "one"}, {"_SG2", "two!"}, {"TYPE", "gui"}, {"LOAD", "setup bytes"}},
                           kztest::Bytes("junk in front of the chain, no magic here"));
  const int64_t end = static_cast<int64_t>(bytes.size());
  {
    MemoryWalk walk(bytes);
    auto r = walk.Run(end, "TYPE");
    ASSERT_EQ(r.outcome, WalkOutcome::kFound);
    EXPECT_EQ(r.trailer.payloadSize, 3u);
    EXPECT_EQ(std::string(bytes.begin() + r.payloadStart, bytes.begin() + r.payloadStart + 3),
              std::string({'g' ^ '\xC6', 'u' ^ '\xC6', 'i' ^ '\xC6'}));
    EXPECT_EQ(walk.seen, std::vector<std::string>({"LOAD", "TYPE"}));
  }
  {
    MemoryWalk walk(bytes);
    EXPECT_EQ(walk.Run(end, "IBND").outcome, WalkOutcome::kNotFound);
    EXPECT_EQ(walk.seen, std::vector<std::string>({"LOAD", "TYPE", "_SG2", "_SG1"}));
    EXPECT_EQ(walk.reads, 5);  // the fifth read meets bytes without the magic
  }
  {
    MemoryWalk walk(bytes);
    EXPECT_EQ(walk.Run(end, "load").outcome, WalkOutcome::kNotFound);  // case-sensitive
  }
  // Not a chain end: the bytes before it are no trailer.
  MemoryWalk shifted(bytes);
  EXPECT_EQ(shifted.Run(end - 1, "LOAD").outcome, WalkOutcome::kNotFound);
}

TEST(AttachmentWalk, LaterOfTwoSameTypeWinsAndChainAtOffsetZeroEnds) {
  const auto bytes = Chain({{"TYPE", "first"}, {"LOAD", "x"}, {"TYPE", "second"}});
  MemoryWalk walk(bytes);
  auto r = walk.Run(static_cast<int64_t>(bytes.size()), "TYPE");
  ASSERT_EQ(r.outcome, WalkOutcome::kFound);
  EXPECT_EQ(r.trailer.payloadSize, 6u);

  // The chain starts at offset 0: after the first record the next position is negative.
  MemoryWalk missing(bytes);
  EXPECT_EQ(missing.Run(static_cast<int64_t>(bytes.size()), "IBND").outcome, WalkOutcome::kNotFound);
  EXPECT_EQ(missing.reads, 3);
}

TEST(AttachmentWalk, EndsBelowOneTrailerAreNotFoundWithoutReading) {
  const auto bytes = Chain({{"TYPE", ""}});  // exactly 28 bytes
  for (int64_t end : {-1, 0, 27}) {
    MemoryWalk walk(bytes);
    EXPECT_EQ(walk.Run(end, "TYPE").outcome, WalkOutcome::kNotFound) << end;
    EXPECT_EQ(walk.reads, 0) << end;
  }
  MemoryWalk walk(bytes);
  auto r = walk.Run(28, "TYPE");
  EXPECT_EQ(r.outcome, WalkOutcome::kFound);  // a zero-byte payload at offset 0
  EXPECT_EQ(r.payloadStart, 0);
}

TEST(AttachmentWalk, PayloadSizesAtTheirLimitsNeverWrap) {
  // A trailer claiming more bytes than lie in front of it.
  for (uint32_t size : {41u, 0x7FFFFFFFu, 0x80000000u, 0xFFFFFFFFu}) {
    auto bytes = Chain({{"LOAD", std::string(40, 'p')}});
    for (int i = 0; i < 4; ++i) bytes[40 + 16 + i] = static_cast<uint8_t>(size >> (8 * i));
    MemoryWalk match(bytes);
    EXPECT_EQ(match.Run(static_cast<int64_t>(bytes.size()), "LOAD").outcome, WalkOutcome::kInvalidPosition) << size;
    MemoryWalk other(bytes);
    EXPECT_EQ(other.Run(static_cast<int64_t>(bytes.size()), "TYPE").outcome, WalkOutcome::kNotFound) << size;
    EXPECT_EQ(other.reads, 1) << size;
  }
  // Exactly as many bytes as stand in front: found at offset 0.
  auto bytes = Chain({{"LOAD", std::string(40, 'p')}});
  MemoryWalk exact(bytes);
  EXPECT_EQ(exact.Run(static_cast<int64_t>(bytes.size()), "LOAD").payloadStart, 0);
  // Ends far beyond 32 bits are walked in 64-bit arithmetic.
  MemoryWalk far(bytes);
  EXPECT_EQ(far.Run(int64_t{1} << 40, "LOAD").outcome, WalkOutcome::kHeaderReadFailure);
}

TEST(AttachmentWalk, UnreadableTrailerIsAHeaderReadFailure) {
  const auto bytes = Chain({{"_SG2", "sig"}, {"LOAD", "abc"}});
  // The end lies beyond the bytes that exist.
  MemoryWalk walk(bytes);
  EXPECT_EQ(walk.Run(static_cast<int64_t>(bytes.size()) + 10, "LOAD").outcome, WalkOutcome::kHeaderReadFailure);
}

}  // namespace

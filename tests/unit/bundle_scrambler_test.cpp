// The scrambler's table-driven loops against a byte-by-byte model written
// from the format's rule, over tables of several sizes, call sizes that cut
// groups of eight anywhere, and data whose bit 0 runs long in one value.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "bundle/scramble_table.h"
#include "bundle/scrambler.h"
#include "tests/support/test_support.h"

namespace {

// The rule as the format states it, one byte at a time.
struct ModelScrambler {
  const unsigned char* streams[4];
  uint32_t lengths[4];
  ScrambleState state;

  ModelScrambler(const unsigned char* table, size_t n) {
    const size_t q = n / 4;
    const size_t starts[4] = {2 * q, q, 3 * q, 0};
    const size_t sizes[4] = {q, q, n - 3 * q, q};
    for (int s = 0; s < 4; ++s) {
      streams[s] = table + starts[s];
      lengths[s] = static_cast<uint32_t>(sizes[s]);
    }
  }
  void Run(unsigned char* data, size_t size, bool xorBytes) {
    for (size_t i = 0; i < size; ++i) {
      state.index = (state.index + (data[i] & 1u)) % 4;
      uint32_t& counter = state.counters[state.index];
      if (xorBytes) data[i] ^= streams[state.index][counter] & 0xFE;
      counter = (counter + 1) % lengths[state.index];
    }
  }
};

// Bytes whose bit 0 follows `pattern`: 0 random, 1 all even, 2 all odd,
// 3 long runs of each.
std::vector<unsigned char> Data(size_t size, int pattern, uint32_t seed) {
  std::vector<uint8_t> bytes = kztest::RandomBytes(size, seed);
  for (size_t i = 0; i < size; ++i) {
    if (pattern == 1) bytes[i] &= 0xFE;
    if (pattern == 2) bytes[i] |= 0x01;
    if (pattern == 3) bytes[i] = static_cast<uint8_t>((bytes[i] & 0xFE) | ((i / 37) & 1));
  }
  return std::vector<unsigned char>(bytes.begin(), bytes.end());
}

// Cuts `size` bytes into calls of uneven lengths, some below eight, some long.
std::vector<size_t> Cuts(size_t size, uint32_t seed) {
  std::vector<uint8_t> r = kztest::RandomBytes(size, seed);
  std::vector<size_t> cuts;
  size_t done = 0, k = 0;
  while (done < size) {
    size_t n = r[k++ % r.size()] % 4 == 0 ? 1 + r[k++ % r.size()] * 37 : 1 + r[k++ % r.size()] % 13;
    if (n > size - done) n = size - done;
    cuts.push_back(n);
    done += n;
  }
  return cuts;
}

void ExpectSameAsModel(const unsigned char* table, size_t n, int pattern, uint32_t seed) {
  SCOPED_TRACE("table " + std::to_string(n) + " pattern " + std::to_string(pattern));
  const std::vector<unsigned char> plain = Data(20000, pattern, seed);
  Scrambler writer, reader, skipper;
  ASSERT_TRUE(writer.SetScrambleTable(table, n));
  ASSERT_TRUE(reader.SetScrambleTable(table, n));
  ASSERT_TRUE(skipper.SetScrambleTable(table, n));
  ModelScrambler model(table, n);

  std::vector<unsigned char> stored = plain, expected = plain;
  size_t at = 0;
  for (size_t cut : Cuts(plain.size(), seed + 1)) {
    writer.Scramble(stored.data() + at, cut);
    model.Run(expected.data() + at, cut, true);
    ASSERT_EQ(0, memcmp(expected.data() + at, stored.data() + at, cut)) << "at " << at;
    ASSERT_EQ(model.state, writer.state()) << "at " << at;
    at += cut;
  }
  std::vector<unsigned char> back = stored;
  at = 0;
  for (size_t cut : Cuts(plain.size(), seed + 2)) {
    reader.Descramble(back.data() + at, cut);
    skipper.Advance(stored.data() + at, cut);
    at += cut;
    ASSERT_EQ(reader.state(), skipper.state()) << "at " << at;
  }
  EXPECT_EQ(plain, back);
  EXPECT_EQ(model.state, reader.state());
}

// Both ways of running whole groups: the processor's byte shuffles (where
// it has them) and the portable loop.
TEST(BundleScramblerGroups, MatchTheByteRuleOnEveryTableSize) {
  const bool vector = Scrambler::UseVectorGroups();
  const std::vector<uint8_t> table = kztest::RandomBytes(1000, 99);
  for (bool use : {vector, false}) {
    SCOPED_TRACE(use ? "vector groups" : "portable groups");
    Scrambler::UseVectorGroups() = use;
    // Streams shorter than a group, one byte longer, and ordinary lengths.
    for (size_t n : {12, 13, 31, 36, 37, 41, 67, 1000}) {
      for (int pattern = 0; pattern < 4; ++pattern) ExpectSameAsModel(table.data(), n, pattern, 7 + pattern);
    }
    for (int pattern = 0; pattern < 4; ++pattern) ExpectSameAsModel(kScrambleTable, kScrambleTableSize, pattern, 3);
  }
  Scrambler::UseVectorGroups() = vector;
}

TEST(BundleScramblerGroups, ResumeFromARecordedStateMidStream) {
  // A chunk is read later from the state recorded at its first byte.
  const std::vector<unsigned char> plain = Data(9000, 0, 11);
  Scrambler writer;
  std::vector<unsigned char> stored = plain;
  writer.Scramble(stored.data(), 4321);
  const ScrambleState recorded = writer.state();
  writer.Scramble(stored.data() + 4321, stored.size() - 4321);

  Scrambler reader;
  reader.set_state(recorded);
  std::vector<unsigned char> tail(stored.begin() + 4321, stored.end());
  reader.Descramble(tail.data(), tail.size());
  EXPECT_TRUE(std::equal(tail.begin(), tail.end(), plain.begin() + 4321));
  EXPECT_EQ(writer.state(), reader.state());
}

}  // namespace

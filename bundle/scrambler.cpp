#include "bundle/scrambler.h"

#include <cstring>

#include "bundle/scramble_table.h"

namespace {

// Eight bytes at a time: bit 0 of each byte picks the stream, so the eight
// bits together with the stream index before them fix, for every byte, its
// stream and how many earlier bytes of the group went to the same stream.
// Both tables are built at compile time for every start index and bit mask.
struct GroupTables {
  // Byte k: stream (bits 0-1) | rank within the group << 2.
  uint64_t lanes[4][256];
  // Bytes per stream (4 bits each, stream 0 lowest), final index in bits 16-17.
  uint32_t counts[4][256];
};

constexpr GroupTables MakeGroupTables() {
  GroupTables t{};
  for (uint32_t start = 0; start < 4; ++start) {
    for (uint32_t mask = 0; mask < 256; ++mask) {
      uint32_t index = start;
      uint32_t seen[4] = {0, 0, 0, 0};
      uint64_t lanes = 0;
      for (uint32_t k = 0; k < 8; ++k) {
        index = (index + ((mask >> k) & 1u)) & 3u;
        lanes |= static_cast<uint64_t>(index | seen[index] << 2) << (8 * k);
        ++seen[index];
      }
      t.lanes[start][mask] = lanes;
      t.counts[start][mask] = seen[0] | seen[1] << 4 | seen[2] << 8 | seen[3] << 12 | index << 16;
    }
  }
  return t;
}

constexpr GroupTables kGroups = MakeGroupTables();

// Bit 0 of each of the eight bytes, byte k's bit in bit k.
inline uint32_t LowBits(uint64_t word) {
  return static_cast<uint32_t>(((word & 0x0101010101010101ull) * 0x0102040810204080ull) >> 56);
}

}  // namespace

Scrambler::Scrambler() { SetScrambleTable(kScrambleTable, kScrambleTableSize); }

bool Scrambler::SetScrambleTable(const unsigned char* table, size_t n) {
  if (table == nullptr || n < 12 || n > 0xFFFFFFFFu) return false;
  size_t q = n / 4;
  streams_[0] = table + 2 * q;
  lengths_[0] = static_cast<uint32_t>(q);
  streams_[1] = table + q;
  lengths_[1] = static_cast<uint32_t>(q);
  streams_[2] = table + 3 * q;
  lengths_[2] = static_cast<uint32_t>(n - 3 * q);
  streams_[3] = table;
  lengths_[3] = static_cast<uint32_t>(q);
  state_ = ScrambleState();
  return true;
}

// Groups of eight bytes that can run without a counter wrapping: every
// counter stays at least 8 below its stream's length before each group.
size_t Scrambler::SafeGroups() const {
  uint32_t room = 0xFFFFFFFFu;
  for (int s = 0; s < 4; ++s) {
    const uint32_t left = state_.counters[s] < lengths_[s] ? lengths_[s] - state_.counters[s] : 0;
    if (left < room) room = left;
  }
  return room / 8;
}

// One byte at a time: the stream index moves on by bit 0 of the byte (the
// same stored and plain), the byte is XORed with the stream's next table
// byte without its bit 0 (when `xorBytes`), and that stream's counter moves.
void Scrambler::StepBytes(unsigned char* data, size_t size, bool xorBytes) {
  uint32_t index = state_.index;
  for (size_t i = 0; i < size; ++i) {
    const unsigned char b = data[i];
    index = (index + (b & 1u)) & 3u;
    uint32_t& counter = state_.counters[index];
    if (counter >= lengths_[index]) counter %= lengths_[index];
    if (xorBytes) data[i] = static_cast<unsigned char>(b ^ (streams_[index][counter] & 0xFEu));
    if (++counter == lengths_[index]) counter = 0;
  }
  state_.index = index;
}

// The loops run over every byte of a bundle, several times per installation:
// whole groups of eight bytes go through the tables, the rest and the groups
// where a counter wraps go byte by byte. Both ways give the same bytes and
// the same state.
void Scrambler::Transform(unsigned char* data, size_t size, bool xorBytes) {
  size_t i = 0;
  while (size - i >= 8) {
    size_t groups = SafeGroups();
    if (groups == 0) {
      StepBytes(data + i, 8, xorBytes);
      i += 8;
      continue;
    }
    if (groups > (size - i) / 8) groups = (size - i) / 8;
    uint32_t index = state_.index;
    uint32_t c0 = state_.counters[0], c1 = state_.counters[1], c2 = state_.counters[2], c3 = state_.counters[3];
    for (size_t g = 0; g < groups; ++g, i += 8) {
      uint64_t word;
      memcpy(&word, data + i, 8);
      const uint32_t mask = LowBits(word);
      if (xorBytes) {
        const unsigned char* at[4] = {streams_[0] + c0, streams_[1] + c1, streams_[2] + c2, streams_[3] + c3};
        uint64_t lanes = kGroups.lanes[index][mask];
        uint64_t key = 0;
        for (int k = 0; k < 8; ++k, lanes >>= 8) {
          const uint32_t lane = static_cast<uint32_t>(lanes) & 0xFFu;
          key |= static_cast<uint64_t>(at[lane & 3u][lane >> 2]) << (8 * k);
        }
        word ^= key & 0xFEFEFEFEFEFEFEFEull;
        memcpy(data + i, &word, 8);
      }
      const uint32_t counts = kGroups.counts[index][mask];
      c0 += counts & 0xFu;
      c1 += (counts >> 4) & 0xFu;
      c2 += (counts >> 8) & 0xFu;
      c3 += (counts >> 12) & 0xFu;
      index = counts >> 16;
    }
    // A counter that reached its stream's length starts again at 0.
    state_.counters[0] = c0 == lengths_[0] ? 0 : c0;
    state_.counters[1] = c1 == lengths_[1] ? 0 : c1;
    state_.counters[2] = c2 == lengths_[2] ? 0 : c2;
    state_.counters[3] = c3 == lengths_[3] ? 0 : c3;
    state_.index = index;
  }
  StepBytes(data + i, size - i, xorBytes);
}

void Scrambler::Descramble(unsigned char* data, size_t size) { Transform(data, size, true); }

void Scrambler::Advance(const unsigned char* data, size_t size) {
  // Only reads: the bytes are not changed when xorBytes is false.
  Transform(const_cast<unsigned char*>(data), size, false);
}

// Bit 0 is the same plain and stored, so scrambling is the same XOR.
void Scrambler::Scramble(unsigned char* data, size_t size) { Transform(data, size, true); }

#include "bundle/scrambler.h"

#include <cstring>
#include <new>

#include "bundle/scramble_table.h"

#if defined(__i386__) || defined(__x86_64__)
#include <immintrin.h>
#define KZ_VECTOR_GROUPS 1
#endif

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

// The same for byte shuffles: the next eight table bytes of streams 0 and 1
// lie in one 16-byte register, those of 2 and 3 in another; byte k of the
// key comes from the first (bytes 0-7 of an entry) or the second (bytes
// 8-15), 0x80 marking the register it does not come from.
struct ShuffleTables {
  unsigned char pick[4][256][16];
};

// Filled at first use, not at build time: Stub.exe is part of every download.
void FillShuffleTables(ShuffleTables& t) {
  for (uint32_t start = 0; start < 4; ++start) {
    for (uint32_t mask = 0; mask < 256; ++mask) {
      uint64_t lanes = kGroups.lanes[start][mask];
      for (int k = 0; k < 8; ++k, lanes >>= 8) {
        const uint32_t stream = lanes & 3u, rank = (lanes & 0xFFu) >> 2;
        const unsigned char at = static_cast<unsigned char>((stream & 1u) * 8 + rank);
        t.pick[start][mask][k] = stream < 2 ? at : 0x80;
        t.pick[start][mask][8 + k] = stream < 2 ? 0x80 : at;
      }
    }
  }
}

// Bit 0 of each of the eight bytes, byte k's bit in bit k.
inline uint32_t LowBits(uint64_t word) {
  return static_cast<uint32_t>(((word & 0x0101010101010101ull) * 0x0102040810204080ull) >> 56);
}

// After a group with these eight bits: each stream's counter and the index.
// The index comes from the bits alone (their count, from the table for start
// 0), not from the load that depends on the index before it: the next
// group's lookups can start before this group's counts have arrived.
inline void CountGroup(uint32_t mask, uint32_t& at, uint32_t& c0, uint32_t& c1, uint32_t& c2, uint32_t& c3) {
  const uint32_t counts = kGroups.counts[at][mask];
  c0 += counts & 0xFu;
  c1 += (counts >> 4) & 0xFu;
  c2 += (counts >> 8) & 0xFu;
  c3 += (counts >> 12) & 0xFu;
  at = (at + (kGroups.counts[0][mask] >> 16)) & 3u;
}

// Whole groups with the portable tables; `c` and `index` move on.
void ScalarGroups(unsigned char* data, size_t groups, bool xorBytes, const unsigned char* const streams[4],
                  uint32_t* index, uint32_t c[4]) {
  uint32_t at = *index, c0 = c[0], c1 = c[1], c2 = c[2], c3 = c[3];
  for (size_t g = 0; g < groups; ++g, data += 8) {
    uint64_t word;
    memcpy(&word, data, 8);
    const uint32_t mask = LowBits(word);
    if (xorBytes) {
      const unsigned char* from[4] = {streams[0] + c0, streams[1] + c1, streams[2] + c2, streams[3] + c3};
      uint64_t lanes = kGroups.lanes[at][mask];
      uint64_t key = 0;
      for (int k = 0; k < 8; ++k, lanes >>= 8) {
        const uint32_t lane = static_cast<uint32_t>(lanes) & 0xFFu;
        key |= static_cast<uint64_t>(from[lane & 3u][lane >> 2]) << (8 * k);
      }
      word ^= key & 0xFEFEFEFEFEFEFEFEull;
      memcpy(data, &word, 8);
    }
    CountGroup(mask, at, c0, c1, c2, c3);
  }
  *index = at;
  c[0] = c0, c[1] = c1, c[2] = c2, c[3] = c3;
}

#if KZ_VECTOR_GROUPS
// Made by UseVectorGroups' first call, on the heap: a zero-filled global
// would still take its 16 KiB in the file with mingw's data sections.
const ShuffleTables* shuffles = nullptr;

// The same with SSSE3, which every x86 processor since about 2008 has: the
// eight bits from one shift and byte-mask, the key from two byte shuffles
// instead of eight loads and shifts. About half the work per byte, and the
// 32-bit build needs no 64-bit arithmetic.
__attribute__((target("ssse3"))) void VectorGroups(unsigned char* data, size_t groups, bool xorBytes,
                                                   const unsigned char* const streams[4], uint32_t* index,
                                                   uint32_t c[4]) {
  uint32_t at = *index, c0 = c[0], c1 = c[1], c2 = c[2], c3 = c[3];
  const __m128i keep = _mm_set1_epi8(static_cast<char>(0xFE));
  for (size_t g = 0; g < groups; ++g, data += 8) {
    const __m128i word = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(data));
    const uint32_t mask = static_cast<uint32_t>(_mm_movemask_epi8(_mm_slli_epi64(word, 7))) & 0xFFu;
    if (xorBytes) {
      const __m128i first = _mm_unpacklo_epi64(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(streams[0] + c0)),
                                               _mm_loadl_epi64(reinterpret_cast<const __m128i*>(streams[1] + c1)));
      const __m128i second = _mm_unpacklo_epi64(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(streams[2] + c2)),
                                                _mm_loadl_epi64(reinterpret_cast<const __m128i*>(streams[3] + c3)));
      const __m128i pick = _mm_loadu_si128(reinterpret_cast<const __m128i*>(shuffles->pick[at][mask]));
      const __m128i key = _mm_or_si128(_mm_shuffle_epi8(first, pick),
                                       _mm_shuffle_epi8(second, _mm_unpackhi_epi64(pick, pick)));
      _mm_storel_epi64(reinterpret_cast<__m128i*>(data), _mm_xor_si128(word, _mm_and_si128(key, keep)));
    }
    CountGroup(mask, at, c0, c1, c2, c3);
  }
  *index = at;
  c[0] = c0, c[1] = c1, c[2] = c2, c[3] = c3;
}

bool PrepareVectorGroups() {
  __builtin_cpu_init();
  if (!__builtin_cpu_supports("ssse3")) return false;
  auto* tables = new (std::nothrow) ShuffleTables;
  if (!tables) return false;
  FillShuffleTables(*tables);
  shuffles = tables;
  return true;
}
#endif

// The built-in table's streams, each followed by its own first eight bytes
// again, so that a group that passes a stream's end reads on from its start:
// without them such a group (a few in every hundred) goes byte by byte.
// Made at first use, on the heap; null without memory (the byte-by-byte way
// covers it, as it covers other tables).
struct PaddedStreams {
  const unsigned char* start[4];
};

const PaddedStreams* MakeBuiltInPadded(const unsigned char* const streams[4], const uint32_t lengths[4]) {
  size_t total = 0;
  for (int s = 0; s < 4; ++s) total += lengths[s] + 8;
  auto* padded = new (std::nothrow) PaddedStreams;
  auto* bytes = new (std::nothrow) unsigned char[total];
  if (padded == nullptr || bytes == nullptr) {
    delete padded;
    delete[] bytes;
    return nullptr;
  }
  for (int s = 0; s < 4; ++s) {
    memcpy(bytes, streams[s], lengths[s]);
    memcpy(bytes + lengths[s], streams[s], 8);
    padded->start[s] = bytes;
    bytes += lengths[s] + 8;
  }
  return padded;
}

}  // namespace

bool& Scrambler::UseVectorGroups() {
#if KZ_VECTOR_GROUPS
  static bool use = PrepareVectorGroups();
#else
  static bool use = false;
#endif
  return use;
}

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
  padded_ = nullptr;
  if (table == kScrambleTable && n == kScrambleTableSize) {
    static const PaddedStreams* const builtIn = MakeBuiltInPadded(streams_, lengths_);
    if (builtIn) padded_ = builtIn->start;
  }
  state_ = ScrambleState();
  return true;
}

// Groups of eight bytes that can run before a counter must start again at 0.
// Without padded streams every counter stays at least 8 below its stream's
// length before each group. With them a group may pass a stream's end (it
// reads on into the padding) as long as every counter starts it below its
// length: at least one group whenever the counters are in range.
size_t Scrambler::SafeGroups() const {
  uint32_t room = 0xFFFFFFFFu;
  for (int s = 0; s < 4; ++s) {
    const uint32_t left = state_.counters[s] < lengths_[s] ? lengths_[s] - state_.counters[s] : 0;
    if (left < room) room = left;
  }
  if (padded_ == nullptr) return room / 8;
  return room == 0 ? 0 : (room + 7) / 8;
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
  const unsigned char* const* streams = padded_ ? padded_ : streams_;
  while (size - i >= 8) {
    size_t groups = SafeGroups();
    if (groups == 0) {
      StepBytes(data + i, 8, xorBytes);
      i += 8;
      continue;
    }
    if (groups > (size - i) / 8) groups = (size - i) / 8;
    uint32_t index = state_.index;
    uint32_t c[4] = {state_.counters[0], state_.counters[1], state_.counters[2], state_.counters[3]};
#if KZ_VECTOR_GROUPS
    if (UseVectorGroups())
      VectorGroups(data + i, groups, xorBytes, streams, &index, c);
    else
#endif
      ScalarGroups(data + i, groups, xorBytes, streams, &index, c);
    i += groups * 8;
    // A counter that reached or passed its stream's length starts again
    // from 0 (by less than one group, so one subtraction does it).
    for (int s = 0; s < 4; ++s) state_.counters[s] = c[s] >= lengths_[s] ? c[s] - lengths_[s] : c[s];
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

// The table-keyed byte scrambler of the bundle entry stream. The table is cut
// into four streams; bit 0 of every byte (the same stored and plain) selects
// the next stream, so the state at a byte depends on every byte before it.
#pragma once

#include <cstddef>
#include <cstdint>

struct ScrambleState {
  uint32_t index = 0;
  uint32_t counters[4] = {0, 0, 0, 0};
  bool operator==(const ScrambleState& o) const {
    return index == o.index && counters[0] == o.counters[0] && counters[1] == o.counters[1] &&
           counters[2] == o.counters[2] && counters[3] == o.counters[3];
  }
  bool operator!=(const ScrambleState& o) const { return !(*this == o); }
};

class Scrambler {
 public:
  // Uses the built-in table.
  Scrambler();
  // Splits a table of n >= 12 bytes into the four streams: [2q,3q), [q,2q),
  // [3q,n), [0,q) with q = n / 4. The table must outlive the scrambler.
  // Returns false (and changes nothing) for a shorter table.
  bool SetScrambleTable(const unsigned char* table, size_t n);

  void Reset() { state_ = ScrambleState(); }
  const ScrambleState& state() const { return state_; }
  void set_state(const ScrambleState& state) { state_ = state; }

  // Reading: stored bytes in place become plain bytes.
  void Descramble(unsigned char* data, size_t size);
  // Reading without looking: the state moves as Descramble would move it.
  void Advance(const unsigned char* data, size_t size);
  // Writing: plain bytes in place become stored bytes.
  void Scramble(unsigned char* data, size_t size);

  // Whether whole groups of eight bytes take the processor's byte shuffles
  // (x86 with SSSE3, detected once) or the portable loop; both give the
  // same bytes and state. Tests switch it to cover both.
  static bool& UseVectorGroups();

 private:
  // The one loop behind all three; the bytes change only with `xorBytes`.
  void Transform(unsigned char* data, size_t size, bool xorBytes);
  void StepBytes(unsigned char* data, size_t size, bool xorBytes);
  size_t SafeGroups() const;

  const unsigned char* streams_[4];
  uint32_t lengths_[4];
  // The built-in table's streams with padding after each (null for other
  // tables, or without memory for them): see SafeGroups.
  const unsigned char* const* padded_ = nullptr;
  ScrambleState state_;
};

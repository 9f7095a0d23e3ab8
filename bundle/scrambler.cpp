#include "bundle/scrambler.h"

#include "bundle/scramble_table.h"

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

// The three loops keep the state in locals: they run over every byte of a
// bundle, several times per installation.
void Scrambler::Descramble(unsigned char* data, size_t size) {
  uint32_t index = state_.index;
  for (size_t i = 0; i < size; ++i) {
    unsigned char s = data[i];
    index = (index + (s & 1u)) & 3u;
    uint32_t& counter = state_.counters[index];
    data[i] = static_cast<unsigned char>(s ^ (streams_[index][counter] & 0xFEu));
    if (++counter == lengths_[index]) counter = 0;
  }
  state_.index = index;
}

void Scrambler::Advance(const unsigned char* data, size_t size) {
  uint32_t index = state_.index;
  for (size_t i = 0; i < size; ++i) {
    index = (index + (data[i] & 1u)) & 3u;
    uint32_t& counter = state_.counters[index];
    if (++counter == lengths_[index]) counter = 0;
  }
  state_.index = index;
}

void Scrambler::Scramble(unsigned char* data, size_t size) {
  uint32_t index = state_.index;
  for (size_t i = 0; i < size; ++i) {
    unsigned char p = data[i];
    index = (index + (p & 1u)) & 3u;
    uint32_t& counter = state_.counters[index];
    data[i] = static_cast<unsigned char>(p ^ (streams_[index][counter] & 0xFEu));
    if (++counter == lengths_[index]) counter = 0;
  }
  state_.index = index;
}

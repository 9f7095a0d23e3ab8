// The scramble table built into the installer and the tools.
#pragma once

#include <cstddef>

constexpr size_t kScrambleTableSize = 5000;
extern const unsigned char kScrambleTable[kScrambleTableSize];

// Trimming of the run type and of script lines: a byte counts as blank when,
// taken as a signed 8-bit value, it is not greater than 0x20 - so control
// bytes and every byte from 0x80 to 0xFF go along with blanks.
#pragma once

#include <string>

inline bool IsTrimmedByte(char c) { return static_cast<signed char>(c) <= 0x20; }

// Removes trailing blank bytes in place.
void TrimEnd(std::string* text);
// Removes leading blank bytes in place.
void TrimFront(std::string* text);

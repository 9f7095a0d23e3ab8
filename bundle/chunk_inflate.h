// Inflating one bundle chunk: a complete zlib stream of known size.
#pragma once

#include <cstdint>

// Inflates `storedSize` bytes into exactly `originalSize` bytes at `out`.
// Only the zlib format is accepted. A stream that does not end, carries a
// preset dictionary, would need more room, or ends short of `originalSize`
// fails: a short chunk would otherwise hand out bytes that were never
// written.
bool InflateChunk(const unsigned char* stored, uint32_t storedSize, unsigned char* out, uint32_t originalSize);

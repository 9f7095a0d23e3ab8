// Inflating one bundle chunk: a complete zlib stream of known size.
#pragma once

#include <cstdint>

// Inflates `storedSize` bytes into exactly `originalSize` bytes at `out`.
// Accepts exactly what zlib's one-shot `uncompress` accepts into a buffer of
// `originalSize` bytes (bytes after the stream's end are ignored there too),
// and produces the same bytes. A stream that does not end, carries a preset
// dictionary, would need more room, or ends short of `originalSize` fails: a
// short chunk would otherwise hand out bytes that were never written.
// Safe to call from several threads at once.
bool InflateChunk(const unsigned char* stored, uint32_t storedSize, unsigned char* out, uint32_t originalSize);

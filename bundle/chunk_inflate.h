// Inflating one bundle chunk: a complete zlib stream of known size.
#pragma once

#include <cstdint>

// Inflates `storedSize` bytes into exactly `originalSize` bytes at `out`.
// Takes what zlib's one-shot `uncompress` takes into a buffer of
// `originalSize` bytes (bytes after the stream's end are ignored, as there),
// with the same bytes out. A stream that does not end, carries a preset
// dictionary, would need more room, or ends short of `originalSize` fails: a
// short chunk would otherwise hand out bytes that were never written.
// libdeflate does the work; it also takes a few malformed streams that zlib
// refuses (a static block using length symbols 286-287 or distance codes
// 30-31, more than 286/30 code lengths, a code-length repeat past the end,
// an incomplete code) when their check value matches its reading of them.
// No deflate writer makes such streams, and a bundle's chunks are inflated
// only after its signature has verified. Safe to call from several threads.
bool InflateChunk(const unsigned char* stored, uint32_t storedSize, unsigned char* out, uint32_t originalSize);

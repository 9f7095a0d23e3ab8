// Inflating one bundle chunk: a complete zlib stream of known size.
#pragma once

#include <cstdint>

// Inflates `storedSize` bytes into exactly `originalSize` bytes at `out`.
// Takes what zlib's one-shot `uncompress` takes into a buffer of
// `originalSize` bytes (bytes after the stream's end are ignored, as there),
// with the same bytes out. A stream that does not end, carries a preset
// dictionary, would need more room, or ends short of `originalSize` fails: a
// short chunk would otherwise hand out bytes that were never written.
// libdeflate does the work, built with a patch (cmake/) that makes it refuse
// every stream zlib refuses; what it then refuses too (static blocks,
// incomplete codes) zlib decides. Safe to call from several threads.
bool InflateChunk(const unsigned char* stored, uint32_t storedSize, unsigned char* out, uint32_t originalSize);

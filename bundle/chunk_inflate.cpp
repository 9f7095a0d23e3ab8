#include "bundle/chunk_inflate.h"

#include <zlib.h>

bool InflateChunk(const unsigned char* stored, uint32_t storedSize, unsigned char* out, uint32_t originalSize) {
  // uncompress needs a non-null destination even for an empty chunk.
  unsigned char dummy = 0;
  uLongf outLength = originalSize;
  int rc = uncompress(originalSize ? out : &dummy, &outLength, stored, storedSize);
  return rc == Z_OK && outLength == originalSize;
}

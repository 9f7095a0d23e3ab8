#include "bundle/chunk_inflate.h"

#include <libdeflate.h>
#include <zlib.h>

namespace {

// The reference: zlib's uncompress. It runs only where libdeflate refused a
// stream, which a good bundle never has.
bool ZlibInflate(const unsigned char* stored, uint32_t storedSize, unsigned char* out, uint32_t originalSize) {
  // uncompress needs a non-null destination even for an empty chunk.
  unsigned char dummy = 0;
  uLongf outLength = originalSize;
  const int rc = uncompress(originalSize ? out : &dummy, &outLength, stored, storedSize);
  return rc == Z_OK && outLength == originalSize;
}

}  // namespace

bool InflateChunk(const unsigned char* stored, uint32_t storedSize, unsigned char* out, uint32_t originalSize) {
  // libdeflate inflates the same streams two to three times as fast. Where
  // it refuses one, zlib decides: some streams zlib takes (an incomplete
  // distance code, for one) libdeflate does not.
  libdeflate_decompressor* decompressor = libdeflate_alloc_decompressor();
  if (decompressor == nullptr) return ZlibInflate(stored, storedSize, out, originalSize);
  size_t used = 0, produced = 0;
  const libdeflate_result result =
      libdeflate_zlib_decompress_ex(decompressor, stored, storedSize, out, originalSize, &used, &produced);
  libdeflate_free_decompressor(decompressor);
  if (result == LIBDEFLATE_SUCCESS) return produced == originalSize;
  return ZlibInflate(stored, storedSize, out, originalSize);
}

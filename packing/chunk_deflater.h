// Compresses one bundle chunk into a zlib stream (RFC 1950) at a level 0-9:
// the very bytes zlib's compress2 makes, so the thread count never changes a
// bundle. One deflater per thread: it keeps zlib's working memory between
// chunks instead of setting it up for each one.
#pragma once

#include <cstddef>
#include <memory>

class ChunkDeflater {
 public:
  explicit ChunkDeflater(int level);
  ~ChunkDeflater();
  ChunkDeflater(const ChunkDeflater&) = delete;
  ChunkDeflater& operator=(const ChunkDeflater&) = delete;

  // The most bytes Deflate writes for `size` input bytes.
  static size_t Bound(size_t size);
  // Writes the stream to `out` (at least Bound(size) bytes); false on failure.
  bool Deflate(const unsigned char* data, size_t size, unsigned char* out, size_t* outSize);

 private:
  struct Stream;
  std::unique_ptr<Stream> stream_;
};

// Compresses one bundle chunk into a zlib stream (RFC 1950) at a level 0-12:
// 0-9 as zlib's, 10-12 libdeflate's stronger searches (slower to write, as
// quick to inflate). libdeflate's compressor at that level: zlib's uncompress
// takes its streams, and on text, code and binaries they come out smaller
// than zlib's own in a fraction of the time; where libdeflate can fall
// behind, zlib runs too, at 9 for the levels above (see the .cpp; one known
// gap: highly redundant text at levels 3 and 6). A chunk that does not
// compress is stored (deflate's stored blocks), which is smaller than what
// zlib makes of it; the test for that looks at a few samples first, so
// random data costs little. The result depends on the chunk alone, so the
// thread count never changes a bundle.
// One deflater per thread: it keeps the compressor's working memory.
#pragma once

#include <cstddef>
#include <memory>

// The strongest level; zlib's own end at 9.
constexpr int kMaxDeflateLevel = 12;

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
  struct Compressors;
  std::unique_ptr<Compressors> compressors_;
};

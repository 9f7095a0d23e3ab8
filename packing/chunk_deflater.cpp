#include "packing/chunk_deflater.h"

#include <libdeflate.h>
#include <zlib.h>

#include <cstdint>
#include <cstring>
#include <vector>

namespace {
// Whether a chunk is worth compressing is decided in two looks. First the
// byte counts of every region: skewed counts (text, code, runs) are what
// Huffman coding gains on. Then samples as long as deflate's window, spread
// over the chunk, for repeats.
constexpr size_t kRegionSize = 16 * 1024;
constexpr size_t kSampleSize = 32 * 1024;
constexpr size_t kSamples = 4;
// Where libdeflate can fall behind zlib, zlib compresses the chunk too and
// the smaller stream wins: small chunks (a file's last one, tiny chunk
// sizes; libdeflate stores the tiniest inputs) and chunks that shrink to
// less than a quarter (markup, logs, repeated records), where zlib's longer
// match search finds up to twice the savings. Text, code and binaries, which
// shrink less, come out smaller from libdeflate in a fraction of the time.
constexpr size_t kBothBelow = 64 * 1024;
constexpr size_t kRedundantRatio = 4;

// True when the byte counts of some region are far from even: 256 * sum(c^2)
// above 1.05 * n^2 (random bytes give about 1 + 255 / n, text 10 or more).
// Integer arithmetic, so the verdict is the same on every platform.
bool SomeRegionSkewed(const unsigned char* data, size_t size) {
  for (size_t start = 0; start < size; start += kRegionSize) {
    const size_t n = size - start < kRegionSize ? size - start : kRegionSize;
    uint32_t counts[256] = {};
    for (size_t i = 0; i < n; ++i) ++counts[data[start + i]];
    uint64_t squares = 0;
    for (uint32_t c : counts) squares += static_cast<uint64_t>(c) * c;
    if (256 * 20 * squares > 21 * static_cast<uint64_t>(n) * n) return true;
  }
  return false;
}

struct CompressorFree {
  void operator()(libdeflate_compressor* c) const { libdeflate_free_compressor(c); }
};
using Compressor = std::unique_ptr<libdeflate_compressor, CompressorFree>;
}  // namespace

struct ChunkDeflater::Compressors {
  int level = 0;
  Compressor chosen;   // the level asked for
  Compressor fastest;  // level 1: the samples
  Compressor stored;   // level 0: stored blocks only
  z_stream zlib{};     // small chunks (its level 9 above 9)
  bool zlibReady = false;
  std::vector<unsigned char> zlibOut;
  ~Compressors() {
    if (zlibReady) deflateEnd(&zlib);
  }
};

ChunkDeflater::ChunkDeflater(int level) : compressors_(new Compressors) {
  compressors_->level = level;
  if (level < 0 || level > kMaxDeflateLevel) return;
  compressors_->chosen.reset(libdeflate_alloc_compressor(level));
  compressors_->fastest.reset(libdeflate_alloc_compressor(1));
  compressors_->stored.reset(libdeflate_alloc_compressor(0));
  const int zlibLevel = level < Z_BEST_COMPRESSION ? level : Z_BEST_COMPRESSION;
  compressors_->zlibReady = deflateInit(&compressors_->zlib, zlibLevel) == Z_OK;
}

ChunkDeflater::~ChunkDeflater() = default;

// zlib's bound is the larger one for every size (libdeflate's adds room for
// its own block splitting); callers size their buffers by it.
size_t ChunkDeflater::Bound(size_t size) {
  const size_t zlibs = compressBound(static_cast<uLong>(size));
  const size_t ours = libdeflate_zlib_compress_bound(nullptr, size);
  return zlibs > ours ? zlibs : ours;
}

bool ChunkDeflater::Deflate(const unsigned char* data, size_t size, unsigned char* out, size_t* outSize) {
  Compressors& c = *compressors_;
  if (!c.chosen || !c.fastest || !c.stored || !c.zlibReady) return false;
  libdeflate_compressor* use = c.chosen.get();
  // Level 1 stores a sample exactly when no deflate block would be smaller
  // (the stored form of n bytes in one block is n + 11 bytes in zlib form).
  // Even counts everywhere and no repeat in any sample: the chunk is stored
  // without trying the level asked for, whose search would find nothing.
  if (c.level > 0 && size >= kSamples * kSampleSize && !SomeRegionSkewed(data, size)) {
    unsigned char sample[kSampleSize + 64];
    bool compressible = false;
    for (size_t k = 0; k < kSamples && !compressible; ++k) {
      const size_t offset = (size - kSampleSize) / (kSamples - 1) * k;
      const size_t n = libdeflate_zlib_compress(c.fastest.get(), data + offset, kSampleSize, sample, sizeof sample);
      compressible = n != 0 && n < kSampleSize + 11;
    }
    if (!compressible) use = c.stored.get();
  }
  const size_t n = libdeflate_zlib_compress(use, data, size, out, Bound(size));
  if (n == 0) return false;
  *outSize = n;
  if (size >= kBothBelow && n * kRedundantRatio >= size) return true;
  c.zlibOut.resize(compressBound(static_cast<uLong>(size)));
  z_stream& z = c.zlib;
  if (deflateReset(&z) != Z_OK) return false;
  z.next_in = const_cast<unsigned char*>(data);
  z.avail_in = static_cast<uInt>(size);
  z.next_out = c.zlibOut.data();
  z.avail_out = static_cast<uInt>(c.zlibOut.size());
  if (deflate(&z, Z_FINISH) != Z_STREAM_END) return false;
  if (z.total_out < n) {
    memcpy(out, c.zlibOut.data(), z.total_out);
    *outSize = z.total_out;
  }
  return true;
}

#include "packing/chunk_deflater.h"

#include <zlib.h>

struct ChunkDeflater::Stream {
  z_stream z{};
  bool ready = false;
};

// compress2's settings: a 32 KiB window, memory level 8, default strategy.
ChunkDeflater::ChunkDeflater(int level) : stream_(new Stream) {
  stream_->ready = deflateInit(&stream_->z, level) == Z_OK;
}

ChunkDeflater::~ChunkDeflater() {
  if (stream_->ready) deflateEnd(&stream_->z);
}

size_t ChunkDeflater::Bound(size_t size) { return compressBound(static_cast<uLong>(size)); }

bool ChunkDeflater::Deflate(const unsigned char* data, size_t size, unsigned char* out, size_t* outSize) {
  z_stream& z = stream_->z;
  if (!stream_->ready || deflateReset(&z) != Z_OK) return false;
  // Chunks are at most 25 MiB: one call takes them whole.
  z.next_in = const_cast<unsigned char*>(data);
  z.avail_in = static_cast<uInt>(size);
  z.next_out = out;
  z.avail_out = static_cast<uInt>(Bound(size));
  if (deflate(&z, Z_FINISH) != Z_STREAM_END) return false;
  *outSize = z.total_out;
  return true;
}

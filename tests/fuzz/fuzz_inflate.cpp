// Holds InflateChunk to zlib's uncompress for every input: the same verdict
// and, when both accept, the same bytes.
//
// Selector bit 7 clear: the rest is the stream itself; bits 0-3 and the next
// two bytes give the destination size. With bit 6 set as well, the stream
// gets a valid header and, behind the deflate data as libdeflate reads it,
// the Adler-32 of what libdeflate makes of it, as a deliberate forger would
// write it: without that, a stream read differently by the two could almost
// never pass the check value.
// Selector bit 7 set: the rest (after 4 control bytes) is deflated here first,
// as zlib, raw deflate or gzip, with or without a preset dictionary, at a
// level and strategy of the control bytes (Z_FIXED gives static blocks), then
// one byte of the stream is XORed and trailing bytes may follow; the
// destination is the plain size, one less or one more. Streams close to
// valid ones reach the block decoders that random bytes never pass.
#include <libdeflate.h>
#include <zlib.h>

#include <cstdlib>
#include <cstring>
#include <vector>

#include "bundle/chunk_inflate.h"

namespace {

using Bytes = std::vector<unsigned char>;

bool Reference(const Bytes& stream, unsigned char* out, uint32_t originalSize) {
  unsigned char dummy = 0;
  uLongf outLength = originalSize;
  const unsigned char* in = stream.empty() ? &dummy : stream.data();
  return uncompress(originalSize ? out : &dummy, &outLength, in, static_cast<uLong>(stream.size())) == Z_OK &&
         outLength == originalSize;
}

Bytes Deflate(const unsigned char* plain, size_t size, uint8_t c0, uint8_t c1) {
  static const int kWindowBits[4] = {15, 15, -15, 31};  // zlib twice, raw, gzip
  static const int kStrategies[5] = {Z_DEFAULT_STRATEGY, Z_FILTERED, Z_HUFFMAN_ONLY, Z_RLE, Z_FIXED};
  z_stream z{};
  if (deflateInit2(&z, c0 % 10, Z_DEFLATED, kWindowBits[(c0 >> 4) & 3], 1 + (c1 & 7), kStrategies[(c1 >> 3) % 5]) !=
      Z_OK)
    return Bytes();
  if ((c0 & 0x40) && kWindowBits[(c0 >> 4) & 3] == 15) {
    static const unsigned char kDictionary[] = "install_script dep setup.exe";
    deflateSetDictionary(&z, kDictionary, sizeof kDictionary - 1);
  }
  Bytes out(deflateBound(&z, size) + 64);
  z.next_in = const_cast<unsigned char*>(plain);
  z.avail_in = static_cast<uInt>(size);
  z.next_out = out.data();
  z.avail_out = static_cast<uInt>(out.size());
  const int rc = deflate(&z, Z_FINISH);
  out.resize(rc == Z_STREAM_END ? z.total_out : 0);
  deflateEnd(&z);
  return out;
}

// Header 78 01, then the check value libdeflate's reading of the deflate
// data calls for, right where that data ends.
void ForgeCheckValue(Bytes* stream) {
  if (stream->size() < 7) return;
  (*stream)[0] = 0x78;
  (*stream)[1] = 0x01;
  libdeflate_decompressor* d = libdeflate_alloc_decompressor();
  if (d == nullptr) return;
  Bytes out(1 << 16);
  size_t used = 0, produced = 0;
  const libdeflate_result r = libdeflate_deflate_decompress_ex(d, stream->data() + 2, stream->size() - 2, out.data(),
                                                               out.size(), &used, &produced);
  libdeflate_free_decompressor(d);
  if (r != LIBDEFLATE_SUCCESS) return;
  const uint32_t check = adler32(adler32(0, nullptr, 0), out.data(), static_cast<uInt>(produced));
  const size_t at = 2 + used;
  if (stream->size() < at + 4) stream->resize(at + 4);
  for (int i = 0; i < 4; ++i) (*stream)[at + i] = static_cast<unsigned char>(check >> (24 - 8 * i));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3) return 0;
  const uint8_t selector = data[0];
  Bytes stream;
  uint32_t originalSize = 0;
  if (selector & 0x80) {
    if (size < 5) return 0;
    const uint8_t c0 = data[1], c1 = data[2], flipAt = data[3], flip = data[4];
    const unsigned char* plain = data + 5;
    const size_t plainSize = size - 5;
    stream = Deflate(plain, plainSize, c0, c1);
    if (!stream.empty() && flip != 0) stream[(flipAt * 7919u + (c1 >> 6)) % stream.size()] ^= flip;
    // Bytes after the stream: uncompress ignores them, and so must we.
    if (selector & 0x01) stream.insert(stream.end(), plain, plain + (plainSize < 7 ? plainSize : 7));
    static const int kDelta[4] = {0, 0, -1, 1};
    const int64_t wanted = static_cast<int64_t>(plainSize) + kDelta[(selector >> 1) & 3];
    originalSize = wanted < 0 ? 0 : static_cast<uint32_t>(wanted);
  } else {
    originalSize = (static_cast<uint32_t>(selector & 0x0F) << 16 | data[1] << 8 | data[2]);
    stream.assign(data + 3, data + size);
    if (selector & 0x40) ForgeCheckValue(&stream);
  }

  Bytes ours(originalSize + 1, 0xAA), reference(originalSize + 1, 0x55);
  unsigned char empty = 0;
  const unsigned char* in = stream.empty() ? &empty : stream.data();
  const bool oursOk = InflateChunk(in, static_cast<uint32_t>(stream.size()), ours.data(), originalSize);
  const bool referenceOk = Reference(stream, reference.data(), originalSize);
  if (oursOk != referenceOk) abort();
  if (oursOk && memcmp(ours.data(), reference.data(), originalSize) != 0) abort();
  return 0;
}

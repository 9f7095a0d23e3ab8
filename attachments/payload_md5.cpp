#include "attachments/payload_md5.h"

#define CRYPTOPP_ENABLE_NAMESPACE_WEAK 1
#include <cryptopp/md5.h>

#include <cstring>

namespace {

inline CryptoPP::word32 Rotl(CryptoPP::word32 x, int s) { return (x << s) | (x >> (32 - s)); }

// Each step adds the message word and constant first, which do not wait for
// the previous step. G is written as (b & d) + (c & ~d), equal to the usual
// OR because the two never share a bit: c & ~d does not wait for b either.
#define KZ_MD5_F(a, b, c, d, m, k, s) \
  a += (m) + (k);                     \
  a += d ^ (b & (c ^ d));             \
  a = Rotl(a, s) + b;
#define KZ_MD5_G(a, b, c, d, m, k, s) \
  a += (m) + (k);                     \
  a += c & ~d;                        \
  a += b & d;                         \
  a = Rotl(a, s) + b;
#define KZ_MD5_H(a, b, c, d, m, k, s) \
  a += (m) + (k);                     \
  a += b ^ c ^ d;                     \
  a = Rotl(a, s) + b;
#define KZ_MD5_I(a, b, c, d, m, k, s) \
  a += (m) + (k);                     \
  a += c ^ (b | ~d);                  \
  a = Rotl(a, s) + b;

}  // namespace

void PayloadMd5::InitState(HashWordType* state) { CryptoPP::Weak1::MD5::InitState(state); }

namespace {

inline void Block(CryptoPP::word32* digest, const CryptoPP::word32* m) {
  CryptoPP::word32 a = digest[0], b = digest[1], c = digest[2], d = digest[3];
  KZ_MD5_F(a, b, c, d, m[0], 0xd76aa478, 7)
  KZ_MD5_F(d, a, b, c, m[1], 0xe8c7b756, 12)
  KZ_MD5_F(c, d, a, b, m[2], 0x242070db, 17)
  KZ_MD5_F(b, c, d, a, m[3], 0xc1bdceee, 22)
  KZ_MD5_F(a, b, c, d, m[4], 0xf57c0faf, 7)
  KZ_MD5_F(d, a, b, c, m[5], 0x4787c62a, 12)
  KZ_MD5_F(c, d, a, b, m[6], 0xa8304613, 17)
  KZ_MD5_F(b, c, d, a, m[7], 0xfd469501, 22)
  KZ_MD5_F(a, b, c, d, m[8], 0x698098d8, 7)
  KZ_MD5_F(d, a, b, c, m[9], 0x8b44f7af, 12)
  KZ_MD5_F(c, d, a, b, m[10], 0xffff5bb1, 17)
  KZ_MD5_F(b, c, d, a, m[11], 0x895cd7be, 22)
  KZ_MD5_F(a, b, c, d, m[12], 0x6b901122, 7)
  KZ_MD5_F(d, a, b, c, m[13], 0xfd987193, 12)
  KZ_MD5_F(c, d, a, b, m[14], 0xa679438e, 17)
  KZ_MD5_F(b, c, d, a, m[15], 0x49b40821, 22)
  KZ_MD5_G(a, b, c, d, m[1], 0xf61e2562, 5)
  KZ_MD5_G(d, a, b, c, m[6], 0xc040b340, 9)
  KZ_MD5_G(c, d, a, b, m[11], 0x265e5a51, 14)
  KZ_MD5_G(b, c, d, a, m[0], 0xe9b6c7aa, 20)
  KZ_MD5_G(a, b, c, d, m[5], 0xd62f105d, 5)
  KZ_MD5_G(d, a, b, c, m[10], 0x02441453, 9)
  KZ_MD5_G(c, d, a, b, m[15], 0xd8a1e681, 14)
  KZ_MD5_G(b, c, d, a, m[4], 0xe7d3fbc8, 20)
  KZ_MD5_G(a, b, c, d, m[9], 0x21e1cde6, 5)
  KZ_MD5_G(d, a, b, c, m[14], 0xc33707d6, 9)
  KZ_MD5_G(c, d, a, b, m[3], 0xf4d50d87, 14)
  KZ_MD5_G(b, c, d, a, m[8], 0x455a14ed, 20)
  KZ_MD5_G(a, b, c, d, m[13], 0xa9e3e905, 5)
  KZ_MD5_G(d, a, b, c, m[2], 0xfcefa3f8, 9)
  KZ_MD5_G(c, d, a, b, m[7], 0x676f02d9, 14)
  KZ_MD5_G(b, c, d, a, m[12], 0x8d2a4c8a, 20)
  KZ_MD5_H(a, b, c, d, m[5], 0xfffa3942, 4)
  KZ_MD5_H(d, a, b, c, m[8], 0x8771f681, 11)
  KZ_MD5_H(c, d, a, b, m[11], 0x6d9d6122, 16)
  KZ_MD5_H(b, c, d, a, m[14], 0xfde5380c, 23)
  KZ_MD5_H(a, b, c, d, m[1], 0xa4beea44, 4)
  KZ_MD5_H(d, a, b, c, m[4], 0x4bdecfa9, 11)
  KZ_MD5_H(c, d, a, b, m[7], 0xf6bb4b60, 16)
  KZ_MD5_H(b, c, d, a, m[10], 0xbebfbc70, 23)
  KZ_MD5_H(a, b, c, d, m[13], 0x289b7ec6, 4)
  KZ_MD5_H(d, a, b, c, m[0], 0xeaa127fa, 11)
  KZ_MD5_H(c, d, a, b, m[3], 0xd4ef3085, 16)
  KZ_MD5_H(b, c, d, a, m[6], 0x04881d05, 23)
  KZ_MD5_H(a, b, c, d, m[9], 0xd9d4d039, 4)
  KZ_MD5_H(d, a, b, c, m[12], 0xe6db99e5, 11)
  KZ_MD5_H(c, d, a, b, m[15], 0x1fa27cf8, 16)
  KZ_MD5_H(b, c, d, a, m[2], 0xc4ac5665, 23)
  KZ_MD5_I(a, b, c, d, m[0], 0xf4292244, 6)
  KZ_MD5_I(d, a, b, c, m[7], 0x432aff97, 10)
  KZ_MD5_I(c, d, a, b, m[14], 0xab9423a7, 15)
  KZ_MD5_I(b, c, d, a, m[5], 0xfc93a039, 21)
  KZ_MD5_I(a, b, c, d, m[12], 0x655b59c3, 6)
  KZ_MD5_I(d, a, b, c, m[3], 0x8f0ccc92, 10)
  KZ_MD5_I(c, d, a, b, m[10], 0xffeff47d, 15)
  KZ_MD5_I(b, c, d, a, m[1], 0x85845dd1, 21)
  KZ_MD5_I(a, b, c, d, m[8], 0x6fa87e4f, 6)
  KZ_MD5_I(d, a, b, c, m[15], 0xfe2ce6e0, 10)
  KZ_MD5_I(c, d, a, b, m[6], 0xa3014314, 15)
  KZ_MD5_I(b, c, d, a, m[13], 0x4e0811a1, 21)
  KZ_MD5_I(a, b, c, d, m[4], 0xf7537e82, 6)
  KZ_MD5_I(d, a, b, c, m[11], 0xbd3af235, 10)
  KZ_MD5_I(c, d, a, b, m[2], 0x2ad7d2bb, 15)
  KZ_MD5_I(b, c, d, a, m[9], 0xeb86d391, 21)
  digest[0] += a;
  digest[1] += b;
  digest[2] += c;
  digest[3] += d;
}

}  // namespace

void PayloadMd5::Transform(CryptoPP::word32* digest, const CryptoPP::word32* data) { Block(digest, data); }

// MD5's words are little-endian, as the processors this builds for keep
// them; memcpy takes them from any alignment.
static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "PayloadMd5 reads the message words in place");
size_t PayloadMd5::HashMultipleBlocks(const CryptoPP::word32* input, size_t length) {
  CryptoPP::word32* state = StateBuf();
  const unsigned char* bytes = reinterpret_cast<const unsigned char*>(input);
  for (; length >= 64; length -= 64, bytes += 64) {
    CryptoPP::word32 words[16];
    memcpy(words, bytes, sizeof words);
    Block(state, words);
  }
  return length;
}

/* The floor of the installer benchmark: the least work an installer that
   checks every byte can do. floor [-v] FILE...: reads each file once in
   1 MiB blocks, XORs it, MD5s it and writes it into a fresh folder under
   %TEMP%, then removes that folder. -v prints each file's MD5 (of the XORed
   bytes) so the hashing can be checked against another implementation. */
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <wchar.h>

#define BLOCK (1024 * 1024)

/* MD5 (RFC 1321), one 64-byte block at a time. */
typedef struct {
  uint32_t a, b, c, d;
  uint64_t length;
  uint8_t tail[64];
  size_t tailLength;
} Md5;

#define F(x, y, z) ((z) ^ ((x) & ((y) ^ (z))))
#define G(x, y, z) ((y) ^ ((z) & ((x) ^ (y))))
#define H(x, y, z) ((x) ^ (y) ^ (z))
#define I(x, y, z) ((y) ^ ((x) | ~(z)))
#define STEP(f, a, b, c, d, x, t, s) \
  (a) += f((b), (c), (d)) + (x) + (t); \
  (a) = ((a) << (s)) | ((a) >> (32 - (s))); \
  (a) += (b);

static void Md5Blocks(Md5 *m, const uint8_t *p, size_t blocks) {
  uint32_t a = m->a, b = m->b, c = m->c, d = m->d;
  for (; blocks; --blocks, p += 64) {
    uint32_t x[16];
    memcpy(x, p, 64); /* little-endian host */
    uint32_t sa = a, sb = b, sc = c, sd = d;
    STEP(F, a, b, c, d, x[0], 0xd76aa478, 7) STEP(F, d, a, b, c, x[1], 0xe8c7b756, 12)
    STEP(F, c, d, a, b, x[2], 0x242070db, 17) STEP(F, b, c, d, a, x[3], 0xc1bdceee, 22)
    STEP(F, a, b, c, d, x[4], 0xf57c0faf, 7) STEP(F, d, a, b, c, x[5], 0x4787c62a, 12)
    STEP(F, c, d, a, b, x[6], 0xa8304613, 17) STEP(F, b, c, d, a, x[7], 0xfd469501, 22)
    STEP(F, a, b, c, d, x[8], 0x698098d8, 7) STEP(F, d, a, b, c, x[9], 0x8b44f7af, 12)
    STEP(F, c, d, a, b, x[10], 0xffff5bb1, 17) STEP(F, b, c, d, a, x[11], 0x895cd7be, 22)
    STEP(F, a, b, c, d, x[12], 0x6b901122, 7) STEP(F, d, a, b, c, x[13], 0xfd987193, 12)
    STEP(F, c, d, a, b, x[14], 0xa679438e, 17) STEP(F, b, c, d, a, x[15], 0x49b40821, 22)
    STEP(G, a, b, c, d, x[1], 0xf61e2562, 5) STEP(G, d, a, b, c, x[6], 0xc040b340, 9)
    STEP(G, c, d, a, b, x[11], 0x265e5a51, 14) STEP(G, b, c, d, a, x[0], 0xe9b6c7aa, 20)
    STEP(G, a, b, c, d, x[5], 0xd62f105d, 5) STEP(G, d, a, b, c, x[10], 0x02441453, 9)
    STEP(G, c, d, a, b, x[15], 0xd8a1e681, 14) STEP(G, b, c, d, a, x[4], 0xe7d3fbc8, 20)
    STEP(G, a, b, c, d, x[9], 0x21e1cde6, 5) STEP(G, d, a, b, c, x[14], 0xc33707d6, 9)
    STEP(G, c, d, a, b, x[3], 0xf4d50d87, 14) STEP(G, b, c, d, a, x[8], 0x455a14ed, 20)
    STEP(G, a, b, c, d, x[13], 0xa9e3e905, 5) STEP(G, d, a, b, c, x[2], 0xfcefa3f8, 9)
    STEP(G, c, d, a, b, x[7], 0x676f02d9, 14) STEP(G, b, c, d, a, x[12], 0x8d2a4c8a, 20)
    STEP(H, a, b, c, d, x[5], 0xfffa3942, 4) STEP(H, d, a, b, c, x[8], 0x8771f681, 11)
    STEP(H, c, d, a, b, x[11], 0x6d9d6122, 16) STEP(H, b, c, d, a, x[14], 0xfde5380c, 23)
    STEP(H, a, b, c, d, x[1], 0xa4beea44, 4) STEP(H, d, a, b, c, x[4], 0x4bdecfa9, 11)
    STEP(H, c, d, a, b, x[7], 0xf6bb4b60, 16) STEP(H, b, c, d, a, x[10], 0xbebfbc70, 23)
    STEP(H, a, b, c, d, x[13], 0x289b7ec6, 4) STEP(H, d, a, b, c, x[0], 0xeaa127fa, 11)
    STEP(H, c, d, a, b, x[3], 0xd4ef3085, 16) STEP(H, b, c, d, a, x[6], 0x04881d05, 23)
    STEP(H, a, b, c, d, x[9], 0xd9d4d039, 4) STEP(H, d, a, b, c, x[12], 0xe6db99e5, 11)
    STEP(H, c, d, a, b, x[15], 0x1fa27cf8, 16) STEP(H, b, c, d, a, x[2], 0xc4ac5665, 23)
    STEP(I, a, b, c, d, x[0], 0xf4292244, 6) STEP(I, d, a, b, c, x[7], 0x432aff97, 10)
    STEP(I, c, d, a, b, x[14], 0xab9423a7, 15) STEP(I, b, c, d, a, x[5], 0xfc93a039, 21)
    STEP(I, a, b, c, d, x[12], 0x655b59c3, 6) STEP(I, d, a, b, c, x[3], 0x8f0ccc92, 10)
    STEP(I, c, d, a, b, x[10], 0xffeff47d, 15) STEP(I, b, c, d, a, x[1], 0x85845dd1, 21)
    STEP(I, a, b, c, d, x[8], 0x6fa87e4f, 6) STEP(I, d, a, b, c, x[15], 0xfe2ce6e0, 10)
    STEP(I, c, d, a, b, x[6], 0xa3014314, 15) STEP(I, b, c, d, a, x[13], 0x4e0811a1, 21)
    STEP(I, a, b, c, d, x[4], 0xf7537e82, 6) STEP(I, d, a, b, c, x[11], 0xbd3af235, 10)
    STEP(I, c, d, a, b, x[2], 0x2ad7d2bb, 15) STEP(I, b, c, d, a, x[9], 0xeb86d391, 21)
    a += sa, b += sb, c += sc, d += sd;
  }
  m->a = a, m->b = b, m->c = c, m->d = d;
}

static void Md5Init(Md5 *m) {
  m->a = 0x67452301, m->b = 0xefcdab89, m->c = 0x98badcfe, m->d = 0x10325476;
  m->length = 0;
  m->tailLength = 0;
}

static void Md5Update(Md5 *m, const uint8_t *p, size_t n) {
  m->length += n;
  if (m->tailLength) {
    size_t take = 64 - m->tailLength < n ? 64 - m->tailLength : n;
    memcpy(m->tail + m->tailLength, p, take);
    m->tailLength += take, p += take, n -= take;
    if (m->tailLength < 64) return;
    Md5Blocks(m, m->tail, 1);
    m->tailLength = 0;
  }
  Md5Blocks(m, p, n / 64);
  memcpy(m->tail, p + (n & ~(size_t)63), n & 63);
  m->tailLength = n & 63;
}

static void Md5Final(Md5 *m, uint8_t digest[16]) {
  uint64_t bits = m->length * 8;
  uint8_t pad[72] = {0x80};
  size_t padLength = (m->tailLength < 56 ? 56 : 120) - m->tailLength;
  for (int i = 0; i < 8; ++i) pad[padLength + i] = (uint8_t)(bits >> (8 * i));
  Md5Update(m, pad, padLength + 8);
  uint32_t words[4] = {m->a, m->b, m->c, m->d};
  memcpy(digest, words, 16);
}

static void Xor(uint8_t *p, size_t n) {
  const uint64_t key = 0x0101010101010101ull * 0xC6;
  size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    uint64_t w;
    memcpy(&w, p + i, 8);
    w ^= key;
    memcpy(p + i, &w, 8);
  }
  for (; i < n; ++i) p[i] ^= 0xC6;
}

static int CopyOne(const wchar_t *source, const wchar_t *target, uint8_t *block, int verbose) {
  HANDLE in = CreateFileW(source, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
  if (in == INVALID_HANDLE_VALUE) return 0;
  HANDLE out = CreateFileW(target, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
  if (out == INVALID_HANDLE_VALUE) {
    CloseHandle(in);
    return 0;
  }
  Md5 md5;
  Md5Init(&md5);
  DWORD got = 0, put = 0;
  int ok = 1;
  while ((ok = ReadFile(in, block, BLOCK, &got, NULL)) && got > 0) {
    Xor(block, got);
    Md5Update(&md5, block, got);
    if (!WriteFile(out, block, got, &put, NULL) || put != got) {
      ok = 0;
      break;
    }
  }
  CloseHandle(in);
  CloseHandle(out);
  uint8_t digest[16];
  Md5Final(&md5, digest);
  if (verbose) {
    for (int i = 0; i < 16; ++i) printf("%02x", digest[i]);
    printf("  %ls\n", source);
  }
  return ok;
}

int wmain(int argc, wchar_t **argv) {
  int first = 1, verbose = 0;
  if (argc > 1 && wcscmp(argv[1], L"-v") == 0) verbose = 1, first = 2;
  wchar_t dir[MAX_PATH];
  DWORD n = GetTempPathW(MAX_PATH, dir);
  if (n == 0 || n > MAX_PATH - 32) return 2;
  swprintf(dir + n, MAX_PATH - n, L"kzfloor_%lu", GetCurrentProcessId());
  if (!CreateDirectoryW(dir, NULL)) return 2;
  uint8_t *block = (uint8_t *)HeapAlloc(GetProcessHeap(), 0, BLOCK);
  int status = 0;
  for (int i = first; i < argc && status == 0; ++i) {
    wchar_t target[MAX_PATH * 2];
    swprintf(target, MAX_PATH * 2, L"%ls\\%d", dir, i);
    if (!CopyOne(argv[i], target, block, verbose)) status = 1;
  }
  HeapFree(GetProcessHeap(), 0, block);
  for (int i = first; i < argc; ++i) {
    wchar_t target[MAX_PATH * 2];
    swprintf(target, MAX_PATH * 2, L"%ls\\%d", dir, i);
    DeleteFileW(target);
  }
  RemoveDirectoryW(dir);
  return status;
}

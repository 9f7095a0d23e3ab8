/* The floor of this installer design: what it must write, and nothing else.
   floor3 [-v] INSTALLER LOAD_OFFSET LOAD_SIZE IBND_OFFSET IBND_SIZE DEP_SIZE...
   reads the setup program's payload from the installer once in 1 MiB blocks,
   XORs it, MD5s it and writes it as setup.exe; the bundle's bytes inside it
   (IBND_OFFSET counts from the payload's start) are stored XORed twice, that
   is plain, and are MD5ed and written as ibnd on the way; then it writes one
   file of each DEP_SIZE bytes (the bytes of the last block: the floor does not
   inflate). All of it goes into a fresh folder under %TEMP%, removed at the
   end. -v prints the two MD5s, to be checked against the trailers'.
   bench/chain_offsets.py gives the offsets. */
#define wmain floor_wmain /* the MD5 and XOR of the first floor, not its main */
#include "floor.c"
#undef wmain

static int WriteAll(HANDLE out, const uint8_t *p, DWORD n) {
  DWORD put = 0;
  return WriteFile(out, p, n, &put, NULL) && put == n;
}

static HANDLE Create(const wchar_t *dir, const wchar_t *name) {
  wchar_t path[MAX_PATH * 2];
  swprintf(path, MAX_PATH * 2, L"%ls\\%ls", dir, name);
  return CreateFileW(path, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
}

static void PrintDigest(Md5 *m, const char *name) {
  uint8_t digest[16];
  Md5Final(m, digest);
  for (int i = 0; i < 16; ++i) printf("%02x", digest[i]);
  printf("  %s\n", name);
}

/* Setup program and bundle in one read of the installer. */
static int Extract(const wchar_t *installer, const wchar_t *dir, uint64_t loadOffset, uint64_t loadSize,
                   uint64_t ibndOffset, uint64_t ibndSize, uint8_t *block, int verbose) {
  HANDLE in = CreateFileW(installer, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
  if (in == INVALID_HANDLE_VALUE) return 0;
  HANDLE setup = Create(dir, L"setup.exe"), bundle = Create(dir, L"ibnd");
  LARGE_INTEGER at;
  at.QuadPart = (LONGLONG)loadOffset;
  int ok = setup != INVALID_HANDLE_VALUE && bundle != INVALID_HANDLE_VALUE && SetFilePointerEx(in, at, NULL, FILE_BEGIN);
  Md5 loadMd5, ibndMd5;
  Md5Init(&loadMd5);
  Md5Init(&ibndMd5);
  for (uint64_t done = 0; ok && done < loadSize;) {
    DWORD want = loadSize - done < BLOCK ? (DWORD)(loadSize - done) : BLOCK, got = 0;
    if (!ReadFile(in, block, want, &got, NULL) || got != want) {
      ok = 0;
      break;
    }
    uint64_t from = done > ibndOffset ? done : ibndOffset;
    uint64_t to = done + got < ibndOffset + ibndSize ? done + got : ibndOffset + ibndSize;
    if (from < to) {
      Md5Update(&ibndMd5, block + (from - done), (size_t)(to - from));
      ok = WriteAll(bundle, block + (from - done), (DWORD)(to - from));
    }
    Xor(block, got);
    Md5Update(&loadMd5, block, got);
    ok = ok && WriteAll(setup, block, got);
    done += got;
  }
  CloseHandle(in);
  if (setup != INVALID_HANDLE_VALUE) CloseHandle(setup);
  if (bundle != INVALID_HANDLE_VALUE) CloseHandle(bundle);
  if (verbose) {
    PrintDigest(&loadMd5, "LOAD");
    PrintDigest(&ibndMd5, "IBND");
  }
  return ok;
}

static int WriteDependency(const wchar_t *dir, int index, uint64_t size, const uint8_t *block) {
  wchar_t name[32];
  swprintf(name, 32, L"deps\\%d", index);
  HANDLE out = Create(dir, name);
  if (out == INVALID_HANDLE_VALUE) return 0;
  int ok = 1;
  for (uint64_t done = 0; ok && done < size;) {
    DWORD n = size - done < BLOCK ? (DWORD)(size - done) : BLOCK;
    ok = WriteAll(out, block, n);
    done += n;
  }
  CloseHandle(out);
  return ok;
}

int wmain(int argc, wchar_t **argv) {
  int first = 1, verbose = 0;
  if (argc > 1 && wcscmp(argv[1], L"-v") == 0) verbose = 1, first = 2;
  if (argc - first < 5) return 2;
  const wchar_t *installer = argv[first];
  uint64_t loadOffset = _wcstoui64(argv[first + 1], NULL, 10), loadSize = _wcstoui64(argv[first + 2], NULL, 10);
  uint64_t ibndOffset = _wcstoui64(argv[first + 3], NULL, 10), ibndSize = _wcstoui64(argv[first + 4], NULL, 10);
  wchar_t dir[MAX_PATH], sub[MAX_PATH + 8];
  DWORD n = GetTempPathW(MAX_PATH, dir);
  if (n == 0 || n > MAX_PATH - 32) return 2;
  swprintf(dir + n, MAX_PATH - n, L"kzfloor3_%lu", GetCurrentProcessId());
  swprintf(sub, MAX_PATH + 8, L"%ls\\deps", dir);
  if (!CreateDirectoryW(dir, NULL) || !CreateDirectoryW(sub, NULL)) return 2;
  uint8_t *block = (uint8_t *)HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, BLOCK);
  int status = Extract(installer, dir, loadOffset, loadSize, ibndOffset, ibndSize, block, verbose) ? 0 : 1;
  int deps = 0;
  for (int i = first + 5; i < argc && status == 0; ++i, ++deps)
    if (!WriteDependency(dir, deps, _wcstoui64(argv[i], NULL, 10), block)) status = 1;
  HeapFree(GetProcessHeap(), 0, block);
  wchar_t path[MAX_PATH * 2];
  for (int i = 0; i < deps; ++i) {
    swprintf(path, MAX_PATH * 2, L"%ls\\deps\\%d", dir, i);
    DeleteFileW(path);
  }
  swprintf(path, MAX_PATH * 2, L"%ls\\setup.exe", dir);
  DeleteFileW(path);
  swprintf(path, MAX_PATH * 2, L"%ls\\ibnd", dir);
  DeleteFileW(path);
  RemoveDirectoryW(sub);
  RemoveDirectoryW(dir);
  return status;
}

// Debug channel, diagnostic switch, clock, thread id and UTF-8 <-> UTF-32
// conversion on POSIX.
#include <pthread.h>
#include <signal.h>
#include <sys/statvfs.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/platform.h"

namespace platform {
namespace {
std::atomic<DebugSink> g_sink{nullptr};
void* g_sinkContext = nullptr;

// Encodes one code point; returns the byte count (0 for an invalid one).
int EncodeUtf8(uint32_t cp, char* out) {
  if (cp < 0x80) {
    out[0] = static_cast<char>(cp);
    return 1;
  }
  if (cp < 0x800) {
    out[0] = static_cast<char>(0xC0 | (cp >> 6));
    out[1] = static_cast<char>(0x80 | (cp & 0x3F));
    return 2;
  }
  if (cp >= 0xD800 && cp <= 0xDFFF) return 0;
  if (cp < 0x10000) {
    out[0] = static_cast<char>(0xE0 | (cp >> 12));
    out[1] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out[2] = static_cast<char>(0x80 | (cp & 0x3F));
    return 3;
  }
  if (cp > 0x10FFFF) return 0;
  out[0] = static_cast<char>(0xF0 | (cp >> 18));
  out[1] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
  out[2] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
  out[3] = static_cast<char>(0x80 | (cp & 0x3F));
  return 4;
}

// Decodes one code point at `p`; invalid sequences give U+FFFD for one byte,
// as the Windows converter does.
uint32_t DecodeUtf8(const unsigned char*& p) {
  unsigned char c = *p;
  int extra = c < 0x80 ? 0 : (c & 0xE0) == 0xC0 ? 1 : (c & 0xF0) == 0xE0 ? 2 : (c & 0xF8) == 0xF0 ? 3 : -1;
  if (extra < 0) {
    ++p;
    return 0xFFFD;
  }
  uint32_t cp = extra == 0 ? c : c & (0x3F >> extra);
  for (int i = 1; i <= extra; ++i) {
    if ((p[i] & 0xC0) != 0x80) {
      ++p;
      return 0xFFFD;
    }
    cp = (cp << 6) | (p[i] & 0x3F);
  }
  static const uint32_t kMin[] = {0, 0x80, 0x800, 0x10000};
  if (cp < kMin[extra] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
    ++p;
    return 0xFFFD;
  }
  p += extra + 1;
  return cp;
}
}  // namespace

void SetDebugSink(DebugSink sink, void* context) {
  g_sinkContext = context;
  g_sink.store(sink);
}

void DebugOutput(const char* text) {
  if (DebugSink sink = g_sink.load()) {
    sink(text, g_sinkContext);
    return;
  }
  fprintf(stderr, "%s\n", text);
}

bool ReadDiagSwitch() {
  const char* value = getenv("KZSTR");
  return value && strlen(value) < 128 && strcmp(value, "!Diagnose!") == 0;
}

uint32_t TickCount() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint32_t>(static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u);
}

uint32_t CurrentThreadId() { return static_cast<uint32_t>(syscall(SYS_gettid)); }

int WideToUtf8Raw(const wchar_t* text, char* out, int outSize, bool* insufficient) {
  if (insufficient) *insufficient = false;
  int needed = 0;
  char unit[4];
  const wchar_t* p = text;
  for (;; ++p) {
    int n = *p ? EncodeUtf8(static_cast<uint32_t>(*p), unit) : 1;
    if (n == 0) n = EncodeUtf8(0xFFFD, unit);
    if (!*p) unit[0] = 0;
    if (out) {
      if (needed + n > outSize) {
        if (insufficient) *insufficient = true;
        return 0;
      }
      memcpy(out + needed, unit, n);
    }
    needed += n;
    if (!*p) break;
  }
  return needed;
}

int Utf8ToWideRaw(const char* text, wchar_t* out, int outSize, bool* insufficient) {
  if (insufficient) *insufficient = false;
  int needed = 0;
  const unsigned char* p = reinterpret_cast<const unsigned char*>(text);
  for (;;) {
    uint32_t cp = *p ? DecodeUtf8(p) : 0;
    if (out) {
      if (needed + 1 > outSize) {
        if (insufficient) *insufficient = true;
        return 0;
      }
      out[needed] = static_cast<wchar_t>(cp);
    }
    ++needed;
    if (cp == 0) break;
  }
  return needed;
}

std::string MemoryBackedTempRoot(uint64_t bytes) {
  static const char kRoot[] = "/dev/shm";
  struct statvfs fs;
  if (access(kRoot, W_OK | X_OK) != 0 || statvfs(kRoot, &fs) != 0) return "";
  const uint64_t room = static_cast<uint64_t>(fs.f_bavail) * fs.f_frsize;
  // Memory the system can give without swapping (Linux counts the page
  // cache it may drop); elsewhere only the free pages.
  uint64_t memory = 0;
  if (FILE* info = fopen("/proc/meminfo", "r")) {
    char line[256];
    unsigned long long kib = 0;
    while (fgets(line, sizeof line, info))
      if (sscanf(line, "MemAvailable: %llu kB", &kib) == 1) memory = static_cast<uint64_t>(kib) * 1024;
    fclose(info);
  }
  if (memory == 0) {
    const long pages = sysconf(_SC_AVPHYS_PAGES);
    const long pageSize = sysconf(_SC_PAGESIZE);
    if (pages > 0 && pageSize > 0) memory = static_cast<uint64_t>(pages) * static_cast<uint64_t>(pageSize);
  }
  return room / 2 >= bytes && memory / 2 >= bytes ? kRoot : "";
}

}  // namespace platform

namespace platform {

void CallOnInterrupt(void (*cleanup)()) {
  static sigset_t signals;
  static void (*run)() = nullptr;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGHUP);
  run = cleanup;
  // Blocked here and in every thread started later, so only the watcher's
  // sigwait takes them: the clean-up then runs in ordinary code, free to
  // allocate and take locks, instead of inside a signal handler.
  if (pthread_sigmask(SIG_BLOCK, &signals, nullptr) != 0) return;
  pthread_t watcher;
  auto watch = [](void*) -> void* {
    int received = 0;
    if (sigwait(&signals, &received) != 0) return nullptr;
    run();
    // End as the signal would have: its default action, delivered to this
    // thread, which now lets it through.
    signal(received, SIG_DFL);
    sigset_t one;
    sigemptyset(&one);
    sigaddset(&one, received);
    pthread_sigmask(SIG_UNBLOCK, &one, nullptr);
    raise(received);
    _exit(128 + received);
  };
  if (pthread_create(&watcher, nullptr, watch, nullptr) != 0) {
    pthread_sigmask(SIG_UNBLOCK, &signals, nullptr);
    return;
  }
  pthread_detach(watcher);
}

}  // namespace platform

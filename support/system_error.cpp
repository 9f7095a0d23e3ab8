#include "support/system_error.h"

#include <atomic>

#include "platform/platform.h"

namespace {
// Only the thread that writes files notes; atomic all the same, so that a
// test reading it from another thread sees a whole value.
std::atomic<uint32_t> g_noted{0};
}  // namespace

void NoteSystemError() {
  uint32_t none = 0;
  g_noted.compare_exchange_strong(none, platform::LastSystemError());
}

uint32_t TakeSystemError() { return g_noted.exchange(0); }

bool WriteOrNote(FILE* file, const void* data, size_t size) {
  platform::ClearSystemError();
  if (fwrite(data, 1, size, file) == size) return true;
  NoteSystemError();
  return false;
}

bool CloseOrNote(FILE* file) {
  platform::ClearSystemError();
  if (fclose(file) == 0) return true;
  NoteSystemError();
  return false;
}

FILE* CreateOrNote(const std::wstring& path) {
  platform::ClearSystemError();
  FILE* file = platform::OpenStdioFile(path, L"wb");
  if (file == nullptr) NoteSystemError();
  return file;
}

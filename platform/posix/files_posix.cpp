// Read-only file handles and wide-path stdio on POSIX. Share modes have no
// equivalent here; they only matter on Windows.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include "platform/platform.h"

namespace platform {
namespace {
// Descriptor d is stored as d + 1 so that a null handle means "invalid".
int Fd(FileHandle file) { return static_cast<int>(reinterpret_cast<intptr_t>(file)) - 1; }
std::string NarrowPath(const std::wstring& path) {
  std::string out;
  int n = WideToUtf8Raw(path.c_str(), nullptr, 0, nullptr);
  if (n <= 0) return out;
  out.resize(n);
  WideToUtf8Raw(path.c_str(), &out[0], n, nullptr);
  out.resize(n - 1);
  return out;
}
}  // namespace

const FileHandle kInvalidFile = nullptr;

FileHandle OpenFileForRead(const std::wstring& path, ShareMode) {
  int fd = open(NarrowPath(path).c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return kInvalidFile;
  struct stat st;
  if (fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
    close(fd);
    return kInvalidFile;
  }
  return reinterpret_cast<FileHandle>(static_cast<intptr_t>(fd) + 1);
}

void CloseFile(FileHandle file) {
  if (file != kInvalidFile) close(Fd(file));
}

bool ReadFromFile(FileHandle file, void* buffer, uint32_t size, uint32_t* read) {
  uint32_t total = 0;
  while (total < size) {
    ssize_t n = ::read(Fd(file), static_cast<char*>(buffer) + total, size - total);
    if (n < 0) {
      if (read) *read = total;
      return false;
    }
    if (n == 0) break;
    total += static_cast<uint32_t>(n);
  }
  if (read) *read = total;
  return true;
}

bool ReadExact(FileHandle file, void* buffer, uint32_t size) {
  uint32_t got = 0;
  return ReadFromFile(file, buffer, size, &got) && got == size;
}

bool SeekFile(FileHandle file, int64_t offset, SeekFrom from, int64_t* position) {
  int whence = from == SeekFrom::kBegin ? SEEK_SET : from == SeekFrom::kCurrent ? SEEK_CUR : SEEK_END;
  off_t result = lseek(Fd(file), static_cast<off_t>(offset), whence);
  if (result < 0) return false;
  if (position) *position = result;
  return true;
}

bool GetFileSize64(FileHandle file, int64_t* size) {
  struct stat st;
  if (fstat(Fd(file), &st) != 0) return false;
  *size = st.st_size;
  return true;
}

FILE* OpenStdioFile(const std::wstring& path, const wchar_t* mode) {
  std::string narrowMode;
  for (const wchar_t* m = mode; *m; ++m) narrowMode += static_cast<char>(*m);
  return fopen(NarrowPath(path).c_str(), narrowMode.c_str());
}

bool DeleteFilePath(const std::wstring& path) { return unlink(NarrowPath(path).c_str()) == 0; }

bool SeekStdio(FILE* file, int64_t offset, int origin) {
  return fseeko(file, static_cast<off_t>(offset), origin) == 0;
}

int64_t TellStdio(FILE* file) { return ftello(file); }

uint32_t LastSystemError() { return static_cast<uint32_t>(errno); }

void ClearSystemError() { errno = 0; }

}  // namespace platform

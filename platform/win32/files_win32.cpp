// Read-only file handles and wide-path stdio on Win32.
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cwchar>

#include "platform/platform.h"

namespace platform {
namespace {
bool g_shareDelete = false;
}  // namespace

const FileHandle kInvalidFile = INVALID_HANDLE_VALUE;

FileHandle OpenFileForRead(const std::wstring& path, ShareMode share) {
  DWORD shareFlags = FILE_SHARE_READ;
  if (share != ShareMode::kReadOnly) shareFlags |= FILE_SHARE_WRITE;
  if (share == ShareMode::kReadWriteDelete || g_shareDelete) shareFlags |= FILE_SHARE_DELETE;
  return CreateFileW(path.c_str(), GENERIC_READ, shareFlags, nullptr, OPEN_EXISTING,
                     FILE_ATTRIBUTE_NORMAL, nullptr);
}

void CloseFile(FileHandle file) {
  if (file != kInvalidFile) CloseHandle(file);
}

bool ReadFromFile(FileHandle file, void* buffer, uint32_t size, uint32_t* read) {
  DWORD got = 0;
  BOOL ok = ReadFile(file, buffer, size, &got, nullptr);
  if (read) *read = got;
  return ok != FALSE;
}

bool ReadExact(FileHandle file, void* buffer, uint32_t size) {
  uint32_t got = 0;
  return ReadFromFile(file, buffer, size, &got) && got == size;
}

bool SeekFile(FileHandle file, int64_t offset, SeekFrom from, int64_t* position) {
  LARGE_INTEGER distance;
  distance.QuadPart = offset;
  LARGE_INTEGER result;
  DWORD method = from == SeekFrom::kBegin ? FILE_BEGIN : from == SeekFrom::kCurrent ? FILE_CURRENT : FILE_END;
  if (!SetFilePointerEx(file, distance, &result, method)) return false;
  if (position) *position = result.QuadPart;
  return true;
}

bool GetFileSize64(FileHandle file, int64_t* size) {
  LARGE_INTEGER result;
  if (!GetFileSizeEx(file, &result)) return false;
  *size = result.QuadPart;
  return true;
}

void ShareOpenFilesForDeletion() { g_shareDelete = true; }

// Opens as _wfopen would, except that with g_shareDelete others may delete
// the file too and the handle is not inheritable. A file opened for writing
// ("w") is created new where it does not exist yet rather than truncated:
// wine truncates an existing or new file explicitly, and ext4 then writes
// the whole file out when it is closed, tens of milliseconds for a large
// one.
FILE* OpenStdioFile(const std::wstring& path, const wchar_t* mode) {
  const bool writes = mode[0] == L'w';
  if (!g_shareDelete && !writes) return _wfopen(path.c_str(), mode);
  const bool both = wcschr(mode, L'+') != nullptr;
  DWORD access = both ? GENERIC_READ | GENERIC_WRITE : GENERIC_WRITE;
  DWORD disposition = CREATE_ALWAYS;
  int flags = both ? _O_RDWR : _O_WRONLY;
  if (mode[0] == L'r') {
    access = both ? access : GENERIC_READ;
    disposition = OPEN_EXISTING;
    flags = both ? flags : _O_RDONLY;
  } else if (mode[0] == L'a') {
    disposition = OPEN_ALWAYS;
    flags |= _O_APPEND;
  }
  flags |= wcschr(mode, L'b') ? _O_BINARY : _O_TEXT;
  const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | (g_shareDelete ? FILE_SHARE_DELETE : 0);
  auto create = [&](DWORD how) {
    return CreateFileW(path.c_str(), access, share, nullptr, how, FILE_ATTRIBUTE_NORMAL, nullptr);
  };
  HANDLE handle = create(disposition == CREATE_ALWAYS ? CREATE_NEW : disposition);
  if (handle == INVALID_HANDLE_VALUE && disposition == CREATE_ALWAYS && GetLastError() == ERROR_FILE_EXISTS)
    handle = create(CREATE_ALWAYS);
  if (handle == INVALID_HANDLE_VALUE) return nullptr;
  const int descriptor = _open_osfhandle(reinterpret_cast<intptr_t>(handle), flags);
  if (descriptor < 0) {
    CloseHandle(handle);
    return nullptr;
  }
  FILE* file = _wfdopen(descriptor, mode);
  if (!file) _close(descriptor);
  return file;
}

bool DeleteFilePath(const std::wstring& path) { return DeleteFileW(path.c_str()) != FALSE; }

bool SeekStdio(FILE* file, int64_t offset, int origin) { return _fseeki64(file, offset, origin) == 0; }

int64_t TellStdio(FILE* file) { return _ftelli64(file); }

uint32_t LastSystemError() { return GetLastError(); }

void ClearSystemError() { SetLastError(ERROR_SUCCESS); }

}  // namespace platform

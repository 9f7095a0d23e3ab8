// Read-only file handles and wide-path stdio on Win32.
#include <windows.h>

#include "platform/platform.h"

namespace platform {

const FileHandle kInvalidFile = INVALID_HANDLE_VALUE;

FileHandle OpenFileForRead(const std::wstring& path, ShareMode share) {
  DWORD shareFlags = FILE_SHARE_READ;
  if (share != ShareMode::kReadOnly) shareFlags |= FILE_SHARE_WRITE;
  if (share == ShareMode::kReadWriteDelete) shareFlags |= FILE_SHARE_DELETE;
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

FILE* OpenStdioFile(const std::wstring& path, const wchar_t* mode) { return _wfopen(path.c_str(), mode); }

bool DeleteFilePath(const std::wstring& path) { return DeleteFileW(path.c_str()) != FALSE; }

bool SeekStdio(FILE* file, int64_t offset, int origin) { return _fseeki64(file, offset, origin) == 0; }

int64_t TellStdio(FILE* file) { return _ftelli64(file); }

uint32_t LastSystemError() { return GetLastError(); }

void ClearSystemError() { SetLastError(ERROR_SUCCESS); }

}  // namespace platform

// The one layer between the portable code and the operating system.
// Win32 builds use the real kernel32/advapi32 calls; POSIX builds use their
// nearest equivalents so the format code can be built, fuzzed and sanitised
// natively. Paths are std::wstring everywhere (UTF-16 on Windows, UTF-32 on
// Linux).
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace platform {

// ---- read-only files by handle -------------------------------------------

// Opaque handle: a HANDLE on Windows, a file descriptor on POSIX.
using FileHandle = void*;
extern const FileHandle kInvalidFile;

// Who else may use the file while we hold it open.
enum class ShareMode {
  kReadOnly,   // others may read; writing and deleting are denied
  kReadWrite,  // others may read and write (FILE_SHARE_READ | FILE_SHARE_WRITE)
  kReadWriteDelete,  // ... and delete or rename it (adds FILE_SHARE_DELETE)
};

FileHandle OpenFileForRead(const std::wstring& path, ShareMode share);
// Tools only, once at the start: files opened from now on (here and by
// OpenStdioFile) may also be deleted while open, so that an interrupted
// tool's clean-up can remove what it still holds; and they are not inherited
// by the programs it starts. Windows only: POSIX allows both already.
void ShareOpenFilesForDeletion();
void CloseFile(FileHandle file);
// Reads up to `size` bytes; `*read` receives the count (0 at end of file).
bool ReadFromFile(FileHandle file, void* buffer, uint32_t size, uint32_t* read);
// Reads exactly `size` bytes or fails.
bool ReadExact(FileHandle file, void* buffer, uint32_t size);
enum class SeekFrom { kBegin, kCurrent, kEnd };
// Moves the file position; `*position` (optional) receives the new one.
bool SeekFile(FileHandle file, int64_t offset, SeekFrom from, int64_t* position = nullptr);
bool GetFileSize64(FileHandle file, int64_t* size);

// RAII owner of a FileHandle.
class ScopedFile {
 public:
  explicit ScopedFile(FileHandle file = kInvalidFile) : file_(file) {}
  ~ScopedFile() { Reset(); }
  ScopedFile(const ScopedFile&) = delete;
  ScopedFile& operator=(const ScopedFile&) = delete;
  FileHandle get() const { return file_; }
  bool valid() const { return file_ != kInvalidFile; }
  void Reset(FileHandle file = kInvalidFile) {
    if (file_ != kInvalidFile) CloseFile(file_);
    file_ = file;
  }
  FileHandle Release() {
    FileHandle f = file_;
    file_ = kInvalidFile;
    return f;
  }

 private:
  FileHandle file_;
};

// ---- C runtime streams on wide paths ---------------------------------------

// As _wfopen on Windows (see files_win32.cpp for how writing differs); fopen
// of the UTF-8 path on POSIX. `mode` is e.g. L"rb".
FILE* OpenStdioFile(const std::wstring& path, const wchar_t* mode);
bool DeleteFilePath(const std::wstring& path);
// 64-bit positions on a stdio stream (fseek/ftell are 32-bit on mingw).
bool SeekStdio(FILE* file, int64_t offset, int origin);
int64_t TellStdio(FILE* file);

// The calling thread's system error code (GetLastError; errno on POSIX).
uint32_t LastSystemError();
// Clears it before a call that may fail without setting it: a stdio write
// that comes up short after a partial write leaves the previous value.
void ClearSystemError();

// ---- diagnostics -------------------------------------------------------------

// OutputDebugStringA on Windows; a line on stderr on POSIX.
void DebugOutput(const char* text);
// Tests capture the debug channel in-process: while a sink is set every line
// goes to it instead of the system channel.
using DebugSink = void (*)(const char* text, void* context);
void SetDebugSink(DebugSink sink, void* context);

// True when the diagnostic switch holds exactly the enabling text:
// the REG_SZ value KZSTR under HKLM\Software\Tolvekar (64-bit view) on
// Windows, the environment variable KZSTR on POSIX.
bool ReadDiagSwitch();

uint32_t TickCount();
uint32_t CurrentThreadId();

// A folder whose files live in memory (tmpfs on POSIX), for the tools'
// scratch files: writing there costs a fraction of a disk file system's
// time. Only when both its free space and the free memory are at least
// twice `bytes`; "" otherwise, and always on Windows, which has none.
std::string MemoryBackedTempRoot(uint64_t bytes);

// When the process is interrupted (POSIX: SIGINT, SIGTERM or SIGHUP; Windows:
// Ctrl-C, Ctrl-Break, the console closed), `cleanup` runs on an ordinary
// thread, then the process ends as the interruption would have ended it. Call
// once, before any other thread starts (POSIX threads inherit the blocked
// signals that route them to the thread that runs `cleanup`).
void CallOnInterrupt(void (*cleanup)());

// ---- threads for computation -----------------------------------------------

// A thread that only computes (see support/compute_lane.h). Null when none
// could be started.
using ThreadHandle = void*;
ThreadHandle StartThread(void (*run)(void* context), void* context);
// Waits until the thread has ended and releases it.
void JoinThread(ThreadHandle thread);
// How many processors this process may run on (its affinity mask, not the
// machine's count); at least 1.
uint32_t UsableProcessorCount();

// A counting semaphore (Win32 semaphores exist on every Windows the stub
// runs on). Null when it could not be made.
using Semaphore = void*;
Semaphore CreateCountingSemaphore(uint32_t initial, uint32_t maximum);
void SignalSemaphore(Semaphore semaphore);
void WaitSemaphore(Semaphore semaphore);
void DestroySemaphore(Semaphore semaphore);

// ---- UTF conversions ---------------------------------------------------------

// Thin wrappers with the shape of WideCharToMultiByte/MultiByteToWideChar for
// CP_UTF8, flags 0 and input length -1: the result counts the terminating
// zero; 0 means failure, and `*insufficient` tells whether the output buffer
// was too small (ERROR_INSUFFICIENT_BUFFER). A null output asks for the size.
int WideToUtf8Raw(const wchar_t* text, char* out, int outSize, bool* insufficient);
int Utf8ToWideRaw(const char* text, wchar_t* out, int outSize, bool* insufficient);

}  // namespace platform

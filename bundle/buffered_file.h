// A read-only file with a read-ahead buffer: the bundle reader reads many
// 4-byte fields, and one system call per field would dominate its time.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "support/byte_buffer.h"

class BufferedFile {
 public:
  BufferedFile() = default;
  ~BufferedFile() { Close(); }
  BufferedFile(const BufferedFile&) = delete;
  BufferedFile& operator=(const BufferedFile&) = delete;

  // Read-only; others may read the file but neither write nor delete it
  // while it is open.
  bool Open(const std::wstring& path);
  void Close();
  bool is_open() const { return file_.valid(); }

  // Reads up to `size` bytes at the current position; returns the count.
  uint32_t Read(void* buffer, uint32_t size);
  // Positions at or past the end are allowed; reads there return 0.
  bool Seek(int64_t position);
  int64_t Tell() const { return position_; }
  bool Size(int64_t* size);

 private:
  platform::ScopedFile file_;
  ByteBuffer buffer_;  // kBufferSize bytes while open
  int64_t bufferStart_ = 0;  // file offset of buffer_[0]
  uint32_t bufferLength_ = 0;
  int64_t position_ = 0;     // logical position
  int64_t osPosition_ = 0;   // where the handle stands
};

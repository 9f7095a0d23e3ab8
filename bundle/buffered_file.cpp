#include "bundle/buffered_file.h"

#include <cstring>

namespace {
constexpr uint32_t kBufferSize = 64 * 1024;
}

bool BufferedFile::Open(const std::wstring& path) {
  Close();
  file_.Reset(platform::OpenFileForRead(path, platform::ShareMode::kReadOnly));
  if (!file_.valid()) return false;
  if (buffer_.Reserve(kBufferSize) == nullptr) {
    file_.Reset();
    return false;
  }
  return true;
}

void BufferedFile::Close() {
  file_.Reset();
  buffer_.Release();
  bufferStart_ = 0;
  bufferLength_ = 0;
  position_ = 0;
  osPosition_ = 0;
}

bool BufferedFile::Seek(int64_t position) {
  if (!file_.valid() || position < 0) return false;
  position_ = position;
  return true;
}

bool BufferedFile::Size(int64_t* size) { return file_.valid() && platform::GetFileSize64(file_.get(), size); }

uint32_t BufferedFile::Read(void* buffer, uint32_t size) {
  if (!file_.valid()) return 0;
  unsigned char* out = static_cast<unsigned char*>(buffer);
  uint32_t done = 0;
  while (done < size) {
    // Serve from the buffer when the position lies inside it.
    if (position_ >= bufferStart_ && position_ < bufferStart_ + bufferLength_) {
      uint32_t offset = static_cast<uint32_t>(position_ - bufferStart_);
      uint32_t n = bufferLength_ - offset;
      if (n > size - done) n = size - done;
      memcpy(out + done, buffer_.data() + offset, n);
      done += n;
      position_ += n;
      continue;
    }
    if (osPosition_ != position_) {
      if (!platform::SeekFile(file_.get(), position_, platform::SeekFrom::kBegin)) break;
      osPosition_ = position_;
    }
    uint32_t remaining = size - done;
    uint32_t got = 0;
    if (remaining >= kBufferSize) {
      // Large reads go straight to the caller.
      bool ok = platform::ReadFromFile(file_.get(), out + done, remaining, &got);
      osPosition_ += got;
      position_ += got;
      done += got;
      if (!ok || got < remaining) break;
      continue;
    }
    bool ok = platform::ReadFromFile(file_.get(), buffer_.data(), kBufferSize, &got);
    osPosition_ += got;
    bufferStart_ = position_;
    bufferLength_ = got;
    if (!ok || got == 0) break;
  }
  return done;
}

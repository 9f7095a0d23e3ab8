// Block and chunk buffers, allocated without throwing. They are large (a
// chunk holds up to 25 MiB), a 32-bit address space can refuse them, and the
// installer's code neither raises nor catches exceptions: a buffer that
// cannot be had fails its step, and the run ends through its cleanup.
#pragma once

#include <cstddef>
#include <memory>

class ByteBuffer {
 public:
  // At least `size` bytes, never null for a size of 0; grows only and keeps
  // no contents. Null when the memory cannot be had (the old buffer stays).
  unsigned char* Reserve(size_t size);
  unsigned char* data() const { return data_.get(); }
  void Release();

 private:
  std::unique_ptr<unsigned char[]> data_;
  size_t size_ = 0;
};

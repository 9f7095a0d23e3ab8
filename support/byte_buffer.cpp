#include "support/byte_buffer.h"

#include <new>

unsigned char* ByteBuffer::Reserve(size_t size) {
  if (size == 0) size = 1;
  if (size <= size_) return data_.get();
  unsigned char* fresh = new (std::nothrow) unsigned char[size];
  if (fresh == nullptr) return nullptr;
  data_.reset(fresh);
  size_ = size;
  return fresh;
}

void ByteBuffer::Release() {
  data_.reset();
  size_ = 0;
}

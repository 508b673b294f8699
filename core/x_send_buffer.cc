#include "core/x_send_buffer.h"

#include <algorithm>
#include <cstring>

namespace vy {

XSendBuffer::XSendBuffer() : buffer_(new char[kInitialCapacity]()), capacity_(kInitialCapacity) {}

XSendBuffer::~XSendBuffer() {
  // Message contents do not outlive the client in freed memory.
  std::memset(buffer_.get(), 0, used_);
}

bool XSendBuffer::Grow(size_t length) {
  if (length > kMaxCapacity || used_ > kMaxCapacity - length) return false;
  const size_t needed = used_ + length;
  if (needed <= capacity_) return true;
  const size_t new_capacity = std::max(needed, std::min(capacity_ * 2, kMaxCapacity));
  // Bytes past the used ones are written before they are read: no need to zero them.
  std::unique_ptr<char[]> grown(new char[new_capacity]);
  std::memcpy(grown.get(), buffer_.get(), used_);
  std::memset(buffer_.get(), 0, used_);
  buffer_ = std::move(grown);
  capacity_ = new_capacity;
  return true;
}

bool XSendBuffer::Reserve(size_t length) { return Grow(length); }

bool XSendBuffer::Append(const char* data, size_t length) {
  if (data == nullptr || length == 0 || !Grow(length)) return false;
  std::memcpy(buffer_.get() + used_, data, length);
  used_ += length;
  return true;
}

void XSendBuffer::Consume(size_t n) {
  if (n >= used_) {
    Clear();
    return;
  }
  std::memmove(buffer_.get(), buffer_.get() + n, used_ - n);
  // Zero only the bytes vacated at the end, not the whole capacity.
  std::memset(buffer_.get() + used_ - n, 0, n);
  used_ -= n;
}

void XSendBuffer::Clear() {
  std::memset(buffer_.get(), 0, used_);
  used_ = 0;
  if (capacity_ > kShrinkAbove) {
    buffer_.reset(new char[kInitialCapacity]());
    capacity_ = kInitialCapacity;
  }
}

}  // namespace vy

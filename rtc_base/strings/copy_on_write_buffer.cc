#include "rtc_base/strings/copy_on_write_buffer.h"

#include <string.h>

#include <algorithm>

namespace rtc {

CopyOnWriteBuffer::CopyOnWriteBuffer(const std::string& s)
    : CopyOnWriteBuffer(s.data(), s.size(), s.size()) {}

CopyOnWriteBuffer::CopyOnWriteBuffer(size_t size)
    : buffer_(size > 0 ? new SharedBuffer(size) : nullptr) {}

CopyOnWriteBuffer::CopyOnWriteBuffer(size_t size, size_t capacity)
    : buffer_(size > 0 || capacity > 0 ? new SharedBuffer(size, capacity) : nullptr) {}

bool CopyOnWriteBuffer::operator==(const CopyOnWriteBuffer& buf) const {
  if (buffer_.get() == buf.buffer_.get()) return true;
  if (!buffer_ || !buf.buffer_) return false;
  return *buffer_ == *buf.buffer_;
}

void CopyOnWriteBuffer::SetBytes(const uint8_t* data, size_t size) {
  if (!buffer_) {
    if (size > 0) buffer_ = new SharedBuffer(data, size);
    return;
  }
  if (!buffer_->HasOneRef()) {
    // The old bytes are about to be replaced, so there is nothing worth copying.
    buffer_ = new SharedBuffer(data, size, buffer_->capacity());
    return;
  }
  buffer_->SetData(data, size);
}

void CopyOnWriteBuffer::AppendBytes(const uint8_t* data, size_t size) {
  if (size == 0) return;
  if (!buffer_) {
    buffer_ = new SharedBuffer(data, size);
    return;
  }
  CloneDataIfReferenced(std::max(buffer_->capacity(), buffer_->size() + size));
  buffer_->AppendData(data, size);
}

void CopyOnWriteBuffer::SetSize(size_t size) {
  if (!buffer_) {
    if (size > 0) buffer_ = new SharedBuffer(size);
    return;
  }
  if (!buffer_->HasOneRef()) {
    // Copy only the bytes that survive the resize.
    buffer_ = new SharedBuffer(buffer_->data(), std::min(buffer_->size(), size),
                               std::max(buffer_->capacity(), size));
  }
  buffer_->SetSize(size);
}

void CopyOnWriteBuffer::EnsureCapacity(size_t capacity) {
  if (!buffer_) {
    if (capacity > 0) buffer_ = new SharedBuffer(0, capacity);
    return;
  }
  if (capacity <= buffer_->capacity()) return;
  CloneDataIfReferenced(capacity);
  buffer_->EnsureCapacity(capacity);
}

void CopyOnWriteBuffer::Clear() {
  if (!buffer_) return;
  if (buffer_->HasOneRef()) {
    buffer_->Clear();
  } else {
    buffer_ = new SharedBuffer(0, buffer_->capacity());
  }
}

void CopyOnWriteBuffer::CloneDataIfReferenced(size_t new_capacity) {
  if (buffer_->HasOneRef()) return;
  buffer_ =
      new SharedBuffer(buffer_->data(), buffer_->size(), std::max(buffer_->size(), new_capacity));
}

}  // namespace rtc

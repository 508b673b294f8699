#include "rtc_base/net/memory_stream.h"

#include <errno.h>
#include <string.h>

#include <algorithm>
#include <new>

namespace rtc {

namespace {

// Allocations carry this much slack so that the buffer can start on a
// 16-byte boundary.
constexpr size_t kAlignment = 16;

char* AlignedStart(char* allocation) {
  uintptr_t p = reinterpret_cast<uintptr_t>(allocation);
  p = (p + kAlignment - 1) & ~static_cast<uintptr_t>(kAlignment - 1);
  return reinterpret_cast<char*>(p);
}

}  // namespace

MemoryStreamBase::MemoryStreamBase() = default;

StreamState MemoryStreamBase::GetState() const { return SS_OPEN; }

StreamResult MemoryStreamBase::Read(void* buffer, size_t bytes, size_t* bytes_read,
                                    int* /*error*/) {
  if (seek_position_ >= data_length_) return SR_EOS;
  size_t available = data_length_ - seek_position_;
  if (bytes > available) bytes = available;
  if (bytes > 0) memcpy(buffer, buffer_ + seek_position_, bytes);
  seek_position_ += bytes;
  if (bytes_read) *bytes_read = bytes;
  return SR_SUCCESS;
}

StreamResult MemoryStreamBase::Write(const void* buffer, size_t bytes, size_t* bytes_written,
                                     int* error) {
  size_t available = buffer_length_ - seek_position_;
  if (available == 0) {
    // Grow to the end of this write rounded up to the next multiple of 256,
    // or to twice the capacity, whichever is larger.
    if (bytes > SIZE_MAX - seek_position_ || ((seek_position_ + bytes) | 255) == SIZE_MAX ||
        buffer_length_ > SIZE_MAX / 2) {
      if (error) *error = EFBIG;
      return SR_ERROR;
    }
    size_t new_length = std::max(((seek_position_ + bytes) | 255) + 1, buffer_length_ * 2);
    size_t cap = MaxCapacity();
    if (new_length > cap && cap > buffer_length_) new_length = cap;
    StreamResult result = DoReserve(new_length, error);
    if (result != SR_SUCCESS) return result;
    available = buffer_length_ - seek_position_;
  }

  if (bytes > available) bytes = available;
  if (bytes > 0) memcpy(buffer_ + seek_position_, buffer, bytes);
  seek_position_ += bytes;
  if (data_length_ < seek_position_) data_length_ = seek_position_;
  if (bytes_written) *bytes_written = bytes;
  return SR_SUCCESS;
}

void MemoryStreamBase::Close() {}

bool MemoryStreamBase::SetPosition(size_t position) {
  if (position > data_length_) return false;
  seek_position_ = position;
  return true;
}

bool MemoryStreamBase::GetPosition(size_t* position) const {
  if (position) *position = seek_position_;
  return true;
}

bool MemoryStreamBase::GetSize(size_t* size) const {
  if (size) *size = data_length_;
  return true;
}

bool MemoryStreamBase::GetAvailable(size_t* size) const {
  if (size) *size = data_length_ - seek_position_;
  return true;
}

bool MemoryStreamBase::ReserveSize(size_t size) { return DoReserve(size, nullptr) == SR_SUCCESS; }

StreamResult MemoryStreamBase::DoReserve(size_t size, int* /*error*/) {
  return (buffer_length_ >= size) ? SR_SUCCESS : SR_EOS;
}

MemoryStream::MemoryStream() = default;

MemoryStream::MemoryStream(const char* data) { SetData(data, strlen(data)); }

MemoryStream::MemoryStream(const void* data, size_t length) { SetData(data, length); }

MemoryStream::~MemoryStream() = default;

void MemoryStream::SetData(const void* data, size_t length) {
  // The new buffer is filled before the old one is freed, because data may
  // point into the old one.
  std::unique_ptr<char[]> allocation(new char[length + kAlignment]);
  char* buffer = AlignedStart(allocation.get());
  if (length > 0) memcpy(buffer, data, length);
  allocation_ = std::move(allocation);
  buffer_ = buffer;
  buffer_length_ = length;
  data_length_ = length;
  seek_position_ = 0;
}

StreamResult MemoryStream::DoReserve(size_t size, int* error) {
  if (buffer_length_ >= size) return SR_SUCCESS;
  if (size > max_size_ || size > SIZE_MAX - kAlignment) {
    if (error) *error = EFBIG;
    return SR_ERROR;
  }
  std::unique_ptr<char[]> allocation(new (std::nothrow) char[size + kAlignment]);
  if (!allocation) {
    if (error) *error = ENOMEM;
    return SR_ERROR;
  }
  char* buffer = AlignedStart(allocation.get());
  if (data_length_ > 0) memcpy(buffer, buffer_, data_length_);
  allocation_ = std::move(allocation);
  buffer_ = buffer;
  buffer_length_ = size;
  return SR_SUCCESS;
}

ExternalMemoryStream::ExternalMemoryStream() = default;

ExternalMemoryStream::ExternalMemoryStream(void* data, size_t length) { SetData(data, length); }

ExternalMemoryStream::~ExternalMemoryStream() = default;

void ExternalMemoryStream::SetData(void* data, size_t length) {
  buffer_ = static_cast<char*>(data);
  buffer_length_ = length;
  data_length_ = length;
  seek_position_ = 0;
}

}  // namespace rtc

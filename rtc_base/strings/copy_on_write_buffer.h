#ifndef RTC_BASE_STRINGS_COPY_ON_WRITE_BUFFER_H_
#define RTC_BASE_STRINGS_COPY_ON_WRITE_BUFFER_H_

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <type_traits>
#include <utility>

#include "rtc_base/base/checks.h"
#include "rtc_base/base/ref_counted_object.h"
#include "rtc_base/base/scoped_refptr.h"
#include "rtc_base/strings/buffer.h"

namespace rtc {

// A byte buffer shared between copies: copying takes a reference, and a holder that changes
// the bytes or the size while others share them first makes a private copy, so the others
// never see the change. Reads never copy. Copies may be made and destroyed on any thread.
class CopyOnWriteBuffer {
 public:
  CopyOnWriteBuffer() = default;
  CopyOnWriteBuffer(const CopyOnWriteBuffer& buf) = default;
  CopyOnWriteBuffer(CopyOnWriteBuffer&& buf) noexcept : buffer_(std::move(buf.buffer_)) {}
  explicit CopyOnWriteBuffer(const std::string& s);
  // Size 0 gives a null buffer; otherwise size == capacity, contents unset.
  explicit CopyOnWriteBuffer(size_t size);
  // Both 0 gives a null buffer; otherwise the capacity is max(size, capacity).
  CopyOnWriteBuffer(size_t size, size_t capacity);

  template <typename T, typename std::enable_if_t<internal::BufferCompat<uint8_t, T>>* = nullptr>
  CopyOnWriteBuffer(const T* data, size_t size) : CopyOnWriteBuffer(data, size, size) {}
  template <typename T, typename std::enable_if_t<internal::BufferCompat<uint8_t, T>>* = nullptr>
  CopyOnWriteBuffer(const T* data, size_t size, size_t capacity)
      : CopyOnWriteBuffer(size, capacity) {
    if (buffer_ && size > 0) memcpy(buffer_->data(), data, size);
  }

  ~CopyOnWriteBuffer() = default;

  CopyOnWriteBuffer& operator=(const CopyOnWriteBuffer& buf) = default;
  CopyOnWriteBuffer& operator=(CopyOnWriteBuffer&& buf) noexcept {
    buffer_ = std::move(buf.buffer_);
    return *this;
  }

  // Read access; null while there is no buffer.
  template <typename T = uint8_t,
            typename std::enable_if_t<internal::BufferCompat<uint8_t, T>>* = nullptr>
  const T* cdata() const {
    return buffer_ ? buffer_->data<T>() : nullptr;
  }
  template <typename T = uint8_t,
            typename std::enable_if_t<internal::BufferCompat<uint8_t, T>>* = nullptr>
  const T* data() const {
    return cdata<T>();
  }
  // Write access: makes the bytes private to this holder first.
  template <typename T = uint8_t,
            typename std::enable_if_t<internal::BufferCompat<uint8_t, T>>* = nullptr>
  T* data() {
    if (!buffer_) return nullptr;
    CloneDataIfReferenced(buffer_->capacity());
    return buffer_->data<T>();
  }

  size_t size() const { return buffer_ ? buffer_->size() : 0; }
  size_t capacity() const { return buffer_ ? buffer_->capacity() : 0; }
  bool empty() const { return size() == 0; }

  uint8_t operator[](size_t index) const {
    RTC_DCHECK_LT(index, size());
    return cdata()[index];
  }

  // Same buffer (both null included), or both allocated with equal size and bytes. A null
  // buffer and an allocated empty one differ.
  bool operator==(const CopyOnWriteBuffer& buf) const;

  // Replaces the contents with a copy of `size` bytes.
  template <typename T, typename std::enable_if_t<internal::BufferCompat<uint8_t, T>>* = nullptr>
  void SetData(const T* data, size_t size) {
    SetBytes(reinterpret_cast<const uint8_t*>(data), size);
  }
  // Shares `buf`'s bytes.
  void SetData(const CopyOnWriteBuffer& buf) { buffer_ = buf.buffer_; }

  template <typename T, typename std::enable_if_t<internal::BufferCompat<uint8_t, T>>* = nullptr>
  void AppendData(const T* data, size_t size) {
    AppendBytes(reinterpret_cast<const uint8_t*>(data), size);
  }
  void AppendData(const CopyOnWriteBuffer& buf) { AppendBytes(buf.cdata(), buf.size()); }

  // Changes the size (new bytes unset), copying first when shared; growth keeps headroom.
  void SetSize(size_t size);
  // Reserves at least `capacity` bytes, copying first when shared.
  void EnsureCapacity(size_t capacity);
  // Size 0. The sole owner keeps its capacity; a shared holder takes a new empty buffer of
  // the same capacity and leaves the others their data.
  void Clear();

  void swap(CopyOnWriteBuffer& other) noexcept { buffer_.swap(other.buffer_); }

 private:
  using SharedBuffer = RefCountedObject<Buffer>;

  void SetBytes(const uint8_t* data, size_t size);
  void AppendBytes(const uint8_t* data, size_t size);
  // Gives this holder a private copy of the data with at least `new_capacity` bytes when
  // others share the buffer.
  void CloneDataIfReferenced(size_t new_capacity);

  scoped_refptr<SharedBuffer> buffer_;
};

inline void swap(CopyOnWriteBuffer& a, CopyOnWriteBuffer& b) noexcept { a.swap(b); }

}  // namespace rtc

#endif  // RTC_BASE_STRINGS_COPY_ON_WRITE_BUFFER_H_

#ifndef RTC_BASE_STRINGS_BUFFER_H_
#define RTC_BASE_STRINGS_BUFFER_H_

#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include <algorithm>
#include <memory>
#include <type_traits>
#include <utility>

#include "rtc_base/base/checks.h"
#include "rtc_base/strings/zero_memory.h"

namespace rtc {

namespace internal {

// Elements of type U may be copied into a BufferT<T> when both are the same type, or both are
// one-byte integer types (char, signed char, unsigned char, uint8_t, std::byte).
template <typename T, typename U>
inline constexpr bool BufferCompat =
    std::is_same_v<std::remove_const_t<T>, std::remove_const_t<U>> ||
    (sizeof(T) == 1 && sizeof(U) == 1 &&
     (std::is_integral_v<T> || std::is_same_v<T, std::byte>)&&(
         std::is_integral_v<U> ||
         std::is_same_v<std::remove_const_t<U>, std::byte>)&&!std::is_same_v<std::remove_const_t<T>,
                                                                             bool> &&
     !std::is_same_v<std::remove_const_t<U>, bool>);

}  // namespace internal

// An owned, growable array of trivially copyable elements, with a size (elements in use) and a
// capacity (elements allocated). Moving is cheap; copying is explicit (SetData).
//
// With ZeroOnFree set, every array the buffer gives up (when it grows, on move assignment and
// in the destructor) is wiped over its whole capacity before it is freed, and bytes dropped by
// shrinking are wiped at once; use it for passwords and credentials.
template <typename T, bool ZeroOnFree = false>
class BufferT {
  static_assert(std::is_trivially_copyable_v<T>, "BufferT holds plain data only");
  static_assert(!std::is_const_v<T>, "BufferT elements must be mutable");

 public:
  using value_type = T;
  using const_iterator = const T*;

  BufferT() = default;
  explicit BufferT(size_t size) : BufferT(size, size) {}
  BufferT(size_t size, size_t capacity)
      : size_(size),
        capacity_(std::max(size, capacity)),
        data_(capacity_ > 0 ? new T[capacity_] : nullptr) {}

  template <typename U, typename std::enable_if_t<internal::BufferCompat<T, U>>* = nullptr>
  BufferT(const U* data, size_t size) : BufferT(data, size, size) {}

  template <typename U, typename std::enable_if_t<internal::BufferCompat<T, U>>* = nullptr>
  BufferT(const U* data, size_t size, size_t capacity) : BufferT(size, capacity) {
    if (size > 0) memcpy(data_.get(), data, size * sizeof(T));
  }

  template <typename U, size_t N,
            typename std::enable_if_t<internal::BufferCompat<T, U>>* = nullptr>
  explicit BufferT(U (&array)[N]) : BufferT(array, N) {}

  BufferT(const BufferT&) = delete;
  BufferT& operator=(const BufferT&) = delete;

  BufferT(BufferT&& other) noexcept
      : size_(other.size_), capacity_(other.capacity_), data_(std::move(other.data_)) {
    other.size_ = 0;
    other.capacity_ = 0;
  }

  BufferT& operator=(BufferT&& other) noexcept {
    if (this != &other) {
      WipeAll();
      size_ = other.size_;
      capacity_ = other.capacity_;
      data_ = std::move(other.data_);
      other.size_ = 0;
      other.capacity_ = 0;
    }
    return *this;
  }

  ~BufferT() { WipeAll(); }

  // Null while the capacity is 0.
  template <typename U = T, typename std::enable_if_t<internal::BufferCompat<T, U>>* = nullptr>
  const U* data() const {
    return reinterpret_cast<const U*>(data_.get());
  }
  template <typename U = T, typename std::enable_if_t<internal::BufferCompat<T, U>>* = nullptr>
  U* data() {
    return reinterpret_cast<U*>(data_.get());
  }

  size_t size() const { return size_; }
  size_t capacity() const { return capacity_; }
  bool empty() const { return size_ == 0; }

  T& operator[](size_t index) {
    RTC_DCHECK_LT(index, size_);
    return data_[index];
  }
  const T& operator[](size_t index) const {
    RTC_DCHECK_LT(index, size_);
    return data_[index];
  }

  T* begin() { return data_.get(); }
  T* end() { return data_.get() + size_; }
  const T* begin() const { return data_.get(); }
  const T* end() const { return data_.get() + size_; }
  const T* cbegin() const { return begin(); }
  const T* cend() const { return end(); }

  bool operator==(const BufferT& other) const {
    return size_ == other.size_ &&
           (size_ == 0 || memcmp(data_.get(), other.data_.get(), size_ * sizeof(T)) == 0);
  }

  // Replaces the contents with a copy of `size` elements.
  template <typename U, typename std::enable_if_t<internal::BufferCompat<T, U>>* = nullptr>
  void SetData(const U* data, size_t size) {
    size_t old_size = size_;
    size_ = 0;
    AppendData(data, size);
    if (ZeroOnFree && size_ < old_size) Wipe(size_, old_size - size_);
  }
  template <typename U, size_t N,
            typename std::enable_if_t<internal::BufferCompat<T, U>>* = nullptr>
  void SetData(const U (&array)[N]) {
    SetData(array, N);
  }
  template <typename C,
            typename std::enable_if_t<internal::BufferCompat<
                T, std::remove_pointer_t<decltype(std::declval<const C&>().data())>>>* = nullptr>
  void SetData(const C& container) {
    SetData(container.data(), container.size());
  }

  // Appends `size` elements, growing with headroom so that repeated appends cost amortised
  // linear time.
  template <typename U, typename std::enable_if_t<internal::BufferCompat<T, U>>* = nullptr>
  void AppendData(const U* data, size_t size) {
    if (size == 0) return;
    const size_t new_size = size_ + size;
    EnsureCapacityWithHeadroom(new_size, true);
    memcpy(data_.get() + size_, data, size * sizeof(T));
    size_ = new_size;
  }
  template <typename U, size_t N,
            typename std::enable_if_t<internal::BufferCompat<T, U>>* = nullptr>
  void AppendData(const U (&array)[N]) {
    AppendData(array, N);
  }
  template <typename C,
            typename std::enable_if_t<internal::BufferCompat<
                T, std::remove_pointer_t<decltype(std::declval<const C&>().data())>>>* = nullptr>
  void AppendData(const C& container) {
    AppendData(container.data(), container.size());
  }
  void AppendData(const T& item) { AppendData(&item, 1); }

  // Changes the size; new elements are unset. Growth keeps headroom like an append.
  void SetSize(size_t size) {
    EnsureCapacityWithHeadroom(size, true);
    if (ZeroOnFree && size < size_) Wipe(size, size_ - size);
    size_ = size;
  }

  // Reserves exactly `capacity` elements (no headroom); never shrinks.
  void EnsureCapacity(size_t capacity) { EnsureCapacityWithHeadroom(capacity, false); }

  // Grows the array to hold `capacity` elements. With `extra_headroom` the new capacity is at
  // least one and a half times the old one. Only the first size() elements are kept.
  void EnsureCapacityWithHeadroom(size_t capacity, bool extra_headroom) {
    if (capacity <= capacity_) return;
    const size_t new_capacity =
        extra_headroom ? std::max(capacity, capacity_ + capacity_ / 2) : capacity;
    std::unique_ptr<T[]> new_data(new T[new_capacity]);
    // size_ never exceeds capacity_; the bound says so to the compiler.
    std::copy_n(data_.get(), std::min(size_, new_capacity), new_data.get());
    WipeAll();
    data_ = std::move(new_data);
    capacity_ = new_capacity;
  }

  // Size 0; the capacity stays.
  void Clear() {
    if (ZeroOnFree) Wipe(0, size_);
    size_ = 0;
  }

  void swap(BufferT& other) noexcept {
    std::swap(size_, other.size_);
    std::swap(capacity_, other.capacity_);
    std::swap(data_, other.data_);
  }

 private:
  void Wipe(size_t from, size_t count) {
    if (count > 0) ExplicitZeroMemory(data_.get() + from, count * sizeof(T));
  }
  // Wipes the whole array before it is given up (wiping variant only).
  void WipeAll() {
    if (ZeroOnFree && data_) Wipe(0, capacity_);
  }

  size_t size_ = 0;
  size_t capacity_ = 0;
  std::unique_ptr<T[]> data_;
};

template <typename T, bool Z>
void swap(BufferT<T, Z>& a, BufferT<T, Z>& b) noexcept {
  a.swap(b);
}

// Bytes, not wiped.
using Buffer = BufferT<uint8_t>;

// Elements wiped before their memory is released.
template <typename T>
using ZeroOnFreeBuffer = BufferT<T, true>;

}  // namespace rtc

#endif  // RTC_BASE_STRINGS_BUFFER_H_

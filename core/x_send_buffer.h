#ifndef CORE_X_SEND_BUFFER_H_
#define CORE_X_SEND_BUFFER_H_

#include <cstddef>
#include <memory>

namespace vy {

// The TCP client's outgoing bytes: whole frames appended one after another, written from the
// front. It doubles when it must grow, so appending stays linear however many frames pile up
// while the connection stalls. Not locked: the client guards it.
class XSendBuffer {
 public:
  static constexpr size_t kInitialCapacity = 4096;
  // A buffer that grew beyond this goes back to kInitialCapacity once drained, so a burst does
  // not keep its memory.
  static constexpr size_t kShrinkAbove = 256 * 1024;
  // While a server stalls, frames pile up here; beyond this they are refused, and their
  // requests time out like any unanswered request.
  static constexpr size_t kMaxCapacity = 32u * 1024 * 1024;

  XSendBuffer();
  ~XSendBuffer();

  XSendBuffer(const XSendBuffer&) = delete;
  XSendBuffer& operator=(const XSendBuffer&) = delete;

  // Appends `length` bytes whole or not at all. False for null data, a length of 0, or when
  // the bytes would take the buffer past kMaxCapacity.
  bool Append(const char* data, size_t length);
  // Grows as Append would and tells whether `length` more bytes fit now.
  bool Reserve(size_t length);
  // Drops the first `n` written bytes, moving the rest to the front.
  void Consume(size_t n);
  // Drops every waiting byte (and memory beyond kShrinkAbove).
  void Clear();

  const char* data() const { return buffer_.get(); }
  size_t used() const { return used_; }
  size_t capacity() const { return capacity_; }

 private:
  bool Grow(size_t length);

  std::unique_ptr<char[]> buffer_;
  size_t capacity_;
  size_t used_ = 0;
};

}  // namespace vy

#endif  // CORE_X_SEND_BUFFER_H_

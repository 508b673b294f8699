#ifndef RTC_BASE_STRINGS_BYTE_BUFFER_H_
#define RTC_BASE_STRINGS_BYTE_BUFFER_H_

#include <stddef.h>
#include <stdint.h>

#include <bit>
#include <string>

#include "rtc_base/strings/buffer.h"

namespace rtc {

class ByteBuffer {
 public:
  // Network order writes the most significant byte first; host order is the machine's own.
  enum ByteOrder : int32_t {
    ORDER_NETWORK = 0,
    ORDER_HOST = 1,
  };

  explicit ByteBuffer(ByteOrder byte_order) : byte_order_(byte_order) {}

  ByteOrder Order() const { return byte_order_; }

 protected:
  // True when values of this buffer are laid out most significant byte first.
  bool BigEndian() const {
    return byte_order_ == ORDER_NETWORK || std::endian::native == std::endian::big;
  }

 private:
  ByteOrder byte_order_;
};

// Appends integers, varints and raw bytes to an owned buffer in the chosen byte order.
// BufferClassT is BufferT<char> or, for secrets, ZeroOnFreeBuffer<char>.
template <class BufferClassT>
class ByteBufferWriterT : public ByteBuffer {
 public:
  // Room reserved up front by the default constructors.
  static constexpr size_t kDefaultCapacity = 4096;

  ByteBufferWriterT() : ByteBufferWriterT(ORDER_NETWORK) {}
  explicit ByteBufferWriterT(ByteOrder byte_order) : ByteBuffer(byte_order) {
    buffer_.EnsureCapacity(kDefaultCapacity);
  }
  // With bytes: starts with a copy of them (capacity exactly len). With null: empty, with len
  // reserved.
  ByteBufferWriterT(const char* bytes, size_t len) : ByteBufferWriterT(bytes, len, ORDER_NETWORK) {}
  ByteBufferWriterT(const char* bytes, size_t len, ByteOrder byte_order) : ByteBuffer(byte_order) {
    if (bytes) {
      buffer_.EnsureCapacity(len);
      buffer_.AppendData(bytes, len);
    } else {
      buffer_.EnsureCapacity(len);
    }
  }

  ByteBufferWriterT(const ByteBufferWriterT&) = delete;
  ByteBufferWriterT& operator=(const ByteBufferWriterT&) = delete;

  const char* Data() const { return buffer_.data(); }
  size_t Length() const { return buffer_.size(); }
  size_t Capacity() const { return buffer_.capacity(); }

  // Forgets what was written; the capacity stays.
  void Clear() { buffer_.Clear(); }

  void WriteUInt8(uint8_t val) { WriteBytes(reinterpret_cast<const char*>(&val), 1); }
  void WriteUInt16(uint16_t val) { WriteInteger(val); }
  // Writes the low 24 bits of `val`.
  void WriteUInt24(uint32_t val) {
    val = InOrder(val);
    // In big-endian layout the low 24 bits are the last three of the four bytes.
    const size_t skip = BigEndian() ? 1 : 0;
    WriteBytes(reinterpret_cast<const char*>(&val) + skip, 3);
  }
  void WriteUInt32(uint32_t val) { WriteInteger(val); }
  void WriteUInt64(uint64_t val) { WriteInteger(val); }

  // Seven bits per byte, least significant group first; the high bit says another byte
  // follows. At most 10 bytes.
  void WriteUVarint(uint64_t val) {
    char bytes[10];
    size_t n = 0;
    while (val >= 0x80) {
      bytes[n++] = static_cast<char>((val & 0x7f) | 0x80);
      val >>= 7;
    }
    bytes[n++] = static_cast<char>(val);
    WriteBytes(bytes, n);
  }

  void WriteString(const std::string& val) { WriteBytes(val.data(), val.size()); }
  void WriteBytes(const char* val, size_t len) { buffer_.AppendData(val, len); }

 private:
  // `val` with its bytes in the writer's order in memory.
  template <typename U>
  U InOrder(U val) const {
    constexpr bool kNativeBig = std::endian::native == std::endian::big;
    if (BigEndian() != kNativeBig) {
      if constexpr (sizeof(U) == 2) val = __builtin_bswap16(val);
      if constexpr (sizeof(U) == 4) val = __builtin_bswap32(val);
      if constexpr (sizeof(U) == 8) val = __builtin_bswap64(val);
    }
    return val;
  }

  template <typename U>
  void WriteInteger(U val) {
    val = InOrder(val);
    WriteBytes(reinterpret_cast<const char*>(&val), sizeof(U));
  }

  BufferClassT buffer_;
};

class ByteBufferWriter : public ByteBufferWriterT<BufferT<char>> {
 public:
  using ByteBufferWriterT::ByteBufferWriterT;
};

// Writer whose bytes are wiped when its memory is released (credentials messages).
using ZeroOnFreeByteBufferWriter = ByteBufferWriterT<ZeroOnFreeBuffer<char>>;

// Reads integers, varints and byte runs from memory it does not own, checking the bounds of
// every read. A failed read consumes nothing, except ReadUVarint (see there).
class ByteBufferReader : public ByteBuffer {
 public:
  ByteBufferReader(const char* bytes, size_t len);
  ByteBufferReader(const char* bytes, size_t len, ByteOrder byte_order);
  // Reads a NUL-terminated text, up to its terminator.
  explicit ByteBufferReader(const char* text);
  explicit ByteBufferReader(const Buffer& buffer);
  template <class BufferClassT>
  explicit ByteBufferReader(const ByteBufferWriterT<BufferClassT>& writer)
      : ByteBufferReader(writer.Data(), writer.Length(), writer.Order()) {}

  ByteBufferReader(const ByteBufferReader&) = delete;
  ByteBufferReader& operator=(const ByteBufferReader&) = delete;

  // The unread bytes.
  const char* Data() const { return bytes_ + start_; }
  size_t Length() const { return end_ - start_; }

  bool ReadUInt8(uint8_t* val);
  bool ReadUInt16(uint16_t* val);
  // Three bytes; in network order the value of b0 b1 b2 is b0 * 65536 + b1 * 256 + b2.
  bool ReadUInt24(uint32_t* val);
  bool ReadUInt32(uint32_t* val);
  bool ReadUInt64(uint64_t* val);
  // Fails at the end of the data and when a 10th byte does not end the value or carries bits
  // beyond 64; the bytes read before a failure stay consumed.
  bool ReadUVarint(uint64_t* val);
  bool ReadBytes(char* val, size_t len);
  // Appends `len` bytes to `val`.
  bool ReadString(std::string* val, size_t len);
  // Skips `size` bytes.
  bool Consume(size_t size);

 private:
  bool ReadInteger(uint64_t* val, size_t len);

  const char* bytes_;
  size_t start_ = 0;
  size_t end_;
};

}  // namespace rtc

#endif  // RTC_BASE_STRINGS_BYTE_BUFFER_H_

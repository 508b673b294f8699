#include "rtc_base/strings/byte_buffer.h"

#include <string.h>

namespace rtc {

ByteBufferReader::ByteBufferReader(const char* bytes, size_t len)
    : ByteBufferReader(bytes, len, ORDER_NETWORK) {}

ByteBufferReader::ByteBufferReader(const char* bytes, size_t len, ByteOrder byte_order)
    : ByteBuffer(byte_order), bytes_(bytes), end_(len) {}

ByteBufferReader::ByteBufferReader(const char* text)
    : ByteBufferReader(text, text ? strlen(text) : 0) {}

ByteBufferReader::ByteBufferReader(const Buffer& buffer)
    : ByteBufferReader(buffer.data<char>(), buffer.size()) {}

bool ByteBufferReader::ReadInteger(uint64_t* val, size_t len) {
  if (!val || Length() < len) return false;
  const auto* p = reinterpret_cast<const uint8_t*>(Data());
  uint64_t v = 0;
  for (size_t i = 0; i < len; ++i) {
    const uint64_t b = BigEndian() ? p[i] : p[len - 1 - i];
    v = (v << 8) | b;
  }
  *val = v;
  start_ += len;
  return true;
}

bool ByteBufferReader::ReadUInt8(uint8_t* val) {
  uint64_t v;
  if (!val || !ReadInteger(&v, 1)) return false;
  *val = static_cast<uint8_t>(v);
  return true;
}

bool ByteBufferReader::ReadUInt16(uint16_t* val) {
  uint64_t v;
  if (!val || !ReadInteger(&v, 2)) return false;
  *val = static_cast<uint16_t>(v);
  return true;
}

bool ByteBufferReader::ReadUInt24(uint32_t* val) {
  uint64_t v;
  if (!val || !ReadInteger(&v, 3)) return false;
  *val = static_cast<uint32_t>(v);
  return true;
}

bool ByteBufferReader::ReadUInt32(uint32_t* val) {
  uint64_t v;
  if (!val || !ReadInteger(&v, 4)) return false;
  *val = static_cast<uint32_t>(v);
  return true;
}

bool ByteBufferReader::ReadUInt64(uint64_t* val) { return ReadInteger(val, 8); }

bool ByteBufferReader::ReadUVarint(uint64_t* val) {
  if (!val) return false;
  // Nine bytes carry 63 bits, so a 10th byte may only add bit 63: anything above 1 would
  // overflow, and a continuation bit there would make an 11-byte value.
  uint64_t v = 0;
  for (int i = 0; i < 10; ++i) {
    uint8_t byte;
    if (!ReadUInt8(&byte)) return false;
    if (i == 9 && byte > 1) return false;
    v |= static_cast<uint64_t>(byte & 0x7f) << (7 * i);
    if (byte < 0x80) {
      *val = v;
      return true;
    }
  }
  return false;
}

bool ByteBufferReader::ReadBytes(char* val, size_t len) {
  if (len > Length()) return false;
  if (len == 0) return true;
  if (!val) return false;
  memcpy(val, Data(), len);
  start_ += len;
  return true;
}

bool ByteBufferReader::ReadString(std::string* val, size_t len) {
  if (!val || len > Length()) return false;
  val->append(Data(), len);
  start_ += len;
  return true;
}

bool ByteBufferReader::Consume(size_t size) {
  if (size > Length()) return false;
  start_ += size;
  return true;
}

}  // namespace rtc

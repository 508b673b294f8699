#include "rtc_base/byte_buffer.h"

#include <string.h>

#include <cstdint>
#include <limits>
#include <string>

#include "gtest/gtest.h"

namespace rtc {
namespace {

std::string Bytes(const ByteBufferWriter& w) { return std::string(w.Data(), w.Length()); }

TEST(ByteBufferWriterTest, StartsEmptyWithRoomReserved) {
  ByteBufferWriter w;
  EXPECT_EQ(0u, w.Length());
  EXPECT_EQ(4096u, w.Capacity());
  EXPECT_EQ(ByteBuffer::ORDER_NETWORK, w.Order());
  ByteBufferWriter copy("abc", 3);
  EXPECT_EQ("abc", Bytes(copy));
  EXPECT_EQ(3u, copy.Capacity());
  ByteBufferWriter reserved(nullptr, 100, ByteBuffer::ORDER_HOST);
  EXPECT_EQ(0u, reserved.Length());
  EXPECT_EQ(100u, reserved.Capacity());
  EXPECT_EQ(ByteBuffer::ORDER_HOST, reserved.Order());
}

TEST(ByteBufferWriterTest, WritesIntegersMostSignificantByteFirstInNetworkOrder) {
  ByteBufferWriter w;
  w.WriteUInt8(0x01);
  w.WriteUInt16(0x0203);
  w.WriteUInt24(0xff040506);
  w.WriteUInt32(0x0708090a);
  w.WriteUInt64(0x0b0c0d0e0f101112ULL);
  EXPECT_EQ(std::string("\x01\x02\x03\x04\x05\x06\x07\x08\x09\x0a\x0b\x0c\x0d\x0e\x0f\x10\x11\x12"),
            Bytes(w));
}

TEST(ByteBufferWriterTest, WritesIntegersInHostOrder) {
  ByteBufferWriter w(ByteBuffer::ORDER_HOST);
  w.WriteUInt16(0x0102);
  w.WriteUInt24(0x030405);
  w.WriteUInt32(0x06070809);
  w.WriteUInt64(0x0a0b0c0d0e0f1011ULL);
  ASSERT_EQ(17u, w.Length());
  uint16_t v16;
  uint32_t v32;
  uint64_t v64;
  memcpy(&v16, w.Data(), 2);
  memcpy(&v32, w.Data() + 5, 4);
  memcpy(&v64, w.Data() + 9, 8);
  EXPECT_EQ(0x0102, v16);
  EXPECT_EQ(0x06070809u, v32);
  EXPECT_EQ(0x0a0b0c0d0e0f1011ULL, v64);
  if (std::endian::native == std::endian::little) {
    EXPECT_EQ(std::string("\x05\x04\x03"), std::string(w.Data() + 2, 3));
  }
}

TEST(ByteBufferWriterTest, WritesBytesStringsAndClears) {
  ByteBufferWriter w;
  w.WriteString("ab");
  w.WriteBytes("\0c", 2);
  EXPECT_EQ(std::string("ab\0c", 4), Bytes(w));
  w.Clear();
  EXPECT_EQ(0u, w.Length());
  EXPECT_EQ(4096u, w.Capacity());
}

TEST(ByteBufferWriterTest, AppendsGrowWithHeadroom) {
  ByteBufferWriter w(nullptr, 0);
  w.WriteUInt8(1);
  EXPECT_EQ(1u, w.Capacity());
  w.WriteUInt8(2);
  w.WriteUInt8(3);
  w.WriteUInt8(4);
  w.WriteUInt8(5);
  EXPECT_EQ(6u, w.Capacity());
}

TEST(ByteBufferReaderTest, ReadsEveryWidthInBothOrders) {
  for (auto order : {ByteBuffer::ORDER_NETWORK, ByteBuffer::ORDER_HOST}) {
    ByteBufferWriter w(order);
    w.WriteUInt8(0xfe);
    w.WriteUInt16(0xfedc);
    w.WriteUInt24(0xfedcba);
    w.WriteUInt32(0xfedcba98);
    w.WriteUInt64(0xfedcba9876543210ULL);
    ByteBufferReader r(w);
    EXPECT_EQ(order, r.Order());
    uint8_t v8;
    uint16_t v16;
    uint32_t v32;
    uint64_t v64;
    ASSERT_TRUE(r.ReadUInt8(&v8));
    EXPECT_EQ(0xfe, v8);
    ASSERT_TRUE(r.ReadUInt16(&v16));
    EXPECT_EQ(0xfedc, v16);
    ASSERT_TRUE(r.ReadUInt24(&v32));
    EXPECT_EQ(0xfedcbau, v32);
    ASSERT_TRUE(r.ReadUInt32(&v32));
    EXPECT_EQ(0xfedcba98u, v32);
    ASSERT_TRUE(r.ReadUInt64(&v64));
    EXPECT_EQ(0xfedcba9876543210ULL, v64);
    EXPECT_EQ(0u, r.Length());
    EXPECT_FALSE(r.ReadUInt8(&v8));
  }
}

TEST(ByteBufferReaderTest, TwentyFourBitValueIsFirstByteMostSignificant) {
  ByteBufferReader r("\x01\x02\x03", 3);
  uint32_t v = 0;
  ASSERT_TRUE(r.ReadUInt24(&v));
  EXPECT_EQ(1u * 65536 + 2 * 256 + 3, v);
}

TEST(ByteBufferReaderTest, ShortReadsFailWithoutConsuming) {
  ByteBufferReader r("\x01\x02\x03", 3);
  uint32_t v32 = 7;
  uint64_t v64 = 7;
  EXPECT_FALSE(r.ReadUInt32(&v32));
  EXPECT_FALSE(r.ReadUInt64(&v64));
  EXPECT_EQ(7u, v32);
  EXPECT_EQ(3u, r.Length());
  EXPECT_FALSE(r.ReadUInt16(nullptr));
  EXPECT_EQ(3u, r.Length());
  char out[4];
  EXPECT_FALSE(r.ReadBytes(out, 4));
  EXPECT_FALSE(r.Consume(4));
  EXPECT_EQ(3u, r.Length());
  EXPECT_TRUE(r.Consume(1));
  EXPECT_TRUE(r.ReadBytes(out, 2));
  EXPECT_EQ(0, memcmp(out, "\x02\x03", 2));
}

TEST(ByteBufferReaderTest, ReadStringAppends) {
  ByteBufferReader r("hello world");
  EXPECT_EQ(11u, r.Length());
  std::string s = "say ";
  EXPECT_TRUE(r.ReadString(&s, 5));
  EXPECT_EQ("say hello", s);
  EXPECT_FALSE(r.ReadString(&s, 7));
  EXPECT_FALSE(r.ReadString(nullptr, 1));
  EXPECT_EQ("say hello", s);
  EXPECT_EQ(6u, r.Length());
}

TEST(ByteBufferReaderTest, ReadsFromABuffer) {
  const uint8_t data[] = {0x12, 0x34};
  Buffer buf(data, 2);
  ByteBufferReader r(buf);
  uint16_t v;
  ASSERT_TRUE(r.ReadUInt16(&v));
  EXPECT_EQ(0x1234, v);
}

TEST(VarintTest, RoundTripsBoundaryValues) {
  const uint64_t values[] = {0,          1,
                             127,        128,
                             16383,      16384,
                             1ULL << 32, (1ULL << 63) - 1,
                             1ULL << 63, std::numeric_limits<uint64_t>::max()};
  ByteBufferWriter w;
  for (uint64_t v : values) w.WriteUVarint(v);
  ByteBufferReader r(w);
  for (uint64_t v : values) {
    uint64_t got = 0;
    ASSERT_TRUE(r.ReadUVarint(&got));
    EXPECT_EQ(v, got);
  }
  EXPECT_EQ(0u, r.Length());
}

TEST(VarintTest, EncodesSevenBitsPerByteLowGroupFirst) {
  ByteBufferWriter w;
  w.WriteUVarint(128);
  EXPECT_EQ(std::string("\x80\x01"), Bytes(w));
  w.Clear();
  w.WriteUVarint(std::numeric_limits<uint64_t>::max());
  EXPECT_EQ(std::string(9, '\xff') + "\x01", Bytes(w));
  ByteBufferReader r("\x80\x01", 2);
  uint64_t v = 0;
  ASSERT_TRUE(r.ReadUVarint(&v));
  EXPECT_EQ(128u, v);
}

TEST(VarintTest, TenContinuationBytesFail) {
  const std::string data(10, '\xff');
  ByteBufferReader r(data.data(), data.size());
  uint64_t v = 5;
  EXPECT_FALSE(r.ReadUVarint(&v));
  EXPECT_EQ(5u, v);
}

TEST(VarintTest, TenthByteAboveOneOverflowsAndFails) {
  const std::string data = std::string(9, '\xff') + "\x02";
  ByteBufferReader r(data.data(), data.size());
  uint64_t v = 5;
  EXPECT_FALSE(r.ReadUVarint(&v));
  EXPECT_EQ(5u, v);
}

TEST(VarintTest, TruncatedValueFailsAfterConsumingItsBytes) {
  ByteBufferReader r("\x80", 1);
  uint64_t v = 5;
  EXPECT_FALSE(r.ReadUVarint(&v));
  EXPECT_EQ(0u, r.Length());
  EXPECT_FALSE(r.ReadUVarint(nullptr));
  ByteBufferReader empty("", 0);
  EXPECT_FALSE(empty.ReadUVarint(&v));
}

TEST(ZeroOnFreeByteBufferWriterTest, WritesLikeThePlainWriter) {
  ZeroOnFreeByteBufferWriter w;
  w.WriteUInt8(1);
  w.WriteUInt8(4);
  w.WriteString("user");
  EXPECT_EQ(std::string("\x01\x04user"), std::string(w.Data(), w.Length()));
  ByteBufferReader r(w);
  uint8_t version;
  EXPECT_TRUE(r.ReadUInt8(&version));
  EXPECT_EQ(1, version);
}

}  // namespace
}  // namespace rtc

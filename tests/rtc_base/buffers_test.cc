// Byte buffers: the reader and writer of wire integers, the copy-on-write buffer, and the
// buffers that wipe secrets before the memory goes back to the heap.
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "gtest/gtest.h"
#include "rtc_base/strings/buffer.h"
#include "rtc_base/strings/byte_buffer.h"
#include "rtc_base/strings/copy_on_write_buffer.h"

// The wiping tests watch one array: when it is freed, the replaced array delete records whether
// its bytes were all zero at that moment.
namespace {
const void* g_watched = nullptr;
size_t g_watched_len = 0;
int g_watched_frees = 0;
bool g_watched_was_zero = false;

void CheckWatched(void* p) {
  if (p == nullptr || p != g_watched) return;
  ++g_watched_frees;
  const auto* bytes = static_cast<const unsigned char*>(p);
  g_watched_was_zero = std::all_of(bytes, bytes + g_watched_len, [](auto b) { return b == 0; });
}
void Watch(const void* p, size_t len) {
  g_watched = p;
  g_watched_len = len;
  g_watched_frees = 0;
  g_watched_was_zero = false;
}
}  // namespace

void* operator new[](size_t size) {
  if (void* p = malloc(size ? size : 1)) return p;
  throw std::bad_alloc();
}
void operator delete[](void* p) noexcept {
  CheckWatched(p);
  free(p);
}
void operator delete[](void* p, size_t) noexcept {
  CheckWatched(p);
  free(p);
}

namespace rtc {
namespace {

const uint8_t kTestData[] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 0xa, 0xb, 0xc, 0xd, 0xe, 0xf};

TEST(ByteBufferTest, IntegersGoOutInTheChosenOrderAndComeBackAtEveryWidth) {
  ByteBufferWriter net;
  net.WriteUInt8(0x01);
  net.WriteUInt16(0x0203);
  net.WriteUInt24(0xff040506);
  net.WriteUInt32(0x0708090a);
  net.WriteUInt64(0x0b0c0d0e0f101112ULL);
  EXPECT_EQ(std::string("\x01\x02\x03\x04\x05\x06\x07\x08\x09\x0a\x0b\x0c\x0d\x0e\x0f\x10\x11\x12"),
            std::string(net.Data(), net.Length()));
  for (auto order : {ByteBuffer::ORDER_NETWORK, ByteBuffer::ORDER_HOST}) {
    ByteBufferWriter w(order);
    w.WriteUInt8(0xfe);
    w.WriteUInt16(0xfedc);
    w.WriteUInt24(0xfedcba);
    w.WriteUInt32(0xfedcba98);
    w.WriteUInt64(0xfedcba9876543210ULL);
    ByteBufferReader r(w);
    uint8_t v8;
    uint16_t v16;
    uint32_t v24, v32;
    uint64_t v64;
    ASSERT_TRUE(r.ReadUInt8(&v8) && r.ReadUInt16(&v16) && r.ReadUInt24(&v24) &&
                r.ReadUInt32(&v32) && r.ReadUInt64(&v64));
    EXPECT_EQ(0xfe, v8);
    EXPECT_EQ(0xfedc, v16);
    EXPECT_EQ(0xfedcbau, v24);
    EXPECT_EQ(0xfedcba98u, v32);
    EXPECT_EQ(0xfedcba9876543210ULL, v64);
    EXPECT_FALSE(r.ReadUInt8(&v8));
  }
}

TEST(ByteBufferTest, ShortReadsFailWithoutConsuming) {
  ByteBufferReader r("\x01\x02\x03", 3);
  uint32_t v32 = 7;
  EXPECT_FALSE(r.ReadUInt32(&v32));
  EXPECT_EQ(7u, v32);
  char out[4];
  EXPECT_FALSE(r.ReadBytes(out, 4));
  EXPECT_FALSE(r.Consume(4));
  std::string s = "say ";
  EXPECT_FALSE(r.ReadString(&s, 4));
  EXPECT_EQ(3u, r.Length());
  EXPECT_TRUE(r.Consume(1));
  EXPECT_TRUE(r.ReadString(&s, 2));
  EXPECT_EQ(std::string("say \x02\x03"), s);
}

TEST(CopyOnWriteBufferTest, CopiesShareUntilOneChangesItsBytesSizeOrCapacity) {
  CopyOnWriteBuffer a(kTestData, 8);
  CopyOnWriteBuffer b(a);
  EXPECT_EQ(a.cdata(), b.cdata());
  b.data()[0] = 0xaa;
  EXPECT_EQ(0, a[0]);
  EXPECT_EQ(0xaa, b[0]);
  const uint8_t* mine = b.cdata();
  EXPECT_EQ(mine, b.data()) << "the sole owner writes in place";

  const std::vector<void (*)(CopyOnWriteBuffer*)> changes = {
      [](CopyOnWriteBuffer* c) { c->SetSize(4); },
      [](CopyOnWriteBuffer* c) { c->SetSize(12); },
      [](CopyOnWriteBuffer* c) { c->Clear(); },
      [](CopyOnWriteBuffer* c) { c->EnsureCapacity(30); },
      [](CopyOnWriteBuffer* c) { c->AppendData(kTestData, 4); },
      [](CopyOnWriteBuffer* c) { c->SetData("xy", 2); },
  };
  for (size_t i = 0; i < changes.size(); ++i) {
    CopyOnWriteBuffer copy = a;
    changes[i](&copy);
    EXPECT_NE(a.cdata(), copy.cdata()) << i;
    EXPECT_EQ(8u, a.size()) << i;
    EXPECT_EQ(0, memcmp(a.cdata(), kTestData, 8)) << i;
  }
  CopyOnWriteBuffer roomy = a;
  roomy.EnsureCapacity(4);
  EXPECT_EQ(a.cdata(), roomy.cdata()) << "enough capacity: nothing is copied";
  EXPECT_FALSE(CopyOnWriteBuffer() == CopyOnWriteBuffer(0, 16)) << "null is not empty";
  EXPECT_TRUE(CopyOnWriteBuffer(kTestData, 4) == CopyOnWriteBuffer(kTestData, 4, 9));
}

TEST(CopyOnWriteBufferTest, CopiesMadeAndDroppedOnManyThreads) {
  CopyOnWriteBuffer shared(kTestData, sizeof(kTestData));
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&shared, t] {
      for (int i = 0; i < 2000; ++i) {
        CopyOnWriteBuffer copy = shared;
        if (i % 100 == t) copy.data()[0] = static_cast<uint8_t>(t + 1);
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(0, memcmp(shared.cdata(), kTestData, sizeof(kTestData)));
}

TEST(BufferTest, GrowthKeepsHalfTheCapacityAsHeadroomAndAReserveIsExact) {
  Buffer buf;
  std::vector<size_t> capacities;
  for (uint8_t i = 0; i < 7; ++i) {
    buf.AppendData(i);
    capacities.push_back(buf.capacity());
  }
  EXPECT_EQ((std::vector<size_t>{1, 2, 3, 4, 6, 6, 9}), capacities);
  EXPECT_EQ(6, buf[6]);
  buf.EnsureCapacity(20);
  EXPECT_EQ(20u, buf.capacity());
  buf.EnsureCapacity(2);
  EXPECT_EQ(20u, buf.capacity()) << "never shrinks";
  Buffer moved(std::move(buf));
  EXPECT_EQ(0u, buf.size());  // NOLINT(bugprone-use-after-move)
  EXPECT_EQ(7u, moved.size());
}

TEST(BufferTest, SecretsAreWipedOnFreeGrowthAndShrinkButPlainBuffersAreNot) {
  auto* buf = new ZeroOnFreeBuffer<uint8_t>(kTestData + 1, 6, 12);
  memset(buf->data() + 6, 0x55, 6);  // Bytes beyond the size are wiped too.
  Watch(buf->data(), buf->capacity());
  delete buf;
  EXPECT_EQ(1, g_watched_frees);
  EXPECT_TRUE(g_watched_was_zero);

  ZeroOnFreeBuffer<char> secret("secret", 6);
  Watch(secret.data(), secret.capacity());
  secret.AppendData("!", 1);
  EXPECT_EQ(1, g_watched_frees);
  EXPECT_TRUE(g_watched_was_zero);
  EXPECT_EQ(0, memcmp(secret.data(), "secret!", 7));
  secret.SetSize(2);
  for (size_t i = 2; i < 7; ++i) EXPECT_EQ(0, secret.data()[i]) << i;

  auto* plain = new Buffer(kTestData + 1, 6);
  Watch(plain->data(), plain->capacity());
  delete plain;
  EXPECT_EQ(1, g_watched_frees);
  EXPECT_FALSE(g_watched_was_zero);
  Watch(nullptr, 0);
}

}  // namespace
}  // namespace rtc

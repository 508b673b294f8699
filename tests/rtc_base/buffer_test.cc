#include "rtc_base/buffer.h"

#include <stdlib.h>
#include <string.h>

#include <cstddef>
#include <new>
#include <vector>

#include "gtest/gtest.h"
#include "rtc_base/zero_memory.h"

// The wiping test watches one array: when it is freed, the replaced array delete below records
// whether its bytes were all zero at that moment, before the memory goes back to the heap.
namespace {
const void* g_watched = nullptr;
size_t g_watched_len = 0;
int g_watched_frees = 0;
bool g_watched_was_zero = false;

void CheckWatched(void* p) {
  if (p != nullptr && p == g_watched) {
    ++g_watched_frees;
    const auto* bytes = static_cast<const unsigned char*>(p);
    g_watched_was_zero = true;
    for (size_t i = 0; i < g_watched_len; ++i) {
      if (bytes[i] != 0) g_watched_was_zero = false;
    }
  }
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

TEST(BufferTest, ConstructsWithSizeCapacityAndData) {
  Buffer empty;
  EXPECT_EQ(0u, empty.size());
  EXPECT_EQ(0u, empty.capacity());
  EXPECT_EQ(nullptr, empty.data());
  Buffer sized(5, 3);
  EXPECT_EQ(5u, sized.size());
  EXPECT_EQ(5u, sized.capacity());
  Buffer with_room(2, 10);
  EXPECT_EQ(10u, with_room.capacity());
  Buffer copy(kTestData, 4, 8);
  EXPECT_EQ(4u, copy.size());
  EXPECT_EQ(8u, copy.capacity());
  EXPECT_EQ(0, memcmp(copy.data(), kTestData, 4));
  Buffer from_array(kTestData);
  EXPECT_EQ(sizeof(kTestData), from_array.size());
  BufferT<char> chars("abc", 3);
  EXPECT_EQ('b', chars[1]);
  EXPECT_EQ(2, copy.data<char>()[2]);
}

TEST(BufferTest, AppendsGrowByHalfTheCapacity) {
  Buffer buf;
  std::vector<size_t> capacities;
  for (uint8_t i = 0; i < 7; ++i) {
    buf.AppendData(i);
    capacities.push_back(buf.capacity());
  }
  EXPECT_EQ((std::vector<size_t>{1, 2, 3, 4, 6, 6, 9}), capacities);
  for (int i = 0; i < 7; ++i) EXPECT_EQ(i, buf[i]);

  Buffer grow;
  std::vector<size_t> steps;
  while (steps.size() < 7) {
    grow.SetSize(grow.capacity() + 1);
    steps.push_back(grow.capacity());
  }
  EXPECT_EQ((std::vector<size_t>{1, 2, 3, 4, 6, 9, 13}), steps);
}

TEST(BufferTest, ExplicitReserveTakesExactlyTheRequestedCapacity) {
  Buffer buf(kTestData, 4);
  buf.EnsureCapacity(5);
  EXPECT_EQ(5u, buf.capacity());
  EXPECT_EQ(4u, buf.size());
  EXPECT_EQ(0, memcmp(buf.data(), kTestData, 4));
  buf.EnsureCapacity(2);
  EXPECT_EQ(5u, buf.capacity()) << "never shrinks";
  buf.EnsureCapacityWithHeadroom(6, true);
  EXPECT_EQ(7u, buf.capacity());
  buf.EnsureCapacityWithHeadroom(20, true);
  EXPECT_EQ(20u, buf.capacity());
}

TEST(BufferTest, SetDataClearAndCompare) {
  Buffer a(kTestData, 8);
  Buffer b;
  b.SetData(kTestData, 8);
  EXPECT_TRUE(a == b);
  b.SetData(kTestData, 3);
  EXPECT_EQ(3u, b.size());
  EXPECT_FALSE(a == b);
  const size_t cap = b.capacity();
  b.Clear();
  EXPECT_EQ(0u, b.size());
  EXPECT_EQ(cap, b.capacity());
  EXPECT_TRUE(b == Buffer());
  b.SetData(a);
  EXPECT_TRUE(a == b);
  std::vector<char> v = {'x', 'y'};
  b.AppendData(v);
  EXPECT_EQ(10u, b.size());
  EXPECT_EQ('y', b[9]);
}

TEST(BufferTest, MoveLeavesTheSourceEmpty) {
  Buffer a(kTestData, 8);
  const uint8_t* data = a.data();
  Buffer b(std::move(a));
  EXPECT_EQ(data, b.data());
  EXPECT_EQ(0u, a.size());      // NOLINT(bugprone-use-after-move)
  EXPECT_EQ(0u, a.capacity());  // NOLINT(bugprone-use-after-move)
  Buffer c;
  c = std::move(b);
  EXPECT_EQ(data, c.data());
  EXPECT_EQ(8u, c.size());
  swap(a, c);
  EXPECT_EQ(data, a.data());
}

TEST(ZeroOnFreeBufferTest, DestructorWipesTheWholeCapacityBeforeFreeing) {
  {
    auto* buf = new ZeroOnFreeBuffer<uint8_t>(kTestData, 6, 12);
    memset(buf->data() + 6, 0x55, 6);  // Bytes beyond the size are wiped too.
    Watch(buf->data(), buf->capacity());
    delete buf;
  }
  EXPECT_EQ(1, g_watched_frees);
  EXPECT_TRUE(g_watched_was_zero);
}

TEST(ZeroOnFreeBufferTest, GrowthWipesTheOldArray) {
  ZeroOnFreeBuffer<char> buf("secret", 6);
  Watch(buf.data(), buf.capacity());
  buf.AppendData("!", 1);
  EXPECT_EQ(1, g_watched_frees);
  EXPECT_TRUE(g_watched_was_zero);
  EXPECT_EQ(0, memcmp(buf.data(), "secret!", 7));
  Watch(nullptr, 0);
}

TEST(ZeroOnFreeBufferTest, PlainBufferDoesNotWipe) {
  auto* buf = new Buffer(kTestData + 1, 6);
  Watch(buf->data(), buf->capacity());
  delete buf;
  EXPECT_EQ(1, g_watched_frees);
  EXPECT_FALSE(g_watched_was_zero);
}

TEST(ZeroOnFreeBufferTest, ShrinkingWipesTheDroppedBytes) {
  ZeroOnFreeBuffer<uint8_t> buf(kTestData + 1, 8);
  buf.SetSize(2);
  for (size_t i = 2; i < 8; ++i) EXPECT_EQ(0, buf.data()[i]) << i;
  buf.Clear();
  EXPECT_EQ(0, buf.data()[0]);
  EXPECT_EQ(0, buf.data()[1]);
}

TEST(ExplicitZeroMemoryTest, ClearsExactlyTheGivenBytes) {
  char secret[8] = {'p', 'a', 's', 's', 'w', 'o', 'r', 'd'};
  ExplicitZeroMemory(secret + 1, 6);
  EXPECT_EQ('p', secret[0]);
  for (int i = 1; i < 7; ++i) EXPECT_EQ(0, secret[i]);
  EXPECT_EQ('d', secret[7]);
  ExplicitZeroMemory(secret);
  EXPECT_EQ(0, secret[0]);
  EXPECT_EQ(0, secret[7]);
  ExplicitZeroMemory(nullptr, 0);
}

}  // namespace
}  // namespace rtc

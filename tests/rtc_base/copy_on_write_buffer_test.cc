#include "rtc_base/copy_on_write_buffer.h"

#include <string.h>

#include <string>
#include <thread>
#include <vector>

#include "gtest/gtest.h"
#include "rtc_base/ref_counted_object.h"
#include "rtc_base/scoped_refptr.h"

namespace rtc {
namespace {

const uint8_t kTestData[] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 0xa, 0xb, 0xc, 0xd, 0xe, 0xf};

TEST(CopyOnWriteBufferTest, ConstructorsFollowTheSizeRules) {
  CopyOnWriteBuffer none;
  EXPECT_EQ(nullptr, none.cdata());
  EXPECT_EQ(0u, none.capacity());
  CopyOnWriteBuffer zero(size_t{0});
  EXPECT_EQ(nullptr, zero.cdata());
  CopyOnWriteBuffer sized(size_t{5});
  EXPECT_EQ(5u, sized.size());
  EXPECT_EQ(5u, sized.capacity());
  CopyOnWriteBuffer both(3, 2);
  EXPECT_EQ(3u, both.size());
  EXPECT_EQ(3u, both.capacity());
  CopyOnWriteBuffer room(0, 16);
  EXPECT_NE(nullptr, room.cdata());
  EXPECT_EQ(0u, room.size());
  EXPECT_EQ(16u, room.capacity());
  CopyOnWriteBuffer text(std::string("abc"));
  EXPECT_EQ(3u, text.size());
  EXPECT_EQ(0, memcmp("abc", text.cdata<char>(), 3));
  CopyOnWriteBuffer data(kTestData, 4, 10);
  EXPECT_EQ(4u, data.size());
  EXPECT_EQ(10u, data.capacity());
  EXPECT_EQ(3, data[3]);
}

TEST(CopyOnWriteBufferTest, CopiesShareUntilOneWrites) {
  CopyOnWriteBuffer a(kTestData, 8);
  CopyOnWriteBuffer b(a);
  EXPECT_EQ(a.cdata(), b.cdata()) << "a copy shares the bytes";
  uint8_t* mine = b.data();
  EXPECT_NE(a.cdata(), mine) << "writable access copies first";
  mine[0] = 0xaa;
  EXPECT_EQ(0, a[0]);
  EXPECT_EQ(0xaa, b[0]);
  // The sole owner writes in place.
  const uint8_t* before = b.cdata();
  EXPECT_EQ(before, b.data());
}

TEST(CopyOnWriteBufferTest, ResizedCopyLeavesTheOriginalUntouched) {
  CopyOnWriteBuffer a(kTestData, 8);
  CopyOnWriteBuffer b = a;
  b.SetSize(4);
  EXPECT_EQ(8u, a.size());
  EXPECT_EQ(0, memcmp(a.cdata(), kTestData, 8));
  EXPECT_EQ(4u, b.size());
  EXPECT_EQ(0, memcmp(b.cdata(), kTestData, 4));
  EXPECT_EQ(8u, b.capacity());
  CopyOnWriteBuffer c = a;
  c.SetSize(12);
  EXPECT_EQ(8u, a.size());
  EXPECT_EQ(12u, c.size());
  EXPECT_EQ(0, memcmp(c.cdata(), kTestData, 8));
}

TEST(CopyOnWriteBufferTest, SetSizeOnNullAllocatesExactly) {
  CopyOnWriteBuffer buf;
  buf.SetSize(0);
  EXPECT_EQ(nullptr, buf.cdata());
  buf.SetSize(7);
  EXPECT_EQ(7u, buf.size());
  EXPECT_EQ(7u, buf.capacity());
  buf.SetSize(8);
  EXPECT_EQ(10u, buf.capacity()) << "growth keeps headroom";
}

TEST(CopyOnWriteBufferTest, NullAndEmptyAllocatedBuffersAreUnequal) {
  CopyOnWriteBuffer none;
  CopyOnWriteBuffer room(0, 16);
  EXPECT_FALSE(none == room);
  EXPECT_TRUE(none != room);
  EXPECT_TRUE(none == CopyOnWriteBuffer());
  EXPECT_TRUE(CopyOnWriteBuffer(kTestData, 4) == CopyOnWriteBuffer(kTestData, 4, 9));
  EXPECT_FALSE(CopyOnWriteBuffer(kTestData, 4) == CopyOnWriteBuffer(kTestData + 1, 4));
  EXPECT_FALSE(CopyOnWriteBuffer(kTestData, 4) == CopyOnWriteBuffer(kTestData, 3));
  CopyOnWriteBuffer shared(kTestData, 2);
  CopyOnWriteBuffer same = shared;
  EXPECT_TRUE(shared == same);
}

TEST(CopyOnWriteBufferTest, ClearKeepsOtherHoldersData) {
  CopyOnWriteBuffer a(kTestData, 8, 20);
  CopyOnWriteBuffer b = a;
  b.Clear();
  EXPECT_EQ(0u, b.size());
  EXPECT_EQ(20u, b.capacity());
  EXPECT_NE(a.cdata(), b.cdata());
  EXPECT_EQ(8u, a.size());
  EXPECT_EQ(0, memcmp(a.cdata(), kTestData, 8));
  const uint8_t* data = a.cdata();
  a.Clear();
  EXPECT_EQ(0u, a.size());
  EXPECT_EQ(data, a.cdata()) << "the sole owner keeps its array";
  CopyOnWriteBuffer none;
  none.Clear();
  EXPECT_EQ(nullptr, none.cdata());
}

TEST(CopyOnWriteBufferTest, EnsureCapacityCopiesWhenShared) {
  CopyOnWriteBuffer none;
  none.EnsureCapacity(0);
  EXPECT_EQ(nullptr, none.cdata());
  none.EnsureCapacity(10);
  EXPECT_EQ(10u, none.capacity());
  EXPECT_EQ(0u, none.size());

  CopyOnWriteBuffer a(kTestData, 8);
  CopyOnWriteBuffer b = a;
  b.EnsureCapacity(4);
  EXPECT_EQ(a.cdata(), b.cdata()) << "enough capacity: nothing changes";
  b.EnsureCapacity(30);
  EXPECT_EQ(30u, b.capacity());
  EXPECT_EQ(8u, a.capacity());
  EXPECT_NE(a.cdata(), b.cdata());
  EXPECT_TRUE(a == b);
}

TEST(CopyOnWriteBufferTest, SetAndAppendDataCopyWhenShared) {
  CopyOnWriteBuffer a(kTestData, 4);
  CopyOnWriteBuffer b = a;
  b.AppendData(kTestData + 4, 4);
  EXPECT_EQ(4u, a.size());
  EXPECT_EQ(8u, b.size());
  EXPECT_EQ(0, memcmp(b.cdata(), kTestData, 8));
  CopyOnWriteBuffer c = a;
  c.SetData("xy", 2);
  EXPECT_EQ(0, memcmp(a.cdata(), kTestData, 4));
  EXPECT_EQ(0, memcmp(c.cdata(), "xy", 2));
  CopyOnWriteBuffer d;
  d.AppendData(a);
  d.AppendData(c);
  EXPECT_EQ(6u, d.size());
  d.SetData(a);
  EXPECT_EQ(a.cdata(), d.cdata());
  CopyOnWriteBuffer e;
  e.SetData(kTestData, 0);
  EXPECT_EQ(nullptr, e.cdata());
}

TEST(CopyOnWriteBufferTest, MoveLeavesTheSourceNull) {
  CopyOnWriteBuffer a(kTestData, 4);
  const uint8_t* data = a.cdata();
  CopyOnWriteBuffer b(std::move(a));
  EXPECT_EQ(nullptr, a.cdata());  // NOLINT(bugprone-use-after-move)
  EXPECT_EQ(data, b.cdata());
  a = std::move(b);
  EXPECT_EQ(data, a.cdata());
}

TEST(CopyOnWriteBufferTest, CopiesMadeAndDroppedOnManyThreads) {
  CopyOnWriteBuffer shared(kTestData, sizeof(kTestData));
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&shared, t] {
      for (int i = 0; i < 2000; ++i) {
        CopyOnWriteBuffer copy = shared;
        if (i % 100 == t) {
          copy.data()[0] = static_cast<uint8_t>(t + 1);  // Private copy; others unaffected.
          ASSERT_EQ(t + 1, copy[0]);
        }
        ASSERT_EQ(sizeof(kTestData), copy.size());
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(0, memcmp(shared.cdata(), kTestData, sizeof(kTestData)));
}

class Counted : public RefCountInterface {
 public:
  explicit Counted(bool* destroyed) : destroyed_(destroyed) {}
  ~Counted() override { *destroyed_ = true; }

 private:
  bool* destroyed_;
};

TEST(RefCountedObjectTest, LastReleaseDeletesTheObject) {
  bool destroyed = false;
  auto* obj = new RefCountedObject<Counted>(&destroyed);
  scoped_refptr<RefCountedObject<Counted>> first(obj);
  EXPECT_TRUE(obj->HasOneRef());
  {
    scoped_refptr<RefCountInterface> second(first);
    EXPECT_FALSE(obj->HasOneRef());
    obj->AddRef();
    EXPECT_EQ(RefCountReleaseStatus::kOtherRefsRemained, obj->Release());
  }
  EXPECT_TRUE(obj->HasOneRef());
  EXPECT_FALSE(destroyed);
  obj->AddRef();
  first = nullptr;
  EXPECT_FALSE(destroyed);
  EXPECT_EQ(RefCountReleaseStatus::kDroppedLastRef, obj->Release());
  EXPECT_TRUE(destroyed);
}

TEST(RefCountedObjectTest, SelfAssignmentKeepsTheObject) {
  bool destroyed = false;
  scoped_refptr<RefCountedObject<Counted>> p(new RefCountedObject<Counted>(&destroyed));
  p = p.get();
  auto& alias = p;
  p = alias;
  EXPECT_FALSE(destroyed);
  EXPECT_TRUE(p->HasOneRef());
}

}  // namespace
}  // namespace rtc

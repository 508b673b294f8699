#include "core/x_send_buffer.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

namespace vy {

namespace {

std::string Contents(const XSendBuffer& b) { return std::string(b.data(), b.used()); }

TEST(XSendBuffer, GrowsByDoublingSoThatManySmallFramesAreCopiedLittle) {
  XSendBuffer b;
  EXPECT_EQ(4096u, b.capacity());
  ASSERT_TRUE(b.Append(std::string(10, 'a').data(), 10));
  ASSERT_TRUE(b.Append(std::string(5000, 'b').data(), 5000));
  EXPECT_EQ(8192u, b.capacity());
  EXPECT_EQ(std::string(10, 'a') + std::string(5000, 'b'), Contents(b));
  // 80000 acks queued while the flush waits: a few dozen reallocations, not tens of thousands.
  std::string frame(293, 'f');
  std::set<size_t> capacities;
  for (int i = 0; i < 80000; ++i) {
    frame[0] = static_cast<char>(i);
    ASSERT_TRUE(b.Append(frame.data(), frame.size()));
    capacities.insert(b.capacity());
  }
  EXPECT_LE(capacities.size(), 16u);
  EXPECT_LT(b.capacity(), 2 * b.used());
  EXPECT_EQ(static_cast<char>(79999), b.data()[b.used() - 293]);
}

TEST(XSendBuffer, OneFrameLargerThanTwiceTheBufferGrowsItToFit) {
  XSendBuffer b;
  ASSERT_TRUE(b.Append(std::string(9000, 'c').data(), 9000));
  EXPECT_EQ(9000u, b.capacity());
}

TEST(XSendBuffer, DrainedBufferGivesBackWhatABurstMadeItGrow) {
  XSendBuffer b;
  std::string chunk(1024 * 1024, 'z');
  ASSERT_TRUE(b.Append(chunk.data(), chunk.size()));
  b.Consume(chunk.size() - 1);
  EXPECT_GE(b.capacity(), chunk.size());  // a byte still waits
  b.Consume(1);
  EXPECT_EQ(XSendBuffer::kInitialCapacity, b.capacity());
  ASSERT_TRUE(b.Append(chunk.data(), chunk.size()));
  b.Clear();
  EXPECT_EQ(XSendBuffer::kInitialCapacity, b.capacity());
}

TEST(XSendBuffer, PartialWriteKeepsTheRestAtTheFront) {
  XSendBuffer b;
  std::string data;
  for (int i = 0; i < 300; ++i) data.push_back(static_cast<char>(i));
  ASSERT_TRUE(b.Append(data.data(), data.size()));
  b.Consume(100);
  EXPECT_EQ(data.substr(100), Contents(b));
  EXPECT_EQ(0, b.data()[200]);  // vacated bytes are wiped
  b.Consume(200);
  EXPECT_EQ(0u, b.used());
  EXPECT_EQ(4096u, b.capacity());
}

TEST(XSendBuffer, RefusesEmptyAppends) {
  XSendBuffer b;
  EXPECT_FALSE(b.Append(nullptr, 5));
  EXPECT_FALSE(b.Append("x", 0));
  EXPECT_EQ(0u, b.used());
}

TEST(XSendBuffer, FrameThatWouldPassTheCapIsRefusedWhole) {
  XSendBuffer b;
  std::string chunk(1024 * 1024, 'z');
  for (size_t i = 0; i < XSendBuffer::kMaxCapacity / chunk.size(); ++i) {
    ASSERT_TRUE(b.Append(chunk.data(), chunk.size()));
  }
  EXPECT_EQ(XSendBuffer::kMaxCapacity, b.used());
  EXPECT_FALSE(b.Append("x", 1));
  EXPECT_FALSE(b.Reserve(1));
  EXPECT_EQ(XSendBuffer::kMaxCapacity, b.used());
  b.Consume(10);
  EXPECT_TRUE(b.Append("0123456789", 10));
  EXPECT_FALSE(b.Append("x", 1));
  EXPECT_TRUE(b.Reserve(0));
}

TEST(XSendBuffer, HugeLengthDoesNotWrap) {
  XSendBuffer b;
  ASSERT_TRUE(b.Append("abc", 3));
  EXPECT_FALSE(b.Reserve(SIZE_MAX - 1));
  EXPECT_EQ("abc", Contents(b));
}

}  // namespace

}  // namespace vy

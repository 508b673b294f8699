#include "core/vy_message.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "rtc_base/time_utils.h"

namespace vy {

namespace {

class RecordingSink : public VyMessageEvent {
 public:
  void OnVyMessageMsgOut(long long messageId, const std::string& peerId, int type,
                         const std::string& content,
                         const rtm::SendMessageOptions& options) override {
    id = messageId;
    peer = peerId;
    this->type = type;
    text = content;
    offline = options.enableOfflineMessaging;
  }
  long long id = 0;
  std::string peer;
  int type = 0;
  std::string text;
  bool offline = false;
};

TEST(VyMessageTest, NewMessageIsEmpty) {
  VyMessage message(nullptr);
  EXPECT_EQ(0, message.getMessageId());
  EXPECT_EQ(0, message.getMessageType());
  EXPECT_STREQ("", message.getText());
  EXPECT_EQ(0, message.getRawMessageLength());
  EXPECT_EQ(0, message.getServerReceivedTs());
  EXPECT_FALSE(message.isOfflineMessage());
}

TEST(VyMessageTest, NullTextLeavesTheTextUnchanged) {
  VyMessage message(nullptr);
  message.setText("hello");
  message.setText(nullptr);
  EXPECT_STREQ("hello", message.getText());
  EXPECT_EQ(5, message.getRawMessageLength());
}

TEST(VyMessageTest, RawBytesEndAtTheFirstZeroAndNeverReadPastTheLength) {
  VyMessage message(nullptr);
  const char with_zero[] = {'a', 0, 'b'};
  message.SetTextBytes(with_zero, sizeof(with_zero));
  EXPECT_EQ(1, message.getRawMessageLength());
  // No zero within the length: exactly `length` bytes, from a heap block ASan guards.
  std::vector<char> no_zero = {'x', 'y', 'z'};
  message.SetTextBytes(no_zero.data(), no_zero.size());
  EXPECT_EQ(std::string("xyz"), std::string(message.getRawMessageData(), 3));
  EXPECT_EQ(3, message.getRawMessageLength());
}

TEST(VyMessageTest, SendMsgHandsTheMessageToItsSink) {
  RecordingSink sink;
  VyMessage message(&sink);
  message.SetMsgId(42);
  message.SetMsgType(rtm::MESSAGE_TYPE_RAW);
  message.SetPeerUId("bob");
  message.setText("hi");
  rtm::SendMessageOptions options;
  options.enableOfflineMessaging = true;
  message.SendMsg(options);
  EXPECT_EQ(42, sink.id);
  EXPECT_EQ("bob", sink.peer);
  EXPECT_EQ(rtm::MESSAGE_TYPE_RAW, sink.type);
  EXPECT_EQ("hi", sink.text);
  EXPECT_TRUE(sink.offline);
}

TEST(MessageIdTest, IdsFollowTheWallClockButNeverRepeat) {
  rtc::ScopedFakeClock clock;
  clock.AdvanceTime(1000000);
  long long first = NextMessageId();
  EXPECT_GE(first, rtc::TimeUTCMillis());
  // The clock stands still: each id is one above the last.
  long long second = NextMessageId();
  EXPECT_EQ(first + 1, second);
  // A clock far ahead is followed.
  clock.AdvanceTime(100000);
  EXPECT_GE(NextMessageId(), rtc::TimeUTCMillis());
}

TEST(MessageIdTest, IdsAreUniqueAcrossThreads) {
  constexpr int kThreads = 4;
  constexpr int kPerThread = 2000;
  std::vector<std::vector<long long>> ids(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&ids, t] {
      for (int i = 0; i < kPerThread; ++i) ids[t].push_back(NextMessageId());
    });
  }
  for (auto& thread : threads) thread.join();
  std::set<long long> all;
  for (const auto& list : ids) {
    EXPECT_TRUE(std::is_sorted(list.begin(), list.end()));
    all.insert(list.begin(), list.end());
  }
  EXPECT_EQ(static_cast<size_t>(kThreads * kPerThread), all.size());
}

}  // namespace

}  // namespace vy

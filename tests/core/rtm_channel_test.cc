// Channels between real clients through the in-process local test service.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/vy_channel_attribute.h"
#include "local_service/json_util.h"
#include "rtm_feature_handlers.h"
#include "rtm_test_client.h"

namespace rtm_test {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::Pair;
using ::testing::UnorderedElementsAre;
using local_service::Direction;
using local_service::FaultAction;

// A logged-in client with one channel.
struct Member {
  Member(const local_service::LocalService& svc, const std::string& user,
         const std::string& channel_id = "room")
      : client(svc, user) {
    channel = client->createChannel(channel_id.c_str(), &events);
  }
  ~Member() {
    if (channel != nullptr) channel->release();
  }
  // Joins and waits for the answer.
  bool Join() {
    size_t before = events.Count(ChannelEvent::kJoinSuccess);
    return channel->join() == 0 && events.WaitFor(ChannelEvent::kJoinSuccess, before + 1);
  }
  // Sends `text`; its message id, or 0 when refused (the code in `result`).
  long long Say(const std::string& text, int* result = nullptr) {
    rtm::IMessage* message = client->createMessage(text.c_str());
    long long id = message->getMessageId();
    int code = channel->sendMessage(message);
    message->release();
    if (result != nullptr) *result = code;
    return code == 0 ? id : 0;
  }
  // The result reported for message `id`, waiting for it; -1 when none came.
  int ResultOf(long long id) {
    int code = -1;
    Eventually([&] {
      for (const ChannelEvent& e : events.Of(ChannelEvent::kSendResult)) {
        if (e.id == id) code = e.code;
      }
      return code != -1;
    });
    return code;
  }

  Client client;
  ChannelLog events;
  rtm::IChannel* channel = nullptr;
};

class RtmChannelTest : public ServiceTest {
 protected:
  void SetUp() override {
    ServiceTest::SetUp();
    alice_.emplace(svc_, "alice");
    bob_.emplace(svc_, "bob");
    ASSERT_TRUE(alice_->client.Login());
    ASSERT_TRUE(bob_->client.Login());
  }
  void TearDown() override {
    ServiceTest::TearDown();
    EXPECT_THAT(svc_.Warnings(), IsEmpty());
  }
  std::vector<std::string> Members(const std::string& channel = "room") {
    return svc_.ChannelMembers(kAppId, channel);
  }
  // The `field` of every `cmd` that `user` sent, in order.
  std::vector<std::string> Sent(const std::string& user, const std::string& cmd,
                                const char* field) {
    std::vector<std::string> out;
    for (const auto& c : svc_.Log(user)) {
      rapidjson::Document doc;
      if (c.cmd != cmd || !local_service::ParseJsonObject(c.content, &doc)) continue;
      out.push_back(local_service::GetString(doc, field).value_or("<absent>"));
    }
    return out;
  }
  void Fault(const std::string& user, const char* cmd, FaultAction action,
             Direction direction = Direction::kToClient, int64_t value = 0, int times = -1) {
    local_service::FaultRule rule;
    rule.direction = direction;
    rule.user = user;
    rule.cmd = cmd;
    rule.action = action;
    rule.value = value;
    rule.times = times;
    svc_.AddFault(rule);
  }

  std::optional<Member> alice_;
  std::optional<Member> bob_;
};

TEST_F(RtmChannelTest, MembersJoinTalkCountAndLeave) {
  ChannelLog ignored;
  EXPECT_EQ(alice_->channel, alice_->client->createChannel("room", &ignored));
  EXPECT_EQ(nullptr, alice_->client->createChannel("", &ignored));
  ASSERT_TRUE(alice_->Join());
  ASSERT_TRUE(bob_->Join());
  Member carol(svc_, "carol");
  ASSERT_TRUE(carol.client.Login());
  ASSERT_TRUE(carol.Join());
  EXPECT_THAT(Members(), UnorderedElementsAre("alice", "bob", "carol"));
  ASSERT_TRUE(alice_->events.WaitFor(ChannelEvent::kMemberJoined, 2));
  auto joined = alice_->events.Of(ChannelEvent::kMemberJoined);
  EXPECT_EQ("bob", joined[0].user);
  EXPECT_EQ("room", joined[0].text);
  ASSERT_TRUE(alice_->events.WaitFor(ChannelEvent::kMemberCount, 3));
  EXPECT_EQ(3, alice_->events.Of(ChannelEvent::kMemberCount).back().code);

  ASSERT_EQ(0, alice_->channel->getMembers());
  ASSERT_TRUE(alice_->events.WaitFor(ChannelEvent::kMembers));
  auto members = alice_->events.Of(ChannelEvent::kMembers)[0];
  EXPECT_EQ(rtm::GET_MEMBERS_ERR_OK, members.code);
  EXPECT_THAT(members.list, UnorderedElementsAre("alice", "bob", "carol"));
  const char* ids[] = {"room"};
  long long request = 0;
  ASSERT_EQ(0, alice_->client->getChannelMemberCount(ids, 1, request));
  Event count;
  ASSERT_TRUE(alice_->client.log.WaitForId(Event::kMemberCount, request, &count));
  EXPECT_THAT(count.list, ElementsAre("room:3"));

  long long id = alice_->Say("hello room");
  ASSERT_NE(0, id);
  EXPECT_EQ(rtm::CHANNEL_MESSAGE_ERR_OK, alice_->ResultOf(id));
  for (Member* other : {&*bob_, &carol}) {
    ASSERT_TRUE(other->events.WaitFor(ChannelEvent::kMessage));
    auto m = other->events.Of(ChannelEvent::kMessage)[0];
    EXPECT_EQ("alice", m.user);
    EXPECT_EQ("hello room", m.text);
    EXPECT_EQ(id, m.id);
  }
  EXPECT_EQ(0u, alice_->events.Count(ChannelEvent::kMessage));
  EXPECT_THAT(Sent("alice", "SendChannelMsg", "FromUId"), ElementsAre("alice"));

  ASSERT_EQ(0, bob_->channel->leave());
  ASSERT_TRUE(bob_->events.WaitFor(ChannelEvent::kLeave));
  EXPECT_EQ(rtm::LEAVE_CHANNEL_ERR_OK, bob_->events.Of(ChannelEvent::kLeave)[0].code);
  ASSERT_TRUE(alice_->events.WaitFor(ChannelEvent::kMemberLeft));
  EXPECT_EQ("bob", alice_->events.Of(ChannelEvent::kMemberLeft)[0].user);
  // Not joined: refused at once, with nothing sent and no callback.
  int result = 0;
  EXPECT_EQ(rtm::LEAVE_CHANNEL_ERR_NOT_IN_CHANNEL, bob_->channel->leave());
  EXPECT_EQ(0, bob_->Say("late", &result));
  EXPECT_EQ(rtm::CHANNEL_MESSAGE_ERR_NOT_AVAILABLE, result);
  EXPECT_EQ(rtm::GET_MEMBERS_ERR_NOT_IN_CHANNEL, bob_->channel->getMembers());
  EXPECT_EQ(1u, Sent("bob", "LeaveChannel", "ChanId").size());
  EXPECT_EQ(0u, bob_->events.Count(ChannelEvent::kSendResult));
}

TEST_F(RtmChannelTest, MessagesOfTheLargestSizeAreSentAndLargerOnesRefused) {
  ASSERT_TRUE(alice_->Join());
  int result = 0;
  EXPECT_EQ(0, alice_->Say(std::string(32768, 'x'), &result));
  EXPECT_EQ(rtm::CHANNEL_MESSAGE_ERR_INVALID_MESSAGE, result);
  long long largest = alice_->Say(std::string(32767, 'x'));
  ASSERT_NE(0, largest);
  EXPECT_EQ(rtm::CHANNEL_MESSAGE_ERR_OK, alice_->ResultOf(largest));
  EXPECT_EQ(rtm::CHANNEL_MESSAGE_ERR_FAILURE, alice_->channel->sendMessage(nullptr));
  auto results = alice_->events.Of(ChannelEvent::kSendResult);
  ASSERT_EQ(3u, results.size());
  EXPECT_EQ(rtm::CHANNEL_MESSAGE_ERR_INVALID_MESSAGE, results[0].code);
  EXPECT_EQ(0, results[2].id);
}

TEST_F(RtmChannelTest, LimitersRefuseTheThirdJoinAndTheSixthMemberList) {
  clock_.Pause();
  EXPECT_EQ(0, alice_->channel->join());
  EXPECT_EQ(0, alice_->channel->join());
  EXPECT_EQ(rtm::JOIN_CHANNEL_ERR_TOO_OFTEN, alice_->channel->join());
  clock_.Resume();
  ASSERT_TRUE(alice_->events.WaitFor(ChannelEvent::kJoinSuccess, 2));
  clock_.Pause();
  for (int i = 0; i < 5; ++i) EXPECT_EQ(0, alice_->channel->getMembers()) << i;
  EXPECT_EQ(rtm::GET_MEMBERS_ERR_TOO_OFTEN, alice_->channel->getMembers());
  clock_.Jump(5001);
  EXPECT_EQ(0, alice_->channel->join());
  EXPECT_EQ(0, alice_->channel->getMembers());
  clock_.Resume();
  ASSERT_TRUE(alice_->events.WaitFor(ChannelEvent::kMembers, 6));
  EXPECT_EQ(3u, Sent("alice", "JoinChannel", "ChanId").size());
}

TEST_F(RtmChannelTest, EverySendHasOneResultWhateverTheServerAnswers) {
  ASSERT_TRUE(alice_->Join());
  // Refused by the server: 1, and no time-out after it.
  Fault("alice", "SendChannelMsg", FaultAction::kReplaceField, Direction::kToClient, 5, 1);
  long long refused = alice_->Say("refused");
  EXPECT_EQ(rtm::CHANNEL_MESSAGE_ERR_FAILURE, alice_->ResultOf(refused));
  // Answered twice: one result.
  Fault("alice", "SendChannelMsg", FaultAction::kDuplicate, Direction::kToClient, 0, 1);
  long long twice = alice_->Say("twice");
  EXPECT_EQ(rtm::CHANNEL_MESSAGE_ERR_OK, alice_->ResultOf(twice));
  // Answered after its time-out: the time-out only.
  Fault("alice", "SendChannelMsg", FaultAction::kDelay, Direction::kToClient, 300, 1);
  long long late = alice_->Say("late");
  ASSERT_TRUE(svc_.WaitForCommand("alice", "SendChannelMsg", 3, 5000));
  clock_.Jump(10001);
  EXPECT_EQ(rtm::CHANNEL_MESSAGE_ERR_SENT_TIMEOUT, alice_->ResultOf(late));
  // Never answered: the time-out.
  Fault("alice", "SendChannelMsg", FaultAction::kDrop, Direction::kToClient, 0, 1);
  long long lost = alice_->Say("lost");
  ASSERT_TRUE(svc_.WaitForCommand("alice", "SendChannelMsg", 4, 5000));
  clock_.Jump(10001);
  EXPECT_EQ(rtm::CHANNEL_MESSAGE_ERR_SENT_TIMEOUT, alice_->ResultOf(lost));
  // A later round trip lets every late answer arrive first.
  EXPECT_EQ(rtm::CHANNEL_MESSAGE_ERR_OK, alice_->ResultOf(alice_->Say("probe")));
  EXPECT_EQ(5u, alice_->events.Count(ChannelEvent::kSendResult));
}

TEST_F(RtmChannelTest, JoinsAndMemberListsEndInOneResult) {
  // The server refuses; then it does not answer.
  Fault("alice", "JoinChannel", FaultAction::kReplaceField, Direction::kToClient, 3, 1);
  ASSERT_EQ(0, alice_->channel->join());
  ASSERT_TRUE(alice_->events.WaitFor(ChannelEvent::kJoinFailure));
  Fault("alice", "JoinChannel", FaultAction::kDrop, Direction::kToClient, 0, 1);
  ASSERT_EQ(0, alice_->channel->join());
  ASSERT_TRUE(svc_.WaitForCommand("alice", "JoinChannel", 2, 5000));
  clock_.Jump(10001);
  ASSERT_TRUE(alice_->events.WaitFor(ChannelEvent::kJoinFailure, 2));
  auto failures = alice_->events.Of(ChannelEvent::kJoinFailure);
  EXPECT_EQ(rtm::JOIN_CHANNEL_ERR_FAILURE, failures[0].code);
  EXPECT_EQ(rtm::JOIN_CHANNEL_ERR_TIMEOUT, failures[1].code);
  EXPECT_EQ(0u, alice_->events.Count(ChannelEvent::kJoinSuccess));

  clock_.Jump(5001);
  ASSERT_TRUE(alice_->Join());
  // An empty list is a result; no answer is a time-out.
  // (A fault rule applies to pushes too: each drops one answer.)
  Fault("alice", "GetChanMembers", FaultAction::kDrop, Direction::kToClient, 0, 1);
  ASSERT_EQ(0, alice_->channel->getMembers());
  ASSERT_TRUE(svc_.WaitForCommand("alice", "GetChanMembers", 1, 5000));
  ASSERT_TRUE(svc_.Push("alice", "GetChanMembers", R"({"Code":0,"ChanId":"room","Members":[]})"));
  ASSERT_TRUE(alice_->events.WaitFor(ChannelEvent::kMembers));
  Fault("alice", "GetChanMembers", FaultAction::kDrop, Direction::kToClient, 0, 1);
  ASSERT_EQ(0, alice_->channel->getMembers());
  ASSERT_TRUE(svc_.WaitForCommand("alice", "GetChanMembers", 2, 5000));
  clock_.Jump(10001);
  ASSERT_TRUE(alice_->events.WaitFor(ChannelEvent::kMembers, 2));
  auto lists = alice_->events.Of(ChannelEvent::kMembers);
  EXPECT_EQ(rtm::GET_MEMBERS_ERR_OK, lists[0].code);
  EXPECT_THAT(lists[0].list, IsEmpty());
  EXPECT_EQ(rtm::GET_MEMBERS_ERR_TIMEOUT, lists[1].code);
}

TEST_F(RtmChannelTest, JoinedChannelsAreJoinedAgainAfterALostConnectionAndLeftOnesAreNot) {
  ChannelLog hall_events;
  rtm::IChannel* hall = alice_->client->createChannel("hall", &hall_events);
  ASSERT_TRUE(alice_->Join());
  ASSERT_EQ(0, hall->join());
  ASSERT_TRUE(hall_events.WaitFor(ChannelEvent::kJoinSuccess));
  ASSERT_EQ(0, hall->leave());
  ASSERT_TRUE(hall_events.WaitFor(ChannelEvent::kLeave));

  ASSERT_TRUE(svc_.Close("alice", local_service::CloseMode::kRst));
  ASSERT_TRUE(alice_->client.log.WaitForState(rtm::CONNECTION_STATE_RECONNECTING,
                                              rtm::CONNECTION_CHANGE_REASON_INTERRUPTED));
  EXPECT_THAT(Members(), IsEmpty());
  clock_.Jump(2000);
  ASSERT_TRUE(alice_->client.log.WaitFor(Event::kLoginSuccess, 2));
  ASSERT_TRUE(alice_->events.WaitFor(ChannelEvent::kJoinSuccess, 2));
  EXPECT_THAT(Members(), ElementsAre("alice"));
  EXPECT_THAT(Members("hall"), IsEmpty());
  EXPECT_EQ(1u, hall_events.Count(ChannelEvent::kJoinSuccess));
  hall->release();
}

TEST_F(RtmChannelTest, RequestsWhoseAnswersCannotComeEndOnceWithTheConnectionLogoutOrRelease) {
  Fault("alice", "LeaveChannel", FaultAction::kDrop);
  Member hall(svc_, "alice-hall", "hall");
  ASSERT_TRUE(hall.client.Login());
  ASSERT_TRUE(hall.Join());
  // Released with a join, a leave, a member list and a send waiting: each ends with 102 before
  // release returns, and a release from inside those reports does nothing.
  for (const char* cmd : {"JoinChannel", "GetChanMembers", "SendChannelMsg", "LeaveChannel"}) {
    Fault("alice-hall", cmd, FaultAction::kDrop);
  }
  ASSERT_EQ(0, hall.channel->getMembers());
  ASSERT_NE(0, hall.Say("unanswered"));
  ASSERT_EQ(0, hall.channel->leave());
  clock_.Jump(5001);
  ASSERT_EQ(0, hall.channel->join());
  ASSERT_TRUE(svc_.WaitForCommand("alice-hall", "JoinChannel", 2, 5000));
  hall.events.SetOnEvent([&hall](const ChannelEvent&) { hall.channel->release(); });
  hall.channel->release();
  std::vector<std::pair<int, int>> results;
  for (const ChannelEvent& e : hall.events.Events()) {
    if (e.kind != ChannelEvent::kMemberCount) results.emplace_back(e.kind, e.code);
  }
  EXPECT_THAT(results, ElementsAre(Pair(ChannelEvent::kJoinSuccess, 0),
                                   Pair(ChannelEvent::kJoinFailure, 102),
                                   Pair(ChannelEvent::kLeave, 102), Pair(ChannelEvent::kMembers, 102),
                                   Pair(ChannelEvent::kSendResult, 102)));
  hall.channel = nullptr;

  // Cut off by a lost connection: failure 1, and the channel is not joined again.
  ASSERT_TRUE(alice_->Join());
  ASSERT_EQ(0, alice_->channel->leave());
  ASSERT_TRUE(svc_.WaitForCommand("alice", "LeaveChannel", 1, 5000));
  ASSERT_TRUE(svc_.Close("alice", local_service::CloseMode::kRst));
  ASSERT_TRUE(alice_->events.WaitFor(ChannelEvent::kLeave));
  clock_.Jump(5001);
  ASSERT_TRUE(alice_->client.log.WaitFor(Event::kLoginSuccess, 2));
  // Cut off by the logout: 102.
  ASSERT_TRUE(alice_->Join());
  EXPECT_EQ(2u, Sent("alice", "JoinChannel", "ChanId").size());  // no rejoin came before
  ASSERT_EQ(0, alice_->channel->leave());
  ASSERT_TRUE(svc_.WaitForCommand("alice", "LeaveChannel", 2, 5000));
  alice_->client->logout();
  auto leaves = alice_->events.Of(ChannelEvent::kLeave);
  ASSERT_EQ(2u, leaves.size());
  EXPECT_EQ(rtm::LEAVE_CHANNEL_ERR_FAILURE, leaves[0].code);
  EXPECT_EQ(rtm::LEAVE_CHANNEL_ERR_USER_NOT_LOGGED_IN, leaves[1].code);
}

TEST_F(RtmChannelTest, AJoinAnswerForAReleasedChannelLeavesItOnTheServer) {
  alice_->channel->release();
  alice_->channel = nullptr;
  ASSERT_TRUE(svc_.Push("alice", "JoinChannel", R"({"ChanId":"room","Code":0})"));
  ASSERT_TRUE(svc_.WaitForCommand("alice", "LeaveChannel", 1, 5000));
  EXPECT_THAT(Sent("alice", "LeaveChannel", "ChanId"), ElementsAre("room"));
}

TEST_F(RtmChannelTest, AttributeChangesReachTheChannelsMembers) {
  ASSERT_TRUE(alice_->Join());
  ASSERT_TRUE(bob_->Join());
  auto* attribute = new vy::VyRtmChannelAttribute();
  attribute->setKey("topic");
  attribute->setValue("news");
  const rtm::IRtmChannelAttribute* attributes[] = {attribute};
  rtm::ChannelAttributeOptions options;
  options.enableNotificationToChannelMembers = true;
  long long request = 0;
  ASSERT_EQ(0, bob_->client->addOrUpdateChannelAttributes("room", attributes, 1, options, request));
  attribute->release();
  ASSERT_TRUE(alice_->events.WaitFor(ChannelEvent::kAttributes));
  auto update = alice_->events.Of(ChannelEvent::kAttributes)[0];
  EXPECT_EQ(1, update.code);
  EXPECT_THAT(update.list, ElementsAre("topic=news by bob"));

  ASSERT_TRUE(svc_.Push("alice", "ChanAttribChanged", R"({"ChanId":"room","Attributes":"[]"})"));
  ASSERT_TRUE(alice_->events.WaitFor(ChannelEvent::kAttributes, 2));
  EXPECT_EQ(-1, alice_->events.Of(ChannelEvent::kAttributes)[1].code);
}

TEST_F(RtmChannelTest, LogoutEndsWhatIsPendingAndDetachesTheChannel) {
  ASSERT_TRUE(alice_->Join());
  Fault("alice", "SendChannelMsg", FaultAction::kDrop);
  long long pending = alice_->Say("pending");
  ASSERT_TRUE(svc_.WaitForCommand("alice", "SendChannelMsg", 1, 5000));
  alice_->client->logout();
  ASSERT_EQ(1u, alice_->events.Count(ChannelEvent::kSendResult));
  EXPECT_EQ(rtm::CHANNEL_MESSAGE_ERR_USER_NOT_LOGGED_IN, alice_->ResultOf(pending));
  // Detached: its operations answer 102 and it hears nothing more, even after a new login.
  EXPECT_EQ(102, alice_->channel->join());
  EXPECT_EQ(102, alice_->channel->getMembers());
  ASSERT_TRUE(alice_->client.Login());
  clock_.Jump(10001);
  long long probe = alice_->client.Send("bob", "probe");
  ASSERT_EQ(rtm::PEER_MESSAGE_ERR_OK, alice_->client.ResultOf(probe));
  EXPECT_EQ(1u, alice_->events.Count(ChannelEvent::kSendResult));
  EXPECT_EQ(1u, alice_->events.Count(ChannelEvent::kJoinSuccess));
  EXPECT_THAT(Members(), IsEmpty());
  // A new channel of that id is a new object.
  ChannelLog fresh;
  rtm::IChannel* again = alice_->client->createChannel("room", &fresh);
  EXPECT_NE(alice_->channel, again);
  again->release();
}

TEST_F(RtmChannelTest, ChannelsOutliveTheirServiceAndAnswer101) {
  rtm::IRtmService* service = createRtmService();
  ChannelLog events;
  rtm::IChannel* channel = service->createChannel("room", &events);
  ASSERT_NE(nullptr, channel);
  EXPECT_EQ(101, channel->join());
  service->release(true);
  EXPECT_EQ(101, channel->join());
  EXPECT_EQ(101, channel->leave());
  EXPECT_STREQ("room", channel->getId());
  channel->release();
  EXPECT_THAT(events.Events(), IsEmpty());
}

}  // namespace
}  // namespace rtm_test

// Peer and channel messages, presence, attributes and call invitations between real clients
// through the in-process local test service: round trips, the checks and limits in front of
// them, and one result for every request whatever the server answers.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <ostream>
#include <sstream>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "core/thread_mgr.h"
#include "core/vy_channel_attribute.h"
#include "core/vy_rtm_service.h"
#include "rtm_test_client.h"

namespace rtm_test {
namespace {

using local_service::CloseMode;
using local_service::FaultAction;
using local_service::FaultRule;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

// Channel attributes as the app builds them for a write, with `nulls` null entries after.
class Attributes {
 public:
  Attributes(std::initializer_list<std::pair<std::string, std::string>> kv, int nulls = 0) {
    for (const auto& [key, value] : kv) Add(key, value);
    list_.resize(list_.size() + static_cast<size_t>(nulls), nullptr);
  }
  const rtm::IRtmChannelAttribute** data() { return list_.data(); }
  void Add(const std::string& key, const std::string& value) {
    owned_.emplace_back(new vy::VyRtmChannelAttribute());
    owned_.back()->setKey(key.c_str());
    owned_.back()->setValue(value.c_str());
    list_.push_back(owned_.back().get());
  }

 private:
  std::vector<vy::ChannelAttributePtr> owned_;
  std::vector<const rtm::IRtmChannelAttribute*> list_;
};

class RtmMessagingTest : public ServiceTest {
 protected:
  void SetUp() override {
    ServiceTest::SetUp();
    alice_.emplace(svc_, "alice");
    bob_.emplace(svc_, "bob");
    ASSERT_TRUE(alice_->Login());
    ASSERT_TRUE(bob_->Login());
  }
  void TearDown() override {
    ServiceTest::TearDown();
    // (An offline fetch of a session that a reconnection has just replaced is refused.)
    for (const std::string& warning : svc_.Warnings()) {
      EXPECT_THAT(warning, ::testing::StartsWith("offline fetch: refused unknown session"));
    }
  }
  // A request answered by the service: once its result is in, every command the service sent
  // before its reply has been handled.
  void RoundTrip(Client& client) {
    long long id = 0;
    ASSERT_EQ(0, client->getUserAttributes("nobody", id));
    ASSERT_NE(-1, client.log.ResultOf(id, 10000, Event::kUserAttributes));
  }
  // Waits for request `id`'s result of `kind`; its code, or -1.
  static int Code(Client& client, Event::Kind kind, long long id, Event* e = nullptr) {
    return client.log.ResultOf(id, 10000, kind, e);
  }
  // Everything the service sent `client` before this has been handled once it returns.
  void Flush(Client& client) {
    const size_t seen = client.log.Count(Event::kStatusChanged);
    ASSERT_TRUE(svc_.Push(client.user(), "PeerOnlineStatus",
                          R"({"Status":[{"UserId":"flush","Online":1}]})"));
    ASSERT_TRUE(client.log.WaitFor(Event::kStatusChanged, seen + 1));
  }

  std::optional<Client> alice_, bob_;
};

// A request family: how the request is made (alice asks, bob is the other user), the commands
// whose answer is withheld ("user<Cmd" held on its way to the user, "user>Cmd" dropped on its
// way from the user), where the result comes, and the result when the answer is withheld past
// the deadline and when it comes.
struct Family {
  const char* name;
  std::function<void(Client& alice, Client& bob)> request;
  std::vector<std::string> withheld;
  enum Where { kAlice, kRoom, kAliceCalls, kBobCalls } where = kAlice;
  Event::Kind timed_out_kind;
  int timed_out_code;
  Event::Kind answered_kind;
  int answered_code = 0;
  std::function<void(Client& alice, Client& bob)> setup = nullptr;
  bool reconnects = false;  // the time-out ends the connection, which is made again
};
void PrintTo(const Family& f, std::ostream* os) { *os << f.name; }

const char* kKeys[] = {"k"};
rtm::RtmAttribute kPairs[] = {{"k", "v"}};
long long g_id = 0;
Attributes& Topic() {
  static Attributes* topic = new Attributes({{"topic", "news"}});
  return *topic;
}
// Whoever receives an invitation answers it at once, as an app may.
void AnswerInvitations(Client& callee, bool accept) {
  callee.Calls();
  callee.calls.SetOnEvent([&callee, accept](const Event& e) {
    if (e.kind != Event::kRemoteReceived) return;
    e.remote->setResponse(accept ? "yes" : "no");
    if (accept) callee.Calls()->acceptRemoteInvitation(e.remote);
    if (!accept) callee.Calls()->refuseRemoteInvitation(e.remote);
  });
}

#define REQUEST(call)              \
  [](Client& alice, Client& bob) { \
    (void)bob;                     \
    EXPECT_EQ(0, call);            \
  }
// A request of alice's answered to her, whose result comes in one kind of event.
#define ASKS(name, call, cmd, kind, code)                                                  \
  {                                                                                        \
    name, REQUEST(call), {std::string("alice<") + cmd}, Family::kAlice, Event::kind, code, \
        Event::kind                                                                        \
  }
#define ATTR(name, call, cmd, kind) \
  ASKS(name, call, cmd, kind, rtm::ATTRIBUTE_OPERATION_ERR_TIMEOUT)
const Family kFamilies[] = {
    ASKS("presence_query", alice->queryPeersOnlineStatus(kKeys, 1, g_id), "QueryOnlineStatus",
         kQueryStatus, rtm::QUERY_PEERS_ONLINE_STATUS_ERR_TIMEOUT),
    ASKS("subscribe", alice->subscribePeersOnlineStatus(kKeys, 1, g_id), "SubscribeOnlineStatus",
         kSubscription, rtm::PEER_SUBSCRIPTION_STATUS_ERR_TIMEOUT),
    ASKS("unsubscribe", alice->unsubscribePeersOnlineStatus(kKeys, 1, g_id),
         "UnSubscribeOnlineStatus", kSubscription, rtm::PEER_SUBSCRIPTION_STATUS_ERR_TIMEOUT),
    ASKS("query_by_option",
         alice->queryPeersBySubscriptionOption(rtm::PEER_SUBSCRIPTION_OPTION_ONLINE_STATUS, g_id),
         "QueryOnlineSubStatus", kSubscribedPeers,
         rtm::QUERY_PEERS_BY_SUBSCRIPTION_OPTION_ERR_TIMEOUT),
    ASKS("member_count", alice->getChannelMemberCount(kKeys, 1, g_id), "GetChanMemberSize",
         kMemberCount, rtm::GET_CHANNEL_MEMBER_COUNT_ERR_TIMEOUT),
    ATTR("set_user_attributes", alice->setLocalUserAttributes(kPairs, 1, g_id),
         "AddOrUpdateUserAttributes", kAttributeResult),
    ATTR("add_user_attributes", alice->addOrUpdateLocalUserAttributes(kPairs, 1, g_id),
         "AddOrUpdateUserAttributes", kAttributeResult),
    ATTR("delete_user_attributes", alice->deleteLocalUserAttributesByKeys(kKeys, 1, g_id),
         "DeleteUserAttributes", kAttributeResult),
    ATTR("clear_user_attributes", alice->clearLocalUserAttributes(g_id), "ClearUserAttributes",
         kAttributeResult),
    ATTR("get_user_attributes", alice->getUserAttributes("bob", g_id), "QueryAttrib",
         kUserAttributes),
    ATTR("get_user_attributes_by_keys", alice->getUserAttributesByKeys("bob", kKeys, 1, g_id),
         "QueryAttribKeys", kUserAttributes),
    ATTR("set_channel_attributes", alice->setChannelAttributes("room", Topic().data(), 1, {}, g_id),
         "AddOrUpdateChanAttributes", kAttributeResult),
    ATTR("add_channel_attributes",
         alice->addOrUpdateChannelAttributes("room", Topic().data(), 1, {}, g_id),
         "AddOrUpdateChanAttributes", kAttributeResult),
    ATTR("delete_channel_attributes",
         alice->deleteChannelAttributesByKeys("room", kKeys, 1, {}, g_id), "DeleteChanAttributes",
         kAttributeResult),
    ATTR("clear_channel_attributes", alice->clearChannelAttributes("room", {}, g_id),
         "ClearChanAttributes", kAttributeResult),
    ATTR("get_channel_attributes", alice->getChannelAttributes("room", g_id), "GetChanAttributes",
         kChannelAttributes),
    ATTR("get_channel_attributes_by_keys",
         alice->getChannelAttributesByKeys("room", kKeys, 1, g_id), "GetChanAttributesByKeys",
         kChannelAttributes),
    {"join",
     [](Client& alice, Client&) {
       if (alice.channel == nullptr) alice.channel = alice->createChannel("room", &alice.room);
       EXPECT_EQ(0, alice.channel->join());
     },
     {"alice<JoinChannel"},
     Family::kRoom,
     Event::kJoinFailure,
     rtm::JOIN_CHANNEL_ERR_TIMEOUT,
     Event::kJoinSuccess,
     0,
     nullptr,
     /*reconnects=*/true},
    {"leave",
     [](Client& alice, Client&) {
       ASSERT_TRUE(alice.Join());
       EXPECT_EQ(0, alice.channel->leave());
     },
     {"alice<LeaveChannel"},
     Family::kRoom,
     Event::kLeave,
     rtm::LEAVE_CHANNEL_ERR_TIMEOUT,
     Event::kLeave,
     0,
     nullptr,
     /*reconnects=*/true},
    {"member_list",
     REQUEST(alice.channel->getMembers()),
     {"alice<GetChanMembers"},
     Family::kRoom,
     Event::kMembers,
     rtm::GET_MEMBERS_ERR_TIMEOUT,
     Event::kMembers,
     0,
     [](Client& alice, Client&) { ASSERT_TRUE(alice.Join()); },
     /*reconnects=*/true},
    {"channel_send",
     [](Client& alice, Client&) { EXPECT_NE(0, alice.Say("hi")); },
     {"alice<SendChannelMsg"},
     Family::kRoom,
     Event::kSendResult,
     rtm::CHANNEL_MESSAGE_ERR_SENT_TIMEOUT,
     Event::kSendResult,
     0,
     [](Client& alice, Client&) { ASSERT_TRUE(alice.Join()); }},
    {"peer_send",
     [](Client& alice, Client&) { EXPECT_NE(0, alice.Send("bob", "hi")); },
     {"alice<MsgStatus"},
     Family::kAlice,
     Event::kSendResult,
     rtm::PEER_MESSAGE_ERR_TIMEOUT,
     Event::kSendResult},
    {"renewal",
     [](Client& alice, Client&) { EXPECT_EQ(0, alice->renewToken("tok")); },
     {"alice<RenewAcsToken"},
     Family::kAlice,
     Event::kRenewResult,
     rtm::RENEW_TOKEN_ERR_FAILURE,
     Event::kRenewResult,
     0,
     nullptr,
     /*reconnects=*/true},
    // Invitations: the callee accepts at once; the invitation never reaches the server.
    {"invitation",
     [](Client& alice, Client&) { EXPECT_EQ(0, alice.Invite("bob", "call?")); },
     {"alice>MakeCall"},
     Family::kAliceCalls,
     Event::kLocalFailure,
     rtm::LOCAL_INVITATION_ERR_PEER_NO_RESPONSE,
     Event::kLocalAccepted,
     0,
     [](Client&, Client& bob) { AnswerInvitations(bob, true); }},
    {"acceptance",
     [](Client& alice, Client&) { EXPECT_EQ(0, alice.Invite("bob")); },
     {"bob<AcceptCallAck"},
     Family::kBobCalls,
     Event::kRemoteFailure,
     rtm::REMOTE_INVITATION_ERR_ACCEPT_FAILURE,
     Event::kRemoteAccepted,
     0,
     [](Client&, Client& bob) { AnswerInvitations(bob, true); }},
    // A refusal counts as done without its acknowledgement.
    {"refusal",
     [](Client& alice, Client&) { EXPECT_EQ(0, alice.Invite("bob")); },
     {"bob<RejectCallAck"},
     Family::kBobCalls,
     Event::kRemoteRefused,
     0,
     Event::kRemoteRefused,
     0,
     [](Client&, Client& bob) { AnswerInvitations(bob, false); }},
    // A cancel that the server does not acknowledge ends at its own deadline.
    {"cancel",
     [](Client& alice, Client&) {
       const size_t rung = alice.calls.Count(Event::kReceivedByPeer);
       ASSERT_EQ(0, alice.Invite("bob"));
       ASSERT_TRUE(alice.calls.WaitFor(Event::kReceivedByPeer, rung + 1));
       EXPECT_EQ(0, alice.Calls()->cancelLocalInvitation(alice.invitation, ""));
     },
     {"alice<CancelCallAck"},
     Family::kAliceCalls,
     Event::kLocalCanceled,
     0,
     Event::kLocalCanceled,
     0,
     [](Client&, Client& bob) { bob.Calls(); }},
};
#undef ATTR
#undef ASKS
#undef REQUEST

class RtmFamilyTest : public RtmMessagingTest, public ::testing::WithParamInterface<Family> {};

// Every family: an answer withheld past the deadline gives the family's own time-out, once, and a
// late answer nothing more; an answered request gets its answer, and nothing more when the
// clock then passes every deadline there is; a logout ends a request still waiting.
TEST_P(RtmFamilyTest, OneResultWhetherTheAnswerComesOrNot) {
  const Family& f = GetParam();
  Client& alice = *alice_;
  Client& bob = *bob_;
  if (f.setup) f.setup(alice, bob);
  Log& log = f.where == Family::kRoom         ? static_cast<Log&>(alice.room)
             : f.where == Family::kAliceCalls ? static_cast<Log&>(alice.calls)
             : f.where == Family::kBobCalls   ? static_cast<Log&>(bob.calls)
                                              : static_cast<Log&>(alice.log);
  std::vector<Event::Kind> kinds = {f.timed_out_kind, f.answered_kind};
  if (f.where == Family::kAliceCalls) {
    kinds = {Event::kLocalFailure, Event::kLocalAccepted, Event::kLocalRefused,
             Event::kLocalCanceled};
  } else if (f.where == Family::kBobCalls) {
    kinds = {Event::kRemoteFailure, Event::kRemoteAccepted, Event::kRemoteRefused,
             Event::kRemoteCanceled};
  }
  auto results = [&] {
    std::vector<std::pair<int, int>> out;
    for (const Event& e : log.Events()) {
      if (std::count(kinds.begin(), kinds.end(), e.kind) != 0) out.emplace_back(e.kind, e.a);
    }
    return out;
  };
  std::vector<int> rules;
  auto withhold = [&] {
    for (const std::string& spec : f.withheld) {
      const size_t at = spec.find_first_of("<>");
      FaultRule rule = Fault(spec.substr(0, at), spec.substr(at + 1),
                             spec[at] == '<' ? FaultAction::kHold : FaultAction::kDrop);
      if (spec[at] == '>') rule.direction = local_service::Direction::kFromClient;
      rules.push_back(svc_.AddFault(rule));
    }
  };
  withhold();
  f.request(alice, bob);
  Pass(61000, [&] { return !results().empty(); });
  EXPECT_THAT(results(),
              ElementsAre(std::make_pair(static_cast<int>(f.timed_out_kind), f.timed_out_code)));
  if (f.reconnects) {
    ASSERT_TRUE(alice.log.WaitFor(Event::kLoginSuccess, 2));
    RoundTrip(alice);  // the channel's own join after the login has its answer
  }
  for (int rule : rules) svc_.RemoveFault(rule);
  svc_.ReleaseHeld("alice");
  svc_.ReleaseHeld("bob");
  Flush(alice);
  Flush(bob);
  EXPECT_EQ(1u, results().size());

  f.request(alice, bob);
  ASSERT_TRUE(Eventually([&] { return results().size() == 2; }));
  EXPECT_EQ(std::make_pair(static_cast<int>(f.answered_kind), f.answered_code), results().back());
  Pass(61000);
  Flush(alice);
  Flush(bob);
  EXPECT_EQ(2u, results().size());

  // A logout while the answer is withheld ends the request there with 102 (a refusal or a
  // cancel counts as done), and nothing follows after the next login.
  withhold();
  f.request(alice, bob);
  Client& waiting = f.where == Family::kBobCalls ? bob : alice;
  if (f.where == Family::kBobCalls) ASSERT_TRUE(bob.calls.WaitFor(Event::kRemoteReceived, 3));
  waiting->logout();
  ASSERT_EQ(3u, results().size());
  EXPECT_EQ(std::make_pair(static_cast<int>(f.timed_out_kind), f.timed_out_code ? 102 : 0),
            results().back());
  ASSERT_TRUE(waiting.Login());
  Pass(61000);
  EXPECT_EQ(3u, results().size());
}

INSTANTIATE_TEST_SUITE_P(Families, RtmFamilyTest, ::testing::ValuesIn(kFamilies),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(RtmMessagingTest, PeerMessageIsDeliveredAcknowledgedAfterItsHandlersAndReported) {
  Client& alice = *alice_;
  Client& bob = *bob_;
  // A reply sent from inside the handler reaches the service before the ack only if the ack
  // is queued after the handlers return.
  bob.log.SetOnEvent([&bob](const Event& e) {
    if (e.kind == Event::kMessage && e.text == "hello bob") bob.Send("alice", "reply");
  });
  long long id = alice.Send("bob", "hello bob");
  EXPECT_EQ(rtm::PEER_MESSAGE_ERR_OK, alice.log.ResultOf(id));
  ASSERT_TRUE(bob.log.WaitFor(Event::kMessage));
  Event m = bob.log.Of(Event::kMessage).at(0);
  EXPECT_EQ(std::make_tuple(std::string("alice"), std::string("hello bob"), id, 1, false),
            std::make_tuple(m.peer, m.text, m.id, m.b, m.offline));
  std::vector<std::string> order;
  for (const auto& c : svc_.Log("bob")) {
    if (c.cmd == "SendMsgToPeer" || c.cmd == "RecvMsgFromPeerAck") order.push_back(c.cmd);
  }
  EXPECT_THAT(order, ElementsAre("SendMsgToPeer", "RecvMsgFromPeerAck"));
}

TEST_F(RtmMessagingTest, SendChecksRefuseInOrderAndReportThroughTheHandler) {
  Client carol(svc_, "carol");
  rtm::IMessage* message = carol->createMessage("hi");
  EXPECT_EQ(-1, carol->sendMessageToPeer("bob", message));
  EXPECT_EQ(rtm::PEER_MESSAGE_ERR_USER_NOT_LOGGED_IN,
            carol.log.ResultOf(message->getMessageId(), 0));
  Client& alice = *alice_;
  EXPECT_EQ(-1, alice->sendMessageToPeer("", message));
  EXPECT_EQ(-1, alice->sendMessageToPeer("bob", nullptr));  // no callback
  EXPECT_EQ(nullptr, alice->createMessage(""));
  EXPECT_EQ(0, alice.Send("bob", std::string(32768, 'y')));
  long long largest = alice.Send("bob", std::string(32767, 'x'));
  EXPECT_EQ(rtm::PEER_MESSAGE_ERR_OK, alice.log.ResultOf(largest));
  std::vector<int> codes;
  for (const Event& e : alice.log.Of(Event::kSendResult)) codes.push_back(e.a);
  EXPECT_THAT(codes, ElementsAre(rtm::PEER_MESSAGE_ERR_INVALID_USERID,
                                 rtm::PEER_MESSAGE_ERR_INVALID_MESSAGE, rtm::PEER_MESSAGE_ERR_OK));
  EXPECT_EQ(32767u, bob_->log.Of(Event::kMessage).at(0).text.size());
  message->release();
}

TEST_F(RtmMessagingTest, OfflinePeerGives3OrWithStorage4AndStoredMessagesArriveInOrder) {
  Client& alice = *alice_;
  EXPECT_EQ(rtm::PEER_MESSAGE_ERR_PEER_UNREACHABLE,
            alice.log.ResultOf(alice.Send("carol", "lost")));
  std::vector<long long> ids;
  for (const char* text : {"one", "two", "three"}) {
    ids.push_back(alice.Send("carol", text, /*offline=*/true));
    EXPECT_EQ(rtm::PEER_MESSAGE_ERR_CACHED_BY_SERVER, alice.log.ResultOf(ids.back()));
  }
  Client carol(svc_, "carol");
  ASSERT_TRUE(carol.Login());
  ASSERT_TRUE(carol.log.WaitFor(Event::kMessage, 3));
  std::vector<std::string> got;
  for (const Event& m : carol.log.Of(Event::kMessage)) {
    got.push_back(m.text + (m.offline ? " offline " : " live ") + m.peer + " " +
                  std::to_string(m.id) + " " + std::to_string(m.server_time));
  }
  auto expected = [&](int i, const char* text) {
    return std::string(text) + " offline alice " + std::to_string(ids[i]) + " 0";
  };
  EXPECT_THAT(got, ElementsAre(expected(0, "one"), expected(1, "two"), expected(2, "three")));
  // Offline messages are not acknowledged over the connection: a live one after them is.
  EXPECT_EQ(0u, svc_.OfflineCount(kAppId, "carol"));
  EXPECT_EQ(rtm::PEER_MESSAGE_ERR_OK, alice.log.ResultOf(alice.Send("carol", "live")));
  EXPECT_EQ(1u, Received("carol", "RecvMsgFromPeerAck").size());
}

TEST_F(RtmMessagingTest, FloodLimitRefusesWhen300SendsWaitAndTheOldestIs3SecondsOld) {
  Client& alice = *alice_;
  svc_.AddFault(DropToClient("alice", "MsgStatus"));
  // While paused no pass runs, so nothing times out and every send of a phase has one age.
  clock_.Pause();
  for (int i = 0; i < 299; ++i) ASSERT_NE(0, alice.Send("carol", "a")) << i;
  // 299 waiting, however old: accepted. Then 300 with the oldest 4 s old: refused.
  clock_.Jump(4000);
  ASSERT_NE(0, alice.Send("carol", "a299"));
  EXPECT_EQ(0, alice.Send("carol", "a300"));
  clock_.Resume();
  alice->logout();
  clock_.Jump(1001);
  ASSERT_TRUE(alice.Login());
  clock_.Pause();
  for (int i = 0; i < 300; ++i) ASSERT_NE(0, alice.Send("carol", "b")) << i;
  // The oldest of 300 registered 2999 ms ago: accepted; 3000 ms ago: refused.
  clock_.Jump(2999);
  ASSERT_NE(0, alice.Send("carol", "b300"));
  clock_.Jump(1);
  EXPECT_EQ(0, alice.Send("carol", "b301"));
  size_t refused = 0;
  for (const Event& e : alice.log.Of(Event::kSendResult))
    refused += e.a == rtm::PEER_MESSAGE_ERR_TOO_OFTEN;
  EXPECT_EQ(2u, refused);
}

TEST_F(RtmMessagingTest, ChannelMembersJoinTalkCountAndLeave) {
  Client& alice = *alice_;
  Client& bob = *bob_;
  Client carol(svc_, "carol");
  ASSERT_TRUE(carol.Login());
  ASSERT_TRUE(alice.Join());
  ASSERT_TRUE(bob.Join());
  ASSERT_TRUE(carol.Join());
  ASSERT_TRUE(alice.room.WaitFor(Event::kMemberJoined, 2));
  EXPECT_EQ("bob", alice.room.Of(Event::kMemberJoined).at(0).peer);
  ASSERT_TRUE(alice.room.WaitFor(Event::kMemberCountUpdated, 3));
  EXPECT_EQ(3, alice.room.Of(Event::kMemberCountUpdated).back().a);
  const char* ids[] = {"room", "hall"};
  long long request = 0;
  ASSERT_EQ(0, alice->getChannelMemberCount(ids, 2, request));
  Event count;
  ASSERT_EQ(0, Code(alice, Event::kMemberCount, request, &count));
  EXPECT_THAT(count.list, ElementsAre("room:3", "hall:0"));

  long long id = alice.Say("hello room");
  EXPECT_EQ(rtm::CHANNEL_MESSAGE_ERR_OK, alice.room.ResultOf(id));
  for (Client* other : {&bob, &carol}) {
    ASSERT_TRUE(other->room.WaitFor(Event::kMessage));
    Event m = other->room.Of(Event::kMessage).at(0);
    EXPECT_EQ(std::make_tuple(std::string("alice"), std::string("hello room"), id),
              std::make_tuple(m.peer, m.text, m.id));
  }
  EXPECT_EQ(0u, alice.room.Count(Event::kMessage));

  ASSERT_EQ(0, bob.channel->leave());
  ASSERT_TRUE(bob.room.WaitFor(Event::kLeave));
  EXPECT_EQ(rtm::LEAVE_CHANNEL_ERR_OK, bob.room.Of(Event::kLeave).at(0).a);
  ASSERT_TRUE(alice.room.WaitFor(Event::kMemberLeft));
  EXPECT_EQ("bob", alice.room.Of(Event::kMemberLeft).at(0).peer);
  // Attribute changes written with a notice reach the members.
  Attributes topic({{"topic", "news"}});
  rtm::ChannelAttributeOptions notify;
  notify.enableNotificationToChannelMembers = true;
  ASSERT_EQ(0, carol->addOrUpdateChannelAttributes("room", topic.data(), 1, notify, request = 0));
  ASSERT_TRUE(alice.room.WaitFor(Event::kAttributesUpdated));
  EXPECT_THAT(alice.room.Of(Event::kAttributesUpdated).at(0).list,
              ElementsAre("topic=news by carol"));
  // A set replaces every attribute of the channel: only its own keys are read back.
  Attributes more({{"lang", "en"}}), others({{"mood", "calm"}, {"rules", "none"}});
  ASSERT_EQ(0, carol->addOrUpdateChannelAttributes("room", more.data(), 1, {}, request = 0));
  ASSERT_EQ(0, Code(carol, Event::kAttributeResult, request));
  ASSERT_EQ(0, alice->setChannelAttributes("room", others.data(), 2, {}, request = 0));
  ASSERT_EQ(0, Code(alice, Event::kAttributeResult, request));
  Event read;
  ASSERT_EQ(0, bob->getChannelAttributes("room", request = 0));
  ASSERT_EQ(0, Code(bob, Event::kChannelAttributes, request, &read));
  EXPECT_THAT(read.list, ElementsAre("mood=calm@alice", "rules=none@alice"));
}

// Refusals by the server are failures. A channel released with a join, a leave, a member list
// and a send waiting ends each once with 102 before release returns, and a release from inside
// those reports does nothing.
TEST_F(RtmMessagingTest, ChannelRequestsEndOnceWhateverTheServerAnswers) {
  Client& alice = *alice_;
  alice.channel = alice->createChannel("room", &alice.room);
  svc_.AddFault(Fault("alice", "JoinChannel", FaultAction::kReplaceField, 1, 3));
  ASSERT_EQ(0, alice.channel->join());
  ASSERT_TRUE(alice.room.WaitFor(Event::kJoinFailure));
  EXPECT_EQ(rtm::JOIN_CHANNEL_ERR_FAILURE, alice.room.Of(Event::kJoinFailure).at(0).a);
  clock_.Jump(5001);  // past the join limiter's window
  ASSERT_TRUE(alice.Join());
  svc_.AddFault(Fault("alice", "SendChannelMsg", FaultAction::kReplaceField, 1, 5));
  EXPECT_EQ(rtm::CHANNEL_MESSAGE_ERR_FAILURE, alice.room.ResultOf(alice.Say("refused")));
  EXPECT_EQ(0u, Received("alice", "LeaveChannel").size());
  EXPECT_THAT(svc_.ChannelMembers(kAppId, "room"), ElementsAre("alice"));

  svc_.AddFault(DropToClient("alice", ""));
  ASSERT_EQ(0, alice.channel->getMembers());
  ASSERT_NE(0, alice.Say("unanswered"));
  ASSERT_EQ(0, alice.channel->leave());
  clock_.Jump(5001);
  ASSERT_EQ(0, alice.channel->join());
  ASSERT_TRUE(svc_.WaitForCommand("alice", "JoinChannel", 3, 5000));
  const size_t before = alice.room.Events().size();
  alice.room.SetOnEvent([&alice](const Event&) { alice.channel->release(); });
  alice.channel->release();
  std::vector<std::pair<int, int>> ended;
  for (size_t i = before; i < alice.room.Events().size(); ++i) {
    ended.emplace_back(alice.room.Events()[i].kind, alice.room.Events()[i].a);
  }
  alice.channel = nullptr;
  EXPECT_THAT(
      ended,
      ElementsAre(std::make_pair(Event::kJoinFailure, 102), std::make_pair(Event::kLeave, 102),
                  std::make_pair(Event::kMembers, 102), std::make_pair(Event::kSendResult, 102)));
}

// A script of alice's requests on her channel "room" and of what the service does with their
// answers, steps apart by commas: "join", "leave", "members" (each once the service has read
// it; with "*", once the worker has handled it, and the service must not have it: it waits for
// the answer before it); "hall" (alice joins "hall" too); "bob join", "bob leave" (bob's own, in
// the room, each answered); "hold CMD N" (the next N answers CMD kept back, -1: all); "drop CMD
// N"; "refuse CMD" (the next answer CMD carries Code 1); "release N" (the oldest N kept back let
// go, -1: all); "pass MS"; "reconnect"; "relogin" (the login that follows a loss); "logout in
// KIND CODE", "relog in KIND CODE" (a logout, or a logout and a login, from inside the room's
// first such result); "login"; "logins N" (the N-th login success); "renew" (the channel released
// and made again); "await KIND N" (the room's N-th result of KIND); "sent CMD N" (the N-th CMD
// read by the service); "count CMD N" (exactly N sent so far); "in CHANNEL 0|1" (alice is a
// member on the server); "say CODE" (a message to the room returns CODE); "reconnecting N" (the
// connection has been made again N times); "pause", "resume" (the test clock moves by "pass"
// only, or with real time again: a connection is made a few milliseconds after its lookup).
struct ChannelScript {
  const char* name;
  const char* steps;
  const char* results;  // what the room (then the hall) hears, once every deadline has passed
  size_t leaves_sent;   // alice's own leaves among them
  bool member;          // alice is in the room on the server at the end
};
void PrintTo(const ChannelScript& s, std::ostream* os) { *os << s.name; }

const ChannelScript kChannelScripts[] = {
    {"member_list_cut_off_by_a_lost_connection",
     "join, await joined 1, hold GetChanMembers 1, members, reconnect, await joined 2, members, "
     "await listed 2",
     "joined 0, listed 1, joined 0, listed 0 alice", 0, true},
    // An answer that does not come in time ends the connection: what comes later, or never, is
    // no answer to a request made once the connection is made again.
    {"join_answer_dropped",
     "drop JoinChannel 1, join, pass 10500, await failed 1, relogin, in room 0, join, "
     "await joined 1",
     "failed 4, joined 0", 0, true},
    {"join_answer_let_go_late",
     "hold JoinChannel 1, join, pass 10500, await failed 1, relogin, join, release -1, "
     "await joined 1",
     "failed 4, joined 0", 0, true},
    {"leave_answer_dropped",
     "join, await joined 1, drop LeaveChannel 1, leave, pass 10500, await left 1, relogin, "
     "in room 1, leave, await left 2",
     "joined 0, left 4, joined 0, left 0", 2, false},
    {"leave_answer_let_go_late",
     "join, await joined 1, hold LeaveChannel 1, leave, pass 10500, await left 1, relogin, "
     "leave, release -1, await left 2",
     "joined 0, left 4, joined 0, left 0", 2, false},
    // A leave the server refuses leaves alice in the room: joined again after a reconnection.
    {"leave_refused",
     "join, await joined 1, refuse LeaveChannel, leave, await left 1, reconnect, await joined 2",
     "joined 0, left 1, joined 0", 1, true},
    {"member_list_answer_dropped_with_lists_waiting",
     "join, await joined 1, bob join, drop GetChanMembers 1, members, pass 1000, members*, "
     "bob leave, members*, pass 9500, await listed 3, relogin, members, await listed 4, bob join, "
     "members, await listed 5",
     "joined 0, listed 4, listed 1, listed 1, joined 0, listed 0 alice, listed 0 alice+bob", 0,
     true},
    {"member_list_answer_let_go_late_with_a_list_waiting",
     "join, await joined 1, hold GetChanMembers 1, members, pass 1000, members*, pass 9500, "
     "await listed 2, relogin, bob join, members, release -1, await listed 3",
     "joined 0, listed 4, listed 1, joined 0, listed 0 alice+bob", 0, true},
    // Answers let go in time, behind requests made meanwhile, each end their own.
    {"member_list_held_with_the_next_waiting",
     "join, await joined 1, hold GetChanMembers 1, members, bob join, members*, release 1, "
     "sent GetChanMembers 2, await listed 2",
     "joined 0, listed 0 alice, listed 0 alice+bob", 0, true},
    {"join_held_with_the_next_waiting",
     "hold JoinChannel 1, refuse JoinChannel, join, join*, pass 5000, release 1, "
     "sent JoinChannel 2, await joined 1, reconnect, await joined 2",
     "failed 1, joined 0, joined 0", 0, true},
    // The channel's own join after a login gets no answer: the app's join behind it ends with the
    // connection, neither undoes the membership (the channel joins again after the next login),
    // and the next join ends with its own answer.
    {"rejoin_answer_dropped",
     "join, await joined 1, pass 5000, drop JoinChannel 1, reconnect, pass 1000, join*, "
     "pass 10500, await failed 2, relogin, in room 1, join, await joined 3",
     "joined 0, failed 4, failed 1, joined 0, joined 0", 0, true},
    {"rejoin_answer_dropped_with_nothing_behind",
     "join, await joined 1, pass 5000, drop JoinChannel 1, reconnect, pass 10500, "
     "await failed 1, relogin, in room 1",
     "joined 0, failed 4, joined 0", 0, true},
    // Only the room's join times out; the hall keeps its answer and is joined again.
    {"two_channels_one_answer_held",
     "hold JoinChannel 1, join, hall, pass 10500, await failed 1, relogin, in room 0, in hall 1",
     "failed 4, hall joined 0, hall joined 0", 0, false},
    // A request that has timed out is not reported again by a logout made from inside its
    // report (nor, in the rows above, by the loss that follows).
    {"logout_from_inside_a_time_out",
     "join, await joined 1, drop GetChanMembers 1, members, members*, logout in listed 4, "
     "pass 10500, await listed 2, login",
     "joined 0, listed 4, listed 102", 0, false},
    // The refusal of a released channel's join comes before the join of the channel made again
    // with its id goes out.
    {"late_refusal_for_a_released_channel",
     "hold JoinChannel 1, refuse JoinChannel, join, renew, join*, release -1, await joined 1",
     "failed 102, joined 0", 0, true},
    // A join's success after its channel was released makes the client leave on its own (the
    // join behind it never goes out); the refusal of that leave comes late, before the app's
    // leave of the channel made again goes out.
    {"own_leave_and_app_leave",
     "hold JoinChannel 1, join, join*, renew, hold LeaveChannel 1, refuse LeaveChannel, "
     "release -1, sent LeaveChannel 1, join, await joined 1, leave*, release -1, "
     "sent LeaveChannel 2, await left 1",
     "failed 102, failed 102, joined 0, left 0", 2, false},
    // A slow answer costs time: what is made meanwhile goes out as one once it has come, and a
    // deadline that passes before an answer that is not late for when its command went out
    // ends only its request.
    {"lists_behind_a_slow_answer_go_out_as_one",
     "join, await joined 1, hold GetChanMembers 1, members, members*, bob join, members*, "
     "release 1, await listed 3, count GetChanMembers 2, reconnecting 0",
     "joined 0, listed 0 alice, listed 0 alice+bob, listed 0 alice+bob", 0, true},
    {"list_gone_out_late_times_out_without_a_reconnection",
     "join, await joined 1, hold GetChanMembers 2, members, pass 1000, members*, pass 8000, "
     "release 1, sent GetChanMembers 2, pass 2500, await listed 2, release -1, members, "
     "await listed 3, reconnecting 0",
     "joined 0, listed 0 alice, listed 4, listed 0 alice", 0, true},
    {"join_gone_out_late_times_out_without_a_reconnection",
     "hold JoinChannel 2, join, pass 1000, join*, pass 8000, release 1, sent JoinChannel 2, "
     "pass 2500, await failed 1, release -1, members, await listed 1, reconnecting 0",
     "joined 0, failed 4, listed 0 alice", 0, true},
    // A join that fails leaves the channel as it was: joined again after the login.
    {"second_join_cut_off_by_a_lost_connection",
     "join, await joined 1, pass 5000, hold JoinChannel 1, join, reconnect, await joined 2, "
     "in room 1",
     "joined 0, failed 1, joined 0", 0, true},
    {"second_join_answer_dropped",
     "join, await joined 1, pass 5000, drop JoinChannel 1, join, pass 10500, await failed 1, "
     "relogin, in room 1",
     "joined 0, failed 4, joined 0", 0, true},
    {"join_refused_when_not_joined", "refuse JoinChannel, join, await failed 1, reconnect",
     "failed 1", 0, false},
    // Leaves and lists made while the channel's own join after a login is on its way wait for
    // its answer; a leave holds. (A refusal of the service's is forged: the service has done
    // what was asked, and holds the user where the client does not.)
    {"leave_while_the_rejoin_is_on_its_way",
     "join, await joined 1, pass 5000, hold JoinChannel 1, reconnect, say 3, leave*, "
     "release -1, await left 1, say 3",
     "joined 0, joined 0, left 0", 1, false},
    {"list_while_the_rejoin_is_on_its_way",
     "join, await joined 1, pass 5000, hold JoinChannel 1, reconnect, members*, release -1, "
     "await listed 1",
     "joined 0, joined 0, listed 0 alice", 0, true},
    {"refused_rejoin_ends_what_waits",
     "join, await joined 1, pass 5000, hold JoinChannel 1, refuse JoinChannel, reconnect, "
     "members*, leave*, release -1, await left 1, reconnect",
     "joined 0, failed 1, listed 3, left 0", 0, false},
    // One that waits longer than 10 s, behind the channel's own join that the join limiter holds
    // back, ends with 4 and never goes out.
    {"list_waiting_for_a_late_rejoin_times_out",
     "join, await joined 1, join, await joined 2, hold JoinChannel 1, reconnect, members*, "
     "pass 10500, await listed 1, release -1, await joined 3, count GetChanMembers 0",
     "joined 0, joined 0, listed 4, joined 0", 0, true},
    {"leave_cut_off_then_the_rejoin_refused",
     "join, await joined 1, pass 5000, hold LeaveChannel 1, leave, hold JoinChannel 1, "
     "refuse JoinChannel, reconnect, say 3, members*, release -1, await listed 1, say 3, "
     "reconnect",
     "joined 0, left 1, failed 1, listed 3", 1, false},
    {"leave_refused_acts_joined",
     "join, await joined 1, refuse LeaveChannel, leave, await left 1, members, await listed 1, "
     "say 0, reconnecting 0",
     "joined 0, left 1, listed 0", 1, false},
    // The app was told 4: the user is still in, and the channel joins again when the late answer
    // says the server took the leave.
    {"leave_answered_after_its_time_out",
     "join, await joined 1, pass 5000, hold JoinChannel 1, reconnect, leave*, pass 9000, "
     "hold LeaveChannel 1, release 1, sent LeaveChannel 1, pass 1500, await left 1, release -1, "
     "await joined 3, reconnecting 1",
     "joined 0, joined 0, left 4, joined 0", 1, true},
    // A released channel's requests keep their places only while on their way.
    {"list_queued_when_its_channel_is_released",
     "join, await joined 1, hold GetChanMembers 1, members, members*, renew, hall, join, "
     "await joined 2, members*, release -1, await listed 3",
     "joined 0, listed 102, listed 102, joined 0, listed 0 alice, hall joined 0", 0, true},
    {"second_list_gone_out_when_its_channel_is_released",
     "join, await joined 1, hold GetChanMembers 2, members, members*, release 1, "
     "sent GetChanMembers 2, renew, join, await joined 2, bob join, members*, release -1, "
     "await listed 3",
     "joined 0, listed 0 alice, listed 102, joined 0, listed 0 alice+bob", 0, true},
    {"released_channels_list_unanswered",
     "join, await joined 1, drop GetChanMembers 1, members, renew, pass 10500, relogin, "
     "reconnecting 1",
     "joined 0, listed 102", 0, false},
    {"two_deadlines_pass_together",
     "join, await joined 1, pause, drop GetChanMembers 1, drop JoinChannel 1, members, hall, "
     "pass 10500, resume, relogin",
     "joined 0, listed 4, joined 0, hall failed 4", 0, true},
    {"logout_and_login_from_inside_a_time_out",
     "join, await joined 1, drop GetChanMembers 1, members, relog in listed 4, pass 10500, "
     "logins 2, reconnecting 0",
     "joined 0, listed 4", 0, false},
};

class RtmChannelAnswerTest : public RtmMessagingTest,
                             public ::testing::WithParamInterface<ChannelScript> {};

// Channel answers carry no request id: each must end the request it answers (one at a time on
// the wire per channel and family) and no other.
TEST_P(RtmChannelAnswerTest, EachAnswerEndsTheRequestItAnswers) {
  const ChannelScript& script = GetParam();
  Client& alice = *alice_;
  Client& bob = *bob_;
  alice.channel = alice->createChannel("room", &alice.room);
  ChannelLog hall_log;
  std::unique_ptr<rtm::IChannel, void (*)(rtm::IChannel*)> hall(
      nullptr, [](rtm::IChannel* channel) { channel->release(); });
  const std::map<std::string, Event::Kind> kinds = {{"joined", Event::kJoinSuccess},
                                                    {"failed", Event::kJoinFailure},
                                                    {"left", Event::kLeave},
                                                    {"listed", Event::kMembers}};
  const std::map<std::string, std::pair<const char*, std::function<int()>>> requests = {
      {"join", {"JoinChannel", [&] { return alice.channel->join(); }}},
      {"leave", {"LeaveChannel", [&] { return alice.channel->leave(); }}},
      {"members", {"GetChanMembers", [&] { return alice.channel->getMembers(); }}},
      {"hall", {"JoinChannel", [&] { return hall->join(); }}}};
  std::vector<int> rules;
  std::string steps = script.steps, cmd;
  std::replace(steps.begin(), steps.end(), ',', ' ');
  std::istringstream words(steps);
  for (std::string op; words >> op;) {
    int n = 0;
    const bool waits = op.back() == '*';
    if (waits) op.pop_back();
    if (op == "hall" && !hall) hall.reset(alice->createChannel("hall", &hall_log));
    if (requests.count(op) != 0) {
      const auto& [sent, call] = requests.at(op);
      if (waits) RoundTrip(alice);  // what went out before has been read
      const size_t before = Received("alice", sent).size();
      EXPECT_EQ(0, call()) << op;
      if (waits) {
        RoundTrip(alice);
        EXPECT_EQ(before, Received("alice", sent).size()) << op << " went out";
      } else {
        EXPECT_TRUE(svc_.WaitForCommand("alice", sent, before + 1, 5000)) << op;
      }
    } else if (op == "bob" && words >> cmd) {
      const size_t left = bob.room.Count(Event::kLeave);
      EXPECT_TRUE(cmd == "join"
                      ? bob.Join()
                      : bob.channel->leave() == 0 && bob.room.WaitFor(Event::kLeave, left + 1));
    } else if ((op == "hold" || op == "drop") && words >> cmd >> n) {
      rules.push_back(svc_.AddFault(
          Fault("alice", cmd, op == "hold" ? FaultAction::kHold : FaultAction::kDrop, n)));
    } else if (op == "refuse" && words >> cmd) {
      rules.push_back(svc_.AddFault(Fault("alice", cmd, FaultAction::kReplaceField, 1, 1)));
    } else if (op == "release" && words >> n) {
      svc_.ReleaseHeld("alice", n);
    } else if (op == "pass" && words >> n) {
      Pass(n);
    } else if (op == "reconnect") {
      Reconnect(alice);
    } else if (op == "relogin") {
      const size_t logins = alice.log.Count(Event::kLoginSuccess);
      Pass(2500);  // the next login is due 2 s after the loss
      EXPECT_TRUE(alice.log.WaitFor(Event::kLoginSuccess, logins + 1));
      RoundTrip(alice);  // the channels' own joins after the login have their answers
    } else if ((op == "logout" || op == "relog") && words >> cmd >> cmd >> n) {
      // From inside the room's first result of that kind and code.
      alice.room.SetOnEvent([&, relog = op == "relog", kind = kinds.at(cmd), code = n,
                             done = false](const Event& e) mutable {
        if (done || e.kind != kind || e.a != code) return;
        done = true;
        alice->logout();
        if (relog) EXPECT_EQ(0, alice->login("tok", "alice"));
      });
    } else if (op == "logins" && words >> n) {
      EXPECT_TRUE(alice.log.WaitFor(Event::kLoginSuccess, static_cast<size_t>(n)));
    } else if (op == "reconnecting" && words >> n) {
      const std::vector<Event> states = alice.log.Of(Event::kState);
      EXPECT_EQ(n, std::count_if(states.begin(), states.end(), [](const Event& e) {
                  return e.a == rtm::CONNECTION_STATE_RECONNECTING;
                }));
    } else if (op == "count" && words >> cmd >> n) {
      RoundTrip(alice);
      EXPECT_EQ(static_cast<size_t>(n), Received("alice", cmd).size()) << cmd;
    } else if (op == "pause") {
      clock_.Pause();
    } else if (op == "resume") {
      clock_.Resume();
    } else if (op == "say" && words >> n) {
      int code = 0;
      alice.Say("hi", &code);
      EXPECT_EQ(n, code);
    } else if (op == "login") {
      EXPECT_TRUE(alice.Login());
    } else if (op == "renew") {
      alice.channel->release();
      alice.channel = alice->createChannel("room", &alice.room);
    } else if (op == "await" && words >> cmd >> n) {
      EXPECT_TRUE(alice.room.WaitFor(kinds.at(cmd), static_cast<size_t>(n))) << cmd << " " << n;
    } else if (op == "sent" && words >> cmd >> n) {
      EXPECT_TRUE(svc_.WaitForCommand("alice", cmd, static_cast<size_t>(n), 5000)) << cmd;
    } else if (op == "in" && words >> cmd >> n) {
      const std::vector<std::string> members = svc_.ChannelMembers(kAppId, cmd);
      EXPECT_EQ(n, std::count(members.begin(), members.end(), "alice")) << cmd;
    } else {
      FAIL() << "step " << op << " unknown or incomplete";
    }
  }
  // What is still kept back comes now, and every deadline passes: nothing more is heard.
  for (int rule : rules) svc_.RemoveFault(rule);
  svc_.ReleaseHeld("alice");
  Pass(21000);
  Flush(alice);
  std::string results;
  for (auto [log, prefix] : {std::make_pair(&alice.room, ""), std::make_pair(&hall_log, "hall ")}) {
    for (const Event& e : log->Events()) {
      for (const auto& [name, kind] : kinds) {
        if (e.kind != kind) continue;
        results += (results.empty() ? "" : ", ") + (prefix + name) + " " + std::to_string(e.a);
        for (size_t i = 0; i < e.list.size(); ++i) results += (i == 0 ? " " : "+") + e.list[i];
      }
    }
  }
  EXPECT_EQ(script.results, results);
  EXPECT_EQ(script.leaves_sent, Received("alice", "LeaveChannel").size());
  const std::vector<std::string> members = svc_.ChannelMembers(kAppId, "room");
  EXPECT_EQ(script.member, std::count(members.begin(), members.end(), "alice") == 1);
}

INSTANTIATE_TEST_SUITE_P(Scripts, RtmChannelAnswerTest, ::testing::ValuesIn(kChannelScripts),
                         [](const auto& info) { return std::string(info.param.name); });

// A slow server costs time, not results. With every member list answered 2 s (alice) or 4 s
// (bob) after it reached the service and every join 6 s after, lists at the rate the limiter
// allows each end 0 with a list taken after the call, the two joins end once each with the hall
// joined, and no connection is made again.
TEST_F(RtmMessagingTest, ASlowServerCostsTimeNotResults) {
  Client& alice = *alice_;
  Client& bob = *bob_;
  ASSERT_TRUE(alice.Join());
  ASSERT_TRUE(bob.Join());
  Client carol(svc_, "carol");
  ChannelLog hall_log;
  std::unique_ptr<rtm::IChannel, void (*)(rtm::IChannel*)> hall(
      alice->createChannel("hall", &hall_log), [](rtm::IChannel* channel) { channel->release(); });
  svc_.AddFault(Fault("alice", "GetChanMembers", FaultAction::kDelay, -1, 2000));
  svc_.AddFault(Fault("bob", "GetChanMembers", FaultAction::kDelay, -1, 4000));
  svc_.AddFault(Fault("alice", "JoinChannel", FaultAction::kDelay, -1, 6000));
  for (int i = 0; i < 3; ++i) ASSERT_EQ(0, bob.channel->getMembers());
  ASSERT_EQ(0, hall->join());
  ASSERT_EQ(0, hall->join());
  // Carol joins half-way: every list asked for after that names her.
  size_t lists = 0, after_carol = 0;
  const auto start = std::chrono::steady_clock::now();
  for (auto now = start; now - start < std::chrono::seconds(12);
       now = std::chrono::steady_clock::now()) {
    if (after_carol == 0 && now - start > std::chrono::seconds(6)) {
      ASSERT_TRUE(carol.Login());
      ASSERT_TRUE(carol.Join());
      after_carol = lists + 1;
    }
    const int code = alice.channel->getMembers();
    if (code == rtm::GET_MEMBERS_ERR_TOO_OFTEN) {
      PollInterval();
      continue;
    }
    ASSERT_EQ(0, code);
    ++lists;
  }
  ASSERT_TRUE(alice.room.WaitFor(Event::kMembers, lists, -1, nullptr, 20000));
  ASSERT_TRUE(bob.room.WaitFor(Event::kMembers, 3, -1, nullptr, 20000));
  ASSERT_TRUE(Eventually(
      [&] {
        return hall_log.Count(Event::kJoinSuccess) + hall_log.Count(Event::kJoinFailure) == 2;
      },
      20000));
  EXPECT_GT(lists, 25u);
  const std::vector<Event> listed = alice.room.Of(Event::kMembers);
  ASSERT_EQ(lists, listed.size());
  for (size_t i = 0; i < listed.size(); ++i) {
    EXPECT_EQ(0, listed[i].a) << i;
    if (i + 1 >= after_carol) EXPECT_THAT(listed[i].list, ::testing::Contains("carol")) << i;
  }
  for (const Event& e : bob.room.Of(Event::kMembers)) EXPECT_EQ(0, e.a);
  // The second join went out when the first was answered: it may end 4 at its deadline.
  EXPECT_EQ(1u, hall_log.Count(Event::kJoinSuccess));
  for (const Event& e : hall_log.Of(Event::kJoinFailure)) EXPECT_EQ(4, e.a);
  EXPECT_EQ(0, hall->getMembers());
  EXPECT_THAT(svc_.ChannelMembers(kAppId, "hall"), ElementsAre("alice"));
  for (Client* client : {&alice, &bob}) {
    for (const Event& e : client->log.Of(Event::kState)) {
      EXPECT_NE(rtm::CONNECTION_STATE_RECONNECTING, e.a) << client->user();
    }
  }
}

// A time-out that makes the connection again ends it before anything is reported: what the
// report sends is refused, or ends as in the report of (4,5), and nothing reaches the service.
TEST_F(RtmMessagingTest, WhatATimeOutReportSendsGoesNowhereItCannotArrive) {
  Client& alice = *alice_;
  Client& bob = *bob_;
  ASSERT_TRUE(alice.Join());
  svc_.AddFault(DropToClient("alice", "GetChanMembers", 1));
  std::vector<int> returned;
  long long message = 0;
  std::atomic<bool> reported{false};  // what the report did is in `returned` and `message`
  alice.room.SetOnEvent([&](const Event& e) {
    if (e.kind != Event::kMembers || e.a != rtm::GET_MEMBERS_ERR_TIMEOUT) return;
    rtm::IMessage* m = alice->createMessage("inside");
    message = m->getMessageId();
    long long query = 0;
    returned = {alice->sendMessageToPeer("bob", m), alice.channel->join(), alice.channel->leave(),
                alice->queryPeersOnlineStatus(kKeys, 1, query)};
    m->release();
    reported.store(true);
  });
  ASSERT_EQ(0, alice.channel->getMembers());
  Pass(10500, [&] { return reported.load(); });
  ASSERT_TRUE(Eventually([&] { return reported.load(); }));
  EXPECT_THAT(returned, ElementsAre(-1, 102, 0, 102));
  EXPECT_EQ(rtm::PEER_MESSAGE_ERR_USER_NOT_LOGGED_IN, alice.log.ResultOf(message, 0));
  // The leave, taken as in the report of (4,5), ends with the connection: the user is still in.
  ASSERT_TRUE(alice.room.WaitFor(Event::kLeave));
  EXPECT_EQ(rtm::LEAVE_CHANNEL_ERR_FAILURE, alice.room.Of(Event::kLeave).at(0).a);
  Pass(2500);
  ASSERT_TRUE(alice.log.WaitFor(Event::kLoginSuccess, 2));
  ASSERT_TRUE(alice.room.WaitFor(Event::kJoinSuccess, 2));
  RoundTrip(alice);
  EXPECT_EQ(0u, bob.log.Count(Event::kMessage));
  EXPECT_EQ(0u, Received("alice", "LeaveChannel").size());
  EXPECT_EQ(0u, Received("alice", "QueryOnlineStatus").size());
}

TEST_F(RtmMessagingTest, JoinedChannelsAreJoinedAgainAfterALostConnectionAndLeftOnesAreNot) {
  Client& alice = *alice_;
  ChannelLog hall_log;
  rtm::IChannel* hall = alice->createChannel("hall", &hall_log);
  ASSERT_TRUE(alice.Join());
  ASSERT_EQ(0, hall->join());
  ASSERT_TRUE(hall_log.WaitFor(Event::kJoinSuccess));
  ASSERT_EQ(0, hall->leave());
  ASSERT_TRUE(hall_log.WaitFor(Event::kLeave));
  Reconnect(alice);
  ASSERT_TRUE(alice.room.WaitFor(Event::kJoinSuccess, 2));
  EXPECT_THAT(svc_.ChannelMembers(kAppId, "room"), ElementsAre("alice"));
  EXPECT_THAT(svc_.ChannelMembers(kAppId, "hall"), IsEmpty());
  EXPECT_EQ(1u, hall_log.Count(Event::kJoinSuccess));
  // A join answered after its channel was released leaves it on the server.
  hall->release();
  ASSERT_TRUE(svc_.Push("alice", "JoinChannel", R"({"ChanId":"hall","Code":0})"));
  ASSERT_TRUE(svc_.WaitForCommand("alice", "LeaveChannel", 2, 5000));
  EXPECT_THAT(Sent("alice", "LeaveChannel", "ChanId"), ElementsAre("hall", "hall"));
  // The logout detaches the channel: its operations answer 102 and it hears nothing more, even
  // after a new login.
  alice->logout();
  EXPECT_EQ(102, alice.channel->join());
  ASSERT_TRUE(alice.Login());
  RoundTrip(alice);
  EXPECT_EQ(2u, alice.room.Count(Event::kJoinSuccess));
  EXPECT_THAT(svc_.ChannelMembers(kAppId, "room"), IsEmpty());
}

TEST_F(RtmMessagingTest, MalformedPresenceRepliesAndPushesAreSkippedWithoutACrash) {
  Client& alice = *alice_;
  svc_.AddFault(DropToClient("alice", "QueryOnlineStatus", 1));
  const char* one[] = {"bob"};
  long long q = 0;
  ASSERT_EQ(0, alice->queryPeersOnlineStatus(one, 1, q));
  ASSERT_TRUE(svc_.WaitForCommand("alice", "QueryOnlineStatus", 1, 5000));
  const std::string id = std::to_string(q);
  for (const std::string& body :
       {R"({"MsgId":)" + id + "}", R"({"MsgId":)" + id + R"(,"Status":"[]"})",
        R"({"MsgId":")" + id + R"(","Status":[]})", std::string(R"({"Status":[]})")}) {
    ASSERT_TRUE(svc_.Push("alice", "QueryOnlineStatus", body)) << body;
  }
  svc_.Push("alice", "PeerOnlineStatus", R"({"Status":{"UserId":"bob","Online":1}})");
  svc_.Push(
      "alice", "PeerOnlineStatus",
      R"({"Status":[{"UserId":5,"Online":1},{"UserId":"x","Online":"1"},)"
      R"({"UserId":"y","Online":7},{"UserId":"z","Online":-1},"w",{"UserId":"v","Online":0}]})");
  const std::string good = R"({"MsgId":)" + id +
                           R"(,"Status":[{"UserId":"bob","Online":-1},{"Online":1},)"
                           R"({"UserId":"eve","Online":1},{"UserId":"f","Online":1.5}]})";
  svc_.Push("alice", "QueryOnlineStatus", good);
  svc_.Push("alice", "QueryOnlineStatus", good);  // answers no request the second time
  RoundTrip(alice);
  ASSERT_EQ(1u, alice.log.Count(Event::kQueryStatus));
  EXPECT_THAT(alice.log.Of(Event::kQueryStatus).at(0).list, ElementsAre("bob:0:2", "eve:1:0"));
  ASSERT_EQ(1u, alice.log.Count(Event::kStatusChanged));
  EXPECT_THAT(alice.log.Of(Event::kStatusChanged).at(0).list, ElementsAre("z:0:1", "v:0:2"));
}

TEST_F(RtmMessagingTest, AttributeChecksRefuseInTheirOrderWithoutReadingNullPointers) {
  Client carol(svc_, "carol");
  long long id = 0;
  rtm::RtmAttribute one[] = {{"k", "v"}}, null_value[] = {{"k", "v"}, {"k2", nullptr}};
  EXPECT_EQ(102, carol->setLocalUserAttributes(one, 1, id));
  rtm::IRtmService* s = alice_->service();
  EXPECT_EQ(3, s->setLocalUserAttributes(null_value, 2, id));
  EXPECT_EQ(3, s->addOrUpdateLocalUserAttributes(one, -1, id));
  const char* empty_key[] = {"k", ""};
  EXPECT_EQ(2, s->deleteLocalUserAttributesByKeys(empty_key, 2, id));
  EXPECT_EQ(3, s->getChannelAttributesByKeys("ch", empty_key, 2, id));
  const std::string oversize(8192, 'x');
  Attributes empty_key_first({{"", "v"}, {"k", oversize}}), oversize_first({{"k", oversize}}, 1),
      null_attribute({{"k", "v"}}, 1);
  rtm::ChannelAttributeOptions options;
  EXPECT_EQ(3, s->setChannelAttributes("ch", empty_key_first.data(), 2, options, id));
  EXPECT_EQ(4, s->addOrUpdateChannelAttributes("ch", oversize_first.data(), 2, options, id));
  EXPECT_EQ(3, s->setChannelAttributes("ch", null_attribute.data(), 2, options, id));
  EXPECT_EQ(3, s->setChannelAttributes(nullptr, null_attribute.data(), 1, options, id));
}

// Every list and size limit: a request at exactly the limit goes out and is answered; one past
// it is refused at once with its family's code.
TEST_F(RtmMessagingTest, EveryLimitTakesItsValueAndRefusesOnePast) {
  rtm::IRtmService* s = alice_->service();
  std::vector<std::string> names;
  for (int i = 0; i < 513; ++i) names.push_back("p" + std::to_string(i));
  std::vector<const char*> ids;
  for (const std::string& name : names) ids.push_back(name.c_str());
  auto attributes = [](int n, size_t value_bytes) {
    Attributes list({}, 0);
    for (int i = 0; i < n; ++i) list.Add("k" + std::to_string(i), std::string(value_bytes, 'v'));
    return list;
  };
  const struct {
    const char* name;
    int limit, refused;
    Event::Kind kind;
    std::function<int(int n, long long& id)> request;
  } limits[] = {
      {"peers queried", 256, rtm::QUERY_PEERS_ONLINE_STATUS_ERR_INVALID_ARGUMENT,
       Event::kQueryStatus,
       [&](int n, long long& id) { return s->queryPeersOnlineStatus(ids.data(), n, id); }},
      {"peers subscribed", 512, rtm::PEER_SUBSCRIPTION_STATUS_ERR_OVERFLOW, Event::kSubscription,
       [&](int n, long long& id) { return s->subscribePeersOnlineStatus(ids.data(), n, id); }},
      {"peers unsubscribed", 512, rtm::PEER_SUBSCRIPTION_STATUS_ERR_OVERFLOW, Event::kSubscription,
       [&](int n, long long& id) { return s->unsubscribePeersOnlineStatus(ids.data(), n, id); }},
      {"user keys deleted", 32, rtm::ATTRIBUTE_OPERATION_ERR_INVALID_ARGUMENT,
       Event::kAttributeResult,
       [&](int n, long long& id) { return s->deleteLocalUserAttributesByKeys(ids.data(), n, id); }},
      {"channel attributes set", 32, rtm::ATTRIBUTE_OPERATION_ERR_INVALID_ARGUMENT,
       Event::kAttributeResult,
       [&](int n, long long& id) {
         Attributes list = attributes(n, 1);
         return s->setChannelAttributes("ch", list.data(), n, {}, id);
       }},
      {"channel attribute value bytes", 8191, rtm::ATTRIBUTE_OPERATION_ERR_SIZE_OVERFLOW,
       Event::kAttributeResult,
       [&](int n, long long& id) {
         Attributes list = attributes(1, static_cast<size_t>(n));
         return s->addOrUpdateChannelAttributes("ch", list.data(), 1, {}, id);
       }},
  };
  for (const auto& limit : limits) {
    long long id = 0;
    EXPECT_EQ(limit.refused, limit.request(limit.limit + 1, id)) << limit.name;
    ASSERT_EQ(0, limit.request(limit.limit, id = 0)) << limit.name;
    EXPECT_EQ(0, Code(*alice_, limit.kind, id)) << limit.name;
  }
  // A channel id has at most 255 bytes.
  EXPECT_EQ(nullptr, s->createChannel(std::string(256, 'c').c_str(), nullptr));
  rtm::IChannel* longest = s->createChannel(std::string(255, 'c').c_str(), nullptr);
  ASSERT_NE(nullptr, longest);
  longest->release();
}

TEST_F(RtmMessagingTest, UserAttributesAreWrittenReadAndMirroredAcrossReconnects) {
  Client& alice = *alice_;
  Client& bob = *bob_;
  auto read = [&](Client& reader, const char* user) {
    long long id = 0;
    EXPECT_EQ(0, reader->getUserAttributes(user, id));
    Event e;
    EXPECT_EQ(0, Code(reader, Event::kUserAttributes, id, &e));
    EXPECT_EQ(user, e.peer);
    return e.list;
  };
  long long id = 0;
  rtm::RtmAttribute a[] = {{"a", "1"}};
  rtm::RtmAttribute bc[] = {{"c", "3"}, {"b", "2"}};
  const char* drop_a[] = {"a"};
  ASSERT_EQ(0, alice->setLocalUserAttributes(a, 1, id));
  EXPECT_EQ(0, Code(alice, Event::kAttributeResult, id));
  ASSERT_EQ(0, alice->addOrUpdateLocalUserAttributes(bc, 2, id = 0));
  ASSERT_EQ(0, alice->deleteLocalUserAttributesByKeys(drop_a, 1, id = 0));
  EXPECT_EQ(0, Code(alice, Event::kAttributeResult, id));
  EXPECT_THAT(read(bob, "alice"), ElementsAre("b=2", "c=3"));

  // The server forgets attributes with the connection; the client gives them back, and a set
  // replaces what was there in the mirror too.
  Reconnect(alice);
  ASSERT_TRUE(svc_.WaitForCommand("alice", "AddOrUpdateUserAttributes", 3, 5000));
  EXPECT_EQ(R"({"MsgId":0,"Attributes":"{\"b\":\"2\",\"c\":\"3\"}"})",
            Sent("alice", "AddOrUpdateUserAttributes").at(2));
  ASSERT_EQ(0, alice->setLocalUserAttributes(a, 1, id = 0));
  EXPECT_EQ(0, Code(alice, Event::kAttributeResult, id));
  Reconnect(alice);
  ASSERT_TRUE(svc_.WaitForCommand("alice", "AddOrUpdateUserAttributes", 5, 5000));
  EXPECT_EQ(R"({"MsgId":0,"Attributes":"{\"a\":\"1\"}"})",
            Sent("alice", "AddOrUpdateUserAttributes").at(4));
  // The answer to the re-send, which comes before that of a later request, went to nobody;
  // after a logout nothing comes back.
  EXPECT_THAT(read(alice, "alice"), ElementsAre("a=1"));
  EXPECT_EQ(4u, alice.log.Count(Event::kAttributeResult));
  EXPECT_EQ(0, alice->logout());
  ASSERT_TRUE(alice.Login());
  EXPECT_THAT(read(alice, "alice"), IsEmpty());
  EXPECT_EQ(5u, Sent("alice", "AddOrUpdateUserAttributes").size());
}

TEST_F(RtmMessagingTest, AttributeRefusalsAndMalformedRepliesEachGiveOneResult) {
  Client& alice = *alice_;
  long long id = 0;
  rtm::RtmAttribute a[] = {{"a", "1"}}, old[] = {{"old", "0"}};
  ASSERT_EQ(0, alice->setLocalUserAttributes(old, 1, id));
  EXPECT_EQ(0, Code(alice, Event::kAttributeResult, id));
  // The server refuses: reported as a failure, not as success, and what is sent again after the
  // next login is what the server accepted.
  svc_.AddFault(Fault("alice", "AddOrUpdateUserAttributes", FaultAction::kReplaceField, 1, 5));
  ASSERT_EQ(0, alice->setLocalUserAttributes(a, 1, id = 0));
  EXPECT_EQ(1, Code(alice, Event::kAttributeResult, id));
  Reconnect(alice);
  // Read on the same connection, after what the login sent again.
  ASSERT_EQ(0, alice->getUserAttributes("alice", id = 0));
  Event e;
  ASSERT_EQ(0, Code(alice, Event::kUserAttributes, id, &e));
  EXPECT_THAT(e.list, ElementsAre("old=0"));
  // Hand-made replies: unreadable members are skipped, the rest is delivered.
  long long user_read = 0, channel_read = 0;
  svc_.AddFault(DropToClient("alice", "QueryAttrib", 1));
  svc_.AddFault(DropToClient("alice", "GetChanAttributes", 1));
  ASSERT_EQ(0, alice->getUserAttributes("bob", user_read));
  ASSERT_EQ(0, alice->getChannelAttributes("ch", channel_read));
  ASSERT_TRUE(svc_.WaitForCommand("alice", "GetChanAttributes", 1, 5000));
  svc_.Push("alice", "QueryAttrib", R"({"QueryUserId":"bob","Attribs":"{}"})");
  svc_.Push("alice", "QueryAttrib",
            R"({"MsgId":)" + std::to_string(user_read) +
                R"(,"QueryUserId":"bob","Attribs":"{\"b\":\"2\",\"a\":\"1\",\"n\":3}"})");
  svc_.Push("alice", "GetChanAttributes",
            R"({"MsgId":)" + std::to_string(channel_read) +
                R"(,"Attributes":"[{\"Key\":\"k\",\"Val\":\"v\",\"UId\":7,\"Time\":\"x\"},)"
                R"({\"Key\":1,\"Val\":\"w\"},3]"})");
  ASSERT_EQ(0, Code(alice, Event::kUserAttributes, user_read, &e));
  EXPECT_THAT(e.list, ElementsAre("a=1", "b=2"));
  ASSERT_EQ(0, Code(alice, Event::kChannelAttributes, channel_read, &e));
  EXPECT_THAT(e.list, ElementsAre("k=v@"));
  EXPECT_EQ(0, e.server_time);
  RoundTrip(alice);
  EXPECT_EQ(3u, alice.log.Count(Event::kUserAttributes));
}

// A reply whose "Code" is missing or not an integer is a failure of its request's family.
TEST_F(RtmMessagingTest, RepliesWithoutAnIntegerCodeAreFailures) {
  Client& alice = *alice_;
  ASSERT_TRUE(alice.Join());
  // The service's own answers are dropped; hand-made ones come in their place, once the
  // service has read the request.
  for (const char* cmd :
       {"SendChannelMsg", "LeaveChannel", "JoinChannel", "AddOrUpdateUserAttributes",
        "AddOrUpdateChanAttributes", "SubscribeOnlineStatus"}) {
    svc_.AddFault(DropToClient("alice", cmd, 1));
  }
  auto answer = [&](const char* cmd, size_t sent, const std::string& body) {
    ASSERT_TRUE(svc_.WaitForCommand("alice", cmd, sent, 5000));
    ASSERT_TRUE(svc_.Push("alice", cmd, body));
  };
  const long long said = alice.Say("said");
  answer("SendChannelMsg", 1, R"({"ChanId":"room","MsgId":)" + std::to_string(said) + "}");
  ASSERT_EQ(0, alice.channel->leave());
  answer("LeaveChannel", 1, R"({"ChanId":"room"})");
  ASSERT_EQ(0, alice.channel->join());
  answer("JoinChannel", 2, R"({"ChanId":"room","Code":"0"})");
  long long set = 0, chan = 0, sub = 0;
  rtm::RtmAttribute a[] = {{"a", "1"}};
  ASSERT_EQ(0, alice->setLocalUserAttributes(a, 1, set));
  answer("AddOrUpdateUserAttributes", 1, R"({"MsgId":)" + std::to_string(set) + "}");
  Attributes topic({{"topic", "news"}});
  ASSERT_EQ(0, alice->addOrUpdateChannelAttributes("room", topic.data(), 1, {}, chan));
  answer("AddOrUpdateChanAttributes", 1, R"({"MsgId":)" + std::to_string(chan) + R"(,"Code":0.5})");
  const char* bob[] = {"bob"};
  ASSERT_EQ(0, alice->subscribePeersOnlineStatus(bob, 1, sub));
  answer("SubscribeOnlineStatus", 1, R"({"MsgId":)" + std::to_string(sub) + "}");
  ASSERT_TRUE(svc_.Push("alice", "Logout", "{}"));
  ASSERT_TRUE(alice.log.WaitFor(Event::kLogout));
  EXPECT_EQ(rtm::CHANNEL_MESSAGE_ERR_FAILURE, alice.room.ResultOf(said));
  ASSERT_TRUE(alice.room.WaitFor(Event::kJoinFailure));
  EXPECT_EQ(rtm::LEAVE_CHANNEL_ERR_FAILURE, alice.room.Of(Event::kLeave).at(0).a);
  EXPECT_EQ(rtm::JOIN_CHANNEL_ERR_FAILURE, alice.room.Of(Event::kJoinFailure).at(0).a);
  EXPECT_EQ(rtm::ATTRIBUTE_OPERATION_ERR_FAILURE, Code(alice, Event::kAttributeResult, set));
  EXPECT_EQ(rtm::ATTRIBUTE_OPERATION_ERR_FAILURE, Code(alice, Event::kAttributeResult, chan));
  EXPECT_EQ(rtm::PEER_SUBSCRIPTION_STATUS_ERR_FAILURE, Code(alice, Event::kSubscription, sub));
  EXPECT_EQ(rtm::LOGOUT_ERR_REJECTED, alice.log.Of(Event::kLogout).at(0).a);
}

TEST_F(RtmMessagingTest, UnansweredInvitationsAreResentThenFailOrExpireOnBothSides) {
  Client& alice = *alice_;
  Client& bob = *bob_;
  bob.Calls();
  local_service::FaultRule lost = Fault("alice", "MakeCall", FaultAction::kDrop);
  lost.direction = local_service::Direction::kFromClient;
  int drop = svc_.AddFault(lost);
  ASSERT_EQ(0, alice.Invite("bob"));
  for (size_t n = 2; n <= 3; ++n) {
    clock_.Jump(1500);
    ASSERT_TRUE(svc_.WaitForCommand("alice", "MakeCall", n, 5000));
  }
  auto ids = Sent("alice", "MakeCall", "CallId");
  EXPECT_THAT(ids, ::testing::Each(ids[0]));
  clock_.Jump(30000);
  ASSERT_TRUE(alice.calls.WaitFor(Event::kLocalFailure));
  svc_.RemoveFault(drop);

  // A callee silent after receipt: both sides expire once, and the caller cancels at the peer.
  ASSERT_EQ(0, alice.Invite("bob"));
  ASSERT_TRUE(alice.calls.WaitFor(Event::kReceivedByPeer));
  clock_.Jump(60000);
  ASSERT_TRUE(alice.calls.WaitFor(Event::kLocalFailure, 2));
  ASSERT_TRUE(bob.calls.WaitFor(Event::kRemoteFailure));
  EXPECT_EQ(rtm::LOCAL_INVITATION_ERR_INVITATION_EXPIRE,
            alice.calls.Of(Event::kLocalFailure).at(1).a);
  EXPECT_EQ(rtm::REMOTE_INVITATION_ERR_INVITATION_EXPIRE,
            bob.calls.Of(Event::kRemoteFailure).at(0).a);
  ASSERT_TRUE(svc_.WaitForCommand("alice", "CancelCall", 1, 5000));
  EXPECT_THAT(Sent("alice", "CancelCall", "Reason"), ElementsAre("TimeOut"));
  RoundTrip(alice);
  RoundTrip(bob);
  EXPECT_EQ(3u, alice.calls.Events().size());
  EXPECT_EQ(2u, bob.calls.Events().size());
}

// What the invitation objects hold after each step, on both sides: state, content, response.
TEST_F(RtmMessagingTest, InvitationObjectsHoldTheStateContentAndResponseOfEachStep) {
  Client& alice = *alice_;
  Client& bob = *bob_;
  auto local = [&] {
    return std::to_string(alice.invitation->getState()) + " " + alice.invitation->getContent() +
           "/" + alice.invitation->getResponse();
  };
  AnswerInvitations(bob, true);
  // Bob answers at once: the first state is read on the worker before any answer can come.
  auto* service = static_cast<vy::VyRtmService*>(alice.service());
  const std::string sent = service->worker()->Invoke<std::string>(
      RTC_FROM_HERE, [&] { return alice.Invite("bob", "lunch?") == 0 ? local() : "refused"; });
  EXPECT_EQ("0 lunch?/", sent);
  ASSERT_TRUE(alice.calls.WaitFor(Event::kLocalAccepted));
  EXPECT_EQ("3 lunch?/yes", local());
  ASSERT_TRUE(bob.calls.WaitFor(Event::kRemoteAccepted));
  AnswerInvitations(bob, false);
  ASSERT_EQ(0, alice.Invite("bob", "dinner?"));
  ASSERT_TRUE(alice.calls.WaitFor(Event::kLocalRefused));
  EXPECT_EQ("4 dinner?/no", local());
  ASSERT_TRUE(bob.calls.WaitFor(Event::kRemoteRefused));
  bob.calls.SetOnEvent(nullptr);
  ASSERT_EQ(0, alice.Invite("bob", "tea?"));
  ASSERT_TRUE(alice.calls.WaitFor(Event::kReceivedByPeer, 3));
  EXPECT_EQ("2 tea?/", local());
  ASSERT_EQ(0, alice.Calls()->cancelLocalInvitation(alice.invitation, ""));
  EXPECT_EQ("5 tea?/", local());
  ASSERT_TRUE(bob.calls.WaitFor(Event::kRemoteCanceled));
  ASSERT_TRUE(alice.calls.WaitFor(Event::kLocalCanceled));
  // Bob's side: received, accepted; received, refused; received, canceled.
  std::vector<std::string> steps;
  for (const Event& e : bob.calls.Events()) {
    steps.push_back(std::to_string(e.b) + " " + e.list.at(0) + "/" + e.list.at(1));
  }
  EXPECT_THAT(steps, ElementsAre("0 lunch?/", "4 lunch?/yes", "0 dinner?/", "3 dinner?/no",
                                 "0 tea?/", "5 tea?/"));
}

}  // namespace
}  // namespace rtm_test

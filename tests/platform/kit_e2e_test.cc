// The kit end to end against the local test service: logins, peer messages, presence and
// attributes between two kits, requests that are cut off, destroy and a kit dropped without it,
// and the network watcher's net type reaching the service. The test's thread pumps the loop.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <map>
#include <set>

#include <vortm/vo_rtm_kit.h>

#include "core/rtm_test_client.h"
#include "loop_fixture.h"
#include "netns.h"
#include "platform/kit_internals.h"
#include "rtc_base/temp_dir.h"

namespace vortm {
namespace {

namespace rtm = vy::rtm;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

// Records what a kit's delegate hears, and whether it all came on the main loop.
class Events : public VoRtmDelegate {
 public:
  void connectionStateChanged(VoRtmKit&, rtm::CONNECTION_STATE state,
                              rtm::CONNECTION_CHANGE_REASON reason) override {
    Note();
    states.push_back({state, reason});
  }
  void messageReceived(VoRtmKit&, const VoRtmMessage& message, const std::string& peer) override {
    Note();
    messages.push_back(peer + (message.isOfflineMessage() ? " (offline)" : "") + ": " +
                       message.text());
  }
  void peersOnlineStatusChanged(VoRtmKit&,
                                const std::vector<VoRtmPeerOnlineStatus>& statuses) override {
    Note();
    for (const auto& s : statuses) changes.push_back(s.peerId() + ":" + std::to_string(s.state()));
  }
  std::vector<std::pair<int, int>> states;
  std::vector<std::string> messages;
  std::vector<std::string> changes;
  bool offLoop = false;

 private:
  void Note() { offLoop = offLoop || !MainLoop::isCurrent(); }
};

class KitEndToEndTest : public test::LoopTest {
 protected:
  void SetUp() override {
    LoopTest::SetUp();
    setenv("XDG_CACHE_HOME", cache_.path().c_str(), 1);
    std::string error;
    ASSERT_TRUE(svc_.Start(&error)) << error;
  }
  void TearDown() override {
    kits_.clear();
    test::Pump();
    clock_.Resume();
  }

  // A kit without a network watcher, pointed at the local service.
  std::shared_ptr<VoRtmKit> Kit(std::shared_ptr<Events> events) {
    KitParts parts;
    parts.createNetManager = [] { return nullptr; };
    auto kit = KitInternals::create(rtm_test::kAppId, events, parts);
    EXPECT_EQ(0, kit->setParameters(GatewayParameters()));
    kits_.push_back(kit);
    return kit;
  }
  std::string GatewayParameters() {
    return R"({"Cmd":"ConfPriCloudAddr","ServerAdd":")" + svc_.address() + R"(","Port":7080})";
  }
  // Logs in and waits for the completion's code.
  int Login(VoRtmKit& kit, const std::string& user) {
    int code = -1;
    kit.loginByToken("tok", user, [&](auto result) { code = result; });
    EXPECT_TRUE(PumpUntil([&] { return code >= 0; }, 15000));
    return code;
  }

  rtm_test::RunningFakeClock& clock_ = rtm_test::RunningFakeClock::Instance();
  vy_test::TempDir cache_;
  local_service::LocalService svc_{rtm_test::ServiceOptions()};
  std::vector<std::shared_ptr<VoRtmKit>> kits_;
};

TEST_F(KitEndToEndTest, TwoKitsLogInExchangeMessagesRenewAndLogOut) {
  auto aliceEvents = std::make_shared<Events>();
  auto bobEvents = std::make_shared<Events>();
  auto alice = Kit(aliceEvents);
  auto bob = Kit(bobEvents);
  ASSERT_EQ(0, Login(*alice, "alice"));
  ASSERT_EQ(0, Login(*bob, "bob"));
  int code = -1;
  alice->loginByToken("tok", "alice", [&](auto result) { code = result; });
  EXPECT_EQ(rtm::LOGIN_ERR_ALREADY_LOGGED_IN, code);

  std::map<std::string, std::vector<int>> results;
  auto record = [&](const std::string& name) {
    return [&results, name](auto result) { results[name].push_back(result); };
  };
  VoRtmSendMessageOptions offline;
  offline.enableOfflineMessaging = true;
  alice->sendMessage(VoRtmMessage("hello bob"), "bob", {}, record("to bob"));
  alice->sendMessage(VoRtmMessage("for later"), "carol", offline, record("to carol"));
  alice->sendMessage(VoRtmMessage(""), "bob", {}, record("empty"));
  std::string renewed;
  alice->renewToken("tok2", [&](const std::string& token, auto result) {
    renewed = token + " " + std::to_string(result);
  });
  ASSERT_TRUE(PumpUntil(
      [&] { return results.size() == 3 && !renewed.empty() && !bobEvents->messages.empty(); }));
  EXPECT_EQ((std::map<std::string, std::vector<int>>{
                {"to bob", {rtm::PEER_MESSAGE_ERR_OK}},
                {"to carol", {rtm::PEER_MESSAGE_ERR_CACHED_BY_SERVER}},
                {"empty", {rtm::PEER_MESSAGE_ERR_INVALID_MESSAGE}}}),
            results);
  EXPECT_EQ("tok2 0", renewed);
  EXPECT_THAT(bobEvents->messages, ElementsAre("alice: hello bob"));

  // Carol's kit fetches what was kept for her at its login.
  auto carolEvents = std::make_shared<Events>();
  auto carol = Kit(carolEvents);
  ASSERT_EQ(0, Login(*carol, "carol"));
  ASSERT_TRUE(PumpUntil([&] { return !carolEvents->messages.empty(); }));
  EXPECT_THAT(carolEvents->messages, ElementsAre("alice (offline): for later"));

  bool loggedOut = false;
  bob->logout([&](auto result) { loggedOut = result == rtm::LOGOUT_ERR_OK; });
  EXPECT_TRUE(loggedOut);
  ASSERT_TRUE(PumpUntil([&] { return bobEvents->states.size() == 3; }));
  EXPECT_THAT(bobEvents->states,
              ElementsAre(std::make_pair(2, 1), std::make_pair(3, 2), std::make_pair(1, 6)));
  EXPECT_FALSE(aliceEvents->offLoop || bobEvents->offLoop || carolEvents->offLoop);
}

TEST_F(KitEndToEndTest, PresenceAndAttributesBetweenTwoKits) {
  auto aliceEvents = std::make_shared<Events>();
  auto alice = Kit(aliceEvents);
  auto bob = Kit(std::make_shared<Events>());
  ASSERT_EQ(0, Login(*alice, "alice"));
  ASSERT_EQ(0, Login(*bob, "bob"));

  std::vector<std::string> got;
  bob->setLocalUserAttributes({{"size", "L"}, {"color", "blue"}},
                              [&](auto code) { got.push_back("set " + std::to_string(code)); });
  ASSERT_TRUE(PumpUntil([&] { return got.size() == 1; }));
  alice->subscribePeersOnlineStatus(
      {"bob"}, [&](auto code) { got.push_back("subscribe " + std::to_string(code)); });
  alice->queryPeersOnlineStatus({"bob", "carol"}, [&](const auto& statuses, auto code) {
    std::string line = "query " + std::to_string(code);
    for (const auto& s : statuses) line += " " + s.peerId() + ":" + std::to_string(s.state());
    got.push_back(line);
  });
  alice->getUserAllAttributes(
      "bob", [&](const auto& attributes, const std::string& user, auto code) {
        std::string line = "attributes of " + user + " " + std::to_string(code);
        for (const auto& a : attributes) line += " " + a.key + "=" + a.value;
        got.push_back(line);
      });
  VoRtmChannelAttribute topic;
  topic.setKey("topic");
  topic.setValue("news");
  alice->setChannelAttributes("room", {topic}, {}, [&](auto code) {
    got.push_back("channel set " + std::to_string(code));
  });
  alice->getChannelAllAttributes("room", [&](const auto& attributes, auto code) {
    std::string line = "channel " + std::to_string(code);
    for (const auto& a : attributes) {
      line += " " + a.key() + "=" + a.value() + "@" + a.lastUpdateUid() +
              (a.lastUpdateTs() > 0 ? "" : " no time");
    }
    got.push_back(line);
  });
  ASSERT_TRUE(PumpUntil([&] { return got.size() == 6; }));
  EXPECT_THAT(got, testing::UnorderedElementsAre("set 0", "subscribe 0", "query 0 bob:0 carol:2",
                                                 "attributes of bob 0 color=blue size=L",
                                                 "channel set 0", "channel 0 topic=news@alice"));
  bob->logout(nullptr);
  ASSERT_TRUE(PumpUntil([&] { return !aliceEvents->changes.empty(); }));
  EXPECT_THAT(aliceEvents->changes, ElementsAre("bob:2"));
}

TEST_F(KitEndToEndTest, RequestsCutOffByTimeOutLogoutDestroyOrTheKitsEndGetOneResult) {
  auto alice = Kit(std::make_shared<Events>());
  ASSERT_EQ(0, Login(*alice, "alice"));
  svc_.AddFault(rtm_test::DropToClient("alice", "QueryOnlineStatus"));
  svc_.AddFault(rtm_test::DropToClient("alice", "GetUserAttributes"));
  // Bob's query too must stay unanswered, or its answer can come before the kit is dropped.
  svc_.AddFault(rtm_test::DropToClient("bob", "QueryOnlineStatus"));
  std::multiset<std::string> got;
  auto query = [&](VoRtmKit& kit, const std::string& name) {
    kit.queryPeersOnlineStatus({"x"}, [&got, name](const auto&, auto code) {
      got.insert(name + " " + std::to_string(code));
    });
  };
  query(*alice, "timed out");
  ASSERT_TRUE(svc_.WaitForCommand("alice", "QueryOnlineStatus", 1, 5000));
  clock_.Jump(10001);
  ASSERT_TRUE(PumpUntil([&] { return got.size() == 1; }));
  query(*alice, "logout");
  alice->logout(nullptr);
  ASSERT_TRUE(PumpUntil([&] { return got.size() == 2; }));

  ASSERT_EQ(0, Login(*alice, "alice"));
  query(*alice, "destroy");
  alice->destroy();
  auto bob = Kit(std::make_shared<Events>());
  ASSERT_EQ(0, Login(*bob, "bob"));
  query(*bob, "dropped");
  std::weak_ptr<VoRtmKit> weak = bob;
  kits_.clear();
  bob.reset();
  EXPECT_TRUE(weak.expired());
  ASSERT_TRUE(PumpUntil([&] { return got.size() == 4; }));
  test::Pump();
  EXPECT_EQ((std::multiset<std::string>{"timed out 4", "logout 102", "destroy 102", "dropped 102"}),
            got);
}

TEST_F(KitEndToEndTest, ALoginEndedByLogoutOrDestroyGetsTheServicesOne102) {
  svc_.AddFault(rtm_test::DropToClient("", "Login"));
  auto alice = Kit(std::make_shared<Events>());
  std::vector<std::string> got;
  auto record = [&](const std::string& name) {
    return [&got, name](auto code) { got.push_back(name + " " + std::to_string(code)); };
  };
  alice->loginByToken("tok", "alice", record("first"));
  ASSERT_TRUE(svc_.WaitForCommand("alice", "Login", 1, 5000));
  // The refusal runs before loginByToken returns; its logout ends the first login.
  alice->loginByToken("tok", "alice", [&](auto code) {
    got.push_back("second " + std::to_string(code));
    alice->logout(nullptr);
  });
  ASSERT_TRUE(PumpUntil([&] { return got.size() == 2; }));
  alice->loginByToken("tok", "alice", record("third"));
  ASSERT_TRUE(svc_.WaitForCommand("alice", "Login", 2, 5000));
  alice->destroy();
  ASSERT_TRUE(PumpUntil([&] { return got.size() == 3; }));
  clock_.Jump(13000);
  test::Pump();
  EXPECT_THAT(got, ElementsAre("second 8", "first 102", "third 102"));
}

// Records what a channel's delegate hears.
class ChannelEvents : public VoRtmChannelDelegate {
 public:
  void messageReceived(VoRtmChannel& channel, const VoRtmMessage& message,
                       const VoRtmMember& member) override {
    lines.push_back(channel.channelId() + " " + member.uid + "@" + member.channelId + ": " +
                    message.text());
  }
  void memberJoined(VoRtmChannel&, const VoRtmMember& member) override {
    lines.push_back("joined " + member.uid);
  }
  void memberLeft(VoRtmChannel&, const VoRtmMember& member) override {
    lines.push_back("left " + member.uid);
  }
  std::vector<std::string> lines;
};

TEST_F(KitEndToEndTest, ChannelsJoinTalkListLeaveAndOutliveALogout) {
  auto aliceEvents = std::make_shared<Events>();
  auto alice = Kit(aliceEvents);
  auto bob = Kit(std::make_shared<Events>());
  ASSERT_EQ(0, Login(*alice, "alice"));
  ASSERT_EQ(0, Login(*bob, "bob"));
  auto aliceHears = std::make_shared<ChannelEvents>();
  auto bobHears = std::make_shared<ChannelEvents>();
  std::shared_ptr<VoRtmChannel> aliceRoom = alice->createChannel("room", aliceHears);
  ASSERT_NE(nullptr, aliceRoom);
  EXPECT_EQ(nullptr, alice->createChannel("room", {}));
  EXPECT_EQ(alice, aliceRoom->kit());
  std::shared_ptr<VoRtmChannel> bobRoom = bob->createChannel("room", bobHears);
  std::shared_ptr<VoRtmChannel> other = alice->createChannel("other", {});

  std::vector<std::string> got;
  auto record = [&](const std::string& name) {
    return [&got, name](auto code) { got.push_back(name + " " + std::to_string(code)); };
  };
  aliceRoom->join(record("alice joins"));
  ASSERT_TRUE(PumpUntil([&] { return got.size() == 1; }));
  bobRoom->join(record("bob joins"));
  ASSERT_TRUE(PumpUntil([&] { return got.size() == 2 && !aliceHears->lines.empty(); }));
  aliceRoom->sendMessage(VoRtmMessage("hi room"), {}, record("alice says"));
  other->sendMessage(VoRtmMessage("nobody here"), {}, record("not joined"));
  aliceRoom->getMembers([&](const std::vector<VoRtmMember>& members, auto code) {
    std::string line = "members " + std::to_string(code);
    for (const auto& m : members) line += " " + m.uid + "@" + m.channelId;
    got.push_back(line);
  });
  ASSERT_TRUE(PumpUntil([&] { return got.size() == 5 && !bobHears->lines.empty(); }));
  bobRoom->leave(record("bob leaves"));
  ASSERT_TRUE(PumpUntil([&] { return got.size() == 6 && aliceHears->lines.size() == 2; }));
  EXPECT_THAT(got, testing::UnorderedElementsAre("alice joins 0", "bob joins 0", "alice says 0",
                                                 "not joined 3", "members 0 alice@room bob@room",
                                                 "bob leaves 0"));
  EXPECT_THAT(aliceHears->lines, ElementsAre("joined bob", "left bob"));
  EXPECT_THAT(bobHears->lines, ElementsAre("room alice@room: hi room"));

  // Requests the server never answers end once: with the lost connection, the channel's
  // destruction or the logout.
  got.clear();
  svc_.AddFault(rtm_test::DropToClient("alice", "LeaveChannel"));
  aliceRoom->leave(record("leave cut off by the connection"));
  ASSERT_TRUE(svc_.WaitForCommand("alice", "LeaveChannel", 1, 5000));
  ASSERT_TRUE(svc_.Close("alice", local_service::CloseMode::kRst));
  clock_.Jump(5001);
  ASSERT_TRUE(PumpUntil([&] { return aliceEvents->states.size() == 4 && got.size() == 1; }));
  aliceRoom->join(record("join again"));
  ASSERT_TRUE(PumpUntil([&] { return got.size() == 2; }));
  svc_.AddFault(rtm_test::DropToClient("alice", "JoinChannel"));
  other->join(record("join cut off"));
  EXPECT_TRUE(alice->destroyChannel("other"));
  aliceRoom->leave(record("leave cut off"));
  ASSERT_TRUE(svc_.WaitForCommand("alice", "LeaveChannel", 2, 5000));
  alice->logout(nullptr);
  ASSERT_TRUE(PumpUntil([&] { return got.size() == 4; }));
  test::Pump();
  EXPECT_THAT(got, testing::UnorderedElementsAre("leave cut off by the connection 1", "join again 0",
                                                 "join cut off 102", "leave cut off 102"));

  // After the logout the channel objects answer 102 at once, until destroyed.
  got.clear();
  aliceRoom->join(record("join"));
  aliceRoom->sendMessage(VoRtmMessage("x"), {}, record("send"));
  aliceRoom->getMembers(
      [&](const auto&, auto code) { got.push_back("members " + std::to_string(code)); });
  test::Pump();
  EXPECT_THAT(got, testing::UnorderedElementsAre("join 102", "send 102", "members 102"));
  EXPECT_TRUE(alice->destroyChannel("room"));
  EXPECT_TRUE(alice->destroyChannel("room"));
  aliceRoom->join(record("after destroy"));
  test::Pump();
  EXPECT_EQ(3u, got.size());
  EXPECT_NE(nullptr, alice->createChannel("room", {}));
}

// Records what a call kit's delegate hears.
class CallEvents : public VoRtmCallDelegate {
 public:
  void localInvitationReceivedByPeer(VoRtmCallKit&, const VoRtmLocalInvitation& i) override {
    lines.push_back("ringing " + i.calleeId() + " " + std::to_string(i.state()));
  }
  void localInvitationAccepted(VoRtmCallKit&, const VoRtmLocalInvitation& i,
                               const std::string& response) override {
    lines.push_back("accepted by " + i.calleeId() + " (" + response + ") " +
                    std::to_string(i.state()));
  }
  void localInvitationRefused(VoRtmCallKit&, const VoRtmLocalInvitation& i,
                              const std::string& response) override {
    lines.push_back("refused by " + i.calleeId() + " (" + response + ")");
  }
  void remoteInvitationReceived(VoRtmCallKit&, const VoRtmRemoteInvitation& i) override {
    last = i;
    lines.push_back("invited by " + i.callerId() + " (" + i.content() + ")");
  }
  void remoteInvitationAccepted(VoRtmCallKit&, const VoRtmRemoteInvitation& i) override {
    lines.push_back("accepted " + i.callerId());
  }
  void remoteInvitationRefused(VoRtmCallKit&, const VoRtmRemoteInvitation& i) override {
    lines.push_back("refused " + i.callerId());
  }
  std::vector<std::string> lines;
  VoRtmRemoteInvitation last;
};

TEST_F(KitEndToEndTest, CallsAreMadeAndAnsweredBothWays) {
  auto alice = Kit(std::make_shared<Events>());
  auto bob = Kit(std::make_shared<Events>());
  ASSERT_EQ(0, Login(*alice, "alice"));
  ASSERT_EQ(0, Login(*bob, "bob"));
  std::shared_ptr<VoRtmCallKit> aliceCalls = alice->getRtmCallKit();
  ASSERT_NE(nullptr, aliceCalls);
  EXPECT_EQ(aliceCalls, alice->getRtmCallKit());
  EXPECT_EQ(aliceCalls, alice->rtmCallKit());
  EXPECT_EQ(alice, aliceCalls->rtmKit());
  std::shared_ptr<VoRtmCallKit> bobCalls = bob->getRtmCallKit();
  auto aliceHears = std::make_shared<CallEvents>();
  auto bobHears = std::make_shared<CallEvents>();
  aliceCalls->setCallDelegate(aliceHears);
  bobCalls->setCallDelegate(bobHears);

  std::vector<int> codes;
  auto code = [&](int result) { codes.push_back(result); };
  aliceCalls->sendLocalInvitation(VoRtmLocalInvitation(), code);  // no callee: 1 at once
  VoRtmLocalInvitation toBob("bob");
  toBob.setContent("lunch?");
  aliceCalls->sendLocalInvitation(toBob, code);
  EXPECT_THAT(codes, ElementsAre(1, 0));
  ASSERT_TRUE(PumpUntil([&] { return !bobHears->lines.empty(); }));
  VoRtmRemoteInvitation answer = bobHears->last;
  answer.setResponse("yes");
  bobCalls->acceptRemoteInvitation(answer, code);
  ASSERT_TRUE(
      PumpUntil([&] { return aliceHears->lines.size() == 2 && bobHears->lines.size() == 2; }));
  EXPECT_THAT(aliceHears->lines, ElementsAre("ringing bob 2", "accepted by bob (yes) 3"));

  bobCalls->sendLocalInvitation(VoRtmLocalInvitation("alice"), code);
  ASSERT_TRUE(PumpUntil([&] { return aliceHears->lines.size() == 3; }));
  aliceCalls->refuseRemoteInvitation(aliceHears->last, code);
  aliceCalls->acceptRemoteInvitation(VoRtmRemoteInvitation(), code);  // no caller: 1 at once
  ASSERT_TRUE(
      PumpUntil([&] { return aliceHears->lines.size() == 4 && bobHears->lines.size() == 4; }));
  EXPECT_THAT(codes, ElementsAre(1, 0, 0, 0, 0, 1));
  EXPECT_THAT(bobHears->lines, ElementsAre("invited by alice (lunch?)", "accepted alice",
                                           "ringing alice 2", "refused by alice ()"));
  EXPECT_EQ("refused bob", aliceHears->lines[3]);
}

// In a namespace of its own, with echo replies off, the watcher's probe of 127.0.0.1 finds the
// network gone: the kit hands the service net type 0, which asks the server "CheckNetStatus".
TEST_F(KitEndToEndTest, ANetworkWithoutRepliesReachesTheServiceAsCheckNetStatus) {
  VORTM_RUN_IN_PRIVATE_NETNS(std::string(test::kAllowPing) +
                             " && echo 1 > /proc/sys/net/ipv4/icmp_echo_ignore_all");
  auto kit = VoRtmKit::create(rtm_test::kAppId, {});
  ASSERT_NE(nullptr, kit);
  kits_.push_back(kit);
  ASSERT_EQ(0, kit->setParameters(GatewayParameters()));
  ASSERT_EQ(0, Login(*kit, "alice"));
  EXPECT_TRUE(
      PumpUntil([&] { return svc_.WaitForCommand("alice", "CheckNetStatus", 1, 0); }, 15000));
  for (const auto& command : svc_.Log("alice")) {
    EXPECT_THAT(command.content, testing::Not(HasSubstr("LocalNetChanged")));
  }
}

}  // namespace
}  // namespace vortm

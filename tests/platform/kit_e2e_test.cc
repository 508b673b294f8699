// The kit end to end against the local test service: logins, peer messages, presence,
// attributes, channels and calls between kits; requests refused, cut off or made from many
// threads, each completed once on the main loop; destroy and a kit dropped without it; and the
// network watcher's net type reaching the service. The test's thread pumps the loop.
#include <gmock/gmock.h>
#include <stdlib.h>

#include <atomic>
#include <filesystem>
#include <thread>

#include <vortm/vo_rtm_kit.h>

#include "core/rtc_log.h"
#include "loop_fixture.h"
#include "netns.h"
#include "platform/kit/kit_internals.h"
#include "tests/core/rtm_test_client.h"
#include "tests/support/temp_dir.h"

namespace vortm {
namespace {

namespace rtm = vy::rtm;
using ::testing::ElementsAre;
using ::testing::UnorderedElementsAre;

// Records what a kit's delegates hear; what comes off the main loop is marked.
class Events : public VoRtmDelegate, public VoRtmChannelDelegate, public VoRtmCallDelegate {
 public:
  void connectionStateChanged(VoRtmKit&, rtm::CONNECTION_STATE state,
                              rtm::CONNECTION_CHANGE_REASON reason) override {
    states.push_back({MainLoop::isCurrent() ? state : -1, reason});
  }
  void tokenDidExpire(VoRtmKit&) override { Add("token expired"); }
  void messageReceived(VoRtmKit&, const VoRtmMessage& message, const std::string& peer) override {
    Add(peer + (message.isOfflineMessage() ? " (offline)" : "") + ": " + message.text());
  }
  void peersOnlineStatusChanged(VoRtmKit&,
                                const std::vector<VoRtmPeerOnlineStatus>& statuses) override {
    for (const auto& s : statuses) Add(s.peerId() + ":" + std::to_string(s.state()));
  }
  void messageReceived(VoRtmChannel& channel, const VoRtmMessage& message,
                       const VoRtmMember& member) override {
    Add(channel.channelId() + " " + member.uid + "@" + member.channelId + ": " + message.text());
  }
  void memberJoined(VoRtmChannel&, const VoRtmMember& m) override { Add("joined " + m.uid); }
  void memberLeft(VoRtmChannel&, const VoRtmMember& m) override { Add("left " + m.uid); }
  void localInvitationReceivedByPeer(VoRtmCallKit&, const VoRtmLocalInvitation& i) override {
    Add("ringing " + i.calleeId() + " " + std::to_string(i.state()));
  }
  // Answers: what the invitation holds (state, content/response), and the response passed.
  void localInvitationAccepted(VoRtmCallKit&, const VoRtmLocalInvitation& i,
                               const std::string& response) override {
    Add("accepted by " + i.calleeId() + " " + Holds(i) + " (" + response + ")");
  }
  void localInvitationRefused(VoRtmCallKit&, const VoRtmLocalInvitation& i,
                              const std::string& response) override {
    Add("refused by " + i.calleeId() + " " + Holds(i) + " (" + response + ")");
  }
  void remoteInvitationReceived(VoRtmCallKit&, const VoRtmRemoteInvitation& i) override {
    invitation = i;
    Add("invited by " + i.callerId() + " " + Holds(i));
  }
  void remoteInvitationAccepted(VoRtmCallKit&, const VoRtmRemoteInvitation& i) override {
    Add("accepted " + i.callerId() + " " + Holds(i));
  }
  void remoteInvitationRefused(VoRtmCallKit&, const VoRtmRemoteInvitation& i) override {
    Add("refused " + i.callerId() + " " + Holds(i));
  }

  std::vector<std::pair<int, int>> states;
  std::vector<std::string> lines;
  VoRtmRemoteInvitation invitation;

 private:
  template <typename Invitation>
  static std::string Holds(const Invitation& i) {
    return std::to_string(i.state()) + " " + i.content() + "/" + i.response();
  }
  void Add(const std::string& line) {
    lines.push_back((MainLoop::isCurrent() ? "" : "off the loop: ") + line);
  }
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
  std::shared_ptr<VoRtmKit> Kit(std::shared_ptr<Events> events, size_t maxArrayCount = INT_MAX) {
    KitParts parts;
    parts.createNetManager = [] { return nullptr; };
    parts.maxArrayCount = maxArrayCount;
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
  std::shared_ptr<VoRtmKit> LoggedIn(const std::string& user, std::shared_ptr<Events> events) {
    auto kit = Kit(std::move(events));
    EXPECT_EQ(0, Login(*kit, user)) << user;
    return kit;
  }
  // Completions that note "name code", the second for requests that also give a list.
  auto Note(const std::string& name) {
    return [this, name](auto code) { got_.push_back(name + " " + std::to_string(code)); };
  }
  auto NoteList(const std::string& name) {
    return [this, name](const auto&, auto code) { Note(name)(code); };
  }
  // `user`'s kit logged in, with its channel "room" joined: "joined 0" in got_, which starts
  // empty.
  std::shared_ptr<VoRtmChannel> JoinedRoom(const std::string& user, std::shared_ptr<Events> events,
                                           std::shared_ptr<VoRtmKit>* kit) {
    got_.clear();
    *kit = LoggedIn(user, std::move(events));
    std::shared_ptr<VoRtmChannel> room = (*kit)->createChannel("room", {});
    room->join(Note("joined"));
    EXPECT_TRUE(PumpUntil([&] { return got_.size() == 1; }));
    return room;
  }
  // The next answer to a join of `user`'s is held until ReleaseHeld, and with `refused` a
  // refusal.
  void HoldJoinAnswer(const std::string& user, bool refused) {
    svc_.AddFault(rtm_test::Fault(user, "JoinChannel", local_service::FaultAction::kHold, 1));
    if (refused) {
      svc_.AddFault(
          rtm_test::Fault(user, "JoinChannel", local_service::FaultAction::kReplaceField, 1, 1));
    }
  }

  rtm_test::RunningFakeClock& clock_ = rtm_test::RunningFakeClock::Instance();
  vy_test::TempDir cache_;
  local_service::LocalService svc_{rtm_test::ServiceOptions()};
  std::vector<std::shared_ptr<VoRtmKit>> kits_;
  std::vector<std::string> got_;
};

TEST_F(KitEndToEndTest, TwoKitsLogInExchangeMessagesRenewAndLogOut) {
  auto aliceEvents = std::make_shared<Events>(), bobEvents = std::make_shared<Events>();
  auto alice = LoggedIn("alice", aliceEvents), bob = LoggedIn("bob", bobEvents);
  alice->loginByToken("tok", "alice", Note("again"));
  VoRtmSendMessageOptions offline;
  offline.enableOfflineMessaging = true;
  alice->sendMessage(VoRtmMessage("hello bob"), "bob", {}, Note("to bob"));
  alice->sendMessage(VoRtmMessage("for later"), "carol", offline, Note("to carol"));
  alice->sendMessage(VoRtmMessage(""), "bob", {}, Note("empty"));
  alice->renewToken("tok2", [&](const std::string& t, auto code) { Note("renew " + t)(code); });
  ASSERT_TRUE(PumpUntil([&] { return got_.size() == 5 && !bobEvents->lines.empty(); }));
  // Already logged in, delivered, cached for later, invalid.
  EXPECT_THAT(got_,
              UnorderedElementsAre("again 8", "to bob 0", "to carol 4", "empty 7", "renew tok2 0"));
  EXPECT_THAT(bobEvents->lines, ElementsAre("alice: hello bob"));

  // Carol's kit fetches what was kept for her at its login.
  auto carolEvents = std::make_shared<Events>();
  auto carol = LoggedIn("carol", carolEvents);
  ASSERT_TRUE(PumpUntil([&] { return !carolEvents->lines.empty(); }));
  EXPECT_THAT(carolEvents->lines, ElementsAre("alice (offline): for later"));
  ASSERT_TRUE(svc_.Expire("carol"));
  ASSERT_TRUE(PumpUntil([&] { return carolEvents->lines.size() == 2; }));
  EXPECT_EQ("token expired", carolEvents->lines.back());

  bob->logout(Note("logout"));
  EXPECT_EQ("logout 0", got_.back());
  ASSERT_TRUE(PumpUntil([&] { return bobEvents->states.size() == 3; }));
  EXPECT_THAT(bobEvents->states,
              ElementsAre(std::make_pair(2, 1), std::make_pair(3, 2), std::make_pair(1, 6)));
}

TEST_F(KitEndToEndTest, PresenceAndAttributesBetweenTwoKits) {
  auto aliceEvents = std::make_shared<Events>();
  auto alice = LoggedIn("alice", aliceEvents), bob = LoggedIn("bob", std::make_shared<Events>());
  bob->setLocalUserAttributes({{"size", "L"}, {"color", "blue"}}, Note("set"));
  ASSERT_TRUE(PumpUntil([&] { return got_.size() == 1; }));
  alice->subscribePeersOnlineStatus({"bob"}, Note("subscribe"));
  alice->queryPeersOnlineStatus({"bob", "carol"}, [&](const auto& statuses, auto code) {
    for (const auto& s : statuses) got_.push_back(s.peerId() + ":" + std::to_string(s.state()));
  });
  alice->getUserAllAttributes("bob", [&](const auto& attributes, const std::string& user, auto) {
    for (const auto& a : attributes) got_.push_back(user + "'s " + a.key + "=" + a.value);
  });
  VoRtmChannelAttribute topic;
  topic.setKey("topic");
  topic.setValue("news");
  alice->setChannelAttributes("room", {topic}, {}, Note("channel set"));
  alice->getChannelAllAttributes("room", [&](const auto& attributes, auto) {
    for (const auto& a : attributes) {
      got_.push_back(a.key() + "=" + a.value() + "@" + a.lastUpdateUid() +
                     (a.lastUpdateTs() > 0 ? "" : " no time"));
    }
  });
  ASSERT_TRUE(PumpUntil([&] { return got_.size() == 8; }));
  EXPECT_THAT(got_,
              UnorderedElementsAre("set 0", "subscribe 0", "bob:0", "carol:2", "channel set 0",
                                   "bob's color=blue", "bob's size=L", "topic=news@alice"));
  bob->logout(nullptr);
  ASSERT_TRUE(PumpUntil([&] { return !aliceEvents->lines.empty(); }));
  EXPECT_THAT(aliceEvents->lines, ElementsAre("bob:2"));
}

// The service refuses requests before the login at once; the kit those over its array limit
// (lowered to 1 here). Either way the completion runs once, on the loop.
TEST_F(KitEndToEndTest, RefusedRequestsCompleteOnceOnTheLoop) {
  KitParts parts;
  parts.createNetManager = [] { return nullptr; };
  EXPECT_EQ(nullptr, KitInternals::create("not an app id", {}, parts));
  auto alice = Kit(std::make_shared<Events>(), 1);
  const std::vector<std::string> two = {"a", "b"};
  alice->subscribePeersOnlineStatus({"x"}, Note("subscribe"));
  alice->getChannelMemberCount({"c"}, NoteList("count"));
  alice->clearLocalUserAttributes(Note("clear"));
  alice->queryPeersOnlineStatus(two, NoteList("query 2"));
  alice->setLocalUserAttributes({{"k", "v"}, {"l", "w"}}, Note("set 2"));
  alice->deleteChannelAttributesByKeys("c", two, {}, Note("delete 2"));
  alice->getChannelMemberCount(two, NoteList("count 2"));
  EXPECT_TRUE(got_.empty());  // they run on the loop
  test::Pump();
  EXPECT_THAT(got_, ElementsAre("subscribe 102", "count 102", "clear 102", "query 2 2", "set 2 3",
                                "delete 2 3", "count 2 2"));
}

TEST_F(KitEndToEndTest, CompletionsRunOnceUnderConcurrentRequests) {
  auto alice = LoggedIn("alice", std::make_shared<Events>());
  // Answered ones and ones the rate limit refuses at once, from four threads.
  std::atomic<int> calls{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 50; ++i) alice->subscribePeersOnlineStatus({"p"}, [&](auto) { ++calls; });
    });
  }
  for (auto& thread : threads) thread.join();
  ASSERT_TRUE(PumpUntil([&] { return calls.load() >= 200; }));
  test::Pump();
  EXPECT_EQ(200, calls.load());
  EXPECT_EQ(0u, KitInternals::impl(*alice).use().handler->store().size());
}

TEST_F(KitEndToEndTest, RequestsCutOffByTimeOutLogoutDestroyOrTheKitsEndGetOneResult) {
  auto alice = LoggedIn("alice", std::make_shared<Events>());
  svc_.AddFault(rtm_test::DropToClient("alice", "QueryOnlineStatus"));
  // Bob's query too must stay unanswered, or its answer can come before the kit is dropped.
  svc_.AddFault(rtm_test::DropToClient("bob", "QueryOnlineStatus"));
  auto query = [&](VoRtmKit& kit, const std::string& name) {
    kit.queryPeersOnlineStatus({"x"}, NoteList(name));
  };
  query(*alice, "timed out");
  ASSERT_TRUE(svc_.WaitForCommand("alice", "QueryOnlineStatus", 1, 5000));
  clock_.Jump(10001);
  ASSERT_TRUE(PumpUntil([&] { return got_.size() == 1; }));
  query(*alice, "logout");
  alice->logout(nullptr);
  ASSERT_TRUE(PumpUntil([&] { return got_.size() == 2; }));

  ASSERT_EQ(0, Login(*alice, "alice"));
  std::shared_ptr<VoRtmChannel> room = alice->createChannel("room", {});
  svc_.AddFault(rtm_test::DropToClient("alice", ""));
  query(*alice, "destroy");
  alice->subscribePeersOnlineStatus({"x"}, Note("destroy subscribe"));
  alice->setLocalUserAttributes({{"k", "v"}}, Note("destroy set"));
  alice->sendMessage(VoRtmMessage("hi"), "x", {}, Note("destroy send"));
  alice->renewToken("tok", [&](const std::string&, auto code) { Note("destroy renew")(code); });
  room->join(Note("destroy join"));
  alice->destroy();
  auto bob = LoggedIn("bob", std::make_shared<Events>());
  query(*bob, "dropped");
  std::weak_ptr<VoRtmKit> weak = bob;
  kits_.pop_back();
  bob.reset();
  EXPECT_TRUE(weak.expired());
  ASSERT_TRUE(PumpUntil([&] { return got_.size() == 9; }));
  // A destroyed kit is inert; nothing ends twice.
  alice->loginByToken("tok", "alice", Note("after destroy"));
  EXPECT_EQ(-1, alice->setParameters("{}"));
  EXPECT_EQ(nullptr, alice->createChannel("c", {}));
  clock_.Jump(61000);
  test::Pump();
  EXPECT_THAT(got_,
              UnorderedElementsAre("timed out 4", "logout 102", "destroy 102", "dropped 102",
                                   "destroy subscribe 102", "destroy set 102", "destroy send 102",
                                   "destroy renew 102", "destroy join 102"));
}

// Identical requests made twice (the same token, peers, message, channel and keys) each get
// their own completion, once.
TEST_F(KitEndToEndTest, IdenticalRequestsEachGetTheirOwnCompletion) {
  auto alice = LoggedIn("alice", std::make_shared<Events>());
  std::shared_ptr<VoRtmChannel> room = alice->createChannel("room", {});
  for (size_t round = 1; round <= 2; ++round) {
    alice->renewToken("tok2", [&](const std::string& t, auto code) { Note("renew " + t)(code); });
    alice->queryPeersOnlineStatus({"bob"}, NoteList("query"));
    alice->sendMessage(VoRtmMessage("hi"), "bob", {}, Note("send"));
    room->join(Note("join"));
    alice->deleteLocalUserAttributesByKeys({"k"}, Note("delete"));
    ASSERT_TRUE(PumpUntil([&] { return got_.size() == 5 * round; }));
    clock_.Jump(5001);  // past the renewal's and the join's rate limits
  }
  test::Pump();
  EXPECT_THAT(got_,
              UnorderedElementsAre("renew tok2 0", "renew tok2 0", "query 0", "query 0", "send 3",
                                   "send 3", "join 0", "join 0", "delete 0", "delete 0"));
}

TEST_F(KitEndToEndTest, ALoginEndedByLogoutOrDestroyGetsTheServicesOne102) {
  svc_.AddFault(rtm_test::DropToClient("", "Login"));
  auto alice = Kit(std::make_shared<Events>());
  alice->loginByToken("tok", "alice", Note("first"));
  ASSERT_TRUE(svc_.WaitForCommand("alice", "Login", 1, 5000));
  // The refusal runs before loginByToken returns; its logout ends the first login.
  alice->loginByToken("tok", "alice", [&](auto code) {
    Note("second")(code);
    alice->logout(nullptr);
  });
  ASSERT_TRUE(PumpUntil([&] { return got_.size() == 2; }));
  alice->loginByToken("tok", "alice", Note("third"));
  ASSERT_TRUE(svc_.WaitForCommand("alice", "Login", 2, 5000));
  alice->destroy();
  ASSERT_TRUE(PumpUntil([&] { return got_.size() == 3; }));
  clock_.Jump(13000);
  test::Pump();
  EXPECT_THAT(got_, ElementsAre("second 8", "first 102", "third 102"));
}

TEST_F(KitEndToEndTest, ChannelsJoinTalkListLeaveAndOutliveALogout) {
  auto aliceEvents = std::make_shared<Events>(), bobEvents = std::make_shared<Events>();
  auto alice = LoggedIn("alice", aliceEvents), bob = LoggedIn("bob", bobEvents);
  auto aliceHears = std::make_shared<Events>(), bobHears = std::make_shared<Events>();
  std::shared_ptr<VoRtmChannel> aliceRoom = alice->createChannel("room", aliceHears);
  ASSERT_NE(nullptr, aliceRoom);
  EXPECT_EQ(nullptr, alice->createChannel("room", {}));
  std::shared_ptr<VoRtmChannel> bobRoom = bob->createChannel("room", bobHears);
  std::shared_ptr<VoRtmChannel> other = alice->createChannel("other", {});
  aliceRoom->join(Note("alice joins"));
  ASSERT_TRUE(PumpUntil([&] { return got_.size() == 1; }));
  bobRoom->join(Note("bob joins"));
  ASSERT_TRUE(PumpUntil([&] { return got_.size() == 2 && !aliceHears->lines.empty(); }));
  aliceRoom->sendMessage(VoRtmMessage("hi room"), {}, Note("alice says"));
  aliceRoom->getMembers([&](const std::vector<VoRtmMember>& members, auto code) {
    std::string line = "members " + std::to_string(code);
    for (const auto& m : members) line += " " + m.uid + "@" + m.channelId;
    got_.push_back(line);
  });
  ASSERT_TRUE(PumpUntil([&] { return got_.size() == 4 && !bobHears->lines.empty(); }));
  bobRoom->leave(Note("bob leaves"));
  ASSERT_TRUE(PumpUntil([&] { return got_.size() == 5 && aliceHears->lines.size() == 2; }));
  EXPECT_THAT(got_, UnorderedElementsAre("alice joins 0", "bob joins 0", "alice says 0",
                                         "members 0 alice@room bob@room", "bob leaves 0"));
  EXPECT_THAT(aliceHears->lines, ElementsAre("joined bob", "left bob"));
  EXPECT_THAT(bobHears->lines, ElementsAre("room alice@room: hi room"));

  // Requests the server never answers end once: with the lost connection, the channel's
  // destruction or the logout.
  got_.clear();
  svc_.AddFault(rtm_test::DropToClient("alice", "LeaveChannel"));
  aliceRoom->leave(Note("leave cut off by the connection"));
  ASSERT_TRUE(svc_.WaitForCommand("alice", "LeaveChannel", 1, 5000));
  ASSERT_TRUE(svc_.Close("alice", local_service::CloseMode::kRst));
  clock_.Jump(5001);
  ASSERT_TRUE(PumpUntil([&] { return aliceEvents->states.size() == 4 && got_.size() == 1; }));
  aliceRoom->join(Note("join again"));
  ASSERT_TRUE(PumpUntil([&] { return got_.size() == 2; }));
  svc_.AddFault(rtm_test::DropToClient("alice", "JoinChannel"));
  other->join(Note("join cut off"));
  EXPECT_TRUE(alice->destroyChannel("other"));
  aliceRoom->leave(Note("leave cut off"));
  ASSERT_TRUE(svc_.WaitForCommand("alice", "LeaveChannel", 2, 5000));
  alice->logout(nullptr);
  ASSERT_TRUE(PumpUntil([&] { return got_.size() == 4; }));
  // After the logout the channel answers 102 at once, until destroyed.
  aliceRoom->sendMessage(VoRtmMessage("x"), {}, Note("send"));
  EXPECT_TRUE(alice->destroyChannel("room") && alice->destroyChannel("room"));
  aliceRoom->join(Note("after destroy"));
  test::Pump();
  EXPECT_THAT(got_, UnorderedElementsAre("leave cut off by the connection 1", "join again 0",
                                         "join cut off 102", "leave cut off 102", "send 102"));
  EXPECT_NE(nullptr, alice->createChannel("room", {}));
}

// The service joins a channel again by itself after a reconnection; a join the app makes while
// that join is on its way goes out once it has its answer. Held, then refused, that answer ends
// nothing of the app's. Dropped, it ends the connection after 10 s, and the app's join with it
// (1); the next join, once the connection is made again, gets its own answer.
TEST_F(KitEndToEndTest, AJoinMadeWhileTheChannelIsJoinedAgainGetsItsOwnResult) {
  for (const bool dropped : {false, true}) {
    SCOPED_TRACE(dropped ? "dropped" : "held");
    const std::string user = dropped ? "amy" : "alice";
    auto events = std::make_shared<Events>();
    std::shared_ptr<VoRtmKit> kit;
    std::shared_ptr<VoRtmChannel> room = JoinedRoom(user, events, &kit);
    if (dropped) {
      svc_.AddFault(rtm_test::DropToClient(user, "JoinChannel", 1));
    } else {
      HoldJoinAnswer(user, true);
    }
    ASSERT_TRUE(svc_.Close(user, local_service::CloseMode::kRst));
    clock_.Jump(5001);  // past the reconnection's delay and the join limiter's window
    ASSERT_TRUE(svc_.WaitForCommand(user, "JoinChannel", 2, 5000));
    // Made well after it, so that only the first of the two can time out.
    if (dropped) clock_.Jump(3000);
    room->join(Note("joined again"));
    if (dropped) {
      clock_.Jump(7500);
      ASSERT_TRUE(PumpUntil([&] { return got_.size() == 2; }));
      auto connected = [&] {
        return std::count(events->states.begin(), events->states.end(),
                          std::make_pair(int{rtm::CONNECTION_STATE_CONNECTED},
                                         int{rtm::CONNECTION_CHANGE_REASON_LOGIN_SUCCESS}));
      };
      clock_.Jump(2001);
      ASSERT_TRUE(PumpUntil([&] { return connected() == 3; }, 15000));
      room->join(Note("joined at last"));
    } else {
      EXPECT_EQ(1, svc_.ReleaseHeld(user));
    }
    ASSERT_TRUE(PumpUntil([&] { return got_.size() == (dropped ? 3u : 2u); }));
    room->getMembers(NoteList("members"));
    ASSERT_TRUE(PumpUntil([&] { return got_.size() == (dropped ? 4u : 3u); }));
    if (dropped) {
      EXPECT_THAT(got_, ElementsAre("joined 0", "joined again 1", "joined at last 0", "members 0"));
    } else {
      EXPECT_THAT(got_, ElementsAre("joined 0", "joined again 0", "members 0"));
    }
    EXPECT_THAT(svc_.ChannelMembers(rtm_test::kAppId, "room"), ElementsAre(user));
    kit->logout(nullptr);
  }
}

// After a reconnection a member list made once the delegate has heard (3,2) waits for the
// channel's own join, and so tells the app when the channel can be used again.
TEST_F(KitEndToEndTest, AListMadeWhileTheChannelJoinsAgainWaitsForThatJoin) {
  for (const bool refused : {false, true}) {
    SCOPED_TRACE(refused ? "refused" : "joined");
    const std::string user = refused ? "amy" : "alice";
    auto events = std::make_shared<Events>();
    std::shared_ptr<VoRtmKit> kit;
    std::shared_ptr<VoRtmChannel> room = JoinedRoom(user, events, &kit);
    HoldJoinAnswer(user, refused);
    ASSERT_TRUE(svc_.Close(user, local_service::CloseMode::kRst));
    clock_.Jump(5001);  // past the reconnection's delay and the join limiter's window
    ASSERT_TRUE(PumpUntil([&] { return events->states.size() == 4; }));
    EXPECT_EQ(std::make_pair(int{rtm::CONNECTION_STATE_CONNECTED},
                             int{rtm::CONNECTION_CHANGE_REASON_LOGIN_SUCCESS}),
              events->states.back());
    room->getMembers(NoteList("members"));
    room->sendMessage(VoRtmMessage("hi"), {}, Note("said"));
    ASSERT_TRUE(PumpUntil([&] { return got_.size() == 2; }));
    EXPECT_EQ(1, svc_.ReleaseHeld(user));
    ASSERT_TRUE(PumpUntil([&] { return got_.size() == 3; }));
    EXPECT_THAT(got_, ElementsAre("joined 0", "said 3", refused ? "members 3" : "members 0"));
    kit->logout(nullptr);
  }
}

TEST_F(KitEndToEndTest, ACallIsMadeAndAnswered) {
  auto aliceHears = std::make_shared<Events>(), bobHears = std::make_shared<Events>();
  auto alice = LoggedIn("alice", aliceHears), bob = LoggedIn("bob", bobHears);
  auto aliceCalls = alice->getRtmCallKit(), bobCalls = bob->getRtmCallKit();
  ASSERT_NE(nullptr, aliceCalls);
  aliceCalls->setCallDelegate(aliceHears);
  bobCalls->setCallDelegate(bobHears);
  aliceCalls->sendLocalInvitation(VoRtmLocalInvitation(), Note("no callee"));
  VoRtmLocalInvitation toBob("bob");
  toBob.setContent("lunch?");
  aliceCalls->sendLocalInvitation(toBob, Note("invite"));
  EXPECT_THAT(got_, ElementsAre("no callee 1", "invite 0"));  // at once
  ASSERT_TRUE(PumpUntil([&] { return !bobHears->lines.empty(); }));
  VoRtmRemoteInvitation answer = bobHears->invitation;
  answer.setResponse("yes");
  bobCalls->acceptRemoteInvitation(answer, Note("accept"));
  bobCalls->acceptRemoteInvitation(VoRtmRemoteInvitation(), Note("no caller"));
  ASSERT_TRUE(
      PumpUntil([&] { return aliceHears->lines.size() == 2 && bobHears->lines.size() == 2; }));
  EXPECT_THAT(got_, ElementsAre("no callee 1", "invite 0", "accept 0", "no caller 1"));
  // A second call, refused.
  toBob.setContent("dinner?");
  aliceCalls->sendLocalInvitation(toBob, nullptr);
  ASSERT_TRUE(PumpUntil([&] { return bobHears->lines.size() == 3; }));
  answer = bobHears->invitation;
  answer.setResponse("no");
  bobCalls->refuseRemoteInvitation(answer, nullptr);
  ASSERT_TRUE(
      PumpUntil([&] { return aliceHears->lines.size() == 4 && bobHears->lines.size() == 4; }));
  EXPECT_THAT(aliceHears->lines, ElementsAre("ringing bob 2", "accepted by bob 3 lunch?/yes (yes)",
                                             "ringing bob 2", "refused by bob 4 dinner?/no (no)"));
  EXPECT_THAT(bobHears->lines,
              ElementsAre("invited by alice 0 lunch?/", "accepted alice 4 lunch?/yes",
                          "invited by alice 0 dinner?/", "refused alice 3 dinner?/no"));
}

// The kit's default log is private: its folder is made 0700 (also one an earlier version made
// open) and its file 0600. HOME naming a folder that does not exist gives no log at all.
TEST_F(KitEndToEndTest, TheDefaultLogIsPrivateAndNeedsAHomeThatExists) {
  namespace fs = std::filesystem;
  const std::string home = cache_.path() + "/home", folder = home + "/.cache/VoRtmKit";
  ASSERT_TRUE(fs::create_directories(folder));  // 0755
  unsetenv("XDG_CACHE_HOME");
  setenv("HOME", home.c_str(), 1);
  Kit(std::make_shared<Events>());
  EXPECT_EQ(fs::perms::owner_all, fs::status(folder).permissions());
  EXPECT_EQ(fs::perms::owner_read | fs::perms::owner_write,
            fs::status(folder + "/vy_rtm_sdk.log").permissions());
  vy::CloseRtcLog();
  setenv("HOME", (cache_.path() + "/gone").c_str(), 1);
  Kit(std::make_shared<Events>());
  EXPECT_FALSE(vy::GetRtcLogStatus().open);
  EXPECT_FALSE(fs::exists(cache_.path() + "/gone"));
}

// The kit's watcher probes the service's gateway host, and follows a change of it at the next
// login. In a namespace of its own IPv4 echoes are answered and IPv6 ones are not: probing
// 127.0.0.1 (the built-in host, or the first gateway) would never see an outage; probing the
// second gateway, ::1 (bracketed in the URL and the Host header), finds the network gone, and
// the kit hands the service net type 0, which asks the server "CheckNetStatus".
TEST_F(KitEndToEndTest, TheWatcherProbesTheGatewayHostAndReportsItsOutage) {
  VORTM_RUN_IN_PRIVATE_NETNS(std::string(test::kAllowPing) +
                             " && echo 1 > /proc/sys/net/ipv6/icmp/echo_ignore_all");
  local_service::LocalService six({.address = "::1", .http_port = 0});
  ASSERT_TRUE(six.Start());
  auto kit = VoRtmKit::create(rtm_test::kAppId, {});
  ASSERT_NE(nullptr, kit);
  kits_.push_back(kit);
  ASSERT_EQ(0, kit->setParameters(GatewayParameters()));
  ASSERT_EQ(0, Login(*kit, "alice"));
  kit->logout(nullptr);
  ASSERT_EQ(0, kit->setParameters(R"({"Cmd":"ConfPriCloudAddr","ServerAdd":"::1","Port":)" +
                                  std::to_string(six.http_port()) + "}"));
  ASSERT_EQ(0, Login(*kit, "alice"));
  EXPECT_TRUE(
      PumpUntil([&] { return six.WaitForCommand("alice", "CheckNetStatus", 1, 0); }, 15000));
  EXPECT_THAT(six.GatewayHosts(), ElementsAre("[::1]:" + std::to_string(six.http_port())));
  for (const auto& command : six.Log("alice")) {
    EXPECT_THAT(command.content, testing::Not(testing::HasSubstr("LocalNetChanged")));
  }
  EXPECT_FALSE(svc_.WaitForCommand("alice", "CheckNetStatus", 1, 0));
}

}  // namespace
}  // namespace vortm

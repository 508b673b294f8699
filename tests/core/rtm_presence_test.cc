// Presence, subscriptions and member counts between real clients through the in-process local
// test service, and the one-result rule of every request: reply, time-out or 102.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <set>
#include <string>
#include <vector>

#include "rtm_test_client.h"

namespace rtm_test {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

class RtmPresenceTest : public ServiceTest {
 protected:
  // A request answered by the service: once its result is in, every command received before
  // its reply has been handled.
  void RoundTrip(Client& client) {
    long long id = 0;
    // The subscription-list limiter is the one the tests leave alone.
    ASSERT_EQ(
        0, client->queryPeersBySubscriptionOption(rtm::PEER_SUBSCRIPTION_OPTION_ONLINE_STATUS, id));
    ASSERT_TRUE(client.log.WaitForId(Event::kSubscribedPeers, id));
  }
};

TEST_F(RtmPresenceTest, ChecksRefuseBeforeTheLimiterAndMakeNoCallback) {
  const char* one[] = {"bob"};
  long long id = 0;
  EventLog raw_log;
  rtm::IRtmService* raw = createRtmService();
  raw->addEventHandler(&raw_log);
  EXPECT_EQ(101, raw->queryPeersOnlineStatus(one, 1, id));
  EXPECT_EQ(101, raw->getChannelMemberCount(one, 1, id));
  raw->release(true);

  Client alice(svc_, "alice");
  EXPECT_EQ(102, alice->queryPeersOnlineStatus(one, 1, id));
  EXPECT_EQ(102, alice->subscribePeersOnlineStatus(one, 1, id));
  EXPECT_EQ(102, alice->unsubscribePeersOnlineStatus(one, 1, id));
  EXPECT_EQ(102,
            alice->queryPeersBySubscriptionOption(rtm::PEER_SUBSCRIPTION_OPTION_ONLINE_STATUS, id));
  EXPECT_EQ(102, alice->getChannelMemberCount(one, 1, id));
  ASSERT_TRUE(alice.Login());

  IdList too_many(257);
  EXPECT_EQ(2, alice->queryPeersOnlineStatus(too_many.data(), too_many.size(), id));
  IdList one_empty(256);
  one_empty.Set(100, "");
  EXPECT_EQ(2, alice->queryPeersOnlineStatus(one_empty.data(), one_empty.size(), id));
  IdList over_subscribed(513);
  EXPECT_EQ(6, alice->subscribePeersOnlineStatus(over_subscribed.data(), 513, id));
  over_subscribed.Set(7, "");
  EXPECT_EQ(2, alice->subscribePeersOnlineStatus(over_subscribed.data(), 513, id));
  EXPECT_EQ(6, alice->unsubscribePeersOnlineStatus(over_subscribed.data(), 513, id));
  // Null arrays, null ids and negative counts are refused, never read.
  const char* null_id[] = {"bob", nullptr};
  for (auto call : std::vector<std::function<int(const char**, int)>>{
           [&](const char**ids, int n) { return alice->queryPeersOnlineStatus(ids, n, id); },
           [&](const char**ids, int n) { return alice->subscribePeersOnlineStatus(ids, n, id); },
           [&](const char**ids, int n) { return alice->unsubscribePeersOnlineStatus(ids, n, id); },
           [&](const char**ids, int n) { return alice->getChannelMemberCount(ids, n, id); }}) {
    EXPECT_EQ(2, call(nullptr, 1));
    EXPECT_EQ(2, call(null_id, 2));
    EXPECT_EQ(2, call(one, -1));
  }
  const char* empty_channel[] = {""};
  EXPECT_EQ(2, alice->getChannelMemberCount(empty_channel, 1, id));

  // None of the refusals counted: a whole window of 10 queries still passes, then 5.
  std::vector<long long> sent;
  for (int i = 0; i < 10; ++i) {
    long long q = 0;
    ASSERT_EQ(0, alice->queryPeersOnlineStatus(one, 1, q)) << i;
    sent.push_back(q);
  }
  EXPECT_EQ(5, alice->queryPeersOnlineStatus(one, 1, id));
  for (long long q : sent) ASSERT_TRUE(alice.log.WaitForId(Event::kQueryStatus, q));
  // Zero ids were filled with distinct values, and refusals made no callback.
  EXPECT_EQ(10u, std::set<long long>(sent.begin(), sent.end()).size());
  EXPECT_EQ(10u, alice.log.Count(Event::kQueryStatus));
  EXPECT_EQ(0u, alice.log.Count(Event::kSubscription));
}

TEST_F(RtmPresenceTest, EachLimiterAdmitsItsWindowAndRefusalsDoNotCount) {
  Client alice(svc_, "alice");
  ASSERT_TRUE(alice.Login());
  const char* one[] = {"bob"};
  long long id = 0;
  ExpectLimiterWindows(
      clock_,
      {
          {"query", [&](int) { return alice->queryPeersOnlineStatus(one, 1, id = 0); }, 10, 5000,
           5},
          {"subscribe", [&](int) { return alice->subscribePeersOnlineStatus(one, 1, id = 0); }, 10,
           5000, 5},
          {"unsubscribe", [&](int) { return alice->unsubscribePeersOnlineStatus(one, 1, id = 0); },
           10, 5000, 5},
          {"query by option",
           [&](int) {
             return alice->queryPeersBySubscriptionOption(
                 rtm::PEER_SUBSCRIPTION_OPTION_ONLINE_STATUS, id = 0);
           },
           10, 5000, 3},
          {"member count", [&](int) { return alice->getChannelMemberCount(one, 1, id = 0); }, 1,
           1000, 3},
      });
}

TEST_F(RtmPresenceTest, SubscriberHearsThePeerComeGoAndLeaveAcrossItsOwnReconnect) {
  Client alice(svc_, "alice");
  Client bob(svc_, "bob");
  ASSERT_TRUE(alice.Login());
  const char* bob_id[] = {"bob"};
  long long sub = 0;
  ASSERT_EQ(0, alice->subscribePeersOnlineStatus(bob_id, 1, sub));
  Event e;
  ASSERT_TRUE(alice.log.WaitForId(Event::kSubscription, sub, &e));
  EXPECT_EQ(0, e.a);
  EXPECT_THAT(svc_.Subscriptions(kAppId, "alice"), ElementsAre("bob"));

  auto changes = [&] {
    std::vector<std::string> out;
    for (const Event& c : alice.log.Of(Event::kStatusChanged)) {
      out.insert(out.end(), c.list.begin(), c.list.end());
    }
    return out;
  };
  ASSERT_TRUE(bob.Login());
  ASSERT_TRUE(alice.log.WaitFor(Event::kStatusChanged, 1));
  svc_.Close("bob", local_service::CloseMode::kRst);
  ASSERT_TRUE(alice.log.WaitFor(Event::kStatusChanged, 2));
  // Bob's client logs in again by itself.
  ASSERT_TRUE(bob.log.WaitForState(rtm::CONNECTION_STATE_RECONNECTING,
                                   rtm::CONNECTION_CHANGE_REASON_INTERRUPTED));
  clock_.Jump(2000);
  ASSERT_TRUE(bob.log.WaitFor(Event::kLoginSuccess, 2));
  ASSERT_TRUE(alice.log.WaitFor(Event::kStatusChanged, 3));

  // Alice's own connection drops; the server keeps her subscription for the session.
  svc_.Close("alice", local_service::CloseMode::kRst);
  ASSERT_TRUE(alice.log.WaitForState(rtm::CONNECTION_STATE_RECONNECTING,
                                     rtm::CONNECTION_CHANGE_REASON_INTERRUPTED));
  clock_.Jump(2000);
  ASSERT_TRUE(alice.log.WaitFor(Event::kLoginSuccess, 2));
  EXPECT_THAT(svc_.Subscriptions(kAppId, "alice"), ElementsAre("bob"));
  EXPECT_EQ(0, bob->logout());
  ASSERT_TRUE(alice.log.WaitFor(Event::kStatusChanged, 4));
  EXPECT_THAT(changes(), ElementsAre("bob:1:0", "bob:0:1", "bob:1:0", "bob:0:2"));

  const char* peers[] = {"bob", "carol"};
  ASSERT_TRUE(bob.Login());
  long long query = 0;
  ASSERT_EQ(0, alice->queryPeersOnlineStatus(peers, 2, query));
  ASSERT_TRUE(alice.log.WaitForId(Event::kQueryStatus, query, &e));
  EXPECT_EQ(0, e.a);
  EXPECT_THAT(e.list, ElementsAre("bob:1:0", "carol:0:2"));
  long long listed = 0;
  ASSERT_EQ(0, alice->queryPeersBySubscriptionOption(rtm::PEER_SUBSCRIPTION_OPTION_ONLINE_STATUS,
                                                     listed));
  ASSERT_TRUE(alice.log.WaitForId(Event::kSubscribedPeers, listed, &e));
  EXPECT_THAT(e.list, ElementsAre("bob"));

  long long unsub = 0;
  ASSERT_EQ(0, alice->unsubscribePeersOnlineStatus(bob_id, 1, unsub));
  ASSERT_TRUE(alice.log.WaitForId(Event::kSubscription, unsub, &e));
  EXPECT_EQ(0, e.a);
  EXPECT_THAT(svc_.Subscriptions(kAppId, "alice"), IsEmpty());
  listed = 0;
  ASSERT_EQ(0, alice->queryPeersBySubscriptionOption(rtm::PEER_SUBSCRIPTION_OPTION_ONLINE_STATUS,
                                                     listed));
  ASSERT_TRUE(alice.log.WaitForId(Event::kSubscribedPeers, listed, &e));
  EXPECT_EQ(0, e.b);

  const char* lobby[] = {"lobby", "hall"};
  long long counted = 0;
  ASSERT_EQ(0, alice->getChannelMemberCount(lobby, 2, counted));
  ASSERT_TRUE(alice.log.WaitForId(Event::kMemberCount, counted, &e));
  EXPECT_THAT(e.list, ElementsAre("lobby:0", "hall:0"));
}

TEST_F(RtmPresenceTest, ServerCodeOfASubscriptionIsPassedOn) {
  Client alice(svc_, "alice");
  ASSERT_TRUE(alice.Login());
  // 513 in all: the server refuses the subscription that goes beyond 512.
  IdList first(512);
  long long ok = 0;
  ASSERT_EQ(0, alice->subscribePeersOnlineStatus(first.data(), 512, ok));
  const char* one_more[] = {"extra"};
  long long over = 0;
  ASSERT_EQ(0, alice->subscribePeersOnlineStatus(one_more, 1, over));
  Event e;
  ASSERT_TRUE(alice.log.WaitForId(Event::kSubscription, over, &e));
  EXPECT_EQ(rtm::PEER_SUBSCRIPTION_STATUS_ERR_OVERFLOW, e.a);
  ASSERT_TRUE(alice.log.WaitForId(Event::kSubscription, ok, &e));
  EXPECT_EQ(0, e.a);
  EXPECT_EQ(512u, svc_.Subscriptions(kAppId, "alice").size());
}

TEST_F(RtmPresenceTest, MalformedRepliesAndPushesAreSkippedWithoutACrash) {
  Client alice(svc_, "alice");
  ASSERT_TRUE(alice.Login());
  svc_.AddFault(DropToClient("alice", "QueryOnlineStatus", 1));
  const char* one[] = {"bob"};
  long long q = 0;
  ASSERT_EQ(0, alice->queryPeersOnlineStatus(one, 1, q));
  ASSERT_TRUE(svc_.WaitForCommand("alice", "QueryOnlineStatus", 1, 5000));
  const std::string id = std::to_string(q);
  for (const std::string& body : {
           R"({"MsgId":)" + id + "}",
           R"({"MsgId":)" + id + R"(,"Status":"[]"})",
           R"({"MsgId":")" + id + R"(","Status":[]})",
           std::string(R"({"Status":[]})"),
       }) {
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
  Event e;
  ASSERT_TRUE(alice.log.WaitForId(Event::kQueryStatus, q, &e));
  EXPECT_THAT(e.list, ElementsAre("bob:0:2", "eve:1:0"));
  ASSERT_EQ(1u, alice.log.Count(Event::kStatusChanged));
  EXPECT_THAT(alice.log.Of(Event::kStatusChanged)[0].list, ElementsAre("z:0:1", "v:0:2"));
  // The same reply again answers no request.
  svc_.Push("alice", "QueryOnlineStatus", good);
  RoundTrip(alice);
  EXPECT_EQ(1u, alice.log.Count(Event::kQueryStatus));
}

TEST_F(RtmPresenceTest, UnansweredRequestTimesOutOnceAtTenSecondsAndALateReplyIsDropped) {
  Client alice(svc_, "alice");
  ASSERT_TRUE(alice.Login());
  svc_.AddFault(DropToClient("alice", "SubscribeOnlineStatus", 1));
  const char* one[] = {"bob"};
  long long sub = 0;
  const int64_t sent_at = rtc::TimeMillis();
  ASSERT_EQ(0, alice->subscribePeersOnlineStatus(one, 1, sub));
  ASSERT_TRUE(svc_.WaitForCommand("alice", "SubscribeOnlineStatus", 1, 5000));
  clock_.Jump(9500);
  RoundTrip(alice);
  clock_.Jump(600);
  Event e;
  ASSERT_TRUE(alice.log.WaitForId(Event::kSubscription, sub, &e));
  EXPECT_EQ(rtm::PEER_SUBSCRIPTION_STATUS_ERR_TIMEOUT, e.a);
  EXPECT_GE(e.at_ms - sent_at, 10000);
  svc_.Push("alice", "SubscribeOnlineStatus", R"({"Code":0,"MsgId":)" + std::to_string(sub) + "}");
  RoundTrip(alice);
  EXPECT_EQ(1u, alice.log.OfId(Event::kSubscription, sub).size());
}

TEST_F(RtmPresenceTest, RequestsOutstandingAtLogoutOrReleaseAreReportedOnceWith102) {
  Client alice(svc_, "alice");
  ASSERT_TRUE(alice.Login());
  int rule = svc_.AddFault(DropToClient("alice", ""));
  const char* one[] = {"bob"};
  long long query = 0, sub = 0, unsub = 0, listed = 0, counted = 0;
  ASSERT_EQ(0, alice->queryPeersOnlineStatus(one, 1, query));
  ASSERT_EQ(0, alice->subscribePeersOnlineStatus(one, 1, sub));
  ASSERT_EQ(0, alice->unsubscribePeersOnlineStatus(one, 1, unsub));
  ASSERT_EQ(0, alice->queryPeersBySubscriptionOption(rtm::PEER_SUBSCRIPTION_OPTION_ONLINE_STATUS,
                                                     listed));
  ASSERT_EQ(0, alice->getChannelMemberCount(one, 1, counted));
  ASSERT_TRUE(svc_.WaitForCommand("alice", "GetChanMemberSize", 1, 5000));
  EXPECT_EQ(0, alice->logout());
  // Reported before logout returned.
  auto reported_once_with_102 = [&](Event::Kind kind, long long id) {
    std::vector<Event> events = alice.log.OfId(kind, id);
    return events.size() == 1 && events[0].a == 102;
  };
  EXPECT_TRUE(reported_once_with_102(Event::kQueryStatus, query));
  EXPECT_TRUE(reported_once_with_102(Event::kSubscription, sub));
  EXPECT_TRUE(reported_once_with_102(Event::kSubscription, unsub));
  EXPECT_TRUE(reported_once_with_102(Event::kSubscribedPeers, listed));
  EXPECT_TRUE(reported_once_with_102(Event::kMemberCount, counted));
  // Nothing more for them once their time has passed.
  svc_.RemoveFault(rule);
  clock_.Jump(1001);
  ASSERT_TRUE(alice.Login());
  clock_.Jump(11000);
  RoundTrip(alice);
  EXPECT_EQ(2u, alice.log.Count(Event::kSubscription));

  // Release reports what is outstanding the same way.
  EventLog log;
  rtm::IRtmService* carol = createRtmService();
  ASSERT_EQ(0, carol->initialize(kAppId, &log));
  std::string params =
      std::string(R"({"Cmd":"ConfPriCloudAddr","ServerAdd":")") + svc_.address() + R"("})";
  ASSERT_EQ(0, carol->setParameters(params.c_str()));
  ASSERT_EQ(0, carol->login("t", "carol"));
  ASSERT_TRUE(log.WaitFor(Event::kLoginSuccess));
  svc_.AddFault(DropToClient("carol", ""));
  ASSERT_EQ(0, carol->queryPeersOnlineStatus(one, 1, query));
  carol->release(true);
  ASSERT_EQ(1u, log.OfId(Event::kQueryStatus, query).size());
  EXPECT_EQ(102, log.OfId(Event::kQueryStatus, query)[0].a);
}

}  // namespace
}  // namespace rtm_test

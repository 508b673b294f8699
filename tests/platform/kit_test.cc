// The kit over a fake service (GoogleMock): what each request hands the service, how results and
// refusals reach completions (once, on the main loop), login and logout, destroy, delegates and
// the network watcher. The fake's callbacks come from a worker thread of the test's own.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <set>
#include <thread>

#include <vortm/vo_rtm_kit.h>

#include "core/vy_call_invitation.h"
#include "core/vy_message.h"
#include "fake_sources.h"
#include "loop_fixture.h"
#include "platform/kit_internals.h"
#include "rtc_base/temp_dir.h"

namespace vortm {
namespace {

namespace rtm = vy::rtm;
using ::testing::_;
using ::testing::DoAll;
using ::testing::ElementsAre;
using ::testing::Invoke;
using ::testing::NiceMock;
using ::testing::Return;
using ::testing::SaveArg;

class FakeService : public rtm::IRtmService {
 public:
  FakeService() {
    ON_CALL(*this, createMessage()).WillByDefault(Invoke([] {
      auto* message = new vy::VyMessage(nullptr);
      message->SetMsgId(vy::NextMessageId());
      return message;
    }));
  }
  ~FakeService() override = default;

  MOCK_METHOD(int, initialize, (const char*, rtm::IRtmServiceEventHandler*), (override));
  MOCK_METHOD(void, addEventHandler, (rtm::IRtmServiceEventHandler*), (override));
  MOCK_METHOD(void, removeEventHandler, (rtm::IRtmServiceEventHandler*), (override));
  MOCK_METHOD(void, release, (bool), (override));
  MOCK_METHOD(int, login, (const char*, const char*), (override));
  MOCK_METHOD(int, logout, (), (override));
  MOCK_METHOD(int, renewToken, (const char*), (override));
  MOCK_METHOD(int, sendMessageToPeer, (const char*, const rtm::IMessage*), (override));
  MOCK_METHOD(int, downloadMediaToMemory, (const char*, long long&), (override));
  MOCK_METHOD(int, downloadMediaToFile, (const char*, const char*, long long&), (override));
  MOCK_METHOD(int, cancelMediaDownload, (long long), (override));
  MOCK_METHOD(int, cancelMediaUpload, (long long), (override));
  MOCK_METHOD(int, sendMessageToPeer,
              (const char*, const rtm::IMessage*, const rtm::SendMessageOptions&), (override));
  MOCK_METHOD(rtm::IChannel*, createChannel, (const char*, rtm::IChannelEventHandler*), (override));
  MOCK_METHOD(rtm::IRtmCallManager*, getRtmCallManager, (rtm::IRtmCallEventHandler*), (override));
  MOCK_METHOD(rtm::IMessage*, createMessage, (), (override));
  MOCK_METHOD(rtm::IMessage*, createMessage, (const char*), (override));
  MOCK_METHOD(rtm::IMessage*, createMessage, (const unsigned char*, int), (override));
  MOCK_METHOD(rtm::IMessage*, createMessage, (const unsigned char*, int, const char*), (override));
  MOCK_METHOD(rtm::IFileMessage*, createFileMessageByMediaId, (const char*), (override));
  MOCK_METHOD(rtm::IImageMessage*, createImageMessageByMediaId, (const char*), (override));
  MOCK_METHOD(int, createFileMessageByUploading, (const char*, long long&), (override));
  MOCK_METHOD(int, createImageMessageByUploading, (const char*, long long&), (override));
  MOCK_METHOD(rtm::IRtmChannelAttribute*, createChannelAttribute, (), (override));
  MOCK_METHOD(int, setParameters, (const char*), (override));
  MOCK_METHOD(int, queryPeersOnlineStatus, (const char*[], int, long long&), (override));
  MOCK_METHOD(int, subscribePeersOnlineStatus, (const char*[], int, long long&), (override));
  MOCK_METHOD(int, unsubscribePeersOnlineStatus, (const char*[], int, long long&), (override));
  MOCK_METHOD(int, queryPeersBySubscriptionOption, (rtm::PEER_SUBSCRIPTION_OPTION, long long&),
              (override));
  MOCK_METHOD(int, setLocalUserAttributes, (const rtm::RtmAttribute*, int, long long&), (override));
  MOCK_METHOD(int, addOrUpdateLocalUserAttributes, (const rtm::RtmAttribute*, int, long long&),
              (override));
  MOCK_METHOD(int, deleteLocalUserAttributesByKeys, (const char*[], int, long long&), (override));
  MOCK_METHOD(int, clearLocalUserAttributes, (long long&), (override));
  MOCK_METHOD(int, getUserAttributes, (const char*, long long&), (override));
  MOCK_METHOD(int, getUserAttributesByKeys, (const char*, const char*[], int, long long&),
              (override));
  MOCK_METHOD(int, setChannelAttributes,
              (const char*, const rtm::IRtmChannelAttribute*[], int,
               const rtm::ChannelAttributeOptions&, long long&),
              (override));
  MOCK_METHOD(int, addOrUpdateChannelAttributes,
              (const char*, const rtm::IRtmChannelAttribute*[], int,
               const rtm::ChannelAttributeOptions&, long long&),
              (override));
  MOCK_METHOD(int, deleteChannelAttributesByKeys,
              (const char*, const char*[], int, const rtm::ChannelAttributeOptions&, long long&),
              (override));
  MOCK_METHOD(int, clearChannelAttributes,
              (const char*, const rtm::ChannelAttributeOptions&, long long&), (override));
  MOCK_METHOD(int, getChannelAttributes, (const char*, long long&), (override));
  MOCK_METHOD(int, getChannelAttributesByKeys, (const char*, const char*[], int, long long&),
              (override));
  MOCK_METHOD(int, getChannelMemberCount, (const char*[], int, long long&), (override));
  MOCK_METHOD(int, setLogFile, (const char*), (override));
  MOCK_METHOD(int, setLogFilter, (rtm::LOG_FILTER_TYPE), (override));
  MOCK_METHOD(int, setLogFileSize, (int), (override));
};

// Records the kit's delegate calls, and on which thread they came.
class Recorder : public VoRtmDelegate {
 public:
  void connectionStateChanged(VoRtmKit&, rtm::CONNECTION_STATE state,
                              rtm::CONNECTION_CHANGE_REASON reason) override {
    onLoop = onLoop && MainLoop::isCurrent();
    states.push_back({state, reason});
  }
  void messageReceived(VoRtmKit&, const VoRtmMessage& message, const std::string& peer) override {
    messages.push_back(peer + ":" + message.text());
  }
  std::vector<std::pair<int, int>> states;
  std::vector<std::string> messages;
  bool onLoop = true;
};

// Only one method: the others keep their empty defaults.
class StatesOnly : public VoRtmDelegate {
 public:
  void connectionStateChanged(VoRtmKit&, rtm::CONNECTION_STATE state,
                              rtm::CONNECTION_CHANGE_REASON) override {
    states.push_back(state);
  }
  std::vector<int> states;
};

class KitTest : public test::LoopTest {
 protected:
  void SetUp() override {
    LoopTest::SetUp();
    worker_->Start();
    service_ = new NiceMock<FakeService>();
    ON_CALL(*service_, initialize(_, _)).WillByDefault(DoAll(SaveArg<1>(&handler_), Return(0)));
  }
  void TearDown() override {
    kit_.reset();
    test::Pump();
  }

  // Makes the kit; `manager` is its network watcher (none by default).
  std::shared_ptr<VoRtmKit> Make(std::weak_ptr<VoRtmDelegate> delegate = {},
                                 std::shared_ptr<VyRtmNetManager> manager = nullptr,
                                 size_t maxArrayCount = INT_MAX) {
    KitParts parts;
    parts.maxArrayCount = maxArrayCount;
    parts.createService = [this] { return service_; };
    parts.worker = worker_.get();
    parts.createNetManager = [manager] { return manager; };
    parts.logDirectory = dir_.path();
    // The fake is deleted by its release, as the real service deletes itself.
    ON_CALL(*service_, release(_)).WillByDefault(Invoke([this](bool) { delete service_; }));
    kit_ = KitInternals::create(std::string(32, 'a'), std::move(delegate), parts);
    return kit_;
  }

  // Fires a callback on the worker, as the service does.
  void Fire(const std::function<void(rtm::IRtmServiceEventHandler&)>& callback) {
    worker_->Invoke<void>(RTC_FROM_HERE, [&] { callback(*handler_); });
  }

  CompletionStore& Store() { return KitInternals::impl(*kit_).use().handler->store(); }

  vy_test::TempDir dir_;
  std::unique_ptr<rtc::Thread> worker_ = rtc::Thread::Create();
  NiceMock<FakeService>* service_ = nullptr;
  rtm::IRtmServiceEventHandler* handler_ = nullptr;
  std::shared_ptr<VoRtmKit> kit_;
};

TEST_F(KitTest, RequestsHandTheServiceTheirArgumentsAndResultsReachTheCompletionOnceOnTheLoop) {
  Make();
  long long queryId = 0, setId = 0, channelId = 0, keysId = 0;
  std::vector<std::string> peers, attributes, channelAttributes, keys;
  bool notify = false;
  EXPECT_CALL(*service_, queryPeersOnlineStatus(_, 2, _))
      .WillOnce(Invoke([&](const char* ids[], int n, long long& id) {
        peers.assign(ids, ids + n);
        queryId = id;
        return 0;
      }));
  EXPECT_CALL(*service_, setLocalUserAttributes(_, 2, _))
      .WillOnce(Invoke([&](const rtm::RtmAttribute* a, int n, long long& id) {
        for (int i = 0; i < n; ++i) attributes.push_back(std::string(a[i].key) + "=" + a[i].value);
        setId = id;
        return 0;
      }));
  EXPECT_CALL(*service_, setChannelAttributes(testing::StrEq("room"), _, 1, _, _))
      .WillOnce(Invoke([&](const char*, const rtm::IRtmChannelAttribute* a[], int,
                           const rtm::ChannelAttributeOptions& options, long long& id) {
        channelAttributes.push_back(std::string(a[0]->getKey()) + "=" + a[0]->getValue());
        notify = options.enableNotificationToChannelMembers;
        channelId = id;
        return 0;
      }));
  EXPECT_CALL(*service_, getUserAttributesByKeys(testing::StrEq("bob"), _, 1, _))
      .WillOnce(Invoke([&](const char*, const char* k[], int n, long long& id) {
        keys.assign(k, k + n);
        keysId = id;
        return 0;
      }));

  std::vector<std::string> got;
  kit_->queryPeersOnlineStatus({"bob", "carol"}, [&](const auto& statuses, auto code) {
    EXPECT_TRUE(MainLoop::isCurrent());
    for (const auto& s : statuses) got.push_back(s.peerId() + "/" + std::to_string(s.state()));
    got.push_back("query " + std::to_string(code));
  });
  kit_->setLocalUserAttributes({{"a", "1"}, {"b", ""}},
                               [&](auto code) { got.push_back("set " + std::to_string(code)); });
  VoRtmChannelAttribute attribute;
  attribute.setKey("k");
  attribute.setValue("v");
  kit_->setChannelAttributes("room", {attribute}, VoRtmChannelAttributeOptions{true},
                             [&](auto code) { got.push_back("channel " + std::to_string(code)); });
  kit_->getUserAttributesByKeys("bob", {"k"},
                                [&](const auto& list, const std::string& user, auto code) {
                                  got.push_back("get " + user + " " + list.at(0).key + "=" +
                                                list.at(0).value + " " + std::to_string(code));
                                });
  EXPECT_THAT(peers, ElementsAre("bob", "carol"));
  EXPECT_THAT(attributes, ElementsAre("a=1", "b="));
  EXPECT_THAT(channelAttributes, ElementsAre("k=v"));
  EXPECT_TRUE(notify);
  EXPECT_THAT(keys, ElementsAre("k"));
  std::set<long long> ids = {queryId, setId, channelId, keysId};
  EXPECT_EQ(4u, ids.size());

  rtm::PeerOnlineStatus statuses[2];
  statuses[0].peerId = "bob";
  statuses[0].state = 2;
  rtm::RtmAttribute found[] = {{"k", "v"}};
  for (int round = 0; round < 2; ++round) {  // the second round's results find no completion
    Fire([&](auto& h) {
      h.onQueryPeersOnlineStatusResult(queryId, statuses, 2, rtm::QUERY_PEERS_ONLINE_STATUS_ERR_OK);
      h.onSetLocalUserAttributesResult(setId, rtm::ATTRIBUTE_OPERATION_ERR_FAILURE);
      h.onSetChannelAttributesResult(channelId, rtm::ATTRIBUTE_OPERATION_ERR_OK);
      h.onGetUserAttributesResult(keysId, nullptr, found, 1, rtm::ATTRIBUTE_OPERATION_ERR_OK);
    });
    EXPECT_TRUE(got.empty() || round == 1) << "completions run on the loop, not the worker";
    test::Pump();
  }
  // A null text arrives as "".
  EXPECT_THAT(got, ElementsAre("bob/2", "/0", "query 0", "set 1", "channel 0", "get  k=v 0"));
  EXPECT_EQ(0u, Store().size());
}

TEST_F(KitTest, RequestsRefusedAtOnceGetTheirCodeOnceOnTheLoop) {
  Make();
  ON_CALL(*service_, subscribePeersOnlineStatus(_, _, _)).WillByDefault(Return(5));
  ON_CALL(*service_, clearLocalUserAttributes(_)).WillByDefault(Return(102));
  ON_CALL(*service_, getChannelAttributes(_, _)).WillByDefault(Return(3));
  ON_CALL(*service_, getChannelMemberCount(_, _, _)).WillByDefault(Return(2));
  ON_CALL(*service_, getUserAttributes(_, _)).WillByDefault(Return(101));
  ON_CALL(*service_, renewToken(_)).WillByDefault(Return(3));
  // A refused peer message is reported through the handler before the call returns.
  ON_CALL(*service_, sendMessageToPeer(_, _, _))
      .WillByDefault(Invoke([&](const char*, const rtm::IMessage* m, const auto&) {
        handler_->onSendMessageResult(m->getMessageId(), rtm::PEER_MESSAGE_ERR_INVALID_MESSAGE);
        return -1;
      }));
  std::map<std::string, std::vector<int>> got;
  auto code = [&](const char* name) { return [&got, name](auto c) { got[name].push_back(c); }; };
  kit_->subscribePeersOnlineStatus({"x"}, code("subscribe"));
  kit_->clearLocalUserAttributes(code("clear"));
  kit_->getChannelAllAttributes("c", [&](const auto& list, auto c) {
    got["channel"].push_back(c + static_cast<int>(list.size()));
  });
  kit_->getChannelMemberCount({}, [&](const auto&, auto c) { got["count"].push_back(c); });
  kit_->getUserAllAttributes(
      "u", [&](const auto&, const std::string& user, auto c) { got["user " + user].push_back(c); });
  kit_->renewToken("t",
                   [&](const std::string& token, auto c) { got["renew " + token].push_back(c); });
  kit_->sendMessage(VoRtmMessage(""), "bob", {}, code("send"));
  EXPECT_TRUE(got.empty());
  test::Pump();
  EXPECT_EQ((std::map<std::string, std::vector<int>>{{"subscribe", {5}},
                                                     {"clear", {102}},
                                                     {"channel", {3}},
                                                     {"count", {2}},
                                                     {"user u", {101}},
                                                     {"renew t", {3}},
                                                     {"send", {7}}}),
            got);
  EXPECT_EQ(0u, Store().size());
}

// The service counts arrays in an int; the limit stands lowered to 1 here.
TEST_F(KitTest, ArraysLongerThanTheServiceCountsAreRefusedWithTheFamilysInvalidArgumentCode) {
  Make({}, nullptr, 1);
  EXPECT_CALL(*service_, getChannelMemberCount(_, 1, _)).WillOnce(Return(0));
  const std::vector<std::string> two = {"a", "b"};
  const std::vector<VoRtmAttribute> attributes = {{"k", "v"}, {"l", "w"}};
  const std::vector<VoRtmChannelAttribute> channelAttributes(2);
  std::map<std::string, std::vector<int>> got;
  auto code = [&](const char* name) { return [&got, name](auto c) { got[name].push_back(c); }; };
  auto listCode = [&](const char* name) {
    return [&got, name](const auto&, auto c) { got[name].push_back(c); };
  };
  kit_->getChannelMemberCount({"a"}, listCode("one"));  // passes
  kit_->queryPeersOnlineStatus(two, listCode("query"));
  kit_->subscribePeersOnlineStatus(two, code("subscribe"));
  kit_->unsubscribePeersOnlineStatus(two, code("unsubscribe"));
  kit_->setLocalUserAttributes(attributes, code("set"));
  kit_->addOrUpdateLocalUserAttributes(attributes, code("addOrUpdate"));
  kit_->deleteLocalUserAttributesByKeys(two, code("delete"));
  kit_->getUserAttributesByKeys(
      "bob", two, [&](const auto&, const std::string&, auto c) { got["get"].push_back(c); });
  kit_->setChannelAttributes("c", channelAttributes, {}, code("setChannel"));
  kit_->addOrUpdateChannelAttributes("c", channelAttributes, {}, code("addOrUpdateChannel"));
  kit_->deleteChannelAttributesByKeys("c", two, {}, code("deleteChannel"));
  kit_->getChannelAttributesByKeys("c", two, listCode("getChannel"));
  kit_->getChannelMemberCount(two, listCode("count"));
  test::Pump();
  EXPECT_EQ((std::map<std::string, std::vector<int>>{
                {"query", {2}}, {"subscribe", {2}}, {"unsubscribe", {2}}, {"set", {3}},
                {"addOrUpdate", {3}}, {"delete", {3}}, {"get", {3}}, {"setChannel", {3}},
                {"addOrUpdateChannel", {3}}, {"deleteChannel", {3}}, {"getChannel", {3}},
                {"count", {2}}}),
            got);
}

TEST_F(KitTest, RenewalsWithOneTokenEachGetTheirOwnResult) {
  Make();
  EXPECT_CALL(*service_, renewToken(testing::NotNull())).WillRepeatedly(Return(0));
  // A null token is refused with a report, as the service does.
  EXPECT_CALL(*service_, renewToken(nullptr)).WillOnce(Invoke([&](const char*) {
    handler_->onRenewTokenResult(nullptr, rtm::RENEW_TOKEN_ERR_INVALID_ARGUMENT);
    return 2;
  }));
  std::vector<std::string> got;
  auto record = [&](const char* who) {
    return [&got, who](const std::string& token, auto code) {
      got.push_back(std::string(who) + " " + token + " " + std::to_string(code));
    };
  };
  kit_->renewToken("t", record("first"));
  kit_->renewToken("t", nullptr);
  kit_->renewToken("t", record("third"));
  kit_->renewToken(std::nullopt, record("null"));
  Fire([](auto& h) {
    h.onRenewTokenResult("t", rtm::RENEW_TOKEN_ERR_OK);
    h.onRenewTokenResult("t", rtm::RENEW_TOKEN_ERR_FAILURE);
    h.onRenewTokenResult("t", rtm::RENEW_TOKEN_ERR_NOT_LOGGED_IN);
  });
  test::Pump();
  EXPECT_THAT(got, ElementsAre("null  2", "first t 0", "third t 102"));
}

TEST_F(KitTest, ARefusedLoginAnswersAtOnceAndLeavesTheRunningLoginItsCompletion) {
  Make();
  EXPECT_CALL(*service_, login(testing::StrEq("tok"), testing::StrEq("alice"))).WillOnce(Return(0));
  EXPECT_CALL(*service_, login(nullptr, testing::StrEq("alice"))).WillOnce(Return(8));
  std::vector<std::string> got;
  kit_->loginByToken("tok", "alice",
                     [&](auto code) { got.push_back("first " + std::to_string(code)); });
  kit_->loginByToken(std::nullopt, "alice",
                     [&](auto code) { got.push_back("second " + std::to_string(code)); });
  EXPECT_THAT(got, ElementsAre("second 8"));  // before returning, on the caller's thread
  Fire([](auto& h) { h.onLoginSuccess(); });
  test::Pump();
  EXPECT_THAT(got, ElementsAre("second 8", "first 0"));
  // A login success after a reconnect finds no completion.
  Fire([](auto& h) { h.onLoginSuccess(); });
  test::Pump();
  EXPECT_EQ(2u, got.size());
}

TEST_F(KitTest, LogoutAnswersAtOnceAndPassesOnTheServicesEndOfALoginStillRunning) {
  Make();
  ON_CALL(*service_, login(_, _)).WillByDefault(Return(0));
  // As the service does: the first logout ends the running login.
  EXPECT_CALL(*service_, logout())
      .WillOnce(Invoke([this] {
        handler_->onLoginFailure(rtm::LOGIN_ERR_ABORTED_BY_LOGOUT);
        return 0;
      }))
      .WillOnce(Return(0));
  std::vector<std::string> got;
  kit_->loginByToken("tok", "alice",
                     [&](auto code) { got.push_back("login " + std::to_string(code)); });
  kit_->logout([&](auto code) { got.push_back("logout " + std::to_string(code)); });
  EXPECT_THAT(got, ElementsAre("logout 0"));
  test::Pump();
  EXPECT_THAT(got, ElementsAre("logout 0", "login 102"));
  kit_->logout(nullptr);  // not logged in: nothing more
  test::Pump();
  EXPECT_EQ(2u, got.size());
}

TEST_F(KitTest, AKitTheServiceRefusesIsNotMadeAndItsServiceIsReleased) {
  EXPECT_CALL(*service_, initialize(_, _)).WillOnce(Return(-3));
  EXPECT_CALL(*service_, release(true)).WillOnce(Invoke([this](bool) { delete service_; }));
  EXPECT_EQ(nullptr, Make());
}

TEST_F(KitTest, DestroyReleasesTheServiceOnceThenEveryMethodIsInert) {
  auto recorder = std::make_shared<Recorder>();
  Make(recorder);
  ON_CALL(*service_, login(_, _)).WillByDefault(Return(0));
  ON_CALL(*service_, queryPeersOnlineStatus(_, _, _)).WillByDefault(Return(0));
  std::vector<int> got;
  kit_->loginByToken("tok", "alice", [&](auto code) { got.push_back(code); });
  long long id = 0;
  EXPECT_CALL(*service_, queryPeersOnlineStatus(_, _, _))
      .WillOnce(DoAll(SaveArg<2>(&id), Return(0)));
  kit_->queryPeersOnlineStatus({"bob"}, [&](const auto&, auto code) { got.push_back(code); });
  // The release logs out, which ends the login and answers the outstanding request with 102;
  // the delegate no longer hears of the change.
  rtm::IRtmServiceEventHandler* handler = handler_;
  EXPECT_CALL(*service_, release(true)).WillOnce(Invoke([&](bool) {
    handler->onConnectionStateChanged(rtm::CONNECTION_STATE_DISCONNECTED,
                                      rtm::CONNECTION_CHANGE_REASON_LOGOUT);
    handler->onLoginFailure(rtm::LOGIN_ERR_ABORTED_BY_LOGOUT);
    handler->onQueryPeersOnlineStatusResult(id, nullptr, 0,
                                            rtm::QUERY_PEERS_ONLINE_STATUS_ERR_USER_NOT_LOGGED_IN);
    delete service_;
  }));
  kit_->destroy();
  service_ = nullptr;
  kit_->destroy();
  int calls = 0;
  kit_->loginByToken("tok", "alice", [&](auto) { ++calls; });
  kit_->logout([&](auto) { ++calls; });
  kit_->sendMessage(VoRtmMessage("x"), "bob", {}, [&](auto) { ++calls; });
  kit_->clearLocalUserAttributes([&](auto) { ++calls; });
  EXPECT_EQ(-1, kit_->setParameters("{}"));
  EXPECT_EQ(-1, kit_->setLogFilters(0));
  EXPECT_EQ(nullptr, kit_->createChannel("c", {}));
  EXPECT_TRUE(kit_->destroyChannel("c"));
  test::Pump();
  EXPECT_EQ(0, calls);
  EXPECT_THAT(got, testing::UnorderedElementsAre(102, 102));
  EXPECT_TRUE(recorder->states.empty());
}

TEST_F(KitTest, DelegatesGetOnlyWhatTheyImplementAndNothingOnceGone) {
  auto only = std::make_shared<StatesOnly>();
  Make(only);
  rtm::IMessage* message = service_->createMessage();
  message->setText("hi");
  Fire([&](auto& h) {
    h.onConnectionStateChanged(rtm::CONNECTION_STATE_CONNECTING,
                               rtm::CONNECTION_CHANGE_REASON_LOGIN);
    h.onMessageReceivedFromPeer("bob", message);
    h.onTokenExpired();
  });
  test::Pump();
  EXPECT_THAT(only->states, ElementsAre(rtm::CONNECTION_STATE_CONNECTING));

  // Events in flight when the app drops its delegate reach nobody.
  auto recorder = std::make_shared<Recorder>();
  kit_->setVoRtmDelegate(recorder);
  Fire([&](auto& h) {
    h.onConnectionStateChanged(rtm::CONNECTION_STATE_CONNECTED,
                               rtm::CONNECTION_CHANGE_REASON_LOGIN_SUCCESS);
    h.onMessageReceivedFromPeer("bob", message);
  });
  std::weak_ptr<Recorder> weak = recorder;
  recorder.reset();
  test::Pump();
  EXPECT_TRUE(weak.expired());
  message->release();
}

TEST_F(KitTest, DelegateCallsRunOnTheLoopWithConvertedData) {
  auto recorder = std::make_shared<Recorder>();
  Make(recorder);
  auto* message = new vy::VyMessage(nullptr);
  message->SetTextBytes("a\0b", 3);
  Fire([&](auto& h) {
    h.onMessageReceivedFromPeer(nullptr, message);
    h.onConnectionStateChanged(rtm::CONNECTION_STATE_ABORTED,
                               rtm::CONNECTION_CHANGE_REASON_REMOTE_LOGIN);
  });
  message->release();
  test::Pump();
  EXPECT_TRUE(recorder->onLoop);
  EXPECT_THAT(recorder->messages, ElementsAre(std::string(":a")));
  EXPECT_THAT(recorder->states, ElementsAre(std::make_pair(5, 8)));
}

TEST_F(KitTest, NetTypesBecomeLocalNetChangedTexts) {
  for (int type : {0, 2, 3, 4, 5, 6}) {
    EXPECT_EQ("{\"Cmd\":\"LocalNetChanged\",\"netType\":" + std::to_string(type) + "}",
              KitInternals::localNetChangedText(type));
  }
  Make();
  EXPECT_CALL(*service_,
              setParameters(testing::StrEq("{\"Cmd\":\"LocalNetChanged\",\"netType\":0}")))
      .WillOnce(Return(0));
  KitInternals::network(*kit_, "127.0.0.1", 0);
}

TEST_F(KitTest, ALoginSuccessStartsTheWatcherUnlessALogoutOvertookIt) {
  test::FakeEngines engines;
  auto reachability = std::make_shared<test::FakeReachability>();
  NetWatcherSources sources;
  sources.reachability = reachability->factory();
  sources.pingEngine = engines.factory();
  Make({}, VyRtmNetManager::createWithHost("probe.test", sources));
  // Success with no login completion stored, then a logout before the loop runs.
  Fire([](auto& h) { h.onLoginSuccess(); });
  kit_->logout(nullptr);
  test::Pump();
  EXPECT_TRUE(engines.made.empty());
  Fire([](auto& h) { h.onLoginSuccess(); });
  test::Pump();
  EXPECT_EQ(1u, engines.made.size());
}

class Ringing : public VoRtmCallDelegate {
 public:
  void localInvitationReceivedByPeer(VoRtmCallKit&, const VoRtmLocalInvitation& i) override {
    lines.push_back(i.calleeId() + " " + std::to_string(i.state()) + " " + i.content());
  }
  std::vector<std::string> lines;
};

TEST_F(KitTest, ACallKitForwardsReceivedByPeerOnlyInThatStateAndAnswersEmptyIdsAtOnce) {
  Make();
  EXPECT_CALL(*service_, getRtmCallManager(_)).Times(1).WillOnce(Return(nullptr));
  std::shared_ptr<VoRtmCallKit> calls = kit_->getRtmCallKit();
  ASSERT_NE(nullptr, calls);
  EXPECT_EQ(calls, kit_->getRtmCallKit());
  auto ringing = std::make_shared<Ringing>();
  calls->setCallDelegate(ringing);
  std::shared_ptr<VYRtmCallEventHandle> handle = KitInternals::impl(*calls).callEventHandle;
  auto* invitation = new vy::VyLocalCallInvitation("bob");
  invitation->setContent("hi");
  for (auto state :
       {rtm::LOCAL_INVITATION_STATE_SENT_TO_SERVER, rtm::LOCAL_INVITATION_STATE_RECEIVED_BY_PEER}) {
    invitation->SetState(state);
    worker_->Invoke<void>(RTC_FROM_HERE,
                          [&] { handle->onLocalInvitationReceivedByPeer(invitation); });
  }
  invitation->release();
  test::Pump();
  EXPECT_THAT(ringing->lines, ElementsAre("bob 2 hi"));
  // Without a manager only the empty ids are answered, with 1 and at once.
  std::vector<int> codes;
  calls->sendLocalInvitation(VoRtmLocalInvitation(), [&](int code) { codes.push_back(code); });
  calls->sendLocalInvitation(VoRtmLocalInvitation("bob"), [&](int code) { codes.push_back(code); });
  calls->refuseRemoteInvitation(VoRtmRemoteInvitation(), [&](int code) { codes.push_back(code); });
  EXPECT_THAT(codes, ElementsAre(1, 1));
}

// 4 app threads make requests while the worker answers them and the loop drains: every
// completion runs exactly once and the store ends empty.
TEST_F(KitTest, CompletionsRunOnceUnderConcurrentRequestsAndResults) {
  Make();
  std::mutex mu;
  std::vector<long long> ids;
  ON_CALL(*service_, subscribePeersOnlineStatus(_, _, _))
      .WillByDefault(Invoke([&](const char*[], int, long long& id) {
        std::lock_guard<std::mutex> lock(mu);
        ids.push_back(id);
        return 0;
      }));
  constexpr int kThreads = 4, kEach = 200;
  std::atomic<int> calls{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < kEach; ++i)
        kit_->subscribePeersOnlineStatus({"p"}, [&](auto) { ++calls; });
    });
  }
  std::atomic<bool> done{false};
  std::thread answers([&] {
    size_t next = 0;
    for (bool last = false; !last;) {
      last = done.load();
      std::vector<long long> batch;
      {
        std::lock_guard<std::mutex> lock(mu);
        batch.assign(ids.begin() + static_cast<long>(next), ids.end());
        next = ids.size();
      }
      Fire([&](auto& h) {
        for (long long id : batch) {
          h.onSubscriptionRequestResult(id, rtm::PEER_SUBSCRIPTION_STATUS_ERR_OK);
          h.onSubscriptionRequestResult(id, rtm::PEER_SUBSCRIPTION_STATUS_ERR_OK);
        }
      });
    }
  });
  for (auto& thread : threads) thread.join();
  done.store(true);
  answers.join();
  EXPECT_TRUE(PumpUntil([&] { return calls.load() >= kThreads * kEach; }));
  test::Pump();
  EXPECT_EQ(kThreads * kEach, calls.load());
  EXPECT_EQ(std::set<long long>(ids.begin(), ids.end()).size(), ids.size());
  EXPECT_EQ(0u, Store().size());
}

}  // namespace
}  // namespace vortm

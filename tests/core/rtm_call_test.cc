// Call invitations between real clients through the in-process local test service.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "local_service/json_util.h"
#include "rtc_base/helpers.h"
#include "rtm_feature_handlers.h"
#include "rtm_test_client.h"

namespace rtm_test {
namespace {

using ::testing::ElementsAre;
using ::testing::Each;
using ::testing::IsEmpty;

// A logged-in client with its call manager.
struct Party {
  Party(const local_service::LocalService& svc, const std::string& user) : client(svc, user) {
    manager = client->getRtmCallManager(&calls);
  }
  ~Party() {
    if (manager != nullptr) manager->release();
  }
  // A new invitation to `callee`, sent; the result of sendLocalInvitation.
  int Invite(const std::string& callee, const std::string& content = "") {
    invitation = manager->createLocalCallInvitation(callee.c_str());
    invitation->setContent(content.c_str());
    owned.emplace_back(invitation);
    return manager->sendLocalInvitation(invitation);
  }
  struct Release {
    void operator()(rtm::ILocalCallInvitation* i) const { i->release(); }
  };

  Client client;
  CallLog calls;
  rtm::IRtmCallManager* manager = nullptr;
  rtm::ILocalCallInvitation* invitation = nullptr;  // the last one made
  std::vector<std::unique_ptr<rtm::ILocalCallInvitation, Release>> owned;
};

class RtmCallTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(svc_.Start(&error)) << error;
    alice_.emplace(svc_, "alice");
    bob_.emplace(svc_, "bob");
    ASSERT_TRUE(alice_->client.Login());
    ASSERT_TRUE(bob_->client.Login());
  }
  void TearDown() override { EXPECT_THAT(svc_.Warnings(), IsEmpty()); }

  // The "Field" member of every `cmd` that `user` sent, in order.
  std::vector<std::string> Sent(const std::string& user, const std::string& cmd,
                                const char* field = "CallId") {
    std::vector<std::string> out;
    for (const auto& c : svc_.Log(user)) {
      rapidjson::Document doc;
      if (c.cmd != cmd || !local_service::ParseJsonObject(c.content, &doc)) continue;
      out.push_back(local_service::GetString(doc, field).value_or("<absent>"));
    }
    return out;
  }
  void Push(const std::string& user, const std::string& cmd, const std::string& body) {
    ASSERT_TRUE(svc_.Push(user, cmd, body));
  }
  // Bob receives alice's invitation; returns its call id.
  std::string InviteBob(const std::string& content = "") {
    EXPECT_EQ(0, alice_->Invite("bob", content));
    EXPECT_TRUE(bob_->calls.WaitFor(CallEvent::kRemoteReceived));
    EXPECT_TRUE(alice_->calls.WaitFor(CallEvent::kReceivedByPeer));
    auto ids = Sent("alice", "MakeCall");
    return ids.empty() ? "" : ids[0];
  }

  RunningFakeClock& clock_ = RunningFakeClock::Instance();
  local_service::LocalService svc_{ServiceOptions()};
  // Made once the service has its address.
  std::optional<Party> alice_;
  std::optional<Party> bob_;
};

// Bob answers every invitation from inside onRemoteInvitationReceived, as an app may.
void AnswerOnReceipt(Party& callee, bool accept, const std::string& response) {
  callee.calls.SetOnEvent([&callee, accept, response](const CallEvent& e) {
    if (e.kind != CallEvent::kRemoteReceived) return;
    e.remote->setResponse(response.c_str());
    int result = accept ? callee.manager->acceptRemoteInvitation(e.remote)
                        : callee.manager->refuseRemoteInvitation(e.remote);
    EXPECT_EQ(0, result);
  });
}

TEST_F(RtmCallTest, InvitationIsReceivedAcceptedAndAcknowledged) {
  AnswerOnReceipt(*bob_, true, "see you");
  ASSERT_EQ(0, alice_->Invite("bob", "call me"));
  EXPECT_EQ(5, alice_->manager->sendLocalInvitation(alice_->invitation));
  ASSERT_TRUE(alice_->calls.WaitFor(CallEvent::kLocalAccepted));
  ASSERT_TRUE(bob_->calls.WaitFor(CallEvent::kRemoteAccepted));

  auto bob_events = bob_->calls.Events();
  ASSERT_EQ(2u, bob_events.size());
  EXPECT_EQ("alice", bob_events[0].peer);
  EXPECT_EQ("call me", bob_events[0].text);
  EXPECT_EQ(rtm::REMOTE_INVITATION_STATE_RECEIVED, bob_events[0].state);
  EXPECT_EQ(rtm::REMOTE_INVITATION_STATE_ACCEPTED, bob_events[1].state);
  auto alice_events = alice_->calls.Events();
  ASSERT_EQ(2u, alice_events.size());
  EXPECT_EQ(CallEvent::kReceivedByPeer, alice_events[0].kind);
  EXPECT_EQ("see you", alice_events[1].text);
  EXPECT_EQ(rtm::LOCAL_INVITATION_STATE_ACCEPTED_BY_PEER, alice_->invitation->getState());
  EXPECT_STREQ("see you", alice_->invitation->getResponse());

  // Every command names its sender; the call ids are 32 characters, one per invitation.
  auto ids = Sent("alice", "MakeCall");
  ASSERT_EQ(1u, ids.size());
  EXPECT_THAT(ids[0], ::testing::MatchesRegex("[A-Za-z0-9]{32}"));
  EXPECT_THAT(Sent("bob", "AcceptCall"), ElementsAre(ids[0]));
  EXPECT_THAT(Sent("alice", "AcceptCallAck", "ToUId"), ElementsAre("bob"));
  EXPECT_EQ(0u, svc_.CallCount());
  // Ended: a cancel is too late; carol was never invited.
  EXPECT_EQ(3, alice_->manager->cancelLocalInvitation(alice_->invitation, ""));
  rtm::ILocalCallInvitation* carol = alice_->manager->createLocalCallInvitation("carol");
  EXPECT_EQ(2, alice_->manager->cancelLocalInvitation(carol, ""));
  EXPECT_EQ(1, alice_->manager->cancelLocalInvitation(nullptr, ""));
  carol->release();
}

TEST_F(RtmCallTest, RefusalReachesTheCallerWithItsResponse) {
  AnswerOnReceipt(*bob_, false, "busy");
  ASSERT_EQ(0, alice_->Invite("bob"));
  ASSERT_TRUE(alice_->calls.WaitFor(CallEvent::kLocalRefused));
  ASSERT_TRUE(bob_->calls.WaitFor(CallEvent::kRemoteRefused));
  EXPECT_EQ("busy", alice_->calls.Of(CallEvent::kLocalRefused)[0].text);
  EXPECT_EQ(rtm::REMOTE_INVITATION_STATE_REFUSED,
            bob_->calls.Of(CallEvent::kRemoteRefused)[0].state);
}

TEST_F(RtmCallTest, SecondAnswersAreRefusedWithTheirCodes) {
  struct Case {
    bool first_accept, second_accept;
    int second_result;
  };
  for (Case c : {Case{true, true, 4}, Case{true, false, 4}, Case{false, false, 3}}) {
    SCOPED_TRACE(std::to_string(c.first_accept) + std::to_string(c.second_accept));
    // The acknowledgement is held back so that the first answer is still pending.
    local_service::FaultRule hold;
    hold.user = "bob";
    hold.cmd = c.first_accept ? "AcceptCallAck" : "RejectCallAck";
    int fault = svc_.AddFault(hold);
    std::atomic<rtm::IRemoteCallInvitation*> received{nullptr};
    bob_->calls.SetOnEvent([&](const CallEvent& e) {
      if (e.kind == CallEvent::kRemoteReceived) {
        received.store(e.remote);
        int first = c.first_accept ? bob_->manager->acceptRemoteInvitation(e.remote)
                                   : bob_->manager->refuseRemoteInvitation(e.remote);
        int second = c.second_accept ? bob_->manager->acceptRemoteInvitation(e.remote)
                                     : bob_->manager->refuseRemoteInvitation(e.remote);
        EXPECT_EQ(0, first);
        EXPECT_EQ(c.second_result, second);
      }
    });
    size_t ended = bob_->calls.Events().size() + 2;
    // Alice's last invitation to bob has ended once she heard the answer.
    ASSERT_TRUE(Eventually([&] {
      return alice_->calls.Count(CallEvent::kLocalAccepted) +
                 alice_->calls.Count(CallEvent::kLocalRefused) ==
             alice_->owned.size();
    }));
    ASSERT_EQ(0, alice_->Invite("bob"));
    ASSERT_TRUE(Eventually([&] { return received.load() != nullptr; }));
    // Without its acknowledgement the answer ends by its own deadline.
    clock_.Jump(5000);
    ASSERT_TRUE(Eventually([&] { return bob_->calls.Events().size() >= ended; }));
    svc_.RemoveFault(fault);
    bob_->calls.SetOnEvent(nullptr);
  }
}

TEST_F(RtmCallTest, CallerCancelsAndBothSidesHearOfIt) {
  InviteBob();
  ASSERT_EQ(0, alice_->manager->cancelLocalInvitation(alice_->invitation, ""));
  EXPECT_EQ(rtm::LOCAL_INVITATION_STATE_CANCELING, alice_->invitation->getState());
  EXPECT_EQ(3, alice_->manager->cancelLocalInvitation(alice_->invitation, ""));
  ASSERT_TRUE(bob_->calls.WaitFor(CallEvent::kRemoteCanceled));
  ASSERT_TRUE(alice_->calls.WaitFor(CallEvent::kLocalCanceled));
  EXPECT_EQ(rtm::REMOTE_INVITATION_STATE_CANCELED,
            bob_->calls.Of(CallEvent::kRemoteCanceled)[0].state);
  EXPECT_EQ(1u, alice_->calls.Count(CallEvent::kLocalCanceled));
  EXPECT_EQ(0u, svc_.CallCount());
}

TEST_F(RtmCallTest, AnOfflineCalleeFailsTheInvitationAtOnce) {
  ASSERT_EQ(0, alice_->Invite("nobody"));
  ASSERT_TRUE(alice_->calls.WaitFor(CallEvent::kLocalFailure));
  EXPECT_EQ(rtm::LOCAL_INVITATION_ERR_PEER_OFFLINE,
            alice_->calls.Of(CallEvent::kLocalFailure)[0].code);
  EXPECT_EQ(3, alice_->manager->cancelLocalInvitation(alice_->invitation, ""));
}

TEST_F(RtmCallTest, UnansweredMakeCallIsResentWithItsIdThenFails) {
  local_service::FaultRule drop;
  drop.direction = local_service::Direction::kFromClient;
  drop.user = "alice";
  drop.cmd = "MakeCall";
  svc_.AddFault(drop);
  ASSERT_EQ(0, alice_->Invite("bob"));
  for (size_t n = 2; n <= 3; ++n) {
    clock_.Jump(1500);
    ASSERT_TRUE(svc_.WaitForCommand("alice", "MakeCall", n, 5000));
  }
  auto ids = Sent("alice", "MakeCall");
  EXPECT_THAT(ids, Each(ids[0]));
  clock_.Jump(30000);
  ASSERT_TRUE(alice_->calls.WaitFor(CallEvent::kLocalFailure));
  EXPECT_EQ(rtm::LOCAL_INVITATION_ERR_PEER_NO_RESPONSE,
            alice_->calls.Of(CallEvent::kLocalFailure)[0].code);

  // A status the server could not tell, with no resend after it, fails as offline (1).
  size_t made = Sent("alice", "MakeCall").size();
  ASSERT_EQ(0, alice_->Invite("bob"));
  ASSERT_TRUE(svc_.WaitForCommand("alice", "MakeCall", made + 1, 5000));
  std::string id = Sent("alice", "MakeCall").back();
  Push("alice", "CallStatus", R"({"CallId":")" + id + R"(","Status":0})");
  Push("alice", "CallStatus", R"({"CallId":")" + id + R"(","Status":4})");
  // The pushes are handled before a later round trip's answer.
  long long probe = alice_->client.Send("bob", "probe");
  ASSERT_EQ(rtm::PEER_MESSAGE_ERR_OK, alice_->client.ResultOf(probe));
  clock_.Jump(30000);
  ASSERT_TRUE(alice_->calls.WaitFor(CallEvent::kLocalFailure, 2));
  EXPECT_EQ(rtm::LOCAL_INVITATION_ERR_PEER_OFFLINE,
            alice_->calls.Of(CallEvent::kLocalFailure)[1].code);
}

TEST_F(RtmCallTest, ACalleeSilentAfterReceiptExpiresOnBothSidesOnce) {
  InviteBob();
  clock_.Jump(60000);
  ASSERT_TRUE(alice_->calls.WaitFor(CallEvent::kLocalFailure));
  ASSERT_TRUE(bob_->calls.WaitFor(CallEvent::kRemoteFailure));
  EXPECT_EQ(rtm::LOCAL_INVITATION_ERR_INVITATION_EXPIRE,
            alice_->calls.Of(CallEvent::kLocalFailure)[0].code);
  EXPECT_EQ(rtm::REMOTE_INVITATION_ERR_INVITATION_EXPIRE,
            bob_->calls.Of(CallEvent::kRemoteFailure)[0].code);
  ASSERT_TRUE(svc_.WaitForCommand("alice", "CancelCall", 1, 5000));
  EXPECT_THAT(Sent("alice", "CancelCall", "Reason"), ElementsAre("TimeOut"));
  // Neither side hears anything more.
  long long probe = alice_->client.Send("bob", "probe");
  ASSERT_EQ(rtm::PEER_MESSAGE_ERR_OK, alice_->client.ResultOf(probe));
  EXPECT_EQ(2u, alice_->calls.Events().size());
  EXPECT_EQ(2u, bob_->calls.Events().size());
}

TEST_F(RtmCallTest, AnAcceptanceWithoutAcknowledgementIsResentThenFails) {
  local_service::FaultRule drop;
  drop.user = "bob";
  drop.cmd = "AcceptCallAck";
  svc_.AddFault(drop);
  AnswerOnReceipt(*bob_, true, "");
  ASSERT_EQ(0, alice_->Invite("bob"));
  ASSERT_TRUE(alice_->calls.WaitFor(CallEvent::kLocalAccepted));
  for (size_t n = 2; n <= 3; ++n) {
    clock_.Jump(1000);
    ASSERT_TRUE(svc_.WaitForCommand("bob", "AcceptCall", n, 5000));
  }
  clock_.Jump(5000);
  ASSERT_TRUE(bob_->calls.WaitFor(CallEvent::kRemoteFailure));
  EXPECT_EQ(rtm::REMOTE_INVITATION_ERR_ACCEPT_FAILURE,
            bob_->calls.Of(CallEvent::kRemoteFailure)[0].code);
  EXPECT_EQ(0u, bob_->calls.Count(CallEvent::kRemoteAccepted));
  // Alice heard of the acceptance once, and refused the resends she had no call for.
  EXPECT_EQ(1u, alice_->calls.Count(CallEvent::kLocalAccepted));
}

TEST_F(RtmCallTest, CancelReasonsEndTheRemoteInvitationWithTheirCodes) {
  struct Case {
    const char* reason;
    CallEvent::Kind kind;
    int code;
  };
  const Case cases[] = {{"Offline", CallEvent::kRemoteFailure, 1},
                        {"TimeOut", CallEvent::kRemoteFailure, 3},
                        {"bye", CallEvent::kRemoteCanceled, 0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.reason);
    size_t before = bob_->calls.Events().size();
    std::string id = "call-" + std::string(c.reason);
    Push("bob", "MakeCall",
         R"({"CallId":")" + id + R"(","FromUId":"carol","ToUId":"bob","Content":""})");
    ASSERT_TRUE(Eventually([&] { return bob_->calls.Events().size() == before + 1; }));
    Push("bob", "CancelCall",
         R"({"CallId":")" + id + R"(","FromUId":"carol","ToUId":"bob","Reason":")" +
             c.reason + R"("})");
    ASSERT_TRUE(Eventually([&] { return bob_->calls.Events().size() == before + 2; }));
    EXPECT_EQ(c.kind, bob_->calls.Events().back().kind);
    EXPECT_EQ(c.code, bob_->calls.Events().back().code);
  }
  // A cancel or an answer for a call nobody made is acknowledged with -1.
  Push("bob", "CancelCall", R"({"CallId":"x","FromUId":"carol","ToUId":"bob","Reason":""})");
  Push("bob", "AcceptCall", R"({"CallId":"x","FromUId":"carol","ToUId":"bob","Response":""})");
  ASSERT_TRUE(svc_.WaitForCommand("bob", "AcceptCallAck", 1, 5000));
  EXPECT_THAT(Sent("bob", "CancelCallAck", "CallId"), ::testing::Contains("x"));
  for (const auto& c : svc_.Log("bob")) {
    if (c.content.find(R"("CallId":"x")") != std::string::npos) {
      EXPECT_THAT(c.content, ::testing::HasSubstr(R"("Code":-1)")) << c.cmd;
    }
  }
}

TEST_F(RtmCallTest, ACallIdThatCannotBeMadeRefusesTheSend) {
  class FailingGenerator : public rtc::RandomGenerator {
   public:
    bool Init(const void*, size_t) override { return true; }
    // Only the call id's 32 bytes fail; nonces still come.
    bool Generate(void* buf, size_t len) override { return len != 32 && secure_.Generate(buf, len); }
    rtc::SecureRandomGenerator secure_;
  };
  struct Restore {
    ~Restore() { rtc::SetRandomTestMode(false); }
  } restore;
  rtc::SetRandomGeneratorForTesting(std::make_unique<FailingGenerator>());
  EXPECT_EQ(-1, alice_->Invite("bob"));
  rtc::SetRandomTestMode(false);
  // Nothing went out, and the callee is free for the next attempt.
  EXPECT_EQ(0, alice_->Invite("bob"));
  ASSERT_TRUE(bob_->calls.WaitFor(CallEvent::kRemoteReceived));
  EXPECT_EQ(1u, Sent("alice", "MakeCall").size());
}

TEST_F(RtmCallTest, TwoInvitationsPastTheirDeadlinesEndInConsecutivePasses) {
  local_service::FaultRule drop;
  drop.direction = local_service::Direction::kFromClient;
  drop.user = "alice";
  drop.cmd = "MakeCall";
  svc_.AddFault(drop);
  ASSERT_EQ(0, alice_->Invite("bob"));
  ASSERT_EQ(0, alice_->Invite("carol"));
  clock_.Jump(30000);
  ASSERT_TRUE(alice_->calls.WaitFor(CallEvent::kLocalFailure, 2));
  auto failures = alice_->calls.Of(CallEvent::kLocalFailure);
  EXPECT_EQ("bob", failures[0].peer);
  EXPECT_EQ("carol", failures[1].peer);
}

// A thousand invitations, eight at a time; the app releases each on its own thread while the
// worker still holds it.
TEST_F(RtmCallTest, ManyInvitationsEndAndAreReleasedFromAnotherThread) {
  constexpr int kCallees = 8;
  constexpr int kInvitations = 1000;
  std::vector<std::unique_ptr<Party>> callees;
  std::atomic<int> ended[kCallees] = {};
  for (int k = 0; k < kCallees; ++k) {
    callees.push_back(std::make_unique<Party>(svc_, "callee" + std::to_string(k)));
    ASSERT_TRUE(callees.back()->client.Login());
    AnswerOnReceipt(*callees.back(), k % 2 == 0, "");
  }
  alice_->calls.SetOnEvent([&](const CallEvent& e) {
    ended[std::stoi(e.peer.substr(6))].fetch_add(
        e.kind == CallEvent::kLocalAccepted || e.kind == CallEvent::kLocalRefused ? 1 : 0);
  });
  for (int i = 0; i < kInvitations; ++i) {
    const int k = i % kCallees;
    ASSERT_TRUE(Eventually([&] { return ended[k].load() == i / kCallees; })) << i;
    rtm::ILocalCallInvitation* invitation =
        alice_->manager->createLocalCallInvitation(callees[k]->client.user().c_str());
    ASSERT_EQ(0, alice_->manager->sendLocalInvitation(invitation));
    invitation->release();  // the manager's reference keeps it until it ends
  }
  for (int k = 0; k < kCallees; ++k) {
    ASSERT_TRUE(Eventually([&] {
      return callees[k]->calls.Count(CallEvent::kRemoteAccepted) +
                 callees[k]->calls.Count(CallEvent::kRemoteRefused) ==
             static_cast<size_t>(kInvitations / kCallees);
    }));
  }
  EXPECT_EQ(0u, alice_->calls.Count(CallEvent::kLocalFailure));
  ASSERT_TRUE(Eventually([&] { return svc_.CallCount() == 0; }));
}

TEST_F(RtmCallTest, ManagerReleasedWithInvitationsPendingFreesThem) {
  ASSERT_EQ(0, alice_->Invite("bob"));
  ASSERT_TRUE(bob_->calls.WaitFor(CallEvent::kRemoteReceived));
  // Released from inside a callback: deleted once off the worker's stack.
  std::atomic<bool> released{false};
  bob_->calls.SetOnEvent([&](const CallEvent& e) {
    if (e.kind == CallEvent::kRemoteCanceled) {
      bob_->manager->release();
      bob_->manager = nullptr;
      released.store(true);
    }
  });
  ASSERT_EQ(0, alice_->manager->cancelLocalInvitation(alice_->invitation, ""));
  ASSERT_TRUE(Eventually([&] { return released.load(); }));
  ASSERT_EQ(0, alice_->Invite("carol"));
  alice_->manager->release();
  alice_->manager = nullptr;
  // A new manager starts empty.
  CallLog again;
  rtm::IRtmCallManager* manager = alice_->client->getRtmCallManager(&again);
  ASSERT_NE(nullptr, manager);
  rtm::ILocalCallInvitation* invitation = manager->createLocalCallInvitation("carol");
  EXPECT_EQ(0, manager->sendLocalInvitation(invitation));
  invitation->release();
  manager->release();
}

TEST_F(RtmCallTest, ManagerOutlivesItsServiceAndAnswers101) {
  rtm::IRtmService* service = createRtmService();
  CallLog calls;
  rtm::IRtmCallManager* orphan = service->getRtmCallManager(&calls);
  EXPECT_EQ(orphan, service->getRtmCallManager(nullptr));
  rtm::ILocalCallInvitation* invitation = orphan->createLocalCallInvitation("bob");
  // Not logged in: the invitation waits, unsent, for its deadline.
  ASSERT_EQ(0, orphan->sendLocalInvitation(invitation));
  service->release(true);
  EXPECT_EQ(101, orphan->sendLocalInvitation(invitation));
  EXPECT_EQ(101, orphan->cancelLocalInvitation(invitation, ""));
  clock_.Jump(30000);
  orphan->release();
  invitation->release();
  EXPECT_THAT(calls.Events(), IsEmpty());
}

}  // namespace
}  // namespace rtm_test

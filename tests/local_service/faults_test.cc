// Every fault control, observed on the wire by a raw client; bad input from a client; the
// gateway and offline modes; the service's life cycle, and the program that runs it.
#include <gmock/gmock.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <regex>
#include <sstream>

#include <httplib.h>

#include "raw_client.h"
#include "tests/support/temp_dir.h"

namespace local_service_test {
namespace {

using local_service::FaultAction;
using local_service::FrameReader;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

class FaultTest : public ServiceTest {
 protected:
  void SetUp() override {
    ServiceTest::SetUp();
    ASSERT_TRUE(a_.LoginVia(svc_, "alice"));
  }
  void Fault(FaultAction action, int64_t value = 0, const std::string& cmd = "CheckNetStatusAck",
             local_service::Direction direction = local_service::Direction::kToClient) {
    svc_.AddFault({.direction = direction,
                   .user = "alice",
                   .cmd = cmd,
                   .action = action,
                   .value = value,
                   .times = 1});
  }
  void Ask(std::initializer_list<int> times) {
    for (int t : times) {
      ASSERT_TRUE(a_.Send("CheckNetStatus", "{\"Time\":" + std::to_string(t) + "}"));
    }
  }
  // The "Time" of the next `n` answers to Ask.
  std::vector<int64_t> Answers(int n) {
    std::vector<int64_t> times;
    while (n-- > 0) times.push_back(IntOf(BodyOf(a_.ReadCmd("CheckNetStatusAck")), "Time"));
    return times;
  }
  Packet Next() { return a_.ReadCmd("CheckNetStatusAck").value_or(Packet()); }
  RawClient a_;
};

TEST_F(FaultTest, EachFaultChangesWhatTheClientGets) {
  Fault(FaultAction::kDrop);
  Ask({1, 2});
  EXPECT_THAT(Answers(1), ElementsAre(2));
  Fault(FaultAction::kDuplicate);
  Ask({3});
  EXPECT_THAT(Answers(2), ElementsAre(3, 3));
  Fault(FaultAction::kDelay, 400);
  auto start = std::chrono::steady_clock::now();
  Ask({4, 5});
  EXPECT_THAT(Answers(2), ElementsAre(5, 4));
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(400));
  // Held answers wait for ReleaseHeld, then leave in their order: the oldest first when only
  // some are let go.
  svc_.AddFault(
      {.user = "alice", .cmd = "CheckNetStatusAck", .action = FaultAction::kHold, .times = 3});
  Ask({9, 10, 11, 12});
  EXPECT_THAT(Answers(1), ElementsAre(12));
  EXPECT_EQ(1, svc_.ReleaseHeld("alice", 1));
  EXPECT_THAT(Answers(1), ElementsAre(9));
  EXPECT_EQ(2, svc_.ReleaseHeld("alice", 5));
  EXPECT_THAT(Answers(2), ElementsAre(10, 11));
  EXPECT_EQ(0, svc_.ReleaseHeld("alice"));
  // An inbound drop swallows the command, which is still logged as received.
  Fault(FaultAction::kDrop, 0, "CheckNetStatus", local_service::Direction::kFromClient);
  Ask({6, 7});
  EXPECT_THAT(Answers(1), ElementsAre(7));
  EXPECT_TRUE(svc_.WaitForCommand("alice", "CheckNetStatus", 7, kWaitMs));
  Fault(FaultAction::kReplaceField, 7, "RenewAcsToken");
  ASSERT_TRUE(a_.Send("RenewAcsToken", R"({"AcsToken":"t"})"));
  EXPECT_EQ(R"({"Code":7})", BodyOf(a_.ReadCmd("RenewAcsToken")));
  Fault(FaultAction::kPlain);
  Ask({8});
  EXPECT_EQ(R"({"Cmd":"CheckNetStatusAck","Encrypt":false,"Content":"{\"Time\":8}"})", Next().raw);
  for (const auto& [action, result] :
       {std::pair(FaultAction::kCorruptSignature, local_service::kCryptBadSignature),
        std::pair(FaultAction::kWrongAppId, local_service::kCryptAppIdMismatch),
        std::pair(FaultAction::kBadBase64, local_service::kCryptBadSignature),
        std::pair(FaultAction::kBadPadding, local_service::kCryptDecryptFailed),
        std::pair(FaultAction::kOversizeInnerLength, local_service::kCryptTooShort)}) {
    Fault(action);
    Ask({9});
    EXPECT_EQ(result, Next().crypt_result) << static_cast<int>(action);
  }
}

TEST_F(FaultTest, FramingFaultsShapeTheBytes) {
  // '$' framing sticks to the connection; '#' overrides it for one packet.
  Fault(FaultAction::kDollarFraming);
  for (char marker : {'$', '#', '$'}) {
    if (marker == '#') Fault(FaultAction::kHashFraming);
    Ask({1});
    EXPECT_EQ(marker, Next().marker);
  }
  svc_.Coalesce("alice", 2);
  Ask({2, 3});
  FrameReader reader;
  reader.Feed(a_.ReadRaw(1));
  std::string payload, error;
  EXPECT_EQ(FrameReader::Status::kPacket, reader.Next(&payload, &error));
  EXPECT_EQ(FrameReader::Status::kPacket, reader.Next(&payload, &error));
  Fault(FaultAction::kBadFrameLength, 3);
  Ask({4});
  EXPECT_EQ(std::string("$\0\3", 3), a_.ReadRaw(5).substr(0, 3));
  Fault(FaultAction::kGarbageBefore, 5);
  Ask({5});
  EXPECT_EQ("xyzxy$", a_.ReadRaw(6).substr(0, 6));
  // A split packet comes 40 bytes at a time; a reader late by the whole packet gets it in one
  // read, so some attempt's first read must fall short of its packet.
  size_t first = 0, whole = 0;
  for (int attempt = 0; attempt < 20 && first == whole; ++attempt) {
    Fault(FaultAction::kSplit, 40);
    Ask({6});
    std::string bytes = a_.ReadRaw(1);
    first = whole = bytes.size();
    FrameReader split;
    split.Feed(bytes);
    while (!bytes.empty() && split.Next(&payload, &error) == FrameReader::Status::kNeedMore) {
      bytes = a_.ReadRaw(1);
      whole += bytes.size();
      split.Feed(bytes);
    }
  }
  EXPECT_TRUE(first < whole && first % 40 == 0) << first << " of " << whole;
}

TEST_F(FaultTest, PushesKicksExpiriesAndClosesReachTheUser) {
  svc_.SetDeterministic(true);
  for (auto form : {local_service::PushForm::kDefault, local_service::PushForm::kDefault,
                    local_service::PushForm::kPlain}) {
    ASSERT_TRUE(svc_.Push("alice", "AnyCmd", R"({"x":1})", form));
  }
  EXPECT_FALSE(svc_.Push("nobody", "AnyCmd", "{}"));
  auto one = a_.Read().value_or(Packet()), two = a_.Read().value_or(Packet()),
       plain = a_.Read().value_or(Packet());
  EXPECT_TRUE(one.encrypted && !plain.encrypted && one.body == plain.body);
  EXPECT_EQ(one.raw, two.raw);
  EXPECT_EQ("AAAAAAAAAA", StrOf(one.raw, "Nonce"));

  ASSERT_TRUE(svc_.Kick("alice"));
  EXPECT_THAT(a_.UntilClosed(), ElementsAre("ForceOffline"));
  ASSERT_TRUE(a_.LoginVia(svc_, "alice"));
  ASSERT_TRUE(svc_.Expire("alice"));
  EXPECT_THAT(a_.UntilClosed(), ElementsAre("AcsTokenWillExpire", "AcsTokenDidExpire"));
  for (auto mode : {local_service::CloseMode::kRst, local_service::CloseMode::kFin}) {
    ASSERT_TRUE(a_.LoginVia(svc_, "alice"));
    ASSERT_TRUE(svc_.Close("alice", mode));
    bool reset = mode != local_service::CloseMode::kRst;
    EXPECT_TRUE(a_.WaitClosed(&reset));
    EXPECT_EQ(mode == local_service::CloseMode::kRst, reset);
  }
  svc_.SetCloseOnAccept(true);
  ASSERT_TRUE(a_.Connect(svc_.address(), svc_.tcp_port()));
  EXPECT_TRUE(a_.WaitClosed());
}

TEST_F(FaultTest, BadInputIsRefusedWithALogLine) {
  // Deep nesting too: the parser must not recurse into it.
  for (const std::string& payload :
       {std::string("not json at all"), std::string(R"({"Encrypt":false,"Content":""})"),
        std::string(R"({"Cmd":"X","Encrypt":1,"Content":""})"), std::string(100000, '[')}) {
    ASSERT_TRUE(a_.SendPayload(payload));
  }
  ASSERT_TRUE(a_.Send("CheckNetStatus", "[1,2]"));
  ASSERT_TRUE(a_.Send("SendMsgToPeer", R"({"MsgId":"1","ToUId":"bob"})"));
  ASSERT_TRUE(a_.Send("NoSuchCommand", "{}"));
  for (local_service::EnvelopeFaults faults :
       {local_service::EnvelopeFaults{.corrupt_signature = true},
        local_service::EnvelopeFaults{.cipher = local_service::CipherFault::kWrongAppId}}) {
    ASSERT_TRUE(a_.SendPayload(local_service::BuildEncryptedEnvelope(
        local_service::MsgCrypt(kAppId), "CheckNetStatus", R"({"Time":1})", "1", "n", faults)));
  }
  // None of them is answered, and the connection goes on.
  EXPECT_THAT(a_.Barrier(), ElementsAre());
  for (const char* warning :
       {"refused envelope", "no \"Cmd\" string", "no boolean \"Encrypt\"",
        "refused CheckNetStatus: body not a JSON object",
        "refused SendMsgToPeer: \"MsgId\" is not a integer", "unknown command \"NoSuchCommand\"",
        "refused CheckNetStatus: signature does not match", "app id trailer differs"}) {
    EXPECT_TRUE(HasWarning(svc_, warning)) << warning;
  }
  // Broken frames close the connection.
  for (const auto& [bytes, warning] :
       {std::pair(local_service::EncodeHeader(3) + "abc", "packet length 3 below"),
        std::pair(local_service::EncodeHeader(0x7FFFFFFF), "above"),
        std::pair(std::string("xyz"), "packet marker was due")}) {
    ASSERT_TRUE(a_.LoginVia(svc_, "alice"));
    ASSERT_TRUE(a_.SendBytes(bytes));
    EXPECT_TRUE(a_.WaitClosed()) << warning;
    EXPECT_TRUE(HasWarning(svc_, warning)) << warning;
  }
}

TEST_F(FaultTest, GatewayAndOfflineModesShapeTheAnswers) {
  using local_service::GatewayMode;
  // Code, port and whether the body is empty; each mode once, then the normal answer again.
  for (const auto& [mode, answer] :
       {std::pair(GatewayMode::kCode, "17 0 0"), std::pair(GatewayMode::kEmptyBody, "-1 0 1"),
        std::pair(GatewayMode::kInvalidJson, "-1 0 0"),
        std::pair(GatewayMode::kNoType1Address, "0 0 0")}) {
    svc_.SetGatewayMode(mode, 17, 1);
    auto gw = AskGateway(svc_, "u");
    EXPECT_EQ(answer, std::to_string(gw.code) + " " + std::to_string(gw.port) + " " +
                          std::to_string(gw.body.empty()));
    EXPECT_EQ(0, AskGateway(svc_, "u").code);
  }
  svc_.SetGatewayMode(GatewayMode::kClosedPort, 0, 1);
  auto closed = AskGateway(svc_, "u");
  ASSERT_NE(0, closed.port);
  RawClient c;
  EXPECT_FALSE(c.Connect(closed.addr, closed.port));
  EXPECT_EQ(10, svc_.gateway_requests());

  // An endless answer keeps coming for as long as it is read, and notes the client giving up.
  svc_.SetGatewayMode(GatewayMode::kEndlessBody, 0, 1);
  httplib::Request endless;
  endless.method = "POST", endless.path = kGatewayPath;
  int64_t got = 0;
  endless.content_receiver = [&](const char*, size_t n, uint64_t, uint64_t) {
    return (got += n) < (1 << 20);
  };
  httplib::Client(svc_.address(), svc_.http_port()).send(endless);
  for (int i = 0; i < kWaitMs && svc_.endless_answers_ended() == 0; i += 10) usleep(10000);
  EXPECT_EQ(1, svc_.endless_answers_ended());
  EXPECT_GE(std::min(got, svc_.endless_bytes()), 1 << 20);

  svc_.StoreOffline(kAppId, "bob", "alice", 5, 1, "m");
  auto fetch = [](const std::string& session) {
    return R"({"appId":")" + std::string(kAppId) + R"(","uid":"bob","sessId":")" + session +
           R"("})";
  };
  // A fetch naming another user's session takes nothing of the user's.
  const std::string other = fetch(AskGateway(svc_, "alice").session),
                    request = fetch(AskGateway(svc_, "bob").session);
  EXPECT_EQ(R"({"code":2})", HttpPost(svc_, kOfflinePath, other).value_or("<none>"));
  EXPECT_EQ(1u, svc_.OfflineCount(kAppId, "bob"));
  using local_service::OfflineMode;
  for (const auto& [mode, answer] :
       {std::pair(OfflineMode::kCode, R"({"code":9})"),
        std::pair(OfflineMode::kDataNotArray, R"({"code":0,"data":{}})"),
        std::pair(OfflineMode::kEmptyBody, ""),
        std::pair(
            OfflineMode::kMsgIdString,
            R"({"code":0,"data":[{"msgId":"5","msgFrom":"alice","msgType":1,"msgBody":"m"}]})")}) {
    svc_.SetOfflineMode(mode, 9, 1);
    EXPECT_EQ(answer, HttpPost(svc_, kOfflinePath, request).value_or("<none>"));
  }
  EXPECT_EQ(5, svc_.offline_requests());

  // A held request outlasts the client's patience, and Stop does not wait for it.
  svc_.SetGatewayMode(GatewayMode::kNoAnswer, 60000);
  EXPECT_FALSE(HttpPost(svc_, kGatewayPath, "{}", 500));
  auto start = std::chrono::steady_clock::now();
  svc_.Stop();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
}

TEST(ServiceLifecycleTest, StartsOnAFreeLoopbackAddressRestartsAndServesIpv6AndControl) {
  local_service::Options o{.address = "auto", .listen_ipv6 = true, .control_http = true};
  local_service::LocalService one(o), two(o);
  std::string error;
  ASSERT_TRUE(one.Start(&error)) << error;
  ASSERT_TRUE(two.Start(&error)) << error;
  EXPECT_NE(one.address(), two.address());
  EXPECT_EQ(0, AskGateway(two.address(), 7080, "u").code);
  EXPECT_THAT(two.GatewayHosts(), ElementsAre(two.address() + ":7080"));
  o.address = "192.0.2.1";
  EXPECT_FALSE(local_service::LocalService(o).Start(&error));
  EXPECT_THAT(error, HasSubstr("not a loopback address"));

  RawClient a;
  ASSERT_TRUE(a.LoginVia(one, "alice"));
  one.Stop();
  EXPECT_TRUE(a.WaitClosed());
  ASSERT_TRUE(one.Start());
  one.SetGatewayMode(local_service::GatewayMode::kIpv6Address);
  EXPECT_EQ("::1", AskGateway(one, "alice").addr);
  ASSERT_TRUE(a.LoginVia(one, "alice"));
  auto control = [&](const std::string& op, const std::string& body) {
    return HttpPost(one, "/control/" + op, body).value_or("<none>");
  };
  EXPECT_EQ(R"({"ok":true})", control("push", R"({"user":"alice","cmd":"Hi","body":"{\"n\":1}"})"));
  EXPECT_EQ(R"({"n":1})", BodyOf(a.ReadCmd("Hi")));
  EXPECT_EQ(R"({"ok":true})", control("kick", R"({"user":"alice"})"));
  EXPECT_TRUE(a.ReadCmd("ForceOffline"));
  // Every refusal says why.
  for (const auto& [op, body, why] :
       {std::tuple("kick", R"({"user":"alice"})", R"(user \"alice\" has no connection)"),
        std::tuple("gateway", R"({"mode":"x"})", R"(unknown mode \"x\")"),
        std::tuple("fault", R"({"action":"x"})", R"(unknown action \"x\")"),
        std::tuple("x", "{}", R"(unknown operation \"x\")"), std::tuple("push", "{", "bad JSON")}) {
    EXPECT_EQ(std::string(R"({"ok":false,"error":")") + why + "\"}", control(op, body));
  }
}

TEST(ProgramTest, ServesWarnsOfTheOfflinePortAndStopsOnSigterm) {
  // The program is built next to the tests' folder.
  std::string program(4096, '\0');
  program.resize(std::max<ssize_t>(0, readlink("/proc/self/exe", program.data(), 4095)));
  program = program.substr(0, program.rfind('/', program.rfind('/') - 1)) + "/vortm-local-service";
  if (access(program.c_str(), X_OK) != 0) GTEST_SKIP() << "no program at " << program;
  vy_test::TempDir dir;
  // The shell's pid, printed first, is the program's after the exec.
  FILE* out =
      popen(("echo $$; exec " + program + " --address 127.0.0.1 --http-port 0 2>" + dir.File("err"))
                .c_str(),
            "r");
  ASSERT_NE(nullptr, out);
  char pid[32] = {}, banner[512] = {};
  ASSERT_NE(nullptr, fgets(pid, sizeof(pid), out));
  ASSERT_NE(nullptr, fgets(banner, sizeof(banner), out));
  std::cmatch m;
  ASSERT_TRUE(std::regex_search(banner, m, std::regex(R"(HTTP 127\.0\.0\.1:(\d+), commands)")))
      << banner;
  RawClient a;
  ASSERT_TRUE(a.LoginVia("127.0.0.1", std::stoi(m[1]), "alice"));
  ASSERT_EQ(0, kill(atoi(pid), SIGTERM));
  int status = pclose(out);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_TRUE(a.WaitClosed());
  // The HTTP port is not 7080, where clients fetch their offline messages.
  std::stringstream err;
  err << std::ifstream(dir.File("err")).rdbuf();
  EXPECT_THAT(err.str(), HasSubstr("clients fetch offline messages from port 7080 of the same"));
}

}  // namespace
}  // namespace local_service_test

// What travels between the library and its servers: the texts it sends and the readers of
// what comes back (gateway, parameters, offline answers, presence replies, JSON members), the
// small state kept beside them (request table, rate limiter, message ids, random texts), the
// message crypt (checked against the openssl command line as an independent peer), envelopes,
// the stream framing, and the fuzz targets over their kept inputs.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "core/js_buffer.h"
#include "core/json_util.h"
#include "core/rand_str.h"
#include "core/rate_limiter.h"
#include "core/request_table.h"
#include "core/request_wire.h"
#include "core/session_wire.h"
#include "fuzz/corpus_replay.h"
#include "fuzz/crypt_fuzz_target.h"
#include "fuzz/http_fuzz_target.h"
#include "fuzz/json_fuzz_target.h"
#include "fuzz/recv_fuzz_target.h"
#include "fuzz/wire_fuzz_target.h"
#include "rtc_base/base/time_utils.h"
#include "rtc_base/crypto/helpers.h"
#include "tests/support/temp_dir.h"

namespace vy {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

const std::string kAppId = "0123456789abcdef0123456789abcdef";

// Parses `text` in place, as replies are read.
struct Parsed {
  explicit Parsed(const std::string& text) : str(text.data(), static_cast<int>(text.size())) {
    ok = ParseJsonInsitu(str, doc);
  }
  JsonStr str;
  rapidjson::Document doc;
  bool ok = false;
};

TEST(WireTest, BodiesKeepTheirKeyOrderAndLeaveOutWhatIsUnset) {
  rtm::SendMessageOptions none, both;
  both.enableOfflineMessaging = both.enableHistoricalMessaging = true;
  const std::pair<std::string, std::string> cases[] = {
      {BuildGatewayBody("app", "al", "t"),
       R"({"cType":2,"appId":"app","uid":"al","token":"t","wss":false})"},
      {BuildGatewayBody("app", "al", ""), R"({"cType":2,"appId":"app","uid":"al","wss":false})"},
      {BuildLoginBody("a\"b", "S", "", "s"),
       R"({"UserId":"a\"b","UserSId":"S","SessionId":"s",)"
       R"("SdkVer":"1.0.2.0","ClientSyncCall":true,"ListenUserStatus":true})"},
      {BuildSendMsgToPeerBody(5, "a", "b", 2, std::string("x\0y", 3), none),
       R"({"MsgId":5,"FromUId":"a","ToUId":"b","MsgType":2,"MsgBody":"x"})"},
      {BuildSendMsgToPeerBody(5, "a", "b", 1, "x", both),
       R"({"MsgId":5,"FromUId":"a","ToUId":"b","MsgType":1,"MsgBody":"x","OfflineMsg":true,"HistoryMsg":true})"},
  };
  for (const auto& [got, want] : cases) EXPECT_EQ(want, got);
}

TEST(WireTest, GatewayAnswersGiveTheFirstUsableAddressOfType1) {
  const std::string max_session(kMaxSessionIdBytes, 's'), long_addr(kMaxServerAddrBytes + 1, 'h');
  auto with_session = [](const std::string& session) {
    return R"({"code":0,"sessionid":")" + session +
           R"(","addresses":[{"type":1,"addr":"a","port":1}]})";
  };
  // Each answer read as "kind address port", or "kind  code" for the kinds without an address.
  const std::pair<std::string, std::string> cases[] = {
      {R"({"code":0,"sessionid":"s","addresses":[7,{"type":2,"addr":"10.0.0.1","port":1},)"
       R"({"type":"1","addr":"a","port":1},{"type":1,"addr":5,"port":1},{"type":1,"addr":"b","port":"9"},)"
       R"({"type":1,"addr":"c","port":70000},{"type":1,"addr":"c","port":0},{"type":1.5,"addr":"d","port":1},)"
       R"({"type":1,"addr":"a\u0000b","port":2},{"type":1,"addr":")" +
           long_addr +
           R"(","port":3},)"
           R"({"type":1,"addr":"ok","port":65535},{"type":1,"addr":"later","port":5}]})",
       "3 ok 65535"},
      {with_session(max_session), "3 a 1"},
      {with_session(max_session + "s"), "0  0"},
      {R"({"code":0,"sessionid":"s","addresses":[{"type":2,"addr":"a","port":1}]})", "2  0"},
      {R"({"code":0,"addresses":{"type":1}})", "2  0"},
      {R"({"code":7})", "1  7"},
      {R"({"code":"0"})", "1  1"},
      {R"({"code":-3})", "1  -3"},
      {"[1,2]", "0  -1"},
      {std::string(100, '['), "0  -1"},
  };
  for (const auto& [text, want] : cases) {
    GatewayAnswer a = ParseGatewayAnswer(text.data(), text.size());
    EXPECT_EQ(want, std::to_string(a.kind) + " " + a.address + " " +
                        std::to_string(a.kind == GatewayAnswer::kAddress ? a.port : a.code));
  }
  EXPECT_EQ(GatewayAnswer::kInvalid, ParseGatewayAnswer(nullptr, 5).kind);
}

TEST(WireTest, ServiceParametersRefuseAMalformedHostOrAPortOutsideItsRange) {
  ServiceParameters p =
      ParseServiceParameters(R"({"Cmd":"ConfPriCloudAddr","ServerAdd":"127.0.0.5","Port":65535})");
  EXPECT_EQ("1 127.0.0.5 65535",
            std::to_string(p.kind) + " " + p.host + " " + std::to_string(p.port));
  p = ParseServiceParameters(R"({"Cmd":"ConfPriCloudAddr","Port":1})");
  EXPECT_EQ("1  1", std::to_string(p.kind) + " " + p.host + " " + std::to_string(p.port));
  p = ParseServiceParameters(R"({"Cmd":"LocalNetChanged","netType":0})");
  EXPECT_EQ("2 0", std::to_string(p.kind) + " " + std::to_string(p.net_type));
  EXPECT_EQ(ServiceParameters::kUnknown, ParseServiceParameters(R"({"Cmd":"Other"})").kind);
  for (const char* port : {"0", "-1", "65536", "\"80\"", "80.5", "null", "2147483648"}) {
    std::string text = std::string(R"({"Cmd":"ConfPriCloudAddr","Port":)") + port + "}";
    EXPECT_EQ(ServiceParameters::kInvalid, ParseServiceParameters(text.c_str()).kind) << port;
  }
  EXPECT_EQ(ServiceParameters::kInvalid, ParseServiceParameters("not json").kind);
  EXPECT_EQ(ServiceParameters::kInvalid, ParseServiceParameters(nullptr).kind);
  // "[::1]" names the host "::1", which URLs carry in brackets (the kit test logs in through it).
  p = ParseServiceParameters(R"({"Cmd":"ConfPriCloudAddr","ServerAdd":"[::1]"})");
  EXPECT_EQ("::1 http://[::1]:80/x", p.host + " " + FormatServiceUrl("http://%s:%d/x", "::1", 80));
  // Host names and addresses are stored as given; anything else would reach the resolver as a
  // name, and is refused.
  const std::string a63(63, 'a'), labels = a63 + "." + a63 + "." + a63 + ".";  // 192 bytes
  // Empty selects the built-in gateway; only a last label of digits alone must be an address.
  const std::string accepted[] = {"::1",       "::ffff:127.0.0.1",
                                  "127.0.0.1", "gw.example-1.com.",
                                  "my_gw",     labels + std::string(61, 'd'),
                                  "",          "gw.example1",
                                  "host.a1"};
  const std::string refused[] = {"[::1",
                                 "::1]",
                                 "[]",
                                 "[127.0.0.1]",
                                 "[::1]:7080",
                                 "1.2.3",
                                 "127.0.0.1:7080",
                                 "fe80::1%eth0",
                                 "gw example",
                                 R"(gw\n)",
                                 R"(gw\u0000x)",
                                 "gw..example",
                                 "-gw",
                                 "gw.exämple",
                                 "256.0.0.1",
                                 a63 + "a.b",
                                 labels + std::string(62, 'd')};
  auto stored = [](const std::string& host) {
    ServiceParameters q = ParseServiceParameters(
        (R"({"Cmd":"ConfPriCloudAddr","ServerAdd":")" + host + "\"}").c_str());
    return q.kind == ServiceParameters::kPrivateGateway ? q.host : "-";
  };
  for (const std::string& host : accepted) EXPECT_EQ(host, stored(host));
  EXPECT_FALSE(GatewayHost(stored("")).empty());
  for (const std::string& host : refused) EXPECT_EQ("-", stored(host)) << host;
  EXPECT_EQ(ServiceParameters::kInvalid,
            ParseServiceParameters(R"({"Cmd":"ConfPriCloudAddr","ServerAdd":7})").kind);
}

std::string Entry(const std::string& id, const std::string& from, const std::string& type,
                  const std::string& body) {
  return R"({"msgId":)" + id + R"(,"msgFrom":)" + from + R"(,"msgType":)" + type +
         R"(,"msgBody":)" + body + "},";
}

TEST(WireTest, OfflineMessagesComeLastToFirstWithoutImpossibleEntries) {
  std::string text = R"({"code":0,"data":[)" + Entry("\"7\"", "\"a\"", "1", "\"A\"") +
                     Entry("2", "5", "1", "\"B\"") + Entry("3", "\"c\"", "\"1\"", "\"C\"") +
                     Entry("4", "\"d\"", "1", "null") + "17," + Entry("1", "\"a\"", "3", "\"D\"") +
                     Entry("1", "\"\"", "1", "\"E\"") +
                     Entry("1", "\"a\"", "1", '"' + std::string(kMaxMessageBytes, 'x') + '"') +
                     Entry("-5", "\"n\"", "2", "\"N\"") +
                     Entry("9007199254740993", "\"e\"", "1", "\"E\"");
  text.back() = ']';
  std::vector<OfflineMessage> m;
  size_t skipped = 0;
  ASSERT_TRUE(ParseOfflineAnswer((text + "}").data(), text.size() + 1, &m, &skipped));
  std::string got;
  for (const auto& o : m)
    got += o.body + o.from + std::to_string(o.type) + ":" + std::to_string(o.id) + " ";
  EXPECT_EQ("Ee1:9007199254740993 Nn2:0 Aa1:0 ", got);
  EXPECT_EQ(7u, skipped);
  for (const char* bad : {"not json", R"({"code":2,"data":[]})", R"({"code":0,"data":{}})"}) {
    EXPECT_FALSE(ParseOfflineAnswer(bad, strlen(bad), &m)) << bad;
  }
  // At most the newest ten thousand (the first of the answer), the oldest of them first.
  text = R"({"code":0,"data":[)";
  for (size_t i = 0; i < kMaxOfflineMessages + 5; ++i)
    text += Entry(std::to_string(i), "\"a\"", "1", "\"m\"");
  text.back() = ']';
  ASSERT_TRUE(ParseOfflineAnswer((text + "}").data(), text.size() + 1, &m, &skipped));
  EXPECT_EQ(kMaxOfflineMessages, m.size());
  EXPECT_EQ(5u, skipped);
  EXPECT_EQ(static_cast<long long>(kMaxOfflineMessages) - 1, m.front().id);
  EXPECT_EQ(0, m.back().id);
}

TEST(WireTest, ReplyListsSkipElementsOfTheWrongTypeAndStopAtTheirLimit) {
  auto statuses = [](const std::string& text, bool push, size_t* skipped) {
    std::vector<PeerStatusEntry> entries;
    std::string out = ReadPeerStatusList(Parsed(text).doc, push, &entries, skipped) ? "" : "false";
    for (const auto& e : entries)
      out += e.peer_id + (e.online ? "1" : "0") + std::to_string(e.state) + " ";
    return out;
  };
  const std::string list =
      R"({"Status":[{"UserId":"a","Online":1},{"UserId":"b","Online":0},{"UserId":"c","Online":-1},)"
      R"({"UserId":"d","Online":7},{"UserId":5,"Online":1},{"UserId":"e","Online":"1"},{"UserId":"f"},)"
      R"("g",{"UserId":"h","Online":2.0}]})";
  size_t skipped = 0;
  // -1 is "unreachable" (1) in a push and "offline" (2) in a query answer.
  EXPECT_EQ("a10 b02 c02 d02 ", statuses(list, false, &skipped));
  EXPECT_EQ(5u, skipped);
  EXPECT_EQ("a10 b02 c01 ", statuses(list, true, &skipped));
  EXPECT_EQ(6u, skipped);
  for (const char* bad : {R"({})", R"({"Status":"[]"})", R"([1])"})
    EXPECT_EQ("false", statuses(bad, false, &skipped));
  std::string many = R"({"Status":[)";
  for (size_t i = 0; i <= kMaxReplyListEntries; ++i) many += R"({"UserId":"u","Online":1},)";
  many.back() = ']';
  EXPECT_EQ(kMaxReplyListEntries * 4, statuses(many + "}", false, &skipped).size());
  EXPECT_EQ(1u, skipped);
  std::vector<MemberCountEntry> counts;
  ASSERT_TRUE(ReadMemberCounts(
      Parsed(R"({"ChanMemSize":[{"ChanId":"a","MemSize":3},{"ChanId":"b","MemSize":-1},)"
             R"({"ChanId":"c","MemSize":2147483648},{"ChanId":"d","MemSize":"1"},{"MemSize":1}]})")
          .doc,
      &counts, &skipped));
  ASSERT_EQ(1u, counts.size());
  EXPECT_EQ("a3", counts[0].channel_id + std::to_string(counts[0].count));
  EXPECT_EQ(4u, skipped);
}

TEST(WireTest, JsonMembersOfAnotherTypeOrRangeReadAsMinusOneAndNestingIsLimited) {
  Parsed p(R"({"s":"t","i":-7,"is":"5","f":1.5,"big":5000000000,"huge":18446744073709551615,)"
           R"("u31":2147483648,"b":false,"bi":0})");
  ASSERT_TRUE(p.ok);
  EXPECT_STREQ("", GetJsonStr(p.doc, "i"));
  EXPECT_TRUE(HasJsonBool(p.doc, "b") && !HasJsonBool(p.doc, "bi"));
  const std::pair<const char*, int> ints[] = {{"i", -7},   {"is", -1},         {"f", -1},
                                              {"big", -1}, {"u31", INT32_MIN}, {"absent", -1}};
  for (const auto& [key, want] : ints) EXPECT_EQ(want, GetJsonInt(p.doc, key)) << key;
  EXPECT_EQ(5000000000, GetJsonInt64(p.doc, "big"));
  EXPECT_EQ(-1, GetJsonInt64(p.doc, "huge"));
  EXPECT_EQ(-1, GetJsonInt(Parsed("[1]").doc, "Code"));
  EXPECT_FALSE(Parsed("{} x").ok);
  EXPECT_TRUE(Parsed(std::string(kMaxJsonDepth, '[') + std::string(kMaxJsonDepth, ']')).ok);
  EXPECT_FALSE(
      Parsed(std::string(kMaxJsonDepth + 1, '[') + std::string(kMaxJsonDepth + 1, ']')).ok);
  EXPECT_TRUE(Parsed("{\"a\":\"" + std::string(1000, '[') + "\"}").ok);  // in a string: no depth
}

TEST(WireTest, RequestTableAnswersTheOldestMatchingEntryOnceAndTimesOutAfterTenSeconds) {
  RequestTable table;
  table.Add(1, 100, 0);
  table.Add(2, 100, 5, "bob");
  table.Add(1, 100, 10);
  table.Add(1, 7, 6);
  EXPECT_FALSE(table.Take({3}, 100));
  std::optional<RequestTable::Entry> first = table.Take({1, 2}, 100);
  ASSERT_TRUE(first);
  EXPECT_EQ(RequestTable::kTimeoutMs, first->deadline);
  const std::string alice = "alice";
  EXPECT_FALSE(table.Take({2}, 100, &alice));
  ASSERT_TRUE(table.Take({2}, 100));
  EXPECT_FALSE(table.TakeExpired(RequestTable::kTimeoutMs + 5));
  std::optional<RequestTable::Entry> expired = table.TakeExpired(RequestTable::kTimeoutMs + 6);
  ASSERT_TRUE(expired);
  EXPECT_EQ(7, expired->id);
  EXPECT_FALSE(table.TakeExpired(RequestTable::kTimeoutMs + 6));
  EXPECT_EQ(1u, table.TakeAll().size());
  EXPECT_EQ(0u, table.size());
  // Entries answered in order queue by scope and command: one command is on its way at a time,
  // and those made meanwhile go out together once its reply has come. One is reported once at
  // its deadline and keeps its place until its own reply takes it; the order is lost only when
  // a reply has not come 10 s after its command went out.
  const std::string room = "room";
  std::string next;
  EXPECT_TRUE(table.AddInOrder(3, 0, room, "Join", "1"));
  EXPECT_TRUE(table.AddInOrder(3, 0, "hall", "Join", "h"));
  EXPECT_TRUE(table.AddInOrder(4, 0, room, "Leave", "l"));
  EXPECT_FALSE(table.AddInOrder(3, 1, room, "Join", "2"));
  EXPECT_FALSE(table.AddInOrder(3, 2, room, "Join", "3"));
  ASSERT_TRUE(table.AnswerInOrder("Join", room, 4000, &next));
  EXPECT_EQ("3", next);
  ASSERT_TRUE(table.TakeAnswered("Join", room));
  EXPECT_FALSE(table.TakeAnswered("Join", room));
  EXPECT_FALSE(table.OrderLost(RequestTable::kTimeoutMs - 1));
  EXPECT_TRUE(table.OrderLost(RequestTable::kTimeoutMs));
  for (const char* scope : {"hall", "room", "room", "room"}) {
    std::optional<RequestTable::Entry> due = table.TakeExpired(RequestTable::kTimeoutMs + 2);
    EXPECT_TRUE(due && due->scope == scope && !due->ended) << scope;
  }
  // Those on their way keep a deadline 10 s after they went out.
  EXPECT_EQ(RequestTable::kTimeoutMs, table.EarliestDeadline());
  EXPECT_TRUE(table.AddInOrder(4, 3, "hall", "Leave", "x", /*wait=*/false));
  EXPECT_FALSE(table.AddInOrder(5, 3, room, "List", "m", /*wait=*/true));
  EXPECT_EQ("m", table.SendWaiting("List", room, 5000));
  EXPECT_EQ("", table.SendWaiting("List", room, 5000));
  EXPECT_FALSE(table.AddInOrder(5, 3, room, "List", "n", /*wait=*/true));
  EXPECT_EQ(1u, table.TakeWaiting(room).size());
  // The end of a scope takes out what never went out and what was answered, and keeps the
  // places of what is on its way.
  EXPECT_FALSE(table.AddInOrder(3, 6000, room, "Join", "4"));
  std::vector<RequestTable::Entry> ended = table.EndScope(room);
  ASSERT_EQ(2u, ended.size());
  EXPECT_TRUE(ended[0].sent && !ended[1].sent);
  EXPECT_TRUE(table.Queued("Join", room));
  ASSERT_TRUE(table.AnswerInOrder("Join", room, 9000, &next));
  EXPECT_TRUE(next.empty());
  std::optional<RequestTable::Entry> late = table.TakeAnswered("Join", room);
  EXPECT_TRUE(late && late->ended);
  EXPECT_TRUE(table.TakeAnswered("Join", room));
  EXPECT_FALSE(table.Queued("Join", room));
  EXPECT_FALSE(table.AnswerInOrder("Join", room, 9000, &next));
  EXPECT_EQ(4u, table.size());
}

TEST(WireTest, RateLimiterLetsLimitPlusOneThroughPerFixedWindow) {
  rtc::ScopedFakeClock clock;
  RateLimiter zero(0, 1000), limiter(9, 5000);
  EXPECT_TRUE(zero.Allow());
  EXPECT_FALSE(zero.Allow());
  for (int i = 0; i < 10; ++i) EXPECT_TRUE(limiter.Allow()) << i;
  clock.AdvanceTime(4000);
  for (int i = 0; i < 50; ++i) EXPECT_FALSE(limiter.Allow());
  clock.AdvanceTime(1000);  // the window ends 5000 ms after its first request, not its last
  EXPECT_FALSE(limiter.Allow());
  clock.AdvanceTime(1);
  EXPECT_TRUE(limiter.Allow());
  EXPECT_EQ(1, limiter.count());
}

class FailingGenerator : public rtc::RandomGenerator {
  bool Init(const void*, size_t) override { return false; }
  bool Generate(void*, size_t) override { return false; }
};

TEST(WireTest, RandomTextsUseTheWholeAlphabetAndComeOutEmptyWithoutAGenerator) {
  std::string s, t;
  ASSERT_TRUE(GenRandStr(s, 20000) && CreateRandomString(t, 20000));
  EXPECT_EQ("62 62", std::to_string(std::set<char>(s.begin(), s.end()).size()) + " " +
                         std::to_string(std::set<char>(t.begin(), t.end()).size()));
  EXPECT_TRUE(std::all_of(s.begin(), s.end(), ::isalnum) &&
              std::all_of(t.begin(), t.end(), ::isalnum));
  zentho::SyncMsgCrypt crypt(zentho::kBuiltinSignToken, zentho::kBuiltinEncodingKey, kAppId);
  rtc::SetRandomGeneratorForTesting(std::make_unique<FailingGenerator>());
  EXPECT_FALSE(GenRandStr(s, 10) || CreateRandomString(t, 32));
  // Nothing is sent encrypted without a random nonce, not even a command without a body.
  EXPECT_EQ(kEnvelopeNoNonce, BuildEnvelope("KeepAlive", "", &crypt, nullptr, 1, &s));
  EXPECT_EQ(kEnvelopeNoNonce, BuildEnvelope("Login", "{}", &crypt, &kAppId, 1, &t));
  rtc::SetRandomTestMode(false);
  EXPECT_EQ("", s + t);
}

using zentho::SyncMsgCrypt;
const char kTs[] = "1733500000123";
const char kNonce[] = "aB3dE6gH9k";

std::string Hex(const std::string& bytes) {
  std::string out;
  for (unsigned char c : bytes) out += {"0123456789abcdef"[c >> 4], "0123456789abcdef"[c & 15]};
  return out;
}
std::string BigEndian32(uint32_t v) {
  return {static_cast<char>(v >> 24), static_cast<char>(v >> 16), static_cast<char>(v >> 8),
          static_cast<char>(v)};
}

class CryptTest : public ::testing::Test {
 protected:
  // Runs `cmd` in the temporary folder and returns its output.
  std::string Shell(const std::string& cmd) {
    std::string out;
    FILE* p = ::popen(("cd " + dir_.path() + " && " + cmd).c_str(), "r");
    char buf[4096];
    for (size_t n; p != nullptr && (n = fread(buf, 1, sizeof(buf), p)) > 0;) out.append(buf, n);
    EXPECT_EQ(0, p == nullptr ? -1 : ::pclose(p)) << cmd;
    return out;
  }
  // Runs openssl `cmd` over `data` in the file "in", with the key and IV after "enc".
  std::string Openssl(const std::string& data, const std::string& cmd) {
    std::ofstream(dir_.File("in"), std::ios::binary) << data;
    std::string key, with_key = cmd;
    SyncMsgCrypt::GenAesKeyFromEncodingKey(zentho::kBuiltinEncodingKey, key);
    return Shell(with_key.insert(cmd.find(" enc ") + 4,
                                 " -K " + Hex(key) + " -iv " + Hex(key.substr(0, 16))));
  }
  std::string Signature(const std::string& b64) {
    std::ofstream(dir_.File("parts")) << zentho::kBuiltinSignToken << "\n"
                                      << kTs << "\n"
                                      << kNonce << "\n"
                                      << b64 << "\n";
    return Shell("LC_ALL=C sort parts | tr -d '\\n' | openssl dgst -sha1 -r").substr(0, 40);
  }
  // Chosen plain bytes, encrypted by the command line, signed, and decrypted by the class.
  int Decrypt(const std::string& block, std::string& text) {
    std::string b64 = Openssl(block, "openssl enc -aes-256-cbc -nopad -in in | openssl base64 -A");
    return crypt_.DecryptMsg(Signature(b64), kTs, kNonce, b64, text);
  }
  // The plain block of `text`: random prefix, length, text, app id, pad.
  static std::string Block(const std::string& text, const std::string& app_id = kAppId) {
    std::string block = "ABCDEFGHabcdefgh" + BigEndian32(text.size()) + text + app_id;
    return block.append(32 - block.size() % 32, static_cast<char>(32 - block.size() % 32));
  }

  SyncMsgCrypt crypt_{zentho::kBuiltinSignToken, zentho::kBuiltinEncodingKey, kAppId};
  vy_test::TempDir dir_;
};

TEST_F(CryptTest, CommandLineReadsWhatTheClassWritesAndTheOtherWayRound) {
  // 12 bytes fill the block to whole pad units, so a whole unit of pad follows.
  for (const std::string& text :
       {std::string(12, 't'), std::string("{\"B\":\"h\\u00e9\"}"), std::string(32767, '"')}) {
    std::string sig, enc, back;
    ASSERT_EQ(0, crypt_.EncryptMsg(text, kTs, kNonce, sig, enc));
    std::string plain =
        Openssl(enc, "openssl base64 -d -A -in in | openssl enc -d -aes-256-cbc -nopad");
    EXPECT_EQ(Block(text).substr(16), plain.substr(16)) << text.size();
    EXPECT_EQ(sig, Signature(enc));
    ASSERT_EQ(0, Decrypt(Block(text), back));
    EXPECT_EQ(text, back);
  }
}

TEST_F(CryptTest, EachFailedCheckHasItsCodeAndTheBlockIsNeverReadPastItsEnd) {
  std::string sig, enc, text;
  ASSERT_EQ(0, crypt_.EncryptMsg("hello", kTs, kNonce, sig, enc));
  std::string upper = sig, tampered = enc;
  std::transform(upper.begin(), upper.end(), upper.begin(), ::toupper);
  tampered[5] ^= 1;
  EXPECT_EQ(zentho::kValidateSignatureError, crypt_.DecryptMsg(upper, kTs, kNonce, enc, text));
  EXPECT_EQ(zentho::kValidateSignatureError, crypt_.DecryptMsg(sig, kTs, kNonce, tampered, text));
  EXPECT_EQ(zentho::kEmptyInputError, crypt_.DecryptMsg(sig, kTs, kNonce, "", text));
  EXPECT_EQ("", text);
  const std::string body = BigEndian32(3) + "abc" + kAppId;  // 55 bytes with the prefix
  auto padded = [](const std::string& b, int value, size_t n) {
    return "ABCDEFGHabcdefgh" + b + std::string(n, static_cast<char>(value));
  };
  std::string uneven = padded(body, 9, 9);
  uneven[uneven.size() - 5] = 8;
  const std::pair<std::string, int> blocks[] = {
      {std::string(48, 'a'), zentho::kDecryptAesError},  // not a whole pad unit
      {padded(body, 0, 9), zentho::kDecryptAesError},
      {padded(body, 33, 9), zentho::kDecryptAesError},
      {uneven, zentho::kDecryptAesError},
      {padded(BigEndian32(28) + std::string(28, 'x'), 16, 16), zentho::kIllegalBufferError},
      {padded(BigEndian32(0xFFFFFFF0u) + std::string(28, 'x'), 16, 16),
       zentho::kIllegalBufferError},
      {padded(BigEndian32(0), 12, 12), zentho::kIllegalBufferError},
      {Block("{}", std::string(32, 'o')), zentho::kValidateAppIdError},
      {padded(body, 9, 9), 0},
  };
  for (const auto& [block, code] : blocks) EXPECT_EQ(code, Decrypt(block, text)) << Hex(block);
  EXPECT_EQ("abc", text);
}

TEST_F(CryptTest, EnvelopesKeepTheirKeyOrderAndBadOnesAreDropped) {
  std::string env, login;
  ASSERT_EQ(0, BuildEnvelope("Cmd1", R"({"B":"a\"b"})", nullptr, nullptr, 1733500000123, &env));
  EXPECT_EQ(R"({"Cmd":"Cmd1","Encrypt":false,"Content":"{\"B\":\"a\\\"b\"}"})", env);
  ASSERT_EQ(0, BuildEnvelope("Login", "{}", &crypt_, &kAppId, 1733500000123, &login));
  ASSERT_EQ(0, BuildEnvelope("KeepAlive", "", &crypt_, nullptr, 1733500000123, &env));
  EXPECT_THAT(env, ::testing::EndsWith(R"("Signature":"","Content":""})"));  // nothing to sign
  ReceivedCommand cmd;
  std::string bad_sig = login;
  bad_sig[bad_sig.find("\"Signature\":\"") + 13] ^= 1;
  SyncMsgCrypt other(zentho::kBuiltinSignToken, zentho::kBuiltinEncodingKey, "other-app");
  const struct {
    std::string envelope;
    const SyncMsgCrypt* crypt;
    EnvelopeResult result;
  } cases[] = {
      {login, &crypt_, EnvelopeResult::kOk},
      {env, &crypt_, EnvelopeResult::kOk},
      {bad_sig, &crypt_, EnvelopeResult::kDecryptFailed},
      {login, &other, EnvelopeResult::kDecryptFailed},
      {login, nullptr, EnvelopeResult::kNoCrypt},
      {"{\"Cmd\":", &crypt_, EnvelopeResult::kNotJson},
      {std::string(100000, '['), &crypt_, EnvelopeResult::kNotJson},
      {"[{\"Cmd\":\"Login\"}]", &crypt_, EnvelopeResult::kNotObject},
      {R"({"Cmd":"Login","Encrypt":"false","Content":""})", &crypt_,
       EnvelopeResult::kNoEncryptFlag},
      {R"({"Cmd":"Login","Encrypt":false,"Content":"[1]"})", &crypt_, EnvelopeResult::kOk},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.result,
              UnwrapEnvelope(c.envelope.data(), static_cast<int>(c.envelope.size()), c.crypt, &cmd))
        << c.envelope.substr(0, 80);
    if (c.result == EnvelopeResult::kOk) EXPECT_EQ(0u, cmd.content_doc.MemberCount());
  }
  EXPECT_STREQ("content too long...", RecvLogContent(std::string(kMaxLoggedContent + 1, 'a')));
}

// Takes packets in place, as the service does: it scribbles over each payload (an in-situ parse
// does) and may clear the buffer or feed it from inside.
class Buffer : public JSBuffer {
 public:
  explicit Buffer(bool hash = true) : JSBuffer(hash) {}
  void OnRecvMessage(const char*, int) override { ADD_FAILURE() << "copy path taken"; }
  void OnRecvPacket(char* payload, int length) override {
    EXPECT_EQ('\0', payload[length]);
    packets.emplace_back(payload, length);
    std::memset(payload, 'x', length);
    if (on_packet) on_packet(packets.size());
  }
  // Through the socket's way in: room reserved in the buffer, then the bytes committed.
  void Read(const std::string& bytes) {
    char* room = ReserveRecv(bytes.size());
    ASSERT_NE(nullptr, room);
    std::memcpy(room, bytes.data(), bytes.size());
    CommitRecv(bytes.size());
  }
  std::vector<std::string> packets;
  std::function<void(size_t)> on_packet;
};

std::string Frame(const std::string& payload, char marker = '#', int64_t total = -1) {
  if (total < 0) total = static_cast<int64_t>(payload.size()) + (marker == '#' ? 5 : 3);
  std::string out(1, marker);
  for (int shift = marker == '#' ? 24 : 8; shift >= 0; shift -= 8)
    out += static_cast<char>(total >> shift);
  return out + payload;
}

TEST(FramingTest, AnySplitOfTheStreamGivesTheSamePacketsInOrder) {
  std::mt19937 rng(1);
  for (char marker : {'#', '$', '#', '$'}) {
    std::vector<std::string> payloads(40);
    std::string stream;
    for (std::string& p : payloads) {
      for (size_t n = 1 + rng() % 3000; p.size() < n;)
        p += static_cast<char>(rng());  // markers too
      stream += Frame(p, marker);
    }
    for (size_t chunk : {size_t{1}, size_t{0}, stream.size()}) {
      Buffer buffer;
      for (size_t pos = 0, n; pos < stream.size(); pos += n) {
        n = std::min(chunk ? chunk : 1 + rng() % 4000, stream.size() - pos);
        buffer.Read(stream.substr(pos, n));
      }
      EXPECT_EQ(payloads, buffer.packets) << marker << chunk;
      EXPECT_EQ(0u, buffer.buffered());
    }
  }
}

TEST(FramingTest, FirstBytesDecideTheFramingAndLengthsOutsideTheLimitsBreakTheStream) {
  Buffer buffer;
  buffer.Read("$");
  EXPECT_FALSE(buffer.IsFramingFixed());
  buffer.Read(std::string("\x00\x05hi", 4));
  char header[5];
  ASSERT_EQ(3, buffer.WritePktLength(header, 2));
  EXPECT_EQ(std::string("$\x00\x05", 3), std::string(header, 3));
  buffer.ClearAll();  // the framing stays (a later '#' is garbage) until ResetFraming
  buffer.Read("xyz" + Frame("a", '#') + Frame("b", '$'));
  EXPECT_EQ((std::vector<std::string>{"hi", "b"}), buffer.packets);
  EXPECT_EQ(9u, buffer.skipped_bytes());
  buffer.ResetFraming();
  EXPECT_EQ(-1, buffer.WritePktLength(header, JSBuffer::kMaxPacketLength - 4));
  EXPECT_EQ(-1, Buffer(false).WritePktLength(header, 65533));
  buffer.Read(Frame(""));  // a lone empty packet waits for more bytes
  EXPECT_EQ(5u, buffer.buffered());
  buffer.Read(Frame("z"));
  EXPECT_EQ((std::vector<std::string>{"hi", "b", "", "z"}), buffer.packets);
  const std::string ok = Frame("ok"), after = Frame("after");
  for (const std::string& bad : {ok + Frame("p", '#', 4) + after, Frame("zz", '$', 2), "xy" + ok,
                                 ok + Frame("p", '#', JSBuffer::kMaxPacketLength + 1) + after,
                                 ok + Frame("p", '#', 0xFFFFFFFFu) + after}) {
    Buffer b;
    b.Read(bad);
    EXPECT_TRUE(b.IsBroken()) << bad;
    EXPECT_EQ(0u, b.buffered());
    b.ClearAll();
    b.Read(Frame("c", b.marker()));
    EXPECT_EQ("c", b.packets.back());
  }
  Buffer at_cap;
  at_cap.Read(Frame("x", '#', JSBuffer::kMaxPacketLength));
  EXPECT_FALSE(at_cap.IsBroken());
}

TEST(FramingTest, HandlersMayFeedOrClearTheBufferTheyAreReadFromAndBigPacketsLeaveNoMemory) {
  const struct {
    std::function<void(Buffer&, size_t)> on_packet;
    std::vector<std::string> want;
  } cases[] = {
      {[](Buffer& b, size_t n) {
         if (n == 1) b.RecvData("#\0\0\0\6n", 6);
       },
       {"a", "b", "c", "n"}},
      {[](Buffer& b, size_t n) {
         if (n == 1) b.ClearAll(), b.RecvData("#\0\0\0\6k", 6);
       },
       {"a", "k"}},
      {[](Buffer& b, size_t) { EXPECT_EQ(nullptr, b.ReserveRecv(10)); }, {"a", "b", "c"}},
  };
  for (const auto& c : cases) {
    Buffer buffer;
    buffer.on_packet = [&](size_t n) { c.on_packet(buffer, n); };
    buffer.Read(Frame("a") + Frame("b") + Frame("c"));
    EXPECT_EQ(c.want, buffer.packets);
  }
  std::string payload(4 << 20, '\0');
  for (size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<char>(i * 131 + 7);
  const std::string stream = Frame(payload);
  Buffer buffer;
  for (size_t pos = 0; pos < stream.size(); pos += 65535) buffer.Read(stream.substr(pos, 65535));
  EXPECT_TRUE(buffer.packets.size() == 1 && buffer.packets[0] == payload);
  EXPECT_EQ(JSBuffer::kInitialCapacity, buffer.capacity());
  EXPECT_EQ(JSBuffer::kInitialCapacity, buffer.packet_capacity());
}

const std::string kFuzzDir = std::string(VORTM_SOURCE_DIR) + "/fuzz";

TEST(FuzzTest, EveryTargetPassesItsSeedsTheInputsThatOnceCrashedItAndTheirMutations) {
  const struct {
    const char* name;
    fuzz_replay::Target target;
    size_t min_seeds;
  } targets[] = {{"recv_fuzz", [](const uint8_t* d, size_t n) { return RecvFuzzOne(d, n); }, 40},
                 {"crypt_fuzz", &CryptFuzzOne, 3},
                 {"http_fuzz", &rtc::HttpFuzzOne, 10},
                 {"json_fuzz", &JsonFuzzOne, 8},
                 {"wire_fuzz", &WireFuzzOne, 12}};
  for (const auto& t : targets) {
    EXPECT_GE(fuzz_replay::Replay(kFuzzDir, t.name, t.target, 200), t.min_seeds) << t.name;
  }
  EXPECT_GE(fuzz_replay::ReadCorpus(kFuzzDir, "recv_fuzz", "regressions").size(), 3u);
  // The recv seeds are what the library sends encrypted, one per command of the routing table
  // (build/fuzz/fuzz/recv_seeds writes them), so the fuzzer starts past the checks; each is
  // decrypted and routed by its command's name.
  int seeds = 0, decrypted = 0;
  for (const auto& file : fuzz_replay::ReadCorpus(kFuzzDir, "recv_fuzz")) {
    if (file.name.rfind("enc-", 0) != 0) continue;
    ++seeds;
    RecvFuzzPipeline pipeline;
    RecvFuzzOne(reinterpret_cast<const uint8_t*>(file.bytes.data()), file.bytes.size(), &pipeline);
    EXPECT_EQ(1, pipeline.dispatched) << file.name;
    decrypted += pipeline.decrypted;
  }
  EXPECT_GE(seeds, 40);
  EXPECT_GE(decrypted, seeds - 4);  // four commands have no body to encrypt
}

}  // namespace
}  // namespace vy

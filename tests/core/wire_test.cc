// The texts the library sends and the readers of what comes back: gateway, login, parameters,
// offline answers, presence and attribute replies, JSON readers; and the small state kept beside
// them (request table, rate limiter, message ids, random texts).
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "core/envelope.h"
#include "core/json_util.h"
#include "core/rand_str.h"
#include "core/rate_limiter.h"
#include "core/request_table.h"
#include "core/request_wire.h"
#include "core/session_wire.h"
#include "core/sync_msg_crypt.h"
#include "core/vy_message.h"
#include "rtc_base/helpers.h"
#include "rtc_base/time_utils.h"

namespace vy {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::Pair;

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
  const char* ids[] = {"a", "b\"q", "\xc3\xa9"};
  const std::pair<std::string, std::string> cases[] = {
      {BuildGatewayBody("app", "al", "tok"),
       R"({"cType":2,"appId":"app","uid":"al","token":"tok","wss":false})"},
      {BuildGatewayBody("app", "al", ""), R"({"cType":2,"appId":"app","uid":"al","wss":false})"},
      {BuildLoginBody("a\"b", "S", "tok", "ss"),
       R"({"UserId":"a\"b","UserSId":"S","AcsToken":"tok","SessionId":"ss","SdkVer":"1.0.2.0",)"
       R"("ClientSyncCall":true,"ListenUserStatus":true})"},
      {BuildLoginBody("a", "S", "", ""),
       R"({"UserId":"a","UserSId":"S","SessionId":"","SdkVer":"1.0.2.0",)"
       R"("ClientSyncCall":true,"ListenUserStatus":true})"},
      {BuildSendMsgToPeerBody(5, "a", "b", 2, std::string("x\0y", 3), none),
       R"({"MsgId":5,"FromUId":"a","ToUId":"b","MsgType":2,"MsgBody":"x"})"},
      {BuildSendMsgToPeerBody(5, "a", "b", 1, "x", both),
       R"({"MsgId":5,"FromUId":"a","ToUId":"b","MsgType":1,"MsgBody":"x",)"
       R"("OfflineMsg":true,"HistoryMsg":true})"},
      {BuildRecvMsgAckBody(9, "bob"), R"({"MsgId":9,"FromUId":"bob"})"},
      {BuildCheckNetStatusBody(4294967295u), R"({"Time":4294967295})"},
      {BuildOfflineBody("A", "u", "s", "t"), R"({"appId":"A","uid":"u","sessId":"s","token":"t"})"},
      {BuildChanHistoryBody("A", "c", "s", ""), R"({"appId":"A","chanId":"c","sessId":"s"})"},
      {FormatServiceUrl(kGatewayUrlFormat, "127.0.0.1", 7080),
       "http://127.0.0.1:7080/vyapi/v1?action=wrtm_gateway"},
      {BuildStringListText(ids, 3), R"(["a","b\"q","é"])"},
      {BuildAttributesText({{"k", "1"}, {"k", "2"}, {"", ""}}), R"({"k":"1","k":"2","":""})"},
      {RequestBody(-7).Str("UserIds", BuildStringListText(ids, 2)).True("SetLocal").Take(),
       R"({"MsgId":-7,"UserIds":"[\"a\",\"b\\\"q\"]","SetLocal":true})"},
  };
  for (const auto& [got, want] : cases) EXPECT_EQ(want, got);
}

TEST(WireTest, GatewayAnswers) {
  const std::string at_limit(kMaxSessionIdBytes, 's'), long_addr(kMaxServerAddrBytes + 1, 'h');
  auto one = [](const std::string& session) {
    return R"({"code":0,"sessionid":")" + session + R"(","addresses":[{"type":1,"addr":"a","port":1}]})";
  };
  struct Case {
    std::string text;
    GatewayAnswer::Kind kind;
    std::string address;
    int port_or_code;
  } cases[] = {
      {R"({"code":0,"sessionid":"s1","addresses":[{"type":2,"addr":"10.0.0.1","port":1},)"
       R"({"type":1,"addr":"127.0.0.9","port":4000},{"type":1,"addr":"127.0.0.8","port":5000}]})",
       GatewayAnswer::kAddress, "127.0.0.9", 4000},
      // Elements of the wrong type or out of range are skipped for the next one.
      {R"({"code":0,"sessionid":"s","addresses":[7,{"type":"1","addr":"a","port":1},)"
       R"({"type":1,"addr":5,"port":1},{"type":1,"addr":"b","port":"9"},)"
       R"({"type":1,"addr":"c","port":70000},{"type":1,"addr":"c","port":0},)"
       R"({"type":1.5,"addr":"d","port":1},{"type":1,"addr":"a\u0000b","port":2},)"
       R"({"type":1,"addr":")" + long_addr + R"(","port":3},{"type":1,"addr":"ok","port":65535}]})",
       GatewayAnswer::kAddress, "ok", 65535},
      {one(at_limit), GatewayAnswer::kAddress, "a", 1},
      {one(at_limit + "s"), GatewayAnswer::kInvalid, "", 0},
      {R"({"code":0,"sessionid":"s","addresses":[{"type":2,"addr":"a","port":1}]})",
       GatewayAnswer::kNoAddress, "", 0},
      {R"({"code":0,"addresses":{"type":1}})", GatewayAnswer::kNoAddress, "", 0},
      {R"({"code":7})", GatewayAnswer::kRefused, "", 7},
      {R"({"sessionid":"s"})", GatewayAnswer::kRefused, "", -1},
      {R"({"code":"0"})", GatewayAnswer::kRefused, "", -1},
      {"", GatewayAnswer::kInvalid, "", -1},
      {"[1,2]", GatewayAnswer::kInvalid, "", -1},
      {std::string(100, '['), GatewayAnswer::kInvalid, "", -1},
  };
  for (const Case& c : cases) {
    GatewayAnswer a = ParseGatewayAnswer(c.text.data(), c.text.size());
    EXPECT_EQ(c.kind, a.kind) << c.text;
    EXPECT_EQ(c.address, a.address) << c.text;
    EXPECT_EQ(c.port_or_code, c.kind == GatewayAnswer::kAddress ? a.port : a.code) << c.text;
  }
  EXPECT_EQ(GatewayAnswer::kInvalid, ParseGatewayAnswer(nullptr, 5).kind);
  std::string text = R"({"code":3})";  // bytes after the length are not read
  EXPECT_EQ(3, ParseGatewayAnswer(text.data(), text.size()).code);
}

TEST(WireTest, ServiceParameters) {
  struct Case {
    std::string text;
    ServiceParameters::Kind kind;
    std::string host;
    int port_or_net;
  } cases[] = {
      {R"({"Cmd":"ConfPriCloudAddr","ServerAdd":"127.0.0.5","Port":9000})",
       ServiceParameters::kPrivateGateway, "127.0.0.5", 9000},
      {R"({"Cmd":"ConfPriCloudAddr","ServerAdd":"h"})", ServiceParameters::kPrivateGateway, "h", 0},
      {R"({"Cmd":"ConfPriCloudAddr","Port":65535})", ServiceParameters::kPrivateGateway, "", 65535},
      {R"({"Cmd":"ConfPriCloudAddr","Port":1})", ServiceParameters::kPrivateGateway, "", 1},
      {R"({"Cmd":"LocalNetChanged","netType":0})", ServiceParameters::kNetChanged, "", 0},
      {R"({"Cmd":"LocalNetChanged"})", ServiceParameters::kNetChanged, "", -1},
      {R"({"Cmd":"Other"})", ServiceParameters::kUnknown, "", -1},
      {"{}", ServiceParameters::kUnknown, "", -1},
      {"", ServiceParameters::kInvalid, "", -1},
      {"not json", ServiceParameters::kInvalid, "", -1},
      {"[]", ServiceParameters::kInvalid, "", -1},
  };
  for (const Case& c : cases) {
    ServiceParameters p = ParseServiceParameters(c.text.c_str());
    EXPECT_EQ(c.kind, p.kind) << c.text;
    EXPECT_EQ(c.host, p.host) << c.text;
    EXPECT_EQ(c.port_or_net, c.kind == ServiceParameters::kNetChanged || c.port_or_net < 0
                                 ? p.net_type : p.port) << c.text;
  }
  for (const char* port : {"0", "-1", "65536", "\"80\"", "80.5", "null", "2147483648"}) {
    std::string text = std::string(R"({"Cmd":"ConfPriCloudAddr","ServerAdd":"h","Port":)") + port + "}";
    EXPECT_EQ(ServiceParameters::kInvalid, ParseServiceParameters(text.c_str()).kind) << port;
  }
  EXPECT_EQ(ServiceParameters::kInvalid, ParseServiceParameters(nullptr).kind);
}

std::string OfflineEntry(const std::string& id, const std::string& from, const std::string& type,
                         const std::string& body) {
  return R"({"msgId":)" + id + R"(,"msgFrom":)" + from + R"(,"msgType":)" + type +
         R"(,"msgBody":)" + body + "}";
}

TEST(WireTest, OfflineMessagesComeLastToFirstWithoutImpossibleEntries) {
  const std::string text =
      R"({"code":0,"data":[)" + OfflineEntry("\"7\"", "\"a\"", "1", "\"A\"") + "," +
      OfflineEntry("2", "5", "1", "\"B\"") + "," + OfflineEntry("3", "\"c\"", "\"1\"", "\"C\"") +
      "," + OfflineEntry("4", "\"d\"", "1", "null") + ",17," +
      OfflineEntry("1", "\"a\"", "0", "\"type 0\"") + "," + OfflineEntry("1", "\"a\"", "3", "\"t3\"") +
      "," + OfflineEntry("1", "\"\"", "1", "\"nobody\"") + "," +
      OfflineEntry("1", "\"a\"", "1", '"' + std::string(kMaxMessageBytes, 'x') + '"') + "," +
      OfflineEntry("-5", "\"n\"", "2", "\"N\"") + "," +
      OfflineEntry("9007199254740993", "\"e\"", "1", "\"E\"") + "]}";
  std::vector<OfflineMessage> m;
  size_t skipped = 0;
  ASSERT_TRUE(ParseOfflineAnswer(text.data(), text.size(), &m, &skipped));
  ASSERT_EQ(3u, m.size());
  EXPECT_EQ("E", m[0].body);
  EXPECT_EQ(9007199254740993LL, m[0].id);
  EXPECT_EQ("N", m[1].body);
  EXPECT_EQ(2, m[1].type);
  EXPECT_EQ("n", m[1].from);
  EXPECT_EQ(0, m[1].id);
  EXPECT_EQ("A", m[2].body);
  EXPECT_EQ(0, m[2].id);
  EXPECT_EQ(8u, skipped);

  for (const char* bad : {"not json", R"({"code":2,"data":[]})", R"({"code":0})",
                          R"({"code":0,"data":{}})"}) {
    EXPECT_FALSE(ParseOfflineAnswer(bad, strlen(bad), &m)) << bad;
    EXPECT_THAT(m, IsEmpty());
  }
  // At most the newest ten thousand, the oldest of them first.
  std::string many = R"({"code":0,"data":[)";
  for (size_t i = 0; i < kMaxOfflineMessages + 5; ++i) {
    many += (i ? "," : "") + OfflineEntry(std::to_string(i), "\"a\"", "1", "\"m\"");
  }
  many += "]}";
  ASSERT_TRUE(ParseOfflineAnswer(many.data(), many.size(), &m, &skipped));
  ASSERT_EQ(kMaxOfflineMessages, m.size());
  EXPECT_EQ(5u, skipped);
  EXPECT_EQ(static_cast<long long>(kMaxOfflineMessages) - 1, m.front().id);
  EXPECT_EQ(0, m.back().id);
}

TEST(WireTest, ReplyListsSkipElementsOfTheWrongTypeAndStopAtTheirLimit) {
  std::string list =
      R"({"Status":[{"UserId":"a","Online":1},{"UserId":"b","Online":0},)"
      R"({"UserId":"c","Online":-1},{"UserId":"d","Online":7},{"UserId":5,"Online":1},)"
      R"({"UserId":"e","Online":"1"},{"UserId":"f"},"g",{"UserId":"h","Online":2.0}]})";
  auto statuses = [](const std::string& text, bool push, size_t* skipped) {
    std::vector<PeerStatusEntry> entries;
    std::string out = ReadPeerStatusList(Parsed(text).doc, push, &entries, skipped) ? "" : "false";
    for (const auto& e : entries) out += e.peer_id + (e.online ? "1" : "0") + std::to_string(e.state) + " ";
    return out;
  };
  size_t skipped = 0;
  // -1 is "unreachable" (1) in a push and "offline" (2) in a query answer.
  EXPECT_EQ("a10 b02 c02 d02 ", statuses(list, false, &skipped));
  EXPECT_EQ(5u, skipped);
  EXPECT_EQ("a10 b02 c01 ", statuses(list, true, &skipped));
  EXPECT_EQ(6u, skipped);
  std::vector<std::string> peers;
  for (const char* bad : {R"({})", R"({"Status":"[]"})", R"({"Status":{}})", R"([1])"}) {
    EXPECT_EQ("false", statuses(bad, false, &skipped)) << bad;
    EXPECT_FALSE(ReadSubscribedPeers(Parsed(bad).doc, &peers, &skipped)) << bad;
  }
  ASSERT_TRUE(ReadSubscribedPeers(Parsed(R"({"Status":[{"UserId":"x"},{"UserId":1},{}]})").doc,
                                  &peers, &skipped));
  EXPECT_THAT(peers, ElementsAre("x"));
  list = R"({"Status":[)";
  for (size_t i = 0; i <= kMaxReplyListEntries; ++i) list += (i ? "," : "") + std::string(R"({"UserId":"u","Online":1})");
  EXPECT_EQ(kMaxReplyListEntries * 4, statuses(list + "]}", false, &skipped).size());
  EXPECT_EQ(1u, skipped);

  std::vector<MemberCountEntry> counts;
  ASSERT_TRUE(ReadMemberCounts(
      Parsed(R"({"ChanMemSize":[{"ChanId":"a","MemSize":3},{"ChanId":"b","MemSize":-1},)"
             R"({"ChanId":"c","MemSize":2147483648},{"ChanId":"d","MemSize":"1"},)"
             R"({"MemSize":1},{"ChanId":"e","MemSize":2147483647}]})").doc, &counts, &skipped));
  ASSERT_EQ(2u, counts.size());
  EXPECT_EQ("a", counts[0].channel_id);
  EXPECT_EQ(3, counts[0].count);
  EXPECT_EQ(2147483647, counts[1].count);
  EXPECT_EQ(4u, skipped);
  EXPECT_FALSE(ReadMemberCounts(Parsed(R"({"ChanMemSize":3})").doc, &counts, &skipped));
}

TEST(WireTest, AttributeRepliesKeepOnlyTextKeysAndValues) {
  std::vector<std::pair<std::string, std::string>> pairs;
  size_t skipped = 0;
  ReadUserAttributes(R"({"b":"2","a":"1","n":3,"a":"later"})", &pairs, &skipped);
  EXPECT_THAT(pairs, ElementsAre(Pair("a", "later"), Pair("b", "2")));
  EXPECT_EQ(1u, skipped);
  for (const char* none : {"", "[\"a\"]", "{\"a\":", "{\"a\":{\"b\":\"c\"}}"}) {
    ReadUserAttributes(none, &pairs, &skipped);
    EXPECT_THAT(pairs, IsEmpty()) << none;
  }
  std::vector<ChannelAttributeEntry> entries;
  ReadChannelAttributeText(
      R"([{"Key":"k","Val":"v","UId":"u","Time":1733500000000},{"Key":"z","Val":2},{"Val":"w"},7,)"
      R"({"Key":"t","Val":"s","UId":3,"Time":1.5}])", &entries, &skipped);
  ASSERT_EQ(2u, entries.size());
  EXPECT_EQ("k v u 1733500000000", entries[0].key + " " + entries[0].value + " " +
                                       entries[0].user_id + " " + std::to_string(entries[0].time));
  EXPECT_EQ("t s  0", entries[1].key + " " + entries[1].value + " " + entries[1].user_id + " " +
                         std::to_string(entries[1].time));
  EXPECT_EQ(3u, skipped);
  for (const char* none : {"", "{}", "[", "{\"Key\":\"k\",\"Val\":\"v\"}"}) {
    ReadChannelAttributeText(none, &entries, &skipped);
    EXPECT_THAT(entries, IsEmpty()) << none;
  }
}

TEST(WireTest, JsonReadersGiveEmptyOrMinusOneForAbsentOrIllTypedMembers) {
  Parsed p(R"({"s":"text","i":-7,"l":1733500000123,"b":false,"si":5,"is":"5","f":1.5,"bi":0,)"
           R"("big":5000000000,"huge":18446744073709551615,"u31":2147483648,"u32":4294967295})");
  ASSERT_TRUE(p.ok);
  EXPECT_STREQ("text", GetJsonStr(p.doc, "s"));
  EXPECT_STREQ("", GetJsonStr(p.doc, "si"));
  EXPECT_TRUE(HasJsonBool(p.doc, "b"));
  EXPECT_FALSE(HasJsonBool(p.doc, "bi"));
  const std::pair<const char*, int64_t> ints[] = {
      {"i", -7}, {"is", -1}, {"f", -1}, {"big", -1}, {"absent", -1}, {"u31", INT32_MIN}, {"u32", -1}};
  for (const auto& [key, want] : ints) EXPECT_EQ(want, GetJsonInt(p.doc, key)) << key;
  const std::pair<const char*, int64_t> longs[] = {
      {"l", 1733500000123}, {"i", -7}, {"big", 5000000000}, {"huge", -1}, {"f", -1}};
  for (const auto& [key, want] : longs) EXPECT_EQ(want, GetJsonInt64(p.doc, key)) << key;
  for (const char* text : {"[1,2]", "\"Cmd\"", "42", "null", ""}) {
    Parsed q(text);
    ASSERT_TRUE(q.ok) << text;
    EXPECT_EQ(-1, GetJsonInt(q.doc, "Code")) << text;
    EXPECT_STREQ("", GetJsonStr(q.doc, "Cmd")) << text;
  }
  EXPECT_FALSE(Parsed("{\"a\":").ok);
  EXPECT_FALSE(Parsed("{} x").ok);
  EXPECT_TRUE(Parsed(std::string(kMaxJsonDepth, '[') + std::string(kMaxJsonDepth, ']')).ok);
  EXPECT_FALSE(Parsed(std::string(kMaxJsonDepth + 1, '[') + std::string(kMaxJsonDepth + 1, ']')).ok);
  EXPECT_FALSE(Parsed(std::string(1000000, '[')).ok);
  Parsed in_string("{\"a\":\"" + std::string(500, '[') + "\\\"" + std::string(500, '{') + "\"}");
  ASSERT_TRUE(in_string.ok);
  EXPECT_EQ(1001u, strlen(GetJsonStr(in_string.doc, "a")));
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
  EXPECT_EQ(1, first->kind);
  EXPECT_EQ(RequestTable::kTimeoutMs, first->deadline);
  const std::string alice = "alice";
  EXPECT_FALSE(table.Take({2}, 100, &alice));
  ASSERT_TRUE(table.Take({2}, 100));
  EXPECT_THAT(table.TakeExpired(RequestTable::kTimeoutMs + 5), IsEmpty());
  std::vector<RequestTable::Entry> expired = table.TakeExpired(RequestTable::kTimeoutMs + 6);
  ASSERT_EQ(1u, expired.size());
  EXPECT_EQ(7, expired[0].id);
  ASSERT_EQ(1u, table.TakeAll().size());
  EXPECT_EQ(0u, table.size());
}

TEST(WireTest, RateLimiterLetsLimitPlusOneThroughPerFixedWindow) {
  rtc::ScopedFakeClock clock;
  RateLimiter zero(0, 1000), limiter(9, 5000);
  EXPECT_TRUE(zero.Allow());
  EXPECT_FALSE(zero.Allow());
  clock.AdvanceTime(123456);
  for (int i = 0; i < 10; ++i) EXPECT_TRUE(limiter.Allow()) << i;
  EXPECT_EQ(rtc::TimeMillis() + 5000, limiter.window_end());
  clock.AdvanceTime(4000);
  for (int i = 0; i < 50; ++i) EXPECT_FALSE(limiter.Allow());
  // The window ends 5000 ms after its first request, however many were refused.
  clock.AdvanceTime(1000);
  EXPECT_FALSE(limiter.Allow());
  clock.AdvanceTime(1);
  EXPECT_TRUE(limiter.Allow());
  EXPECT_EQ(1, limiter.count());
  EXPECT_TRUE(zero.Allow());
}

TEST(WireTest, MessageIdsFollowTheWallClockAndNeverRepeatAcrossThreads) {
  {
    rtc::ScopedFakeClock clock;
    clock.AdvanceTime(1000000);
    long long first = NextMessageId();
    EXPECT_GE(first, rtc::TimeUTCMillis());
    EXPECT_EQ(first + 1, NextMessageId());
  }
  std::vector<std::vector<long long>> ids(4);
  std::vector<std::thread> threads;
  for (auto& list : ids) {
    threads.emplace_back([&list] {
      for (int i = 0; i < 2000; ++i) list.push_back(NextMessageId());
    });
  }
  std::set<long long> all;
  for (size_t t = 0; t < ids.size(); ++t) {
    threads[t].join();
    EXPECT_TRUE(std::is_sorted(ids[t].begin(), ids[t].end()));
    all.insert(ids[t].begin(), ids[t].end());
  }
  EXPECT_EQ(8000u, all.size());
  // Raw bytes end at the first zero and are never read past their length.
  VyMessage message(nullptr);
  message.SetTextBytes("a\0b", 3);
  EXPECT_EQ(1, message.getRawMessageLength());
  std::vector<char> no_zero = {'x', 'y', 'z'};
  message.SetTextBytes(no_zero.data(), no_zero.size());
  EXPECT_EQ("xyz", std::string(message.getRawMessageData(), message.getRawMessageLength()));
}

TEST(WireTest, RandomTextsUseTheWholeAlphabetAndFailEmptyWithoutAGenerator) {
  std::string s = "old";
  ASSERT_TRUE(GenRandStr(s, 20000));
  EXPECT_EQ(62u, std::set<char>(s.begin(), s.end()).size());
  EXPECT_TRUE(std::all_of(s.begin(), s.end(), [](char c) { return std::isalnum(c & 0xff); }));
  ASSERT_TRUE(CreateRandomString(s, 5000));
  EXPECT_EQ(62u, std::set<char>(s.begin(), s.end()).size());
  std::string a, b;
  ASSERT_TRUE(GenRandStr(a, 10) && GenRandStr(b, 10));
  EXPECT_NE(a, b);

  class FailingGenerator : public rtc::RandomGenerator {
    bool Init(const void*, size_t) override { return false; }
    bool Generate(void*, size_t) override { return false; }
  };
  rtc::SetRandomGeneratorForTesting(std::make_unique<FailingGenerator>());
  s = "old";
  EXPECT_FALSE(GenRandStr(s, 10));
  EXPECT_EQ("", s);
  s = "old";
  EXPECT_FALSE(CreateRandomString(s, 32));
  EXPECT_EQ("", s);
  const std::string app_id = "0123456789abcdef0123456789abcdef";
  zentho::SyncMsgCrypt crypt(zentho::kBuiltinSignToken, zentho::kBuiltinEncodingKey, app_id);
  for (const std::string body : {R"({"MsgId":1})", ""}) {
    std::string envelope = "old";
    EXPECT_EQ(kEnvelopeNoNonce, BuildEnvelope("Login", body, &crypt, &app_id, 1, &envelope));
    EXPECT_EQ("", envelope);
  }
  std::string plain;
  EXPECT_EQ(0, BuildEnvelope("Login", "{}", nullptr, nullptr, 1, &plain));
  rtc::SetRandomTestMode(false);
}

}  // namespace
}  // namespace vy

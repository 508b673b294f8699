#include "core/session_wire.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace vy {

namespace {

GatewayAnswer Gateway(const std::string& text) {
  return ParseGatewayAnswer(text.data(), text.size());
}

TEST(SessionWireTest, GatewayBodyKeepsItsKeyOrderAndLeavesOutAnEmptyToken) {
  EXPECT_EQ(R"({"cType":2,"appId":"app","uid":"alice","token":"tok","wss":false})",
            BuildGatewayBody("app", "alice", "tok"));
  EXPECT_EQ(R"({"cType":2,"appId":"app","uid":"alice","wss":false})",
            BuildGatewayBody("app", "alice", ""));
}

TEST(SessionWireTest, LoginBodyKeepsItsKeyOrder) {
  EXPECT_EQ(
      R"({"UserId":"alice","UserSId":"S","AcsToken":"tok","SessionId":"sess","SdkVer":"1.0.2.0",)"
      R"("ClientSyncCall":true,"ListenUserStatus":true})",
      BuildLoginBody("alice", "S", "tok", "sess"));
  EXPECT_EQ(R"({"UserId":"a\"b","UserSId":"S","SessionId":"","SdkVer":"1.0.2.0",)"
            R"("ClientSyncCall":true,"ListenUserStatus":true})",
            BuildLoginBody("a\"b", "S", "", ""));
}

TEST(SessionWireTest, GatewayAnswerGivesTheFirstAddressOfType1) {
  GatewayAnswer a = Gateway(
      R"({"code":0,"sessionid":"s1","addresses":[{"type":2,"addr":"10.0.0.1","port":1},)"
      R"({"type":1,"addr":"127.0.0.9","port":4000},{"type":1,"addr":"127.0.0.8","port":5000}]})");
  EXPECT_EQ(GatewayAnswer::kAddress, a.kind);
  EXPECT_EQ("s1", a.session_id);
  EXPECT_EQ("127.0.0.9", a.address);
  EXPECT_EQ(4000, a.port);
}

TEST(SessionWireTest, GatewayAddressesOfTheWrongTypeAreSkipped) {
  GatewayAnswer a =
      Gateway(R"({"code":0,"sessionid":"s","addresses":[7,{"type":"1","addr":"a","port":1},)"
              R"({"type":1,"addr":5,"port":1},{"type":1,"addr":"b","port":"9"},)"
              R"({"type":1,"addr":"c","port":70000},{"type":1,"addr":"c","port":0},)"
              R"({"type":1.5,"addr":"d","port":1},{"type":1,"addr":"ok","port":65535}]})");
  EXPECT_EQ(GatewayAnswer::kAddress, a.kind);
  EXPECT_EQ("ok", a.address);
  EXPECT_EQ(65535, a.port);
}

TEST(SessionWireTest, GatewayAnswerWithoutAUsableAddressIsRetried) {
  EXPECT_EQ(
      GatewayAnswer::kNoAddress,
      Gateway(R"({"code":0,"sessionid":"s","addresses":[{"type":2,"addr":"a","port":1}]})").kind);
  EXPECT_EQ(GatewayAnswer::kNoAddress, Gateway(R"({"code":0,"addresses":{"type":1}})").kind);
  EXPECT_EQ(GatewayAnswer::kNoAddress, Gateway(R"({"code":0})").kind);
}

TEST(SessionWireTest, GatewayAnswerWithAnOversizeSessionIdOrAddressIsNotUsed) {
  const std::string at_limit(kMaxSessionIdBytes, 's');
  GatewayAnswer a = Gateway(R"({"code":0,"sessionid":")" + at_limit +
                            R"(","addresses":[{"type":1,"addr":"a","port":1}]})");
  EXPECT_EQ(GatewayAnswer::kAddress, a.kind);
  EXPECT_EQ(at_limit, a.session_id);
  EXPECT_EQ(GatewayAnswer::kInvalid,
            Gateway(R"({"code":0,"sessionid":")" + at_limit +
                    R"(s","addresses":[{"type":1,"addr":"a","port":1}]})")
                .kind);
  // Addresses too long for a host name, or with a zero byte, are skipped for the next one.
  const std::string long_addr(kMaxServerAddrBytes + 1, 'h');
  a = Gateway(R"({"code":0,"sessionid":"s","addresses":[{"type":1,"addr":")" + long_addr +
              R"(","port":1},{"type":1,"addr":"a\u0000b","port":2},)"
              R"({"type":1,"addr":")" + long_addr.substr(1) + R"(","port":3}]})");
  EXPECT_EQ(GatewayAnswer::kAddress, a.kind);
  EXPECT_EQ(3, a.port);
  EXPECT_EQ(kMaxServerAddrBytes, a.address.size());
}

TEST(SessionWireTest, GatewayRefusalCarriesItsCode) {
  GatewayAnswer a = Gateway(R"({"code":7})");
  EXPECT_EQ(GatewayAnswer::kRefused, a.kind);
  EXPECT_EQ(7, a.code);
  // An absent or ill-typed code reads as -1, which is a refusal too.
  EXPECT_EQ(-1, Gateway(R"({"sessionid":"s"})").code);
  EXPECT_EQ(GatewayAnswer::kRefused, Gateway(R"({"code":"0"})").kind);
}

TEST(SessionWireTest, GatewayAnswerThatIsNotAJsonObjectIsInvalid) {
  EXPECT_EQ(GatewayAnswer::kInvalid, Gateway("").kind);
  EXPECT_EQ(GatewayAnswer::kInvalid, Gateway("{").kind);
  EXPECT_EQ(GatewayAnswer::kInvalid, Gateway("[1,2]").kind);
  EXPECT_EQ(GatewayAnswer::kInvalid, Gateway(std::string(100, '[')).kind);
  EXPECT_EQ(GatewayAnswer::kInvalid, ParseGatewayAnswer(nullptr, 5).kind);
  // Bytes after the object's end are not read as part of it.
  std::string text = R"({"code":3})";
  EXPECT_EQ(3, ParseGatewayAnswer(text.data(), text.size()).code);
}

TEST(SessionWireTest, PrivateGatewayParameters) {
  ServiceParameters p =
      ParseServiceParameters(R"({"Cmd":"ConfPriCloudAddr","ServerAdd":"127.0.0.5","Port":9000})");
  EXPECT_EQ(ServiceParameters::kPrivateGateway, p.kind);
  EXPECT_EQ("127.0.0.5", p.host);
  EXPECT_EQ(9000, p.port);
  // No port: 0, the built-in one.
  p = ParseServiceParameters(R"({"Cmd":"ConfPriCloudAddr","ServerAdd":"h"})");
  EXPECT_EQ(ServiceParameters::kPrivateGateway, p.kind);
  EXPECT_EQ(0, p.port);
  // No host: the empty text, the built-in one.
  p = ParseServiceParameters(R"({"Cmd":"ConfPriCloudAddr"})");
  EXPECT_EQ(ServiceParameters::kPrivateGateway, p.kind);
  EXPECT_EQ("", p.host);
}

TEST(SessionWireTest, PrivateGatewayPortOutsideItsRangeIsRefused) {
  for (const char* port : {"0", "-1", "65536", "\"80\"", "80.5", "null", "2147483648"}) {
    std::string text =
        std::string(R"({"Cmd":"ConfPriCloudAddr","ServerAdd":"h","Port":)") + port + "}";
    EXPECT_EQ(ServiceParameters::kInvalid, ParseServiceParameters(text.c_str()).kind) << port;
  }
  EXPECT_EQ(65535, ParseServiceParameters(R"({"Cmd":"ConfPriCloudAddr","Port":65535})").port);
  EXPECT_EQ(1, ParseServiceParameters(R"({"Cmd":"ConfPriCloudAddr","Port":1})").port);
}

TEST(SessionWireTest, NetChangedAndOtherParameters) {
  ServiceParameters p = ParseServiceParameters(R"({"Cmd":"LocalNetChanged","netType":0})");
  EXPECT_EQ(ServiceParameters::kNetChanged, p.kind);
  EXPECT_EQ(0, p.net_type);
  EXPECT_EQ(-1, ParseServiceParameters(R"({"Cmd":"LocalNetChanged"})").net_type);
  EXPECT_EQ(ServiceParameters::kUnknown, ParseServiceParameters(R"({"Cmd":"Other"})").kind);
  EXPECT_EQ(ServiceParameters::kUnknown, ParseServiceParameters(R"({})").kind);
  EXPECT_EQ(ServiceParameters::kInvalid, ParseServiceParameters(nullptr).kind);
  EXPECT_EQ(ServiceParameters::kInvalid, ParseServiceParameters("").kind);
  EXPECT_EQ(ServiceParameters::kInvalid, ParseServiceParameters("not json").kind);
  EXPECT_EQ(ServiceParameters::kInvalid, ParseServiceParameters("[]").kind);
}

TEST(SessionWireTest, SendMsgToPeerCarriesOptionalKeysOnlyWhenSet) {
  rtm::SendMessageOptions none;
  EXPECT_EQ(R"({"MsgId":1700000000000,"FromUId":"a","ToUId":"b","MsgType":1,"MsgBody":"hi"})",
            BuildSendMsgToPeerBody(1700000000000LL, "a", "b", 1, "hi", none));
  rtm::SendMessageOptions both;
  both.enableOfflineMessaging = true;
  both.enableHistoricalMessaging = true;
  EXPECT_EQ(R"({"MsgId":5,"FromUId":"a","ToUId":"b","MsgType":2,"MsgBody":"x",)"
            R"("OfflineMsg":true,"HistoryMsg":true})",
            BuildSendMsgToPeerBody(5, "a", "b", 2, "x", both));
  // The body ends at its first zero byte.
  EXPECT_EQ(R"({"MsgId":5,"FromUId":"a","ToUId":"b","MsgType":2,"MsgBody":"x"})",
            BuildSendMsgToPeerBody(5, "a", "b", 2, std::string("x\0y", 3), none));
}

TEST(SessionWireTest, SmallBodies) {
  EXPECT_EQ(R"({"MsgId":9,"FromUId":"bob"})", BuildRecvMsgAckBody(9, "bob"));
  EXPECT_EQ(R"({"AcsToken":"t"})", BuildRenewTokenBody("t"));
  EXPECT_EQ(R"({"Time":4294967295})", BuildCheckNetStatusBody(4294967295u));
  EXPECT_EQ(R"({"appId":"A","uid":"u","sessId":"s","token":"t"})",
            BuildOfflineBody("A", "u", "s", "t"));
  EXPECT_EQ(R"({"appId":"A","uid":"u","sessId":"s"})", BuildOfflineBody("A", "u", "s", ""));
  EXPECT_EQ(R"({"appId":"A","chanId":"c","sessId":"s"})", BuildChanHistoryBody("A", "c", "s", ""));
  EXPECT_EQ(R"({"appId":"A","fromUId":"u","sessId":"s","token":"t"})",
            BuildP2PHistoryBody("A", "u", "s", "t"));
  EXPECT_EQ("http://127.0.0.1:7080/vyapi/v1?action=wrtm_gateway",
            FormatServiceUrl(kGatewayUrlFormat, "127.0.0.1", 7080));
}

std::vector<OfflineMessage> Offline(const std::string& text, bool* ok = nullptr) {
  std::vector<OfflineMessage> messages;
  bool result = ParseOfflineAnswer(text.data(), text.size(), &messages);
  if (ok != nullptr) *ok = result;
  return messages;
}

TEST(SessionWireTest, OfflineMessagesAreDeliveredLastToFirst) {
  std::vector<OfflineMessage> m =
      Offline(R"({"code":0,"data":[{"msgId":1,"msgFrom":"a","msgType":1,"msgBody":"A"},)"
              R"({"msgId":2,"msgFrom":"b","msgType":1,"msgBody":"B"},)"
              R"({"msgId":3,"msgFrom":"c","msgType":2,"msgBody":"C"}]})");
  ASSERT_EQ(3u, m.size());
  EXPECT_EQ("C", m[0].body);
  EXPECT_EQ(3, m[0].id);
  EXPECT_EQ(2, m[0].type);
  EXPECT_EQ("c", m[0].from);
  EXPECT_EQ("B", m[1].body);
  EXPECT_EQ("A", m[2].body);
}

TEST(SessionWireTest, OfflineEntriesOfTheWrongTypeAreSkippedAndAStringIdReadsAsZero) {
  std::vector<OfflineMessage> m =
      Offline(R"({"code":0,"data":[{"msgId":"7","msgFrom":"a","msgType":1,"msgBody":"A"},)"
              R"({"msgId":2,"msgFrom":5,"msgType":1,"msgBody":"B"},)"
              R"({"msgId":3,"msgFrom":"c","msgType":"1","msgBody":"C"},)"
              R"({"msgId":4,"msgFrom":"d","msgType":1,"msgBody":null}, 17,)"
              R"({"msgId":9007199254740993,"msgFrom":"e","msgType":1,"msgBody":"E"}]})");
  ASSERT_EQ(2u, m.size());
  EXPECT_EQ("E", m[0].body);
  EXPECT_EQ(9007199254740993LL, m[0].id);
  EXPECT_EQ("A", m[1].body);
  EXPECT_EQ(0, m[1].id);
}

TEST(SessionWireTest, OfflineAnswersThatDeliverNothing) {
  bool ok = true;
  EXPECT_TRUE(Offline("not json", &ok).empty());
  EXPECT_FALSE(ok);
  EXPECT_TRUE(
      Offline(R"({"code":2,"data":[{"msgId":1,"msgFrom":"a","msgType":1,"msgBody":"A"}]})", &ok)
          .empty());
  EXPECT_FALSE(ok);
  EXPECT_TRUE(Offline(R"({"code":0})", &ok).empty());
  EXPECT_FALSE(ok);
  EXPECT_TRUE(Offline(R"({"code":0,"data":{}})", &ok).empty());
  EXPECT_FALSE(ok);
  EXPECT_TRUE(Offline(R"({"code":0,"data":[]})", &ok).empty());
  EXPECT_TRUE(ok);
}

TEST(SessionWireTest, OfflineEntriesWithImpossibleFieldsAreSkippedAndCounted) {
  std::vector<OfflineMessage> messages;
  size_t skipped = 99;
  const std::string too_long(kMaxMessageBytes, 'x');
  const std::string text =
      R"({"code":0,"data":[{"msgId":1,"msgFrom":"a","msgType":0,"msgBody":"type 0"},)"
      R"({"msgId":2,"msgFrom":"a","msgType":3,"msgBody":"type 3"},)"
      R"({"msgId":3,"msgFrom":"","msgType":1,"msgBody":"nobody sent it"},)"
      R"({"msgId":4,"msgFrom":"a","msgType":1,"msgBody":")" + too_long + R"("},)"
      R"({"msgId":-5,"msgFrom":"a","msgType":2,"msgBody":"kept"}]})";
  ASSERT_TRUE(ParseOfflineAnswer(text.data(), text.size(), &messages, &skipped));
  ASSERT_EQ(1u, messages.size());
  EXPECT_EQ("kept", messages[0].body);
  EXPECT_EQ(0, messages[0].id);
  EXPECT_EQ(4u, skipped);
}

TEST(SessionWireTest, OfflineAnswerDeliversAtMostTheNewestTenThousand) {
  std::string text = R"({"code":0,"data":[)";
  for (size_t i = 0; i < kMaxOfflineMessages + 5; ++i) {
    if (i != 0) text += ",";
    text += R"({"msgId":)" + std::to_string(i) + R"(,"msgFrom":"a","msgType":1,"msgBody":"m"})";
  }
  text += "]}";
  std::vector<OfflineMessage> messages;
  size_t skipped = 0;
  ASSERT_TRUE(ParseOfflineAnswer(text.data(), text.size(), &messages, &skipped));
  ASSERT_EQ(kMaxOfflineMessages, messages.size());
  EXPECT_EQ(5u, skipped);
  // The newest entries come first in the answer; the oldest of those kept is delivered first.
  EXPECT_EQ(static_cast<long long>(kMaxOfflineMessages) - 1, messages.front().id);
  EXPECT_EQ(0, messages.back().id);
}

}  // namespace

}  // namespace vy

#include <gtest/gtest.h>

#include <vector>

#include "local_service/envelope.h"
#include "local_service/framing.h"

namespace local_service {
namespace {

std::vector<std::string> Drain(FrameReader& r, bool* error = nullptr) {
  std::vector<std::string> out;
  std::string p, e;
  for (;;) {
    auto s = r.Next(&p, &e);
    if (s == FrameReader::Status::kPacket) {
      out.push_back(p);
      continue;
    }
    if (error) *error = s == FrameReader::Status::kError;
    return out;
  }
}

TEST(FrameReaderTest, TwoPacketsInOneFeedOrOneByteAtATimeGiveTheSameOrder) {
  std::string bytes = EncodeFrame("{\"a\":1}") + EncodeFrame("{\"b\":2}");
  FrameReader whole;
  whole.Feed(bytes);
  auto all = Drain(whole);
  FrameReader bytewise;
  std::vector<std::string> pieces;
  for (char c : bytes) {
    bytewise.Feed(&c, 1);
    for (auto& p : Drain(bytewise)) pieces.push_back(p);
  }
  EXPECT_EQ(all, (std::vector<std::string>{"{\"a\":1}", "{\"b\":2}"}));
  EXPECT_EQ(pieces, all);
}

TEST(FrameReaderTest, EachPacketMayUseEitherFraming) {
  FrameReader r;
  r.Feed(EncodeFrame("{\"a\":1}"));
  EXPECT_EQ(Drain(r), std::vector<std::string>{"{\"a\":1}"});
  EXPECT_EQ(r.marker(), kHashMarker);
  // A client switches to '$' mid-connection; a '$' header split over feeds still waits.
  std::string dollar = EncodeFrame("{\"b\":2}", kDollarMarker);
  r.Feed(dollar.substr(0, 2));
  bool error = true;
  EXPECT_TRUE(Drain(r, &error).empty());
  EXPECT_FALSE(error);
  r.Feed(dollar.substr(2) + EncodeFrame("{\"c\":3}") + EncodeFrame("{\"d\":4}", kDollarMarker));
  EXPECT_EQ(Drain(r, &error), (std::vector<std::string>{"{\"b\":2}", "{\"c\":3}", "{\"d\":4}"}));
  EXPECT_FALSE(error);
  EXPECT_EQ(r.marker(), kDollarMarker);
  EXPECT_EQ(r.buffered(), 0u);
}

TEST(FrameReaderTest, ABadMarkerOrDollarLengthAfterASwitchBreaksTheStream) {
  const std::string good = EncodeFrame("{\"a\":1}", kDollarMarker);
  for (const std::string& bad : {"x" + good, EncodeHeader(5, kDollarMarker) + "zz",
                                 EncodeHeader(0, kDollarMarker) + "zzz"}) {
    FrameReader r;
    r.Feed(good + bad);
    bool error = false;
    EXPECT_EQ(Drain(r, &error).size(), 1u);
    EXPECT_TRUE(error);
    r.Feed(EncodeFrame("{}"));
    Drain(r, &error);
    EXPECT_TRUE(error);
  }
}

TEST(FrameReaderTest, LengthsOutsideTheLimitsBreakTheStream) {
  for (uint32_t len : {0u, 5u, static_cast<uint32_t>(kMaxPacketLength + 1), 0xFFFFFFFFu}) {
    FrameReader r;
    r.Feed(EncodeHeader(len) + "payload");
    bool error = false;
    EXPECT_TRUE(Drain(r, &error).empty());
    EXPECT_TRUE(error) << len;
    // Once broken it stays broken.
    r.Feed(EncodeFrame("{}"));
    Drain(r, &error);
    EXPECT_TRUE(error);
  }
}

TEST(FrameReaderTest, AFirstByteThatIsNoMarkerBreaksTheStream) {
  FrameReader r;
  r.Feed("xyz" + EncodeFrame("{}"));
  bool error = false;
  Drain(r, &error);
  EXPECT_TRUE(error);
}

TEST(FrameReaderTest, APartialPacketWaitsForItsLastByte) {
  std::string bytes = EncodeFrame("{\"long\":\"payload\"}");
  FrameReader r;
  r.Feed(bytes.substr(0, bytes.size() - 1));
  bool error = true;
  EXPECT_TRUE(Drain(r, &error).empty());
  EXPECT_FALSE(error);
  r.Feed(bytes.substr(bytes.size() - 1));
  EXPECT_EQ(Drain(r).size(), 1u);
  EXPECT_EQ(r.buffered(), 0u);
}

TEST(FrameReaderTest, DollarFrameTooLongForItsLengthFieldIsNotEncoded) {
  EXPECT_TRUE(EncodeFrame(std::string(70000, 'a'), kDollarMarker).empty());
  EXPECT_EQ(EncodeFrame(std::string(10, 'a'), kDollarMarker).size(), 13u);
}

TEST(EnvelopeTest, ReadsKeysInOrderAndChecksTypes) {
  Envelope env;
  std::string error;
  ASSERT_TRUE(ParseEnvelope(R"({"Cmd":"X","Encrypt":false,"Content":"{}"})", &env, &error));
  EXPECT_EQ(env.keys, (std::vector<std::string>{"Cmd", "Encrypt", "Content"}));
  EXPECT_FALSE(ParseEnvelope(R"({"Encrypt":false,"Content":""})", &env, &error));
  EXPECT_FALSE(ParseEnvelope(R"({"Cmd":"X","Encrypt":"yes","Content":""})", &env, &error));
  EXPECT_FALSE(ParseEnvelope(R"({"Cmd":"X","Encrypt":true,"Content":""})", &env, &error));
  EXPECT_FALSE(ParseEnvelope(R"(["Cmd"])", &env, &error));
  EXPECT_FALSE(ParseEnvelope(std::string(100000, '['), &env, &error));
  EXPECT_FALSE(error.empty());
}

TEST(EnvelopeTest, EmptyBodyGivesEmptySignatureAndContent) {
  MsgCrypt crypt("app");
  EXPECT_EQ(BuildEncryptedEnvelope(crypt, "KeepAlive", "", "1", "n"),
            R"({"Cmd":"KeepAlive","Encrypt":true,"TimeStamp":"1","Nonce":"n","Signature":"","Content":""})");
}

}  // namespace
}  // namespace local_service

// The wire texts of the presence, member-count and attribute requests and the readers of their
// replies, and the table of requests awaiting a reply.
#include "core/request_wire.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/json_util.h"
#include "core/request_table.h"

namespace vy {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::Pair;

// Parses `text` as a reply's content.
class Content {
 public:
  explicit Content(const std::string& text) : copy_(text.data(), static_cast<int>(text.size())) {
    EXPECT_TRUE(ParseJsonInsitu(copy_, doc_)) << text;
  }
  const rapidjson::Value& operator*() const { return doc_; }

 private:
  JsonStr copy_;
  rapidjson::Document doc_;
};

std::string Statuses(const std::vector<PeerStatusEntry>& entries) {
  std::string out;
  for (const auto& e : entries) {
    out += e.peer_id + ":" + (e.online ? "1" : "0") + ":" + std::to_string(e.state) + " ";
  }
  return out;
}

TEST(RequestWireTest, ListsGoOutAsJsonTextInsideAString) {
  const char* ids[] = {"a", "b\"q", "\xc3\xa9"};
  EXPECT_EQ(R"(["a","b\"q","é"])", BuildStringListText(ids, 3));
  EXPECT_EQ("[]", BuildStringListText(nullptr, 0));
  // A key given twice appears twice, in order.
  EXPECT_EQ(R"({"k":"1","k":"2","":""})", BuildAttributesText({{"k", "1"}, {"k", "2"}, {"", ""}}));
  std::string list = BuildStringListText(ids, 2);
  EXPECT_EQ(R"({"MsgId":-7,"UserIds":"[\"a\",\"b\\\"q\"]","SetLocal":true})",
            RequestBody(-7).Str("UserIds", list).True("SetLocal").Take());
  EXPECT_EQ(R"({"MsgId":0})", RequestBody(0).Take());
}

TEST(RequestWireTest, StatusListsSkipElementsOfTheWrongTypeAndReadOnlineByKind) {
  const std::string list =
      R"({"Status":[{"UserId":"a","Online":1},{"UserId":"b","Online":0},)"
      R"({"UserId":"c","Online":-1},{"UserId":"d","Online":7},{"UserId":5,"Online":1},)"
      R"({"UserId":"e","Online":"1"},{"UserId":"f"},"g",{"UserId":"h","Online":2.0}]})";
  std::vector<PeerStatusEntry> entries;
  size_t skipped = 0;
  ASSERT_TRUE(ReadPeerStatusList(*Content(list), /*push=*/false, &entries, &skipped));
  EXPECT_EQ("a:1:0 b:0:2 c:0:2 d:0:2 ", Statuses(entries));
  EXPECT_EQ(5u, skipped);
  ASSERT_TRUE(ReadPeerStatusList(*Content(list), /*push=*/true, &entries, &skipped));
  EXPECT_EQ("a:1:0 b:0:2 c:0:1 ", Statuses(entries));
  EXPECT_EQ(6u, skipped);

  for (const char* bad : {R"({})", R"({"Status":"[]"})", R"({"Status":{}})", R"([1])"}) {
    EXPECT_FALSE(ReadPeerStatusList(*Content(bad), false, &entries, &skipped)) << bad;
    std::vector<std::string> peers;
    EXPECT_FALSE(ReadSubscribedPeers(*Content(bad), &peers, &skipped)) << bad;
  }
  ASSERT_TRUE(ReadPeerStatusList(*Content(R"({"Status":[]})"), true, &entries, &skipped));
  EXPECT_THAT(entries, IsEmpty());
  std::vector<std::string> peers;
  ASSERT_TRUE(ReadSubscribedPeers(*Content(R"({"Status":[{"UserId":"x"},{"UserId":1},{}]})"),
                                  &peers, &skipped));
  EXPECT_THAT(peers, ElementsAre("x"));
  EXPECT_EQ(2u, skipped);
}

TEST(RequestWireTest, MemberCountsNeedAChannelAndACountThatFits) {
  std::vector<MemberCountEntry> counts;
  size_t skipped = 0;
  ASSERT_TRUE(ReadMemberCounts(
      *Content(R"({"ChanMemSize":[{"ChanId":"a","MemSize":3},{"ChanId":"b","MemSize":-1},)"
               R"({"ChanId":"c","MemSize":2147483648},{"ChanId":"d","MemSize":"1"},)"
               R"({"MemSize":1},{"ChanId":"e","MemSize":2147483647}]})"),
      &counts, &skipped));
  ASSERT_EQ(2u, counts.size());
  EXPECT_EQ("a", counts[0].channel_id);
  EXPECT_EQ(3, counts[0].count);
  EXPECT_EQ(2147483647, counts[1].count);
  EXPECT_EQ(4u, skipped);
  EXPECT_FALSE(ReadMemberCounts(*Content(R"({"ChanMemSize":3})"), &counts, &skipped));
}

TEST(RequestWireTest, ListsReadAtMostTenThousandElements) {
  std::string text = R"({"Status":[)";
  for (size_t i = 0; i <= kMaxReplyListEntries; ++i) {
    text += std::string(i == 0 ? "" : ",") + R"({"UserId":"u","Online":1})";
  }
  text += "]}";
  std::vector<PeerStatusEntry> entries;
  size_t skipped = 0;
  ASSERT_TRUE(ReadPeerStatusList(*Content(text), false, &entries, &skipped));
  EXPECT_EQ(kMaxReplyListEntries, entries.size());
  EXPECT_EQ(1u, skipped);
}

TEST(RequestWireTest, UserAttributesComeSortedByKeyWithTheirStringValuesOnly) {
  std::vector<std::pair<std::string, std::string>> pairs;
  size_t skipped = 0;
  ReadUserAttributes(R"({"b":"2","a":"1","n":3,"a":"later"})", &pairs, &skipped);
  EXPECT_THAT(pairs, ElementsAre(Pair("a", "later"), Pair("b", "2")));
  EXPECT_EQ(1u, skipped);
  for (const char* none : {"", "{}", "[\"a\"]", "{\"a\":", "\"text\"", "{\"a\":{\"b\":\"c\"}}"}) {
    ReadUserAttributes(none, &pairs, &skipped);
    EXPECT_THAT(pairs, IsEmpty()) << none;
  }
}

TEST(RequestWireTest, ChannelAttributesSkipElementsWithoutTextKeyOrValue) {
  std::vector<ChannelAttributeEntry> entries;
  size_t skipped = 0;
  ReadChannelAttributeText(
      R"([{"Key":"k","Val":"v","UId":"u","Time":1733500000000},{"Key":"x","Val":"y"},)"
      R"({"Key":"z","Val":2},{"Val":"w"},7,{"Key":"t","Val":"s","UId":3,"Time":1.5}])",
      &entries, &skipped);
  ASSERT_EQ(3u, entries.size());
  EXPECT_EQ("k", entries[0].key);
  EXPECT_EQ("v", entries[0].value);
  EXPECT_EQ("u", entries[0].user_id);
  EXPECT_EQ(1733500000000, entries[0].time);
  EXPECT_EQ("", entries[1].user_id);
  EXPECT_EQ(0, entries[1].time);
  EXPECT_EQ("", entries[2].user_id);
  EXPECT_EQ(0, entries[2].time);
  EXPECT_EQ(3u, skipped);
  for (const char* none : {"", "{}", "[", "{\"Key\":\"k\",\"Val\":\"v\"}"}) {
    ReadChannelAttributeText(none, &entries, &skipped);
    EXPECT_THAT(entries, IsEmpty()) << none;
  }
  // A real array, as a change notice carries it.
  Content notice(R"({"Attributes":[{"Key":"k","Val":"v"}]})");
  ReadChannelAttributeArray(*FindJsonMember(*notice, "Attributes"), &entries, &skipped);
  ASSERT_EQ(1u, entries.size());
}

TEST(RequestTableTest, RepliesTakeTheOldestMatchingEntryOnce) {
  RequestTable table;
  table.Add(1, 100, 0);
  table.Add(2, 100, 5, "bob");
  table.Add(1, 100, 10);
  // A kind the reply does not answer is left alone.
  EXPECT_FALSE(table.Take({3}, 100));
  std::optional<RequestTable::Entry> first = table.Take({1, 2}, 100);
  ASSERT_TRUE(first);
  EXPECT_EQ(1, first->kind);
  EXPECT_EQ(RequestTable::kTimeoutMs, first->deadline);
  const std::string alice = "alice";
  EXPECT_FALSE(table.Take({2}, 100, &alice));
  std::optional<RequestTable::Entry> scoped = table.Take({2}, 100);
  ASSERT_TRUE(scoped);
  EXPECT_EQ("bob", scoped->scope);
  ASSERT_TRUE(table.Take({1}, 100));
  EXPECT_FALSE(table.Take({1}, 100));
  EXPECT_EQ(0u, table.size());
}

TEST(RequestTableTest, DeadlinesAndTheEndOfTheSessionTakeEveryEntryOut) {
  RequestTable table;
  table.Add(1, 1, 0);
  table.Add(1, 2, 5);
  table.Add(1, 3, 6);
  EXPECT_THAT(table.TakeExpired(RequestTable::kTimeoutMs - 1), IsEmpty());
  std::vector<RequestTable::Entry> expired = table.TakeExpired(RequestTable::kTimeoutMs + 5);
  ASSERT_EQ(2u, expired.size());
  EXPECT_EQ(1, expired[0].id);
  EXPECT_EQ(2, expired[1].id);
  std::vector<RequestTable::Entry> rest = table.TakeAll();
  ASSERT_EQ(1u, rest.size());
  EXPECT_EQ(3, rest[0].id);
  EXPECT_EQ(0u, table.size());
}

}  // namespace
}  // namespace vy

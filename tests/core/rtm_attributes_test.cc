// User and channel attributes between real clients through the in-process local test service:
// checks, limiters, round trips, the local user's mirror across reconnects, and replies that
// refuse, never come or come malformed.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/vy_channel_attribute.h"
#include "rtm_test_client.h"

namespace rtm_test {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

// Channel attributes as the app builds them for a write.
class ChannelAttributes {
 public:
  ChannelAttributes& Add(const char* key, const std::string& value) {
    owned_.emplace_back(new vy::VyRtmChannelAttribute());
    owned_.back()->setKey(key);
    owned_.back()->setValue(value.c_str());
    pointers_.push_back(owned_.back().get());
    return *this;
  }
  ChannelAttributes& AddNull() {
    pointers_.push_back(nullptr);
    return *this;
  }
  const rtm::IRtmChannelAttribute** data() { return pointers_.data(); }
  int size() const { return static_cast<int>(pointers_.size()); }

 private:
  std::vector<vy::ChannelAttributePtr> owned_;
  std::vector<const rtm::IRtmChannelAttribute*> pointers_;
};

class RtmAttributesTest : public ServiceTest {
 protected:
  // The bodies of every `cmd` that `user` sent, oldest first.
  std::vector<std::string> Sent(const std::string& user, const std::string& cmd) {
    std::vector<std::string> out;
    for (const auto& c : svc_.Log(user)) {
      if (c.cmd == cmd) out.push_back(c.content);
    }
    return out;
  }

  // Waits for the result of `id`'s write and returns its (operation, code).
  std::pair<std::string, int> WriteResult(Client& client, long long id) {
    Event e;
    if (!client.log.WaitForId(Event::kAttributeResult, id, &e)) return {"none", -1};
    return {e.text, e.a};
  }

  // The attributes of `user` as `reader` reads them.
  std::vector<std::string> Read(Client& reader, const char* user) {
    long long id = 0;
    EXPECT_EQ(0, reader->getUserAttributes(user, id));
    Event e;
    EXPECT_TRUE(reader.log.WaitForId(Event::kUserAttributes, id, &e));
    EXPECT_EQ(user, e.peer);
    return e.list;
  }

  // Drops `user`'s connection and waits for the client's own login on a new one.
  // Its log starts afresh.
  void Reconnect(Client& client) {
    client.log.Clear();
    svc_.Close(client.user(), local_service::CloseMode::kRst);
    ASSERT_TRUE(client.log.WaitForState(rtm::CONNECTION_STATE_RECONNECTING,
                                        rtm::CONNECTION_CHANGE_REASON_INTERRUPTED));
    clock_.Jump(2000);
    ASSERT_TRUE(client.log.WaitFor(Event::kLoginSuccess, 1));
  }
};

TEST_F(RtmAttributesTest, ChecksRefuseInTheirOrderWithoutReadingNullPointers) {
  Client alice(svc_, "alice");
  long long id = 0;
  rtm::RtmAttribute one[] = {{"k", "v"}};
  EXPECT_EQ(102, alice->setLocalUserAttributes(one, 1, id));
  EXPECT_EQ(102, alice->getChannelAttributes("ch", id));
  ASSERT_TRUE(alice.Login());

  rtm::RtmAttribute null_value[] = {{"k", "v"}, {"k2", nullptr}};
  rtm::RtmAttribute null_key[] = {{nullptr, "v"}};
  EXPECT_EQ(3, alice->setLocalUserAttributes(null_value, 2, id));
  EXPECT_EQ(3, alice->addOrUpdateLocalUserAttributes(null_key, 1, id));
  EXPECT_EQ(3, alice->setLocalUserAttributes(nullptr, 1, id));
  EXPECT_EQ(3, alice->addOrUpdateLocalUserAttributes(one, -1, id));
  IdList keys(33, "k");
  keys.Set(3, "");
  EXPECT_EQ(3, alice->deleteLocalUserAttributesByKeys(keys.data(), 33, id));
  EXPECT_EQ(2, alice->deleteLocalUserAttributesByKeys(keys.data() + 2, 2, id));
  EXPECT_EQ(3, alice->deleteLocalUserAttributesByKeys(nullptr, 1, id));
  EXPECT_EQ(3, alice->getUserAttributes(nullptr, id));
  EXPECT_EQ(3, alice->getUserAttributes("", id));
  EXPECT_EQ(3, alice->getUserAttributesByKeys("", keys.data(), 1, id));
  EXPECT_EQ(2, alice->getUserAttributesByKeys("bob", keys.data() + 2, 2, id));

  ChannelAttributes too_many;
  for (int i = 0; i < 33; ++i) too_many.Add("k", "v");
  ChannelAttributes empty_key_first;
  empty_key_first.Add("", "v").Add("k", std::string(8192, 'x'));
  ChannelAttributes oversize_first;
  oversize_first.Add("k", std::string(8192, 'x')).AddNull();
  ChannelAttributes empty_value;
  empty_value.Add("k", "");
  ChannelAttributes null_attribute;
  null_attribute.Add("k", "v").AddNull();
  rtm::ChannelAttributeOptions options;
  for (auto write :
       {&rtm::IRtmService::setChannelAttributes, &rtm::IRtmService::addOrUpdateChannelAttributes}) {
    rtm::IRtmService* s = alice.service();
    EXPECT_EQ(3, (s->*write)("ch", too_many.data(), 33, options, id));
    EXPECT_EQ(3, (s->*write)("ch", empty_key_first.data(), 2, options, id));
    EXPECT_EQ(4, (s->*write)("ch", oversize_first.data(), 2, options, id));
    EXPECT_EQ(3, (s->*write)("ch", empty_value.data(), 1, options, id));
    EXPECT_EQ(3, (s->*write)("ch", null_attribute.data(), 2, options, id));
    EXPECT_EQ(3, (s->*write)("ch", nullptr, 1, options, id));
    EXPECT_EQ(3, (s->*write)(nullptr, empty_value.data(), 0, options, id));
  }
  // An empty key is an invalid key when deleting and an invalid argument when reading.
  EXPECT_EQ(2, alice->deleteChannelAttributesByKeys("ch", keys.data() + 2, 2, options, id));
  EXPECT_EQ(3, alice->deleteChannelAttributesByKeys(nullptr, keys.data(), 1, options, id));
  EXPECT_EQ(3, alice->getChannelAttributesByKeys("ch", keys.data() + 2, 2, id));
  EXPECT_EQ(3, alice->clearChannelAttributes("", options, id));
  EXPECT_EQ(3, alice->getChannelAttributes(nullptr, id));

  // At the limits: 32 attributes, a value of 8191 bytes, and none of the refusals counted
  // against the write limiter's ten.
  ChannelAttributes full;
  for (int i = 0; i < 31; ++i) full.Add(("k" + std::to_string(i)).c_str(), "v");
  full.Add("big", std::string(8191, 'x'));
  long long written = 0;
  ASSERT_EQ(0, alice->setChannelAttributes("ch", full.data(), 32, options, written));
  EXPECT_EQ(std::make_pair(std::string("setChannel"), 0), WriteResult(alice, written));
  for (int i = 0; i < 9; ++i) {
    ASSERT_EQ(0, alice->clearChannelAttributes("other", options, id = 0)) << i;
  }
  EXPECT_EQ(5, alice->clearChannelAttributes("other", options, id = 0));
  long long read = 0;
  const char* big[] = {"big"};
  ASSERT_EQ(0, alice->getChannelAttributesByKeys("ch", big, 1, read));
  Event e;
  ASSERT_TRUE(alice.log.WaitForId(Event::kChannelAttributes, read, &e));
  ASSERT_EQ(1u, e.list.size());
  EXPECT_EQ("big=" + std::string(8191, 'x') + "@alice", e.list[0]);
}

TEST_F(RtmAttributesTest, EachLimiterIsSharedByItsOperations) {
  Client alice(svc_, "alice");
  ASSERT_TRUE(alice.Login());
  long long id = 0;
  rtm::RtmAttribute one[] = {{"k", "v"}};
  const char* keys[] = {"k"};
  ChannelAttributes attributes;
  attributes.Add("k", "v");
  rtm::ChannelAttributeOptions options;
  ExpectLimiterWindows(
      clock_,
      {
          {"user writes",
           [&](int n) {
             switch (n % 4) {
               case 0:
                 return alice->setLocalUserAttributes(one, 1, id = 0);
               case 1:
                 return alice->addOrUpdateLocalUserAttributes(one, 1, id = 0);
               case 2:
                 return alice->deleteLocalUserAttributesByKeys(keys, 1, id = 0);
               default:
                 return alice->clearLocalUserAttributes(id = 0);
             }
           },
           10, 5000, 5},
          {"user reads",
           [&](int n) {
             return n % 2 == 0 ? alice->getUserAttributes("bob", id = 0)
                               : alice->getUserAttributesByKeys("bob", keys, 1, id = 0);
           },
           40, 5000, 5},
          {"channel writes",
           [&](int n) {
             switch (n % 4) {
               case 0:
                 return alice->setChannelAttributes("ch", attributes.data(), 1, options, id = 0);
               case 1:
                 return alice->addOrUpdateChannelAttributes("ch", attributes.data(), 1, options,
                                                            id = 0);
               case 2:
                 return alice->deleteChannelAttributesByKeys("ch", keys, 1, options, id = 0);
               default:
                 return alice->clearChannelAttributes("ch", options, id = 0);
             }
           },
           10, 5000, 5},
          {"channel reads",
           [&](int n) {
             return n % 2 == 0 ? alice->getChannelAttributes("ch", id = 0)
                               : alice->getChannelAttributesByKeys("ch", keys, 1, id = 0);
           },
           10, 5000, 5},
      });
}

TEST_F(RtmAttributesTest, UserAttributesWrittenByOneUserAreReadByAnother) {
  Client alice(svc_, "alice");
  Client bob(svc_, "bob");
  ASSERT_TRUE(alice.Login());
  ASSERT_TRUE(bob.Login());
  long long id = 0;
  rtm::RtmAttribute a[] = {{"a", "1"}};
  ASSERT_EQ(0, alice->setLocalUserAttributes(a, 1, id));
  EXPECT_EQ(std::make_pair(std::string("set"), 0), WriteResult(alice, id));
  EXPECT_THAT(Read(bob, "alice"), ElementsAre("a=1"));

  rtm::RtmAttribute bc[] = {{"c", "3"}, {"b", "2"}};
  ASSERT_EQ(0, alice->addOrUpdateLocalUserAttributes(bc, 2, id = 0));
  EXPECT_EQ(std::make_pair(std::string("addOrUpdate"), 0), WriteResult(alice, id));
  const char* drop_a[] = {"a"};
  ASSERT_EQ(0, alice->deleteLocalUserAttributesByKeys(drop_a, 1, id = 0));
  EXPECT_EQ(std::make_pair(std::string("delete"), 0), WriteResult(alice, id));
  EXPECT_THAT(Read(bob, "alice"), ElementsAre("b=2", "c=3"));
  const char* wanted[] = {"c", "zz"};
  ASSERT_EQ(0, bob->getUserAttributesByKeys("alice", wanted, 2, id = 0));
  Event e;
  ASSERT_TRUE(bob.log.WaitForId(Event::kUserAttributes, id, &e));
  EXPECT_THAT(e.list, ElementsAre("c=3"));

  ASSERT_EQ(0, alice->clearLocalUserAttributes(id = 0));
  EXPECT_EQ(std::make_pair(std::string("clear"), 0), WriteResult(alice, id));
  EXPECT_THAT(Read(bob, "alice"), IsEmpty());
  EXPECT_THAT(Read(bob, "nobody"), IsEmpty());
  EXPECT_EQ(R"({"MsgId":)" + std::to_string(id) + "}", Sent("alice", "ClearUserAttributes")[0]);
}

TEST_F(RtmAttributesTest, MirrorIsSentAgainAfterAReconnectAndClearedAttributesStayGone) {
  Client alice(svc_, "alice");
  Client bob(svc_, "bob");
  ASSERT_TRUE(alice.Login());
  ASSERT_TRUE(bob.Login());
  long long id = 0;
  rtm::RtmAttribute a[] = {{"a", "1"}};
  rtm::RtmAttribute b[] = {{"b", "2"}};
  const char* drop_a[] = {"a"};
  ASSERT_EQ(0, alice->setLocalUserAttributes(a, 1, id));
  ASSERT_EQ(0, alice->addOrUpdateLocalUserAttributes(b, 1, id = 0));
  ASSERT_EQ(0, alice->deleteLocalUserAttributesByKeys(drop_a, 1, id = 0));
  WriteResult(alice, id);
  ASSERT_EQ(2u, Sent("alice", "AddOrUpdateUserAttributes").size());

  // The server forgets attributes with the connection; the client gives them back.
  Reconnect(alice);
  ASSERT_TRUE(svc_.WaitForCommand("alice", "AddOrUpdateUserAttributes", 3, 5000));
  EXPECT_EQ(R"({"MsgId":0,"Attributes":"{\"b\":\"2\"}"})",
            Sent("alice", "AddOrUpdateUserAttributes")[2]);
  EXPECT_THAT(Read(bob, "alice"), ElementsAre("b=2"));

  // A set replaces what was there, here too.
  rtm::RtmAttribute c[] = {{"c", "3"}};
  ASSERT_EQ(0, alice->setLocalUserAttributes(c, 1, id = 0));
  WriteResult(alice, id);
  Reconnect(alice);
  ASSERT_TRUE(svc_.WaitForCommand("alice", "AddOrUpdateUserAttributes", 5, 5000));
  EXPECT_EQ(R"({"MsgId":0,"Attributes":"{\"c\":\"3\"}"})",
            Sent("alice", "AddOrUpdateUserAttributes")[4]);
  // The answer to the re-send, which comes before that of a later request, went to nobody.
  EXPECT_THAT(Read(alice, "alice"), ElementsAre("c=3"));
  EXPECT_EQ(0u, alice.log.Count(Event::kAttributeResult));

  // Cleared, then reconnected: nothing comes back.
  ASSERT_EQ(0, alice->clearLocalUserAttributes(id = 0));
  WriteResult(alice, id);
  Reconnect(alice);
  EXPECT_THAT(Read(alice, "alice"), IsEmpty());
  EXPECT_EQ(5u, Sent("alice", "AddOrUpdateUserAttributes").size());

  // Logout empties the mirror as well.
  ASSERT_EQ(0, alice->addOrUpdateLocalUserAttributes(b, 1, id = 0));
  WriteResult(alice, id);
  EXPECT_EQ(0, alice->logout());
  ASSERT_TRUE(alice.Login());
  EXPECT_THAT(Read(alice, "alice"), IsEmpty());
  EXPECT_EQ(6u, Sent("alice", "AddOrUpdateUserAttributes").size());
}

TEST_F(RtmAttributesTest, ChannelAttributesAreWrittenWithOrWithoutNoticeAndReadBack) {
  Client alice(svc_, "alice");
  ASSERT_TRUE(alice.Login());
  long long id = 0;
  rtm::ChannelAttributeOptions notify;
  notify.enableNotificationToChannelMembers = true;
  rtm::ChannelAttributeOptions quiet;
  ChannelAttributes kv;
  kv.Add("k", "v");
  ASSERT_EQ(0, alice->setChannelAttributes("ch", kv.data(), 1, notify, id));
  EXPECT_EQ(std::make_pair(std::string("setChannel"), 0), WriteResult(alice, id));
  EXPECT_EQ(R"({"MsgId":)" + std::to_string(id) +
                R"(,"ChanId":"ch","Attributes":"{\"k\":\"v\"}","SetChan":true,"Notify":true})",
            Sent("alice", "AddOrUpdateChanAttributes")[0]);
  ChannelAttributes twice;
  twice.Add("k2", "old").Add("k2", "v2");
  ASSERT_EQ(0, alice->addOrUpdateChannelAttributes("ch", twice.data(), 2, quiet, id = 0));
  EXPECT_EQ(std::make_pair(std::string("addOrUpdateChannel"), 0), WriteResult(alice, id));
  EXPECT_EQ(R"({"MsgId":)" + std::to_string(id) +
                R"(,"ChanId":"ch","Attributes":"{\"k2\":\"old\",\"k2\":\"v2\"}"})",
            Sent("alice", "AddOrUpdateChanAttributes")[1]);

  ASSERT_EQ(0, alice->getChannelAttributes("ch", id = 0));
  Event e;
  ASSERT_TRUE(alice.log.WaitForId(Event::kChannelAttributes, id, &e));
  EXPECT_THAT(e.list, ElementsAre("k=v@alice", "k2=v2@alice"));
  EXPECT_GT(e.server_time, 0);

  const char* k[] = {"k"};
  ASSERT_EQ(0, alice->deleteChannelAttributesByKeys("ch", k, 1, notify, id = 0));
  EXPECT_EQ(std::make_pair(std::string("deleteChannel"), 0), WriteResult(alice, id));
  EXPECT_EQ(
      R"({"MsgId":)" + std::to_string(id) + R"(,"ChanId":"ch","Keys":"[\"k\"]","Notify":true})",
      Sent("alice", "DeleteChanAttributes")[0]);
  ASSERT_EQ(0, alice->clearChannelAttributes("ch", quiet, id = 0));
  EXPECT_EQ(std::make_pair(std::string("clearChannel"), 0), WriteResult(alice, id));
  EXPECT_EQ(R"({"MsgId":)" + std::to_string(id) + R"(,"ChanId":"ch"})",
            Sent("alice", "ClearChanAttributes")[0]);
  ASSERT_EQ(0, alice->getChannelAttributes("ch", id = 0));
  ASSERT_TRUE(alice.log.WaitForId(Event::kChannelAttributes, id, &e));
  EXPECT_EQ(0, e.b);
}

TEST_F(RtmAttributesTest, RefusalsTimeOutsAndMalformedRepliesEachGiveOneResult) {
  Client alice(svc_, "alice");
  ASSERT_TRUE(alice.Login());
  long long id = 0;
  rtm::RtmAttribute a[] = {{"a", "1"}};
  // The server refuses: reported as a failure, not as success.
  local_service::FaultRule refuse;
  refuse.user = "alice";
  refuse.cmd = "AddOrUpdateUserAttributes";
  refuse.action = local_service::FaultAction::kReplaceField;
  refuse.value = 5;
  refuse.times = 1;
  svc_.AddFault(refuse);
  ASSERT_EQ(0, alice->setLocalUserAttributes(a, 1, id));
  EXPECT_EQ(std::make_pair(std::string("set"), 1), WriteResult(alice, id));

  // Replies that never come: each request ends once, by its family's time-out.
  svc_.AddFault(DropToClient("alice", "QueryAttrib", 1));
  svc_.AddFault(DropToClient("alice", "GetChanAttributes", 1));
  svc_.AddFault(DropToClient("alice", "ClearUserAttributes", 1));
  long long user_read = 0, channel_read = 0, cleared = 0;
  ASSERT_EQ(0, alice->getUserAttributes("bob", user_read));
  ASSERT_EQ(0, alice->getChannelAttributes("ch", channel_read));
  ASSERT_EQ(0, alice->clearLocalUserAttributes(cleared));
  ASSERT_TRUE(svc_.WaitForCommand("alice", "ClearUserAttributes", 1, 5000));
  clock_.Jump(10001);
  Event e;
  ASSERT_TRUE(alice.log.WaitForId(Event::kUserAttributes, user_read, &e));
  EXPECT_EQ(rtm::ATTRIBUTE_OPERATION_ERR_TIMEOUT, e.a);
  EXPECT_EQ("bob", e.peer);
  ASSERT_TRUE(alice.log.WaitForId(Event::kChannelAttributes, channel_read, &e));
  EXPECT_EQ(rtm::ATTRIBUTE_OPERATION_ERR_TIMEOUT, e.a);
  EXPECT_EQ(std::make_pair(std::string("clear"), 6), WriteResult(alice, cleared));

  // Hand-made replies: unreadable members are skipped, the rest is delivered.
  svc_.AddFault(DropToClient("alice", "QueryAttrib", 1));
  svc_.AddFault(DropToClient("alice", "GetChanAttributes", 1));
  ASSERT_EQ(0, alice->getUserAttributes("bob", user_read = 0));
  ASSERT_EQ(0, alice->getChannelAttributes("ch", channel_read = 0));
  ASSERT_TRUE(svc_.WaitForCommand("alice", "GetChanAttributes", 2, 5000));
  svc_.Push("alice", "QueryAttrib", R"({"QueryUserId":"bob","Attribs":"{}"})");
  svc_.Push("alice", "QueryAttrib",
            R"({"MsgId":)" + std::to_string(user_read) +
                R"(,"QueryUserId":"bob","Attribs":"{\"b\":\"2\",\"a\":\"1\",\"n\":3}"})");
  svc_.Push("alice", "GetChanAttributes",
            R"({"MsgId":)" + std::to_string(channel_read) +
                R"(,"Attributes":"[{\"Key\":\"k\",\"Val\":\"v\",\"UId\":7,\"Time\":\"x\"},)"
                R"({\"Key\":1,\"Val\":\"w\"},3]"})");
  ASSERT_TRUE(alice.log.WaitForId(Event::kUserAttributes, user_read, &e));
  EXPECT_THAT(e.list, ElementsAre("a=1", "b=2"));
  ASSERT_TRUE(alice.log.WaitForId(Event::kChannelAttributes, channel_read, &e));
  EXPECT_THAT(e.list, ElementsAre("k=v@"));
  EXPECT_EQ(0, e.server_time);
  EXPECT_EQ(2u, alice.log.Count(Event::kUserAttributes));
}

}  // namespace
}  // namespace rtm_test

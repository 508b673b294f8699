// Wire formats of the presence, member-count and attribute requests and of their replies.
// Values in, text out, and parsed replies in, values out; no I/O.
//
// Lists that go out travel as JSON text inside a string member ("UserIds", "ChanIds", "Keys",
// "Attributes"), not as JSON structures; so do the attribute lists that come back ("Attribs",
// and "Attributes" of the channel-attribute replies). The other lists that come back are JSON
// arrays.
#ifndef CORE_REQUEST_WIRE_H_
#define CORE_REQUEST_WIRE_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "rapidjson/document.h"
#include "rapidjson/stringbuffer.h"
#include "rapidjson/writer.h"

namespace vy {

// Lists read from a reply keep at most this many elements; the rest are skipped and counted.
constexpr size_t kMaxReplyListEntries = 10000;

// A request body: {"MsgId": id, then the members added, in order}.
class RequestBody {
 public:
  explicit RequestBody(long long msg_id);
  RequestBody& Str(const char* key, std::string_view value);
  // Adds `key`: true.
  RequestBody& True(const char* key);
  // The compact text; the body is spent.
  std::string Take();

 private:
  rapidjson::StringBuffer buffer_;
  rapidjson::Writer<rapidjson::StringBuffer> writer_;
};

// The JSON array text of `count` strings, in order. The caller has checked that none is null.
std::string BuildStringListText(const char* const items[], int count);

using AttributeView = std::pair<std::string_view, std::string_view>;
// The JSON object text of the attributes, one member per pair in order; a key given twice
// appears twice.
std::string BuildAttributesText(const std::vector<AttributeView>& attributes);

// One element of a "Status" list.
struct PeerStatusEntry {
  std::string peer_id;
  bool online = false;
  int32_t state = 0;  // 0 online, 2 offline, 1 unknown (a push's -1)
};

// The "Status" list of a "QueryOnlineStatus" reply (push false: "Online" 1 is online, any other
// integer offline) or of a "PeerOnlineStatus" push (push true: 1 online, 0 offline, -1 unknown,
// any other value is skipped). Elements whose "UserId" is not a string or whose "Online" is not
// an integer are skipped. False when "Status" is absent or not an array.
bool ReadPeerStatusList(const rapidjson::Value& content, bool push,
                        std::vector<PeerStatusEntry>* out, size_t* skipped);

// The "UserId" strings of a "QueryOnlineSubStatus" reply's "Status" list. False when "Status"
// is absent or not an array.
bool ReadSubscribedPeers(const rapidjson::Value& content, std::vector<std::string>* out,
                         size_t* skipped);

struct MemberCountEntry {
  std::string channel_id;
  int32_t count = 0;
};

// The "ChanMemSize" list of a "GetChanMemberSize" reply; elements need a string "ChanId" and a
// "MemSize" from 0 to 2^31 - 1. False when the list is absent or not an array.
bool ReadMemberCounts(const rapidjson::Value& content, std::vector<MemberCountEntry>* out,
                      size_t* skipped);

// The pairs of an "Attribs" text (a JSON object of strings; an empty text reads as "{}") in
// ascending key order; a repeated key keeps its later value and members that are not strings
// are skipped. A text that is not a JSON object gives no pairs.
void ReadUserAttributes(std::string_view text,
                        std::vector<std::pair<std::string, std::string>>* out, size_t* skipped);

struct ChannelAttributeEntry {
  std::string key;
  std::string value;
  std::string user_id;  // who changed it last; "" when absent
  int64_t time = 0;     // when, in milliseconds; 0 when absent
};

// The elements of a channel-attribute array, in order. Elements whose "Key" or "Val" is not a
// string are skipped; a "UId" that is not a string reads as "", a "Time" that is not an integer
// as 0.
void ReadChannelAttributeArray(const rapidjson::Value& array,
                               std::vector<ChannelAttributeEntry>* out, size_t* skipped);
// The same from the text of a "GetChanAttributes" reply's "Attributes" (an empty text reads as
// "{}"). A text that is not a JSON array gives no elements.
void ReadChannelAttributeText(std::string_view text, std::vector<ChannelAttributeEntry>* out,
                              size_t* skipped);

}  // namespace vy

#endif  // CORE_REQUEST_WIRE_H_

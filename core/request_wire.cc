#include "core/request_wire.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <map>
#include <utility>

#include "core/json_util.h"

namespace vy {

namespace {

using Writer = rapidjson::Writer<rapidjson::StringBuffer>;

void Str(Writer& w, std::string_view value) {
  w.String(value.data(), static_cast<rapidjson::SizeType>(value.size()));
}

std::string Text(const rapidjson::StringBuffer& buffer) {
  return std::string(buffer.GetString(), buffer.GetSize());
}

std::string StringOf(const rapidjson::Value& value) {
  return std::string(value.GetString(), value.GetStringLength());
}

// Calls `read(element)` for the first kMaxReplyListEntries elements of `list`; `read` returns
// false for an element it skips. The skipped elements, those beyond the limit included, are
// added to `skipped`.
template <class Read>
void ReadElements(const rapidjson::Value& list, size_t* skipped, Read&& read) {
  const size_t n = std::min<size_t>(list.Size(), kMaxReplyListEntries);
  size_t left_out = list.Size() - n;
  for (size_t i = 0; i < n; ++i) {
    if (!read(list[static_cast<rapidjson::SizeType>(i)])) ++left_out;
  }
  *skipped += left_out;
}

// The member `key` of `content` when it is an array, else null.
const rapidjson::Value* ArrayMember(const rapidjson::Value& content, const char* key) {
  const rapidjson::Value* list = FindJsonMember(content, key);
  return list != nullptr && list->IsArray() ? list : nullptr;
}

// Parses a received list text ("" reads as "{}") into `doc`, backed by `copy`.
bool ParseListText(std::string_view text, JsonStr& copy, rapidjson::Document& doc) {
  if (text.size() > static_cast<size_t>(INT_MAX)) return false;
  copy.SetData(text.data(), static_cast<int>(text.size()));
  return ParseJsonInsitu(copy, doc);
}

}  // namespace

RequestBody::RequestBody(long long msg_id) : writer_(buffer_) {
  writer_.StartObject();
  writer_.Key("MsgId");
  writer_.Int64(msg_id);
}

RequestBody& RequestBody::Str(const char* key, std::string_view value) {
  writer_.Key(key);
  vy::Str(writer_, value);
  return *this;
}

RequestBody& RequestBody::True(const char* key) {
  writer_.Key(key);
  writer_.Bool(true);
  return *this;
}

std::string RequestBody::Take() {
  writer_.EndObject();
  return Text(buffer_);
}

std::string BuildStringListText(const char* const items[], int count) {
  rapidjson::StringBuffer buffer;
  Writer w(buffer);
  w.StartArray();
  for (int i = 0; i < count; ++i) Str(w, items[i]);
  w.EndArray();
  return Text(buffer);
}

std::string BuildAttributesText(const std::vector<AttributeView>& attributes) {
  rapidjson::StringBuffer buffer;
  Writer w(buffer);
  w.StartObject();
  for (const auto& [key, value] : attributes) {
    w.Key(key.data(), static_cast<rapidjson::SizeType>(key.size()));
    Str(w, value);
  }
  w.EndObject();
  return Text(buffer);
}

bool ReadPeerStatusList(const rapidjson::Value& content, bool push,
                        std::vector<PeerStatusEntry>* out, size_t* skipped) {
  out->clear();
  *skipped = 0;
  const rapidjson::Value* list = ArrayMember(content, "Status");
  if (list == nullptr) return false;
  ReadElements(*list, skipped, [&](const rapidjson::Value& element) {
    const rapidjson::Value* user = FindJsonMember(element, "UserId");
    const rapidjson::Value* online = FindJsonMember(element, "Online");
    if (user == nullptr || !user->IsString() || online == nullptr || !online->IsInt()) {
      return false;
    }
    PeerStatusEntry entry;
    entry.peer_id = StringOf(*user);
    switch (online->GetInt()) {
      case 1:
        entry.online = true;
        entry.state = 0;
        break;
      case 0:
        entry.state = 2;
        break;
      case -1:
        entry.state = push ? 1 : 2;
        break;
      default:
        if (push) return false;
        entry.state = 2;
        break;
    }
    out->push_back(std::move(entry));
    return true;
  });
  return true;
}

bool ReadSubscribedPeers(const rapidjson::Value& content, std::vector<std::string>* out,
                         size_t* skipped) {
  out->clear();
  *skipped = 0;
  const rapidjson::Value* list = ArrayMember(content, "Status");
  if (list == nullptr) return false;
  ReadElements(*list, skipped, [&](const rapidjson::Value& element) {
    const rapidjson::Value* user = FindJsonMember(element, "UserId");
    if (user == nullptr || !user->IsString()) return false;
    out->push_back(StringOf(*user));
    return true;
  });
  return true;
}

bool ReadMemberCounts(const rapidjson::Value& content, std::vector<MemberCountEntry>* out,
                      size_t* skipped) {
  out->clear();
  *skipped = 0;
  const rapidjson::Value* list = ArrayMember(content, "ChanMemSize");
  if (list == nullptr) return false;
  ReadElements(*list, skipped, [&](const rapidjson::Value& element) {
    const rapidjson::Value* channel = FindJsonMember(element, "ChanId");
    const rapidjson::Value* size = FindJsonMember(element, "MemSize");
    if (channel == nullptr || !channel->IsString() || size == nullptr || !size->IsInt() ||
        size->GetInt() < 0) {
      return false;
    }
    out->push_back(MemberCountEntry{StringOf(*channel), size->GetInt()});
    return true;
  });
  return true;
}

void ReadUserAttributes(std::string_view text,
                        std::vector<std::pair<std::string, std::string>>* out, size_t* skipped) {
  out->clear();
  *skipped = 0;
  JsonStr copy;
  rapidjson::Document doc;
  if (!ParseListText(text, copy, doc) || !doc.IsObject()) return;
  std::map<std::string, std::string> sorted;
  size_t read = 0;
  for (const auto& member : std::as_const(doc).GetObject()) {
    if (read == kMaxReplyListEntries || !member.value.IsString()) {
      ++*skipped;
      continue;
    }
    ++read;
    sorted[StringOf(member.name)] = StringOf(member.value);
  }
  out->assign(std::make_move_iterator(sorted.begin()), std::make_move_iterator(sorted.end()));
}

void ReadChannelAttributeArray(const rapidjson::Value& array,
                               std::vector<ChannelAttributeEntry>* out, size_t* skipped) {
  out->clear();
  *skipped = 0;
  if (!array.IsArray()) return;
  ReadElements(array, skipped, [&](const rapidjson::Value& element) {
    const rapidjson::Value* key = FindJsonMember(element, "Key");
    const rapidjson::Value* value = FindJsonMember(element, "Val");
    if (key == nullptr || !key->IsString() || value == nullptr || !value->IsString()) return false;
    ChannelAttributeEntry entry;
    entry.key = StringOf(*key);
    entry.value = StringOf(*value);
    entry.user_id = GetJsonStr(element, "UId");
    const rapidjson::Value* time = FindJsonMember(element, "Time");
    entry.time = time != nullptr && time->IsInt64() ? time->GetInt64() : 0;
    out->push_back(std::move(entry));
    return true;
  });
}

void ReadChannelAttributeText(std::string_view text, std::vector<ChannelAttributeEntry>* out,
                              size_t* skipped) {
  out->clear();
  *skipped = 0;
  JsonStr copy;
  rapidjson::Document doc;
  if (!ParseListText(text, copy, doc)) return;
  ReadChannelAttributeArray(doc, out, skipped);
}

}  // namespace vy

#include "core/channel_wire.h"

#include <cstring>

#include "rapidjson/stringbuffer.h"
#include "rapidjson/writer.h"

namespace vy {

namespace {

using Writer = rapidjson::Writer<rapidjson::StringBuffer>;

void Key(Writer& w, const char* key) { w.Key(key, static_cast<rapidjson::SizeType>(strlen(key))); }

void Str(Writer& w, const std::string& value) {
  w.String(value.data(), static_cast<rapidjson::SizeType>(value.size()));
}

std::string Text(const rapidjson::StringBuffer& buffer) {
  return std::string(buffer.GetString(), buffer.GetSize());
}

}  // namespace

std::string BuildChannelIdBody(const std::string& channel_id) {
  rapidjson::StringBuffer buffer;
  Writer w(buffer);
  w.StartObject();
  Key(w, "ChanId");
  Str(w, channel_id);
  w.EndObject();
  return Text(buffer);
}

std::string BuildSendChannelMsgBody(long long message_id, const std::string& from,
                                    const std::string& channel_id, int type,
                                    const std::string& body, bool history) {
  rapidjson::StringBuffer buffer;
  Writer w(buffer);
  w.StartObject();
  Key(w, "MsgId");
  w.Int64(message_id);
  Key(w, "FromUId");
  Str(w, from);
  Key(w, "ChanId");
  Str(w, channel_id);
  Key(w, "MsgType");
  w.Int(type);
  Key(w, "MsgBody");
  w.String(body.c_str());
  if (history) {
    Key(w, "HistoryMsg");
    w.Bool(true);
  }
  w.EndObject();
  return Text(buffer);
}

std::string BuildGetChanMembersBody(uint32_t message_id, const std::string& channel_id) {
  rapidjson::StringBuffer buffer;
  Writer w(buffer);
  w.StartObject();
  Key(w, "MsgId");
  w.Uint(message_id);
  Key(w, "ChanId");
  Str(w, channel_id);
  w.EndObject();
  return Text(buffer);
}

}  // namespace vy

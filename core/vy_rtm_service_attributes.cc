// User and channel attributes of VyRtmService: writing and clearing the local user's attributes
// (with a mirror that is sent again after every login), reading any user's, and the same for a
// channel's, with an optional notice to its members.
#include <cstring>
#include <string>
#include <vector>

#include "core/json_util.h"
#include "core/request_wire.h"
#include "core/rtc_log.h"
#include "core/vy_channel_attribute.h"
#include "core/vy_rtm_service.h"

namespace vy {

namespace {

constexpr int kMaxAttributeCount = 32;
// A channel attribute value must be shorter than this, in bytes.
constexpr size_t kMaxAttributeValueBytes = 8192;
// The command that sends the local user's attributes again after a login.
constexpr char kResendCmd[] = "AddOrUpdateUserAttributes";

bool IsEmpty(const char* text) { return text == nullptr || text[0] == '\0'; }

}  // namespace

int VyRtmService::setLocalUserAttributes_I(const rtm::RtmAttribute* attributes,
                                           int numberOfAttributes, long long requestId) {
  return writeLocalUserAttributes(kSetUserAttributes, attributes, numberOfAttributes, requestId);
}

int VyRtmService::addOrUpdateLocalUserAttributes_I(const rtm::RtmAttribute* attributes,
                                                   int numberOfAttributes, long long requestId) {
  return writeLocalUserAttributes(kAddOrUpdateUserAttributes, attributes, numberOfAttributes,
                                  requestId);
}

int VyRtmService::writeLocalUserAttributes(RequestKind kind, const rtm::RtmAttribute* attributes,
                                           int count, long long requestId) {
  if (int code = RequestPrologue()) return code;
  if (count < 0 || (count > 0 && attributes == nullptr)) {
    return rtm::ATTRIBUTE_OPERATION_ERR_INVALID_ARGUMENT;
  }
  for (int i = 0; i < count; ++i) {
    if (attributes[i].key == nullptr || attributes[i].value == nullptr) {
      return rtm::ATTRIBUTE_OPERATION_ERR_INVALID_ARGUMENT;
    }
  }
  if (!user_attributes_write_limiter_.Allow()) return rtm::ATTRIBUTE_OPERATION_ERR_TOO_OFTEN;
  std::vector<AttributeView> views;
  RequestTable::Pairs pairs;
  views.reserve(static_cast<size_t>(count));
  pairs.reserve(static_cast<size_t>(count));
  for (int i = 0; i < count; ++i) {
    views.emplace_back(attributes[i].key, attributes[i].value);
    pairs.emplace_back(attributes[i].key, attributes[i].value);
  }
  RequestBody body(requestId);
  if (kind == kSetUserAttributes) body.True("SetLocal");
  SendRequest(kind, requestId, "AddOrUpdateUserAttributes",
              body.Str("Attributes", BuildAttributesText(views)).Take(), {}, std::move(pairs));
  return 0;
}

int VyRtmService::deleteLocalUserAttributesByKeys_I(const char* attributeKeys[], int numberOfKeys,
                                                    long long requestId) {
  if (int code = RequestPrologue()) return code;
  if (numberOfKeys < 0 || numberOfKeys > kMaxAttributeCount ||
      (numberOfKeys > 0 && attributeKeys == nullptr)) {
    return rtm::ATTRIBUTE_OPERATION_ERR_INVALID_ARGUMENT;
  }
  if (!AllNonEmpty(attributeKeys, numberOfKeys)) return rtm::ATTRIBUTE_OPERATION_ERR_INVALID_KEY;
  if (!user_attributes_write_limiter_.Allow()) return rtm::ATTRIBUTE_OPERATION_ERR_TOO_OFTEN;
  RequestTable::Pairs keys;
  for (int i = 0; i < numberOfKeys; ++i) keys.emplace_back(attributeKeys[i], "");
  SendRequest(
      kDeleteUserAttributes, requestId, "DeleteUserAttributes",
      RequestBody(requestId).Str("Keys", BuildStringListText(attributeKeys, numberOfKeys)).Take(),
      {}, std::move(keys));
  return 0;
}

int VyRtmService::clearLocalUserAttributes_I(long long requestId) {
  if (int code = RequestPrologue()) return code;
  if (!user_attributes_write_limiter_.Allow()) return rtm::ATTRIBUTE_OPERATION_ERR_TOO_OFTEN;
  SendRequest(kClearUserAttributes, requestId, "ClearUserAttributes",
              RequestBody(requestId).Take());
  return 0;
}

int VyRtmService::getUserAttributes_I(const char* userId, long long requestId) {
  if (int code = RequestPrologue()) return code;
  if (IsEmpty(userId)) return rtm::ATTRIBUTE_OPERATION_ERR_INVALID_ARGUMENT;
  if (!user_attributes_read_limiter_.Allow()) return rtm::ATTRIBUTE_OPERATION_ERR_TOO_OFTEN;
  SendRequest(kGetUserAttributes, requestId, "GetUserAttributes",
              RequestBody(requestId).Str("UserId", userId).Take(), userId);
  return 0;
}

int VyRtmService::getUserAttributesByKeys_I(const char* userId, const char* attributeKeys[],
                                            int numberOfKeys, long long requestId) {
  if (int code = RequestPrologue()) return code;
  if (IsEmpty(userId) || numberOfKeys < 0 || (numberOfKeys > 0 && attributeKeys == nullptr)) {
    return rtm::ATTRIBUTE_OPERATION_ERR_INVALID_ARGUMENT;
  }
  if (!AllNonEmpty(attributeKeys, numberOfKeys)) return rtm::ATTRIBUTE_OPERATION_ERR_INVALID_KEY;
  if (!user_attributes_read_limiter_.Allow()) return rtm::ATTRIBUTE_OPERATION_ERR_TOO_OFTEN;
  SendRequest(kGetUserAttributesByKeys, requestId, "GetUserAttributesByKeys",
              RequestBody(requestId)
                  .Str("UserId", userId)
                  .Str("Keys", BuildStringListText(attributeKeys, numberOfKeys))
                  .Take(),
              userId);
  return 0;
}

int VyRtmService::setChannelAttributes_I(const char* channelId,
                                         const rtm::IRtmChannelAttribute* attributes[],
                                         int numberOfAttributes,
                                         const rtm::ChannelAttributeOptions& options,
                                         long long requestId) {
  return writeChannelAttributes(kSetChannelAttributes, channelId, attributes, numberOfAttributes,
                                options, requestId);
}

int VyRtmService::addOrUpdateChannelAttributes_I(const char* channelId,
                                                 const rtm::IRtmChannelAttribute* attributes[],
                                                 int numberOfAttributes,
                                                 const rtm::ChannelAttributeOptions& options,
                                                 long long requestId) {
  return writeChannelAttributes(kAddOrUpdateChannelAttributes, channelId, attributes,
                                numberOfAttributes, options, requestId);
}

int VyRtmService::CheckChannelAttributes(const char* channelId,
                                         const rtm::IRtmChannelAttribute* attributes[],
                                         int count) const {
  // An empty channel id is sent as given; a null one cannot be.
  if (channelId == nullptr || count < 0 || count > kMaxAttributeCount ||
      (count > 0 && attributes == nullptr)) {
    return rtm::ATTRIBUTE_OPERATION_ERR_INVALID_ARGUMENT;
  }
  for (int i = 0; i < count; ++i) {
    const rtm::IRtmChannelAttribute* attribute = attributes[i];
    if (attribute == nullptr || IsEmpty(attribute->getKey()) || IsEmpty(attribute->getValue())) {
      return rtm::ATTRIBUTE_OPERATION_ERR_INVALID_ARGUMENT;
    }
    if (strnlen(attribute->getValue(), kMaxAttributeValueBytes) >= kMaxAttributeValueBytes) {
      return rtm::ATTRIBUTE_OPERATION_ERR_SIZE_OVERFLOW;
    }
  }
  return 0;
}

int VyRtmService::writeChannelAttributes(RequestKind kind, const char* channelId,
                                         const rtm::IRtmChannelAttribute* attributes[], int count,
                                         const rtm::ChannelAttributeOptions& options,
                                         long long requestId) {
  if (int code = RequestPrologue()) return code;
  if (int code = CheckChannelAttributes(channelId, attributes, count)) return code;
  if (!channel_attributes_write_limiter_.Allow()) return rtm::ATTRIBUTE_OPERATION_ERR_TOO_OFTEN;
  std::vector<AttributeView> views;
  views.reserve(static_cast<size_t>(count));
  for (int i = 0; i < count; ++i)
    views.emplace_back(attributes[i]->getKey(), attributes[i]->getValue());
  RequestBody body(requestId);
  body.Str("ChanId", channelId).Str("Attributes", BuildAttributesText(views));
  if (kind == kSetChannelAttributes) body.True("SetChan");
  if (options.enableNotificationToChannelMembers) body.True("Notify");
  SendRequest(kind, requestId, "AddOrUpdateChanAttributes", body.Take());
  return 0;
}

int VyRtmService::deleteChannelAttributesByKeys_I(const char* channelId,
                                                  const char* attributeKeys[], int numberOfKeys,
                                                  const rtm::ChannelAttributeOptions& options,
                                                  long long requestId) {
  if (int code = RequestPrologue()) return code;
  if (channelId == nullptr || numberOfKeys < 0 || (numberOfKeys > 0 && attributeKeys == nullptr)) {
    return rtm::ATTRIBUTE_OPERATION_ERR_INVALID_ARGUMENT;
  }
  if (!AllNonEmpty(attributeKeys, numberOfKeys)) return rtm::ATTRIBUTE_OPERATION_ERR_INVALID_KEY;
  if (!channel_attributes_write_limiter_.Allow()) return rtm::ATTRIBUTE_OPERATION_ERR_TOO_OFTEN;
  RequestBody body(requestId);
  body.Str("ChanId", channelId).Str("Keys", BuildStringListText(attributeKeys, numberOfKeys));
  if (options.enableNotificationToChannelMembers) body.True("Notify");
  SendRequest(kDeleteChannelAttributes, requestId, "DeleteChanAttributes", body.Take());
  return 0;
}

int VyRtmService::clearChannelAttributes_I(const char* channelId,
                                           const rtm::ChannelAttributeOptions& options,
                                           long long requestId) {
  if (int code = RequestPrologue()) return code;
  if (IsEmpty(channelId)) return rtm::ATTRIBUTE_OPERATION_ERR_INVALID_ARGUMENT;
  if (!channel_attributes_write_limiter_.Allow()) return rtm::ATTRIBUTE_OPERATION_ERR_TOO_OFTEN;
  RequestBody body(requestId);
  body.Str("ChanId", channelId);
  if (options.enableNotificationToChannelMembers) body.True("Notify");
  SendRequest(kClearChannelAttributes, requestId, "ClearChanAttributes", body.Take());
  return 0;
}

int VyRtmService::getChannelAttributes_I(const char* channelId, long long requestId) {
  if (int code = RequestPrologue()) return code;
  if (IsEmpty(channelId)) return rtm::ATTRIBUTE_OPERATION_ERR_INVALID_ARGUMENT;
  if (!channel_attributes_read_limiter_.Allow()) return rtm::ATTRIBUTE_OPERATION_ERR_TOO_OFTEN;
  SendRequest(kGetChannelAttributes, requestId, "GetChanAttributes",
              RequestBody(requestId).Str("ChanId", channelId).Take());
  return 0;
}

int VyRtmService::getChannelAttributesByKeys_I(const char* channelId, const char* attributeKeys[],
                                               int numberOfKeys, long long requestId) {
  if (int code = RequestPrologue()) return code;
  // An empty key is an invalid argument here, not an invalid key as in the deletes.
  if (IsEmpty(channelId) || numberOfKeys < 0 || !AllNonEmpty(attributeKeys, numberOfKeys)) {
    return rtm::ATTRIBUTE_OPERATION_ERR_INVALID_ARGUMENT;
  }
  if (!channel_attributes_read_limiter_.Allow()) return rtm::ATTRIBUTE_OPERATION_ERR_TOO_OFTEN;
  SendRequest(kGetChannelAttributesByKeys, requestId, "GetChanAttributesByKeys",
              RequestBody(requestId)
                  .Str("ChanId", channelId)
                  .Str("Keys", BuildStringListText(attributeKeys, numberOfKeys))
                  .Take());
  return 0;
}

void VyRtmService::ResendUserAttributes() {
  if (!logged_in_ || user_attributes_.empty()) return;
  std::vector<AttributeView> views(user_attributes_.begin(), user_attributes_.end());
  // "MsgId" 0: no request awaits its reply.
  doSendMsg(kResendCmd, RequestBody(0).Str("Attributes", BuildAttributesText(views)).Take());
}

void VyRtmService::InstallAttributeCommands() {
  // The request's own kind picks the callback, so a set is reported as a set whether or not
  // the server echoes "SetLocal" or "SetChan".
  router_.SetHandler("AddOrUpdateUserAttributes", [this](const rapidjson::Value& content) {
    OnAttributeWriteReply("AddOrUpdateUserAttributes",
                          {kSetUserAttributes, kAddOrUpdateUserAttributes}, content);
  });
  router_.SetHandler("DeleteUserAttributes", [this](const rapidjson::Value& content) {
    OnAttributeWriteReply("DeleteUserAttributes", {kDeleteUserAttributes}, content);
  });
  router_.SetHandler("ClearUserAttributes", [this](const rapidjson::Value& content) {
    OnAttributeWriteReply("ClearUserAttributes", {kClearUserAttributes}, content);
  });
  router_.SetHandler("AddOrUpdateChanAttributes", [this](const rapidjson::Value& content) {
    OnAttributeWriteReply("AddOrUpdateChanAttributes",
                          {kSetChannelAttributes, kAddOrUpdateChannelAttributes}, content);
  });
  router_.SetHandler("DeleteChanAttributes", [this](const rapidjson::Value& content) {
    OnAttributeWriteReply("DeleteChanAttributes", {kDeleteChannelAttributes}, content);
  });
  router_.SetHandler("ClearChanAttributes", [this](const rapidjson::Value& content) {
    OnAttributeWriteReply("ClearChanAttributes", {kClearChannelAttributes}, content);
  });
  router_.SetHandler("QueryAttrib", [this](const rapidjson::Value& content) {
    OnUserAttributesReply("QueryAttrib", kGetUserAttributes, content);
  });
  router_.SetHandler("QueryAttribKeys", [this](const rapidjson::Value& content) {
    OnUserAttributesReply("QueryAttribKeys", kGetUserAttributesByKeys, content);
  });
  router_.SetHandler("GetChanAttributes", [this](const rapidjson::Value& content) {
    OnChannelAttributesReply("GetChanAttributes", kGetChannelAttributes, content);
  });
  router_.SetHandler("GetChanAttributesByKeys", [this](const rapidjson::Value& content) {
    OnChannelAttributesReply("GetChanAttributesByKeys", kGetChannelAttributesByKeys, content);
  });
}

void VyRtmService::OnAttributeWriteReply(const char* cmd, std::initializer_list<int> kinds,
                                         const rapidjson::Value& content) {
  long long id = 0;
  if (!ReadReplyId(cmd, content, &id)) return;
  const rtm::ATTRIBUTE_OPERATION_ERR code =
      ReplyCode(cmd, content, rtm::ATTRIBUTE_OPERATION_ERR_FAILURE) == 0
          ? rtm::ATTRIBUTE_OPERATION_ERR_OK
          : rtm::ATTRIBUTE_OPERATION_ERR_FAILURE;
  // The answer to the re-send after a login: nobody asked.
  if (id == 0 && std::strcmp(cmd, kResendCmd) == 0) {
    if (code != rtm::ATTRIBUTE_OPERATION_ERR_OK) {
      RtcPrintf(kRtcLogWarning, "Recv cmd=%s: the server refused the attributes sent again", cmd);
    }
    return;
  }
  std::optional<RequestTable::Entry> entry = TakeRequest(cmd, kinds, id);
  if (!entry) return;
  if (code == rtm::ATTRIBUTE_OPERATION_ERR_OK) MirrorUserAttributes(*entry);
  cbAttributeResult(static_cast<RequestKind>(entry->kind), id, code);
}

void VyRtmService::MirrorUserAttributes(const RequestTable::Entry& write) {
  switch (write.kind) {
    case kSetUserAttributes:
      // A set replaces what the server holds.
      user_attributes_.clear();
      [[fallthrough]];
    case kAddOrUpdateUserAttributes:
      for (const auto& [key, value] : write.pairs) user_attributes_[key] = value;
      break;
    case kDeleteUserAttributes:
      for (const auto& [key, unused] : write.pairs) user_attributes_.erase(key);
      break;
    case kClearUserAttributes:
      // Cleared attributes must not come back with the next login's re-send.
      user_attributes_.clear();
      break;
    default:
      break;
  }
}

void VyRtmService::OnUserAttributesReply(const char* cmd, RequestKind kind,
                                         const rapidjson::Value& content) {
  long long id = 0;
  if (!ReadReplyId(cmd, content, &id)) return;
  std::optional<RequestTable::Entry> entry = TakeRequest(cmd, {kind}, id);
  if (!entry) return;
  std::vector<std::pair<std::string, std::string>> pairs;
  size_t skipped = 0;
  ReadUserAttributes(GetJsonStr(content, "Attribs"), &pairs, &skipped);
  LogSkipped(cmd, skipped);
  std::vector<rtm::RtmAttribute> attributes;
  attributes.reserve(pairs.size());
  for (const auto& [key, value] : pairs) attributes.push_back({key.c_str(), value.c_str()});
  const rapidjson::Value* user = FindJsonMember(content, "QueryUserId");
  std::string user_id = user != nullptr && user->IsString() ? user->GetString() : entry->scope;
  cbGetUserAttributesResult(id, user_id.c_str(), attributes.empty() ? nullptr : attributes.data(),
                            static_cast<int>(attributes.size()), rtm::ATTRIBUTE_OPERATION_ERR_OK);
}

void VyRtmService::OnChannelAttributesReply(const char* cmd, RequestKind kind,
                                            const rapidjson::Value& content) {
  long long id = 0;
  if (!ReadReplyId(cmd, content, &id)) return;
  std::optional<RequestTable::Entry> entry = TakeRequest(cmd, {kind}, id);
  if (!entry) return;
  std::vector<ChannelAttributeEntry> entries;
  size_t skipped = 0;
  ReadChannelAttributeText(GetJsonStr(content, "Attributes"), &entries, &skipped);
  LogSkipped(cmd, skipped);
  ChannelAttributeArray attributes(entries);
  cbGetChannelAttributesResult(id, attributes.data(), attributes.size(),
                               rtm::ATTRIBUTE_OPERATION_ERR_OK);
}

void VyRtmService::cbAttributeResult(RequestKind kind, long long requestId,
                                     rtm::ATTRIBUTE_OPERATION_ERR code) {
  using Callback = void (rtm::IRtmServiceEventHandler::*)(long long, rtm::ATTRIBUTE_OPERATION_ERR);
  Callback callback = nullptr;
  switch (kind) {
    case kSetUserAttributes:
      callback = &rtm::IRtmServiceEventHandler::onSetLocalUserAttributesResult;
      break;
    case kAddOrUpdateUserAttributes:
      callback = &rtm::IRtmServiceEventHandler::onAddOrUpdateLocalUserAttributesResult;
      break;
    case kDeleteUserAttributes:
      callback = &rtm::IRtmServiceEventHandler::onDeleteLocalUserAttributesResult;
      break;
    case kClearUserAttributes:
      callback = &rtm::IRtmServiceEventHandler::onClearLocalUserAttributesResult;
      break;
    case kSetChannelAttributes:
      callback = &rtm::IRtmServiceEventHandler::onSetChannelAttributesResult;
      break;
    case kAddOrUpdateChannelAttributes:
      callback = &rtm::IRtmServiceEventHandler::onAddOrUpdateChannelAttributesResult;
      break;
    case kDeleteChannelAttributes:
      callback = &rtm::IRtmServiceEventHandler::onDeleteChannelAttributesResult;
      break;
    case kClearChannelAttributes:
      callback = &rtm::IRtmServiceEventHandler::onClearChannelAttributesResult;
      break;
    default:
      RtcPrintf(kRtcLogError, "Request %lld of kind %d has no attribute result", requestId,
                static_cast<int>(kind));
      return;
  }
  ForEachHandler(
      [=](rtm::IRtmServiceEventHandler* handler) { (handler->*callback)(requestId, code); });
}

void VyRtmService::cbGetUserAttributesResult(long long requestId, const char* userId,
                                             const rtm::RtmAttribute* attributes, int count,
                                             rtm::ATTRIBUTE_OPERATION_ERR code) {
  ForEachHandler([=](rtm::IRtmServiceEventHandler* handler) {
    handler->onGetUserAttributesResult(requestId, userId, attributes, count, code);
  });
}

void VyRtmService::cbGetChannelAttributesResult(long long requestId,
                                                const rtm::IRtmChannelAttribute* attributes[],
                                                int count, rtm::ATTRIBUTE_OPERATION_ERR code) {
  ForEachHandler([=](rtm::IRtmServiceEventHandler* handler) {
    handler->onGetChannelAttributesResult(requestId, attributes, count, code);
  });
}

}  // namespace vy

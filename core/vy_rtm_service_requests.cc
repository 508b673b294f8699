// The worker half of the request pattern shared by presence, member counts and attributes:
// the 101/102 prologue, sending a request's command, matching its reply, and the time-out or
// logout report of a request left without one.
#include <string>
#include <utility>

#include "core/json_util.h"
#include "core/request_wire.h"
#include "core/rtc_log.h"
#include "core/vy_rtm_service.h"
#include "rtc_base/base/time_utils.h"

namespace vy {

namespace {

constexpr int kNotInitialized = 101;
constexpr int kNotLoggedIn = 102;

}  // namespace

int VyRtmService::RequestPrologue() const {
  if (!IsInitialized()) return kNotInitialized;
  if (!logged_in_) return kNotLoggedIn;
  return 0;
}

bool VyRtmService::AllNonEmpty(const char* const items[], int count) {
  if (count > 0 && items == nullptr) return false;
  for (int i = 0; i < count; ++i) {
    if (items[i] == nullptr || items[i][0] == '\0') return false;
  }
  return true;
}

void VyRtmService::SendRequest(RequestKind kind, long long requestId, const char* cmd,
                               const std::string& body, std::string scope,
                               RequestTable::Pairs pairs) {
  // Registered even when the command cannot leave: its time-out then reports it.
  requests_.Add(kind, requestId, rtc::TimeMillis(), std::move(scope), std::move(pairs));
  doSendMsg(cmd, body);
}

int VyRtmService::ReplyCode(const char* cmd, const rapidjson::Value& content, int failure) {
  const rapidjson::Value* code = FindJsonMember(content, "Code");
  if (code != nullptr && code->IsInt()) return code->GetInt();
  RtcPrintf(kRtcLogWarning, "Recv cmd=%s without an integer Code: taken as a failure", cmd);
  return failure;
}

bool VyRtmService::ReadReplyId(const char* cmd, const rapidjson::Value& content,
                               long long* id) const {
  if (!InSession(cmd)) return false;
  const rapidjson::Value* value = FindJsonMember(content, "MsgId");
  if (value == nullptr || !value->IsInt64()) {
    RtcPrintf(kRtcLogWarning, "Recv cmd=%s dropped: MsgId is not an integer", cmd);
    return false;
  }
  *id = value->GetInt64();
  return true;
}

std::optional<RequestTable::Entry> VyRtmService::TakeRequest(const char* cmd,
                                                             std::initializer_list<int> kinds,
                                                             long long id) {
  std::optional<RequestTable::Entry> entry = requests_.Take(kinds, id);
  if (!entry) {
    RtcPrintf(kRtcLogWarning, "Recv cmd=%s for request %lld, which awaits none, dropped", cmd, id);
  }
  return entry;
}

void VyRtmService::LogSkipped(const char* cmd, size_t skipped) {
  if (skipped == 0) return;
  RtcPrintf(kRtcLogWarning, "Recv cmd=%s: %zu list elements skipped (wrong types, or beyond %zu)",
            cmd, skipped, kMaxReplyListEntries);
}

void VyRtmService::SweepRequests() {
  if (requests_.size() == 0) return;
  while (std::optional<RequestTable::Entry> expired = requests_.TakeExpired(rtc::TimeMillis())) {
    const RequestTable::Entry& entry = *expired;
    if (entry.in_order) {
      RtcPrintf(kRtcLogWarning, "%s on %s got no reply in time", entry.command.c_str(),
                entry.scope.c_str());
    } else {
      RtcPrintf(kRtcLogWarning, "Request %lld got no reply in time", entry.id);
    }
    ReportRequest(entry, kRequestTimedOut);
  }
}

void VyRtmService::ReportRequest(const RequestTable::Entry& entry, RequestEnd end) {
  // It had its report and only kept its place; its scope may name a new channel of that id.
  if (entry.ended) return;
  if (entry.kind >= kJoinChannel) {
    ReportChannelRequest(entry, end);
    return;
  }
  // Each family names its own time-out code; 102 is "not logged in" in every family.
  int code = kNotLoggedIn;
  if (end == kRequestTimedOut) {
    switch (entry.kind) {
      case kQueryPeersOnline:
        code = rtm::QUERY_PEERS_ONLINE_STATUS_ERR_TIMEOUT;
        break;
      case kSubscribePeers:
      case kUnsubscribePeers:
        code = rtm::PEER_SUBSCRIPTION_STATUS_ERR_TIMEOUT;
        break;
      case kQuerySubscribedPeers:
        code = rtm::QUERY_PEERS_BY_SUBSCRIPTION_OPTION_ERR_TIMEOUT;
        break;
      case kGetMemberCount:
        code = rtm::GET_CHANNEL_MEMBER_COUNT_ERR_TIMEOUT;
        break;
      default:
        code = rtm::ATTRIBUTE_OPERATION_ERR_TIMEOUT;
        break;
    }
  }
  switch (entry.kind) {
    case kQueryPeersOnline:
      cbQueryPeersOnlineStatusResult(entry.id, nullptr, 0,
                                     static_cast<rtm::QUERY_PEERS_ONLINE_STATUS_ERR>(code));
      break;
    case kSubscribePeers:
    case kUnsubscribePeers:
      cbSubscriptionRequestResult(entry.id, static_cast<rtm::PEER_SUBSCRIPTION_STATUS_ERR>(code));
      break;
    case kQuerySubscribedPeers:
      cbQueryPeersBySubscriptionOptionResult(
          entry.id, nullptr, 0, static_cast<rtm::QUERY_PEERS_BY_SUBSCRIPTION_OPTION_ERR>(code));
      break;
    case kGetMemberCount:
      cbGetChannelMemberCountResult(entry.id, nullptr, 0,
                                    static_cast<rtm::GET_CHANNEL_MEMBER_COUNT_ERR_CODE>(code));
      break;
    case kGetUserAttributes:
    case kGetUserAttributesByKeys:
      cbGetUserAttributesResult(entry.id, entry.scope.c_str(), nullptr, 0,
                                static_cast<rtm::ATTRIBUTE_OPERATION_ERR>(code));
      break;
    case kGetChannelAttributes:
    case kGetChannelAttributesByKeys:
      cbGetChannelAttributesResult(entry.id, nullptr, 0,
                                   static_cast<rtm::ATTRIBUTE_OPERATION_ERR>(code));
      break;
    default:
      cbAttributeResult(static_cast<RequestKind>(entry.kind), entry.id,
                        static_cast<rtm::ATTRIBUTE_OPERATION_ERR>(code));
      break;
  }
}

}  // namespace vy

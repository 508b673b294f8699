// Presence and member counts of VyRtmService: querying peers' online status, subscribing to
// it and listing the subscriptions, counting channel members, and the server's status pushes.
//
// The server keeps a user's subscriptions until the session ends (logout, a kick or an expired
// token), across lost connections: the service does not subscribe again after a reconnect.
#include <string>
#include <vector>

#include "core/json_util.h"
#include "core/request_wire.h"
#include "core/rtc_log.h"
#include "core/vy_rtm_service.h"

namespace vy {

namespace {

constexpr int kMaxQueriedPeers = 256;
constexpr int kMaxSubscribedPeers = 512;

std::vector<rtm::PeerOnlineStatus> StatusArray(const std::vector<PeerStatusEntry>& entries) {
  std::vector<rtm::PeerOnlineStatus> statuses;
  statuses.reserve(entries.size());
  for (const PeerStatusEntry& entry : entries) {
    statuses.push_back(rtm::PeerOnlineStatus{entry.peer_id.c_str(), entry.online, entry.state});
  }
  return statuses;
}

}  // namespace

int VyRtmService::queryPeersOnlineStatus_I(const char* peerIds[], int peerCount,
                                           long long requestId) {
  if (int code = RequestPrologue()) return code;
  if (peerCount < 0 || !AllNonEmpty(peerIds, peerCount) || peerCount > kMaxQueriedPeers) {
    return rtm::QUERY_PEERS_ONLINE_STATUS_ERR_INVALID_ARGUMENT;
  }
  if (!query_online_limiter_.Allow()) return rtm::QUERY_PEERS_ONLINE_STATUS_ERR_TOO_OFTEN;
  SendRequest(
      kQueryPeersOnline, requestId, "QueryOnlineStatus",
      RequestBody(requestId).Str("UserIds", BuildStringListText(peerIds, peerCount)).Take());
  return 0;
}

int VyRtmService::subscribePeersOnlineStatus_I(const char* peerIds[], int peerCount,
                                               long long requestId) {
  if (int code = RequestPrologue()) return code;
  if (peerCount < 0 || !AllNonEmpty(peerIds, peerCount)) {
    return rtm::PEER_SUBSCRIPTION_STATUS_ERR_INVALID_ARGUMENT;
  }
  if (peerCount > kMaxSubscribedPeers) return rtm::PEER_SUBSCRIPTION_STATUS_ERR_OVERFLOW;
  if (!subscribe_limiter_.Allow()) return rtm::PEER_SUBSCRIPTION_STATUS_ERR_TOO_OFTEN;
  SendRequest(
      kSubscribePeers, requestId, "SubscribeOnlineStatus",
      RequestBody(requestId).Str("UserIds", BuildStringListText(peerIds, peerCount)).Take());
  return 0;
}

int VyRtmService::unsubscribePeersOnlineStatus_I(const char* peerIds[], int peerCount,
                                                 long long requestId) {
  if (int code = RequestPrologue()) return code;
  // The count is checked before the ids here, unlike subscribing.
  if (peerCount > kMaxSubscribedPeers) return rtm::PEER_SUBSCRIPTION_STATUS_ERR_OVERFLOW;
  if (peerCount < 0 || !AllNonEmpty(peerIds, peerCount)) {
    return rtm::PEER_SUBSCRIPTION_STATUS_ERR_INVALID_ARGUMENT;
  }
  if (!unsubscribe_limiter_.Allow()) return rtm::PEER_SUBSCRIPTION_STATUS_ERR_TOO_OFTEN;
  SendRequest(
      kUnsubscribePeers, requestId, "UnSubscribeOnlineStatus",
      RequestBody(requestId).Str("UserIds", BuildStringListText(peerIds, peerCount)).Take());
  return 0;
}

// Online status is the only option there is, so the option is not looked at.
int VyRtmService::queryPeersBySubscriptionOption_I(rtm::PEER_SUBSCRIPTION_OPTION /*option*/,
                                                   long long requestId) {
  if (int code = RequestPrologue()) return code;
  if (!query_subscribed_limiter_.Allow()) {
    return rtm::QUERY_PEERS_BY_SUBSCRIPTION_OPTION_ERR_TOO_OFTEN;
  }
  SendRequest(kQuerySubscribedPeers, requestId, "QueryOnlineSubStatus",
              RequestBody(requestId).Take());
  return 0;
}

int VyRtmService::getChannelMemberCount_I(const char* channelIds[], int channelCount,
                                          long long requestId) {
  if (int code = RequestPrologue()) return code;
  if (channelCount < 0 || !AllNonEmpty(channelIds, channelCount)) {
    return rtm::GET_CHANNEL_MEMBER_COUNT_ERR_INVALID_ARGUMENT;
  }
  if (!member_count_limiter_.Allow()) return rtm::GET_CHANNEL_MEMBER_COUNT_ERR_TOO_OFTEN;
  SendRequest(
      kGetMemberCount, requestId, "GetChanMemberSize",
      RequestBody(requestId).Str("ChanIds", BuildStringListText(channelIds, channelCount)).Take());
  return 0;
}

void VyRtmService::InstallPresenceCommands() {
  router_.SetHandler("QueryOnlineStatus", [this](const rapidjson::Value& content) {
    OnQueryOnlineStatusReply(content);
  });
  router_.SetHandler("PeerOnlineStatus",
                     [this](const rapidjson::Value& content) { OnPeerOnlineStatus(content); });
  router_.SetHandler("SubscribeOnlineStatus", [this](const rapidjson::Value& content) {
    OnSubscriptionReply("SubscribeOnlineStatus", kSubscribePeers, content);
  });
  router_.SetHandler("UnSubscribeOnlineStatus", [this](const rapidjson::Value& content) {
    OnSubscriptionReply("UnSubscribeOnlineStatus", kUnsubscribePeers, content);
  });
  router_.SetHandler("QueryOnlineSubStatus", [this](const rapidjson::Value& content) {
    OnQueryOnlineSubStatusReply(content);
  });
  router_.SetHandler("GetChanMemberSize", [this](const rapidjson::Value& content) {
    OnGetChanMemberSizeReply(content);
  });
}

// A malformed reply is dropped before its request is taken out, so the request still ends,
// by its time-out.
void VyRtmService::OnQueryOnlineStatusReply(const rapidjson::Value& content) {
  const char* cmd = "QueryOnlineStatus";
  long long id = 0;
  if (!ReadReplyId(cmd, content, &id)) return;
  std::vector<PeerStatusEntry> entries;
  size_t skipped = 0;
  if (!ReadPeerStatusList(content, /*push=*/false, &entries, &skipped)) {
    RtcPrintf(kRtcLogWarning, "Recv cmd=%s dropped: Status is not an array", cmd);
    return;
  }
  LogSkipped(cmd, skipped);
  if (!TakeRequest(cmd, {kQueryPeersOnline}, id)) return;
  std::vector<rtm::PeerOnlineStatus> statuses = StatusArray(entries);
  cbQueryPeersOnlineStatusResult(id, statuses.data(), static_cast<int>(statuses.size()),
                                 rtm::QUERY_PEERS_ONLINE_STATUS_ERR_OK);
}

void VyRtmService::OnPeerOnlineStatus(const rapidjson::Value& content) {
  const char* cmd = "PeerOnlineStatus";
  if (!InSession(cmd)) return;
  std::vector<PeerStatusEntry> entries;
  size_t skipped = 0;
  if (!ReadPeerStatusList(content, /*push=*/true, &entries, &skipped)) {
    RtcPrintf(kRtcLogWarning, "Recv cmd=%s dropped: Status is not an array", cmd);
    return;
  }
  LogSkipped(cmd, skipped);
  std::vector<rtm::PeerOnlineStatus> statuses = StatusArray(entries);
  const rtm::PeerOnlineStatus* list = statuses.data();
  const int count = static_cast<int>(statuses.size());
  ForEachHandler([list, count](rtm::IRtmServiceEventHandler* handler) {
    handler->onPeersOnlineStatusChanged(list, count);
  });
}

void VyRtmService::OnSubscriptionReply(const char* cmd, RequestKind kind,
                                       const rapidjson::Value& content) {
  long long id = 0;
  if (!ReadReplyId(cmd, content, &id)) return;
  if (!TakeRequest(cmd, {kind}, id)) return;
  // The server's code is passed on as it is.
  cbSubscriptionRequestResult(id, static_cast<rtm::PEER_SUBSCRIPTION_STATUS_ERR>(ReplyCode(
                                      cmd, content, rtm::PEER_SUBSCRIPTION_STATUS_ERR_FAILURE)));
}

void VyRtmService::OnQueryOnlineSubStatusReply(const rapidjson::Value& content) {
  const char* cmd = "QueryOnlineSubStatus";
  long long id = 0;
  if (!ReadReplyId(cmd, content, &id)) return;
  std::vector<std::string> peers;
  size_t skipped = 0;
  if (!ReadSubscribedPeers(content, &peers, &skipped)) {
    RtcPrintf(kRtcLogWarning, "Recv cmd=%s dropped: Status is not an array", cmd);
    return;
  }
  LogSkipped(cmd, skipped);
  if (!TakeRequest(cmd, {kQuerySubscribedPeers}, id)) return;
  std::vector<const char*> ids;
  ids.reserve(peers.size());
  for (const std::string& peer : peers) ids.push_back(peer.c_str());
  cbQueryPeersBySubscriptionOptionResult(id, ids.data(), static_cast<int>(ids.size()),
                                         rtm::QUERY_PEERS_BY_SUBSCRIPTION_OPTION_ERR_OK);
}

void VyRtmService::OnGetChanMemberSizeReply(const rapidjson::Value& content) {
  const char* cmd = "GetChanMemberSize";
  long long id = 0;
  if (!ReadReplyId(cmd, content, &id)) return;
  std::vector<MemberCountEntry> entries;
  size_t skipped = 0;
  if (!ReadMemberCounts(content, &entries, &skipped)) {
    RtcPrintf(kRtcLogWarning, "Recv cmd=%s dropped: ChanMemSize is not an array", cmd);
    return;
  }
  LogSkipped(cmd, skipped);
  if (!TakeRequest(cmd, {kGetMemberCount}, id)) return;
  std::vector<rtm::ChannelMemberCount> counts;
  counts.reserve(entries.size());
  for (const MemberCountEntry& entry : entries) {
    counts.push_back(rtm::ChannelMemberCount{entry.channel_id.c_str(), entry.count});
  }
  cbGetChannelMemberCountResult(id, counts.data(), static_cast<int>(counts.size()),
                                rtm::GET_CHANNEL_MEMBER_COUNT_ERR_OK);
}

void VyRtmService::cbQueryPeersOnlineStatusResult(long long requestId,
                                                  const rtm::PeerOnlineStatus* statuses, int count,
                                                  rtm::QUERY_PEERS_ONLINE_STATUS_ERR code) {
  ForEachHandler([=](rtm::IRtmServiceEventHandler* handler) {
    handler->onQueryPeersOnlineStatusResult(requestId, statuses, count, code);
  });
}

void VyRtmService::cbSubscriptionRequestResult(long long requestId,
                                               rtm::PEER_SUBSCRIPTION_STATUS_ERR code) {
  ForEachHandler([=](rtm::IRtmServiceEventHandler* handler) {
    handler->onSubscriptionRequestResult(requestId, code);
  });
}

void VyRtmService::cbQueryPeersBySubscriptionOptionResult(
    long long requestId, const char* peerIds[], int count,
    rtm::QUERY_PEERS_BY_SUBSCRIPTION_OPTION_ERR code) {
  ForEachHandler([=](rtm::IRtmServiceEventHandler* handler) {
    handler->onQueryPeersBySubscriptionOptionResult(requestId, peerIds, count, code);
  });
}

void VyRtmService::cbGetChannelMemberCountResult(long long requestId,
                                                 const rtm::ChannelMemberCount* counts, int count,
                                                 rtm::GET_CHANNEL_MEMBER_COUNT_ERR_CODE code) {
  ForEachHandler([=](rtm::IRtmServiceEventHandler* handler) {
    handler->onGetChannelMemberCountResult(requestId, counts, count, code);
  });
}

}  // namespace vy

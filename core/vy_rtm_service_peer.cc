// Peer messages of VyRtmService: the message factories, sending with its checks and flood
// limit, the pending-send map and its time-outs, received messages and their acks, and the
// fetch of messages stored while the user was offline.
#include <algorithm>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "core/json_util.h"
#include "core/rtc_log.h"
#include "core/session_wire.h"
#include "core/vy_message.h"
#include "core/vy_rtm_service.h"
#include "rtc_base/base/time_utils.h"

namespace vy {

namespace {

constexpr int64_t kPendingTimeoutMs = 10000;
constexpr int64_t kSweepIntervalMs = 10;
constexpr size_t kFloodPendingCount = 300;
constexpr int64_t kFloodAgeMs = 3000;
constexpr int kServiceRequestTimeoutMs = 10000;

struct MessageReleaser {
  void operator()(VyMessage* message) const { message->release(); }
};
using MessagePtr = std::unique_ptr<VyMessage, MessageReleaser>;

}  // namespace

// The factories run on the caller's thread; ids come from the process-wide generator, so no
// sleep is needed to keep them apart.
rtm::IMessage* VyRtmService::createMessage() {
  VyMessage* message = new VyMessage(this);
  message->SetMsgId(NextMessageId());
  message->SetMsgType(rtm::MESSAGE_TYPE_TEXT);
  return message;
}

rtm::IMessage* VyRtmService::createMessage(const char* text) {
  if (text == nullptr || text[0] == '\0') return nullptr;
  VyMessage* message = new VyMessage(this);
  message->SetMsgId(NextMessageId());
  message->SetMsgType(rtm::MESSAGE_TYPE_TEXT);
  message->setText(text);
  return message;
}

rtm::IMessage* VyRtmService::createMessage(const unsigned char* rawData, int length) {
  if (rawData == nullptr || length <= 0) return nullptr;
  VyMessage* message = new VyMessage(this);
  message->SetMsgId(NextMessageId());
  message->SetMsgType(rtm::MESSAGE_TYPE_RAW);
  message->SetTextBytes(reinterpret_cast<const char*>(rawData), static_cast<size_t>(length));
  return message;
}

rtm::IMessage* VyRtmService::createMessage(const unsigned char* rawData, int length,
                                           const char* /*description*/) {
  return createMessage(rawData, length);
}

int VyRtmService::sendMessageToPeer_w(const char* peerId, const rtm::IMessage* message,
                                      const rtm::SendMessageOptions& options) {
  const long long id = message->getMessageId();
  // Results are keyed by the message id: a second send of a message still waiting for its
  // result would take that result over. It is refused without a callback, which would be
  // taken for the first send's.
  if (pending_.count(id) != 0) {
    RtcPrintf(kRtcLogWarning, "SendMsgToPeer refused: message %lld already awaits its result", id);
    return -1;
  }
  auto refuse = [this, id](rtm::PEER_MESSAGE_ERR_CODE code) {
    cbSendMessageResult(id, code);
    return -1;
  };
  if (!IsInitialized()) return refuse(rtm::PEER_MESSAGE_ERR_NOT_INITIALIZED);
  if (!logged_in_) return refuse(rtm::PEER_MESSAGE_ERR_USER_NOT_LOGGED_IN);
  if (peerId == nullptr || peerId[0] == '\0') return refuse(rtm::PEER_MESSAGE_ERR_INVALID_USERID);
  const rtm::MESSAGE_TYPE type = message->getMessageType();
  const char* text = message->getText();
  std::string content = text != nullptr ? text : "";
  if (content.size() >= kMaxMessageBytes || (type == rtm::MESSAGE_TYPE_TEXT && content.empty())) {
    return refuse(rtm::PEER_MESSAGE_ERR_INVALID_MESSAGE);
  }
  if (MsgTooOfen()) return refuse(rtm::PEER_MESSAGE_ERR_TOO_OFTEN);
  OnVyMessageMsgOut(id, peerId, type, content, options);
  MsgInfo& info = AddPending(id);
  info.peer = true;
  info.offline = options.enableOfflineMessaging;
  return 0;
}

bool VyRtmService::MsgTooOfen() const {
  if (pending_.size() < kFloodPendingCount) return false;
  const int64_t registered = pending_.begin()->second.deadline - kPendingTimeoutMs;
  return rtc::TimeMillis() - registered >= kFloodAgeMs;
}

void VyRtmService::OnVyMessageMsgOut(long long messageId, const std::string& peerId, int type,
                                     const std::string& content,
                                     const rtm::SendMessageOptions& options) {
  doSendMsg("SendMsgToPeer",
            BuildSendMsgToPeerBody(messageId, user_id_, peerId, type, content, options));
}

VyRtmService::MsgInfo& VyRtmService::AddPending(long long id) {
  const int64_t deadline = rtc::TimeMillis() + kPendingTimeoutMs;
  if (pending_.empty() || deadline < pending_due_) pending_due_ = deadline;
  MsgInfo& info = pending_[id];
  info.deadline = deadline;
  return info;
}

void VyRtmService::SweepPending() {
  const int64_t now = rtc::TimeMillis();
  if (next_sweep_ > now) return;
  next_sweep_ = now + kSweepIntervalMs;
  // Expired entries leave the map before any callback, which may send or log out.
  std::vector<std::pair<long long, MsgInfo>> expired;
  pending_due_ = kNeverDue;
  for (auto it = pending_.begin(); it != pending_.end();) {
    if (it->second.deadline <= now) {
      expired.emplace_back(it->first, std::move(it->second));
      it = pending_.erase(it);
    } else {
      pending_due_ = std::min(pending_due_, it->second.deadline);
      ++it;
    }
  }
  for (const auto& [id, info] : expired) {
    if (info.peer) {
      cbSendMessageResult(id, rtm::PEER_MESSAGE_ERR_TIMEOUT);
    } else {
      ReportChannelSend(id, info, rtm::CHANNEL_MESSAGE_ERR_SENT_TIMEOUT);
    }
  }
}

void VyRtmService::ReportPending(const std::map<long long, MsgInfo>& pending,
                                 rtm::PEER_MESSAGE_ERR_CODE code) {
  for (const auto& [id, info] : pending) {
    if (info.peer) cbSendMessageResult(id, code);
  }
}

void VyRtmService::InstallPeerCommands() {
  router_.SetHandler("RecvMsgFromPeer",
                     [this](const rapidjson::Value& content) { OnRecvMsgFromPeer(content); });
  router_.SetHandler("MsgStatus",
                     [this](const rapidjson::Value& content) { OnMsgStatus(content); });
}

void VyRtmService::OnRecvMsgFromPeer(const rapidjson::Value& content) {
  if (!InSession("RecvMsgFromPeer")) return;
  // Every field is checked before a message is made of it. One without a usable id and sender
  // cannot be acknowledged.
  const rapidjson::Value* id_value = FindJsonMember(content, "MsgId");
  const rapidjson::Value* from_value = FindJsonMember(content, "FromUId");
  if (id_value == nullptr || !id_value->IsInt64() || id_value->GetInt64() < 0 ||
      from_value == nullptr || !from_value->IsString() || from_value->GetStringLength() == 0) {
    RtcPrintf(kRtcLogWarning,
              "Recv cmd=RecvMsgFromPeer refused: MsgId or FromUId missing or "
              "out of range");
    return;
  }
  const long long id = id_value->GetInt64();
  const std::string from(from_value->GetString(), from_value->GetStringLength());
  const rapidjson::Value* body_value = FindJsonMember(content, "MsgBody");
  const int type = GetJsonInt(content, "MsgType");
  if (body_value == nullptr || !body_value->IsString() ||
      body_value->GetStringLength() >= kMaxMessageBytes ||
      (type != rtm::MESSAGE_TYPE_TEXT && type != rtm::MESSAGE_TYPE_RAW)) {
    // Acknowledged all the same, or a server that redelivers would send it for ever.
    RtcPrintf(kRtcLogWarning,
              "Recv cmd=RecvMsgFromPeer %lld from %s dropped: MsgType or MsgBody missing or out "
              "of range (a body must be shorter than %zu bytes)",
              id, from.c_str(), kMaxMessageBytes);
    doSendMsg("RecvMsgFromPeerAck", BuildRecvMsgAckBody(id, from));
    return;
  }
  MessagePtr message(new VyMessage(this));
  message->SetMsgId(id);
  // The server's time is for the app only: one that is absent or negative reads as 0.
  message->SetMsgTime(std::max<int64_t>(GetJsonInt64(content, "SvrTS"), 0));
  message->setText(body_value->GetString());
  message->SetMsgType(static_cast<rtm::MESSAGE_TYPE>(type));
  message->SetPeerUId(from);
  cbMessageReceivedFromPeer(from.c_str(), message.get());
  message.reset();
  // After the handlers: the server may then forget the message.
  doSendMsg("RecvMsgFromPeerAck", BuildRecvMsgAckBody(id, from));
}

void VyRtmService::OnMsgStatus(const rapidjson::Value& content) {
  if (!InSession("MsgStatus")) return;
  const long long id = GetJsonInt64(content, "MsgId");
  auto it = pending_.find(id);
  if (it == pending_.end()) {
    RtcPrintf(kRtcLogWarning, "MsgStatus for message %lld, which awaits none, ignored", id);
    return;
  }
  // A channel message is answered by "SendChannelMsg"; a "MsgStatus" naming one is not a
  // peer result, and the entry waits for its own answer.
  if (!it->second.peer) {
    RtcPrintf(kRtcLogWarning, "MsgStatus for channel message %lld ignored", id);
    return;
  }
  // 0: not delivered; any other integer: delivered. A Status that is no integer is no answer:
  // the send keeps waiting and times out.
  const rapidjson::Value* status = FindJsonMember(content, "Status");
  if (status == nullptr || !(status->IsInt64() || status->IsUint64())) {
    RtcPrintf(kRtcLogWarning, "MsgStatus for message %lld refused: Status is not an integer", id);
    return;
  }
  rtm::PEER_MESSAGE_ERR_CODE code = rtm::PEER_MESSAGE_ERR_OK;
  if (status->IsInt64() && status->GetInt64() == 0) {
    code = it->second.offline ? rtm::PEER_MESSAGE_ERR_CACHED_BY_SERVER
                              : rtm::PEER_MESSAGE_ERR_PEER_UNREACHABLE;
  }
  pending_.erase(it);
  cbSendMessageResult(id, code);
}

HttpPost::Request VyRtmService::ServiceRequest(const char* format, const std::string& body) const {
  HttpPost::Request request;
  request.agent = kHttpAgent;
  // The offline and history endpoints always listen on the built-in port.
  request.url = FormatServiceUrl(format, GetSvrAddr(), kDefaultGatewayPort);
  request.content_type = kFormContentType;
  request.body = body;
  request.timeout_ms = kServiceRequestTimeoutMs;
  request.max_body_bytes = kMaxHttpAnswerBytes;
  return request;
}

void VyRtmService::getP2POffline() {
  if (offline_request_) return;
  offline_request_ = HttpPost::Start(
      ServiceRequest(kOfflineUrlFormat, BuildOfflineBody(app_id_, user_id_, session_id_, token_)),
      [this](bool ok, const std::string& body) { OnOfflineDone(ok, body); });
}

void VyRtmService::OnOfflineDone(bool ok, const std::string& body) {
  if (!offline_request_) return;
  finished_requests_.push_back(std::move(offline_request_));
  if (!ok || body.empty()) return;
  std::vector<OfflineMessage> messages;
  size_t skipped = 0;
  if (!ParseOfflineAnswer(body.data(), body.size(), &messages, &skipped)) {
    RtcPrintf(kRtcLogWarning, "Offline messages: the answer was refused");
    return;
  }
  if (skipped != 0) {
    RtcPrintf(kRtcLogWarning, "Offline messages: %zu entries refused (bad fields, or beyond %zu)",
              skipped, kMaxOfflineMessages);
  }
  for (const OfflineMessage& entry : messages) {
    // A handler may have logged out; the rest is not for a logged-out user.
    if (!logged_in_) break;
    MessagePtr message(new VyMessage(this));
    message->SetOfflineMsg();
    message->SetMsgId(entry.id);
    message->setText(entry.body.c_str());
    message->SetMsgType(static_cast<rtm::MESSAGE_TYPE>(entry.type));
    message->SetPeerUId(entry.from);
    message->SetMsgTime(0);
    cbMessageReceivedFromPeer(entry.from.c_str(), message.get());
  }
}

// Nothing in the service starts the history requests yet; their answers are not used.
void VyRtmService::getChanHistory(const std::string& channelId) {
  StartHistoryRequest(&chan_history_request_, kChanHistoryUrlFormat,
                      BuildChanHistoryBody(app_id_, channelId, session_id_, token_));
}

void VyRtmService::getP2PHistory() {
  StartHistoryRequest(&p2p_history_request_, kP2PHistoryUrlFormat,
                      BuildP2PHistoryBody(app_id_, user_id_, session_id_, token_));
}

void VyRtmService::StartHistoryRequest(std::unique_ptr<HttpPost>* slot, const char* format,
                                       const std::string& body) {
  if (*slot) return;
  *slot = HttpPost::Start(ServiceRequest(format, body), [this, slot](bool, const std::string&) {
    if (*slot) finished_requests_.push_back(std::move(*slot));
  });
}

void VyRtmService::DropPeerRequests() {
  offline_request_.reset();
  chan_history_request_.reset();
  p2p_history_request_.reset();
}

void VyRtmService::cbSendMessageResult(long long messageId, rtm::PEER_MESSAGE_ERR_CODE code) {
  ForEachHandler([messageId, code](rtm::IRtmServiceEventHandler* handler) {
    handler->onSendMessageResult(messageId, code);
  });
}

void VyRtmService::cbMessageReceivedFromPeer(const char* peerId, const rtm::IMessage* message) {
  ForEachHandler([peerId, message](rtm::IRtmServiceEventHandler* handler) {
    handler->onMessageReceivedFromPeer(peerId, message);
  });
}

}  // namespace vy

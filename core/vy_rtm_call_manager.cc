#include "core/vy_rtm_call_manager.h"

#include <algorithm>
#include <utility>
#include <vector>

#include "core/call_wire.h"
#include "core/rand_str.h"
#include "core/rtc_log.h"
#include "core/rtm_invoke.h"
#include "rtc_base/base/location.h"
#include "rtc_base/base/time_utils.h"

namespace vy {

namespace {

constexpr int64_t kSendTimeoutMs = 30000;
constexpr int64_t kMakeCallResendMs = 1500;
constexpr int64_t kPeerAnswerTimeoutMs = 60000;
constexpr int64_t kCancelTimeoutMs = 5000;
constexpr int64_t kAnswerTimeoutMs = 5000;
constexpr int64_t kAnswerResendMs = 1000;
constexpr int64_t kEndedKeepMs = 60000;
constexpr int64_t kTrimIntervalMs = 1000;
constexpr char kTimeOutReason[] = "TimeOut";

}  // namespace

VyRtmCallManager::VyRtmCallManager(VyRtmCallManagerEvent* event, rtm::IRtmCallEventHandler* handler,
                                   rtc::Thread* owner, const std::string& userId)
    : event_(event), handler_(handler), owner_(owner), user_id_(userId) {}

// Dropping the tables gives up the manager's references.
VyRtmCallManager::~VyRtmCallManager() = default;

int VyRtmCallManager::sendLocalInvitation(rtm::ILocalCallInvitation* invitation) {
  if (invitation == nullptr) return kNullInvitation;
  return InvokeOnThread(owner_, RTC_FROM_HERE, this, &VyRtmCallManager::sendLocalInvitation_w,
                        invitation);
}

int VyRtmCallManager::acceptRemoteInvitation(rtm::IRemoteCallInvitation* invitation) {
  if (invitation == nullptr) return kNullInvitation;
  return InvokeOnThread(owner_, RTC_FROM_HERE, this, &VyRtmCallManager::answerRemoteInvitation_w,
                        invitation, static_cast<int>(kAnswerAccept));
}

int VyRtmCallManager::refuseRemoteInvitation(rtm::IRemoteCallInvitation* invitation) {
  if (invitation == nullptr) return kNullInvitation;
  return InvokeOnThread(owner_, RTC_FROM_HERE, this, &VyRtmCallManager::answerRemoteInvitation_w,
                        invitation, static_cast<int>(kAnswerRefuse));
}

int VyRtmCallManager::cancelLocalInvitation(rtm::ILocalCallInvitation* invitation,
                                            const std::string& reason) {
  if (invitation == nullptr) return kNullInvitation;
  return InvokeOnThread(owner_, RTC_FROM_HERE, this, &VyRtmCallManager::cancelLocalInvitation_w,
                        invitation, reason);
}

rtm::ILocalCallInvitation* VyRtmCallManager::createLocalCallInvitation(const char* calleeId) {
  return new VyLocalCallInvitation(calleeId);
}

void VyRtmCallManager::release() {
  InvokeOnThread(owner_, RTC_FROM_HERE, this, &VyRtmCallManager::release_w);
  // On the worker the manager may be on the call stack (a callback, its pass): the worker
  // deletes it once it has returned to its loop.
  if (owner_->IsCurrent()) {
    owner_->Dispose(this);
  } else {
    delete this;
  }
}

void VyRtmCallManager::release_w() {
  if (released_) return;
  released_ = true;
  if (event_ != nullptr) event_->OnVyRtmCallManagerDestory();
  event_ = nullptr;
  handler_ = nullptr;
  local_calls_.clear();
  remote_calls_.clear();
}

void VyRtmCallManager::EndInvitations() {
  // Both tables are emptied before the first report: a handler may invite, answer or release.
  std::vector<InvitationRef<VyLocalCallInvitation>> local;
  while (!local_calls_.empty()) local.push_back(EndLocal(local_calls_.begin()));
  std::vector<std::pair<int, InvitationRef<VyRemoteCallInvitation>>> remote;
  while (!remote_calls_.empty()) {
    const int answer = remote_calls_.begin()->second.answer;
    remote.emplace_back(answer, EndRemote(remote_calls_.begin()));
  }
  for (auto& invitation : local) {
    if (handler_ == nullptr) break;
    if (invitation->getState() == rtm::LOCAL_INVITATION_STATE_CANCELING) {
      handler_->onLocalInvitationCanceled(invitation.get());
    } else {
      handler_->onLocalInvitationFailure(invitation.get(), rtm::LOCAL_INVITATION_ERR_NOT_LOGGED_IN);
    }
  }
  for (auto& [answer, invitation] : remote) {
    if (handler_ == nullptr) break;
    // A refusal counts as done without its acknowledgement.
    if (answer == kAnswerRefuse) {
      invitation->SetState(rtm::REMOTE_INVITATION_STATE_REFUSED);
      handler_->onRemoteInvitationRefused(invitation.get());
    } else {
      handler_->onRemoteInvitationFailure(invitation.get(),
                                          rtm::REMOTE_INVITATION_ERR_NOT_LOGGED_IN);
    }
  }
}

void VyRtmCallManager::Detach() {
  event_ = nullptr;
  handler_ = nullptr;
}

int VyRtmCallManager::sendLocalInvitation_w(rtm::ILocalCallInvitation* invitation) {
  if (event_ == nullptr) return kDetached;
  // Only invitations made by createLocalCallInvitation can be tracked.
  auto* local = dynamic_cast<VyLocalCallInvitation*>(invitation);
  if (local == nullptr) return kNullInvitation;
  std::string callee = local->getCalleeId();
  if (local_calls_.count(callee) != 0) return kAlreadyInviting;
  std::string call_id;
  if (!CreateRandomString(call_id, kCallIdLength)) {
    RtcPrintf(kRtcLogError, "Invitation to %s not sent: no random call id", callee.c_str());
    return kNoCallId;
  }
  // An invitation object sent again starts a new exchange.
  local->SetState(rtm::LOCAL_INVITATION_STATE_SENT);
  local->SetResponse("");
  const int64_t now = rtc::TimeMillis();
  LocalCall& call = local_calls_[callee];
  call.call_id = std::move(call_id);
  call.callee_id = callee;
  call.invitation = InvitationRef<VyLocalCallInvitation>::Share(local);
  call.deadline = now + kSendTimeoutMs;
  call.next_resend = now + kMakeCallResendMs;
  SendMakeCall(call);
  return kOk;
}

int VyRtmCallManager::cancelLocalInvitation_w(rtm::ILocalCallInvitation* invitation,
                                              const std::string& reason) {
  if (event_ == nullptr) return kDetached;
  std::string callee = invitation->getCalleeId();
  auto it = local_calls_.find(callee);
  if (it == local_calls_.end()) return ended_local_.count(callee) != 0 ? kEnded : kNoInvitation;
  LocalCall& call = it->second;
  if (call.invitation->getState() > rtm::LOCAL_INVITATION_STATE_RECEIVED_BY_PEER) return kEnded;
  SendCancelCall(call, reason);
  call.invitation->SetState(rtm::LOCAL_INVITATION_STATE_CANCELING);
  call.deadline = rtc::TimeMillis() + kCancelTimeoutMs;
  return kOk;
}

int VyRtmCallManager::answerRemoteInvitation_w(rtm::IRemoteCallInvitation* invitation, int answer) {
  if (event_ == nullptr) return kDetached;
  std::string caller = invitation->getCallerId();
  auto it = remote_calls_.find(caller);
  if (it == remote_calls_.end()) return ended_remote_.count(caller) != 0 ? kEnded : kNoInvitation;
  RemoteCall& call = it->second;
  if (call.answer == kAnswerAccept) return kAnswerPending;
  if (call.answer != kAnswerNone) return kEnded;
  const int64_t now = rtc::TimeMillis();
  call.answer = answer;
  call.deadline = now + kAnswerTimeoutMs;
  call.next_resend = now + kAnswerResendMs;
  // The argument may be another object for the same caller; its response is the one sent.
  std::string response = invitation->getResponse();
  call.invitation->setResponse(response.c_str());
  SendAnswer(call, caller);
  return kOk;
}

void VyRtmCallManager::Send(const char* cmd, const std::string& content) {
  if (event_ != nullptr) event_->OnVyRtmCallManagerMsgOut(cmd, content);
}

void VyRtmCallManager::SendMakeCall(const LocalCall& call) {
  Send("MakeCall", BuildCallBody(call.call_id, user_id_, call.callee_id, "Content",
                                 call.invitation->getContent()));
}

void VyRtmCallManager::SendCancelCall(const LocalCall& call, const std::string& reason) {
  Send("CancelCall", BuildCallBody(call.call_id, user_id_, call.callee_id, "Reason", reason));
}

void VyRtmCallManager::SendAnswer(const RemoteCall& call, const std::string& callerId) {
  Send(call.answer == kAnswerAccept ? "AcceptCall" : "RejectCall",
       BuildCallBody(call.call_id, user_id_, callerId, "Response", call.invitation->getResponse()));
}

std::map<std::string, VyRtmCallManager::LocalCall>::iterator VyRtmCallManager::FindLocal(
    const std::string& callId) {
  auto it = local_calls_.begin();
  while (it != local_calls_.end() && it->second.call_id != callId) ++it;
  return it;
}

std::map<std::string, VyRtmCallManager::RemoteCall>::iterator VyRtmCallManager::FindRemote(
    const std::string& callId) {
  auto it = remote_calls_.begin();
  while (it != remote_calls_.end() && it->second.call_id != callId) ++it;
  return it;
}

InvitationRef<VyLocalCallInvitation> VyRtmCallManager::EndLocal(
    std::map<std::string, LocalCall>::iterator it) {
  ended_local_[it->first] = rtc::TimeMillis();
  InvitationRef<VyLocalCallInvitation> invitation = std::move(it->second.invitation);
  local_calls_.erase(it);
  return invitation;
}

InvitationRef<VyRemoteCallInvitation> VyRtmCallManager::EndRemote(
    std::map<std::string, RemoteCall>::iterator it) {
  ended_remote_[it->first] = rtc::TimeMillis();
  InvitationRef<VyRemoteCallInvitation> invitation = std::move(it->second.invitation);
  remote_calls_.erase(it);
  return invitation;
}

bool VyRtmCallManager::SetLocalCallState(const std::string& callId, int state,
                                         const std::string& response) {
  auto it = FindLocal(callId);
  if (it == local_calls_.end()) return false;
  LocalCall& call = it->second;
  const int current = call.invitation->getState();
  switch (state) {
    case rtm::LOCAL_INVITATION_STATE_SENT:
      // A status the server could not tell; a resend clears it.
      if (current == rtm::LOCAL_INVITATION_STATE_SENT) call.status_unknown = true;
      break;
    case rtm::LOCAL_INVITATION_STATE_SENT_TO_SERVER:
      if (current == rtm::LOCAL_INVITATION_STATE_SENT) {
        call.invitation->SetState(rtm::LOCAL_INVITATION_STATE_SENT_TO_SERVER);
        call.next_resend = 0;
      }
      break;
    case rtm::LOCAL_INVITATION_STATE_RECEIVED_BY_PEER: {
      if (current != rtm::LOCAL_INVITATION_STATE_SENT_TO_SERVER) break;
      call.invitation->SetState(rtm::LOCAL_INVITATION_STATE_RECEIVED_BY_PEER);
      call.deadline = rtc::TimeMillis() + kPeerAnswerTimeoutMs;
      call.next_resend = 0;
      auto held = InvitationRef<VyLocalCallInvitation>::Share(call.invitation.get());
      if (handler_ != nullptr) handler_->onLocalInvitationReceivedByPeer(held.get());
      break;
    }
    case rtm::LOCAL_INVITATION_STATE_ACCEPTED_BY_PEER:
    case rtm::LOCAL_INVITATION_STATE_REFUSED_BY_PEER: {
      auto ended = EndLocal(it);
      if (handler_ == nullptr) break;
      // A cancel under way wins: the callee is told of it too.
      if (current == rtm::LOCAL_INVITATION_STATE_CANCELING) {
        handler_->onLocalInvitationCanceled(ended.get());
        break;
      }
      // An answer that overtook the callee's receipt still answers the invitation.
      ended->SetState(static_cast<rtm::LOCAL_INVITATION_STATE>(state));
      ended->SetResponse(response);
      if (state == rtm::LOCAL_INVITATION_STATE_ACCEPTED_BY_PEER) {
        handler_->onLocalInvitationAccepted(ended.get(), response.c_str());
      } else {
        handler_->onLocalInvitationRefused(ended.get(), response.c_str());
      }
      break;
    }
    case rtm::LOCAL_INVITATION_STATE_CANCELING: {
      // Only a cancel under way is acknowledged; a stray acknowledgement ends nothing.
      if (current != rtm::LOCAL_INVITATION_STATE_CANCELING) {
        RtcPrintf(kRtcLogWarning, "CancelCallAck for call %s, which is not canceling, ignored",
                  callId.c_str());
        break;
      }
      auto ended = EndLocal(it);
      if (handler_ != nullptr) handler_->onLocalInvitationCanceled(ended.get());
      break;
    }
    default:
      break;
  }
  return true;
}

void VyRtmCallManager::CalleeOffline(const std::string& callId) {
  auto it = FindLocal(callId);
  if (it == local_calls_.end()) return;
  if (it->second.invitation->getState() > rtm::LOCAL_INVITATION_STATE_SENT_TO_SERVER) return;
  auto ended = EndLocal(it);
  if (handler_ != nullptr) {
    handler_->onLocalInvitationFailure(ended.get(), rtm::LOCAL_INVITATION_ERR_PEER_OFFLINE);
  }
}

void VyRtmCallManager::RecvRemoteInvitation(const std::string& callId,
                                            VyRemoteCallInvitation* invitation) {
  if (handler_ == nullptr) return;
  std::string caller = invitation->getCallerId();
  if (remote_calls_.count(caller) != 0) {
    RtcPrintf(kRtcLogWarning, "MakeCall %s from %s ignored: an invitation from %s is running",
              callId.c_str(), caller.c_str(), caller.c_str());
    return;
  }
  RemoteCall& call = remote_calls_[caller];
  call.call_id = callId;
  call.invitation = InvitationRef<VyRemoteCallInvitation>::Share(invitation);
  call.deadline = rtc::TimeMillis() + kPeerAnswerTimeoutMs;
  auto held = InvitationRef<VyRemoteCallInvitation>::Share(invitation);
  handler_->onRemoteInvitationReceived(held.get());
}

bool VyRtmCallManager::SetRemoteCallState(const std::string& callId, int state, int code) {
  auto it = FindRemote(callId);
  if (it == remote_calls_.end()) return false;
  const int answer = it->second.answer;
  // An acknowledgement ends only the answer it acknowledges.
  if ((state == rtm::REMOTE_INVITATION_STATE_ACCEPTED && answer != kAnswerAccept) ||
      (state == rtm::REMOTE_INVITATION_STATE_REFUSED && answer != kAnswerRefuse)) {
    RtcPrintf(kRtcLogWarning, "Acknowledgement for call %s, which sent no such answer, ignored",
              callId.c_str());
    return true;
  }
  auto ended = EndRemote(it);
  rtm::IRtmCallEventHandler* handler = handler_;
  switch (state) {
    case rtm::REMOTE_INVITATION_STATE_REFUSED:
      ended->SetState(rtm::REMOTE_INVITATION_STATE_REFUSED);
      if (handler != nullptr) handler->onRemoteInvitationRefused(ended.get());
      break;
    case rtm::REMOTE_INVITATION_STATE_ACCEPTED:
      if (code == 0) {
        ended->SetState(rtm::REMOTE_INVITATION_STATE_ACCEPTED);
        if (handler != nullptr) handler->onRemoteInvitationAccepted(ended.get());
      } else if (handler != nullptr) {
        handler->onRemoteInvitationFailure(ended.get(),
                                           rtm::REMOTE_INVITATION_ERR_INVITATION_EXPIRE);
      }
      break;
    case rtm::REMOTE_INVITATION_STATE_CANCELED:
      if (code == 0) {
        ended->SetState(rtm::REMOTE_INVITATION_STATE_CANCELED);
        if (handler != nullptr) handler->onRemoteInvitationCanceled(ended.get());
      } else if (handler != nullptr) {
        handler->onRemoteInvitationFailure(ended.get(),
                                           static_cast<rtm::REMOTE_INVITATION_ERR_CODE>(code));
      }
      break;
    default:
      break;
  }
  return true;
}

void VyRtmCallManager::DoProcess() {
  if (event_ == nullptr || released_) return;
  const int64_t now = rtc::TimeMillis();
  TrimEnded(now);
  ProcessLocal(now);
  // A callback may have released the manager or the service.
  if (event_ == nullptr || released_) return;
  ProcessRemote(now);
}

int64_t VyRtmCallManager::NextDueMs() const {
  int64_t due = INT64_MAX;
  if (event_ == nullptr || released_) return due;
  if (!ended_local_.empty() || !ended_remote_.empty()) due = next_trim_;
  // The same states ProcessLocal and ProcessRemote act on.
  for (const auto& [id, call] : local_calls_) {
    switch (call.invitation->getState()) {
      case rtm::LOCAL_INVITATION_STATE_SENT:
      case rtm::LOCAL_INVITATION_STATE_SENT_TO_SERVER:
        if (call.next_resend != 0) due = std::min(due, call.next_resend);
        [[fallthrough]];
      case rtm::LOCAL_INVITATION_STATE_RECEIVED_BY_PEER:
      case rtm::LOCAL_INVITATION_STATE_CANCELING:
        due = std::min(due, call.deadline);
        break;
      default:
        break;
    }
  }
  for (const auto& [id, call] : remote_calls_) {
    if (call.answer == kAnswerDone) continue;
    due = std::min(due, call.deadline);
    if (call.answer != kAnswerNone && call.next_resend != 0) due = std::min(due, call.next_resend);
  }
  return due;
}

bool VyRtmCallManager::ProcessLocal(int64_t now) {
  for (auto it = local_calls_.begin(); it != local_calls_.end(); ++it) {
    LocalCall& call = it->second;
    switch (call.invitation->getState()) {
      case rtm::LOCAL_INVITATION_STATE_SENT:
      case rtm::LOCAL_INVITATION_STATE_SENT_TO_SERVER: {
        if (now >= call.deadline) {
          const bool unknown = call.invitation->getState() == rtm::LOCAL_INVITATION_STATE_SENT &&
                               call.status_unknown;
          auto ended = EndLocal(it);
          if (handler_ != nullptr) {
            handler_->onLocalInvitationFailure(
                ended.get(), unknown ? rtm::LOCAL_INVITATION_ERR_PEER_OFFLINE
                                     : rtm::LOCAL_INVITATION_ERR_PEER_NO_RESPONSE);
          }
          return true;
        }
        if (call.next_resend != 0 && now >= call.next_resend) {
          call.next_resend = now + kMakeCallResendMs;
          call.status_unknown = false;
          SendMakeCall(call);
        }
        break;
      }
      case rtm::LOCAL_INVITATION_STATE_RECEIVED_BY_PEER: {
        if (now < call.deadline) break;
        SendCancelCall(call, kTimeOutReason);
        auto ended = EndLocal(it);
        if (handler_ != nullptr) {
          handler_->onLocalInvitationFailure(ended.get(),
                                             rtm::LOCAL_INVITATION_ERR_INVITATION_EXPIRE);
        }
        return true;
      }
      case rtm::LOCAL_INVITATION_STATE_CANCELING: {
        if (now < call.deadline) break;
        auto ended = EndLocal(it);
        if (handler_ != nullptr) handler_->onLocalInvitationCanceled(ended.get());
        return true;
      }
      default:
        break;
    }
  }
  return false;
}

bool VyRtmCallManager::ProcessRemote(int64_t now) {
  for (auto it = remote_calls_.begin(); it != remote_calls_.end(); ++it) {
    RemoteCall& call = it->second;
    if (call.answer == kAnswerDone) continue;
    if (now >= call.deadline) {
      const int answer = call.answer;
      auto ended = EndRemote(it);
      if (answer == kAnswerRefuse) {
        // A refusal counts as done without its acknowledgement.
        ended->SetState(rtm::REMOTE_INVITATION_STATE_REFUSED);
        if (handler_ != nullptr) handler_->onRemoteInvitationRefused(ended.get());
      } else if (handler_ != nullptr) {
        handler_->onRemoteInvitationFailure(
            ended.get(), answer == kAnswerAccept ? rtm::REMOTE_INVITATION_ERR_ACCEPT_FAILURE
                                                 : rtm::REMOTE_INVITATION_ERR_INVITATION_EXPIRE);
      }
      return true;
    }
    if (call.answer != kAnswerNone && call.next_resend != 0 && now >= call.next_resend) {
      call.next_resend = now + kAnswerResendMs;
      SendAnswer(call, it->first);
    }
  }
  return false;
}

void VyRtmCallManager::TrimEnded(int64_t now) {
  if (now < next_trim_) return;
  next_trim_ = now + kTrimIntervalMs;
  for (auto* ended : {&ended_local_, &ended_remote_}) {
    for (auto it = ended->begin(); it != ended->end();) {
      it = now - it->second > kEndedKeepMs ? ended->erase(it) : std::next(it);
    }
  }
}

}  // namespace vy

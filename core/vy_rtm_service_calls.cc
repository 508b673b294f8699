// Call invitations on the service's side: the call manager's creation and back channel, its
// pass, and the server's call commands, which the service acknowledges itself where the
// protocol asks for it.
#include <string>

#include "core/call_wire.h"
#include "core/json_util.h"
#include "core/rtc_log.h"
#include "core/thread_mgr.h"
#include "core/vy_call_invitation.h"
#include "core/vy_rtm_call_manager.h"
#include "core/vy_rtm_service.h"

namespace vy {

namespace {

// A call command's text member: a string of fewer than `limit` bytes (at least one when
// `required`). An absent optional text reads as empty.
bool ReadCallText(const rapidjson::Value& content, const char* key, size_t limit, bool required,
                  std::string* out) {
  const rapidjson::Value* value = FindJsonMember(content, key);
  if (value == nullptr) return !required;
  if (!value->IsString() || value->GetStringLength() >= limit) return false;
  if (required && value->GetStringLength() == 0) return false;
  out->assign(value->GetString(), value->GetStringLength());
  return true;
}

// The members every call command is read with.
struct CallCommand {
  std::string call_id;
  std::string from;
  std::string text;
};

// Reads "CallId", "FromUId" (when `from` is set) and the text member `text_key` (when given);
// false with a log line when one breaks its limits.
bool ReadCallCommand(const char* cmd, const rapidjson::Value& content, bool from,
                     const char* text_key, CallCommand* out) {
  bool ok = ReadCallText(content, "CallId", kMaxCallIdBytes, true, &out->call_id);
  if (ok && from) ok = ReadCallText(content, "FromUId", kMaxCallIdBytes, true, &out->from);
  if (ok && text_key != nullptr) {
    ok = ReadCallText(content, text_key, kMaxCallTextBytes, false, &out->text);
  }
  if (!ok) {
    RtcPrintf(kRtcLogWarning,
              "Recv cmd=%s refused: CallId, FromUId or its text missing or "
              "out of range",
              cmd);
  }
  return ok;
}

int CancelCode(const std::string& reason) {
  if (reason == "TimeOut") return rtm::REMOTE_INVITATION_ERR_INVITATION_EXPIRE;
  if (reason == "Offline") return rtm::REMOTE_INVITATION_ERR_PEER_OFFLINE;
  return rtm::REMOTE_INVITATION_ERR_OK;
}

}  // namespace

rtm::IRtmCallManager* VyRtmService::getRtmCallManager_w(rtm::IRtmCallEventHandler* eventHandler) {
  if (call_manager_ == nullptr) {
    call_manager_ = new VyRtmCallManager(this, eventHandler, worker_, user_id_);
  }
  return call_manager_;
}

void VyRtmService::OnVyRtmCallManagerMsgOut(const std::string& cmd, const std::string& content) {
  doSendMsg(cmd, content);
}

void VyRtmService::OnVyRtmCallManagerDestory() { call_manager_ = nullptr; }

void VyRtmService::DetachCallManager() {
  if (call_manager_ == nullptr) return;
  call_manager_->Detach();
  call_manager_ = nullptr;
}

void VyRtmService::doCallAck(const char* cmd, const std::string& callId,
                             const std::string& toUserId, int code) {
  doSendMsg(cmd, BuildCallAckBody(callId, user_id_, toUserId, code));
}

void VyRtmService::InstallCallCommands() {
  router_.SetHandler("MakeCall", [this](const rapidjson::Value& content) {
    CallCommand call;
    if (!InSession("MakeCall") || call_manager_ == nullptr ||
        !ReadCallCommand("MakeCall", content, true, "Content", &call)) {
      return;
    }
    doCallAck("MakeCallAck", call.call_id, call.from, 0);
    // The manager takes its own reference; this one goes with the handler.
    auto invitation = InvitationRef<VyRemoteCallInvitation>::Adopt(
        new VyRemoteCallInvitation(call.from, call.text));
    if (call_manager_ != nullptr)
      call_manager_->RecvRemoteInvitation(call.call_id, invitation.get());
  });
  router_.SetHandler("MakeCallAck", [this](const rapidjson::Value& content) {
    CallCommand call;
    if (!InSession("MakeCallAck") || call_manager_ == nullptr ||
        !ReadCallCommand("MakeCallAck", content, false, nullptr, &call)) {
      return;
    }
    call_manager_->SetLocalCallState(call.call_id, rtm::LOCAL_INVITATION_STATE_RECEIVED_BY_PEER,
                                     "");
  });
  router_.SetHandler("CallStatus", [this](const rapidjson::Value& content) {
    CallCommand call;
    if (!InSession("CallStatus") || call_manager_ == nullptr ||
        !ReadCallCommand("CallStatus", content, false, nullptr, &call)) {
      return;
    }
    switch (GetJsonInt(content, "Status")) {
      case 1:
        call_manager_->SetLocalCallState(call.call_id, rtm::LOCAL_INVITATION_STATE_SENT_TO_SERVER,
                                         "");
        break;
      case 2:
        call_manager_->SetLocalCallState(call.call_id, rtm::LOCAL_INVITATION_STATE_RECEIVED_BY_PEER,
                                         "");
        break;
      case 3:  // the callee is not online
        call_manager_->CalleeOffline(call.call_id);
        break;
      case 4:  // the server's own time-out; the invitation ends by its deadline
        break;
      default:
        call_manager_->SetLocalCallState(call.call_id, rtm::LOCAL_INVITATION_STATE_SENT, "");
        break;
    }
  });
  router_.SetHandler("CancelCallAck", [this](const rapidjson::Value& content) {
    CallCommand call;
    if (!InSession("CancelCallAck") || call_manager_ == nullptr ||
        !ReadCallCommand("CancelCallAck", content, false, nullptr, &call)) {
      return;
    }
    call_manager_->SetLocalCallState(call.call_id, rtm::LOCAL_INVITATION_STATE_CANCELING, "");
  });
  for (const char* cmd : {"AcceptCall", "RejectCall"}) {
    router_.SetHandler(cmd, [this, cmd](const rapidjson::Value& content) {
      CallCommand call;
      if (!InSession(cmd) || !ReadCallCommand(cmd, content, true, "Response", &call)) return;
      const bool accept = cmd[0] == 'A';
      bool known =
          call_manager_ != nullptr &&
          call_manager_->SetLocalCallState(call.call_id,
                                           accept ? rtm::LOCAL_INVITATION_STATE_ACCEPTED_BY_PEER
                                                  : rtm::LOCAL_INVITATION_STATE_REFUSED_BY_PEER,
                                           call.text);
      doCallAck(accept ? "AcceptCallAck" : "RejectCallAck", call.call_id, call.from,
                known ? 0 : -1);
    });
  }
  for (const char* cmd : {"AcceptCallAck", "RejectCallAck"}) {
    router_.SetHandler(cmd, [this, cmd](const rapidjson::Value& content) {
      CallCommand call;
      if (!InSession(cmd) || call_manager_ == nullptr ||
          !ReadCallCommand(cmd, content, false, nullptr, &call)) {
        return;
      }
      call_manager_->SetRemoteCallState(call.call_id,
                                        cmd[0] == 'A' ? rtm::REMOTE_INVITATION_STATE_ACCEPTED
                                                      : rtm::REMOTE_INVITATION_STATE_REFUSED,
                                        ReplyCode(cmd, content, -1));
    });
  }
  router_.SetHandler("CancelCall", [this](const rapidjson::Value& content) {
    CallCommand call;
    if (!InSession("CancelCall") ||
        !ReadCallCommand("CancelCall", content, true, "Reason", &call)) {
      return;
    }
    bool known = call_manager_ != nullptr &&
                 call_manager_->SetRemoteCallState(
                     call.call_id, rtm::REMOTE_INVITATION_STATE_CANCELED, CancelCode(call.text));
    doCallAck("CancelCallAck", call.call_id, call.from, known ? 0 : -1);
  });
}

}  // namespace vy

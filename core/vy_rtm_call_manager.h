// VyRtmCallManager: the call manager behind vy::rtm::IRtmCallManager. It keeps the user's own
// outgoing invitations by callee and the incoming ones by caller, sends their commands through
// the service (VyRtmCallManagerEvent), resends them and ends them at their deadlines from the
// service's pass, and applies the server's call commands that the service routes to it.
//
// Every table is touched on the owner thread (the service's worker) only. The public
// operations obey the calling rule (core/rtm_invoke.h) except createLocalCallInvitation, which
// runs on the caller's thread. Handler callbacks run on the worker; the invitation passed lives
// at least until the callback returns, and the callback may call any operation, release the
// manager included.
//
// Lifetime: the manager lives until the app's release(). When the service is released first,
// the manager is detached: it drops its back-reference, makes no more callbacks, and every
// operation but release() and createLocalCallInvitation answers 101.
#ifndef CORE_VY_RTM_CALL_MANAGER_H_
#define CORE_VY_RTM_CALL_MANAGER_H_

#include <cstdint>
#include <map>
#include <string>

#include <vortm/rtm_call.h>

#include "core/vy_call_invitation.h"
#include "core/vy_rtm_events.h"
#include "rtc_base/threads/thread.h"

namespace vy {

class VyRtmCallManager : public vy::rtm::IRtmCallManager {
 public:
  // Results of the operations.
  enum Result {
    kOk = 0,
    kNullInvitation = 1,
    kNoInvitation = 2,     // no such invitation, and none has ended
    kEnded = 3,            // ended, or past the point where the operation applies
    kAnswerPending = 4,    // an acceptance or refusal is already on its way
    kAlreadyInviting = 5,  // the callee has a running invitation
    kNoCallId = -1,        // no call id could be made
    kDetached = 101,       // the service has been released
  };

  VyRtmCallManager(VyRtmCallManagerEvent* event, vy::rtm::IRtmCallEventHandler* handler,
                   rtc::Thread* owner, const std::string& userId);

  // vy::rtm::IRtmCallManager, in slot order.
  int sendLocalInvitation(vy::rtm::ILocalCallInvitation* invitation) override;
  int acceptRemoteInvitation(vy::rtm::IRemoteCallInvitation* invitation) override;
  int refuseRemoteInvitation(vy::rtm::IRemoteCallInvitation* invitation) override;
  int cancelLocalInvitation(vy::rtm::ILocalCallInvitation* invitation,
                            const std::string& reason) override;
  vy::rtm::ILocalCallInvitation* createLocalCallInvitation(const char* calleeId) override;
  // Tells the service, gives up every invitation the manager holds and deletes it. On the
  // worker (a callback, the service's pass) the deletion waits until the manager is on no call
  // stack.
  void release() override;

  // The service's side. Worker thread.
  void SetUserId(const std::string& userId) { user_id_ = userId; }
  // Resends and deadlines; at most one local and one remote invitation end per pass.
  void DoProcess();
  // The earliest time (rtc::TimeMillis) at which DoProcess has a resend, a deadline or a trim
  // to do; INT64_MAX when none.
  int64_t NextDueMs() const;
  // A received "MakeCall": the manager takes its own reference of `invitation`.
  void RecvRemoteInvitation(const std::string& callId, VyRemoteCallInvitation* invitation);
  // Server news of the local invitation with `callId` (LOCAL_INVITATION_STATE values, or 0
  // for an unknown status). False when no local invitation has that id.
  bool SetLocalCallState(const std::string& callId, int state, const std::string& response);
  // "CallStatus" 3: the callee is not online.
  void CalleeOffline(const std::string& callId);
  // Server news of the remote invitation with `callId`: 3 refusal acknowledged, 4 acceptance
  // acknowledged, 5 canceled by the caller; `code` is the acknowledgement's "Code" or the
  // cancel's REMOTE_INVITATION_ERR_CODE. False when no remote invitation has that id.
  bool SetRemoteCallState(const std::string& callId, int state, int code);
  // The session is over (logout, or the service's release): every invitation still running
  // ends once, as its own deadline would end it in its state, with the not-logged-in code where
  // that is a failure.
  void EndInvitations();
  // The service is going: no more commands or callbacks.
  void Detach();

  size_t LocalCount() const { return local_calls_.size(); }
  size_t RemoteCount() const { return remote_calls_.size(); }

 private:
  friend class rtc::DisposeData<VyRtmCallManager>;

  struct LocalCall {
    std::string call_id;
    std::string callee_id;
    InvitationRef<VyLocalCallInvitation> invitation;
    bool status_unknown = false;
    int64_t deadline = 0;     // rtc::TimeMillis
    int64_t next_resend = 0;  // 0: none
  };
  enum Answer { kAnswerNone = 0, kAnswerAccept = 1, kAnswerRefuse = 2, kAnswerDone = 3 };
  struct RemoteCall {
    std::string call_id;
    InvitationRef<VyRemoteCallInvitation> invitation;
    int answer = kAnswerNone;
    int64_t deadline = 0;
    int64_t next_resend = 0;
  };

  ~VyRtmCallManager() override;

  int sendLocalInvitation_w(vy::rtm::ILocalCallInvitation* invitation);
  int answerRemoteInvitation_w(vy::rtm::IRemoteCallInvitation* invitation, int answer);
  int cancelLocalInvitation_w(vy::rtm::ILocalCallInvitation* invitation, const std::string& reason);
  void release_w();

  void SendMakeCall(const LocalCall& call);
  void SendCancelCall(const LocalCall& call, const std::string& reason);
  void SendAnswer(const RemoteCall& call, const std::string& callerId);
  void Send(const char* cmd, const std::string& content);

  std::map<std::string, LocalCall>::iterator FindLocal(const std::string& callId);
  std::map<std::string, RemoteCall>::iterator FindRemote(const std::string& callId);
  // Take the invitation out of its table and record its peer as ended; the caller reports it
  // and then drops the reference.
  InvitationRef<VyLocalCallInvitation> EndLocal(std::map<std::string, LocalCall>::iterator it);
  InvitationRef<VyRemoteCallInvitation> EndRemote(std::map<std::string, RemoteCall>::iterator it);
  // One pass over each table; true when an invitation ended.
  bool ProcessLocal(int64_t now);
  bool ProcessRemote(int64_t now);
  void TrimEnded(int64_t now);

  VyRtmCallManagerEvent* event_;            // null once detached
  vy::rtm::IRtmCallEventHandler* handler_;  // null once detached
  rtc::Thread* const owner_;
  bool released_ = false;
  std::string user_id_;
  // Keyed by callee id and by caller id.
  std::map<std::string, LocalCall> local_calls_;
  std::map<std::string, RemoteCall> remote_calls_;
  // Peers whose invitations have ended, with the time they ended (rtc::TimeMillis); entries
  // older than a minute go, so that they do not grow with call volume.
  std::map<std::string, int64_t> ended_local_;
  std::map<std::string, int64_t> ended_remote_;
  int64_t next_trim_ = 0;
};

}  // namespace vy

#endif  // CORE_VY_RTM_CALL_MANAGER_H_

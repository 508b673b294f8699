// Call invitations and the call manager in the vy::rtm interface family.
#ifndef VORTM_RTM_CALL_H_
#define VORTM_RTM_CALL_H_

#include <string>

#include <vortm/export.h>
#include <vortm/rtm_types.h>

namespace vy {
namespace rtm {

// An invitation this user sends. Invitations are reference counted: the
// creator and the call manager each hold a reference, and release() gives
// one up.
class VORTM_API ILocalCallInvitation {
 protected:
  virtual ~ILocalCallInvitation() = default;

 public:
  virtual const char* getCalleeId() const = 0;
  // The setters copy the text and ignore a null pointer.
  virtual void setContent(const char* content) = 0;
  virtual const char* getContent() const = 0;
  // Kept for the app only; the channel id is never sent.
  virtual void setChannelId(const char* channelId) = 0;
  virtual const char* getChannelId() const = 0;
  virtual const char* getResponse() const = 0;
  virtual LOCAL_INVITATION_STATE getState() const = 0;
  virtual void release() = 0;
};

// An invitation received from another user; reference counted like
// ILocalCallInvitation.
class VORTM_API IRemoteCallInvitation {
 protected:
  virtual ~IRemoteCallInvitation() = default;

 public:
  virtual const char* getCallerId() const = 0;
  virtual const char* getContent() const = 0;
  virtual void setResponse(const char* response) = 0;
  virtual const char* getResponse() const = 0;
  virtual const char* getChannelId() const = 0;
  virtual REMOTE_INVITATION_STATE getState() const = 0;
  virtual void release() = 0;
};

// Events of the call manager, on the service's worker thread. Every callback
// does nothing unless overridden. An invitation the manager took gets
// onLocalInvitationReceivedByPeer at most once (the callee has it, and has
// 60 s to answer) or onRemoteInvitationReceived once (the app has 60 s to
// answer), then exactly one of the other events, unless the app releases the
// manager first:
// - onLocalInvitationAccepted, onLocalInvitationRefused: the callee's answer.
// - onLocalInvitationCanceled: the app's cancel was acknowledged, got no
//   acknowledgement within 5 s or met the callee's answer, or logout (or the
//   service's release) came while it was being canceled.
// - onLocalInvitationFailure: a LOCAL_INVITATION_ERR_CODE.
// - onRemoteInvitationAccepted: the server acknowledged the acceptance with
//   code 0.
// - onRemoteInvitationRefused: the refusal was acknowledged, or 5 s passed
//   without that (a refusal counts as done), or logout (or the service's
//   release) came with it on its way.
// - onRemoteInvitationCanceled: the caller canceled it.
// - onRemoteInvitationFailure: a REMOTE_INVITATION_ERR_CODE.
class VORTM_API IRtmCallEventHandler {
 public:
  virtual ~IRtmCallEventHandler() = default;

  virtual void onLocalInvitationReceivedByPeer(ILocalCallInvitation* localInvitation) {
    (void)localInvitation;
  }
  virtual void onLocalInvitationCanceled(ILocalCallInvitation* localInvitation) {
    (void)localInvitation;
  }
  virtual void onLocalInvitationFailure(ILocalCallInvitation* localInvitation,
                                        LOCAL_INVITATION_ERR_CODE errorCode) {
    (void)localInvitation, (void)errorCode;
  }
  virtual void onLocalInvitationAccepted(ILocalCallInvitation* localInvitation,
                                         const char* response) {
    (void)localInvitation, (void)response;
  }
  virtual void onLocalInvitationRefused(ILocalCallInvitation* localInvitation,
                                        const char* response) {
    (void)localInvitation, (void)response;
  }
  virtual void onRemoteInvitationRefused(IRemoteCallInvitation* remoteInvitation) {
    (void)remoteInvitation;
  }
  virtual void onRemoteInvitationAccepted(IRemoteCallInvitation* remoteInvitation) {
    (void)remoteInvitation;
  }
  virtual void onRemoteInvitationReceived(IRemoteCallInvitation* remoteInvitation) {
    (void)remoteInvitation;
  }
  virtual void onRemoteInvitationFailure(IRemoteCallInvitation* remoteInvitation,
                                         REMOTE_INVITATION_ERR_CODE errorCode) {
    (void)remoteInvitation, (void)errorCode;
  }
  virtual void onRemoteInvitationCanceled(IRemoteCallInvitation* remoteInvitation) {
    (void)remoteInvitation;
  }
};

// The call manager made by IRtmService::getRtmCallManager. Operations run on
// the service's worker thread, except createLocalCallInvitation, which runs
// on the caller's thread. The manager keeps one running invitation per
// callee and one per caller, and finds the one an operation means by that
// peer id. It does not look at the session: an invitation sent while the
// user is not logged in is taken, and its "MakeCall" is resent every 1.5 s
// until the server acknowledges it or the invitation ends.
//
// Lifetime: the manager lives until release(), which gives up every
// invitation it still holds. It may be called from any thread, from inside a
// callback included; on the worker the object is freed once the callback has
// returned. A manager whose service has been released stays valid but
// detached: it makes no more callbacks, its operations answer 101, and its
// release() only frees it.
class VORTM_API IRtmCallManager {
 protected:
  virtual ~IRtmCallManager() = default;

 public:
  // Results of the four: 0 sent, 1 a null invitation, 101 detached, and:
  //
  // sendLocalInvitation: 1 also for an invitation not made by
  // createLocalCallInvitation; 5 an invitation to that callee is running;
  // -1 no call id could be made. The invitation then ends once: accepted,
  // refused, canceled, or failed (LOCAL_INVITATION_ERR_CODE).
  //
  // acceptRemoteInvitation, refuseRemoteInvitation: 2 no invitation from
  // that caller is running or ended within about a minute; 3 it has ended
  // (within about a minute) or a refusal of it is on its way; 4 an
  // acceptance of it is on its way.
  //
  // cancelLocalInvitation: 2 no invitation to that callee is running or
  // ended within about a minute; 3 it has ended (within about a minute) or
  // is being canceled.
  virtual int sendLocalInvitation(ILocalCallInvitation* invitation) = 0;
  virtual int acceptRemoteInvitation(IRemoteCallInvitation* invitation) = 0;
  virtual int refuseRemoteInvitation(IRemoteCallInvitation* invitation) = 0;
  virtual int cancelLocalInvitation(ILocalCallInvitation* invitation,
                                    const std::string& reason) = 0;
  // A new invitation with a reference count of 1; a null id gives an empty
  // callee id.
  virtual ILocalCallInvitation* createLocalCallInvitation(const char* calleeId) = 0;
  virtual void release() = 0;
};

}  // namespace rtm
}  // namespace vy

#endif  // VORTM_RTM_CALL_H_

// VoRtmCallKit: call invitations of a kit (VoRtmKit::getRtmCallKit). Its completions run at once,
// on the caller's thread, with the call manager's result (vy::rtm::IRtmCallManager in
// <vortm/rtm_call.h>): 0 taken; 1 an invitation without a callee or caller id; 5 (send) an
// invitation to that callee is running; -1 (send) no call id could be made; 2 (cancel, accept,
// refuse) no invitation to or from that peer is running or ended within about a minute; 3
// (cancel, accept, refuse) it has ended within about a minute, is being canceled, or a refusal
// of it is on its way; 4 (accept, refuse) an acceptance of it is on its way; 101 the service is
// gone (the kit being destroyed, or the library stopped at process exit). The manager finds
// invitations by peer id, so an invitation object made anew for the same peer will do. It does
// not look at the session: an invitation sent while the user is not logged in is taken, and
// resent every 1.5 s until the server acknowledges it. Once the kit is destroyed, a request
// with a peer id calls no completion.
//
// The delegate is called on the library's main loop, as <vortm/vo_rtm_kit.h> says, with the
// events of vy::rtm::IRtmCallEventHandler: after localInvitationReceivedByPeer (at most once)
// or remoteInvitationReceived, each invitation ends with exactly one other event, unless the
// kit is destroyed first. The failures carry the LOCAL_INVITATION_ERR_CODE and
// REMOTE_INVITATION_ERR_CODE values of <vortm/rtm_types.h>.
#ifndef VORTM_VO_RTM_CALL_KIT_H_
#define VORTM_VO_RTM_CALL_KIT_H_

#if __cplusplus < 201703L
#error "the VoRtmKit kit API needs C++17"
#endif

#include <functional>
#include <memory>
#include <string>

#include <vortm/export.h>
#include <vortm/vo_rtm_values.h>

namespace vortm {

using CallCompletion = std::function<void(int)>;

class VoRtmCallKit;
class VoRtmKit;

// Events of the call kit. Every method is optional: the defaults do nothing.
class VORTM_API VoRtmCallDelegate {
 public:
  virtual ~VoRtmCallDelegate() = default;
  virtual void localInvitationReceivedByPeer(VoRtmCallKit& callKit,
                                             const VoRtmLocalInvitation& invitation) {
    (void)callKit, (void)invitation;
  }
  virtual void localInvitationCanceled(VoRtmCallKit& callKit,
                                       const VoRtmLocalInvitation& invitation) {
    (void)callKit, (void)invitation;
  }
  // errorCode: a vy::rtm LOCAL_INVITATION_ERR_CODE.
  virtual void localInvitationFailure(VoRtmCallKit& callKit, const VoRtmLocalInvitation& invitation,
                                      int errorCode) {
    (void)callKit, (void)invitation, (void)errorCode;
  }
  virtual void localInvitationAccepted(VoRtmCallKit& callKit,
                                       const VoRtmLocalInvitation& invitation,
                                       const std::string& response) {
    (void)callKit, (void)invitation, (void)response;
  }
  virtual void localInvitationRefused(VoRtmCallKit& callKit, const VoRtmLocalInvitation& invitation,
                                      const std::string& response) {
    (void)callKit, (void)invitation, (void)response;
  }
  virtual void remoteInvitationRefused(VoRtmCallKit& callKit,
                                       const VoRtmRemoteInvitation& invitation) {
    (void)callKit, (void)invitation;
  }
  virtual void remoteInvitationAccepted(VoRtmCallKit& callKit,
                                        const VoRtmRemoteInvitation& invitation) {
    (void)callKit, (void)invitation;
  }
  virtual void remoteInvitationReceived(VoRtmCallKit& callKit,
                                        const VoRtmRemoteInvitation& invitation) {
    (void)callKit, (void)invitation;
  }
  // errorCode: a vy::rtm REMOTE_INVITATION_ERR_CODE.
  virtual void remoteInvitationFailure(VoRtmCallKit& callKit,
                                       const VoRtmRemoteInvitation& invitation, int errorCode) {
    (void)callKit, (void)invitation, (void)errorCode;
  }
  virtual void remoteInvitationCanceled(VoRtmCallKit& callKit,
                                        const VoRtmRemoteInvitation& invitation) {
    (void)callKit, (void)invitation;
  }
};

class VORTM_API VoRtmCallKit final : public std::enable_shared_from_this<VoRtmCallKit> {
 public:
  ~VoRtmCallKit();

  void sendLocalInvitation(const VoRtmLocalInvitation& invitation, CallCompletion completion);
  void cancelLocalInvitation(const VoRtmLocalInvitation& invitation, CallCompletion completion);
  void acceptRemoteInvitation(const VoRtmRemoteInvitation& invitation, CallCompletion completion);
  void refuseRemoteInvitation(const VoRtmRemoteInvitation& invitation, CallCompletion completion);

  void setCallDelegate(std::weak_ptr<VoRtmCallDelegate> delegate);
  std::weak_ptr<VoRtmCallDelegate> callDelegate() const;
  // The kit that made the call kit; null once the kit is gone.
  std::shared_ptr<VoRtmKit> rtmKit() const;

  // The library's own state, opaque to apps.
  struct Impl;

 private:
  friend class KitInternals;
  VoRtmCallKit();
  std::unique_ptr<Impl> impl_;

  VoRtmCallKit(const VoRtmCallKit&) = delete;
  VoRtmCallKit& operator=(const VoRtmCallKit&) = delete;
};

}  // namespace vortm

#endif  // VORTM_VO_RTM_CALL_KIT_H_

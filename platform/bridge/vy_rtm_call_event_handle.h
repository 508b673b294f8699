// VYRtmCallEventHandle: the handler of the core's call manager for a VoRtmCallKit. It copies each
// invitation on the worker and the main loop hands the copy to the call kit's delegate, while the
// call kit and the delegate are there. Nothing is built while no delegate is set.
#ifndef PLATFORM_BRIDGE_VY_RTM_CALL_EVENT_HANDLE_H_
#define PLATFORM_BRIDGE_VY_RTM_CALL_EVENT_HANDLE_H_

#include <functional>
#include <memory>

#include <vortm/rtm_call.h>
#include <vortm/vo_rtm_call_kit.h>

#include "absl/base/thread_annotations.h"
#include "rtc_base/base/mutex.h"

namespace vortm {

class VYRtmCallEventHandle final : public vy::rtm::IRtmCallEventHandler,
                                   public std::enable_shared_from_this<VYRtmCallEventHandle> {
 public:
  explicit VYRtmCallEventHandle(std::weak_ptr<VoRtmCallKit> callKit);
  ~VYRtmCallEventHandle() override;

  void setDelegate(std::weak_ptr<VoRtmCallDelegate> delegate);
  std::weak_ptr<VoRtmCallDelegate> delegate() const;
  // The call kit is ending: no more delegate calls.
  void detach();

  // vy::rtm::IRtmCallEventHandler; worker thread.
  void onLocalInvitationReceivedByPeer(vy::rtm::ILocalCallInvitation* invitation) override;
  void onLocalInvitationCanceled(vy::rtm::ILocalCallInvitation* invitation) override;
  void onLocalInvitationFailure(vy::rtm::ILocalCallInvitation* invitation,
                                vy::rtm::LOCAL_INVITATION_ERR_CODE errorCode) override;
  void onLocalInvitationAccepted(vy::rtm::ILocalCallInvitation* invitation,
                                 const char* response) override;
  void onLocalInvitationRefused(vy::rtm::ILocalCallInvitation* invitation,
                                const char* response) override;
  void onRemoteInvitationRefused(vy::rtm::IRemoteCallInvitation* invitation) override;
  void onRemoteInvitationAccepted(vy::rtm::IRemoteCallInvitation* invitation) override;
  void onRemoteInvitationReceived(vy::rtm::IRemoteCallInvitation* invitation) override;
  void onRemoteInvitationFailure(vy::rtm::IRemoteCallInvitation* invitation,
                                 vy::rtm::REMOTE_INVITATION_ERR_CODE errorCode) override;
  void onRemoteInvitationCanceled(vy::rtm::IRemoteCallInvitation* invitation) override;

 private:
  using Call = std::function<void(VoRtmCallDelegate&, VoRtmCallKit&)>;
  bool hasDelegate() const;
  void notify(Call call);
  // Copies a local or remote invitation and posts `call` with the copy; nothing without a
  // delegate or an invitation.
  template <typename Invitation, typename Deliver>
  void local(Invitation* invitation, Deliver deliver);
  template <typename Invitation, typename Deliver>
  void remote(Invitation* invitation, Deliver deliver);

  const std::weak_ptr<VoRtmCallKit> call_kit_;
  mutable rtc::Mutex mu_;
  std::weak_ptr<VoRtmCallDelegate> delegate_ ABSL_GUARDED_BY(mu_);
  bool detached_ ABSL_GUARDED_BY(mu_) = false;
};

}  // namespace vortm

#endif  // PLATFORM_BRIDGE_VY_RTM_CALL_EVENT_HANDLE_H_

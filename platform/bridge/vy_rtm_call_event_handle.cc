#include "platform/bridge/vy_rtm_call_event_handle.h"

#include <string>
#include <utility>

#include "core/rtc_log.h"
#include "platform/bridge/value_access.h"
#include "platform/loop/main_loop.h"
#include "rtc_base/base/mutex.h"

namespace vortm {

namespace rtm = vy::rtm;

VYRtmCallEventHandle::VYRtmCallEventHandle(std::weak_ptr<VoRtmCallKit> callKit)
    : call_kit_(std::move(callKit)) {}

VYRtmCallEventHandle::~VYRtmCallEventHandle() {
  vy::RtcPrintf(vy::kRtcLogDebug, "call event release ");
}

void VYRtmCallEventHandle::setDelegate(std::weak_ptr<VoRtmCallDelegate> delegate) {
  rtc::MutexLock lock(&mu_);
  delegate_ = std::move(delegate);
}

std::weak_ptr<VoRtmCallDelegate> VYRtmCallEventHandle::delegate() const {
  rtc::MutexLock lock(&mu_);
  return detached_ ? std::weak_ptr<VoRtmCallDelegate>() : delegate_;
}

void VYRtmCallEventHandle::detach() {
  rtc::MutexLock lock(&mu_);
  detached_ = true;
  delegate_.reset();
}

bool VYRtmCallEventHandle::hasDelegate() const {
  rtc::MutexLock lock(&mu_);
  return !detached_ && !delegate_.expired();
}

void VYRtmCallEventHandle::notify(Call call) {
  MainLoop::post([self = weak_from_this(), call = std::move(call)] {
    std::shared_ptr<VYRtmCallEventHandle> handle = self.lock();
    if (handle == nullptr) return;
    std::shared_ptr<VoRtmCallKit> callKit = handle->call_kit_.lock();
    std::shared_ptr<VoRtmCallDelegate> delegate = handle->delegate().lock();
    if (callKit != nullptr && delegate != nullptr) call(*delegate, *callKit);
  });
}

template <typename Invitation, typename Deliver>
void VYRtmCallEventHandle::local(Invitation* invitation, Deliver deliver) {
  if (invitation == nullptr || !hasDelegate()) return;
  notify([copy = detail::ValueAccess::LocalInvitation(*invitation), deliver](
             VoRtmCallDelegate& delegate, VoRtmCallKit& callKit) {
    deliver(delegate, callKit, copy);
  });
}

template <typename Invitation, typename Deliver>
void VYRtmCallEventHandle::remote(Invitation* invitation, Deliver deliver) {
  if (invitation == nullptr || !hasDelegate()) return;
  notify([copy = detail::ValueAccess::RemoteInvitation(*invitation), deliver](
             VoRtmCallDelegate& delegate, VoRtmCallKit& callKit) {
    deliver(delegate, callKit, copy);
  });
}

void VYRtmCallEventHandle::onLocalInvitationReceivedByPeer(rtm::ILocalCallInvitation* invitation) {
  // Only the state the event names: a later state has its own event.
  if (invitation == nullptr ||
      invitation->getState() != rtm::LOCAL_INVITATION_STATE_RECEIVED_BY_PEER) {
    return;
  }
  local(invitation, [](VoRtmCallDelegate& d, VoRtmCallKit& k, const VoRtmLocalInvitation& i) {
    d.localInvitationReceivedByPeer(k, i);
  });
}

void VYRtmCallEventHandle::onLocalInvitationCanceled(rtm::ILocalCallInvitation* invitation) {
  local(invitation, [](VoRtmCallDelegate& d, VoRtmCallKit& k, const VoRtmLocalInvitation& i) {
    d.localInvitationCanceled(k, i);
  });
}

void VYRtmCallEventHandle::onLocalInvitationFailure(rtm::ILocalCallInvitation* invitation,
                                                    rtm::LOCAL_INVITATION_ERR_CODE errorCode) {
  local(invitation,
        [errorCode](VoRtmCallDelegate& d, VoRtmCallKit& k, const VoRtmLocalInvitation& i) {
          d.localInvitationFailure(k, i, errorCode);
        });
}

void VYRtmCallEventHandle::onLocalInvitationAccepted(rtm::ILocalCallInvitation* invitation,
                                                     const char* response) {
  local(invitation, [response = NoNullString(response)](VoRtmCallDelegate& d, VoRtmCallKit& k,
                                                        const VoRtmLocalInvitation& i) {
    d.localInvitationAccepted(k, i, response);
  });
}

void VYRtmCallEventHandle::onLocalInvitationRefused(rtm::ILocalCallInvitation* invitation,
                                                    const char* response) {
  local(invitation, [response = NoNullString(response)](VoRtmCallDelegate& d, VoRtmCallKit& k,
                                                        const VoRtmLocalInvitation& i) {
    d.localInvitationRefused(k, i, response);
  });
}

void VYRtmCallEventHandle::onRemoteInvitationRefused(rtm::IRemoteCallInvitation* invitation) {
  remote(invitation, [](VoRtmCallDelegate& d, VoRtmCallKit& k, const VoRtmRemoteInvitation& i) {
    d.remoteInvitationRefused(k, i);
  });
}

void VYRtmCallEventHandle::onRemoteInvitationAccepted(rtm::IRemoteCallInvitation* invitation) {
  remote(invitation, [](VoRtmCallDelegate& d, VoRtmCallKit& k, const VoRtmRemoteInvitation& i) {
    d.remoteInvitationAccepted(k, i);
  });
}

void VYRtmCallEventHandle::onRemoteInvitationReceived(rtm::IRemoteCallInvitation* invitation) {
  remote(invitation, [](VoRtmCallDelegate& d, VoRtmCallKit& k, const VoRtmRemoteInvitation& i) {
    d.remoteInvitationReceived(k, i);
  });
}

void VYRtmCallEventHandle::onRemoteInvitationFailure(rtm::IRemoteCallInvitation* invitation,
                                                     rtm::REMOTE_INVITATION_ERR_CODE errorCode) {
  remote(invitation,
         [errorCode](VoRtmCallDelegate& d, VoRtmCallKit& k, const VoRtmRemoteInvitation& i) {
           d.remoteInvitationFailure(k, i, errorCode);
         });
}

void VYRtmCallEventHandle::onRemoteInvitationCanceled(rtm::IRemoteCallInvitation* invitation) {
  remote(invitation, [](VoRtmCallDelegate& d, VoRtmCallKit& k, const VoRtmRemoteInvitation& i) {
    d.remoteInvitationCanceled(k, i);
  });
}

}  // namespace vortm

#include <vortm/vo_rtm_call_kit.h>

#include <utility>

#include "core/vy_call_invitation.h"
#include "platform/kit/kit_internals.h"
#include "rtc_base/base/mutex.h"

namespace vortm {

namespace rtm = vy::rtm;

namespace {

constexpr int kNoPeer = 1;

std::shared_ptr<rtm::IRtmCallManager> Manager(VoRtmCallKit::Impl& d) {
  rtc::MutexLock lock(&d.mu);
  return d.callService;
}

// A fresh invitation for the manager, which keeps a reference of its own if it needs one; ours
// goes when the call returns.
template <typename Invitation>
using InvitationPtr = vy::InvitationRef<Invitation>;

}  // namespace

VoRtmCallKit::VoRtmCallKit() : impl_(std::make_unique<Impl>()) {}

VoRtmCallKit::~VoRtmCallKit() { KitInternals::destroyCall(*this); }

std::shared_ptr<VoRtmKit> VoRtmCallKit::rtmKit() const { return impl_->rtmKit.lock(); }

void VoRtmCallKit::setCallDelegate(std::weak_ptr<VoRtmCallDelegate> delegate) {
  rtc::MutexLock lock(&impl_->mu);
  impl_->callDelegate = delegate;
  if (impl_->callEventHandle != nullptr) impl_->callEventHandle->setDelegate(std::move(delegate));
}

std::weak_ptr<VoRtmCallDelegate> VoRtmCallKit::callDelegate() const {
  rtc::MutexLock lock(&impl_->mu);
  return impl_->callDelegate;
}

void VoRtmCallKit::sendLocalInvitation(const VoRtmLocalInvitation& invitation,
                                       CallCompletion completion) {
  if (invitation.calleeId().empty()) {
    if (completion) completion(kNoPeer);
    return;
  }
  std::shared_ptr<rtm::IRtmCallManager> manager = Manager(*impl_);
  if (manager == nullptr) return;
  auto made = InvitationPtr<rtm::ILocalCallInvitation>::Adopt(
      manager->createLocalCallInvitation(invitation.calleeId().c_str()));
  if (!invitation.content().empty()) made->setContent(invitation.content().c_str());
  if (!invitation.channelId().empty()) made->setChannelId(invitation.channelId().c_str());
  int code = manager->sendLocalInvitation(made.get());
  if (completion) completion(code);
}

void VoRtmCallKit::cancelLocalInvitation(const VoRtmLocalInvitation& invitation,
                                         CallCompletion completion) {
  if (invitation.calleeId().empty()) {
    if (completion) completion(kNoPeer);
    return;
  }
  std::shared_ptr<rtm::IRtmCallManager> manager = Manager(*impl_);
  if (manager == nullptr) return;
  auto made = InvitationPtr<rtm::ILocalCallInvitation>::Adopt(
      manager->createLocalCallInvitation(invitation.calleeId().c_str()));
  if (!invitation.content().empty()) made->setContent(invitation.content().c_str());
  int code = manager->cancelLocalInvitation(made.get(), "");
  if (completion) completion(code);
}

void VoRtmCallKit::acceptRemoteInvitation(const VoRtmRemoteInvitation& invitation,
                                          CallCompletion completion) {
  KitInternals::answer(*this, invitation, true, std::move(completion));
}

void VoRtmCallKit::refuseRemoteInvitation(const VoRtmRemoteInvitation& invitation,
                                          CallCompletion completion) {
  KitInternals::answer(*this, invitation, false, std::move(completion));
}

void KitInternals::answer(VoRtmCallKit& callKit, const VoRtmRemoteInvitation& invitation,
                          bool accept, CallCompletion completion) {
  if (invitation.callerId().empty()) {
    if (completion) completion(kNoPeer);
    return;
  }
  std::shared_ptr<rtm::IRtmCallManager> manager = Manager(*callKit.impl_);
  if (manager == nullptr) return;
  auto made = InvitationPtr<vy::VyRemoteCallInvitation>::Adopt(
      new vy::VyRemoteCallInvitation(invitation.callerId(), invitation.content()));
  if (!invitation.response().empty()) made->setResponse(invitation.response().c_str());
  int code = accept ? manager->acceptRemoteInvitation(made.get())
                    : manager->refuseRemoteInvitation(made.get());
  if (completion) completion(code);
}

std::shared_ptr<VoRtmCallKit> VoRtmKit::getRtmCallKit() {
  return KitInternals::getRtmCallKit(*this);
}

std::shared_ptr<VoRtmCallKit> KitInternals::getRtmCallKit(VoRtmKit& kit) {
  VoRtmKit::Impl& d = *kit.impl_;
  // Under the kit's lock, so that two callers cannot make two; the core calls no handler from
  // inside getRtmCallManager.
  rtc::MutexLock lock(&d.mu);
  if (d.rtmService == nullptr) return nullptr;
  if (d.callKit != nullptr) return d.callKit;
  std::shared_ptr<VoRtmCallKit> callKit(new VoRtmCallKit());
  VoRtmCallKit::Impl& c = *callKit->impl_;
  c.rtmKit = kit.weak_from_this();
  auto handle = std::make_shared<VYRtmCallEventHandle>(callKit);
  rtm::IRtmCallManager* manager = d.rtmService->getRtmCallManager(handle.get());
  {
    rtc::MutexLock callLock(&c.mu);
    if (manager != nullptr) {
      c.callService = std::shared_ptr<rtm::IRtmCallManager>(
          manager, [handle](rtm::IRtmCallManager* ended) { ended->release(); });
    }
    c.callEventHandle = std::move(handle);
  }
  d.callKit = callKit;
  d.rtmCallKit = callKit;
  return callKit;
}

void KitInternals::destroyCall(VoRtmCallKit& callKit) {
  VoRtmCallKit::Impl& c = *callKit.impl_;
  std::shared_ptr<rtm::IRtmCallManager> manager;
  std::shared_ptr<VYRtmCallEventHandle> handle;
  {
    rtc::MutexLock lock(&c.mu);
    manager = std::move(c.callService);
    handle = std::move(c.callEventHandle);
    c.callDelegate.reset();
  }
  if (handle != nullptr) handle->detach();
  // The last hold on the manager releases it, then drops the handler.
}

}  // namespace vortm

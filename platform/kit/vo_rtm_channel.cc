#include <vortm/vo_rtm_channel.h>

#include <utility>

#include "platform/kit/kit_internals.h"
#include "platform/loop/kit_post.h"
#include "rtc_base/base/location.h"
#include "rtc_base/base/mutex.h"

namespace vortm {

namespace rtm = vy::rtm;

namespace {

// The core channel and its handler, held for one request.
struct ChannelUse {
  std::shared_ptr<rtm::IChannel> core;
  std::shared_ptr<VYRtmChannelEventHandle> handle;
  explicit operator bool() const { return core != nullptr; }
};

ChannelUse Use(VoRtmChannel::Impl& d) {
  rtc::MutexLock lock(&d.mu);
  return ChannelUse{d.channelService, d.channelEventHandle};
}

// A request answered in order: queues its completion and makes the request, on the worker so
// that no result of the channel comes between the two. Returns the completion of a request
// refused at once, with the code, for the caller to report.
template <typename Fn, typename Call>
std::pair<Fn, int> OrderedRequest(rtc::Thread* worker, OrderedCompletions<Fn>& queue, Fn completion,
                                  Call call) {
  return worker->Invoke<std::pair<Fn, int>>(RTC_FROM_HERE, [&] {
    uint64_t key = queue.push(std::move(completion));
    int code = call();
    return std::make_pair(code != 0 ? queue.take(key) : Fn(), code);
  });
}

}  // namespace

VoRtmChannel::VoRtmChannel(std::string channelId) : impl_(std::make_unique<Impl>()) {
  impl_->channelId = std::move(channelId);
}

VoRtmChannel::~VoRtmChannel() { KitInternals::destroyChannel(*this); }

const std::string& VoRtmChannel::channelId() const { return impl_->channelId; }

std::shared_ptr<VoRtmKit> VoRtmChannel::kit() const { return impl_->kit.lock(); }

void VoRtmChannel::setChannelDelegate(std::weak_ptr<VoRtmChannelDelegate> delegate) {
  rtc::MutexLock lock(&impl_->mu);
  impl_->channelDelegate = delegate;
  if (impl_->channelEventHandle != nullptr) impl_->channelEventHandle->setDelegate(delegate);
}

std::weak_ptr<VoRtmChannelDelegate> VoRtmChannel::channelDelegate() const {
  rtc::MutexLock lock(&impl_->mu);
  return impl_->channelDelegate;
}

void VoRtmChannel::join(JoinChannelCompletion completion) {
  ChannelUse use = Use(*impl_);
  if (!use) return;
  auto [refused, code] = OrderedRequest(impl_->worker, use.handle->joinCompletions,
                                        std::move(completion), [&] { return use.core->join(); });
  PostCompletion(std::move(refused), static_cast<rtm::JOIN_CHANNEL_ERR>(code));
}

void VoRtmChannel::leave(LeaveChannelCompletion completion) {
  ChannelUse use = Use(*impl_);
  if (!use) return;
  auto [refused, code] = OrderedRequest(impl_->worker, use.handle->leaveCompletions,
                                        std::move(completion), [&] { return use.core->leave(); });
  PostCompletion(std::move(refused), static_cast<rtm::LEAVE_CHANNEL_ERR>(code));
}

void VoRtmChannel::getMembers(GetMembersCompletion completion) {
  ChannelUse use = Use(*impl_);
  if (!use) return;
  auto [refused, code] =
      OrderedRequest(impl_->worker, use.handle->memberCompletions, std::move(completion),
                     [&] { return use.core->getMembers(); });
  PostCompletion(std::move(refused), std::vector<VoRtmMember>(),
                 static_cast<rtm::GET_MEMBERS_ERR>(code));
}

void VoRtmChannel::sendMessage(const VoRtmMessage& message, const VoRtmSendMessageOptions& options,
                               SendChannelMessageCompletion completion) {
  ChannelUse use = Use(*impl_);
  std::shared_ptr<rtm::IRtmService> service = impl_->service.lock();
  if (!use || service == nullptr) return;
  rtm::IMessage* made = service->createMessage();
  if (made == nullptr) {
    PostCompletion(std::move(completion), rtm::CHANNEL_MESSAGE_ERR_INVALID_MESSAGE);
    return;
  }
  made->setText(message.text().c_str());
  const long long id = made->getMessageId();
  use.handle->putSend(id, std::move(completion));
  rtm::SendMessageOptions coreOptions;
  coreOptions.enableOfflineMessaging = options.enableOfflineMessaging;
  coreOptions.enableHistoricalMessaging = options.enableHistoricalMessaging;
  int code = use.core->sendMessage(made, coreOptions);
  made->release();
  if (code != 0) {
    PostCompletion(use.handle->takeSend(id), static_cast<rtm::CHANNEL_MESSAGE_ERR_CODE>(code));
  }
}

std::shared_ptr<VoRtmChannel> VoRtmKit::createChannel(
    const std::string& channelId, std::weak_ptr<VoRtmChannelDelegate> delegate) {
  return KitInternals::createChannel(*this, channelId, std::move(delegate));
}

std::shared_ptr<VoRtmChannel> KitInternals::createChannel(
    VoRtmKit& kit, const std::string& channelId, std::weak_ptr<VoRtmChannelDelegate> delegate) {
  VoRtmKit::Impl& d = *kit.impl_;
  rtc::MutexLock lock(&d.mu);
  if (d.rtmService == nullptr) return nullptr;
  for (const std::shared_ptr<VoRtmChannel>& channel : d.channelArr) {
    if (channel->channelId() == channelId) return nullptr;
  }
  std::shared_ptr<VoRtmChannel> channel(new VoRtmChannel(channelId));
  VoRtmChannel::Impl& c = *channel->impl_;
  c.kit = kit.weak_from_this();
  c.service = d.rtmService;
  c.worker = d.worker;
  auto handle = std::make_shared<VYRtmChannelEventHandle>(channel, channelId);
  handle->setDelegate(delegate);
  // The core calls no handler from inside createChannel, so holding the kit's lock is safe.
  rtm::IChannel* core = d.rtmService->createChannel(channelId.c_str(), handle.get());
  if (core == nullptr) return nullptr;
  {
    rtc::MutexLock channelLock(&c.mu);
    // The release answers what the channel still awaits before the handler goes.
    c.channelService =
        std::shared_ptr<rtm::IChannel>(core, [handle](rtm::IChannel* ended) { ended->release(); });
    c.channelEventHandle = std::move(handle);
    c.channelDelegate = std::move(delegate);
  }
  d.channelArr.push_back(channel);
  return channel;
}

bool VoRtmKit::destroyChannel(const std::string& channelId) {
  std::shared_ptr<VoRtmChannel> found;
  {
    rtc::MutexLock lock(&impl_->mu);
    auto& channels = impl_->channelArr;
    for (auto it = channels.begin(); it != channels.end(); ++it) {
      if ((*it)->channelId() != channelId) continue;
      found = std::move(*it);
      channels.erase(it);
      break;
    }
  }
  if (found != nullptr) KitInternals::destroyChannel(*found);
  return true;
}

void KitInternals::destroyChannel(VoRtmChannel& channel) {
  VoRtmChannel::Impl& c = *channel.impl_;
  std::shared_ptr<rtm::IChannel> core;
  std::shared_ptr<VYRtmChannelEventHandle> handle;
  {
    rtc::MutexLock lock(&c.mu);
    core = std::move(c.channelService);
    handle = std::move(c.channelEventHandle);
    c.channelDelegate.reset();
  }
  if (handle != nullptr) handle->detach();
  // The last hold on the core channel releases it, which answers what is still waiting; then
  // the handler goes.
}

}  // namespace vortm

// VYRtmChannelEventHandle: the handler of one core channel for its VoRtmChannel. Joins, leaves
// and member lists are answered in the order they were accepted, so their completions wait in
// queues, each taken by the next result of its kind; sends wait under their message ids. The
// joins the core makes by itself after a login answer no app request and take no completion. As in
// the kit's handler, data is copied on the worker and the main loop calls the completion or,
// while the channel and its delegate are there, the delegate.
#ifndef PLATFORM_BRIDGE_VY_RTM_CHANNEL_EVENT_HANDLE_H_
#define PLATFORM_BRIDGE_VY_RTM_CHANNEL_EVENT_HANDLE_H_

#include <stdint.h>

#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include <vortm/rtm_channel.h>
#include <vortm/vo_rtm_channel.h>

#include "absl/base/thread_annotations.h"
#include "core/vy_rtm_events.h"
#include "rtc_base/base/mutex.h"

namespace vortm {

// Completions of requests answered in order. Each accepted request has an entry, also one
// without a completion, so that results keep to their requests. Any thread.
template <typename Fn>
class OrderedCompletions {
 public:
  uint64_t push(Fn fn) {
    rtc::MutexLock lock(&mu_);
    uint64_t key = next_key_++;
    entries_.emplace_back(key, std::move(fn));
    return key;
  }
  // The oldest entry's completion, for the next result.
  Fn takeFront() {
    rtc::MutexLock lock(&mu_);
    if (entries_.empty()) return nullptr;
    Fn fn = std::move(entries_.front().second);
    entries_.pop_front();
    return fn;
  }
  // A refused request's completion.
  Fn take(uint64_t key) {
    rtc::MutexLock lock(&mu_);
    for (auto it = entries_.begin(); it != entries_.end(); ++it) {
      if (it->first != key) continue;
      Fn fn = std::move(it->second);
      entries_.erase(it);
      return fn;
    }
    return nullptr;
  }

 private:
  rtc::Mutex mu_;
  uint64_t next_key_ ABSL_GUARDED_BY(mu_) = 1;
  std::deque<std::pair<uint64_t, Fn>> entries_ ABSL_GUARDED_BY(mu_);
};

class VYRtmChannelEventHandle final : public vy::rtm::IChannelEventHandler,
                                      public vy::VyChannelRejoinHandler,
                                      public std::enable_shared_from_this<VYRtmChannelEventHandle> {
 public:
  VYRtmChannelEventHandle(std::weak_ptr<VoRtmChannel> channel, std::string channelId);
  ~VYRtmChannelEventHandle() override;

  void setDelegate(std::weak_ptr<VoRtmChannelDelegate> delegate);
  std::weak_ptr<VoRtmChannelDelegate> delegate() const;
  // The channel is ending: no more delegate calls; completions still run.
  void detach();

  void putSend(int64_t messageId, SendChannelMessageCompletion fn);
  SendChannelMessageCompletion takeSend(int64_t messageId);

  OrderedCompletions<JoinChannelCompletion> joinCompletions;
  OrderedCompletions<LeaveChannelCompletion> leaveCompletions;
  OrderedCompletions<GetMembersCompletion> memberCompletions;

  // vy::rtm::IChannelEventHandler; worker thread.
  void onJoinSuccess() override;
  void onJoinFailure(vy::rtm::JOIN_CHANNEL_ERR errorCode) override;
  void onLeave(vy::rtm::LEAVE_CHANNEL_ERR errorCode) override;
  void onMessageReceived(const char* userId, const vy::rtm::IMessage* message) override;
  void onSendMessageResult(long long messageId, vy::rtm::CHANNEL_MESSAGE_ERR_CODE state) override;
  void onMemberJoined(vy::rtm::IChannelMember* member) override;
  void onMemberLeft(vy::rtm::IChannelMember* member) override;
  void onGetMembers(vy::rtm::IChannelMember** members, int userCount,
                    vy::rtm::GET_MEMBERS_ERR errorCode) override;
  void onAttributesUpdated(const vy::rtm::IRtmChannelAttribute* attributes[],
                           int numberOfAttributes) override;
  void onMemberCountUpdated(int memberCount) override;

  // vy::VyChannelRejoinHandler; worker thread.
  void OnRejoinResult(vy::rtm::JOIN_CHANNEL_ERR code) override;

 private:
  bool hasDelegate() const;
  void notify(std::function<void(VoRtmChannelDelegate&, VoRtmChannel&)> call);
  VoRtmMember Member(const vy::rtm::IChannelMember* member) const;

  const std::weak_ptr<VoRtmChannel> channel_;
  const std::string channel_id_;
  mutable rtc::Mutex mu_;
  std::weak_ptr<VoRtmChannelDelegate> delegate_ ABSL_GUARDED_BY(mu_);
  bool detached_ ABSL_GUARDED_BY(mu_) = false;
  std::unordered_map<int64_t, SendChannelMessageCompletion> sends_ ABSL_GUARDED_BY(mu_);
};

}  // namespace vortm

#endif  // PLATFORM_BRIDGE_VY_RTM_CHANNEL_EVENT_HANDLE_H_

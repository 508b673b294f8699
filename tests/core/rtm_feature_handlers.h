// Recording handlers of channels and call invitations for the end-to-end tests, beside the
// service's EventLog (rtm_test_client.h).
#ifndef TESTS_CORE_RTM_FEATURE_HANDLERS_H_
#define TESTS_CORE_RTM_FEATURE_HANDLERS_H_

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include <vortm/rtm_call.h>
#include <vortm/rtm_channel.h>

namespace rtm_test {

// Records callbacks of one kind of handler, each as a `Record`, and lets tests wait for them.
// `action` runs inside every later callback, on the worker thread, after the record is kept.
template <class Record>
class Recorder {
 public:
  void SetOnEvent(std::function<void(const Record&)> action) {
    std::lock_guard<std::mutex> lock(mu_);
    on_event_ = std::move(action);
  }
  std::vector<Record> Events() {
    std::lock_guard<std::mutex> lock(mu_);
    return events_;
  }
  std::vector<Record> Of(typename Record::Kind kind) {
    std::vector<Record> out;
    for (const Record& r : Events()) {
      if (r.kind == kind) out.push_back(r);
    }
    return out;
  }
  size_t Count(typename Record::Kind kind) { return Of(kind).size(); }
  // Waits (real time) until `count` records of `kind` were kept.
  bool WaitFor(typename Record::Kind kind, size_t count = 1, int timeout_ms = 10000) {
    std::unique_lock<std::mutex> lock(mu_);
    return cv_.wait_for(lock, std::chrono::milliseconds(timeout_ms), [&] {
      size_t n = 0;
      for (const Record& r : events_) n += r.kind == kind ? 1 : 0;
      return n >= count;
    });
  }

 protected:
  void Add(const Record& r) {
    std::function<void(const Record&)> action;
    {
      std::lock_guard<std::mutex> lock(mu_);
      events_.push_back(r);
      action = on_event_;
    }
    cv_.notify_all();
    if (action) action(r);
  }

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  std::vector<Record> events_;
  std::function<void(const Record&)> on_event_;
};

struct CallEvent {
  enum Kind {
    kReceivedByPeer,
    kLocalCanceled,
    kLocalFailure,
    kLocalAccepted,
    kLocalRefused,
    kRemoteRefused,
    kRemoteAccepted,
    kRemoteReceived,
    kRemoteFailure,
    kRemoteCanceled,
  };
  Kind kind;
  std::string peer;  // callee of a local invitation, caller of a remote one
  int code = 0;
  int state = 0;  // the invitation's state during the callback
  std::string text;  // the response, or a remote invitation's content
  vy::rtm::ILocalCallInvitation* local = nullptr;    // valid only inside the callback
  vy::rtm::IRemoteCallInvitation* remote = nullptr;  // valid only inside the callback
};

class CallLog : public Recorder<CallEvent>, public vy::rtm::IRtmCallEventHandler {
 public:
  using L = vy::rtm::ILocalCallInvitation;
  using R = vy::rtm::IRemoteCallInvitation;

  void onLocalInvitationReceivedByPeer(L* i) override { AddLocal(CallEvent::kReceivedByPeer, i); }
  void onLocalInvitationCanceled(L* i) override { AddLocal(CallEvent::kLocalCanceled, i); }
  void onLocalInvitationFailure(L* i, vy::rtm::LOCAL_INVITATION_ERR_CODE code) override {
    AddLocal(CallEvent::kLocalFailure, i, code);
  }
  void onLocalInvitationAccepted(L* i, const char* response) override {
    AddLocal(CallEvent::kLocalAccepted, i, 0, response);
  }
  void onLocalInvitationRefused(L* i, const char* response) override {
    AddLocal(CallEvent::kLocalRefused, i, 0, response);
  }
  void onRemoteInvitationRefused(R* i) override { AddRemote(CallEvent::kRemoteRefused, i); }
  void onRemoteInvitationAccepted(R* i) override { AddRemote(CallEvent::kRemoteAccepted, i); }
  void onRemoteInvitationReceived(R* i) override {
    AddRemote(CallEvent::kRemoteReceived, i, 0, i->getContent());
  }
  void onRemoteInvitationFailure(R* i, vy::rtm::REMOTE_INVITATION_ERR_CODE code) override {
    AddRemote(CallEvent::kRemoteFailure, i, code);
  }
  void onRemoteInvitationCanceled(R* i) override { AddRemote(CallEvent::kRemoteCanceled, i); }

 private:
  void AddLocal(CallEvent::Kind kind, L* i, int code = 0, const char* text = "") {
    CallEvent e{kind, i->getCalleeId(), code, i->getState(), text};
    e.local = i;
    Add(e);
  }
  void AddRemote(CallEvent::Kind kind, R* i, int code = 0, const char* text = "") {
    CallEvent e{kind, i->getCallerId(), code, i->getState(), text};
    e.remote = i;
    Add(e);
  }
};

struct ChannelEvent {
  enum Kind {
    kJoinSuccess,
    kJoinFailure,
    kLeave,
    kMessage,
    kSendResult,
    kMemberJoined,
    kMemberLeft,
    kMembers,
    kAttributes,
    kMemberCount,
  };
  Kind kind;
  int code = 0;       // error code, member count, or the number of attributes (-1: null array)
  long long id = 0;   // message id
  std::string user;   // sender or member
  std::string text;   // message text
  std::vector<std::string> list;  // members, or attributes as "key=value by user"
};

class ChannelLog : public Recorder<ChannelEvent>, public vy::rtm::IChannelEventHandler {
 public:
  void onJoinSuccess() override { Add(ChannelEvent{ChannelEvent::kJoinSuccess}); }
  void onJoinFailure(vy::rtm::JOIN_CHANNEL_ERR code) override {
    Add(ChannelEvent{ChannelEvent::kJoinFailure, code});
  }
  void onLeave(vy::rtm::LEAVE_CHANNEL_ERR code) override {
    Add(ChannelEvent{ChannelEvent::kLeave, code});
  }
  void onMessageReceived(const char* user, const vy::rtm::IMessage* message) override {
    ChannelEvent e{ChannelEvent::kMessage, message->getMessageType(), message->getMessageId(), user};
    e.text.assign(message->getRawMessageData(), static_cast<size_t>(message->getRawMessageLength()));
    Add(e);
  }
  void onSendMessageResult(long long id, vy::rtm::CHANNEL_MESSAGE_ERR_CODE code) override {
    Add(ChannelEvent{ChannelEvent::kSendResult, code, id});
  }
  void onMemberJoined(vy::rtm::IChannelMember* member) override {
    Add(ChannelEvent{ChannelEvent::kMemberJoined, 0, 0, member->getUserId(), member->getChannelId()});
  }
  void onMemberLeft(vy::rtm::IChannelMember* member) override {
    Add(ChannelEvent{ChannelEvent::kMemberLeft, 0, 0, member->getUserId(), member->getChannelId()});
  }
  void onGetMembers(vy::rtm::IChannelMember** members, int count,
                    vy::rtm::GET_MEMBERS_ERR code) override {
    ChannelEvent e{ChannelEvent::kMembers, code};
    for (int i = 0; i < count; ++i) e.list.push_back(members[i]->getUserId());
    Add(e);
  }
  void onAttributesUpdated(const vy::rtm::IRtmChannelAttribute* attributes[], int count) override {
    ChannelEvent e{ChannelEvent::kAttributes, attributes == nullptr ? -1 : count};
    for (int i = 0; i < count; ++i) {
      e.list.push_back(std::string(attributes[i]->getKey()) + "=" + attributes[i]->getValue() +
                       " by " + attributes[i]->getLastUpdateUserId());
    }
    Add(e);
  }
  void onMemberCountUpdated(int count) override {
    Add(ChannelEvent{ChannelEvent::kMemberCount, count});
  }
};

}  // namespace rtm_test

#endif  // TESTS_CORE_RTM_FEATURE_HANDLERS_H_

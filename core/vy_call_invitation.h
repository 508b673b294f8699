// The call invitations the app sees: VyLocalCallInvitation (sent by this user) and
// VyRemoteCallInvitation (received). Both are reference counted: the app and the call manager
// each hold a reference and give it up with release(). The count is atomic because the app may
// release from any thread while the worker holds its own reference; the texts and the state are
// written on the worker and by the app's own setters, as the interface allows.
#ifndef CORE_VY_CALL_INVITATION_H_
#define CORE_VY_CALL_INVITATION_H_

#include <atomic>
#include <string>
#include <utility>

#include <vortm/rtm_call.h>

namespace vy {

class VyLocalCallInvitation : public vy::rtm::ILocalCallInvitation {
 public:
  explicit VyLocalCallInvitation(const char* calleeId);

  // vy::rtm::ILocalCallInvitation, in slot order.
  const char* getCalleeId() const override { return callee_id_.c_str(); }
  void setContent(const char* content) override;
  const char* getContent() const override { return content_.c_str(); }
  void setChannelId(const char* channelId) override;
  const char* getChannelId() const override { return channel_id_.c_str(); }
  const char* getResponse() const override { return response_.c_str(); }
  vy::rtm::LOCAL_INVITATION_STATE getState() const override { return state_.load(); }
  // Gives up one reference; the last one deletes the invitation.
  void release() override;

  void AddRef() { refs_.fetch_add(1); }
  void SetCalleeId(const std::string& id) { callee_id_ = id; }
  void SetResponse(const std::string& response) { response_ = response; }
  void SetState(vy::rtm::LOCAL_INVITATION_STATE state) { state_.store(state); }

 private:
  ~VyLocalCallInvitation() override = default;

  std::atomic<int> refs_{1};
  std::atomic<vy::rtm::LOCAL_INVITATION_STATE> state_{vy::rtm::LOCAL_INVITATION_STATE_SENT};
  std::string callee_id_;
  std::string channel_id_;
  std::string content_;
  std::string response_;
};

class VyRemoteCallInvitation : public vy::rtm::IRemoteCallInvitation {
 public:
  VyRemoteCallInvitation(const std::string& callerId, const std::string& content);

  // vy::rtm::IRemoteCallInvitation, in slot order.
  const char* getCallerId() const override { return caller_id_.c_str(); }
  const char* getContent() const override { return content_.c_str(); }
  void setResponse(const char* response) override;
  const char* getResponse() const override { return response_.c_str(); }
  const char* getChannelId() const override { return channel_id_.c_str(); }
  vy::rtm::REMOTE_INVITATION_STATE getState() const override { return state_.load(); }
  void release() override;

  void AddRef() { refs_.fetch_add(1); }
  void SetCallerId(const std::string& id) { caller_id_ = id; }
  void SetContent(const std::string& content) { content_ = content; }
  void SetState(vy::rtm::REMOTE_INVITATION_STATE state) { state_.store(state); }

 private:
  ~VyRemoteCallInvitation() override = default;

  std::atomic<int> refs_{1};
  std::atomic<vy::rtm::REMOTE_INVITATION_STATE> state_{vy::rtm::REMOTE_INVITATION_STATE_RECEIVED};
  std::string caller_id_;
  std::string content_;
  std::string response_;
  std::string channel_id_;
};

// One reference to an invitation, given up when the holder goes.
template <class Invitation>
class InvitationRef {
 public:
  InvitationRef() = default;
  // Takes over a reference the caller already holds.
  static InvitationRef Adopt(Invitation* invitation) { return InvitationRef(invitation); }
  // Adds a reference of its own.
  static InvitationRef Share(Invitation* invitation) {
    invitation->AddRef();
    return InvitationRef(invitation);
  }
  InvitationRef(InvitationRef&& other) noexcept : p_(other.p_) { other.p_ = nullptr; }
  InvitationRef& operator=(InvitationRef&& other) noexcept {
    if (this != &other) {
      reset();
      p_ = other.p_;
      other.p_ = nullptr;
    }
    return *this;
  }
  ~InvitationRef() { reset(); }
  InvitationRef(const InvitationRef&) = delete;
  InvitationRef& operator=(const InvitationRef&) = delete;

  void reset() {
    if (p_ != nullptr) std::exchange(p_, nullptr)->release();
  }
  Invitation* get() const { return p_; }
  Invitation* operator->() const { return p_; }

 private:
  explicit InvitationRef(Invitation* p) : p_(p) {}
  Invitation* p_ = nullptr;
};

}  // namespace vy

#endif  // CORE_VY_CALL_INVITATION_H_

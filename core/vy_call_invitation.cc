#include "core/vy_call_invitation.h"

namespace vy {

VyLocalCallInvitation::VyLocalCallInvitation(const char* calleeId)
    : callee_id_(calleeId != nullptr ? calleeId : "") {}

void VyLocalCallInvitation::setContent(const char* content) {
  if (content != nullptr) content_ = content;
}

void VyLocalCallInvitation::setChannelId(const char* channelId) {
  if (channelId != nullptr) channel_id_ = channelId;
}

void VyLocalCallInvitation::release() {
  if (refs_.fetch_sub(1) <= 1) delete this;
}

VyRemoteCallInvitation::VyRemoteCallInvitation(const std::string& callerId,
                                               const std::string& content)
    : caller_id_(callerId), content_(content) {}

void VyRemoteCallInvitation::setResponse(const char* response) {
  if (response != nullptr) response_ = response;
}

void VyRemoteCallInvitation::release() {
  if (refs_.fetch_sub(1) <= 1) delete this;
}

}  // namespace vy

#include "core/vy_message.h"

#include <atomic>
#include <cstring>

#include "rtc_base/base/time_utils.h"

namespace vy {

void VyMessage::SetTextBytes(const char* data, size_t length) {
  if (data == nullptr) return;
  // Never reads past `length`, whether or not the bytes hold a zero.
  const void* zero = std::memchr(data, 0, length);
  size_t n = zero != nullptr ? static_cast<size_t>(static_cast<const char*>(zero) - data) : length;
  text_.assign(data, n);
}

void VyMessage::SendMsg(const vy::rtm::SendMessageOptions& options) const {
  if (sink_ != nullptr) {
    sink_->OnVyMessageMsgOut(message_id_, peer_id_, type_, text_, options);
  }
}

long long NextMessageId() {
  static std::atomic<long long> last{0};
  long long now = rtc::TimeUTCMillis();
  long long prev = last.load(std::memory_order_relaxed);
  long long next;
  do {
    next = now > prev ? now : prev + 1;
  } while (!last.compare_exchange_weak(prev, next, std::memory_order_relaxed));
  return next;
}

}  // namespace vy

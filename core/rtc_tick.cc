#include "core/rtc_tick.h"

#include <utility>
#include <vector>

namespace vy {

MThreadTick* MThreadTick::Inst() {
  static MThreadTick registry;
  return &registry;
}

MThreadTick::MThreadTick() = default;
MThreadTick::~MThreadTick() = default;

void MThreadTick::RegisteRtcTick(void* owner, RtcTick* tick) {
  rtc::CritScope cs(&crit_);
  ticks_.erase(owner);
  ticks_.emplace(owner, tick);
}

void MThreadTick::UnRegisteRtcTick(void* owner) {
  rtc::CritScope cs(&crit_);
  ticks_.erase(owner);
}

void MThreadTick::UnAttachRtcTick(void* owner) {
  rtc::CritScope cs(&crit_);
  auto it = ticks_.find(owner);
  if (it != ticks_.end() && it->second != nullptr) it->second->detach_ = true;
}

size_t MThreadTick::size() const {
  rtc::CritScope cs(&crit_);
  return ticks_.size();
}

void MThreadTick::DoProcess() {
  std::vector<RtcTick*> detached;
  {
    rtc::CritScope cs(&crit_);
    std::vector<std::pair<void*, RtcTick*>>& pass = pass_;
    pass.clear();
    for (auto it = ticks_.begin(); it != ticks_.end();) {
      if (it->second == nullptr) {
        it = ticks_.erase(it);
      } else if (it->second->detach_) {
        detached.push_back(it->second);
        it = ticks_.erase(it);
      } else {
        pass.emplace_back(*it);
        ++it;
      }
    }
    // A tick may unregister itself or others while the pass runs: call only
    // the ticks that are still registered under the same owner.
    for (const auto& [owner, tick] : pass) {
      auto it = ticks_.find(owner);
      if (it == ticks_.end() || it->second != tick || tick->detach_) continue;
      tick->OnTick();
    }
  }
  for (RtcTick* tick : detached) tick->OnTickUnAttach();
}

}  // namespace vy

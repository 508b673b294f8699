#include "platform/loop/notification_center.h"

#include "rtc_base/base/mutex.h"

#include <algorithm>
#include <utility>

namespace vortm {

NotificationCenter& NotificationCenter::defaultCenter() {
  // Never destroyed: observers may be removed from static destructors.
  static NotificationCenter* const center = new NotificationCenter;
  return *center;
}

NotificationCenter::Token NotificationCenter::observe(const std::string& name, const void* sender,
                                                      Callback callback) {
  rtc::MutexLock lock(&mutex_);
  auto observer = std::make_shared<Observer>();
  observer->token = next_token_++;
  observer->name = name;
  observer->sender = sender;
  observer->callback = std::move(callback);
  observers_.push_back(observer);
  return observer->token;
}

void NotificationCenter::remove(Token token) {
  std::shared_ptr<Observer> gone;
  {
    rtc::MutexLock lock(&mutex_);
    auto it = std::find_if(observers_.begin(), observers_.end(),
                           [token](const auto& o) { return o->token == token; });
    if (it == observers_.end()) return;
    (*it)->removed = true;
    gone = std::move(*it);
    observers_.erase(it);
  }
  // The callback (and what it holds) is released outside the lock.
}

void NotificationCenter::post(const std::string& name, const void* sender) {
  std::vector<std::shared_ptr<Observer>> snapshot;
  {
    rtc::MutexLock lock(&mutex_);
    for (const auto& o : observers_) {
      if (o->name == name && (o->sender == nullptr || o->sender == sender)) snapshot.push_back(o);
    }
  }
  for (const auto& o : snapshot) {
    {
      rtc::MutexLock lock(&mutex_);
      if (o->removed) continue;
    }
    o->callback(name, sender);
  }
}

}  // namespace vortm

#include "platform/bridge/completion_store.h"

#include "rtc_base/base/mutex.h"

namespace vortm {

LoginCompletion CompletionStore::exchangeLogin(LoginCompletion fn) {
  rtc::MutexLock lock(&mu_);
  return std::exchange(login_, std::move(fn));
}

uint64_t CompletionStore::addRenewal(const std::optional<std::string>& token,
                                     RenewTokenCompletion fn) {
  rtc::MutexLock lock(&mu_);
  uint64_t key = next_renewal_++;
  // Also without a completion: the entry takes its own renewal's result.
  renewals_.push_back(Renewal{key, token, std::move(fn)});
  return key;
}

RenewTokenCompletion CompletionStore::takeRenewal(uint64_t key) {
  rtc::MutexLock lock(&mu_);
  for (auto it = renewals_.begin(); it != renewals_.end(); ++it) {
    if (it->key != key) continue;
    RenewTokenCompletion fn = std::move(it->fn);
    renewals_.erase(it);
    return fn;
  }
  return nullptr;
}

RenewTokenCompletion CompletionStore::takeRenewalOf(const char* token) {
  rtc::MutexLock lock(&mu_);
  for (auto it = renewals_.begin(); it != renewals_.end(); ++it) {
    bool same =
        token == nullptr ? !it->token.has_value() : it->token.has_value() && *it->token == token;
    if (!same) continue;
    RenewTokenCompletion fn = std::move(it->fn);
    renewals_.erase(it);
    return fn;
  }
  return nullptr;
}

size_t CompletionStore::size() {
  rtc::MutexLock lock(&mu_);
  return sendMessage.size() + queryPeersOnlineStatus.size() + subscription.size() +
         queryPeersBySubscriptionOption.size() + setLocalUserAttributes.size() +
         addOrUpdateLocalUserAttributes.size() + deleteLocalUserAttributes.size() +
         clearLocalUserAttributes.size() + getUserAttributes.size() + setChannelAttributes.size() +
         addOrUpdateChannelAttributes.size() + deleteChannelAttributes.size() +
         clearChannelAttributes.size() + getChannelAttributes.size() +
         getChannelMemberCount.size() + renewals_.size() + (login_ ? 1 : 0);
}

}  // namespace vortm

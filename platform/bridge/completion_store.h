// The kit's completion store: the completions of requests that await their results, each under
// its request id (a peer message's under its message id). A result takes its completion out
// under the store's lock, wherever it comes from (the core's worker, or the kit after a refusal
// at once), so no completion runs twice and a newer request never displaces an older one. The
// completions themselves run on the main loop, outside the lock.
#ifndef PLATFORM_BRIDGE_COMPLETION_STORE_H_
#define PLATFORM_BRIDGE_COMPLETION_STORE_H_

#include <stdint.h>

#include <deque>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>

#include <vortm/vo_rtm_kit.h>

#include "absl/base/thread_annotations.h"
#include "rtc_base/base/mutex.h"

namespace vortm {

// One family's completions by id. Not locked itself: the store's lock guards it.
template <typename Fn>
class CompletionTable {
 public:
  void put(int64_t id, Fn fn) { entries_[id] = std::move(fn); }
  Fn take(int64_t id) {
    auto it = entries_.find(id);
    if (it == entries_.end()) return nullptr;
    Fn fn = std::move(it->second);
    entries_.erase(it);
    return fn;
  }
  size_t size() const { return entries_.size(); }

 private:
  std::unordered_map<int64_t, Fn> entries_;
};

class CompletionStore {
 public:
  // A table of the store, named by its member.
  template <typename Fn>
  using Table = CompletionTable<Fn> CompletionStore::*;

  // Stores `fn` under `id`; an empty fn stores nothing.
  template <typename Fn>
  void put(Table<Fn> table, int64_t id, Fn fn) {
    if (!fn) return;
    rtc::MutexLock lock(&mu_);
    (this->*table).put(id, std::move(fn));
  }
  template <typename Fn>
  Fn take(Table<Fn> table, int64_t id) {
    rtc::MutexLock lock(&mu_);
    return (this->*table).take(id);
  }

  // The one login slot: the completion of the login the service is running.
  LoginCompletion exchangeLogin(LoginCompletion fn);

  // Renewals are answered with their token, not an id: a result takes the oldest entry of its
  // token (a null token matches an entry without one). `key` names an entry for the kit.
  uint64_t addRenewal(const std::optional<std::string>& token, RenewTokenCompletion fn);
  RenewTokenCompletion takeRenewal(uint64_t key);
  RenewTokenCompletion takeRenewalOf(const char* token);

  // Entries waiting, for tests.
  size_t size();

  // The tables, one a family: reach them only through put() and take(), which hold the lock.
  CompletionTable<SendPeerMessageCompletion> sendMessage ABSL_GUARDED_BY(mu_);
  CompletionTable<QueryPeersOnlineStatusCompletion> queryPeersOnlineStatus ABSL_GUARDED_BY(mu_);
  CompletionTable<PeerSubscriptionCompletion> subscription ABSL_GUARDED_BY(mu_);
  CompletionTable<QueryPeersBySubscriptionOptionCompletion> queryPeersBySubscriptionOption
      ABSL_GUARDED_BY(mu_);
  CompletionTable<AttributeOperationCompletion> setLocalUserAttributes ABSL_GUARDED_BY(mu_);
  CompletionTable<AttributeOperationCompletion> addOrUpdateLocalUserAttributes ABSL_GUARDED_BY(mu_);
  CompletionTable<AttributeOperationCompletion> deleteLocalUserAttributes ABSL_GUARDED_BY(mu_);
  CompletionTable<AttributeOperationCompletion> clearLocalUserAttributes ABSL_GUARDED_BY(mu_);
  CompletionTable<GetUserAttributesCompletion> getUserAttributes ABSL_GUARDED_BY(mu_);
  CompletionTable<AttributeOperationCompletion> setChannelAttributes ABSL_GUARDED_BY(mu_);
  CompletionTable<AttributeOperationCompletion> addOrUpdateChannelAttributes ABSL_GUARDED_BY(mu_);
  CompletionTable<AttributeOperationCompletion> deleteChannelAttributes ABSL_GUARDED_BY(mu_);
  CompletionTable<AttributeOperationCompletion> clearChannelAttributes ABSL_GUARDED_BY(mu_);
  CompletionTable<GetChannelAttributesCompletion> getChannelAttributes ABSL_GUARDED_BY(mu_);
  CompletionTable<GetChannelMemberCountCompletion> getChannelMemberCount ABSL_GUARDED_BY(mu_);

 private:
  struct Renewal {
    uint64_t key;
    std::optional<std::string> token;
    RenewTokenCompletion fn;
  };

  rtc::Mutex mu_;
  LoginCompletion login_ ABSL_GUARDED_BY(mu_);
  std::deque<Renewal> renewals_ ABSL_GUARDED_BY(mu_);
  uint64_t next_renewal_ ABSL_GUARDED_BY(mu_) = 1;
};

}  // namespace vortm

#endif  // PLATFORM_BRIDGE_COMPLETION_STORE_H_

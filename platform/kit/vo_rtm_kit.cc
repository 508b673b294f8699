#include <vortm/vo_rtm_kit.h>

#include <errno.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <utility>

#include "core/rtc_log.h"
#include "core/session_wire.h"
#include "core/thread_mgr.h"
#include "core/vy_channel_attribute.h"
#include "core/vy_message.h"
#include "platform/kit/kit_internals.h"
#include "platform/loop/kit_post.h"
#include "platform/loop/main_loop.h"
#include "rapidjson/stringbuffer.h"
#include "rapidjson/writer.h"
#include "rtc_base/base/location.h"
#include "rtc_base/base/logging.h"
#include "rtc_base/base/mutex.h"

namespace vortm {

namespace rtm = vy::rtm;

const char* const VoRtmApplicationWillTerminateNotification =
    "VoRtmApplicationWillTerminateNotification";

namespace {

constexpr char kLogFolder[] = "VoRtmKit";
const std::vector<std::string> kNoKeys;

// The kit's default log folder: "VoRtmKit" in the user's cache directory ($XDG_CACHE_HOME, else
// ~/.cache), private to the user (0700). Empty, for no default log, without such a directory:
// no home, a home that does not exist (only the last two levels are ever made), or a folder
// that is not this user's own.
std::string DefaultLogDirectory() {
  std::string base;
  if (const char* xdg = getenv("XDG_CACHE_HOME"); xdg != nullptr && xdg[0] == '/') {
    base = xdg;
  } else if (const char* home = getenv("HOME"); home != nullptr && home[0] == '/') {
    base = std::string(home) + "/.cache";
  } else {
    return std::string();
  }
  if (mkdir(base.c_str(), 0700) != 0 && errno != EEXIST) return std::string();
  std::string dir = base + "/" + kLogFolder;
  if (mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) return std::string();
  struct stat st {};
  if (lstat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != geteuid()) {
    return std::string();
  }
  // A folder made by an earlier version was readable by every user.
  if ((st.st_mode & 07777) != 0700 && chmod(dir.c_str(), 0700) != 0) return std::string();
  return dir;
}

// Runs `fn` on the service's worker, where no callback of the service can come between its
// steps.
template <typename Fn>
auto OnWorker(rtc::Thread* worker, Fn&& fn) {
  return worker->Invoke<std::invoke_result_t<Fn>>(RTC_FROM_HERE, std::forward<Fn>(fn));
}

// The C array of texts the service takes; lives as long as `texts`.
class CStrings {
 public:
  explicit CStrings(const std::vector<std::string>& texts) {
    pointers_.reserve(texts.size());
    for (const std::string& text : texts) pointers_.push_back(text.c_str());
  }
  const char** data() { return pointers_.data(); }
  int size() const { return static_cast<int>(pointers_.size()); }

 private:
  std::vector<const char*> pointers_;
};

// The array a request hands the service, which counts it in an int: one longer than the kit's
// limit is refused with `invalid`, the family's invalid-argument code.
struct ArrayArgument {
  size_t count = 0;
  int invalid = 0;
};

// One table request: stores the completion under a new request id, makes the request, and
// reports a refusal at once through `refused(completion, code)`. `call` converts the array, so
// that one refused is never copied.
template <typename Fn, typename Call, typename Refused>
void Request(const ServiceUse& use, CompletionStore::Table<Fn> table, Fn completion, Call call,
             Refused refused, ArrayArgument array = {}) {
  if (array.count > use.maxArrayCount) {
    vy::RtcPrintf(vy::kRtcLogWarning, "API request refused: %zu array elements, at most %zu",
                  array.count, use.maxArrayCount);
    refused(std::move(completion), array.invalid);
    return;
  }
  CompletionStore& store = use.handler->store();
  long long id = vy::NextMessageId();
  store.put(table, id, std::move(completion));
  int code = call(*use.service, id);
  if (code == 0) return;
  if (Fn fn = store.take(table, id)) refused(std::move(fn), code);
}

// Refusals of completions that take a code alone, or a list and a code.
template <typename Code>
auto CodeRefusal() {
  return [](auto fn, int code) { PostCompletion(std::move(fn), static_cast<Code>(code)); };
}
template <typename List, typename Code>
auto ListRefusal() {
  return [](auto fn, int code) { PostCompletion(std::move(fn), List{}, static_cast<Code>(code)); };
}

std::vector<rtm::RtmAttribute> CoreAttributes(const std::vector<VoRtmAttribute>& attributes) {
  std::vector<rtm::RtmAttribute> out;
  out.reserve(attributes.size());
  for (const VoRtmAttribute& attribute : attributes) {
    out.push_back({attribute.key.c_str(), attribute.value.c_str()});
  }
  return out;
}

// Channel attributes as the service takes them, released when this goes.
class CoreChannelAttributes {
 public:
  explicit CoreChannelAttributes(const std::vector<VoRtmChannelAttribute>& attributes) {
    for (const VoRtmChannelAttribute& attribute : attributes) {
      vy::ChannelAttributePtr made(new vy::VyRtmChannelAttribute());
      made->setKey(attribute.key().c_str());
      made->setValue(attribute.value().c_str());
      pointers_.push_back(made.get());
      owned_.push_back(std::move(made));
    }
  }
  const rtm::IRtmChannelAttribute** data() { return pointers_.data(); }
  int size() const { return static_cast<int>(pointers_.size()); }

 private:
  std::vector<vy::ChannelAttributePtr> owned_;
  std::vector<const rtm::IRtmChannelAttribute*> pointers_;
};

rtm::ChannelAttributeOptions CoreOptions(const VoRtmChannelAttributeOptions& options) {
  rtm::ChannelAttributeOptions out;
  out.enableNotificationToChannelMembers = options.enableNotificationToChannelMembers;
  return out;
}

// The watcher's delegate: hands its reports to the kit while the kit is there.
class NetworkReports : public VyRtmNetworkDelegate {
 public:
  explicit NetworkReports(std::weak_ptr<VoRtmKit> kit) : kit_(std::move(kit)) {}
  void networkStatusDidChanged(VyRtmNetManager&, const std::string& host, int netType) override {
    if (std::shared_ptr<VoRtmKit> kit = kit_.lock()) KitInternals::network(*kit, host, netType);
  }

 private:
  std::weak_ptr<VoRtmKit> kit_;
};

}  // namespace

ServiceUse VoRtmKit::Impl::use() const {
  rtc::MutexLock lock(&mu);
  return ServiceUse{rtmService, rtmEventHandler, maxArrayCount};
}

std::shared_ptr<VoRtmKit> KitInternals::create(const std::string& appId,
                                               std::weak_ptr<VoRtmDelegate> delegate,
                                               KitParts parts) {
  rtm::IRtmService* service = parts.createService ? parts.createService() : createRtmService();
  if (service == nullptr) return nullptr;
  std::shared_ptr<VoRtmKit> kit(new VoRtmKit());
  VoRtmKit::Impl& d = *kit->impl_;
  d.worker = parts.worker != nullptr ? parts.worker : vy::ThreadMgr::Inst();
  d.createNetManager = std::move(parts.createNetManager);
  d.maxArrayCount = parts.maxArrayCount;
  auto handler = std::make_shared<VYRtmKitEventHandler>(
      kit, [](VoRtmKit& loggedIn) { KitInternals::monitorNetWork(loggedIn); });
  if (service->initialize(appId.c_str(), handler.get()) != 0) {
    service->release(true);
    return nullptr;
  }
  handler->setDelegate(delegate);
  auto manager = d.createNetManager ? d.createNetManager() : VyRtmNetManager::defaultManager();
  auto reports = std::make_shared<NetworkReports>(kit);
  if (manager != nullptr) {
    MainLoop::post([manager, weak = std::weak_ptr<VyRtmNetworkDelegate>(reports)] {
      manager->setDelegate(weak);
    });
  }
  {
    rtc::MutexLock lock(&d.mu);
    // The handler outlives the service: the deleter holds it until the release has returned.
    d.rtmService = std::shared_ptr<rtm::IRtmService>(
        service, [handler](rtm::IRtmService* ended) { ended->release(true); });
    d.rtmEventHandler = handler;
    d.voRtmDelegate = std::move(delegate);
    d.networkManager = std::move(manager);
    d.networkDelegate = std::move(reports);
    d.probeHost = vy::GatewayHost("");
  }
  d.terminationObserver = NotificationCenter::defaultCenter().observe(
      VoRtmApplicationWillTerminateNotification, nullptr,
      [weak = std::weak_ptr<VoRtmKit>(kit)](const std::string&, const void*) {
        if (std::shared_ptr<VoRtmKit> alive = weak.lock()) alive->applicationWillTerminate();
      });
  const std::string logDirectory =
      parts.logDirectory.empty() ? DefaultLogDirectory() : parts.logDirectory;
  if (!logDirectory.empty()) kit->setLogFile(logDirectory);
  rtc::LogMessage::LogToDebug(rtc::LS_NONE);
  return kit;
}

std::string KitInternals::localNetChangedText(int netType) {
  rapidjson::StringBuffer text;
  rapidjson::Writer<rapidjson::StringBuffer> writer(text);
  writer.StartObject();
  writer.Key("Cmd");
  writer.String("LocalNetChanged");
  writer.Key("netType");
  writer.Int(netType);
  writer.EndObject();
  return text.GetString();
}

void KitInternals::monitorNetWork(VoRtmKit& kit) {
  VoRtmKit::Impl& d = *kit.impl_;
  rtc::MutexLock lock(&d.mu);
  if (d.rtmService == nullptr || d.networkManager == nullptr) return;
  // The watcher probes the host the service must reach; a watcher the parts made stays.
  if (!d.createNetManager && d.networkManager->host() != d.probeHost) {
    d.networkManager->stopNotifier();
    d.networkManager = VyRtmNetManager::createWithHost(d.probeHost);
    d.networkManager->setDelegate(d.networkDelegate);
  }
  d.networkManager->startNotifier();
}

void KitInternals::network(VoRtmKit& kit, const std::string& /*host*/, int netType) {
  ServiceUse use = kit.impl_->use();
  if (use) use.service->setParameters(localNetChangedText(netType).c_str());
}

VoRtmKit::VoRtmKit() : impl_(std::make_unique<Impl>()) {}

VoRtmKit::~VoRtmKit() {
  destroy();
  NotificationCenter::defaultCenter().remove(impl_->terminationObserver);
}

bool VoRtmKit::bindMainLoop() { return MainLoop::bindForever(); }

bool VoRtmKit::runMainLoop(int maxMs) { return MainLoop::run(maxMs); }

std::shared_ptr<VoRtmKit> VoRtmKit::create(const std::string& appId,
                                           std::weak_ptr<VoRtmDelegate> delegate) {
  return KitInternals::create(appId, std::move(delegate), KitParts());
}

void VoRtmKit::destroy() {
  // Null inside the destructor; otherwise the kit stays alive until this returns.
  std::shared_ptr<VoRtmKit> self = weak_from_this().lock();
  Impl& d = *impl_;
  ServiceUse use;
  std::shared_ptr<VyRtmNetManager> manager;
  std::shared_ptr<VoRtmCallKit> callKit;
  std::vector<std::shared_ptr<VoRtmChannel>> channels;
  {
    rtc::MutexLock lock(&d.mu);
    if (d.rtmService == nullptr) return;
    use.service = std::move(d.rtmService);
    use.handler = std::move(d.rtmEventHandler);
    manager = std::move(d.networkManager);
    callKit = std::move(d.callKit);
    channels.swap(d.channelArr);
  }
  if (manager != nullptr) manager->stopNotifier();
  use.handler->detach();
  // The service goes first (unless a request running on another thread still holds it): its
  // logout answers every outstanding request, a running login and channel requests included,
  // with 102.
  use = ServiceUse();
  if (callKit != nullptr) KitInternals::destroyCall(*callKit);
  for (const std::shared_ptr<VoRtmChannel>& channel : channels) {
    KitInternals::destroyChannel(*channel);
  }
}

void VoRtmKit::loginByToken(const std::optional<std::string>& token, const std::string& userId,
                            LoginCompletion completion) {
  ServiceUse use = impl_->use();
  if (!use) return;
  // The slot holds the completion of the login the service runs: a refused login puts back
  // what was there, so the login already running keeps its completion.
  int code = OnWorker(impl_->worker, [&] {
    LoginCompletion previous = use.handler->store().exchangeLogin(completion);
    int result = use.service->login(token ? token->c_str() : nullptr, userId.c_str());
    if (result != 0) use.handler->store().exchangeLogin(std::move(previous));
    return result;
  });
  if (code != 0 && completion) completion(static_cast<rtm::LOGIN_ERR_CODE>(code));
}

void VoRtmKit::logout(LogoutCompletion completion) {
  ServiceUse use = impl_->use();
  if (!use) return;
  std::shared_ptr<VyRtmNetManager> manager;
  {
    rtc::MutexLock lock(&impl_->mu);
    manager = impl_->networkManager;
  }
  if (manager != nullptr) manager->stopNotifier();
  // The service's logout answers a running login, leaves and the other requests with 102.
  // Once the worker has stopped at process exit nothing runs, and the completion says so.
  int code = rtm::LOGOUT_ERR_NOT_INITIALIZED;
  OnWorker(impl_->worker, [&] {
    use.handler->noteLogout();
    code = use.service->logout();
  });
  if (completion) completion(static_cast<rtm::LOGOUT_ERR_CODE>(code));
}

void VoRtmKit::applicationWillTerminate() { logout(nullptr); }

void VoRtmKit::renewToken(const std::optional<std::string>& token,
                          RenewTokenCompletion completion) {
  ServiceUse use = impl_->use();
  if (!use) return;
  CompletionStore& store = use.handler->store();
  uint64_t key = store.addRenewal(token, std::move(completion));
  int code = use.service->renewToken(token ? token->c_str() : nullptr);
  if (code != 0) {
    PostCompletion(store.takeRenewal(key), token.value_or(""),
                   static_cast<rtm::RENEW_TOKEN_ERR_CODE>(code));
  }
}

void VoRtmKit::sendMessage(const VoRtmMessage& message, const std::string& peerId,
                           const VoRtmSendMessageOptions& options,
                           SendPeerMessageCompletion completion) {
  ServiceUse use = impl_->use();
  if (!use) return;
  rtm::IMessage* made = use.service->createMessage();
  if (made == nullptr) {
    PostCompletion(std::move(completion), rtm::PEER_MESSAGE_ERR_INVALID_MESSAGE);
    return;
  }
  made->setText(message.text().c_str());
  const long long id = made->getMessageId();
  CompletionStore& store = use.handler->store();
  store.put(&CompletionStore::sendMessage, id, std::move(completion));
  rtm::SendMessageOptions coreOptions;
  coreOptions.enableOfflineMessaging = options.enableOfflineMessaging;
  coreOptions.enableHistoricalMessaging = options.enableHistoricalMessaging;
  int code = use.service->sendMessageToPeer(peerId.c_str(), made, coreOptions);
  made->release();
  // The service reports its refusals through the handler, which has taken the completion; one
  // still here was refused without a report.
  if (code != 0) {
    PostCompletion(store.take(&CompletionStore::sendMessage, id),
                   static_cast<rtm::PEER_MESSAGE_ERR_CODE>(code));
  }
}

void VoRtmKit::queryPeersOnlineStatus(const std::vector<std::string>& peerIds,
                                      QueryPeersOnlineStatusCompletion completion) {
  ServiceUse use = impl_->use();
  if (!use) return;
  Request(
      use, &CompletionStore::queryPeersOnlineStatus, std::move(completion),
      [&](rtm::IRtmService& s, long long& id) {
        CStrings ids(peerIds);
        return s.queryPeersOnlineStatus(ids.data(), ids.size(), id);
      },
      ListRefusal<std::vector<VoRtmPeerOnlineStatus>, rtm::QUERY_PEERS_ONLINE_STATUS_ERR>(),
      ArrayArgument{peerIds.size(), rtm::QUERY_PEERS_ONLINE_STATUS_ERR_INVALID_ARGUMENT});
}

void VoRtmKit::subscribePeersOnlineStatus(const std::vector<std::string>& peerIds,
                                          PeerSubscriptionCompletion completion) {
  ServiceUse use = impl_->use();
  if (!use) return;
  Request(
      use, &CompletionStore::subscription, std::move(completion),
      [&](rtm::IRtmService& s, long long& id) {
        CStrings ids(peerIds);
        return s.subscribePeersOnlineStatus(ids.data(), ids.size(), id);
      },
      CodeRefusal<rtm::PEER_SUBSCRIPTION_STATUS_ERR>(),
      ArrayArgument{peerIds.size(), rtm::PEER_SUBSCRIPTION_STATUS_ERR_INVALID_ARGUMENT});
}

void VoRtmKit::unsubscribePeersOnlineStatus(const std::vector<std::string>& peerIds,
                                            PeerSubscriptionCompletion completion) {
  ServiceUse use = impl_->use();
  if (!use) return;
  Request(
      use, &CompletionStore::subscription, std::move(completion),
      [&](rtm::IRtmService& s, long long& id) {
        CStrings ids(peerIds);
        return s.unsubscribePeersOnlineStatus(ids.data(), ids.size(), id);
      },
      CodeRefusal<rtm::PEER_SUBSCRIPTION_STATUS_ERR>(),
      ArrayArgument{peerIds.size(), rtm::PEER_SUBSCRIPTION_STATUS_ERR_INVALID_ARGUMENT});
}

void VoRtmKit::queryPeersBySubscriptionOption(rtm::PEER_SUBSCRIPTION_OPTION option,
                                              QueryPeersBySubscriptionOptionCompletion completion) {
  ServiceUse use = impl_->use();
  if (!use) return;
  Request(
      use, &CompletionStore::queryPeersBySubscriptionOption, std::move(completion),
      [&](rtm::IRtmService& s, long long& id) {
        return s.queryPeersBySubscriptionOption(option, id);
      },
      ListRefusal<std::vector<std::string>, rtm::QUERY_PEERS_BY_SUBSCRIPTION_OPTION_ERR>());
}

void VoRtmKit::setLocalUserAttributes(const std::vector<VoRtmAttribute>& attributes,
                                      AttributeOperationCompletion completion) {
  ServiceUse use = impl_->use();
  if (!use) return;
  Request(
      use, &CompletionStore::setLocalUserAttributes, std::move(completion),
      [&](rtm::IRtmService& s, long long& id) {
        std::vector<rtm::RtmAttribute> core = CoreAttributes(attributes);
        return s.setLocalUserAttributes(core.data(), static_cast<int>(core.size()), id);
      },
      CodeRefusal<rtm::ATTRIBUTE_OPERATION_ERR>(),
      ArrayArgument{attributes.size(), rtm::ATTRIBUTE_OPERATION_ERR_INVALID_ARGUMENT});
}

void VoRtmKit::addOrUpdateLocalUserAttributes(const std::vector<VoRtmAttribute>& attributes,
                                              AttributeOperationCompletion completion) {
  ServiceUse use = impl_->use();
  if (!use) return;
  Request(
      use, &CompletionStore::addOrUpdateLocalUserAttributes, std::move(completion),
      [&](rtm::IRtmService& s, long long& id) {
        std::vector<rtm::RtmAttribute> core = CoreAttributes(attributes);
        return s.addOrUpdateLocalUserAttributes(core.data(), static_cast<int>(core.size()), id);
      },
      CodeRefusal<rtm::ATTRIBUTE_OPERATION_ERR>(),
      ArrayArgument{attributes.size(), rtm::ATTRIBUTE_OPERATION_ERR_INVALID_ARGUMENT});
}

void VoRtmKit::deleteLocalUserAttributesByKeys(const std::vector<std::string>& keys,
                                               AttributeOperationCompletion completion) {
  ServiceUse use = impl_->use();
  if (!use) return;
  Request(
      use, &CompletionStore::deleteLocalUserAttributes, std::move(completion),
      [&](rtm::IRtmService& s, long long& id) {
        CStrings names(keys);
        return s.deleteLocalUserAttributesByKeys(names.data(), names.size(), id);
      },
      CodeRefusal<rtm::ATTRIBUTE_OPERATION_ERR>(),
      ArrayArgument{keys.size(), rtm::ATTRIBUTE_OPERATION_ERR_INVALID_ARGUMENT});
}

void VoRtmKit::clearLocalUserAttributes(AttributeOperationCompletion completion) {
  ServiceUse use = impl_->use();
  if (!use) return;
  Request(
      use, &CompletionStore::clearLocalUserAttributes, std::move(completion),
      [](rtm::IRtmService& s, long long& id) { return s.clearLocalUserAttributes(id); },
      CodeRefusal<rtm::ATTRIBUTE_OPERATION_ERR>());
}

void VoRtmKit::getUserAllAttributes(const std::string& userId,
                                    GetUserAttributesCompletion completion) {
  KitInternals::getUserAttributes(*this, userId, nullptr, std::move(completion));
}

void VoRtmKit::getUserAttributesByKeys(const std::string& userId,
                                       const std::vector<std::string>& keys,
                                       GetUserAttributesCompletion completion) {
  KitInternals::getUserAttributes(*this, userId, &keys, std::move(completion));
}

void KitInternals::getUserAttributes(VoRtmKit& kit, const std::string& userId,
                                     const std::vector<std::string>* keys,
                                     GetUserAttributesCompletion completion) {
  ServiceUse use = kit.impl_->use();
  if (!use) return;
  Request(
      use, &CompletionStore::getUserAttributes, std::move(completion),
      [&](rtm::IRtmService& s, long long& id) {
        CStrings names(keys != nullptr ? *keys : kNoKeys);
        return keys == nullptr
                   ? s.getUserAttributes(userId.c_str(), id)
                   : s.getUserAttributesByKeys(userId.c_str(), names.data(), names.size(), id);
      },
      [&userId](GetUserAttributesCompletion fn, int code) {
        PostCompletion(std::move(fn), std::vector<VoRtmAttribute>{}, userId,
                       static_cast<rtm::ATTRIBUTE_OPERATION_ERR>(code));
      },
      ArrayArgument{keys != nullptr ? keys->size() : 0,
                    rtm::ATTRIBUTE_OPERATION_ERR_INVALID_ARGUMENT});
}

void VoRtmKit::setChannelAttributes(const std::string& channelId,
                                    const std::vector<VoRtmChannelAttribute>& attributes,
                                    const VoRtmChannelAttributeOptions& options,
                                    AttributeOperationCompletion completion) {
  ServiceUse use = impl_->use();
  if (!use) return;
  Request(
      use, &CompletionStore::setChannelAttributes, std::move(completion),
      [&](rtm::IRtmService& s, long long& id) {
        CoreChannelAttributes core(attributes);
        return s.setChannelAttributes(channelId.c_str(), core.data(), core.size(),
                                      CoreOptions(options), id);
      },
      CodeRefusal<rtm::ATTRIBUTE_OPERATION_ERR>(),
      ArrayArgument{attributes.size(), rtm::ATTRIBUTE_OPERATION_ERR_INVALID_ARGUMENT});
}

void VoRtmKit::addOrUpdateChannelAttributes(const std::string& channelId,
                                            const std::vector<VoRtmChannelAttribute>& attributes,
                                            const VoRtmChannelAttributeOptions& options,
                                            AttributeOperationCompletion completion) {
  ServiceUse use = impl_->use();
  if (!use) return;
  Request(
      use, &CompletionStore::addOrUpdateChannelAttributes, std::move(completion),
      [&](rtm::IRtmService& s, long long& id) {
        CoreChannelAttributes core(attributes);
        return s.addOrUpdateChannelAttributes(channelId.c_str(), core.data(), core.size(),
                                              CoreOptions(options), id);
      },
      CodeRefusal<rtm::ATTRIBUTE_OPERATION_ERR>(),
      ArrayArgument{attributes.size(), rtm::ATTRIBUTE_OPERATION_ERR_INVALID_ARGUMENT});
}

void VoRtmKit::deleteChannelAttributesByKeys(const std::string& channelId,
                                             const std::vector<std::string>& keys,
                                             const VoRtmChannelAttributeOptions& options,
                                             AttributeOperationCompletion completion) {
  ServiceUse use = impl_->use();
  if (!use) return;
  Request(
      use, &CompletionStore::deleteChannelAttributes, std::move(completion),
      [&](rtm::IRtmService& s, long long& id) {
        CStrings names(keys);
        return s.deleteChannelAttributesByKeys(channelId.c_str(), names.data(), names.size(),
                                               CoreOptions(options), id);
      },
      CodeRefusal<rtm::ATTRIBUTE_OPERATION_ERR>(),
      ArrayArgument{keys.size(), rtm::ATTRIBUTE_OPERATION_ERR_INVALID_ARGUMENT});
}

void VoRtmKit::clearChannelAttributes(const std::string& channelId,
                                      const VoRtmChannelAttributeOptions& options,
                                      AttributeOperationCompletion completion) {
  ServiceUse use = impl_->use();
  if (!use) return;
  Request(
      use, &CompletionStore::clearChannelAttributes, std::move(completion),
      [&](rtm::IRtmService& s, long long& id) {
        return s.clearChannelAttributes(channelId.c_str(), CoreOptions(options), id);
      },
      CodeRefusal<rtm::ATTRIBUTE_OPERATION_ERR>());
}

void VoRtmKit::getChannelAllAttributes(const std::string& channelId,
                                       GetChannelAttributesCompletion completion) {
  KitInternals::getChannelAttributes(*this, channelId, nullptr, std::move(completion));
}

void VoRtmKit::getChannelAttributesByKeys(const std::string& channelId,
                                          const std::vector<std::string>& keys,
                                          GetChannelAttributesCompletion completion) {
  KitInternals::getChannelAttributes(*this, channelId, &keys, std::move(completion));
}

void KitInternals::getChannelAttributes(VoRtmKit& kit, const std::string& channelId,
                                        const std::vector<std::string>* keys,
                                        GetChannelAttributesCompletion completion) {
  ServiceUse use = kit.impl_->use();
  if (!use) return;
  Request(
      use, &CompletionStore::getChannelAttributes, std::move(completion),
      [&](rtm::IRtmService& s, long long& id) {
        CStrings names(keys != nullptr ? *keys : kNoKeys);
        return keys == nullptr ? s.getChannelAttributes(channelId.c_str(), id)
                               : s.getChannelAttributesByKeys(channelId.c_str(), names.data(),
                                                              names.size(), id);
      },
      ListRefusal<std::vector<VoRtmChannelAttribute>, rtm::ATTRIBUTE_OPERATION_ERR>(),
      ArrayArgument{keys != nullptr ? keys->size() : 0,
                    rtm::ATTRIBUTE_OPERATION_ERR_INVALID_ARGUMENT});
}

void VoRtmKit::getChannelMemberCount(const std::vector<std::string>& channelIds,
                                     GetChannelMemberCountCompletion completion) {
  ServiceUse use = impl_->use();
  if (!use) return;
  Request(
      use, &CompletionStore::getChannelMemberCount, std::move(completion),
      [&](rtm::IRtmService& s, long long& id) {
        CStrings ids(channelIds);
        return s.getChannelMemberCount(ids.data(), ids.size(), id);
      },
      ListRefusal<std::vector<VoRtmChannelMemberCount>, rtm::GET_CHANNEL_MEMBER_COUNT_ERR_CODE>(),
      ArrayArgument{channelIds.size(), rtm::GET_CHANNEL_MEMBER_COUNT_ERR_INVALID_ARGUMENT});
}

int VoRtmKit::setParameters(const std::string& json) {
  ServiceUse use = impl_->use();
  if (!use) return -1;
  const int result = use.service->setParameters(json.c_str());
  if (result != 0) return result;
  const vy::ServiceParameters params = vy::ParseServiceParameters(json.c_str());
  if (params.kind == vy::ServiceParameters::kPrivateGateway) {
    rtc::MutexLock lock(&impl_->mu);
    impl_->probeHost = vy::GatewayHost(params.host);
  }
  return result;
}

int VoRtmKit::setLogFile(const std::string& directory) {
  ServiceUse use = impl_->use();
  return use ? use.service->setLogFile(directory.c_str()) : -1;
}

int VoRtmKit::setLogFileSize(int kilobytes) {
  ServiceUse use = impl_->use();
  return use ? use.service->setLogFileSize(kilobytes) : -1;
}

int VoRtmKit::setLogFilters(unsigned int filter) {
  ServiceUse use = impl_->use();
  return use ? use.service->setLogFilter(static_cast<rtm::LOG_FILTER_TYPE>(filter)) : -1;
}

std::string VoRtmKit::getSDKVersion() { return NoNullString(getRtmSdkVersion()); }

void VoRtmKit::setVoRtmDelegate(std::weak_ptr<VoRtmDelegate> delegate) {
  rtc::MutexLock lock(&impl_->mu);
  impl_->voRtmDelegate = delegate;
  if (impl_->rtmEventHandler != nullptr) impl_->rtmEventHandler->setDelegate(std::move(delegate));
}

std::weak_ptr<VoRtmDelegate> VoRtmKit::voRtmDelegate() const {
  rtc::MutexLock lock(&impl_->mu);
  return impl_->voRtmDelegate;
}

std::shared_ptr<VoRtmCallKit> VoRtmKit::rtmCallKit() const {
  rtc::MutexLock lock(&impl_->mu);
  return impl_->rtmCallKit;
}

}  // namespace vortm

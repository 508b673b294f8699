#include "platform/netwatch/vy_rtm_net_manager.h"

#include <initializer_list>
#include <optional>
#include <utility>

#include "core/session_wire.h"
#include "platform/loop/main_loop.h"
#include "platform/netwatch/modem_manager_radio.h"

namespace vortm {
namespace {

bool IsOneOf(const std::string& value, std::initializer_list<const char*> names) {
  for (const char* name : names) {
    if (value == name) return true;
  }
  return false;
}

}  // namespace

std::shared_ptr<VyRtmNetManager> VyRtmNetManager::defaultManager(NetWatcherSources sources) {
  return createWithHost(vy::GatewayHost(""), std::move(sources));
}

std::shared_ptr<VyRtmNetManager> VyRtmNetManager::createWithHost(const std::string& host,
                                                                 NetWatcherSources sources) {
  // Destroyed on the main loop, and never inside a call of its own: the last release may come
  // from any thread, or from a delegate call. A disposal stays queued also once the loop has
  // stopped at exit, where a posted closure would be dropped and the manager lost.
  return std::shared_ptr<VyRtmNetManager>(
      new VyRtmNetManager(host, std::move(sources)),
      [](VyRtmNetManager* manager) { MainLoop::thread()->Dispose(manager); });
}

VyRtmNetManager::VyRtmNetManager(std::string host, NetWatcherSources sources)
    : host_(std::move(host)), sources_(std::move(sources)) {}

VyRtmNetManager::~VyRtmNetManager() {
  if (observer_ != 0) NotificationCenter::defaultCenter().remove(observer_);
  if (host_reachability_) host_reachability_->stopNotifier();
  if (pinger_) pinger_->stopNotifier();
}

void VyRtmNetManager::startNotifier() {
  const uint64_t generation = generation_.load();
  std::weak_ptr<VyRtmNetManager> weak = weak_from_this();
  MainLoop::post([weak, generation] {
    std::shared_ptr<VyRtmNetManager> manager = weak.lock();
    if (manager && manager->generation_.load() == generation) manager->doStart();
  });
}

void VyRtmNetManager::stopNotifier() {
  ++generation_;
  std::weak_ptr<VyRtmNetManager> weak = weak_from_this();
  MainLoop::post([weak] {
    if (std::shared_ptr<VyRtmNetManager> manager = weak.lock()) manager->doStop();
  });
}

void VyRtmNetManager::makeParts() {
  if (parts_made_) return;
  parts_made_ = true;
  std::weak_ptr<VyRtmNetManager> weak = weak_from_this();
  host_reachability_ = VyRtmReachability::createWithHostName(host_, sources_.reachability);
  observer_ = NotificationCenter::defaultCenter().observe(
      VyRtmkReachabilityChangedNotification, nullptr,
      [weak](const std::string&, const void* sender) {
        std::shared_ptr<VyRtmNetManager> manager = weak.lock();
        if (manager && sender != nullptr) {
          manager->reachabilityChanged(*static_cast<const VyRtmReachability*>(sender));
        }
      });
  pinger_ = VyRtmSimplePinger::create(host_, sources_.pingEngine);
  pinger_->setFailureCount(failure_times_);
  pinger_->setNetworkStatusDidChanged([weak] {
    if (std::shared_ptr<VyRtmNetManager> manager = weak.lock()) manager->networkStatusDidChanged();
  });
}

void VyRtmNetManager::doStart() {
  makeParts();
  if (host_reachability_) host_reachability_->startNotifier();
  pinger_->setSupportIPv4(support_ipv4_);
  pinger_->setSupportIPv6(support_ipv6_);
  pinger_->startNotifier();
}

void VyRtmNetManager::doStop() {
  makeParts();
  if (host_reachability_) host_reachability_->stopNotifier();
  pinger_->stopNotifier();
}

void VyRtmNetManager::reachabilityChanged(const VyRtmReachability& sender) {
  switch (sender.currentReachabilityStatus()) {
    case VyRtmReachability::kReachableViaWiFi:
      net_work_detail_status_ = kNetTypeWiFi;
      break;
    case VyRtmReachability::kReachableViaWWAN:
      net_work_detail_status_ = getNetType();
      break;
    default:
      net_work_detail_status_ = kNetTypeNone;
      break;
  }
  networkStatusDidChanged();
}

void VyRtmNetManager::networkStatusDidChanged() {
  int status = host_reachability_ ? host_reachability_->currentReachabilityStatus()
                                  : VyRtmReachability::kNotReachable;
  bool probeReachable = pinger_ && pinger_->reachable();
  setNetworkStatus(status != VyRtmReachability::kNotReachable && probeReachable
                       ? net_work_detail_status_
                       : kNetTypeNone);
}

void VyRtmNetManager::setNetworkStatus(int status) {
  if (network_status_.load() == status) return;
  network_status_.store(status);
  if (std::shared_ptr<VyRtmNetworkDelegate> delegate = delegate_.lock()) {
    delegate->networkStatusDidChanged(*this, host_, status);
  }
}

int VyRtmNetManager::getNetType() {
  std::shared_ptr<RadioInfoSource> radio =
      sources_.radio ? sources_.radio : SystemRadioInfoSource();
  std::optional<std::string> technology = radio->currentRadioAccessTechnology();
  if (!technology) return kNetType2G;
  const std::string& t = *technology;
  if (radio->supportsNR() &&
      IsOneOf(t, {kCTRadioAccessTechnologyNRNSA, kCTRadioAccessTechnologyNR})) {
    return kNetType5G;
  }
  if (IsOneOf(t, {kCTRadioAccessTechnologyGPRS, kCTRadioAccessTechnologyEdge,
                  kCTRadioAccessTechnologyCDMA1x})) {
    return kNetType2G;
  }
  if (IsOneOf(t, {kCTRadioAccessTechnologyWCDMA, kCTRadioAccessTechnologyHSDPA,
                  kCTRadioAccessTechnologyHSUPA, kCTRadioAccessTechnologyCDMAEVDORev0,
                  kCTRadioAccessTechnologyCDMAEVDORevA, kCTRadioAccessTechnologyCDMAEVDORevB,
                  kCTRadioAccessTechnologyeHRPD})) {
    return kNetType3G;
  }
  if (t == kCTRadioAccessTechnologyLTE) return kNetType4G;
  return kNetType2G;
}

}  // namespace vortm

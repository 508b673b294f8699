// The network watcher: combines the system's reachability of the probe host with the echo
// probe's verdict into one net type, and tells its delegate each time that changes.
//
//   net type   -1 unknown (initial, never reported), 0 none, 2 WiFi (any non-cellular route,
//              Ethernet included), 3 2G (also a cellular route whose technology cannot be
//              read), 4 3G, 5 4G, 6 5G
//
// Threads: startNotifier() and stopNotifier() may be called from any thread; they run on the
// main loop, in call order, and a start that is overtaken by a later stop does nothing. All other
// state belongs to the main loop, where the delegate is called. The manager is destroyed on the
// main loop, on the pass after its last release.
#ifndef PLATFORM_NETWATCH_VY_RTM_NET_MANAGER_H_
#define PLATFORM_NETWATCH_VY_RTM_NET_MANAGER_H_

#include <stdint.h>

#include <atomic>
#include <memory>
#include <string>

#include "platform/loop/notification_center.h"
#include "platform/netwatch/radio_info.h"
#include "platform/netwatch/reachability_source.h"
#include "platform/netwatch/vy_rtm_reachability.h"
#include "platform/netwatch/vy_rtm_simple_pinger.h"

namespace vortm {

class VyRtmNetManager;

class VyRtmNetworkDelegate {
 public:
  virtual ~VyRtmNetworkDelegate() = default;
  // From network:host:networkStatusDidChanged:. On the main loop.
  virtual void networkStatusDidChanged(VyRtmNetManager& manager, const std::string& host,
                                       int netType) {
    (void)manager;
    (void)host;
    (void)netType;
  }
};

// Where the watcher's information comes from. Empty members mean the system's: rtnetlink
// reachability, ModemManager's radio technology (SystemRadioInfoSource), real ICMP engines.
struct NetWatcherSources {
  ReachabilitySourceFactory reachability;
  std::shared_ptr<RadioInfoSource> radio;
  PingEngineFactory pingEngine;
};

class VyRtmNetManager : public std::enable_shared_from_this<VyRtmNetManager> {
 public:
  static constexpr int kNetTypeUnknown = -1;
  static constexpr int kNetTypeNone = 0;
  static constexpr int kNetTypeWiFi = 2;
  static constexpr int kNetType2G = 3;
  static constexpr int kNetType3G = 4;
  static constexpr int kNetType4G = 5;
  static constexpr int kNetType5G = 6;
  static constexpr unsigned kDefaultFailureTimes = 2;

  // A new manager (not a shared one) that probes the build's built-in gateway host: the host
  // the service itself must reach, so that an outage of the way to it is seen. Spelled
  // defultManager in the original interface.
  static std::shared_ptr<VyRtmNetManager> defaultManager(NetWatcherSources sources = {});
  // A new manager for `host`.
  static std::shared_ptr<VyRtmNetManager> createWithHost(const std::string& host,
                                                         NetWatcherSources sources = {});

  ~VyRtmNetManager();

  void startNotifier();
  void stopNotifier();

  // The last net type reported; any thread.
  int networkStatus() const { return network_status_.load(); }
  const std::string& host() const { return host_; }

  // The rest: main loop only.
  std::weak_ptr<VyRtmNetworkDelegate> delegate() const { return delegate_; }
  void setDelegate(std::weak_ptr<VyRtmNetworkDelegate> delegate) {
    delegate_ = std::move(delegate);
  }
  bool supportIPv4() const { return support_ipv4_; }
  void setSupportIPv4(bool value) { support_ipv4_ = value; }
  bool supportIPv6() const { return support_ipv6_; }
  void setSupportIPv6(bool value) { support_ipv6_ = value; }
  unsigned failureTimes() const { return failure_times_; }
  void setFailureTimes(unsigned value) { failure_times_ = value; }
  int netWorkDetailStatus() const { return net_work_detail_status_; }
  // Made on the first start or stop; null before (the reachability also when no source could be
  // made).
  const std::shared_ptr<VyRtmReachability>& hostReachability() const { return host_reachability_; }
  const std::shared_ptr<VyRtmSimplePinger>& pinger() const { return pinger_; }

  // Observer of VyRtmkReachabilityChangedNotification, from any reachability object.
  void reachabilityChanged(const VyRtmReachability& sender);
  // Recombines the two sources and reports.
  void networkStatusDidChanged();
  // Reports `status` when it differs from the last report.
  void setNetworkStatus(int status);
  // The cellular net type of the current radio technology. A technology that cannot be read
  // (none, a name the table does not know, 5G on a system without its names) gives 2G: the
  // route works, and 0 would make the core probe its connection.
  int getNetType();

 private:
  VyRtmNetManager(std::string host, NetWatcherSources sources);

  void makeParts();
  void doStart();
  void doStop();

  const std::string host_;
  const NetWatcherSources sources_;
  bool support_ipv4_ = false;
  bool support_ipv6_ = false;
  std::atomic<int> network_status_{kNetTypeUnknown};
  std::weak_ptr<VyRtmNetworkDelegate> delegate_;
  unsigned failure_times_ = kDefaultFailureTimes;
  std::shared_ptr<VyRtmReachability> host_reachability_;
  std::shared_ptr<VyRtmSimplePinger> pinger_;
  bool parts_made_ = false;
  int net_work_detail_status_ = kNetTypeNone;
  NotificationCenter::Token observer_ = 0;
  // Counts stops; a start runs only if no stop came after it was asked for.
  std::atomic<uint64_t> generation_{0};
};

}  // namespace vortm

#endif  // PLATFORM_NETWATCH_VY_RTM_NET_MANAGER_H_

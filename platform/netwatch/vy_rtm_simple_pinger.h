// The echo probe: sends an ICMP echo to one host every second through VyRtmSimplePing and keeps
// a verdict, reachable(). Three sends without a reply make the host unreachable (3 s after the
// last reply); a reply makes it reachable again at once.
//
// Everything runs on the main loop, including the pinger's destruction.
//
// Engine failures restart the probe after 0.1 s, doubling up to 30 s while they repeat; a stop
// cancels the restart. When the system does not permit ICMP at all (EACCES or EPERM for both the
// datagram and the raw socket), the probe is disabled and stays reachable: lack of permission
// says nothing about the network.
#ifndef PLATFORM_NETWATCH_VY_RTM_SIMPLE_PINGER_H_
#define PLATFORM_NETWATCH_VY_RTM_SIMPLE_PINGER_H_

#include <stdint.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/netwatch/vy_rtm_simple_ping.h"
#include "rtc_base/threads/timers.h"

namespace vortm {

// Makes the echo engine for a host; tests put fakes in its place.
using PingEngineFactory =
    std::function<std::shared_ptr<VyRtmSimplePing>(const std::string& hostName)>;

class VyRtmSimplePinger : public SimplePingDelegate,
                          public std::enable_shared_from_this<VyRtmSimplePinger> {
 public:
  static constexpr int kSendIntervalMs = 1000;
  static constexpr int kTimeOutMs = 1000;
  // Sends without a reply after which the time-out check gives up.
  static constexpr int kTimeOutLimit = 3;
  static constexpr unsigned kMinFailureCount = 3;
  static constexpr int kFirstRestartDelayMs = 100;
  static constexpr int kMaxRestartDelayMs = 30000;

  // From simplePingerWithHostName:. An empty factory makes real engines.
  static std::shared_ptr<VyRtmSimplePinger> create(const std::string& hostName,
                                                   PingEngineFactory factory = {});
  ~VyRtmSimplePinger() override;

  // Starts a new engine with the forced families (a running send timer is kept).
  void startNotifier();
  // Stops the probe and cancels a pending restart.
  void stopNotifier();

  bool reachable() const { return reachable_; }
  unsigned failureCount() const { return failure_count_; }
  // Values below 3 store 3.
  void setFailureCount(unsigned count);
  bool supportIPv4() const { return support_ipv4_; }
  void setSupportIPv4(bool value) { support_ipv4_ = value; }
  bool supportIPv6() const { return support_ipv6_; }
  void setSupportIPv6(bool value) { support_ipv6_ = value; }
  // Called on each change of reachable().
  void setNetworkStatusDidChanged(std::function<void()> block) {
    network_status_did_changed_ = std::move(block);
  }
  const std::string& hostName() const { return host_name_; }
  // The current engine; null while stopped.
  const std::shared_ptr<VyRtmSimplePing>& pinger() const { return pinger_; }
  // Sends counted since the last reply, verdict or stop.
  int count() const { return count_; }
  // Sequence numbers sent since the last reply, verdict or restart of the numbering.
  const std::vector<uint16_t>& sentSequenceNumbers() const { return array_; }
  // True after the system refused ICMP; the next startNotifier() tries again.
  bool probeDisabled() const { return probe_disabled_; }

  void startForceIPv4(bool forceIPv4, bool forceIPv6);
  void sendPing();
  void timeOut();
  void stopPing();

  // SimplePingDelegate:
  void didStartWithAddress(VyRtmSimplePing& pinger, const std::vector<uint8_t>& address) override;
  void didFailWithError(VyRtmSimplePing& pinger, const PingError& error) override;
  void didSendPacket(VyRtmSimplePing& pinger, const std::vector<uint8_t>& packet,
                     uint16_t sequenceNumber) override;
  void didFailToSendPacket(VyRtmSimplePing& pinger, const std::vector<uint8_t>& packet,
                           uint16_t sequenceNumber, const PingError& error) override;
  void didReceivePingResponsePacket(VyRtmSimplePing& pinger, const std::vector<uint8_t>& packet,
                                    uint16_t sequenceNumber) override;

 private:
  VyRtmSimplePinger(std::string hostName, PingEngineFactory factory);

  // Reports a change of the verdict.
  void setReachable(bool value);
  bool isCurrent(const VyRtmSimplePing& engine) const { return &engine == pinger_.get(); }

  const std::string host_name_;
  const PingEngineFactory engine_factory_;
  bool reachable_ = true;
  bool support_ipv4_ = false;
  bool support_ipv6_ = false;
  unsigned failure_count_ = kMinFailureCount;
  std::function<void()> network_status_did_changed_;
  std::shared_ptr<VyRtmSimplePing> pinger_;
  std::unique_ptr<rtc::RepeatingTimer> send_timer_;
  std::vector<uint16_t> array_;
  int count_ = 0;
  int restart_delay_ms_ = kFirstRestartDelayMs;
  bool probe_disabled_ = false;
  bool permission_logged_ = false;
  // Declared last, so its pending calls go before anything they use.
  rtc::DelayedCall delayed_;
};

}  // namespace vortm

#endif  // PLATFORM_NETWATCH_VY_RTM_SIMPLE_PINGER_H_

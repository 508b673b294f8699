// The system's reachability of a host or address, with the notifier that reports its changes.
//
// Changes arrive on the source's own thread, where the blocks run; each change is then posted to
// the main loop as VyRtmkReachabilityChangedNotification on the default NotificationCenter, with
// the reachability object as sender (a `const VyRtmReachability*`).
#ifndef PLATFORM_NETWATCH_VY_RTM_REACHABILITY_H_
#define PLATFORM_NETWATCH_VY_RTM_REACHABILITY_H_

#include <netinet/in.h>
#include <stdint.h>

#include <atomic>
#include <functional>
#include <memory>
#include <string>

#include "platform/netwatch/reachability_source.h"
#include "rtc_base/base/mutex.h"

namespace vortm {

inline constexpr char VyRtmkReachabilityChangedNotification[] =
    "VyRtmkReachabilityChangedNotification";

class VyRtmReachability : public std::enable_shared_from_this<VyRtmReachability> {
 public:
  // Reachability status.
  static constexpr int kNotReachable = 0;
  static constexpr int kReachableViaWWAN = 1;
  static constexpr int kReachableViaWiFi = 2;

  using Block = std::function<void(VyRtmReachability& reachability)>;
  using FlagsBlock = std::function<void(VyRtmReachability& reachability, uint32_t flags)>;

  // Each factory returns null when no source can be made for the target. `factory` makes the
  // source; empty means the system's (rtnetlink).
  // From reachabilityWithHostName: and reachabilityWithHostname:. The name is not resolved.
  static std::shared_ptr<VyRtmReachability> createWithHostName(
      const std::string& hostName, const ReachabilitySourceFactory& factory = {});
  static std::shared_ptr<VyRtmReachability> createWithAddress(
      const sockaddr_in& address, const ReachabilitySourceFactory& factory = {});
  // Watches 0.0.0.0, that is the default route.
  static std::shared_ptr<VyRtmReachability> forInternetConnection(
      const ReachabilitySourceFactory& factory = {});
  // Watches 169.254.0.0.
  static std::shared_ptr<VyRtmReachability> forLocalWiFi(
      const ReachabilitySourceFactory& factory = {});
  // Watches the URL's host: an IPv4 literal as an address with the URL's port (else 443 for
  // "https", 80 otherwise), any other host by name. Null for a URL without a host.
  static std::shared_ptr<VyRtmReachability> createWithURL(
      const std::string& url, const ReachabilitySourceFactory& factory = {});
  // From initWithReachabilityRef:; null for a null source.
  static std::shared_ptr<VyRtmReachability> createWithSource(
      std::unique_ptr<ReachabilitySource> source);

  // True when inet_aton accepts `text`.
  static bool isIpAddress(const std::string& text);

  // Stops the notifier.
  ~VyRtmReachability();

  // Starts reporting changes; true at once when already started. May be called from any thread,
  // but not concurrently with stopNotifier().
  bool startNotifier();
  // When it returns, no block runs any more (unless it is called from inside one).
  void stopNotifier();

  // Queries read the flags now; each answers false (or 0) when they cannot be read.
  bool isReachable() const;
  bool isReachableViaWWAN() const;
  bool isReachableViaWiFi() const;
  bool isConnectionRequired() const;
  bool connectionRequired() const;
  bool isConnectionOnDemand() const;
  bool isInterventionRequired() const;
  int currentReachabilityStatus() const;
  uint32_t reachabilityFlags() const;

  // "WiFi", "Cellular" or "No Connection".
  std::string currentReachabilityString() const;
  // One character per flag: "%c%c %c%c%c%c%c%c%c" of W R, c t i C D l d, "-" when clear.
  std::string currentReachabilityFlags() const;
  // "<VyRtmReachability: 0x... (flags)>".
  std::string description() const;

  static std::string flagsText(uint32_t flags);
  bool isReachableWithFlags(uint32_t flags) const;
  // Runs the blocks for `flags` and posts the notification; on the source's thread.
  void reachabilityChanged(uint32_t flags);

  bool reachableOnWWAN() const { return reachable_on_wwan_.load(); }
  void setReachableOnWWAN(bool value) { reachable_on_wwan_.store(value); }
  void setReachableBlock(Block block);
  void setUnreachableBlock(Block block);
  void setReachabilityBlock(FlagsBlock block);

 private:
  explicit VyRtmReachability(std::unique_ptr<ReachabilitySource> source);

  // False when the flags cannot be read.
  bool readFlags(uint32_t* flags) const;

  const std::unique_ptr<ReachabilitySource> source_;
  std::atomic<bool> reachable_on_wwan_{true};
  bool notifying_ = false;  // Owned by the thread that starts and stops the notifier.

  mutable rtc::Mutex blocks_mutex_;
  Block reachable_block_ ABSL_GUARDED_BY(blocks_mutex_);
  Block unreachable_block_ ABSL_GUARDED_BY(blocks_mutex_);
  FlagsBlock reachability_block_ ABSL_GUARDED_BY(blocks_mutex_);
};

}  // namespace vortm

#endif  // PLATFORM_NETWATCH_VY_RTM_REACHABILITY_H_

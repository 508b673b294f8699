// Reachability from the kernel's routing tables over rtnetlink. Only route and link look-ups are
// made; nothing is sent on the network.
//
// - An address target is reachable when the route to it leads out through an interface that is up
//   and has carrier (IFF_UP and IFF_RUNNING); IsDirect means no gateway, IsLocalAddress a local
//   route. A host-name target (and 0.0.0.0) uses the default routes of the main table instead.
// - IsWWAN comes from a classifier of the output interface.
// - A monitor thread listens to link, address and route events; after a burst has gone quiet it
//   recomputes the flags and reports them when they changed.
#ifndef PLATFORM_NETWATCH_NETLINK_REACHABILITY_H_
#define PLATFORM_NETWATCH_NETLINK_REACHABILITY_H_

#include <stdint.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "platform/netwatch/reachability_source.h"

namespace vortm {

struct LinkInfo {
  int index = 0;
  std::string name;
  unsigned type = 0;   // ARPHRD_*
  unsigned flags = 0;  // IFF_*
};

// Whether a link is cellular.
using WwanClassifier = std::function<bool(const LinkInfo& link)>;

// A raw-IP link, or one whose sysfs uevent says DEVTYPE=wwan.
bool IsWwanLink(const LinkInfo& link);

// The flags of `target` now, from the routing tables; nullopt when they cannot be read.
std::optional<uint32_t> ComputeReachabilityFlags(const ReachabilityTarget& target,
                                                 const WwanClassifier& isWwan);

class NetlinkReachabilitySource : public ReachabilitySource {
 public:
  explicit NetlinkReachabilitySource(ReachabilityTarget target, WwanClassifier isWwan = IsWwanLink);
  ~NetlinkReachabilitySource() override;

  bool getFlags(uint32_t* flags) override;
  bool setCallback(Callback callback) override;
  bool start() override;
  // May also be called from inside the callback (and the source destroyed there): the monitor
  // then ends when the callback returns.
  void stop() override;

 private:
  struct Shared;
  struct Run;
  static void monitor(std::shared_ptr<Shared> shared, std::shared_ptr<Run> run);

  // What the monitor thread uses; it keeps its own reference, so a source destroyed from inside
  // its callback leaves the thread nothing dangling.
  std::shared_ptr<Shared> shared_;
  // Owned by the thread that calls start() and stop().
  std::shared_ptr<Run> run_;
  std::thread monitor_;
};

}  // namespace vortm

#endif  // PLATFORM_NETWATCH_NETLINK_REACHABILITY_H_

// Where the network watcher gets the system's reachability of a target: a flag set with the
// meaning of the platform's reachability flags, read on demand and reported on change.
#ifndef PLATFORM_NETWATCH_REACHABILITY_SOURCE_H_
#define PLATFORM_NETWATCH_REACHABILITY_SOURCE_H_

#include <netinet/in.h>
#include <stdint.h>
#include <sys/socket.h>

#include <functional>
#include <memory>
#include <string>

namespace vortm {

// Reachability flag bits. On Linux only Reachable, IsLocalAddress, IsDirect and IsWWAN are ever
// set; the others exist for the texts and the rules that test them.
enum ReachabilityFlag : uint32_t {
  kReachabilityFlagTransientConnection = 1u << 0,
  kReachabilityFlagReachable = 1u << 1,
  kReachabilityFlagConnectionRequired = 1u << 2,
  kReachabilityFlagConnectionOnTraffic = 1u << 3,
  kReachabilityFlagInterventionRequired = 1u << 4,
  kReachabilityFlagConnectionOnDemand = 1u << 5,
  kReachabilityFlagIsLocalAddress = 1u << 16,
  kReachabilityFlagIsDirect = 1u << 17,
  kReachabilityFlagIsWWAN = 1u << 18,
};

// What a source watches: a host name or a socket address. A host name is never resolved (that
// would send traffic); it stands for the default route, unless it is an IP literal, which is
// watched as that address.
struct ReachabilityTarget {
  static ReachabilityTarget hostName(const std::string& name);
  static ReachabilityTarget address(const sockaddr* addr, socklen_t length);

  bool isAddress = false;
  std::string name;
  sockaddr_storage addr{};
  socklen_t addrLength = 0;
};

class ReachabilitySource {
 public:
  // Gets the new flags, on the source's own thread.
  using Callback = std::function<void(uint32_t flags)>;

  virtual ~ReachabilitySource() = default;

  // The current flags, computed now; false when they cannot be read.
  virtual bool getFlags(uint32_t* flags) = 0;
  // Installs (or, with an empty callback, removes) the change callback.
  virtual bool setCallback(Callback callback) = 0;
  // Starts delivering: once with the current flags, then on every change. false when the
  // monitor cannot start.
  virtual bool start() = 0;
  // Stops delivering. When it returns no callback is running or will run.
  virtual void stop() = 0;
};

using ReachabilitySourceFactory =
    std::function<std::unique_ptr<ReachabilitySource>(const ReachabilityTarget& target)>;

// The rtnetlink source (null when it cannot be made).
std::unique_ptr<ReachabilitySource> CreateSystemReachabilitySource(
    const ReachabilityTarget& target);

}  // namespace vortm

#endif  // PLATFORM_NETWATCH_REACHABILITY_SOURCE_H_

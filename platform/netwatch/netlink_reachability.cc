#include "platform/netwatch/netlink_reachability.h"

#include <net/if.h>  // Before the linux headers, which then skip their copy.

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/if_arp.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <poll.h>
#include <pthread.h>
#include <string.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <fstream>
#include <utility>
#include <vector>

#include "rtc_base/base/checks.h"
#include "rtc_base/base/logging.h"
#include "rtc_base/base/mutex.h"

namespace vortm {
namespace {

// A burst of events is over once the socket has been quiet this long...
constexpr int kQuietMs = 30;
// ...or after this many quiet checks, so that a storm cannot hold the report back for ever.
constexpr int kMaxDebounceRounds = 16;
// The kernel answers at once; a look-up that takes longer has failed.
constexpr int kQueryTimeoutMs = 1000;
// Dump answers come in messages of up to 32 KiB.
constexpr size_t kReceiveBufferSize = 64 * 1024;

// Walks the attributes in [data, data + length); fn(type, payload, payloadLength).
template <typename Fn>
void ForEachAttribute(const uint8_t* data, size_t length, Fn fn) {
  while (length >= sizeof(rtattr)) {
    rtattr attr;
    memcpy(&attr, data, sizeof(attr));
    if (attr.rta_len < sizeof(rtattr) || attr.rta_len > length) return;
    fn(attr.rta_type & NLA_TYPE_MASK, data + RTA_LENGTH(0), attr.rta_len - RTA_LENGTH(0));
    size_t step = RTA_ALIGN(attr.rta_len);
    if (step >= length) return;
    data += step;
    length -= step;
  }
}

uint32_t ReadU32(const uint8_t* p) {
  uint32_t v;
  memcpy(&v, p, sizeof(v));
  return v;
}

// One request/answer exchange with the kernel on a socket of its own.
class NetlinkQuery {
 public:
  NetlinkQuery() {
    fd_ = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
    if (fd_ < 0) {
      RTC_LOG_ERR(LS_WARNING) << "rtnetlink socket";
      return;
    }
    timeval tv{kQueryTimeoutMs / 1000, (kQueryTimeoutMs % 1000) * 1000};
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
  }
  ~NetlinkQuery() {
    if (fd_ >= 0) ::close(fd_);
  }
  bool ok() const { return fd_ >= 0; }

  // Sends `request` (a whole netlink message) and calls onMessage(header, payload, length) for
  // each answer until the exchange ends. Returns 0, the kernel's negative error, or -EIO when the
  // socket failed.
  template <typename Fn>
  int exchange(std::vector<uint8_t> request, Fn onMessage) {
    nlmsghdr header;
    memcpy(&header, request.data(), sizeof(header));
    header.nlmsg_seq = ++seq_;
    memcpy(request.data(), &header, sizeof(header));
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    if (::sendto(fd_, request.data(), request.size(), MSG_NOSIGNAL,
                 reinterpret_cast<sockaddr*>(&kernel), sizeof(kernel)) < 0) {
      return -EIO;
    }
    const bool dump = (header.nlmsg_flags & NLM_F_DUMP) == NLM_F_DUMP;
    std::vector<uint8_t> buffer(kReceiveBufferSize);
    while (true) {
      sockaddr_nl from{};
      socklen_t fromLength = sizeof(from);
      ssize_t n = ::recvfrom(fd_, buffer.data(), buffer.size(), MSG_TRUNC,
                             reinterpret_cast<sockaddr*>(&from), &fromLength);
      if (n < 0) {
        if (errno == EINTR) continue;
        return -EIO;
      }
      // A cut message cannot be read; the answer is lost.
      if (static_cast<size_t>(n) > buffer.size()) return -EIO;
      if (from.nl_pid != 0) continue;  // Only the kernel answers.
      size_t left = static_cast<size_t>(n);
      const uint8_t* p = buffer.data();
      while (left >= sizeof(nlmsghdr)) {
        nlmsghdr h;
        memcpy(&h, p, sizeof(h));
        if (h.nlmsg_len < sizeof(nlmsghdr) || h.nlmsg_len > left) break;
        if (h.nlmsg_seq == seq_) {
          const uint8_t* payload = p + NLMSG_HDRLEN;
          size_t payloadLength = h.nlmsg_len - NLMSG_HDRLEN;
          if (h.nlmsg_type == NLMSG_DONE) return 0;
          if (h.nlmsg_type == NLMSG_ERROR) {
            nlmsgerr err{};
            if (payloadLength >= sizeof(err)) memcpy(&err, payload, sizeof(err));
            return err.error;
          }
          onMessage(h, payload, payloadLength);
          if (!dump) return 0;
        }
        size_t step = NLMSG_ALIGN(h.nlmsg_len);
        if (step >= left) break;
        p += step;
        left -= step;
      }
    }
  }

 private:
  int fd_ = -1;
  uint32_t seq_ = 0;
};

// A netlink request: header, fixed part, then attributes.
template <typename Fixed>
std::vector<uint8_t> MakeRequest(uint16_t type, uint16_t flags, const Fixed& fixed,
                                 uint16_t attrType = 0, const void* attr = nullptr,
                                 size_t attrLength = 0) {
  size_t length = NLMSG_LENGTH(sizeof(Fixed));
  size_t attrStart = NLMSG_ALIGN(length);
  if (attr != nullptr) length = attrStart + RTA_LENGTH(attrLength);
  std::vector<uint8_t> request(NLMSG_ALIGN(length), 0);
  nlmsghdr h{};
  h.nlmsg_len = static_cast<uint32_t>(length);
  h.nlmsg_type = type;
  h.nlmsg_flags = static_cast<uint16_t>(NLM_F_REQUEST | flags);
  memcpy(request.data(), &h, sizeof(h));
  memcpy(request.data() + NLMSG_HDRLEN, &fixed, sizeof(fixed));
  if (attr != nullptr) {
    rtattr a{};
    a.rta_len = static_cast<uint16_t>(RTA_LENGTH(attrLength));
    a.rta_type = attrType;
    memcpy(request.data() + attrStart, &a, sizeof(a));
    memcpy(request.data() + attrStart + RTA_LENGTH(0), attr, attrLength);
  }
  return request;
}

struct Nexthop {
  int oif = 0;
  bool gateway = false;
};

struct Route {
  uint8_t type = RTN_UNSPEC;
  uint32_t table = RT_TABLE_UNSPEC;
  uint8_t dstLength = 0;
  uint32_t metric = 0;
  std::vector<Nexthop> nexthops;
};

Route ParseRoute(const uint8_t* payload, size_t length) {
  Route route;
  if (length < sizeof(rtmsg)) return route;
  rtmsg rtm;
  memcpy(&rtm, payload, sizeof(rtm));
  route.type = rtm.rtm_type;
  route.table = rtm.rtm_table;
  route.dstLength = rtm.rtm_dst_len;
  Nexthop single;
  size_t attrOffset = NLMSG_ALIGN(sizeof(rtmsg));
  if (attrOffset > length) return route;
  ForEachAttribute(payload + attrOffset, length - attrOffset,
                   [&](uint16_t type, const uint8_t* data, size_t size) {
                     if (type == RTA_OIF && size >= 4) {
                       single.oif = static_cast<int>(ReadU32(data));
                     } else if (type == RTA_GATEWAY || type == RTA_VIA) {
                       single.gateway = true;
                     } else if (type == RTA_TABLE && size >= 4) {
                       route.table = ReadU32(data);
                     } else if (type == RTA_PRIORITY && size >= 4) {
                       route.metric = ReadU32(data);
                     } else if (type == RTA_MULTIPATH) {
                       while (size >= sizeof(rtnexthop)) {
                         rtnexthop nh;
                         memcpy(&nh, data, sizeof(nh));
                         if (nh.rtnh_len < sizeof(rtnexthop) || nh.rtnh_len > size) break;
                         Nexthop hop;
                         hop.oif = nh.rtnh_ifindex;
                         ForEachAttribute(data + RTNH_LENGTH(0), nh.rtnh_len - RTNH_LENGTH(0),
                                          [&](uint16_t t, const uint8_t*, size_t) {
                                            if (t == RTA_GATEWAY || t == RTA_VIA)
                                              hop.gateway = true;
                                          });
                         route.nexthops.push_back(hop);
                         size_t step = RTNH_ALIGN(nh.rtnh_len);
                         if (step >= size) break;
                         data += step;
                         size -= step;
                       }
                     }
                   });
  if (route.nexthops.empty() && single.oif != 0) route.nexthops.push_back(single);
  return route;
}

std::optional<LinkInfo> QueryLink(NetlinkQuery& query, int index) {
  ifinfomsg ifi{};
  ifi.ifi_family = AF_UNSPEC;
  ifi.ifi_index = index;
  std::optional<LinkInfo> link;
  query.exchange(MakeRequest(RTM_GETLINK, 0, ifi), [&](const nlmsghdr& h, const uint8_t* payload,
                                                       size_t length) {
    if (h.nlmsg_type != RTM_NEWLINK || length < sizeof(ifinfomsg)) return;
    ifinfomsg answer;
    memcpy(&answer, payload, sizeof(answer));
    LinkInfo info;
    info.index = answer.ifi_index;
    info.type = answer.ifi_type;
    info.flags = answer.ifi_flags;
    size_t attrOffset = NLMSG_ALIGN(sizeof(ifinfomsg));
    if (attrOffset <= length) {
      ForEachAttribute(payload + attrOffset, length - attrOffset,
                       [&](uint16_t type, const uint8_t* data, size_t size) {
                         if (type == IFLA_IFNAME)
                           info.name.assign(reinterpret_cast<const char*>(data),
                                            strnlen(reinterpret_cast<const char*>(data), size));
                       });
    }
    link = info;
  });
  return link;
}

// The flags one route gives, judged by its best usable next hop.
uint32_t FlagsOfRoute(NetlinkQuery& query, const Route& route, const WwanClassifier& isWwan) {
  for (const Nexthop& hop : route.nexthops) {
    std::optional<LinkInfo> link = QueryLink(query, hop.oif);
    // Up is not enough: with the cable out (no carrier) the route is still there.
    if (!link || (link->flags & (IFF_UP | IFF_RUNNING)) != (IFF_UP | IFF_RUNNING)) continue;
    uint32_t flags = kReachabilityFlagReachable;
    if (!hop.gateway) flags |= kReachabilityFlagIsDirect;
    if (route.type == RTN_LOCAL) flags |= kReachabilityFlagIsLocalAddress;
    if (isWwan && isWwan(*link)) flags |= kReachabilityFlagIsWWAN;
    return flags;
  }
  return 0;
}

std::optional<uint32_t> FlagsOfAddress(NetlinkQuery& query, const sockaddr_storage& addr,
                                       const WwanClassifier& isWwan) {
  rtmsg rtm{};
  rtm.rtm_family = static_cast<uint8_t>(addr.ss_family);
  const void* bytes;
  size_t size;
  if (addr.ss_family == AF_INET) {
    bytes = &reinterpret_cast<const sockaddr_in&>(addr).sin_addr;
    size = 4;
  } else if (addr.ss_family == AF_INET6) {
    bytes = &reinterpret_cast<const sockaddr_in6&>(addr).sin6_addr;
    size = 16;
  } else {
    return std::nullopt;
  }
  rtm.rtm_dst_len = static_cast<uint8_t>(size * 8);
  std::optional<Route> route;
  int result = query.exchange(MakeRequest(RTM_GETROUTE, 0, rtm, RTA_DST, bytes, size),
                              [&](const nlmsghdr& h, const uint8_t* payload, size_t length) {
                                if (h.nlmsg_type == RTM_NEWROUTE)
                                  route = ParseRoute(payload, length);
                              });
  if (result == -EIO) return std::nullopt;
  // No route (ENETUNREACH and the like) is an answer: not reachable.
  if (result < 0 || !route) return 0u;
  if (route->type != RTN_UNICAST && route->type != RTN_LOCAL) return 0u;
  return FlagsOfRoute(query, *route, isWwan);
}

std::optional<uint32_t> FlagsOfDefaultRoute(NetlinkQuery& query, const WwanClassifier& isWwan) {
  std::optional<uint32_t> best;
  uint32_t bestMetric = 0;
  for (int family : {AF_INET, AF_INET6}) {
    rtmsg rtm{};
    rtm.rtm_family = static_cast<uint8_t>(family);
    std::vector<Route> defaults;
    int result = query.exchange(
        MakeRequest(RTM_GETROUTE, NLM_F_DUMP, rtm),
        [&](const nlmsghdr& h, const uint8_t* payload, size_t length) {
          if (h.nlmsg_type != RTM_NEWROUTE) return;
          Route route = ParseRoute(payload, length);
          if (route.dstLength == 0 && route.type == RTN_UNICAST && route.table == RT_TABLE_MAIN) {
            defaults.push_back(std::move(route));
          }
        });
    if (result == -EIO) return std::nullopt;
    if (!best) best = 0u;
    for (const Route& route : defaults) {
      uint32_t flags = FlagsOfRoute(query, route, isWwan);
      if (flags != 0 && (*best == 0 || route.metric < bestMetric)) {
        best = flags;
        bestMetric = route.metric;
      }
    }
  }
  return best;
}

bool IsAnyAddress(const sockaddr_storage& addr) {
  if (addr.ss_family != AF_INET) return false;
  return reinterpret_cast<const sockaddr_in&>(addr).sin_addr.s_addr == htonl(INADDR_ANY);
}

}  // namespace

ReachabilityTarget ReachabilityTarget::hostName(const std::string& name) {
  ReachabilityTarget target;
  target.name = name;
  sockaddr_in v4{};
  sockaddr_in6 v6{};
  if (::inet_pton(AF_INET, name.c_str(), &v4.sin_addr) == 1) {
    v4.sin_family = AF_INET;
    target = address(reinterpret_cast<sockaddr*>(&v4), sizeof(v4));
    target.name = name;
  } else if (::inet_pton(AF_INET6, name.c_str(), &v6.sin6_addr) == 1) {
    v6.sin6_family = AF_INET6;
    target = address(reinterpret_cast<sockaddr*>(&v6), sizeof(v6));
    target.name = name;
  }
  return target;
}

ReachabilityTarget ReachabilityTarget::address(const sockaddr* addr, socklen_t length) {
  ReachabilityTarget target;
  if (addr == nullptr || length == 0 || length > sizeof(target.addr)) return target;
  target.isAddress = true;
  memcpy(&target.addr, addr, length);
  target.addrLength = length;
  return target;
}

bool IsWwanLink(const LinkInfo& link) {
  if (link.type == ARPHRD_RAWIP) return true;
  if (link.name.empty() || link.name.find('/') != std::string::npos) return false;
  std::ifstream uevent("/sys/class/net/" + link.name + "/uevent");
  std::string line;
  while (std::getline(uevent, line)) {
    if (line == "DEVTYPE=wwan") return true;
  }
  return false;
}

std::optional<uint32_t> ComputeReachabilityFlags(const ReachabilityTarget& target,
                                                 const WwanClassifier& isWwan) {
  NetlinkQuery query;
  if (!query.ok()) return std::nullopt;
  if (target.isAddress && !IsAnyAddress(target.addr)) {
    return FlagsOfAddress(query, target.addr, isWwan);
  }
  return FlagsOfDefaultRoute(query, isWwan);
}

struct NetlinkReachabilitySource::Shared {
  ReachabilityTarget target;
  WwanClassifier isWwan;
  rtc::Mutex mutex;
  Callback callback ABSL_GUARDED_BY(mutex);  // Called outside it, on the monitor thread.
};

// The descriptors of one monitor run, closed when both the source and the thread are done.
struct NetlinkReachabilitySource::Run {
  int eventFd = -1;
  int wakeFd = -1;
  ~Run() {
    if (eventFd >= 0) ::close(eventFd);
    if (wakeFd >= 0) ::close(wakeFd);
  }
  void wake() {
    uint64_t one = 1;
    if (::write(wakeFd, &one, sizeof(one)) != sizeof(one)) {
      RTC_LOG_ERR(LS_ERROR) << "rtnetlink monitor wake-up";
    }
  }
};

std::unique_ptr<ReachabilitySource> CreateSystemReachabilitySource(
    const ReachabilityTarget& target) {
  return std::make_unique<NetlinkReachabilitySource>(target);
}

NetlinkReachabilitySource::NetlinkReachabilitySource(ReachabilityTarget target,
                                                     WwanClassifier isWwan)
    : shared_(std::make_shared<Shared>()) {
  shared_->target = std::move(target);
  shared_->isWwan = std::move(isWwan);
}

NetlinkReachabilitySource::~NetlinkReachabilitySource() { stop(); }

bool NetlinkReachabilitySource::getFlags(uint32_t* flags) {
  std::optional<uint32_t> current = ComputeReachabilityFlags(shared_->target, shared_->isWwan);
  if (!current || flags == nullptr) return false;
  *flags = *current;
  return true;
}

bool NetlinkReachabilitySource::setCallback(Callback callback) {
  rtc::MutexLock lock(&shared_->mutex);
  shared_->callback = std::move(callback);
  return true;
}

bool NetlinkReachabilitySource::start() {
  if (monitor_.joinable()) return true;
  auto run = std::make_shared<Run>();
  run->eventFd = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_ROUTE);
  run->wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  sockaddr_nl local{};
  local.nl_family = AF_NETLINK;
  local.nl_groups =
      RTMGRP_LINK | RTMGRP_IPV4_IFADDR | RTMGRP_IPV6_IFADDR | RTMGRP_IPV4_ROUTE | RTMGRP_IPV6_ROUTE;
  if (run->eventFd < 0 || run->wakeFd < 0 ||
      ::bind(run->eventFd, reinterpret_cast<sockaddr*>(&local), sizeof(local)) < 0) {
    RTC_LOG_ERR(LS_WARNING) << "rtnetlink monitor set-up";
    return false;
  }
  run_ = run;
  monitor_ = std::thread(&NetlinkReachabilitySource::monitor, shared_, std::move(run));
  return true;
}

void NetlinkReachabilitySource::stop() {
  if (!monitor_.joinable()) return;
  run_->wake();
  if (monitor_.get_id() == std::this_thread::get_id()) {
    monitor_.detach();
  } else {
    monitor_.join();
  }
  run_.reset();
}

void NetlinkReachabilitySource::monitor(std::shared_ptr<Shared> shared, std::shared_ptr<Run> run) {
  pthread_setname_np(pthread_self(), "VoRtmReach");
  const int eventFd = run->eventFd;
  const int wakeFd = run->wakeFd;
  std::vector<uint8_t> scratch(kReceiveBufferSize);
  auto drain = [&] {
    while (true) {
      ssize_t n = ::recv(eventFd, scratch.data(), scratch.size(), MSG_DONTWAIT);
      // ENOBUFS means events were lost; the recomputation that follows covers them.
      if (n > 0 || (n < 0 && (errno == EINTR || errno == ENOBUFS))) continue;
      return;
    }
  };
  // Waits up to `timeoutMs` for events: 1 events, 0 quiet, -1 stop.
  auto wait = [&](int timeoutMs) {
    pollfd fds[2] = {{eventFd, POLLIN, 0}, {wakeFd, POLLIN, 0}};
    while (true) {
      int n = ::poll(fds, 2, timeoutMs);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 || (fds[1].revents & POLLIN)) return -1;
      return n == 0 ? 0 : 1;
    }
  };
  std::optional<uint32_t> reported;
  while (true) {
    std::optional<uint32_t> flags = ComputeReachabilityFlags(shared->target, shared->isWwan);
    if (flags && flags != reported) {
      reported = flags;
      Callback callback;
      {
        rtc::MutexLock lock(&shared->mutex);
        callback = shared->callback;
      }
      if (callback) callback(*flags);
    }
    if (wait(-1) < 0) return;
    drain();
    int state = 1;
    for (int round = 0; round < kMaxDebounceRounds && state == 1; ++round) {
      state = wait(kQuietMs);
      if (state == 1) drain();
    }
    if (state < 0) return;
  }
}

}  // namespace vortm

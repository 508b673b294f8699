#include "platform/netwatch/vy_rtm_reachability.h"

#include <arpa/inet.h>
#include <stdio.h>
#include <string.h>

#include <utility>

#include "platform/loop/main_loop.h"
#include "platform/loop/notification_center.h"
#include "rtc_base/base/mutex.h"

namespace vortm {
namespace {

constexpr uint16_t kHttpsPort = 443;
constexpr uint16_t kHttpPort = 80;
constexpr uint32_t kLinkLocalNet = 0xA9FE0000;  // 169.254.0.0

std::unique_ptr<ReachabilitySource> MakeSource(const ReachabilityTarget& target,
                                               const ReachabilitySourceFactory& factory) {
  return factory ? factory(target) : CreateSystemReachabilitySource(target);
}

std::shared_ptr<VyRtmReachability> CreateForAddress(in_addr_t address, uint16_t port,
                                                    const ReachabilitySourceFactory& factory) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = address;
  addr.sin_port = htons(port);
  return VyRtmReachability::createWithAddress(addr, factory);
}

struct UrlParts {
  std::string scheme;
  std::string host;
  int port = -1;
};

// The scheme, host and port of an absolute URL; an empty host when it has none.
UrlParts ParseUrl(const std::string& url) {
  UrlParts parts;
  size_t schemeEnd = url.find("://");
  if (schemeEnd == std::string::npos) return parts;
  parts.scheme = url.substr(0, schemeEnd);
  size_t start = schemeEnd + 3;
  size_t end = url.find_first_of("/?#", start);
  std::string authority = url.substr(start, end == std::string::npos ? end : end - start);
  size_t at = authority.rfind('@');
  if (at != std::string::npos) authority.erase(0, at + 1);
  size_t portStart = std::string::npos;
  if (!authority.empty() && authority[0] == '[') {
    size_t close = authority.find(']');
    if (close == std::string::npos) return parts;
    parts.host = authority.substr(1, close - 1);
    if (close + 1 < authority.size() && authority[close + 1] == ':') portStart = close + 2;
  } else {
    size_t colon = authority.find(':');
    parts.host = authority.substr(0, colon);
    if (colon != std::string::npos) portStart = colon + 1;
  }
  if (portStart != std::string::npos) {
    std::string digits = authority.substr(portStart);
    if (!digits.empty() && digits.size() <= 5 &&
        digits.find_first_not_of("0123456789") == std::string::npos) {
      int port = std::stoi(digits);
      if (port <= 0xFFFF) parts.port = port;
    }
  }
  return parts;
}

}  // namespace

std::shared_ptr<VyRtmReachability> VyRtmReachability::createWithSource(
    std::unique_ptr<ReachabilitySource> source) {
  if (!source) return nullptr;
  return std::shared_ptr<VyRtmReachability>(new VyRtmReachability(std::move(source)));
}

std::shared_ptr<VyRtmReachability> VyRtmReachability::createWithHostName(
    const std::string& hostName, const ReachabilitySourceFactory& factory) {
  if (hostName.empty()) return nullptr;
  return createWithSource(MakeSource(ReachabilityTarget::hostName(hostName), factory));
}

std::shared_ptr<VyRtmReachability> VyRtmReachability::createWithAddress(
    const sockaddr_in& address, const ReachabilitySourceFactory& factory) {
  return createWithSource(MakeSource(
      ReachabilityTarget::address(reinterpret_cast<const sockaddr*>(&address), sizeof(address)),
      factory));
}

std::shared_ptr<VyRtmReachability> VyRtmReachability::forInternetConnection(
    const ReachabilitySourceFactory& factory) {
  return CreateForAddress(htonl(INADDR_ANY), 0, factory);
}

std::shared_ptr<VyRtmReachability> VyRtmReachability::forLocalWiFi(
    const ReachabilitySourceFactory& factory) {
  return CreateForAddress(htonl(kLinkLocalNet), 0, factory);
}

std::shared_ptr<VyRtmReachability> VyRtmReachability::createWithURL(
    const std::string& url, const ReachabilitySourceFactory& factory) {
  UrlParts parts = ParseUrl(url);
  if (parts.host.empty()) return nullptr;
  in_addr address;
  if (::inet_aton(parts.host.c_str(), &address) != 0) {
    uint16_t port = parts.port >= 0           ? static_cast<uint16_t>(parts.port)
                    : parts.scheme == "https" ? kHttpsPort
                                              : kHttpPort;
    return CreateForAddress(address.s_addr, port, factory);
  }
  return createWithHostName(parts.host, factory);
}

bool VyRtmReachability::isIpAddress(const std::string& text) {
  in_addr address;
  return ::inet_aton(text.c_str(), &address) != 0;
}

VyRtmReachability::VyRtmReachability(std::unique_ptr<ReachabilitySource> source)
    : source_(std::move(source)) {}

VyRtmReachability::~VyRtmReachability() { stopNotifier(); }

bool VyRtmReachability::startNotifier() {
  if (notifying_) return true;
  // The source stops calling before this object goes (stopNotifier in the destructor), so the
  // raw pointer never dangles.
  if (!source_->setCallback([this](uint32_t flags) { reachabilityChanged(flags); })) {
    return false;
  }
  if (!source_->start()) {
    source_->setCallback({});
    return false;
  }
  notifying_ = true;
  return true;
}

void VyRtmReachability::stopNotifier() {
  source_->setCallback({});
  source_->stop();
  notifying_ = false;
}

bool VyRtmReachability::readFlags(uint32_t* flags) const { return source_->getFlags(flags); }

bool VyRtmReachability::isReachableWithFlags(uint32_t flags) const {
  if (!(flags & kReachabilityFlagReachable)) return false;
  const uint32_t both = kReachabilityFlagConnectionRequired | kReachabilityFlagTransientConnection;
  if ((flags & both) == both) return false;
  if ((flags & kReachabilityFlagIsWWAN) && !reachableOnWWAN()) return false;
  return true;
}

bool VyRtmReachability::isReachable() const {
  uint32_t flags = 0;
  return readFlags(&flags) && isReachableWithFlags(flags);
}

bool VyRtmReachability::isReachableViaWWAN() const {
  uint32_t flags = 0;
  return readFlags(&flags) && (flags & kReachabilityFlagReachable) &&
         (flags & kReachabilityFlagIsWWAN);
}

bool VyRtmReachability::isReachableViaWiFi() const {
  uint32_t flags = 0;
  return readFlags(&flags) && (flags & kReachabilityFlagReachable) &&
         !(flags & kReachabilityFlagIsWWAN);
}

bool VyRtmReachability::isConnectionRequired() const { return connectionRequired(); }

bool VyRtmReachability::connectionRequired() const {
  uint32_t flags = 0;
  return readFlags(&flags) && (flags & kReachabilityFlagConnectionRequired);
}

bool VyRtmReachability::isConnectionOnDemand() const {
  uint32_t flags = 0;
  return readFlags(&flags) && (flags & kReachabilityFlagConnectionRequired) &&
         (flags & (kReachabilityFlagConnectionOnTraffic | kReachabilityFlagConnectionOnDemand));
}

bool VyRtmReachability::isInterventionRequired() const {
  uint32_t flags = 0;
  return readFlags(&flags) && (flags & kReachabilityFlagConnectionRequired) &&
         (flags & kReachabilityFlagInterventionRequired);
}

int VyRtmReachability::currentReachabilityStatus() const {
  uint32_t flags = 0;
  // One reading for the whole answer, so a change in between cannot mix two states.
  if (!readFlags(&flags) || !isReachableWithFlags(flags)) return kNotReachable;
  return (flags & kReachabilityFlagIsWWAN) ? kReachableViaWWAN : kReachableViaWiFi;
}

uint32_t VyRtmReachability::reachabilityFlags() const {
  uint32_t flags = 0;
  return readFlags(&flags) ? flags : 0;
}

std::string VyRtmReachability::currentReachabilityString() const {
  switch (currentReachabilityStatus()) {
    case kReachableViaWiFi:
      return "WiFi";
    case kReachableViaWWAN:
      return "Cellular";
    default:
      return "No Connection";
  }
}

std::string VyRtmReachability::flagsText(uint32_t flags) {
  auto c = [flags](uint32_t bit, char letter) { return (flags & bit) ? letter : '-'; };
  char text[16];
  snprintf(
      text, sizeof(text), "%c%c %c%c%c%c%c%c%c", c(kReachabilityFlagIsWWAN, 'W'),
      c(kReachabilityFlagReachable, 'R'), c(kReachabilityFlagConnectionRequired, 'c'),
      c(kReachabilityFlagTransientConnection, 't'), c(kReachabilityFlagInterventionRequired, 'i'),
      c(kReachabilityFlagConnectionOnTraffic, 'C'), c(kReachabilityFlagConnectionOnDemand, 'D'),
      c(kReachabilityFlagIsLocalAddress, 'l'), c(kReachabilityFlagIsDirect, 'd'));
  return text;
}

std::string VyRtmReachability::currentReachabilityFlags() const {
  return flagsText(reachabilityFlags());
}

std::string VyRtmReachability::description() const {
  char address[32];
  snprintf(address, sizeof(address), "%p", static_cast<const void*>(this));
  return std::string("<VyRtmReachability: ") + address + " (" + currentReachabilityFlags() + ")>";
}

void VyRtmReachability::setReachableBlock(Block block) {
  rtc::MutexLock lock(&blocks_mutex_);
  reachable_block_ = std::move(block);
}

void VyRtmReachability::setUnreachableBlock(Block block) {
  rtc::MutexLock lock(&blocks_mutex_);
  unreachable_block_ = std::move(block);
}

void VyRtmReachability::setReachabilityBlock(FlagsBlock block) {
  rtc::MutexLock lock(&blocks_mutex_);
  reachability_block_ = std::move(block);
}

void VyRtmReachability::reachabilityChanged(uint32_t flags) {
  // A block may drop the last reference; the object then goes when this call ends.
  std::shared_ptr<VyRtmReachability> self = weak_from_this().lock();
  Block reachable;
  Block unreachable;
  FlagsBlock any;
  {
    rtc::MutexLock lock(&blocks_mutex_);
    reachable = reachable_block_;
    unreachable = unreachable_block_;
    any = reachability_block_;
  }
  if (isReachableWithFlags(flags)) {
    if (reachable) reachable(*this);
  } else if (unreachable) {
    unreachable(*this);
  }
  if (any) any(*this, flags);
  // Weak: a notification for an object that is gone by then has no reader left.
  std::weak_ptr<VyRtmReachability> weak = weak_from_this();
  MainLoop::post([weak] {
    if (auto sender = weak.lock()) {
      NotificationCenter::defaultCenter().post(VyRtmkReachabilityChangedNotification, sender.get());
    }
  });
}

}  // namespace vortm

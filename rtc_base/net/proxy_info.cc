#include "rtc_base/net/proxy_info.h"

namespace rtc {

const char* ProxyToString(ProxyType proxy) {
  static const char* const kNames[] = {"none", "https", "socks5", "unknown"};
  int index = static_cast<int>(proxy);
  if (index < 0 || index >= static_cast<int>(sizeof(kNames) / sizeof(kNames[0]))) {
    return "unknown";
  }
  return kNames[index];
}

ProxyInfo::ProxyInfo() = default;
ProxyInfo::ProxyInfo(const ProxyInfo&) = default;
ProxyInfo::ProxyInfo(ProxyInfo&&) noexcept = default;
ProxyInfo& ProxyInfo::operator=(const ProxyInfo&) = default;
ProxyInfo& ProxyInfo::operator=(ProxyInfo&&) noexcept = default;
ProxyInfo::~ProxyInfo() = default;

}  // namespace rtc

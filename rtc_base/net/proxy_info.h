#ifndef RTC_BASE_NET_PROXY_INFO_H_
#define RTC_BASE_NET_PROXY_INFO_H_

#include <string>

#include "rtc_base/net/socket_address.h"
#include "rtc_base/strings/crypt_string.h"

namespace rtc {

enum ProxyType {
  PROXY_NONE = 0,
  PROXY_HTTPS = 1,
  PROXY_SOCKS5 = 2,
  PROXY_UNKNOWN = 3,
};

// "none", "https", "socks5" or "unknown"; a value outside the enumeration reads as "unknown".
const char* ProxyToString(ProxyType proxy);

// How a connection reaches the network. Copied by value; each copy owns its own copy of the
// password.
struct ProxyInfo {
  ProxyType type = PROXY_NONE;
  SocketAddress address;
  std::string autoconfig_url;
  bool autodetect = false;
  std::string bypass_list;
  std::string username;
  CryptString password;

  ProxyInfo();
  ProxyInfo(const ProxyInfo&);
  ProxyInfo(ProxyInfo&&) noexcept;
  ProxyInfo& operator=(const ProxyInfo&);
  ProxyInfo& operator=(ProxyInfo&&) noexcept;
  ~ProxyInfo();
};

}  // namespace rtc

#endif  // RTC_BASE_NET_PROXY_INFO_H_

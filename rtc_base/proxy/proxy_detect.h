// Which proxy a connection to a URL should use: from the system settings (the environment's
// proxy variables on Linux), or from a Firefox profile's preferences when the user agent is
// Firefox; and the textual proxy and bypass lists those sources use.
#ifndef RTC_BASE_PROXY_PROXY_DETECT_H_
#define RTC_BASE_PROXY_PROXY_DETECT_H_

#include <stddef.h>

#include <map>
#include <string>

#include "rtc_base/files/pathname.h"
#include "rtc_base/http/http_common.h"
#include "rtc_base/net/proxy_info.h"

namespace rtc {

enum UserAgent { UA_FIREFOX = 0, UA_INTERNETEXPLORER = 1, UA_OTHER = 2, UA_UNKNOWN = 3 };

// Firefox when the text names it, 1 for MSIE, unknown for the empty text, else other.
UserAgent GetAgent(const char* agent);

// Whether `lhs` is preferred to `rhs`: socks5, then https, then unknown, then none.
bool Better(ProxyType lhs, ProxyType rhs);

// Preference values by name.
class StringMap {
 public:
  void Add(const std::string& name, const std::string& value) { map_[name] = value; }
  // The stored value, or `def` when the name is absent.
  const std::string& Get(const std::string& name, const std::string& def = std::string()) const;
  bool IsSet(const std::string& name) const { return map_.count(name) > 0; }

 private:
  std::map<std::string, std::string> map_;
  mutable std::string default_;
};

// Reads "[scheme=]host:port" items separated by space, ';' or TAB ("socks" and "https" name
// the kind; a bracketed IPv6 host is allowed) and keeps the best. True when the record then
// names a proxy.
bool ParseProxy(const std::string& text, ProxyInfo* proxy);

// Bypass matching. An item is a host pattern with '*' wildcards, a ".domain" suffix or an
// IPv4 network "a.b.c.d[/bits]", each optionally followed by ":port".
bool ProxyItemMatch(const Url<char>& url, const std::string& item);
// Whether any item of the `separator`-separated list matches; items of 256 characters or more
// are skipped.
bool ProxyListMatch(const Url<char>& url, const std::string& list, char separator);

// Fills `proxy` for a connection to `url`. True when the record can be used as it stands;
// false when the source could not be read or asks for auto-configuration, which is not
// available (the type is then none).
bool GetProxySettingsForUrl(const char* agent, const char* url, ProxyInfo* proxy,
                            bool long_operation = false);
bool GetSystemDefaultProxySettings(const char* agent, const char* url, ProxyInfo* proxy);
bool AutoDetectProxySettings(const char* agent, const char* url, ProxyInfo* proxy);

// The system source, read as curl reads it: for https URLs https_proxy (else HTTPS_PROXY), for
// others http_proxy (else HTTP_PROXY, ignored when REQUEST_METHOD is set, as a CGI program would
// get it from a request header), then all_proxy (else ALL_PROXY) for both; each as
// "[scheme://][user:pass@]host:port", where socks5:// and socks5h:// name a SOCKS5 proxy and no
// scheme, http:// or https:// an HTTP one. no_proxy (else NO_PROXY) is the bypass list: "*"
// covers every host, a name the names below it too, an address or "address/bits" numeric
// hosts. Credentials in the variables are not used.
bool GetEnvironmentProxySettings(const char* url, ProxyInfo* proxy);

// Firefox: $HOME/.mozilla/firefox, its profiles.ini and a profile's prefs.js.
bool GetFirefoxProfilePath(Pathname* path);
bool GetDefaultFirefoxProfile(Pathname* profile_path);
bool ReadFirefoxPrefs(const Pathname& filename, const char* prefix, StringMap* settings);
bool GetFirefoxProxySettings(const char* url, ProxyInfo* proxy);

// Replaces the process environment for these lookups (HOME and the proxy variables); null
// goes back to the real one. Not for use while lookups run.
void SetProxyEnvironmentForTesting(const std::map<std::string, std::string>* environment);

}  // namespace rtc

#endif  // RTC_BASE_PROXY_PROXY_DETECT_H_

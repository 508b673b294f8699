#include "rtc_base/proxy/proxy_detect.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>

#include <atomic>
#include <memory>
#include <vector>

#include "rtc_base/base/logging.h"
#include "rtc_base/files/file_utils.h"
#include "rtc_base/net/ip_address.h"
#include "rtc_base/net/stream.h"
#include "rtc_base/strings/string_encode.h"
#include "rtc_base/strings/string_utils.h"

namespace rtc {

namespace {

// Items of a bypass list this long or longer are skipped.
constexpr size_t kMaxBypassItem = 256;
// Items of a proxy list this long or longer are refused.
constexpr size_t kMaxProxyItem = 1024;
// Preference lines longer than this are skipped; the rest are cut to one less.
constexpr size_t kMaxPrefLine = 1024;

constexpr char kReadFirefoxPrefs[] =
    "bool rtc::ReadFirefoxPrefs(const rtc::Pathname &, const char *, rtc::StringMap *): ";

std::atomic<const std::map<std::string, std::string>*> g_environment{nullptr};

// The environment variable, or false when it is unset.
bool GetEnv(const char* name, std::string* value) {
  const std::map<std::string, std::string>* env = g_environment.load();
  if (env != nullptr) {
    auto it = env->find(name);
    if (it == env->end()) {
      return false;
    }
    *value = it->second;
    return true;
  }
  const char* text = getenv(name);
  if (text == nullptr) {
    return false;
  }
  *value = text;
  return true;
}

// A port in 1..65535 written in decimal, or in hexadecimal or octal with their C prefixes.
bool ParsePort(const std::string& text, int* port) {
  if (text.empty()) {
    return false;
  }
  char* end = nullptr;
  errno = 0;
  long value = strtol(text.c_str(), &end, 0);
  if (errno != 0 || end != text.c_str() + text.size() || value < 1 || value > 65535) {
    return false;
  }
  *port = static_cast<int>(value);
  return true;
}

// A decimal number without sign that fits `max`; the text after it is returned in `end`.
bool ParseUnsigned(const char* text, const char** end, long max, long* value) {
  const char* p = text;
  long v = 0;
  while (*p >= '0' && *p <= '9') {
    v = v * 10 + (*p - '0');
    if (v > max) {
      return false;
    }
    ++p;
  }
  if (p == text) {
    return false;
  }
  *end = p;
  *value = v;
  return true;
}

// "a.b.c.d" with an optional "/bits" and nothing after. `valid` tells whether the numbers
// are in range, for a text that has the form.
bool ParseIPv4Network(const std::string& item, uint32_t* ip, int* bits, bool* valid) {
  const char* p = item.c_str();
  uint32_t address = 0;
  *valid = true;
  for (int i = 0; i < 4; ++i) {
    if (i > 0) {
      if (*p != '.') {
        return false;
      }
      ++p;
    }
    const char* end = nullptr;
    long octet = 0;
    if (!ParseUnsigned(p, &end, 1000000, &octet)) {
      return false;
    }
    if (octet > 255) {
      *valid = false;
    }
    address = (address << 8) | static_cast<uint32_t>(octet & 0xFF);
    p = end;
  }
  *bits = 32;
  if (*p == '/') {
    ++p;
    bool negative = *p == '-';
    if (negative) {
      ++p;
    }
    const char* end = nullptr;
    long value = 0;
    if (!ParseUnsigned(p, &end, 1000000, &value)) {
      return false;
    }
    p = end;
    *bits = negative ? 0 : static_cast<int>(value > 32 ? 32 : value);
  }
  if (*p != '\0') {
    return false;
  }
  *ip = address;
  return true;
}

// Parses "[scheme=]host:port" into the type, host and port it names; false (with the warning
// logged) for an item without a usable port.
bool ParseProxyItem(const std::string& item, ProxyType* type, std::string* host, int* port) {
  std::string address = item;
  *type = PROXY_UNKNOWN;
  size_t equals = item.find('=');
  size_t colon = item.find(':');
  std::string scheme;
  if (equals != std::string::npos && (colon == std::string::npos || equals < colon)) {
    scheme = item.substr(0, equals);
    address = item.substr(equals + 1);
  }
  size_t port_colon;
  if (!address.empty() && address[0] == '[') {
    size_t close = address.find(']');
    port_colon = close == std::string::npos ? std::string::npos : close + 1;
    if (port_colon != std::string::npos &&
        (port_colon >= address.size() || address[port_colon] != ':')) {
      port_colon = std::string::npos;
    }
    *host = close == std::string::npos ? std::string() : address.substr(1, close - 1);
  } else {
    port_colon = address.find(':');
    *host = address.substr(0, port_colon);
  }
  if (port_colon == std::string::npos) {
    RTC_LOG(LS_WARNING) << "Proxy address without port [" << item << "]";
    return false;
  }
  if (!ParsePort(address.substr(port_colon + 1), port)) {
    RTC_LOG(LS_WARNING) << "Proxy address with invalid port [" << item << "]";
    return false;
  }
  if (!scheme.empty()) {
    if (strcasecmp(scheme.c_str(), "socks") == 0) {
      *type = PROXY_SOCKS5;
    } else if (strcasecmp(scheme.c_str(), "https") == 0) {
      *type = PROXY_HTTPS;
    } else {
      RTC_LOG(LS_WARNING) << "Proxy address with unknown protocol [" << scheme << "]";
    }
  }
  return true;
}

bool IsWhiteSpace(char ch) { return ch == ' ' || ch == '\t' || ch == '\r' || ch == '\n'; }

// "[scheme://][user:password@]host:port[/]": no scheme, http:// and https:// name an HTTP
// proxy, socks5:// and socks5h:// a SOCKS5 one. Credentials are neither used nor logged.
bool ParseProxyUrl(const std::string& text, ProxyType* type, SocketAddress* address) {
  std::string rest = text;
  *type = PROXY_HTTPS;
  size_t scheme_end = rest.find("://");
  if (scheme_end != std::string::npos) {
    const std::string scheme = rest.substr(0, scheme_end);
    if (strcasecmp(scheme.c_str(), "socks5") == 0 || strcasecmp(scheme.c_str(), "socks5h") == 0) {
      *type = PROXY_SOCKS5;
    } else if (strcasecmp(scheme.c_str(), "http") != 0 &&
               strcasecmp(scheme.c_str(), "https") != 0) {
      RTC_LOG(LS_WARNING) << "Proxy address with unknown protocol [" << scheme << "]";
      return false;
    }
    rest = rest.substr(scheme_end + 3);
  }
  rest = rest.substr(0, rest.find('/'));
  size_t at = rest.rfind('@');
  if (at != std::string::npos) {
    rest = rest.substr(at + 1);
  }
  if (!address->FromString(rest) || address->port() == 0) {
    RTC_LOG(LS_WARNING) << "Proxy address with invalid port [" << rest << "]";
    return false;
  }
  return true;
}

// no_proxy as curl reads it: "*" alone covers every host; otherwise items separated by commas
// or blanks, a name covering itself and the names below it (a leading dot changes nothing), an
// address, with an optional "/bits", the numeric hosts in that network.
bool NoProxyMatch(std::string host, const std::string& list) {
  std::string separated = list;
  for (char& ch : separated) {
    ch = IsWhiteSpace(ch) ? ',' : ch;
  }
  std::vector<std::string> items;
  tokenize(separated, ',', &items);
  if (items.size() == 1 && items[0] == "*") {
    return true;
  }
  while (!host.empty() && host.back() == '.') {
    host.pop_back();
  }
  IPAddress host_ip;
  const bool numeric = IPFromString(host, &host_ip);
  for (std::string item : items) {
    if (numeric) {
      const size_t slash = item.find('/');
      const int max_bits = host_ip.family() == AF_INET ? 32 : 128;
      const char* end = nullptr;
      long bits = max_bits;
      if (slash != std::string::npos &&
          (!ParseUnsigned(item.c_str() + slash + 1, &end, max_bits, &bits) || *end != '\0')) {
        continue;
      }
      item = item.substr(0, slash);
      if (item.size() > 2 && item.front() == '[' && item.back() == ']') {
        item = item.substr(1, item.size() - 2);
      }
      IPAddress network;
      if (IPFromString(item, &network) && network.family() == host_ip.family() &&
          TruncateIP(host_ip, static_cast<int>(bits)) ==
              TruncateIP(network, static_cast<int>(bits))) {
        return true;
      }
      continue;
    }
    while (!item.empty() && item.back() == '.') {
      item.pop_back();
    }
    const std::string name = item.substr(item.empty() || item[0] != '.' ? 0 : 1);
    if (!name.empty() && host.size() >= name.size() &&
        strcasecmp(host.c_str() + host.size() - name.size(), name.c_str()) == 0 &&
        (host.size() == name.size() || host[host.size() - name.size() - 1] == '.')) {
      return true;
    }
  }
  return false;
}

bool StartsWith(const std::string& text, const char* prefix) {
  return text.compare(0, strlen(prefix), prefix) == 0;
}

}  // namespace

UserAgent GetAgent(const char* agent) {
  if (agent == nullptr) {
    return UA_OTHER;
  }
  if (agent[0] == '\0') {
    return UA_UNKNOWN;
  }
  std::string text(agent);
  if (text.find("Firefox") != std::string::npos) {
    return UA_FIREFOX;
  }
  if (text.find("MSIE") != std::string::npos) {
    return UA_INTERNETEXPLORER;
  }
  return UA_OTHER;
}

bool Better(ProxyType lhs, ProxyType rhs) {
  // none < unknown < https < socks5
  static const int kRank[] = {0, 2, 3, 1};
  auto rank = [](ProxyType type) {
    return type >= PROXY_NONE && type <= PROXY_UNKNOWN ? kRank[type] : 0;
  };
  return rank(lhs) > rank(rhs);
}

const std::string& StringMap::Get(const std::string& name, const std::string& def) const {
  auto it = map_.find(name);
  if (it != map_.end()) {
    return it->second;
  }
  default_ = def;
  return default_;
}

bool ParseProxy(const std::string& text, ProxyInfo* proxy) {
  const char* kSeparators = " ;\t";
  size_t pos = text.find_first_not_of(kSeparators);
  while (pos != std::string::npos) {
    size_t start = pos;
    size_t end = text.find_first_of(kSeparators, pos);
    std::string item = text.substr(pos, end == std::string::npos ? std::string::npos : end - pos);
    pos = end == std::string::npos ? end : text.find_first_not_of(kSeparators, end);
    if (item.size() >= kMaxProxyItem) {
      RTC_LOG(LS_WARNING) << "Proxy address too long [" << text.substr(start) << "]";
      continue;
    }
    ProxyType type;
    std::string host;
    int port = 0;
    if (!ParseProxyItem(item, &type, &host, &port)) {
      continue;
    }
    if (Better(type, proxy->type)) {
      proxy->type = type;
      proxy->address = SocketAddress(host, port);
    }
  }
  return proxy->type != PROXY_NONE;
}

bool ProxyItemMatch(const Url<char>& url, const std::string& item) {
  std::string pattern = item;
  size_t colon = pattern.find(':');
  if (colon != std::string::npos) {
    // Decimal only: "080" is port 80 here, as a reader of the list would take it.
    const char* end = nullptr;
    long port = 0;
    if (!ParseUnsigned(pattern.c_str() + colon + 1, &end, 65535, &port) || *end != '\0' ||
        port == 0 || url.port() != port) {
      return false;
    }
    pattern.resize(colon);
  }

  uint32_t network = 0;
  int bits = 32;
  bool valid = true;
  if (ParseIPv4Network(pattern, &network, &bits, &valid)) {
    IPAddress host_ip;
    if (!valid || !IPFromString(url.host(), &host_ip) || host_ip.family() != AF_INET) {
      return false;
    }
    uint32_t mask = bits == 0 ? 0 : ~0u << (32 - bits);
    return (host_ip.v4AddressAsHostOrderInteger() & mask) == (network & mask);
  }

  const std::string& host = url.host();
  if (!pattern.empty() && pattern[0] == '.') {
    return host.size() > pattern.size() &&
           strcasecmp(host.c_str() + host.size() - pattern.size(), pattern.c_str()) == 0;
  }
  return string_match(host.c_str(), pattern.c_str());
}

bool ProxyListMatch(const Url<char>& url, const std::string& list, char separator) {
  size_t pos = 0;
  while (pos < list.size()) {
    while (pos < list.size() && IsWhiteSpace(list[pos])) {
      ++pos;
    }
    size_t end = list.find(separator, pos);
    if (end == std::string::npos) {
      end = list.size();
    }
    size_t item_end = end;
    while (item_end > pos && IsWhiteSpace(list[item_end - 1])) {
      --item_end;
    }
    size_t len = item_end - pos;
    if (len > 0 && len < kMaxBypassItem && ProxyItemMatch(url, list.substr(pos, len))) {
      return true;
    }
    pos = end + 1;
  }
  return false;
}

bool GetEnvironmentProxySettings(const char* url, ProxyInfo* proxy) {
  const Url<char> purl(url != nullptr ? url : "");
  std::string text;
  std::string method;
  const bool found =
      (purl.secure() ? GetEnv("https_proxy", &text) || GetEnv("HTTPS_PROXY", &text)
                     : GetEnv("http_proxy", &text) ||
                           (!GetEnv("REQUEST_METHOD", &method) && GetEnv("HTTP_PROXY", &text))) ||
      GetEnv("all_proxy", &text) || GetEnv("ALL_PROXY", &text);
  ProxyType type;
  SocketAddress address;
  if (!found || text.empty() || !ParseProxyUrl(text, &type, &address)) {
    return false;
  }
  std::string bypass;
  if (GetEnv("no_proxy", &bypass) || GetEnv("NO_PROXY", &bypass)) {
    proxy->bypass_list = bypass;
    if (NoProxyMatch(purl.host(), bypass)) {
      return true;
    }
  }
  proxy->type = type;
  proxy->address = address;
  return true;
}

bool GetSystemDefaultProxySettings(const char* /*agent*/, const char* url, ProxyInfo* proxy) {
  return GetEnvironmentProxySettings(url, proxy);
}

bool AutoDetectProxySettings(const char* /*agent*/, const char* /*url*/, ProxyInfo* /*proxy*/) {
  RTC_LOG(LS_WARNING) << "Proxy auto-detection not implemented for this platform";
  return false;
}

bool GetProxySettingsForUrl(const char* agent, const char* url, ProxyInfo* proxy,
                            bool /*long_operation*/) {
  bool found = GetAgent(agent) == UA_FIREFOX ? GetFirefoxProxySettings(url, proxy)
                                             : GetSystemDefaultProxySettings(agent, url, proxy);
  if (!found) {
    return false;
  }
  if (!proxy->autodetect && proxy->autoconfig_url.empty()) {
    return true;
  }
  AutoDetectProxySettings(agent, url, proxy);
  proxy->type = PROXY_NONE;
  return false;
}

bool GetFirefoxProfilePath(Pathname* path) {
  std::string home;
  if (!GetEnv("HOME", &home) || home.empty()) {
    return false;
  }
  path->SetPathname(home, std::string());
  path->AppendFolder(".mozilla");
  path->AppendFolder("firefox");
  return true;
}

bool GetDefaultFirefoxProfile(Pathname* profile_path) {
  Pathname root;
  if (!GetFirefoxProfilePath(&root)) {
    return false;
  }
  Pathname ini(root.folder(), "profiles.ini");
  std::unique_ptr<FileStream> file = Filesystem::default_filesystem()->OpenFile(ini, "r");
  if (!file) {
    return false;
  }
  Pathname candidate;
  // The first profile found, for files whose profiles say nothing of being the default and
  // whose last section is not a profile ([General], [Install...]).
  Pathname first;
  bool relative = true;
  std::string line;
  while (file->ReadLine(&line) == SR_SUCCESS) {
    if (!line.empty() && line.back() == '\r') {
      line.pop_back();
    }
    if (line.empty()) {
      continue;
    }
    if (line[0] == '[') {
      relative = true;
      candidate.clear();
    } else if (StartsWith(line, "IsRelative=") && line.size() > 11) {
      relative = line[11] != '0';
    } else if (StartsWith(line, "Path=") && line.size() > 5) {
      candidate.clear();
      if (relative) {
        candidate = root;
      }
      candidate.AppendFolder(line.substr(5));
      if (first.empty()) {
        first = candidate;
      }
    } else if (StartsWith(line, "Default=") && line.size() > 8 && line[8] != '0' &&
               !candidate.empty()) {
      break;
    }
  }
  if (candidate.empty()) {
    candidate = first;
  }
  if (candidate.empty()) {
    return false;
  }
  *profile_path = candidate;
  return true;
}

bool ReadFirefoxPrefs(const Pathname& filename, const char* prefix, StringMap* settings) {
  std::unique_ptr<FileStream> file = Filesystem::default_filesystem()->OpenFile(filename, "r");
  if (!file) {
    RTC_LOG(LS_ERROR) << "Failed to open file: " << filename.pathname();
    return false;
  }
  const size_t prefix_len = strlen(prefix);
  std::string line;
  while (file->ReadLine(&line) == SR_SUCCESS) {
    if (!line.empty() && line.back() == '\r') {
      line.pop_back();
    }
    if (line.empty() || line.size() > kMaxPrefLine || line[0] == '#' || StartsWith(line, "/*") ||
        StartsWith(line, " *")) {
      continue;
    }
    line.resize(std::min(line.size(), kMaxPrefLine - 1));
    // The markers stay -1 where the pattern stopped matching.
    int name_start = -1, name_end = -1, value_start = -1, value_end = -1;
    sscanf(line.c_str(), "user_pref(\"%n%*[^\"]%n\", %n%*[^)]%n);", &name_start, &name_end,
           &value_start, &value_end);
    if (value_end < 0) {
      RTC_LOG(LS_WARNING) << kReadFirefoxPrefs << "Unparsed pref [" << line << "]";
      continue;
    }
    std::string name = line.substr(name_start, name_end - name_start);
    std::string value = line.substr(value_start, value_end - value_start);
    if (value.size() >= 2 && value[0] == '"') {
      value = value.substr(1, value.size() - 2);
    }
    if (name.compare(0, prefix_len, prefix) == 0 && !value.empty()) {
      settings->Add(name.substr(prefix_len), value);
    }
  }
  return true;
}

bool GetFirefoxProxySettings(const char* url, ProxyInfo* proxy) {
  Url<char> purl(url != nullptr ? url : "");
  Pathname path;
  if (!GetDefaultFirefoxProfile(&path)) {
    return false;
  }
  path.SetFilename("prefs.js");
  StringMap settings;
  if (!ReadFirefoxPrefs(path, "network.proxy.", &settings)) {
    return false;
  }

  proxy->bypass_list = settings.Get("no_proxies_on", "localhost, 127.0.0.1");
  const std::string type = settings.Get("type");
  if (type == "1") {
    if (ProxyListMatch(purl, proxy->bypass_list, ',')) {
      return true;
    }
    // The manual settings in the order they are preferred; a shared setting makes the HTTP
    // proxy serve every protocol, so its kind is not known.
    struct Manual {
      const char* host_key;
      const char* port_key;
      ProxyType type;
      bool chosen;
    } const choices[] = {
        {"http", "http_port", PROXY_UNKNOWN, settings.Get("share_proxy_settings") == "true"},
        {"socks", "socks_port", PROXY_SOCKS5, settings.IsSet("socks")},
        {"ssl", "ssl_port", PROXY_HTTPS, settings.IsSet("ssl")},
        {"http", "http_port", PROXY_HTTPS, settings.IsSet("http")},
    };
    const char* host_key = nullptr;
    const char* port_key = nullptr;
    ProxyType proxy_type = PROXY_NONE;
    for (const Manual& manual : choices) {
      if (manual.chosen) {
        host_key = manual.host_key;
        port_key = manual.port_key;
        proxy_type = manual.type;
        break;
      }
    }
    if (proxy_type != PROXY_NONE) {
      int port = 0;
      if (!ParsePort(settings.Get(port_key), &port)) {
        RTC_LOG(LS_WARNING) << "Proxy address with invalid port [" << settings.Get(port_key) << "]";
        return true;
      }
      proxy->type = proxy_type;
      proxy->address = SocketAddress(settings.Get(host_key), port);
    }
  } else if (type == "2") {
    proxy->autoconfig_url = settings.Get("autoconfig_url");
  } else if (type == "4") {
    proxy->autodetect = true;
  }
  return true;
}

void SetProxyEnvironmentForTesting(const std::map<std::string, std::string>* environment) {
  g_environment.store(environment);
}

}  // namespace rtc

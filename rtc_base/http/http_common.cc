#include "rtc_base/http/http_common.h"

#include <ctype.h>
#include <stdio.h>
#include <string.h>
#include <strings.h>

#include <algorithm>

#include "rtc_base/base/logging.h"
#include "rtc_base/net/socket_address.h"

namespace rtc {

namespace {

const char* const kHttpVersions[] = {"1.0", "1.1", "Unknown"};

const char* const kHttpVerbs[] = {"GET", "POST", "PUT", "DELETE", "CONNECT", "OPTIONS", "HEAD"};

const char* const kHttpHeaders[] = {
    "Age",
    "Cache-Control",
    "Connection",
    "Content-Disposition",
    "Content-Length",
    "Content-Range",
    "Content-Type",
    "Cookie",
    "Date",
    "ETag",
    "Expires",
    "Host",
    "If-Modified-Since",
    "If-None-Match",
    "Keep-Alive",
    "Last-Modified",
    "Location",
    "Proxy-Authenticate",
    "Proxy-Authorization",
    "Proxy-Connection",
    "Range",
    "Set-Cookie",
    "TE",
    "Trailers",
    "Transfer-Encoding",
    "Upgrade",
    "User-Agent",
    "WWW-Authenticate",
};

static_assert(sizeof(kHttpVersions) / sizeof(kHttpVersions[0]) == HVER_LAST + 1);
static_assert(sizeof(kHttpVerbs) / sizeof(kHttpVerbs[0]) == HV_LAST + 1);
static_assert(sizeof(kHttpHeaders) / sizeof(kHttpHeaders[0]) == HH_LAST + 1);

template <class E, size_t N>
bool FindInTable(const char* const (&table)[N], const std::string& str, E* value) {
  for (size_t i = 0; i < N; ++i) {
    if (strcasecmp(table[i], str.c_str()) == 0) {
      *value = static_cast<E>(i);
      return true;
    }
  }
  return false;
}

bool IsSpace(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// Parses a run of decimal digits filling [begin, end) entirely.
bool ParseDecimal(const char* begin, const char* end, uint64_t max, uint64_t* value) {
  if (begin == end) return false;
  uint64_t v = 0;
  for (const char* p = begin; p != end; ++p) {
    if (!IsDigit(*p)) return false;
    unsigned digit = *p - '0';
    if (v > (max - digit) / 10) return false;
    v = v * 10 + digit;
  }
  *value = v;
  return true;
}

// Matches "HTTP/<major>.<minor>" at the start of [p, end); single digits.
bool ParseHttpVersion(const char*& p, const char* end, HttpVersion* version) {
  if (end - p < 8 || memcmp(p, "HTTP/", 5) != 0 || !IsDigit(p[5]) || p[6] != '.' ||
      !IsDigit(p[7])) {
    return false;
  }
  if (p[5] != '1' || (p[7] != '0' && p[7] != '1')) return false;
  *version = (p[7] == '0') ? HVER_1_0 : HVER_1_1;
  p += 8;
  return true;
}

}  // namespace

bool iless::operator()(const std::string& lhs, const std::string& rhs) const {
  return strcasecmp(lhs.c_str(), rhs.c_str()) < 0;
}

const char* ToString(HttpVersion version) {
  return (version >= 0 && version <= HVER_LAST) ? kHttpVersions[version] : "";
}

bool FromString(HttpVersion& version, const std::string& str) {
  return FindInTable(kHttpVersions, str, &version);
}

const char* ToString(HttpVerb verb) {
  return (verb >= 0 && verb <= HV_LAST) ? kHttpVerbs[verb] : "";
}

bool FromString(HttpVerb& verb, const std::string& str) {
  return FindInTable(kHttpVerbs, str, &verb);
}

const char* ToString(HttpHeader header) {
  return (header >= 0 && header <= HH_LAST) ? kHttpHeaders[header] : "";
}

bool FromString(HttpHeader& header, const std::string& str) {
  return FindInTable(kHttpHeaders, str, &header);
}

bool MatchHeader(const char* name, size_t len, HttpHeader header) {
  const char* text = ToString(header);
  return strlen(text) == len && strncasecmp(text, name, len) == 0;
}

bool HttpCodeHasBody(uint32_t code) {
  return !HttpCodeIsInformational(code) && (code != HC_NO_CONTENT) && (code != HC_NOT_MODIFIED);
}

bool HttpCodeIsCacheable(uint32_t code) {
  switch (code) {
    case HC_OK:
    case HC_NON_AUTHORITATIVE:
    case HC_PARTIAL_CONTENT:
    case HC_MULTIPLE_CHOICES:
    case HC_MOVED_PERMANENTLY:
    case HC_GONE:
      return true;
    default:
      return false;
  }
}

bool HttpHeaderIsEndToEnd(HttpHeader header) {
  switch (header) {
    case HH_CONNECTION:
    case HH_KEEP_ALIVE:
    case HH_PROXY_AUTHENTICATE:
    case HH_PROXY_AUTHORIZATION:
    case HH_PROXY_CONNECTION:
    case HH_TE:
    case HH_TRAILERS:
    case HH_TRANSFER_ENCODING:
    case HH_UPGRADE:
      return false;
    default:
      return true;
  }
}

bool HttpHeaderIsCollapsible(HttpHeader header) {
  switch (header) {
    case HH_SET_COOKIE:
    case HH_PROXY_AUTHENTICATE:
    case HH_WWW_AUTHENTICATE:
      return false;
    default:
      return true;
  }
}

bool HttpShouldKeepAlive(const HttpData& data) {
  std::string connection;
  if ((data.hasHeader(HH_PROXY_CONNECTION, &connection) ||
       data.hasHeader(HH_CONNECTION, &connection))) {
    return (strcasecmp(connection.c_str(), "Keep-Alive") == 0);
  }
  return (data.version >= HVER_1_1);
}

void HttpComposeAttributes(const HttpAttributeList& attributes, char separator,
                           std::string* composed) {
  std::string result;
  for (size_t i = 0; i < attributes.size(); ++i) {
    if (i > 0) {
      result.push_back(separator);
      result.push_back(' ');
    }
    result.append(attributes[i].first);
    const std::string& value = attributes[i].second;
    if (!value.empty()) {
      // Backslashes are escaped too, so that the parser gives back the
      // value as it was.
      result.append("=\"");
      for (char c : value) {
        if (c == '"' || c == '\\') result.push_back('\\');
        result.push_back(c);
      }
      result.push_back('"');
    }
  }
  *composed = result;
}

void HttpParseAttributes(const char* data, size_t len, HttpAttributeList& attributes) {
  size_t pos = 0;
  while (true) {
    while (pos < len && IsSpace(data[pos])) ++pos;
    if (pos >= len) return;

    // The name ends at white space, or at an '=' followed by something that
    // is neither white space nor another '='. It also ends at ',', so that a
    // composed attribute without a value parses back as it was.
    size_t start = pos;
    bool has_value = false;
    while (pos < len && !IsSpace(data[pos]) && data[pos] != ',') {
      if (data[pos] == '=' && pos + 1 < len && !IsSpace(data[pos + 1]) && data[pos + 1] != '=') {
        has_value = true;
        break;
      }
      ++pos;
    }

    HttpAttribute attribute;
    attribute.first.assign(data + start, data + pos);

    if (has_value) {
      ++pos;  // Skip '='.
      if (data[pos] == '"') {
        ++pos;
        while (pos < len) {
          if (data[pos] == '"') {
            ++pos;
            break;
          }
          if (data[pos] == '\\' && pos + 1 < len) ++pos;
          attribute.second.push_back(data[pos]);
          ++pos;
        }
      } else {
        while (pos < len && !IsSpace(data[pos]) && data[pos] != ',') {
          attribute.second.push_back(data[pos]);
          ++pos;
        }
      }
    }

    attributes.push_back(std::move(attribute));
    if (pos < len && data[pos] == ',') ++pos;
  }
}

bool HttpHasAttribute(const HttpAttributeList& attributes, const std::string& name,
                      std::string* value) {
  for (const HttpAttribute& attribute : attributes) {
    if (attribute.first == name) {
      if (value) *value = attribute.second;
      return true;
    }
  }
  return false;
}

bool HttpHasNthAttribute(HttpAttributeList& attributes, size_t index, std::string* name,
                         std::string* value) {
  if (index >= attributes.size()) return false;
  if (name) *name = attributes[index].first;
  if (value) *value = attributes[index].second;
  return true;
}

namespace {

struct ZoneOffset {
  const char* name;
  int hours;
};

const ZoneOffset kZones[] = {
    {"UT", 0},   {"GMT", 0},  {"EST", -5}, {"EDT", -4}, {"CST", -6}, {"CDT", -5}, {"MST", -7},
    {"MDT", -6}, {"PST", -8}, {"PDT", -7}, {"A", -1},   {"B", -2},   {"C", -3},   {"D", -4},
    {"E", -5},   {"F", -6},   {"G", -7},   {"H", -8},   {"I", -9},   {"K", -10},  {"L", -11},
    {"M", -12},  {"N", 1},    {"O", 2},    {"P", 3},    {"Q", 4},    {"R", 5},    {"S", 6},
    {"T", 7},    {"U", 8},    {"V", 9},    {"W", 10},   {"X", 11},   {"Y", 12},
};

// Reads an optionally signed decimal integer after optional white space.
bool ScanInt(const char*& p, int* value) {
  while (IsSpace(*p)) ++p;
  bool negative = false;
  if (*p == '+' || *p == '-') {
    negative = (*p == '-');
    ++p;
  }
  if (!IsDigit(*p)) return false;
  long v = 0;
  while (IsDigit(*p)) {
    v = v * 10 + (*p - '0');
    if (v > 100000) return false;
    ++p;
  }
  *value = static_cast<int>(negative ? -v : v);
  return true;
}

// The month's index from its three-letter name, or -1 for anything else.
int MonthFromName(const char* month) {
  static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                        "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  for (int i = 0; i < 12; ++i) {
    if (strncasecmp(month, kMonths[i], 3) == 0) return i;
  }
  return -1;
}

bool IsLeapYear(int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

int DaysInMonth(int year, int month) {
  static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return (month == 1 && IsLeapYear(year)) ? 29 : kDays[month];
}

}  // namespace

bool HttpDateToSeconds(const std::string& date, time_t* seconds) {
  const char* p = date.c_str();

  // Day name of up to three characters, directly followed by ','.
  while (IsSpace(*p)) ++p;
  const char* day_name = p;
  while (*p && !IsSpace(*p) && *p != ',' && p - day_name < 3) ++p;
  if (p == day_name || *p != ',') return false;
  ++p;

  int day, year, hour, minute, second;
  if (!ScanInt(p, &day)) return false;

  while (IsSpace(*p)) ++p;
  char month_name[4] = {0};
  for (int i = 0; i < 3; ++i) {
    if (!isalpha(static_cast<unsigned char>(*p))) return false;
    month_name[i] = *p++;
  }
  int month = MonthFromName(month_name);
  if (month < 0) return false;

  if (!ScanInt(p, &year) || !ScanInt(p, &hour) || *p++ != ':' || !ScanInt(p, &minute) ||
      *p++ != ':' || !ScanInt(p, &second)) {
    return false;
  }

  // The zone: a name or +hhmm / -hhmm, up to five characters.
  while (IsSpace(*p)) ++p;
  const char* zone = p;
  while (*p && !IsSpace(*p)) ++p;
  size_t zone_len = p - zone;
  if (zone_len == 0 || zone_len > 5) return false;

  // Out-of-range fields are refused rather than carried into the next unit.
  if (year < 1900 || year > 9999 || day < 1 || day > DaysInMonth(year, month) || hour < 0 ||
      hour > 23 || minute < 0 || minute > 59 || second < 0 || second > 60) {
    return false;
  }

  long zone_offset = 0;
  if (zone[0] == '+' || zone[0] == '-') {
    if (zone_len != 5 || !IsDigit(zone[1]) || !IsDigit(zone[2]) || !IsDigit(zone[3]) ||
        !IsDigit(zone[4])) {
      return false;
    }
    int hh = (zone[1] - '0') * 10 + (zone[2] - '0');
    int mm = (zone[3] - '0') * 10 + (zone[4] - '0');
    if (mm > 59) return false;
    zone_offset = hh * 3600L + mm * 60L;
    if (zone[0] == '-') zone_offset = -zone_offset;
  } else {
    bool found = false;
    for (const ZoneOffset& z : kZones) {
      if (strlen(z.name) == zone_len && strncasecmp(z.name, zone, zone_len) == 0) {
        zone_offset = z.hours * 3600L;
        found = true;
        break;
      }
    }
    if (!found) return false;
  }

  struct tm tval;
  memset(&tval, 0, sizeof(tval));
  tval.tm_year = year - 1900;
  tval.tm_mon = month;
  tval.tm_mday = day;
  tval.tm_hour = hour;
  tval.tm_min = minute;
  tval.tm_sec = second;
  // timegm reads the fields as UTC, whatever the local zone and its
  // daylight saving rules.
  *seconds = timegm(&tval) - zone_offset;
  return true;
}

std::string HttpAddress(const SocketAddress& address, bool secure) {
  if (address.port() == HttpDefaultPort(secure)) {
    std::string host = address.HostAsURIString();
    return host;
  }
  return address.ToString();
}

std::string quote(const std::string& str) {
  std::string result;
  result.push_back('"');
  for (char c : str) {
    if (c == '"' || c == '\\') result.push_back('\\');
    result.push_back(c);
  }
  result.push_back('"');
  return result;
}

//////////////////////////////////////////////////////////////////////
// Url
//////////////////////////////////////////////////////////////////////

template <class CTYPE>
void Url<CTYPE>::do_set_url(const CTYPE* val, size_t len) {
  static const char kHttp[] = "http://";
  static const char kHttps[] = "https://";
  if (len >= 7 && strncasecmp(val, kHttp, 7) == 0) {
    val += 7;
    len -= 7;
    secure_ = false;
  } else if (len >= 8 && strncasecmp(val, kHttps, 8) == 0) {
    val += 8;
    len -= 8;
    secure_ = true;
  } else {
    clear();
    return;
  }
  // The authority ends at the path, the query or the fragment, so that
  // neither can be taken for user information or a port.
  size_t address_length = 0;
  while (address_length < len && val[address_length] != '/' && val[address_length] != '?' &&
         val[address_length] != '#') {
    ++address_length;
  }
  if (!do_set_address(val, address_length)) {
    clear();
    return;
  }
  do_set_full_path(val + address_length, len - address_length);
}

template <class CTYPE>
bool Url<CTYPE>::do_set_address(const CTYPE* val, size_t len) {
  // User information is dropped.
  for (size_t i = len; i > 0; --i) {
    if (val[i - 1] == '@') {
      val += i;
      len -= i;
      break;
    }
  }
  const CTYPE* host_end = val + len;
  const CTYPE* colon = nullptr;
  string host;
  if (len > 0 && val[0] == '[') {
    // A bracketed IPv6 literal; the port, if any, follows the bracket.
    const CTYPE* close = std::find(val, val + len, ']');
    if (close == val + len) return false;
    host.assign(val + 1, close);
    if (close + 1 != val + len) {
      if (close[1] != ':') return false;
      colon = close + 1;
    }
  } else {
    colon = std::find(val, host_end, ':');
    if (colon == host_end) colon = nullptr;
    host.assign(val, colon ? colon : host_end);
  }
  if (host.empty()) return false;
  uint16_t port = HttpDefaultPort(secure_);
  if (colon) {
    uint64_t value;
    if (!ParseDecimal(colon + 1, val + len, 65535, &value) || value == 0) return false;
    port = static_cast<uint16_t>(value);
  }
  host_ = host;
  port_ = port;
  return true;
}

template <class CTYPE>
void Url<CTYPE>::do_set_full_path(const CTYPE* val, size_t len) {
  // A fragment never goes on the wire.
  const CTYPE* end = std::find(val, val + len, '#');
  const CTYPE* query = std::find(val, end, '?');
  if (query == val) {
    path_.assign(1, static_cast<CTYPE>('/'));
  } else {
    path_.clear();
    if (val[0] != '/') path_.push_back('/');
    path_.append(val, query);
  }
  query_.assign(query, end);
}

template <class CTYPE>
void Url<CTYPE>::do_get_url(string* val) const {
  val->append(secure_ ? "https://" : "http://");
  do_get_address(val);
  do_get_full_path(val);
}

template <class CTYPE>
void Url<CTYPE>::do_get_address(string* val) const {
  if (host_.find(':') != string::npos) {
    val->push_back('[');
    val->append(host_);
    val->push_back(']');
  } else {
    val->append(host_);
  }
  if (port_ != HttpDefaultPort(secure_)) {
    char format[16];
    snprintf(format, sizeof(format), ":%hu", port_);
    val->append(format);
  }
}

template <class CTYPE>
void Url<CTYPE>::do_get_full_path(string* val) const {
  val->append(path_);
  val->append(query_);
}

template <class CTYPE>
bool Url<CTYPE>::get_attribute(const string& name, string* value) const {
  if (query_.empty()) return false;

  size_t pos = query_.find(name, 1);
  while (pos != string::npos) {
    // The name must start a parameter and end at '=' or at its end.
    if (query_[pos - 1] == '?' || query_[pos - 1] == '&') {
      size_t after = pos + name.size();
      if (after == query_.size() || query_[after] == '&' || query_[after] == '=') {
        if (value) {
          if (after < query_.size() && query_[after] == '=') {
            size_t end = query_.find('&', after + 1);
            value->assign(query_, after + 1, end == string::npos ? string::npos : end - after - 1);
          } else {
            value->clear();
          }
        }
        return true;
      }
    }
    pos = query_.find(name, pos + 1);
  }
  return false;
}

template class Url<char>;

//////////////////////////////////////////////////////////////////////
// HttpData
//////////////////////////////////////////////////////////////////////

HttpData::HttpData() : version(HVER_1_1) {}

HttpData::~HttpData() = default;

void HttpData::clear(bool release_document) {
  headers_.clear();
  if (release_document) document.reset();
}

void HttpData::copy(const HttpData& src) { headers_ = src.headers_; }

void HttpData::changeHeader(const std::string& name, const std::string& value,
                            HeaderCombine combine) {
  if (combine == HC_AUTO) {
    // Only the known non-collapsible headers are kept apart; unknown ones
    // collapse.
    bool collapsible = strcasecmp(name.c_str(), ToString(HH_SET_COOKIE)) != 0 &&
                       strcasecmp(name.c_str(), ToString(HH_PROXY_AUTHENTICATE)) != 0 &&
                       strcasecmp(name.c_str(), ToString(HH_WWW_AUTHENTICATE)) != 0;
    combine = collapsible ? HC_YES : HC_NO;
  } else if (combine == HC_REPLACE) {
    headers_.erase(name);
    combine = HC_NO;
  }
  // At this point, combine is one of (YES, NO, NEW)
  if (combine != HC_NO) {
    HeaderMap::iterator it = headers_.lower_bound(name);
    if (it != headers_.end() && !iless()(name, it->first)) {
      if (combine == HC_YES) {
        it->second.append(",");
        it->second.append(value);
      }
      return;
    }
  }
  headers_.insert(HeaderMap::value_type(name, value));
}

size_t HttpData::clearHeader(const std::string& name) { return headers_.erase(name); }

HttpData::iterator HttpData::clearHeader(iterator header) { return headers_.erase(header); }

bool HttpData::hasHeader(const std::string& name, std::string* value) const {
  HeaderMap::const_iterator it = headers_.lower_bound(name);
  if (it == headers_.end() || iless()(name, it->first)) return false;
  if (value) *value = it->second;
  return true;
}

void HttpData::setContent(const std::string& content_type, StreamInterface* document) {
  setHeader(HH_CONTENT_TYPE, content_type);
  setDocumentAndLength(document);
}

void HttpData::setDocumentAndLength(StreamInterface* document) {
  // TODO: Consider calling Rewind() here?
  this->document.reset(document);
  size_t content_length = 0;
  if (this->document && this->document->GetAvailable(&content_length)) {
    clearHeader(HH_TRANSFER_ENCODING);
    setHeader(HH_CONTENT_LENGTH, std::to_string(content_length));
  } else {
    clearHeader(HH_CONTENT_LENGTH);
    setHeader(HH_TRANSFER_ENCODING, "chunked");
  }
}

//////////////////////////////////////////////////////////////////////
// HttpRequestData
//////////////////////////////////////////////////////////////////////

void HttpRequestData::clear(bool release_document) {
  verb = HV_GET;
  path.clear();
  HttpData::clear(release_document);
}

void HttpRequestData::copy(const HttpRequestData& src) {
  verb = src.verb;
  path = src.path;
  HttpData::copy(src);
}

size_t HttpRequestData::formatLeader(char* buffer, size_t size) const {
  if (size == 0) return 0;
  int len = snprintf(buffer, size, "%s %.*s HTTP/%s", ToString(verb),
                     static_cast<int>(std::min<size_t>(path.size(), INT32_MAX)), path.data(),
                     ToString(version));
  if (len < 0) {
    buffer[0] = '\0';
    return 0;
  }
  return std::min(static_cast<size_t>(len), size - 1);
}

HttpError HttpRequestData::parseLeader(const char* line, size_t len) {
  // VERB SP path SP HTTP/1.x, each part separated by white space.
  const char* p = line;
  const char* end = line + len;
  auto skip_space = [&] {
    while (p < end && IsSpace(*p)) ++p;
  };
  auto token = [&](const char** begin) {
    *begin = p;
    while (p < end && !IsSpace(*p)) ++p;
    return static_cast<size_t>(p - *begin);
  };

  skip_space();
  const char* verb_begin;
  size_t verb_len = token(&verb_begin);
  skip_space();
  const char* path_begin;
  size_t path_len = token(&path_begin);
  skip_space();
  HttpVersion parsed_version;
  if (verb_len == 0 || path_len == 0 || !ParseHttpVersion(p, end, &parsed_version)) {
    return HE_PROTOCOL;
  }
  skip_space();
  if (p != end) return HE_PROTOCOL;
  if (!FromString(verb, std::string(verb_begin, verb_len))) return HE_PROTOCOL;
  version = parsed_version;
  path.assign(path_begin, path_len);
  return HE_NONE;
}

bool HttpRequestData::getAbsoluteUri(std::string* uri) const {
  if (HV_CONNECT == verb) return false;
  Url<char> url(path);
  if (url.valid()) {
    uri->assign(path);
    return true;
  }
  std::string host;
  if (!hasHeader(HH_HOST, &host)) return false;
  url.set_address(host);
  url.set_full_path(path);
  uri->assign(url.url());
  return url.valid();
}

bool HttpRequestData::getRelativeUri(std::string* host, std::string* path) const {
  if (HV_CONNECT == verb) return false;
  Url<char> url(this->path);
  if (url.valid()) {
    host->assign(url.address());
    path->assign(url.full_path());
    return true;
  }
  if (!hasHeader(HH_HOST, host)) return false;
  path->assign(this->path);
  return true;
}

//////////////////////////////////////////////////////////////////////
// HttpResponseData
//////////////////////////////////////////////////////////////////////

void HttpResponseData::clear(bool release_document) {
  scode = HC_INTERNAL_SERVER_ERROR;
  message.clear();
  HttpData::clear(release_document);
}

void HttpResponseData::copy(const HttpResponseData& src) {
  scode = src.scode;
  message = src.message;
  HttpData::copy(src);
}

void HttpResponseData::set_success(uint32_t scode) {
  this->scode = scode;
  message.clear();
  setHeader(HH_CONTENT_LENGTH, "0", false);
}

void HttpResponseData::set_success(const std::string& content_type, StreamInterface* document,
                                   uint32_t scode) {
  this->scode = scode;
  message.erase(message.begin(), message.end());
  setContent(content_type, document);
}

void HttpResponseData::set_redirect(const std::string& location, uint32_t scode) {
  this->scode = scode;
  message.clear();
  setHeader(HH_LOCATION, location);
  setHeader(HH_CONTENT_LENGTH, "0", false);
}

void HttpResponseData::set_error(uint32_t scode) {
  this->scode = scode;
  message.clear();
  setHeader(HH_CONTENT_LENGTH, "0", false);
}

size_t HttpResponseData::formatLeader(char* buffer, size_t size) const {
  if (size == 0) return 0;
  int len =
      snprintf(buffer, size, "HTTP/%s %lu", ToString(version), static_cast<unsigned long>(scode));
  if (len < 0) {
    buffer[0] = '\0';
    return 0;
  }
  size_t written = std::min(static_cast<size_t>(len), size - 1);
  if (!message.empty() && written < size - 1) {
    int more =
        snprintf(buffer + written, size - written, " %.*s",
                 static_cast<int>(std::min<size_t>(message.size(), INT32_MAX)), message.data());
    if (more > 0) written += std::min(static_cast<size_t>(more), size - 1 - written);
  }
  return written;
}

HttpError HttpResponseData::parseLeader(const char* line, size_t len) {
  const char* p = line;
  const char* end = line + len;
  HttpVersion parsed_version;
  if (end - p >= 5 && memcmp(p, "HTTP ", 5) == 0) {
    RTC_LOG(LS_VERBOSE) << "HTTP version missing from response";
    parsed_version = HVER_UNKNOWN;
    p += 5;
  } else if (ParseHttpVersion(p, end, &parsed_version)) {
    if (p == end || !IsSpace(*p)) return HE_PROTOCOL;
  } else {
    return HE_PROTOCOL;
  }
  while (p < end && IsSpace(*p)) ++p;
  // A status code is exactly three digits, 100 to 999.
  if (end - p < 3 || !IsDigit(p[0]) || !IsDigit(p[1]) || !IsDigit(p[2]) || p[0] == '0' ||
      (end - p > 3 && !IsSpace(p[3]))) {
    return HE_PROTOCOL;
  }
  scode = (p[0] - '0') * 100 + (p[1] - '0') * 10 + (p[2] - '0');
  p += 3;
  while (p < end && IsSpace(*p)) ++p;
  version = parsed_version;
  message.assign(p, end - p);
  return HE_NONE;
}

}  // namespace rtc

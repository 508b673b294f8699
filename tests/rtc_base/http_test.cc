// The HTTP engine: the response parser, the message types and their texts, sending and
// receiving over a scripted stream, and the authentication answers.
#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <functional>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "rtc_base/http/http_base.h"
#include "rtc_base/http/http_common.h"
#include "rtc_base/http/http_parser.h"
#include "rtc_base/net/memory_stream.h"
#include "rtc_base/net/socket_address.h"

namespace rtc {
namespace {

// Collects one response the way a stream engine would: the bytes that the
// parser leaves unconsumed are kept and offered again with the next piece.
class ResponseCollector : public HttpParser {
 public:
  static constexpr size_t kBufferLimit = 32768;

  // Feeds one piece; returns false once the message is complete.
  bool Feed(const std::string& piece) {
    if (done_) return false;
    pending_.append(piece);
    size_t processed = 0;
    HttpError error = HE_NONE;
    ProcessResult result = Process(pending_.data(), pending_.size(), processed, &error);
    pending_.erase(0, processed);
    if (result == PR_COMPLETE) {
      complete(error);
      return false;
    }
    if (pending_.size() >= kBufferLimit) {
      complete(HE_OVERFLOW);
      return false;
    }
    return true;
  }

  // The stream ended.
  void End() {
    if (!done_) complete(is_valid_end_of_input() ? HE_NONE : HE_DISCONNECTED);
  }

  HttpResponseData response;
  std::string body;
  bool done_ = false;
  HttpError error_ = HE_DEFAULT;
  bool stalled_consumer_ = false;
  std::string pending_;

 protected:
  ProcessResult ProcessLeader(const char* line, size_t len, HttpError* error) override {
    *error = response.parseLeader(line, len);
    return (*error == HE_NONE) ? PR_CONTINUE : PR_COMPLETE;
  }
  ProcessResult ProcessHeader(const char* name, size_t nlen, const char* value, size_t vlen,
                              HttpError* error) override {
    response.addHeader(std::string(name, nlen), std::string(value, vlen));
    return PR_CONTINUE;
  }
  ProcessResult ProcessHeaderComplete(bool chunked, size_t& data_size, HttpError* error) override {
    return PR_CONTINUE;
  }
  ProcessResult ProcessData(const char* data, size_t len, size_t& read, HttpError* error) override {
    if (stalled_consumer_) {
      read = 0;
      return PR_CONTINUE;
    }
    body.append(data, len);
    read = len;
    return PR_CONTINUE;
  }
  void OnComplete(HttpError err) override {
    done_ = true;
    error_ = err;
  }
};

using Headers = std::vector<std::pair<std::string, std::string>>;

struct Outcome {
  HttpError error;
  uint32_t scode;
  HttpVersion version;
  std::string message;
  std::string body;
  Headers headers;
  size_t left_over;

  bool operator==(const Outcome& o) const = default;
};

Outcome ParseInPieces(const std::string& bytes, const std::vector<size_t>& cuts,
                      bool end_stream = true) {
  ResponseCollector c;
  size_t start = 0;
  for (size_t cut : cuts) {
    if (!c.Feed(bytes.substr(start, cut - start))) break;
    start = cut;
  }
  if (!c.done_) c.Feed(bytes.substr(start));
  if (end_stream) c.End();
  Outcome o{c.error_, c.response.scode, c.response.version, c.response.message, c.body,
            {},       c.pending_.size()};
  for (auto it = c.response.begin(); it != c.response.end(); ++it)
    o.headers.emplace_back(it->first, it->second);
  return o;
}

Outcome ParseWhole(const std::string& bytes, bool end_stream = true) {
  return ParseInPieces(bytes, {}, end_stream);
}

const char kChunkedResponse[] =
    "HTTP/1.1 200 OK\r\n"
    "Transfer-Encoding: chunked\r\n"
    "Set-Cookie: a=1\r\n"
    "Set-Cookie: b=2\r\n"
    "Cache-Control: a\r\n"
    "Cache-Control: b\r\n"
    "X-Folded: a\r\n"
    "\tb\r\n"
    "\r\n"
    "5\r\nhello\r\n"
    "7;ext=1\r\n, world\r\n"
    "0\r\n"
    "X-Trailer: yes\r\n"
    "\r\n";

std::string Chunked(const std::string& chunks) {
  return "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n" + chunks;
}
std::string WithHeader(const std::string& header, const std::string& rest = "\r\nhello") {
  return "HTTP/1.1 200 OK\r\n" + header + "\r\n" + rest;
}

// How one response ends: its error and body, for the framing, the status line, the headers,
// the chunk syntax, the limits and the end of the stream; a message that ends before the
// stream does leaves exactly the bytes after it for the next one.
TEST(HttpParserTest, ResponsesEndWithTheirErrorAndBody) {
  const std::string nul_header("HTTP/1.1 200 OK\r\nX-A: a\0b\r\n\r\n", 30);
  const std::string next = "HTTP/1.1 204 No Content\r\n\r\n";
  struct Case {
    std::string bytes;
    HttpError error;
    std::string body;
    bool end_stream = true;
    std::string left = "";
    Headers headers = {};
  } cases[] = {
      {kChunkedResponse,
       HE_NONE,
       "hello, world",
       true,
       "",
       {{"Cache-Control", "a,b"},
        {"Set-Cookie", "a=1"},
        {"Set-Cookie", "b=2"},
        {"Transfer-Encoding", "chunked"},
        {"X-Folded", "a b"}}},
      {WithHeader("Content-Length: 5", "\r\nhelloEXTRA"), HE_NONE, "hello", false, "EXTRA"},
      {"HTTP/1.1 200 OK\r\n\r\nuntil close", HE_NONE, "until close"},
      {"HTTP/1.1 204 No Content\r\nContent-Length: 0\r\n\r\n", HE_NONE, "", false},
      {"HTTP 200\r\nContent-Length: 0\r\n\r\n", HE_NONE, ""},
      {"HTTP/1.1 200 OK\r\ntransfer-encoding: ChUnKeD\r\n\r\n3\r\nabc\r\n0\r\n\r\n", HE_NONE, "abc",
       false},
      // The stream ends too early.
      {WithHeader("Content-Length: 10", "\r\nabc"), HE_DISCONNECTED, "abc"},
      {"HTTP/1.1 200 OK\r\nContent-Len", HE_DISCONNECTED, ""},
      {Chunked("5\r\nhello\r\n"), HE_DISCONNECTED, "hello"},
      // Conflicting or repeated lengths.
      {WithHeader("Content-Length: 5\r\nContent-Length: 6", "\r\nhello!"), HE_PROTOCOL, ""},
      {WithHeader("Content-Length: 5\r\nTransfer-Encoding: chunked", "\r\n5\r\nhello\r\n0\r\n\r\n"),
       HE_PROTOCOL, ""},
      {WithHeader("Content-Length: 5\r\nContent-Length: 5"), HE_NONE, "hello", false},
      // Status lines.
      {"HTTP/2.0 200 OK\r\n\r\n", HE_PROTOCOL, ""},
      {"HTTP/1.1 -200 OK\r\n\r\n", HE_PROTOCOL, ""},
      {"HTTP/1.1 099 OK\r\n\r\n", HE_PROTOCOL, ""},
      {"HTTP/1.1200 OK\r\n\r\n", HE_PROTOCOL, ""},
      {"ICY 200 OK\r\n\r\n", HE_PROTOCOL, ""},
      {"HTTP/1.1 200\rOK\r\n\r\n", HE_PROTOCOL, ""},
      // Header syntax and Content-Length forms.
      {WithHeader("Content-Length: +5"), HE_PROTOCOL, ""},
      {WithHeader("Content-Length: 0x10"), HE_PROTOCOL, ""},
      {WithHeader("Content-Length: 5,5"), HE_PROTOCOL, ""},
      {WithHeader("Content-Length: 18446744073709551616"), HE_PROTOCOL, ""},
      {WithHeader("Content-Length: 18446744073709551615"), HE_OVERFLOW, ""},
      {WithHeader("Content-Length: 16777217"), HE_OVERFLOW, ""},
      {WithHeader("Content-Length: \t0005   "), HE_NONE, "hello", false},
      {WithHeader("Transfer-Encoding: gzip"), HE_PROTOCOL, ""},
      {WithHeader("No colon here"), HE_PROTOCOL, ""},
      {WithHeader("Bad Name: x"), HE_PROTOCOL, ""},
      {WithHeader("X-Bare: a\rb"), HE_PROTOCOL, ""},
      // Folded lines join the header before them with one space, framing headers included.
      {WithHeader("X-A: a\r\n\tb\r\n   c\r\nX-B: d"),
       HE_NONE,
       "hello",
       true,
       "",
       {{"X-A", "a b c"}, {"X-B", "d"}}},
      {WithHeader("Content-Length:\r\n 5", "\r\nhello" + next), HE_NONE, "hello", false, next},
      {WithHeader("Transfer-Encoding:\r\n\tchunked", "\r\n5\r\nhello\r\n0\r\n\r\n"), HE_NONE,
       "hello", false},
      {WithHeader(" X-A: folded onto the status line"), HE_PROTOCOL, ""},
      {nul_header, HE_PROTOCOL, ""},
      // Chunk syntax and sizes.
      {Chunked("\r\n"), HE_PROTOCOL, ""},
      {Chunked("g\r\nabc\r\n0\r\n\r\n"), HE_PROTOCOL, ""},
      {Chunked("3x\r\nabc\r\n0\r\n\r\n"), HE_PROTOCOL, ""},
      {Chunked("3\r\nabcX\r\n0\r\n\r\n"), HE_PROTOCOL, "abc"},
      {Chunked("10000000000000000\r\n"), HE_PROTOCOL, ""},
      {Chunked("ffffffffffffffff;x=1\r\n"), HE_OVERFLOW, ""},
      {Chunked("1000001\r\n"), HE_OVERFLOW, ""},
      {Chunked("00000000000000000000000000000003\r\nabc\r\n0\r\n\r\n"), HE_NONE, "abc", false},
      {Chunked(" 3\r\nabc\r\n0\r\n\r\n"), HE_PROTOCOL, ""},
      {Chunked("3 x\r\nabc\r\n0\r\n\r\n"), HE_PROTOCOL, ""},
      // Sizes in either case of hex, extensions after optional white space, a last chunk with
      // zeros and an extension, trailers; the next message follows.
      {Chunked("A\r\n0123456789\r\nF\r\nabcdefghijklmno\r\n1b\r\n" + std::string(27, 'z') +
               "\r\n0\r\n\r\n"),
       HE_NONE, "0123456789abcdefghijklmno" + std::string(27, 'z'), false},
      {Chunked("5 ;a=1\r\nhello\r\n1\t;b=\"x;y\"\r\n,\r\n6;c\r\n world\r\n000;end\r\n"
               "T1: a\r\nT2: b\r\n\r\n" +
               next),
       HE_NONE, "hello, world", false, next},
      // A line longer than the buffer.
      {"HTTP/1.1 200 OK\r\nX-Long: " + std::string(40000, 'y'), HE_OVERFLOW, ""},
  };
  for (const Case& c : cases) {
    Outcome o = ParseWhole(c.bytes, c.end_stream);
    EXPECT_EQ(c.error, o.error) << c.bytes.substr(0, 120);
    EXPECT_EQ(c.body, o.body) << c.bytes.substr(0, 120);
    if (c.error == HE_NONE && !c.end_stream) EXPECT_EQ(c.left.size(), o.left_over) << c.bytes;
    if (!c.headers.empty()) EXPECT_EQ(c.headers, o.headers) << c.bytes;
  }
}

TEST(HttpParserTest, HeaderSectionUpToTheCapIsAcceptedAndOneByteMoreOverflows) {
  std::string head = "HTTP/1.1 200 OK\r\n";
  std::string tail = "Content-Length: 2\r\n\r\n";
  std::string bytes = head;
  size_t room = kHttpMaxHeaderSectionSize - head.size() - tail.size();
  const size_t kLine = 1000;  // "X: " + filler + "\r\n"
  for (; room >= kLine; room -= kLine) bytes += "X: " + std::string(kLine - 5, 'h') + "\r\n";
  if (room > 0) bytes += "Y:" + std::string(room - 4, 'h') + "\r\n";
  ASSERT_EQ(kHttpMaxHeaderSectionSize, bytes.size() + tail.size());
  Outcome at_cap = ParseWhole(bytes + tail + "ok", false);
  EXPECT_EQ(HE_NONE, at_cap.error);
  EXPECT_EQ("ok", at_cap.body);
  bytes.insert(head.size() + 3, "h");
  EXPECT_EQ(HE_OVERFLOW, ParseWhole(bytes + tail + "ok", false).error);

  // Padding that trims away still counts; chunk framing is body, not header section.
  std::string padded = head;
  for (int i = 0; i < 12; ++i) padded += "X-Pad: v" + std::string(30000, ' ') + "\r\n";
  EXPECT_EQ(HE_OVERFLOW, ParseWhole(padded + tail, false).error);
  std::string chunks;
  for (int i = 0; i < 100000; ++i) chunks += "1\r\nz\r\n";
  Outcome many = ParseWhole(Chunked(chunks + "0\r\n\r\n"), false);
  EXPECT_EQ(HE_NONE, many.error);
  EXPECT_EQ(100000u, many.body.size());
}

TEST(HttpParserTest, ConfiguredBodyCapAndConsumerLimitsApplyToEveryFraming) {
  struct Case {
    std::string bytes;
    HttpError error;
    size_t body;
  } cases[] = {
      {WithHeader("Content-Length: 4", "\r\nabcd"), HE_NONE, 4},
      {WithHeader("Content-Length: 5", "\r\nabcde"), HE_OVERFLOW, 0},
      {Chunked("2\r\nab\r\n3\r\nabc\r\n0\r\n\r\n"), HE_OVERFLOW, 2},
      {"HTTP/1.1 200 OK\r\n\r\nabcd", HE_NONE, 4},
      {"HTTP/1.1 200 OK\r\n\r\n" + std::string(40, 'b'), HE_OVERFLOW, 4},
  };
  for (const Case& c : cases) {
    ResponseCollector collector;
    collector.set_max_body_size(4);
    collector.Feed(c.bytes);
    collector.End();
    EXPECT_EQ(c.error, collector.error_) << c.bytes;
    EXPECT_EQ(c.body, collector.body.size()) << c.bytes;
  }
  // Size lines padded with zeros stop at the framing cap though the body stays small.
  ResponseCollector padded;
  padded.set_max_body_size(100000);
  ASSERT_TRUE(padded.Feed(Chunked("")));
  const std::string chunk = std::string(1000, '0') + "1\r\nq\r\n";
  for (int i = 0; i < 1000 && padded.Feed(chunk); ++i) {
  }
  EXPECT_EQ(HE_OVERFLOW, padded.error_);
  // A consumer that takes no byte ends the message with a stream error. (Answers without a
  // body are the client's: AsyncHttpRequestTest.HostileAnswersEndOnceWithTheirError.)
  for (const std::string& bytes :
       {WithHeader("Content-Length: 3", "\r\nabc"), std::string("HTTP/1.1 200 OK\r\n\r\nabc"),
        Chunked("3\r\nabc\r\n")}) {
    ResponseCollector stalled;
    stalled.stalled_consumer_ = true;
    stalled.Feed(bytes);
    EXPECT_EQ(HE_STREAM, stalled.error_) << bytes;
  }
}

// The same bytes cut anywhere give the same outcome; a body cut short is no success. Random
// and mutated answers in random pieces are the fuzz target's (fuzz/http_fuzz_target.h), which
// the protocol tests replay.
TEST(HttpParserTest, WhereverTheBytesAreCutTheOutcomeIsTheSame) {
  const std::string sample = kChunkedResponse;
  Outcome whole = ParseWhole(sample);
  std::vector<size_t> every_byte;
  for (size_t cut = 1; cut < sample.size(); ++cut) {
    EXPECT_EQ(whole, ParseInPieces(sample, {cut})) << "cut at " << cut;
    every_byte.push_back(cut);
  }
  EXPECT_EQ(whole, ParseInPieces(sample, every_byte));
  size_t body_start = sample.find("\r\n\r\n") + 4;
  for (size_t cut = body_start; cut <= sample.find("0\r\nX-Trailer"); ++cut)
    EXPECT_EQ(HE_DISCONNECTED, ParseWhole(sample.substr(0, cut)).error) << cut;
}

TEST(HttpCommonTest, KeepAliveFollowsProxyConnectionThenConnectionThenVersion) {
  struct Case {
    HttpVersion version;
    const char* connection;
    const char* proxy_connection;
    bool keep_alive;
  } cases[] = {
      {HVER_1_1, nullptr, nullptr, true},      {HVER_1_0, nullptr, nullptr, false},
      {HVER_UNKNOWN, nullptr, nullptr, true},  {HVER_1_0, "keep-alive", nullptr, true},
      {HVER_1_1, "close", nullptr, false},     {HVER_1_0, "keep-alive", "close", false},
      {HVER_1_0, nullptr, "Keep-Alive", true},
  };
  for (const Case& c : cases) {
    HttpResponseData r;
    r.version = c.version;
    if (c.connection) r.setHeader(HH_CONNECTION, c.connection);
    if (c.proxy_connection) r.setHeader(HH_PROXY_CONNECTION, c.proxy_connection);
    EXPECT_EQ(c.keep_alive, HttpShouldKeepAlive(r))
        << c.version << " " << (c.connection ? c.connection : "-") << " "
        << (c.proxy_connection ? c.proxy_connection : "-");
  }
}

TEST(HttpCommonTest, UrlsSplitIntoTheirPartsOrAreRefused) {
  struct Case {
    const char* text;
    bool valid;
    const char* host;
    int port;
    const char* path;
    const char* query;
    const char* address;
  } cases[] = {
      {"HTTPS://Example:8443/a/b?x=1", true, "Example", 8443, "/a/b", "?x=1", "Example:8443"},
      {"https://user:pw@Example:8443/a?x#frag", true, "Example", 8443, "/a", "?x", "Example:8443"},
      {"http://h", true, "h", 80, "/", "", "h"},
      {"http://h?x=a@evil/", true, "h", 80, "/", "?x=a@evil/", "h"},
      {"http://h#@evil/", true, "h", 80, "/", "", "h"},
      {"http://[::1]:8080/x", true, "::1", 8080, "/x", "", "[::1]:8080"},
      {"https://[fe80::1]/", true, "fe80::1", 443, "/", "", "[fe80::1]"},
      {"ftp://h/", false, "", 0, "/", "", ""},
      {"/relative/path", false, "", 0, "/", "", ""},
      {"http://", false, "", 0, "/", "", ""},
      {"http://h:70000/", false, "", 0, "/", "", ""},
      {"http://h:12ab/", false, "", 0, "/", "", ""},
      {"http://h:/", false, "", 0, "/", "", ""},
      {"http://[::1/", false, "", 0, "/", "", ""},
      {"http://[::1]x/", false, "", 0, "/", "", ""},
      {"http://h:-1/", false, "", 0, "/", "", ""},
  };
  for (const Case& c : cases) {
    Url<char> url(c.text);
    EXPECT_EQ(c.valid, url.valid()) << c.text;
    EXPECT_EQ(c.path, url.path()) << c.text;
    if (!c.valid) continue;
    EXPECT_EQ(c.host, url.host()) << c.text;
    EXPECT_EQ(c.port, url.port()) << c.text;
    EXPECT_EQ(c.query, url.query()) << c.text;
    EXPECT_EQ(c.address, url.address()) << c.text;
  }
  Url<char> built("/a?b=c&d", "127.0.0.1", 443);
  EXPECT_EQ("https://127.0.0.1/a?b=c&d", built.url());
  std::string value;
  EXPECT_TRUE(built.get_attribute("b", &value));
  EXPECT_EQ("c", value);
  EXPECT_FALSE(built.get_attribute("c", &value));

  EXPECT_EQ("127.0.0.1", HttpAddress(SocketAddress("127.0.0.1", 80), false));
  EXPECT_EQ("127.0.0.1:80", HttpAddress(SocketAddress("127.0.0.1", 80), true));
  EXPECT_EQ("127.0.0.1", HttpAddress(SocketAddress("127.0.0.1", 443), true));
  EXPECT_EQ("[::1]:8080", HttpAddress(SocketAddress("::1", 8080), false));
}

class HttpDateTest : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    const char* old = getenv("TZ");
    had_tz_ = old != nullptr;
    if (had_tz_) old_tz_ = old;
    setenv("TZ", GetParam(), 1);
    tzset();
  }
  void TearDown() override {
    if (had_tz_)
      setenv("TZ", old_tz_.c_str(), 1);
    else
      unsetenv("TZ");
    tzset();
  }

 private:
  bool had_tz_ = false;
  std::string old_tz_;
};

// Expected values come from `date -u -d '<text>' +%s`; -1 marks a date that is refused and
// leaves the result alone.
TEST_P(HttpDateTest, ConvertsWhateverTheLocalZoneOrRefuses) {
  const struct {
    const char* text;
    time_t seconds;
  } cases[] = {
      {"Sun, 06 Nov 1994 08:49:37 GMT", 784111777},
      {"Sun, 06 Nov 1994 08:49:37 +0100", 784108177},
      {"Sun, 06 Nov 1994 08:49:37 UT", 784111777},
      {"Sun, 06 Nov 1994 08:49:37 EST", 784111777 + 5 * 3600},
      {"Sun, 06 Nov 1994 08:49:37 Y", 784111777 - 12 * 3600},
      {"Sat, 15 Jul 2023 12:00:00 -0530", 1689442200},
      {"Tue, 29 Feb 2000 23:59:59 GMT", 951868799},
      {"Thu, 01 Jan 1970 00:00:00 GMT", 0},
      {"Fri, 31 dec 1999 23:59:59 gmt", 946684799},
      {"", -1},
      {"Sun 06 Nov 1994 08:49:37 GMT", -1},
      {"Sunday, 06 Nov 1994 08:49:37 GMT", -1},
      {"Sun, 06 Nov 1994 08:49:37", -1},
      {"Sun, 06 Nov 1994 08:49:37 XYZ", -1},
      {"Sun, 06 Nov 1994 08:49:37 +01", -1},
      {"Sun, 06 Nov 1994 08:49:37 +0160", -1},
      {"Sun, 32 Jan 1994 08:49:37 GMT", -1},
      {"Sun, 30 Feb 1994 08:49:37 GMT", -1},
      {"Sun, 06 Nov 1994 24:00:00 GMT", -1},
      {"Sun, 06 Nov 1994 08:60:00 GMT", -1},
      {"Sun, 06 Juy 1994 08:49:37 GMT", -1},
  };
  for (const auto& c : cases) {
    time_t seconds = 12345;
    EXPECT_EQ(c.seconds != -1, HttpDateToSeconds(c.text, &seconds)) << c.text;
    EXPECT_EQ(c.seconds != -1 ? c.seconds : 12345, seconds) << c.text;
  }
}

INSTANTIATE_TEST_SUITE_P(Zones, HttpDateTest,
                         ::testing::Values("UTC0", "CET-1CEST,M3.5.0,M10.5.0/3",
                                           "EST5EDT,M3.2.0,M11.1.0",
                                           "LHST-10:30LHDT-11,M10.1.0,M4.1.0"));

// A connected stream under the test's control: reads take what the test
// queued (blocking when there is none), writes are recorded call by call.
class ScriptedStream : public StreamInterface {
 public:
  StreamState GetState() const override { return state; }
  StreamResult Read(void* buffer, size_t len, size_t* read, int* error) override {
    if (!incoming.empty()) {
      size_t n = std::min({len, incoming.size(), max_read});
      memcpy(buffer, incoming.data(), n);
      incoming.erase(0, n);
      if (read) *read = n;
      ++reads;
      return SR_SUCCESS;
    }
    if (read_error != 0) {
      if (error) *error = read_error;
      return SR_ERROR;
    }
    return peer_closed ? SR_EOS : SR_BLOCK;
  }
  StreamResult Write(const void* data, size_t len, size_t* written, int* error) override {
    if (write_error != 0) {
      if (error) *error = write_error;
      return SR_ERROR;
    }
    size_t n = std::min(len, write_room);
    if (n == 0) return SR_BLOCK;
    write_room -= n;
    writes.emplace_back(static_cast<const char*>(data), n);
    if (written) *written = n;
    return SR_SUCCESS;
  }
  void Close() override {
    state = SS_CLOSED;
    ++closes;
  }
  void Fire(int events, int err = 0) { SignalEvent(this, events, err); }
  std::string AllWritten() const {
    std::string all;
    for (const auto& w : writes) all += w;
    return all;
  }

  StreamState state = SS_OPEN;
  std::string incoming;
  size_t max_read = SIZE_MAX;
  bool peer_closed = false;
  int read_error = 0;
  int write_error = 0;
  size_t write_room = SIZE_MAX;
  std::vector<std::string> writes;
  int reads = 0;
  int closes = 0;
};

class Observer : public IHttpNotify {
 public:
  HttpError onHttpHeaderComplete(bool chunked, size_t& data_size) override {
    ++headers_complete;
    header_chunked = chunked;
    header_data_size = data_size;
    return header_result;
  }
  void onHttpComplete(HttpMode mode, HttpError err) override {
    completions.emplace_back(mode, err);
  }
  void onHttpClosed(HttpError err) override { closed.push_back(err); }

  HttpBase* base = nullptr;
  int headers_complete = 0;
  bool header_chunked = false;
  size_t header_data_size = 0;
  HttpError header_result = HE_NONE;
  std::vector<std::pair<HttpMode, HttpError>> completions;
  std::vector<HttpError> closed;
};

class HttpBaseTest : public ::testing::Test {
 protected:
  void SetUp() override {
    observer_.base = &base_;
    base_.notify(&observer_);
    ASSERT_TRUE(base_.attach(&stream_));
  }
  void TearDown() override { base_.detach(); }

  std::pair<HttpMode, HttpError> LastCompletion() {
    EXPECT_FALSE(observer_.completions.empty());
    return observer_.completions.empty() ? std::make_pair(HM_NONE, HE_DEFAULT)
                                         : observer_.completions.back();
  }

  ScriptedStream stream_;
  HttpBase base_;
  Observer observer_;
};

// Requests that cannot be sent end the send with their error, and nothing of them leaves.
TEST_F(HttpBaseTest, SendsThatCannotSucceedEndWithTheirError) {
  struct Case {
    const char* what;
    std::function<void(HttpRequestData*, ScriptedStream*)> setup;
    HttpError error;
  } cases[] = {
      {"header that can never fit",
       [](HttpRequestData* r, ScriptedStream*) {
         r->setHeader("X-Huge", std::string(HttpBase::kBufferSize, 'h'));
       },
       HE_OVERFLOW},
      {"request line longer than the buffer",
       [](HttpRequestData* r, ScriptedStream*) {
         r->path = std::string(HttpBase::kBufferSize, 'p');
       },
       HE_OVERFLOW},
      {"both framing headers",
       [](HttpRequestData* r, ScriptedStream*) {
         r->setHeader(HH_CONTENT_LENGTH, "3");
         r->setHeader(HH_TRANSFER_ENCODING, "chunked");
       },
       HE_PROTOCOL},
      {"closed stream", [](HttpRequestData*, ScriptedStream* s) { s->state = SS_CLOSED; },
       HE_DISCONNECTED},
      {"write error", [](HttpRequestData*, ScriptedStream* s) { s->write_error = ECONNRESET; },
       HE_SOCKET_ERROR},
  };
  for (const Case& c : cases) {
    ScriptedStream stream;
    HttpBase base;
    Observer observer;
    base.notify(&observer);
    ASSERT_TRUE(base.attach(&stream));
    HttpRequestData request;
    request.path = "/";
    c.setup(&request, &stream);
    base.send(&request);
    ASSERT_EQ(1u, observer.completions.size()) << c.what;
    EXPECT_EQ(std::make_pair(HM_SEND, c.error), observer.completions[0]) << c.what;
    EXPECT_EQ(std::string::npos, stream.AllWritten().find("\r\n\r\n")) << c.what;
    base.detach();
  }
}

TEST_F(HttpBaseTest, CloseErrorsMapToHttpErrors) {
  struct {
    int error;
    HttpError expected;
  } cases[] = {{0, HE_DISCONNECTED},
               {EACCES, HE_AUTH},
               {static_cast<int>(0x80090328), HE_CERTIFICATE_EXPIRED},
               {ECONNRESET, HE_SOCKET_ERROR}};
  for (const auto& c : cases) {
    observer_.completions.clear();
    stream_.state = SS_OPEN;
    HttpResponseData response;
    base_.recv(&response);
    stream_.incoming = "HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\nabc";
    stream_.Fire(SE_READ);
    stream_.Fire(SE_CLOSE, c.error);
    EXPECT_EQ(std::make_pair(HM_RECV, c.expected), LastCompletion()) << c.error;
  }
}

TEST_F(HttpBaseTest, FastStreamYieldsAfterBoundedPassesAndResumes) {
  const size_t kBody = 1024 * 1024;
  HttpResponseData response;
  response.document.reset(new MemoryStream());
  stream_.incoming = "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(kBody) + "\r\n\r\n" +
                     std::string(kBody, 'b');
  base_.recv(&response);
  EXPECT_TRUE(observer_.completions.empty());
  EXPECT_EQ(static_cast<int>(HttpBase::kMaxReadPasses), stream_.reads);
  int events = 0;
  while (observer_.completions.empty() && events < 10) {
    stream_.Fire(SE_READ);
    ++events;
  }
  EXPECT_EQ(1, events);
  EXPECT_EQ(std::make_pair(HM_RECV, HE_NONE), LastCompletion());
  size_t size = 0;
  response.document->GetSize(&size);
  EXPECT_EQ(kBody, size);
}

TEST_F(HttpBaseTest, AbortFromInsideHeaderCallbackIsSafe) {
  class Aborter : public Observer {
   public:
    HttpError onHttpHeaderComplete(bool, size_t&) override {
      base->abort(HE_OPERATION_CANCELLED);
      return HE_NONE;
    }
  } aborter;
  aborter.base = &base_;
  base_.notify(&aborter);
  HttpResponseData response;
  stream_.incoming = "HTTP/1.1 200 OK\r\nContent-Length: 4\r\n\r\nbody";
  base_.recv(&response);
  ASSERT_EQ(1u, aborter.completions.size());
  EXPECT_EQ(HE_OPERATION_CANCELLED, aborter.completions[0].second);
  EXPECT_EQ(HM_NONE, base_.mode());
}

}  // namespace
}  // namespace rtc

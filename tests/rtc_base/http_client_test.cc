// The HTTP client on its own: response cache, proxy challenges, refused and cancelled
// requests, against scripted loopback peers.
#include "rtc_base/http_client.h"

#include <time.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "gtest/gtest.h"
#include "http_request_test_util.h"
#include "http_test_server.h"
#include "rtc_base/disk_cache.h"
#include "rtc_base/memory_stream.h"
#include "rtc_base/physical_socket_server.h"
#include "rtc_base/temp_dir.h"
#include "rtc_base/thread.h"

namespace rtc {
namespace {

using testing::FakeResolver;
using testing::PumpUntil;
using testing::ReadDocument;
using testing::ReadHttpRequest;
using testing::ScriptedServer;
using testing::SendText;

std::string HttpDate(time_t t) {
  char buf[64];
  struct tm tm;
  gmtime_r(&t, &tm);
  strftime(buf, sizeof(buf), "%a, %d %b %Y %H:%M:%S GMT", &tm);
  return buf;
}

struct Completion : public sigslot::has_slots<> {
  int calls = 0;
  int error = -1;
  void OnComplete(HttpClient*, int err) {
    ++calls;
    error = err;
  }
};

// Answers each request on a connection in turn with the next scripted answer.
class SequenceServer {
 public:
  explicit SequenceServer(std::vector<std::string> answers)
      : answers_(std::move(answers)), server_([this](int fd, int) {
          std::string request;
          while (ReadHttpRequest(fd, &request)) {
            server_.Record(request);
            size_t n = server_.requests().size() - 1;
            if (n >= answers_.size() || !SendText(fd, answers_[n])) {
              return;
            }
          }
        }) {}
  bool Start() { return server_.Start(); }
  int accepted() const { return server_.accepted(); }
  std::vector<std::string> requests() { return server_.requests(); }
  std::string url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(server_.port()) + path;
  }

 private:
  std::vector<std::string> answers_;
  ScriptedServer server_;
};

class HttpClientTest : public ::testing::Test {
 protected:
  HttpClientTest() : client_(nullptr, "agent") {
    client_.SignalHttpClientComplete.connect(&completion_, &Completion::OnComplete);
  }

  void Get(const std::string& url) {
    client_.prepare_get(url);
    client_.response().document.reset(new MemoryStream());
    int before = completion_.calls;
    client_.start();
    ASSERT_TRUE(PumpUntil([&] { return completion_.calls > before; }));
  }

  PhysicalSocketServer ss_;
  AutoSocketServerThread thread_{&ss_};
  HttpClientDefault client_;
  Completion completion_;
};

// A stale answer is validated with its ETag and served from the store; a fresh one is
// answered before start returns; queries without expiry and no-store answers are not stored.
TEST_F(HttpClientTest, CacheValidatesStaleAnswersAndServesFreshOnesWithoutTheNetwork) {
  const std::string now = HttpDate(time(nullptr));
  SequenceServer server({
      "HTTP/1.1 200 OK\r\nDate: " + now + "\r\nETag: \"v1\"\r\nContent-Length: 11\r\n\r\n"
      "cached body",
      "HTTP/1.1 304 Not Modified\r\nDate: " + now + "\r\nETag: \"v1\"\r\n\r\n",
      "HTTP/1.1 200 OK\r\nDate: " + now + "\r\nCache-Control: max-age=3600\r\n"
      "Content-Length: 5\r\n\r\nfresh",
      "HTTP/1.1 200 OK\r\nContent-Length: 1\r\n\r\na",
      "HTTP/1.1 200 OK\r\nCache-Control: public, no-store\r\nContent-Length: 1\r\n\r\nb",
  });
  ASSERT_TRUE(server.Start());
  vy_test::TempDir dir;
  FolderDiskCache store;
  ASSERT_TRUE(store.Initialize(dir.path() + "/", 1 << 20));
  client_.set_cache(&store);

  Get(server.url("/doc"));
  EXPECT_EQ("cached body", ReadDocument(client_.response().document.get()));
  EXPECT_TRUE(store.HasResource("GET_" + server.url("/doc")));
  Get(server.url("/doc"));
  EXPECT_EQ(HE_NONE, completion_.error);
  EXPECT_EQ(200u, client_.response().scode);
  EXPECT_EQ("cached body", ReadDocument(client_.response().document.get()));
  EXPECT_NE(std::string::npos, server.requests()[1].find("If-None-Match: \"v1\"\r\n"));

  Get(server.url("/fresh"));
  client_.prepare_get(server.url("/fresh"));
  client_.response().document.reset(new MemoryStream());
  int before = completion_.calls;
  client_.start();
  EXPECT_EQ(before + 1, completion_.calls);
  EXPECT_EQ("fresh", ReadDocument(client_.response().document.get()));

  Get(server.url("/search?q=1"));
  Get(server.url("/private"));
  EXPECT_EQ("b", ReadDocument(client_.response().document.get()));
  EXPECT_FALSE(store.HasResource("GET_" + server.url("/search?q=1")));
  EXPECT_FALSE(store.HasResource("GET_" + server.url("/private")));
  EXPECT_EQ(5u, server.requests().size());
}

TEST(HttpCacheRulesTest, FreshnessAndWhatIsStored) {
  const time_t now = 1700000000;
  const struct {
    std::vector<std::pair<HttpHeader, std::string>> headers;
    HttpCacheState state;
  } freshness[] = {
      {{}, HCS_NONE},
      {{{HH_DATE, HttpDate(now - 100)}, {HH_CACHE_CONTROL, "max-age=101"}}, HCS_FRESH},
      {{{HH_DATE, HttpDate(now - 100)}, {HH_CACHE_CONTROL, "max-age=101"}, {HH_AGE, "1"}},
       HCS_STALE},
      {{{HH_DATE, HttpDate(now - 100)}, {HH_EXPIRES, HttpDate(now + 10)}}, HCS_FRESH},
      {{{HH_DATE, HttpDate(now - 100)}, {HH_EXPIRES, HttpDate(now)}}, HCS_STALE},
      {{{HH_DATE, HttpDate(now - 100)}, {HH_LAST_MODIFIED, HttpDate(now - 100000)}}, HCS_FRESH},
      {{{HH_DATE, HttpDate(now - 100)}}, HCS_STALE},
      // Huge ages and lifetimes are capped, not overflowed.
      {{{HH_DATE, HttpDate(now - 100)}, {HH_CACHE_CONTROL, "max-age=100000"},
        {HH_AGE, "99999999999999999999999"}}, HCS_STALE},
      {{{HH_DATE, HttpDate(now - 100)}, {HH_CACHE_CONTROL, "max-age=9223372036854775807"},
        {HH_AGE, "9223372036854775807"}}, HCS_STALE},
      {{{HH_DATE, HttpDate(now - 100)}, {HH_CACHE_CONTROL, "max-age=9223372036854775807"},
        {HH_AGE, "0"}}, HCS_FRESH},
  };
  for (size_t i = 0; i < std::size(freshness); ++i) {
    HttpTransaction t;
    for (const auto& [header, value] : freshness[i].headers)
      t.response.setHeader(header, value);
    EXPECT_EQ(freshness[i].state, HttpGetCacheState(t, now)) << i;
  }
  const struct {
    HttpVerb verb;
    const char* path;
    uint32_t scode;
    HttpHeader header;
    std::string value;
    bool stored;
  } storing[] = {
      {HV_GET, "/a", 200, HH_DATE, HttpDate(now), true},
      {HV_GET, "/a", 200, HH_CONTENT_RANGE, "bytes 0-1/2", false},
      {HV_POST, "/a", 200, HH_DATE, HttpDate(now), false},
      {HV_GET, "/a", 404, HH_DATE, HttpDate(now), false},
      {HV_GET, "/a", 404, HH_CACHE_CONTROL, "public", true},
      {HV_GET, "/a?b", 200, HH_DATE, HttpDate(now), false},
      {HV_GET, "/a?b", 200, HH_EXPIRES, HttpDate(now), true},
  };
  for (const auto& c : storing) {
    HttpTransaction t;
    t.request.verb = c.verb;
    t.request.path = c.path;
    t.response.scode = c.scode;
    t.response.setHeader(c.header, c.value);
    EXPECT_EQ(c.stored, HttpShouldCache(t)) << c.path << " " << c.scode << " " << c.value;
  }
}

TEST_F(HttpClientTest, NextRequestReusesTheKeptAliveConnection) {
  SequenceServer server({
      "HTTP/1.1 200 OK\r\nContent-Length: 3\r\n\r\none",
      "HTTP/1.1 200 OK\r\nContent-Length: 3\r\n\r\ntwo",
  });
  ASSERT_TRUE(server.Start());
  Get(server.url("/1"));
  EXPECT_EQ(ReadDocument(client_.response().document.get()), "one");
  // The connection goes back to the pool on the next loop pass.
  Thread::Current()->ProcessMessages(0);
  Get(server.url("/2"));
  EXPECT_EQ(completion_.error, HE_NONE);
  EXPECT_EQ(ReadDocument(client_.response().document.get()), "two");
  EXPECT_EQ(server.accepted(), 1);
}

TEST(HttpClientNoThreadTest, ClientOnABareThreadReportsConnectFailed) {
  // The process's first user of the thread manager counts as the main thread and gets an
  // rtc::Thread on demand; the bare thread below must not be that one.
  ThreadManager::Instance();
  // No rtc::Thread there: there is no socket server to make sockets with.
  std::thread bare([] {
    HttpClientDefault client(nullptr, "agent");
    Completion completion;
    client.SignalHttpClientComplete.connect(&completion, &Completion::OnComplete);
    client.prepare_get("http://127.0.0.1:9/");
    client.start();
    EXPECT_EQ(completion.calls, 1);
    EXPECT_EQ(completion.error, HE_CONNECT_FAILED);
  });
  bare.join();
}

TEST_F(HttpClientTest, UnsendableRequestsAndResetLookupsEndWithoutConnecting) {
  client_.prepare_get("http://127.0.0.1:9/");
  client_.request().setHeader(HH_TRANSFER_ENCODING, "chunked");
  client_.start();
  EXPECT_EQ(1, completion_.calls);
  EXPECT_EQ(HE_STREAM, completion_.error);

  int starts = 0, destroyed = 0;
  client_.set_resolver_factory(
      [&] { return new FakeResolver(FakeResolver::kNever, &starts, &destroyed); });
  client_.prepare_get("http://gateway.invalid/");
  client_.start();
  EXPECT_EQ(1, starts);
  client_.reset();
  EXPECT_EQ(1, destroyed);
  EXPECT_EQ(1, completion_.calls);
}

TEST_F(HttpClientTest, ProxyChallengeIsAnsweredWithTheProxyCredentials) {
  SequenceServer server({
      "HTTP/1.0 407 Proxy Authentication Required\r\nProxy-Connection: Keep-Alive\r\n"
      "Proxy-Authenticate: Basic realm=\"p\"\r\nContent-Length: 0\r\n\r\n",
      "HTTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\nok",
  });
  ASSERT_TRUE(server.Start());
  ProxyInfo proxy;
  proxy.type = PROXY_HTTPS;
  proxy.username = "u";
  proxy.password = CryptString(InsecureCryptStringImpl("p"));
  client_.set_proxy(proxy);
  Get(server.url("/via-proxy"));
  EXPECT_EQ(completion_.error, HE_NONE);
  EXPECT_EQ(ReadDocument(client_.response().document.get()), "ok");
  auto requests = server.requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_NE(requests[1].find("Proxy-Authorization: Basic dTpw\r\n"), std::string::npos)
      << requests[1];
}

class AnsweringClient : public HttpClientDefault {
 public:
  AnsweringClient() : HttpClientDefault(nullptr, "agent") {}
  int challenges = 0;

 protected:
  HttpAuthResult Authenticate(const char* challenge,
                              size_t len,
                              const SocketAddress&,
                              const std::string& method,
                              const std::string&,
                              const std::string&,
                              const CryptString&,
                              std::unique_ptr<HttpAuthContext>* context,
                              std::string* response,
                              std::string* auth_method) override {
    ++challenges;
    std::string text(challenge, len);
    if (text.rfind("Basic", 0) != 0) {
      *auth_method = text.substr(0, text.find(' '));
      return HAR_IGNORE;
    }
    context->reset(new HttpAuthContext("Basic"));
    *response = "Basic " + method;
    return HAR_RESPONSE;
  }
};

TEST(HttpClientProxyTest, AnsweredProxyChallengeIsSentAgainWithCredentials) {
  PhysicalSocketServer ss;
  AutoSocketServerThread thread(&ss);
  SequenceServer server({
      "HTTP/1.0 407 Proxy Authentication Required\r\nProxy-Connection: Keep-Alive\r\n"
      "Proxy-Authenticate: Negotiate\r\nProxy-Authenticate: Basic realm=\"p\"\r\n"
      "Content-Length: 0\r\n\r\n",
      "HTTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\nin",
  });
  ASSERT_TRUE(server.Start());
  AnsweringClient client;
  Completion completion;
  client.SignalHttpClientComplete.connect(&completion, &Completion::OnComplete);
  ProxyInfo proxy;
  proxy.type = PROXY_HTTPS;
  client.set_proxy(proxy);
  client.prepare_post(server.url("/p"), "text/plain", new MemoryStream("body", 4));
  client.response().document.reset(new MemoryStream());
  client.start();
  ASSERT_TRUE(PumpUntil([&] { return completion.calls > 0; }));
  EXPECT_EQ(completion.error, HE_NONE);
  EXPECT_EQ(ReadDocument(client.response().document.get()), "in");
  EXPECT_EQ(client.challenges, 2);
  auto requests = server.requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_NE(requests[1].find("Proxy-Authorization: Basic POST\r\n"), std::string::npos)
      << requests[1];
  EXPECT_NE(requests[1].find("\r\n\r\nbody"), std::string::npos) << requests[1];
}

}  // namespace
}  // namespace rtc

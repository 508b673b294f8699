// The HTTP client on its own: response cache, proxy challenges, refused and cancelled
// requests, against scripted loopback peers.
#include "rtc_base/http_client.h"

#include <time.h>

#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "gtest/gtest.h"
#include "http_request_test_util.h"
#include "http_test_server.h"
#include "rtc_base/memory_stream.h"
#include "rtc_base/physical_socket_server.h"
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

// Resources kept in memory, with the locking rules of a disk cache.
class MemoryCacheStore : public HttpCacheStore {
 public:
  struct Entry {
    bool locked = false;
    std::map<size_t, std::string> streams;
  };

  bool LockResource(const std::string& id) override {
    Entry& entry = entries_[id];
    if (entry.locked) {
      return false;
    }
    entry.locked = true;
    return true;
  }
  StreamInterface* WriteResource(const std::string& id, size_t index) override {
    auto it = entries_.find(id);
    if (it == entries_.end() || !it->second.locked) {
      return nullptr;
    }
    return new Sink(this, id, index);
  }
  bool UnlockResource(const std::string& id) override {
    auto it = entries_.find(id);
    if (it == entries_.end() || !it->second.locked) {
      return false;
    }
    it->second.locked = false;
    return true;
  }
  StreamInterface* ReadResource(const std::string& id, size_t index) const override {
    auto it = entries_.find(id);
    if (it == entries_.end() || it->second.locked) {
      return nullptr;
    }
    auto stream = it->second.streams.find(index);
    if (stream == it->second.streams.end()) {
      return nullptr;
    }
    ++reads_;
    return new MemoryStream(stream->second.data(), stream->second.size());
  }
  bool HasResource(const std::string& id) const override {
    auto it = entries_.find(id);
    return it != entries_.end() && !it->second.streams.empty();
  }
  bool DeleteResource(const std::string& id) override {
    auto it = entries_.find(id);
    if (it != entries_.end() && it->second.locked) {
      return false;
    }
    entries_.erase(id);
    return true;
  }

  const std::map<std::string, Entry>& entries() const { return entries_; }
  int reads() const { return reads_; }

 private:
  class Sink : public MemoryStream {
   public:
    Sink(MemoryCacheStore* store, const std::string& id, size_t index)
        : store_(store), id_(id), index_(index) {}
    ~Sink() override {
      size_t size = 0;
      GetSize(&size);
      store_->entries_[id_].streams[index_] = std::string(GetBuffer(), size);
    }

   private:
    MemoryCacheStore* store_;
    std::string id_;
    size_t index_;
  };

  std::map<std::string, Entry> entries_;
  mutable int reads_ = 0;
};

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

TEST_F(HttpClientTest, StaleStoredResponseIsValidatedAndServedFromTheStore) {
  std::string now = HttpDate(time(nullptr));
  SequenceServer server({
      "HTTP/1.1 200 OK\r\nDate: " + now + "\r\nETag: \"v1\"\r\nContent-Length: 11\r\n\r\n"
      "cached body",
      "HTTP/1.1 304 Not Modified\r\nDate: " + now + "\r\nETag: \"v1\"\r\n\r\n",
  });
  ASSERT_TRUE(server.Start());
  MemoryCacheStore store;
  client_.set_cache(&store);

  Get(server.url("/doc"));
  EXPECT_EQ(completion_.error, HE_NONE);
  EXPECT_EQ(ReadDocument(client_.response().document.get()), "cached body");
  ASSERT_EQ(store.entries().size(), 1u);
  EXPECT_EQ(store.entries().begin()->first, "GET_" + server.url("/doc"));

  Get(server.url("/doc"));
  EXPECT_EQ(completion_.error, HE_NONE);
  EXPECT_EQ(client_.response().scode, 200u);
  EXPECT_EQ(ReadDocument(client_.response().document.get()), "cached body");
  auto requests = server.requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_NE(requests[1].find("If-None-Match: \"v1\"\r\n"), std::string::npos) << requests[1];
  EXPECT_GT(store.reads(), 0);
}

TEST_F(HttpClientTest, FreshStoredResponseIsAnsweredWithoutTheNetwork) {
  SequenceServer server({
      "HTTP/1.1 200 OK\r\nDate: " + HttpDate(time(nullptr)) +
          "\r\nCache-Control: max-age=3600\r\nContent-Length: 5\r\n\r\nfresh",
  });
  ASSERT_TRUE(server.Start());
  MemoryCacheStore store;
  client_.set_cache(&store);
  Get(server.url("/fresh"));
  ASSERT_EQ(completion_.error, HE_NONE);

  client_.prepare_get(server.url("/fresh"));
  client_.response().document.reset(new MemoryStream());
  client_.start();
  // Answered before start returns.
  EXPECT_EQ(completion_.calls, 2);
  EXPECT_EQ(completion_.error, HE_NONE);
  EXPECT_EQ(ReadDocument(client_.response().document.get()), "fresh");
  EXPECT_EQ(server.requests().size(), 1u);
}

TEST_F(HttpClientTest, QueryWithoutExpiryAndNoStoreAnswersAreNotStored) {
  SequenceServer server({
      "HTTP/1.1 200 OK\r\nContent-Length: 1\r\n\r\na",
      "HTTP/1.1 200 OK\r\nCache-Control: public, no-store\r\nContent-Length: 1\r\n\r\nb",
  });
  ASSERT_TRUE(server.Start());
  MemoryCacheStore store;
  client_.set_cache(&store);
  Get(server.url("/search?q=1"));
  Get(server.url("/private"));
  EXPECT_EQ(ReadDocument(client_.response().document.get()), "b");
  EXPECT_TRUE(store.entries().empty());
}

TEST(HttpCacheRulesTest, FreshnessFollowsMaxAgeThenExpiresThenLastModified) {
  HttpTransaction t;
  time_t now = 1700000000;
  EXPECT_EQ(HttpGetCacheState(t, now), HCS_NONE);
  t.response.setHeader(HH_DATE, HttpDate(now - 100));
  t.response.setHeader(HH_CACHE_CONTROL, "max-age=101");
  EXPECT_EQ(HttpGetCacheState(t, now), HCS_FRESH);
  t.response.setHeader(HH_AGE, "1");
  EXPECT_EQ(HttpGetCacheState(t, now), HCS_STALE);
  t.response.clearHeader(HH_CACHE_CONTROL);
  t.response.clearHeader(HH_AGE);
  t.response.setHeader(HH_EXPIRES, HttpDate(now + 10));
  EXPECT_EQ(HttpGetCacheState(t, now), HCS_FRESH);
  t.response.setHeader(HH_EXPIRES, HttpDate(now));
  EXPECT_EQ(HttpGetCacheState(t, now), HCS_STALE);
  t.response.clearHeader(HH_EXPIRES);
  t.response.setHeader(HH_LAST_MODIFIED, HttpDate(now - 100000));
  EXPECT_EQ(HttpGetCacheState(t, now), HCS_FRESH);
  t.response.clearHeader(HH_LAST_MODIFIED);
  EXPECT_EQ(HttpGetCacheState(t, now), HCS_STALE);
}

TEST(HttpCacheRulesTest, HugeAgesAndLifetimesAreCappedNotOverflowed) {
  HttpTransaction t;
  time_t now = 1700000000;
  t.response.setHeader(HH_DATE, HttpDate(now - 100));
  t.response.setHeader(HH_CACHE_CONTROL, "max-age=100000");
  t.response.setHeader(HH_AGE, "9223372036854775807");
  EXPECT_EQ(HttpGetCacheState(t, now), HCS_STALE);
  t.response.setHeader(HH_AGE, "99999999999999999999999");
  EXPECT_EQ(HttpGetCacheState(t, now), HCS_STALE);
  // Both capped at the same most: a lifetime that large never outlasts such an age.
  t.response.setHeader(HH_CACHE_CONTROL, "max-age=9223372036854775807");
  t.response.setHeader(HH_AGE, "9223372036854775807");
  EXPECT_EQ(HttpGetCacheState(t, now), HCS_STALE);
  t.response.setHeader(HH_AGE, "0");
  EXPECT_EQ(HttpGetCacheState(t, now), HCS_FRESH);
}

TEST(HttpCacheRulesTest, OnlyPlainGetsOfCacheableAnswersAreStored) {
  HttpTransaction t;
  t.request.verb = HV_GET;
  t.request.path = "/a";
  t.response.scode = 200;
  EXPECT_TRUE(HttpShouldCache(t));
  t.response.setHeader(HH_CONTENT_RANGE, "bytes 0-1/2");
  EXPECT_FALSE(HttpShouldCache(t));
  t.response.clearHeader(HH_CONTENT_RANGE);
  t.request.verb = HV_POST;
  EXPECT_FALSE(HttpShouldCache(t));
  t.request.verb = HV_GET;
  t.response.scode = 404;
  EXPECT_FALSE(HttpShouldCache(t));
  t.response.setHeader(HH_CACHE_CONTROL, "public");
  EXPECT_TRUE(HttpShouldCache(t));
  t.request.path = "/a?b";
  t.response.scode = 200;
  t.response.clearHeader(HH_CACHE_CONTROL);
  EXPECT_FALSE(HttpShouldCache(t));
  t.response.setHeader(HH_EXPIRES, HttpDate(1700000000));
  EXPECT_TRUE(HttpShouldCache(t));
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

TEST_F(HttpClientTest, BodyOfUnknownSizeIsRefusedWithAStreamError) {
  client_.prepare_get("http://127.0.0.1:9/");
  client_.request().setHeader(HH_TRANSFER_ENCODING, "chunked");
  client_.start();
  EXPECT_EQ(completion_.calls, 1);
  EXPECT_EQ(completion_.error, HE_STREAM);
}

TEST_F(HttpClientTest, ResetDuringNameLookupDropsTheLookupWithoutConnecting) {
  int starts = 0, destroyed = 0;
  client_.set_resolver_factory(
      [&] { return new FakeResolver(FakeResolver::kNever, &starts, &destroyed); });
  client_.prepare_get("http://gateway.invalid/");
  client_.start();
  EXPECT_EQ(starts, 1);
  client_.reset();
  EXPECT_EQ(destroyed, 1);
  EXPECT_EQ(completion_.calls, 0);
  EXPECT_TRUE(client_.request().path.empty());
}

TEST_F(HttpClientTest, ProxyChallengeWithoutAnswerIsDelivered) {
  SequenceServer server({
      "HTTP/1.0 407 Proxy Authentication Required\r\n"
      "Proxy-Authenticate: Basic realm=\"p\"\r\nContent-Length: 4\r\n\r\ndeny",
  });
  ASSERT_TRUE(server.Start());
  ProxyInfo proxy;
  proxy.type = PROXY_HTTPS;
  client_.set_proxy(proxy);
  Get(server.url("/via-proxy"));
  EXPECT_EQ(completion_.error, HE_NONE);
  EXPECT_EQ(client_.response().scode, 407u);
  auto requests = server.requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].rfind("GET " + server.url("/via-proxy") + " HTTP/1.0\r\n", 0), 0u)
      << requests[0];
  EXPECT_NE(requests[0].find("Proxy-Connection: Keep-Alive\r\n"), std::string::npos);
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

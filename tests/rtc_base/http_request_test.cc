// HTTP requests end to end, against nginx and against scripted loopback peers that answer as
// a broken or hostile server might; the client's cache and proxy answers, the connection pool
// and the socket factory under them.
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <future>
#include <string>

#include "gtest/gtest.h"
#include "http_request_test_util.h"
#include "http_test_server.h"
#include "log_capture.h"
#include "openssl_cli.h"
#include "proxy_peers.h"
#include "rtc_base/base/time_utils.h"
#include "rtc_base/fetch/async_http_request.h"
#include "rtc_base/fetch/ssl_socket_factory.h"
#include "rtc_base/http/http_client.h"
#include "rtc_base/net/physical_socket_server.h"
#include "rtc_base/net/socket_pool.h"
#include "rtc_base/proxy/socket_adapters.h"
#include "rtc_base/strings/base64.h"
#include "rtc_base/threads/thread.h"
#include "rtc_base/tls/openssl_identity.h"
#include "rtc_base/tls/ssl_roots.h"

namespace rtc {
namespace {

using testing::DrainQueue;
using testing::FakeResolver;
using testing::MakeProxy;
using testing::NewGet;
using testing::NewPost;
using testing::NginxServer;
using testing::Outcome;
using testing::PumpUntil;
using testing::ReadHttpRequest;
using testing::ScriptedServer;
using testing::SendText;
using testing::SocketOwner;

const char kJson[] =
    R"({"cType":2,"appId":"0123456789abcdef0123456789abcdef","uid":"u1","wss":false})";
const char kOk[] = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok";

std::string Loopback(int port, const std::string& path) {
  return "http://127.0.0.1:" + std::to_string(port) + path;
}

class AsyncHttpRequestTest : public ::testing::Test {
 protected:
  bool Run(AsyncHttpRequest* request, Outcome* outcome, int timeout_ms = 10000) {
    request->Start();
    return PumpUntil([&] { return outcome->done; }, timeout_ms);
  }
  // A request whose name lookup, should it make one, fails through the queue.
  AsyncHttpRequest* WithFailingLookup(AsyncHttpRequest* request) {
    request->client().set_resolver_factory(
        [this] { return new FakeResolver(FakeResolver::kFail, &lookups_, &lookups_done_); });
    return request;
  }

  PhysicalSocketServer ss_;
  AutoSocketServerThread thread_{&ss_};
  int lookups_ = 0;
  int lookups_done_ = 0;
};

TEST_F(AsyncHttpRequestTest, NginxAnswersAreDeliveredAndRedirectsFollowedWithinTheirLimits) {
  if (!NginxServer::Available()) {
    GTEST_SKIP() << "nginx-light with the echo module is not installed";
  }
  NginxServer nginx;
  std::string big;
  for (int i = 0; i < 200000; ++i) {
    big.push_back(static_cast<char>('a' + i % 26));
  }
  nginx.AddFile("big.txt", big);
  ASSERT_TRUE(nginx.Start());
  const struct {
    const char* path;
    bool post;
    HttpError error;
    uint32_t scode;
    std::string body;
    std::string location;
  } cases[] = {
      {"/echo", true, HE_NONE, 200, kJson, ""},  // echoed chunked
      {"/static/big.txt", false, HE_NONE, 200, big, ""},
      {"/close", false, HE_NONE, 200, "closed body", ""},
      // A 302 to a POST is delivered, a 303 is followed as a GET.
      {"/found", true, HE_NONE, 302, "", nginx.url("/static/small.txt")},
      {"/see-other", true, HE_NONE, 200, "small body\n", ""},
      {"/relative", false, HE_NONE, 200, "small body\n", ""},
      // Five redirects are followed, the sixth is delivered.
      {"/chain1", false, HE_NONE, 301, "", nginx.url("/chain7")},
      // A redirect to https is not followed in the clear.
      {"/to-https", false, HE_CONNECT_FAILED, 301, "", ""},
  };
  for (const auto& c : cases) {
    Outcome outcome;
    ASSERT_TRUE(Run(
        c.post ? NewPost(nginx.url(c.path), kJson, &outcome) : NewGet(nginx.url(c.path), &outcome),
        &outcome))
        << c.path;
    EXPECT_EQ(c.error, outcome.error) << c.path;
    EXPECT_EQ(c.scode, outcome.scode) << c.path;
    if (c.scode == 200) {
      EXPECT_EQ(c.body, outcome.body) << c.path;
    }
    if (!c.location.empty()) {
      EXPECT_EQ(c.location, outcome.location) << c.path;
    }
    EXPECT_EQ(1, outcome.calls) << c.path;
  }
  // "localhost" comes from the hosts file; nginx listens on IPv4 only.
  Outcome by_name;
  AsyncHttpRequest* request = NewPost(nginx.url("/echo"), kJson, &by_name);
  request->set_host("localhost");
  ASSERT_TRUE(Run(request, &by_name));
  EXPECT_EQ(kJson, by_name.body);
}

// One connection whose answer is `answer`, then `forever` sent until the client goes, then
// either held open or closed.
struct Script {
  const char* what;
  std::string answer;
  std::string forever;
  HttpError error;
  std::string body;
  size_t max_body = kHttpMaxBodySize;
  HttpVerb verb = HV_POST;
  bool trickle = false;
};

std::string Repeat(const std::string& text, size_t times) {
  std::string all;
  for (size_t i = 0; i < times; ++i) {
    all += text;
  }
  return all;
}

TEST_F(AsyncHttpRequestTest, HostileAnswersEndOnceWithTheirError) {
  const std::string interim = "HTTP/1.1 100 Continue\r\n\r\n";
  const std::string final_answer = "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nfinal";
  const std::string chunked = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n";
  auto header_line = [](size_t size) {
    return "HTTP/1.1 200 OK\r\nX-Big: " + std::string(size - 9, 'f') +
           "\r\nContent-Length: 2\r\n\r\nok";
  };
  const Script scripts[] = {
      {"interims up to the limit", Repeat(interim, HttpClient::kMaxInterimResponses) + final_answer,
       "", HE_NONE, "final"},
      {"one interim too many", Repeat(interim, HttpClient::kMaxInterimResponses + 1) + final_answer,
       "", HE_PROTOCOL, ""},
      {"endless interims", "", interim, HE_PROTOCOL, ""},
      {"endless body", "HTTP/1.1 200 OK\r\n\r\n", std::string(16384, 'b'), HE_OVERFLOW, "", 300000},
      {"endless chunks", chunked, "3\r\nabc\r\n", HE_OVERFLOW, "", 100000},
      {"endless headers", "HTTP/1.1 200 OK\r\n", "X-More: yes\r\n", HE_OVERFLOW, ""},
      {"endless trailers", chunked + "2\r\nok\r\n0\r\n", "X-Trailer: more\r\n", HE_OVERFLOW, ""},
      {"header line filling the buffer", header_line(HttpBase::kBufferSize), "", HE_NONE, "ok"},
      {"header line one byte longer", header_line(HttpBase::kBufferSize + 1), "", HE_OVERFLOW, ""},
      {"huge announced body", "HTTP/1.1 200 OK\r\nContent-Length: 4000000000\r\n\r\nabc", "",
       HE_OVERFLOW, ""},
      // Answers that carry no body whatever they announce end at their headers, though the
      // server keeps the connection open.
      {"chunked 204", "HTTP/1.1 204 No Content\r\nTransfer-Encoding: chunked\r\n\r\n", "", HE_NONE,
       ""},
      {"204 with a length", "HTTP/1.1 204 No Content\r\nContent-Length: 5\r\n\r\n", "", HE_NONE,
       ""},
      {"304 with a length", "HTTP/1.1 304 Not Modified\r\nContent-Length: 5\r\n\r\n", "", HE_NONE,
       ""},
      {"HEAD announcing a huge body", "HTTP/1.1 200 OK\r\nContent-Length: 50000000000\r\n\r\n", "",
       HE_NONE, "", kHttpMaxBodySize, HV_HEAD},
      {"one byte at a time", chunked + "4\r\nwiki\r\n5;x=y\r\npedia\r\n0\r\nX-T: t\r\n\r\n", "",
       HE_NONE, "wikipedia", kHttpMaxBodySize, HV_POST, true},
  };
  for (const Script& s : scripts) {
    ScriptedServer server([&](int fd, int) {
      std::string request;
      ReadHttpRequest(fd, &request);
      int one = 1;
      setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
      for (size_t i = 0; s.trickle && i < s.answer.size(); ++i) {
        if (!SendText(fd, s.answer.substr(i, 1))) {
          return;
        }
      }
      if (!s.trickle && !SendText(fd, s.answer)) {
        return;
      }
      for (size_t sent = 0; !s.forever.empty() && sent < (256u << 20) && SendText(fd, s.forever);
           sent += s.forever.size()) {
      }
      server.WaitForStop(fd);
    });
    ASSERT_TRUE(server.Start());
    Outcome outcome;
    AsyncHttpRequest* request =
        WithFailingLookup(NewPost(Loopback(server.port(), "/"), "{}", &outcome));
    request->request().verb = s.verb;
    request->client().set_max_body_size(s.max_body);
    ASSERT_TRUE(Run(request, &outcome)) << s.what;
    EXPECT_EQ(s.error, outcome.error) << s.what;
    if (s.error == HE_NONE) {
      EXPECT_EQ(s.body, outcome.body) << s.what;
    }
    EXPECT_LE(outcome.body.size(), s.max_body) << s.what;
    EXPECT_EQ(1, outcome.calls) << s.what;
    server.Stop();
  }
  EXPECT_EQ(0, lookups_);
}

TEST_F(AsyncHttpRequestTest, PostSendsHeadersInOrderWithTheBodyInTheSameSegment) {
  std::string first_segment;
  ScriptedServer server([&](int fd, int) {
    char buf[4096];
    ssize_t n = recv(fd, buf, sizeof(buf), 0);
    first_segment.assign(buf, n > 0 ? n : 0);
    SendText(fd, kOk);
  });
  ASSERT_TRUE(server.Start());
  std::string body(120, 'j');
  Outcome outcome;
  ASSERT_TRUE(Run(NewPost(Loopback(server.port(), "/vyapi/v1?action=wrtm_gateway"), body, &outcome),
                  &outcome));
  server.Stop();
  EXPECT_EQ("ok", outcome.body);
  EXPECT_EQ(
      "POST /vyapi/v1?action=wrtm_gateway HTTP/1.1\r\n"
      "Connection: Keep-Alive\r\n"
      "Content-Length: 120\r\n"
      "Content-Type: application/x-www-form-urlencoded\r\n"
      "Host: 127.0.0.1:" +
          std::to_string(server.port()) +
          "\r\n"
          "User-Agent: ZODEvo\r\n"
          "\r\n" +
          body,
      first_segment);
}

// A connection closed before any answer is tried once more with the same request; one that
// closes after its status line, or twice without an answer, is not.
TEST_F(AsyncHttpRequestTest, CloseWithoutAnAnswerIsRetriedOnce) {
  const struct {
    const char* what;
    std::string second_answer;
    std::string first_answer;
    HttpError error;
  } cases[] = {
      {"answered on the retry", kOk, "", HE_NONE},
      {"closed twice", "", "", HE_DISCONNECTED},
      {"closed after the status line", kOk,
       "HTTP/1.1 500 Internal Server Error\r\nContent-Length: 10\r\n\r\nabc", HE_DISCONNECTED},
  };
  for (const auto& c : cases) {
    ScriptedServer server([&](int fd, int index) {
      std::string request;
      ReadHttpRequest(fd, &request);
      server.Record(request);
      SendText(fd, index == 0 ? c.first_answer : c.second_answer);
    });
    ASSERT_TRUE(server.Start());
    Outcome outcome;
    ASSERT_TRUE(Run(NewPost(Loopback(server.port(), "/"), kJson, &outcome), &outcome));
    EXPECT_EQ(c.error, outcome.error) << c.what;
    auto requests = server.requests();
    ASSERT_EQ(c.first_answer.empty() ? 2u : 1u, requests.size()) << c.what;
    EXPECT_EQ(requests.front(), requests.back()) << c.what;
    server.Stop();
  }
  Outcome refused;
  ASSERT_TRUE(
      Run(NewPost(Loopback(testing::UnusedLoopbackPort(), "/"), kJson, &refused), &refused));
  EXPECT_EQ(HE_CONNECT_FAILED, refused.error);
}

TEST_F(AsyncHttpRequestTest, KeptAliveRedirectToTheSameServerReusesTheConnection) {
  ScriptedServer server([&](int fd, int) {
    std::string request;
    while (ReadHttpRequest(fd, &request)) {
      server.Record(request);
      if (request.rfind("GET /next ", 0) == 0) {
        SendText(fd, kOk);
        server.WaitForStop(fd);
        return;
      } else if (!SendText(fd,
                           "HTTP/1.1 301 Moved\r\nLocation: /next\r\nContent-Length: 3\r\n"
                           "\r\nxyz")) {
        return;
      }
    }
  });
  ASSERT_TRUE(server.Start());
  Outcome outcome;
  ASSERT_TRUE(Run(NewGet(Loopback(server.port(), "/first"), &outcome), &outcome));
  EXPECT_EQ("ok", outcome.body);
  EXPECT_EQ(1, server.accepted());
  EXPECT_EQ(2u, server.requests().size());
}

TEST_F(AsyncHttpRequestTest, SeeOtherToAnotherServerSendsABodilessGetWithTheNewHost) {
  ScriptedServer target([&](int fd, int) {
    std::string request;
    ReadHttpRequest(fd, &request);
    target.Record(request);
    SendText(fd, kOk);
  });
  ASSERT_TRUE(target.Start());
  ScriptedServer origin([&](int fd, int) {
    std::string request;
    ReadHttpRequest(fd, &request);
    SendText(fd, "HTTP/1.1 303 See Other\r\nLocation: " + Loopback(target.port(), "/there") +
                     "\r\nContent-Length: 0\r\n\r\n");
    origin.WaitForStop(fd);
  });
  ASSERT_TRUE(origin.Start());
  Outcome outcome;
  ASSERT_TRUE(Run(NewPost(Loopback(origin.port(), "/here"), kJson, &outcome), &outcome));
  EXPECT_EQ("ok", outcome.body);
  auto requests = target.requests();
  ASSERT_EQ(1u, requests.size());
  EXPECT_EQ(0u, requests[0].rfind("GET /there HTTP/1.1\r\n", 0)) << requests[0];
  EXPECT_NE(std::string::npos,
            requests[0].find("Host: 127.0.0.1:" + std::to_string(target.port()) + "\r\n"));
  EXPECT_EQ(std::string::npos, requests[0].find("Content-Type")) << requests[0];
  EXPECT_NE(std::string::npos, requests[0].find("Content-Length: 0\r\n")) << requests[0];
}

TEST_F(AsyncHttpRequestTest, SilentServerAndSlowLookupTimeOutOnTheClock) {
  ScopedFakeClock clock;
  ScriptedServer server([&](int fd, int) { server.RecordAndHold(fd); });
  ASSERT_TRUE(server.Start());
  Outcome silent;
  NewPost(Loopback(server.port(), "/"), kJson, &silent, 3000)->Start();
  ASSERT_TRUE(PumpUntil([&] { return server.requests().size() == 1; }));
  clock.AdvanceTime(2999);
  ASSERT_TRUE(DrainQueue());
  EXPECT_FALSE(silent.done);
  clock.AdvanceTime(1);
  ASSERT_TRUE(PumpUntil([&] { return silent.done; }));
  EXPECT_EQ(HE_OPERATION_CANCELLED, silent.error);
  EXPECT_FALSE(silent.had_document);

  int starts = 0, destroyed = 0;
  Outcome slow;
  AsyncHttpRequest* request = NewPost("http://gateway.invalid:7080/", kJson, &slow, 3000);
  request->client().set_resolver_factory(
      [&] { return new FakeResolver(FakeResolver::kNever, &starts, &destroyed); });
  request->Start();
  ASSERT_TRUE(PumpUntil([&] { return starts == 1; }));
  clock.AdvanceTime(3000);
  ASSERT_TRUE(PumpUntil([&] { return slow.done; }));
  EXPECT_EQ(HE_OPERATION_CANCELLED, slow.error);
  // The lookup is dropped with the request, not left to start a connection later.
  EXPECT_EQ(1, destroyed);
}

TEST_F(AsyncHttpRequestTest, NameThatDoesNotResolveIsLookedUpAgainOnTheRetry) {
  Outcome outcome;
  ASSERT_TRUE(
      Run(WithFailingLookup(NewPost("http://gateway.invalid:7080/", kJson, &outcome)), &outcome));
  EXPECT_EQ(HE_CONNECT_FAILED, outcome.error);
  EXPECT_EQ(2, lookups_);
  EXPECT_EQ(2, lookups_done_);
}

// A delayed request starts at its time; one destroyed before or while it runs reports nothing.
TEST_F(AsyncHttpRequestTest, DelayedAndDestroyedRequests) {
  ScopedFakeClock clock;
  Outcome delayed, dropped;
  AsyncHttpRequest* first =
      WithFailingLookup(NewPost("http://gateway.invalid:7080/", kJson, &delayed, 3000));
  first->set_start_delay(2000);
  first->Start();
  int dropped_lookups = 0, dropped_done = 0;
  AsyncHttpRequest* second = NewPost("http://gateway.invalid:7080/", kJson, &dropped, 3000);
  second->client().set_resolver_factory(
      [&] { return new FakeResolver(FakeResolver::kNever, &dropped_lookups, &dropped_done); });
  second->set_start_delay(2000);
  second->Start();
  ASSERT_TRUE(DrainQueue());
  second->Destroy(false);
  clock.AdvanceTime(1999);
  ASSERT_TRUE(DrainQueue());
  EXPECT_EQ(0, lookups_);
  clock.AdvanceTime(1);
  ASSERT_TRUE(PumpUntil([&] { return delayed.done; }));
  EXPECT_EQ(HE_CONNECT_FAILED, delayed.error);
  // Past the time-out the destroyed one would have had, it has still said nothing.
  clock.AdvanceTime(3000);
  ASSERT_TRUE(DrainQueue());
  EXPECT_EQ(0, dropped.calls);

  ScriptedServer server([&](int fd, int) { server.RecordAndHold(fd); });
  ASSERT_TRUE(server.Start());
  Outcome running;
  AsyncHttpRequest* request = NewPost(Loopback(server.port(), "/"), kJson, &running);
  request->Start();
  ASSERT_TRUE(PumpUntil([&] { return server.requests().size() == 1; }));
  request->Destroy(true);
  ASSERT_TRUE(DrainQueue());
  EXPECT_EQ(0, running.calls);
}

class SocketPoolTest : public ::testing::Test {
 protected:
  PhysicalSocketServer ss_;
  AutoSocketServerThread thread_{&ss_};
};

// One stream, lent out once at a time, kept open for its address, reconnected for another
// address and closed when it turns readable while idle.
TEST_F(SocketPoolTest, ReusePoolLendsOneStreamAndReconnectsItWhenItMust) {
  std::promise<void> poke;
  std::shared_future<void> poked = poke.get_future().share();
  ScriptedServer one([&](int fd, int index) {
    if (index == 0) {
      poked.wait();
      SendText(fd, "unexpected");
    }
    one.WaitForStop(fd);
  });
  ScriptedServer two([&](int fd, int) { two.WaitForStop(fd); });
  ASSERT_TRUE(one.Start() && two.Start());
  const SocketAddress first("127.0.0.1", one.port()), second("127.0.0.1", two.port());
  ReuseSocketPool pool(&ss_);
  int err = -5;
  StreamInterface* stream = pool.RequestConnectedStream(first, &err);
  ASSERT_TRUE(stream);
  EXPECT_EQ(0, err);
  ASSERT_TRUE(PumpUntil([&] { return stream->GetState() == SS_OPEN && one.accepted() == 1; }));
  EXPECT_EQ(nullptr, pool.RequestConnectedStream(first, &err));
  EXPECT_EQ(EBUSY, err);
  pool.ReturnConnectedStream(stream);
  EXPECT_EQ(stream, pool.RequestConnectedStream(first, &err));
  EXPECT_EQ(SS_OPEN, stream->GetState());
  pool.ReturnConnectedStream(stream);

  // A write event alone changes nothing; data on an idle stream closes it.
  stream->SignalEvent(stream, SE_WRITE, 0);
  EXPECT_EQ(SS_OPEN, stream->GetState());
  poke.set_value();
  ASSERT_TRUE(PumpUntil([&] { return stream->GetState() == SS_CLOSED; }));
  EXPECT_EQ(stream, pool.RequestConnectedStream(first, &err));
  ASSERT_TRUE(PumpUntil([&] { return stream->GetState() == SS_OPEN && one.accepted() == 2; }));
  pool.ReturnConnectedStream(stream);

  EXPECT_EQ(stream, pool.RequestConnectedStream(second, &err));
  ASSERT_TRUE(PumpUntil([&] { return stream->GetState() == SS_OPEN && two.accepted() == 1; }));
  pool.ReturnConnectedStream(stream);
  // Only the connections counted above were made.
  EXPECT_EQ(2, one.accepted());
}

// A proxy that takes any CONNECT, after a Basic challenge when it carries no answer.
ScriptedServer::Handler ConnectProxy(ScriptedServer* self) {
  return [self](int fd, int) {
    std::string request;
    while (ReadHttpRequest(fd, &request)) {
      self->Record(request);
      if (request.find("Proxy-Authorization") == std::string::npos) {
        SendText(fd,
                 "HTTP/1.0 407 Denied\r\nProxy-Authenticate: Basic realm=p\r\n"
                 "Proxy-Connection: Keep-Alive\r\nContent-Length: 0\r\n\r\n");
        continue;
      }
      SendText(fd, "HTTP/1.0 200 OK\r\n\r\n");
      testing::Echo(fd);
      return;
    }
  };
}

class SslSocketFactoryTest : public ::testing::Test {
 protected:
  PhysicalSocketServer ss_;
  AutoSocketServerThread thread_{&ss_};
  SslSocketFactory factory_{&ss_, "agent"};
  CapturingSink log_;
};

TEST_F(SslSocketFactoryTest, NoLogLineHoldsTheProxyPasswordInTextOrHexMode) {
  const std::string password = "hunter2";
  const std::string basic = Base64::Encode("user:" + password);
  for (bool hex : {false, true}) {
    ScriptedServer proxy([&](int fd, int index) { ConnectProxy (&proxy)(fd, index); });
    ASSERT_TRUE(proxy.Start());
    factory_.SetLogging(LS_INFO, "wire", hex);
    factory_.SetProxy(MakeProxy(PROXY_HTTPS, proxy.port(), "user", password));
    SocketOwner owner(factory_.CreateAsyncSocket(AF_INET, SOCK_STREAM));
    owner.socket->Connect(SocketAddress("127.0.0.1", 4321));
    ASSERT_TRUE(PumpUntil([&] { return owner.connected() || owner.closed(); }));
    ASSERT_TRUE(owner.connected()) << hex;
    ASSERT_TRUE(owner.Send("tunnel data"));
    ASSERT_TRUE(PumpUntil([&] { return owner.received == "tunnel data"; }));
    auto requests = proxy.requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_NE(requests[1].find(basic), std::string::npos);
  }
  EXPECT_TRUE(log_.Contains("[wire] >> tunnel data"));
  EXPECT_TRUE(log_.Contains("no hex logging for wire"));
  EXPECT_FALSE(log_.Contains(password));
  // A hex dump would cut the answer across its lines: no piece of it, nor of the request
  // carrying it, may show.
  EXPECT_FALSE(log_.Contains(basic.substr(0, 8)));
  EXPECT_FALSE(log_.Contains("[wire] >> CONNECT"));
}

// A request over TLS to nginx with a certificate from a CA made here, which the request
// trusts through the process-wide roots. (What is refused is OpenSSLAdapterTest's.)
TEST(SslSocketFactoryRequestTest, SecureRequestFetchesFromATlsServer) {
  if (!testing::NginxServer::Available()) {
    GTEST_SKIP() << "nginx-light with the echo module is not installed";
  }
  testing::TestCa ca;
  ASSERT_TRUE(ca.Init());
  ASSERT_TRUE(ca.Issue({"localhost", {"DNS:localhost", "IP:127.0.0.1"}}));
  std::string ca_der;
  ASSERT_TRUE(SSLIdentity::PemToDer("CERTIFICATE", ca.ca_pem(), &ca_der));
  testing::NginxServer nginx;
  nginx.UseTls(ca.dir().File("localhost.pem"), ca.dir().File("localhost.key"));
  nginx.AddFile("tls.txt", "over tls\n");
  ASSERT_TRUE(nginx.Start());
  ASSERT_EQ(nginx.url("/").substr(0, 8), "https://");

  PhysicalSocketServer ss;
  AutoSocketServerThread thread(&ss);
  SetSSLRootCertificates({ca_der});
  testing::Outcome outcome;
  AsyncHttpRequest* request = testing::NewGet(nginx.url("/static/tls.txt"), &outcome);
  request->set_secure(true);
  request->Start();
  ASSERT_TRUE(testing::PumpUntil([&] { return outcome.done; }));
  UseSystemSSLRootCertificates();
  EXPECT_EQ(outcome.error, HE_NONE);
  EXPECT_EQ(outcome.scode, 200u);
  EXPECT_EQ(outcome.body, "over tls\n");
}

}  // namespace
}  // namespace rtc

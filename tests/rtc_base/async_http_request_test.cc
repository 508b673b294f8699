// The asynchronous HTTP request end to end, against nginx and against scripted loopback peers
// that answer as a broken or hostile server might.
#include "rtc_base/async_http_request.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <memory>
#include <string>

#include "gtest/gtest.h"
#include "http_request_test_util.h"
#include "http_test_server.h"
#include "rtc_base/event.h"
#include "rtc_base/fake_clock.h"
#include "rtc_base/null_socket_server.h"
#include "rtc_base/physical_socket_server.h"
#include "rtc_base/thread.h"

namespace rtc {
namespace {

using testing::DrainQueue;
using testing::FakeResolver;
using testing::NewGet;
using testing::NewPost;
using testing::NginxServer;
using testing::Outcome;
using testing::PumpUntil;
using testing::ReadHttpRequest;
using testing::ScriptedServer;
using testing::SendText;

const char kJson[] = R"({"cType":2,"appId":"0123456789abcdef0123456789abcdef","uid":"u1","wss":false})";
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
    ASSERT_TRUE(Run(c.post ? NewPost(nginx.url(c.path), kJson, &outcome)
                           : NewGet(nginx.url(c.path), &outcome),
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
      {"interims up to the limit", Repeat(interim, HttpClient::kMaxInterimResponses) +
       final_answer, "", HE_NONE, "final"},
      {"one interim too many", Repeat(interim, HttpClient::kMaxInterimResponses + 1) +
       final_answer, "", HE_PROTOCOL, ""},
      {"endless interims", "", interim, HE_PROTOCOL, ""},
      {"endless body", "HTTP/1.1 200 OK\r\n\r\n", std::string(16384, 'b'), HE_OVERFLOW, "",
       300000},
      {"endless chunks", chunked, "3\r\nabc\r\n", HE_OVERFLOW, "", 100000},
      {"endless headers", "HTTP/1.1 200 OK\r\n", "X-More: yes\r\n", HE_OVERFLOW, ""},
      {"endless trailers", chunked + "2\r\nok\r\n0\r\n", "X-Trailer: more\r\n", HE_OVERFLOW, ""},
      {"header line filling the buffer", header_line(HttpBase::kBufferSize), "", HE_NONE, "ok"},
      {"header line one byte longer", header_line(HttpBase::kBufferSize + 1), "", HE_OVERFLOW,
       ""},
      {"huge announced body", "HTTP/1.1 200 OK\r\nContent-Length: 4000000000\r\n\r\nabc", "",
       HE_OVERFLOW, ""},
      {"chunked 204", "HTTP/1.1 204 No Content\r\nTransfer-Encoding: chunked\r\n\r\n", "",
       HE_NONE, ""},
      {"HEAD announcing a huge body", "HTTP/1.1 200 OK\r\nContent-Length: 50000000000\r\n\r\n",
       "", HE_NONE, "", kHttpMaxBodySize, HV_HEAD},
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
      for (size_t sent = 0; !s.forever.empty() && sent < (256u << 20) &&
                            SendText(fd, s.forever);
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
  ASSERT_TRUE(Run(NewPost(Loopback(server.port(), "/vyapi/v1?action=wrtm_gateway"), body,
                          &outcome),
                  &outcome));
  server.Stop();
  EXPECT_EQ("ok", outcome.body);
  EXPECT_EQ("POST /vyapi/v1?action=wrtm_gateway HTTP/1.1\r\n"
            "Connection: Keep-Alive\r\n"
            "Content-Length: 120\r\n"
            "Content-Type: application/x-www-form-urlencoded\r\n"
            "Host: 127.0.0.1:" + std::to_string(server.port()) + "\r\n"
            "User-Agent: ZODEvo\r\n"
            "\r\n" + body,
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
  ASSERT_TRUE(Run(NewPost(Loopback(testing::UnusedLoopbackPort(), "/"), kJson, &refused),
                  &refused));
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
      } else if (!SendText(fd, "HTTP/1.1 301 Moved\r\nLocation: /next\r\nContent-Length: 3\r\n"
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
  ScriptedServer server([&](int fd, int) {
    std::string request;
    ReadHttpRequest(fd, &request);
    server.Record(request);
    server.WaitForStop(fd);
  });
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
  ASSERT_TRUE(Run(WithFailingLookup(NewPost("http://gateway.invalid:7080/", kJson, &outcome)),
                  &outcome));
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

  ScriptedServer server([&](int fd, int) {
    std::string request;
    ReadHttpRequest(fd, &request);
    server.Record(request);
    server.WaitForStop(fd);
  });
  ASSERT_TRUE(server.Start());
  Outcome running;
  AsyncHttpRequest* request = NewPost(Loopback(server.port(), "/"), kJson, &running);
  request->Start();
  ASSERT_TRUE(PumpUntil([&] { return server.requests().size() == 1; }));
  request->Destroy(true);
  ASSERT_TRUE(DrainQueue());
  EXPECT_EQ(0, running.calls);
}

TEST(AsyncHttpRequestNoSocketsTest, FactoryWithoutSocketsStillBringsWorkDone) {
  NullSocketServer ss;
  AutoSocketServerThread thread(&ss);
  Outcome outcome;
  NewPost("http://127.0.0.1:7080/", kJson, &outcome)->Start();
  ASSERT_TRUE(PumpUntil([&] { return outcome.done; }));
  EXPECT_EQ(HE_CONNECT_FAILED, outcome.error);
  EXPECT_EQ(1, outcome.calls);
}

TEST(AsyncHttpRequestStandaloneTest, CompletesOnTheThreadThatStartedIt) {
  if (!NginxServer::Available()) {
    GTEST_SKIP() << "nginx-light with the echo module is not installed";
  }
  NginxServer nginx;
  ASSERT_TRUE(nginx.Start());
  // A runtime thread of its own runs the request; the test only waits for the result.
  auto worker = Thread::CreateWithSocketServer();
  ASSERT_TRUE(worker->Start());
  struct Result : public sigslot::has_slots<> {
    Event done;
    bool on_worker = false;
    HttpError error = HE_DEFAULT;
    std::string body;
    Thread* expected = nullptr;
    void OnDone(SignalThread* thread) {
      auto* request = static_cast<AsyncHttpRequest*>(thread);
      on_worker = Thread::Current() == expected;
      error = request->error();
      body = testing::ReadDocument(request->response().document.get());
      request->Release();
      done.Set();
    }
  } result;
  result.expected = worker.get();
  worker->Invoke<void>(RTC_FROM_HERE, [&] {
    Outcome unused;
    AsyncHttpRequest* request = NewPost(nginx.url("/echo"), kJson, &unused);
    request->SignalWorkDone.disconnect_all();
    request->SignalWorkDone.connect(&result, &decltype(result)::OnDone);
    request->Start();
  });
  ASSERT_TRUE(result.done.Wait(10000));
  worker->Stop();
  EXPECT_TRUE(result.on_worker);
  EXPECT_EQ(HE_NONE, result.error);
  EXPECT_EQ(kJson, result.body);
}

}  // namespace
}  // namespace rtc

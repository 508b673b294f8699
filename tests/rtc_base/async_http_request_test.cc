// The asynchronous HTTP request end to end, against nginx and scripted peers on loopback.
#include "rtc_base/async_http_request.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <memory>
#include <string>

#include "gtest/gtest.h"
#include "http_request_test_util.h"
#include "http_test_server.h"
#include "rtc_base/fake_clock.h"
#include "rtc_base/null_socket_server.h"
#include "rtc_base/physical_socket_server.h"
#include "rtc_base/thread.h"

namespace rtc {
namespace {

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

std::string Loopback(int port, const std::string& path) {
  return "http://127.0.0.1:" + std::to_string(port) + path;
}

class AsyncHttpRequestTest : public ::testing::Test {
 protected:
  bool Run(AsyncHttpRequest* request, Outcome* outcome, int timeout_ms = 10000) {
    request->Start();
    return PumpUntil([&] { return outcome->done; }, timeout_ms);
  }

  PhysicalSocketServer ss_;
  AutoSocketServerThread thread_{&ss_};
};

class AsyncHttpRequestNginxTest : public AsyncHttpRequestTest {
 protected:
  void SetUp() override {
    if (!NginxServer::Available()) {
      GTEST_SKIP() << "nginx-light with the echo module is not installed";
    }
    std::string big;
    for (int i = 0; i < 200000; ++i) {
      big.push_back(static_cast<char>('a' + i % 26));
    }
    big_ = big;
    nginx_.AddFile("big.txt", big_);
    ASSERT_TRUE(nginx_.Start());
  }

  NginxServer nginx_;
  std::string big_;
};

TEST_F(AsyncHttpRequestNginxTest, PostWithJsonBodyGetsItEchoedInAChunkedResponse) {
  Outcome outcome;
  ASSERT_TRUE(Run(NewPost(nginx_.url("/echo"), kJson, &outcome), &outcome));
  EXPECT_EQ(outcome.error, HE_NONE);
  EXPECT_EQ(outcome.scode, 200u);
  EXPECT_EQ(outcome.body, kJson);
  EXPECT_EQ(outcome.calls, 1);
}

TEST_F(AsyncHttpRequestNginxTest, PostByHostNameResolvesAndSucceeds) {
  Outcome outcome;
  AsyncHttpRequest* request = NewPost(nginx_.url("/echo"), kJson, &outcome);
  // "localhost" comes from the hosts file; nginx listens on IPv4 only, so the lookup must
  // give the IPv4 loopback here.
  request->set_host("localhost");
  ASSERT_TRUE(Run(request, &outcome));
  EXPECT_EQ(outcome.error, HE_NONE);
  EXPECT_EQ(outcome.body, kJson);
}

TEST_F(AsyncHttpRequestNginxTest, LengthDelimitedBodyArrivesWhole) {
  Outcome outcome;
  ASSERT_TRUE(Run(NewGet(nginx_.url("/static/big.txt"), &outcome), &outcome));
  EXPECT_EQ(outcome.error, HE_NONE);
  EXPECT_EQ(outcome.scode, 200u);
  EXPECT_EQ(outcome.body, big_);
}

TEST_F(AsyncHttpRequestNginxTest, BodyEndingWithTheConnectionArrivesWhole) {
  Outcome outcome;
  ASSERT_TRUE(Run(NewGet(nginx_.url("/close"), &outcome), &outcome));
  EXPECT_EQ(outcome.error, HE_NONE);
  EXPECT_EQ(outcome.body, "closed body");
}

TEST_F(AsyncHttpRequestNginxTest, FoundAnswerToAPostIsDeliveredNotFollowed) {
  Outcome outcome;
  ASSERT_TRUE(Run(NewPost(nginx_.url("/found"), kJson, &outcome), &outcome));
  EXPECT_EQ(outcome.error, HE_NONE);
  EXPECT_EQ(outcome.scode, 302u);
  EXPECT_EQ(outcome.redirect, nginx_.url("/static/small.txt"));
}

TEST_F(AsyncHttpRequestNginxTest, SeeOtherAnswerToAPostIsFollowedAsAGet) {
  Outcome outcome;
  ASSERT_TRUE(Run(NewPost(nginx_.url("/see-other"), kJson, &outcome), &outcome));
  EXPECT_EQ(outcome.error, HE_NONE);
  EXPECT_EQ(outcome.scode, 200u);
  EXPECT_EQ(outcome.body, "small body\n");
}

TEST_F(AsyncHttpRequestNginxTest, FiveRedirectsAreFollowedAndTheSixthIsDelivered) {
  Outcome outcome;
  ASSERT_TRUE(Run(NewGet(nginx_.url("/chain1"), &outcome), &outcome));
  EXPECT_EQ(outcome.error, HE_NONE);
  EXPECT_EQ(outcome.scode, 301u);
  EXPECT_EQ(outcome.location, nginx_.url("/chain7"));
}

TEST_F(AsyncHttpRequestNginxTest, RelativeLocationIsResolvedAgainstTheRequest) {
  Outcome outcome;
  ASSERT_TRUE(Run(NewGet(nginx_.url("/relative"), &outcome), &outcome));
  EXPECT_EQ(outcome.error, HE_NONE);
  EXPECT_EQ(outcome.scode, 200u);
  EXPECT_EQ(outcome.body, "small body\n");
}

TEST_F(AsyncHttpRequestNginxTest, RedirectToHttpsIsNotFollowedInTheClear) {
  Outcome outcome;
  ASSERT_TRUE(Run(NewGet(nginx_.url("/to-https"), &outcome), &outcome));
  EXPECT_EQ(outcome.error, HE_CONNECT_FAILED);
  EXPECT_EQ(outcome.scode, 301u);
}

TEST_F(AsyncHttpRequestTest, PostSendsHeadersInOrderWithTheBodyInTheSameSegment) {
  std::string first_segment;
  ScriptedServer server([&](int fd, int) {
    std::string request;
    char buf[4096];
    ssize_t n = recv(fd, buf, sizeof(buf), 0);
    if (n > 0) {
      first_segment.assign(buf, n);
    }
    server.Record(first_segment);
    SendText(fd, "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok");
  });
  ASSERT_TRUE(server.Start());
  std::string body(120, 'j');
  Outcome outcome;
  ASSERT_TRUE(Run(NewPost(Loopback(server.port(), "/vyapi/v1?action=wrtm_gateway"), body,
                          &outcome),
                  &outcome));
  server.Stop();
  EXPECT_EQ(outcome.error, HE_NONE);
  EXPECT_EQ(outcome.body, "ok");
  std::string expected = "POST /vyapi/v1?action=wrtm_gateway HTTP/1.1\r\n"
                         "Connection: Keep-Alive\r\n"
                         "Content-Length: 120\r\n"
                         "Content-Type: application/x-www-form-urlencoded\r\n"
                         "Host: 127.0.0.1:" + std::to_string(server.port()) + "\r\n"
                         "User-Agent: ZODEvo\r\n"
                         "\r\n" + body;
  EXPECT_EQ(first_segment, expected);
}

TEST_F(AsyncHttpRequestTest, InterimResponseAndFinalResponseInOneSegmentDeliverTheFinal) {
  ScriptedServer server([&](int fd, int) {
    std::string request;
    ReadHttpRequest(fd, &request);
    SendText(fd,
             "HTTP/1.1 100 Continue\r\n\r\n"
             "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nfinal");
    server.WaitForStop(fd);
  });
  ASSERT_TRUE(server.Start());
  Outcome outcome;
  ASSERT_TRUE(Run(NewPost(Loopback(server.port(), "/"), kJson, &outcome), &outcome));
  EXPECT_EQ(outcome.error, HE_NONE);
  EXPECT_EQ(outcome.scode, 200u);
  EXPECT_EQ(outcome.body, "final");
}

TEST_F(AsyncHttpRequestTest, ConnectionClosedWithoutAnswerIsRetriedOnceWithTheSameBody) {
  ScriptedServer server([&](int fd, int index) {
    std::string request;
    ReadHttpRequest(fd, &request);
    server.Record(request);
    if (index > 0) {
      SendText(fd, "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok");
      server.WaitForStop(fd);
    }
  });
  ASSERT_TRUE(server.Start());
  Outcome outcome;
  ASSERT_TRUE(Run(NewPost(Loopback(server.port(), "/"), kJson, &outcome), &outcome));
  EXPECT_EQ(outcome.error, HE_NONE);
  EXPECT_EQ(outcome.body, "ok");
  EXPECT_EQ(server.accepted(), 2);
  auto requests = server.requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0], requests[1]);
  EXPECT_NE(requests[1].find(kJson), std::string::npos);
}

TEST_F(AsyncHttpRequestTest, SecondCloseWithoutAnswerEndsWithDisconnected) {
  ScriptedServer server([&](int fd, int) {
    std::string request;
    ReadHttpRequest(fd, &request);
  });
  ASSERT_TRUE(server.Start());
  Outcome outcome;
  ASSERT_TRUE(Run(NewPost(Loopback(server.port(), "/"), kJson, &outcome), &outcome));
  EXPECT_EQ(outcome.error, HE_DISCONNECTED);
  EXPECT_EQ(server.accepted(), 2);
}

TEST_F(AsyncHttpRequestTest, StatusLineFollowedByCloseIsNotResent) {
  ScriptedServer server([&](int fd, int) {
    std::string request;
    ReadHttpRequest(fd, &request);
    SendText(fd, "HTTP/1.1 500 Internal Server Error\r\nContent-Length: 10\r\n\r\nabc");
  });
  ASSERT_TRUE(server.Start());
  Outcome outcome;
  ASSERT_TRUE(Run(NewPost(Loopback(server.port(), "/"), kJson, &outcome), &outcome));
  EXPECT_EQ(outcome.error, HE_DISCONNECTED);
  EXPECT_EQ(server.accepted(), 1);
}

TEST_F(AsyncHttpRequestTest, RefusedConnectionEndsWithConnectFailed) {
  Outcome outcome;
  ASSERT_TRUE(
      Run(NewPost(Loopback(testing::UnusedLoopbackPort(), "/"), kJson, &outcome), &outcome));
  EXPECT_EQ(outcome.error, HE_CONNECT_FAILED);
  EXPECT_EQ(outcome.calls, 1);
}

TEST_F(AsyncHttpRequestTest, HugeAnnouncedBodyEndsWithOverflowWithoutAllocatingIt) {
  ScriptedServer server([&](int fd, int) {
    std::string request;
    ReadHttpRequest(fd, &request);
    SendText(fd, "HTTP/1.1 200 OK\r\nContent-Length: 4000000000\r\n\r\nabc");
    server.WaitForStop(fd);
  });
  ASSERT_TRUE(server.Start());
  Outcome outcome;
  ASSERT_TRUE(Run(NewPost(Loopback(server.port(), "/"), kJson, &outcome), &outcome));
  EXPECT_EQ(outcome.error, HE_OVERFLOW);
}

TEST_F(AsyncHttpRequestTest, BodyOverTheClientsLimitEndsWithOverflow) {
  ScriptedServer server([&](int fd, int) {
    std::string request;
    ReadHttpRequest(fd, &request);
    SendText(fd, "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n");
    for (int i = 0; i < 20 && SendText(fd, "100\r\n" + std::string(256, 'x') + "\r\n"); ++i) {
    }
    server.WaitForStop(fd);
  });
  ASSERT_TRUE(server.Start());
  Outcome outcome;
  AsyncHttpRequest* request = NewPost(Loopback(server.port(), "/"), kJson, &outcome);
  request->client().set_max_body_size(1000);
  ASSERT_TRUE(Run(request, &outcome));
  EXPECT_EQ(outcome.error, HE_OVERFLOW);
}

TEST_F(AsyncHttpRequestTest, KeptAliveRedirectToTheSameServerReusesTheConnection) {
  ScriptedServer server([&](int fd, int) {
    std::string request;
    ReadHttpRequest(fd, &request);
    server.Record(request);
    SendText(fd, "HTTP/1.1 301 Moved\r\nLocation: /next\r\nContent-Length: 3\r\n\r\nxyz");
    if (ReadHttpRequest(fd, &request)) {
      server.Record(request);
      SendText(fd, "HTTP/1.1 200 OK\r\nContent-Length: 4\r\n\r\nnext");
    }
    server.WaitForStop(fd);
  });
  ASSERT_TRUE(server.Start());
  Outcome outcome;
  ASSERT_TRUE(Run(NewGet(Loopback(server.port(), "/first"), &outcome), &outcome));
  EXPECT_EQ(outcome.error, HE_NONE);
  EXPECT_EQ(outcome.body, "next");
  EXPECT_EQ(server.accepted(), 1);
  auto requests = server.requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[1].rfind("GET /next HTTP/1.1\r\n", 0), 0u) << requests[1];
}

TEST_F(AsyncHttpRequestTest, ConnectionCloseAnswerMakesTheNextRequestConnectAgain) {
  ScriptedServer server([&](int fd, int index) {
    std::string request;
    ReadHttpRequest(fd, &request);
    if (index == 0) {
      SendText(fd,
               "HTTP/1.1 301 Moved\r\nLocation: /next\r\nConnection: close\r\n"
               "Content-Length: 0\r\n\r\n");
      server.WaitForStop(fd);
    } else {
      SendText(fd, "HTTP/1.1 200 OK\r\nContent-Length: 4\r\n\r\nnext");
    }
  });
  ASSERT_TRUE(server.Start());
  Outcome outcome;
  ASSERT_TRUE(Run(NewGet(Loopback(server.port(), "/first"), &outcome), &outcome));
  EXPECT_EQ(outcome.error, HE_NONE);
  EXPECT_EQ(outcome.body, "next");
  EXPECT_EQ(server.accepted(), 2);
}

TEST_F(AsyncHttpRequestTest, SeeOtherToAnotherServerSendsABodilessGetWithTheNewHost) {
  ScriptedServer target([&](int fd, int) {
    std::string request;
    ReadHttpRequest(fd, &request);
    target.Record(request);
    SendText(fd, "HTTP/1.1 200 OK\r\nContent-Length: 6\r\n\r\nthere!");
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
  EXPECT_EQ(outcome.error, HE_NONE);
  EXPECT_EQ(outcome.body, "there!");
  auto requests = target.requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].rfind("GET /there HTTP/1.1\r\n", 0), 0u) << requests[0];
  EXPECT_NE(requests[0].find("Host: 127.0.0.1:" + std::to_string(target.port()) + "\r\n"),
            std::string::npos)
      << requests[0];
  EXPECT_EQ(requests[0].find("Content-Type"), std::string::npos) << requests[0];
  EXPECT_NE(requests[0].find("Content-Length: 0\r\n"), std::string::npos) << requests[0];
}

TEST_F(AsyncHttpRequestTest, SilentServerTimesOutWithOperationCancelled) {
  ScopedFakeClock clock;
  ScriptedServer server([&](int fd, int) {
    std::string request;
    ReadHttpRequest(fd, &request);
    server.Record(request);
    server.WaitForStop(fd);
  });
  ASSERT_TRUE(server.Start());
  Outcome outcome;
  AsyncHttpRequest* request = NewPost(Loopback(server.port(), "/"), kJson, &outcome, 3000);
  request->Start();
  ASSERT_TRUE(PumpUntil([&] { return server.requests().size() == 1; }));
  clock.AdvanceTime(2999);
  Thread::Current()->ProcessMessages(0);
  EXPECT_FALSE(outcome.done);
  clock.AdvanceTime(1);
  ASSERT_TRUE(PumpUntil([&] { return outcome.done; }));
  EXPECT_EQ(outcome.error, HE_OPERATION_CANCELLED);
  EXPECT_FALSE(outcome.had_document);
}

TEST_F(AsyncHttpRequestTest, SlowNameLookupTimesOutWithOperationCancelled) {
  ScopedFakeClock clock;
  int starts = 0, destroyed = 0;
  Outcome outcome;
  AsyncHttpRequest* request = NewPost("http://gateway.invalid:7080/", kJson, &outcome, 3000);
  request->client().set_resolver_factory([&] {
    return new FakeResolver(FakeResolver::kNever, &starts, &destroyed);
  });
  request->Start();
  ASSERT_TRUE(PumpUntil([&] { return starts == 1; }));
  clock.AdvanceTime(3000);
  ASSERT_TRUE(PumpUntil([&] { return outcome.done; }));
  EXPECT_EQ(outcome.error, HE_OPERATION_CANCELLED);
  // The lookup is dropped with the request, not left to start a connection later.
  EXPECT_EQ(destroyed, 1);
}

TEST_F(AsyncHttpRequestTest, NameThatDoesNotResolveEndsWithConnectFailed) {
  int starts = 0, destroyed = 0;
  Outcome outcome;
  AsyncHttpRequest* request = NewPost("http://gateway.invalid:7080/", kJson, &outcome);
  request->client().set_resolver_factory([&] {
    return new FakeResolver(FakeResolver::kFail, &starts, &destroyed);
  });
  ASSERT_TRUE(Run(request, &outcome));
  EXPECT_EQ(outcome.error, HE_CONNECT_FAILED);
  // Looked up once more on the retry.
  EXPECT_EQ(starts, 2);
  EXPECT_EQ(destroyed, 2);
}

TEST_F(AsyncHttpRequestTest, DestroyWhileTheRequestRunsGivesNoCallback) {
  ScriptedServer server([&](int fd, int) {
    std::string request;
    ReadHttpRequest(fd, &request);
    server.Record(request);
    server.WaitForStop(fd);
  });
  ASSERT_TRUE(server.Start());
  Outcome outcome;
  AsyncHttpRequest* request = NewPost(Loopback(server.port(), "/"), kJson, &outcome);
  request->Start();
  ASSERT_TRUE(PumpUntil([&] { return server.requests().size() == 1; }));
  request->Destroy(true);
  PumpUntil([] { return false; }, 50);
  EXPECT_EQ(outcome.calls, 0);
}

TEST_F(AsyncHttpRequestTest, DelayedLaunchWaitsForItsDelayThenRuns) {
  ScopedFakeClock clock;
  ScriptedServer server([&](int fd, int) {
    std::string request;
    ReadHttpRequest(fd, &request);
    SendText(fd, "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok");
  });
  ASSERT_TRUE(server.Start());
  Outcome outcome;
  AsyncHttpRequest* request = NewPost(Loopback(server.port(), "/"), kJson, &outcome, 3000);
  request->set_start_delay(2000);
  request->Start();
  PumpUntil([] { return false; }, 30);
  EXPECT_EQ(server.accepted(), 0);
  clock.AdvanceTime(2000);
  ASSERT_TRUE(PumpUntil([&] { return outcome.done; }));
  EXPECT_EQ(outcome.error, HE_NONE);
  EXPECT_EQ(outcome.body, "ok");
}

TEST_F(AsyncHttpRequestTest, DestroyBeforeLaunchGivesNoCallback) {
  Outcome outcome;
  AsyncHttpRequest* request =
      NewPost(Loopback(testing::UnusedLoopbackPort(), "/"), kJson, &outcome);
  request->set_start_delay(100000);
  request->Start();
  Thread::Current()->ProcessMessages(0);
  request->Destroy(false);
  PumpUntil([] { return false; }, 50);
  EXPECT_EQ(outcome.calls, 0);
}

TEST(AsyncHttpRequestNoSocketsTest, FactoryWithoutSocketsStillBringsWorkDone) {
  NullSocketServer ss;
  AutoSocketServerThread thread(&ss);
  Outcome outcome;
  AsyncHttpRequest* request = NewPost("http://127.0.0.1:7080/", kJson, &outcome);
  request->Start();
  ASSERT_TRUE(PumpUntil([&] { return outcome.done; }));
  EXPECT_EQ(outcome.error, HE_CONNECT_FAILED);
  EXPECT_EQ(outcome.calls, 1);
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
    std::atomic<bool> done{false};
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
      done = true;
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
  for (int i = 0; i < 2000 && !result.done; ++i) {
    usleep(5000);
  }
  ASSERT_TRUE(result.done);
  worker->Stop();
  EXPECT_TRUE(result.on_worker);
  EXPECT_EQ(result.error, HE_NONE);
  EXPECT_EQ(result.body, kJson);
}

}  // namespace
}  // namespace rtc

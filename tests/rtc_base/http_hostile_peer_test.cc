// The HTTP client's response path against scripted loopback peers that send what a broken or
// hostile server might: endless data, interim floods, trickles, odd redirects, random bytes.
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "http_request_test_util.h"
#include "http_test_server.h"
#include "rtc_base/async_http_request.h"
#include "rtc_base/physical_socket_server.h"
#include "rtc_base/thread.h"

namespace rtc {
namespace {

using testing::FakeResolver;
using testing::NewGet;
using testing::NewPost;
using testing::Outcome;
using testing::PumpUntil;
using testing::ReadHttpRequest;
using testing::ScriptedServer;
using testing::SendText;

std::string Loopback(int port, const std::string& path) {
  return "http://127.0.0.1:" + std::to_string(port) + path;
}

void NoDelay(int fd) {
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
}

// Sends text until the client goes away or the byte budget is spent.
void SendForever(int fd, const std::string& text, size_t budget = 256u << 20) {
  for (size_t sent = 0; sent < budget && SendText(fd, text); sent += text.size()) {
  }
}

class HttpHostilePeerTest : public ::testing::Test {
 protected:
  // Runs the request to its end; a name lookup, which no test here should need, fails.
  bool Run(AsyncHttpRequest* request, Outcome* outcome, int timeout_ms = 10000) {
    request->client().set_resolver_factory(
        [this] { return new FakeResolver(FakeResolver::kFail, &lookups_, &lookups_done_); });
    request->Start();
    return PumpUntil([&] { return outcome->done; }, timeout_ms);
  }

  PhysicalSocketServer ss_;
  AutoSocketServerThread thread_{&ss_};
  int lookups_ = 0;
  int lookups_done_ = 0;
};

TEST_F(HttpHostilePeerTest, EndlessInterimResponsesEndWithAProtocolError) {
  ScriptedServer server([&](int fd, int) {
    std::string request;
    ReadHttpRequest(fd, &request);
    SendForever(fd, "HTTP/1.1 100 Continue\r\n\r\n", 64u << 20);
  });
  ASSERT_TRUE(server.Start());
  Outcome outcome;
  ASSERT_TRUE(Run(NewPost(Loopback(server.port(), "/"), "{}", &outcome, 8000), &outcome));
  EXPECT_EQ(outcome.error, HE_PROTOCOL);
  EXPECT_EQ(outcome.calls, 1);
}

TEST_F(HttpHostilePeerTest, InterimResponsesUpToTheLimitAreSkipped) {
  for (size_t interim : {HttpClient::kMaxInterimResponses, HttpClient::kMaxInterimResponses + 1}) {
    ScriptedServer server([&](int fd, int) {
      std::string request;
      ReadHttpRequest(fd, &request);
      std::string answer;
      for (size_t i = 0; i < interim; ++i) {
        answer += (i % 2 == 0) ? "HTTP/1.1 100 Continue\r\n\r\n" : "HTTP/1.1 102 Processing\r\n\r\n";
      }
      SendText(fd, answer + "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nfinal");
      server.WaitForStop(fd);
    });
    ASSERT_TRUE(server.Start());
    Outcome outcome;
    ASSERT_TRUE(Run(NewPost(Loopback(server.port(), "/"), "{}", &outcome), &outcome));
    if (interim <= HttpClient::kMaxInterimResponses) {
      EXPECT_EQ(outcome.error, HE_NONE) << interim;
      EXPECT_EQ(outcome.body, "final");
    } else {
      EXPECT_EQ(outcome.error, HE_PROTOCOL) << interim;
    }
    server.Stop();
  }
}

TEST_F(HttpHostilePeerTest, BodySentForeverStopsAtTheCapWithOverflow) {
  ScriptedServer server([&](int fd, int) {
    std::string request;
    ReadHttpRequest(fd, &request);
    if (SendText(fd, "HTTP/1.1 200 OK\r\n\r\n")) {
      SendForever(fd, std::string(16384, 'b'));
    }
  });
  ASSERT_TRUE(server.Start());
  Outcome outcome;
  AsyncHttpRequest* request = NewPost(Loopback(server.port(), "/"), "{}", &outcome);
  request->client().set_max_body_size(300000);
  ASSERT_TRUE(Run(request, &outcome));
  EXPECT_EQ(outcome.error, HE_OVERFLOW);
  EXPECT_LE(outcome.body.size(), 300000u);
}

TEST_F(HttpHostilePeerTest, ChunksSentForeverStopAtTheCapWithOverflow) {
  ScriptedServer server([&](int fd, int) {
    std::string request;
    ReadHttpRequest(fd, &request);
    if (SendText(fd, "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n")) {
      SendForever(fd, "3\r\nabc\r\n");
    }
  });
  ASSERT_TRUE(server.Start());
  Outcome outcome;
  AsyncHttpRequest* request = NewPost(Loopback(server.port(), "/"), "{}", &outcome);
  request->client().set_max_body_size(100000);
  ASSERT_TRUE(Run(request, &outcome));
  EXPECT_EQ(outcome.error, HE_OVERFLOW);
}

TEST_F(HttpHostilePeerTest, HeadersSentForeverStopAtTheCapWithOverflow) {
  ScriptedServer server([&](int fd, int) {
    std::string request;
    ReadHttpRequest(fd, &request);
    if (SendText(fd, "HTTP/1.1 200 OK\r\n")) {
      SendForever(fd, "X-More: yes\r\n");
    }
  });
  ASSERT_TRUE(server.Start());
  Outcome outcome;
  ASSERT_TRUE(Run(NewPost(Loopback(server.port(), "/"), "{}", &outcome), &outcome));
  EXPECT_EQ(outcome.error, HE_OVERFLOW);
}

TEST_F(HttpHostilePeerTest, HeaderLineFillingTheWholeBufferIsTheLongestAccepted) {
  for (size_t line_size : {HttpBase::kBufferSize - 1, HttpBase::kBufferSize,
                           HttpBase::kBufferSize + 1}) {
    // "X-Big: " + filler + "\r\n" is line_size bytes.
    std::string line = "X-Big: " + std::string(line_size - 9, 'f') + "\r\n";
    ScriptedServer server([&](int fd, int) {
      std::string request;
      ReadHttpRequest(fd, &request);
      SendText(fd, "HTTP/1.1 200 OK\r\n" + line + "Content-Length: 2\r\n\r\nok");
      server.WaitForStop(fd);
    });
    ASSERT_TRUE(server.Start());
    Outcome outcome;
    ASSERT_TRUE(Run(NewPost(Loopback(server.port(), "/"), "{}", &outcome, 3000), &outcome));
    if (line_size <= HttpBase::kBufferSize) {
      EXPECT_EQ(outcome.error, HE_NONE) << line_size;
      EXPECT_EQ(outcome.body, "ok") << line_size;
    } else {
      EXPECT_EQ(outcome.error, HE_OVERFLOW) << line_size;
    }
    server.Stop();
  }
}

TEST_F(HttpHostilePeerTest, TrailersSentForeverStopAtTheCapWithOverflow) {
  ScriptedServer server([&](int fd, int) {
    std::string request;
    ReadHttpRequest(fd, &request);
    if (SendText(fd, "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n2\r\nok\r\n0\r\n")) {
      SendForever(fd, "X-Trailer: more\r\n");
    }
  });
  ASSERT_TRUE(server.Start());
  Outcome outcome;
  ASSERT_TRUE(Run(NewPost(Loopback(server.port(), "/"), "{}", &outcome), &outcome));
  EXPECT_EQ(outcome.error, HE_OVERFLOW);
}

TEST_F(HttpHostilePeerTest, AnswerTrickledOneByteAtATimeArrivesWhole) {
  const std::string answer =
      "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\nX-A: b\r\n\r\n"
      "4\r\nwiki\r\n5;x=y\r\npedia\r\n0\r\nX-Trailer: t\r\n\r\n";
  ScriptedServer server([&](int fd, int) {
    std::string request;
    ReadHttpRequest(fd, &request);
    NoDelay(fd);
    for (char c : answer) {
      if (!SendText(fd, std::string(1, c))) {
        return;
      }
      usleep(200);
    }
    server.WaitForStop(fd);
  });
  ASSERT_TRUE(server.Start());
  Outcome outcome;
  ASSERT_TRUE(Run(NewPost(Loopback(server.port(), "/"), "{}", &outcome), &outcome));
  EXPECT_EQ(outcome.error, HE_NONE);
  EXPECT_EQ(outcome.body, "wikipedia");
}

TEST_F(HttpHostilePeerTest, AnswerEndingMidChunkIsDisconnected) {
  ScriptedServer server([&](int fd, int) {
    std::string request;
    ReadHttpRequest(fd, &request);
    SendText(fd, "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n10\r\nonly half");
  });
  ASSERT_TRUE(server.Start());
  Outcome outcome;
  ASSERT_TRUE(Run(NewPost(Loopback(server.port(), "/"), "{}", &outcome), &outcome));
  EXPECT_EQ(outcome.error, HE_DISCONNECTED);
  // The status line arrived, so the request is not sent again.
  EXPECT_EQ(server.accepted(), 1);
}

TEST_F(HttpHostilePeerTest, ChunkedNoContentAnswerEndsAtItsHeaders) {
  ScriptedServer server([&](int fd, int) {
    std::string request;
    ReadHttpRequest(fd, &request);
    SendText(fd, "HTTP/1.1 204 No Content\r\nTransfer-Encoding: chunked\r\n\r\n");
    server.WaitForStop(fd);
  });
  ASSERT_TRUE(server.Start());
  Outcome outcome;
  ASSERT_TRUE(Run(NewPost(Loopback(server.port(), "/"), "{}", &outcome, 3000), &outcome));
  EXPECT_EQ(outcome.error, HE_NONE);
  EXPECT_EQ(outcome.scode, 204u);
}

TEST_F(HttpHostilePeerTest, HeadAnswerAnnouncingAHugeBodyIsDelivered) {
  ScriptedServer server([&](int fd, int) {
    std::string request;
    ReadHttpRequest(fd, &request);
    SendText(fd, "HTTP/1.1 200 OK\r\nContent-Length: 50000000000\r\n\r\n");
    server.WaitForStop(fd);
  });
  ASSERT_TRUE(server.Start());
  Outcome outcome;
  AsyncHttpRequest* request = NewGet(Loopback(server.port(), "/"), &outcome, 3000);
  request->request().verb = HV_HEAD;
  ASSERT_TRUE(Run(request, &outcome));
  EXPECT_EQ(outcome.error, HE_NONE);
  EXPECT_EQ(outcome.scode, 200u);
  EXPECT_EQ(outcome.body, "");
}

TEST_F(HttpHostilePeerTest, RedirectLoopEndsAfterTheRedirectLimit) {
  ScriptedServer server([&](int fd, int) {
    std::string request;
    while (ReadHttpRequest(fd, &request)) {
      server.Record(request);
      if (!SendText(fd, "HTTP/1.1 302 Found\r\nLocation: /loop\r\nContent-Length: 0\r\n\r\n")) {
        return;
      }
    }
  });
  ASSERT_TRUE(server.Start());
  Outcome outcome;
  ASSERT_TRUE(Run(NewGet(Loopback(server.port(), "/loop"), &outcome), &outcome));
  EXPECT_EQ(outcome.error, HE_NONE);
  EXPECT_EQ(outcome.scode, 302u);
  EXPECT_EQ(outcome.calls, 1);
  EXPECT_EQ(server.requests().size(), 1 + HttpClient::kMaxRedirects);
}

TEST_F(HttpHostilePeerTest, LocationsWithOtherSchemesOrControlCharactersAreNotFollowed) {
  const std::string locations[] = {
      "javascript:alert(1)", "data:text/plain,hi", "file:///etc/passwd",
      "ftp://127.0.0.1/x",   "mailto:a@127.0.0.1", "http:/no-authority",
      "/with space",         "/with\ttab",         std::string("/with\x7f", 6),
      "/with\x01control",
  };
  for (const std::string& location : locations) {
    ScriptedServer server([&](int fd, int) {
      std::string request;
      while (ReadHttpRequest(fd, &request)) {
        server.Record(request);
        std::string answer =
            "HTTP/1.1 302 Found\r\nLocation: " + location + "\r\nContent-Length: 0\r\n\r\n";
        if (!SendText(fd, answer)) {
          return;
        }
      }
    });
    ASSERT_TRUE(server.Start());
    Outcome outcome;
    ASSERT_TRUE(Run(NewGet(Loopback(server.port(), "/"), &outcome), &outcome)) << location;
    EXPECT_EQ(outcome.error, HE_PROTOCOL) << location;
    EXPECT_EQ(server.requests().size(), 1u) << location;
    server.Stop();
  }
  EXPECT_EQ(lookups_, 0);
}

TEST_F(HttpHostilePeerTest, UpperCaseHttpLocationIsFollowed) {
  ScriptedServer server([&](int fd, int) {
    std::string request;
    while (ReadHttpRequest(fd, &request)) {
      server.Record(request);
      std::string answer =
          request.compare(0, 8, "GET /ok ") == 0
              ? std::string("HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok")
              : "HTTP/1.1 302 Found\r\nLocation: HTTP://127.0.0.1:" +
                    std::to_string(server.port()) + "/ok\r\nContent-Length: 0\r\n\r\n";
      if (!SendText(fd, answer)) {
        return;
      }
    }
  });
  ASSERT_TRUE(server.Start());
  Outcome outcome;
  ASSERT_TRUE(Run(NewGet(Loopback(server.port(), "/"), &outcome), &outcome));
  EXPECT_EQ(outcome.error, HE_NONE);
  EXPECT_EQ(outcome.body, "ok");
}

// Mutated answers, sent in random pieces from a scripted peer that then closes: every
// request ends exactly once, soon, with no more body than the peer sent. Fixed seed.
TEST_F(HttpHostilePeerTest, MutatedAnswersInRandomPiecesAlwaysEndOnce) {
  const std::string seeds[] = {
      "HTTP/1.1 200 OK\r\nContent-Length: 5\r\nX-A: b\r\n\r\nhello",
      "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n3;e\r\nabc\r\n"
      "0\r\nT: 1\r\n\r\n",
      "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 201 Created\r\nContent-Length: 2\r\n\r\nok",
      "HTTP/1.0 500 Oops\r\n\r\nuntil the end",
      "HTTP/1.1 204 No Content\r\nContent-Length: 0\r\n\r\n",
  };
  const char kAlphabet[] = "0123456789abcdefF:;\r\n -+xX\tHTTP/.\0\xff";
  std::mutex mutex;
  std::string script;
  std::vector<size_t> cuts;
  ScriptedServer server([&](int fd, int) {
    std::string request;
    if (!ReadHttpRequest(fd, &request)) {
      return;
    }
    std::string bytes;
    std::vector<size_t> pieces;
    {
      std::lock_guard<std::mutex> lock(mutex);
      bytes = script;
      pieces = cuts;
    }
    NoDelay(fd);
    size_t start = 0;
    for (size_t cut : pieces) {
      if (!SendText(fd, bytes.substr(start, cut - start))) {
        return;
      }
      start = cut;
      usleep(50);
    }
    SendText(fd, bytes.substr(start));
    shutdown(fd, SHUT_WR);
    // The client reads to the end before the socket goes, or gives up on it.
    timeval wait = {0, 500000};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof(wait));
    char drain[256];
    while (recv(fd, drain, sizeof(drain), 0) > 0) {
    }
  });
  ASSERT_TRUE(server.Start());
  std::mt19937 rng(1206);
  for (int round = 0; round < 120; ++round) {
    std::string bytes = seeds[round % 5];
    for (int e = 1 + rng() % 5; e > 0; --e) {
      size_t pos = rng() % bytes.size();
      char c = kAlphabet[rng() % (sizeof(kAlphabet) - 1)];
      switch (rng() % 3) {
        case 0:
          bytes[pos] = c;
          break;
        case 1:
          bytes.insert(pos, 1, c);
          break;
        default:
          bytes.erase(pos, 1);
          break;
      }
    }
    {
      std::lock_guard<std::mutex> lock(mutex);
      script = bytes;
      cuts.clear();
      for (size_t i = 1 + rng() % 9; i < bytes.size(); i += 1 + rng() % 9) {
        cuts.push_back(i);
      }
    }
    Outcome outcome;
    ASSERT_TRUE(Run(NewPost(Loopback(server.port(), "/"), "{}", &outcome, 5000), &outcome))
        << round;
    EXPECT_EQ(outcome.calls, 1) << round;
    EXPECT_NE(outcome.error, HE_DEFAULT) << round;
    EXPECT_NE(outcome.error, HE_OPERATION_CANCELLED) << "round " << round << " stalled";
    EXPECT_LE(outcome.body.size(), bytes.size()) << round;
    if (outcome.error == HE_NONE) {
      EXPECT_GE(outcome.scode, 200u) << round;
    }
  }
  EXPECT_EQ(lookups_, 0);
}

}  // namespace
}  // namespace rtc

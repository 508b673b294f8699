// The proxy socket layers against scripted proxies on loopback: request texts and bytes,
// challenges, replies that split or overflow, and owners that delete their socket.
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "http_request_test_util.h"
#include "http_test_server.h"
#include "log_capture.h"
#include "proxy_peers.h"
#include "rtc_base/physical_socket_server.h"
#include "rtc_base/socket_adapters.h"
#include "rtc_base/thread.h"

namespace rtc {
namespace {

using testing::Password;
using testing::PumpUntil;
using testing::ReadBytes;
using testing::ReadHttpRequest;
using testing::ScriptedServer;
using testing::SendText;
using testing::SocketOwner;

std::string Bytes(std::initializer_list<int> bytes) {
  std::string text;
  for (int b : bytes) {
    text.push_back(static_cast<char>(b));
  }
  return text;
}

class ProxySocketTest : public ::testing::Test {
 protected:
  SocketAddress Proxy(const ScriptedServer& server) const {
    return SocketAddress("127.0.0.1", server.port());
  }
  AsyncSocket* NewSocket() { return ss_.CreateAsyncSocket(AF_INET, SOCK_STREAM); }
  std::unique_ptr<SocketOwner> Https(const ScriptedServer& server,
                                     const std::string& user = "",
                                     const std::string& password = "") {
    return std::make_unique<SocketOwner>(
        new AsyncHttpsProxySocket(NewSocket(), "agent", Proxy(server), user, Password(password)));
  }
  std::unique_ptr<SocketOwner> Socks(const ScriptedServer& server,
                                     const std::string& user = "",
                                     const std::string& password = "") {
    return std::make_unique<SocketOwner>(
        new AsyncSocksProxySocket(NewSocket(), Proxy(server), user, Password(password)));
  }
  bool Finished(SocketOwner* owner) {
    return PumpUntil([&] { return owner->connected() || owner->closed(); });
  }

  PhysicalSocketServer ss_;
  AutoSocketServerThread thread_{&ss_};
  CapturingSink log_;
};

TEST_F(ProxySocketTest, TunnelBytesSentWithTheAnswerComeFirstAfterConnect) {
  ScriptedServer proxy([&](int fd, int) {
    std::string request;
    if (!ReadHttpRequest(fd, &request)) {
      return;
    }
    proxy.Record(request);
    SendText(fd, "HTTP/1.0 200 Connection established\r\nVia: test\r\n\r\nfirst bytes;");
    testing::Echo(fd);
  });
  ASSERT_TRUE(proxy.Start());
  auto owner = Https(proxy);
  ASSERT_EQ(owner->socket->Connect(SocketAddress("127.0.0.1", 4321)), 0);
  EXPECT_EQ(owner->socket->GetState(), Socket::CS_CONNECTING);
  ASSERT_TRUE(Finished(owner.get()));
  ASSERT_TRUE(PumpUntil([&] { return !owner->received.empty(); }));
  EXPECT_EQ(owner->events.rfind("connect;read;", 0), 0u) << owner->events;
  EXPECT_EQ(owner->received, "first bytes;");
  EXPECT_EQ(owner->socket->GetState(), Socket::CS_CONNECTED);
  EXPECT_EQ(owner->socket->GetRemoteAddress().ToString(), "127.0.0.1:4321");
  ASSERT_TRUE(owner->Send("ping"));
  ASSERT_TRUE(PumpUntil([&] { return owner->received.size() == 16; }));
  EXPECT_EQ(owner->received, "first bytes;ping");
  ASSERT_EQ(proxy.requests().size(), 1u);
  EXPECT_EQ(proxy.requests()[0],
            "CONNECT 127.0.0.1:4321 HTTP/1.0\r\nUser-Agent: agent\r\nHost: 127.0.0.1\r\n"
            "Content-Length: 0\r\nProxy-Connection: Keep-Alive\r\n\r\n");
}

TEST_F(ProxySocketTest, DigestChallengeOnAKeptConnectionIsAnsweredThere) {
  ScriptedServer proxy([&](int fd, int) {
    std::string request;
    if (!ReadHttpRequest(fd, &request)) {
      return;
    }
    proxy.Record(request);
    SendText(fd,
             "HTTP/1.0 407 Proxy Authentication Required\r\n"
             "Proxy-Authenticate: Negotiate\r\n"
             "Proxy-Authenticate: Digest realm=\"r\", nonce=\"n1\", qop=\"auth\"\r\n"
             "Proxy-Connection: Keep-Alive\r\nContent-Length: 4\r\n\r\n");
    usleep(20000);
    SendText(fd, "deny");
    if (!ReadHttpRequest(fd, &request)) {
      return;
    }
    proxy.Record(request);
    SendText(fd, "HTTP/1.0 200 OK\r\n\r\n");
    testing::Echo(fd);
  });
  ASSERT_TRUE(proxy.Start());
  auto owner = Https(proxy, "user", "secret");
  owner->socket->Connect(SocketAddress("127.0.0.1", 4321));
  ASSERT_TRUE(Finished(owner.get()));
  EXPECT_EQ(owner->events, "connect;");
  EXPECT_EQ(proxy.accepted(), 1);
  auto requests = proxy.requests();
  ASSERT_EQ(requests.size(), 2u);
  const std::string prefix = "Proxy-Authorization: ";
  size_t start = requests[1].find(prefix);
  ASSERT_NE(start, std::string::npos) << requests[1];
  EXPECT_EQ(requests[1].find(prefix, start + 1), std::string::npos) << "one answer only";
  start += prefix.size();
  std::string answer = requests[1].substr(start, requests[1].find("\r\n", start) - start);
  std::string nonce;
  EXPECT_EQ(HttpAuthorization(answer.data(), answer.size(), "CONNECT", &nonce, "user",
                              Password("secret")),
            HAR_RESPONSE)
      << answer;
  EXPECT_FALSE(log_.Contains("secret"));
  EXPECT_FALSE(log_.Contains(answer));
}

TEST_F(ProxySocketTest, ChallengeOnAClosingConnectionIsAnsweredOnANewOneWithoutOldBytes) {
  ScriptedServer proxy([&](int fd, int index) {
    std::string request;
    if (!ReadHttpRequest(fd, &request)) {
      return;
    }
    proxy.Record(request);
    if (index == 0) {
      // What follows the 407 on this connection must not be read as the next answer.
      SendText(fd,
               "HTTP/1.0 407 Proxy Authentication Required\r\n"
               "Proxy-Authenticate: Basic realm=\"r\"\r\n\r\nHTTP/1.0 200 OK\r\n\r\nstale");
      return;
    }
    SendText(fd, "HTTP/1.0 200 OK\r\n\r\n");
    testing::Echo(fd);
  });
  ASSERT_TRUE(proxy.Start());
  auto owner = Https(proxy, "u", "p");
  owner->socket->Connect(SocketAddress("127.0.0.1", 4321));
  ASSERT_TRUE(Finished(owner.get()));
  EXPECT_EQ(owner->events, "connect;");
  EXPECT_EQ(proxy.accepted(), 2);
  auto requests = proxy.requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_NE(requests[1].find("\r\nProxy-Authorization: Basic dTpw\r\n"), std::string::npos)
      << requests[1];
  ASSERT_TRUE(owner->Send("x"));
  ASSERT_TRUE(PumpUntil([&] { return !owner->received.empty(); }));
  EXPECT_EQ(owner->received, "x");
}

TEST_F(ProxySocketTest, FailedHandshakesReportOneNonZeroError) {
  const std::string basic_407 =
      "HTTP/1.0 407 Proxy Authentication Required\r\nProxy-Authenticate: Basic realm=x\r\n"
      "Proxy-Connection: Keep-Alive\r\nContent-Length: 0\r\n\r\n";
  struct Case {
    std::vector<std::string> replies;
    int error;
  } cases[] = {
      {{"HTTP/1.0 403 Forbidden\r\n\r\n"}, ECONNREFUSED},
      {{"SSH-2.0-OpenSSH\r\n\r\n"}, EPROTO},
      {{"\r\n"}, EPROTO},
      {{basic_407, basic_407}, EACCES},
      {{"HTTP/1.0 407 Denied\r\nProxy-Authenticate: Negotiate\r\n\r\n"}, EACCES},
      {{"HTTP/1.0 407 Denied\r\nProxy-Authenticate: NTLM\r\n\r\n"}, EACCES},
      {{"HTTP/1.0 407 Denied\r\nProxy-Authenticate: Basic realm=x\r\n"
        "Content-Length: 0x10\r\n\r\n"},
       EPROTO},
      {{"HTTP/1.0 200 OK\r\nX-Long: " + std::string(1100, 'a') + "\r\n\r\n"}, EMSGSIZE},
      {{}, ECONNABORTED},
  };
  for (const Case& c : cases) {
    ScriptedServer proxy([&](int fd, int) {
      for (const std::string& reply : c.replies) {
        std::string request;
        if (!ReadHttpRequest(fd, &request) || !SendText(fd, reply)) {
          return;
        }
      }
      std::string request;
      ReadHttpRequest(fd, &request);
    });
    ASSERT_TRUE(proxy.Start());
    auto owner = Https(proxy, "u", "p");
    owner->socket->Connect(SocketAddress("127.0.0.1", 4321));
    ASSERT_TRUE(Finished(owner.get()));
    EXPECT_EQ(owner->events, "close;") << c.error;
    EXPECT_EQ(owner->close_error, c.error);
    EXPECT_EQ(owner->socket->GetError(), c.error);
    EXPECT_EQ(owner->socket->GetState(), Socket::CS_CLOSED);
  }
  // The notice about unsupported methods comes once per process.
  EXPECT_LE(log_.Count("Oops!"), 1);
  EXPECT_EQ(log_.Count("methods: NTLM"), 0);
  EXPECT_TRUE(log_.Contains("Input buffer overflow"));
}

TEST_F(ProxySocketTest, OwnerMayDeleteTheSocketInItsCloseHandler) {
  ScriptedServer proxy([&](int fd, int) {
    std::string request;
    if (ReadHttpRequest(fd, &request)) {
      SendText(fd, "HTTP/1.0 502 Bad Gateway\r\n\r\n");
    }
  });
  ASSERT_TRUE(proxy.Start());
  auto https = Https(proxy);
  https->delete_on_close = true;
  https->socket->Connect(SocketAddress("127.0.0.1", 4321));
  ASSERT_TRUE(Finished(https.get()));
  EXPECT_EQ(https->socket, nullptr);

  ScriptedServer socks([&](int fd, int) {
    std::string hello;
    if (ReadBytes(fd, 3, &hello)) {
      SendText(fd, Bytes({5, 0xff}));
    }
  });
  ASSERT_TRUE(socks.Start());
  auto owner = Socks(socks);
  owner->delete_on_close = true;
  owner->socket->Connect(SocketAddress("127.0.0.1", 4321));
  ASSERT_TRUE(Finished(owner.get()));
  EXPECT_EQ(owner->close_error, EACCES);
  EXPECT_EQ(owner->socket, nullptr);
}

TEST_F(ProxySocketTest, PortEightyIsNotTunnelledAndBadHostsAreRefused) {
  ScriptedServer proxy([&](int fd, int) {
    std::string request;
    if (ReadHttpRequest(fd, &request)) {
      proxy.Record(request);
    }
  });
  ASSERT_TRUE(proxy.Start());
  auto owner = Https(proxy);
  owner->socket->Connect(SocketAddress("example.test", 80));
  ASSERT_TRUE(Finished(owner.get()));
  EXPECT_EQ(owner->events, "connect;");
  ASSERT_TRUE(owner->Send("GET http://example.test/ HTTP/1.0\r\n\r\n"));
  ASSERT_TRUE(PumpUntil([&] { return !proxy.requests().empty(); }));
  EXPECT_EQ(proxy.requests()[0].rfind("GET http://example.test/", 0), 0u);

  auto refused = Https(proxy);
  EXPECT_EQ(refused->socket->Connect(SocketAddress("a\r\nX-Injected: 1", 443)), -1);
  EXPECT_EQ(refused->socket->GetError(), EINVAL);
  EXPECT_EQ(proxy.accepted(), 1);
}

// The SOCKS5 proxy: greeting, then the connect request, recorded as bytes; then `reply`,
// sent one byte at a time, and an echo.
class ScriptedSocks {
 public:
  ScriptedSocks(const std::string& method, const std::string& reply, bool split = true)
      : server_([this, method, reply, split](int fd, int) {
          std::string head, rest;
          if (!ReadBytes(fd, 2, &head) || !ReadBytes(fd, head[1], &rest)) {
            return;
          }
          server_.Record(head + rest);
          SendText(fd, method);
          if (method == Bytes({5, 2})) {
            std::string auth;
            if (!ReadBytes(fd, 2, &head) || !ReadBytes(fd, head[1] + 1, &auth) ||
                !ReadBytes(fd, auth.back(), &rest)) {
              return;
            }
            server_.Record(head + auth + rest);
            SendText(fd, Bytes({1, 0}));
          }
          if (!ReadBytes(fd, 4, &head)) {
            return;
          }
          size_t address_len = head[3] == 1 ? 4 : head[3] == 4 ? 16 : 0;
          if (head[3] == 3) {
            std::string len;
            ReadBytes(fd, 1, &len);
            head += len;
            address_len = static_cast<unsigned char>(len[0]);
          }
          if (!ReadBytes(fd, address_len + 2, &rest)) {
            return;
          }
          server_.Record(head + rest);
          for (char byte : reply) {
            SendText(fd, std::string(1, byte));
            if (split) {
              usleep(2000);
            }
          }
          testing::Echo(fd);
        }) {}

  bool Start() { return server_.Start(); }
  const ScriptedServer& server() const { return server_; }
  std::vector<std::string> messages() { return server_.requests(); }

 private:
  ScriptedServer server_;
};

TEST_F(ProxySocketTest, SocksRequestsNameIPv4AndIPv6DestinationsByTheirTypes) {
  const std::string reply = Bytes({5, 0, 0, 1, 127, 0, 0, 1, 0x10, 0xe1});
  struct Case {
    SocketAddress dest;
    std::string request;
  } cases[] = {
      {SocketAddress("host.test", 443), Bytes({5, 1, 0, 3, 9}) + "host.test" + Bytes({1, 0xbb})},
      {SocketAddress("10.1.2.3", 8080), Bytes({5, 1, 0, 1, 10, 1, 2, 3, 0x1f, 0x90})},
      {SocketAddress("::1", 80),
       Bytes({5, 1, 0, 4, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 80})},
  };
  for (const Case& c : cases) {
    ScriptedSocks proxy(Bytes({5, 0}), reply);
    ASSERT_TRUE(proxy.Start());
    auto owner = Socks(proxy.server());
    owner->socket->Connect(c.dest);
    ASSERT_TRUE(Finished(owner.get()));
    EXPECT_EQ(owner->events, "connect;");
    auto messages = proxy.messages();
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[0], Bytes({5, 1, 0}));
    EXPECT_EQ(messages[1], c.request) << c.dest.ToString();
    EXPECT_EQ(owner->socket->GetRemoteAddress(), c.dest);
  }
}

TEST_F(ProxySocketTest, SocksRepliesSplitByteByByteWithEveryBoundAddressType) {
  const std::string tail = "tunnel";
  const std::string replies[] = {
      Bytes({5, 0, 0, 1, 1, 2, 3, 4, 0, 80}),
      Bytes({5, 0, 0, 3, 4}) + "name" + Bytes({0, 80}),
      Bytes({5, 0, 0, 4, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 80}),
  };
  for (const std::string& reply : replies) {
    ScriptedSocks proxy(Bytes({5, 2}), reply + tail);
    ASSERT_TRUE(proxy.Start());
    auto owner = Socks(proxy.server(), "user", "pw");
    owner->socket->Connect(SocketAddress("host.test", 443));
    ASSERT_TRUE(Finished(owner.get()));
    ASSERT_TRUE(PumpUntil([&] { return owner->received.size() >= tail.size(); }));
    EXPECT_EQ(owner->events.rfind("connect;", 0), 0u);
    EXPECT_EQ(owner->received, tail);
    auto messages = proxy.messages();
    ASSERT_EQ(messages.size(), 3u);
    EXPECT_EQ(messages[0], Bytes({5, 2, 0, 2}));
    EXPECT_EQ(messages[1], Bytes({1, 4}) + "user" + Bytes({2}) + "pw");
  }
  EXPECT_TRUE(log_.Contains("Bound on name:80"));
  EXPECT_TRUE(log_.Contains("Bound on <IPV6>:80"));
}

TEST_F(ProxySocketTest, SocksFailuresReportOneNonZeroError) {
  struct Case {
    std::string method;
    std::string reply;
    int error;
  } cases[] = {
      {Bytes({5, 0xff}), "", EACCES},
      {Bytes({4, 0}), "", EPROTO},
      {Bytes({5, 2}), "", EACCES},
      {Bytes({5, 0}), Bytes({5, 5, 0, 1, 0, 0, 0, 0, 0, 0}), ECONNREFUSED},
      {Bytes({5, 0}), Bytes({5, 0, 0, 9, 0, 0}), EPROTO},
  };
  for (const Case& c : cases) {
    ScriptedSocks proxy(c.method, c.reply, false);
    ASSERT_TRUE(proxy.Start());
    auto owner = Socks(proxy.server());
    owner->socket->Connect(SocketAddress("host.test", 443));
    ASSERT_TRUE(Finished(owner.get()));
    EXPECT_EQ(owner->events, "close;");
    EXPECT_EQ(owner->close_error, c.error);
    EXPECT_EQ(owner->socket->GetError(), c.error);
  }
}

TEST_F(ProxySocketTest, SocksFieldsLongerThanAByteAreRefusedBeforeAnythingIsSent) {
  ScriptedSocks proxy(Bytes({5, 0}), "");
  ASSERT_TRUE(proxy.Start());
  auto owner = Socks(proxy.server());
  EXPECT_EQ(owner->socket->Connect(SocketAddress(std::string(256, 'h'), 443)), -1);
  EXPECT_EQ(owner->socket->GetError(), EINVAL);
  auto long_user = Socks(proxy.server(), std::string(256, 'u'), "p");
  EXPECT_EQ(long_user->socket->Connect(SocketAddress("host.test", 443)), -1);
  EXPECT_EQ(long_user->socket->GetError(), EINVAL);
  EXPECT_EQ(proxy.server().accepted(), 0);
}

TEST_F(ProxySocketTest, LoggingAdapterDumpsTrafficAndEvents) {
  ScriptedServer echo([](int fd, int) { testing::Echo(fd); });
  ASSERT_TRUE(echo.Start());
  SocketOwner owner(new LoggingSocketAdapter(NewSocket(), LS_INFO, "dump", false));
  owner.socket->Connect(SocketAddress("127.0.0.1", echo.port()));
  ASSERT_TRUE(PumpUntil([&] { return owner.connected(); }));
  ASSERT_TRUE(owner.Send("hello\n"));
  ASSERT_TRUE(PumpUntil([&] { return owner.received == "hello\n"; }));
  owner.socket->Close();
  EXPECT_TRUE(log_.Contains("[dump] Connected"));
  EXPECT_TRUE(log_.Contains("[dump] >> hello"));
  EXPECT_TRUE(log_.Contains("[dump] << hello"));
  EXPECT_TRUE(log_.Contains("[dump] Closed locally"));
}

}  // namespace
}  // namespace rtc

#include "core/x_tcp_client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "core/rtc_tick.h"
#include "rtc_base/physical_socket_server.h"
#include "rtc_base/thread.h"
#include "rtc_base/time_utils.h"

namespace vy {

namespace {

// A blocking loopback peer on its own thread: it accepts one connection and runs `behaviour`
// with the connected descriptor.
class TestPeer {
 public:
  explicit TestPeer(int family = AF_INET) : family_(family) {
    listen_fd_ = ::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    ::setsockopt(listen_fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    sockaddr_storage ss{};
    socklen_t len;
    if (family == AF_INET6) {
      auto* a = reinterpret_cast<sockaddr_in6*>(&ss);
      a->sin6_family = AF_INET6;
      a->sin6_addr = in6addr_loopback;
      len = sizeof(*a);
    } else {
      auto* a = reinterpret_cast<sockaddr_in*>(&ss);
      a->sin_family = AF_INET;
      a->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      len = sizeof(*a);
    }
    EXPECT_EQ(0, ::bind(listen_fd_, reinterpret_cast<sockaddr*>(&ss), len));
    EXPECT_EQ(0, ::listen(listen_fd_, 4));
    ::getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&ss), &len);
    port_ = family == AF_INET6 ? ntohs(reinterpret_cast<sockaddr_in6*>(&ss)->sin6_port)
                               : ntohs(reinterpret_cast<sockaddr_in*>(&ss)->sin_port);
  }
  ~TestPeer() {
    Join();
    ::close(listen_fd_);
  }

  // Waits for the behaviour to end (an accept still waiting is cut short).
  void Join() {
    stop_ = true;
    go_ = true;
    // A connection the kernel completed may not have been accepted yet.
    for (int i = 0; keep_open_on_join_ && thread_.joinable() && !accepted_ && i < 5000; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ::shutdown(listen_fd_, SHUT_RDWR);
    int fd = conn_fd_.load();
    if (fd >= 0 && !keep_open_on_join_) ::shutdown(fd, SHUT_RDWR);
    if (thread_.joinable()) thread_.join();
    if (conn_fd_ >= 0) ::close(conn_fd_);
    conn_fd_ = -1;
  }

  void Run(std::function<void(int fd, TestPeer& peer)> behaviour) {
    thread_ = std::thread([this, behaviour] {
      int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) return;
      conn_fd_ = fd;
      accepted_ = true;
      // Join may have looked for the connection before it was stored here; a behaviour
      // waiting on a client that is never torn down first would block it for good.
      if (stop_ && !keep_open_on_join_) ::shutdown(fd, SHUT_RDWR);
      behaviour(fd, *this);
    });
  }

  // Reads until `n` bytes arrived or the peer closed.
  static std::string ReadExactly(int fd, size_t n) {
    std::string out;
    char buf[65536];
    while (out.size() < n) {
      ssize_t r = ::recv(fd, buf, std::min(sizeof(buf), n - out.size()), 0);
      if (r <= 0) break;
      out.append(buf, static_cast<size_t>(r));
    }
    return out;
  }
  static void WriteAll(int fd, const std::string& data) {
    size_t pos = 0;
    while (pos < data.size()) {
      ssize_t w = ::send(fd, data.data() + pos, data.size() - pos, MSG_NOSIGNAL);
      if (w <= 0) return;
      pos += static_cast<size_t>(w);
    }
  }
  static void Reset(int fd) {
    linger l{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof(l));
    ::close(fd);
  }

  int port() const { return port_; }
  bool accepted() const { return accepted_; }
  std::atomic<bool> stop_{false};
  std::atomic<bool> go_{false};
  // Lets a reading behaviour finish on its own (it got everything it waits for).
  bool keep_open_on_join_ = false;
  std::string received;

 private:
  int family_;
  int listen_fd_ = -1;
  std::atomic<int> conn_fd_{-1};
  int port_ = 0;
  std::atomic<bool> accepted_{false};
  std::thread thread_;
};

// A port on 127.0.0.1 with nothing listening.
int ClosedPort() {
  TestPeer peer;
  return peer.port();
}

class Recorder : public XNetClientCallback {
 public:
  void OnServerConnected() override { ++connected; if (on_connected) on_connected(); }
  void OnServerDisconnect() override { ++disconnected; if (on_disconnect) on_disconnect(); }
  void OnServerConnectionFailure() override { ++failures; }
  void OnNetworkChanged() override {}
  void OnTick() override { ++ticks; if (on_tick) on_tick(); }
  void OnMessageSent(int n) override { sent += n; }
  void OnMessageRecv(const char* data, int n) override {
    received.append(data, static_cast<size_t>(n));
    if (on_recv) on_recv();
  }
  int connected = 0, disconnected = 0, failures = 0, ticks = 0;
  int64_t sent = 0;
  std::string received;
  std::function<void()> on_connected, on_disconnect, on_tick, on_recv;
};

// Resolves names from a table, answering on the next pass like the real resolver.
class FakeResolver : public rtc::AsyncResolverInterface, public rtc::MessageHandler {
 public:
  struct Table {
    std::vector<std::string> ips;  // empty: resolution fails
    rtc::SocketAddress started;
    int created = 0;
  };
  explicit FakeResolver(Table* table) : table_(table) { ++table_->created; }
  void Start(const rtc::SocketAddress& addr) override {
    addr_ = addr;
    table_->started = addr;
    rtc::Thread::Current()->Post(RTC_FROM_HERE, this, 0);
  }
  bool GetResolvedAddress(int family, rtc::SocketAddress* out) const override {
    for (const std::string& ip : table_->ips) {
      rtc::IPAddress a;
      if (rtc::IPFromString(ip, &a) && a.family() == family) {
        *out = addr_;
        out->SetResolvedIP(a);
        return true;
      }
    }
    return false;
  }
  int GetError() const override { return table_->ips.empty() ? -2 : 0; }
  void Destroy(bool) override { rtc::Thread::Current()->Dispose(this); }
  void OnMessage(rtc::Message*) override { SignalDone(this); }

 private:
  Table* table_;
  rtc::SocketAddress addr_;
};

class XTcpClientTest : public ::testing::Test {
 protected:
  XTcpClientTest() : thread_(&ss_) {}
  ~XTcpClientTest() override {
    client_.reset();
    Pump([] { return false; }, 20);  // let disposed sockets go
    XTcpClient::SetResolverFactoryForTesting(nullptr);
  }

  // Runs the worker's pass (messages and socket events, then the ticks) until `done` or the
  // time limit; returns `done()`.
  bool Pump(const std::function<bool()>& done, int limit_ms = 5000) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(limit_ms);
    while (std::chrono::steady_clock::now() < end) {
      if (fake_clock_) {
        // Waits would be measured on the stopped clock: poll instead.
        thread_.ProcessMessages(0);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      } else {
        thread_.ProcessMessages(1);
      }
      MThreadTick::Inst()->DoProcess();
      if (done()) return true;
    }
    return done();
  }

  XTcpClient* NewClient() {
    client_.reset(static_cast<XTcpClient*>(XNetClient::Create(rec_, &thread_)));
    return client_.get();
  }

  void UseFakeResolver() {
    XTcpClient::SetResolverFactoryForTesting([this] { return new FakeResolver(&names_); });
  }

  rtc::PhysicalSocketServer ss_;
  rtc::AutoSocketServerThread thread_;
  Recorder rec_;
  FakeResolver::Table names_;
  std::unique_ptr<XTcpClient> client_;
  bool fake_clock_ = false;
};

TEST_F(XTcpClientTest, BytesQueuedBeforeConnectingLeaveInOrderOnceConnectedOverIPv4) {
  TestPeer peer;
  peer.keep_open_on_join_ = true;
  peer.Run([](int fd, TestPeer& p) { p.received = TestPeer::ReadExactly(fd, 11); });
  XTcpClient* c = NewClient();
  std::string first = "hello ";
  EXPECT_EQ(6, c->SendMessageX(first));
  EXPECT_EQ(0, c->Connect("127.0.0.1", peer.port(), false));
  EXPECT_EQ(XNetClient::kClosed, c->Status());  // the connect step is posted
  EXPECT_EQ(5, c->SendMessageX("world", 5));
  ASSERT_TRUE(Pump([&] { return rec_.connected == 1 && c->PendingBytes() == 0; }));
  EXPECT_EQ(XNetClient::kConnected, c->Status());
  EXPECT_EQ(11, rec_.sent);
  client_.reset();
  peer.Join();
  EXPECT_EQ("hello world", peer.received);
}

TEST_F(XTcpClientTest, ConnectsOverIPv6Literal) {
  TestPeer peer(AF_INET6);
  peer.Run([](int fd, TestPeer&) { TestPeer::ReadExactly(fd, 1); });
  NewClient()->Connect("::1", peer.port(), false);
  ASSERT_TRUE(Pump([&] { return rec_.connected == 1; }));
  EXPECT_EQ(0, rec_.failures);
}

TEST_F(XTcpClientTest, ConnectsByNameThroughTheResolver) {
  TestPeer peer;
  peer.Run([](int fd, TestPeer&) { TestPeer::ReadExactly(fd, 1); });
  NewClient()->Connect("localhost", peer.port(), false);
  ASSERT_TRUE(Pump([&] { return rec_.connected == 1 || rec_.failures > 0; }));
  EXPECT_EQ(1, rec_.connected);
}

TEST_F(XTcpClientTest, UnresolvableNameFailsOnceAndCloses) {
  UseFakeResolver();
  XTcpClient* c = NewClient();
  c->Connect("nothing.invalid", 7080, false);
  ASSERT_TRUE(Pump([&] { return rec_.failures > 0; }));
  Pump([] { return false; }, 50);
  EXPECT_EQ(1, rec_.failures);
  EXPECT_EQ(0, rec_.connected);
  EXPECT_EQ(XNetClient::kClosed, c->Status());
  EXPECT_EQ(1, names_.created);
}

TEST_F(XTcpClientTest, PortBelowOneBecomesEighty) {
  UseFakeResolver();
  NewClient()->Connect("gateway.invalid", 0, false);
  ASSERT_TRUE(Pump([&] { return rec_.failures > 0; }));
  EXPECT_EQ(80, names_.started.port());
  EXPECT_EQ("gateway.invalid", names_.started.hostname());
}

TEST_F(XTcpClientTest, NameWithBothFamiliesFallsBackToIPv4WhenIPv6Fails) {
  UseFakeResolver();
  TestPeer peer;  // IPv4 only: ::1 on this port refuses
  peer.Run([](int fd, TestPeer&) { TestPeer::ReadExactly(fd, 1); });
  names_.ips = {"::1", "127.0.0.1"};
  XTcpClient* c = NewClient();
  c->SendMessageX("early", 5);
  c->Connect("dual.invalid", peer.port(), false);
  ASSERT_TRUE(Pump([&] { return rec_.connected == 1 || rec_.failures > 0; }));
  EXPECT_EQ(1, rec_.connected);
  EXPECT_EQ(0, rec_.failures);
  ASSERT_TRUE(Pump([&] { return rec_.sent == 5; }));  // queued bytes survived the fallback
}

TEST_F(XTcpClientTest, RefusedPortIsAFailureNotADisconnect) {
  XTcpClient* c = NewClient();
  c->Connect("127.0.0.1", ClosedPort(), false);
  ASSERT_TRUE(Pump([&] { return rec_.failures > 0; }));
  EXPECT_EQ(1, rec_.failures);
  EXPECT_EQ(0, rec_.disconnected);
  EXPECT_EQ(XNetClient::kClosed, c->Status());
}

TEST_F(XTcpClientTest, ConnectIsRefusedUnlessClosed) {
  TestPeer peer;
  peer.Run([](int fd, TestPeer&) { TestPeer::ReadExactly(fd, 1); });
  XTcpClient* c = NewClient();
  c->Connect("127.0.0.1", peer.port(), false);
  ASSERT_TRUE(Pump([&] { return rec_.connected == 1; }));
  EXPECT_EQ(-1, c->Connect("127.0.0.1", peer.port(), false));
  EXPECT_EQ(1, rec_.failures);
  EXPECT_EQ(XNetClient::kConnected, c->Status());
  EXPECT_EQ(-1, c->Connect("", 1, false));
}

TEST_F(XTcpClientTest, PeerCloseReportsDisconnect) {
  TestPeer peer;
  peer.Run([](int fd, TestPeer& p) {
    while (!p.go_) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ::shutdown(fd, SHUT_RDWR);
  });
  XTcpClient* c = NewClient();
  c->Connect("127.0.0.1", peer.port(), false);
  ASSERT_TRUE(Pump([&] { return rec_.connected == 1; }));
  peer.go_ = true;
  ASSERT_TRUE(Pump([&] { return rec_.disconnected == 1; }));
  EXPECT_EQ(0, rec_.failures);
  EXPECT_EQ(XNetClient::kClosed, c->Status());
}

TEST_F(XTcpClientTest, PeerResetWhileDataIsQueuedDropsItAndLeavesTheProcessRunning) {
  TestPeer peer;
  peer.Run([](int fd, TestPeer& p) {
    while (!p.go_) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    TestPeer::Reset(fd);
  });
  XTcpClient* c = NewClient();
  c->Connect("127.0.0.1", peer.port(), false);
  ASSERT_TRUE(Pump([&] { return rec_.connected == 1; }));
  std::string chunk(256 * 1024, 'r');
  for (int i = 0; i < 32; ++i) c->SendMessageX(chunk);
  Pump([] { return false; }, 50);
  ASSERT_GT(c->PendingBytes(), 0u);  // the peer reads nothing
  peer.go_ = true;
  ASSERT_TRUE(Pump([&] { return rec_.disconnected == 1; }));
  EXPECT_EQ(0u, c->PendingBytes());
}

TEST_F(XTcpClientTest, StalledPeerLetsBytesPileUpAndADrainDeliversThemIntact) {
  constexpr size_t kTotal = 8 * 1024 * 1024;
  std::string pattern(kTotal, '\0');
  std::mt19937 rng(3);
  for (char& ch : pattern) ch = static_cast<char>(rng());
  TestPeer peer;
  std::string got;
  peer.keep_open_on_join_ = true;
  peer.Run([&](int fd, TestPeer& p) {
    while (!p.go_) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    got = TestPeer::ReadExactly(fd, kTotal);
  });
  XTcpClient* c = NewClient();
  c->Connect("127.0.0.1", peer.port(), false);
  ASSERT_TRUE(Pump([&] { return rec_.connected == 1; }));
  for (size_t pos = 0; pos < kTotal; pos += 64 * 1024) {
    ASSERT_EQ(64 * 1024, c->SendMessageX(pattern.data() + pos, 64 * 1024));
  }
  Pump([] { return false; }, 200);
  EXPECT_GT(c->PendingBytes(), 0u);  // the socket buffers are full
  EXPECT_LT(rec_.sent, static_cast<int64_t>(kTotal));
  peer.go_ = true;
  ASSERT_TRUE(Pump([&] { return rec_.sent == static_cast<int64_t>(kTotal); }, 20000));
  client_.reset();
  peer.Join();
  EXPECT_TRUE(got == pattern);
}

TEST_F(XTcpClientTest, LargeStreamFromThePeerArrivesIntact) {
  constexpr size_t kTotal = 10 * 1024 * 1024;
  std::string pattern(kTotal, '\0');
  std::mt19937 rng(5);
  for (char& ch : pattern) ch = static_cast<char>(rng());
  TestPeer peer;
  peer.Run([&](int fd, TestPeer&) {
    std::mt19937 split(9);
    for (size_t pos = 0; pos < kTotal;) {
      size_t n = std::min<size_t>(1 + split() % 100000, kTotal - pos);
      TestPeer::WriteAll(fd, pattern.substr(pos, n));
      pos += n;
    }
  });
  NewClient()->Connect("127.0.0.1", peer.port(), false);
  ASSERT_TRUE(Pump([&] { return rec_.received.size() >= kTotal; }, 20000));
  EXPECT_TRUE(rec_.received == pattern);
}

TEST_F(XTcpClientTest, DisableReadStopsDelivery) {
  TestPeer peer;
  peer.Run([](int fd, TestPeer& p) {
    TestPeer::WriteAll(fd, "first");
    while (!p.go_) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    TestPeer::WriteAll(fd, "second");
    TestPeer::ReadExactly(fd, 1);
  });
  XTcpClient* c = NewClient();
  c->Connect("127.0.0.1", peer.port(), false);
  ASSERT_TRUE(Pump([&] { return rec_.received == "first"; }));
  c->DisableRead();
  peer.go_ = true;
  Pump([] { return false; }, 100);
  EXPECT_EQ("first", rec_.received);
}

TEST_F(XTcpClientTest, OwnerMayDeleteTheClientFromItsCallbacks) {
  // From the receive callback.
  {
    TestPeer peer;
    peer.Run([](int fd, TestPeer&) {
      TestPeer::WriteAll(fd, std::string(200000, 'd'));
      TestPeer::ReadExactly(fd, 1);
    });
    rec_.on_recv = [&] { client_.reset(); };
    NewClient()->Connect("127.0.0.1", peer.port(), false);
    ASSERT_TRUE(Pump([&] { return client_ == nullptr; }));
    rec_.on_recv = nullptr;
    Pump([] { return false; }, 20);
  }
  // From the disconnect callback.
  {
    TestPeer peer;
    peer.Run([](int fd, TestPeer&) { ::close(fd); });
    rec_.on_disconnect = [&] { client_.reset(); };
    NewClient()->Connect("127.0.0.1", peer.port(), false);
    ASSERT_TRUE(Pump([&] { return client_ == nullptr; }));
    rec_.on_disconnect = nullptr;
  }
  // From the tick.
  {
    rec_.on_tick = [&] { client_.reset(); };
    NewClient();
    ASSERT_TRUE(Pump([&] { return client_ == nullptr; }));
    rec_.on_tick = nullptr;
  }
  Pump([] { return false; }, 20);
}

TEST_F(XTcpClientTest, AutoReconnectRetriesAfterTwoSeconds) {
  XTcpClient* c = NewClient();
  {
    // Installed before the failure it times, so that a slow machine cannot use up part of
    // the two seconds on the real clock.
    int64_t now = rtc::TimeMillis();
    rtc::ScopedFakeClock clock;
    clock.SetTimeMillis(now);
    fake_clock_ = true;
    c->Connect("127.0.0.1", ClosedPort(), true);
    clock.AdvanceTime(1);  // the connect step is posted 1 ms ahead
    ASSERT_TRUE(Pump([&] { return rec_.failures == 1; }));
    EXPECT_NE(XNetClient::kClosed, c->Status());
    Pump([] { return false; }, 50);
    EXPECT_EQ(1, rec_.failures);
    clock.AdvanceTime(1990);
    Pump([] { return false; }, 20);
    EXPECT_EQ(1, rec_.failures);
    clock.AdvanceTime(20);
    EXPECT_TRUE(Pump([&] { return rec_.failures == 2; }));
    fake_clock_ = false;
  }
  c->Disconnect();
  EXPECT_EQ(XNetClient::kClosed, c->Status());
  Pump([] { return false; }, 50);
  EXPECT_EQ(2, rec_.failures);
}

TEST_F(XTcpClientTest, FullSendBufferRefusesFramesWhole) {
  XTcpClient* c = NewClient();
  std::string chunk(1024 * 1024, 'f');
  for (size_t i = 0; i < XSendBuffer::kMaxCapacity / chunk.size(); ++i) {
    ASSERT_EQ(static_cast<int>(chunk.size()), c->SendMessageX(chunk));
  }
  EXPECT_EQ(-1, c->SendMessageX("x", 1));
  EXPECT_EQ(XSendBuffer::kMaxCapacity, c->PendingBytes());
  EXPECT_EQ(-1, c->SendMessageX(nullptr, 3));
  std::string empty;
  EXPECT_EQ(-1, c->SendMessageX(empty));
}

}  // namespace

}  // namespace vy

// The TCP client against blocking loopback peers on their own threads.
#include "core/x_tcp_client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
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
#include "rtc_base/net/physical_socket_server.h"
#include "rtc_base/threads/event.h"
#include "rtc_base/threads/thread.h"

namespace vy {
namespace {

std::string ReadUpTo(int fd, size_t n) {
  std::string out(n, '\0');
  size_t got = 0;
  for (ssize_t r; got < n && (r = ::recv(fd, out.data() + got, n - got, 0)) > 0;) got += r;
  return out.substr(0, got);
}
void WriteAll(int fd, const std::string& data) {
  for (size_t pos = 0; pos < data.size();) {
    ssize_t w = ::send(fd, data.data() + pos, data.size() - pos, MSG_NOSIGNAL);
    if (w <= 0) return;
    pos += w;
  }
}

// Accepts one connection and runs `behaviour` on it; `go` holds a behaviour back until the test
// lets it on, `done` tells that it ended. Going out of scope cuts a blocked accept or read short.
class Peer {
 public:
  explicit Peer(int family = AF_INET) {
    listen_fd_ = ::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in6 a6{.sin6_family = AF_INET6, .sin6_addr = in6addr_loopback};
    sockaddr_in a4{.sin_family = AF_INET, .sin_addr = {htonl(INADDR_LOOPBACK)}};
    sockaddr* sa =
        family == AF_INET6 ? reinterpret_cast<sockaddr*>(&a6) : reinterpret_cast<sockaddr*>(&a4);
    socklen_t len = family == AF_INET6 ? sizeof(a6) : sizeof(a4);
    EXPECT_EQ(0, ::bind(listen_fd_, sa, len));
    EXPECT_EQ(0, ::listen(listen_fd_, 4));
    ::getsockname(listen_fd_, sa, &len);
    port = ntohs(family == AF_INET6 ? a6.sin6_port : a4.sin_port);
  }
  ~Peer() {
    stop_ = true;
    go.Set();
    ::shutdown(listen_fd_, SHUT_RDWR);
    if (conn_fd_ >= 0) ::shutdown(conn_fd_, SHUT_RDWR);
    if (thread_.joinable()) thread_.join();
    if (conn_fd_ >= 0) ::close(conn_fd_);
    ::close(listen_fd_);
  }
  void Run(std::function<void(int fd)> behaviour) {
    thread_ = std::thread([this, behaviour] {
      int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) return;
      conn_fd_ = fd;
      if (stop_) ::shutdown(fd, SHUT_RDWR);  // the destructor may have missed it
      behaviour(fd);
      done.Set();
    });
  }
  // Closes the connection with a reset instead of an orderly close.
  void Reset(int fd) {
    linger l{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof(l));
    conn_fd_ = -1;
    ::close(fd);
  }
  int port = 0;
  rtc::Event go, done;

 private:
  int listen_fd_ = -1;
  std::atomic<int> conn_fd_{-1};
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// Counts what the client reports; `hook` runs inside the report named by `hook_at`.
struct Recorder : XNetClientCallback {
  void OnServerConnected() override { ++connected; }
  void OnServerDisconnect() override { ++disconnected, Hook("disconnect"); }
  void OnServerConnectionFailure() override { ++failures; }
  void OnNetworkChanged() override {}
  void OnTick() override { Hook("tick"); }
  void OnMessageSent(int n) override { sent += n; }
  void OnMessageRecv(const char* data, int n) override { received.append(data, n), Hook("recv"); }
  void Hook(const std::string& at) {
    if (at == hook_at) hook();
  }
  int connected = 0, disconnected = 0, failures = 0;
  int64_t sent = 0;
  std::string received, hook_at;
  std::function<void()> hook;
};

class XTcpClientTest : public ::testing::Test {
 protected:
  XTcpClientTest() : thread_(&ss_) { Fresh(); }
  ~XTcpClientTest() override {
    client_.reset();
    Passes(3);  // disposed sockets go
  }
  // Runs the worker's passes (messages and socket events, then the ticks) until `done`.
  bool Pump(const std::function<bool()>& done, int limit_ms = 10000) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(limit_ms);
    while (!done() && std::chrono::steady_clock::now() < end) {
      thread_.ProcessMessages(1);
      MThreadTick::Inst()->DoProcess();
    }
    return done();
  }
  void Fresh() {
    rec_ = Recorder();
    client_.reset(static_cast<XTcpClient*>(XNetClient::Create(rec_, &thread_)));
  }
  // Passes that wait for nothing: whatever is due or readable now is handled.
  void Passes(int n) {
    for (int i = 0; i < n; ++i) thread_.ProcessMessages(0), MThreadTick::Inst()->DoProcess();
  }

  rtc::PhysicalSocketServer ss_;
  rtc::AutoSocketServerThread thread_;
  Recorder rec_;
  std::unique_ptr<XTcpClient> client_;
};

TEST_F(XTcpClientTest, BytesQueuedBeforeConnectingLeaveInOrderOverEachWayToTheServer) {
  for (const std::string host : {"127.0.0.1", "::1", "localhost"}) {  // the last one resolved
    Peer peer(host == "::1" ? AF_INET6 : AF_INET);
    std::string got;
    peer.Run([&](int fd) { got = ReadUpTo(fd, 11); });
    Fresh();
    EXPECT_EQ(6, client_->SendMessageX("hello ", 6));
    EXPECT_EQ(0, client_->Connect(host, peer.port, false));
    EXPECT_EQ(XNetClient::kClosed, client_->Status());  // the connect step is posted
    EXPECT_EQ(5, client_->SendMessageX("world", 5));
    ASSERT_TRUE(Pump([&] { return rec_.sent == 11; })) << host;
    EXPECT_EQ(XNetClient::kConnected, client_->Status());
    EXPECT_EQ(-1, client_->Connect("127.0.0.1", peer.port, false));  // only when closed
    ASSERT_TRUE(peer.done.Wait(5000));
    EXPECT_EQ("hello world", got);
    EXPECT_EQ(1, rec_.connected);
    EXPECT_EQ(1, rec_.failures);  // the refused second Connect
  }
  // A refused port is a failure, not a disconnect, and leaves the client closed.
  rec_ = Recorder();
  client_->Disconnect();
  client_->Connect("127.0.0.1", Peer().port, false);
  ASSERT_TRUE(Pump([&] { return rec_.failures > 0; }));
  EXPECT_EQ(-1, client_->Connect("", 1, false));
  EXPECT_EQ(2, rec_.failures);
  EXPECT_EQ(0, rec_.disconnected);
  EXPECT_EQ(XNetClient::kClosed, client_->Status());
}

TEST_F(XTcpClientTest, PeerCloseOrResetReportsOneDisconnectAndDropsWhatWasQueued) {
  for (bool reset : {false, true}) {
    Peer peer;
    peer.Run([&](int fd) {
      peer.go.Wait(rtc::Event::kForever);
      reset ? peer.Reset(fd) : void(::shutdown(fd, SHUT_RDWR));
    });
    rec_ = Recorder();
    client_->Connect("127.0.0.1", peer.port, false);
    ASSERT_TRUE(Pump([&] { return rec_.connected == 1; }));
    std::string chunk(256 * 1024, 'r');
    for (int i = 0; reset && i < 32; ++i) client_->SendMessageX(chunk);
    peer.go.Set();
    ASSERT_TRUE(Pump([&] { return rec_.disconnected == 1; }));
    EXPECT_EQ(0, rec_.failures);
    EXPECT_EQ(0u, client_->PendingBytes());
    EXPECT_EQ(XNetClient::kClosed, client_->Status());
  }
}

TEST_F(XTcpClientTest, LargeStreamsArriveIntactBothWaysThroughAStalledPeerUntilReadingIsDisabled) {
  constexpr size_t kTotal = 8 * 1024 * 1024;
  std::string pattern(kTotal, '\0');
  std::mt19937 rng(3);
  for (char& ch : pattern) ch = static_cast<char>(rng());
  Peer peer;
  std::string got;
  peer.Run([&](int fd) {
    for (size_t pos = 0, n; pos < kTotal; pos += n) {
      n = std::min<size_t>(1 + rng() % 100000, kTotal - pos);
      WriteAll(fd, pattern.substr(pos, n));
    }
    peer.go.Wait(rtc::Event::kForever);  // reads nothing until the client's buffers are full
    got = ReadUpTo(fd, kTotal);
    WriteAll(fd, "more");
  });
  client_->Connect("127.0.0.1", peer.port, false);
  ASSERT_TRUE(Pump([&] { return rec_.received.size() >= kTotal; }));
  EXPECT_TRUE(rec_.received == pattern);
  client_->DisableRead();
  for (size_t pos = 0; pos < kTotal; pos += 64 * 1024) {
    ASSERT_EQ(64 * 1024, client_->SendMessageX(pattern.data() + pos, 64 * 1024));
  }
  Passes(20);
  EXPECT_GT(client_->PendingBytes(), 0u);
  peer.go.Set();
  ASSERT_TRUE(Pump([&] { return rec_.sent == static_cast<int64_t>(kTotal); }));
  ASSERT_TRUE(peer.done.Wait(10000));
  EXPECT_TRUE(got == pattern);
  Passes(5);                                // loopback bytes are readable once the write returned
  EXPECT_EQ(kTotal, rec_.received.size());  // reading was disabled
}

TEST_F(XTcpClientTest, OwnerMayDeleteTheClientFromItsCallbacks) {
  for (const char* from : {"recv", "disconnect", "tick"}) {
    Peer peer;
    peer.Run([](int fd) {
      WriteAll(fd, std::string(200000, 'd'));
      ::shutdown(fd, SHUT_RDWR);
    });
    Fresh();
    rec_.hook_at = from;
    rec_.hook = [this] { client_.reset(); };
    client_->Connect("127.0.0.1", peer.port, false);
    ASSERT_TRUE(Pump([&] { return client_ == nullptr; })) << from;
    Passes(3);
  }
}

TEST_F(XTcpClientTest, FullSendBufferRefusesFramesWhole) {
  std::string chunk(1024 * 1024, 'f');
  for (size_t i = 0; i < XSendBuffer::kMaxCapacity / chunk.size(); ++i) {
    ASSERT_EQ(static_cast<int>(chunk.size()), client_->SendMessageX(chunk));
  }
  EXPECT_EQ(-1, client_->SendMessageX("x", 1));
  EXPECT_EQ(XSendBuffer::kMaxCapacity, client_->PendingBytes());
  EXPECT_EQ(-1, client_->SendMessageX(nullptr, 3));
}

}  // namespace
}  // namespace vy

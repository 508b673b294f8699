#include "rtc_base/socket_pool.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "gtest/gtest.h"
#include "rtc_base/socket_stream.h"
#include "rtc_base/stream.h"
#include "rtc_base/thread.h"
#include "rtc_base/time_utils.h"

namespace rtc {
namespace {

constexpr int kTimeoutMs = 10000;

// A loopback TCP server on its own thread that counts the connections it
// accepts and lets the test write to or close the latest one.
class CountingServer {
 public:
  CountingServer() {
    listen_fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(addr);
    bind(listen_fd_, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
    listen(listen_fd_, 16);
    getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&addr), &len);
    port_ = ntohs(addr.sin_port);
    thread_ = std::thread([this] { Run(); });
  }
  ~CountingServer() {
    stop_ = true;
    thread_.join();
    close(listen_fd_);
    std::lock_guard<std::mutex> lock(mutex_);
    for (int fd : fds_)
      if (fd >= 0)
        close(fd);
  }

  SocketAddress address() const { return SocketAddress("127.0.0.1", port_); }
  int accepts() const { return accepts_; }

  void SendToLatest(const std::string& data) {
    std::lock_guard<std::mutex> lock(mutex_);
    send(fds_.back(), data.data(), data.size(), MSG_NOSIGNAL);
  }
  void CloseLatest() {
    std::lock_guard<std::mutex> lock(mutex_);
    close(fds_.back());
    fds_.back() = -1;
  }
  // Whether the peer of the latest connection has closed it.
  bool LatestSawEndOfStream() {
    std::lock_guard<std::mutex> lock(mutex_);
    pollfd p = {fds_.back(), POLLIN, 0};
    if (poll(&p, 1, 0) != 1)
      return false;
    char c;
    return recv(fds_.back(), &c, 1, MSG_PEEK) == 0;
  }
  std::string ReadLatest() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::string out;
    char buffer[256];
    pollfd p = {fds_.back(), POLLIN, 0};
    while (poll(&p, 1, 1000) == 1) {
      ssize_t n = recv(fds_.back(), buffer, sizeof(buffer), MSG_DONTWAIT);
      if (n <= 0)
        break;
      out.append(buffer, n);
      p.revents = 0;
      if (poll(&p, 1, 50) != 1)
        break;
    }
    return out;
  }

 private:
  void Run() {
    while (!stop_) {
      pollfd p = {listen_fd_, POLLIN, 0};
      if (poll(&p, 1, 20) == 1) {
        int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd >= 0) {
          std::lock_guard<std::mutex> lock(mutex_);
          fds_.push_back(fd);
          ++accepts_;
        }
      }
    }
  }

  int listen_fd_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<int> accepts_{0};
  std::mutex mutex_;
  std::vector<int> fds_;
  std::thread thread_;
};

class EventLog : public sigslot::has_slots<> {
 public:
  void OnEvent(StreamInterface*, int events, int err) {
    this->events.push_back(events);
    errors.push_back(err);
  }
  bool Saw(int event) const {
    for (int e : events)
      if (e & event)
        return true;
    return false;
  }
  std::vector<int> events;
  std::vector<int> errors;
};

class SocketPoolTest : public ::testing::Test {
 protected:
  void SetUp() override {
    thread_ = ThreadManager::Instance()->WrapCurrentThread();
    ASSERT_TRUE(thread_);
    factory_ = thread_->socketserver();
  }
  void TearDown() override {
    thread_->ProcessMessages(0);
    ThreadManager::Instance()->UnwrapCurrentThread();
  }

  bool PumpUntil(const std::function<bool()>& done) {
    int64_t end = SystemTimeMillis() + kTimeoutMs;
    while (!done()) {
      if (SystemTimeMillis() > end)
        return false;
      thread_->ProcessMessages(5);
    }
    return true;
  }

  Thread* thread_ = nullptr;
  SocketFactory* factory_ = nullptr;
};

TEST_F(SocketPoolTest, SocketStreamTurnsSocketEventsIntoStreamEvents) {
  CountingServer server;
  AsyncSocket* socket = factory_->CreateAsyncSocket(AF_INET, SOCK_STREAM);
  ASSERT_TRUE(socket);
  SocketStream stream(socket);
  EventLog log;
  stream.SignalEvent.connect(&log, &EventLog::OnEvent);
  EXPECT_EQ(SS_CLOSED, stream.GetState());
  socket->Connect(server.address());
  EXPECT_EQ(SS_OPENING, stream.GetState());
  ASSERT_TRUE(PumpUntil([&] { return !log.events.empty(); }));
  EXPECT_EQ(SE_OPEN | SE_READ | SE_WRITE, log.events[0]);
  EXPECT_EQ(0, log.errors[0]);
  EXPECT_EQ(SS_OPEN, stream.GetState());

  char buffer[16];
  size_t count = 99;
  EXPECT_EQ(SR_BLOCK, stream.Read(buffer, sizeof(buffer), &count, nullptr));
  EXPECT_EQ(SR_SUCCESS, stream.Read(buffer, 0, &count, nullptr));
  EXPECT_EQ(0u, count);

  ASSERT_TRUE(PumpUntil([&] { return server.accepts() == 1; }));
  server.SendToLatest("hello");
  ASSERT_TRUE(PumpUntil([&] { return log.Saw(SE_READ) && log.events.size() > 1; }));
  EXPECT_EQ(SR_SUCCESS, stream.Read(buffer, sizeof(buffer), &count, nullptr));
  EXPECT_EQ("hello", std::string(buffer, count));

  EXPECT_EQ(SR_SUCCESS, stream.Write("ping", 4, &count, nullptr));
  EXPECT_EQ(4u, count);
  EXPECT_EQ("ping", server.ReadLatest());

  server.CloseLatest();
  ASSERT_TRUE(PumpUntil([&] { return log.Saw(SE_CLOSE); }));
}

TEST_F(SocketPoolTest, SocketStreamReportsRefusedConnect) {
  int port;
  {
    CountingServer gone;
    port = gone.address().port();
  }
  AsyncSocket* socket = factory_->CreateAsyncSocket(AF_INET, SOCK_STREAM);
  SocketStream stream(socket);
  EventLog log;
  stream.SignalEvent.connect(&log, &EventLog::OnEvent);
  socket->Connect(SocketAddress("127.0.0.1", port));
  ASSERT_TRUE(PumpUntil([&] { return log.Saw(SE_CLOSE); }));
  EXPECT_EQ(ECONNREFUSED, log.errors.back());
}

TEST_F(SocketPoolTest, ReusePoolReusesOpenStreamForTheSameAddress) {
  CountingServer server;
  ReuseSocketPool pool(factory_);
  int err = -5;
  StreamInterface* first = pool.RequestConnectedStream(server.address(), &err);
  ASSERT_TRUE(first);
  EXPECT_EQ(0, err);
  ASSERT_TRUE(PumpUntil([&] { return first->GetState() == SS_OPEN; }));

  // A second borrower while the stream is out gets nothing.
  EXPECT_EQ(nullptr, pool.RequestConnectedStream(server.address(), &err));
  EXPECT_EQ(EBUSY, err);

  pool.ReturnConnectedStream(first);
  StreamInterface* second = pool.RequestConnectedStream(server.address(), &err);
  EXPECT_EQ(first, second);
  EXPECT_EQ(SS_OPEN, second->GetState());
  pool.ReturnConnectedStream(second);
  ASSERT_TRUE(PumpUntil([&] { return server.accepts() == 1; }));
  thread_->ProcessMessages(20);
  EXPECT_EQ(1, server.accepts());
}

TEST_F(SocketPoolTest, ReusePoolReconnectsTheSameStreamToAnotherAddress) {
  CountingServer one, two;
  ReuseSocketPool pool(factory_);
  int err;
  StreamInterface* stream = pool.RequestConnectedStream(one.address(), &err);
  ASSERT_TRUE(PumpUntil([&] { return stream->GetState() == SS_OPEN; }));
  pool.ReturnConnectedStream(stream);
  StreamInterface* again = pool.RequestConnectedStream(two.address(), &err);
  EXPECT_EQ(stream, again);
  ASSERT_TRUE(PumpUntil([&] {
    return again->GetState() == SS_OPEN && two.accepts() == 1;
  }));
  EXPECT_EQ(1, one.accepts());
  pool.ReturnConnectedStream(again);
}

TEST_F(SocketPoolTest, IdleStreamThatTurnsReadableIsClosedAndReconnected) {
  CountingServer server;
  ReuseSocketPool pool(factory_);
  int err;
  StreamInterface* stream = pool.RequestConnectedStream(server.address(), &err);
  ASSERT_TRUE(PumpUntil([&] {
    return stream->GetState() == SS_OPEN && server.accepts() == 1;
  }));
  pool.ReturnConnectedStream(stream);

  // A write event alone changes nothing.
  stream->SignalEvent(stream, SE_WRITE, 0);
  EXPECT_EQ(SS_OPEN, stream->GetState());

  server.SendToLatest("unexpected");
  ASSERT_TRUE(PumpUntil([&] { return stream->GetState() == SS_CLOSED; }));
  StreamInterface* again = pool.RequestConnectedStream(server.address(), &err);
  EXPECT_EQ(stream, again);
  ASSERT_TRUE(PumpUntil([&] { return server.accepts() == 2; }));
  pool.ReturnConnectedStream(again);
}

TEST_F(SocketPoolTest, ReusePoolReportsAConnectThatFailsAtOnce) {
  ReuseSocketPool pool(factory_);
  int err = 0;
  // An IPv4 socket cannot connect to port 0.
  StreamInterface* stream =
      pool.RequestConnectedStream(SocketAddress("127.0.0.1", 0), &err);
  if (stream) {
    // Some kernels only fail once the connect runs; then a close follows.
    pool.ReturnConnectedStream(stream);
    SUCCEED();
  } else {
    EXPECT_NE(0, err);
  }
}

TEST_F(SocketPoolTest, NewPoolDeletesReturnedStreamOnTheNextLoopPass) {
  CountingServer server;
  NewSocketPool pool(factory_);
  int err;
  StreamInterface* stream = pool.RequestConnectedStream(server.address(), &err);
  ASSERT_TRUE(stream);
  ASSERT_TRUE(PumpUntil([&] {
    return stream->GetState() == SS_OPEN && server.accepts() == 1;
  }));
  StreamInterface* other = pool.RequestConnectedStream(server.address(), &err);
  EXPECT_NE(stream, other);
  ASSERT_TRUE(PumpUntil([&] { return server.accepts() == 2; }));
  pool.ReturnConnectedStream(other);
  // Deleted later, on the loop, not inside the call.
  EXPECT_FALSE(server.LatestSawEndOfStream());
  ASSERT_TRUE(PumpUntil([&] { return server.LatestSawEndOfStream(); }));
  pool.ReturnConnectedStream(stream);
}

TEST_F(SocketPoolTest, CacheOverNewPoolReusesAndDropsClosedStreams) {
  CountingServer server;
  NewSocketPool inner(factory_);
  {
    StreamCache cache(&inner);
    int err;
    StreamInterface* stream =
        cache.RequestConnectedStream(server.address(), &err);
    ASSERT_TRUE(stream);
    ASSERT_TRUE(PumpUntil([&] {
      return stream->GetState() == SS_OPEN && server.accepts() == 1;
    }));
    cache.ReturnConnectedStream(stream);
    EXPECT_EQ(stream, cache.RequestConnectedStream(server.address(), &err));
    cache.ReturnConnectedStream(stream);

    // The peer closes the cached stream: the cache hands it back.
    server.CloseLatest();
    thread_->ProcessMessages(50);
    StreamInterface* fresh =
        cache.RequestConnectedStream(server.address(), &err);
    ASSERT_TRUE(fresh);
    ASSERT_TRUE(PumpUntil([&] { return server.accepts() == 2; }));
    cache.ReturnConnectedStream(fresh);
  }
  // The cache gave its streams back to the inner pool; they go on the loop.
  ASSERT_TRUE(PumpUntil([&] { return server.LatestSawEndOfStream(); }));
}

TEST_F(SocketPoolTest, CacheOverReusePoolNeverDeletesTheReusedStream) {
  CountingServer server;
  ReuseSocketPool inner(factory_);
  {
    StreamCache cache(&inner);
    int err;
    StreamInterface* stream =
        cache.RequestConnectedStream(server.address(), &err);
    ASSERT_TRUE(PumpUntil([&] { return stream->GetState() == SS_OPEN; }));
    cache.ReturnConnectedStream(stream);
  }
  // The reuse pool still owns a live stream and can hand it out again.
  int err;
  StreamInterface* stream = inner.RequestConnectedStream(server.address(), &err);
  ASSERT_TRUE(stream);
  EXPECT_EQ(SS_OPEN, stream->GetState());
  inner.ReturnConnectedStream(stream);
}

TEST_F(SocketPoolTest, LoggingPoolAdapterWrapsAndRecyclesAdapters) {
  CountingServer server;
  ReuseSocketPool inner(factory_);
  LoggingPoolAdapter pool(&inner, LS_VERBOSE, "pool", false);
  int err;
  StreamInterface* stream = pool.RequestConnectedStream(server.address(), &err);
  ASSERT_TRUE(stream);
  ASSERT_TRUE(PumpUntil([&] {
    return stream->GetState() == SS_OPEN && server.accepts() == 1;
  }));
  size_t count = 0;
  EXPECT_EQ(SR_SUCCESS, stream->WriteAll("GET / HTTP/1.1\r\n\r\n", 18, &count,
                                         nullptr));
  EXPECT_EQ("GET / HTTP/1.1\r\n\r\n", server.ReadLatest());
  pool.ReturnConnectedStream(stream);
  StreamInterface* again = pool.RequestConnectedStream(server.address(), &err);
  EXPECT_EQ(stream, again);  // The adapter is recycled.
  pool.ReturnConnectedStream(again);
}

}  // namespace
}  // namespace rtc

#include "rtc_base/socket_pool.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "gtest/gtest.h"
#include "http_request_test_util.h"
#include "rtc_base/physical_socket_server.h"
#include "rtc_base/socket_stream.h"
#include "rtc_base/thread.h"

namespace rtc {
namespace {

using testing::PumpUntil;

// A loopback TCP server on its own thread that counts the connections it accepts and lets
// the test write to, read from or close the latest one.
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
    pipe2(stop_, O_CLOEXEC);
    thread_ = std::thread([this] { Run(); });
  }
  ~CountingServer() {
    close(stop_[1]);
    thread_.join();
    close(stop_[0]);
    close(listen_fd_);
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
  std::string ReadLatest(size_t size) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::string out(size, '\0');
    ssize_t n = recv(fds_.back(), out.data(), size, MSG_WAITALL);
    out.resize(n > 0 ? n : 0);
    return out;
  }

 private:
  void Run() {
    pollfd p[2] = {{listen_fd_, POLLIN, 0}, {stop_[0], POLLIN, 0}};
    while (poll(p, 2, -1) > 0 && p[1].revents == 0) {
      int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd >= 0) {
        std::lock_guard<std::mutex> lock(mutex_);
        fds_.push_back(fd);
        ++accepts_;
      }
    }
  }

  int listen_fd_ = -1;
  int port_ = 0;
  int stop_[2] = {-1, -1};
  std::atomic<int> accepts_{0};
  std::mutex mutex_;
  std::vector<int> fds_;
  std::thread thread_;
};

class EventLog : public sigslot::has_slots<> {
 public:
  void OnEvent(StreamInterface*, int events, int err) {
    all |= events;
    last_error = err;
  }
  int all = 0;
  int last_error = 0;
};

class SocketPoolTest : public ::testing::Test {
 protected:
  PhysicalSocketServer ss_;
  AutoSocketServerThread thread_{&ss_};
};

TEST_F(SocketPoolTest, SocketStreamTurnsSocketEventsIntoStreamEvents) {
  CountingServer server;
  AsyncSocket* socket = ss_.CreateAsyncSocket(AF_INET, SOCK_STREAM);
  SocketStream stream(socket);
  EventLog log;
  stream.SignalEvent.connect(&log, &EventLog::OnEvent);
  socket->Connect(server.address());
  EXPECT_EQ(SS_OPENING, stream.GetState());
  ASSERT_TRUE(PumpUntil([&] { return log.all != 0; }));
  EXPECT_EQ(SE_OPEN | SE_READ | SE_WRITE, log.all);
  char buffer[16];
  size_t count = 99;
  EXPECT_EQ(SR_BLOCK, stream.Read(buffer, sizeof(buffer), &count, nullptr));

  ASSERT_TRUE(PumpUntil([&] { return server.accepts() == 1; }));
  log.all = 0;
  server.SendToLatest("hello");
  ASSERT_TRUE(PumpUntil([&] { return (log.all & SE_READ) != 0; }));
  EXPECT_EQ(SR_SUCCESS, stream.Read(buffer, sizeof(buffer), &count, nullptr));
  EXPECT_EQ("hello", std::string(buffer, count));
  EXPECT_EQ(SR_SUCCESS, stream.Write("ping", 4, &count, nullptr));
  EXPECT_EQ("ping", server.ReadLatest(4));
  server.CloseLatest();
  ASSERT_TRUE(PumpUntil([&] { return (log.all & SE_CLOSE) != 0; }));

  int port = server.address().port();
  AsyncSocket* refused_socket = ss_.CreateAsyncSocket(AF_INET, SOCK_STREAM);
  SocketStream refused(refused_socket);
  EventLog refused_log;
  refused.SignalEvent.connect(&refused_log, &EventLog::OnEvent);
  {
    CountingServer gone;
    port = gone.address().port();
  }
  refused_socket->Connect(SocketAddress("127.0.0.1", port));
  ASSERT_TRUE(PumpUntil([&] { return (refused_log.all & SE_CLOSE) != 0; }));
  EXPECT_EQ(ECONNREFUSED, refused_log.last_error);
}

// One stream, lent out once at a time, kept open for its address, reconnected for another
// address and closed when it turns readable while idle.
TEST_F(SocketPoolTest, ReusePoolLendsOneStreamAndReconnectsItWhenItMust) {
  CountingServer one, two;
  ReuseSocketPool pool(&ss_);
  int err = -5;
  StreamInterface* stream = pool.RequestConnectedStream(one.address(), &err);
  ASSERT_TRUE(stream);
  EXPECT_EQ(0, err);
  ASSERT_TRUE(PumpUntil([&] { return stream->GetState() == SS_OPEN && one.accepts() == 1; }));
  EXPECT_EQ(nullptr, pool.RequestConnectedStream(one.address(), &err));
  EXPECT_EQ(EBUSY, err);
  pool.ReturnConnectedStream(stream);
  EXPECT_EQ(stream, pool.RequestConnectedStream(one.address(), &err));
  EXPECT_EQ(SS_OPEN, stream->GetState());
  pool.ReturnConnectedStream(stream);

  // A write event alone changes nothing; data on an idle stream closes it.
  stream->SignalEvent(stream, SE_WRITE, 0);
  EXPECT_EQ(SS_OPEN, stream->GetState());
  one.SendToLatest("unexpected");
  ASSERT_TRUE(PumpUntil([&] { return stream->GetState() == SS_CLOSED; }));
  EXPECT_EQ(stream, pool.RequestConnectedStream(one.address(), &err));
  ASSERT_TRUE(PumpUntil([&] { return stream->GetState() == SS_OPEN && one.accepts() == 2; }));
  pool.ReturnConnectedStream(stream);

  EXPECT_EQ(stream, pool.RequestConnectedStream(two.address(), &err));
  ASSERT_TRUE(PumpUntil([&] { return stream->GetState() == SS_OPEN && two.accepts() == 1; }));
  pool.ReturnConnectedStream(stream);
  // Only the connections counted above were made.
  EXPECT_EQ(2, one.accepts());
}

}  // namespace
}  // namespace rtc

// The socket server and its sockets against real loopback peers, the socket adapter, and name
// resolution (against a getaddrinfo of the test's own, or in a network namespace).
#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/ip.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "gmock/gmock.h"
#include "gtest/gtest.h"
#include "log_capture.h"
#include "rtc_base/base/time_utils.h"
#include "rtc_base/net/async_resolver.h"
#include "rtc_base/net/async_socket.h"
#include "rtc_base/net/net_helpers.h"
#include "rtc_base/net/physical_socket_server.h"
#include "rtc_base/threads/null_socket_server.h"
#include "rtc_base/threads/thread.h"

extern char** environ;

namespace rtc {
namespace {

// Takes `step` until `done` holds; false after 10 s.
bool Until(const std::function<bool()>& done, const std::function<void()>& step) {
  for (int64_t end = SystemTimeMillis() + 10000; !done(); step())
    if (SystemTimeMillis() > end) return false;
  return true;
}
// Runs `ss`, or the current thread's messages and sockets, until `done` holds.
bool WaitUntil(SocketServer* ss, const std::function<bool()>& done) {
  return Until(done, [ss] { ss->Wait(10, true); });
}
bool PumpUntil(const std::function<bool()>& done) {
  return Until(done, [] { Thread::Current()->ProcessMessages(2); });
}
// Spins until the kernel's view of `fd` holds: bytes to read, or a TCP state.
bool KernelSees(int fd, const std::function<bool(int fd)>& holds) {
  return Until([&] { return holds(fd); }, [] { std::this_thread::yield(); });
}
bool Readable(int fd) {
  int n = 0;
  return ioctl(fd, FIONREAD, &n) == 0 && n > 0;
}
std::function<bool(int)> InTcpState(int state) {
  return [state](int fd) {
    tcp_info info = {};
    socklen_t len = sizeof(info);
    return getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &len) == 0 && info.tcpi_state == state;
  };
}
int Fd(AsyncSocket* s) { return static_cast<SocketDispatcher*>(s)->GetDescriptor(); }

class Recorder : public sigslot::has_slots<> {
 public:
  explicit Recorder(AsyncSocket* socket) {
    socket->SignalConnectEvent.connect(this, &Recorder::OnConnect);
    socket->SignalReadEvent.connect(this, &Recorder::OnRead);
    socket->SignalWriteEvent.connect(this, &Recorder::OnWrite);
    socket->SignalCloseEvent.connect(this, &Recorder::OnClose);
  }
  void OnConnect(AsyncSocket* s) { ++connects, from = s; }
  void OnRead(AsyncSocket* s) { ++reads, from = s; }
  void OnWrite(AsyncSocket* s) { ++writes, from = s; }
  void OnClose(AsyncSocket* s, int err) { ++closes, close_error = err, from = s; }
  int connects = 0, reads = 0, writes = 0, closes = 0, close_error = -12345;
  AsyncSocket* from = nullptr;
};

// A plain blocking POSIX listener on loopback, the test's own peer.
class Listener {
 public:
  // Without `listen`, connections to the bound port are refused.
  explicit Listener(int family = AF_INET, bool listen = true) {
    fd_ = ::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_storage ss;
    SocketAddress(GetLoopbackIP(family), 0).ToSockAddrStorage(&ss);
    socklen_t len = family == AF_INET ? sizeof(sockaddr_in) : sizeof(sockaddr_in6);
    ok_ = ::bind(fd_, reinterpret_cast<sockaddr*>(&ss), len) == 0 &&
          (!listen || ::listen(fd_, 16) == 0);
    len = sizeof(ss);
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&ss), &len);
    SocketAddressFromSockAddrStorage(ss, &address_);
  }
  ~Listener() {
    for (int fd : accepted_) ::close(fd);
    ::close(fd_);
  }
  bool ok() const { return ok_; }
  const SocketAddress& address() const { return address_; }
  int Accept() { return accepted_.emplace_back(::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC)); }
  // Closes an accepted descriptor, with a reset instead of a FIN when asked.
  void Close(int fd, bool reset = false) {
    linger lg = {1, 0};
    if (reset) ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &lg, sizeof(lg));
    accepted_.erase(std::find(accepted_.begin(), accepted_.end(), fd));
    ::close(fd);
  }

 private:
  int fd_;
  bool ok_ = false;
  SocketAddress address_;
  std::vector<int> accepted_;
};

// A socat process started by the test, stopped at the end.
class Socat {
 public:
  explicit Socat(std::vector<std::string> args) {
    std::vector<char*> argv = {const_cast<char*>("socat")};
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    if (posix_spawnp(&pid_, "socat", nullptr, nullptr, argv.data(), environ) != 0) pid_ = -1;
  }
  ~Socat() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    ::waitpid(pid_, nullptr, 0);
  }

 private:
  pid_t pid_ = -1;
};

// A listening socket of the server under test, and the first socket it accepts.
struct AcceptedPeer : public sigslot::has_slots<> {
  AcceptedPeer(PhysicalSocketServer* ss, int family) {
    listener.reset(ss->CreateAsyncSocket(family, SOCK_STREAM));
    ok = listener->Bind(SocketAddress(GetLoopbackIP(family), 0)) == 0 && listener->Listen(4) == 0;
    listener->SignalReadEvent.connect(this, &AcceptedPeer::OnAccept);
  }
  void OnAccept(AsyncSocket* socket) {
    std::unique_ptr<AsyncSocket> s(socket->Accept(nullptr));
    if (!accepted) accepted = std::move(s);
  }
  std::string Target() const {
    const SocketAddress& a = listener->GetLocalAddress();
    return a.family() == AF_INET ? "TCP4:127.0.0.1:" + a.PortAsString()
                                 : "TCP6:[::1]:" + a.PortAsString();
  }
  std::unique_ptr<AsyncSocket> listener, accepted;
  bool ok = false;
};

class PhysicalSocketServerTest : public ::testing::Test {
 protected:
  std::unique_ptr<AsyncSocket> NewSocket(int type = SOCK_STREAM) {
    return std::unique_ptr<AsyncSocket>(ss_.CreateAsyncSocket(AF_INET, type));
  }
  // A socket connected to `listener`, what it reported, and the accepted peer.
  struct Connection {
    std::unique_ptr<AsyncSocket> socket;
    std::unique_ptr<Recorder> events;
    int peer = -1;
  };
  Connection Connect(Listener* listener) {
    Connection c{NewSocket()};
    c.events = std::make_unique<Recorder>(c.socket.get());
    EXPECT_EQ(c.socket->Connect(listener->address()), 0);
    c.peer = listener->Accept();
    EXPECT_TRUE(WaitUntil(&ss_, [&] { return c.events->connects > 0; }));
    return c;
  }
  PhysicalSocketServer ss_;
};

TEST_F(PhysicalSocketServerTest, ConnectThroughAnAdapterReportsConnectedOrOneRefusal) {
  Listener listener;
  AsyncSocketAdapter adapter(NewSocket().release());  // Re-emits each event as itself.
  Recorder recorder(&adapter);
  EXPECT_EQ(adapter.GetState(), Socket::CS_CLOSED);
  ASSERT_EQ(adapter.Connect(listener.address()), 0);
  EXPECT_EQ(adapter.Connect(listener.address()), -1) << "a second connect fails";
  EXPECT_EQ(adapter.GetError(), EALREADY);
  ASSERT_TRUE(WaitUntil(&ss_, [&] { return recorder.connects > 0; }));
  EXPECT_EQ(recorder.from, &adapter);
  EXPECT_EQ(adapter.GetState(), Socket::CS_CONNECTED);
  EXPECT_EQ(adapter.GetRemoteAddress(), listener.address());

  Listener refusing(AF_INET, false);
  auto s = NewSocket();
  Recorder refused(s.get());
  if (s->Connect(refusing.address()) == 0) {
    ASSERT_TRUE(WaitUntil(&ss_, [&] { return refused.closes > 0; }));
    ss_.Wait(0, true);  // One more pass brings nothing else.
    EXPECT_EQ(refused.closes, 1);
    EXPECT_EQ(refused.close_error, ECONNREFUSED);
  } else {
    EXPECT_EQ(s->GetError(), ECONNREFUSED);
  }
  EXPECT_EQ(refused.connects, 0);
  EXPECT_EQ(s->GetState(), Socket::CS_CLOSED);
}

TEST_F(PhysicalSocketServerTest, AListenerAcceptsClientAfterClientNotOnlyTheFirst) {
  std::unique_ptr<AsyncSocket> listener(ss_.CreateAsyncSocket(AF_INET, SOCK_STREAM));
  ASSERT_EQ(listener->Bind(SocketAddress("127.0.0.1", 0)), 0);
  ASSERT_EQ(listener->Listen(4), 0);
  Recorder ready(listener.get());
  sockaddr_storage target;
  listener->GetLocalAddress().ToSockAddrStorage(&target);
  for (int i = 0; i < 3; ++i) {
    int client = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_EQ(::connect(client, reinterpret_cast<sockaddr*>(&target), sizeof(sockaddr_in)), 0);
    ASSERT_TRUE(WaitUntil(&ss_, [&] { return ready.reads > i; })) << "client " << i;
    SocketAddress from, expected;
    std::unique_ptr<AsyncSocket> accepted(listener->Accept(&from));
    sockaddr_storage local;
    socklen_t len = sizeof(local);
    ::getsockname(client, reinterpret_cast<sockaddr*>(&local), &len);
    SocketAddressFromSockAddrStorage(local, &expected);
    ::close(client);
    ASSERT_NE(accepted, nullptr) << "client " << i;
    EXPECT_EQ(from, expected);
    EXPECT_EQ(accepted->GetRemoteAddress(), expected);
  }
}

TEST_F(PhysicalSocketServerTest, APeerFinIsReadAsBlockingThenAnOrderlyCloseAndAResetIsAnError) {
  // With SIGPIPE at its default action the process would die on a write after the reset.
  struct sigaction dfl = {}, old_action;
  dfl.sa_handler = SIG_DFL;
  sigaction(SIGPIPE, &dfl, &old_action);
  for (int mode : {0, 1, 2}) {  // A FIN; a reset; a reset, then writes.
    const bool reset = mode > 0;
    CapturingSink sink;
    Listener listener;
    Connection c = Connect(&listener);
    AsyncSocket* s = c.socket.get();
    Recorder& recorder = *c.events;
    ::send(c.peer, "hello\n", 6, MSG_NOSIGNAL);
    listener.Close(c.peer, reset);
    ASSERT_TRUE(KernelSees(Fd(s), InTcpState(reset ? TCP_CLOSE : TCP_CLOSE_WAIT)));
    if (mode == 2) {
      char data[1024] = {};
      int result = 0;
      for (int i = 0; i < 10 && result >= 0; ++i) result = s->Send(data, sizeof(data));
      EXPECT_EQ(result, -1);
      EXPECT_TRUE(s->GetError() == EPIPE || s->GetError() == ECONNRESET) << s->GetError();
      continue;
    }
    if (reset) {
      ASSERT_TRUE(WaitUntil(&ss_, [&] { return recorder.closes > 0; }));
      EXPECT_EQ(recorder.close_error, ECONNRESET);
    } else {
      ASSERT_TRUE(WaitUntil(&ss_, [&] { return recorder.reads > 0; }));
      char buf[64];
      EXPECT_EQ(s->Recv(buf, sizeof(buf), nullptr), 6);
      // End of stream reads as "would block"; the close comes with the next pass.
      EXPECT_EQ(s->Recv(buf, sizeof(buf), nullptr), -1);
      EXPECT_EQ(s->GetError(), EWOULDBLOCK);
      EXPECT_EQ(sink.Count("EOF from socket; deferring close event"), 1);
      EXPECT_EQ(recorder.closes, 0);
      ASSERT_TRUE(WaitUntil(&ss_, [&] { return recorder.closes > 0; }));
      EXPECT_EQ(recorder.closes, 1);
      EXPECT_EQ(recorder.close_error, 0);
    }
    EXPECT_EQ(s->GetState(), Socket::CS_CLOSED);
  }
  sigaction(SIGPIPE, &old_action, nullptr);
}

// Sends as fast as the socket takes it, re-armed by write events, and collects the echo.
class BulkPump : public sigslot::has_slots<> {
 public:
  BulkPump(AsyncSocket* s, const std::string* out) : s_(s), out_(out) {
    s_->SignalWriteEvent.connect(this, &BulkPump::OnWrite);
    s_->SignalReadEvent.connect(this, &BulkPump::OnRead);
  }
  void OnWrite(AsyncSocket*) {
    while (sent_ < out_->size()) {
      const size_t chunk = std::min<size_t>(64 * 1024, out_->size() - sent_);
      const int n = s_->Send(out_->data() + sent_, chunk);
      if (n <= 0) {
        failed = failed || !s_->IsBlocking();
        return;
      }
      partial_sends += static_cast<size_t>(n) < chunk;
      sent_ += n;
    }
  }
  void OnRead(AsyncSocket*) {
    char buf[64 * 1024];
    for (int n; (n = s_->Recv(buf, sizeof(buf), nullptr)) > 0;) in.append(buf, n);
  }
  std::string in;
  bool failed = false;
  int partial_sends = 0;

 private:
  AsyncSocket* s_;
  const std::string* out_;
  size_t sent_ = 0;
};

// Accepted sockets, through an adapter which passes their events on, over both families.
TEST_F(PhysicalSocketServerTest, SixteenMegabytesEchoBackIntactThroughFullSocketBuffers) {
  std::string data(16 * 1024 * 1024, '\0');
  uint32_t x = 12345;
  for (char& b : data) b = static_cast<char>((x = x * 1103515245 + 12345) >> 24);
  for (int family : {AF_INET, AF_INET6}) {
    if (family == AF_INET6 && !Listener(AF_INET6).ok()) continue;  // No IPv6 loopback here.
    AcceptedPeer peer(&ss_, family);
    ASSERT_TRUE(peer.ok);
    Socat socat({"-b", "65536", peer.Target(), "EXEC:cat"});
    ASSERT_TRUE(WaitUntil(&ss_, [&] { return peer.accepted != nullptr; }));
    EXPECT_EQ(peer.accepted->GetState(), Socket::CS_CONNECTED);
    EXPECT_EQ(peer.accepted->GetRemoteAddress().ipaddr(), GetLoopbackIP(family));
    AsyncSocketAdapter adapter(peer.accepted.release());
    BulkPump pump(&adapter, &data);
    pump.OnWrite(nullptr);
    ASSERT_TRUE(WaitUntil(&ss_, [&] { return pump.in.size() >= data.size() || pump.failed; }));
    EXPECT_FALSE(pump.failed);
    EXPECT_GT(pump.partial_sends, 0) << "the transfer should have filled the socket buffer";
    EXPECT_TRUE(pump.in == data);
  }
}

TEST_F(PhysicalSocketServerTest, HandlersMayCloseDisposeOrDeleteSocketsOfTheSamePass) {
  AutoSocketServerThread thread(&ss_);
  Listener listener;
  // Closed in its connect handler, with data waiting: no further events.
  auto closed = NewSocket();
  struct Closer : sigslot::has_slots<> {
    void OnConnect(AsyncSocket* socket) { ++connects, socket->Close(); }
    void OnOther(AsyncSocket*) { ++others; }
    int connects = 0, others = 0;
  } closer;
  closed->SignalConnectEvent.connect(&closer, &Closer::OnConnect);
  closed->SignalWriteEvent.connect(&closer, &Closer::OnOther);
  closed->SignalReadEvent.connect(&closer, &Closer::OnOther);
  ASSERT_EQ(closed->Connect(listener.address()), 0);
  ::send(listener.Accept(), "x", 1, MSG_NOSIGNAL);
  ASSERT_TRUE(WaitUntil(&ss_, [&] { return closer.connects > 0; }));
  ss_.Wait(0, true);
  EXPECT_EQ(closer.others, 0);

  // Two readable sockets: the first handler deletes the other, then the survivor's handler
  // creates a socket that joins from the next pass on. A third is disposed in its handler.
  std::unique_ptr<AsyncSocket> a = NewSocket(), b = NewSocket();
  AsyncSocket* disposed = NewSocket().release();
  int peers[3];
  for (int i = 0; i < 3; ++i) {
    ASSERT_EQ((i == 0 ? a.get() : i == 1 ? b.get() : disposed)->Connect(listener.address()), 0);
    peers[i] = listener.Accept();
  }
  ASSERT_TRUE(WaitUntil(&ss_, [&] {
    return a->GetState() == Socket::CS_CONNECTED && b->GetState() == Socket::CS_CONNECTED &&
           disposed->GetState() == Socket::CS_CONNECTED;
  }));
  ss_.Wait(0, true);  // The first write events pass.
  struct Killer : sigslot::has_slots<> {
    void OnRead(AsyncSocket* socket) {
      ++reads;
      if (socket == disposed) {
        socket->Close();
        thread->Dispose(socket);
      } else if (created == nullptr) {
        (socket == a->get() ? b : a)->reset();
        created.reset(ss->CreateAsyncSocket(AF_INET, SOCK_STREAM));
        recorder = std::make_unique<Recorder>(created.get());
        created->Connect(address);
      }
    }
    std::unique_ptr<AsyncSocket>*a, *b;
    AsyncSocket* disposed;
    Thread* thread;
    PhysicalSocketServer* ss;
    SocketAddress address;
    std::unique_ptr<AsyncSocket> created;
    std::unique_ptr<Recorder> recorder;
    int reads = 0;
  } killer;
  killer.a = &a, killer.b = &b, killer.disposed = disposed, killer.thread = &thread;
  killer.ss = &ss_, killer.address = listener.address();
  for (AsyncSocket* s : {a.get(), b.get(), disposed})
    s->SignalReadEvent.connect(&killer, &Killer::OnRead);
  for (int i = 0; i < 3; ++i) ::send(peers[i], "x", 1, MSG_NOSIGNAL);
  for (AsyncSocket* s : {a.get(), b.get(), disposed}) ASSERT_TRUE(KernelSees(Fd(s), Readable));
  ASSERT_TRUE(WaitUntil(&ss_, [&] { return killer.reads > 0; }));
  EXPECT_TRUE((a == nullptr) != (b == nullptr));
  ASSERT_TRUE(PumpUntil([&] { return killer.recorder && killer.recorder->connects > 0; }));
  EXPECT_EQ(killer.reads, 2);
  thread.ProcessMessages(0);  // The dispose message deletes it (ASan checks).
  EXPECT_TRUE(thread.empty());
}

TEST_F(PhysicalSocketServerTest, AReconnectInsideTheConnectHandlerDropsTheOldDescriptorsClose) {
  Listener listener;
  auto client = NewSocket();
  struct Reconnector : sigslot::has_slots<> {
    void OnConnect(AsyncSocket* socket) {
      if (++connects == 1) {
        socket->Close();
        EXPECT_EQ(socket->Connect(remote), 0);  // Usually gets the same descriptor back.
      }
    }
    void OnClose(AsyncSocket*, int) { ++closes; }
    SocketAddress remote;
    int connects = 0, closes = 0;
  } reconnector;
  reconnector.remote = listener.address();
  client->SignalConnectEvent.connect(&reconnector, &Reconnector::OnConnect);
  client->SignalCloseEvent.connect(&reconnector, &Reconnector::OnClose);
  ASSERT_EQ(client->Connect(listener.address()), 0);
  // The first connection is closed before the client looks at it, so that its connect and
  // close are reported in the same pass.
  listener.Close(listener.Accept());
  ASSERT_TRUE(KernelSees(Fd(client.get()), InTcpState(TCP_CLOSE_WAIT)));
  ASSERT_TRUE(WaitUntil(&ss_, [&] { return reconnector.connects > 0; }));
  listener.Accept();
  ASSERT_TRUE(WaitUntil(&ss_, [&] { return reconnector.connects > 1; }));
  EXPECT_EQ(reconnector.closes, 0);
  EXPECT_EQ(client->GetState(), Socket::CS_CONNECTED);
}

TEST_F(PhysicalSocketServerTest, DescriptorsAbove1024WorkAndAreCloseOnExecAndNonBlocking) {
  rlimit limit;
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);
  rlimit raised = limit;
  raised.rlim_cur = std::min<rlim_t>(2048, raised.rlim_max);
  if (raised.rlim_cur < 1200 || setrlimit(RLIMIT_NOFILE, &raised) != 0)
    GTEST_SKIP() << "cannot raise the descriptor limit";
  std::vector<int> fillers;
  while (fillers.empty() || fillers.back() <= 1100)
    fillers.push_back(::open("/dev/null", O_RDONLY));
  Listener listener;
  auto s = NewSocket();
  EXPECT_GT(Fd(s.get()), 1024);
  EXPECT_TRUE(fcntl(Fd(s.get()), F_GETFD) & FD_CLOEXEC);
  EXPECT_TRUE(fcntl(Fd(s.get()), F_GETFL) & O_NONBLOCK);
  Recorder recorder(s.get());
  ASSERT_EQ(s->Connect(listener.address()), 0);
  const bool connected = WaitUntil(&ss_, [&] { return recorder.connects > 0; });
  s.reset();
  for (int fd : fillers) ::close(fd);
  setrlimit(RLIMIT_NOFILE, &limit);
  EXPECT_TRUE(connected);
}

TEST_F(PhysicalSocketServerTest, OptionsTranslateToTheSocketLevels) {
  CapturingSink sink;
  auto s = NewSocket();
  const struct {
    Socket::Option option;
    int level, name, value, kernel_value;
  } options[] = {{Socket::OPT_NODELAY, IPPROTO_TCP, TCP_NODELAY, 1, 1},
                 {Socket::OPT_DSCP, IPPROTO_IP, IP_TOS, 46, 184},
                 {Socket::OPT_KEEPALIVE, SOL_SOCKET, SO_KEEPALIVE, 1, 1},
                 {Socket::OPT_TCP_KEEPIDLE, IPPROTO_TCP, TCP_KEEPIDLE, 10, 10},
                 {Socket::OPT_TCP_KEEPINTVL, IPPROTO_TCP, TCP_KEEPINTVL, 5, 5},
                 {Socket::OPT_TCP_KEEPCNT, IPPROTO_TCP, TCP_KEEPCNT, 2, 2},
                 {Socket::OPT_TCP_USER_TIMEOUT, IPPROTO_TCP, TCP_USER_TIMEOUT, 20000, 20000}};
  for (const auto& row : options) {
    EXPECT_EQ(s->SetOption(row.option, row.value), 0) << row.option;
    int got = 0;
    socklen_t len = sizeof(got);
    ASSERT_EQ(::getsockopt(Fd(s.get()), row.level, row.name, &got, &len), 0);
    EXPECT_EQ(got, row.kernel_value) << row.option;
  }
  int value = 0;
  EXPECT_EQ(s->GetOption(Socket::OPT_DSCP, &value), 0);
  EXPECT_EQ(value, 46) << "reads back what was set";
  EXPECT_EQ(s->SetOption(Socket::OPT_DONTFRAGMENT, 1), -1);
  EXPECT_EQ(s->SetOption(Socket::OPT_UNSUPPORTED, 1), -1);
  EXPECT_EQ(s->GetOption(static_cast<Socket::Option>(99), &value), -1);
  EXPECT_EQ(sink.Count("Socket::OPT_DONTFRAGMENT not supported."), 1);
}

std::atomic<int> g_signals{0};
void CountSignal(int) { ++g_signals; }

TEST_F(PhysicalSocketServerTest, WaitsEndOnWakeUpOrTimeOutAndDeliverIoOnlyWhenAsked) {
  std::thread waker([this] { ss_.WakeUp(); });
  EXPECT_TRUE(ss_.Wait(SocketServer::kForever, true));
  waker.join();
  ss_.WakeUp();
  ss_.WakeUp();
  EXPECT_TRUE(ss_.Wait(SocketServer::kForever, true));
  int64_t start = SystemTimeMillis();
  EXPECT_TRUE(ss_.Wait(40, true));
  EXPECT_GE(SystemTimeMillis() - start, 35) << "two wake-ups cost one pass";

  Listener listener;
  Connection c = Connect(&listener);
  Recorder& recorder = *c.events;
  ASSERT_TRUE(WaitUntil(&ss_, [&] { return recorder.writes > 0; }));
  ::send(c.peer, "x", 1, MSG_NOSIGNAL);
  ASSERT_TRUE(KernelSees(Fd(c.socket.get()), Readable));
  EXPECT_TRUE(ss_.Wait(30, false));
  EXPECT_EQ(recorder.reads, 0);
  ASSERT_TRUE(WaitUntil(&ss_, [&] { return recorder.reads > 0; }));

  // Signals without SA_RESTART interrupt poll(): nothing is delivered and the time-out holds.
  struct sigaction action = {}, old_action;
  action.sa_handler = &CountSignal;
  sigemptyset(&action.sa_mask);
  ASSERT_EQ(sigaction(SIGUSR1, &action, &old_action), 0);
  const int writes = recorder.writes;
  std::atomic<bool> stop(false);
  pthread_t waiting = pthread_self();
  std::thread interrupter([&] {
    while (!stop.load()) {
      const int seen = g_signals.load();
      pthread_kill(waiting, SIGUSR1);
      while (g_signals.load() == seen && !stop.load()) std::this_thread::yield();
    }
  });
  start = SystemTimeMillis();
  EXPECT_TRUE(ss_.Wait(100, true));
  const int64_t elapsed = SystemTimeMillis() - start;
  stop = true;
  interrupter.join();
  sigaction(SIGUSR1, &old_action, nullptr);
  EXPECT_GE(elapsed, 95);
  EXPECT_GT(g_signals.load(), 1);
  EXPECT_EQ(recorder.writes, writes) << "writing was not asked for again";
  EXPECT_EQ(recorder.closes, 0);
}

TEST_F(PhysicalSocketServerTest, ADescriptorClosedBehindTheSocketsBackReportsAClose) {
  Listener listener;
  Connection c = Connect(&listener);
  char buf[4];
  c.socket->Recv(buf, sizeof(buf), nullptr);  // Asks for reading again.
  ::close(Fd(c.socket.get()));
  ASSERT_TRUE(WaitUntil(&ss_, [&] { return c.events->closes > 0; }));
  EXPECT_EQ(c.events->close_error, EBADF);
  EXPECT_EQ(Fd(c.socket.get()), -1);
  // The stale number may now be another socket's; destroying the first must not close it.
  Connection other = Connect(&listener);
  c.socket.reset();
  EXPECT_EQ(other.socket->Send("x", 1), 1);
}

TEST_F(PhysicalSocketServerTest, DatagramsMayBeEmpty) {
  auto receiver = NewSocket(SOCK_DGRAM), sender = NewSocket(SOCK_DGRAM);
  ASSERT_EQ(receiver->Bind(SocketAddress("127.0.0.1", 0)), 0);
  Recorder recorder(receiver.get());
  EXPECT_EQ(sender->SendTo("", 0, receiver->GetLocalAddress()), 0);
  EXPECT_EQ(sender->SendTo("abc", 3, receiver->GetLocalAddress()), 3);
  ASSERT_TRUE(WaitUntil(&ss_, [&] { return recorder.reads > 0; }));
  char buf[16];
  SocketAddress from;
  EXPECT_EQ(receiver->RecvFrom(buf, sizeof(buf), &from, nullptr), 0) << "not end of stream";
  EXPECT_EQ(from.port(), sender->GetLocalAddress().port());
  EXPECT_EQ(receiver->RecvFrom(buf, sizeof(buf), &from, nullptr), 3);
}

// A resolver the test finishes by hand.
class FakeResolver : public AsyncResolverInterface {
 public:
  void Start(const SocketAddress& addr) override { address_ = addr; }
  bool GetResolvedAddress(int family, SocketAddress* addr) const override {
    for (const IPAddress& ip : ips_) {
      if (error_ == 0 && ip.family() == family) {
        *addr = address_;
        addr->SetResolvedIP(ip);
        return true;
      }
    }
    return false;
  }
  int GetError() const override { return error_; }
  void Destroy(bool) override { destroyed = true; }
  void Finish(int error, std::vector<IPAddress> ips) {
    error_ = error;
    ips_ = std::move(ips);
    SignalDone(this);
  }
  bool destroyed = false;

 private:
  SocketAddress address_;
  int error_ = -1;
  std::vector<IPAddress> ips_;
};

TEST_F(PhysicalSocketServerTest, HostNamesAreResolvedThenConnectedOrClosedWithTheError) {
  std::vector<std::unique_ptr<FakeResolver>> resolvers;
  SetAsyncResolverFactory([&]() -> AsyncResolverInterface* {
    return resolvers.emplace_back(std::make_unique<FakeResolver>()).get();
  });
  Listener listener;
  const struct {
    int error;
    std::vector<const char*> ips;  // The socket is IPv4: an IPv6 result alone fails at connect().
    bool connects;
  } cases[] = {{0, {"::1", "127.0.0.1"}, true}, {-2, {}, false}, {0, {"::1"}, false}};
  for (const auto& c : cases) {
    auto s = NewSocket();
    Recorder recorder(s.get());
    ASSERT_EQ(s->Connect(SocketAddress("name.test", listener.address().port())), 0);
    std::vector<IPAddress> ips;
    for (const char* text : c.ips) IPFromString(text, &ips.emplace_back());
    resolvers.back()->Finish(c.error, ips);
    if (c.connects) {
      ASSERT_TRUE(WaitUntil(&ss_, [&] { return recorder.connects > 0; }));
      EXPECT_EQ(s->GetRemoteAddress().ipaddr(), GetLoopbackIP(AF_INET));
      continue;
    }
    EXPECT_EQ(recorder.closes, 1) << c.error;
    EXPECT_EQ(recorder.close_error, s->GetError());
    if (c.error != 0) EXPECT_EQ(recorder.close_error, c.error);
    if (c.error == 0) EXPECT_GT(recorder.close_error, 0) << "the errno of connect(), not -1";
    EXPECT_EQ(s->GetState(), Socket::CS_CLOSED);
    EXPECT_EQ(Fd(s.get()), -1);
    EXPECT_TRUE(resolvers.back()->destroyed);
  }
  SetAsyncResolverFactory([]() -> AsyncResolverInterface* { return nullptr; });
  EXPECT_EQ(NewSocket()->Connect(SocketAddress("localhost", 80)), -1);
  SetAsyncResolverFactory(nullptr);

  // By default the name is looked up for real; the resolver reports to a thread.
  AutoSocketServerThread thread(&ss_);
  auto s = NewSocket();
  Recorder recorder(s.get());
  ASSERT_EQ(s->Connect(SocketAddress("localhost", listener.address().port())), 0);
  ASSERT_TRUE(PumpUntil([&] { return recorder.connects + recorder.closes > 0; }));
  EXPECT_EQ(recorder.connects, 1);
}

// Connect and close are single-threaded signals: their handlers may delete the adapter, which
// deletes the wrapped socket whose signal is emitting. Read handlers may not. Without a socket,
// everything fails with ENOTCONN.
TEST_F(PhysicalSocketServerTest, AdapterHandlersMayDeleteItOnCloseButNotOnRead) {
  AsyncSocketAdapter empty(nullptr);
  char buf[4] = {};
  const std::vector<std::function<int()>> ops = {
      [&] { return empty.Bind(SocketAddress()); },
      [&] { return empty.Connect(SocketAddress()); },
      [&] { return empty.Send(buf, 4); },
      [&] { return empty.Recv(buf, 4, nullptr); },
      [&] { return empty.Listen(1); },
      [&] { return empty.Close(); },
      [&] { return empty.SetOption(Socket::OPT_RCVBUF, 1); },
  };
  for (size_t i = 0; i < ops.size(); ++i) {
    empty.SetError(0);
    EXPECT_EQ(ops[i](), -1) << i;
    EXPECT_EQ(empty.GetError(), ENOTCONN) << i;
  }
  EXPECT_EQ(empty.Accept(nullptr), nullptr);
  struct Owner : sigslot::has_slots<> {
    std::unique_ptr<AsyncSocket> socket;
    int calls = 0;
    void OnClose(AsyncSocket*, int) { ++calls, socket.reset(); }
    void OnRead(AsyncSocket*) { ++calls, socket.reset(); }
  } owner, bystander;
  AsyncSocket* inner = NewSocket().release();
  owner.socket = std::make_unique<AsyncSocketAdapter>(inner);
  owner.socket->SignalCloseEvent.connect(&owner, &Owner::OnClose);
  // Connected after the adapter, so called next if the dying socket's emission went on.
  inner->SignalCloseEvent.connect(&bystander, &Owner::OnClose);
  inner->SignalCloseEvent(inner, ECONNRESET);
  EXPECT_EQ(owner.calls, 1);
  EXPECT_EQ(bystander.calls, 0);
  EXPECT_EQ(owner.socket, nullptr);
#if !defined(NDEBUG)
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        owner.socket = NewSocket();
        owner.socket->SignalReadEvent.connect(&owner, &Owner::OnRead);
        AsyncSocket* raw = owner.socket.get();
        raw->SignalReadEvent(raw);
      },
      "multi-threaded signal that is calling it");
#endif
}

// A getaddrinfo of the test's own, so that no name server is asked. It knows "dual.test" (each
// address listed twice and under several socket types) and "v4.test".
int g_lookups = 0;
addrinfo g_last_hints;
addrinfo* Entry(const char* text, int socktype, addrinfo* next) {
  auto* info = new addrinfo{};
  auto* storage = new sockaddr_storage{};
  SocketAddress(text, 0).ToSockAddrStorage(storage);
  info->ai_family = storage->ss_family;
  info->ai_socktype = socktype;
  info->ai_addr = reinterpret_cast<sockaddr*>(storage);
  info->ai_addrlen = info->ai_family == AF_INET ? sizeof(sockaddr_in) : sizeof(sockaddr_in6);
  info->ai_next = next;
  return info;
}
int FakeGetAddrInfo(const char* node, const char*, const addrinfo* hints, addrinfo** result) {
  ++g_lookups;
  g_last_hints = *hints;
  if (strcmp(node, "v4.test") == 0) {
    *result = Entry("10.0.0.1", SOCK_STREAM, nullptr);
    return 0;
  }
  if (strcmp(node, "dual.test") != 0) return EAI_NONAME;
  *result =
      Entry("10.0.0.1", SOCK_STREAM,
            Entry("fd00::1", SOCK_STREAM,
                  Entry("10.0.0.1", SOCK_DGRAM,
                        Entry("10.0.0.2", SOCK_STREAM, Entry("fd00::1", SOCK_STREAM, nullptr)))));
  return 0;
}
void FakeFreeAddrInfo(addrinfo* info) {
  for (addrinfo* next; info != nullptr; info = next) {
    next = info->ai_next;
    delete reinterpret_cast<sockaddr_storage*>(info->ai_addr);
    delete info;
  }
}

std::vector<std::string> Texts(const std::vector<IPAddress>& ips) {
  std::vector<std::string> out;
  for (const IPAddress& ip : ips) out.push_back(ip.ToString());
  return out;
}

// Resolves `address` and keeps the resolver until the test ends.
class Resolution : public sigslot::has_slots<> {
 public:
  explicit Resolution(const SocketAddress& address) : resolver_(new AsyncResolver()) {
    resolver_->SignalDone.connect(this, &Resolution::OnDone);
    resolver_->Start(address);
  }
  ~Resolution() override {
    if (resolver_) resolver_->Destroy(false);
  }
  AsyncResolver* Wait(int done = 1) {
    EXPECT_TRUE(PumpUntil([&] { return done_ >= done; }));
    return resolver_;
  }
  bool destroy_in_callback = false;

 private:
  void OnDone(AsyncResolverInterface* resolver) {
    if (resolver != resolver_) return;  // A destroyed one may still report.
    ++done_;
    if (destroy_in_callback) resolver_->Destroy(false), resolver_ = nullptr;
  }
  AsyncResolver* resolver_;
  int done_ = 0;
};

class ResolverTest : public ::testing::Test {
 protected:
  AutoThread main_thread_;
};

TEST_F(ResolverTest, NumericAddressesAndLocalhostResolveWithoutANameServer) {
  std::vector<IPAddress> ips;
  ASSERT_EQ(0, ResolveHostname("::1", AF_UNSPEC, &ips));
  EXPECT_THAT(Texts(ips), ::testing::ElementsAre("::1"));
  EXPECT_NE(0, ResolveHostname("127.0.0.1", AF_INET6, &ips)) << "a family mismatch";
  EXPECT_TRUE(ips.empty());
  ASSERT_EQ(0, ResolveHostname("localhost", AF_UNSPEC, &ips));
  ASSERT_FALSE(ips.empty());
  for (const IPAddress& ip : ips) EXPECT_TRUE(IPIsLoopback(ip)) << ip;

  Resolution numeric(SocketAddress("127.0.0.1", 7080));
  AsyncResolver* resolver = numeric.Wait();
  EXPECT_EQ(0, resolver->GetError());
  EXPECT_EQ(resolver->address(), SocketAddress("127.0.0.1", 7080));
  SocketAddress v6;
  EXPECT_FALSE(resolver->GetResolvedAddress(AF_INET6, &v6));
  Resolution localhost(SocketAddress("localhost", 443));
  resolver = localhost.Wait();
  EXPECT_TRUE(IPIsLoopback(resolver->address().ipaddr()));
  EXPECT_EQ("localhost", resolver->address().hostname());
  EXPECT_EQ(443, resolver->address().port());
  Resolution destroyed(SocketAddress("127.0.0.1", 1));
  destroyed.destroy_in_callback = true;
  EXPECT_EQ(destroyed.Wait(), nullptr);  // A leak or a double free shows under ASan.

  EXPECT_TRUE(HasIPv4Enabled());
  std::ifstream inet6("/proc/net/if_inet6");
  std::string line;
  EXPECT_EQ(static_cast<bool>(std::getline(inet6, line)), HasIPv6Enabled());
}

TEST_F(ResolverTest, LookupsAskForStreamAddressesKeepTheOrderDropRepeatsAndPreferIPv6) {
  SetGetAddrInfoForTesting(&FakeGetAddrInfo, &FakeFreeAddrInfo);
  g_lookups = 0;
  std::vector<IPAddress> ips;
  ASSERT_EQ(0, ResolveHostname("dual.test", AF_UNSPEC, &ips));
  EXPECT_EQ(1, g_lookups);
  EXPECT_EQ(SOCK_STREAM, g_last_hints.ai_socktype);
  EXPECT_EQ(AI_ADDRCONFIG, g_last_hints.ai_flags);
  EXPECT_THAT(Texts(ips), ::testing::ElementsAre("10.0.0.1", "fd00::1", "10.0.0.2"));
  ASSERT_EQ(0, ResolveHostname("dual.test", AF_INET6, &ips));
  EXPECT_THAT(Texts(ips), ::testing::ElementsAre("fd00::1"));

  Resolution dual(SocketAddress("dual.test", 5000));
  AsyncResolver* resolver = dual.Wait();
  EXPECT_EQ(resolver->address().ToString(), "dual.test:5000");
  EXPECT_EQ(resolver->address().ipaddr().ToString(), "fd00::1");
  SocketAddress v4;
  ASSERT_TRUE(resolver->GetResolvedAddress(AF_INET, &v4));
  EXPECT_EQ("10.0.0.1", v4.ipaddr().ToString());
  Resolution unknown(SocketAddress("unknown.test", 80));
  resolver = unknown.Wait();
  EXPECT_EQ(EAI_NONAME, resolver->GetError());
  EXPECT_TRUE(resolver->address().IsNil());
  EXPECT_FALSE(resolver->GetResolvedAddress(AF_INET, &v4));
  resolver->Start(SocketAddress("v4.test", 81));  // Again, after completion.
  unknown.Wait(2);
  EXPECT_EQ(0, resolver->GetError());
  EXPECT_EQ(resolver->address(), SocketAddress("10.0.0.1", 81));
  SetGetAddrInfoForTesting(nullptr, nullptr);
}

}  // namespace
}  // namespace rtc

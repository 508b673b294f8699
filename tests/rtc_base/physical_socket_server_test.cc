#include "rtc_base/physical_socket_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/ip.h>
#include <netinet/tcp.h>
#include <openssl/evp.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "gtest/gtest.h"
#include "log_capture.h"
#include "rtc_base/logging.h"
#include "rtc_base/null_socket_server.h"
#include "rtc_base/thread.h"
#include "rtc_base/time_utils.h"

extern char** environ;

namespace rtc {
namespace {

constexpr int kTimeoutMs = 10000;

// Runs the server until `done` holds or the time runs out (real time).
bool WaitUntil(SocketServer* ss, const std::function<bool()>& done, int timeout_ms = kTimeoutMs) {
  int64_t end = SystemTimeMillis() + timeout_ms;
  while (!done()) {
    if (SystemTimeMillis() > end)
      return false;
    ss->Wait(10, true);
  }
  return true;
}

// Records what a socket reports.
class Recorder : public sigslot::has_slots<> {
 public:
  explicit Recorder(AsyncSocket* socket) { Attach(socket); }
  void Attach(AsyncSocket* socket) {
    socket->SignalConnectEvent.connect(this, &Recorder::OnConnect);
    socket->SignalReadEvent.connect(this, &Recorder::OnRead);
    socket->SignalWriteEvent.connect(this, &Recorder::OnWrite);
    socket->SignalCloseEvent.connect(this, &Recorder::OnClose);
  }
  void OnConnect(AsyncSocket*) { ++connects; }
  void OnRead(AsyncSocket*) { ++reads; }
  void OnWrite(AsyncSocket*) { ++writes; }
  void OnClose(AsyncSocket*, int err) {
    ++closes;
    close_error = err;
  }
  int connects = 0;
  int reads = 0;
  int writes = 0;
  int closes = 0;
  int close_error = -12345;
};

// A plain blocking POSIX listener on loopback, the test's own peer.
class PlainListener {
 public:
  explicit PlainListener(int family = AF_INET) : family_(family) {
    fd_ = ::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_storage ss = {};
    socklen_t len;
    if (family == AF_INET) {
      auto* sin = reinterpret_cast<sockaddr_in*>(&ss);
      sin->sin_family = AF_INET;
      sin->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      len = sizeof(sockaddr_in);
    } else {
      auto* sin6 = reinterpret_cast<sockaddr_in6*>(&ss);
      sin6->sin6_family = AF_INET6;
      sin6->sin6_addr = in6addr_loopback;
      len = sizeof(sockaddr_in6);
    }
    ok_ = ::bind(fd_, reinterpret_cast<sockaddr*>(&ss), len) == 0 && ::listen(fd_, 16) == 0;
    len = sizeof(ss);
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&ss), &len);
    port_ = ntohs(family == AF_INET ? reinterpret_cast<sockaddr_in*>(&ss)->sin_port
                                    : reinterpret_cast<sockaddr_in6*>(&ss)->sin6_port);
  }
  ~PlainListener() {
    for (int fd : accepted_)
      ::close(fd);
    ::close(fd_);
  }
  bool ok() const { return ok_; }
  int port() const { return port_; }
  SocketAddress address() const {
    return SocketAddress(family_ == AF_INET ? "127.0.0.1" : "::1", port_);
  }
  // Blocking accept; the descriptor is closed with the listener.
  int Accept() {
    int fd = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd >= 0)
      accepted_.push_back(fd);
    return fd;
  }
  void Forget(int fd) { accepted_.erase(std::find(accepted_.begin(), accepted_.end(), fd)); }

 private:
  int family_;
  int fd_;
  int port_ = 0;
  bool ok_ = false;
  std::vector<int> accepted_;
};

// A socat process started by the test, stopped at the end.
class Socat {
 public:
  explicit Socat(std::vector<std::string> args) {
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>("socat"));
    for (std::string& a : args)
      argv.push_back(a.data());
    argv.push_back(nullptr);
    if (posix_spawnp(&pid_, "socat", nullptr, nullptr, argv.data(), environ) != 0)
      pid_ = -1;
  }
  ~Socat() {
    if (pid_ > 0) {
      ::kill(pid_, SIGTERM);
      int status;
      ::waitpid(pid_, &status, 0);
    }
  }
  bool started() const { return pid_ > 0; }

 private:
  pid_t pid_ = -1;
};

// A listening socket of the server under test, and the socket it accepts.
struct AcceptedPeer : public sigslot::has_slots<> {
  AcceptedPeer(PhysicalSocketServer* ss, int family) {
    listener.reset(ss->CreateAsyncSocket(family, SOCK_STREAM));
    SocketAddress any(family == AF_INET ? "127.0.0.1" : "::1", 0);
    ok = listener && listener->Bind(any) == 0 && listener->Listen(4) == 0;
    if (ok)
      listener->SignalReadEvent.connect(this, &AcceptedPeer::OnAccept);
  }
  void OnAccept(AsyncSocket* socket) {
    SocketAddress remote;
    AsyncSocket* s = socket->Accept(&remote);
    if (s && !accepted)
      accepted.reset(s);
    else
      delete s;
  }
  int port() const { return listener->GetLocalAddress().port(); }
  std::unique_ptr<AsyncSocket> listener;
  std::unique_ptr<AsyncSocket> accepted;
  bool ok = false;
};

class PhysicalSocketServerTest : public ::testing::Test {
 protected:
  PhysicalSocketServer ss_;
};

void EchoRoundTrip(PhysicalSocketServer* ss, int family) {
  AcceptedPeer peer(ss, family);
  ASSERT_TRUE(peer.ok);
  std::string target = family == AF_INET
                           ? "TCP4:127.0.0.1:" + std::to_string(peer.port())
                           : "TCP6:[::1]:" + std::to_string(peer.port());
  Socat socat({"-b", "65536", target, "EXEC:cat"});
  ASSERT_TRUE(socat.started());
  ASSERT_TRUE(WaitUntil(ss, [&] { return peer.accepted != nullptr; }));
  AsyncSocket* s = peer.accepted.get();
  Recorder recorder(s);
  EXPECT_EQ(s->GetState(), Socket::CS_CONNECTED);
  EXPECT_EQ(s->GetLocalAddress().family(), family);
  EXPECT_EQ(s->GetRemoteAddress().ipaddr(), peer.listener->GetLocalAddress().ipaddr());

  const std::string message = "hello through the loop";
  ASSERT_EQ(s->Send(message.data(), message.size()), static_cast<int>(message.size()));
  // Read only on read events: the accepted socket must get them.
  std::string echoed;
  int reads_seen = 0;
  ASSERT_TRUE(WaitUntil(ss, [&] {
    if (recorder.reads == reads_seen)
      return false;
    reads_seen = recorder.reads;
    char buf[256];
    int n;
    while ((n = s->Recv(buf, sizeof(buf), nullptr)) > 0)
      echoed.append(buf, n);
    return echoed.size() >= message.size();
  }));
  EXPECT_EQ(echoed, message);
}

TEST_F(PhysicalSocketServerTest, EchoesThroughSocatOverIPv4) {
  EchoRoundTrip(&ss_, AF_INET);
}

TEST_F(PhysicalSocketServerTest, EchoesThroughSocatOverIPv6) {
  PlainListener probe(AF_INET6);
  if (!probe.ok())
    GTEST_SKIP() << "no IPv6 loopback";
  EchoRoundTrip(&ss_, AF_INET6);
}

TEST_F(PhysicalSocketServerTest, ConnectReportsConnectedWithBothAddresses) {
  PlainListener listener;
  ASSERT_TRUE(listener.ok());
  std::unique_ptr<AsyncSocket> s(ss_.CreateAsyncSocket(AF_INET, SOCK_STREAM));
  ASSERT_TRUE(s);
  Recorder recorder(s.get());
  EXPECT_EQ(s->GetState(), Socket::CS_CLOSED);
  ASSERT_EQ(s->Connect(listener.address()), 0);
  EXPECT_NE(s->GetState(), Socket::CS_CLOSED);
  EXPECT_EQ(s->Connect(listener.address()), -1) << "a second connect fails";
  EXPECT_EQ(s->GetError(), EALREADY);
  ASSERT_TRUE(WaitUntil(&ss_, [&] { return recorder.connects > 0; }));
  EXPECT_EQ(recorder.connects, 1);
  EXPECT_EQ(recorder.closes, 0);
  EXPECT_EQ(s->GetState(), Socket::CS_CONNECTED);
  EXPECT_EQ(s->GetRemoteAddress(), listener.address());
  EXPECT_TRUE(s->GetLocalAddress().ipaddr() == listener.address().ipaddr());
  EXPECT_NE(s->GetLocalAddress().port(), 0);
}

TEST_F(PhysicalSocketServerTest, RefusedConnectGivesOneCloseAndNoConnect) {
  // A bound port without a listener refuses, and stays ours while we test.
  int holder = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in sin = {};
  sin.sin_family = AF_INET;
  sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::bind(holder, reinterpret_cast<sockaddr*>(&sin), sizeof(sin)), 0);
  socklen_t len = sizeof(sin);
  ::getsockname(holder, reinterpret_cast<sockaddr*>(&sin), &len);

  std::unique_ptr<AsyncSocket> s(ss_.CreateAsyncSocket(AF_INET, SOCK_STREAM));
  Recorder recorder(s.get());
  int result = s->Connect(SocketAddress("127.0.0.1", ntohs(sin.sin_port)));
  if (result == 0) {
    ASSERT_TRUE(WaitUntil(&ss_, [&] { return recorder.closes > 0; }));
    // One more pass must not bring anything else.
    ss_.Wait(20, true);
    EXPECT_EQ(recorder.closes, 1);
    EXPECT_EQ(recorder.close_error, ECONNREFUSED);
  } else {
    EXPECT_EQ(s->GetError(), ECONNREFUSED);
  }
  EXPECT_EQ(recorder.connects, 0);
  EXPECT_EQ(s->GetState(), Socket::CS_CLOSED);
  ::close(holder);
}

TEST_F(PhysicalSocketServerTest, PeerFinIsReadAsBlockingThenAnOrderlyClose) {
  CapturingSink sink;
  PlainListener listener;
  std::unique_ptr<AsyncSocket> s(ss_.CreateAsyncSocket(AF_INET, SOCK_STREAM));
  Recorder recorder(s.get());
  ASSERT_EQ(s->Connect(listener.address()), 0);
  int peer = listener.Accept();
  ASSERT_TRUE(WaitUntil(&ss_, [&] { return recorder.connects > 0; }));
  ::send(peer, "hello\n", 6, MSG_NOSIGNAL);
  listener.Forget(peer);
  ::close(peer);
  Thread::SleepMs(20);  // Data and FIN have both arrived.

  ASSERT_TRUE(WaitUntil(&ss_, [&] { return recorder.reads > 0; }));
  char buf[64];
  EXPECT_EQ(s->Recv(buf, sizeof(buf), nullptr), 6);
  EXPECT_EQ(std::string(buf, 6), "hello\n");
  // End of stream reads as "would block"; the close comes with the next pass.
  EXPECT_EQ(s->Recv(buf, sizeof(buf), nullptr), -1);
  EXPECT_EQ(s->GetError(), EWOULDBLOCK);
  EXPECT_EQ(sink.Count("EOF from socket; deferring close event"), 1);
  EXPECT_EQ(recorder.closes, 0);
  ASSERT_TRUE(WaitUntil(&ss_, [&] { return recorder.closes > 0; }));
  EXPECT_EQ(recorder.closes, 1);
  EXPECT_EQ(recorder.close_error, 0);
  EXPECT_EQ(s->GetState(), Socket::CS_CLOSED);
}

TEST_F(PhysicalSocketServerTest, APeerThatSendsAndClosesIsReadThenClosed) {
  AcceptedPeer peer(&ss_, AF_INET);
  ASSERT_TRUE(peer.ok);
  Socat socat({"TCP4:127.0.0.1:" + std::to_string(peer.port()), "SYSTEM:echo hello"});
  ASSERT_TRUE(WaitUntil(&ss_, [&] { return peer.accepted != nullptr; }));
  AsyncSocket* s = peer.accepted.get();
  Recorder recorder(s);
  std::string got;
  ASSERT_TRUE(WaitUntil(&ss_, [&] {
    char buf[64];
    int n;
    while ((n = s->Recv(buf, sizeof(buf), nullptr)) > 0)
      got.append(buf, n);
    return recorder.closes > 0;
  }));
  EXPECT_EQ(got, "hello\n");
  EXPECT_EQ(recorder.closes, 1);
  EXPECT_EQ(recorder.close_error, 0);
}

TEST_F(PhysicalSocketServerTest, PeerResetGivesACloseWithConnectionReset) {
  PlainListener listener;
  std::unique_ptr<AsyncSocket> s(ss_.CreateAsyncSocket(AF_INET, SOCK_STREAM));
  Recorder recorder(s.get());
  ASSERT_EQ(s->Connect(listener.address()), 0);
  int peer = listener.Accept();
  ASSERT_GE(peer, 0);
  ASSERT_TRUE(WaitUntil(&ss_, [&] { return recorder.connects > 0; }));
  linger lg = {1, 0};
  ASSERT_EQ(::setsockopt(peer, SOL_SOCKET, SO_LINGER, &lg, sizeof(lg)), 0);
  listener.Forget(peer);
  ::close(peer);
  ASSERT_TRUE(WaitUntil(&ss_, [&] { return recorder.closes > 0; }));
  EXPECT_EQ(recorder.close_error, ECONNRESET);
  EXPECT_EQ(s->GetState(), Socket::CS_CLOSED);
}

TEST_F(PhysicalSocketServerTest, WritingToAResetPeerFailsWithoutSigpipe) {
  // With SIGPIPE at its default action the process would die here.
  struct sigaction old_action;
  struct sigaction dfl = {};
  dfl.sa_handler = SIG_DFL;
  sigaction(SIGPIPE, &dfl, &old_action);
  PlainListener listener;
  std::unique_ptr<AsyncSocket> s(ss_.CreateAsyncSocket(AF_INET, SOCK_STREAM));
  Recorder recorder(s.get());
  ASSERT_EQ(s->Connect(listener.address()), 0);
  int peer = listener.Accept();
  ASSERT_TRUE(WaitUntil(&ss_, [&] { return recorder.connects > 0; }));
  linger lg = {1, 0};
  ::setsockopt(peer, SOL_SOCKET, SO_LINGER, &lg, sizeof(lg));
  listener.Forget(peer);
  ::close(peer);
  Thread::SleepMs(20);
  char data[1024] = {};
  int result = 0;
  for (int i = 0; i < 10 && result >= 0; ++i)
    result = s->Send(data, sizeof(data));
  EXPECT_EQ(result, -1);
  EXPECT_TRUE(s->GetError() == EPIPE || s->GetError() == ECONNRESET) << s->GetError();
  sigaction(SIGPIPE, &old_action, nullptr);
}

std::string Sha256(const std::vector<uint8_t>& data) {
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  EVP_Digest(data.data(), data.size(), md, &len, EVP_sha256(), nullptr);
  return std::string(reinterpret_cast<char*>(md), len);
}

// Sends everything it is given as fast as the socket takes it, re-armed by
// write events, and collects what comes back.
class BulkPump : public sigslot::has_slots<> {
 public:
  BulkPump(AsyncSocket* s, const std::vector<uint8_t>* out) : s_(s), out_(out) {
    s_->SignalWriteEvent.connect(this, &BulkPump::OnWrite);
    s_->SignalReadEvent.connect(this, &BulkPump::OnRead);
  }
  void Start() { OnWrite(s_); }
  void OnWrite(AsyncSocket*) {
    while (sent_ < out_->size()) {
      size_t chunk = std::min<size_t>(64 * 1024, out_->size() - sent_);
      int n = s_->Send(out_->data() + sent_, chunk);
      if (n <= 0) {
        if (!s_->IsBlocking())
          failed = true;
        return;
      }
      if (static_cast<size_t>(n) < chunk)
        ++partial_sends;
      sent_ += n;
    }
  }
  void OnRead(AsyncSocket*) {
    uint8_t buf[64 * 1024];
    while (true) {
      int n = s_->Recv(buf, sizeof(buf), nullptr);
      if (n <= 0)
        return;
      in.insert(in.end(), buf, buf + n);
    }
  }
  std::vector<uint8_t> in;
  bool failed = false;
  int partial_sends = 0;

 private:
  AsyncSocket* s_;
  const std::vector<uint8_t>* out_;
  size_t sent_ = 0;
};

TEST_F(PhysicalSocketServerTest, SixtyFourMegabytesEchoBackIntact) {
  constexpr size_t kSize = 64 * 1024 * 1024;
  std::vector<uint8_t> data(kSize);
  uint32_t x = 12345;
  for (auto& b : data) {
    x = x * 1103515245 + 12345;
    b = static_cast<uint8_t>(x >> 24);
  }
  AcceptedPeer peer(&ss_, AF_INET);
  ASSERT_TRUE(peer.ok);
  Socat socat({"-b", "65536", "TCP4:127.0.0.1:" + std::to_string(peer.port()), "EXEC:cat"});
  ASSERT_TRUE(WaitUntil(&ss_, [&] { return peer.accepted != nullptr; }));
  BulkPump pump(peer.accepted.get(), &data);
  pump.Start();
  ASSERT_TRUE(WaitUntil(&ss_, [&] { return pump.in.size() >= kSize || pump.failed; }, 120000));
  EXPECT_FALSE(pump.failed);
  EXPECT_GT(pump.partial_sends, 0) << "the transfer should have filled the socket buffer";
  ASSERT_EQ(pump.in.size(), kSize);
  EXPECT_TRUE(Sha256(pump.in) == Sha256(data));
}

TEST_F(PhysicalSocketServerTest, ASocketClosedInsideItsOwnHandlerGetsNoFurtherEvents) {
  PlainListener listener;
  std::unique_ptr<AsyncSocket> s(ss_.CreateAsyncSocket(AF_INET, SOCK_STREAM));
  struct Closer : public sigslot::has_slots<> {
    void OnConnect(AsyncSocket* socket) {
      ++connects;
      socket->Close();
    }
    void OnOther(AsyncSocket*) { ++others; }
    int connects = 0;
    int others = 0;
  } closer;
  s->SignalConnectEvent.connect(&closer, &Closer::OnConnect);
  s->SignalWriteEvent.connect(&closer, &Closer::OnOther);
  s->SignalReadEvent.connect(&closer, &Closer::OnOther);
  ASSERT_EQ(s->Connect(listener.address()), 0);
  int peer = listener.Accept();
  ::send(peer, "x", 1, MSG_NOSIGNAL);
  ASSERT_TRUE(WaitUntil(&ss_, [&] { return closer.connects > 0; }));
  ss_.Wait(20, true);
  EXPECT_EQ(closer.others, 0);
  EXPECT_EQ(s->GetState(), Socket::CS_CLOSED);
}

TEST_F(PhysicalSocketServerTest, ASocketDisposedInsideItsOwnHandlerIsDeletedLater) {
  AutoSocketServerThread thread(&ss_);
  PlainListener listener;
  AsyncSocket* s = ss_.CreateAsyncSocket(AF_INET, SOCK_STREAM);
  struct Disposer : public sigslot::has_slots<> {
    explicit Disposer(Thread* t) : thread(t) {}
    void OnRead(AsyncSocket* socket) {
      ++reads;
      socket->Close();
      thread->Dispose(socket);
    }
    Thread* thread;
    int reads = 0;
  } disposer(&thread);
  s->SignalReadEvent.connect(&disposer, &Disposer::OnRead);
  ASSERT_EQ(s->Connect(listener.address()), 0);
  int peer = listener.Accept();
  ::send(peer, "x", 1, MSG_NOSIGNAL);
  int64_t end = SystemTimeMillis() + kTimeoutMs;
  while (disposer.reads == 0 && SystemTimeMillis() < end)
    thread.ProcessMessages(10);
  EXPECT_EQ(disposer.reads, 1);
  thread.ProcessMessages(10);  // The dispose message deletes it (ASan checks).
  EXPECT_TRUE(thread.empty());
}

TEST_F(PhysicalSocketServerTest, AHandlerMayDeleteAnotherReadySocketInTheSamePass) {
  PlainListener listener;
  std::unique_ptr<AsyncSocket> a(ss_.CreateAsyncSocket(AF_INET, SOCK_STREAM));
  std::unique_ptr<AsyncSocket> b(ss_.CreateAsyncSocket(AF_INET, SOCK_STREAM));
  ASSERT_EQ(a->Connect(listener.address()), 0);
  int peer_a = listener.Accept();
  ASSERT_EQ(b->Connect(listener.address()), 0);
  int peer_b = listener.Accept();
  ASSERT_TRUE(WaitUntil(&ss_, [&] {
    return a->GetState() == Socket::CS_CONNECTED && b->GetState() == Socket::CS_CONNECTED;
  }));
  ss_.Wait(20, true);  // Let the first write events pass.

  struct Killer : public sigslot::has_slots<> {
    void OnRead(AsyncSocket* socket) {
      ++reads;
      if (socket == a->get())
        b->reset();
      else
        a->reset();
    }
    std::unique_ptr<AsyncSocket>* a;
    std::unique_ptr<AsyncSocket>* b;
    int reads = 0;
  } killer;
  killer.a = &a;
  killer.b = &b;
  a->SignalReadEvent.connect(&killer, &Killer::OnRead);
  b->SignalReadEvent.connect(&killer, &Killer::OnRead);
  // A socket created inside a handler joins from the next pass on.
  ::send(peer_a, "x", 1, MSG_NOSIGNAL);
  ::send(peer_b, "y", 1, MSG_NOSIGNAL);
  Thread::SleepMs(20);  // Both readable before the pass.
  ASSERT_TRUE(WaitUntil(&ss_, [&] { return killer.reads > 0; }));
  EXPECT_EQ(killer.reads, 1);
  EXPECT_TRUE((a == nullptr) != (b == nullptr));

  std::unique_ptr<AsyncSocket> late;
  Recorder late_recorder(a ? a.get() : b.get());
  struct Creator : public sigslot::has_slots<> {
    void OnRead(AsyncSocket*) {
      if (created)
        return;
      created.reset(ss->CreateAsyncSocket(AF_INET, SOCK_STREAM));
      recorder = std::make_unique<Recorder>(created.get());
      created->Connect(address);
    }
    PhysicalSocketServer* ss;
    SocketAddress address;
    std::unique_ptr<AsyncSocket> created;
    std::unique_ptr<Recorder> recorder;
  } creator;
  creator.ss = &ss_;
  creator.address = listener.address();
  AsyncSocket* survivor = a ? a.get() : b.get();
  char buf[4];
  survivor->Recv(buf, sizeof(buf), nullptr);  // Re-arms reading.
  survivor->SignalReadEvent.disconnect(&killer);
  survivor->SignalReadEvent.connect(&creator, &Creator::OnRead);
  ::send(a ? peer_a : peer_b, "z", 1, MSG_NOSIGNAL);
  ASSERT_TRUE(WaitUntil(&ss_, [&] { return creator.recorder && creator.recorder->connects > 0; }));
  creator.recorder.reset();
}

TEST_F(PhysicalSocketServerTest, ASocketAboveDescriptor1024StillConnects) {
  rlimit limit;
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);
  rlimit raised = limit;
  if (raised.rlim_cur < 1200) {
    raised.rlim_cur = std::min<rlim_t>(2048, raised.rlim_max);
    if (raised.rlim_cur < 1200 || setrlimit(RLIMIT_NOFILE, &raised) != 0)
      GTEST_SKIP() << "cannot raise the descriptor limit";
  }
  std::vector<int> fillers;
  while (true) {
    int fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    fillers.push_back(fd);
    if (fd > 1100)
      break;
  }
  PlainListener listener;
  std::unique_ptr<AsyncSocket> s(ss_.CreateAsyncSocket(AF_INET, SOCK_STREAM));
  ASSERT_TRUE(s);
  EXPECT_GT(static_cast<SocketDispatcher*>(s.get())->GetDescriptor(), 1024);
  Recorder recorder(s.get());
  ASSERT_EQ(s->Connect(listener.address()), 0);
  bool connected = WaitUntil(&ss_, [&] { return recorder.connects > 0; });
  s.reset();
  for (int fd : fillers)
    ::close(fd);
  setrlimit(RLIMIT_NOFILE, &limit);
  EXPECT_TRUE(connected);
}

TEST_F(PhysicalSocketServerTest, OptionsTranslateToTheSocketLevels) {
  CapturingSink sink;
  std::unique_ptr<AsyncSocket> s(ss_.CreateAsyncSocket(AF_INET, SOCK_STREAM));
  int fd = static_cast<SocketDispatcher*>(s.get())->GetDescriptor();
  int value = 0;
  EXPECT_EQ(s->SetOption(Socket::OPT_NODELAY, 1), 0);
  EXPECT_EQ(s->GetOption(Socket::OPT_NODELAY, &value), 0);
  EXPECT_NE(value, 0);
  EXPECT_EQ(s->SetOption(Socket::OPT_REUSEADDR, 1), 0);
  EXPECT_EQ(s->GetOption(Socket::OPT_REUSEADDR, &value), 0);
  EXPECT_NE(value, 0);

  EXPECT_EQ(s->SetOption(Socket::OPT_DSCP, 46), 0);
  int tos = 0;
  socklen_t len = sizeof(tos);
  ASSERT_EQ(::getsockopt(fd, IPPROTO_IP, IP_TOS, &tos, &len), 0);
  EXPECT_EQ(tos, 184);
  EXPECT_EQ(s->GetOption(Socket::OPT_DSCP, &value), 0);
  EXPECT_EQ(value, 46) << "reads back what was set";

  // Dead-peer detection: each option lands on its socket option.
  const struct {
    Socket::Option option;
    int level;
    int name;
    int value;
  } kTable[] = {{Socket::OPT_KEEPALIVE, SOL_SOCKET, SO_KEEPALIVE, 1},
                {Socket::OPT_TCP_KEEPIDLE, IPPROTO_TCP, TCP_KEEPIDLE, 10},
                {Socket::OPT_TCP_KEEPINTVL, IPPROTO_TCP, TCP_KEEPINTVL, 5},
                {Socket::OPT_TCP_KEEPCNT, IPPROTO_TCP, TCP_KEEPCNT, 2},
                {Socket::OPT_TCP_USER_TIMEOUT, IPPROTO_TCP, TCP_USER_TIMEOUT, 20000}};
  for (const auto& row : kTable) {
    EXPECT_EQ(s->SetOption(row.option, row.value), 0) << row.option;
    int got = 0;
    len = sizeof(got);
    ASSERT_EQ(::getsockopt(fd, row.level, row.name, &got, &len), 0);
    EXPECT_EQ(got, row.value) << row.option;
  }

  EXPECT_EQ(s->SetOption(Socket::OPT_DONTFRAGMENT, 1), -1);
  EXPECT_EQ(sink.Count("Socket::OPT_DONTFRAGMENT not supported."), 1);
  EXPECT_EQ(s->SetOption(Socket::OPT_UNSUPPORTED, 1), -1);
  EXPECT_EQ(s->GetOption(static_cast<Socket::Option>(99), &value), -1);
  EXPECT_EQ(sink.Count("Socket::OPT_DONTFRAGMENT not supported."), 1);
}

TEST_F(PhysicalSocketServerTest, DescriptorsAreCloseOnExec) {
  std::unique_ptr<AsyncSocket> s(ss_.CreateAsyncSocket(AF_INET, SOCK_STREAM));
  int fd = static_cast<SocketDispatcher*>(s.get())->GetDescriptor();
  EXPECT_TRUE(fcntl(fd, F_GETFD) & FD_CLOEXEC);
  EXPECT_TRUE(fcntl(fd, F_GETFL) & O_NONBLOCK);
}

TEST_F(PhysicalSocketServerTest, WakeUpFromAnotherThreadEndsAnEndlessWait) {
  std::thread waker([this] {
    Thread::SleepMs(30);
    ss_.WakeUp();
  });
  int64_t start = SystemTimeMillis();
  EXPECT_TRUE(ss_.Wait(SocketServer::kForever, true));
  EXPECT_GE(SystemTimeMillis() - start, 20);
  waker.join();
}

TEST_F(PhysicalSocketServerTest, TwoWakeUpsCostOnePass) {
  ss_.WakeUp();
  ss_.WakeUp();
  EXPECT_TRUE(ss_.Wait(SocketServer::kForever, true));
  int64_t start = SystemTimeMillis();
  EXPECT_TRUE(ss_.Wait(40, true));
  EXPECT_GE(SystemTimeMillis() - start, 35) << "the second wake-up must not linger";
}

TEST_F(PhysicalSocketServerTest, WaitWithoutIoDeliversNoSocketEventsAndTimesOut) {
  PlainListener listener;
  std::unique_ptr<AsyncSocket> s(ss_.CreateAsyncSocket(AF_INET, SOCK_STREAM));
  Recorder recorder(s.get());
  ASSERT_EQ(s->Connect(listener.address()), 0);
  int peer = listener.Accept();
  ::send(peer, "x", 1, MSG_NOSIGNAL);
  Thread::SleepMs(10);
  int64_t start = SystemTimeMillis();
  EXPECT_TRUE(ss_.Wait(30, false));
  EXPECT_GE(SystemTimeMillis() - start, 25);
  EXPECT_EQ(recorder.connects + recorder.reads + recorder.writes, 0);
  ASSERT_TRUE(WaitUntil(&ss_, [&] { return recorder.reads > 0; }));
}

void IgnoreSignal(int) {}

TEST_F(PhysicalSocketServerTest, InterruptedWaitsDeliverNothingAndKeepTheirTimeOut) {
  // A handler without SA_RESTART: every signal interrupts poll().
  struct sigaction action = {};
  struct sigaction old_action;
  action.sa_handler = &IgnoreSignal;
  sigemptyset(&action.sa_mask);
  ASSERT_EQ(sigaction(SIGUSR1, &action, &old_action), 0);

  PlainListener listener;
  std::unique_ptr<AsyncSocket> s(ss_.CreateAsyncSocket(AF_INET, SOCK_STREAM));
  Recorder recorder(s.get());
  ASSERT_EQ(s->Connect(listener.address()), 0);
  int peer = listener.Accept();
  ASSERT_TRUE(WaitUntil(&ss_, [&] { return recorder.connects > 0 && recorder.writes > 0; }));
  const int writes = recorder.writes;

  std::atomic<bool> stop(false);
  pthread_t waiting = pthread_self();
  std::thread interrupter([&] {
    while (!stop.load()) {
      pthread_kill(waiting, SIGUSR1);
      Thread::SleepMs(2);
    }
  });
  int64_t start = SystemTimeMillis();
  EXPECT_TRUE(ss_.Wait(100, true));
  int64_t elapsed = SystemTimeMillis() - start;
  stop = true;
  interrupter.join();
  sigaction(SIGUSR1, &old_action, nullptr);

  EXPECT_GE(elapsed, 95);
  EXPECT_EQ(recorder.reads, 0) << "nothing was readable";
  EXPECT_EQ(recorder.writes, writes) << "writing was not asked for again";
  EXPECT_EQ(recorder.closes, 0);
  (void)peer;
}

TEST_F(PhysicalSocketServerTest, ADescriptorClosedBehindTheSocketsBackReportsAClose) {
  PlainListener listener;
  std::unique_ptr<AsyncSocket> s(ss_.CreateAsyncSocket(AF_INET, SOCK_STREAM));
  Recorder recorder(s.get());
  ASSERT_EQ(s->Connect(listener.address()), 0);
  listener.Accept();
  ASSERT_TRUE(WaitUntil(&ss_, [&] { return recorder.connects > 0; }));
  int fd = static_cast<SocketDispatcher*>(s.get())->GetDescriptor();
  char buf[4];
  s->Recv(buf, sizeof(buf), nullptr);  // Asks for reading again.
  ::close(fd);
  ASSERT_TRUE(WaitUntil(&ss_, [&] { return recorder.closes > 0; }));
  EXPECT_EQ(recorder.close_error, EBADF);
  EXPECT_EQ(s->GetState(), Socket::CS_CLOSED);
  EXPECT_EQ(static_cast<SocketDispatcher*>(s.get())->GetDescriptor(), -1);
  // Another socket of the same server still works.
  std::unique_ptr<AsyncSocket> other(ss_.CreateAsyncSocket(AF_INET, SOCK_STREAM));
  Recorder other_recorder(other.get());
  ASSERT_EQ(other->Connect(listener.address()), 0);
  ASSERT_TRUE(WaitUntil(&ss_, [&] { return other_recorder.connects > 0; }));
  // The stale number may now be the other socket's; destroying the first
  // socket must not close it.
  s.reset();
  EXPECT_EQ(other->Send("x", 1), 1);
}

TEST_F(PhysicalSocketServerTest, AnEmptyDatagramIsReceivedAsEmptyNotAsEndOfStream) {
  std::unique_ptr<AsyncSocket> receiver(ss_.CreateAsyncSocket(AF_INET, SOCK_DGRAM));
  std::unique_ptr<AsyncSocket> sender(ss_.CreateAsyncSocket(AF_INET, SOCK_DGRAM));
  ASSERT_EQ(receiver->Bind(SocketAddress("127.0.0.1", 0)), 0);
  Recorder recorder(receiver.get());
  SocketAddress to = receiver->GetLocalAddress();
  EXPECT_EQ(sender->SendTo("", 0, to), 0);
  EXPECT_EQ(sender->SendTo("abc", 3, to), 3);
  ASSERT_TRUE(WaitUntil(&ss_, [&] { return recorder.reads > 0; }));
  char buf[16];
  SocketAddress from;
  EXPECT_EQ(receiver->RecvFrom(buf, sizeof(buf), &from, nullptr), 0);
  EXPECT_EQ(from.port(), sender->GetLocalAddress().port());
  EXPECT_EQ(receiver->RecvFrom(buf, sizeof(buf), &from, nullptr), 3);
  EXPECT_EQ(recorder.closes, 0);
}

TEST_F(PhysicalSocketServerTest, APlainSocketWorksWithoutTheServerLoop) {
  PlainListener listener;
  std::unique_ptr<Socket> s(ss_.CreateSocket(AF_INET, SOCK_STREAM));
  ASSERT_TRUE(s);
  ASSERT_EQ(s->Connect(listener.address()), 0);
  EXPECT_EQ(s->GetState(), Socket::CS_CONNECTED);
  int peer = listener.Accept();
  ASSERT_EQ(s->Send("ping", 4), 4);
  char buf[8];
  ASSERT_EQ(::recv(peer, buf, sizeof(buf), 0), 4);
  ::send(peer, "pong", 4, MSG_NOSIGNAL);
  ASSERT_EQ(s->Recv(buf, sizeof(buf), nullptr), 4);  // Blocking socket.
  EXPECT_EQ(std::string(buf, 4), "pong");
}

TEST_F(PhysicalSocketServerTest, RemovingADispatcherTwiceLogsAWarning) {
  CapturingSink sink;
  struct Idle : public Dispatcher {
    uint32_t GetRequestedEvents() override { return 0; }
    void OnPreEvent(uint32_t) override {}
    void OnEvent(uint32_t, int) override {}
    int GetDescriptor() override { return -1; }
    bool IsDescriptorClosed() override { return false; }
  } idle;
  ss_.Add(&idle);
  ss_.Remove(&idle);
  EXPECT_EQ(sink.Count("PhysicalSocketServer asked to remove a unknown"), 0);
  ss_.Remove(&idle);
  EXPECT_EQ(sink.Count("PhysicalSocketServer asked to remove a unknown"), 1);
}

TEST_F(PhysicalSocketServerTest, AcceptedSocketsAreAsynchronousAndGetEvents) {
  AcceptedPeer peer(&ss_, AF_INET);
  ASSERT_TRUE(peer.ok);
  int client = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in sin = {};
  sin.sin_family = AF_INET;
  sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  sin.sin_port = htons(peer.port());
  ASSERT_EQ(::connect(client, reinterpret_cast<sockaddr*>(&sin), sizeof(sin)), 0);
  ASSERT_TRUE(WaitUntil(&ss_, [&] { return peer.accepted != nullptr; }));
  Recorder recorder(peer.accepted.get());
  ::send(client, "abc", 3, MSG_NOSIGNAL);
  ASSERT_TRUE(WaitUntil(&ss_, [&] { return recorder.reads > 0; }));
  char buf[8];
  EXPECT_EQ(peer.accepted->Recv(buf, sizeof(buf), nullptr), 3);
  EXPECT_EQ(peer.accepted->Recv(buf, sizeof(buf), nullptr), -1);
  EXPECT_TRUE(peer.accepted->IsBlocking());
  ::close(client);
  ASSERT_TRUE(WaitUntil(&ss_, [&] { return recorder.closes > 0; }));
  EXPECT_EQ(recorder.close_error, 0);
}

// A resolver the test finishes by hand.
class FakeResolver : public AsyncResolverInterface {
 public:
  static FakeResolver* last;
  FakeResolver() { last = this; }
  void Start(const SocketAddress& addr) override { address_ = addr; }
  bool GetResolvedAddress(int family, SocketAddress* addr) const override {
    if (error_ != 0)
      return false;
    for (const IPAddress& ip : ips_) {
      if (ip.family() == family) {
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
FakeResolver* FakeResolver::last = nullptr;

class ResolvingConnectTest : public PhysicalSocketServerTest {
 protected:
  ResolvingConnectTest() {
    SetAsyncResolverFactory([this]() -> AsyncResolverInterface* {
      resolvers_.push_back(std::make_unique<FakeResolver>());
      return resolvers_.back().get();
    });
  }
  ~ResolvingConnectTest() override { SetAsyncResolverFactory(nullptr); }
  std::vector<std::unique_ptr<FakeResolver>> resolvers_;
};

TEST_F(ResolvingConnectTest, AHostNameIsResolvedThenConnected) {
  PlainListener listener;
  std::unique_ptr<AsyncSocket> s(ss_.CreateAsyncSocket(AF_INET, SOCK_STREAM));
  Recorder recorder(s.get());
  ASSERT_EQ(s->Connect(SocketAddress("localhost", listener.port())), 0);
  EXPECT_EQ(s->GetState(), Socket::CS_CONNECTING);
  IPAddress v4, v6;
  IPFromString("127.0.0.1", &v4);
  IPFromString("::1", &v6);
  // The socket was made for IPv4, so the IPv4 result is used.
  FakeResolver::last->Finish(0, {v6, v4});
  ASSERT_TRUE(WaitUntil(&ss_, [&] { return recorder.connects > 0; }));
  EXPECT_EQ(s->GetRemoteAddress().ipaddr(), v4);
}

TEST_F(ResolvingConnectTest, AFailedResolutionClosesWithTheResolverError) {
  std::unique_ptr<AsyncSocket> s(ss_.CreateAsyncSocket(AF_INET, SOCK_STREAM));
  Recorder recorder(s.get());
  ASSERT_EQ(s->Connect(SocketAddress("unresolvable.invalid", 80)), 0);
  FakeResolver* resolver = FakeResolver::last;
  resolver->Finish(-2, {});
  EXPECT_EQ(recorder.closes, 1);
  EXPECT_EQ(recorder.close_error, -2);
  EXPECT_EQ(s->GetError(), -2);
  EXPECT_EQ(s->GetState(), Socket::CS_CLOSED);
  EXPECT_TRUE(resolver->destroyed);
}

TEST_F(ResolvingConnectTest, AConnectThatFailsAfterResolutionReportsItsErrnoAndCloses) {
  std::unique_ptr<AsyncSocket> s(ss_.CreateAsyncSocket(AF_INET, SOCK_STREAM));
  Recorder recorder(s.get());
  ASSERT_EQ(s->Connect(SocketAddress("v6only.test", 80)), 0);
  IPAddress v6;
  IPFromString("::1", &v6);
  // Only an IPv6 result for an IPv4 socket: connect() fails at once.
  FakeResolver::last->Finish(0, {v6});
  EXPECT_EQ(recorder.closes, 1);
  EXPECT_GT(recorder.close_error, 0);
  EXPECT_NE(recorder.close_error, -1);
  EXPECT_EQ(s->GetState(), Socket::CS_CLOSED);
  EXPECT_EQ(static_cast<SocketDispatcher*>(s.get())->GetDescriptor(), -1);
}

TEST_F(PhysicalSocketServerTest, AHostNameWithoutAResolverFailsAtOnce) {
  SetAsyncResolverFactory([]() -> AsyncResolverInterface* { return nullptr; });
  std::unique_ptr<AsyncSocket> s(ss_.CreateAsyncSocket(AF_INET, SOCK_STREAM));
  EXPECT_EQ(s->Connect(SocketAddress("localhost", 80)), -1);
  EXPECT_EQ(s->GetError(), EHOSTUNREACH);
  SetAsyncResolverFactory(nullptr);
}

TEST_F(PhysicalSocketServerTest, LocalhostIsResolvedAndConnectedByDefault) {
  AutoSocketServerThread thread(&ss_);  // The resolver reports to a thread.
  PlainListener listener;
  std::unique_ptr<AsyncSocket> s(ss_.CreateAsyncSocket(AF_INET, SOCK_STREAM));
  Recorder recorder(s.get());
  ASSERT_EQ(s->Connect(SocketAddress("localhost", listener.port())), 0);
  int64_t end = SystemTimeMillis() + kTimeoutMs;
  while (recorder.connects == 0 && recorder.closes == 0 && SystemTimeMillis() < end)
    thread.ProcessMessages(10);
  EXPECT_EQ(recorder.connects, 1);
  EXPECT_EQ(recorder.closes, 0);
}

std::atomic<int> g_signal_seen{0};
void RecordSignal(int signum) {
  g_signal_seen = signum;
}

TEST_F(PhysicalSocketServerTest, APosixSignalReachesItsHandlerOnTheWaitingThread) {
  ASSERT_TRUE(ss_.SetPosixSignalHandler(SIGUSR2, &RecordSignal));
  ::raise(SIGUSR2);
  ASSERT_TRUE(WaitUntil(&ss_, [] { return g_signal_seen.load() != 0; }));
  EXPECT_EQ(g_signal_seen.load(), SIGUSR2);
  EXPECT_TRUE(ss_.SetPosixSignalHandler(SIGUSR2, SIG_IGN));
  EXPECT_TRUE(ss_.SetPosixSignalHandler(SIGUSR2, SIG_DFL));
  EXPECT_FALSE(ss_.SetPosixSignalHandler(200, &RecordSignal));
}

PhysicalSocketServer* g_restoring_server = nullptr;
void RestoreDefaultInsideHandler(int signum) {
  g_signal_seen = signum;
  g_restoring_server->SetPosixSignalHandler(signum, SIG_IGN);
}

TEST_F(PhysicalSocketServerTest, ASignalHandlerMayRemoveItselfWhileItRuns) {
  g_signal_seen = 0;
  g_restoring_server = &ss_;
  ASSERT_TRUE(ss_.SetPosixSignalHandler(SIGUSR2, &RestoreDefaultInsideHandler));
  ::raise(SIGUSR2);
  ASSERT_TRUE(WaitUntil(&ss_, [] { return g_signal_seen.load() != 0; }));
  ::raise(SIGUSR2);  // Ignored now.
  ss_.Wait(20, true);
  EXPECT_TRUE(ss_.SetPosixSignalHandler(SIGUSR2, SIG_DFL));
}

TEST(NullSocketServerTest, WaitEndsOnWakeUpOrTimeOutAndThereAreNoSockets) {
  NullSocketServer ss;
  EXPECT_EQ(ss.CreateSocket(AF_INET, SOCK_STREAM), nullptr);
  EXPECT_EQ(ss.CreateAsyncSocket(AF_INET, SOCK_STREAM), nullptr);
  int64_t start = SystemTimeMillis();
  EXPECT_TRUE(ss.Wait(20, true));
  EXPECT_GE(SystemTimeMillis() - start, 15);
  std::thread waker([&] {
    Thread::SleepMs(20);
    ss.WakeUp();
  });
  EXPECT_TRUE(ss.Wait(SocketServer::kForever, true));
  waker.join();
}

}  // namespace
}  // namespace rtc

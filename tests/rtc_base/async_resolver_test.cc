#include "rtc_base/async_resolver.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netdb.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <memory>
#include <string>

#include "rtc_base/async_socket.h"
#include "rtc_base/net_helpers.h"
#include "rtc_base/thread.h"
#include "rtc_base/time_utils.h"

namespace rtc {
namespace {

bool PumpUntil(const std::function<bool()>& done) {
  int64_t give_up = TimeMillis() + 5000;
  while (!done()) {
    if (TimeMillis() > give_up) return false;
    Thread::Current()->ProcessMessages(2);
  }
  return true;
}

// Resolves `address` and keeps the resolver for inspection until the test
// destroys it.
class Resolution : public sigslot::has_slots<> {
 public:
  explicit Resolution(const SocketAddress& address) {
    resolver_ = new AsyncResolver();
    resolver_->SignalDone.connect(this, &Resolution::OnDone);
    resolver_->Start(address);
  }
  ~Resolution() override {
    if (resolver_ != nullptr) resolver_->Destroy(false);
  }

  bool Wait() { return PumpUntil([this] { return done_ > 0; }); }

  AsyncResolver* resolver() { return resolver_; }
  int done() const { return done_; }
  bool destroy_in_callback = false;

 private:
  void OnDone(AsyncResolverInterface* resolver) {
    // Only the resolver we hold counts (a destroyed one may still report).
    if (resolver != resolver_) return;
    ++done_;
    if (destroy_in_callback) {
      resolver_->Destroy(false);
      resolver_ = nullptr;
    }
  }

  AsyncResolver* resolver_;
  int done_ = 0;
};

class AsyncResolverTest : public ::testing::Test {
 protected:
  AutoThread main_thread_;
};

TEST_F(AsyncResolverTest, NumericAddressKeepsItsPort) {
  Resolution resolution(SocketAddress("127.0.0.1", 7080));
  EXPECT_EQ(-1, resolution.resolver()->GetError());
  ASSERT_TRUE(resolution.Wait());
  EXPECT_EQ(0, resolution.resolver()->GetError());
  SocketAddress address = resolution.resolver()->address();
  EXPECT_EQ("127.0.0.1", address.ipaddr().ToString());
  EXPECT_EQ(7080, address.port());
  SocketAddress ipv6;
  EXPECT_FALSE(resolution.resolver()->GetResolvedAddress(AF_INET6, &ipv6));
}

TEST_F(AsyncResolverTest, LocalhostResolvesToLoopbackAndKeepsTheName) {
  Resolution resolution(SocketAddress("localhost", 443));
  ASSERT_TRUE(resolution.Wait());
  ASSERT_EQ(0, resolution.resolver()->GetError());
  SocketAddress address = resolution.resolver()->address();
  EXPECT_TRUE(IPIsLoopback(address.ipaddr()));
  EXPECT_EQ("localhost", address.hostname());
  EXPECT_EQ(443, address.port());
}

TEST_F(AsyncResolverTest, ResolverMayBeDestroyedInsideItsSignal) {
  Resolution resolution(SocketAddress("127.0.0.1", 1));
  resolution.destroy_in_callback = true;
  ASSERT_TRUE(resolution.Wait());
  EXPECT_EQ(nullptr, resolution.resolver());
  // A leak or a double free shows under the sanitizers.
  Thread::Current()->ProcessMessages(10);
  EXPECT_EQ(1, resolution.done());
}

// Sockets resolve host names with AsyncResolver unless told otherwise.
class ConnectRecorder : public sigslot::has_slots<> {
 public:
  explicit ConnectRecorder(AsyncSocket* socket) {
    socket->SignalConnectEvent.connect(this, &ConnectRecorder::OnConnect);
    socket->SignalCloseEvent.connect(this, &ConnectRecorder::OnClose);
  }
  int connects = 0;
  int closes = 0;

 private:
  void OnConnect(AsyncSocket*) { ++connects; }
  void OnClose(AsyncSocket*, int) { ++closes; }
};

TEST_F(AsyncResolverTest, SocketsConnectToLocalhostByName) {
  int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(listener, 0);
  sockaddr_in bound = {};
  bound.sin_family = AF_INET;
  bound.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof(bound);
  ASSERT_EQ(0, bind(listener, reinterpret_cast<sockaddr*>(&bound), length));
  ASSERT_EQ(0, listen(listener, 1));
  ASSERT_EQ(0, getsockname(listener, reinterpret_cast<sockaddr*>(&bound),
                           &length));
  std::unique_ptr<AsyncSocket> client(
      Thread::Current()->socketserver()->CreateAsyncSocket(AF_INET,
                                                           SOCK_STREAM));
  ASSERT_NE(nullptr, client);
  ConnectRecorder recorder(client.get());
  ASSERT_EQ(0, client->Connect(SocketAddress("localhost", ntohs(bound.sin_port))));
  EXPECT_TRUE(PumpUntil([&] { return recorder.connects + recorder.closes > 0; }));
  EXPECT_EQ(1, recorder.connects);
  EXPECT_EQ("127.0.0.1", client->GetRemoteAddress().ipaddr().ToString());
  client.reset();
  close(listener);
}

// A resolver of our own that knows two names, so that no name server is
// asked.
int FakeGetAddrInfo(const char* node, const char*, const addrinfo* hints,
                    addrinfo** result) {
  if (strcmp(node, "dual.test") != 0 && strcmp(node, "v4.test") != 0) {
    return EAI_NONAME;
  }
  bool dual = strcmp(node, "dual.test") == 0;
  auto* v4 = new sockaddr_in();
  v4->sin_family = AF_INET;
  ::inet_pton(AF_INET, "10.1.2.3", &v4->sin_addr);
  auto* first = new addrinfo();
  first->ai_family = AF_INET;
  first->ai_socktype = hints->ai_socktype;
  first->ai_addr = reinterpret_cast<sockaddr*>(v4);
  first->ai_addrlen = sizeof(*v4);
  if (dual) {
    auto* v6 = new sockaddr_in6();
    v6->sin6_family = AF_INET6;
    ::inet_pton(AF_INET6, "fd00::5", &v6->sin6_addr);
    auto* second = new addrinfo();
    second->ai_family = AF_INET6;
    second->ai_socktype = hints->ai_socktype;
    second->ai_addr = reinterpret_cast<sockaddr*>(v6);
    second->ai_addrlen = sizeof(*v6);
    first->ai_next = second;
  }
  *result = first;
  return 0;
}

void FakeFreeAddrInfo(addrinfo* info) {
  while (info != nullptr) {
    addrinfo* next = info->ai_next;
    if (info->ai_family == AF_INET) {
      delete reinterpret_cast<sockaddr_in*>(info->ai_addr);
    } else {
      delete reinterpret_cast<sockaddr_in6*>(info->ai_addr);
    }
    delete info;
    info = next;
  }
}

class AsyncResolverFakeTest : public AsyncResolverTest {
 protected:
  void SetUp() override {
    SetGetAddrInfoForTesting(&FakeGetAddrInfo, &FakeFreeAddrInfo);
  }
  void TearDown() override { SetGetAddrInfoForTesting(nullptr, nullptr); }
};

TEST_F(AsyncResolverFakeTest, PrefersIPv6AndStillOffersIPv4) {
  Resolution resolution(SocketAddress("dual.test", 5000));
  ASSERT_TRUE(resolution.Wait());
  SocketAddress address = resolution.resolver()->address();
  EXPECT_EQ("fd00::5", address.ipaddr().ToString());
  EXPECT_EQ("dual.test", address.hostname());
  EXPECT_EQ(5000, address.port());
  SocketAddress v4;
  ASSERT_TRUE(resolution.resolver()->GetResolvedAddress(AF_INET, &v4));
  EXPECT_EQ("10.1.2.3", v4.ipaddr().ToString());
  EXPECT_EQ(2u, resolution.resolver()->addresses().size());
}

TEST_F(AsyncResolverFakeTest, TakesIPv4WhenThatIsAllThereIs) {
  Resolution resolution(SocketAddress("v4.test", 80));
  ASSERT_TRUE(resolution.Wait());
  EXPECT_EQ("10.1.2.3", resolution.resolver()->address().ipaddr().ToString());
}

TEST_F(AsyncResolverFakeTest, UnknownNameGivesTheResolverErrorAndNoAddress) {
  Resolution resolution(SocketAddress("unknown.test", 80));
  ASSERT_TRUE(resolution.Wait());
  EXPECT_EQ(EAI_NONAME, resolution.resolver()->GetError());
  EXPECT_TRUE(resolution.resolver()->address().IsNil());
  SocketAddress out;
  EXPECT_FALSE(resolution.resolver()->GetResolvedAddress(AF_INET, &out));
  EXPECT_FALSE(resolution.resolver()->GetResolvedAddress(AF_INET6, &out));
}

TEST_F(AsyncResolverFakeTest, RestartAfterCompletionResolvesTheNewName) {
  Resolution resolution(SocketAddress("unknown.test", 80));
  ASSERT_TRUE(resolution.Wait());
  resolution.resolver()->Start(SocketAddress("v4.test", 81));
  ASSERT_TRUE(PumpUntil([&] { return resolution.done() == 2; }));
  EXPECT_EQ(0, resolution.resolver()->GetError());
  EXPECT_EQ(81, resolution.resolver()->address().port());
}

// A real lookup of a name that does not exist, inside a network namespace of
// its own so that no query can leave the machine. The test runs itself again
// under `unshare -n`.
constexpr char kInNetnsVariable[] = "VORTM_RESOLVER_IN_NETNS";

TEST_F(AsyncResolverTest, NameThatDoesNotResolveReportsAnError) {
  if (getenv(kInNetnsVariable) != nullptr) {
    Resolution resolution(SocketAddress("vortm-test-name.invalid", 80));
    ASSERT_TRUE(resolution.Wait());
    EXPECT_NE(0, resolution.resolver()->GetError());
    EXPECT_TRUE(resolution.resolver()->address().IsNil());
    return;
  }
  if (system("unshare -n true >/dev/null 2>&1") != 0) {
    GTEST_SKIP() << "no network namespaces here";
  }
  std::string self(4096, '\0');
  ssize_t length = readlink("/proc/self/exe", self.data(), self.size() - 1);
  ASSERT_GT(length, 0);
  self.resize(length);
  std::string command = std::string(kInNetnsVariable) + "=1 unshare -n " +
                        self +
                        " --gtest_filter=AsyncResolverTest."
                        "NameThatDoesNotResolveReportsAnError >/dev/null 2>&1";
  int status = system(command.c_str());
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(0, WEXITSTATUS(status));
}

}  // namespace
}  // namespace rtc

#include "rtc_base/async_socket.h"

#include <errno.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "gmock/gmock.h"
#include "gtest/gtest.h"
#include "rtc_base/physical_socket_server.h"

namespace rtc {
namespace {

using ::testing::_;
using ::testing::DoAll;
using ::testing::Return;
using ::testing::SetArgPointee;

class MockAsyncSocket : public AsyncSocket {
 public:
  explicit MockAsyncSocket(bool* deleted = nullptr) : deleted_(deleted) {}
  ~MockAsyncSocket() override {
    if (deleted_) *deleted_ = true;
  }

  MOCK_METHOD(SocketAddress, GetLocalAddress, (), (const, override));
  MOCK_METHOD(SocketAddress, GetRemoteAddress, (), (const, override));
  MOCK_METHOD(int, Bind, (const SocketAddress&), (override));
  MOCK_METHOD(int, Connect, (const SocketAddress&), (override));
  MOCK_METHOD(int, Send, (const void*, size_t), (override));
  MOCK_METHOD(int, SendTo, (const void*, size_t, const SocketAddress&),
              (override));
  MOCK_METHOD(int, Recv, (void*, size_t, int64_t*), (override));
  MOCK_METHOD(int, RecvFrom, (void*, size_t, SocketAddress*, int64_t*),
              (override));
  MOCK_METHOD(int, Listen, (int), (override));
  MOCK_METHOD(AsyncSocket*, Accept, (SocketAddress*), (override));
  MOCK_METHOD(int, Close, (), (override));
  MOCK_METHOD(int, GetError, (), (const, override));
  MOCK_METHOD(void, SetError, (int), (override));
  MOCK_METHOD(ConnState, GetState, (), (const, override));
  MOCK_METHOD(int, GetOption, (Option, int*), (override));
  MOCK_METHOD(int, SetOption, (Option, int), (override));

 private:
  bool* deleted_;
};

// Records which socket each signal carried.
class SignalLog : public sigslot::has_slots<> {
 public:
  void Listen(AsyncSocket* socket) {
    socket->SignalConnectEvent.connect(this, &SignalLog::OnConnect);
    socket->SignalReadEvent.connect(this, &SignalLog::OnRead);
    socket->SignalWriteEvent.connect(this, &SignalLog::OnWrite);
    socket->SignalCloseEvent.connect(this, &SignalLog::OnClose);
  }
  void OnConnect(AsyncSocket* s) { events.push_back({'c', s, 0}); }
  void OnRead(AsyncSocket* s) { events.push_back({'r', s, 0}); }
  void OnWrite(AsyncSocket* s) { events.push_back({'w', s, 0}); }
  void OnClose(AsyncSocket* s, int err) { events.push_back({'x', s, err}); }

  struct Event {
    char kind;
    AsyncSocket* socket;
    int error;
    bool operator==(const Event& o) const {
      return kind == o.kind && socket == o.socket && error == o.error;
    }
  };
  std::vector<Event> events;
};

TEST(AsyncSocketAdapterTest, ForwardsEveryOperationAndItsResult) {
  auto* inner = new MockAsyncSocket();
  AsyncSocketAdapter adapter(inner);
  const SocketAddress addr("127.0.0.1", 7080);
  const SocketAddress local("127.0.0.1", 40000);
  char buf[8] = "abc";
  int64_t timestamp = 0;
  SocketAddress from;
  int value = 0;
  auto* accepted = new MockAsyncSocket();

  EXPECT_CALL(*inner, GetLocalAddress()).WillOnce(Return(local));
  EXPECT_CALL(*inner, GetRemoteAddress()).WillOnce(Return(addr));
  EXPECT_CALL(*inner, Bind(local)).WillOnce(Return(0));
  EXPECT_CALL(*inner, Connect(addr)).WillOnce(Return(-1));
  EXPECT_CALL(*inner, Send(buf, 3u)).WillOnce(Return(3));
  EXPECT_CALL(*inner, SendTo(buf, 2u, addr)).WillOnce(Return(2));
  EXPECT_CALL(*inner, Recv(buf, sizeof(buf), &timestamp)).WillOnce(Return(5));
  EXPECT_CALL(*inner, RecvFrom(buf, sizeof(buf), &from, nullptr))
      .WillOnce(DoAll(SetArgPointee<2>(addr), Return(4)));
  EXPECT_CALL(*inner, Listen(5)).WillOnce(Return(0));
  EXPECT_CALL(*inner, Accept(&from)).WillOnce(Return(accepted));
  EXPECT_CALL(*inner, Close()).WillOnce(Return(0));
  EXPECT_CALL(*inner, GetError()).WillRepeatedly(Return(EWOULDBLOCK));
  EXPECT_CALL(*inner, SetError(ECONNRESET));
  EXPECT_CALL(*inner, GetState()).WillOnce(Return(Socket::CS_CONNECTING));
  EXPECT_CALL(*inner, GetOption(Socket::OPT_NODELAY, &value))
      .WillOnce(DoAll(SetArgPointee<1>(1), Return(0)));
  EXPECT_CALL(*inner, SetOption(Socket::OPT_DSCP, 46)).WillOnce(Return(-1));

  EXPECT_EQ(adapter.GetLocalAddress(), local);
  EXPECT_EQ(adapter.GetRemoteAddress(), addr);
  EXPECT_EQ(adapter.Bind(local), 0);
  EXPECT_EQ(adapter.Connect(addr), -1);
  EXPECT_EQ(adapter.Send(buf, 3), 3);
  EXPECT_EQ(adapter.SendTo(buf, 2, addr), 2);
  EXPECT_EQ(adapter.Recv(buf, sizeof(buf), &timestamp), 5);
  EXPECT_EQ(adapter.RecvFrom(buf, sizeof(buf), &from, nullptr), 4);
  EXPECT_EQ(from, addr);
  EXPECT_EQ(adapter.Listen(5), 0);
  std::unique_ptr<AsyncSocket> got(adapter.Accept(&from));
  EXPECT_EQ(got.get(), accepted);
  EXPECT_EQ(adapter.Close(), 0);
  EXPECT_EQ(adapter.GetError(), EWOULDBLOCK);
  EXPECT_TRUE(adapter.IsBlocking());
  adapter.SetError(ECONNRESET);
  EXPECT_EQ(adapter.GetState(), Socket::CS_CONNECTING);
  EXPECT_EQ(adapter.GetOption(Socket::OPT_NODELAY, &value), 0);
  EXPECT_EQ(value, 1);
  EXPECT_EQ(adapter.SetOption(Socket::OPT_DSCP, 46), -1);
}

TEST(AsyncSocketAdapterTest, ReemitsTheFourSignalsAsItself) {
  auto* inner = new MockAsyncSocket();
  AsyncSocketAdapter adapter(inner);
  SignalLog log;
  log.Listen(&adapter);
  inner->SignalConnectEvent(inner);
  inner->SignalReadEvent(inner);
  inner->SignalWriteEvent(inner);
  inner->SignalCloseEvent(inner, ECONNRESET);
  using E = SignalLog::Event;
  EXPECT_THAT(log.events,
              ::testing::ElementsAre(E{'c', &adapter, 0}, E{'r', &adapter, 0},
                                     E{'w', &adapter, 0},
                                     E{'x', &adapter, ECONNRESET}));
}

class CountingAdapter : public AsyncSocketAdapter {
 public:
  using AsyncSocketAdapter::AsyncSocketAdapter;
  int reads = 0;

 protected:
  void OnReadEvent(AsyncSocket* socket) override {
    ++reads;
    AsyncSocketAdapter::OnReadEvent(socket);
  }
};

TEST(AsyncSocketAdapterTest, SubclassHandlersReceiveTheWrappedEvents) {
  auto* inner = new MockAsyncSocket();
  CountingAdapter adapter(inner);
  SignalLog log;
  log.Listen(&adapter);
  inner->SignalReadEvent(inner);
  EXPECT_EQ(adapter.reads, 1);
  ASSERT_EQ(log.events.size(), 1u);
  EXPECT_EQ(log.events[0].socket, &adapter);
}

TEST(AsyncSocketAdapterTest, DeletingTheAdapterDeletesTheWrappedSocket) {
  bool deleted = false;
  auto adapter = std::make_unique<AsyncSocketAdapter>(new MockAsyncSocket(&deleted));
  SignalLog log;
  log.Listen(adapter.get());
  adapter.reset();
  EXPECT_TRUE(deleted);
}

TEST(AsyncSocketAdapterTest, AttachReplacesAndDeletesTheOldSocket) {
  bool old_deleted = false;
  AsyncSocketAdapter adapter(new MockAsyncSocket(&old_deleted));
  SignalLog log;
  log.Listen(&adapter);
  auto* fresh = new MockAsyncSocket();
  adapter.Attach(fresh);
  EXPECT_TRUE(old_deleted);
  fresh->SignalWriteEvent(fresh);
  ASSERT_EQ(log.events.size(), 1u);
  EXPECT_EQ(log.events[0].socket, &adapter);
  EXPECT_CALL(*fresh, GetState()).WillOnce(Return(Socket::CS_CONNECTED));
  EXPECT_EQ(adapter.GetState(), Socket::CS_CONNECTED);
}

TEST(AsyncSocketAdapterTest, WithoutASocketEveryOperationFailsWithNotConnected) {
  AsyncSocketAdapter adapter(nullptr);
  const SocketAddress addr("127.0.0.1", 1);
  char buf[4] = {};
  int value = 0;
  EXPECT_EQ(adapter.GetError(), 0);
  EXPECT_TRUE(adapter.GetLocalAddress().IsNil());
  EXPECT_TRUE(adapter.GetRemoteAddress().IsNil());
  EXPECT_EQ(adapter.GetState(), Socket::CS_CLOSED);

  const std::vector<std::function<int()>> ops = {
      [&] { return adapter.Bind(addr); },
      [&] { return adapter.Connect(addr); },
      [&] { return adapter.Send(buf, sizeof(buf)); },
      [&] { return adapter.SendTo(buf, sizeof(buf), addr); },
      [&] { return adapter.Recv(buf, sizeof(buf), nullptr); },
      [&] { return adapter.RecvFrom(buf, sizeof(buf), nullptr, nullptr); },
      [&] { return adapter.Listen(1); },
      [&] { return adapter.Close(); },
      [&] { return adapter.GetOption(Socket::OPT_RCVBUF, &value); },
      [&] { return adapter.SetOption(Socket::OPT_RCVBUF, 1); },
  };
  for (size_t i = 0; i < ops.size(); ++i) {
    adapter.SetError(0);
    EXPECT_EQ(ops[i](), -1) << i;
    EXPECT_EQ(adapter.GetError(), ENOTCONN) << i;
  }
  adapter.SetError(0);
  EXPECT_EQ(adapter.Accept(nullptr), nullptr);
  EXPECT_EQ(adapter.GetError(), ENOTCONN);
}

// Connect and close are single-threaded signals: their handlers may delete
// the adapter, which deletes the wrapped socket whose signal is emitting.
TEST(AsyncSocketAdapterTest, CloseHandlerMayDeleteTheAdapter) {
  struct Owner : sigslot::has_slots<> {
    std::unique_ptr<AsyncSocketAdapter> adapter;
    int closes = 0;
    void OnClose(AsyncSocket*, int) {
      ++closes;
      adapter.reset();
    }
  } owner, bystander;
  bool inner_deleted = false;
  auto* inner = new MockAsyncSocket(&inner_deleted);
  owner.adapter = std::make_unique<AsyncSocketAdapter>(inner);
  owner.adapter->SignalCloseEvent.connect(&owner, &Owner::OnClose);
  // Connected after the adapter, so it would be called next if the dying
  // socket's emission went on.
  inner->SignalCloseEvent.connect(&bystander, &Owner::OnClose);
  inner->SignalCloseEvent(inner, ECONNRESET);
  EXPECT_EQ(owner.closes, 1);
  EXPECT_EQ(bystander.closes, 0);
  EXPECT_TRUE(inner_deleted);
}

// An echo peer and a client adapter over real loopback sockets, all driven
// by one socket server on the test's thread.
class EchoOverAdapter : public sigslot::has_slots<> {
 public:
  explicit EchoOverAdapter(PhysicalSocketServer* ss) : ss_(ss) {}

  void OnListenRead(AsyncSocket* listener) {
    accepted_.reset(listener->Accept(nullptr));
    ASSERT_NE(accepted_, nullptr);
    accepted_->SignalReadEvent.connect(this, &EchoOverAdapter::OnEchoRead);
  }
  void OnEchoRead(AsyncSocket* socket) {
    char buf[64];
    const int n = socket->Recv(buf, sizeof(buf), nullptr);
    if (n > 0) socket->Send(buf, static_cast<size_t>(n));
  }
  void OnClientConnect(AsyncSocket* socket) {
    connected_with = socket;
    socket->Send("hello", 5);
  }
  void OnClientRead(AsyncSocket* socket) {
    read_with = socket;
    char buf[64];
    const int n = socket->Recv(buf, sizeof(buf), nullptr);
    if (n > 0) echoed.append(buf, static_cast<size_t>(n));
  }

  // Serves events until the echo is back; a bounded number of short waits.
  void RunUntilEchoed() {
    for (int i = 0; i < 500 && echoed.size() < 5; ++i) ss_->Wait(10, true);
  }

  AsyncSocket* connected_with = nullptr;
  AsyncSocket* read_with = nullptr;
  std::string echoed;

 private:
  PhysicalSocketServer* ss_;
  std::unique_ptr<AsyncSocket> accepted_;
};

TEST(AsyncSocketAdapterTest, EchoRoundTripOverAPhysicalSocket) {
  PhysicalSocketServer ss;
  std::unique_ptr<AsyncSocket> listener(
      ss.CreateAsyncSocket(AF_INET, SOCK_STREAM));
  ASSERT_NE(listener, nullptr);
  ASSERT_EQ(listener->Bind(SocketAddress(GetLoopbackIP(AF_INET), 0)), 0);
  ASSERT_EQ(listener->Listen(1), 0);
  EchoOverAdapter echo(&ss);
  listener->SignalReadEvent.connect(&echo, &EchoOverAdapter::OnListenRead);

  AsyncSocketAdapter client(ss.CreateAsyncSocket(AF_INET, SOCK_STREAM));
  client.SignalConnectEvent.connect(&echo, &EchoOverAdapter::OnClientConnect);
  client.SignalReadEvent.connect(&echo, &EchoOverAdapter::OnClientRead);
  ASSERT_EQ(client.Connect(listener->GetLocalAddress()), 0);
  echo.RunUntilEchoed();

  EXPECT_EQ(echo.echoed, "hello");
  EXPECT_EQ(echo.connected_with, &client);
  EXPECT_EQ(echo.read_with, &client);
  EXPECT_EQ(client.GetState(), Socket::CS_CONNECTED);
  EXPECT_EQ(client.GetRemoteAddress(), listener->GetLocalAddress());
}

#if !defined(NDEBUG)
// A read handler must not destroy its socket; doing so is caught at once
// instead of hanging the socket server's thread.
TEST(AsyncSocketAdapterDeathTest, ReadHandlerThatDeletesItsSocketFailsLoudly) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        struct Owner : sigslot::has_slots<> {
          std::unique_ptr<AsyncSocket> socket;
          void OnRead(AsyncSocket*) { socket.reset(); }
        } owner;
        owner.socket = std::make_unique<MockAsyncSocket>();
        owner.socket->SignalReadEvent.connect(&owner, &Owner::OnRead);
        AsyncSocket* raw = owner.socket.get();
        raw->SignalReadEvent(raw);
      },
      "multi-threaded signal that is calling it");
}
#endif

}  // namespace
}  // namespace rtc

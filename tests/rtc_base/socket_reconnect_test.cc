// A socket closed and connected again inside one of its own event handlers usually gets the
// same descriptor number back; events the old descriptor had pending must not reach the new
// connection.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>

#include "gtest/gtest.h"
#include "rtc_base/async_socket.h"
#include "rtc_base/physical_socket_server.h"
#include "rtc_base/sigslot.h"
#include "rtc_base/socket_address.h"

namespace rtc {
namespace {

class Reconnector : public sigslot::has_slots<> {
 public:
  Reconnector(AsyncSocket* socket, const SocketAddress& remote) : socket_(socket), remote_(remote) {
    socket_->SignalConnectEvent.connect(this, &Reconnector::OnConnect);
    socket_->SignalCloseEvent.connect(this, &Reconnector::OnClose);
  }
  void OnConnect(AsyncSocket* socket) {
    ++connects;
    if (connects == 1) {
      socket->Close();
      ASSERT_EQ(socket->Connect(remote_), 0);
    }
  }
  void OnClose(AsyncSocket*, int) { ++closes; }

  int connects = 0;
  int closes = 0;

 private:
  AsyncSocket* socket_;
  SocketAddress remote_;
};

TEST(SocketReconnectTest, ReconnectInsideConnectHandlerDropsTheOldDescriptorsClose) {
  int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(listener, 0);
  sockaddr_in addr = {};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof(addr);
  ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
  ASSERT_EQ(listen(listener, 4), 0);
  ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len), 0);
  SocketAddress remote("127.0.0.1", ntohs(addr.sin_port));

  PhysicalSocketServer ss;
  std::unique_ptr<AsyncSocket> client(ss.CreateAsyncSocket(AF_INET, SOCK_STREAM));
  ASSERT_NE(client, nullptr);
  Reconnector reconnector(client.get(), remote);
  ASSERT_EQ(client->Connect(remote), 0);

  // The first connection is accepted and closed before the client looks at it, so that its
  // connect and close are reported in the same pass.
  int first = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
  ASSERT_GE(first, 0);
  close(first);
  usleep(20000);
  for (int i = 0; i < 5 && reconnector.connects < 1; ++i) {
    ss.Wait(50, true);
  }
  ASSERT_GE(reconnector.connects, 1);

  int second = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
  ASSERT_GE(second, 0);
  for (int i = 0; i < 10 && reconnector.connects < 2; ++i) {
    ss.Wait(20, true);
  }
  EXPECT_EQ(reconnector.connects, 2);
  EXPECT_EQ(reconnector.closes, 0);
  EXPECT_EQ(client->GetState(), Socket::CS_CONNECTED);
  close(second);
  close(listener);
}

}  // namespace
}  // namespace rtc

// The TCP client on loopback: bulk throughput into a reading peer, and the round trip of one
// command through the local test service with the worker's pass (one Send per tick, 1 ms
// waits) in the loop.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <benchmark/benchmark.h>
#include <httplib.h>

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "core/command_router.h"
#include "core/envelope.h"
#include "core/js_buffer.h"
#include "core/rtc_tick.h"
#include "core/sync_msg_crypt.h"
#include "core/x_tcp_client.h"
#include "local_service/local_service.h"
#include "rtc_base/net/physical_socket_server.h"
#include "rtc_base/threads/thread.h"

namespace vy {
namespace {

const std::string kAppId = "0123456789abcdef0123456789abcdef";

class Side : public JSBuffer, public XNetClientCallback {
 public:
  explicit Side(rtc::Thread* thread) : JSBuffer(true) {
    client.reset(XNetClient::Create(*this, thread));
    router.SetHandler("Login", [this](const rapidjson::Value&) { ++replies; });
    router.SetHandler("MsgStatus", [this](const rapidjson::Value&) { ++replies; });
  }
  void Send(const std::string& cmd, const std::string& body) {
    std::string envelope;
    BuildEnvelope(cmd, body, crypt.get(), cmd == "Login" ? &kAppId : nullptr, 1, &envelope);
    char header[5];
    int n = WritePktLength(header, static_cast<int>(envelope.size()));
    std::string frame = std::string(header, static_cast<size_t>(n)) + envelope;
    client->SendMessageX(frame);
  }
  void OnRecvMessage(const char* payload, int length) override {
    ReceivedCommand cmd;
    if (UnwrapEnvelope(payload, length, crypt.get(), &cmd) == EnvelopeResult::kOk) {
      router.Dispatch(cmd.cmd, cmd.content_doc);
    }
  }
  void OnServerConnected() override { connected = true; }
  void OnServerDisconnect() override {}
  void OnServerConnectionFailure() override {}
  void OnNetworkChanged() override {}
  void OnTick() override {}
  void OnMessageSent(int n) override { sent += n; }
  void OnMessageRecv(const char* data, int length) override { RecvData(data, length); }

  std::unique_ptr<XNetClient> client;
  std::unique_ptr<zentho::SyncMsgCrypt> crypt;
  CommandRouter router;
  bool connected = false;
  int64_t sent = 0;
  int replies = 0;
};

struct Worker {
  rtc::PhysicalSocketServer ss;
  rtc::AutoSocketServerThread thread{&ss};
  void PumpUntil(const std::function<bool()>& done) {
    while (!done()) {
      thread.ProcessMessages(1);
      MThreadTick::Inst()->DoProcess();
    }
  }
};

void BM_TcpBulkSend(benchmark::State& state) {
  int listen_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof(addr);
  ::bind(listen_fd, reinterpret_cast<sockaddr*>(&addr), len);
  ::listen(listen_fd, 1);
  ::getsockname(listen_fd, reinterpret_cast<sockaddr*>(&addr), &len);
  std::thread sink([listen_fd] {
    int fd = ::accept(listen_fd, nullptr, nullptr);
    char buf[1 << 16];
    while (::recv(fd, buf, sizeof(buf), 0) > 0) {
    }
    ::close(fd);
  });
  Worker w;
  Side side(&w.thread);
  side.client->Connect("127.0.0.1", ntohs(addr.sin_port), false);
  w.PumpUntil([&] { return side.connected; });
  std::string chunk(64 * 1024, 'b');
  const int64_t per_iteration = 100 * 1024 * 1024;
  for (auto _ : state) {
    int64_t target = side.sent + per_iteration;
    int64_t queued = 0;
    w.PumpUntil([&] {
      // Keep a few MB waiting so every tick has a full socket buffer's worth to write.
      auto* tcp = static_cast<XTcpClient*>(side.client.get());
      while (queued < per_iteration && tcp->PendingBytes() < 8 * 1024 * 1024) {
        side.client->SendMessageX(chunk);
        queued += static_cast<int64_t>(chunk.size());
      }
      return side.sent >= target;
    });
  }
  state.SetBytesProcessed(state.iterations() * per_iteration);
  side.client.reset();
  ::shutdown(listen_fd, SHUT_RDWR);
  sink.join();
  ::close(listen_fd);
}
BENCHMARK(BM_TcpBulkSend)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_CommandRoundTripThroughLocalService(benchmark::State& state) {
  local_service::LocalService svc({.address = "auto", .http_port = 0});
  if (!svc.Start()) {
    state.SkipWithError("local service did not start");
    return;
  }
  httplib::Client http(svc.address(), svc.http_port());
  auto res = http.Post("/vyapi/v1?action=wrtm_gateway",
                       R"({"cType":2,"appId":")" + kAppId + R"(","uid":"bench","wss":false})",
                       "application/x-www-form-urlencoded");
  rapidjson::Document doc;
  doc.Parse(res ? res->body.c_str() : "{}");
  const rapidjson::Value* list = FindJsonMember(doc, "addresses");
  if (list == nullptr || !list->IsArray() || list->Empty()) {
    state.SkipWithError("no gateway answer");
    return;
  }
  Worker w;
  Side side(&w.thread);
  side.client->Connect(GetJsonStr((*list)[0], "addr"), GetJsonInt((*list)[0], "port"), false);
  w.PumpUntil([&] { return side.connected; });
  side.crypt = std::make_unique<zentho::SyncMsgCrypt>(zentho::kBuiltinSignToken,
                                                      zentho::kBuiltinEncodingKey, kAppId);
  side.Send("Login", std::string(R"({"UserId":"bench","UserSId":"s","SessionId":")") +
                         GetJsonStr(doc, "sessionid") + R"(","SdkVer":"1.0.2.0"})");
  w.PumpUntil([&] { return side.replies == 1; });
  std::string body = R"({"MsgId":1,"ToUId":"nobody","MsgType":1,"MsgBody":")" +
                     std::string(static_cast<size_t>(state.range(0)), 'm') + "\"}";
  for (auto _ : state) {
    int expected = side.replies + 1;
    side.Send("SendMsgToPeer", body);
    w.PumpUntil([&] { return side.replies == expected; });
  }
  side.client.reset();
}
BENCHMARK(BM_CommandRoundTripThroughLocalService)
    ->Arg(300)
    ->Arg(32 * 1024)
    ->Unit(benchmark::kMicrosecond)
    ->UseRealTime();

}  // namespace
}  // namespace vy

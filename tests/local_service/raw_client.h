// A raw command-protocol client for the service's own tests: plain blocking sockets, the
// framing and crypt helpers of the service, and nothing of the library.
#ifndef TESTS_LOCAL_SERVICE_RAW_CLIENT_H_
#define TESTS_LOCAL_SERVICE_RAW_CLIENT_H_

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "local_service/envelope.h"
#include "local_service/framing.h"
#include "local_service/json_util.h"
#include "local_service/local_service.h"
#include "local_service/msg_crypt.h"

namespace local_service_test {

inline constexpr char kAppId[] = "0123456789abcdef0123456789abcdef";
inline constexpr int kWaitMs = 5000;
inline constexpr char kGatewayPath[] = "/vyapi/v1?action=wrtm_gateway";
inline constexpr char kOfflinePath[] = "/vyapi/v1/vortmgw/getOfflineMsg";

struct GatewayReply {
  std::string body;
  int code = -1;
  std::string session;
  std::string addr;
  int port = 0;
};

GatewayReply AskGateway(const std::string& host, int http_port, const std::string& uid,
                        const std::string& token = "", const std::string& app_id = kAppId);
inline GatewayReply AskGateway(const local_service::LocalService& svc, const std::string& uid,
                               const std::string& token = "", const std::string& app_id = kAppId) {
  return AskGateway(svc.address(), svc.http_port(), uid, token, app_id);
}

// POSTs `body` to `path` and returns the answer's body, or nullopt without an answer.
std::optional<std::string> HttpPost(const local_service::LocalService& svc, const std::string& path,
                                    const std::string& body, int timeout_ms = kWaitMs);

struct Packet {
  std::string raw;
  std::string cmd;
  std::string body;
  bool encrypted = false;
  int crypt_result = 0;
  char marker = 0;
};

inline std::string BodyOf(const std::optional<Packet>& p) { return p ? p->body : "<none>"; }

class RawClient {
 public:
  ~RawClient() { Close(); }

  bool Connect(const std::string& host, int port);
  void Close();
  int fd() const { return fd_; }

  bool SendBytes(const std::string& bytes);
  bool SendPayload(const std::string& payload, char marker = local_service::kHashMarker);
  // Encrypted after Login, like the client; an empty body gives empty "Signature" and "Content".
  bool Send(const std::string& cmd, const std::string& body);
  bool SendLogin(const std::string& uid, const std::string& session, const std::string& token = "");

  // The next packet, decrypted when encrypted; nullopt when none comes within kWaitMs.
  std::optional<Packet> Read();
  // The next packet named `cmd`, skipping others.
  std::optional<Packet> ReadCmd(const std::string& cmd);
  // Raw bytes as they arrive: at least `at_least` of them, or what came before the time-out.
  std::string ReadRaw(size_t at_least);
  // True once the service has closed the connection (after draining what it sent).
  bool WaitClosed(bool* reset = nullptr);
  // The commands that come until the service closes the connection, "<open>" last if it does not.
  std::vector<std::string> UntilClosed();
  // Sends "CheckNetStatus" and returns the commands that came before its answer, which the
  // service sends after everything it owed this connection before. {"<none>"} without answer.
  std::vector<std::string> Barrier();

  // Gateway lookup, connect and Login; true when the service answers Code 0.
  bool LoginVia(const std::string& host, int http_port, const std::string& uid,
                const std::string& token = "");
  bool LoginVia(const local_service::LocalService& svc, const std::string& uid,
                const std::string& token = "") {
    return LoginVia(svc.address(), svc.http_port(), uid, token);
  }

 private:
  std::string Receive(int timeout_ms);

  int fd_ = -1;
  local_service::FrameReader reader_;
  std::unique_ptr<local_service::MsgCrypt> crypt_;
  bool eof_ = false;
  bool reset_ = false;
  int barrier_ = 0;
};

// Options for a service of a test: its own address, ephemeral ports.
local_service::Options TestOptions();

int64_t IntOf(const std::string& json, const char* key);
std::string StrOf(const std::string& json, const char* key);
bool HasWarning(const local_service::LocalService& svc, const std::string& part);

class ServiceTest : public ::testing::Test {
 protected:
  explicit ServiceTest(local_service::Options options = TestOptions()) : svc_(options) {}
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(svc_.Start(&error)) << error;
  }
  local_service::LocalService svc_;
};

}  // namespace local_service_test

#endif  // TESTS_LOCAL_SERVICE_RAW_CLIENT_H_

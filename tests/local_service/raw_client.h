// A raw command-protocol client for the service's own tests: plain blocking sockets, the
// framing and crypt helpers of the service, and nothing of the library.
#ifndef TESTS_LOCAL_SERVICE_RAW_CLIENT_H_
#define TESTS_LOCAL_SERVICE_RAW_CLIENT_H_

#include <memory>
#include <optional>
#include <string>

#include "local_service/framing.h"
#include "local_service/local_service.h"
#include "local_service/msg_crypt.h"

namespace local_service_test {

inline constexpr char kAppId[] = "0123456789abcdef0123456789abcdef";
inline constexpr int kWaitMs = 3000;

struct GatewayReply {
  bool answered = false;
  std::string body;
  int code = -1;
  std::string session;
  std::string addr;
  int port = 0;
};

GatewayReply AskGateway(const std::string& host, int http_port, const std::string& uid,
                        const std::string& token = "", const std::string& app_id = kAppId);

// POSTs `body` to `path` and returns the answer's body, or nullopt without an answer.
std::optional<std::string> HttpPost(const std::string& host, int port, const std::string& path,
                                    const std::string& body, int timeout_ms = kWaitMs);

struct Packet {
  std::string raw;
  std::string cmd;
  std::string body;
  bool encrypted = false;
  int crypt_result = 0;
};

class RawClient {
 public:
  explicit RawClient(std::string app_id = kAppId);
  ~RawClient();

  bool Connect(const std::string& host, int port);
  void Close();
  int fd() const { return fd_; }

  bool SendBytes(const std::string& bytes);
  bool SendPayload(const std::string& payload);
  // Encrypted after Login, like the client; an empty body gives empty "Signature" and "Content".
  bool Send(const std::string& cmd, const std::string& body);
  bool SendLogin(const std::string& uid, const std::string& session,
                 const std::string& token = "");

  // The next packet within `timeout_ms`, decrypted when encrypted.
  std::optional<Packet> Read(int timeout_ms = kWaitMs);
  // The next packet named `cmd`, skipping others.
  std::optional<Packet> ReadCmd(const std::string& cmd, int timeout_ms = kWaitMs);
  // Raw bytes as they arrive, for frame-level checks.
  std::string ReadRaw(size_t at_least, int timeout_ms = kWaitMs);
  // True once the service has closed the connection (after draining what it sent).
  bool WaitClosed(int timeout_ms = kWaitMs, bool* reset = nullptr);

  // Gateway lookup, connect and Login; true when the service answers Code 0.
  bool LoginVia(const local_service::LocalService& svc, const std::string& uid,
                const std::string& token = "");

  const std::string& session() const { return session_; }

 private:
  bool Fill(int timeout_ms);

  std::string app_id_;
  int fd_ = -1;
  local_service::FrameReader reader_;
  std::unique_ptr<local_service::MsgCrypt> crypt_;
  std::string session_;
  bool eof_ = false;
  bool reset_ = false;
};

// Options for a service of a test: its own address, ephemeral ports.
local_service::Options TestOptions();

}  // namespace local_service_test

#endif  // TESTS_LOCAL_SERVICE_RAW_CLIENT_H_

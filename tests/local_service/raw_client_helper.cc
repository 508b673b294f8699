#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <httplib.h>

#include "local_service/envelope.h"
#include "local_service/json_util.h"
#include "raw_client.h"

namespace local_service_test {

using local_service::FrameReader;
using local_service::MsgCrypt;

local_service::Options TestOptions() {
  local_service::Options o;
  o.address = "127.0.0.1";
  o.http_port = 0;
  return o;
}

std::optional<std::string> HttpPost(const std::string& host, int port, const std::string& path,
                                    const std::string& body, int timeout_ms) {
  httplib::Client cli(host, port);
  cli.set_connection_timeout(0, timeout_ms * 1000);
  cli.set_read_timeout(timeout_ms / 1000, (timeout_ms % 1000) * 1000);
  auto res = cli.Post(path.c_str(), body, "application/x-www-form-urlencoded");
  if (!res) return std::nullopt;
  return res->body;
}

GatewayReply AskGateway(const std::string& host, int http_port, const std::string& uid,
                        const std::string& token, const std::string& app_id) {
  local_service::JsonWriter w;
  w.BeginObject().Int("cType", 2).Str("appId", app_id).Str("uid", uid);
  if (!token.empty()) w.Str("token", token);
  w.Flag("wss", false).EndObject();
  GatewayReply reply;
  auto body = HttpPost(host, http_port, "/vyapi/v1?action=wrtm_gateway", w.Take());
  if (!body) return reply;
  reply.answered = true;
  reply.body = *body;
  rapidjson::Document doc;
  if (!local_service::ParseJsonObject(*body, &doc)) return reply;
  reply.code = static_cast<int>(local_service::GetInt64(doc, "code").value_or(-1));
  reply.session = local_service::GetString(doc, "sessionid").value_or("");
  auto it = doc.FindMember("addresses");
  if (it != doc.MemberEnd() && it->value.IsArray()) {
    for (const auto& a : it->value.GetArray()) {
      if (local_service::GetInt64(a, "type").value_or(0) != 1) continue;
      reply.addr = local_service::GetString(a, "addr").value_or("");
      reply.port = static_cast<int>(local_service::GetInt64(a, "port").value_or(0));
      break;
    }
  }
  return reply;
}

RawClient::RawClient(std::string app_id) : app_id_(std::move(app_id)) {}

RawClient::~RawClient() { Close(); }

bool RawClient::Connect(const std::string& host, int port) {
  Close();
  sockaddr_storage ss{};
  socklen_t len = 0;
  auto* v4 = reinterpret_cast<sockaddr_in*>(&ss);
  auto* v6 = reinterpret_cast<sockaddr_in6*>(&ss);
  if (inet_pton(AF_INET, host.c_str(), &v4->sin_addr) == 1) {
    v4->sin_family = AF_INET;
    v4->sin_port = htons(static_cast<uint16_t>(port));
    len = sizeof(*v4);
  } else if (inet_pton(AF_INET6, host.c_str(), &v6->sin6_addr) == 1) {
    v6->sin6_family = AF_INET6;
    v6->sin6_port = htons(static_cast<uint16_t>(port));
    len = sizeof(*v6);
  } else {
    return false;
  }
  fd_ = socket(ss.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd_ < 0) return false;
  int one = 1;
  setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
  if (connect(fd_, reinterpret_cast<sockaddr*>(&ss), len) != 0) {
    Close();
    return false;
  }
  reader_ = FrameReader();
  eof_ = reset_ = false;
  return true;
}

void RawClient::Close() {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
}

bool RawClient::SendBytes(const std::string& bytes) {
  size_t off = 0;
  while (off < bytes.size()) {
    ssize_t n = send(fd_, bytes.data() + off, bytes.size() - off, MSG_NOSIGNAL);
    if (n <= 0) return false;
    off += static_cast<size_t>(n);
  }
  return true;
}

bool RawClient::SendPayload(const std::string& payload) {
  return SendBytes(local_service::EncodeFrame(payload));
}

bool RawClient::Send(const std::string& cmd, const std::string& body) {
  if (!crypt_) return SendPayload(local_service::BuildPlainEnvelope(cmd, body));
  std::string ts = std::to_string(
      std::chrono::duration_cast<std::chrono::milliseconds>(
          std::chrono::system_clock::now().time_since_epoch())
          .count());
  return SendPayload(local_service::BuildEncryptedEnvelope(*crypt_, cmd, body, ts,
                                                           local_service::RandomAlnum(10)));
}

bool RawClient::SendLogin(const std::string& uid, const std::string& session,
                          const std::string& token) {
  crypt_ = std::make_unique<MsgCrypt>(app_id_);
  local_service::JsonWriter w;
  w.BeginObject().Str("UserId", uid).Str("UserSId", local_service::RandomAlnum(32));
  if (!token.empty()) w.Str("AcsToken", token);
  w.Str("SessionId", session)
      .Str("SdkVer", "1.0.2.0")
      .Flag("ClientSyncCall", true)
      .Flag("ListenUserStatus", true)
      .EndObject();
  std::string ts = std::to_string(
      std::chrono::duration_cast<std::chrono::milliseconds>(
          std::chrono::system_clock::now().time_since_epoch())
          .count());
  return SendPayload(local_service::BuildEncryptedEnvelope(
      *crypt_, "Login", w.Take(), ts, local_service::RandomAlnum(10), {}, &app_id_));
}

bool RawClient::Fill(int timeout_ms) {
  if (fd_ < 0 || eof_) return false;
  pollfd p{fd_, POLLIN, 0};
  if (poll(&p, 1, timeout_ms) <= 0) return false;
  char buf[16384];
  ssize_t n = recv(fd_, buf, sizeof(buf), 0);
  if (n <= 0) {
    eof_ = true;
    reset_ = n < 0 && errno == ECONNRESET;
    return false;
  }
  reader_.Feed(buf, static_cast<size_t>(n));
  return true;
}

std::optional<Packet> RawClient::Read(int timeout_ms) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  std::string payload, error;
  for (;;) {
    auto status = reader_.Next(&payload, &error);
    if (status == FrameReader::Status::kError) return std::nullopt;
    if (status == FrameReader::Status::kPacket) break;
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                    deadline - std::chrono::steady_clock::now())
                    .count();
    if (left <= 0 || !Fill(static_cast<int>(left))) return std::nullopt;
  }
  Packet p;
  p.raw = payload;
  local_service::Envelope env;
  if (!local_service::ParseEnvelope(payload, &env, &error)) return p;
  p.cmd = env.cmd;
  p.encrypted = env.encrypt;
  if (!env.encrypt) {
    p.body = env.content;
  } else if (!env.content.empty()) {
    MsgCrypt crypt(app_id_);
    p.crypt_result = crypt.Decrypt(env.signature, env.timestamp, env.nonce, env.content, &p.body);
  }
  return p;
}

std::optional<Packet> RawClient::ReadCmd(const std::string& cmd, int timeout_ms) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                    deadline - std::chrono::steady_clock::now())
                    .count();
    if (left <= 0) return std::nullopt;
    auto p = Read(static_cast<int>(left));
    if (!p) return std::nullopt;
    if (p->cmd == cmd) return p;
  }
}

std::string RawClient::ReadRaw(size_t at_least, int timeout_ms) {
  std::string out;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (out.size() < at_least && fd_ >= 0) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                    deadline - std::chrono::steady_clock::now())
                    .count();
    pollfd p{fd_, POLLIN, 0};
    if (left <= 0 || poll(&p, 1, static_cast<int>(left)) <= 0) break;
    char buf[4096];
    ssize_t n = recv(fd_, buf, sizeof(buf), 0);
    if (n <= 0) break;
    out.append(buf, static_cast<size_t>(n));
  }
  return out;
}

bool RawClient::WaitClosed(int timeout_ms, bool* reset) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (!eof_) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                    deadline - std::chrono::steady_clock::now())
                    .count();
    if (left <= 0) return false;
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left)) <= 0) return false;
    char buf[4096];
    ssize_t n = recv(fd_, buf, sizeof(buf), 0);
    if (n <= 0) {
      eof_ = true;
      reset_ = n < 0 && errno == ECONNRESET;
    }
  }
  if (reset) *reset = reset_;
  return true;
}

bool RawClient::LoginVia(const local_service::LocalService& svc, const std::string& uid,
                         const std::string& token) {
  auto gw = AskGateway(svc.address(), svc.http_port(), uid, token, app_id_);
  if (gw.code != 0 || !Connect(gw.addr, gw.port)) return false;
  session_ = gw.session;
  if (!SendLogin(uid, gw.session, token)) return false;
  auto reply = ReadCmd("Login");
  if (!reply) return false;
  rapidjson::Document doc;
  return local_service::ParseJsonObject(reply->body, &doc) &&
         local_service::GetInt64(doc, "Code").value_or(-1) == 0;
}

}  // namespace local_service_test

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <httplib.h>

#include "raw_client.h"

namespace local_service_test {
namespace {

using Clock = std::chrono::steady_clock;

int MsLeft(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return static_cast<int>(std::max<int64_t>(0, left.count()));
}

Clock::time_point Deadline() { return Clock::now() + std::chrono::milliseconds(kWaitMs); }

std::string NowText() {
  return std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(
                            std::chrono::system_clock::now().time_since_epoch())
                            .count());
}

}  // namespace

local_service::Options TestOptions() {
  local_service::Options o;
  o.address = "127.0.0.1";
  o.http_port = 0;
  return o;
}

int64_t IntOf(const std::string& json, const char* key) {
  rapidjson::Document doc;
  if (!local_service::ParseJsonObject(json, &doc)) return -999;
  return local_service::GetInt64(doc, key).value_or(-999);
}

std::string StrOf(const std::string& json, const char* key) {
  rapidjson::Document doc;
  if (!local_service::ParseJsonObject(json, &doc)) return "<bad json>";
  return local_service::GetString(doc, key).value_or("<absent>");
}

bool HasWarning(const local_service::LocalService& svc, const std::string& part) {
  for (auto& w : svc.Warnings()) {
    if (w.find(part) != std::string::npos) return true;
  }
  return false;
}

namespace {

std::optional<std::string> Post(const std::string& host, int port, const std::string& path,
                                const std::string& body, int timeout_ms = kWaitMs) {
  httplib::Client cli(host, port);
  cli.set_connection_timeout(0, timeout_ms * 1000);
  cli.set_read_timeout(timeout_ms / 1000, (timeout_ms % 1000) * 1000);
  auto res = cli.Post(path.c_str(), body, "application/x-www-form-urlencoded");
  if (!res) return std::nullopt;
  return res->body;
}

}  // namespace

std::optional<std::string> HttpPost(const local_service::LocalService& svc,
                                    const std::string& path, const std::string& body,
                                    int timeout_ms) {
  return Post(svc.address(), svc.http_port(), path, body, timeout_ms);
}

GatewayReply AskGateway(const std::string& host, int http_port, const std::string& uid,
                        const std::string& token, const std::string& app_id) {
  local_service::JsonWriter w;
  w.BeginObject().Int("cType", 2).Str("appId", app_id).Str("uid", uid);
  if (!token.empty()) w.Str("token", token);
  w.Flag("wss", false).EndObject();
  GatewayReply reply;
  auto body = Post(host, http_port, kGatewayPath, w.Take());
  if (!body) return reply;
  reply.answered = true;
  reply.body = *body;
  rapidjson::Document doc;
  if (!local_service::ParseJsonObject(*body, &doc)) return reply;
  reply.code = static_cast<int>(local_service::GetInt64(doc, "code").value_or(-1));
  reply.session = local_service::GetString(doc, "sessionid").value_or("");
  auto it = doc.FindMember("addresses");
  if (it == doc.MemberEnd() || !it->value.IsArray()) return reply;
  for (const auto& a : it->value.GetArray()) {
    if (local_service::GetInt64(a, "type").value_or(0) != 1) continue;
    reply.addr = local_service::GetString(a, "addr").value_or("");
    reply.port = static_cast<int>(local_service::GetInt64(a, "port").value_or(0));
    break;
  }
  return reply;
}

bool RawClient::Connect(const std::string& host, int port) {
  Close();
  sockaddr_storage ss{};
  socklen_t len = sizeof(sockaddr_in);
  auto* v4 = reinterpret_cast<sockaddr_in*>(&ss);
  auto* v6 = reinterpret_cast<sockaddr_in6*>(&ss);
  if (inet_pton(AF_INET, host.c_str(), &v4->sin_addr) == 1) {
    v4->sin_family = AF_INET;
    v4->sin_port = htons(static_cast<uint16_t>(port));
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
  reader_ = local_service::FrameReader();
  eof_ = reset_ = false;
  return true;
}

void RawClient::Close() {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
}

bool RawClient::SendBytes(const std::string& bytes) {
  for (size_t off = 0; off < bytes.size();) {
    ssize_t n = send(fd_, bytes.data() + off, bytes.size() - off, MSG_NOSIGNAL);
    if (n <= 0) return false;
    off += static_cast<size_t>(n);
  }
  return true;
}

bool RawClient::SendPayload(const std::string& payload, char marker) {
  return SendBytes(local_service::EncodeFrame(payload, marker));
}

bool RawClient::Send(const std::string& cmd, const std::string& body) {
  if (!crypt_) return SendPayload(local_service::BuildPlainEnvelope(cmd, body));
  return SendPayload(local_service::BuildEncryptedEnvelope(*crypt_, cmd, body, NowText(),
                                                           local_service::RandomAlnum(10)));
}

bool RawClient::SendLogin(const std::string& uid, const std::string& session,
                          const std::string& token) {
  crypt_ = std::make_unique<local_service::MsgCrypt>(app_id_);
  local_service::JsonWriter w;
  w.BeginObject().Str("UserId", uid).Str("UserSId", local_service::RandomAlnum(32));
  if (!token.empty()) w.Str("AcsToken", token);
  w.Str("SessionId", session).Str("SdkVer", "1.0.2.0").Flag("ClientSyncCall", true);
  w.Flag("ListenUserStatus", true).EndObject();
  return SendPayload(local_service::BuildEncryptedEnvelope(
      *crypt_, "Login", w.Take(), NowText(), local_service::RandomAlnum(10), {}, &app_id_));
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

std::optional<Packet> RawClient::Read() {
  auto deadline = Deadline();
  std::string payload, error;
  for (;;) {
    auto status = reader_.Next(&payload, &error);
    if (status == local_service::FrameReader::Status::kError) return std::nullopt;
    if (status == local_service::FrameReader::Status::kPacket) break;
    if (!Fill(MsLeft(deadline))) return std::nullopt;
  }
  Packet p;
  p.raw = payload;
  p.marker = reader_.marker();
  local_service::Envelope env;
  if (!local_service::ParseEnvelope(payload, &env, &error)) return p;
  p.cmd = env.cmd;
  p.encrypted = env.encrypt;
  if (!env.encrypt) {
    p.body = env.content;
  } else if (!env.content.empty()) {
    local_service::MsgCrypt crypt(app_id_);
    p.crypt_result = crypt.Decrypt(env.signature, env.timestamp, env.nonce, env.content, &p.body);
  }
  return p;
}

std::optional<Packet> RawClient::ReadCmd(const std::string& cmd) {
  for (;;) {
    auto p = Read();
    if (!p || p->cmd == cmd) return p;
  }
}

std::string RawClient::ReadRaw(size_t at_least) {
  std::string out;
  auto deadline = Deadline();
  while (out.size() < at_least && fd_ >= 0) {
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, MsLeft(deadline)) <= 0) break;
    char buf[16384];
    ssize_t n = recv(fd_, buf, sizeof(buf), 0);
    if (n <= 0) break;
    out.append(buf, static_cast<size_t>(n));
  }
  return out;
}

bool RawClient::WaitClosed(bool* reset) {
  auto deadline = Deadline();
  while (!eof_) {
    std::string ignored;
    if (!Fill(MsLeft(deadline)) && !eof_) return false;
    while (reader_.Next(&ignored, &ignored) == local_service::FrameReader::Status::kPacket) {
    }
  }
  if (reset) *reset = reset_;
  return true;
}

std::vector<std::string> RawClient::Barrier() {
  int time = 1000000 + ++barrier_;
  if (!Send("CheckNetStatus", "{\"Time\":" + std::to_string(time) + "}")) return {"<none>"};
  std::vector<std::string> before;
  for (;;) {
    auto p = Read();
    if (!p) return {"<none>"};
    if (p->cmd == "CheckNetStatusAck" && IntOf(p->body, "Time") == time) return before;
    before.push_back(p->cmd);
  }
}

bool RawClient::LoginVia(const local_service::LocalService& svc, const std::string& uid,
                         const std::string& token) {
  auto gw = AskGateway(svc, uid, token, app_id_);
  if (gw.code != 0 || !Connect(gw.addr, gw.port)) return false;
  if (!SendLogin(uid, gw.session, token)) return false;
  auto reply = ReadCmd("Login");
  return reply && IntOf(reply->body, "Code") == 0;
}

}  // namespace local_service_test

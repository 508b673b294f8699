#include <netdb.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <httplib.h>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <ctime>

#include "raw_client.h"

namespace local_service_test {
namespace {

using Clock = std::chrono::steady_clock;

int MsLeft(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return static_cast<int>(std::max<int64_t>(0, left.count()));
}

// The wall clock in milliseconds, as the client stamps its envelopes.
std::string NowText() { return std::to_string(time(nullptr) * int64_t{1000}); }

std::optional<std::string> Post(const std::string& host, int port, const std::string& path,
                                const std::string& body, int timeout_ms = kWaitMs) {
  httplib::Client cli(host, port);
  cli.set_connection_timeout(0, timeout_ms * 1000);
  cli.set_read_timeout(timeout_ms / 1000, (timeout_ms % 1000) * 1000);
  auto res = cli.Post(path.c_str(), body, "application/x-www-form-urlencoded");
  return res ? std::optional(res->body) : std::nullopt;
}

}  // namespace

local_service::Options TestOptions() { return {.address = "127.0.0.1", .http_port = 0}; }

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
  auto warnings = svc.Warnings();
  return std::any_of(warnings.begin(), warnings.end(),
                     [&](const std::string& w) { return w.find(part) != std::string::npos; });
}

std::optional<std::string> HttpPost(const local_service::LocalService& svc, const std::string& path,
                                    const std::string& body, int timeout_ms) {
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
  reply.body = *body;
  rapidjson::Document doc;
  if (!local_service::ParseJsonObject(*body, &doc)) return reply;
  reply.code = static_cast<int>(local_service::GetInt64(doc, "code").value_or(-1));
  reply.session = local_service::GetString(doc, "sessionid").value_or("");
  auto it = doc.FindMember("addresses");
  if (it == doc.MemberEnd() || !it->value.IsArray()) return reply;
  for (const auto& a : it->value.GetArray()) {
    if (local_service::GetInt64(a, "type").value_or(0) != 1 || reply.port != 0) continue;
    reply.addr = local_service::GetString(a, "addr").value_or("");
    reply.port = static_cast<int>(local_service::GetInt64(a, "port").value_or(0));
  }
  return reply;
}

bool RawClient::Connect(const std::string& host, int port) {
  Close();
  addrinfo hints{.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV, .ai_socktype = SOCK_STREAM};
  addrinfo* found = nullptr;
  if (getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found) != 0) return false;
  fd_ = socket(found->ai_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int one = 1;
  setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
  bool connected = fd_ >= 0 && connect(fd_, found->ai_addr, found->ai_addrlen) == 0;
  freeaddrinfo(found);
  if (!connected) Close();
  reader_ = local_service::FrameReader();
  eof_ = reset_ = false;
  return connected;
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
  crypt_ = std::make_unique<local_service::MsgCrypt>(kAppId);
  local_service::JsonWriter w;
  w.BeginObject().Str("UserId", uid).Str("UserSId", local_service::RandomAlnum(32));
  if (!token.empty()) w.Str("AcsToken", token);
  w.Str("SessionId", session).Str("SdkVer", "1.0.2.0").Flag("ClientSyncCall", true);
  w.Flag("ListenUserStatus", true).EndObject();
  const std::string app = kAppId;
  return SendPayload(local_service::BuildEncryptedEnvelope(
      *crypt_, "Login", w.Take(), NowText(), local_service::RandomAlnum(10), {}, &app));
}

std::string RawClient::Receive(int timeout_ms) {
  pollfd p{fd_, POLLIN, 0};
  if (fd_ < 0 || eof_ || poll(&p, 1, timeout_ms) <= 0) return "";
  char buf[16384];
  ssize_t n = recv(fd_, buf, sizeof(buf), 0);
  eof_ = n <= 0;
  reset_ = n < 0 && errno == ECONNRESET;
  return std::string(buf, static_cast<size_t>(std::max<ssize_t>(n, 0)));
}

std::optional<Packet> RawClient::Read() {
  auto deadline = Clock::now() + std::chrono::milliseconds(kWaitMs);
  std::string payload, error;
  for (;;) {
    auto status = reader_.Next(&payload, &error);
    if (status == local_service::FrameReader::Status::kError) return std::nullopt;
    if (status == local_service::FrameReader::Status::kPacket) break;
    std::string bytes = Receive(MsLeft(deadline));
    if (bytes.empty()) return std::nullopt;
    reader_.Feed(bytes);
  }
  Packet p{.raw = payload, .marker = reader_.marker()};
  local_service::Envelope env;
  if (!local_service::ParseEnvelope(payload, &env, &error)) return p;
  p.cmd = env.cmd;
  p.encrypted = env.encrypt;
  p.body = env.content;
  if (env.encrypt && !env.content.empty()) {
    p.crypt_result = local_service::MsgCrypt(kAppId).Decrypt(env.signature, env.timestamp,
                                                             env.nonce, env.content, &p.body);
  }
  return p;
}

std::optional<Packet> RawClient::ReadCmd(const std::string& cmd) {
  auto p = Read();
  while (p && p->cmd != cmd) p = Read();
  return p;
}

std::string RawClient::ReadRaw(size_t at_least) {
  std::string out;
  auto deadline = Clock::now() + std::chrono::milliseconds(kWaitMs);
  for (std::string more = "-"; out.size() < at_least && !more.empty(); out += more) {
    more = Receive(MsLeft(deadline));
  }
  return out;
}

bool RawClient::WaitClosed(bool* reset) {
  auto deadline = Clock::now() + std::chrono::milliseconds(kWaitMs);
  while (!eof_ && MsLeft(deadline) > 0) Receive(MsLeft(deadline));
  if (reset) *reset = reset_;
  return eof_;
}

std::vector<std::string> RawClient::UntilClosed() {
  std::vector<std::string> cmds;
  while (auto p = Read()) cmds.push_back(p->cmd);
  if (!eof_) cmds.push_back("<open>");
  return cmds;
}

std::vector<std::string> RawClient::Barrier() {
  int time = 1000000 + ++barrier_;
  std::vector<std::string> before;
  if (!Send("CheckNetStatus", "{\"Time\":" + std::to_string(time) + "}")) return {"<none>"};
  for (auto p = Read(); p; p = Read()) {
    if (p->cmd == "CheckNetStatusAck" && IntOf(p->body, "Time") == time) return before;
    before.push_back(p->cmd);
  }
  return {"<none>"};
}

bool RawClient::LoginVia(const std::string& host, int http_port, const std::string& uid,
                         const std::string& token) {
  auto gw = AskGateway(host, http_port, uid, token);
  if (gw.code != 0 || !Connect(gw.addr, gw.port) || !SendLogin(uid, gw.session, token)) {
    return false;
  }
  return IntOf(BodyOf(ReadCmd("Login")), "Code") == 0;
}

}  // namespace local_service_test

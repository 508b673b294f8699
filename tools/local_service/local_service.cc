#include "local_service/local_service.h"

#include <algorithm>
#include <cstddef>
#include <iterator>

#include <asio.hpp>

#include "local_service/json_util.h"
#include "local_service/service_impl.h"

namespace local_service {
namespace {

bool ValidAppId(const Options& options, const std::string& app_id) {
  if (options.app_ids.empty()) return app_id.size() == 32;
  return std::find(options.app_ids.begin(), options.app_ids.end(), app_id) != options.app_ids.end();
}

// Binds an ephemeral port and closes it again, for answers that name a port nobody listens on.
int ClosedPort(const std::string& address) {
  asio::io_context io;
  asio::ip::tcp::acceptor acc(io);
  asio::error_code ec;
  asio::ip::tcp::endpoint ep(asio::ip::make_address(address, ec), 0);
  if (ec) return 1;
  acc.open(ep.protocol(), ec);
  if (!ec) acc.bind(ep, ec);
  if (ec) return 1;
  int port = acc.local_endpoint(ec).port();
  acc.close(ec);
  return port;
}

std::string CodeOnly(int64_t code) {
  JsonWriter w;
  return w.BeginObject().Int("code", code).EndObject().Take();
}

}  // namespace

LocalService::Impl::HttpAnswer LocalService::Impl::GatewayAnswer(const std::string& request,
                                                                 const std::string& host) {
  ++gateway_requests_;
  {
    std::lock_guard<std::mutex> lock(log_mu_);
    gateway_request_times_.push_back(NowMs());
    gateway_hosts_.push_back(host);
  }
  HttpAnswer answer;
  GatewayMode mode = gateway_mode_;
  int64_t value = gateway_value_;
  if (gateway_times_ > 0 && --gateway_times_ == 0) gateway_mode_ = GatewayMode::kNormal;
  switch (mode) {
    case GatewayMode::kCode:
      answer.body = CodeOnly(value);
      return answer;
    case GatewayMode::kNoAnswer:
      answer.delay_ms = value > 0 ? value : 10000;
      return answer;
    case GatewayMode::kEmptyBody:
      return answer;
    case GatewayMode::kInvalidJson:
      answer.body = "{\"code\":0,\"sessionid\":";
      return answer;
    case GatewayMode::kDelay:
      answer.delay_ms = value;
      break;
    case GatewayMode::kEndlessBody:
      answer.body = "{\"code\":0,\"sessionid\":\"";
      answer.endless = true;
      return answer;
    default:
      break;
  }
  rapidjson::Document doc;
  std::string error;
  if (!ParseJsonObject(request, &doc, &error)) {
    Warn("gateway: refused request: " + error);
    answer.body = CodeOnly(1);
    return answer;
  }
  auto app = GetString(doc, "appId");
  auto uid = GetString(doc, "uid");
  if (!app || !uid || uid->empty()) {
    Warn("gateway: refused request without \"appId\" or \"uid\"");
    answer.body = CodeOnly(1);
    return answer;
  }
  if (!ValidAppId(options_, *app)) {
    Warn("gateway: refused unknown app id \"" + *app + "\"");
    answer.body = CodeOnly(2);
    return answer;
  }
  std::string token = GetString(doc, "token").value_or("");
  if (token == "bad" || token.rfind("exp:0", 0) == 0 || token.rfind("exp:-", 0) == 0) {
    Warn("gateway: refused token \"" + token + "\" of " + *uid);
    answer.body = CodeOnly(3);
    return answer;
  }
  std::string session = RandomAlnum(32);
  sessions_[{*app, *uid}] = GatewaySession{session, token};
  JsonWriter w;
  w.BeginObject().Int("code", 0).Str("sessionid", session).Key("addresses").BeginArray();
  switch (mode) {
    case GatewayMode::kNoType1Address:
      w.BeginObject().Int("type", 2).Str("addr", address_).Int("port", tcp_port_).EndObject();
      break;
    case GatewayMode::kClosedPort:
      w.BeginObject()
          .Int("type", 1)
          .Str("addr", address_)
          .Int("port", ClosedPort(address_))
          .EndObject();
      break;
    case GatewayMode::kIpv6Address:
      w.BeginObject().Int("type", 1).Str("addr", "::1").Int("port", tcp_port_v6_).EndObject();
      break;
    default:
      w.BeginObject().Int("type", 1).Str("addr", address_).Int("port", tcp_port_).EndObject();
      break;
  }
  answer.body = w.EndArray().EndObject().Take();
  return answer;
}

LocalService::Impl::HttpAnswer LocalService::Impl::OfflineAnswer(const std::string& request) {
  ++offline_requests_;
  HttpAnswer answer;
  OfflineMode mode = offline_mode_;
  int64_t value = offline_value_;
  if (offline_times_ > 0 && --offline_times_ == 0) offline_mode_ = OfflineMode::kNormal;
  switch (mode) {
    case OfflineMode::kCode:
      answer.body = CodeOnly(value);
      return answer;
    case OfflineMode::kEmptyBody:
      return answer;
    case OfflineMode::kInvalidJson:
      answer.body = "{\"code\":0,\"data\":[";
      return answer;
    case OfflineMode::kDataNotArray:
      answer.body = "{\"code\":0,\"data\":{}}";
      return answer;
    case OfflineMode::kDelay:
      answer.delay_ms = value;
      break;
    default:
      break;
  }
  rapidjson::Document doc;
  std::string error;
  if (!ParseJsonObject(request, &doc, &error)) {
    Warn("offline fetch: refused request: " + error);
    answer.body = CodeOnly(1);
    return answer;
  }
  auto app = GetString(doc, "appId");
  auto uid = GetString(doc, "uid");
  auto sess = GetString(doc, "sessId");
  if (!app || !uid || !sess) {
    Warn("offline fetch: refused request without \"appId\", \"uid\" or \"sessId\"");
    answer.body = CodeOnly(1);
    return answer;
  }
  auto s = sessions_.find({*app, *uid});
  if (s == sessions_.end() || s->second.session_id != *sess) {
    Warn("offline fetch: refused unknown session \"" + *sess + "\" of " + *uid);
    answer.body = CodeOnly(2);
    return answer;
  }
  std::vector<OfflineMessage> box;
  auto u = users_.find({*app, *uid});
  if (u != users_.end()) box.swap(u->second.offline);
  JsonWriter w;
  w.BeginObject().Int("code", 0).Key("data").BeginArray();
  // The client delivers from the last entry to the first: newest first gives oldest first.
  for (auto it = box.rbegin(); it != box.rend(); ++it) {
    w.BeginObject();
    if (mode == OfflineMode::kMsgIdString) {
      w.Str("msgId", std::to_string(it->msg_id));
    } else {
      w.Int("msgId", it->msg_id);
    }
    w.Str("msgFrom", it->from).Int("msgType", it->type).Str("msgBody", it->body).EndObject();
  }
  answer.body = w.EndArray().EndObject().Take();
  return answer;
}

LocalService::LocalService(Options options)
    : impl_(std::make_unique<Impl>(this, std::move(options))) {}

LocalService::~LocalService() { Stop(); }

bool LocalService::Start(std::string* error) { return impl_->Start(error); }
void LocalService::Stop() { impl_->Stop(); }

const std::string& LocalService::address() const { return impl_->address_; }
int LocalService::http_port() const { return impl_->http_port_; }
int LocalService::tcp_port() const { return impl_->tcp_port_; }
int LocalService::tcp_port_v6() const { return impl_->tcp_port_v6_; }

void LocalService::Reset() {
  impl_->RunSync([this] { impl_->ResetState(); });
}

void LocalService::SetGatewayMode(GatewayMode mode, int64_t value, int times) {
  impl_->RunSync([&] {
    impl_->gateway_mode_ = mode;
    impl_->gateway_value_ = value;
    impl_->gateway_times_ = times;
  });
}

void LocalService::SetOfflineMode(OfflineMode mode, int64_t value, int times) {
  impl_->RunSync([&] {
    impl_->offline_mode_ = mode;
    impl_->offline_value_ = value;
    impl_->offline_times_ = times;
  });
}

int LocalService::AddFault(const FaultRule& rule) {
  return impl_->RunSync([&] {
    int id = impl_->next_rule_id_++;
    impl_->rules_[id] = rule;
    return id;
  });
}

void LocalService::RemoveFault(int id) {
  impl_->RunSync([&] { impl_->rules_.erase(id); });
}

void LocalService::ClearFaults() {
  impl_->RunSync([&] { impl_->rules_.clear(); });
}

void LocalService::Coalesce(const std::string& user, int frames) {
  impl_->RunSync([&] {
    for (auto& c : impl_->ConnectionsOf(user)) c->coalesce_left = frames;
  });
}

int LocalService::ReleaseHeld(const std::string& user, int count) {
  return impl_->RunSync([&] {
    int sent = 0;
    for (auto& c : impl_->ConnectionsOf(user)) {
      const size_t left = count < 0 ? c->held.size() : static_cast<size_t>(count - sent);
      const auto end =
          c->held.begin() + static_cast<std::ptrdiff_t>(std::min(left, c->held.size()));
      std::vector<Connection::Held> held(std::make_move_iterator(c->held.begin()),
                                         std::make_move_iterator(end));
      c->held.erase(c->held.begin(), end);
      for (auto& h : held) impl_->SendWithFaults(c, h.cmd, h.body, h.form, h.faults);
      sent += static_cast<int>(held.size());
    }
    return sent;
  });
}

void LocalService::SetCloseOnAccept(bool close) {
  impl_->RunSync([&] { impl_->close_on_accept_ = close; });
}

void LocalService::SetDeterministic(bool on) {
  impl_->RunSync([&] {
    impl_->deterministic_ = on;
    for (auto& [id, c] : impl_->conns_) {
      if (c->crypt) c->crypt->SetFixedPrefix(on ? "AAAAAAAAAAAAAAAA" : "");
    }
  });
}

void LocalService::SetKeepAliveTimeout(int ms) {
  impl_->RunSync([&] { impl_->options_.keepalive_timeout_ms = ms; });
}

void LocalService::SetLoginMode(LoginMode mode) {
  impl_->RunSync([&] { impl_->login_mode_ = mode; });
}

void LocalService::StoreOffline(const std::string& app_id, const std::string& user,
                                const std::string& from, int64_t msg_id, int type,
                                const std::string& body) {
  impl_->RunSync([&] {
    impl_->users_[{app_id, user}].offline.push_back({msg_id, from, type, body});
  });
}

bool LocalService::Push(const std::string& user, const std::string& cmd, const std::string& body,
                        PushForm form) {
  return impl_->RunSync([&] { return impl_->PushTo(user, cmd, body, form); });
}

bool LocalService::PushBytes(const std::string& user, const std::string& bytes) {
  return impl_->RunSync([&] { return impl_->PushBytesTo(user, bytes); });
}

bool LocalService::Kick(const std::string& user) {
  return impl_->RunSync([&] { return impl_->KickUser(user); });
}

bool LocalService::Expire(const std::string& user) {
  return impl_->RunSync([&] { return impl_->ExpireUser(user); });
}

bool LocalService::Close(const std::string& user, CloseMode mode) {
  return impl_->RunSync([&] { return impl_->CloseUser(user, mode); });
}

bool LocalService::Stall(const std::string& user, bool stalled) {
  return impl_->RunSync([&] { return impl_->StallUser(user, stalled); });
}

bool LocalService::StartFlood(const std::string& user, const Flood& flood) {
  return impl_->RunSync([&] { return impl_->FloodUser(user, flood); });
}

void LocalService::StopFlood(const std::string& user) {
  impl_->RunSync([&] {
    for (auto& c : impl_->ConnectionsOf(user)) c->flood.reset();
  });
}

std::vector<ReceivedCommand> LocalService::Log(const std::string& user) const {
  std::lock_guard<std::mutex> lock(impl_->log_mu_);
  std::vector<ReceivedCommand> out;
  for (auto& e : impl_->log_) {
    if (e.user == user) out.push_back(e);
  }
  return out;
}

std::vector<ReceivedCommand> LocalService::LogAll() const {
  std::lock_guard<std::mutex> lock(impl_->log_mu_);
  return impl_->log_;
}

bool LocalService::WaitForCommand(const std::string& user, const std::string& cmd, size_t count,
                                  int timeout_ms) const {
  std::unique_lock<std::mutex> lock(impl_->log_mu_);
  return impl_->log_cv_.wait_for(lock, std::chrono::milliseconds(timeout_ms), [&] {
    if (impl_->stopping_) return true;
    size_t n = 0;
    for (auto& e : impl_->log_) {
      if (e.user == user && e.cmd == cmd) ++n;
    }
    return n >= count;
  }) && !impl_->stopping_;
}

bool LocalService::IsOnline(const std::string& user) const {
  return impl_->RunSync([&] {
    for (auto& [key, conn] : impl_->online_) {
      if (key.second == user && !conn->closed && !conn->detached) return true;
    }
    return false;
  });
}

std::vector<std::string> LocalService::OnlineUsers() const {
  return impl_->RunSync([&] {
    std::vector<std::string> out;
    for (auto& [key, conn] : impl_->online_) out.push_back(key.second);
    return out;
  });
}

std::vector<std::string> LocalService::ChannelMembers(const std::string& app_id,
                                                      const std::string& channel) const {
  return impl_->RunSync([&] {
    auto it = impl_->channels_.find({app_id, channel});
    return it == impl_->channels_.end() ? std::vector<std::string>{} : it->second.members;
  });
}

std::vector<std::string> LocalService::Subscriptions(const std::string& app_id,
                                                     const std::string& user) const {
  return impl_->RunSync([&] {
    auto it = impl_->users_.find({app_id, user});
    if (it == impl_->users_.end()) return std::vector<std::string>{};
    return std::vector<std::string>(it->second.subscriptions.begin(),
                                    it->second.subscriptions.end());
  });
}

size_t LocalService::OfflineCount(const std::string& app_id, const std::string& user) const {
  return impl_->RunSync([&] {
    auto it = impl_->users_.find({app_id, user});
    return it == impl_->users_.end() ? size_t{0} : it->second.offline.size();
  });
}

size_t LocalService::CallCount() const {
  return impl_->RunSync([&] { return impl_->calls_.size(); });
}

int LocalService::connections_accepted() const { return impl_->connections_accepted_; }
int LocalService::gateway_requests() const { return impl_->gateway_requests_; }

int LocalService::endless_answers_ended() const { return impl_->endless_answers_ended_; }

int64_t LocalService::endless_bytes() const { return impl_->endless_bytes_; }
int LocalService::offline_requests() const { return impl_->offline_requests_; }
int64_t LocalService::flood_packets() const { return impl_->flood_packets_; }

std::vector<int64_t> LocalService::AcceptTimes() const {
  std::lock_guard<std::mutex> lock(impl_->log_mu_);
  return impl_->accept_times_;
}

std::vector<std::string> LocalService::GatewayHosts() const {
  std::lock_guard<std::mutex> lock(impl_->log_mu_);
  return impl_->gateway_hosts_;
}

std::vector<int64_t> LocalService::GatewayTimes() const {
  std::lock_guard<std::mutex> lock(impl_->log_mu_);
  return impl_->gateway_request_times_;
}

int64_t LocalService::NowMs() const { return impl_->NowMs(); }

std::vector<std::string> LocalService::Warnings() const {
  std::lock_guard<std::mutex> lock(impl_->log_mu_);
  return {impl_->warnings_.begin(), impl_->warnings_.end()};
}

}  // namespace local_service

#include "local_service/http_endpoints.h"

#include <fcntl.h>
#include <httplib.h>
#include <sys/socket.h>

#include "local_service/json_util.h"
#include "local_service/local_service.h"
#include "local_service/service_impl.h"

namespace local_service {
namespace {

// Requests are short; held ones (delay faults) each keep a worker, and a client retries while
// one is held, so there are enough to spare.
constexpr size_t kHttpThreads = 8;

template <typename Mode>
bool ParseMode(const std::string& name, Mode* out,
               std::initializer_list<std::pair<const char*, Mode>> names) {
  for (auto& [n, m] : names) {
    if (name == n) {
      *out = m;
      return true;
    }
  }
  return false;
}

}  // namespace

HttpEndpoints::HttpEndpoints(LocalService* service, bool control)
    : service_(service), control_(control), server_(std::make_unique<httplib::Server>()) {
  server_->new_task_queue = [] { return new httplib::ThreadPool(kHttpThreads); };
  server_->set_keep_alive_timeout(1);
  server_->set_socket_options([](socket_t sock) {
    int one = 1;
    setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    int flags = fcntl(sock, F_GETFD);
    if (flags >= 0) fcntl(sock, F_SETFD, flags | FD_CLOEXEC);
  });
  Install();
}

HttpEndpoints::~HttpEndpoints() { Stop(); }

bool HttpEndpoints::Bind(const std::string& host, int port, int* bound_port, std::string* error) {
  int p = port;
  bool ok;
  if (port == 0) {
    p = server_->bind_to_any_port(host);
    ok = p > 0;
  } else {
    ok = server_->bind_to_port(host, port);
  }
  if (!ok) {
    *error = "cannot bind HTTP on " + host + ":" + std::to_string(port);
    return false;
  }
  *bound_port = p;
  return true;
}

void HttpEndpoints::Run() {
  thread_ = std::thread([this] {
    server_->listen_after_bind();
    listen_done_ = true;
  });
  // A stop before the server counts itself running would be lost and leave it listening.
  while (!server_->is_running() && !listen_done_)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

void HttpEndpoints::Stop() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (stopping_) return;
    stopping_ = true;
  }
  cv_.notify_all();
  server_->stop();
  if (thread_.joinable()) thread_.join();
}

bool HttpEndpoints::Hold(int64_t ms) {
  std::unique_lock<std::mutex> lock(mu_);
  return !cv_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return stopping_; });
}

void HttpEndpoints::Install() {
  auto* impl = service_->impl_.get();
  using Answer = LocalService::Impl::HttpAnswer;
  auto respond = [this, impl](httplib::Response& res, const Answer& answer) {
    if (answer.delay_ms > 0 && !Hold(answer.delay_ms)) {
      res.status = 503;
      return;
    }
    if (!answer.endless) {
      res.set_content(answer.body, "application/json");
      return;
    }
    // Chunks for as long as the client reads them: a write fails once it has closed.
    res.set_chunked_content_provider(
        "application/json",
        [this, impl, first = answer.body](size_t offset, httplib::DataSink& sink) {
          static const std::string kPadding(16 * 1024, 'x');
          const std::string& chunk = offset == 0 ? first : kPadding;
          if (!Hold(0) || !sink.write(chunk.data(), chunk.size())) return false;
          impl->endless_bytes_ += static_cast<int64_t>(chunk.size());
          return true;
        },
        [impl](bool) { ++impl->endless_answers_ended_; });
  };

  server_->Post("/vyapi/v1", [impl, respond](const httplib::Request& req, httplib::Response& res) {
    if (req.get_param_value("action") != "wrtm_gateway") {
      impl->Warn("HTTP: refused unknown action \"" + req.get_param_value("action") + "\"");
      res.status = 404;
      return;
    }
    impl->Info("HTTP gateway request " + req.body);
    respond(res, impl->RunSync(
                     [&] { return impl->GatewayAnswer(req.body, req.get_header_value("Host")); }));
  });
  server_->Post("/vyapi/v1/vortmgw/getOfflineMsg",
                [impl, respond](const httplib::Request& req, httplib::Response& res) {
                  impl->Info("HTTP offline fetch " + req.body);
                  respond(res, impl->RunSync([&] { return impl->OfflineAnswer(req.body); }));
                });
  auto history = [](const httplib::Request&, httplib::Response& res) {
    res.set_content("{\"code\":0,\"data\":[]}", "application/json");
  };
  server_->Post("/vyapi/v1/vortmgw/getChanHistoryMsg", history);
  server_->Post("/vyapi/v1/vortmgw/getP2PHistoryMsg", history);

  if (!control_) return;
  LocalService* svc = service_;
  server_->Post(
      R"(/control/(\w+))", [svc, impl](const httplib::Request& req, httplib::Response& res) {
        std::string op = req.matches[1];
        rapidjson::Document doc;
        std::string error;
        if (!ParseJsonObject(req.body.empty() ? std::string("{}") : req.body, &doc, &error)) {
          res.status = 400;
          res.set_content("{\"ok\":false,\"error\":\"bad JSON\"}", "application/json");
          return;
        }
        std::string user = GetString(doc, "user").value_or("");
        int64_t value = GetInt64(doc, "value").value_or(0);
        int times = static_cast<int>(GetInt64(doc, "times").value_or(-1));
        JsonWriter out;
        out.BeginObject();
        bool ok = true;
        // `error` now says why a command was refused, for the answer.
        auto mode_of = [&](const char* key, const char* fallback) {
          std::string name = GetString(doc, key).value_or(fallback);
          error = "unknown " + std::string(key) + " \"" + name + "\"";
          return name;
        };
        auto connected = [&](bool done) {
          if (!done) {
            error = user.empty() ? "no connection" : "user \"" + user + "\" has no connection";
          }
          return done;
        };
        if (op == "reset") {
          svc->Reset();
        } else if (op == "gateway") {
          GatewayMode mode;
          ok = ParseMode<GatewayMode>(mode_of("mode", ""), &mode,
                                      {{"normal", GatewayMode::kNormal},
                                       {"code", GatewayMode::kCode},
                                       {"delay", GatewayMode::kDelay},
                                       {"no_answer", GatewayMode::kNoAnswer},
                                       {"empty_body", GatewayMode::kEmptyBody},
                                       {"invalid_json", GatewayMode::kInvalidJson},
                                       {"no_type1", GatewayMode::kNoType1Address},
                                       {"closed_port", GatewayMode::kClosedPort},
                                       {"ipv6", GatewayMode::kIpv6Address},
                                       {"endless", GatewayMode::kEndlessBody}});
          if (ok) svc->SetGatewayMode(mode, value, times);
        } else if (op == "offline") {
          OfflineMode mode;
          ok = ParseMode<OfflineMode>(mode_of("mode", ""), &mode,
                                      {{"normal", OfflineMode::kNormal},
                                       {"code", OfflineMode::kCode},
                                       {"delay", OfflineMode::kDelay},
                                       {"empty_body", OfflineMode::kEmptyBody},
                                       {"invalid_json", OfflineMode::kInvalidJson},
                                       {"data_not_array", OfflineMode::kDataNotArray},
                                       {"msgid_string", OfflineMode::kMsgIdString}});
          if (ok) svc->SetOfflineMode(mode, value, times);
        } else if (op == "fault") {
          FaultRule rule;
          rule.user = user;
          rule.cmd = GetString(doc, "cmd").value_or("");
          rule.value = value;
          rule.times = times;
          rule.field = GetString(doc, "field").value_or("Code");
          rule.direction = GetString(doc, "direction").value_or("") == "from_client"
                               ? Direction::kFromClient
                               : Direction::kToClient;
          ok = ParseMode<FaultAction>(mode_of("action", ""), &rule.action,
                                      {{"drop", FaultAction::kDrop},
                                       {"delay", FaultAction::kDelay},
                                       {"duplicate", FaultAction::kDuplicate},
                                       {"replace", FaultAction::kReplaceField},
                                       {"hold", FaultAction::kHold},
                                       {"plain", FaultAction::kPlain},
                                       {"corrupt_signature", FaultAction::kCorruptSignature},
                                       {"wrong_app_id", FaultAction::kWrongAppId},
                                       {"bad_base64", FaultAction::kBadBase64},
                                       {"bad_padding", FaultAction::kBadPadding},
                                       {"oversize_inner_length", FaultAction::kOversizeInnerLength},
                                       {"garbage", FaultAction::kGarbageBefore},
                                       {"bad_frame_length", FaultAction::kBadFrameLength},
                                       {"split", FaultAction::kSplit},
                                       {"dollar", FaultAction::kDollarFraming},
                                       {"hash", FaultAction::kHashFraming}});
          if (ok) out.Int("id", svc->AddFault(rule));
        } else if (op == "remove_fault") {
          svc->RemoveFault(static_cast<int>(GetInt64(doc, "id").value_or(0)));
        } else if (op == "clear_faults") {
          svc->ClearFaults();
        } else if (op == "push") {
          std::string form = GetString(doc, "form").value_or("");
          ok = connected(svc->Push(user, GetString(doc, "cmd").value_or(""),
                                   GetString(doc, "body").value_or(""),
                                   form == "plain"       ? PushForm::kPlain
                                   : form == "encrypted" ? PushForm::kEncrypted
                                                         : PushForm::kDefault));
        } else if (op == "kick") {
          ok = connected(svc->Kick(user));
        } else if (op == "expire") {
          ok = connected(svc->Expire(user));
        } else if (op == "close") {
          ok = connected(svc->Close(user, GetString(doc, "mode").value_or("fin") == "rst"
                                              ? CloseMode::kRst
                                              : CloseMode::kFin));
        } else if (op == "stall") {
          ok = connected(svc->Stall(user, GetBool(doc, "stalled").value_or(true)));
        } else if (op == "flood") {
          Flood flood;
          flood.cmd = GetString(doc, "cmd").value_or("KeepAlive");
          flood.body = GetString(doc, "body").value_or("");
          flood.packets = GetInt64(doc, "packets").value_or(0);
          std::string form = GetString(doc, "form").value_or("");
          flood.form = form == "plain"       ? PushForm::kPlain
                       : form == "encrypted" ? PushForm::kEncrypted
                                             : PushForm::kDefault;
          ok = connected(svc->StartFlood(user, flood));
        } else if (op == "stop_flood") {
          svc->StopFlood(user);
        } else if (op == "login_mode") {
          LoginMode mode = LoginMode::kNormal;
          ok = ParseMode<LoginMode>(mode_of("mode", "normal"), &mode,
                                    {{"normal", LoginMode::kNormal},
                                     {"silent_after_login", LoginMode::kSilentAfterLogin},
                                     {"silent_on_relogin", LoginMode::kSilentOnReLogin}});
          if (ok) svc->SetLoginMode(mode);
        } else if (op == "coalesce") {
          svc->Coalesce(user, static_cast<int>(GetInt64(doc, "frames").value_or(2)));
        } else if (op == "release_held") {
          out.Int("sent",
                  svc->ReleaseHeld(user, static_cast<int>(GetInt64(doc, "count").value_or(-1))));
        } else if (op == "close_on_accept") {
          svc->SetCloseOnAccept(GetBool(doc, "on").value_or(true));
        } else if (op == "deterministic") {
          svc->SetDeterministic(GetBool(doc, "on").value_or(true));
        } else if (op == "store_offline") {
          svc->StoreOffline(GetString(doc, "appId").value_or(""), user,
                            GetString(doc, "from").value_or(""), GetInt64(doc, "msgId").value_or(0),
                            static_cast<int>(GetInt64(doc, "type").value_or(1)),
                            GetString(doc, "body").value_or(""));
        } else if (op == "log") {
          out.Key("commands").BeginArray();
          for (auto& e : user.empty() ? svc->LogAll() : svc->Log(user)) {
            out.BeginObject()
                .Int("connection", static_cast<int64_t>(e.connection))
                .Str("user", e.user)
                .Str("cmd", e.cmd)
                .Str("content", e.content)
                .Flag("encrypted", e.encrypted)
                .Int("cryptResult", e.crypt_result)
                .Str("framing", std::string(1, e.framing))
                .Int("timeMs", e.time_ms)
                .EndObject();
          }
          out.EndArray();
        } else if (op == "state") {
          out.Key("online").BeginArray();
          for (auto& u : svc->OnlineUsers()) out.String(u);
          out.EndArray()
              .Int("connections", svc->connections_accepted())
              .Int("gatewayRequests", svc->gateway_requests())
              .Int("offlineRequests", svc->offline_requests())
              .Int("floodPackets", svc->flood_packets());
        } else {
          ok = false;
          error = "unknown operation \"" + op + "\"";
          impl->Warn("control: " + error);
        }
        out.Flag("ok", ok);
        if (!ok) out.Str("error", error);
        out.EndObject();
        res.set_content(out.Take(), "application/json");
      });
}

}  // namespace local_service

#include "local_service/service_impl.h"

#include <fcntl.h>

#include <cstdio>
#include <random>

#include "local_service/http_endpoints.h"
#include "local_service/json_util.h"

namespace local_service {
namespace {

constexpr size_t kMaxWarnings = 1000;
constexpr size_t kMaxLogEntries = 100000;
// A peer that leaves this much unread is treated as broken.
constexpr size_t kMaxQueuedBytes = 64 * 1024 * 1024;
// One write carries at most this many queued bytes.
constexpr size_t kMaxWriteBatch = 256 * 1024;
// A flood queues this much at a time, each time the connection's queue runs dry.
constexpr size_t kFloodBatch = 64 * 1024;
// The pause after each chunk of a split packet.
constexpr std::chrono::milliseconds kSplitGap(2);
constexpr char kFixedPrefix[] = "AAAAAAAAAAAAAAAA";
constexpr char kFixedNonce[] = "AAAAAAAAAA";
constexpr char kFixedTimestamp[] = "1700000000000";

bool IsLoopback(const std::string& address) {
  asio::error_code ec;
  auto a = asio::ip::make_address(address, ec);
  return !ec && a.is_loopback();
}

// Programs a test starts must not inherit the service's sockets.
void SetCloseOnExec(int fd) {
  int flags = fcntl(fd, F_GETFD);
  if (flags >= 0) fcntl(fd, F_SETFD, flags | FD_CLOEXEC);
}

std::string Describe(const Connection& conn) {
  std::string s = "conn " + std::to_string(conn.id);
  if (!conn.uid.empty()) s += " (" + conn.uid + ")";
  return s;
}

}  // namespace

LocalService::Impl::Impl(LocalService* owner, Options options)
    : owner_(owner), options_(std::move(options)) {}

LocalService::Impl::~Impl() { Stop(); }

int64_t LocalService::Impl::NowMs() const {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                               start_time_)
      .count();
}

int64_t LocalService::Impl::WallMs() const {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

void LocalService::Impl::Warn(const std::string& line) {
  std::fprintf(stderr, "local_service %s: %s\n", address_.c_str(), line.c_str());
  std::lock_guard<std::mutex> lock(log_mu_);
  warnings_.push_back(line);
  if (warnings_.size() > kMaxWarnings) warnings_.pop_front();
}

void LocalService::Impl::Info(const std::string& line) {
  if (options_.verbose)
    std::fprintf(stderr, "local_service %s: %s\n", address_.c_str(), line.c_str());
}

void LocalService::Impl::Record(ReceivedCommand entry) {
  {
    std::lock_guard<std::mutex> lock(log_mu_);
    // A long demo run keeps the newest commands only.
    if (log_.size() >= kMaxLogEntries) log_.erase(log_.begin(), log_.begin() + kMaxLogEntries / 10);
    log_.push_back(std::move(entry));
  }
  log_cv_.notify_all();
}

bool LocalService::Impl::Start(std::string* error) {
  auto fail = [&](const std::string& why) {
    if (error) *error = why;
    http_.reset();
    acceptor_.reset();
    acceptor_v6_.reset();
    return false;
  };
  if (running_) return fail("already started");
  asio::error_code ec;
  auto open = [&](std::unique_ptr<asio::ip::tcp::acceptor>* acc, const std::string& address,
                  int port, int* bound_port) -> bool {
    *acc = std::make_unique<asio::ip::tcp::acceptor>(io_);
    asio::ip::tcp::endpoint ep(asio::ip::make_address(address, ec),
                               static_cast<unsigned short>(port));
    if (!ec) (*acc)->open(ep.protocol(), ec);
    if (!ec) (*acc)->set_option(asio::socket_base::reuse_address(true), ec);
    // Accepted connections inherit it, and it must be in place before the handshake sets the
    // window scale.
    if (!ec && options_.tcp_recv_buffer > 0) {
      (*acc)->set_option(asio::socket_base::receive_buffer_size(options_.tcp_recv_buffer), ec);
    }
    if (!ec) (*acc)->bind(ep, ec);
    if (!ec) (*acc)->listen(asio::socket_base::max_listen_connections, ec);
    if (ec) {
      acc->reset();
      return false;
    }
    SetCloseOnExec((*acc)->native_handle());
    *bound_port = (*acc)->local_endpoint().port();
    return true;
  };
  // The HTTP side is bound last: a bound but never started server cannot be closed again.
  auto bind_all = [&](const std::string& address, std::string* why) {
    if (!open(&acceptor_, address, options_.tcp_port, &tcp_port_)) {
      *why = "cannot listen on " + address + ":" + std::to_string(options_.tcp_port) + ": " +
             ec.message();
      return false;
    }
    if (options_.listen_ipv6 && !open(&acceptor_v6_, "::1", 0, &tcp_port_v6_)) {
      *why = "cannot listen on [::1]: " + ec.message();
      acceptor_.reset();
      return false;
    }
    auto http = std::make_unique<HttpEndpoints>(owner_, options_.control_http);
    if (!http->Bind(address, options_.http_port, &http_port_, why)) {
      acceptor_.reset();
      acceptor_v6_.reset();
      return false;
    }
    http_ = std::move(http);
    return true;
  };
  std::string why;
  if (options_.address == "auto") {
    // Random 127.0.x.y addresses until one has the ports free, so tests running in parallel
    // each get their own.
    std::random_device rd;
    std::mt19937 gen(rd());
    std::uniform_int_distribution<int> third(1, 254), fourth(2, 254);
    bool bound = false;
    for (int attempt = 0; attempt < 200 && !bound; ++attempt) {
      address_ = "127.0." + std::to_string(third(gen)) + "." + std::to_string(fourth(gen));
      bound = bind_all(address_, &why);
    }
    if (!bound) return fail("no free loopback address: " + why);
  } else {
    address_ = options_.address;
    if (!IsLoopback(address_)) return fail(address_ + " is not a loopback address");
    if (!bind_all(address_, &why)) return fail(why);
  }

  io_.restart();
  stopping_ = false;
  work_ = std::make_unique<asio::executor_work_guard<asio::io_context::executor_type>>(
      io_.get_executor());
  supervise_timer_ = std::make_unique<asio::steady_timer>(io_);
  Accept(acceptor_.get());
  if (acceptor_v6_) Accept(acceptor_v6_.get());
  Supervise();
  running_ = true;
  io_thread_ = std::thread([this] { io_.run(); });
  io_thread_id_ = io_thread_.get_id();
  http_->Run();
  Info("listening: HTTP " + address_ + ":" + std::to_string(http_port_) + ", commands " + address_ +
       ":" + std::to_string(tcp_port_));
  return true;
}

void LocalService::Impl::Stop() {
  if (!running_) return;
  stopping_ = true;
  log_cv_.notify_all();
  http_->Stop();
  RunSync([this] {
    asio::error_code ec;
    if (acceptor_) acceptor_->close(ec);
    if (acceptor_v6_) acceptor_v6_->close(ec);
    supervise_timer_->cancel();
    auto conns = conns_;
    for (auto& [id, conn] : conns) CloseSocket(conn, CloseMode::kFin);
    for (auto& t : delay_timers_) t->cancel();
    delay_timers_.clear();
    conns_.clear();
    online_.clear();
  });
  work_.reset();
  io_thread_.join();
  running_ = false;
  // Nothing runs any more: what the handlers held is gone, the rest goes with the io context.
  acceptor_.reset();
  acceptor_v6_.reset();
  supervise_timer_.reset();
  http_.reset();
  Info("stopped");
}

void LocalService::Impl::Accept(asio::ip::tcp::acceptor* acceptor) {
  acceptor->async_accept([this, acceptor](asio::error_code ec, asio::ip::tcp::socket socket) {
    if (stopping_ || ec == asio::error::operation_aborted) return;
    if (ec) {
      Warn("accept failed: " + ec.message());
    } else {
      OnAccepted(std::move(socket));
    }
    if (acceptor->is_open()) Accept(acceptor);
  });
}

void LocalService::Impl::OnAccepted(asio::ip::tcp::socket socket) {
  ++connections_accepted_;
  {
    std::lock_guard<std::mutex> lock(log_mu_);
    accept_times_.push_back(NowMs());
  }
  asio::error_code ec;
  if (close_on_accept_) {
    Info("closing a new connection at once");
    socket.close(ec);
    return;
  }
  socket.set_option(asio::ip::tcp::no_delay(true), ec);
  SetCloseOnExec(socket.native_handle());
  auto conn = std::make_shared<Connection>(io_, std::move(socket), next_conn_id_++);
  auto remote = conn->socket.remote_endpoint(ec);
  if (!ec) conn->peer = remote.address().to_string() + ":" + std::to_string(remote.port());
  conn->last_recv_ms = NowMs();
  conns_[conn->id] = conn;
  Info(Describe(*conn) + " accepted from " + conn->peer);
  ReadMore(conn);
}

void LocalService::Impl::ReadMore(const ConnPtr& conn) {
  if (conn->closed || conn->stalled || conn->reading) return;
  conn->reading = true;
  conn->socket.async_read_some(asio::buffer(conn->read_buf),
                               [this, conn](asio::error_code ec, size_t n) {
                                 conn->reading = false;
                                 if (conn->closed) return;
                                 if (ec) {
                                   Info(Describe(*conn) + " closed by the peer: " + ec.message());
                                   EndConnection(conn, -1, CloseMode::kFin, false);
                                   return;
                                 }
                                 // A read in flight when the stall began is held back.
                                 if (conn->stalled) {
                                   conn->stalled_bytes.append(conn->read_buf.data(), n);
                                   return;
                                 }
                                 OnBytes(conn, conn->read_buf.data(), n);
                                 ReadMore(conn);
                               });
}

void LocalService::Impl::OnBytes(const ConnPtr& conn, const char* data, size_t n) {
  conn->last_recv_ms = NowMs();
  conn->reader.Feed(data, n);
  std::string payload, error;
  while (!conn->closed && !conn->close_after_writes) {
    auto status = conn->reader.Next(&payload, &error);
    if (status == FrameReader::Status::kNeedMore) break;
    if (status == FrameReader::Status::kError) {
      Warn(Describe(*conn) + ": refused: " + error + "; closing the connection");
      EndConnection(conn, -1, CloseMode::kFin, false);
      break;
    }
    // Replies follow the client's framing; once it speaks '$' it keeps to it.
    char framing = conn->reader.marker();
    if (framing == kDollarMarker) conn->out_marker = kDollarMarker;
    OnPayload(conn, payload, framing);
  }
}

void LocalService::Impl::QueueWrite(const ConnPtr& conn, std::string bytes, bool alone) {
  if (conn->closed || conn->silent || bytes.empty()) return;
  if (conn->queued_bytes + bytes.size() > kMaxQueuedBytes) {
    Warn(Describe(*conn) + ": more than " + std::to_string(kMaxQueuedBytes) +
         " bytes waiting for a peer that does not read; resetting the connection");
    EndConnection(conn, -1, CloseMode::kRst, false);
    return;
  }
  conn->queued_bytes += bytes.size();
  conn->out_queue.push_back({std::move(bytes), alone});
  if (!conn->writing) WriteNext(conn);
}

void LocalService::Impl::WriteNext(const ConnPtr& conn) {
  if (conn->closed) return;
  if (conn->out_queue.empty() && conn->flood && !conn->silent) FillFlood(*conn);
  if (conn->out_queue.empty()) {
    conn->writing = false;
    if (conn->close_after_writes) CloseSocket(conn, conn->close_mode);
    return;
  }
  conn->writing = true;
  bool pause = conn->out_queue.front().alone;
  if (pause) {
    conn->in_flight = std::move(conn->out_queue.front().bytes);
    conn->out_queue.pop_front();
  } else {
    conn->in_flight.clear();
    while (!conn->out_queue.empty() && !conn->out_queue.front().alone &&
           conn->in_flight.size() < kMaxWriteBatch) {
      conn->in_flight += conn->out_queue.front().bytes;
      conn->out_queue.pop_front();
    }
  }
  conn->queued_bytes -= conn->in_flight.size();
  asio::async_write(conn->socket, asio::buffer(conn->in_flight),
                    [this, conn, pause](asio::error_code ec, size_t) {
                      if (conn->closed) return;
                      if (ec) {
                        Info(Describe(*conn) + " write failed: " + ec.message());
                        EndConnection(conn, -1, CloseMode::kFin, false);
                        return;
                      }
                      if (!pause) return WriteNext(conn);
                      conn->gap_timer.expires_after(kSplitGap);
                      conn->gap_timer.async_wait([this, conn](asio::error_code gap_ec) {
                        if (!gap_ec && !conn->closed) WriteNext(conn);
                      });
                    });
}

void LocalService::Impl::CloseSocket(const ConnPtr& conn, CloseMode mode) {
  if (conn->closed) return;
  conn->closed = true;
  asio::error_code ec;
  if (mode == CloseMode::kRst) {
    conn->socket.set_option(asio::socket_base::linger(true, 0), ec);
  } else {
    conn->socket.shutdown(asio::ip::tcp::socket::shutdown_both, ec);
  }
  conn->socket.close(ec);
  conn->will_expire_timer.cancel();
  conn->expire_timer.cancel();
  conn->gap_timer.cancel();
  conn->out_queue.clear();
  conn->queued_bytes = 0;
  conns_.erase(conn->id);
  Info(Describe(*conn) + (mode == CloseMode::kRst ? " reset" : " closed"));
}

void LocalService::Impl::EndConnection(const ConnPtr& conn, int presence, CloseMode mode,
                                       bool after_writes) {
  Detach(conn, presence);
  if (!conn->coalesce_buf.empty()) {
    conn->coalesce_left = 0;
    QueueWrite(conn, std::move(conn->coalesce_buf));
    conn->coalesce_buf.clear();
  }
  if (after_writes && conn->writing) {
    conn->close_after_writes = true;
    conn->close_mode = mode;
    return;
  }
  CloseSocket(conn, mode);
}

void LocalService::Impl::Detach(const ConnPtr& conn, int presence) {
  if (conn->detached) return;
  conn->detached = true;
  conn->will_expire_timer.cancel();
  conn->expire_timer.cancel();
  if (!conn->logged_in) return;
  UserKey key{conn->app_id, conn->uid};
  auto it = online_.find(key);
  // A connection replaced by a newer login of the same user leaves the user's state alone.
  if (it == online_.end() || it->second != conn) return;
  online_.erase(it);
  PushPresence(conn->app_id, conn->uid, presence);
  LeaveAllChannels(conn->app_id, conn->uid);
  auto& user = users_[key];
  user.attributes.clear();
  if (presence == 0) user.subscriptions.clear();
  for (auto p = pending_acks_.begin(); p != pending_acks_.end();) {
    if (std::get<0>(*p) == conn->app_id && std::get<1>(*p) == conn->uid) {
      p = pending_acks_.erase(p);
    } else {
      ++p;
    }
  }
}

void LocalService::Impl::Supervise() {
  int timeout = options_.keepalive_timeout_ms;
  int period = timeout <= 0 ? 1000 : std::max(10, std::min(1000, timeout / 4));
  supervise_timer_->expires_after(std::chrono::milliseconds(period));
  supervise_timer_->async_wait([this](asio::error_code ec) {
    if (ec || stopping_) return;
    // A timeout of 0 or less switches supervision off (tests that drive a fake clock).
    if (options_.keepalive_timeout_ms <= 0) return Supervise();
    int64_t now = NowMs();
    auto conns = conns_;
    for (auto& [id, conn] : conns) {
      if (conn->closed || conn->stalled || conn->silent || conn->close_after_writes) continue;
      if (now - conn->last_recv_ms > options_.keepalive_timeout_ms) {
        Warn(Describe(*conn) + " silent for " + std::to_string(now - conn->last_recv_ms) +
             " ms; dropping it as lost");
        EndConnection(conn, -1, CloseMode::kFin, false);
      }
    }
    Supervise();
  });
}

OutFaults LocalService::Impl::MatchOutFaults(const Connection& conn, const std::string& cmd) {
  OutFaults f;
  for (auto& [id, rule] : rules_) {
    if (rule.direction != Direction::kToClient || rule.times == 0) continue;
    if (!rule.user.empty() && rule.user != conn.uid) continue;
    if (!rule.cmd.empty() && rule.cmd != cmd) continue;
    if (rule.times > 0) --rule.times;
    switch (rule.action) {
      case FaultAction::kDrop:
        f.drop = true;
        break;
      case FaultAction::kHold:
        f.hold = true;
        break;
      case FaultAction::kDelay:
        f.delay_ms = std::max(f.delay_ms, rule.value);
        break;
      case FaultAction::kDuplicate:
        f.duplicate = true;
        break;
      case FaultAction::kReplaceField:
        f.replace.emplace_back(rule.field, rule.value);
        break;
      case FaultAction::kPlain:
        f.plain = true;
        break;
      case FaultAction::kCorruptSignature:
        f.envelope.corrupt_signature = true;
        break;
      case FaultAction::kWrongAppId:
        f.envelope.cipher = CipherFault::kWrongAppId;
        break;
      case FaultAction::kBadBase64:
        f.envelope.bad_base64 = true;
        break;
      case FaultAction::kBadPadding:
        f.envelope.cipher = CipherFault::kBadPadding;
        break;
      case FaultAction::kOversizeInnerLength:
        f.envelope.cipher = CipherFault::kOversizeLength;
        break;
      case FaultAction::kGarbageBefore:
        f.garbage = std::max<int64_t>(rule.value, 1);
        break;
      case FaultAction::kBadFrameLength:
        f.bad_length = true;
        f.announced_length = rule.value;
        break;
      case FaultAction::kSplit:
        f.split = std::max<int64_t>(rule.value, 1);
        break;
      case FaultAction::kDollarFraming:
        f.dollar = true;
        break;
      case FaultAction::kHashFraming:
        f.hash = true;
        break;
    }
  }
  return f;
}

void LocalService::Impl::SendCommand(const ConnPtr& conn, const std::string& cmd,
                                     const std::string& body, PushForm form) {
  if (conn->closed) return;
  SendWithFaults(conn, cmd, body, form, MatchOutFaults(*conn, cmd));
}

void LocalService::Impl::SendWithFaults(const ConnPtr& conn, const std::string& cmd,
                                        std::string body, PushForm form, OutFaults faults) {
  if (conn->closed) return;
  if (faults.drop) {
    Info(Describe(*conn) + " send " + cmd + " dropped by a fault rule");
    return;
  }
  if (faults.hold) {
    Info(Describe(*conn) + " send " + cmd + " held by a fault rule");
    faults.hold = false;
    conn->held.push_back({cmd, std::move(body), form, std::move(faults)});
    return;
  }
  if (faults.delay_ms > 0) {
    auto timer = std::make_shared<asio::steady_timer>(io_);
    timer->expires_after(std::chrono::milliseconds(faults.delay_ms));
    delay_timers_.insert(timer);
    faults.delay_ms = 0;
    timer->async_wait([this, conn, cmd, body, form, faults, timer](asio::error_code ec) {
      delay_timers_.erase(timer);
      if (ec || stopping_) return;
      SendWithFaults(conn, cmd, body, form, faults);
    });
    return;
  }
  if (faults.duplicate) {
    faults.duplicate = false;
    SendWithFaults(conn, cmd, body, form, faults);
  }
  if (!faults.replace.empty()) {
    rapidjson::Document doc;
    if (!body.empty() && ParseJsonObject(body, &doc)) {
      for (auto& [field, value] : faults.replace) {
        auto it = doc.FindMember(field.c_str());
        if (it != doc.MemberEnd()) {
          it->value.SetInt64(value);
        } else {
          doc.AddMember(rapidjson::Value(field.c_str(), doc.GetAllocator()),
                        rapidjson::Value(static_cast<int64_t>(value)), doc.GetAllocator());
        }
      }
      body = ToJson(doc);
    }
  }
  bool plain =
      form == PushForm::kPlain ||
      (form == PushForm::kDefault && (faults.plain || !conn->crypt || !conn->encrypted_replies));
  std::string payload = MakePayload(*conn, cmd, body, plain, faults.envelope);
  Info(Describe(*conn) + " send " + cmd + (plain ? " (plain) " : " ") + body);
  WriteFramed(conn, payload, faults);
}

std::string LocalService::Impl::MakePayload(const Connection& conn, const std::string& cmd,
                                            const std::string& body, bool plain,
                                            const EnvelopeFaults& faults) {
  if (plain) return BuildPlainEnvelope(cmd, body);
  MsgCrypt fallback(conn.app_id);
  const MsgCrypt& crypt = conn.crypt ? *conn.crypt : fallback;
  if (deterministic_) fallback.SetFixedPrefix(kFixedPrefix);
  std::string ts = deterministic_ ? kFixedTimestamp : std::to_string(WallMs());
  std::string nonce = deterministic_ ? kFixedNonce : RandomAlnum(10);
  return BuildEncryptedEnvelope(crypt, cmd, body, ts, nonce, faults);
}

void LocalService::Impl::FillFlood(Connection& conn) {
  FloodState& f = *conn.flood;
  const Flood& spec = f.spec;
  bool plain = spec.form == PushForm::kPlain ||
               (spec.form == PushForm::kDefault && (!conn.crypt || !conn.encrypted_replies));
  bool numbered = spec.body.find("{n}") != std::string::npos;
  std::string batch;
  int64_t queued = 0;
  while (batch.size() < kFloodBatch && (spec.packets == 0 || f.sent < spec.packets)) {
    ++f.sent;
    ++queued;
    if (!numbered && !f.frame.empty()) {
      batch += f.frame;
      continue;
    }
    std::string body = spec.body;
    for (size_t at = body.find("{n}"); at != std::string::npos; at = body.find("{n}", at)) {
      body.replace(at, 3, std::to_string(f.sent));
    }
    std::string frame = EncodeFrame(MakePayload(conn, spec.cmd, body, plain), conn.out_marker);
    if (frame.empty()) break;  // too long for '$' framing
    if (!numbered) f.frame = frame;
    batch += frame;
  }
  if (batch.empty() || (spec.packets != 0 && f.sent >= spec.packets)) conn.flood.reset();
  flood_packets_ += queued;
  conn.queued_bytes += batch.size();
  if (!batch.empty()) conn.out_queue.push_back({std::move(batch), false});
}

void LocalService::Impl::WriteFramed(const ConnPtr& conn, const std::string& payload,
                                     const OutFaults& faults) {
  if (faults.dollar) conn->out_marker = kDollarMarker;
  const char marker = faults.hash ? kHashMarker : conn->out_marker;
  std::string frame = EncodeFrame(payload, marker);
  if (frame.empty()) {
    Warn(Describe(*conn) + ": a packet of " + std::to_string(payload.size()) +
         " bytes does not fit '$' framing; not sent");
    return;
  }
  if (faults.bad_length) {
    std::string header = EncodeHeader(static_cast<uint32_t>(faults.announced_length), marker);
    frame.replace(0, header.size(), header);
  }
  if (faults.garbage > 0) {
    std::string garbage;
    static constexpr char kGarbage[] = "xyz";
    for (int64_t i = 0; i < faults.garbage; ++i) garbage.push_back(kGarbage[i % 3]);
    frame.insert(0, garbage);
  }
  if (conn->coalesce_left > 0) {
    conn->coalesce_buf += frame;
    if (--conn->coalesce_left == 0) {
      QueueWrite(conn, std::move(conn->coalesce_buf));
      conn->coalesce_buf.clear();
    }
    return;
  }
  if (faults.split > 0) {
    size_t chunk = static_cast<size_t>(faults.split);
    for (size_t i = 0; i < frame.size(); i += chunk) QueueWrite(conn, frame.substr(i, chunk), true);
    return;
  }
  QueueWrite(conn, std::move(frame));
}

// Control.

std::vector<ConnPtr> LocalService::Impl::ConnectionsOf(const std::string& user) {
  std::vector<ConnPtr> out;
  for (auto& [id, conn] : conns_) {
    if (conn->closed) continue;
    if (user.empty() || (conn->logged_in && conn->uid == user)) out.push_back(conn);
  }
  return out;
}

bool LocalService::Impl::PushTo(const std::string& user, const std::string& cmd,
                                const std::string& body, PushForm form) {
  auto conns = ConnectionsOf(user);
  for (auto& c : conns) SendCommand(c, cmd, body, form);
  return !conns.empty();
}

bool LocalService::Impl::PushBytesTo(const std::string& user, const std::string& bytes) {
  auto conns = ConnectionsOf(user);
  for (auto& c : conns) QueueWrite(c, bytes);
  return !conns.empty();
}

bool LocalService::Impl::KickUser(const std::string& user) {
  auto conns = ConnectionsOf(user);
  for (auto& c : conns) {
    SendCommand(c, "ForceOffline", "");
    EndConnection(c, 0, CloseMode::kFin, true);
  }
  return !conns.empty();
}

bool LocalService::Impl::ExpireUser(const std::string& user) {
  auto conns = ConnectionsOf(user);
  for (auto& c : conns) {
    SendCommand(c, "AcsTokenWillExpire", "");
    SendCommand(c, "AcsTokenDidExpire", "");
    EndConnection(c, 0, CloseMode::kFin, true);
  }
  return !conns.empty();
}

bool LocalService::Impl::CloseUser(const std::string& user, CloseMode mode) {
  auto conns = ConnectionsOf(user);
  for (auto& c : conns) EndConnection(c, -1, mode, false);
  return !conns.empty();
}

bool LocalService::Impl::FloodUser(const std::string& user, const Flood& flood) {
  auto conns = ConnectionsOf(user);
  for (auto& c : conns) {
    c->flood = std::make_unique<FloodState>();
    c->flood->spec = flood;
    if (!c->writing) WriteNext(c);
  }
  return !conns.empty();
}

bool LocalService::Impl::StallUser(const std::string& user, bool stalled) {
  auto conns = ConnectionsOf(user);
  for (auto& c : conns) {
    c->stalled = stalled;
    if (!stalled) {
      c->last_recv_ms = NowMs();
      std::string held = std::move(c->stalled_bytes);
      c->stalled_bytes.clear();
      if (!held.empty()) OnBytes(c, held.data(), held.size());
      ReadMore(c);
    }
  }
  return !conns.empty();
}

void LocalService::Impl::ResetState() {
  auto conns = conns_;
  for (auto& [id, conn] : conns) CloseSocket(conn, CloseMode::kFin);
  for (auto& t : delay_timers_) t->cancel();
  delay_timers_.clear();
  online_.clear();
  users_.clear();
  sessions_.clear();
  channels_.clear();
  pending_acks_.clear();
  calls_.clear();
  rules_.clear();
  gateway_mode_ = GatewayMode::kNormal;
  gateway_times_ = -1;
  offline_mode_ = OfflineMode::kNormal;
  offline_times_ = -1;
  close_on_accept_ = false;
  deterministic_ = false;
  login_mode_ = LoginMode::kNormal;
  logins_answered_.clear();
  std::lock_guard<std::mutex> lock(log_mu_);
  log_.clear();
  warnings_.clear();
  accept_times_.clear();
  gateway_request_times_.clear();
  gateway_hosts_.clear();
}

}  // namespace local_service

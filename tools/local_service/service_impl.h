// Internals of LocalService shared by its source files. Everything below is touched on the
// service thread only, except the fields under log_mu_ and the atomics.
#ifndef TOOLS_LOCAL_SERVICE_SERVICE_IMPL_H_
#define TOOLS_LOCAL_SERVICE_SERVICE_IMPL_H_

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include <asio.hpp>

#include "local_service/envelope.h"
#include "local_service/framing.h"
#include "local_service/local_service.h"
#include "local_service/msg_crypt.h"
#include "rapidjson/document.h"

namespace local_service {

class HttpEndpoints;

struct FloodState {
  Flood spec;
  int64_t sent = 0;
  std::string frame;  // the one frame, when the body has no "{n}"
};

// What the outbound fault rules ask for one command.
struct OutFaults {
  bool drop = false;
  bool hold = false;
  int64_t delay_ms = 0;
  bool duplicate = false;
  bool plain = false;
  EnvelopeFaults envelope;
  int64_t garbage = 0;
  bool bad_length = false;
  int64_t announced_length = 0;
  int64_t split = 0;
  bool dollar = false;
  bool hash = false;
  std::vector<std::pair<std::string, int64_t>> replace;
};

struct Connection {
  Connection(asio::io_context& io, asio::ip::tcp::socket s, uint64_t conn_id)
      : id(conn_id), socket(std::move(s)), gap_timer(io), will_expire_timer(io), expire_timer(io) {}

  uint64_t id;
  asio::ip::tcp::socket socket;
  std::string peer;
  FrameReader reader;
  std::array<char, 16384> read_buf;
  bool reading = false;
  bool stalled = false;
  std::string stalled_bytes;  // read while a stall began, handled on resume
  bool closed = false;
  bool detached = false;  // its user state has been let go
  bool close_after_writes = false;
  CloseMode close_mode = CloseMode::kFin;

  // Queued bytes leave in as few writes as possible, except chunks that must go alone (split
  // packets), which are also spaced apart so that they reach the peer in separate reads.
  struct OutChunk {
    std::string bytes;
    bool alone = false;
  };
  std::deque<OutChunk> out_queue;
  size_t queued_bytes = 0;
  std::string in_flight;
  bool writing = false;
  asio::steady_timer gap_timer;
  char out_marker = kHashMarker;
  int coalesce_left = 0;
  std::string coalesce_buf;
  // Commands kept by kHold rules until ReleaseHeld, oldest first.
  struct Held {
    std::string cmd, body;
    PushForm form;
    OutFaults faults;
  };
  std::vector<Held> held;

  std::string app_id;
  std::string uid;
  bool logged_in = false;
  bool encrypted_replies = true;
  std::unique_ptr<MsgCrypt> crypt;
  std::string token;
  int64_t last_recv_ms = 0;
  // Neither answered nor dropped for silence (LoginMode).
  bool silent = false;
  std::unique_ptr<FloodState> flood;
  asio::steady_timer will_expire_timer;
  asio::steady_timer expire_timer;
};
using ConnPtr = std::shared_ptr<Connection>;

using UserKey = std::pair<std::string, std::string>;  // app id, user id

struct OfflineMessage {
  int64_t msg_id = 0;
  std::string from;
  int type = 1;
  std::string body;
};

struct UserState {
  std::set<std::string> subscriptions;
  std::map<std::string, std::string> attributes;
  std::vector<OfflineMessage> offline;  // oldest first
};

struct ChanAttr {
  std::string value;
  std::string uid;
  int64_t time = 0;
};

struct Channel {
  std::vector<std::string> members;  // in join order
  std::map<std::string, ChanAttr> attributes;
};

struct GatewaySession {
  std::string session_id;
  std::string token;
};

struct Call {
  std::string caller;
  std::string callee;
  bool invitation_forwarded = false;
  bool answer_forwarded = false;
};

class LocalService::Impl {
 public:
  Impl(LocalService* owner, Options options);
  ~Impl();

  bool Start(std::string* error);
  void Stop();

  // Runs `f` on the service thread and returns its result.
  template <typename F>
  auto RunSync(F&& f) -> decltype(f()) {
    using R = decltype(f());
    if (!running_ || std::this_thread::get_id() == io_thread_id_) return f();
    std::packaged_task<R()> task(std::forward<F>(f));
    auto result = task.get_future();
    asio::post(io_, [&task] { task(); });
    return result.get();
  }

  // Control (service thread).
  void ResetState();
  bool PushTo(const std::string& user, const std::string& cmd, const std::string& body,
              PushForm form);
  bool PushBytesTo(const std::string& user, const std::string& bytes);
  bool KickUser(const std::string& user);
  bool ExpireUser(const std::string& user);
  bool CloseUser(const std::string& user, CloseMode mode);
  bool StallUser(const std::string& user, bool stalled);
  bool FloodUser(const std::string& user, const Flood& flood);
  std::vector<ConnPtr> ConnectionsOf(const std::string& user);

  // HTTP answers (service thread). Delays are carried out by the caller, off this thread.
  struct HttpAnswer {
    std::string body;
    int64_t delay_ms = 0;
    bool endless = false;  // `body`, then padding for as long as the client reads
  };
  // `host` is the request's Host header.
  HttpAnswer GatewayAnswer(const std::string& request_body, const std::string& host);
  HttpAnswer OfflineAnswer(const std::string& request_body);

  // Logging.
  void Warn(const std::string& line);
  void Info(const std::string& line);
  void Record(ReceivedCommand entry);
  int64_t NowMs() const;
  int64_t WallMs() const;

  // Connection I/O (service_impl.cc).
  void Accept(asio::ip::tcp::acceptor* acceptor);
  void OnAccepted(asio::ip::tcp::socket socket);
  void ReadMore(const ConnPtr& conn);
  void OnBytes(const ConnPtr& conn, const char* data, size_t n);
  void QueueWrite(const ConnPtr& conn, std::string bytes, bool alone = false);
  void WriteNext(const ConnPtr& conn);
  void CloseSocket(const ConnPtr& conn, CloseMode mode);
  // Lets the connection's user go (presence `online` to subscribers unless it is 1, channels
  // left, attributes and pending deliveries dropped), then closes it.
  void EndConnection(const ConnPtr& conn, int presence, CloseMode mode, bool after_writes);
  void Detach(const ConnPtr& conn, int presence);
  void Supervise();
  OutFaults MatchOutFaults(const Connection& conn, const std::string& cmd);
  void SendCommand(const ConnPtr& conn, const std::string& cmd, const std::string& body,
                   PushForm form = PushForm::kDefault);
  void SendWithFaults(const ConnPtr& conn, const std::string& cmd, std::string body, PushForm form,
                      OutFaults faults);
  void WriteFramed(const ConnPtr& conn, const std::string& payload, const OutFaults& faults);
  // The envelope text of a command to `conn`, encrypted unless `plain`.
  std::string MakePayload(const Connection& conn, const std::string& cmd, const std::string& body,
                          bool plain, const EnvelopeFaults& faults = {});
  // Queues the next batch of a flood, once the connection's queue has run dry.
  void FillFlood(Connection& conn);

  // Commands (commands.cc).
  void OnPayload(const ConnPtr& conn, const std::string& payload, char framing);
  void Dispatch(const ConnPtr& conn, const std::string& cmd, const rapidjson::Document& body);
  void OnLogin(const ConnPtr& conn, const Envelope& env, const std::string& body, int crypt);
  void ArmTokenExpiry(const ConnPtr& conn);
  void SendToUser(const std::string& app, const std::string& uid, const std::string& cmd,
                  const std::string& body);
  ConnPtr OnlineConnection(const std::string& app, const std::string& uid);
  void PushPresence(const std::string& app, const std::string& uid, int online);
  void LeaveAllChannels(const std::string& app, const std::string& uid);
  void RemoveMember(const std::string& app, const std::string& chan, const std::string& uid);
  std::string ChanAttributesJson(const Channel& channel, const std::vector<std::string>* keys);
  void NotifyChanAttributes(const std::string& app, const std::string& chan);

  LocalService* owner_;
  Options options_;
  // Declared first so it outlives every socket and timer below.
  asio::io_context io_;
  std::unique_ptr<asio::executor_work_guard<asio::io_context::executor_type>> work_;
  std::thread io_thread_;
  std::thread::id io_thread_id_;
  std::atomic<bool> running_{false};
  std::atomic<bool> stopping_{false};
  std::chrono::steady_clock::time_point start_time_ = std::chrono::steady_clock::now();

  std::string address_;
  int http_port_ = 0;
  int tcp_port_ = 0;
  int tcp_port_v6_ = 0;
  std::unique_ptr<asio::ip::tcp::acceptor> acceptor_;
  std::unique_ptr<asio::ip::tcp::acceptor> acceptor_v6_;
  std::unique_ptr<asio::steady_timer> supervise_timer_;
  std::unique_ptr<HttpEndpoints> http_;

  // Service thread only.
  uint64_t next_conn_id_ = 1;
  std::map<uint64_t, ConnPtr> conns_;
  std::map<UserKey, ConnPtr> online_;
  std::map<UserKey, UserState> users_;
  std::map<UserKey, GatewaySession> sessions_;
  std::map<UserKey, Channel> channels_;  // app id, channel id
  // Deliveries awaiting the receiver's ack: (app, receiver, sender, msg id).
  std::set<std::tuple<std::string, std::string, std::string, int64_t>> pending_acks_;
  std::map<UserKey, Call> calls_;  // app id, call id
  std::map<int, FaultRule> rules_;
  int next_rule_id_ = 1;
  GatewayMode gateway_mode_ = GatewayMode::kNormal;
  int64_t gateway_value_ = 0;
  int gateway_times_ = -1;
  OfflineMode offline_mode_ = OfflineMode::kNormal;
  int64_t offline_value_ = 0;
  int offline_times_ = -1;
  bool close_on_accept_ = false;
  bool deterministic_ = false;
  LoginMode login_mode_ = LoginMode::kNormal;
  std::set<UserKey> logins_answered_;
  std::set<std::shared_ptr<asio::steady_timer>> delay_timers_;

  std::atomic<int> connections_accepted_{0};
  std::vector<int64_t> accept_times_;           // guarded by log_mu_
  std::vector<int64_t> gateway_request_times_;  // guarded by log_mu_
  std::vector<std::string> gateway_hosts_;      // guarded by log_mu_
  std::atomic<int> gateway_requests_{0};
  std::atomic<int> offline_requests_{0};
  std::atomic<int64_t> flood_packets_{0};
  std::atomic<int> endless_answers_ended_{0};
  std::atomic<int64_t> endless_bytes_{0};

  mutable std::mutex log_mu_;
  mutable std::condition_variable log_cv_;
  std::vector<ReceivedCommand> log_;  // guarded by log_mu_
  std::deque<std::string> warnings_;  // guarded by log_mu_
};

}  // namespace local_service

#endif  // TOOLS_LOCAL_SERVICE_SERVICE_IMPL_H_

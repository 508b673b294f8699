// The local test service: the remote side of the messaging protocol, in memory, on one loopback
// address. It serves the gateway and offline endpoints over HTTP and the framed, encrypted
// command protocol over TCP, and lets tests inject faults and inspect what the client sent.
//
//   local_service::LocalService svc({.address = "127.0.0.5"});
//   ASSERT_TRUE(svc.Start());
//   // point the client at svc.address():svc.http_port() ...
//
// Every control call may be made from any thread but the service's own; each runs to completion
// on the service thread before it returns.
#ifndef TOOLS_LOCAL_SERVICE_LOCAL_SERVICE_H_
#define TOOLS_LOCAL_SERVICE_LOCAL_SERVICE_H_

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace local_service {

class HttpEndpoints;

struct Options {
  // A loopback address; "auto" picks a free 127.0.x.y where the HTTP port can be bound.
  std::string address = "127.0.0.1";
  // The client's offline fetch always goes to 7080; 0 picks an ephemeral port.
  int http_port = 7080;
  // The command server's port; 0 (the usual) picks an ephemeral one, named by the gateway.
  int tcp_port = 0;
  // Also accept commands on [::1] (ephemeral port); see GatewayMode::kIpv6Address.
  bool listen_ipv6 = false;
  // One line per connection and command on standard error.
  bool verbose = false;
  // Serves the control API as JSON over HTTP under /control/ (see README.md).
  bool control_http = false;
  // A connection that sends nothing for this long is dropped as lost; 0 switches this off.
  int keepalive_timeout_ms = 15000;
  // How long before a token's expiry "AcsTokenWillExpire" goes out.
  int token_will_expire_lead_ms = 1000;
  // App ids the gateway accepts; empty accepts every 32-character id.
  std::vector<std::string> app_ids;
  // SO_RCVBUF of command connections in bytes (0: the system's). A small one lets a connection
  // that is no longer read (LoginMode::kSilentAfterLogin) close its window after a few KiB.
  int tcp_recv_buffer = 0;
};

// Which way a fault rule applies.
enum class Direction { kToClient, kFromClient };

enum class FaultAction {
  // Both directions.
  kDrop,       // swallow the command
  kDelay,      // handle or send it `value` ms later
  kDuplicate,  // handle or send it twice
  // Commands to the client only.
  kReplaceField,  // set integer member `field` (default "Code") of the body to `value`
  kHold,          // keep it unsent until ReleaseHeld, which sends what it holds in order
  kPlain,         // plain envelope in place of the encrypted one
  kCorruptSignature,
  kWrongAppId,           // another app id after the text
  kBadBase64,            // a character outside the alphabet in "Content"
  kBadPadding,           // pad count 0
  kOversizeInnerLength,  // the length inside the block exceeds it
  kGarbageBefore,        // `value` bytes of "xyz..." before the packet
  kBadFrameLength,       // the packet header announces `value` in place of the true length
  kSplit,                // write the packet in chunks of `value` bytes, 2 ms apart
  kDollarFraming,        // this packet and every later one on the connection in '$' framing
  kHashFraming,          // this packet in '#' framing, whatever framing the client speaks
};

struct FaultRule {
  Direction direction = Direction::kToClient;
  std::string user;  // empty: every user (and connections not logged in)
  std::string cmd;   // empty: every command
  FaultAction action = FaultAction::kDrop;
  int64_t value = 0;
  std::string field = "Code";
  int times = -1;  // applications left; -1 without limit
};

enum class GatewayMode {
  kNormal,
  kCode,      // {"code": value}
  kDelay,     // answer normally after `value` ms
  kNoAnswer,  // hold the request `value` ms (10000 when 0), then an empty body
  kEmptyBody,
  kInvalidJson,
  kNoType1Address,  // only an address of type 2
  kClosedPort,      // the port of a listener that has been closed
  kIpv6Address,     // "::1" and the IPv6 port (needs listen_ipv6)
  kEndlessBody,     // a body that never ends, written while the client reads it
};

enum class OfflineMode {
  kNormal,
  kCode,   // {"code": value}
  kDelay,  // answer normally after `value` ms
  kEmptyBody,
  kInvalidJson,
  kDataNotArray,
  kMsgIdString,  // "msgId" as a string; the stored messages are still consumed
};

// How a control command reaches a user.
enum class PushForm { kDefault, kPlain, kEncrypted };

// How the service treats a client's "Login" (SetLoginMode). Silent connections are never
// dropped for being silent themselves.
enum class LoginMode {
  kNormal,
  // The Login is answered; after that the connection is neither read nor written: a server
  // that hung after login, whose kernel acknowledges until the window is full.
  kSilentAfterLogin,
  // A user's first accepted Login is answered; every later one (a re-login after a lost
  // connection) is read and never answered.
  kSilentOnReLogin,
};

// A stream of packets to a user's connections, written as fast as the client reads them.
struct Flood {
  std::string cmd = "KeepAlive";
  // JSON text, or "" for an empty body; each "{n}" becomes the packet's number, from 1.
  std::string body;
  int64_t packets = 0;  // 0: until StopFlood
  PushForm form = PushForm::kDefault;
};

enum class CloseMode { kFin, kRst };

// One command received from a client, as the service read it.
struct ReceivedCommand {
  uint64_t connection = 0;
  std::string app_id;
  std::string user;  // empty before the connection's Login
  std::string cmd;
  std::string content;  // the decrypted body text ("" for empty bodies)
  std::vector<std::string> envelope_keys;
  std::string raw;  // the envelope text as received
  bool encrypted = false;
  int crypt_result = 0;  // 0, or the crypt's error code
  char framing = '#';    // the packet's marker, '#' or '$'
  int64_t time_ms = 0;   // steady milliseconds since the service started
};

class LocalService {
 public:
  explicit LocalService(Options options = {});
  ~LocalService();
  LocalService(const LocalService&) = delete;
  LocalService& operator=(const LocalService&) = delete;

  // Binds and starts the service thread. False (with a reason) when a port cannot be bound.
  bool Start(std::string* error = nullptr);
  // Closes every connection and listener and joins every thread. Idempotent.
  void Stop();

  const std::string& address() const;
  int http_port() const;
  int tcp_port() const;
  int tcp_port_v6() const;

  // Forgets users, channels, stored messages, rules, modes and logs, closes every connection.
  void Reset();

  void SetGatewayMode(GatewayMode mode, int64_t value = 0, int times = -1);
  void SetOfflineMode(OfflineMode mode, int64_t value = 0, int times = -1);
  int AddFault(const FaultRule& rule);
  void RemoveFault(int id);
  void ClearFaults();
  // The next `frames` packets to `user` are held and leave together in one write.
  void Coalesce(const std::string& user, int frames);
  // Sends what kHold rules kept for `user`'s connections, in the order it was held: the oldest
  // `count` commands, or all of them when `count` is negative; the rest stay held. Returns the
  // number of commands sent. A connection that closed meanwhile took its held commands with it.
  int ReleaseHeld(const std::string& user, int count = -1);
  // Newly accepted connections are closed at once while set.
  void SetCloseOnAccept(bool close);
  // Fixed random prefix, TimeStamp and Nonce in what the service sends.
  void SetDeterministic(bool on);
  void SetKeepAliveTimeout(int ms);
  void SetLoginMode(LoginMode mode);
  // Messages stored for a user while offline, as "SendMsgToPeer" with "OfflineMsg" stores them.
  void StoreOffline(const std::string& app_id, const std::string& user, const std::string& from,
                    int64_t msg_id, int type, const std::string& body);

  // Sends `cmd` with `body` (JSON text, or "" for none) to every connection of `user`.
  bool Push(const std::string& user, const std::string& cmd, const std::string& body,
            PushForm form = PushForm::kDefault);
  // Writes raw bytes to every connection of `user`, or of every connection when `user` is "".
  bool PushBytes(const std::string& user, const std::string& bytes);
  // "ForceOffline", then close.
  bool Kick(const std::string& user);
  // "AcsTokenWillExpire", "AcsTokenDidExpire", then close.
  bool Expire(const std::string& user);
  bool Close(const std::string& user, CloseMode mode);
  // Stops reading from the user's connections (their send buffers fill up), or resumes.
  bool Stall(const std::string& user, bool stalled);
  // Floods every connection of `user` (replacing a flood already running there).
  bool StartFlood(const std::string& user, const Flood& flood);
  void StopFlood(const std::string& user);

  std::vector<ReceivedCommand> Log(const std::string& user) const;
  std::vector<ReceivedCommand> LogAll() const;
  // Waits until `user` has sent `cmd` at least `count` times.
  bool WaitForCommand(const std::string& user, const std::string& cmd, size_t count,
                      int timeout_ms) const;
  bool IsOnline(const std::string& user) const;
  std::vector<std::string> OnlineUsers() const;
  std::vector<std::string> ChannelMembers(const std::string& app_id,
                                          const std::string& channel) const;
  std::vector<std::string> Subscriptions(const std::string& app_id, const std::string& user) const;
  size_t OfflineCount(const std::string& app_id, const std::string& user) const;
  // Calls the service still tracks (invited, and not yet answered and acknowledged, or
  // canceled).
  size_t CallCount() const;
  int connections_accepted() const;
  int gateway_requests() const;
  int offline_requests() const;
  // Packets written by floods, over the service's life.
  int64_t flood_packets() const;
  // Endless gateway answers (kEndlessBody) that the client gave up, and the body bytes written
  // by all of them, over the service's life.
  int endless_answers_ended() const;
  int64_t endless_bytes() const;
  // When each connection was accepted and each gateway request answered, in the steady
  // milliseconds of ReceivedCommand::time_ms, for checking reconnection pacing.
  std::vector<int64_t> AcceptTimes() const;
  std::vector<int64_t> GatewayTimes() const;
  // The Host header of each gateway request, oldest first.
  std::vector<std::string> GatewayHosts() const;
  int64_t NowMs() const;
  // Lines logged about refused input and dropped connections, oldest first.
  std::vector<std::string> Warnings() const;

  class Impl;

 private:
  friend class HttpEndpoints;
  std::unique_ptr<Impl> impl_;
};

}  // namespace local_service

#endif  // TOOLS_LOCAL_SERVICE_LOCAL_SERVICE_H_

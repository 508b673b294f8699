// VyRtmService: the messaging service behind vy::rtm::IRtmService.
//
// All state of a service is touched on the worker thread (ThreadMgr) only.
// Every public operation obeys the calling rule (core/rtm_invoke.h): off the
// worker it waits for its body to run there. Bodies carry the suffix _w, or
// _I for requests that take a request id; the public operation fills a zero
// request id on the caller's thread before the hand-over. Exceptions run on
// the caller's thread: release, the createMessage forms, the two-argument
// sendMessageToPeer (it forwards) and the media operations other than the
// two cancels.
//
// The class is spread over several files, one per feature; each adds its
// fields below under its own heading.
#ifndef CORE_VY_RTM_SERVICE_H_
#define CORE_VY_RTM_SERVICE_H_

#include <atomic>
#include <cstdint>
#include <deque>
#include <initializer_list>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <vortm/rtm_service.h>

#include "core/command_router.h"
#include "core/envelope.h"
#include "core/http_post.h"
#include "core/js_buffer.h"
#include "core/rate_limiter.h"
#include "core/request_table.h"
#include "core/sync_msg_crypt.h"
#include "core/vy_rtm_events.h"
#include "core/x_tcp_client.h"
#include "rtc_base/base/checks.h"
#include "rtc_base/threads/sigslot.h"

namespace vy {

class ThreadMgr;
class VyChannel;
class VyRtmCallManager;

class VyRtmService : public vy::rtm::IRtmService,
                     public JSBuffer,
                     public XNetClientCallback,
                     public VyMessageEvent,
                     public VyChannelEvent,
                     public VyRtmCallManagerEvent,
                     public sigslot::has_slots<sigslot::single_threaded> {
 public:
  // Takes the process-wide worker (starting it on first use), writes the
  // start banner to the log and registers with the worker.
  VyRtmService();
  // Unregisters first, waiting for a worker pass in progress to end.
  ~VyRtmService() override;

  // vy::rtm::IRtmService, in slot order.
  int initialize(const char* appId, vy::rtm::IRtmServiceEventHandler* eventHandler) override;
  void addEventHandler(vy::rtm::IRtmServiceEventHandler* eventHandler) override;
  void removeEventHandler(vy::rtm::IRtmServiceEventHandler* eventHandler) override;
  void release(bool immediate) override;
  int login(const char* token, const char* userId) override;
  int logout() override;
  int renewToken(const char* token) override;
  int sendMessageToPeer(const char* peerId, const vy::rtm::IMessage* message) override;
  int downloadMediaToMemory(const char* mediaId, long long& requestId) override;
  int downloadMediaToFile(const char* mediaId, const char* filePath, long long& requestId) override;
  int cancelMediaDownload(long long requestId) override;
  int cancelMediaUpload(long long requestId) override;
  int sendMessageToPeer(const char* peerId, const vy::rtm::IMessage* message,
                        const vy::rtm::SendMessageOptions& options) override;
  vy::rtm::IChannel* createChannel(const char* channelId,
                                   vy::rtm::IChannelEventHandler* eventHandler) override;
  vy::rtm::IRtmCallManager* getRtmCallManager(vy::rtm::IRtmCallEventHandler* eventHandler) override;
  vy::rtm::IMessage* createMessage() override;
  vy::rtm::IMessage* createMessage(const char* text) override;
  vy::rtm::IMessage* createMessage(const unsigned char* rawData, int length) override;
  vy::rtm::IMessage* createMessage(const unsigned char* rawData, int length,
                                   const char* description) override;
  vy::rtm::IFileMessage* createFileMessageByMediaId(const char* mediaId) override;
  vy::rtm::IImageMessage* createImageMessageByMediaId(const char* mediaId) override;
  int createFileMessageByUploading(const char* filePath, long long& requestId) override;
  int createImageMessageByUploading(const char* filePath, long long& requestId) override;
  vy::rtm::IRtmChannelAttribute* createChannelAttribute() override;
  int setParameters(const char* parameters) override;
  int queryPeersOnlineStatus(const char* peerIds[], int peerCount, long long& requestId) override;
  int subscribePeersOnlineStatus(const char* peerIds[], int peerCount,
                                 long long& requestId) override;
  int unsubscribePeersOnlineStatus(const char* peerIds[], int peerCount,
                                   long long& requestId) override;
  int queryPeersBySubscriptionOption(vy::rtm::PEER_SUBSCRIPTION_OPTION option,
                                     long long& requestId) override;
  int setLocalUserAttributes(const vy::rtm::RtmAttribute* attributes, int numberOfAttributes,
                             long long& requestId) override;
  int addOrUpdateLocalUserAttributes(const vy::rtm::RtmAttribute* attributes,
                                     int numberOfAttributes, long long& requestId) override;
  int deleteLocalUserAttributesByKeys(const char* attributeKeys[], int numberOfKeys,
                                      long long& requestId) override;
  int clearLocalUserAttributes(long long& requestId) override;
  int getUserAttributes(const char* userId, long long& requestId) override;
  int getUserAttributesByKeys(const char* userId, const char* attributeKeys[], int numberOfKeys,
                              long long& requestId) override;
  int setChannelAttributes(const char* channelId, const vy::rtm::IRtmChannelAttribute* attributes[],
                           int numberOfAttributes, const vy::rtm::ChannelAttributeOptions& options,
                           long long& requestId) override;
  int addOrUpdateChannelAttributes(const char* channelId,
                                   const vy::rtm::IRtmChannelAttribute* attributes[],
                                   int numberOfAttributes,
                                   const vy::rtm::ChannelAttributeOptions& options,
                                   long long& requestId) override;
  int deleteChannelAttributesByKeys(const char* channelId, const char* attributeKeys[],
                                    int numberOfKeys,
                                    const vy::rtm::ChannelAttributeOptions& options,
                                    long long& requestId) override;
  int clearChannelAttributes(const char* channelId, const vy::rtm::ChannelAttributeOptions& options,
                             long long& requestId) override;
  int getChannelAttributes(const char* channelId, long long& requestId) override;
  int getChannelAttributesByKeys(const char* channelId, const char* attributeKeys[],
                                 int numberOfKeys, long long& requestId) override;
  int getChannelMemberCount(const char* channelIds[], int channelCount,
                            long long& requestId) override;
  int setLogFile(const char* logFileDirectory) override;
  int setLogFilter(vy::rtm::LOG_FILTER_TYPE filter) override;
  int setLogFileSize(int fileSizeInKBytes) override;

  // JSBuffer: one received packet's payload (OnRecvPacket: parsed in place).
  void OnRecvMessage(const char* payload, int length) override;
  void OnRecvPacket(char* payload, int length) override;
  // XNetClientCallback: the socket reads straight into the framing buffer.
  char* RecvSpace(int length) override;
  void OnMessageRecvInPlace(int length) override;

  // XNetClientCallback.
  void OnServerConnected() override;
  void OnServerDisconnect() override;
  void OnServerConnectionFailure() override;
  void OnNetworkChanged() override;
  void OnTick() override;
  void OnMessageSent(int length) override;
  void OnMessageRecv(const char* data, int length) override;

  // VyMessageEvent.
  void OnVyMessageMsgOut(long long messageId, const std::string& peerId, int type,
                         const std::string& content,
                         const vy::rtm::SendMessageOptions& options) override;

  // VyChannelEvent.
  int OnVyChanlelMsgCheck(const std::string& channelId, const vy::rtm::IMessage* message,
                          const vy::rtm::SendMessageOptions& options,
                          vy::rtm::IChannelEventHandler* handler) override;
  void OnVyChannelMsgOut(const std::string& channelId, const std::string& cmd,
                         const std::string& content) override;
  void OnVyChannelJoin(const std::string& channelId, bool rejoin) override;
  void OnVyChannelRequest(const std::string& channelId, const std::string& cmd,
                          const std::string& content, bool waits) override;
  // Takes the channel out of the registry and hands back its joins, leaves, member lists and
  // sends still waiting, taken out of their tables, for the channel to report.
  ChannelRequests OnVyChannelDestory(const std::string& channelId) override;
  int OnVyChannelSession(std::string* userId) override;

  // VyRtmCallManagerEvent.
  void OnVyRtmCallManagerMsgOut(const std::string& cmd, const std::string& content) override;
  void OnVyRtmCallManagerDestory() override;

  // The worker's pass over this service (session state machine, then the
  // call manager's resends and time-outs). Worker thread, ThreadMgr's lock
  // held.
  void DoProcess();
  // The earliest time (rtc::TimeMillis) at which DoProcess has something to do: a deadline,
  // a resend, a keep-alive, a session step, or now for work left for the next pass;
  // kNeverDue when only input or a call can give it work. Worker thread.
  int64_t NextDueMs() const;
  static constexpr int64_t kNeverDue = INT64_MAX;

  // Set by release; the worker deletes the service on its next pass.
  bool IsReleased() const { return released_.load(); }
  // Called by ThreadMgr::ReleaseRtm under the worker's lock.
  void MarkReleased() { released_.store(true); }

  ThreadMgr* worker() const { return worker_; }
  bool IsInitialized() const { return !app_id_.empty(); }
  // Bytes the receive path keeps between packets: the stream and packet buffers, the command
  // texts and the crypt's block. Worker thread.
  size_t ReceiveHeldBytes() const;

  // Calls `call(handler)` for every registered handler in ascending pointer
  // order. It walks a snapshot: a handler may add or remove handlers, or call
  // any operation, from inside the callback; a handler removed meanwhile is
  // skipped. Worker thread only.
  template <class Call>
  void ForEachHandler(Call&& call) {
    RTC_DCHECK(OnWorker());
    std::vector<vy::rtm::IRtmServiceEventHandler*> snapshot;
    snapshot.reserve(handlers_.size());
    for (const auto& entry : handlers_) snapshot.push_back(entry.second);
    for (vy::rtm::IRtmServiceEventHandler* handler : snapshot) {
      if (handlers_.find(handler) == handlers_.end()) continue;
      call(handler);
    }
  }

  // Transport (vy_rtm_service_recv.cc). Worker thread only.
  //
  // Wraps `content` in the envelope (encrypted once a message crypt exists; "Login" with its
  // "AppId" and without a "SEND" log line), frames it and queues it on the TCP client. The
  // one way a command leaves the service. A command for which no random nonce can be made is
  // refused with a log line; TrySendMsg then returns false.
  void doSendMsg(const std::string& cmd, const std::string& content);
  bool TrySendMsg(const std::string& cmd, const std::string& content);
  // Queues one envelope text as a whole frame; dropped when there is no TCP client.
  void sendMsgToIms(const std::string& text);
  // Writes the header into the `room` bytes before the envelope in `frame` and queues it.
  void SendFrame(std::string* frame, size_t room);
  // Logs and routes one unwrapped command.
  void HandleCommand(EnvelopeResult result, const ReceivedCommand& cmd);
  // Replaces the message crypt; the session does this before every "Login".
  void RenewMsgCrypt();
  bool HasMsgCrypt() const { return msg_crypt_ != nullptr; }
  // Creates the TCP client and starts connecting; an existing client is dropped first.
  void ConnectServer(const std::string& host, int port);
  // Disconnects and deletes the TCP client, if any.
  void DropServer();
  // The TCP client's state (XNetClient::State), or -1 without a client.
  int ServerStatus() const;
  // Received commands are routed through this table; each feature installs its handlers.
  CommandRouter& router() { return router_; }
  // When the received stream broke (an impossible packet), drops the connection and handles
  // it as lost. Called from DoProcess, outside the socket's signals. True when it did.
  bool CheckRecvStream();

  // Fan-outs of the service events, each to every handler.
  void cbConnectionStateChanged(vy::rtm::CONNECTION_STATE state,
                                vy::rtm::CONNECTION_CHANGE_REASON reason);
  void cbLoginSuccess();
  // Callers set the teardown step before their first callback, so that a
  // login made inside any of the callbacks stands.
  void cbLoginFailure(vy::rtm::LOGIN_ERR_CODE code);
  void cbLogout(vy::rtm::LOGOUT_ERR_CODE code);
  void cbTokenExpired();
  void cbRenewTokenResult(const char* token, vy::rtm::RENEW_TOKEN_ERR_CODE code);
  void cbSendMessageResult(long long messageId, vy::rtm::PEER_MESSAGE_ERR_CODE code);
  void cbMessageReceivedFromPeer(const char* peerId, const vy::rtm::IMessage* message);

  // A message awaiting the server's "MsgStatus" (peer messages) or
  // "SendChannelMsg" (channel messages), keyed by message id.
  struct MsgInfo {
    int64_t deadline = 0;  // rtc::TimeMillis
    bool peer = true;
    bool offline = false;
    std::string channel_id;
  };

  // Session facts for diagnostics and tests. Worker thread.
  bool IsLoggedIn() const { return logged_in_; }
  int session_step() const { return step_; }
  size_t PendingCount() const { return pending_.size(); }

 private:
  bool OnWorker() const;

  // Bodies run on the worker thread.
  int initialize_w(const char* appId, vy::rtm::IRtmServiceEventHandler* eventHandler);
  void addEventHandler_w(vy::rtm::IRtmServiceEventHandler* eventHandler);
  void removeEventHandler_w(vy::rtm::IRtmServiceEventHandler* eventHandler);
  // Logs out and forgets every handler, so that no callback follows.
  void release_w();
  int cancelMedia_w(long long requestId);
  int setLogFile_w(const char* logFileDirectory);
  int setLogFilter_w(vy::rtm::LOG_FILTER_TYPE filter);
  int setLogFileSize_w(int fileSizeInKBytes);

  // Bodies of the session, messaging, presence and attribute features.
  int login_w(const char* token, const char* userId);
  int logout_w();
  int renewToken_w(const char* token);
  int sendMessageToPeer_w(const char* peerId, const vy::rtm::IMessage* message,
                          const vy::rtm::SendMessageOptions& options);
  vy::rtm::IChannel* createChannel_w(const char* channelId,
                                     vy::rtm::IChannelEventHandler* eventHandler);
  vy::rtm::IRtmCallManager* getRtmCallManager_w(vy::rtm::IRtmCallEventHandler* eventHandler);
  int setParameters_w(const char* parameters);
  int queryPeersOnlineStatus_I(const char* peerIds[], int peerCount, long long requestId);
  int subscribePeersOnlineStatus_I(const char* peerIds[], int peerCount, long long requestId);
  int unsubscribePeersOnlineStatus_I(const char* peerIds[], int peerCount, long long requestId);
  int queryPeersBySubscriptionOption_I(vy::rtm::PEER_SUBSCRIPTION_OPTION option,
                                       long long requestId);
  int setLocalUserAttributes_I(const vy::rtm::RtmAttribute* attributes, int numberOfAttributes,
                               long long requestId);
  int addOrUpdateLocalUserAttributes_I(const vy::rtm::RtmAttribute* attributes,
                                       int numberOfAttributes, long long requestId);
  int deleteLocalUserAttributesByKeys_I(const char* attributeKeys[], int numberOfKeys,
                                        long long requestId);
  int clearLocalUserAttributes_I(long long requestId);
  int getUserAttributes_I(const char* userId, long long requestId);
  int getUserAttributesByKeys_I(const char* userId, const char* attributeKeys[], int numberOfKeys,
                                long long requestId);
  int setChannelAttributes_I(const char* channelId,
                             const vy::rtm::IRtmChannelAttribute* attributes[],
                             int numberOfAttributes,
                             const vy::rtm::ChannelAttributeOptions& options, long long requestId);
  int addOrUpdateChannelAttributes_I(const char* channelId,
                                     const vy::rtm::IRtmChannelAttribute* attributes[],
                                     int numberOfAttributes,
                                     const vy::rtm::ChannelAttributeOptions& options,
                                     long long requestId);
  int deleteChannelAttributesByKeys_I(const char* channelId, const char* attributeKeys[],
                                      int numberOfKeys,
                                      const vy::rtm::ChannelAttributeOptions& options,
                                      long long requestId);
  int clearChannelAttributes_I(const char* channelId,
                               const vy::rtm::ChannelAttributeOptions& options,
                               long long requestId);
  int getChannelAttributes_I(const char* channelId, long long requestId);
  int getChannelAttributesByKeys_I(const char* channelId, const char* attributeKeys[],
                                   int numberOfKeys, long long requestId);
  int getChannelMemberCount_I(const char* channelIds[], int channelCount, long long requestId);

  // Shell.
  ThreadMgr* const worker_;
  // Written under ThreadMgr's lock, read by the worker's pass.
  std::atomic<bool> released_{false};
  // Set once by initialize; empty means not initialized. Worker thread.
  std::string app_id_;
  // Registered handlers, keyed by their address. Worker thread.
  std::map<vy::rtm::IRtmServiceEventHandler*, vy::rtm::IRtmServiceEventHandler*> handlers_;

  // Transport. Worker thread.
  std::unique_ptr<zentho::SyncMsgCrypt> msg_crypt_;  // from the first "Login" on
  std::unique_ptr<XNetClient> tcp_client_;
  CommandRouter router_;
  // Kept from one command to the next: the frame being sent and the command being received.
  static constexpr size_t kKeptFrameCapacity = 256 * 1024;
  std::string send_frame_;
  ReceivedCommand recv_cmd_;
  bool recv_cmd_busy_ = false;

  // Session (vy_rtm_service_session.cc). Worker thread.
  enum Step {
    kStepIdle = 0,        // idle or connected
    kStepLookupDue = 1,   // gateway lookup due at step_time_
    kStepLookupWait = 2,  // lookup posted, waiting until step_time_
    kStepConnect = 3,     // address known, connect on the next pass
    kStepTeardown = 4,    // tear down after a login failure
  };
  // Installs the handlers of the session commands in the router.
  void InstallSessionCommands();
  void SessionPass();
  void StartGatewayRequest();
  // Schedules the next gateway lookup; the app hears of the reconnecting state once until the
  // next login succeeds.
  void RetryAfterLoss(vy::rtm::CONNECTION_CHANGE_REASON reason);
  void OnGatewayDone(bool ok, const std::string& body);
  // Disconnects the TCP client (it writes what it holds first) and forgets
  // the bytes received on it.
  void DropTcpClient();
  // Ends a connection that can no longer be trusted and handles it as lost:
  // the session is made again.
  void AbandonConnection();
  // The first half of AbandonConnection: the connection and the session end, without a report.
  void DropConnection();
  // False when the "Login" could not be sent.
  bool doLogin(const std::string& content);
  std::string GetSvrAddr() const;
  int GetSvrPort() const;
  void OnLoginReply(int code);
  void OnRenewReply(const rapidjson::Value& content);
  // Reports every unanswered renewal once with `code`; the stored token stays.
  void FailRenewals(vy::rtm::RENEW_TOKEN_ERR_CODE code);
  // Answers to renewals carry no id, so one renewal at a time is in flight and the others wait
  // their turn. One unanswered past its deadline would take the answer meant for the next, if it
  // came late; so its connection is dropped, as lost: it and every renewal waiting behind it
  // fail, and the re-login uses the last token the server accepted. True when it did.
  bool ExpireRenewals();
  // Sends the renewal first in line, once the one before it is answered; one the transport
  // refuses fails at once and the next is tried.
  void SendNextRenewal();
  // Whether a session stands for a received `cmd`; logs the drop when none does.
  bool InSession(const std::string& cmd) const;

  bool logged_in_ = false;
  // The last (state, reason) the handlers heard; a service that never logged in counts as
  // logged out.
  vy::rtm::CONNECTION_STATE reported_state_ = vy::rtm::CONNECTION_STATE_DISCONNECTED;
  vy::rtm::CONNECTION_CHANGE_REASON reported_reason_ = vy::rtm::CONNECTION_CHANGE_REASON_LOGOUT;
  // Set while logout runs, so that a logout from its own callbacks returns at once.
  bool logging_out_ = false;
  // Counts logins and logouts, so that work begun in one session is not finished in the next.
  uint64_t session_serial_ = 0;
  bool reconnect_reported_ = false;
  bool forced_offline_ = false;
  bool token_expired_ = false;
  // Renewals of the current connection not yet answered, oldest first; only the first has been
  // sent.
  struct Renewal {
    std::string token;
    int64_t deadline = 0;  // rtc::TimeMillis; 0 until sent
  };
  std::deque<Renewal> renewals_;
  int step_ = kStepIdle;
  int64_t step_time_ = 0;       // rtc::TimeMillis
  int64_t login_deadline_ = 0;  // 0: none
  // A re-login after a loss gets as long as a first login; then the connection is dropped and
  // tried again. 0: none.
  int64_t relogin_deadline_ = 0;
  int64_t net_check_deadline_ = 0;  // 0: none
  int64_t keep_alive_time_ = 0;
  std::string user_id_;
  std::string token_;
  std::string user_sid_;
  std::string session_id_;
  std::string server_addr_;
  int server_port_ = 0;
  std::string private_host_;
  int private_port_ = 0;
  RateLimiter login_limiter_{1, 1000};
  RateLimiter renew_token_limiter_{1, 1000};
  std::unique_ptr<HttpPost> gateway_request_;
  // Requests that ended inside their own callbacks; deleted at the start of
  // the next pass, when they are on no call stack.
  std::vector<std::unique_ptr<HttpPost>> finished_requests_;

  // Peer messages (vy_rtm_service_peer.cc). Worker thread.
  void InstallPeerCommands();
  void SweepPending();
  // Reports every peer send of `pending` (taken out of the pending map) with `code`.
  void ReportPending(const std::map<long long, MsgInfo>& pending,
                     vy::rtm::PEER_MESSAGE_ERR_CODE code);
  void OnRecvMsgFromPeer(const rapidjson::Value& content);
  void OnMsgStatus(const rapidjson::Value& content);
  void getP2POffline();
  void OnOfflineDone(bool ok, const std::string& body);
  void getChanHistory(const std::string& channelId);
  void getP2PHistory();
  // Starts a history request in `slot` unless one is already running there.
  void StartHistoryRequest(std::unique_ptr<HttpPost>* slot, const char* format,
                           const std::string& body);
  void DropPeerRequests();
  // The flood limit of sends.
  bool MsgTooOfen() const;
  HttpPost::Request ServiceRequest(const char* format, const std::string& body) const;

  // A new pending send with its deadline.
  MsgInfo& AddPending(long long id);

  std::map<long long, MsgInfo> pending_;
  int64_t next_sweep_ = 0;
  // No later than the earliest deadline in pending_ (answers may have taken it out).
  int64_t pending_due_ = 0;
  std::unique_ptr<HttpPost> offline_request_;
  std::unique_ptr<HttpPost> chan_history_request_;
  std::unique_ptr<HttpPost> p2p_history_request_;

  // Requests that await a reply (vy_rtm_service_requests.cc). Worker thread.
  //
  // Each request is reported exactly once: by its reply, by its time-out, or with 102 when
  // logout (or release) comes first. The kinds number the entries of requests_; a kind
  // decides which callback reports the request.
  enum RequestKind {
    kQueryPeersOnline = 1,
    kSubscribePeers,
    kUnsubscribePeers,
    kQuerySubscribedPeers,
    kGetMemberCount,
    kSetUserAttributes,
    kAddOrUpdateUserAttributes,
    kDeleteUserAttributes,
    kClearUserAttributes,
    kGetUserAttributes,  // scope: the user asked about
    kGetUserAttributesByKeys,
    kSetChannelAttributes,
    kAddOrUpdateChannelAttributes,
    kDeleteChannelAttributes,
    kClearChannelAttributes,
    kGetChannelAttributes,
    kGetChannelAttributesByKeys,
    // Channel requests, from here on. Their answers carry no id, so each family of a channel is
    // answered in the order sent, one at a time (RequestTable::AddInOrder), and all end with the
    // connection; one left without an answer ends the connection.
    kJoinChannel,        // id 0, scope: the channel
    kGetChannelMembers,  // id 0, scope: the channel
    kRejoinChannel,      // id 0, scope: the channel; a join the channel made after a login
    kLeaveChannel,       // id 0, scope: the channel
    kDropChannel,        // id 0, scope: the channel; our own leave after a late join
  };
  // The prologue of every request body: 101 before initialize, 102 without a session, else 0.
  int RequestPrologue() const;
  // True when `count` is 0, or `items` holds `count` texts that are neither null nor empty.
  static bool AllNonEmpty(const char* const items[], int count);
  // Sends the command of an accepted request and waits for its reply.
  void SendRequest(RequestKind kind, long long requestId, const char* cmd, const std::string& body,
                   std::string scope = {}, RequestTable::Pairs pairs = {});
  // The integer "Code" of a reply to `cmd`; `failure`, with a log line, when it has none.
  static int ReplyCode(const char* cmd, const rapidjson::Value& content, int failure);
  // The integer "MsgId" of a reply to `cmd`; false, with a log line, without a session or id.
  bool ReadReplyId(const char* cmd, const rapidjson::Value& content, long long* id) const;
  // Takes out the request of one of `kinds` that reply `cmd` answers; none, with a log line,
  // when no such request waits (a late or repeated reply).
  std::optional<RequestTable::Entry> TakeRequest(const char* cmd, std::initializer_list<int> kinds,
                                                 long long id);
  // Reports requests whose time has passed with their time-out codes.
  void SweepRequests();
  enum RequestEnd { kRequestTimedOut, kRequestLoggedOut, kRequestConnectionLost };
  // Reports a request that got no reply through the callback of its kind, with its family's
  // time-out code or 102 (or, for channel requests, 1 at a lost connection).
  void ReportRequest(const RequestTable::Entry& entry, RequestEnd end);
  // Reports a skipped part of a reply to `cmd`.
  static void LogSkipped(const char* cmd, size_t skipped);

  RequestTable requests_;

  // Presence and member counts (vy_rtm_service_presence.cc). Worker thread.
  void InstallPresenceCommands();
  void OnQueryOnlineStatusReply(const rapidjson::Value& content);
  void OnPeerOnlineStatus(const rapidjson::Value& content);
  void OnSubscriptionReply(const char* cmd, RequestKind kind, const rapidjson::Value& content);
  void OnQueryOnlineSubStatusReply(const rapidjson::Value& content);
  void OnGetChanMemberSizeReply(const rapidjson::Value& content);
  void cbQueryPeersOnlineStatusResult(long long requestId,
                                      const vy::rtm::PeerOnlineStatus* statuses, int count,
                                      vy::rtm::QUERY_PEERS_ONLINE_STATUS_ERR code);
  void cbSubscriptionRequestResult(long long requestId, vy::rtm::PEER_SUBSCRIPTION_STATUS_ERR code);
  void cbQueryPeersBySubscriptionOptionResult(long long requestId, const char* peerIds[], int count,
                                              vy::rtm::QUERY_PEERS_BY_SUBSCRIPTION_OPTION_ERR code);
  void cbGetChannelMemberCountResult(long long requestId, const vy::rtm::ChannelMemberCount* counts,
                                     int count, vy::rtm::GET_CHANNEL_MEMBER_COUNT_ERR_CODE code);

  RateLimiter query_online_limiter_{9, 5000};
  RateLimiter subscribe_limiter_{9, 5000};
  RateLimiter unsubscribe_limiter_{9, 5000};
  RateLimiter query_subscribed_limiter_{9, 5000};
  RateLimiter member_count_limiter_{0, 1000};

  // User and channel attributes (vy_rtm_service_attributes.cc). Worker thread.
  void InstallAttributeCommands();
  // After every login: the server forgets a user's attributes with the connection.
  void ResendUserAttributes();
  void OnAttributeWriteReply(const char* cmd, std::initializer_list<int> kinds,
                             const rapidjson::Value& content);
  // A write of the local user's attributes that the server accepted changes the mirror.
  void MirrorUserAttributes(const RequestTable::Entry& write);
  void OnUserAttributesReply(const char* cmd, RequestKind kind, const rapidjson::Value& content);
  void OnChannelAttributesReply(const char* cmd, RequestKind kind, const rapidjson::Value& content);
  int CheckChannelAttributes(const char* channelId,
                             const vy::rtm::IRtmChannelAttribute* attributes[], int count) const;
  int writeChannelAttributes(RequestKind kind, const char* channelId,
                             const vy::rtm::IRtmChannelAttribute* attributes[], int count,
                             const vy::rtm::ChannelAttributeOptions& options, long long requestId);
  int writeLocalUserAttributes(RequestKind kind, const vy::rtm::RtmAttribute* attributes, int count,
                               long long requestId);
  void cbAttributeResult(RequestKind kind, long long requestId,
                         vy::rtm::ATTRIBUTE_OPERATION_ERR code);
  void cbGetUserAttributesResult(long long requestId, const char* userId,
                                 const vy::rtm::RtmAttribute* attributes, int count,
                                 vy::rtm::ATTRIBUTE_OPERATION_ERR code);
  void cbGetChannelAttributesResult(long long requestId,
                                    const vy::rtm::IRtmChannelAttribute* attributes[], int count,
                                    vy::rtm::ATTRIBUTE_OPERATION_ERR code);

  // The local user's attributes as the server has accepted them, sent again after every login;
  // emptied by logout.
  std::map<std::string, std::string> user_attributes_;
  RateLimiter user_attributes_write_limiter_{9, 5000};
  RateLimiter user_attributes_read_limiter_{39, 5000};
  RateLimiter channel_attributes_write_limiter_{9, 5000};
  RateLimiter channel_attributes_read_limiter_{9, 5000};

  // Channels (vy_rtm_service_channels.cc). Worker thread.
  void InstallChannelCommands();
  VyChannel* FindChannel(const std::string& channelId) const;
  // Fan-outs walk a snapshot and skip channels that left the registry meanwhile.
  std::vector<std::pair<std::string, VyChannel*>> ChannelSnapshot() const;
  bool StillRegistered(const std::pair<std::string, VyChannel*>& entry) const;
  // A channel request that got no answer: its time-out, the lost connection or the logout.
  // Ended requests and those of channels no longer registered are not reported.
  void ReportChannelRequest(const RequestTable::Entry& entry, RequestEnd end);
  // Sends a join, leave or member list, or queues it behind the one of its channel and command
  // still on its way (or, with `waits`, behind the channel's own join after a login).
  void SendInOrder(RequestKind kind, const std::string& channelId, const char* cmd,
                   const std::string& content, bool waits = false);
  // An answer `cmd` of `channelId` has come: the requests it answers are marked for
  // RequestTable::TakeAnswered, and those queued behind them go out. False when none was on
  // its way.
  bool AnswerChannel(const char* cmd, const std::string& channelId);
  // After an answer to a join of `channelId` (`in`: with success): the leaves and member lists
  // that waited for the channel's own join go out when the user is in the channel, and end
  // when no join is left to put the user in (a leave with 0, a list with 3).
  void SettleWaiting(const std::string& channelId, bool in);
  // The result of a channel send, to its channel if that is still registered.
  void ReportChannelSend(long long messageId, const MsgInfo& info, int code);
  // The connection is gone: no channel is joined, and every channel request on its way has
  // failed.
  void LoseChannels();
  // A join answered with success after it had ended (its channel released): the user is left
  // out of the channel again.
  void LeaveUnwanted(const std::string& channelId);
  // Joins again the channels that want it; `login` marks them first.
  void RejoinChannels(bool login);
  // Takes `channels` out of the registry and detaches them (102 at logout, 101 at release).
  void DetachChannels(const std::vector<std::pair<std::string, VyChannel*>>& channels, int code);

  // Channels made by createChannel, by id. The app owns them; the registry only finds them.
  std::map<std::string, VyChannel*> channels_;
  // A rejoin was refused by a channel's join limiter; later passes try again.
  bool rejoin_due_ = false;
  // Set by release: the logout it makes detaches channels for good (101).
  bool releasing_ = false;

  // Call invitations (vy_rtm_service_calls.cc). Worker thread.
  void InstallCallCommands();
  // Sends a call acknowledgement {"CallId","FromUId" (own id),"ToUId","Code"}.
  void doCallAck(const char* cmd, const std::string& callId, const std::string& toUserId, int code);
  // At release: the manager lives on until the app's release, without a service.
  void DetachCallManager();

  // Made by the first getRtmCallManager; owned by the app, which ends it with release().
  VyRtmCallManager* call_manager_ = nullptr;

  // Log settings. Worker thread.
  std::string log_file_path_;
  vy::rtm::LOG_FILTER_TYPE log_filter_ = vy::rtm::LOG_FILTER_INFO;
  int log_file_size_kb_ = 2048;
};

}  // namespace vy

#endif  // CORE_VY_RTM_SERVICE_H_

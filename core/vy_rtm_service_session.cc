// The session of VyRtmService: login and logout, the gateway lookup, the connection and its
// keep-alive, re-login after a loss, the network probe, token renewal, and the session
// commands of the server. Everything here runs on the worker thread.
#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "core/json_util.h"
#include "core/rand_str.h"
#include "core/rtc_log.h"
#include "core/session_wire.h"
#include "core/vy_channel.h"
#include "core/vy_rtm_call_manager.h"
#include "core/vy_rtm_service.h"
#include "rtc_base/base/time_utils.h"

namespace vy {

namespace {

constexpr int64_t kLoginTimeoutMs = 12000;
constexpr int64_t kGatewayWaitMs = 3000;
constexpr int64_t kRetryDelayMs = 2000;
constexpr int64_t kKeepAliveIntervalMs = 5000;
constexpr int64_t kNetCheckTimeoutMs = 4000;
constexpr unsigned kUserSIdLength = 32;

}  // namespace

int VyRtmService::login_w(const char* token, const char* userId) {
  if (!IsInitialized()) return rtm::LOGIN_ERR_NOT_INITIALIZED;
  if (!user_id_.empty()) return rtm::LOGIN_ERR_ALREADY_LOGGED_IN;
  if (userId == nullptr || userId[0] == '\0') return rtm::LOGIN_ERR_INVALID_ARGUMENT;
  user_id_ = userId;
  // A null token logs in again with the one given before.
  if (token != nullptr) token_ = token;
  if (!login_limiter_.Allow()) {
    user_id_.clear();
    return rtm::LOGIN_ERR_TOO_OFTEN;
  }
  RtcPrintf(kRtcLogInfo, "API Login user:%s", user_id_.c_str());
  ++session_serial_;
  forced_offline_ = false;
  token_expired_ = false;
  reconnect_reported_ = false;
  relogin_deadline_ = 0;
  // A lookup still running for an earlier attempt would name a session of that attempt.
  gateway_request_.reset();
  step_ = kStepLookupDue;
  step_time_ = 0;
  login_deadline_ = rtc::TimeMillis() + kLoginTimeoutMs;
  cbConnectionStateChanged(rtm::CONNECTION_STATE_CONNECTING, rtm::CONNECTION_CHANGE_REASON_LOGIN);
  return rtm::LOGIN_ERR_OK;
}

int VyRtmService::logout_w() {
  // A handler that answers the logout's own reports with another logout is not followed
  // round again; one that logged in from inside them is logged out.
  if (logging_out_ && user_id_.empty()) return 0;
  logging_out_ = true;
  ++session_serial_;
  RtcPrintf(kRtcLogInfo, "API Logout");
  // A login still waiting for its outcome gets it from the logout.
  const bool login_running = login_deadline_ != 0;
  // Renewals still unanswered are reported as ended by the logout, not as a lost connection.
  std::deque<Renewal> renewals;
  renewals.swap(renewals_);
  doSendMsg("Logout", "");
  step_ = kStepIdle;
  gateway_request_.reset();
  DropPeerRequests();
  logged_in_ = false;
  net_check_deadline_ = 0;
  login_deadline_ = 0;
  reconnect_reported_ = false;
  relogin_deadline_ = 0;
  user_id_.clear();
  // The client writes what it holds, "Logout" included, before it closes.
  DropTcpClient();
  // The session is gone before the app hears of it, so that a login from inside the reports
  // stands and a send from inside them is refused at once.
  std::map<long long, MsgInfo> pending;
  pending.swap(pending_);
  std::vector<RequestTable::Entry> requests = requests_.TakeAll();
  user_attributes_.clear();
  // Channels stay registered through the reports, which go to their handlers, and are
  // detached after them; none is joined any more.
  const auto channels = ChannelSnapshot();
  for (const auto& entry : channels) entry.second->LostConnection();
  cbConnectionStateChanged(rtm::CONNECTION_STATE_DISCONNECTED,
                           rtm::CONNECTION_CHANGE_REASON_LOGOUT);
  if (login_running) cbLoginFailure(rtm::LOGIN_ERR_ABORTED_BY_LOGOUT);
  ReportPending(pending, rtm::PEER_MESSAGE_ERR_USER_NOT_LOGGED_IN);
  for (const Renewal& renewal : renewals) {
    cbRenewTokenResult(renewal.token.c_str(), rtm::RENEW_TOKEN_ERR_NOT_LOGGED_IN);
  }
  for (const auto& [id, info] : pending) {
    if (!info.peer) ReportChannelSend(id, info, rtm::CHANNEL_MESSAGE_ERR_USER_NOT_LOGGED_IN);
  }
  for (const RequestTable::Entry& request : requests) ReportRequest(request, kRequestLoggedOut);
  if (call_manager_ != nullptr) call_manager_->EndInvitations();
  DetachChannels(channels, releasing_ ? rtm::CHANNEL_MESSAGE_ERR_NOT_INITIALIZED
                                      : rtm::CHANNEL_MESSAGE_ERR_USER_NOT_LOGGED_IN);
  logging_out_ = false;
  return 0;
}

int VyRtmService::renewToken_w(const char* token) {
  if (token == nullptr) {
    cbRenewTokenResult(nullptr, rtm::RENEW_TOKEN_ERR_INVALID_ARGUMENT);
    return rtm::RENEW_TOKEN_ERR_INVALID_ARGUMENT;
  }
  if (!IsInitialized()) {
    cbRenewTokenResult(token, rtm::RENEW_TOKEN_ERR_NOT_INITIALIZED);
    return rtm::RENEW_TOKEN_ERR_NOT_INITIALIZED;
  }
  if (!logged_in_) {
    cbRenewTokenResult(token, rtm::RENEW_TOKEN_ERR_NOT_LOGGED_IN);
    return rtm::RENEW_TOKEN_ERR_NOT_LOGGED_IN;
  }
  if (!renew_token_limiter_.Allow()) return rtm::RENEW_TOKEN_ERR_TOO_OFTEN;
  // The token is kept for later re-logins only once the server has taken it.
  renewals_.push_back({token, 0});
  // Behind a renewal in flight it waits its turn.
  if (renewals_.size() > 1) return rtm::RENEW_TOKEN_ERR_OK;
  if (!TrySendMsg("RenewAcsToken", BuildRenewTokenBody(token))) {
    renewals_.pop_front();
    cbRenewTokenResult(token, rtm::RENEW_TOKEN_ERR_FAILURE);
    return rtm::RENEW_TOKEN_ERR_FAILURE;
  }
  renewals_.front().deadline = rtc::TimeMillis() + RequestTable::kTimeoutMs;
  return rtm::RENEW_TOKEN_ERR_OK;
}

void VyRtmService::SendNextRenewal() {
  while (!renewals_.empty() && renewals_.front().deadline == 0) {
    if (TrySendMsg("RenewAcsToken", BuildRenewTokenBody(renewals_.front().token))) {
      renewals_.front().deadline = rtc::TimeMillis() + RequestTable::kTimeoutMs;
      return;
    }
    // Taken out first: a handler may renew again or log out.
    const std::string token = std::move(renewals_.front().token);
    renewals_.pop_front();
    cbRenewTokenResult(token.c_str(), rtm::RENEW_TOKEN_ERR_FAILURE);
  }
}

int VyRtmService::setParameters_w(const char* parameters) {
  ServiceParameters params = ParseServiceParameters(parameters);
  switch (params.kind) {
    case ServiceParameters::kPrivateGateway:
      RtcPrintf(kRtcLogInfo, "API setParameters ConfPriCloudAddr %s:%d", params.host.c_str(),
                params.port);
      private_host_ = params.host;
      private_port_ = params.port;
      return 0;
    case ServiceParameters::kNetChanged:
      RtcPrintf(kRtcLogInfo, "API setParameters LocalNetChanged netType:%d", params.net_type);
      if (params.net_type == 0 && logged_in_) {
        net_check_deadline_ = rtc::TimeMillis() + kNetCheckTimeoutMs;
        doSendMsg("CheckNetStatus", BuildCheckNetStatusBody(rtc::Time32()));
      }
      // A network report is not a setting that is taken: it answers -1 whatever it did.
      return -1;
    case ServiceParameters::kUnknown:
      break;
    case ServiceParameters::kInvalid:
      // The setting in force stays: a malformed host would reach the resolver as a name.
      RtcPrintf(kRtcLogWarning,
                "API setParameters refused: not a JSON object, or a malformed host or port");
      break;
  }
  return -1;
}

std::string VyRtmService::GetSvrAddr() const { return GatewayHost(private_host_); }

int VyRtmService::GetSvrPort() const {
  return private_port_ != 0 ? private_port_ : kDefaultGatewayPort;
}

void VyRtmService::DoProcess() {
  // Requests that completed during the last pass are no longer on any call stack.
  finished_requests_.clear();
  // A channel answer missing 10 s after its command went out may still come, and would be taken
  // for the answer to the next command of its channel and kind: only a new connection pairs
  // them again. It goes before any time-out is reported, so that what a report sends cannot go
  // onto it.
  const bool out_of_step = logged_in_ && requests_.OrderLost(rtc::TimeMillis());
  const uint64_t session = session_serial_;
  if (out_of_step) {
    RtcPrintf(kRtcLogWarning, "Channel answers are out of step: connecting again");
    DropConnection();
  }
  SweepPending();
  SweepRequests();
  if (out_of_step) {
    // Unless a report has logged out, or out and in again.
    if (session == session_serial_) OnServerDisconnect();
    return;
  }
  if (ExpireRenewals()) return;
  // A broken stream is handled as a lost connection.
  if (CheckRecvStream()) return;
  SessionPass();
  if (rejoin_due_ && logged_in_) RejoinChannels(false);
  if (call_manager_ != nullptr) call_manager_->DoProcess();
}

int64_t VyRtmService::NextDueMs() const {
  const int64_t now = rtc::TimeMillis();
  if (IsReleased() || !finished_requests_.empty() || IsBroken()) return now;
  int64_t due = kNeverDue;
  auto at = [&due](int64_t t) { due = std::min(due, t); };
  if (!pending_.empty()) at(std::max(pending_due_, next_sweep_));
  if (requests_.size() != 0) at(requests_.EarliestDeadline());
  // Only the first renewal is in flight.
  if (!renewals_.empty() && renewals_.front().deadline != 0) at(renewals_.front().deadline);
  if (login_deadline_ != 0) at(login_deadline_);
  if (relogin_deadline_ != 0) at(relogin_deadline_);
  if (net_check_deadline_ != 0) at(net_check_deadline_);
  switch (step_) {
    case kStepIdle:
      if (logged_in_) at(keep_alive_time_);
      break;
    case kStepLookupDue:
    case kStepLookupWait:
      at(step_time_);
      break;
    default:
      at(now);
      break;
  }
  if (rejoin_due_ && logged_in_) {
    // A channel whose join the limiter refuses is tried again when its window ends; with none
    // left wanting a join, the next pass clears the flag.
    int64_t rejoin = now;
    bool any = false;
    for (const auto& [id, channel] : channels_) {
      if (!channel->NeedsRejoin()) continue;
      rejoin = any ? std::min(rejoin, channel->RejoinDueMs(now)) : channel->RejoinDueMs(now);
      any = true;
    }
    at(rejoin);
  }
  if (call_manager_ != nullptr) at(call_manager_->NextDueMs());
  return due;
}

void VyRtmService::SessionPass() {
  const int64_t now = rtc::TimeMillis();
  if (login_deadline_ != 0 && now >= login_deadline_) {
    logged_in_ = false;
    login_deadline_ = 0;
    user_id_.clear();
    // The teardown step is set before the callbacks, so a login made inside them stands.
    step_ = kStepTeardown;
    cbConnectionStateChanged(rtm::CONNECTION_STATE_DISCONNECTED,
                             rtm::CONNECTION_CHANGE_REASON_LOGIN_TIMEOUT);
    cbLoginFailure(rtm::LOGIN_ERR_TIMEOUT);
    return;
  }
  if (relogin_deadline_ != 0 && now >= relogin_deadline_) {
    relogin_deadline_ = 0;
    if (!user_id_.empty() && !logged_in_) {
      // The app was told once that the connection is being restored; this is another try.
      RtcPrintf(kRtcLogWarning, "User: %s re-login not done within %lld ms; connecting again",
                user_id_.c_str(), static_cast<long long>(kLoginTimeoutMs));
      DropTcpClient();
      gateway_request_.reset();
      RetryAfterLoss(rtm::CONNECTION_CHANGE_REASON_INTERRUPTED);
      return;
    }
  }
  if (net_check_deadline_ != 0 && now >= net_check_deadline_) {
    net_check_deadline_ = 0;
    AbandonConnection();
    return;
  }
  switch (step_) {
    case kStepIdle:
      if (logged_in_ && now >= keep_alive_time_) {
        keep_alive_time_ = now + kKeepAliveIntervalMs;
        doSendMsg("KeepAlive", "");
      }
      break;
    case kStepLookupDue:
      if (now >= step_time_) {
        step_ = kStepLookupWait;
        step_time_ = now + kGatewayWaitMs;
        RtcPrintf(kRtcLogError, "User: %s GetGateWay !", user_id_.c_str());
        DropTcpClient();
        if (!gateway_request_) StartGatewayRequest();
      }
      break;
    case kStepLookupWait:
      if (now >= step_time_) {
        gateway_request_.reset();
        step_ = kStepLookupDue;
        step_time_ = now + kRetryDelayMs;
      }
      break;
    case kStepConnect:
      step_ = kStepIdle;
      // The client may report a failure from inside the call.
      if (!tcp_client_) ConnectServer(server_addr_, server_port_);
      break;
    case kStepTeardown:
      logged_in_ = false;
      step_ = kStepIdle;
      DropTcpClient();
      gateway_request_.reset();
      break;
    default:
      step_ = kStepIdle;
      break;
  }
}

void VyRtmService::StartGatewayRequest() {
  HttpPost::Request request;
  request.agent = kHttpAgent;
  request.url = FormatServiceUrl(kGatewayUrlFormat, GetSvrAddr(), GetSvrPort());
  request.content_type = kFormContentType;
  request.body = BuildGatewayBody(app_id_, user_id_, token_);
  request.timeout_ms = static_cast<int>(kGatewayWaitMs);
  request.max_body_bytes = kMaxGatewayAnswerBytes;
  gateway_request_ = HttpPost::Start(
      request, [this](bool ok, const std::string& body) { OnGatewayDone(ok, body); });
}

void VyRtmService::DropTcpClient() {
  // Bytes of the old connection must not continue into the next one.
  ClearAll();
  DropServer();
}

void VyRtmService::DropConnection() {
  DropTcpClient();
  gateway_request_.reset();
  logged_in_ = false;
  net_check_deadline_ = 0;
}

void VyRtmService::AbandonConnection() {
  DropConnection();
  OnServerDisconnect();
}

void VyRtmService::OnGatewayDone(bool ok, const std::string& body) {
  if (!gateway_request_) {
    RtcPrintf(kRtcLogError, "OnHttpRequestDone Server error...");
    return;
  }
  // Deleted on the next pass: the request is on the call stack.
  finished_requests_.push_back(std::move(gateway_request_));
  if (!ok || body.empty()) {
    if (step_ != kStepConnect) {
      step_ = kStepLookupDue;
      step_time_ = rtc::TimeMillis() + kRetryDelayMs;
    }
    return;
  }
  GatewayAnswer answer = ParseGatewayAnswer(body.data(), body.size());
  switch (answer.kind) {
    case GatewayAnswer::kInvalid:
      RtcPrintf(kRtcLogWarning,
                "Gateway answer is not a JSON object or its session id is too long; retrying");
      break;
    case GatewayAnswer::kNoAddress:
      session_id_ = answer.session_id;
      RtcPrintf(kRtcLogWarning, "Gateway answer holds no usable address; retrying");
      break;
    case GatewayAnswer::kAddress:
      session_id_ = answer.session_id;
      server_addr_ = answer.address;
      server_port_ = answer.port;
      step_ = kStepConnect;
      break;
    case GatewayAnswer::kRefused:
      user_id_.clear();
      // One failure is reported once: the deadline would report it again.
      login_deadline_ = 0;
      step_ = kStepTeardown;
      cbConnectionStateChanged(rtm::CONNECTION_STATE_DISCONNECTED,
                               rtm::CONNECTION_CHANGE_REASON_LOGIN_FAILURE);
      cbLoginFailure(static_cast<rtm::LOGIN_ERR_CODE>(answer.code));
      break;
  }
}

void VyRtmService::OnServerConnected() {
  RtcPrintf(kRtcLogInfo, "User: %s OnServerConnected !", user_id_.c_str());
  // A connection made outside a session (no user) has nobody to log in.
  if (user_id_.empty()) return;
  user_sid_.clear();
  // Without its random texts the Login is not sent; the attempt counts as a failed connection
  // and is retried (a first login still ends at its deadline).
  if (!CreateRandomString(user_sid_, kUserSIdLength)) {
    RtcPrintf(kRtcLogError, "User: %s Login not sent: no random UserSId", user_id_.c_str());
    RetryAfterLoss(rtm::CONNECTION_CHANGE_REASON_LOGIN_FAILURE);
    return;
  }
  if (!doLogin(BuildLoginBody(user_id_, user_sid_, token_, session_id_))) {
    RetryAfterLoss(rtm::CONNECTION_CHANGE_REASON_LOGIN_FAILURE);
  }
}

bool VyRtmService::doLogin(const std::string& content) {
  RenewMsgCrypt();
  return TrySendMsg("Login", content);
}

void VyRtmService::RetryAfterLoss(rtm::CONNECTION_CHANGE_REASON reason) {
  step_ = kStepLookupDue;
  step_time_ = rtc::TimeMillis() + kRetryDelayMs;
  // A first login has its own deadline.
  if (login_deadline_ == 0 && relogin_deadline_ == 0) {
    relogin_deadline_ = rtc::TimeMillis() + kLoginTimeoutMs;
  }
  if (!reconnect_reported_) {
    reconnect_reported_ = true;
    cbConnectionStateChanged(rtm::CONNECTION_STATE_RECONNECTING, reason);
  }
}

void VyRtmService::OnServerDisconnect() {
  // The session is over before the loss is reported: a request made from inside the report is
  // refused as one made while the connection is made again, not sent on the lost one.
  if (logged_in_) {
    logged_in_ = false;
    net_check_deadline_ = 0;
  }
  // Without a user there is no session to restore (a refused login, or a logout underway).
  if (forced_offline_ || token_expired_ || user_id_.empty()) {
    if (step_ != kStepTeardown) step_ = kStepIdle;
  } else {
    RetryAfterLoss(rtm::CONNECTION_CHANGE_REASON_INTERRUPTED);
  }
  RtcPrintf(kRtcLogError, "User: %s OnServerDisconnect !", user_id_.c_str());
  // Answers to renewals sent on the lost connection will not come.
  FailRenewals(rtm::RENEW_TOKEN_ERR_FAILURE);
  LoseChannels();
}

void VyRtmService::OnServerConnectionFailure() {
  if (!user_id_.empty()) {
    RetryAfterLoss(rtm::CONNECTION_CHANGE_REASON_LOGIN_FAILURE);
  }
  RtcPrintf(kRtcLogError, "User: %s OnServerConnectionFailure !", user_id_.c_str());
}

bool VyRtmService::InSession(const std::string& cmd) const {
  if (logged_in_) return true;
  // Before the login is answered, or once the session has ended, the server has nothing to
  // tell this user but the answer to "Login".
  RtcPrintf(kRtcLogWarning, "Recv cmd=%s dropped: no session", cmd.c_str());
  return false;
}

void VyRtmService::InstallSessionCommands() {
  router_.SetHandler("Login", [this](const rapidjson::Value& content) {
    OnLoginReply(ReplyCode("Login", content, rtm::LOGIN_ERR_REJECTED));
  });
  router_.SetHandler("Logout", [this](const rapidjson::Value& content) {
    if (!InSession("Logout")) return;
    cbLogout(
        static_cast<rtm::LOGOUT_ERR_CODE>(ReplyCode("Logout", content, rtm::LOGOUT_ERR_REJECTED)));
  });
  // The app renews when it learns of the expiry; the warning itself needs nothing.
  router_.SetHandler("AcsTokenWillExpire", [](const rapidjson::Value&) {});
  router_.SetHandler("AcsTokenDidExpire", [this](const rapidjson::Value&) {
    if (!InSession("AcsTokenDidExpire")) return;
    if (token_expired_) {
      RtcPrintf(kRtcLogWarning, "Recv cmd=AcsTokenDidExpire dropped: already reported");
      return;
    }
    token_expired_ = true;
    cbTokenExpired();
  });
  router_.SetHandler("ForceOffline", [this](const rapidjson::Value&) {
    if (!InSession("ForceOffline")) return;
    if (forced_offline_) {
      RtcPrintf(kRtcLogWarning, "Recv cmd=ForceOffline dropped: already reported");
      return;
    }
    forced_offline_ = true;
    cbConnectionStateChanged(rtm::CONNECTION_STATE_ABORTED,
                             rtm::CONNECTION_CHANGE_REASON_REMOTE_LOGIN);
  });
  router_.SetHandler("CheckNetStatusAck", [this](const rapidjson::Value&) {
    if (InSession("CheckNetStatusAck")) net_check_deadline_ = 0;
  });
  router_.SetHandler("RenewAcsToken",
                     [this](const rapidjson::Value& content) { OnRenewReply(content); });
}

void VyRtmService::OnRenewReply(const rapidjson::Value& content) {
  if (!InSession("RenewAcsToken")) return;
  // One answer per request sent on this connection; any other is not ours to report.
  if (renewals_.empty() || renewals_.front().deadline == 0) {
    RtcPrintf(kRtcLogWarning, "Recv cmd=RenewAcsToken dropped: no renewal awaits an answer");
    return;
  }
  Renewal renewal = std::move(renewals_.front());
  renewals_.pop_front();
  const std::string& token = renewal.token;
  int code = ReplyCode("RenewAcsToken", content, rtm::RENEW_TOKEN_ERR_FAILURE);
  if (code < 0) {
    RtcPrintf(kRtcLogWarning, "Recv cmd=RenewAcsToken with Code %d: renewal failed", code);
    code = rtm::RENEW_TOKEN_ERR_FAILURE;
  }
  if (code == rtm::RENEW_TOKEN_ERR_OK) token_ = token;
  cbRenewTokenResult(token.c_str(), static_cast<rtm::RENEW_TOKEN_ERR_CODE>(code));
  // Unless a handler has logged out, or renewed with nothing waiting (which sent it).
  SendNextRenewal();
}

void VyRtmService::FailRenewals(rtm::RENEW_TOKEN_ERR_CODE code) {
  // Taken out first: a handler may renew again or log out.
  std::deque<Renewal> unanswered;
  unanswered.swap(renewals_);
  for (const Renewal& renewal : unanswered) cbRenewTokenResult(renewal.token.c_str(), code);
}

bool VyRtmService::ExpireRenewals() {
  if (renewals_.empty() || renewals_.front().deadline == 0 ||
      renewals_.front().deadline > rtc::TimeMillis()) {
    return false;
  }
  RtcPrintf(kRtcLogWarning,
            "RenewAcsToken unanswered for %lld ms: %zu renewals failed, connecting again",
            static_cast<long long>(RequestTable::kTimeoutMs), renewals_.size());
  AbandonConnection();
  return true;
}

void VyRtmService::OnLoginReply(int code) {
  if (user_id_.empty()) return;  // an answer for a session that has ended
  // With a lookup or a teardown due, the connection that answered is on its way out (a login
  // made from inside a failure report has not connected yet).
  if (step_ != kStepIdle) {
    RtcPrintf(kRtcLogWarning, "Recv cmd=Login dropped: the connection is being replaced");
    return;
  }
  // One "Login" goes out per connection; a second answer must not end a session that stands.
  if (logged_in_) {
    RtcPrintf(kRtcLogWarning, "Recv cmd=Login dropped: already logged in (Code %d)", code);
    return;
  }
  if (code != 0) {
    user_id_.clear();
    login_deadline_ = 0;
    step_ = kStepTeardown;
    cbConnectionStateChanged(rtm::CONNECTION_STATE_DISCONNECTED,
                             rtm::CONNECTION_CHANGE_REASON_LOGIN_FAILURE);
    cbLoginFailure(rtm::LOGIN_ERR_REJECTED);
    return;
  }
  login_deadline_ = 0;
  logged_in_ = true;
  reconnect_reported_ = false;
  relogin_deadline_ = 0;
  if (call_manager_ != nullptr) call_manager_->SetUserId(user_id_);
  getP2POffline();
  cbLoginSuccess();
}

void VyRtmService::cbLoginSuccess() {
  cbConnectionStateChanged(rtm::CONNECTION_STATE_CONNECTED,
                           rtm::CONNECTION_CHANGE_REASON_LOGIN_SUCCESS);
  // A handler may have logged out from inside the state change.
  if (!logged_in_) return;
  ForEachHandler([](rtm::IRtmServiceEventHandler* handler) { handler->onLoginSuccess(); });
  RtcPrintf(kRtcLogError, "User: %s cbLoginSuccess !", user_id_.c_str());
  // Only while still logged in: a handler may have logged out.
  if (!logged_in_) return;
  // The server forgot the channels with the connection; then the attributes.
  RejoinChannels(true);
  ResendUserAttributes();
}

// Callers set the teardown step before their first callback, so that a login made inside any
// of the callbacks stands.
void VyRtmService::cbLoginFailure(rtm::LOGIN_ERR_CODE code) {
  ForEachHandler([code](rtm::IRtmServiceEventHandler* handler) { handler->onLoginFailure(code); });
  RtcPrintf(kRtcLogError, "User: %s cbLoginFailure (%d)!", user_id_.c_str(),
            static_cast<int>(code));
}

void VyRtmService::cbLogout(rtm::LOGOUT_ERR_CODE code) {
  ForEachHandler([code](rtm::IRtmServiceEventHandler* handler) { handler->onLogout(code); });
}

void VyRtmService::cbTokenExpired() {
  ForEachHandler([](rtm::IRtmServiceEventHandler* handler) { handler->onTokenExpired(); });
}

void VyRtmService::cbRenewTokenResult(const char* token, rtm::RENEW_TOKEN_ERR_CODE code) {
  ForEachHandler([token, code](rtm::IRtmServiceEventHandler* handler) {
    handler->onRenewTokenResult(token, code);
  });
}

void VyRtmService::OnTick() {}

}  // namespace vy

// Plain value types and result enumerations of the vy::rtm interface family.
//
// Every enumeration is 32 bits wide with a fixed underlying type, so a value
// that the service reports unchanged (a server or gateway code) is always a
// valid value of its enumeration. The member names are this library's; the
// numbers are what the service produces and what callers may compare against.
#ifndef VORTM_RTM_TYPES_H_
#define VORTM_RTM_TYPES_H_

#include <cstdint>

namespace vy {
namespace rtm {

// State reported by IRtmServiceEventHandler::onConnectionStateChanged. The
// service reports these (state, reason) pairs: (2,1) login accepted,
// (3,2) logged in, (1,3) login refused, (1,4) login timed out, (4,5)
// connection lost, (4,3) connection failed, (1,6) logged out, (5,8) forced
// offline because the user logged in elsewhere.
enum CONNECTION_STATE : int32_t {
  CONNECTION_STATE_DISCONNECTED = 1,
  CONNECTION_STATE_CONNECTING = 2,
  CONNECTION_STATE_CONNECTED = 3,
  CONNECTION_STATE_RECONNECTING = 4,
  CONNECTION_STATE_ABORTED = 5,
};

enum CONNECTION_CHANGE_REASON : int32_t {
  CONNECTION_CHANGE_REASON_LOGIN = 1,
  CONNECTION_CHANGE_REASON_LOGIN_SUCCESS = 2,
  CONNECTION_CHANGE_REASON_LOGIN_FAILURE = 3,
  CONNECTION_CHANGE_REASON_LOGIN_TIMEOUT = 4,
  CONNECTION_CHANGE_REASON_INTERRUPTED = 5,
  CONNECTION_CHANGE_REASON_LOGOUT = 6,
  CONNECTION_CHANGE_REASON_REMOTE_LOGIN = 8,
};

// Returned by IRtmService::login, or passed to onLoginFailure. A refusal by
// the gateway is passed on with the gateway's own code.
enum LOGIN_ERR_CODE : int32_t {
  LOGIN_ERR_OK = 0,
  LOGIN_ERR_REJECTED = 1,  // The server refused the login.
  LOGIN_ERR_INVALID_ARGUMENT = 3,
  LOGIN_ERR_ALREADY_LOGGED_IN = 8,
  LOGIN_ERR_TIMEOUT = 9,
  LOGIN_ERR_TOO_OFTEN = 10,
  LOGIN_ERR_NOT_INITIALIZED = 101,
  // Called back: logout() or release() came before the login's outcome.
  LOGIN_ERR_ABORTED_BY_LOGOUT = 102,
};

// Passed to onLogout with the server's code; 0 is success. Returned by
// IRtmService::logout, which also answers NOT_INITIALIZED once the library
// has stopped at process exit.
enum LOGOUT_ERR_CODE : int32_t {
  LOGOUT_ERR_OK = 0,
  // The server's notice carried no integer "Code".
  LOGOUT_ERR_REJECTED = 1,
  // The library has stopped (a logout from a static object's destructor):
  // nothing was sent and nothing was reported.
  LOGOUT_ERR_NOT_INITIALIZED = 101,
};

// Returned by IRtmService::renewToken, or passed to onRenewTokenResult. A
// server's refusal is passed on with the server's own code.
enum RENEW_TOKEN_ERR_CODE : int32_t {
  RENEW_TOKEN_ERR_OK = 0,
  // The connection was lost, or the request could not be sent, before an
  // answer came.
  RENEW_TOKEN_ERR_FAILURE = 1,
  RENEW_TOKEN_ERR_INVALID_ARGUMENT = 2,
  RENEW_TOKEN_ERR_TOO_OFTEN = 3,
  RENEW_TOKEN_ERR_NOT_INITIALIZED = 101,
  RENEW_TOKEN_ERR_NOT_LOGGED_IN = 102,
};

enum PEER_MESSAGE_ERR_CODE : int32_t {
  PEER_MESSAGE_ERR_OK = 0,  // Delivered to the peer.
  PEER_MESSAGE_ERR_TIMEOUT = 2,
  PEER_MESSAGE_ERR_PEER_UNREACHABLE = 3,
  PEER_MESSAGE_ERR_CACHED_BY_SERVER = 4,  // Stored for the offline peer.
  PEER_MESSAGE_ERR_TOO_OFTEN = 5,
  PEER_MESSAGE_ERR_INVALID_USERID = 6,
  PEER_MESSAGE_ERR_INVALID_MESSAGE = 7,
  PEER_MESSAGE_ERR_NOT_INITIALIZED = 101,
  PEER_MESSAGE_ERR_USER_NOT_LOGGED_IN = 102,
};

enum CHANNEL_MESSAGE_ERR_CODE : int32_t {
  CHANNEL_MESSAGE_ERR_OK = 0,
  CHANNEL_MESSAGE_ERR_FAILURE = 1,
  CHANNEL_MESSAGE_ERR_SENT_TIMEOUT = 2,
  // Not joined, or too many messages await the server's answer.
  CHANNEL_MESSAGE_ERR_NOT_AVAILABLE = 3,
  CHANNEL_MESSAGE_ERR_INVALID_MESSAGE = 4,
  CHANNEL_MESSAGE_ERR_NOT_INITIALIZED = 101,
  CHANNEL_MESSAGE_ERR_USER_NOT_LOGGED_IN = 102,
};

// join() returns OK, TOO_OFTEN, NOT_INITIALIZED or USER_NOT_LOGGED_IN; each join it sends
// then ends in onJoinSuccess or onJoinFailure once.
// A join that fails (FAILURE or TIMEOUT) leaves the channel as it was before that join: one
// that was joined, or was being joined again by itself after a login, joins again after the
// next login; one that was not stays out.
enum JOIN_CHANNEL_ERR : int32_t {
  JOIN_CHANNEL_ERR_OK = 0,
  // The server refused the join, or the connection was lost before its answer.
  JOIN_CHANNEL_ERR_FAILURE = 1,
  // No answer within 10 s of the join() call; an answer that still comes is dropped.
  JOIN_CHANNEL_ERR_TIMEOUT = 4,
  JOIN_CHANNEL_ERR_TOO_OFTEN = 7,
  JOIN_CHANNEL_ERR_NOT_INITIALIZED = 101,
  // Not logged in, or logout or a release came before the answer.
  JOIN_CHANNEL_ERR_USER_NOT_LOGGED_IN = 102,
};

// Every leave that returned OK ends in one onLeave: the server's code (0 on success; FAILURE
// when its answer carries no integer "Code"), 0 when it waited for the channel's own join after
// a login and that join was refused, or one of the codes below when its answer cannot come.
// A leave that does not end with 0 leaves the user in the channel: one the server refused acts
// joined at once; after FAILURE or TIMEOUT the channel joins again after the next login.
enum LEAVE_CHANNEL_ERR : int32_t {
  LEAVE_CHANNEL_ERR_OK = 0,
  // The connection was lost before the answer.
  LEAVE_CHANNEL_ERR_FAILURE = 1,
  LEAVE_CHANNEL_ERR_NOT_IN_CHANNEL = 3,
  // No answer within 10 s of the leave() call. Should the answer still come and say that the
  // server took the leave, the channel joins again by itself.
  LEAVE_CHANNEL_ERR_TIMEOUT = 4,
  LEAVE_CHANNEL_ERR_NOT_INITIALIZED = 101,
  // Not logged in, or logout or a release came before the answer.
  LEAVE_CHANNEL_ERR_USER_NOT_LOGGED_IN = 102,
};

// Every getMembers that returned OK ends in one onGetMembers.
enum GET_MEMBERS_ERR : int32_t {
  GET_MEMBERS_ERR_OK = 0,
  // The server refused, its answer held no list, or the connection was lost before it.
  GET_MEMBERS_ERR_FAILURE = 1,
  // Returned when the channel is not joined; reported when the request waited for the
  // channel's own join after a login and that join was refused.
  GET_MEMBERS_ERR_NOT_IN_CHANNEL = 3,
  // No answer within 10 s of the getMembers() call; an answer that still comes is dropped.
  GET_MEMBERS_ERR_TIMEOUT = 4,
  GET_MEMBERS_ERR_TOO_OFTEN = 7,
  GET_MEMBERS_ERR_NOT_INITIALIZED = 101,
  // Not logged in, or logout or a release came before the answer.
  GET_MEMBERS_ERR_USER_NOT_LOGGED_IN = 102,
};

// Every TIMEOUT value below means that the server did not answer within 10 s; a request
// outstanding at logout or release is reported with the enumeration's 102 instead.
enum QUERY_PEERS_ONLINE_STATUS_ERR : int32_t {
  QUERY_PEERS_ONLINE_STATUS_ERR_OK = 0,
  QUERY_PEERS_ONLINE_STATUS_ERR_INVALID_ARGUMENT = 2,
  QUERY_PEERS_ONLINE_STATUS_ERR_TIMEOUT = 4,
  QUERY_PEERS_ONLINE_STATUS_ERR_TOO_OFTEN = 5,
  QUERY_PEERS_ONLINE_STATUS_ERR_NOT_INITIALIZED = 101,
  QUERY_PEERS_ONLINE_STATUS_ERR_USER_NOT_LOGGED_IN = 102,
};

// onSubscriptionRequestResult carries the server's code unchanged, FAILURE when the answer has
// no integer code, or TIMEOUT or 102.
enum PEER_SUBSCRIPTION_STATUS_ERR : int32_t {
  PEER_SUBSCRIPTION_STATUS_ERR_OK = 0,
  PEER_SUBSCRIPTION_STATUS_ERR_FAILURE = 1,  // The server refused, or its answer had no code.
  PEER_SUBSCRIPTION_STATUS_ERR_INVALID_ARGUMENT = 2,
  PEER_SUBSCRIPTION_STATUS_ERR_TIMEOUT = 4,
  PEER_SUBSCRIPTION_STATUS_ERR_TOO_OFTEN = 5,
  PEER_SUBSCRIPTION_STATUS_ERR_OVERFLOW = 6,  // More than 512 peers.
  PEER_SUBSCRIPTION_STATUS_ERR_NOT_INITIALIZED = 101,
  PEER_SUBSCRIPTION_STATUS_ERR_USER_NOT_LOGGED_IN = 102,
};

enum QUERY_PEERS_BY_SUBSCRIPTION_OPTION_ERR : int32_t {
  QUERY_PEERS_BY_SUBSCRIPTION_OPTION_ERR_OK = 0,
  QUERY_PEERS_BY_SUBSCRIPTION_OPTION_ERR_TIMEOUT = 2,
  QUERY_PEERS_BY_SUBSCRIPTION_OPTION_ERR_TOO_OFTEN = 3,
  QUERY_PEERS_BY_SUBSCRIPTION_OPTION_ERR_NOT_INITIALIZED = 101,
  QUERY_PEERS_BY_SUBSCRIPTION_OPTION_ERR_USER_NOT_LOGGED_IN = 102,
};

enum GET_CHANNEL_MEMBER_COUNT_ERR_CODE : int32_t {
  GET_CHANNEL_MEMBER_COUNT_ERR_OK = 0,
  GET_CHANNEL_MEMBER_COUNT_ERR_INVALID_ARGUMENT = 2,
  GET_CHANNEL_MEMBER_COUNT_ERR_TOO_OFTEN = 3,
  GET_CHANNEL_MEMBER_COUNT_ERR_TIMEOUT = 4,
  GET_CHANNEL_MEMBER_COUNT_ERR_NOT_INITIALIZED = 101,
  GET_CHANNEL_MEMBER_COUNT_ERR_USER_NOT_LOGGED_IN = 102,
};

// The service does not look at the option; online status is the only one.
enum PEER_SUBSCRIPTION_OPTION : int32_t {
  PEER_SUBSCRIPTION_OPTION_ONLINE_STATUS = 0,
};

enum ATTRIBUTE_OPERATION_ERR : int32_t {
  ATTRIBUTE_OPERATION_ERR_OK = 0,
  // The server refused the operation, or its answer carried no integer "Code".
  ATTRIBUTE_OPERATION_ERR_FAILURE = 1,
  // A null or empty key in the key list of deleteLocalUserAttributesByKeys,
  // getUserAttributesByKeys or deleteChannelAttributesByKeys
  // (getChannelAttributesByKeys answers INVALID_ARGUMENT).
  ATTRIBUTE_OPERATION_ERR_INVALID_KEY = 2,
  ATTRIBUTE_OPERATION_ERR_INVALID_ARGUMENT = 3,
  ATTRIBUTE_OPERATION_ERR_SIZE_OVERFLOW = 4,  // A value of 8192 bytes or more.
  ATTRIBUTE_OPERATION_ERR_TOO_OFTEN = 5,
  ATTRIBUTE_OPERATION_ERR_TIMEOUT = 6,
  ATTRIBUTE_OPERATION_ERR_NOT_INITIALIZED = 101,
  ATTRIBUTE_OPERATION_ERR_USER_NOT_LOGGED_IN = 102,
};

enum LOCAL_INVITATION_STATE : int32_t {
  LOCAL_INVITATION_STATE_SENT = 0,
  LOCAL_INVITATION_STATE_SENT_TO_SERVER = 1,  // Acknowledged by the server.
  LOCAL_INVITATION_STATE_RECEIVED_BY_PEER = 2,
  LOCAL_INVITATION_STATE_ACCEPTED_BY_PEER = 3,
  LOCAL_INVITATION_STATE_REFUSED_BY_PEER = 4,
  LOCAL_INVITATION_STATE_CANCELING = 5,
};

// Passed to onLocalInvitationFailure.
enum LOCAL_INVITATION_ERR_CODE : int32_t {
  LOCAL_INVITATION_ERR_OK = 0,
  // The server said that the callee is offline, before the callee had the invitation; or, at the
  // 30 s deadline of PEER_NO_RESPONSE, a "CallStatus" other than 1 to 4 came after the last
  // resend.
  LOCAL_INVITATION_ERR_PEER_OFFLINE = 1,
  // The callee did not get the invitation within 30 s of its sending.
  LOCAL_INVITATION_ERR_PEER_NO_RESPONSE = 2,
  // The callee had it but did not answer within 60 s; the library cancels it at the callee
  // with the reason "TimeOut".
  LOCAL_INVITATION_ERR_INVITATION_EXPIRE = 3,
  // logout() or the service's release came while the invitation was running.
  LOCAL_INVITATION_ERR_NOT_LOGGED_IN = 102,
};

enum REMOTE_INVITATION_STATE : int32_t {
  REMOTE_INVITATION_STATE_RECEIVED = 0,
  REMOTE_INVITATION_STATE_REFUSED = 3,   // Our refusal was acknowledged.
  REMOTE_INVITATION_STATE_ACCEPTED = 4,  // Our acceptance was acknowledged.
  REMOTE_INVITATION_STATE_CANCELED = 5,  // Canceled by the caller.
};

// Passed to onRemoteInvitationFailure.
enum REMOTE_INVITATION_ERR_CODE : int32_t {
  REMOTE_INVITATION_ERR_OK = 0,
  // The caller's cancel gave the reason "Offline".
  REMOTE_INVITATION_ERR_PEER_OFFLINE = 1,
  // The acceptance, resent every second, was not acknowledged within 5 s.
  REMOTE_INVITATION_ERR_ACCEPT_FAILURE = 2,
  // No answer within 60 s of the invitation's arrival, a cancel with the reason "TimeOut", or
  // an acknowledgement of the acceptance with a code other than 0.
  REMOTE_INVITATION_ERR_INVITATION_EXPIRE = 3,
  // logout() or the service's release came while the invitation was running, an acceptance on
  // its way included.
  REMOTE_INVITATION_ERR_NOT_LOGGED_IN = 102,
};

// Filter of the library's log file: lines below the filter are dropped and
// LOG_FILTER_OFF silences the log.
enum LOG_FILTER_TYPE : int32_t {
  LOG_FILTER_TRACE = 0,
  LOG_FILTER_DEBUG = 1,
  LOG_FILTER_INFO = 2,
  LOG_FILTER_WARN = 3,
  LOG_FILTER_ERROR = 4,
  LOG_FILTER_CRITICAL = 5,
  LOG_FILTER_OFF = 6,
};

enum MESSAGE_TYPE : int32_t {
  MESSAGE_TYPE_TEXT = 1,
  MESSAGE_TYPE_RAW = 2,
};

// Media transfers are not offered: the media operations never report these.
enum UPLOAD_MEDIA_ERR_CODE : int32_t { UPLOAD_MEDIA_ERR_OK = 0 };
enum DOWNLOAD_MEDIA_ERR_CODE : int32_t { DOWNLOAD_MEDIA_ERR_OK = 0 };
enum CANCEL_MEDIA_ERR_CODE : int32_t { CANCEL_MEDIA_ERR_OK = 0 };

// Declared for the media callbacks of IRtmServiceEventHandler, which are
// never called.
struct MediaOperationProgress;

// A user attribute. The strings belong to whoever built the array.
struct RtmAttribute {
  const char* key = nullptr;
  const char* value = nullptr;
};

// One peer's online status. state is 0 online, 2 offline and 1 when the
// server could not tell.
struct PeerOnlineStatus {
  const char* peerId = nullptr;
  bool isOnline = false;
  int32_t state = 0;
};

struct ChannelMemberCount {
  const char* channelId = nullptr;
  int32_t count = 0;
};

struct SendMessageOptions {
  bool enableOfflineMessaging = false;
  bool enableHistoricalMessaging = false;
};

struct ChannelAttributeOptions {
  bool enableNotificationToChannelMembers = false;
};

}  // namespace rtm
}  // namespace vy

#endif  // VORTM_RTM_TYPES_H_

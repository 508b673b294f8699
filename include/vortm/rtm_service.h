// The messaging service: the root of the vy::rtm interface family.
//
// Threading: every service runs on one process-wide worker thread. Each
// operation called from another thread waits there for the worker to run it
// and returns its result, so the operations may be called from any thread,
// including from inside a callback. Callbacks arrive on the worker thread; a
// callback must not block waiting for the app's own thread, because that
// thread may be waiting for the worker.
//
// Some callbacks run inside the call that causes them, before it returns: a
// refusal reported through a callback (a send, a renewal), the state change
// (2,1) of an accepted login, and everything a logout or release ends ((1,6),
// the running login, every outstanding request with 102). So an app must not
// hold a lock of its own across a call into the library when its callbacks
// take that lock: the callback would wait for it on the worker while the
// caller waits for the worker.
//
// Results: 0 means accepted, negative values report misuse, small positive
// values come from the operation's enumeration, 101 means not initialized and
// 102 not logged in. The outcome of an accepted request arrives later through
// a callback carrying its request id.
#ifndef VORTM_RTM_SERVICE_H_
#define VORTM_RTM_SERVICE_H_

#include <vortm/export.h>
#include <vortm/rtm_call.h>
#include <vortm/rtm_channel.h>
#include <vortm/rtm_message.h>
#include <vortm/rtm_types.h>

namespace vy {
namespace rtm {

// Events of the service, fanned out to every registered handler on the
// worker thread. Pointers passed in live only until the callback returns.
// Every callback does nothing unless overridden.
class VORTM_API IRtmServiceEventHandler {
 public:
  virtual ~IRtmServiceEventHandler() = default;

  virtual void onLoginSuccess() {}
  virtual void onLoginFailure(LOGIN_ERR_CODE errorCode) { (void)errorCode; }
  virtual void onRenewTokenResult(const char* token, RENEW_TOKEN_ERR_CODE errorCode) {
    (void)token, (void)errorCode;
  }
  virtual void onTokenExpired() {}
  virtual void onLogout(LOGOUT_ERR_CODE errorCode) { (void)errorCode; }
  // Called only when the state or its reason changes; a service that never
  // logged in counts as logged out (1,6).
  virtual void onConnectionStateChanged(CONNECTION_STATE state, CONNECTION_CHANGE_REASON reason) {
    (void)state, (void)reason;
  }
  virtual void onSendMessageResult(long long messageId, PEER_MESSAGE_ERR_CODE errorCode) {
    (void)messageId, (void)errorCode;
  }
  virtual void onMessageReceivedFromPeer(const char* peerId, const IMessage* message) {
    (void)peerId, (void)message;
  }
  virtual void onImageMessageReceivedFromPeer(const char* peerId, const IImageMessage* message) {
    (void)peerId, (void)message;
  }
  virtual void onFileMessageReceivedFromPeer(const char* peerId, const IFileMessage* message) {
    (void)peerId, (void)message;
  }
  virtual void onMediaUploadingProgress(long long requestId,
                                        const MediaOperationProgress& progress) {
    (void)requestId, (void)progress;
  }
  virtual void onMediaDownloadingProgress(long long requestId,
                                          const MediaOperationProgress& progress) {
    (void)requestId, (void)progress;
  }
  virtual void onFileMediaUploadResult(long long requestId, IFileMessage* fileMessage,
                                       UPLOAD_MEDIA_ERR_CODE code) {
    (void)requestId, (void)fileMessage, (void)code;
  }
  virtual void onImageMediaUploadResult(long long requestId, IImageMessage* imageMessage,
                                        UPLOAD_MEDIA_ERR_CODE code) {
    (void)requestId, (void)imageMessage, (void)code;
  }
  virtual void onMediaDownloadToFileResult(long long requestId, DOWNLOAD_MEDIA_ERR_CODE code) {
    (void)requestId, (void)code;
  }
  virtual void onMediaDownloadToMemoryResult(long long requestId, const char* memory,
                                             long long length, DOWNLOAD_MEDIA_ERR_CODE code) {
    (void)requestId, (void)memory, (void)length, (void)code;
  }
  virtual void onMediaCancelResult(long long requestId, CANCEL_MEDIA_ERR_CODE code) {
    (void)requestId, (void)code;
  }
  virtual void onQueryPeersOnlineStatusResult(long long requestId,
                                              const PeerOnlineStatus* peersStatus, int peerCount,
                                              QUERY_PEERS_ONLINE_STATUS_ERR errorCode) {
    (void)requestId, (void)peersStatus, (void)peerCount, (void)errorCode;
  }
  virtual void onSubscriptionRequestResult(long long requestId,
                                           PEER_SUBSCRIPTION_STATUS_ERR errorCode) {
    (void)requestId, (void)errorCode;
  }
  virtual void onQueryPeersBySubscriptionOptionResult(
      long long requestId, const char* peerIds[], int peerCount,
      QUERY_PEERS_BY_SUBSCRIPTION_OPTION_ERR errorCode) {
    (void)requestId, (void)peerIds, (void)peerCount, (void)errorCode;
  }
  virtual void onPeersOnlineStatusChanged(const PeerOnlineStatus peersStatus[], int peerCount) {
    (void)peersStatus, (void)peerCount;
  }
  virtual void onSetLocalUserAttributesResult(long long requestId,
                                              ATTRIBUTE_OPERATION_ERR errorCode) {
    (void)requestId, (void)errorCode;
  }
  virtual void onAddOrUpdateLocalUserAttributesResult(long long requestId,
                                                      ATTRIBUTE_OPERATION_ERR errorCode) {
    (void)requestId, (void)errorCode;
  }
  virtual void onDeleteLocalUserAttributesResult(long long requestId,
                                                 ATTRIBUTE_OPERATION_ERR errorCode) {
    (void)requestId, (void)errorCode;
  }
  virtual void onClearLocalUserAttributesResult(long long requestId,
                                                ATTRIBUTE_OPERATION_ERR errorCode) {
    (void)requestId, (void)errorCode;
  }
  virtual void onGetUserAttributesResult(long long requestId, const char* userId,
                                         const RtmAttribute* attributes, int numberOfAttributes,
                                         ATTRIBUTE_OPERATION_ERR errorCode) {
    (void)requestId, (void)userId, (void)attributes, (void)numberOfAttributes, (void)errorCode;
  }
  virtual void onSetChannelAttributesResult(long long requestId,
                                            ATTRIBUTE_OPERATION_ERR errorCode) {
    (void)requestId, (void)errorCode;
  }
  virtual void onAddOrUpdateChannelAttributesResult(long long requestId,
                                                    ATTRIBUTE_OPERATION_ERR errorCode) {
    (void)requestId, (void)errorCode;
  }
  virtual void onDeleteChannelAttributesResult(long long requestId,
                                               ATTRIBUTE_OPERATION_ERR errorCode) {
    (void)requestId, (void)errorCode;
  }
  virtual void onClearChannelAttributesResult(long long requestId,
                                              ATTRIBUTE_OPERATION_ERR errorCode) {
    (void)requestId, (void)errorCode;
  }
  virtual void onGetChannelAttributesResult(long long requestId,
                                            const IRtmChannelAttribute* attributes[],
                                            int numberOfAttributes,
                                            ATTRIBUTE_OPERATION_ERR errorCode) {
    (void)requestId, (void)attributes, (void)numberOfAttributes, (void)errorCode;
  }
  virtual void onGetChannelMemberCountResult(long long requestId,
                                             const ChannelMemberCount* channelMemberCounts,
                                             int channelCount,
                                             GET_CHANNEL_MEMBER_COUNT_ERR_CODE errorCode) {
    (void)requestId, (void)channelMemberCounts, (void)channelCount, (void)errorCode;
  }
};

// The service made by createRtmService. Operations taking a request id fill
// a zero id with a new one (UTC milliseconds in form, each above the last)
// and write it back; the id comes back with the operation's callback. An
// accepted presence, member-count or attribute request is reported exactly
// once: with the server's answer, with its family's TIMEOUT code when none
// comes within 10 s, or with 102 when logout or release comes first. A
// refused request (a non-zero result) is not reported. Once the library has
// stopped at process exit (a call from a static object's destructor), no
// operation runs: those of the service, its channels and its call manager
// that return a code return 101 (sendMessageToPeer with a null message -1,
// as at any time), those that return an object return null.
// The exceptions need no worker and run on the caller's thread as always:
// downloadMediaToMemory, downloadMediaToFile, createFileMessageByUploading
// and createImageMessageByUploading return 0, and createMessage and
// IRtmCallManager::createLocalCallInvitation return new objects.
//
// Rate limits: "10 per 5 s" means that the first request opens a window of
// 5000 ms in which 10 pass; later ones are refused with the family's
// TOO_OFTEN code, and not counted, until the first request after the window
// opens the next one. Windows do not slide, and a service keeps its own for
// its whole life, across logouts. A request refused by its checks does not
// count either.
class VORTM_API IRtmService {
 protected:
  virtual ~IRtmService() = default;

 public:
  // Once per service. Returns 0, or -2 when already initialized, -3 when the
  // app id is null or not exactly 32 characters long, -4 when the handler is
  // null; a refused call changes nothing.
  virtual int initialize(const char* appId, IRtmServiceEventHandler* eventHandler) = 0;
  // Adds a handler; null is ignored and a handler is held at most once.
  virtual void addEventHandler(IRtmServiceEventHandler* eventHandler) = 0;
  // Removes a handler; unknown or null handlers are ignored. A handler may
  // remove itself or others from inside a callback.
  virtual void removeEventHandler(IRtmServiceEventHandler* eventHandler) = 0;
  // Logs out and ends the service. No handler is called once this returns,
  // and the service must not be used again. With immediate true the service
  // is deleted before the call returns, unless the call comes from the
  // worker thread (a callback), where deletion waits for the end of the
  // worker's current pass, as it always does with immediate false. Once the
  // library has stopped at process exit (a release from a static object's
  // destructor), release does nothing: the service is left to the exit.
  virtual void release(bool immediate) = 0;

  // Arms the login; the outcome comes through onConnectionStateChanged and
  // onLoginSuccess or onLoginFailure. Results are LOGIN_ERR_CODE values: 3 a
  // null or empty user id; 8 a user id is held (logged in, logging in or
  // reconnecting, or after a login elsewhere or an expired token, until
  // logout()); 10 more than 2 logins per 1 s; 101. An accepted login (0)
  // gets exactly one outcome: when logout() or release() comes first,
  // onLoginFailure(LOGIN_ERR_ABORTED_BY_LOGOUT) after the change to (1,6).
  virtual int login(const char* token, const char* userId) = 0;
  // Ends the session and returns 0. The change to (1,6) in
  // onConnectionStateChanged is what ends a logout; onLogout follows only if
  // the server answers "Logout" before the connection closes, which it need
  // not do. Once the library has stopped at process exit (a logout from a
  // static object's destructor) nothing is sent or reported and it returns
  // LOGOUT_ERR_NOT_INITIALIZED (101).
  virtual int logout() = 0;
  // Asks the server to take a new token. Results are RENEW_TOKEN_ERR_CODE
  // values. An accepted renewal (0) gets exactly one onRenewTokenResult with
  // its own token: the server's code (0 means later logins use the token;
  // after a refusal they keep the old one), RENEW_TOKEN_ERR_FAILURE when the
  // connection is lost first, or RENEW_TOKEN_ERR_NOT_LOGGED_IN when logout
  // comes first. One renewal is in flight at a time, the others wait their
  // turn. One unanswered for 10 s fails with those waiting behind it, and
  // the service connects and logs in again, as after a lost connection, with
  // the last token the server took. Refusals: 2 a null token, 101, 102, and 1
  // when the request could not be sent, each also reported through
  // onRenewTokenResult; 3 more than 2 renewals per 1 s, with no callback.
  virtual int renewToken(const char* token) = 0;
  // Sends without offline storage. Returns 0 when the message was accepted,
  // which then gets exactly one onSendMessageResult with its message id, or
  // -1 when it was refused; the reason comes through onSendMessageResult
  // before the call returns: 6 a null or empty peer id, 7 an empty text or a
  // content of 32,768 bytes or more, 5 when 300 sends (peer and channel ones
  // together) await their results and the oldest was sent 3 s ago or more,
  // 101, or 102 when the user is not logged in. That includes the time the
  // connection is being made again after a loss (from the (4,5) report,
  // inside it included, until (3,2)), with or without offline storage: nothing waits
  // for the login, and the app sends again after it.
  // A null message, or one whose earlier send still awaits its result, is
  // refused with -1 and no callback: one message object has one send pending
  // at a time. PEER_MESSAGE_ERR_TIMEOUT means that no answer came within
  // 10 s, not that the message was lost: a slow server may still deliver it,
  // so a resend can reach the peer twice.
  virtual int sendMessageToPeer(const char* peerId, const IMessage* message) = 0;

  // Media transfers: the service offers no media, so these exist for the
  // interface's sake only. They do nothing, return 0 (filling a zero request
  // id) and never call back.
  virtual int downloadMediaToMemory(const char* mediaId, long long& requestId) = 0;
  virtual int downloadMediaToFile(const char* mediaId, const char* filePath,
                                  long long& requestId) = 0;
  virtual int cancelMediaDownload(long long requestId) = 0;
  virtual int cancelMediaUpload(long long requestId) = 0;

  // As above; with options.enableOfflineMessaging the server stores a message
  // for an offline peer (result PEER_MESSAGE_ERR_CACHED_BY_SERVER).
  virtual int sendMessageToPeer(const char* peerId, const IMessage* message,
                                const SendMessageOptions& options) = 0;
  // Null for a null or empty id, or one of 256 bytes or more (the server's
  // answers name channels of at most 255); the channel made before for an id
  // that has one.
  virtual IChannel* createChannel(const char* channelId, IChannelEventHandler* eventHandler) = 0;
  virtual IRtmCallManager* getRtmCallManager(IRtmCallEventHandler* eventHandler) = 0;

  // New messages, made on the caller's thread; the caller ends them with
  // IMessage::release(). createMessage() makes an empty text message;
  // createMessage(text) returns null for a null or empty text, and the raw
  // forms for null data or a length below 1. A message's content holds at
  // most 32,767 bytes: a send of a longer one, or of an empty text, is
  // refused as an invalid message. Raw data ends at its first zero byte ('a',
  // 0, 'b' makes a message of length 1), so binary data must be encoded by
  // the app (Base64, say).
  virtual IMessage* createMessage() = 0;
  virtual IMessage* createMessage(const char* text) = 0;
  virtual IMessage* createMessage(const unsigned char* rawData, int length) = 0;
  virtual IMessage* createMessage(const unsigned char* rawData, int length,
                                  const char* description) = 0;

  // Media messages: not offered either; these do nothing and return null or
  // 0, and never call back.
  virtual IFileMessage* createFileMessageByMediaId(const char* mediaId) = 0;
  virtual IImageMessage* createImageMessageByMediaId(const char* mediaId) = 0;
  virtual int createFileMessageByUploading(const char* filePath, long long& requestId) = 0;
  virtual int createImageMessageByUploading(const char* filePath, long long& requestId) = 0;
  // Returns null: apps build channel attributes themselves.
  virtual IRtmChannelAttribute* createChannelAttribute() = 0;

  // Takes a JSON command. "ConfPriCloudAddr" selects a private gateway for
  // the next login: "ServerAdd" a host name, an IPv4 address or an IPv6
  // address (bare or in brackets; absent or empty: the built-in gateway),
  // "Port" 1 to 65535 (absent: 7080). It returns 0, or -1 for a malformed
  // host or port, which leaves the gateway in force unchanged.
  // "LocalNetChanged" (with "netType") reports a network change; with
  // netType 0 while logged in the connection is probed and dropped as lost
  // when the server does not answer within 4 s. It always returns -1. Any
  // other text returns -1.
  virtual int setParameters(const char* parameters) = 0;

  // Presence. After 101 and 102: querying refuses a count below 0 or above
  // 256, or a null or empty peer id, with 2 (INVALID_ARGUMENT); subscribing
  // and unsubscribing refuse a count below 0 or a null or empty id with 2
  // and more than 512 peers with 6. Each of the four allows 10 per 5 s:
  // TOO_OFTEN is 5, and 3 for queryPeersBySubscriptionOption.
  virtual int queryPeersOnlineStatus(const char* peerIds[], int peerCount,
                                     long long& requestId) = 0;
  virtual int subscribePeersOnlineStatus(const char* peerIds[], int peerCount,
                                         long long& requestId) = 0;
  virtual int unsubscribePeersOnlineStatus(const char* peerIds[], int peerCount,
                                           long long& requestId) = 0;
  virtual int queryPeersBySubscriptionOption(PEER_SUBSCRIPTION_OPTION option,
                                             long long& requestId) = 0;

  // Attributes. After 101 and 102 every refusal is an ATTRIBUTE_OPERATION_ERR
  // value: 3 (INVALID_ARGUMENT) a null or empty id where one is needed (the
  // channel attribute writes but clear take an empty channel id), a count
  // below 0, a null array or attribute, a null key or value, more than 32
  // keys to delete from the user's attributes or channel attributes to write,
  // or an empty channel attribute key or value; 2 (INVALID_KEY) a null or
  // empty key in a key list (getChannelAttributesByKeys answers 3); 4
  // (SIZE_OVERFLOW) a channel attribute value of 8192 bytes or more; 5
  // (TOO_OFTEN) past the limit of the group. The four writes of the user's
  // attributes share 10 per 5 s, the two reads of user attributes 40 per
  // 5 s, the four writes of channel attributes 10 per 5 s and their two reads
  // 10 per 5 s.
  virtual int setLocalUserAttributes(const RtmAttribute* attributes, int numberOfAttributes,
                                     long long& requestId) = 0;
  virtual int addOrUpdateLocalUserAttributes(const RtmAttribute* attributes, int numberOfAttributes,
                                             long long& requestId) = 0;
  virtual int deleteLocalUserAttributesByKeys(const char* attributeKeys[], int numberOfKeys,
                                              long long& requestId) = 0;
  virtual int clearLocalUserAttributes(long long& requestId) = 0;
  virtual int getUserAttributes(const char* userId, long long& requestId) = 0;
  virtual int getUserAttributesByKeys(const char* userId, const char* attributeKeys[],
                                      int numberOfKeys, long long& requestId) = 0;

  virtual int setChannelAttributes(const char* channelId, const IRtmChannelAttribute* attributes[],
                                   int numberOfAttributes, const ChannelAttributeOptions& options,
                                   long long& requestId) = 0;
  virtual int addOrUpdateChannelAttributes(const char* channelId,
                                           const IRtmChannelAttribute* attributes[],
                                           int numberOfAttributes,
                                           const ChannelAttributeOptions& options,
                                           long long& requestId) = 0;
  virtual int deleteChannelAttributesByKeys(const char* channelId, const char* attributeKeys[],
                                            int numberOfKeys,
                                            const ChannelAttributeOptions& options,
                                            long long& requestId) = 0;
  virtual int clearChannelAttributes(const char* channelId, const ChannelAttributeOptions& options,
                                     long long& requestId) = 0;
  virtual int getChannelAttributes(const char* channelId, long long& requestId) = 0;
  virtual int getChannelAttributesByKeys(const char* channelId, const char* attributeKeys[],
                                         int numberOfKeys, long long& requestId) = 0;

  // After 101 and 102: 2 for a count below 0 or a null or empty channel id,
  // and 3 (TOO_OFTEN) past 1 request per 1 s.
  virtual int getChannelMemberCount(const char* channelIds[], int channelCount,
                                    long long& requestId) = 0;

  // Log settings, shared by every service of the process (there is one log
  // file). setLogFile (re)opens "<directory>/vy_rtm_sdk.log" and returns 0,
  // -1 for a null, empty or overlong directory, or -2 when the file could
  // not be opened or is not a plain file of this user (a symbolic link, a
  // second name of another file): the log then stays closed and nothing is
  // written through that name. The log holds the texts of messages sent and
  // received, so the file is created 0600, and folders of the directory that
  // do not exist are made 0700. setLogFilter takes a
  // LOG_FILTER_TYPE value and ignores others; it returns 0. setLogFileSize
  // takes kilobytes (0 means 8192) for the next setLogFile and returns 0, or
  // -1 for a negative size, which changes nothing.
  virtual int setLogFile(const char* logFileDirectory) = 0;
  virtual int setLogFilter(LOG_FILTER_TYPE filter) = 0;
  virtual int setLogFileSize(int fileSizeInKBytes) = 0;
};

}  // namespace rtm
}  // namespace vy

extern "C" {

// Returns a new service; end it with IRtmService::release.
VORTM_API vy::rtm::IRtmService* createRtmService();

// The version this client names to the service at login, "1.0.2.0"; the
// library's own version is in <vortm/version.h>.
VORTM_API const char* getRtmSdkVersion();

// Opens the library's log on the file `path` at the filter `level` (0 trace
// to 6 off) with a size limit of `sizeKB` kilobytes and one backup file. Does
// nothing when a log is open already. Returns 0, or a negative value when
// the file could not be opened.
VORTM_API int VyRtm_OpenRtcLog(const char* path, int level, int sizeKB);

// Closes the library's log; later lines are dropped.
VORTM_API void VyRtm_CloseRtcLog();

}  // extern "C"

#endif  // VORTM_RTM_SERVICE_H_

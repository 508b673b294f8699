#include "core/vy_rtm_service.h"

#include <cstdio>
#include <cstring>
#include <ctime>
#include <exception>

#include "core/rtc_log.h"
#include "core/rtm_invoke.h"
#include "core/thread_mgr.h"
#include "core/vy_message.h"
#include "rtc_base/base/location.h"
#include "rtc_base/base/time_utils.h"

namespace vy {

namespace {

constexpr char kBannerLine[] =
    "************************************************************************"
    "************";
constexpr size_t kAppIdLength = 32;
constexpr char kLogFileFormat[] = "%s/vy_rtm_sdk.log";
constexpr size_t kLogPathBufferSize = 1024;
constexpr int kDefaultLargeLogFileKB = 8192;

// Request ids given as 0 are filled on the caller's thread and go back to the
// caller. They come from the message ids' source, UTC milliseconds in form but
// each above the last, so two requests made in one millisecond never share an
// id, and their replies cannot be taken for each other.
void FillRequestId(long long& requestId) {
  if (requestId == 0) requestId = NextMessageId();
}

}  // namespace

VyRtmService::VyRtmService() : JSBuffer(true), worker_(ThreadMgr::Inst()) {
  static_assert(sizeof(kBannerLine) == 85, "the banner line has 84 asterisks");
  char date[512];
  time_t now = time(nullptr);
  struct tm local {};
  localtime_r(&now, &local);
  strftime(date, sizeof(date), "Local Date:%Y-%m-%d %H:%M:%S", &local);
  RtcPrintf(kRtcLogInfo, "%s", kBannerLine);
  RtcPrintf(kRtcLogInfo, "%s", date);
  RtcPrintf(kRtcLogInfo, "API SDK initialize");
  RtcPrintf(kRtcLogInfo, "LOG File path:%s", log_file_path_.c_str());
  InstallSessionCommands();
  InstallPeerCommands();
  InstallPresenceCommands();
  InstallAttributeCommands();
  InstallChannelCommands();
  InstallCallCommands();
  worker_->AddRtm(this, this);
}

// A service deleted without release still leaves its channels and call manager detached.
VyRtmService::~VyRtmService() {
  worker_->RemoveRtm(this);
  DetachChannels(ChannelSnapshot(), 101);
  DetachCallManager();
}

bool VyRtmService::OnWorker() const { return worker_->IsCurrent(); }

int VyRtmService::initialize(const char* appId, rtm::IRtmServiceEventHandler* eventHandler) {
  return InvokeOnThread(worker_, RTC_FROM_HERE, this, &VyRtmService::initialize_w, appId,
                        eventHandler);
}

int VyRtmService::initialize_w(const char* appId, rtm::IRtmServiceEventHandler* eventHandler) {
  if (!app_id_.empty()) return -2;
  // strnlen: an id longer than 32 characters is refused without reading it
  // all.
  if (appId == nullptr || strnlen(appId, kAppIdLength + 1) != kAppIdLength) {
    return -3;
  }
  if (eventHandler == nullptr) return -4;
  app_id_ = appId;
  handlers_[eventHandler] = eventHandler;
  return 0;
}

void VyRtmService::addEventHandler(rtm::IRtmServiceEventHandler* eventHandler) {
  InvokeOnThread(worker_, RTC_FROM_HERE, this, &VyRtmService::addEventHandler_w, eventHandler);
}

void VyRtmService::addEventHandler_w(rtm::IRtmServiceEventHandler* eventHandler) {
  if (eventHandler != nullptr) handlers_[eventHandler] = eventHandler;
}

void VyRtmService::removeEventHandler(rtm::IRtmServiceEventHandler* eventHandler) {
  InvokeOnThread(worker_, RTC_FROM_HERE, this, &VyRtmService::removeEventHandler_w, eventHandler);
}

void VyRtmService::removeEventHandler_w(rtm::IRtmServiceEventHandler* eventHandler) {
  if (eventHandler != nullptr) handlers_.erase(eventHandler);
}

void VyRtmService::release(bool immediate) {
  // At process exit, once the worker has stopped, nothing is torn down: the connection, the
  // TLS library and the log may be gone already, and the system takes the memory back.
  if (worker_->HasEnded()) return;
  RtcPrintf(kRtcLogInfo, "===========SDK release========");
  InvokeOnThread(worker_, RTC_FROM_HERE, this, &VyRtmService::release_w);
  // On the worker the service may be on the call stack (a callback, a tick,
  // a socket signal, a pass): deletion waits for the next pass.
  if (immediate && !OnWorker()) {
    delete this;
    return;
  }
  worker_->ReleaseRtm(this);
}

void VyRtmService::release_w() {
  releasing_ = true;
  logout_w();
  handlers_.clear();
  DetachChannels(ChannelSnapshot(), 101);
  DetachCallManager();
}

void VyRtmService::cbConnectionStateChanged(rtm::CONNECTION_STATE state,
                                            rtm::CONNECTION_CHANGE_REASON reason) {
  // A report that changes nothing (a second logout, a release after one) is not made.
  if (state == reported_state_ && reason == reported_reason_) return;
  reported_state_ = state;
  reported_reason_ = reason;
  ForEachHandler([state, reason](rtm::IRtmServiceEventHandler* handler) {
    handler->onConnectionStateChanged(state, reason);
  });
}

int VyRtmService::login(const char* token, const char* userId) {
  return InvokeOnThread(worker_, RTC_FROM_HERE, this, &VyRtmService::login_w, token, userId);
}

int VyRtmService::logout() {
  return InvokeOnThread(worker_, RTC_FROM_HERE, this, &VyRtmService::logout_w);
}

int VyRtmService::renewToken(const char* token) {
  return InvokeOnThread(worker_, RTC_FROM_HERE, this, &VyRtmService::renewToken_w, token);
}

int VyRtmService::sendMessageToPeer(const char* peerId, const rtm::IMessage* message) {
  return sendMessageToPeer(peerId, message, rtm::SendMessageOptions());
}

int VyRtmService::sendMessageToPeer(const char* peerId, const rtm::IMessage* message,
                                    const rtm::SendMessageOptions& options) {
  if (message == nullptr) return -1;
  return InvokeOnThread(worker_, RTC_FROM_HERE, this, &VyRtmService::sendMessageToPeer_w, peerId,
                        message, options);
}

// Media transfers are not offered; the operations answer at once.
int VyRtmService::downloadMediaToMemory(const char* /*mediaId*/, long long& requestId) {
  FillRequestId(requestId);
  return 0;
}

int VyRtmService::downloadMediaToFile(const char* /*mediaId*/, const char* /*filePath*/,
                                      long long& requestId) {
  FillRequestId(requestId);
  return 0;
}

int VyRtmService::cancelMediaDownload(long long requestId) {
  return InvokeOnThread(worker_, RTC_FROM_HERE, this, &VyRtmService::cancelMedia_w, requestId);
}

int VyRtmService::cancelMediaUpload(long long requestId) {
  return InvokeOnThread(worker_, RTC_FROM_HERE, this, &VyRtmService::cancelMedia_w, requestId);
}

int VyRtmService::cancelMedia_w(long long /*requestId*/) { return 0; }

rtm::IFileMessage* VyRtmService::createFileMessageByMediaId(const char* /*mediaId*/) {
  return nullptr;
}

rtm::IImageMessage* VyRtmService::createImageMessageByMediaId(const char* /*mediaId*/) {
  return nullptr;
}

int VyRtmService::createFileMessageByUploading(const char* /*filePath*/, long long& requestId) {
  FillRequestId(requestId);
  return 0;
}

int VyRtmService::createImageMessageByUploading(const char* /*filePath*/, long long& requestId) {
  FillRequestId(requestId);
  return 0;
}

rtm::IRtmChannelAttribute* VyRtmService::createChannelAttribute() { return nullptr; }

rtm::IChannel* VyRtmService::createChannel(const char* channelId,
                                           rtm::IChannelEventHandler* eventHandler) {
  return InvokeOnThread(worker_, RTC_FROM_HERE, this, &VyRtmService::createChannel_w, channelId,
                        eventHandler);
}

rtm::IRtmCallManager* VyRtmService::getRtmCallManager(rtm::IRtmCallEventHandler* eventHandler) {
  return InvokeOnThread(worker_, RTC_FROM_HERE, this, &VyRtmService::getRtmCallManager_w,
                        eventHandler);
}

int VyRtmService::setParameters(const char* parameters) {
  return InvokeOnThread(worker_, RTC_FROM_HERE, this, &VyRtmService::setParameters_w, parameters);
}

int VyRtmService::queryPeersOnlineStatus(const char* peerIds[], int peerCount,
                                         long long& requestId) {
  FillRequestId(requestId);
  return InvokeOnThread(worker_, RTC_FROM_HERE, this, &VyRtmService::queryPeersOnlineStatus_I,
                        peerIds, peerCount, requestId);
}

int VyRtmService::subscribePeersOnlineStatus(const char* peerIds[], int peerCount,
                                             long long& requestId) {
  FillRequestId(requestId);
  return InvokeOnThread(worker_, RTC_FROM_HERE, this, &VyRtmService::subscribePeersOnlineStatus_I,
                        peerIds, peerCount, requestId);
}

int VyRtmService::unsubscribePeersOnlineStatus(const char* peerIds[], int peerCount,
                                               long long& requestId) {
  FillRequestId(requestId);
  return InvokeOnThread(worker_, RTC_FROM_HERE, this, &VyRtmService::unsubscribePeersOnlineStatus_I,
                        peerIds, peerCount, requestId);
}

int VyRtmService::queryPeersBySubscriptionOption(rtm::PEER_SUBSCRIPTION_OPTION option,
                                                 long long& requestId) {
  FillRequestId(requestId);
  return InvokeOnThread(worker_, RTC_FROM_HERE, this,
                        &VyRtmService::queryPeersBySubscriptionOption_I, option, requestId);
}

int VyRtmService::setLocalUserAttributes(const rtm::RtmAttribute* attributes,
                                         int numberOfAttributes, long long& requestId) {
  FillRequestId(requestId);
  return InvokeOnThread(worker_, RTC_FROM_HERE, this, &VyRtmService::setLocalUserAttributes_I,
                        attributes, numberOfAttributes, requestId);
}

int VyRtmService::addOrUpdateLocalUserAttributes(const rtm::RtmAttribute* attributes,
                                                 int numberOfAttributes, long long& requestId) {
  FillRequestId(requestId);
  return InvokeOnThread(worker_, RTC_FROM_HERE, this,
                        &VyRtmService::addOrUpdateLocalUserAttributes_I, attributes,
                        numberOfAttributes, requestId);
}

int VyRtmService::deleteLocalUserAttributesByKeys(const char* attributeKeys[], int numberOfKeys,
                                                  long long& requestId) {
  FillRequestId(requestId);
  return InvokeOnThread(worker_, RTC_FROM_HERE, this,
                        &VyRtmService::deleteLocalUserAttributesByKeys_I, attributeKeys,
                        numberOfKeys, requestId);
}

int VyRtmService::clearLocalUserAttributes(long long& requestId) {
  FillRequestId(requestId);
  return InvokeOnThread(worker_, RTC_FROM_HERE, this, &VyRtmService::clearLocalUserAttributes_I,
                        requestId);
}

int VyRtmService::getUserAttributes(const char* userId, long long& requestId) {
  FillRequestId(requestId);
  return InvokeOnThread(worker_, RTC_FROM_HERE, this, &VyRtmService::getUserAttributes_I, userId,
                        requestId);
}

int VyRtmService::getUserAttributesByKeys(const char* userId, const char* attributeKeys[],
                                          int numberOfKeys, long long& requestId) {
  FillRequestId(requestId);
  return InvokeOnThread(worker_, RTC_FROM_HERE, this, &VyRtmService::getUserAttributesByKeys_I,
                        userId, attributeKeys, numberOfKeys, requestId);
}

int VyRtmService::setChannelAttributes(const char* channelId,
                                       const rtm::IRtmChannelAttribute* attributes[],
                                       int numberOfAttributes,
                                       const rtm::ChannelAttributeOptions& options,
                                       long long& requestId) {
  FillRequestId(requestId);
  return InvokeOnThread(worker_, RTC_FROM_HERE, this, &VyRtmService::setChannelAttributes_I,
                        channelId, attributes, numberOfAttributes, options, requestId);
}

int VyRtmService::addOrUpdateChannelAttributes(const char* channelId,
                                               const rtm::IRtmChannelAttribute* attributes[],
                                               int numberOfAttributes,
                                               const rtm::ChannelAttributeOptions& options,
                                               long long& requestId) {
  FillRequestId(requestId);
  return InvokeOnThread(worker_, RTC_FROM_HERE, this, &VyRtmService::addOrUpdateChannelAttributes_I,
                        channelId, attributes, numberOfAttributes, options, requestId);
}

int VyRtmService::deleteChannelAttributesByKeys(const char* channelId, const char* attributeKeys[],
                                                int numberOfKeys,
                                                const rtm::ChannelAttributeOptions& options,
                                                long long& requestId) {
  FillRequestId(requestId);
  return InvokeOnThread(worker_, RTC_FROM_HERE, this,
                        &VyRtmService::deleteChannelAttributesByKeys_I, channelId, attributeKeys,
                        numberOfKeys, options, requestId);
}

int VyRtmService::clearChannelAttributes(const char* channelId,
                                         const rtm::ChannelAttributeOptions& options,
                                         long long& requestId) {
  FillRequestId(requestId);
  return InvokeOnThread(worker_, RTC_FROM_HERE, this, &VyRtmService::clearChannelAttributes_I,
                        channelId, options, requestId);
}

int VyRtmService::getChannelAttributes(const char* channelId, long long& requestId) {
  FillRequestId(requestId);
  return InvokeOnThread(worker_, RTC_FROM_HERE, this, &VyRtmService::getChannelAttributes_I,
                        channelId, requestId);
}

int VyRtmService::getChannelAttributesByKeys(const char* channelId, const char* attributeKeys[],
                                             int numberOfKeys, long long& requestId) {
  FillRequestId(requestId);
  return InvokeOnThread(worker_, RTC_FROM_HERE, this, &VyRtmService::getChannelAttributesByKeys_I,
                        channelId, attributeKeys, numberOfKeys, requestId);
}

int VyRtmService::getChannelMemberCount(const char* channelIds[], int channelCount,
                                        long long& requestId) {
  FillRequestId(requestId);
  return InvokeOnThread(worker_, RTC_FROM_HERE, this, &VyRtmService::getChannelMemberCount_I,
                        channelIds, channelCount, requestId);
}

int VyRtmService::setLogFile(const char* logFileDirectory) {
  return InvokeOnThread(worker_, RTC_FROM_HERE, this, &VyRtmService::setLogFile_w,
                        logFileDirectory);
}

int VyRtmService::setLogFile_w(const char* logFileDirectory) {
  if (logFileDirectory == nullptr || logFileDirectory[0] == '\0') return -1;
  char path[kLogPathBufferSize];
  int length = std::snprintf(path, sizeof(path), kLogFileFormat, logFileDirectory);
  if (length < 0 || static_cast<size_t>(length) >= sizeof(path)) {
    RtcPrintf(kRtcLogError, "API setLogFile: directory too long (%d bytes)", length);
    return -1;
  }
  CloseRtcLog();
  log_file_path_ = path;
  if (OpenRtcLog(path, log_filter_, log_file_size_kb_) != 0) return -2;
  RtcPrintf(kRtcLogInfo, "API setLogFile filePath:%s", path);
  return 0;
}

int VyRtmService::setLogFilter(rtm::LOG_FILTER_TYPE filter) {
  return InvokeOnThread(worker_, RTC_FROM_HERE, this, &VyRtmService::setLogFilter_w, filter);
}

int VyRtmService::setLogFilter_w(rtm::LOG_FILTER_TYPE filter) {
  if (static_cast<uint32_t>(filter) <= rtm::LOG_FILTER_OFF) {
    log_filter_ = filter;
    SetRtcLogFilter(filter);
  }
  return 0;
}

int VyRtmService::setLogFileSize(int fileSizeInKBytes) {
  return InvokeOnThread(worker_, RTC_FROM_HERE, this, &VyRtmService::setLogFileSize_w,
                        fileSizeInKBytes);
}

int VyRtmService::setLogFileSize_w(int fileSizeInKBytes) {
  if (fileSizeInKBytes < 0) return -1;
  log_file_size_kb_ = fileSizeInKBytes == 0 ? kDefaultLargeLogFileKB : fileSizeInKBytes;
  return 0;
}

void VyRtmService::OnNetworkChanged() {}

void VyRtmService::OnMessageSent(int /*length*/) {}

}  // namespace vy

extern "C" vy::rtm::IRtmService* createRtmService() {
  try {
    return new vy::VyRtmService();
  } catch (const std::exception& e) {
    vy::RtcPrintf(vy::kRtcLogError, "createRtmService failed: %s", e.what());
    return nullptr;
  }
}

#include "platform/netwatch/vy_rtm_simple_pinger.h"

#include <errno.h>

#include <algorithm>
#include <utility>

#include "platform/loop/main_loop.h"
#include "rtc_base/base/logging.h"

namespace vortm {
namespace {

enum DelayedCallId : uint32_t { kTimeOutCall = 1, kRestartCall = 2 };

bool IsPermissionError(const PingError& error) {
  return error.domain == PingError::Domain::POSIX && (error.code == EACCES || error.code == EPERM);
}

}  // namespace

std::shared_ptr<VyRtmSimplePinger> VyRtmSimplePinger::create(const std::string& hostName,
                                                             PingEngineFactory factory) {
  return std::shared_ptr<VyRtmSimplePinger>(new VyRtmSimplePinger(hostName, std::move(factory)));
}

VyRtmSimplePinger::VyRtmSimplePinger(std::string hostName, PingEngineFactory factory)
    : host_name_(std::move(hostName)),
      engine_factory_(factory ? std::move(factory) : PingEngineFactory(&VyRtmSimplePing::create)),
      delayed_(MainLoop::thread()) {}

VyRtmSimplePinger::~VyRtmSimplePinger() { stopPing(); }

void VyRtmSimplePinger::setFailureCount(unsigned count) {
  failure_count_ = std::max(count, kMinFailureCount);
}

void VyRtmSimplePinger::startNotifier() { startForceIPv4(support_ipv4_, support_ipv6_); }

void VyRtmSimplePinger::stopNotifier() {
  stopPing();
  restart_delay_ms_ = kFirstRestartDelayMs;
}

void VyRtmSimplePinger::startForceIPv4(bool forceIPv4, bool forceIPv6) {
  if (pinger_) {
    pinger_->setDelegate({});
    pinger_->stop();
  }
  probe_disabled_ = false;
  pinger_ = engine_factory_(host_name_);
  if (!pinger_) return;
  if (forceIPv4 && !forceIPv6) {
    pinger_->setAddressStyle(VyRtmSimplePing::kAddressStyleICMPv4);
  } else if (forceIPv6 && !forceIPv4) {
    pinger_->setAddressStyle(VyRtmSimplePing::kAddressStyleICMPv6);
  } else {
    pinger_->setAddressStyle(VyRtmSimplePing::kAddressStyleAny);
  }
  pinger_->setDelegate(weak_from_this());
  // Hold the engine: a failure reported from inside start() drops it.
  std::shared_ptr<VyRtmSimplePing> engine = pinger_;
  engine->start();
}

void VyRtmSimplePinger::didStartWithAddress(VyRtmSimplePing& pinger,
                                            const std::vector<uint8_t>& /*address*/) {
  if (!isCurrent(pinger) || send_timer_) return;
  send_timer_ = std::make_unique<rtc::RepeatingTimer>(MainLoop::thread(), kSendIntervalMs,
                                                      [this] { sendPing(); });
}

void VyRtmSimplePinger::sendPing() {
  // A report from the engine may lead to this pinger's release.
  std::shared_ptr<VyRtmSimplePinger> self = weak_from_this().lock();
  delayed_.schedule(kTimeOutCall, kTimeOutMs, [this] { timeOut(); });
  ++count_;
  if (std::shared_ptr<VyRtmSimplePing> engine = pinger_) engine->sendPingWithData(nullptr);
}

void VyRtmSimplePinger::timeOut() {
  if (count_ < kTimeOutLimit) return;
  count_ = 0;
  array_.clear();
  setReachable(false);
}

void VyRtmSimplePinger::didSendPacket(VyRtmSimplePing& pinger,
                                      const std::vector<uint8_t>& /*packet*/,
                                      uint16_t sequenceNumber) {
  if (!isCurrent(pinger)) return;
  if (sequenceNumber == 0) array_.clear();
  bool giveUp = array_.size() >= failure_count_;
  if (giveUp) array_.clear();
  array_.push_back(sequenceNumber);
  if (giveUp) setReachable(false);
}

void VyRtmSimplePinger::didFailToSendPacket(VyRtmSimplePing& pinger,
                                            const std::vector<uint8_t>& /*packet*/,
                                            uint16_t /*sequenceNumber*/,
                                            const PingError& /*error*/) {
  if (!isCurrent(pinger)) return;
  array_.clear();
  setReachable(false);
}

void VyRtmSimplePinger::didReceivePingResponsePacket(VyRtmSimplePing& pinger,
                                                     const std::vector<uint8_t>& /*packet*/,
                                                     uint16_t /*sequenceNumber*/) {
  if (!isCurrent(pinger)) return;
  array_.clear();
  count_ = 0;
  restart_delay_ms_ = kFirstRestartDelayMs;
  setReachable(true);
}

void VyRtmSimplePinger::didFailWithError(VyRtmSimplePing& pinger, const PingError& error) {
  if (!isCurrent(pinger)) return;
  std::shared_ptr<VyRtmSimplePinger> self = weak_from_this().lock();
  stopPing();
  if (IsPermissionError(error)) {
    probe_disabled_ = true;
    if (!permission_logged_) {
      permission_logged_ = true;
      RTC_LOG(LS_WARNING) << "ICMP echo to " << host_name_ << " is not permitted (errno "
                          << error.code << "); the network type follows reachability alone";
    }
    setReachable(true);
    return;
  }
  int delay = restart_delay_ms_;
  restart_delay_ms_ = std::min(restart_delay_ms_ * 2, kMaxRestartDelayMs);
  delayed_.schedule(kRestartCall, delay, [this] { startNotifier(); });
  // Last, so that a stop from inside the report also cancels the restart.
  setReachable(false);
}

void VyRtmSimplePinger::stopPing() {
  delayed_.cancel(kTimeOutCall);
  delayed_.cancel(kRestartCall);
  if (std::shared_ptr<VyRtmSimplePing> engine = std::move(pinger_)) {
    engine->stop();
    engine->setDelegate({});
  }
  if (send_timer_) {
    send_timer_->invalidate();
    send_timer_.reset();
  }
  count_ = 0;
}

void VyRtmSimplePinger::setReachable(bool value) {
  if (reachable_ == value) return;
  reachable_ = value;
  std::shared_ptr<VyRtmSimplePinger> self = weak_from_this().lock();
  std::function<void()> block = network_status_did_changed_;
  if (block) block();
}

}  // namespace vortm

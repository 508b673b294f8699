#include "platform/netwatch/vy_rtm_simple_ping.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <unistd.h>

#include <utility>

#include "platform/loop/main_loop.h"
#include "rtc_base/base/checks.h"
#include "rtc_base/base/logging.h"
#include "rtc_base/crypto/helpers.h"
#include "rtc_base/net/async_resolver.h"
#include "rtc_base/net/socket_address.h"
#include "rtc_base/threads/thread.h"

namespace vortm {
namespace {

constexpr size_t kReceiveBufferSize = 65535;
// Datagrams read per readiness, so a flood on a raw socket cannot hold the loop.
constexpr int kMaxDatagramsPerWakeup = 64;
constexpr size_t kMinIPv4HeaderSize = 20;
constexpr uint8_t kIPProtocolICMP = 1;
constexpr uint32_t kLiteralCall = 1;

uint16_t ReadBE16(const uint8_t* p) { return static_cast<uint16_t>((p[0] << 8) | p[1]); }

void WriteBE16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v >> 8);
  p[1] = static_cast<uint8_t>(v);
}

// Validates the echo-reply header at `icmp` for `replyType`; the sequence number on success.
std::optional<uint16_t> CheckEchoReply(const uint8_t* icmp, uint8_t replyType,
                                       uint16_t identifier) {
  if (icmp[0] != replyType || icmp[1] != 0) return std::nullopt;
  if (ReadBE16(icmp + 4) != identifier) return std::nullopt;
  return ReadBE16(icmp + 6);
}

}  // namespace

const char* PingError::domainName() const {
  return domain == Domain::CFNetwork ? "kCFErrorDomainCFNetwork" : "NSPOSIXErrorDomain";
}

void SimplePingDelegate::didStartWithAddress(VyRtmSimplePing&, const std::vector<uint8_t>&) {}
void SimplePingDelegate::didFailWithError(VyRtmSimplePing&, const PingError&) {}
void SimplePingDelegate::didSendPacket(VyRtmSimplePing&, const std::vector<uint8_t>&, uint16_t) {}
void SimplePingDelegate::didFailToSendPacket(VyRtmSimplePing&, const std::vector<uint8_t>&,
                                             uint16_t, const PingError&) {}
void SimplePingDelegate::didReceivePingResponsePacket(VyRtmSimplePing&, const std::vector<uint8_t>&,
                                                      uint16_t) {}
void SimplePingDelegate::didReceiveUnexpectedPacket(VyRtmSimplePing&, const std::vector<uint8_t>&) {
}

// Readiness of the ICMP socket. The read itself runs from a message on the loop, outside the
// socket server's lock, so the delegate may do anything there, including destroying the engine.
// While a read is pending the socket is not polled.
class VyRtmSimplePing::Reader : public rtc::Dispatcher, public rtc::MessageHandler {
 public:
  explicit Reader(VyRtmSimplePing* owner) : owner_(owner) {}
  ~Reader() override { detach(); }

  void attach(int fd) {
    fd_ = fd;
    pending_ = false;
    MainLoop::socketServer()->Add(this);
  }
  void detach() {
    if (fd_ < 0) return;
    MainLoop::socketServer()->Remove(this);
    MainLoop::thread()->Clear(this);
    fd_ = -1;
    pending_ = false;
  }

  uint32_t GetRequestedEvents() override { return pending_ ? 0 : rtc::DE_READ; }
  void OnPreEvent(uint32_t) override {}
  void OnEvent(uint32_t ff, int err) override {
    pending_ = true;
    pending_error_ = (ff & rtc::DE_CLOSE) ? err : 0;
    MainLoop::thread()->Post(RTC_FROM_HERE, this);
  }
  int GetDescriptor() override { return fd_; }
  // A datagram socket has no end of stream.
  bool IsDescriptorClosed() override { return false; }

  void OnMessage(rtc::Message*) override {
    pending_ = false;
    owner_->readData(pending_error_);
  }

 private:
  VyRtmSimplePing* const owner_;
  int fd_ = -1;
  bool pending_ = false;
  int pending_error_ = 0;
};

std::shared_ptr<VyRtmSimplePing> VyRtmSimplePing::create(const std::string& hostName) {
  return std::shared_ptr<VyRtmSimplePing>(new VyRtmSimplePing(hostName));
}

VyRtmSimplePing::VyRtmSimplePing(std::string hostName)
    : identifier_(static_cast<uint16_t>(rtc::CreateRandomId())), host_name_(std::move(hostName)) {}

VyRtmSimplePing::~VyRtmSimplePing() {
  stop();
  RTC_DCHECK(resolver_ == nullptr) << "self->_host == NULL";
  RTC_DCHECK(socket_fd_ < 0) << "self->_socket == NULL";
}

int VyRtmSimplePing::hostAddressFamily() const {
  if (host_address_.size() < sizeof(sockaddr_in)) return AF_UNSPEC;
  sa_family_t family;
  memcpy(&family, host_address_.data(), sizeof(family));
  return family;
}

void VyRtmSimplePing::start() {
  RTC_DCHECK(!isResolving()) << "self.host == NULL";
  RTC_DCHECK(host_address_.empty()) << "self.hostAddress == nil";
  // A second start would leak the first run's socket; it restarts instead.
  stop();
  rtc::IPAddress literal;
  if (rtc::IPFromString(host_name_, &literal)) {
    // getaddrinfo with AI_ADDRCONFIG refuses 127.0.0.1 and ::1 where loopback is the only
    // interface, which is exactly where the probe must work.
    resolving_literal_ = true;
    if (!literal_call_) literal_call_ = std::make_unique<rtc::DelayedCall>(MainLoop::thread());
    literal_call_->schedule(kLiteralCall, 0, [this, literal] {
      resolving_literal_ = false;
      hostResolutionDone({literal});
    });
    return;
  }
  resolver_ = new rtc::AsyncResolver();
  resolver_->SignalDone.connect(this, &VyRtmSimplePing::onResolved);
  resolver_->Start(rtc::SocketAddress(host_name_, 0));
}

void VyRtmSimplePing::onResolved(rtc::AsyncResolverInterface* resolver) {
  if (resolver != resolver_) return;
  int error = resolver_->GetError();
  if (error != 0) {
    didFailWithError(PingError{PingError::Domain::CFNetwork, PingError::kHostUnknown, error});
    return;
  }
  hostResolutionDone(std::vector<rtc::IPAddress>(resolver_->addresses()));
}

void VyRtmSimplePing::hostResolutionDone(const std::vector<rtc::IPAddress>& addresses) {
  std::optional<rtc::IPAddress> chosen;
  for (const rtc::IPAddress& ip : addresses) {
    if ((ip.family() == AF_INET && address_style_ != kAddressStyleICMPv6) ||
        (ip.family() == AF_INET6 && address_style_ != kAddressStyleICMPv4)) {
      chosen = ip;
      break;
    }
  }
  stopHostResolution();
  if (!chosen) {
    didFailWithError(PingError{PingError::Domain::CFNetwork, PingError::kHostNotFound, {}});
    return;
  }
  sockaddr_storage storage;
  size_t length = rtc::SocketAddress(*chosen, 0).ToSockAddrStorage(&storage);
  const auto* bytes = reinterpret_cast<const uint8_t*>(&storage);
  host_address_.assign(bytes, bytes + length);
  startWithHostAddress();
}

int VyRtmSimplePing::openSocket(int family) {
  const int protocol = family == AF_INET ? static_cast<int>(IPPROTO_ICMP) : IPPROTO_ICMPV6;
  int fd = ::socket(family, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, protocol);
  if (fd >= 0) {
    // The kernel writes the bound port into the identifier field, so the port is the identifier.
    sockaddr_storage local{};
    local.ss_family = static_cast<sa_family_t>(family);
    socklen_t length = family == AF_INET ? sizeof(sockaddr_in) : sizeof(sockaddr_in6);
    uint16_t* port = family == AF_INET ? &reinterpret_cast<sockaddr_in&>(local).sin_port
                                       : &reinterpret_cast<sockaddr_in6&>(local).sin6_port;
    *port = htons(identifier_);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&local), length) < 0) {
      *port = 0;
      if (errno != EADDRINUSE || ::bind(fd, reinterpret_cast<sockaddr*>(&local), length) < 0 ||
          ::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length) < 0) {
        int error = errno;
        ::close(fd);
        errno = error;
        return -1;
      }
      identifier_ = ntohs(*port);
    }
    socket_type_ = SOCK_DGRAM;
    return fd;
  }
  if (errno != EACCES && errno != EPERM) return -1;
  // Datagram ICMP is not permitted to this user; a raw socket works with CAP_NET_RAW. Without it,
  // the datagram socket's error is the one that explains the failure.
  int datagramError = errno;
  fd = ::socket(family, SOCK_RAW | SOCK_NONBLOCK | SOCK_CLOEXEC, protocol);
  if (fd < 0) {
    errno = datagramError;
    return -1;
  }
  socket_type_ = SOCK_RAW;
  return fd;
}

void VyRtmSimplePing::startWithHostAddress() {
  RTC_DCHECK(!host_address_.empty()) << "self.hostAddress != nil";
  const int family = hostAddressFamily();
  if (family != AF_INET && family != AF_INET6) {
    didFailWithError(PingError::posix(EPROTONOSUPPORT));
    return;
  }
  int fd = openSocket(family);
  if (fd < 0) {
    didFailWithError(PingError::posix(errno));
    return;
  }
  socket_fd_ = fd;
  if (!reader_) reader_ = std::make_unique<Reader>(this);
  reader_->attach(fd);
  std::vector<uint8_t> address = host_address_;
  if (auto delegate = delegate_.lock()) delegate->didStartWithAddress(*this, address);
}

std::vector<uint8_t> VyRtmSimplePing::standardPayload(uint16_t sequenceNumber) {
  char text[kStandardPayloadSize + 1];
  snprintf(text, sizeof(text), "%28zd bottles of beer on the wall",
           static_cast<ssize_t>(99 - sequenceNumber % 100));
  return std::vector<uint8_t>(text, text + kStandardPayloadSize);
}

std::vector<uint8_t> VyRtmSimplePing::pingPacketWithType(uint8_t type,
                                                         const std::vector<uint8_t>& payload,
                                                         bool requiresChecksum) const {
  std::vector<uint8_t> packet(kICMPHeaderSize + payload.size(), 0);
  packet[0] = type;
  packet[1] = 0;
  WriteBE16(&packet[4], identifier_);
  WriteBE16(&packet[6], next_sequence_number_);
  if (!payload.empty()) memcpy(&packet[kICMPHeaderSize], payload.data(), payload.size());
  if (requiresChecksum) {
    uint16_t sum = checksum(packet.data(), packet.size());
    memcpy(&packet[2], &sum, sizeof(sum));
  }
  return packet;
}

uint16_t VyRtmSimplePing::checksum(const uint8_t* data, size_t length) {
  uint32_t sum = 0;
  size_t i = 0;
  for (; i + 1 < length; i += 2) {
    uint16_t word;
    memcpy(&word, data + i, sizeof(word));
    sum += word;
  }
  if (i < length) {
    // The odd byte is the first half of a word padded with zero, in either byte order.
    uint8_t last[2] = {data[i], 0};
    uint16_t word;
    memcpy(&word, last, sizeof(word));
    sum += word;
  }
  sum = (sum >> 16) + (sum & 0xFFFF);
  sum += sum >> 16;
  return static_cast<uint16_t>(~sum);
}

void VyRtmSimplePing::sendPingWithData(const std::vector<uint8_t>* data) {
  if (host_address_.empty()) return;
  // The delegate may drop the last reference.
  std::shared_ptr<VyRtmSimplePing> self = weak_from_this().lock();
  std::vector<uint8_t> payload = data ? *data : standardPayload(next_sequence_number_);
  RTC_DCHECK(data || payload.size() == kStandardPayloadSize) << "[payload length] == 56";

  std::vector<uint8_t> packet;
  const int family = hostAddressFamily();
  if (family == AF_INET6) {
    packet = pingPacketWithType(kICMPv6TypeEchoRequest, payload, false);
  } else if (family == AF_INET) {
    packet = pingPacketWithType(kICMPv4TypeEchoRequest, payload, true);
  } else {
    RTC_DCHECK(false) << "NO";
    return;
  }

  int error = 0;
  if (socket_fd_ < 0) {
    error = EBADF;
  } else {
    ssize_t sent = ::sendto(socket_fd_, packet.data(), packet.size(), MSG_NOSIGNAL,
                            reinterpret_cast<const sockaddr*>(host_address_.data()),
                            static_cast<socklen_t>(host_address_.size()));
    if (sent < 0) {
      error = errno;
    } else if (static_cast<size_t>(sent) != packet.size()) {
      error = ENOBUFS;
    }
  }

  // The number advances before the delegate hears of the send, so a send from inside the report
  // gets a number of its own.
  const uint16_t sequenceNumber = next_sequence_number_;
  ++next_sequence_number_;
  if (next_sequence_number_ == 0) next_sequence_number_has_wrapped_ = true;

  if (auto delegate = delegate_.lock()) {
    if (error == 0) {
      delegate->didSendPacket(*this, packet, sequenceNumber);
    } else {
      delegate->didFailToSendPacket(*this, packet, sequenceNumber, PingError::posix(error));
    }
  }
}

std::optional<size_t> VyRtmSimplePing::icmpHeaderOffsetInIPv4Packet(
    const std::vector<uint8_t>& packet) {
  if (packet.size() < kMinIPv4HeaderSize + kICMPHeaderSize) return std::nullopt;
  const uint8_t versionAndLength = packet[0];
  if ((versionAndLength & 0xF0) != 0x40 || packet[9] != kIPProtocolICMP) return std::nullopt;
  const size_t offset = static_cast<size_t>(versionAndLength & 0x0F) * 4;
  // A header shorter than its minimum would put the ICMP message inside it.
  if (offset < kMinIPv4HeaderSize || packet.size() < offset + kICMPHeaderSize) return std::nullopt;
  return offset;
}

bool VyRtmSimplePing::validateSequenceNumber(uint16_t sequenceNumber) const {
  if (next_sequence_number_has_wrapped_) {
    return static_cast<uint16_t>(next_sequence_number_ - sequenceNumber) < kSequenceWindow;
  }
  return sequenceNumber < next_sequence_number_;
}

bool VyRtmSimplePing::validatePing4ResponsePacket(std::vector<uint8_t>& packet,
                                                  uint16_t* sequenceNumber) {
  size_t offset = 0;
  if (ipv4HeaderIncluded()) {
    std::optional<size_t> found = icmpHeaderOffsetInIPv4Packet(packet);
    if (!found) return false;
    offset = *found;
  } else if (packet.size() < kICMPHeaderSize) {
    return false;
  }
  uint8_t* icmp = packet.data() + offset;
  uint16_t received;
  memcpy(&received, icmp + 2, sizeof(received));
  memset(icmp + 2, 0, sizeof(received));
  uint16_t computed = checksum(icmp, packet.size() - offset);
  memcpy(icmp + 2, &received, sizeof(received));
  if (received != computed) return false;

  std::optional<uint16_t> sequence = CheckEchoReply(icmp, kICMPv4TypeEchoReply, identifier_);
  if (!sequence || !validateSequenceNumber(*sequence)) return false;
  packet.erase(packet.begin(), packet.begin() + static_cast<ptrdiff_t>(offset));
  if (sequenceNumber) *sequenceNumber = *sequence;
  return true;
}

bool VyRtmSimplePing::validatePing6ResponsePacket(const std::vector<uint8_t>& packet,
                                                  uint16_t* sequenceNumber) const {
  if (packet.size() < kICMPHeaderSize) return false;
  std::optional<uint16_t> sequence =
      CheckEchoReply(packet.data(), kICMPv6TypeEchoReply, identifier_);
  if (!sequence || !validateSequenceNumber(*sequence)) return false;
  if (sequenceNumber) *sequenceNumber = *sequence;
  return true;
}

bool VyRtmSimplePing::validatePingResponsePacket(std::vector<uint8_t>& packet,
                                                 uint16_t* sequenceNumber) {
  switch (hostAddressFamily()) {
    case AF_INET:
      return validatePing4ResponsePacket(packet, sequenceNumber);
    case AF_INET6:
      return validatePing6ResponsePacket(packet, sequenceNumber);
    default:
      RTC_DCHECK(false) << "NO";
      return false;
  }
}

void VyRtmSimplePing::readData(int pendingError) {
  // The delegate may drop the last reference.
  std::shared_ptr<VyRtmSimplePing> self = weak_from_this().lock();
  if (pendingError != 0) {
    didFailWithError(PingError::posix(pendingError));
    return;
  }
  if (receive_buffer_.empty()) receive_buffer_.resize(kReceiveBufferSize);
  for (int i = 0; i < kMaxDatagramsPerWakeup && socket_fd_ >= 0; ++i) {
    sockaddr_storage from;
    socklen_t fromLength = sizeof(from);
    ssize_t n = ::recvfrom(socket_fd_, receive_buffer_.data(), receive_buffer_.size(), 0,
                           reinterpret_cast<sockaddr*>(&from), &fromLength);
    if (n < 0) {
      // A wake-up without a datagram is no failure; the next readiness brings it.
      if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return;
      didFailWithError(PingError::posix(errno != 0 ? errno : EPIPE));
      return;
    }
    if (n == 0) {
      didFailWithError(PingError::posix(EPIPE));
      return;
    }
    std::vector<uint8_t> packet(receive_buffer_.begin(), receive_buffer_.begin() + n);
    uint16_t sequenceNumber = 0;
    bool valid = validatePingResponsePacket(packet, &sequenceNumber);
    auto delegate = delegate_.lock();
    if (!delegate) continue;
    if (valid) {
      delegate->didReceivePingResponsePacket(*this, packet, sequenceNumber);
    } else {
      delegate->didReceiveUnexpectedPacket(*this, packet);
    }
  }
}

void VyRtmSimplePing::stop() {
  stopHostResolution();
  stopSocket();
  host_address_.clear();
}

void VyRtmSimplePing::stopHostResolution() {
  if (literal_call_) literal_call_->cancel(kLiteralCall);
  resolving_literal_ = false;
  if (resolver_ == nullptr) return;
  resolver_->SignalDone.disconnect(this);
  resolver_->Destroy(false);
  resolver_ = nullptr;
}

void VyRtmSimplePing::stopSocket() {
  if (socket_fd_ < 0) return;
  if (reader_) reader_->detach();
  ::close(socket_fd_);
  socket_fd_ = -1;
  socket_type_ = 0;
}

void VyRtmSimplePing::didFailWithError(const PingError& error) {
  std::shared_ptr<VyRtmSimplePing> self = weak_from_this().lock();
  stop();
  if (auto delegate = delegate_.lock()) delegate->didFailWithError(*this, error);
}

}  // namespace vortm

// The ICMP echo engine: resolves one host, opens an ICMP socket on the main loop, sends echo
// requests when asked and tells its delegate about every datagram that comes back. It keeps no
// timers and draws no conclusions; VyRtmSimplePinger does that.
//
// Everything runs on the main loop: start(), stop(), sendPingWithData(), the delegate calls, and
// the engine's destruction.
//
// On Linux the engine first opens an unprivileged ICMP datagram socket (allowed by
// net.ipv4.ping_group_range). Such a socket gets IPv4 replies without their IP header, and the
// kernel puts the socket's bound port in the identifier field, so the engine binds the port to
// its identifier. Where datagram sockets are not permitted it falls back to a raw socket (which
// needs CAP_NET_RAW), whose IPv4 replies carry the header.
#ifndef PLATFORM_NETWATCH_VY_RTM_SIMPLE_PING_H_
#define PLATFORM_NETWATCH_VY_RTM_SIMPLE_PING_H_

#include <stddef.h>
#include <stdint.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "rtc_base/net/ip_address.h"
#include "rtc_base/net/physical_socket_server.h"
#include "rtc_base/threads/sigslot.h"
#include "rtc_base/threads/timers.h"

namespace rtc {
class AsyncResolver;
class AsyncResolverInterface;
class Thread;
}  // namespace rtc

namespace vortm {

struct PingError {
  enum class Domain { CFNetwork, POSIX };

  // Codes of the CFNetwork domain.
  static constexpr int kHostNotFound = 1;
  static constexpr int kHostUnknown = 2;

  static PingError posix(int code) { return PingError{Domain::POSIX, code, std::nullopt}; }

  // "kCFErrorDomainCFNetwork" or "NSPOSIXErrorDomain".
  const char* domainName() const;

  Domain domain = Domain::POSIX;
  // An errno value in the POSIX domain.
  int code = 0;
  // The resolver's error (an EAI_* value) when a host look-up failed.
  std::optional<int> getAddrInfoFailure;
};

class VyRtmSimplePing;

// Every method is optional: the defaults do nothing.
class SimplePingDelegate {
 public:
  virtual ~SimplePingDelegate() = default;

  // The socket is open; requests may be sent now.
  virtual void didStartWithAddress(VyRtmSimplePing& pinger, const std::vector<uint8_t>& address);
  // Resolution, the socket or a receive failed; the engine has stopped itself.
  virtual void didFailWithError(VyRtmSimplePing& pinger, const PingError& error);
  // A request went out whole.
  virtual void didSendPacket(VyRtmSimplePing& pinger, const std::vector<uint8_t>& packet,
                             uint16_t sequenceNumber);
  // A request could not be sent whole. The engine keeps running.
  virtual void didFailToSendPacket(VyRtmSimplePing& pinger, const std::vector<uint8_t>& packet,
                                   uint16_t sequenceNumber, const PingError& error);
  // A valid reply to one of this engine's requests, beginning at the ICMP header.
  virtual void didReceivePingResponsePacket(VyRtmSimplePing& pinger,
                                            const std::vector<uint8_t>& packet,
                                            uint16_t sequenceNumber);
  // Any other datagram, as received.
  virtual void didReceiveUnexpectedPacket(VyRtmSimplePing& pinger,
                                          const std::vector<uint8_t>& packet);
};

class VyRtmSimplePing : public std::enable_shared_from_this<VyRtmSimplePing>,
                        public sigslot::has_slots<> {
 public:
  // Address styles.
  static constexpr int kAddressStyleAny = 0;
  static constexpr int kAddressStyleICMPv4 = 1;
  static constexpr int kAddressStyleICMPv6 = 2;

  static constexpr uint8_t kICMPv4TypeEchoRequest = 8;
  static constexpr uint8_t kICMPv4TypeEchoReply = 0;
  static constexpr uint8_t kICMPv6TypeEchoRequest = 128;
  static constexpr uint8_t kICMPv6TypeEchoReply = 129;
  static constexpr size_t kICMPHeaderSize = 8;
  static constexpr size_t kStandardPayloadSize = 56;
  // After the sequence number has wrapped, only the last this many count as replies.
  static constexpr uint16_t kSequenceWindow = 120;

  // From initWithHostName:. Chooses a random identifier; sequence 0, not wrapped, style any.
  static std::shared_ptr<VyRtmSimplePing> create(const std::string& hostName);
  ~VyRtmSimplePing() override;

  // Begins resolution; on a fresh or stopped engine.
  virtual void start();
  // Ends resolution and closes the socket; hostAddress() becomes empty. Safe in any state.
  virtual void stop();
  // Sends one request with `data` as payload (null: the standard payload). Does nothing while no
  // address has been chosen.
  virtual void sendPingWithData(const std::vector<uint8_t>* data);

  // A request with the current identifier and nextSequenceNumber().
  std::vector<uint8_t> pingPacketWithType(uint8_t type, const std::vector<uint8_t>& payload,
                                          bool requiresChecksum) const;
  // "%28zd bottles of beer on the wall" of 99 - seq % 100: 56 ASCII bytes.
  static std::vector<uint8_t> standardPayload(uint16_t sequenceNumber);
  // Where the ICMP header starts in an IPv4 datagram, or nullopt when it is not one.
  static std::optional<size_t> icmpHeaderOffsetInIPv4Packet(const std::vector<uint8_t>& packet);
  // The RFC 1071 checksum, in memory order: store it with memcpy.
  static uint16_t checksum(const uint8_t* data, size_t length);

  bool validateSequenceNumber(uint16_t sequenceNumber) const;
  // Each returns true for a valid reply and then stores its sequence number. A valid IPv4 reply
  // loses its IP header.
  bool validatePingResponsePacket(std::vector<uint8_t>& packet, uint16_t* sequenceNumber);
  bool validatePing4ResponsePacket(std::vector<uint8_t>& packet, uint16_t* sequenceNumber);
  bool validatePing6ResponsePacket(const std::vector<uint8_t>& packet,
                                   uint16_t* sequenceNumber) const;

  const std::string& hostName() const { return host_name_; }
  std::weak_ptr<SimplePingDelegate> delegate() const { return delegate_; }
  void setDelegate(std::weak_ptr<SimplePingDelegate> delegate) { delegate_ = std::move(delegate); }
  int addressStyle() const { return address_style_; }
  void setAddressStyle(int style) { address_style_ = style; }
  // The chosen socket address (a sockaddr_in or sockaddr_in6); empty until resolved and after
  // stop().
  const std::vector<uint8_t>& hostAddress() const { return host_address_; }
  // The family of hostAddress(), AF_UNSPEC when it holds less than 16 bytes.
  int hostAddressFamily() const;
  // Chosen at creation; a datagram socket whose port is taken gets the kernel's choice instead.
  uint16_t identifier() const { return identifier_; }
  uint16_t nextSequenceNumber() const { return next_sequence_number_; }
  bool nextSequenceNumberHasWrapped() const { return next_sequence_number_has_wrapped_; }
  // SOCK_DGRAM or SOCK_RAW while a socket is open, else 0.
  int socketType() const { return socket_type_; }
  bool isResolving() const { return resolver_ != nullptr || resolving_literal_; }

 protected:
  explicit VyRtmSimplePing(std::string hostName);

  // Whether received IPv4 datagrams start with the IP header: all but those of a datagram socket.
  bool ipv4HeaderIncluded() const { return socket_type_ != SOCK_DGRAM; }

  // Written by tests through subclasses.
  uint16_t identifier_ = 0;
  uint16_t next_sequence_number_ = 0;
  bool next_sequence_number_has_wrapped_ = false;
  int socket_type_ = 0;
  std::vector<uint8_t> host_address_;

 private:
  class Reader;

  void onResolved(rtc::AsyncResolverInterface* resolver);
  void hostResolutionDone(const std::vector<rtc::IPAddress>& addresses);
  void startWithHostAddress();
  void readData(int pendingError);
  void stopHostResolution();
  void stopSocket();
  void didFailWithError(const PingError& error);
  // Opens the ICMP socket for `family`; -1 with errno on failure.
  int openSocket(int family);

  const std::string host_name_;
  std::weak_ptr<SimplePingDelegate> delegate_;
  int address_style_ = kAddressStyleAny;
  rtc::AsyncResolver* resolver_ = nullptr;
  // An IP literal needs no look-up; it is still taken up from the loop, as a look-up would be.
  bool resolving_literal_ = false;
  std::unique_ptr<rtc::DelayedCall> literal_call_;
  int socket_fd_ = -1;
  std::unique_ptr<Reader> reader_;
  // Reused for every datagram.
  std::vector<uint8_t> receive_buffer_;
};

}  // namespace vortm

#endif  // PLATFORM_NETWATCH_VY_RTM_SIMPLE_PING_H_

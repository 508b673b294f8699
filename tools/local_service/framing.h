// Packet framing of the TCP command stream: a marker byte, a big-endian total length that counts
// the header, then the envelope text. '#' packets have a 4-byte length, '$' packets a 2-byte one.
// Each packet may use either framing. The reader does no I/O: bytes go in with Feed, packets or
// an error come out of Next.
#ifndef TOOLS_LOCAL_SERVICE_FRAMING_H_
#define TOOLS_LOCAL_SERVICE_FRAMING_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace local_service {

inline constexpr char kHashMarker = '#';
inline constexpr char kDollarMarker = '$';
// The smallest packet the service accepts carries at least one byte of text.
inline constexpr size_t kMinPacketLength = 6;
// Commands of the client stay far below this; a longer length field is treated as broken.
inline constexpr size_t kMaxPacketLength = 4 * 1024 * 1024;

size_t HeaderSize(char marker);

// Header plus payload. A '$' payload longer than its 16-bit length allows is refused (empty).
std::string EncodeFrame(std::string_view payload, char marker = kHashMarker);
// A header announcing `announced_length` in place of the true one, for broken-length faults.
std::string EncodeHeader(uint32_t announced_length, char marker = kHashMarker);

class FrameReader {
 public:
  enum class Status { kPacket, kNeedMore, kError };

  void Feed(const char* data, size_t n) { buffer_.append(data, n); }
  void Feed(std::string_view data) { buffer_.append(data); }

  // kPacket fills `payload`; kError fills `error` and leaves the reader broken (every later call
  // returns kError), since nothing after a broken length can be trusted.
  Status Next(std::string* payload, std::string* error);

  // The marker of the packet returned last (or being read), or 0 while none has arrived.
  char marker() const { return marker_; }
  size_t buffered() const { return buffer_.size() - consumed_; }

 private:
  std::string buffer_;
  size_t consumed_ = 0;
  char marker_ = 0;
  bool broken_ = false;
  std::string error_;
};

}  // namespace local_service

#endif  // TOOLS_LOCAL_SERVICE_FRAMING_H_

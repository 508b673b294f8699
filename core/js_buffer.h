#ifndef CORE_JS_BUFFER_H_
#define CORE_JS_BUFFER_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace vy {

// Cuts the TCP byte stream into packets. A packet is a marker byte, a big-endian total length
// that counts the header, and the payload (an envelope's JSON text):
//   '#' framing: '#' + 4-byte length (header 5 bytes), the service's default;
//   '$' framing: '$' + 2-byte length (header 3 bytes).
// The first byte received on a connection fixes the framing for that connection; sending uses
// the same framing. A new connection starts again from the framing given at construction
// (ResetFraming).
//
// Bytes in (RecvData), packets out (OnRecvMessage); no I/O. A packet whose length is below the
// header size or above kMaxPacketLength, or a stream whose first byte is neither marker, marks
// the buffer broken: its bytes are dropped and nothing more is delivered until ClearAll. The
// owner then drops the connection (it cannot do so from inside the socket's read signal).
class JSBuffer {
 public:
  static constexpr char kHashMarker = '#';
  static constexpr char kDollarMarker = '$';
  static constexpr int kHashHeaderSize = 5;
  static constexpr int kDollarHeaderSize = 3;
  static constexpr size_t kInitialCapacity = 2048;
  // Buffers grow by doubling; one that grew beyond this (a large packet) goes back to
  // kInitialCapacity once it is drained.
  static constexpr size_t kShrinkAbove = 256 * 1024;
  // No envelope comes near this; a larger length field is a broken or hostile stream.
  static constexpr uint32_t kMaxPacketLength = 16u * 1024 * 1024;
  // The '$' length field is 16 bits and counts its 3 header bytes.
  static constexpr uint32_t kMaxDollarPacketLength = 0xFFFF;

  explicit JSBuffer(bool hashFraming);
  virtual ~JSBuffer();

  JSBuffer(const JSBuffer&) = delete;
  JSBuffer& operator=(const JSBuffer&) = delete;

  // One complete payload, NUL-terminated at payload[length]; valid only during the call.
  virtual void OnRecvMessage(const char* payload, int length) = 0;
  // How packets arrive: the payload lies in the receive buffer itself, NUL-terminated, and the
  // receiver may change it in place (parse it in situ) during the call. By default it is
  // copied into the packet buffer and handed to OnRecvMessage (ParseMessage).
  virtual void OnRecvPacket(char* payload, int length) { ParseMessage(payload, length); }

  // Writes the marker and the big-endian total length for a payload of `payloadLength` bytes.
  // Returns the header size, or -1 (nothing written) when the framing cannot carry the
  // payload: a negative length, a total above kMaxPacketLength, or above 65535 under '$'.
  // `out` needs room for kHashHeaderSize bytes.
  int WritePktLength(char* out, int payloadLength) const;
  // Reads the big-endian length field of the framing in force at *cursor and advances it.
  uint32_t ReadPktLength(char** cursor) const;

  static uint16_t readShort(char** cursor);
  static void writeShort(char** cursor, uint16_t value);
  static uint32_t readInt(char** cursor);
  static void writeInt(char** cursor, uint32_t value);

  // Appends received bytes and delivers every complete packet, in order.
  void RecvData(const char* data, int length);
  // The same without a copy: ReserveRecv gives room for `length` bytes at the end of the
  // buffer (null while packets are being delivered or the buffer is broken), and CommitRecv
  // takes the `length` bytes written there.
  char* ReserveRecv(size_t length);
  void CommitRecv(size_t length);
  // Copies one payload into the packet buffer, NUL-terminates it and calls OnRecvMessage.
  void ParseMessage(const char* payload, int length);
  // Forgets every buffered byte and the broken mark; the framing stays fixed.
  void ClearAll();
  // ClearAll, and the framing is open again, for a new connection.
  void ResetFraming();

  // True once a protocol error was seen, until ClearAll.
  bool IsBroken() const { return broken_; }
  // Why the buffer is broken ("" while it is not), for the owner's log line.
  const char* error_text() const { return error_; }
  // Bytes skipped while looking for a marker, over the buffer's life.
  uint64_t skipped_bytes() const { return skipped_bytes_; }
  bool IsFramingFixed() const { return framing_fixed_; }
  char marker() const { return marker_; }
  int header_size() const { return header_size_; }
  // Bytes waiting for the rest of their packet.
  size_t buffered() const { return end_ - begin_; }
  size_t capacity() const { return capacity_; }
  size_t packet_capacity() const { return packet_capacity_; }

 private:
  void SetFraming(char marker);
  void MakeRoom(size_t n);
  void Consume(size_t n);
  // Empties the receive buffer, zeroing what it held.
  void Drop();
  void MarkBroken();
  void DeliverPackets();
  // Room for a payload of `length` bytes and its NUL in the packet buffer.
  void ReservePacket(size_t length);
  void ShrinkPacket();
  // Delivers the buffered packets, then what was received meanwhile.
  void Deliver();

  // Receive buffer: unread bytes lie in [begin_, end_).
  std::unique_ptr<char[]> buffer_;
  size_t capacity_ = 0;
  size_t begin_ = 0;
  size_t end_ = 0;
  // Packet buffer for the NUL-terminated payload handed to OnRecvMessage.
  std::unique_ptr<char[]> packet_;
  size_t packet_capacity_ = 0;

  const char default_marker_;
  char marker_;
  int header_size_;
  bool framing_fixed_ = false;
  bool broken_ = false;
  // Set while packets are being delivered. Packets are handed over in place, so meanwhile a
  // nested RecvData appends to nested_ and an emptied buffer is zeroed (and shrunk) only
  // once the delivery is over.
  bool delivering_ = false;
  std::string nested_;
  size_t zero_pending_ = 0;
  char error_[64] = {0};
  uint64_t skipped_bytes_ = 0;
};

}  // namespace vy

#endif  // CORE_JS_BUFFER_H_

#include "core/js_buffer.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace vy {

JSBuffer::JSBuffer(bool hashFraming)
    : buffer_(new char[kInitialCapacity]()),
      capacity_(kInitialCapacity),
      packet_(new char[kInitialCapacity]()),
      packet_capacity_(kInitialCapacity),
      default_marker_(hashFraming ? kHashMarker : kDollarMarker),
      marker_(default_marker_),
      header_size_(hashFraming ? kHashHeaderSize : kDollarHeaderSize) {}

JSBuffer::~JSBuffer() = default;

int JSBuffer::WritePktLength(char* out, int payloadLength) const {
  if (out == nullptr || payloadLength < 0) return -1;
  uint64_t total = static_cast<uint64_t>(payloadLength) + static_cast<uint64_t>(header_size_);
  uint64_t limit = marker_ == kDollarMarker ? kMaxDollarPacketLength : kMaxPacketLength;
  if (total > limit) return -1;
  char* cursor = out;
  *cursor++ = marker_;
  if (marker_ == kDollarMarker) {
    writeShort(&cursor, static_cast<uint16_t>(total));
  } else {
    writeInt(&cursor, static_cast<uint32_t>(total));
  }
  return header_size_;
}

uint32_t JSBuffer::ReadPktLength(char** cursor) const {
  return marker_ == kDollarMarker ? readShort(cursor) : readInt(cursor);
}

uint16_t JSBuffer::readShort(char** cursor) {
  const unsigned char* p = reinterpret_cast<const unsigned char*>(*cursor);
  *cursor += 2;
  return static_cast<uint16_t>((p[0] << 8) | p[1]);
}

void JSBuffer::writeShort(char** cursor, uint16_t value) {
  (*cursor)[0] = static_cast<char>(value >> 8);
  (*cursor)[1] = static_cast<char>(value);
  *cursor += 2;
}

uint32_t JSBuffer::readInt(char** cursor) {
  const unsigned char* p = reinterpret_cast<const unsigned char*>(*cursor);
  *cursor += 4;
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

void JSBuffer::writeInt(char** cursor, uint32_t value) {
  (*cursor)[0] = static_cast<char>(value >> 24);
  (*cursor)[1] = static_cast<char>(value >> 16);
  (*cursor)[2] = static_cast<char>(value >> 8);
  (*cursor)[3] = static_cast<char>(value);
  *cursor += 4;
}

void JSBuffer::SetFraming(char marker) {
  marker_ = marker;
  header_size_ = marker == kDollarMarker ? kDollarHeaderSize : kHashHeaderSize;
  framing_fixed_ = true;
}

void JSBuffer::MakeRoom(size_t n) {
  // Unread bytes move to the front once per call (not once per packet), and the bytes they
  // leave behind are zeroed so no old message text lingers.
  if (begin_ > 0) {
    size_t unread = end_ - begin_;
    std::memmove(buffer_.get(), buffer_.get() + begin_, unread);
    std::memset(buffer_.get() + unread, 0, end_ - unread);
    begin_ = 0;
    end_ = unread;
  }
  if (end_ + n <= capacity_) return;
  // Doubling keeps a large packet arriving in small reads from being copied once per read.
  size_t new_capacity = std::max(end_ + n, capacity_ * 2);
  // Bytes past the used ones are written before they are read: no need to zero them.
  std::unique_ptr<char[]> grown(new char[new_capacity]);
  std::memcpy(grown.get(), buffer_.get(), end_);
  std::memset(buffer_.get(), 0, end_);
  buffer_ = std::move(grown);
  capacity_ = new_capacity;
}

void JSBuffer::Consume(size_t n) {
  begin_ += n;
  // During a delivery the emptied buffer is dropped once it is over.
  if (begin_ == end_ && !delivering_) Drop();
}

void JSBuffer::Drop() {
  if (delivering_) {
    // The packet being handled lies in the buffer: it is zeroed once the delivery is over,
    // and bytes received before the drop are dropped with it.
    zero_pending_ = std::max(zero_pending_, end_);
    begin_ = end_ = 0;
    nested_.clear();
    return;
  }
  std::memset(buffer_.get(), 0, std::max(end_, zero_pending_));
  zero_pending_ = 0;
  begin_ = end_ = 0;
  if (capacity_ > kShrinkAbove) {
    buffer_.reset(new char[kInitialCapacity]());
    capacity_ = kInitialCapacity;
  }
}

void JSBuffer::MarkBroken() {
  broken_ = true;
  Drop();
}

void JSBuffer::ClearAll() {
  Drop();
  broken_ = false;
  error_[0] = '\0';
}

void JSBuffer::ResetFraming() {
  ClearAll();
  SetFraming(default_marker_);
  framing_fixed_ = false;
}

void JSBuffer::ReservePacket(size_t length) {
  if (packet_capacity_ > length) return;
  packet_.reset(new char[length + 1]);
  packet_capacity_ = length + 1;
}

void JSBuffer::ShrinkPacket() {
  if (packet_capacity_ <= kShrinkAbove) return;
  packet_.reset(new char[kInitialCapacity]());
  packet_capacity_ = kInitialCapacity;
}

void JSBuffer::RecvData(const char* data, int length) {
  if (data == nullptr || length <= 0 || broken_) return;
  if (delivering_) {
    // The outer call delivers these bytes after the packets in the buffer.
    nested_.append(data, static_cast<size_t>(length));
    return;
  }
  std::memcpy(ReserveRecv(static_cast<size_t>(length)), data, static_cast<size_t>(length));
  CommitRecv(static_cast<size_t>(length));
}

char* JSBuffer::ReserveRecv(size_t length) {
  if (delivering_ || broken_) return nullptr;
  // One byte more than asked: the NUL after a packet's payload may fall there.
  MakeRoom(length + 1);
  return buffer_.get() + end_;
}

void JSBuffer::CommitRecv(size_t length) {
  end_ += std::min(length, capacity_ - end_ - 1);
  Deliver();
}

void JSBuffer::Deliver() {
  delivering_ = true;
  DeliverPackets();
  while (!nested_.empty() && !broken_) {
    std::string more;
    more.swap(nested_);
    delivering_ = false;
    MakeRoom(more.size() + 1);
    delivering_ = true;
    std::memcpy(buffer_.get() + end_, more.data(), more.size());
    end_ += more.size();
    DeliverPackets();
  }
  nested_.clear();
  delivering_ = false;
  // What the handlers left (or dropped) is zeroed now that no payload is in use.
  if (zero_pending_ > 0 || begin_ == end_) {
    if (begin_ == end_) {
      Drop();
    } else {
      std::memset(buffer_.get() + end_, 0, zero_pending_ > end_ ? zero_pending_ - end_ : 0);
      zero_pending_ = 0;
    }
  }
}

void JSBuffer::DeliverPackets() {
  if (!framing_fixed_) {
    if (end_ - begin_ < 2) return;
    char first = buffer_[begin_];
    if (first != kHashMarker && first != kDollarMarker) {
      std::snprintf(error_, sizeof(error_), "first byte 0x%02x is no packet marker",
                    static_cast<unsigned char>(first));
      MarkBroken();
      return;
    }
    SetFraming(first);
  }
  const size_t header = static_cast<size_t>(header_size_);
  // ClearAll or MarkBroken from inside OnRecvMessage empties the buffer and ends the loop.
  while (!broken_ && end_ - begin_ > header) {
    char* start = buffer_.get() + begin_;
    if (*start != marker_) {
      const void* next = std::memchr(start + 1, marker_, end_ - begin_ - 1);
      size_t skip =
          next ? static_cast<size_t>(static_cast<const char*>(next) - start) : end_ - begin_;
      skipped_bytes_ += skip;
      Consume(skip);
      continue;
    }
    char* cursor = start + 1;
    uint64_t total = ReadPktLength(&cursor);
    if (total < header || total > kMaxPacketLength) {
      std::snprintf(error_, sizeof(error_), "packet length %llu out of range",
                    static_cast<unsigned long long>(total));
      MarkBroken();
      return;
    }
    if (total > end_ - begin_) return;  // wait for the rest
    size_t payload_length = static_cast<size_t>(total) - header;
    // The packet leaves the buffer before it is delivered, so the handler may feed or clear
    // the buffer; its payload is handed over in place, NUL-terminated over the next byte
    // (the next packet's first, or spare room), which is put back afterwards.
    char* payload = start + header;
    char* after = start + total;
    const char kept = *after;
    *after = '\0';
    begin_ += static_cast<size_t>(total);
    OnRecvPacket(payload, static_cast<int>(payload_length));
    *after = kept;
  }
}

void JSBuffer::ParseMessage(const char* payload, int length) {
  if (payload == nullptr || length < 0) return;
  size_t n = static_cast<size_t>(length);
  ReservePacket(n);
  std::memcpy(packet_.get(), payload, n);
  packet_[n] = '\0';
  OnRecvMessage(packet_.get(), length);
  ShrinkPacket();
}

}  // namespace vy

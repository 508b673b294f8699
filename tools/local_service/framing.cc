#include "local_service/framing.h"

namespace local_service {

size_t HeaderSize(char marker) { return marker == kDollarMarker ? 3 : 5; }

std::string EncodeHeader(uint32_t announced_length, char marker) {
  std::string out(1, marker);
  int bytes = marker == kDollarMarker ? 2 : 4;
  for (int i = bytes - 1; i >= 0; --i)
    out.push_back(static_cast<char>(announced_length >> (8 * i)));
  return out;
}

std::string EncodeFrame(std::string_view payload, char marker) {
  size_t total = payload.size() + HeaderSize(marker);
  if (marker == kDollarMarker && total > 0xFFFF) return {};
  std::string out = EncodeHeader(static_cast<uint32_t>(total), marker);
  out.append(payload);
  return out;
}

FrameReader::Status FrameReader::Next(std::string* payload, std::string* error) {
  if (broken_) {
    *error = error_;
    return Status::kError;
  }
  auto fail = [&](std::string why) {
    broken_ = true;
    error_ = std::move(why);
    *error = error_;
    buffer_.clear();
    consumed_ = 0;
    return Status::kError;
  };
  size_t avail = buffer_.size() - consumed_;
  if (avail == 0) return Status::kNeedMore;
  const char* p = buffer_.data() + consumed_;
  // Each packet names its own framing: a client switches to '$' after the first '$' it reads,
  // so one connection may carry both.
  if (p[0] != kHashMarker && p[0] != kDollarMarker) {
    std::string byte = std::to_string(static_cast<unsigned char>(p[0]));
    return fail(marker_ == 0 ? "first byte " + byte + " is no packet marker"
                             : "byte " + byte + " where a packet marker was due");
  }
  marker_ = p[0];
  size_t header = HeaderSize(marker_);
  if (avail < header) return Status::kNeedMore;
  size_t length = 0;
  for (size_t i = 1; i < header; ++i) length = (length << 8) | static_cast<unsigned char>(p[i]);
  if (length < kMinPacketLength)
    return fail("packet length " + std::to_string(length) + " below " +
                std::to_string(kMinPacketLength));
  if (length > kMaxPacketLength)
    return fail("packet length " + std::to_string(length) + " above " +
                std::to_string(kMaxPacketLength));
  if (avail < length) return Status::kNeedMore;
  payload->assign(p + header, length - header);
  consumed_ += length;
  // Compact once the consumed prefix dominates, so the buffer does not grow without bound.
  if (consumed_ == buffer_.size()) {
    buffer_.clear();
    consumed_ = 0;
  } else if (consumed_ > 64 * 1024 && consumed_ * 2 > buffer_.size()) {
    buffer_.erase(0, consumed_);
    consumed_ = 0;
  }
  return Status::kPacket;
}

}  // namespace local_service

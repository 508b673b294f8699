// VyRtmService: the way commands leave (envelope, frame, TCP client) and the way received
// packets come in (envelope, decryption, traffic log, routing).
#include <climits>
#include <memory>
#include <string>

#include "core/envelope.h"
#include "core/rtc_log.h"
#include "core/sync_msg_crypt.h"
#include "core/thread_mgr.h"
#include "core/vy_rtm_service.h"
#include "core/x_tcp_client.h"
#include "rtc_base/base/time_utils.h"

namespace vy {

namespace {

constexpr char kLoginCmd[] = "Login";

}  // namespace

void VyRtmService::doSendMsg(const std::string& cmd, const std::string& content) {
  TrySendMsg(cmd, content);
}

bool VyRtmService::TrySendMsg(const std::string& cmd, const std::string& content) {
  // The login body carries the user's token; it is the one command kept out of the log.
  bool login = cmd == kLoginCmd;
  if (!login) {
    RtcPrintf(kRtcLogInfo, "SEND cmd=%s content=%s", cmd.c_str(), content.c_str());
  }
  // The envelope is written after room for the frame header, into a buffer kept for the next
  // command.
  std::string& frame = send_frame_;
  int result = BuildEnvelope(cmd, content, msg_crypt_.get(), login ? &app_id_ : nullptr,
                             rtc::TimeUTCMillis(), &frame, JSBuffer::kHashHeaderSize);
  if (result == kEnvelopeNoNonce) {
    // Its answer, if any was due, is reported by the command's own time-out.
    RtcPrintf(kRtcLogError, "SEND refused: cmd=%s, no random nonce", cmd.c_str());
    return false;
  }
  if (result != 0) {
    RtcPrintf(kRtcLogWarning, "SEND cmd=%s encryption failed: %d", cmd.c_str(), result);
  }
  SendFrame(&frame, JSBuffer::kHashHeaderSize);
  // A very large command does not keep its buffer.
  if (frame.capacity() > kKeptFrameCapacity) std::string().swap(frame);
  return true;
}

void VyRtmService::sendMsgToIms(const std::string& text) {
  std::string frame(JSBuffer::kHashHeaderSize, '\0');
  frame.append(text);
  SendFrame(&frame, JSBuffer::kHashHeaderSize);
}

void VyRtmService::SendFrame(std::string* frame, size_t room) {
  if (tcp_client_ == nullptr) return;
  const size_t payload = frame->size() - room;
  char header[JSBuffer::kHashHeaderSize];
  int header_size = payload > static_cast<size_t>(INT_MAX)
                        ? -1
                        : WritePktLength(header, static_cast<int>(payload));
  if (header_size < 0) {
    RtcPrintf(kRtcLogError, "SEND refused: %zu bytes do not fit a '%c' packet", payload, marker());
    return;
  }
  // The header goes right before the envelope; header and envelope go in as one append, so a
  // full buffer never keeps half a frame.
  const size_t start = room - static_cast<size_t>(header_size);
  frame->replace(start, static_cast<size_t>(header_size), header, static_cast<size_t>(header_size));
  if (tcp_client_->SendMessageX(frame->data() + start, static_cast<int>(frame->size() - start)) <
      0) {
    RtcPrintf(kRtcLogError, "SEND refused: send buffer full, %zu bytes dropped",
              frame->size() - start);
  }
}

void VyRtmService::OnMessageRecv(const char* data, int length) { RecvData(data, length); }

char* VyRtmService::RecvSpace(int length) {
  return length > 0 ? ReserveRecv(static_cast<size_t>(length)) : nullptr;
}

void VyRtmService::OnMessageRecvInPlace(int length) {
  if (length > 0) CommitRecv(static_cast<size_t>(length));
}

void VyRtmService::OnRecvMessage(const char* payload, int length) {
  ReceivedCommand cmd;
  EnvelopeResult result = UnwrapEnvelope(payload, length, msg_crypt_.get(), &cmd);
  HandleCommand(result, cmd);
}

void VyRtmService::OnRecvPacket(char* payload, int length) {
  // The kept command serves one packet at a time; a packet handed in from inside a handler
  // gets its own.
  if (recv_cmd_busy_) {
    OnRecvMessage(payload, length);
    return;
  }
  recv_cmd_busy_ = true;
  EnvelopeResult result = UnwrapEnvelopeInPlace(payload, length, msg_crypt_.get(), &recv_cmd_);
  HandleCommand(result, recv_cmd_);
  recv_cmd_.GiveBackLarge();
  recv_cmd_busy_ = false;
}

size_t VyRtmService::ReceiveHeldBytes() const {
  return capacity() + packet_capacity() + recv_cmd_.HeldBytes() +
         (msg_crypt_ != nullptr ? msg_crypt_->ScratchBytes() : 0);
}

void VyRtmService::HandleCommand(EnvelopeResult result, const ReceivedCommand& cmd) {
  if (result != EnvelopeResult::kOk) {
    RtcPrintf(kRtcLogWarning, "Recv cmd=%s dropped: %s (%d)", cmd.cmd.c_str(),
              EnvelopeResultText(result), cmd.crypt_result);
    return;
  }
  RtcPrintf(kRtcLogInfo, "Recv cmd=%s  content=%s", cmd.cmd.c_str(), RecvLogContent(cmd.content));
  router_.Dispatch(cmd.cmd, cmd.content_doc);
}

void VyRtmService::RenewMsgCrypt() {
  msg_crypt_ = std::make_unique<zentho::SyncMsgCrypt>(zentho::kBuiltinSignToken,
                                                      zentho::kBuiltinEncodingKey, app_id_);
}

void VyRtmService::ConnectServer(const std::string& host, int port) {
  DropServer();
  // The server's first byte on each connection chooses that connection's framing.
  ResetFraming();
  tcp_client_.reset(XNetClient::Create(*this, worker_));
  tcp_client_->Connect(host, port, false);
}

void VyRtmService::DropServer() {
  if (tcp_client_ == nullptr) return;
  tcp_client_->Disconnect();
  tcp_client_.reset();
}

int VyRtmService::ServerStatus() const {
  return tcp_client_ != nullptr ? tcp_client_->Status() : -1;
}

bool VyRtmService::CheckRecvStream() {
  if (!IsBroken()) return false;
  RtcPrintf(kRtcLogWarning, "Recv stream broken (%s); connection dropped", error_text());
  DropServer();
  ClearAll();
  OnServerDisconnect();
  return true;
}

}  // namespace vy

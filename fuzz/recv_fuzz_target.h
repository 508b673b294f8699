#ifndef FUZZ_RECV_FUZZ_TARGET_H_
#define FUZZ_RECV_FUZZ_TARGET_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "core/command_router.h"
#include "core/envelope.h"
#include "core/js_buffer.h"
#include "core/request_wire.h"
#include "core/sync_msg_crypt.h"

namespace vy {

// Received bytes through framing, envelope, decryption and routing, with every command read
// the way its handler reads it. Shared by the libFuzzer target and its gtest twin.
class RecvFuzzPipeline : public JSBuffer {
 public:
  RecvFuzzPipeline()
      : JSBuffer(true),
        crypt_(zentho::kBuiltinSignToken, zentho::kBuiltinEncodingKey,
               "0123456789abcdef0123456789abcdef") {
    for (const char* name : CommandRouter::kCommandNames) {
      router_.SetHandler(name, [this](const rapidjson::Value& c) { Read(c); });
    }
  }

  void OnRecvMessage(const char* payload, int length) override {
    ReceivedCommand cmd;
    EnvelopeResult result = UnwrapEnvelope(payload, length, &crypt_, &cmd);
    ++packets;
    if (result != EnvelopeResult::kOk) return;
    if (cmd.encrypted && !cmd.content.empty()) ++decrypted;
    (void)RecvLogContent(cmd.content);
    if (router_.Dispatch(cmd.cmd, cmd.content_doc)) ++dispatched;
  }

  uint64_t checksum = 0;
  // Packets delivered, contents decrypted, and commands routed to a handler.
  int packets = 0;
  int decrypted = 0;
  int dispatched = 0;

 private:
  void Read(const rapidjson::Value& c) {
    static const char* const kStrings[] = {"FromUId", "MsgBody",    "ChanId",  "UserId",
                                           "Attribs", "Attributes", "Content", "Response"};
    static const char* const kInts[] = {"Code", "Status", "MsgType", "ChanMemSize", "MemSize"};
    for (const char* k : kStrings) checksum += std::string(GetJsonStr(c, k)).size();
    for (const char* k : kInts) checksum += static_cast<uint32_t>(GetJsonInt(c, k));
    checksum += static_cast<uint64_t>(GetJsonInt64(c, "MsgId") + GetJsonInt64(c, "SvrTS"));
    checksum += HasJsonBool(c, "SetLocal") ? 1 : 0;
    size_t skipped = 0;
    std::vector<PeerStatusEntry> statuses;
    ReadPeerStatusList(c, checksum % 2 == 0, &statuses, &skipped);
    std::vector<std::string> peers;
    ReadSubscribedPeers(c, &peers, &skipped);
    std::vector<MemberCountEntry> counts;
    ReadMemberCounts(c, &counts, &skipped);
    std::vector<std::pair<std::string, std::string>> user_attributes;
    ReadUserAttributes(GetJsonStr(c, "Attribs"), &user_attributes, &skipped);
    std::vector<ChannelAttributeEntry> channel_attributes;
    ReadChannelAttributeText(GetJsonStr(c, "Attributes"), &channel_attributes, &skipped);
    checksum += statuses.size() + peers.size() + counts.size() + user_attributes.size() +
                channel_attributes.size() + skipped;
    for (const char* k : {"Status", "Members", "ChanMemSize", "Attributes"}) {
      const rapidjson::Value* list = FindJsonMember(c, k);
      if (list == nullptr || !list->IsArray()) continue;
      for (const rapidjson::Value& entry : list->GetArray()) {
        checksum += std::string(GetJsonStr(entry, "UserId")).size();
        checksum += static_cast<uint32_t>(GetJsonInt(entry, "Online"));
        checksum += entry.IsString() ? entry.GetStringLength() : 0;
      }
    }
  }

  zentho::SyncMsgCrypt crypt_;
  CommandRouter router_;
};

// The first byte picks the chunk size, so the fuzzer explores splits as well as contents.
// `seen` (when not null) receives the pipeline's counts.
inline int RecvFuzzOne(const uint8_t* data, size_t size, RecvFuzzPipeline* seen = nullptr) {
  if (size == 0) return 0;
  size_t chunk = 1 + data[0] * 37;
  RecvFuzzPipeline local;
  RecvFuzzPipeline& pipeline = seen != nullptr ? *seen : local;
  for (size_t pos = 1; pos < size && !pipeline.IsBroken(); pos += chunk) {
    size_t n = size - pos < chunk ? size - pos : chunk;
    pipeline.RecvData(reinterpret_cast<const char*>(data + pos), static_cast<int>(n));
  }
  return 0;
}

}  // namespace vy

#endif  // FUZZ_RECV_FUZZ_TARGET_H_
